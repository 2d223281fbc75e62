#include "probe/ProbeFactory.h"

#include "probe/ProbeComponent.h"
#include "probe/ProbeController.h"
#include "probe/ProbeGlobals.h"

#include <cstring>

namespace probe {

using namespace Steinberg;

namespace {

struct ClassRow {
    const TUID& (*cid)();
    const char* category;
    const char* name;
    const char* subCategories;
};

const ClassRow kClasses[] = {
    {effectCid, "Audio Module Class", "Probe Effect", "Fx"},
    {instrumentCid, "Audio Module Class", "Probe Instrument", "Instrument|Synth"},
    {controllerCid, "Component Controller Class", "Probe Controller", ""},
};
constexpr int32 kClassCount = 3;

void copy(char* dst, std::size_t size, const char* src) {
    std::strncpy(dst, src, size - 1);
    dst[size - 1] = 0;
}

} // namespace

ProbeFactory& factory() {
    static ProbeFactory instance;
    return instance;
}

tresult PLUGIN_API ProbeFactory::queryInterface(const TUID iid, void** obj) {
    if (!obj) return kInvalidArgument;
    if (std::memcmp(iid, FUnknown_iid, 16) == 0 || std::memcmp(iid, IPluginFactory_iid, 16) == 0 ||
        std::memcmp(iid, IPluginFactory2_iid, 16) == 0) {
        *obj = this;
        return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
}

tresult PLUGIN_API ProbeFactory::getFactoryInfo(PFactoryInfo* info) {
    if (!info) return kInvalidArgument;
    std::memset(static_cast<void*>(info), 0, sizeof *info);
    copy(info->vendor, sizeof info->vendor, "Tarvel Probe Works");
    copy(info->url, sizeof info->url, "https://example.invalid/probe");
    copy(info->email, sizeof info->email, "probe@example.invalid");
    info->flags = PFactoryInfo::kNoFlags;
    return kResultOk;
}

int32 PLUGIN_API ProbeFactory::countClasses() { return kClassCount; }

tresult PLUGIN_API ProbeFactory::getClassInfo(int32 index, PClassInfo* info) {
    if (index < 0 || index >= kClassCount || !info) return kInvalidArgument;
    std::memset(static_cast<void*>(info), 0, sizeof *info);
    std::memcpy(info->cid, kClasses[index].cid(), 16);
    info->cardinality = PClassInfo::kManyInstances;
    copy(info->category, sizeof info->category, kClasses[index].category);
    copy(info->name, sizeof info->name, kClasses[index].name);
    return kResultOk;
}

tresult PLUGIN_API ProbeFactory::getClassInfo2(int32 index, PClassInfo2* info) {
    if (index < 0 || index >= kClassCount || !info) return kInvalidArgument;
    std::memset(static_cast<void*>(info), 0, sizeof *info);
    std::memcpy(info->cid, kClasses[index].cid(), 16);
    info->cardinality = PClassInfo::kManyInstances;
    copy(info->category, sizeof info->category, kClasses[index].category);
    copy(info->name, sizeof info->name, kClasses[index].name);
    copy(info->vendor, sizeof info->vendor, "Tarvel Probe Works");
    copy(info->version, sizeof info->version, "1.0.0");
    copy(info->sdkVersion, sizeof info->sdkVersion, "VST 3.7");
    copy(info->subCategories, sizeof info->subCategories, kClasses[index].subCategories);
    return kResultOk;
}

tresult PLUGIN_API ProbeFactory::createInstance(FIDString cid, FIDString iid, void** obj) {
    if (!obj) return kInvalidArgument;
    *obj = nullptr;
    if (!cid || !iid) return kInvalidArgument;
    ProbeRecord& r = record();
    ++r.createInstanceCalls;
    std::memcpy(r.lastCreateCid, cid, 16);
    FUnknown* made = nullptr;
    if (std::memcmp(cid, effectCid(), 16) == 0 || std::memcmp(cid, instrumentCid(), 16) == 0) {
        if (r.sw.refuseCreate) return kResultFalse;
        made = static_cast<Vst::IComponent*>(new ProbeComponent(std::memcmp(cid, instrumentCid(), 16) == 0));
    } else if (std::memcmp(cid, controllerCid(), 16) == 0) {
        if (r.sw.singleObject || r.sw.failControllerCreate) return kResultFalse;
        made = static_cast<Vst::IEditController*>(new ProbeController());
    } else {
        return kResultFalse;
    }
    const tresult result = made->queryInterface(iid, obj);
    made->release();
    return result;
}

} // namespace probe
