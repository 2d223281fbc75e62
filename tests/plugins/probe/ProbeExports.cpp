// The module's entry points, and the functions through which a test reaches
// the probe's record and makes edits from the plug-in's side.
#include "probe/ProbeFactory.h"
#include "probe/ProbeGlobals.h"
#include "probe/ProbeParameters.h"
#include "probe/ProbeView.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

std::mutex gThreadLock;
std::thread gEditThread;
std::atomic<std::int32_t> gEditsDone{0};
std::atomic<std::int32_t> gEditsMade{0};

void resetRecord() {
    ProbeRecord& r = probe::record();
    std::memset(&r, 0, sizeof r);
    const char component[] = "PROBE-COMPONENT-STATE";
    r.componentStateSize = sizeof component - 1;
    std::memcpy(r.componentState, component, sizeof component - 1);
    const char controller[] = "PROBE-CONTROLLER";
    r.controllerStateSize = sizeof controller - 1;
    std::memcpy(r.controllerState, controller, sizeof controller - 1);
    for (int i = 0; i < kProbeParamCount; ++i) {
        Steinberg::Vst::ParameterInfo info{};
        if (probe::parameterInfo(i, info) == Steinberg::kResultOk) r.paramValues[i] = info.defaultNormalizedValue;
    }
}

const bool gInitialised = (resetRecord(), true);

} // namespace

extern "C" {

SMTG_EXPORT_SYMBOL Steinberg::IPluginFactory* PLUGIN_API GetPluginFactory() { return &probe::factory(); }
SMTG_EXPORT_SYMBOL bool ModuleEntry(void*) { return gInitialised; }
SMTG_EXPORT_SYMBOL bool ModuleExit() { return true; }

SMTG_EXPORT_SYMBOL ProbeRecord* tv3probe_state() { return &probe::record(); }

SMTG_EXPORT_SYMBOL std::int32_t tv3probe_resize_view(std::int32_t width, std::int32_t height) {
    return probe::resizeLiveView(width, height);
}

// Between test cases run in one process: no probe object may be alive.
SMTG_EXPORT_SYMBOL void tv3probe_reset() { resetRecord(); }

SMTG_EXPORT_SYMBOL std::int32_t tv3probe_perform_edit(std::uint32_t id, double value) {
    Steinberg::Vst::IComponentHandler* handler = probe::currentHandler();
    if (!handler) return -1;
    return handler->performEdit(id, value) == Steinberg::kResultOk ? 0 : -1;
}

SMTG_EXPORT_SYMBOL std::int32_t tv3probe_start_edits(std::int32_t count) {
    std::lock_guard<std::mutex> lock(gThreadLock);
    Steinberg::Vst::IComponentHandler* handler = probe::currentHandler();
    if (!handler || gEditThread.joinable() || count < 1 || count > kProbeMaxEditIds) return -1;
    // The thread holds its own reference while it works, as a plug-in's
    // worker thread would.
    handler->addRef();
    gEditsDone = 0;
    gEditsMade = 0;
    gEditThread = std::thread([handler, count] {
        for (std::int32_t i = 0; i < count; ++i) {
            const Steinberg::Vst::ParamID id = kProbeEditIdBase + static_cast<Steinberg::Vst::ParamID>(i);
            handler->beginEdit(id);
            if (handler->performEdit(id, static_cast<double>(i) / count) == Steinberg::kResultOk) ++gEditsMade;
            handler->endEdit(id);
        }
        handler->release();
        gEditsDone = 1;
    });
    return 0;
}

SMTG_EXPORT_SYMBOL std::int32_t tv3probe_edits_done() { return gEditsDone.load(); }

SMTG_EXPORT_SYMBOL std::int32_t tv3probe_join_edits() {
    std::lock_guard<std::mutex> lock(gThreadLock);
    if (gEditThread.joinable()) gEditThread.join();
    return gEditsMade.load();
}

} // extern "C"
