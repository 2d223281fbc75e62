#include "probe/ProbeEditController.h"
#include "probe/ProbeView.h"

#include <cstdio>
#include <cstring>

#include "probe/ProbeGlobals.h"
#include "probe/ProbeParameters.h"

namespace probe {

using namespace Steinberg;

tresult PLUGIN_API ProbeEditController::setComponentState(IBStream* state) {
    ProbeRecord& r = record();
    logCall(kCallControllerSetComponentState);
    ++r.setComponentStateCalls;
    if (!state) return kInvalidArgument;
    keep(r.keptStateStream, state);
    r.setComponentStateSize = readAll(state, r.setComponentStateBytes, kProbeStateBytes);
    return kResultOk;
}

tresult PLUGIN_API ProbeEditController::setState(IBStream* state) {
    ProbeRecord& r = record();
    logCall(kCallControllerSetState);
    ++r.controllerSetStateCalls;
    if (!state) return kInvalidArgument;
    r.controllerSetStateSize = readAll(state, r.controllerSetStateBytes, kProbeStateBytes);
    return kResultOk;
}

tresult PLUGIN_API ProbeEditController::getState(IBStream* state) {
    const ProbeRecord& r = record();
    logCall(kCallControllerGetState);
    if (!state) return kInvalidArgument;
    if (r.sw.controllerGetStateAnswer != 0) return r.sw.controllerGetStateAnswer;
    return writeAll(state, r.controllerState, r.controllerStateSize) ? kResultOk : kResultFalse;
}

int32 PLUGIN_API ProbeEditController::getParameterCount() { return parameterCount(); }

tresult PLUGIN_API ProbeEditController::getParameterInfo(int32 paramIndex, Vst::ParameterInfo& info) {
    return parameterInfo(paramIndex, info);
}

tresult PLUGIN_API ProbeEditController::getParamStringByValue(Vst::ParamID id, Vst::ParamValue valueNormalized,
                                                              Vst::String128 string) {
    if (!string) return kInvalidArgument;
    return parameterText(id, valueNormalized, string);
}

tresult PLUGIN_API ProbeEditController::getParamValueByString(Vst::ParamID, Vst::TChar*, Vst::ParamValue&) {
    return kNotImplemented;
}

Vst::ParamValue PLUGIN_API ProbeEditController::normalizedParamToPlain(Vst::ParamID, Vst::ParamValue v) { return v; }
Vst::ParamValue PLUGIN_API ProbeEditController::plainParamToNormalized(Vst::ParamID, Vst::ParamValue v) { return v; }

Vst::ParamValue PLUGIN_API ProbeEditController::getParamNormalized(Vst::ParamID id) {
    const int index = parameterIndex(id);
    return index < 0 ? 0 : record().paramValues[index];
}

tresult PLUGIN_API ProbeEditController::setParamNormalized(Vst::ParamID id, Vst::ParamValue value) {
    ProbeRecord& r = record();
    ++r.setParamCalls;
    r.lastSetParamId = id;
    r.lastSetParamValue = value;
    const int index = parameterIndex(id);
    if (index < 0) return kInvalidArgument;
    r.paramValues[index] = value;
    return kResultOk;
}

tresult PLUGIN_API ProbeEditController::setComponentHandler(Vst::IComponentHandler* handler) {
    ProbeRecord& r = record();
    if (handler == handler_) return kResultTrue;
    if (handler) {
        logCall(kCallSetComponentHandler);
        ++r.handlerSetCount;
        keep(r.keptHandler, handler);
        handler->addRef();
    } else {
        logCall(kCallSetComponentHandlerNull);
    }
    // The edit thread must be joined by the test before the host drops the
    // handler; clearing it here keeps a late start from using a dead object.
    setCurrentHandler(handler);
    if (handler_) r.handlerReleaseAnswer = static_cast<std::int32_t>(handler_->release());
    handler_ = handler;
    return kResultOk;
}

IPlugView* PLUGIN_API ProbeEditController::createView(FIDString name) {
    ProbeRecord& r = record();
    ++r.edLog.createViewCalls;
    std::snprintf(r.edLog.lastViewName, sizeof r.edLog.lastViewName, "%s", name ? name : "(null)");
    if (!r.ed.makeView || !name || std::strcmp(name, Vst::ViewType::kEditor) != 0) return nullptr;
    return makeView();
}

void ProbeEditController::dropHandler() {
    if (!handler_) return;
    if (currentHandler() == handler_) setCurrentHandler(nullptr);
    handler_->release();
    handler_ = nullptr;
}

} // namespace probe
