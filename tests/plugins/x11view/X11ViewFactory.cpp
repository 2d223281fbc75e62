// The module's factory and entry points: the effect and its controller.
#include "x11view/X11ViewComponent.h"
#include "x11view/X11ViewController.h"
#include "x11view/X11ViewIds.h"

#include <pluginterfaces/base/ipluginbase.h>

#include <cstring>

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace x11viewfx {
namespace {

struct ClassRecord {
    const char* cid;
    const char* category;
    const char* name;
    const char* subCategories;
};

const ClassRecord kClasses[] = {
    {kEffectCid, kVstAudioEffectClass, "X11 View Effect", "Fx"},
    {kControllerCid, kVstComponentControllerClass, "X11 View Controller", ""},
};
constexpr int32 kClassCount = sizeof kClasses / sizeof kClasses[0];

template <std::size_t N>
void putText(char8 (&field)[N], const char* text) {
    std::strncpy(field, text, N - 1);
    field[N - 1] = 0;
}

class Factory final : public IPluginFactory2 {
public:
    tresult PLUGIN_API queryInterface(const TUID iid, void** obj) override {
        if (sameIid(iid, FUnknown_iid) || sameIid(iid, IPluginFactory_iid) || sameIid(iid, IPluginFactory2_iid)) {
            *obj = this;
            return kResultOk;
        }
        *obj = nullptr;
        return kNoInterface;
    }
    uint32 PLUGIN_API addRef() override { return 1; }
    uint32 PLUGIN_API release() override { return 1; }

    tresult PLUGIN_API getFactoryInfo(PFactoryInfo* info) override {
        *info = PFactoryInfo{};
        putText(info->vendor, "Tarvel Fixtures");
        info->flags = PFactoryInfo::kUnicode;
        return kResultOk;
    }
    int32 PLUGIN_API countClasses() override { return kClassCount; }
    tresult PLUGIN_API getClassInfo(int32 index, PClassInfo* info) override {
        if (index < 0 || index >= kClassCount) return kInvalidArgument;
        *info = PClassInfo{};
        toTUID(kClasses[index].cid, info->cid);
        info->cardinality = PClassInfo::kManyInstances;
        putText(info->category, kClasses[index].category);
        putText(info->name, kClasses[index].name);
        return kResultOk;
    }
    tresult PLUGIN_API getClassInfo2(int32 index, PClassInfo2* info) override {
        if (index < 0 || index >= kClassCount) return kInvalidArgument;
        *info = PClassInfo2{};
        toTUID(kClasses[index].cid, info->cid);
        info->cardinality = PClassInfo::kManyInstances;
        putText(info->category, kClasses[index].category);
        putText(info->name, kClasses[index].name);
        putText(info->subCategories, kClasses[index].subCategories);
        putText(info->version, "1.0.0");
        putText(info->sdkVersion, "VST 3.7");
        return kResultOk;
    }
    tresult PLUGIN_API createInstance(FIDString cid, FIDString iid, void** obj) override {
        *obj = nullptr;
        FUnknown* made = nullptr;
        if (sameId(cid, kEffectCid)) {
            made = makeComponent();
        } else if (sameId(cid, kControllerCid)) {
            made = static_cast<IEditController*>(new Controller());
        } else {
            return kInvalidArgument;
        }
        TUID wanted;
        std::memcpy(wanted, iid, 16);
        const tresult result = made->queryInterface(wanted, obj);
        made->release();
        return result;
    }
};

Factory gFactory;

} // namespace
} // namespace x11viewfx

extern "C" SMTG_EXPORT_SYMBOL bool ModuleEntry(void*) { return true; }
extern "C" SMTG_EXPORT_SYMBOL bool ModuleExit() { return true; }
extern "C" SMTG_EXPORT_SYMBOL Steinberg::IPluginFactory* PLUGIN_API GetPluginFactory() {
    return &x11viewfx::gFactory;
}
