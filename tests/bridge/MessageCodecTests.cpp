// The direct codec against the tree-based one: whatever the direct decoder
// takes it must read as the tree reads it, and the direct encoder must write
// the tree's bytes. The usual messages must take the direct way.
#include "PluginBridgeMessageCodec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using Op = PluginBridgeMessage::Op;
namespace codec = pluginBridgeCodec;

struct DecodeCase {
    const char* name;
    const char* json;
    bool direct; // the direct decoder must take it
};

const DecodeCase kDecode[] = {
    {"process", R"({"op":"process","frames":64})", true},
    {"spaced", " {\t\"op\" :\r\n\"process\" , \"frames\" : 4096 } ", true},
    {"notes", R"({"op":"process","frames":8,"events":[{"offset":3,"pitch":60,"velocity":0.5,"isNoteOn":true},{"isNoteOn":false,"velocity":0,"pitch":60,"offset":7,"x":"y"}]})", true},
    {"reply", R"({"op":"reply"})", true},
    {"status", R"({"op":"reply","editCount":3,"editorOpen":false})", true},
    {"setParameter", R"({"op":"setParameter","paramID":4294967295,"value":0.1})", true},
    {"numbers", R"({"op":"open","sampleRate":1.7976931348623157e308,"maxBlock":5e0,"channels":-0,"latency":-0.0})", true},
    {"tinyNumbers", R"({"op":"open","sampleRate":5e-324,"value":-2.2250738585072014E-308})", true},
    {"negativeZeroAsInteger", R"({"op":"setParameter","value":-0,"paramID":-0})", true},
    {"integralFloats", R"({"op":"setParameter","paramID":4294967295.0,"value":1E2})", true},
    {"largest", R"({"op":"reply","latency":-9223372036854775808,"editCount":9223372036854775807})", true},
    {"nonFinite", R"({"op":"setParameter","value":"nan","sampleRate":"-inf"})", true},
    {"nulls", R"({"op":"open","path":null,"events":null,"frames":null})", true},
    {"unknownScalars", R"({"op":"status","a":1,"b":"x","c":true,"d":null,"e":-1.5e3})", true},
    {"anchor", R"({"op":"openEditor","title":"Gain","anchor":[10,20.5,"inf",-1e300]})", true},
    {"parameters", R"({"op":"reply","parameters":[{"id":1,"title":"G","units":"dB","value":0.5,"defaultValue":"nan","stepCount":0,"display":"-6","isReadOnly":false,"isBypass":true}]})", true},
    {"emptyLists", R"({"op":"reply","events":[],"parameters":[],"anchor":[]})", true},
    {"velocityRoundsToLargestFloat", R"({"op":"process","events":[{"offset":0,"pitch":0,"velocity":3.4028235e38,"isNoteOn":true}]})", true},
    // Left to the tree, which must still agree with itself:
    {"escapes", R"({"op":"reply","error":"a\"b\\c\u00e9\n"})", false},
    {"utf8", "{\"op\":\"reply\",\"error\":\"\xC3\xA9\"}", false},
    {"repeatedKey", R"({"op":"process","frames":"x","frames":3})", false},
    {"repeatedOp", R"({"op":"quit","op":"status"})", false},
    {"unknownContainer", R"({"op":"status","x":[1,{"a":[]}]})", false},
    {"integerBeyond64Bits", R"({"op":"process","frames":18446744073709551616})", false},
    {"wrongType", R"({"op":"process","frames":"64"})", false},
    {"fraction", R"({"op":"process","frames":1.5})", false},
    {"overflowingFloat", R"({"op":"process","x":1e400})", false},
    {"opMissing", R"({"frames":1})", false},
    {"trailing", R"({"op":"quit"}x)", false},
    {"leadingZero", R"({"op":"process","frames":01})", false},
    {"eventMissingKey", R"({"op":"process","events":[{"offset":0,"pitch":60,"isNoteOn":true}]})", false},
    {"eventNullKey", R"({"op":"process","events":[{"offset":0,"pitch":null,"velocity":1,"isNoteOn":true}]})", false},
    {"eventRepeatedKey", R"({"op":"process","events":[{"offset":0,"offset":1,"pitch":1,"velocity":1,"isNoteOn":true}]})", false},
    {"notAnObject", "[1]", false},
    {"empty", "", false},
    {"bom", "\xEF\xBB\xBF{\"op\":\"quit\"}", false},
};

class CodecDecode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(CodecDecode, DirectAgreesWithTheTree) {
    const auto& c = GetParam();
    const auto tree = codec::decodeWithTree(c.json);
    // Decoded into a message that holds other values, as a reused frame does.
    auto direct = PluginBridgeMessage::reply("left over");
    direct.events = {{1, 2, 3, true}};
    direct.path = "old";
    const bool tookIt = codec::decodeDirect(c.json, direct);
    EXPECT_EQ(tookIt, c.direct);
    if (tookIt) {
        ASSERT_TRUE(tree) << "the tree refuses what the direct decoder took: " << tree.error();
        EXPECT_EQ(*codec::encodeWithTree(direct), *codec::encodeWithTree(*tree));
    }
    // And the way the channel uses: same result, same failure text.
    PluginBridgeMessage into = PluginBridgeMessage::reply("left over");
    const auto failure = codec::decodeInto(c.json, into);
    if (tree) {
        ASSERT_EQ(failure, std::nullopt);
        EXPECT_EQ(*codec::encodeWithTree(into), *codec::encodeWithTree(*tree));
    } else {
        EXPECT_EQ(failure, tree.error());
    }
}

INSTANTIATE_TEST_SUITE_P(Table, CodecDecode, ::testing::ValuesIn(kDecode),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CodecEncode, DirectWritesTheTreesBytes) {
    std::vector<PluginBridgeMessage> messages;
    auto m = PluginBridgeMessage::init(Op::open);
    m.path = "/p/x.vst3";
    m.cid = "ABCDEF";
    m.sampleRate = 44100.0;
    m.maxBlock = 4096;
    m.channels = -3;
    m.wantsEditor = true;
    m.instrument = false;
    messages.push_back(m);
    m = PluginBridgeMessage::init(Op::process);
    m.frames = 64;
    m.events = {{0, 60, 0.1f, true}, {-5, 127, 3.4028235e38f, false}};
    messages.push_back(m);
    m = PluginBridgeMessage::reply();
    m.parameters = {{4294967295u, "Gain", "", 0.1, -0.0, 7, "0.1 dB", true, false}};
    m.latency = std::numeric_limits<std::int64_t>::min();
    m.editCount = std::numeric_limits<std::int64_t>::max();
    m.anchor = {1e300, 5e-324, -0.0, std::numeric_limits<double>::infinity(),
                -std::numeric_limits<double>::infinity(), std::nan(""), 123456789.125};
    messages.push_back(m);
    m = PluginBridgeMessage::init(Op::setParameter);
    m.paramID = 0;
    m.value = 1.0 / 3.0;
    m.componentBytes = 0;
    m.controllerBytes = 12;
    m.hasAudioInput = true;
    m.outputChannels = 2;
    m.hasEditor = false;
    m.editorOpen = true;
    m.title = "";
    messages.push_back(m);
    messages.push_back(PluginBridgeMessage::reply());
    for (const auto& message : messages) {
        std::string direct = "prefix";
        ASSERT_TRUE(codec::encodeDirect(message, direct));
        EXPECT_EQ(direct, "prefix" + *codec::encodeWithTree(message));
    }
}

TEST(CodecEncode, TextsToEscapeOrCheckAreLeftToTheTree) {
    for (const char* text : {"a\"b", "back\\slash", "line\n", "\xC3\xA9", "\x7F\x01", "bad \xFF"}) {
        SCOPED_TRACE(text);
        const auto m = PluginBridgeMessage::reply(std::string(text));
        std::string out = "kept";
        EXPECT_FALSE(codec::encodeDirect(m, out));
        EXPECT_EQ(out, "kept");
        const auto tree = codec::encodeWithTree(m);
        std::string viaInto;
        const auto failure = codec::encodeInto(m, viaInto);
        if (tree) {
            EXPECT_EQ(failure, std::nullopt);
            EXPECT_EQ(viaInto, *tree);
        } else {
            EXPECT_EQ(failure, tree.error());
        }
    }
}

} // namespace
