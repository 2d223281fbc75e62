#include "tv3/Message.h"

#include "tv3/AttributeList.h"

using namespace Steinberg;

namespace tv3 {

Message::Message() : attributes_(new AttributeList()) {}

Message::~Message() { attributes_->release(); }

FIDString PLUGIN_API Message::getMessageID() { return id_.empty() ? nullptr : id_.c_str(); }

void PLUGIN_API Message::setMessageID(FIDString id) { id_ = id ? id : ""; }

Vst::IAttributeList* PLUGIN_API Message::getAttributes() { return attributes_; }

} // namespace tv3
