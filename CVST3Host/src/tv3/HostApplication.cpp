#include "tv3/HostApplication.h"

#include "tv3/AttributeList.h"
#include "tv3/Message.h"
#include "tv3/RunLoop.h"

#include <new>

using namespace Steinberg;

namespace tv3 {
namespace {

bool sameId(const TUID a, const int8* b) { return std::memcmp(a, b, sizeof(TUID)) == 0; }

} // namespace

HostApplication::HostApplication(RunLoop* runLoop) : runLoop_(runLoop) {
    if (runLoop_) runLoop_->addRef();
}

HostApplication::~HostApplication() {
    if (runLoop_) runLoop_->release();
}

tresult PLUGIN_API HostApplication::queryInterface(const TUID iid, void** obj) {
    return answerRunLoop(runLoop_, iid, obj) ? kResultOk : Unknown::queryInterface(iid, obj);
}

tresult PLUGIN_API HostApplication::getName(Vst::String128 name) {
    if (!name) return kInvalidArgument;
    int i = 0;
    for (; kName[i] != '\0'; ++i) name[i] = static_cast<Vst::TChar>(kName[i]);
    name[i] = 0;
    return kResultOk;
}

tresult PLUGIN_API HostApplication::createInstance(TUID cid, TUID iid, void** obj) {
    if (!obj) return kInvalidArgument;
    *obj = nullptr;
    try {
        if (cid && iid && sameId(cid, Vst::IMessage_iid) && sameId(iid, Vst::IMessage_iid)) {
            *obj = static_cast<Vst::IMessage*>(new Message());
            return kResultOk;
        }
        if (cid && iid && sameId(cid, Vst::IAttributeList_iid) && sameId(iid, Vst::IAttributeList_iid)) {
            *obj = static_cast<Vst::IAttributeList*>(new AttributeList());
            return kResultOk;
        }
    } catch (const std::bad_alloc&) {
        return kOutOfMemory; // *obj stays null
    }
    return kResultFalse;
}

} // namespace tv3
