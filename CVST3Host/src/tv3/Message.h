#pragma once

#include "tv3/Unknown.h"

#include <string>

namespace tv3 {

class AttributeList;

// A message between a plug-in's processor and controller halves, with its own
// attribute list.
class Message final : public Unknown<Steinberg::Vst::IMessage> {
public:
    Message();
    ~Message() override;

    Steinberg::FIDString PLUGIN_API getMessageID() override;
    void PLUGIN_API setMessageID(Steinberg::FIDString id) override;
    Steinberg::Vst::IAttributeList* PLUGIN_API getAttributes() override;

private:
    std::string id_;
    AttributeList* attributes_; // one reference
};

} // namespace tv3
