#include "TarvelPluginBridge/PluginBridgeMessage.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>

namespace {

// Written in the order of the fields, so that the text reads like the record.
using Encoded = nlohmann::ordered_json;
using Decoded = nlohmann::json;
using Op = PluginBridgeMessage::Op;

constexpr std::array<std::string_view, 12> kOpNames = {
    "open",   "loadState",   "saveState",   "process",     "parameters", "setParameter",
    "status", "openEditor",  "closeEditor", "raiseEditor", "quit",       "reply",
};

// ---- Encoding -------------------------------------------------------------

// JSON has no non-finite numbers; both ends spell them as strings.
Encoded floatJSON(double v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    return v;
}

Encoded noteEventJSON(const PluginBridgeNoteEvent& e) {
    Encoded o = Encoded::object();
    o["offset"] = e.offset;
    o["pitch"] = e.pitch;
    o["velocity"] = floatJSON(e.velocity);
    o["isNoteOn"] = e.isNoteOn;
    return o;
}

Encoded parameterJSON(const PluginBridgeParameter& p) {
    Encoded o = Encoded::object();
    o["id"] = p.id;
    o["title"] = p.title;
    o["units"] = p.units;
    o["value"] = floatJSON(p.value);
    o["defaultValue"] = floatJSON(p.defaultValue);
    o["stepCount"] = p.stepCount;
    o["display"] = p.display;
    o["isReadOnly"] = p.isReadOnly;
    o["isBypass"] = p.isBypass;
    return o;
}

template <class T>
void put(Encoded& o, const char* key, const std::optional<T>& field) {
    if (field) o[key] = *field;
}

void putFloat(Encoded& o, const char* key, const std::optional<double>& field) {
    if (field) o[key] = floatJSON(*field);
}

template <class T, class Convert>
void putList(Encoded& o, const char* key, const std::optional<std::vector<T>>& field, Convert convert) {
    if (!field) return;
    Encoded a = Encoded::array();
    for (const auto& element : *field) a.push_back(convert(element));
    o[key] = std::move(a);
}

// ---- Decoding -------------------------------------------------------------

// nlohmann keeps a number as a signed, an unsigned or a floating-point value,
// depending on how it was written; "5", "5.0" and "5e0" are the same integer.
std::optional<std::int64_t> int64Value(const Decoded& j) {
    if (j.is_number_integer() && !j.is_number_unsigned()) return j.get<std::int64_t>();
    if (j.is_number_unsigned()) {
        const auto u = j.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
        return static_cast<std::int64_t>(u);
    }
    if (j.is_number_float()) {
        const double d = j.get<double>();
        // 2^63 is exact as a double; the cast is defined only below it.
        if (!std::isfinite(d) || std::trunc(d) != d || d < -0x1p63 || d >= 0x1p63) return std::nullopt;
        return static_cast<std::int64_t>(d);
    }
    return std::nullopt;
}

std::optional<std::uint32_t> uint32Value(const Decoded& j) {
    constexpr auto max = std::numeric_limits<std::uint32_t>::max();
    if (j.is_number_unsigned()) {
        const auto u = j.get<std::uint64_t>();
        if (u > max) return std::nullopt;
        return static_cast<std::uint32_t>(u);
    }
    if (j.is_number_integer()) {
        const auto i = j.get<std::int64_t>();
        if (i < 0 || i > static_cast<std::int64_t>(max)) return std::nullopt;
        return static_cast<std::uint32_t>(i);
    }
    if (j.is_number_float()) {
        const double d = j.get<double>();
        if (!std::isfinite(d) || std::trunc(d) != d || d < 0 || d > max) return std::nullopt;
        return static_cast<std::uint32_t>(d);
    }
    return std::nullopt;
}

std::optional<double> doubleValue(const Decoded& j) {
    if (j.is_number()) return j.get<double>();
    if (j.is_string()) {
        const auto& s = j.get_ref<const std::string&>();
        if (s == "inf") return std::numeric_limits<double>::infinity();
        if (s == "-inf") return -std::numeric_limits<double>::infinity();
        if (s == "nan") return std::numeric_limits<double>::quiet_NaN();
    }
    return std::nullopt;
}

// A finite number that a 32-bit float cannot hold is refused rather than
// turned into an infinity. Numbers that round to the largest float (as its
// shortest decimal spelling does) are kept.
std::optional<float> floatValue(const Decoded& j) {
    const auto d = doubleValue(j);
    if (!d) return std::nullopt;
    if (!std::isfinite(*d)) return static_cast<float>(*d);
    constexpr double roundsToInfinity = 0x1p128 - 0x1p103;
    constexpr double largest = std::numeric_limits<float>::max();
    if (std::fabs(*d) >= roundsToInfinity) return std::nullopt;
    if (*d > largest) return std::numeric_limits<float>::max();
    if (*d < -largest) return -std::numeric_limits<float>::max();
    return static_cast<float>(*d);
}

std::optional<bool> boolValue(const Decoded& j) {
    if (j.is_boolean()) return j.get<bool>();
    return std::nullopt;
}

std::optional<std::string> stringValue(const Decoded& j) {
    if (j.is_string()) return j.get<std::string>();
    return std::nullopt;
}

std::string quoted(std::string_view key) {
    std::string s;
    s.reserve(key.size() + 2);
    s += '"';
    s += key;
    s += '"';
    return s;
}

// Reads the fields of one JSON object, remembering the first failure.
class FieldReader {
public:
    FieldReader(const Decoded& object, std::string context)
        : object_(object), context_(std::move(context)) {}

    bool failed() const { return !failure_.empty(); }
    const std::string& failure() const { return failure_; }

    // Missing or null leaves the field absent.
    template <class T, class Convert>
    void optional(const char* key, std::optional<T>& into, Convert convert, const char* expected) {
        if (failed()) return;
        const auto it = object_.find(key);
        if (it == object_.end() || it->is_null()) return;
        auto value = convert(*it);
        if (!value) return fail(quoted(key) + " is not " + expected);
        into = std::move(*value);
    }

    template <class T, class Convert>
    void required(const char* key, T& into, Convert convert, const char* expected) {
        if (failed()) return;
        const auto it = object_.find(key);
        if (it == object_.end() || it->is_null()) return fail(quoted(key) + " is missing");
        auto value = convert(*it);
        if (!value) return fail(quoted(key) + " is not " + expected);
        into = std::move(*value);
    }

    // A list whose every element must convert; the converter tells why not.
    template <class T, class Convert>
    void optionalList(const char* key, std::optional<std::vector<T>>& into, Convert convert) {
        if (failed()) return;
        const auto it = object_.find(key);
        if (it == object_.end() || it->is_null()) return;
        if (!it->is_array()) return fail(quoted(key) + " is not a list");
        std::vector<T> list;
        list.reserve(it->size());
        std::size_t index = 0;
        for (const auto& element : *it) {
            std::string why;
            auto value = convert(element, why);
            if (!value) return fail(quoted(key) + " element " + std::to_string(index) + ": " + why);
            list.push_back(std::move(*value));
            ++index;
        }
        into = std::move(list);
    }

private:
    void fail(std::string why) { failure_ = context_ + std::move(why); }

    const Decoded& object_;
    std::string context_;
    std::string failure_;
};

constexpr const char* kInteger = "an integer within range";
constexpr const char* kUInt32 = "an integer from 0 to 4294967295";
constexpr const char* kNumber = "a number or \"inf\", \"-inf\", \"nan\"";
constexpr const char* kFloat32 = "a number that fits a 32-bit float or \"inf\", \"-inf\", \"nan\"";
constexpr const char* kBoolean = "true or false";
constexpr const char* kText = "a string";

// A nested record: an object whose fields `fill` reads.
template <class Record, class Fill>
std::optional<Record> recordValue(const Decoded& j, std::string& why, Fill fill) {
    if (!j.is_object()) {
        why = "not an object";
        return std::nullopt;
    }
    Record record;
    FieldReader r(j, "");
    fill(r, record);
    if (r.failed()) {
        why = r.failure();
        return std::nullopt;
    }
    return record;
}

std::optional<PluginBridgeNoteEvent> noteEventValue(const Decoded& j, std::string& why) {
    return recordValue<PluginBridgeNoteEvent>(j, why, [](FieldReader& r, PluginBridgeNoteEvent& e) {
        r.required("offset", e.offset, int64Value, kInteger);
        r.required("pitch", e.pitch, int64Value, kInteger);
        r.required("velocity", e.velocity, floatValue, kFloat32);
        r.required("isNoteOn", e.isNoteOn, boolValue, kBoolean);
    });
}

std::optional<PluginBridgeParameter> parameterValue(const Decoded& j, std::string& why) {
    return recordValue<PluginBridgeParameter>(j, why, [](FieldReader& r, PluginBridgeParameter& p) {
        r.required("id", p.id, uint32Value, kUInt32);
        r.required("title", p.title, stringValue, kText);
        r.required("units", p.units, stringValue, kText);
        r.required("value", p.value, doubleValue, kNumber);
        r.required("defaultValue", p.defaultValue, doubleValue, kNumber);
        r.required("stepCount", p.stepCount, int64Value, kInteger);
        r.required("display", p.display, stringValue, kText);
        r.required("isReadOnly", p.isReadOnly, boolValue, kBoolean);
        r.required("isBypass", p.isBypass, boolValue, kBoolean);
    });
}

std::optional<double> anchorValue(const Decoded& j, std::string& why) {
    auto d = doubleValue(j);
    if (!d) why = std::string("not ") + kNumber;
    return d;
}

PluginBridgeExpected<PluginBridgeMessage, std::string> decodeObject(const Decoded& o) {
    using Result = PluginBridgeExpected<PluginBridgeMessage, std::string>;
    if (!o.is_object()) return Result(pluginBridgeUnexpected(std::string("the message is not a JSON object")));
    const auto opIt = o.find("op");
    if (opIt == o.end() || opIt->is_null()) return Result(pluginBridgeUnexpected(std::string("\"op\" is missing")));
    if (!opIt->is_string()) return Result(pluginBridgeUnexpected(std::string("\"op\" is not a string")));
    const auto op = pluginBridgeOpNamed(opIt->get_ref<const std::string&>());
    if (!op) return Result(pluginBridgeUnexpected(std::string("\"op\" is not a known operation")));

    PluginBridgeMessage m = PluginBridgeMessage::init(*op);
    FieldReader r(o, "");
    r.optional("error", m.error, stringValue, kText);
    r.optional("path", m.path, stringValue, kText);
    r.optional("cid", m.cid, stringValue, kText);
    r.optional("sampleRate", m.sampleRate, doubleValue, kNumber);
    r.optional("maxBlock", m.maxBlock, int64Value, kInteger);
    r.optional("channels", m.channels, int64Value, kInteger);
    r.optional("wantsEditor", m.wantsEditor, boolValue, kBoolean);
    r.optional("instrument", m.instrument, boolValue, kBoolean);
    r.optional("frames", m.frames, int64Value, kInteger);
    r.optionalList("events", m.events, noteEventValue);
    r.optional("componentBytes", m.componentBytes, int64Value, kInteger);
    r.optional("controllerBytes", m.controllerBytes, int64Value, kInteger);
    r.optional("paramID", m.paramID, uint32Value, kUInt32);
    r.optional("value", m.value, doubleValue, kNumber);
    r.optionalList("parameters", m.parameters, parameterValue);
    r.optional("latency", m.latency, int64Value, kInteger);
    r.optional("hasAudioInput", m.hasAudioInput, boolValue, kBoolean);
    r.optional("outputChannels", m.outputChannels, int64Value, kInteger);
    r.optional("hasEditor", m.hasEditor, boolValue, kBoolean);
    r.optional("editCount", m.editCount, int64Value, kInteger);
    r.optional("editorOpen", m.editorOpen, boolValue, kBoolean);
    r.optional("title", m.title, stringValue, kText);
    r.optionalList("anchor", m.anchor, anchorValue);
    if (r.failed()) return Result(pluginBridgeUnexpected(r.failure()));
    return m;
}

} // namespace

std::string_view pluginBridgeOpName(PluginBridgeMessage::Op op) {
    const auto index = static_cast<std::size_t>(op);
    return index < kOpNames.size() ? kOpNames[index] : std::string_view("?");
}

std::optional<PluginBridgeMessage::Op> pluginBridgeOpNamed(std::string_view name) {
    for (std::size_t i = 0; i < kOpNames.size(); ++i) {
        if (kOpNames[i] == name) return static_cast<Op>(i);
    }
    return std::nullopt;
}

PluginBridgeMessage PluginBridgeMessage::init(Op op, std::optional<std::string> error) {
    PluginBridgeMessage m;
    m.op = op;
    m.error = std::move(error);
    return m;
}

PluginBridgeMessage PluginBridgeMessage::reply(std::optional<std::string> error) {
    return init(Op::reply, std::move(error));
}

PluginBridgeExpected<std::string, std::string> PluginBridgeMessage::toJSON() const {
    using Result = PluginBridgeExpected<std::string, std::string>;
    try {
        Encoded o = Encoded::object();
        o["op"] = std::string(pluginBridgeOpName(op));
        put(o, "error", error);
        put(o, "path", path);
        put(o, "cid", cid);
        putFloat(o, "sampleRate", sampleRate);
        put(o, "maxBlock", maxBlock);
        put(o, "channels", channels);
        put(o, "wantsEditor", wantsEditor);
        put(o, "instrument", instrument);
        put(o, "frames", frames);
        putList(o, "events", events, noteEventJSON);
        put(o, "componentBytes", componentBytes);
        put(o, "controllerBytes", controllerBytes);
        put(o, "paramID", paramID);
        putFloat(o, "value", value);
        putList(o, "parameters", parameters, parameterJSON);
        put(o, "latency", latency);
        put(o, "hasAudioInput", hasAudioInput);
        put(o, "outputChannels", outputChannels);
        put(o, "hasEditor", hasEditor);
        put(o, "editCount", editCount);
        put(o, "editorOpen", editorOpen);
        put(o, "title", title);
        putList(o, "anchor", anchor, floatJSON);
        // Strict: a text that is not UTF-8 (an error text from a plug-in, say)
        // is refused here rather than sent for the other end to choke on.
        return o.dump();
    } catch (const std::exception& e) {
        return Result(pluginBridgeUnexpected(std::string(e.what())));
    }
}

PluginBridgeExpected<PluginBridgeMessage, std::string> PluginBridgeMessage::fromJSON(std::string_view json) {
    using Result = PluginBridgeExpected<PluginBridgeMessage, std::string>;
    try {
        const Decoded parsed = Decoded::parse(json.begin(), json.end());
        return decodeObject(parsed);
    } catch (const std::exception& e) {
        return Result(pluginBridgeUnexpected(std::string(e.what())));
    }
}
