// The module's factory and entry points: the effect and its controller.
#include "x11view/X11ViewComponent.h"
#include "x11view/X11ViewController.h"
#include "x11view/X11ViewIds.h"

#include "common/FixtureFactory.h"

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace x11viewfx {
namespace {

FUnknown* makeEffect() { return makeComponent(); }
FUnknown* makeController() { return static_cast<IEditController*>(new Controller()); }

const fixture::FixtureClass kClasses[] = {
    {kEffectCid, kVstAudioEffectClass, "X11 View Effect", "Fx", makeEffect},
    {kControllerCid, kVstComponentControllerClass, "X11 View Controller", "", makeController},
};

fixture::FixtureFactory gFactory(kClasses);

} // namespace
} // namespace x11viewfx

extern "C" SMTG_EXPORT_SYMBOL bool ModuleEntry(void*) { return true; }
extern "C" SMTG_EXPORT_SYMBOL bool ModuleExit() { return true; }
extern "C" SMTG_EXPORT_SYMBOL Steinberg::IPluginFactory* PLUGIN_API GetPluginFactory() {
    return &x11viewfx::gFactory;
}
