// The module's factory and entry points: the effect, made the way JUCE makes
// its plug-ins (the display opened and atoms looked up with the instance),
// and the X11 view fixture's controller, whose view is the Xlib one.
#include "xlibview/XlibView.h"
#include "xlibview/XlibViewIds.h"

#include "common/FixtureFactory.h"
#include "x11view/X11ViewComponent.h"
#include "x11view/X11ViewController.h"
#include "x11view/X11ViewIds.h"

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace xlibviewfx {
namespace {

FUnknown* makeEffect() {
    atCreation();
    return x11viewfx::makeComponent();
}
FUnknown* makeController() { return static_cast<IEditController*>(new x11viewfx::Controller()); }

const fixture::FixtureClass kClasses[] = {
    {kEffectCid, kVstAudioEffectClass, "Xlib View Effect", "Fx", makeEffect},
    {x11viewfx::kControllerCid, kVstComponentControllerClass, "Xlib View Controller", "", makeController},
};

fixture::FixtureFactory gFactory(kClasses);

} // namespace
} // namespace xlibviewfx

extern "C" SMTG_EXPORT_SYMBOL bool ModuleEntry(void*) { return true; }
extern "C" SMTG_EXPORT_SYMBOL bool ModuleExit() { return true; }
extern "C" SMTG_EXPORT_SYMBOL Steinberg::IPluginFactory* PLUGIN_API GetPluginFactory() {
    return &xlibviewfx::gFactory;
}
