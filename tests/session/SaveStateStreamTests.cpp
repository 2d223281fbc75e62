// "saveState" in the middle of a stream: the audio after a save is the audio
// without one, sample for sample, also with an edit waiting and with blocks
// smaller than 256 frames; an edit made just before the save is in what it
// saved. And settings that cannot be read are an error, while an empty state
// and a controller without settings of its own are not.
#include "session/SessionHarness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

namespace sessiontest {
namespace {

// A ramp of `frames` samples per channel from `start` on, different per channel.
std::vector<std::vector<float>> ramp(int channels, int frames, long start) {
    std::vector<std::vector<float>> out(static_cast<std::size_t>(channels), std::vector<float>(frames));
    for (int c = 0; c < channels; ++c)
        for (int i = 0; i < frames; ++i) out[c][i] = static_cast<float>(start + i + 1) / 8192.0f + 0.5f * c;
    return out;
}

struct StreamCase {
    const char* name;
    const char* fixture;
    std::int64_t maxBlock;
    int block;
    // Before the save: a gain edit (also made, at the same point, in the
    // stream without the save), so that the save has an edit to deliver.
    std::optional<double> editBefore;
};

void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }

// The delay fixture's output for `blocks` blocks of a ramp; after block
// `saveAfter` the gain is edited (when the case says so) and, with `save`,
// the settings are saved. Returns the output blocks one after another, and
// the saved settings in *saved.
std::vector<float> stream(const StreamCase& c, int blocks, int saveAfter, bool save, Reply* saved = nullptr) {
    std::vector<float> out;
    auto client = startHelper();
    if (!client) {
        ADD_FAILURE() << "no helper";
        return out;
    }
    openFixture(*client, c.fixture, false, c.maxBlock);
    for (int b = 0; b < blocks; ++b) {
        Reply r = succeed(*client, processRequest(c.block), bytesOf(ramp(2, c.block, long(b) * c.block), c.block));
        const std::vector<float> got = samples(r.payload);
        out.insert(out.end(), got.begin(), got.end());
        if (b != saveAfter) continue;
        if (c.editBefore) succeed(*client, setParameterRequest(sessionfx::kGainId, *c.editBefore));
        if (save) {
            Reply s = succeed(*client, request(Op::saveState));
            if (saved) *saved = s;
        }
    }
    return out;
}

class SaveInAStream : public testing::TestWithParam<StreamCase> {};

TEST_P(SaveInAStream, TheAudioAfterTheSaveIsTheAudioWithoutIt) {
    const StreamCase& c = GetParam();
    const int blocks = 6;
    const std::vector<float> plain = stream(c, blocks, 2, false);
    Reply saved;
    const std::vector<float> withSave = stream(c, blocks, 2, true, &saved);
    ASSERT_EQ(plain.size(), static_cast<std::size_t>(blocks) * 2 * c.block);
    ASSERT_EQ(withSave.size(), plain.size());
    for (std::size_t i = 0; i < plain.size(); ++i) {
        ASSERT_EQ(withSave[i], plain[i]) << "first difference at sample " << i << " (block " << i / (2 * c.block)
                                         << ")";
    }
    // The delay really held audio across the save: the stream is not silent
    // where the second block's tail comes out of the delay.
    EXPECT_NE(plain[3 * 2 * c.block], 0.0f);

    // The edit made just before the save is in the saved settings.
    ASSERT_GE(saved.payload.size(), static_cast<std::size_t>(sessionfx::kComponentStateBytes));
    const std::vector<std::uint8_t> component(saved.payload.begin(),
                                              saved.payload.begin() + sessionfx::kComponentStateBytes);
    EXPECT_EQ(component, componentState(c.editBefore.value_or(sessionfx::kGainDefault)));
}

INSTANTIATE_TEST_SUITE_P(
    SaveState, SaveInAStream,
    testing::Values(StreamCase{"blocks_of_512_nothing_waiting", "session_delays", 512, 512, std::nullopt},
                    StreamCase{"blocks_of_512_an_edit_waiting", "session_delays", 512, 512, 0.75},
                    StreamCase{"max_block_64_nothing_waiting", "session_delays", 64, 64, std::nullopt},
                    StreamCase{"max_block_64_an_edit_waiting", "session_delays", 64, 64, 0.25},
                    StreamCase{"max_block_64_the_same_value_again", "session_delays", 64, 64,
                               sessionfx::kGainDefault},
                    // A plug-in that skips flushes still keeps its stream when
                    // no edit waits.
                    StreamCase{"ignoring_flushes_nothing_waiting", "session_ignores_flush", 512, 512, std::nullopt},
                    StreamCase{"ignoring_flushes_max_block_64", "session_ignores_flush", 64, 64, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

// Also for a plug-in that skips flushes: its settings must not lose the edit.
TEST(SaveState, AnEditJustBeforeTheSaveLoadsIntoAFreshInstance) {
    struct Case {
        const char* name;
        std::int64_t maxBlock;
    };
    const Case cases[] = {
        {"session_delays", 512}, {"session_delays", 64}, {"session_ignores_flush", 512}, {"session_ignores_flush", 64}};
    for (const auto& [name, maxBlock] : cases) {
        SCOPED_TRACE(std::string(name) + " max block " + std::to_string(maxBlock));
        Reply saved;
        {
            auto client = startHelper();
            ASSERT_TRUE(client);
            openFixture(*client, name, false, maxBlock);
            succeed(*client, setParameterRequest(sessionfx::kGainId, 0.75));
            saved = succeed(*client, request(Op::saveState));
        }
        ASSERT_TRUE(saved.message.componentBytes && saved.message.controllerBytes);
        ASSERT_GE(saved.payload.size(), static_cast<std::size_t>(sessionfx::kComponentStateBytes));
        EXPECT_EQ(std::vector<std::uint8_t>(saved.payload.begin(), saved.payload.begin() + sessionfx::kComponentStateBytes),
                  componentState(0.75))
            << "the processor's settings lack the edit";
        auto fresh = startHelper();
        ASSERT_TRUE(fresh);
        openFixture(*fresh, name, false, maxBlock);
        Message load = Message::init(Op::loadState);
        load.componentBytes = saved.message.componentBytes;
        load.controllerBytes = saved.message.controllerBytes;
        succeed(*fresh, load, saved.payload);
        auto gain = parameter(*fresh, sessionfx::kGainId);
        ASSERT_TRUE(gain);
        EXPECT_EQ(gain->value, 0.75);
        // The processor has it too: saving the fresh instance gives the same bytes.
        EXPECT_EQ(succeed(*fresh, request(Op::saveState)).payload, saved.payload);
    }
}

TEST(SaveState, UnreadableSettingsAreAnErrorButEmptyOnesAreNot) {
    struct Case {
        const char* fixture;
        std::optional<std::string> error;
        std::int64_t componentBytes, controllerBytes;
    };
    const Case cases[] = {
        {"session_state_fails", "the plug-in could not save its settings", 0, 0},
        {"session_state_empty", std::nullopt, 0, sessionfx::kControllerStateBytes},
        {"session_controller_state_fails", std::nullopt, sessionfx::kComponentStateBytes, 0},
        {"session_gain", std::nullopt, sessionfx::kComponentStateBytes, sessionfx::kControllerStateBytes},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fixture);
        auto client = startHelper();
        ASSERT_TRUE(client);
        openFixture(*client, c.fixture);
        Reply r = call(*client, request(Op::saveState));
        if (c.error) {
            EXPECT_EQ(r.message, Message::reply(*c.error));
            EXPECT_TRUE(r.payload.empty());
        } else {
            EXPECT_FALSE(r.message.error) << *r.message.error;
            EXPECT_EQ(r.message.componentBytes, c.componentBytes);
            EXPECT_EQ(r.message.controllerBytes, c.controllerBytes);
            EXPECT_EQ(r.payload.size(), static_cast<std::size_t>(c.componentBytes + c.controllerBytes));
            // What was saved loads back.
            Message load = Message::init(Op::loadState);
            load.componentBytes = r.message.componentBytes;
            load.controllerBytes = r.message.controllerBytes;
            succeed(*client, load, r.payload);
        }
        // The session goes on either way.
        succeed(*client, processRequest(64), bytesOf(testSignal(2, 64), 64));
    }
}

} // namespace
} // namespace sessiontest
