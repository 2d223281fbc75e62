// Encoding messages to JSON, and encoding then decoding.
#include "TarvelPluginBridge/PluginBridgeMessage.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <type_traits>

namespace {

using Op = PluginBridgeMessage::Op;

nlohmann::json encodedObject(const PluginBridgeMessage& m) {
    const auto json = m.toJSON();
    EXPECT_TRUE(json) << json.error();
    return json ? nlohmann::json::parse(*json) : nlohmann::json();
}

TEST(MessageEncoding, ReplyWithoutErrorIsTheSingleKeyOp) {
    EXPECT_EQ(*PluginBridgeMessage::reply().toJSON(), R"({"op":"reply"})");
}

TEST(MessageEncoding, InitSetsOnlyOpAndError) {
    const auto m = PluginBridgeMessage::init(Op::open, "no instance is open");
    PluginBridgeMessage expected;
    expected.op = Op::open;
    expected.error = "no instance is open";
    EXPECT_EQ(m, expected);
    EXPECT_EQ(*m.toJSON(), R"({"op":"open","error":"no instance is open"})");
    EXPECT_EQ(PluginBridgeMessage::reply("x"), PluginBridgeMessage::init(Op::reply, "x"));
}

TEST(MessageEncoding, AbsentFieldsAreLeftOutAndPresentOnesWritten) {
    auto m = PluginBridgeMessage::init(Op::open);
    m.maxBlock = 4096;
    m.instrument = false;
    m.path = "";
    const auto o = encodedObject(m);
    EXPECT_EQ(o, nlohmann::json::parse(R"({"op":"open","maxBlock":4096,"instrument":false,"path":""})"));
    EXPECT_FALSE(o.contains("channels"));
}

TEST(MessageEncoding, NonFiniteFloatsAreWrittenAsStrings) {
    auto m = PluginBridgeMessage::init(Op::setParameter);
    m.value = std::numeric_limits<double>::infinity();
    m.sampleRate = -std::numeric_limits<double>::infinity();
    m.anchor = {std::numeric_limits<double>::quiet_NaN(), 1.5};
    m.events = {{0, 1, std::numeric_limits<float>::infinity(), true}};
    m.parameters = {{1, "p", "", std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::infinity(),
                     0, "", false, false}};
    const auto o = encodedObject(m);
    EXPECT_EQ(o["value"], "inf");
    EXPECT_EQ(o["sampleRate"], "-inf");
    EXPECT_EQ(o["anchor"], nlohmann::json::parse(R"(["nan",1.5])"));
    EXPECT_EQ(o["events"][0]["velocity"], "inf");
    EXPECT_EQ(o["parameters"][0]["value"], "nan");
    EXPECT_EQ(o["parameters"][0]["defaultValue"], "-inf");

    const auto back = PluginBridgeMessage::fromJSON(*m.toJSON());
    ASSERT_TRUE(back) << back.error();
    EXPECT_EQ(*back->value, std::numeric_limits<double>::infinity());
    EXPECT_EQ(*back->sampleRate, -std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan((*back->anchor)[0]));
    EXPECT_EQ((*back->events)[0].velocity, std::numeric_limits<float>::infinity());
    EXPECT_TRUE(std::isnan((*back->parameters)[0].value));
    EXPECT_EQ((*back->parameters)[0].defaultValue, -std::numeric_limits<double>::infinity());
}

TEST(MessageEncoding, NestedRecordsCarryAllTheirKeys) {
    auto m = PluginBridgeMessage::reply();
    m.events = {PluginBridgeNoteEvent{}};
    m.parameters = {PluginBridgeParameter{}};
    const auto o = encodedObject(m);
    EXPECT_EQ(o["events"][0], nlohmann::json::parse(R"({"offset":0,"pitch":0,"velocity":0.0,"isNoteOn":false})"));
    EXPECT_EQ(o["parameters"][0],
              nlohmann::json::parse(R"({"id":0,"title":"","units":"","value":0.0,"defaultValue":0.0,
                                        "stepCount":0,"display":"","isReadOnly":false,"isBypass":false})"));
}

TEST(MessageEncoding, TextThatIsNotUTF8FailsWithADescription) {
    auto m = PluginBridgeMessage::reply(std::string("bad \xC3 text"));
    const auto json = m.toJSON();
    ASSERT_FALSE(json);
    EXPECT_NE(json.error().find("UTF-8"), std::string::npos) << json.error();

    auto nested = PluginBridgeMessage::reply();
    nested.parameters = {{1, "ok", "\xFF", 0, 0, 0, "", false, false}};
    EXPECT_FALSE(nested.toJSON());
}

// Random messages whose every number is finite survive the trip unchanged.
class RandomMessages {
public:
    explicit RandomMessages(unsigned seed) : rng_(seed) {}

    PluginBridgeMessage next() {
        auto m = PluginBridgeMessage::init(static_cast<Op>(pick(0, 11)));
        maybe(m.error, [&] { return text(); });
        maybe(m.path, [&] { return text(); });
        maybe(m.cid, [&] { return text(); });
        maybe(m.sampleRate, [&] { return real(); });
        maybe(m.maxBlock, [&] { return integer(); });
        maybe(m.channels, [&] { return integer(); });
        maybe(m.wantsEditor, [&] { return flag(); });
        maybe(m.instrument, [&] { return flag(); });
        maybe(m.frames, [&] { return integer(); });
        maybe(m.events, [&] { return list([&] { return PluginBridgeNoteEvent{integer(), integer(), single(), flag()}; }); });
        maybe(m.componentBytes, [&] { return integer(); });
        maybe(m.controllerBytes, [&] { return integer(); });
        maybe(m.paramID, [&] { return static_cast<std::uint32_t>(rng_()); });
        maybe(m.value, [&] { return real(); });
        maybe(m.parameters, [&] {
            return list([&] {
                return PluginBridgeParameter{static_cast<std::uint32_t>(rng_()), text(), text(), real(), real(),
                                             integer(), text(), flag(), flag()};
            });
        });
        maybe(m.latency, [&] { return integer(); });
        maybe(m.hasAudioInput, [&] { return flag(); });
        maybe(m.outputChannels, [&] { return integer(); });
        maybe(m.hasEditor, [&] { return flag(); });
        maybe(m.editCount, [&] { return integer(); });
        maybe(m.editorOpen, [&] { return flag(); });
        maybe(m.title, [&] { return text(); });
        maybe(m.anchor, [&] { return list([&] { return real(); }); });
        return m;
    }

private:
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    bool flag() { return pick(0, 1) == 1; }

    template <class T, class Make>
    void maybe(std::optional<T>& field, Make make) {
        if (flag()) field = make();
    }

    template <class Make>
    std::vector<std::invoke_result_t<Make>> list(Make make) {
        std::vector<std::invoke_result_t<Make>> l;
        for (int n = pick(0, 4); n > 0; --n) l.push_back(make());
        return l;
    }

    std::int64_t integer() {
        switch (pick(0, 3)) {
        case 0: return std::numeric_limits<std::int64_t>::min();
        case 1: return std::numeric_limits<std::int64_t>::max();
        case 2: return pick(-5, 5);
        default: return static_cast<std::int64_t>(rng_());
        }
    }

    // Any finite bit pattern: subnormals, huge magnitudes, negative zero.
    double real() {
        for (;;) {
            const std::uint64_t bits = rng_();
            double d;
            std::memcpy(&d, &bits, sizeof d);
            if (std::isfinite(d)) return pick(0, 3) == 0 ? std::round(d) : d;
        }
    }

    float single() {
        for (;;) {
            const auto bits = static_cast<std::uint32_t>(rng_());
            float f;
            std::memcpy(&f, &bits, sizeof f);
            if (std::isfinite(f)) return f;
        }
    }

    std::string text() {
        static const char* const pieces[] = {"a", "Z", " ", "\"", "\\", "/", "\n", "\t", "" /* a NUL, added below */,
                                             "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x8E\xB9", "\x7F", "\x01", "inf"};
        std::string s;
        for (int n = pick(0, 8); n > 0; --n) {
            const int i = pick(0, 14);
            if (i == 8) s.push_back('\0');
            else s += pieces[i];
        }
        return s;
    }

    std::mt19937_64 rng_;
};

TEST(MessageRoundTrip, GeneratedMessagesWithFiniteNumbersComeBackEqual) {
    RandomMessages generator(20261210);
    int withLists = 0;
    for (int i = 0; i < 3000; ++i) {
        const auto m = generator.next();
        if (m.events && !m.events->empty()) ++withLists;
        const auto json = m.toJSON();
        ASSERT_TRUE(json) << json.error();
        const auto back = PluginBridgeMessage::fromJSON(*json);
        ASSERT_TRUE(back) << back.error() << "\n" << *json;
        ASSERT_EQ(*back, m) << *json;
        ASSERT_EQ(*back->toJSON(), *json);
    }
    EXPECT_GT(withLists, 100); // the generator did reach the nested records
}

} // namespace
