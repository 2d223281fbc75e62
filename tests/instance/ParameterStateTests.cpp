// Parameters and state of the probe: texts converted from UTF-16 into byte
// buffers, display texts into small buffers, clamped sets, the two-call save
// and the loads.
#include "instance/ProbeAccess.h"
#include "instance/Utf8Check.h"

#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace probetest {
namespace {

std::string repeat(const std::string& piece, int times) {
    std::string s;
    for (int i = 0; i < times; ++i) s += piece;
    return s;
}

const std::string kE = "\xC3\xA9";             // U+00E9
const std::string kGrin = "\xF0\x9F\x98\x80";  // U+1F600
const std::string kR = "\xEF\xBF\xBD";         // U+FFFD, for an unpaired surrogate

struct InfoCase {
    int32_t index;
    uint32_t id;
    std::string title;
    std::string units;
    double defaultValue;
    int32_t stepCount;
    uint32_t flags;
};

class ParameterInfo : public ProbeTest, public ::testing::WithParamInterface<InfoCase> {};

TEST_P(ParameterInfo, CarriesTheConvertedRecord) {
    const InfoCase& c = GetParam();
    PluginPtr p = createEffect();
    ASSERT_TRUE(p);
    EXPECT_EQ(tv3m_param_count(p.get()), kProbeParamCount);
    tv3m_param_info info;
    std::memset(&info, 0x5A, sizeof info);
    ASSERT_EQ(tv3m_param_info_at(p.get(), c.index, &info), 0);
    EXPECT_EQ(info.id, c.id);
    EXPECT_EQ(std::string(info.title), c.title);
    EXPECT_EQ(std::string(info.units), c.units);
    EXPECT_EQ(info.defaultValue, c.defaultValue);
    EXPECT_EQ(info.stepCount, c.stepCount);
    EXPECT_EQ(info.flags, c.flags);
}

INSTANTIATE_TEST_SUITE_P(
    Probe, ParameterInfo,
    ::testing::Values(
        InfoCase{0, kProbeGainId, "Gain", "dB", 0.5, 0, TV3M_PARAM_CAN_AUTOMATE},
        // 128 ASCII units without a zero unit: 127 bytes and the NUL.
        InfoCase{1, kProbeLongAsciiId, std::string(127, 'A'), std::string(127, 'u'), 0.25, 0, TV3M_PARAM_READ_ONLY},
        // 128 two-byte characters: 63 of them fit with the NUL; none is split.
        InfoCase{2, kProbeTwoByteId, repeat(kE, 63), "", 1, 3, TV3M_PARAM_CAN_AUTOMATE | TV3M_PARAM_BYPASS},
        InfoCase{3, kProbePairId, "a" + kGrin, "Hz", 0, 0, TV3M_PARAM_BYPASS},
        InfoCase{4, kProbeFourByteTextId, "Four", "", 0, 1, 0u},
        InfoCase{5, kProbeHighAt127Id, "High", "", 0, 0, 0u},
        // Unpaired surrogates cannot be carried by UTF-8.
        InfoCase{6, kProbeLoneSurrogateId, "L" + kR + "one" + kR, kR + "Hz", 0.75, 0, 0u}));

TEST_F(ProbeTest, EveryParameterTextIsValidUtf8) {
    PluginPtr p = createEffect();
    ASSERT_TRUE(p);
    ASSERT_EQ(tv3m_param_count(p.get()), kProbeParamCount);
    for (int32_t index = 0; index < kProbeParamCount; ++index) {
        SCOPED_TRACE(index);
        tv3m_param_info info;
        ASSERT_EQ(tv3m_param_info_at(p.get(), index, &info), 0);
        EXPECT_TRUE(validUtf8(info.title)) << info.title;
        EXPECT_TRUE(validUtf8(info.units)) << info.units;
        char text[128];
        if (tv3m_param_display(p.get(), info.id, 0.5, text, sizeof text) == 0) {
            EXPECT_TRUE(validUtf8(text)) << text;
        }
    }
}

TEST_F(ProbeTest, ParameterInfoOutOfRangeFailsWithAClearedRecord) {
    PluginPtr p = createEffect();
    ASSERT_TRUE(p);
    for (int32_t index : {-1, kProbeParamCount, 1000}) {
        SCOPED_TRACE(index);
        tv3m_param_info info;
        std::memset(&info, 0x5A, sizeof info);
        EXPECT_EQ(tv3m_param_info_at(p.get(), index, &info), -1);
        const std::vector<unsigned char> zeros(sizeof info, 0);
        EXPECT_EQ(std::memcmp(&info, zeros.data(), sizeof info), 0);
    }
    EXPECT_EQ(tv3m_param_info_at(p.get(), 0, nullptr), -1);
    tv3m_param_info info{};
    EXPECT_EQ(tv3m_param_info_at(nullptr, 0, &info), -1);
}

struct DisplayCase {
    const char* name;
    uint32_t id;
    double value;
    int32_t size;
    int32_t result;
    std::string text; // what the buffer holds afterwards
};

const DisplayCase kDisplay[] = {
    {"Plain", kProbeGainId, 0.5, 64, 0, "12.5"},
    {"ValueNotClamped", kProbeGainId, 1.5, 64, 0, "37.5"},
    {"CutToFourBytes", kProbeGainId, 0.5, 4, 0, "12."},
    {"ExactFit", kProbeGainId, 0.5, 5, 0, "12.5"},
    {"OnlyTheNul", kProbeGainId, 0.5, 1, 0, ""},
    {"FourByteCharacterDoesNotFitInFour", kProbeFourByteTextId, 0, 4, 0, ""},
    {"FourByteCharacterFitsInFive", kProbeFourByteTextId, 0, 5, 0, kGrin},
    {"FourByteCharacterAndOneMore", kProbeFourByteTextId, 0, 6, 0, kGrin + "b"},
    {"FourByteCharacterAndAll", kProbeFourByteTextId, 0, 7, 0, kGrin + "bc"},
    {"LongAsciiStopsAfterUnit127", kProbeLongAsciiId, 0, 400, 0, std::string(128, 'a')},
    {"HighSurrogateAtUnit127", kProbeHighAt127Id, 0, 400, 0, std::string(127, 'x') + kR},
    {"HighSurrogateAtUnit127JustFits", kProbeHighAt127Id, 0, 131, 0, std::string(127, 'x') + kR},
    {"HighSurrogateAtUnit127NotSplit", kProbeHighAt127Id, 0, 130, 0, std::string(127, 'x')},
    {"UnknownParameter", 999, 0.5, 64, -1, "untouched"},
    {"SizeZero", kProbeGainId, 0.5, 0, -1, "untouched"},
    {"SizeNegative", kProbeGainId, 0.5, -3, -1, "untouched"},
};

class ParameterDisplay : public ProbeTest, public ::testing::WithParamInterface<DisplayCase> {};

TEST_P(ParameterDisplay, WritesWholeCharactersAndTheNul) {
    const DisplayCase& c = GetParam();
    PluginPtr p = createEffect();
    ASSERT_TRUE(p);
    std::vector<char> buffer(512, '#');
    // A refused call must leave the buffer as it was; a successful one must
    // write nothing after its NUL.
    if (c.result != 0) std::memcpy(buffer.data(), "untouched", 10);
    EXPECT_EQ(tv3m_param_display(p.get(), c.id, c.value, buffer.data(), c.size), c.result);
    EXPECT_EQ(std::string(buffer.data()), c.text);
    if (c.result == 0) {
        EXPECT_EQ(buffer[c.text.size() + 1], '#') << "nothing is written after the NUL";
    }
}

INSTANTIATE_TEST_SUITE_P(Probe, ParameterDisplay, ::testing::ValuesIn(kDisplay),
                         [](const ::testing::TestParamInfo<DisplayCase>& info) { return info.param.name; });

TEST_F(ProbeTest, ParameterDisplayRefusesANullBuffer) {
    PluginPtr p = createEffect();
    ASSERT_TRUE(p);
    EXPECT_EQ(tv3m_param_display(p.get(), kProbeGainId, 0.5, nullptr, 16), -1);
    char text[8];
    EXPECT_EQ(tv3m_param_display(nullptr, kProbeGainId, 0.5, text, sizeof text), -1);
}

struct SetCase {
    double value;
    double applied;
};

class ParameterSet : public ProbeTest, public ::testing::WithParamInterface<SetCase> {};

TEST_P(ParameterSet, ClampsForTheControllerAndTheNextBlock) {
    const SetCase& c = GetParam();
    PluginPtr p = createEffect();
    ASSERT_TRUE(p);
    ASSERT_EQ(tv3m_param_set(p.get(), kProbeGainId, c.value), 0);
    EXPECT_EQ(r->setParamCalls, 1);
    EXPECT_EQ(r->lastSetParamId, static_cast<uint32_t>(kProbeGainId));
    EXPECT_EQ(r->lastSetParamValue, c.applied);
    EXPECT_EQ(tv3m_param_get(p.get(), kProbeGainId), c.applied);

    Audio in(2, 64), out(2, 64);
    ASSERT_EQ(tv3m_plugin_process(p.get(), in.data(), out.data(), 2, 64), 0);
    ASSERT_EQ(r->lastBlock.pointCount, 1);
    EXPECT_EQ(r->lastBlock.points[0].id, static_cast<uint32_t>(kProbeGainId));
    EXPECT_EQ(r->lastBlock.points[0].offset, 0);
    EXPECT_EQ(r->lastBlock.points[0].value, c.applied);
    EXPECT_EQ(tv3m_plugin_take_edit_count(p.get()), 1);
}

INSTANTIATE_TEST_SUITE_P(Values, ParameterSet,
                         ::testing::Values(SetCase{1.7, 1.0}, SetCase{-0.2, 0.0}, SetCase{0.3, 0.3}, SetCase{1.0, 1.0},
                                           SetCase{0.0, 0.0},
                                           // Not a number fails every comparison, so a clamp written
                                           // the obvious way lets it through to the plug-in.
                                           SetCase{std::numeric_limits<double>::quiet_NaN(), 0.0},
                                           SetCase{-std::numeric_limits<double>::quiet_NaN(), 0.0},
                                           SetCase{std::numeric_limits<double>::infinity(), 1.0},
                                           SetCase{-std::numeric_limits<double>::infinity(), 0.0}));

// ---- State -------------------------------------------------------------------

using SaveFn = int32_t (*)(tv3m_plugin*, void*, int32_t, int32_t*);

struct SaveCase {
    const char* name;
    SaveFn save;
    bool component;
};

class StateSave : public ProbeTest, public ::testing::WithParamInterface<SaveCase> {};

TEST_P(StateSave, AnswersTheSizeAndRefusesASmallBuffer) {
    const SaveCase& c = GetParam();
    PluginPtr p = createEffect();
    ASSERT_TRUE(p);
    const std::string expected(reinterpret_cast<const char*>(c.component ? r->componentState : r->controllerState),
                               static_cast<size_t>(c.component ? r->componentStateSize : r->controllerStateSize));
    const int32_t n = static_cast<int32_t>(expected.size());

    int32_t size = -1;
    ASSERT_EQ(c.save(p.get(), nullptr, 0, &size), 0) << "the size query";
    EXPECT_EQ(size, n);

    std::vector<char> buffer(static_cast<size_t>(n) + 8, '#');
    size = -1;
    EXPECT_EQ(c.save(p.get(), buffer.data(), n - 1, &size), -1) << "one byte too small";
    EXPECT_EQ(size, n) << "the size is set even so";
    EXPECT_EQ(buffer[0], '#') << "nothing is copied into a small buffer";

    size = -1;
    ASSERT_EQ(c.save(p.get(), buffer.data(), n, &size), 0);
    EXPECT_EQ(size, n);
    EXPECT_EQ(std::string(buffer.data(), static_cast<size_t>(n)), expected);
    EXPECT_EQ(buffer[static_cast<size_t>(n)], '#');

    size = -1;
    EXPECT_EQ(c.save(p.get(), buffer.data(), n + 8, &size), 0) << "a larger buffer is fine";
    EXPECT_EQ(size, n);

    EXPECT_EQ(c.save(p.get(), buffer.data(), n, nullptr), -1);
    EXPECT_EQ(c.save(nullptr, buffer.data(), n, &size), -1);
}

INSTANTIATE_TEST_SUITE_P(Objects, StateSave,
                         ::testing::Values(SaveCase{"Component", tv3m_state_save, true},
                                           SaveCase{"Controller", tv3m_controller_state_save, false}),
                         [](const ::testing::TestParamInfo<SaveCase>& info) { return info.param.name; });

TEST_F(ProbeTest, StateThatGrewSinceTheSizeQueryIsRefused) {
    r->sw.stateGrowth = 3;
    PluginPtr p = createEffect();
    ASSERT_TRUE(p);
    int32_t size = 0;
    ASSERT_EQ(tv3m_state_save(p.get(), nullptr, 0, &size), 0);
    std::vector<char> buffer(static_cast<size_t>(size));
    int32_t second = 0;
    EXPECT_EQ(tv3m_state_save(p.get(), buffer.data(), size, &second), -1);
    EXPECT_EQ(second, size + 3);
}

TEST_F(ProbeTest, FailedGetStateLeavesTheSizeAlone) {
    PluginPtr p = createEffect();
    ASSERT_TRUE(p);
    r->sw.failGetState = 1;
    int32_t size = 1234;
    char buffer[64];
    EXPECT_EQ(tv3m_state_save(p.get(), nullptr, 0, &size), -1);
    EXPECT_EQ(tv3m_state_save(p.get(), buffer, sizeof buffer, &size), -1);
    EXPECT_EQ(size, 1234);
}

struct LoadCase {
    const char* name;
    bool nullBytes;
    std::string bytes;
    int32_t size;
    int32_t result;
    bool reachesPlugIn;
};

const LoadCase kLoads[] = {
    {"Bytes", false, "hello state", 11, 0, true},
    {"PrefixOnly", false, "hello state", 5, 0, true},
    {"EmptyStream", false, "x", 0, 0, true},
    {"NullBytesSizeZero", true, "", 0, -1, false},
    {"NullBytes", true, "", 5, -1, false},
    {"NegativeSize", false, "hello", -1, -1, false},
};

class StateLoad : public ProbeTest, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(StateLoad, ComponentFirstThenTheSameBytesToTheController) {
    const LoadCase& c = GetParam();
    PluginPtr p = createEffect();
    ASSERT_TRUE(p);
    const int32_t handOversAtCreation = r->setComponentStateCalls;
    EXPECT_EQ(tv3m_state_load(p.get(), c.nullBytes ? nullptr : c.bytes.data(), c.size), c.result);
    const std::string sent = c.reachesPlugIn ? c.bytes.substr(0, static_cast<size_t>(c.size)) : "";
    EXPECT_EQ(r->componentSetStateCalls, c.reachesPlugIn ? 1 : 0);
    EXPECT_EQ(r->setComponentStateCalls - handOversAtCreation, c.reachesPlugIn ? 1 : 0);
    EXPECT_EQ(r->componentSetStateNull, 0);
    if (c.reachesPlugIn) {
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(r->componentSetStateBytes),
                              static_cast<size_t>(r->componentSetStateSize)),
                  sent);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(r->setComponentStateBytes),
                              static_cast<size_t>(r->setComponentStateSize)),
                  sent)
            << "the controller reads the stream from its start";
    }
    EXPECT_EQ(r->controllerSetStateCalls, 0);
}

INSTANTIATE_TEST_SUITE_P(Inputs, StateLoad, ::testing::ValuesIn(kLoads),
                         [](const ::testing::TestParamInfo<LoadCase>& info) { return info.param.name; });

TEST_F(ProbeTest, RefusedComponentStateIsNotHandedToTheController) {
    r->sw.refuseSetState = 1;
    PluginPtr p = createEffect();
    ASSERT_TRUE(p);
    const int32_t handOvers = r->setComponentStateCalls;
    EXPECT_EQ(tv3m_state_load(p.get(), "abc", 3), -1);
    EXPECT_EQ(r->componentSetStateCalls, 1);
    EXPECT_EQ(r->setComponentStateCalls, handOvers);
}

TEST_F(ProbeTest, ControllerStateLoadReachesOnlyTheController) {
    PluginPtr p = createEffect();
    ASSERT_TRUE(p);
    const int32_t handOvers = r->setComponentStateCalls;
    EXPECT_EQ(tv3m_controller_state_load(p.get(), "ctrl-bytes", 10), 0);
    EXPECT_EQ(r->controllerSetStateCalls, 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r->controllerSetStateBytes),
                          static_cast<size_t>(r->controllerSetStateSize)),
              "ctrl-bytes");
    EXPECT_EQ(r->componentSetStateCalls, 0);
    EXPECT_EQ(r->setComponentStateCalls, handOvers);

    EXPECT_EQ(tv3m_controller_state_load(p.get(), "", 0), 0) << "an empty stream";
    EXPECT_EQ(r->controllerSetStateCalls, 2);
    EXPECT_EQ(r->controllerSetStateSize, 0);
    EXPECT_EQ(tv3m_controller_state_load(p.get(), nullptr, 0), -1);
    EXPECT_EQ(tv3m_controller_state_load(p.get(), "x", -1), -1);
    EXPECT_EQ(r->controllerSetStateCalls, 2);
}

} // namespace
} // namespace probetest
