#include "probe/ProbeController.h"

#include "probe/ProbeGlobals.h"

#include <cstring>

namespace probe {

using namespace Steinberg;

ProbeController::ProbeController() { ++record().liveObjects; }

ProbeController::~ProbeController() {
    dropHandler();
    ProbeRecord& r = record();
    --r.liveObjects;
    ++r.controllerDestroyed;
    logCall(kCallControllerDestroyed);
}

tresult PLUGIN_API ProbeController::queryInterface(const TUID iid, void** obj) {
    if (!obj) return kInvalidArgument;
    void* answer = nullptr;
    if (std::memcmp(iid, FUnknown_iid, 16) == 0 || std::memcmp(iid, IPluginBase_iid, 16) == 0 ||
        std::memcmp(iid, Vst::IEditController_iid, 16) == 0)
        answer = static_cast<Vst::IEditController*>(this);
    else if (std::memcmp(iid, Vst::IConnectionPoint_iid, 16) == 0)
        answer = static_cast<Vst::IConnectionPoint*>(this);
    *obj = answer;
    if (!answer) return kNoInterface;
    addRef();
    return kResultOk;
}

uint32 PLUGIN_API ProbeController::addRef() { return static_cast<uint32>(++refs_); }

uint32 PLUGIN_API ProbeController::release() {
    const int32 left = --refs_;
    if (left == 0) delete this;
    return static_cast<uint32>(left);
}

tresult PLUGIN_API ProbeController::initialize(FUnknown* context) {
    ProbeRecord& r = record();
    logCall(kCallControllerInitialize);
    ++r.controllerInitialize;
    r.controllerContext = reinterpret_cast<std::uint64_t>(context);
    if (r.sw.failControllerInitialize || !context) return kResultFalse;
    keep(r.keptContext, context);
    context->addRef();
    context_ = context;
    return kResultOk;
}

tresult PLUGIN_API ProbeController::terminate() {
    ProbeRecord& r = record();
    logCall(kCallControllerTerminate);
    ++r.controllerTerminate;
    if (context_) {
        r.contextReleaseByController = static_cast<std::int32_t>(context_->release());
        context_ = nullptr;
    }
    return kResultOk;
}

tresult PLUGIN_API ProbeController::connect(Vst::IConnectionPoint* other) {
    ProbeRecord& r = record();
    logCall(kCallControllerConnect);
    ++r.controllerConnects;
    if (!other) return kInvalidArgument;
    if (other == static_cast<Vst::IConnectionPoint*>(this)) ++r.selfConnects;
    else ++r.peerConnects;
    if (peer_) return kResultFalse;
    other->addRef();
    peer_ = other;
    return kResultOk;
}

tresult PLUGIN_API ProbeController::disconnect(Vst::IConnectionPoint* other) {
    logCall(kCallControllerDisconnect);
    ++record().controllerDisconnects;
    if (!peer_ || other != peer_) return kResultFalse;
    peer_->release();
    peer_ = nullptr;
    return kResultOk;
}

tresult PLUGIN_API ProbeController::notify(Vst::IMessage*) { return kResultOk; }

} // namespace probe
