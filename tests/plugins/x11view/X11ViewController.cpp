#include "x11view/X11ViewController.h"

#include "x11view/X11View.h"
#include "x11view/X11ViewIds.h"

#include <cstdio>
#include <cstring>

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace x11viewfx {

Controller::~Controller() { terminate(); }

tresult PLUGIN_API Controller::queryInterface(const TUID iid, void** obj) {
    if (sameIid(iid, FUnknown_iid) || sameIid(iid, IPluginBase_iid) || sameIid(iid, IEditController_iid)) {
        addRef();
        *obj = static_cast<IEditController*>(this);
        return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
}

tresult PLUGIN_API Controller::initialize(FUnknown* context) {
    if (context) context->addRef();
    if (context_) context_->release();
    context_ = context;
    return kResultOk;
}

tresult PLUGIN_API Controller::terminate() {
    setComponentHandler(nullptr);
    if (context_) context_->release();
    context_ = nullptr;
    return kResultOk;
}

tresult PLUGIN_API Controller::getParameterInfo(int32 index, ParameterInfo& info) {
    if (index != 0) return kInvalidArgument;
    info = ParameterInfo{};
    info.id = kLevelId;
    putWide(info.title, u"Level");
    info.defaultNormalizedValue = kLevelDefault;
    info.flags = ParameterInfo::kCanAutomate;
    return kResultOk;
}

tresult PLUGIN_API Controller::getParamStringByValue(ParamID id, ParamValue value, String128 string) {
    if (id != kLevelId) return kInvalidArgument;
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    char16_t wide[32] = {};
    for (int i = 0; text[i]; ++i) wide[i] = static_cast<char16_t>(text[i]);
    putWide(string, wide);
    return kResultOk;
}

ParamValue PLUGIN_API Controller::getParamNormalized(ParamID id) { return id == kLevelId ? level_ : 0; }

tresult PLUGIN_API Controller::setParamNormalized(ParamID id, ParamValue value) {
    if (id != kLevelId) return kInvalidArgument;
    level_ = value;
    return kResultOk;
}

tresult PLUGIN_API Controller::setComponentHandler(IComponentHandler* handler) {
    if (handler) handler->addRef();
    if (handler_) handler_->release();
    handler_ = handler;
    return kResultOk;
}

IPlugView* PLUGIN_API Controller::createView(FIDString name) {
    if (!name || std::strcmp(name, ViewType::kEditor) != 0) return nullptr;
    return makeView(this);
}

void Controller::userEdit() {
    level_ = level_ >= 0.5 ? 0.25 : 0.75;
    if (!handler_) return;
    handler_->beginEdit(kLevelId);
    handler_->performEdit(kLevelId, level_);
    handler_->endEdit(kLevelId);
}

} // namespace x11viewfx
