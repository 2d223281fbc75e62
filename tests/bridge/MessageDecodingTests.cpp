// Decoding messages from JSON: what is accepted, what fails the whole message.
#include "TarvelPluginBridge/PluginBridgeMessage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace {

using Op = PluginBridgeMessage::Op;

PluginBridgeMessage with(Op op, void (*fill)(PluginBridgeMessage&)) {
    auto m = PluginBridgeMessage::init(op);
    fill(m);
    return m;
}

struct GoodCase {
    const char* name;
    const char* json;
    PluginBridgeMessage expected;
};

const GoodCase kGood[] = {
    {"smallest", R"({"op":"quit"})", PluginBridgeMessage::init(Op::quit)},
    {"unknownKeyIgnored", R"({"op":"status","surprise":[1,{"a":null}]})", PluginBridgeMessage::init(Op::status)},
    {"keysInAnyOrder", R"({"frames":64,"op":"process"})", with(Op::process, [](auto& m) { m.frames = 64; })},
    {"nullIsAbsent", R"({"op":"open","maxBlock":null,"path":null,"events":null})", PluginBridgeMessage::init(Op::open)},
    {"integralFloatForInteger", R"({"op":"open","maxBlock":512.0,"channels":2e0})",
     with(Op::open, [](auto& m) { m.maxBlock = 512; m.channels = 2; })},
    {"negativeZeroForInteger", R"({"op":"process","frames":-0.0})", with(Op::process, [](auto& m) { m.frames = 0; })},
    {"int64Extremes", R"({"op":"reply","latency":-9223372036854775808,"editCount":9223372036854775807})",
     with(Op::reply, [](auto& m) {
         m.latency = std::numeric_limits<std::int64_t>::min();
         m.editCount = std::numeric_limits<std::int64_t>::max();
     })},
    {"paramIDLargest", R"({"op":"setParameter","paramID":4294967295,"value":0.25})",
     with(Op::setParameter, [](auto& m) { m.paramID = 4294967295u; m.value = 0.25; })},
    {"paramIDAsFloat", R"({"op":"setParameter","paramID":7.0})", with(Op::setParameter, [](auto& m) { m.paramID = 7; })},
    {"integerForFloat", R"({"op":"open","sampleRate":48000})", with(Op::open, [](auto& m) { m.sampleRate = 48000; })},
    {"infinityStrings", R"({"op":"setParameter","value":"-inf","sampleRate":"inf"})",
     with(Op::setParameter, [](auto& m) {
         m.value = -std::numeric_limits<double>::infinity();
         m.sampleRate = std::numeric_limits<double>::infinity();
     })},
    {"allTexts", R"({"op":"open","path":"/a/b.vst3","cid":"00FF","error":"x","title":"Ü \u00e9"})",
     with(Op::open, [](auto& m) {
         m.path = "/a/b.vst3";
         m.cid = "00FF";
         m.error = "x";
         m.title = "\xC3\x9C \xC3\xA9";
     })},
    {"booleans", R"({"op":"reply","wantsEditor":false,"instrument":true,"hasAudioInput":true,"hasEditor":false,"editorOpen":true})",
     with(Op::reply, [](auto& m) {
         m.wantsEditor = false;
         m.instrument = true;
         m.hasAudioInput = true;
         m.hasEditor = false;
         m.editorOpen = true;
     })},
    {"noteEvents", R"({"op":"process","frames":8,"events":[{"offset":3,"pitch":60,"velocity":0.5,"isNoteOn":true,"extra":1},{"isNoteOn":false,"velocity":0,"pitch":60,"offset":7}]})",
     with(Op::process, [](auto& m) {
         m.frames = 8;
         m.events = {{3, 60, 0.5f, true}, {7, 60, 0.0f, false}};
     })},
    {"largestFloatVelocity", R"({"op":"process","events":[{"offset":0,"pitch":0,"velocity":3.4028235e38,"isNoteOn":true}]})",
     with(Op::process, [](auto& m) { m.events = {{0, 0, std::numeric_limits<float>::max(), true}}; })},
    {"emptyLists", R"({"op":"reply","events":[],"parameters":[],"anchor":[]})",
     with(Op::reply, [](auto& m) {
         m.events.emplace();
         m.parameters.emplace();
         m.anchor.emplace();
     })},
    {"parameter", R"({"op":"reply","parameters":[{"id":4294967295,"title":"Gain","units":"dB","value":0.5,"defaultValue":"nan","stepCount":0,"display":"-6.0","isReadOnly":false,"isBypass":true}]})",
     with(Op::reply, [](auto& m) {
         m.parameters = {{4294967295u, "Gain", "dB", 0.5, 0.0, 0, "-6.0", false, true}};
     })},
    {"anchor", R"({"op":"openEditor","title":"T","anchor":[10,20.5,"inf",-1e300]})",
     with(Op::openEditor, [](auto& m) {
         m.title = "T";
         m.anchor = {10, 20.5, std::numeric_limits<double>::infinity(), -1e300};
     })},
    {"stateLengths", R"({"op":"loadState","componentBytes":12,"controllerBytes":0})",
     with(Op::loadState, [](auto& m) { m.componentBytes = 12; m.controllerBytes = 0; })},
};

class GoodMessage : public ::testing::TestWithParam<GoodCase> {};

TEST_P(GoodMessage, DecodesToTheExpectedRecord) {
    const auto& c = GetParam();
    const auto decoded = PluginBridgeMessage::fromJSON(c.json);
    ASSERT_TRUE(decoded) << decoded.error();
    if (c.expected.parameters && !c.expected.parameters->empty()) {
        // NaN never compares equal: check that one value apart.
        auto m = *decoded;
        ASSERT_TRUE(m.parameters && m.parameters->size() == 1);
        EXPECT_TRUE(std::isnan((*m.parameters)[0].defaultValue));
        (*m.parameters)[0].defaultValue = 0.0;
        EXPECT_EQ(m, c.expected);
    } else {
        EXPECT_EQ(*decoded, c.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, GoodMessage, ::testing::ValuesIn(kGood),
                         [](const auto& info) { return std::string(info.param.name); });

struct BadCase {
    const char* name;
    const char* json;
    const char* mentions; // a word the description must contain
};

const BadCase kBad[] = {
    {"notJSON", "{op:quit}", "parse"},
    {"trailingGarbage", R"({"op":"quit"} x)", "parse"},
    {"empty", "", "parse"},
    {"array", R"([{"op":"quit"}])", "object"},
    {"string", R"("quit")", "object"},
    {"opMissing", R"({"frames":1})", "op"},
    {"opNull", R"({"op":null})", "op"},
    {"opNumber", R"({"op":3})", "op"},
    {"opCapitalised", R"({"op":"Quit"})", "op"},
    {"opAllCapitals", R"({"op":"REPLY"})", "op"},
    {"opUnknown", R"({"op":"restart"})", "op"},
    {"opPadded", R"({"op":"quit "})", "op"},
    {"maxBlockFractional", R"({"op":"open","maxBlock":512.5})", "maxBlock"},
    {"maxBlockString", R"({"op":"open","maxBlock":"512"})", "maxBlock"},
    {"maxBlockBoolean", R"({"op":"open","maxBlock":true})", "maxBlock"},
    {"framesAboveInt64", R"({"op":"process","frames":9223372036854775808})", "frames"},
    {"framesHugeFloat", R"({"op":"process","frames":1e300})", "frames"},
    {"framesTwoToThe63AsFloat", R"({"op":"process","frames":9.223372036854775808e18})", "frames"},
    {"framesBelowInt64", R"({"op":"process","frames":-9223372036854777856})", "frames"},
    {"framesFarBelowInt64", R"({"op":"process","frames":-1e19})", "frames"},
    {"paramIDTooLarge", R"({"op":"setParameter","paramID":4294967296})", "paramID"},
    {"paramIDTooLargeAsFloat", R"({"op":"setParameter","paramID":4294967296.0})", "paramID"},
    {"paramIDNegative", R"({"op":"setParameter","paramID":-1})", "paramID"},
    {"paramIDFractional", R"({"op":"setParameter","paramID":1.5})", "paramID"},
    {"valueOtherString", R"({"op":"setParameter","value":"Infinity"})", "value"},
    {"valueNaNCapitals", R"({"op":"setParameter","value":"NaN"})", "value"},
    {"booleanAsNumber", R"({"op":"open","instrument":1})", "instrument"},
    {"booleanAsString", R"({"op":"open","wantsEditor":"true"})", "wantsEditor"},
    {"textAsNumber", R"({"op":"open","path":5})", "path"},
    {"errorAsObject", R"({"op":"reply","error":{}})", "error"},
    {"eventsNotList", R"({"op":"process","events":{}})", "events"},
    {"eventNotObject", R"({"op":"process","events":[1]})", "events"},
    {"eventWithoutVelocity", R"({"op":"process","events":[{"offset":0,"pitch":60,"isNoteOn":true}]})", "velocity"},
    {"eventNullPitch", R"({"op":"process","events":[{"offset":0,"pitch":null,"velocity":1,"isNoteOn":true}]})", "pitch"},
    {"eventVelocityBeyondFloat", R"({"op":"process","events":[{"offset":0,"pitch":1,"velocity":1e39,"isNoteOn":true}]})", "velocity"},
    {"secondEventBad", R"({"op":"process","events":[{"offset":0,"pitch":1,"velocity":1,"isNoteOn":true},{"offset":0.5,"pitch":1,"velocity":1,"isNoteOn":true}]})", "offset"},
    {"parameterWithoutDisplay", R"({"op":"reply","parameters":[{"id":1,"title":"","units":"","value":0,"defaultValue":0,"stepCount":0,"isReadOnly":false,"isBypass":false}]})", "display"},
    {"parameterIdNegative", R"({"op":"reply","parameters":[{"id":-1,"title":"","units":"","value":0,"defaultValue":0,"stepCount":0,"display":"","isReadOnly":false,"isBypass":false}]})", "id"},
    {"anchorWithNull", R"({"op":"openEditor","anchor":[1,null,3,4]})", "anchor"},
    {"anchorWithText", R"({"op":"openEditor","anchor":[1,"2",3,4]})", "anchor"},
    {"invalidUTF8", "{\"op\":\"reply\",\"error\":\"\xFF\"}", "parse"},
};

class BadMessage : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadMessage, FailsWithADescription) {
    const auto& c = GetParam();
    const auto decoded = PluginBridgeMessage::fromJSON(c.json);
    ASSERT_FALSE(decoded) << "decoded a message from " << c.json;
    EXPECT_NE(decoded.error().find(c.mentions), std::string::npos) << decoded.error();
}

INSTANTIATE_TEST_SUITE_P(Table, BadMessage, ::testing::ValuesIn(kBad),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MessageDecoding, NonFiniteStringsGiveNonFiniteValues) {
    const auto m = PluginBridgeMessage::fromJSON(R"({"op":"setParameter","value":"nan","sampleRate":"-inf"})");
    ASSERT_TRUE(m) << m.error();
    ASSERT_TRUE(m->value && m->sampleRate);
    EXPECT_TRUE(std::isnan(*m->value));
    EXPECT_TRUE(std::isinf(*m->sampleRate) && *m->sampleRate < 0);
}

TEST(MessageDecoding, EveryOpNameDecodesToItsCase) {
    for (int i = 0; i <= static_cast<int>(Op::reply); ++i) {
        const auto op = static_cast<Op>(i);
        const std::string json = R"({"op":")" + std::string(pluginBridgeOpName(op)) + "\"}";
        const auto m = PluginBridgeMessage::fromJSON(json);
        ASSERT_TRUE(m) << json;
        EXPECT_EQ(m->op, op) << json;
    }
    EXPECT_EQ(pluginBridgeOpNamed("loadState"), Op::loadState);
    EXPECT_EQ(pluginBridgeOpNamed("loadstate"), std::nullopt);
}

TEST(MessageDecoding, DeepNestingInAnUnknownKeyIsHarmless) {
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const auto m = PluginBridgeMessage::fromJSON(R"({"op":"status","x":)" + deep + "}");
    ASSERT_TRUE(m) << m.error();
    EXPECT_EQ(*m, PluginBridgeMessage::init(Op::status));
}

} // namespace
