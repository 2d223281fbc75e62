// Saved settings and parameters through a session: the length checks of
// "loadState", a refused component block, controller-only loads, a state that
// grows between the size query and the copy, parameter lists (empty, and with
// broken UTF-16) and the clamping of "setParameter".
#include "session/SessionHarness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace sessiontest {
namespace {

std::vector<std::uint8_t> controllerState(double gain) {
    std::vector<std::uint8_t> bytes(sessionfx::kControllerStateBytes);
    std::memcpy(bytes.data(), "SFXK", 4);
    std::memcpy(bytes.data() + 4, &gain, 8);
    return bytes;
}

std::vector<std::uint8_t> concat(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Message loadRequest(std::optional<std::int64_t> component, std::optional<std::int64_t> controller) {
    Message m = Message::init(Op::loadState);
    m.componentBytes = component;
    m.controllerBytes = controller;
    return m;
}

Message latencyReply() {
    Message m = Message::reply();
    m.latency = sessionfx::kLatency;
    return m;
}

double gainShown(PluginBridgeClient& client) {
    auto p = parameter(client, sessionfx::kGainId);
    return p ? p->value : -1;
}

// The gain the processor applies, from one block of ones.
float gainApplied(PluginBridgeClient& client) {
    const std::vector<std::vector<float>> ones(2, std::vector<float>(64, 1.0f));
    Reply r = succeed(client, processRequest(64), bytesOf(ones, 64));
    return r.payload.size() == 512 ? samples(r.payload)[0] : -1;
}

std::unique_ptr<PluginBridgeClient> openedOn(const std::string& name) {
    auto client = startHelper();
    if (client) openFixture(*client, name);
    return client;
}

TEST(LoadState, LengthsThatDoNotAddUpAreRefusedAndNothingIsLoaded) {
    struct Case {
        const char* name;
        std::optional<std::int64_t> component, controller;
        std::size_t payload;
        bool anyWording = false; // a refusal whose wording is the session's own choice
    };
    const Case cases[] = {
        {"3 + 2 for 6 bytes", 3, 2, 6},
        {"3 + 2 for 4 bytes", 3, 2, 4},
        {"component -1", -1, std::nullopt, 5},
        {"component -1 and controller 6 for 5 bytes", -1, 6, 5},
        {"controller -1", std::nullopt, -1, 0},
        {"no counts for 1 byte", std::nullopt, std::nullopt, 1},
        {"a component block one byte short", 20, 12, 31},
        {"counts whose sum overflows", std::numeric_limits<std::int64_t>::max(), 2, 32, true},
        {"counts near the limits", std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::min(),
         0},
    };
    auto client = openedOn("session_gain");
    ASSERT_TRUE(client);
    const auto payloadBytes = concat(componentState(0.1), controllerState(0.2));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> payload(payloadBytes.begin(),
                                          payloadBytes.begin() + static_cast<long>(std::min(c.payload, payloadBytes.size())));
        payload.resize(c.payload);
        Reply r = call(*client, loadRequest(c.component, c.controller), payload);
        if (c.anyWording) {
            EXPECT_TRUE(r.message.error);
            EXPECT_EQ(r.message, Message::reply(r.message.error));
        } else {
            EXPECT_EQ(r.message, Message::reply("the saved settings arrived incomplete"));
        }
        EXPECT_TRUE(r.payload.empty());
    }
    EXPECT_EQ(gainShown(*client), sessionfx::kGainDefault);
    EXPECT_EQ(gainApplied(*client), 1.0f);
}

TEST(LoadState, NoCountsAndNoPayloadLoadNothingAndReplyWithTheLatency) {
    auto client = openedOn("session_gain");
    ASSERT_TRUE(client);
    EXPECT_EQ(call(*client, loadRequest(std::nullopt, std::nullopt)).message, latencyReply());
    EXPECT_EQ(call(*client, loadRequest(0, 0)).message, latencyReply());
    EXPECT_EQ(gainShown(*client), sessionfx::kGainDefault);
}

TEST(LoadState, BothBlocksLoadTheComponentAndTheController) {
    auto client = openedOn("session_gain");
    ASSERT_TRUE(client);
    Reply r = call(*client, loadRequest(20, 12), concat(componentState(0.125), controllerState(0.375)));
    EXPECT_EQ(r.message, latencyReply());
    EXPECT_EQ(gainApplied(*client), 0.25f);
    EXPECT_EQ(gainShown(*client), 0.375); // the controller block comes last
}

TEST(LoadState, OnlyAControllerBlockLeavesTheComponentAlone) {
    auto client = openedOn("session_gain");
    ASSERT_TRUE(client);
    EXPECT_EQ(call(*client, loadRequest(0, 12), controllerState(0.25)).message, latencyReply());
    EXPECT_EQ(gainShown(*client), 0.25);
    EXPECT_EQ(gainApplied(*client), 1.0f);
}

TEST(LoadState, ARefusedControllerBlockIsNotReported) {
    auto client = openedOn("session_gain");
    ASSERT_TRUE(client);
    const std::vector<std::uint8_t> junk{'n', 'o', 'p', 'e', '!'};
    EXPECT_EQ(call(*client, loadRequest(20, 5), concat(componentState(0.25), junk)).message, latencyReply());
    EXPECT_EQ(gainApplied(*client), 0.5f);
}

TEST(LoadState, ARefusedComponentBlockIsReportedAndTheControllerBlockIsNotLoaded) {
    auto client = openedOn("session_rejects_state");
    ASSERT_TRUE(client);
    Reply r = call(*client, loadRequest(20, 12), concat(componentState(0.25), controllerState(0.25)));
    EXPECT_EQ(r.message, Message::reply("the plug-in rejected its saved settings"));
    EXPECT_EQ(gainShown(*client), sessionfx::kGainDefault);
    // The controller alone is still accepted.
    EXPECT_EQ(call(*client, loadRequest(0, 12), controllerState(0.25)).message, latencyReply());
    EXPECT_EQ(gainShown(*client), 0.25);
}

TEST(SaveState, SavedSettingsLoadIntoAFreshSession) {
    std::vector<std::uint8_t> saved;
    Message savedCounts;
    {
        auto client = openedOn("session_gain");
        ASSERT_TRUE(client);
        succeed(*client, setParameterRequest(sessionfx::kGainId, 0.75));
        Reply r = succeed(*client, request(Op::saveState));
        EXPECT_EQ(r.message.componentBytes, std::optional<std::int64_t>(sessionfx::kComponentStateBytes));
        EXPECT_EQ(r.message.controllerBytes, std::optional<std::int64_t>(sessionfx::kControllerStateBytes));
        EXPECT_EQ(r.payload, concat(componentState(0.75), controllerState(0.75)))
            << "the save hands the waiting edit to the processor first, so it has the new gain";
        saved = r.payload;
        savedCounts = r.message;
    }
    auto fresh = openedOn("session_gain");
    ASSERT_TRUE(fresh);
    EXPECT_EQ(call(*fresh, loadRequest(savedCounts.componentBytes, savedCounts.controllerBytes), saved).message,
              latencyReply());
    EXPECT_EQ(gainShown(*fresh), 0.75);
    EXPECT_EQ(gainApplied(*fresh), 1.5f);
}

TEST(SaveState, AStateThatGrowsBetweenTheSizeQueryAndTheCopyIsStillSaved) {
    auto client = openedOn("session_state_grows");
    ASSERT_TRUE(client);
    succeed(*client, setParameterRequest(sessionfx::kGainId, 0.25));
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        Reply r = succeed(*client, request(Op::saveState));
        ASSERT_TRUE(r.message.componentBytes && r.message.controllerBytes);
        EXPECT_GT(*r.message.componentBytes, sessionfx::kComponentStateBytes) << "the component state came back empty";
        EXPECT_EQ(r.payload.size(), static_cast<std::size_t>(*r.message.componentBytes + *r.message.controllerBytes));
        ASSERT_GE(r.payload.size(), 20u);
        EXPECT_EQ(std::memcmp(r.payload.data(), "SFXC", 4), 0);

        auto fresh = openedOn("session_state_grows");
        ASSERT_TRUE(fresh);
        EXPECT_EQ(call(*fresh, loadRequest(r.message.componentBytes, r.message.controllerBytes), r.payload).message,
                  latencyReply());
        EXPECT_EQ(gainApplied(*fresh), 0.5f);
    }
}

// Refusing settings on load says nothing about saving them.
TEST(SaveState, APlugInThatRefusesItsSettingsStillSavesThemInTheLayout) {
    auto client = openedOn("session_rejects_state");
    ASSERT_TRUE(client);
    Reply r = succeed(*client, request(Op::saveState));
    EXPECT_EQ(r.message.componentBytes.value_or(-1) + r.message.controllerBytes.value_or(-1),
              static_cast<std::int64_t>(r.payload.size()));
}

// ---- parameters ---------------------------------------------------------------------

TEST(Parameters, TheGainEffectListsBothParametersInIndexOrder) {
    auto client = openedOn("session_gain");
    ASSERT_TRUE(client);
    const std::vector<PluginBridgeParameter> expected = {
        {sessionfx::kGainId, "Gain", "x", 0.5, 0.5, 0, "1.000", false, false},
        {sessionfx::kReportId, "Report edits", "", 0, 0, 1, "0", false, false},
    };
    EXPECT_EQ(parameters(*client), expected);
}

TEST(Parameters, APlugInWithoutParametersListsAnEmptyListNotAMissingOne) {
    auto client = openedOn("session_no_params");
    ASSERT_TRUE(client);
    Reply r = succeed(*client, request(Op::parameters));
    ASSERT_TRUE(r.message.parameters) << "the list is missing";
    EXPECT_TRUE(r.message.parameters->empty());
}

bool validUtf8(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        int n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        std::uint32_t cp = n == 1 ? b : b & (0x7F >> n);
        for (int k = 1; k < n; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = cp << 6 | (c & 0x3F);
        }
        if ((n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n;
    }
    return true;
}

TEST(Parameters, LoneSurrogatesArriveAsReplacementCharactersInValidUtf8) {
    auto client = openedOn("session_lone_surrogate");
    ASSERT_TRUE(client);
    Reply r = call(*client, request(Op::parameters));
    ASSERT_TRUE(client->running()) << "the parameters reply broke the connection";
    ASSERT_TRUE(r.message.parameters);
    ASSERT_EQ(r.message.parameters->size(), 2u);
    const std::string replacement = "\xEF\xBF\xBD";
    for (const PluginBridgeParameter& p : *r.message.parameters) {
        SCOPED_TRACE(p.id);
        for (const std::string* text : {&p.title, &p.units, &p.display}) {
            EXPECT_TRUE(validUtf8(*text)) << testing::PrintToString(*text);
        }
    }
    const PluginBridgeParameter& gain = r.message.parameters->at(0);
    EXPECT_EQ(gain.title, "Gain " + replacement + " high alone");
    EXPECT_EQ(gain.units, "x" + replacement);
    EXPECT_EQ(gain.display, "1.000" + replacement);
    // The session goes on.
    succeed(*client, request(Op::status));
}

TEST(SetParameter, ValuesAreClampedToZeroToOne) {
    struct Case {
        const char* name;
        double value, stored;
    };
    const Case cases[] = {
        {"1.5", 1.5, 1.0},
        {"-0.2", -0.2, 0.0},
        {"NaN", std::numeric_limits<double>::quiet_NaN(), 0.0},
        {"+inf", std::numeric_limits<double>::infinity(), 1.0},
        {"-inf", -std::numeric_limits<double>::infinity(), 0.0},
        {"0.3", 0.3, 0.3},
        {"1", 1.0, 1.0},
        {"0", 0.0, 0.0},
    };
    auto client = openedOn("session_gain");
    ASSERT_TRUE(client);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(call(*client, setParameterRequest(sessionfx::kGainId, 0.6)).message, Message::reply());
        EXPECT_EQ(call(*client, setParameterRequest(sessionfx::kGainId, c.value)).message, Message::reply());
        EXPECT_EQ(gainShown(*client), c.stored);
        EXPECT_EQ(gainApplied(*client), static_cast<float>(2 * c.stored));
    }
}

TEST(SetParameter, MissingFieldsNameNoParameterAndUnknownIdsAreNotReported) {
    auto client = openedOn("session_gain");
    ASSERT_TRUE(client);
    for (const Message& m : {setParameterRequest(sessionfx::kGainId, std::nullopt),
                             setParameterRequest(std::nullopt, 0.5), setParameterRequest(std::nullopt, std::nullopt)}) {
        EXPECT_EQ(call(*client, m).message, Message::reply("the request named no parameter"));
    }
    EXPECT_EQ(call(*client, setParameterRequest(4242, 0.5)).message, Message::reply());
    EXPECT_EQ(gainShown(*client), sessionfx::kGainDefault);
}

} // namespace
} // namespace sessiontest
