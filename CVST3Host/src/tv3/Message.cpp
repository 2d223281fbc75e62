#include "tv3/Message.h"

#include "tv3/AttributeList.h"

#include <new>

using namespace Steinberg;

namespace tv3 {

Message::Message() : attributes_(new AttributeList()) {}

Message::~Message() { attributes_->release(); }

FIDString PLUGIN_API Message::getMessageID() { return id_.empty() ? nullptr : id_.c_str(); }

void PLUGIN_API Message::setMessageID(FIDString id) {
    // No result to give: out of memory, the message keeps its old id rather
    // than throwing into the plug-in.
    try {
        id_ = id ? id : "";
    } catch (const std::bad_alloc&) {
    }
}

Vst::IAttributeList* PLUGIN_API Message::getAttributes() { return attributes_; }

} // namespace tv3
