// The session fixtures themselves, in this process through the module layer:
// what the end-to-end tests take for granted about them holds here first, so
// a failure there points at the session, not at its fixture.
#include "plugins/session/SessionFixtureIds.h"
#include "support/BundleCopy.h"
#include "tv3m.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

struct PluginDeleter {
    void operator()(tv3m_plugin* p) const { tv3m_plugin_destroy(p); }
};
using PluginPtr = std::unique_ptr<tv3m_plugin, PluginDeleter>;

PluginPtr create(const std::string& name, bool instrument = false, int32_t block = 512) {
    const std::string path = tv3test::fixtureBundle(TV3_FIXTURE_DIR, name);
    char error[512] = {};
    tv3m_plugin* p = instrument ? tv3m_plugin_create_instrument(path.c_str(), sessionfx::kInstrumentCid, 48000, block, 2,
                                                                error, sizeof error)
                                : tv3m_plugin_create(path.c_str(), sessionfx::kEffectCid, 48000, block, 2, error,
                                                     sizeof error);
    EXPECT_NE(p, nullptr) << name << ": " << error;
    return PluginPtr(p);
}

struct Block {
    std::vector<float> in[2], out[2];
    float* inPtr[2];
    float* outPtr[2];
    explicit Block(int frames, float value = 1.0f) {
        for (int c = 0; c < 2; ++c) {
            in[c].assign(frames, value);
            out[c].assign(frames, -9.0f);
            inPtr[c] = in[c].data();
            outPtr[c] = out[c].data();
        }
    }
};

TEST(SessionFixtures, TheGainEffectMultipliesReportsLatencyAndEditsWhenAsked) {
    PluginPtr p = create("session_gain");
    ASSERT_TRUE(p);
    EXPECT_EQ(tv3m_plugin_latency(p.get()), sessionfx::kLatency);
    EXPECT_EQ(tv3m_param_count(p.get()), 2);
    Block b(64);
    ASSERT_EQ(tv3m_plugin_process(p.get(), b.inPtr, b.outPtr, 2, 64), 0);
    EXPECT_EQ(b.out[1][63], 1.0f);
    tv3m_param_set(p.get(), sessionfx::kGainId, 0.25);
    tv3m_param_set(p.get(), sessionfx::kReportId, 1);
    ASSERT_EQ(tv3m_plugin_process(p.get(), b.inPtr, b.outPtr, 2, 64), 0);
    EXPECT_EQ(b.out[0][0], 0.5f);
    EXPECT_EQ(tv3m_plugin_take_edit_count(p.get()), 3); // two sets, one edit from the block
    for (int i = 0; i < 3; ++i) ASSERT_EQ(tv3m_plugin_process(p.get(), b.inPtr, b.outPtr, 2, 64), 0);
    EXPECT_EQ(tv3m_plugin_take_edit_count(p.get()), 3);
    int32_t component = 0, controller = 0;
    EXPECT_EQ(tv3m_state_save(p.get(), nullptr, 0, &component), 0);
    EXPECT_EQ(tv3m_controller_state_save(p.get(), nullptr, 0, &controller), 0);
    EXPECT_EQ(component, sessionfx::kComponentStateBytes);
    EXPECT_EQ(controller, sessionfx::kControllerStateBytes);
}

TEST(SessionFixtures, TheInstrumentHoldsVelocityTimesPitchOver128WhileANoteSounds) {
    PluginPtr p = create("session_gain", true, 256);
    ASSERT_TRUE(p);
    EXPECT_EQ(tv3m_plugin_output_channels(p.get()), 2);
    EXPECT_EQ(tv3m_plugin_has_audio_input(p.get()), 0);
    Block b(256);
    const tv3m_note_event on{100, 0, 64, 1.0f};
    ASSERT_EQ(tv3m_plugin_process_events(p.get(), b.outPtr, 2, 256, &on, 1), 0);
    EXPECT_EQ(b.out[0][99], 0.0f);
    EXPECT_EQ(b.out[0][100], 0.5f);
    EXPECT_EQ(b.out[1][255], 0.5f);
    const tv3m_note_event off{40, 1, 64, 0.0f};
    ASSERT_EQ(tv3m_plugin_process_events(p.get(), b.outPtr, 2, 256, &off, 1), 0);
    EXPECT_EQ(b.out[0][39], 0.5f);
    EXPECT_EQ(b.out[0][40], 0.0f);
}

TEST(SessionFixtures, TheGrowingStateIsLongerOnEveryAsk) {
    PluginPtr p = create("session_state_grows");
    ASSERT_TRUE(p);
    int32_t first = 0, second = 0;
    ASSERT_EQ(tv3m_state_save(p.get(), nullptr, 0, &first), 0);
    std::vector<char> buffer(static_cast<std::size_t>(first));
    EXPECT_EQ(tv3m_state_save(p.get(), buffer.data(), first, &second), -1) << "a copy of the asked size must not fit";
    EXPECT_EQ(second, first + 1);
}

TEST(SessionFixtures, TheRefusingComponentRefusesAndTheEmptyControllerHasNoParameters) {
    PluginPtr refusing = create("session_rejects_state");
    ASSERT_TRUE(refusing);
    int32_t size = 0;
    ASSERT_EQ(tv3m_state_save(refusing.get(), nullptr, 0, &size), 0);
    std::vector<char> saved(static_cast<std::size_t>(size));
    ASSERT_EQ(tv3m_state_save(refusing.get(), saved.data(), size, &size), 0);
    EXPECT_EQ(tv3m_state_load(refusing.get(), saved.data(), size), -1);

    PluginPtr empty = create("session_no_params");
    ASSERT_TRUE(empty);
    EXPECT_EQ(tv3m_param_count(empty.get()), 0);
}

} // namespace
