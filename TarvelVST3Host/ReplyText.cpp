#include "ReplyText.h"

#include "TarvelPluginBridge/PluginBridgeText.h"

namespace {

void makeValid(std::string& text) {
    if (!isValidUTF8(text)) text = replacingInvalidUTF8(text);
}

void makeValid(std::optional<std::string>& text) {
    if (text) makeValid(*text);
}

} // namespace

void makeRepliedTextsValid(PluginBridgeMessage& message) {
    makeValid(message.error);
    makeValid(message.path);
    makeValid(message.cid);
    makeValid(message.title);
    if (message.parameters) {
        for (PluginBridgeParameter& parameter : *message.parameters) {
            makeValid(parameter.title);
            makeValid(parameter.units);
            makeValid(parameter.display);
        }
    }
}
