// Encoding into and decoding from reused memory, for the channel's frames. The
// direct forms handle the usual messages without building a JSON tree; when
// one meets anything it does not handle (escapes, text beyond ASCII, repeated
// keys, a value of the wrong type, ...), the tree-based codec decides, so that
// results and failure texts are always those of the tree.
#pragma once

#include "TarvelPluginBridge/PluginBridgeMessage.h"

#include <optional>
#include <string>
#include <string_view>

namespace pluginBridgeCodec {

// Appends the message's JSON text to `out`. Nothing on success, else the
// JSON library's description (and `out` is as it was).
std::optional<std::string> encodeInto(const PluginBridgeMessage& message, std::string& out);

// Decodes into `into`, reusing the memory of its texts and lists. Nothing on
// success, else the description; `into` then holds nothing of use.
std::optional<std::string> decodeInto(std::string_view json, PluginBridgeMessage& into);

// The two halves on their own, for tests that hold them against each other:
// the direct forms give false when they leave the message to the tree.
bool encodeDirect(const PluginBridgeMessage& message, std::string& out);
bool decodeDirect(std::string_view json, PluginBridgeMessage& into);
PluginBridgeExpected<std::string, std::string> encodeWithTree(const PluginBridgeMessage& message);
PluginBridgeExpected<PluginBridgeMessage, std::string> decodeWithTree(std::string_view json);

} // namespace pluginBridgeCodec
