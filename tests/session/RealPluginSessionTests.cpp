// Every plug-in Debian installs in /usr/lib/vst3 (zam-plugins) through a
// session: the audio that comes back over the pipes must be bit for bit what
// the same blocks give in this process; saved settings must load into a fresh
// session and show the same parameter values there.
#include "session/SessionHarness.h"
#include "support/InstalledPlugins.h"

#include "tv3m.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>

namespace sessiontest {
namespace {

constexpr double kRate = 48000;
constexpr int kBlock = 512;
constexpr int kBlocks = (2 * 48000 + kBlock - 1) / kBlock; // 2 s

struct PluginDeleter {
    void operator()(tv3m_plugin* p) const { tv3m_plugin_destroy(p); }
};
using PluginPtr = std::unique_ptr<tv3m_plugin, PluginDeleter>;

// Opens the effect in the helper, stereo where it takes it, else mono.
int openInHelper(PluginBridgeClient& client, const std::string& path, const std::string& cid) {
    for (int channels : {2, 1}) {
        Reply r = call(client, openRequest(path, cid.c_str(), kBlock, channels));
        if (!r.message.error) return channels;
        if (channels == 1) ADD_FAILURE() << "refused mono too: " << *r.message.error;
    }
    return 0;
}

class InstalledPlugin : public testing::TestWithParam<std::string> {};

TEST_P(InstalledPlugin, ProcessesBitForBitAsInProcessAndItsSettingsTravel) {
    const std::string path = tv3test::installedBundlePath(GetParam());
    const std::string cid = tv3test::firstAudioClass(path);
    ASSERT_FALSE(cid.empty()) << "no audio class";

    auto client = startHelper();
    ASSERT_TRUE(client);
    const int channels = openInHelper(*client, path, cid);
    ASSERT_GT(channels, 0);
    char error[512] = {};
    PluginPtr local(tv3m_plugin_create(path.c_str(), cid.c_str(), kRate, kBlock, channels, error, sizeof error));
    ASSERT_TRUE(local) << error;

    std::vector<std::vector<float>> out(channels, std::vector<float>(kBlock));
    std::vector<float*> inPtr(channels), outPtr(channels);
    bool audible = false;
    for (int b = 0; b < kBlocks; ++b) {
        auto in = testSignal(channels, kBlock, static_cast<long>(b) * kBlock);
        const auto inBytes = bytesOf(in, kBlock);
        Reply r = call(*client, processRequest(kBlock), inBytes);
        ASSERT_FALSE(r.message.error) << "block " << b << ": " << *r.message.error;
        for (int c = 0; c < channels; ++c) {
            inPtr[c] = in[c].data();
            outPtr[c] = out[c].data();
        }
        ASSERT_EQ(tv3m_plugin_process(local.get(), inPtr.data(), outPtr.data(), channels, kBlock), 0);
        const auto expected = bytesOf(out, kBlock);
        ASSERT_EQ(r.payload.size(), expected.size());
        if (r.payload != expected) {
            const std::vector<float> got = samples(r.payload), want = samples(expected);
            std::size_t i = 0;
            while (i < got.size() && std::memcmp(&got[i], &want[i], 4) == 0) ++i;
            FAIL() << "block " << b << " differs first at sample " << i << ": " << got[i] << " vs " << want[i];
        }
        for (float s : samples(r.payload)) audible = audible || std::fabs(s) > 1e-4f;
        // A save in the middle of the stream (an autosave during a bounce)
        // must leave the audio after it as it would have been: the blocks
        // compared with this process's own, which never saves.
        if (b == kBlocks / 2) succeed(*client, request(Op::saveState));
    }
    EXPECT_TRUE(audible) << "the output stayed silent";

    // Move one continuous parameter, so that the settings carry something.
    std::vector<PluginBridgeParameter> before = parameters(*client);
    ASSERT_FALSE(before.empty());
    for (const PluginBridgeParameter& p : before) EXPECT_FALSE(p.title.empty()) << "parameter " << p.id;
    for (const PluginBridgeParameter& p : before) {
        if (p.stepCount == 0 && !p.isReadOnly && !p.isBypass) {
            succeed(*client, setParameterRequest(p.id, p.value < 0.5 ? 0.8 : 0.2));
            break;
        }
    }
    Reply saved = succeed(*client, request(Op::saveState));
    ASSERT_TRUE(saved.message.componentBytes && saved.message.controllerBytes);
    EXPECT_GT(*saved.message.componentBytes, 0);
    const std::vector<PluginBridgeParameter> shown = parameters(*client);

    auto fresh = startHelper();
    ASSERT_TRUE(fresh);
    ASSERT_EQ(openInHelper(*fresh, path, cid), channels);
    Message load = Message::init(Op::loadState);
    load.componentBytes = saved.message.componentBytes;
    load.controllerBytes = saved.message.controllerBytes;
    // Some plug-ins refuse their own minimal state (ZamAutoSat saves one NUL
    // byte and rejects it); the session must then say so, as this process sees it.
    const bool acceptsOwnState =
        tv3m_state_load(local.get(), saved.payload.data(), static_cast<int32_t>(*saved.message.componentBytes)) == 0;
    if (!acceptsOwnState) {
        EXPECT_EQ(call(*fresh, load, saved.payload).message, Message::reply("the plug-in rejected its saved settings"));
        return;
    }
    succeed(*fresh, load, saved.payload);
    const std::vector<PluginBridgeParameter> restored = parameters(*fresh);
    ASSERT_EQ(restored.size(), shown.size());
    for (std::size_t i = 0; i < shown.size(); ++i) {
        SCOPED_TRACE(shown[i].title);
        EXPECT_EQ(restored[i].id, shown[i].id);
        EXPECT_NEAR(restored[i].value, shown[i].value, 1e-6);
        EXPECT_EQ(restored[i].display, shown[i].display);
    }
    EXPECT_TRUE(client->quit(kEndSeconds).exitedWith(0));
    EXPECT_TRUE(fresh->quit(kEndSeconds).exitedWith(0));
}

INSTANTIATE_TEST_SUITE_P(Zam, InstalledPlugin, testing::ValuesIn(tv3test::installedBundleNames()), [](const auto& info) {
    std::string name = info.param;
    std::replace_if(name.begin(), name.end(), [](char ch) { return !std::isalnum(static_cast<unsigned char>(ch)); }, '_');
    return name;
});

TEST(InstalledPlugins, AreThere) { EXPECT_GE(tv3test::installedBundleNames().size(), 17u) << "zam-plugins is not installed"; }

} // namespace
} // namespace sessiontest
