#include "TarvelPluginBridge/PluginBridgeMessage.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <type_traits>

namespace {

// Written in the order of the fields, so that the text reads like the record.
using Encoded = nlohmann::ordered_json;
using Decoded = nlohmann::json;
using Op = PluginBridgeMessage::Op;

constexpr std::array<std::string_view, 12> kOpNames = {
    "open",   "loadState",   "saveState",   "process",     "parameters", "setParameter",
    "status", "openEditor",  "closeEditor", "raiseEditor", "quit",       "reply",
};

// ---- Fields ---------------------------------------------------------------

// Every field with its JSON key, in the order the text is written. Encoding
// and decoding both walk these lists, so a field is added in one place. The
// type of a field says how it is written and read.
template <class Event, class Visit>
void noteEventFields(Event& e, Visit&& visit) {
    visit("offset", e.offset);
    visit("pitch", e.pitch);
    visit("velocity", e.velocity);
    visit("isNoteOn", e.isNoteOn);
}

template <class Parameter, class Visit>
void parameterFields(Parameter& p, Visit&& visit) {
    visit("id", p.id);
    visit("title", p.title);
    visit("units", p.units);
    visit("value", p.value);
    visit("defaultValue", p.defaultValue);
    visit("stepCount", p.stepCount);
    visit("display", p.display);
    visit("isReadOnly", p.isReadOnly);
    visit("isBypass", p.isBypass);
}

// All but `op`, which comes first and is required.
template <class Message, class Visit>
void messageFields(Message& m, Visit&& visit) {
    visit("error", m.error);
    visit("path", m.path);
    visit("cid", m.cid);
    visit("sampleRate", m.sampleRate);
    visit("maxBlock", m.maxBlock);
    visit("channels", m.channels);
    visit("wantsEditor", m.wantsEditor);
    visit("instrument", m.instrument);
    visit("frames", m.frames);
    visit("events", m.events);
    visit("componentBytes", m.componentBytes);
    visit("controllerBytes", m.controllerBytes);
    visit("paramID", m.paramID);
    visit("value", m.value);
    visit("parameters", m.parameters);
    visit("latency", m.latency);
    visit("hasAudioInput", m.hasAudioInput);
    visit("outputChannels", m.outputChannels);
    visit("hasEditor", m.hasEditor);
    visit("editCount", m.editCount);
    visit("editorOpen", m.editorOpen);
    visit("title", m.title);
    visit("anchor", m.anchor);
}

// ---- Encoding -------------------------------------------------------------

// JSON has no non-finite numbers; both ends spell them as strings.
Encoded floatJSON(double v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    return v;
}

Encoded encoded(const PluginBridgeNoteEvent& e);
Encoded encoded(const PluginBridgeParameter& p);

template <class T>
Encoded encoded(const T& v) {
    if constexpr (std::is_floating_point_v<T>) {
        return floatJSON(v);
    } else {
        return v;
    }
}

template <class T>
Encoded encoded(const std::vector<T>& list) {
    Encoded a = Encoded::array();
    for (const auto& element : list) a.push_back(encoded(element));
    return a;
}

// Writes the fields it visits into one object; absent ones are left out.
struct FieldWriter {
    Encoded& object;

    template <class T>
    void operator()(const char* key, const T& field) {
        object[key] = encoded(field);
    }
    template <class T>
    void operator()(const char* key, const std::optional<T>& field) {
        if (field) object[key] = encoded(*field);
    }
};

Encoded encoded(const PluginBridgeNoteEvent& e) {
    Encoded o = Encoded::object();
    noteEventFields(e, FieldWriter{o});
    return o;
}

Encoded encoded(const PluginBridgeParameter& p) {
    Encoded o = Encoded::object();
    parameterFields(p, FieldWriter{o});
    return o;
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

// How a value of each field type is read, and what is expected when it cannot be.
template <class T>
struct Scalar;
template <>
struct Scalar<std::int64_t> {
    static constexpr auto convert = int64Value;
    static constexpr const char* expected = kInteger;
};
template <>
struct Scalar<std::uint32_t> {
    static constexpr auto convert = uint32Value;
    static constexpr const char* expected = kUInt32;
};
template <>
struct Scalar<double> {
    static constexpr auto convert = doubleValue;
    static constexpr const char* expected = kNumber;
};
template <>
struct Scalar<float> {
    static constexpr auto convert = floatValue;
    static constexpr const char* expected = kFloat32;
};
template <>
struct Scalar<bool> {
    static constexpr auto convert = boolValue;
    static constexpr const char* expected = kBoolean;
};
template <>
struct Scalar<std::string> {
    static constexpr auto convert = stringValue;
    static constexpr const char* expected = kText;
};

std::optional<PluginBridgeNoteEvent> elementValue(const Decoded& j, std::string& why, PluginBridgeNoteEvent*);
std::optional<PluginBridgeParameter> elementValue(const Decoded& j, std::string& why, PluginBridgeParameter*);

// A number in a list of numbers.
std::optional<double> elementValue(const Decoded& j, std::string& why, double*) {
    auto d = doubleValue(j);
    if (!d) why = std::string("not ") + Scalar<double>::expected;
    return d;
}

// Reads the fields it visits: plain ones are required, optional ones may be
// missing or null.
struct FieldVisitor {
    FieldReader& reader;

    template <class T>
    void operator()(const char* key, std::optional<std::vector<T>>& field) {
        reader.optionalList(key, field, [](const Decoded& j, std::string& why) {
            return elementValue(j, why, static_cast<T*>(nullptr));
        });
    }
    template <class T>
    void operator()(const char* key, std::optional<T>& field) {
        reader.optional(key, field, Scalar<T>::convert, Scalar<T>::expected);
    }
    template <class T>
    void operator()(const char* key, T& field) {
        reader.required(key, field, Scalar<T>::convert, Scalar<T>::expected);
    }
};

// A nested record: an object whose fields `visitFields` lists.
template <class Record, class VisitFields>
std::optional<Record> recordValue(const Decoded& j, std::string& why, VisitFields visitFields) {
    if (!j.is_object()) {
        why = "not an object";
        return std::nullopt;
    }
    Record record;
    FieldReader r(j, "");
    visitFields(record, FieldVisitor{r});
    if (r.failed()) {
        why = r.failure();
        return std::nullopt;
    }
    return record;
}

std::optional<PluginBridgeNoteEvent> elementValue(const Decoded& j, std::string& why, PluginBridgeNoteEvent*) {
    return recordValue<PluginBridgeNoteEvent>(
        j, why, [](PluginBridgeNoteEvent& e, FieldVisitor visit) { noteEventFields(e, visit); });
}

std::optional<PluginBridgeParameter> elementValue(const Decoded& j, std::string& why, PluginBridgeParameter*) {
    return recordValue<PluginBridgeParameter>(
        j, why, [](PluginBridgeParameter& p, FieldVisitor visit) { parameterFields(p, visit); });
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
    messageFields(m, FieldVisitor{r});
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
        messageFields(*this, FieldWriter{o});
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
