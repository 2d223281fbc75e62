#include "TarvelPluginBridge/PluginBridgeMessage.h"

#include "PluginBridgeMessageCodec.h"

#include <nlohmann/json.hpp>

#include <array>
#include <charconv>
#include <cstdint>
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

// One JSON value as the conversions below see it. A number keeps the form it
// was written in: a negative integer (or "-0"), a non-negative integer, or a
// floating-point number; "5", "5.0" and "5e0" are the same integer.
struct Value {
    enum class Kind { null, boolean, negativeInteger, unsignedInteger, floating, string, container };
    Kind kind = Kind::null;
    bool boolean = false;
    std::int64_t integer = 0;
    std::uint64_t unsignedInteger = 0;
    double floating = 0;
    std::string_view string;
};

Value valueOf(const Decoded& j) {
    Value v;
    if (j.is_null()) {
        v.kind = Value::Kind::null;
    } else if (j.is_boolean()) {
        v.kind = Value::Kind::boolean;
        v.boolean = j.get<bool>();
    } else if (j.is_number_unsigned()) {
        v.kind = Value::Kind::unsignedInteger;
        v.unsignedInteger = j.get<std::uint64_t>();
    } else if (j.is_number_integer()) {
        v.kind = Value::Kind::negativeInteger;
        v.integer = j.get<std::int64_t>();
    } else if (j.is_number_float()) {
        v.kind = Value::Kind::floating;
        v.floating = j.get<double>();
    } else if (j.is_string()) {
        v.kind = Value::Kind::string;
        v.string = j.get_ref<const std::string&>();
    } else {
        v.kind = Value::Kind::container;
    }
    return v;
}

std::optional<std::int64_t> int64Of(const Value& v) {
    switch (v.kind) {
    case Value::Kind::negativeInteger: return v.integer;
    case Value::Kind::unsignedInteger:
        if (v.unsignedInteger > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
        return static_cast<std::int64_t>(v.unsignedInteger);
    case Value::Kind::floating: {
        const double d = v.floating;
        // 2^63 is exact as a double; the cast is defined only below it.
        if (!std::isfinite(d) || std::trunc(d) != d || d < -0x1p63 || d >= 0x1p63) return std::nullopt;
        return static_cast<std::int64_t>(d);
    }
    default: return std::nullopt;
    }
}

std::optional<std::uint32_t> uint32Of(const Value& v) {
    constexpr auto max = std::numeric_limits<std::uint32_t>::max();
    switch (v.kind) {
    case Value::Kind::unsignedInteger:
        if (v.unsignedInteger > max) return std::nullopt;
        return static_cast<std::uint32_t>(v.unsignedInteger);
    case Value::Kind::negativeInteger:
        if (v.integer < 0 || v.integer > static_cast<std::int64_t>(max)) return std::nullopt;
        return static_cast<std::uint32_t>(v.integer);
    case Value::Kind::floating: {
        const double d = v.floating;
        if (!std::isfinite(d) || std::trunc(d) != d || d < 0 || d > max) return std::nullopt;
        return static_cast<std::uint32_t>(d);
    }
    default: return std::nullopt;
    }
}

std::optional<double> doubleOf(const Value& v) {
    switch (v.kind) {
    case Value::Kind::negativeInteger: return static_cast<double>(v.integer);
    case Value::Kind::unsignedInteger: return static_cast<double>(v.unsignedInteger);
    case Value::Kind::floating: return v.floating;
    case Value::Kind::string:
        if (v.string == "inf") return std::numeric_limits<double>::infinity();
        if (v.string == "-inf") return -std::numeric_limits<double>::infinity();
        if (v.string == "nan") return std::numeric_limits<double>::quiet_NaN();
        return std::nullopt;
    default: return std::nullopt;
    }
}

// A finite number that a 32-bit float cannot hold is refused rather than
// turned into an infinity. Numbers that round to the largest float (as its
// shortest decimal spelling does) are kept.
std::optional<float> floatOf(const Value& v) {
    const auto d = doubleOf(v);
    if (!d) return std::nullopt;
    if (!std::isfinite(*d)) return static_cast<float>(*d);
    constexpr double roundsToInfinity = 0x1p128 - 0x1p103;
    constexpr double largest = std::numeric_limits<float>::max();
    if (std::fabs(*d) >= roundsToInfinity) return std::nullopt;
    if (*d > largest) return std::numeric_limits<float>::max();
    if (*d < -largest) return -std::numeric_limits<float>::max();
    return static_cast<float>(*d);
}

std::optional<bool> boolOf(const Value& v) {
    if (v.kind == Value::Kind::boolean) return v.boolean;
    return std::nullopt;
}

std::optional<std::int64_t> int64Value(const Decoded& j) { return int64Of(valueOf(j)); }
std::optional<std::uint32_t> uint32Value(const Decoded& j) { return uint32Of(valueOf(j)); }
std::optional<double> doubleValue(const Decoded& j) { return doubleOf(valueOf(j)); }
std::optional<float> floatValue(const Decoded& j) { return floatOf(valueOf(j)); }
std::optional<bool> boolValue(const Decoded& j) { return boolOf(valueOf(j)); }

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

// ---- Direct encoding ------------------------------------------------------

namespace {

// Writes what the tree's compact dump writes for the same fields, byte for
// byte: numbers through the same shortest round-trip conversion.
class DirectWriter {
public:
    explicit DirectWriter(std::string& out) : out_(out) {}
    bool ok() const { return ok_; }

    template <class T>
    void operator()(const char* key, const std::optional<T>& field) {
        if (field) (*this)(key, *field);
    }
    template <class T>
    void operator()(const char* key, const T& field) {
        key_(key);
        value(field);
    }

    void begin() { out_ += '{'; first_ = true; }
    void end() { out_ += '}'; first_ = false; }

    void value(const std::string& text) {
        // Plain printable ASCII only; anything to escape or to check as UTF-8
        // is left to the tree.
        for (const char c : text) {
            const auto u = static_cast<unsigned char>(c);
            if (u < 0x20 || u >= 0x80 || c == '"' || c == '\\') ok_ = false;
        }
        out_ += '"';
        out_ += text;
        out_ += '"';
    }
    void value(bool b) { out_ += b ? "true" : "false"; }
    void value(std::int64_t v) { integer(v); }
    void value(std::uint32_t v) { integer(v); }
    void value(float v) { value(static_cast<double>(v)); }
    void value(double v) {
        if (std::isnan(v)) {
            out_ += "\"nan\"";
        } else if (std::isinf(v)) {
            out_ += v > 0 ? "\"inf\"" : "\"-inf\"";
        } else {
            char buffer[64];
            char* e = nlohmann::detail::to_chars(buffer, buffer + sizeof buffer, v);
            out_.append(buffer, e);
        }
    }
    void value(const PluginBridgeNoteEvent& e) {
        begin();
        noteEventFields(e, *this);
        end();
    }
    void value(const PluginBridgeParameter& p) {
        begin();
        parameterFields(p, *this);
        end();
    }
    template <class T>
    void value(const std::vector<T>& list) {
        out_ += '[';
        bool firstElement = true;
        for (const auto& element : list) {
            if (!firstElement) out_ += ',';
            firstElement = false;
            value(element);
        }
        out_ += ']';
    }

private:
    void key_(const char* key) {
        if (!first_) out_ += ',';
        first_ = false;
        out_ += '"';
        out_ += key;
        out_ += "\":";
    }
    template <class T>
    void integer(T v) {
        char buffer[24];
        const auto r = std::to_chars(buffer, buffer + sizeof buffer, v);
        out_.append(buffer, r.ptr);
    }

    std::string& out_;
    bool first_ = true;
    bool ok_ = true;
};

// ---- Direct decoding ------------------------------------------------------

// Reads the usual messages straight from the text: objects, lists of records
// or numbers, strings of plain printable ASCII, numbers, literals. Gives up
// (false) on anything else, on a repeated key and on any value that is not
// right, and the tree then decides.
class DirectReader {
public:
    DirectReader(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

    bool message(PluginBridgeMessage& m) {
        std::uint32_t seen = 0;
        bool haveOp = false;
        Op op = Op::reply;
        const bool ok = object([&](std::string_view key) {
            if (key == "op") {
                if (haveOp) return false;
                haveOp = true;
                std::string_view name;
                if (!string(name)) return false;
                const auto named = pluginBridgeOpNamed(name);
                if (!named) return false;
                op = *named;
                return true;
            }
            return field(key, seen, [&](auto visit) { messageFields(m, visit); });
        });
        if (!ok || !haveOp) return false;
        whitespace();
        if (p_ != end_) return false;
        m.op = op;
        // Every field not in the text is absent.
        std::uint32_t bit = 1;
        messageFields(m, [&](const char*, auto& f) {
            if (!(seen & bit)) f.reset();
            bit <<= 1;
        });
        return true;
    }

private:
    // Finds `key` among the fields `walk` visits and reads its value into it.
    // Unknown keys are skipped when their value is a plain one.
    template <class Walk>
    bool field(std::string_view key, std::uint32_t& seen, Walk walk) {
        bool found = false, ok = true;
        std::uint32_t bit = 1;
        walk([&](const char* name, auto& f) {
            if (!found && key == name) {
                found = true;
                if (seen & bit) {
                    ok = false;
                } else {
                    seen |= bit;
                    ok = read(f);
                }
            }
            bit <<= 1;
        });
        if (!found) {
            Value ignored;
            return scalar(ignored);
        }
        return ok;
    }

    template <class T>
    bool read(std::optional<T>& f) {
        whitespace();
        if (literal("null")) {
            f.reset();
            return true;
        }
        if (!f) f.emplace();
        return read(*f);
    }
    bool read(std::string& f) {
        std::string_view s;
        if (!string(s)) return false;
        f.assign(s);
        return true;
    }
    template <class T, class Convert>
    bool convert(T& f, Convert c) {
        Value v;
        if (!scalar(v)) return false;
        const auto r = c(v);
        if (!r) return false;
        f = *r;
        return true;
    }
    bool read(bool& f) { return convert(f, boolOf); }
    bool read(std::int64_t& f) { return convert(f, int64Of); }
    bool read(std::uint32_t& f) { return convert(f, uint32Of); }
    bool read(double& f) { return convert(f, doubleOf); }
    bool read(float& f) { return convert(f, floatOf); }
    template <class T>
    bool read(std::vector<T>& list) {
        list.clear();
        whitespace();
        if (!take('[')) return false;
        whitespace();
        if (take(']')) return true;
        for (;;) {
            list.emplace_back();
            if (!element(list.back())) return false;
            whitespace();
            if (take(']')) return true;
            if (!take(',')) return false;
        }
    }
    bool element(double& d) { return read(d); }
    bool element(PluginBridgeNoteEvent& e) {
        return record(0xF, [&](auto visit) { noteEventFields(e, visit); });
    }
    bool element(PluginBridgeParameter& p) {
        return record(0x1FF, [&](auto visit) { parameterFields(p, visit); });
    }
    // A nested record whose every field is required: a missing one, or one
    // given as null, is left to the tree to name.
    template <class Walk>
    bool record(std::uint32_t all, Walk walk) {
        std::uint32_t seen = 0;
        const bool ok = object([&](std::string_view key) { return field(key, seen, walk); });
        return ok && seen == all;
    }

    // An object: calls `member` with each key, positioned at its value.
    template <class Member>
    bool object(Member member) {
        whitespace();
        if (!take('{')) return false;
        whitespace();
        if (take('}')) return true;
        for (;;) {
            whitespace();
            std::string_view key;
            if (!string(key)) return false;
            whitespace();
            if (!take(':')) return false;
            whitespace();
            if (!member(key)) return false;
            whitespace();
            if (take('}')) return true;
            if (!take(',')) return false;
        }
    }

    // A value that is not a container.
    bool scalar(Value& v) {
        whitespace();
        if (p_ == end_) return false;
        switch (*p_) {
        case '"':
            v.kind = Value::Kind::string;
            return string(v.string);
        case 't':
            v.kind = Value::Kind::boolean;
            v.boolean = true;
            return literal("true");
        case 'f':
            v.kind = Value::Kind::boolean;
            v.boolean = false;
            return literal("false");
        case 'n': v.kind = Value::Kind::null; return literal("null");
        default: return number(v);
        }
    }

    bool string(std::string_view& s) {
        if (!take('"')) return false;
        const char* start = p_;
        for (; p_ != end_; ++p_) {
            const auto u = static_cast<unsigned char>(*p_);
            if (u == '"') {
                s = std::string_view(start, static_cast<std::size_t>(p_ - start));
                ++p_;
                return true;
            }
            if (u < 0x20 || u >= 0x80 || u == '\\') return false;
        }
        return false;
    }

    // JSON's number grammar; integers that do not fit 64 bits and floating
    // numbers out of range are left to the tree.
    bool number(Value& v) {
        const char* start = p_;
        const bool negative = take('-');
        if (p_ == end_ || !digit(*p_)) return false;
        if (*p_ == '0') {
            ++p_;
        } else {
            while (p_ != end_ && digit(*p_)) ++p_;
        }
        bool floating = false;
        if (p_ != end_ && *p_ == '.') {
            floating = true;
            ++p_;
            if (p_ == end_ || !digit(*p_)) return false;
            while (p_ != end_ && digit(*p_)) ++p_;
        }
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            floating = true;
            ++p_;
            if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
            if (p_ == end_ || !digit(*p_)) return false;
            while (p_ != end_ && digit(*p_)) ++p_;
        }
        if (floating) {
            double d = 0;
            const auto r = std::from_chars(start, p_, d);
            if (r.ec != std::errc() || r.ptr != p_ || !std::isfinite(d)) return false;
            v.kind = Value::Kind::floating;
            v.floating = d;
            return true;
        }
        if (negative) {
            std::int64_t i = 0;
            const auto r = std::from_chars(start, p_, i);
            if (r.ec != std::errc() || r.ptr != p_) return false;
            v.kind = Value::Kind::negativeInteger;
            v.integer = i;
            return true;
        }
        std::uint64_t u = 0;
        const auto r = std::from_chars(start, p_, u);
        if (r.ec != std::errc() || r.ptr != p_) return false;
        v.kind = Value::Kind::unsignedInteger;
        v.unsignedInteger = u;
        return true;
    }

    static bool digit(char c) { return c >= '0' && c <= '9'; }
    bool take(char c) {
        if (p_ != end_ && *p_ == c) {
            ++p_;
            return true;
        }
        return false;
    }
    bool literal(std::string_view word) {
        if (static_cast<std::size_t>(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word) return false;
        p_ += word.size();
        return true;
    }
    void whitespace() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
    }

    const char* p_;
    const char* end_;
};

} // namespace

namespace pluginBridgeCodec {

PluginBridgeExpected<std::string, std::string> encodeWithTree(const PluginBridgeMessage& message) {
    using Result = PluginBridgeExpected<std::string, std::string>;
    try {
        Encoded o = Encoded::object();
        o["op"] = std::string(pluginBridgeOpName(message.op));
        messageFields(message, FieldWriter{o});
        // Strict: a text that is not UTF-8 (an error text from a plug-in, say)
        // is refused here rather than sent for the other end to choke on.
        return o.dump();
    } catch (const std::exception& e) {
        return Result(pluginBridgeUnexpected(std::string(e.what())));
    }
}

PluginBridgeExpected<PluginBridgeMessage, std::string> decodeWithTree(std::string_view json) {
    using Result = PluginBridgeExpected<PluginBridgeMessage, std::string>;
    try {
        const Decoded parsed = Decoded::parse(json.begin(), json.end());
        return decodeObject(parsed);
    } catch (const std::exception& e) {
        return Result(pluginBridgeUnexpected(std::string(e.what())));
    }
}

bool encodeDirect(const PluginBridgeMessage& message, std::string& out) {
    const std::size_t start = out.size();
    DirectWriter w(out);
    w.begin();
    w("op", std::string(pluginBridgeOpName(message.op)));
    messageFields(message, w);
    w.end();
    if (!w.ok()) out.resize(start);
    return w.ok();
}

bool decodeDirect(std::string_view json, PluginBridgeMessage& into) {
    return DirectReader(json).message(into);
}

std::optional<std::string> encodeInto(const PluginBridgeMessage& message, std::string& out) {
    if (encodeDirect(message, out)) return std::nullopt;
    auto json = encodeWithTree(message);
    if (!json) return json.error();
    out += *json;
    return std::nullopt;
}

std::optional<std::string> decodeInto(std::string_view json, PluginBridgeMessage& into) {
    if (decodeDirect(json, into)) return std::nullopt;
    auto message = decodeWithTree(json);
    if (!message) return message.error();
    into = std::move(*message);
    return std::nullopt;
}

} // namespace pluginBridgeCodec

PluginBridgeExpected<std::string, std::string> PluginBridgeMessage::toJSON() const {
    using Result = PluginBridgeExpected<std::string, std::string>;
    std::string out;
    if (auto failure = pluginBridgeCodec::encodeInto(*this, out)) return Result(pluginBridgeUnexpected(std::move(*failure)));
    return out;
}

PluginBridgeExpected<PluginBridgeMessage, std::string> PluginBridgeMessage::fromJSON(std::string_view json) {
    using Result = PluginBridgeExpected<PluginBridgeMessage, std::string>;
    PluginBridgeMessage m;
    if (auto failure = pluginBridgeCodec::decodeInto(json, m)) return Result(pluginBridgeUnexpected(std::move(*failure)));
    return m;
}
