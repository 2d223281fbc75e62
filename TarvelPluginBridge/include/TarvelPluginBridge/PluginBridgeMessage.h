// The one record exchanged with the parent application, in both directions:
// requests name an operation and carry its arguments, replies carry an error
// text or the results. Bulk bytes travel beside it as the frame's payload.
#pragma once

#include "TarvelPluginBridge/PluginBridgeExpected.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A note played into an instrument during one block.
struct PluginBridgeNoteEvent {
    std::int64_t offset = 0; // frame within the block
    std::int64_t pitch = 0;  // note number
    float velocity = 0;      // normally 0 to 1
    bool isNoteOn = false;

    bool operator==(const PluginBridgeNoteEvent&) const = default;
};

// One parameter of the open plug-in.
struct PluginBridgeParameter {
    std::uint32_t id = 0;
    std::string title;
    std::string units;       // possibly empty
    double value = 0;        // normalized, 0 to 1
    double defaultValue = 0; // normalized
    std::int64_t stepCount = 0; // 0 for a continuous parameter
    std::string display;     // the plug-in's text for the value; empty when it gives none
    bool isReadOnly = false;
    bool isBypass = false;

    bool operator==(const PluginBridgeParameter&) const = default;
};

struct PluginBridgeMessage {
    // The JSON form of each case is its name, letter case included.
    enum class Op {
        open,
        loadState,
        saveState,
        process,
        parameters,
        setParameter,
        status,
        openEditor,
        closeEditor,
        raiseEditor,
        quit,
        reply,
    };

    Op op = Op::reply;
    std::optional<std::string> error; // replies to a failed request only
    std::optional<std::string> path;
    std::optional<std::string> cid;
    std::optional<double> sampleRate;
    std::optional<std::int64_t> maxBlock;
    std::optional<std::int64_t> channels;
    std::optional<bool> wantsEditor;
    std::optional<bool> instrument;
    std::optional<std::int64_t> frames;
    std::optional<std::vector<PluginBridgeNoteEvent>> events;
    std::optional<std::int64_t> componentBytes;  // length of the component state at the payload's start
    std::optional<std::int64_t> controllerBytes; // length of the controller state at its end
    std::optional<std::uint32_t> paramID;
    std::optional<double> value;
    std::optional<std::vector<PluginBridgeParameter>> parameters;
    // In "open" and "loadState" replies, and in any reply after the plug-in
    // announced that its latency changed.
    std::optional<std::int64_t> latency;
    std::optional<bool> hasAudioInput;
    std::optional<std::int64_t> outputChannels;
    std::optional<bool> hasEditor;
    std::optional<std::int64_t> editCount;
    std::optional<bool> editorOpen;
    std::optional<std::string> title;
    std::optional<std::vector<double>> anchor; // x, y, width, height

    // A message with only `op` and `error` set.
    static PluginBridgeMessage init(Op op, std::optional<std::string> error = std::nullopt);
    static PluginBridgeMessage reply(std::optional<std::string> error = std::nullopt);

    // Every field equal. A NaN in a float field never compares equal.
    bool operator==(const PluginBridgeMessage&) const = default;

    // Compact JSON; absent fields are left out, non-finite floats are written
    // as "inf", "-inf" or "nan". Fails, with the JSON library's description,
    // only for a text that is not valid UTF-8.
    PluginBridgeExpected<std::string, std::string> toJSON() const;

    // Fails with a description when the text is not a JSON object, `op` is
    // missing or unknown, or any known key holds a value of the wrong type or
    // range (nested records included). Null and missing keys leave a field
    // absent; unknown keys are ignored. Never throws.
    static PluginBridgeExpected<PluginBridgeMessage, std::string> fromJSON(std::string_view json);
};

// "open", "loadState", ... "reply".
std::string_view pluginBridgeOpName(PluginBridgeMessage::Op op);
// Nothing for a name that is not exactly one of the twelve.
std::optional<PluginBridgeMessage::Op> pluginBridgeOpNamed(std::string_view name);
