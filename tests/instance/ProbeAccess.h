// Reaching the probe fixture from a test: its bundle, its shared record and
// its exported edit functions, and small owners for instances and buffers.
#pragma once

#include "plugins/probe/ProbeRecord.h"
#include "tv3m.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace probetest {

std::string bundlePath();

// The loaded probe. Its code is loaded once per process and stays loaded;
// every test starts from a fresh record (no probe object may be alive).
struct Probe {
    ProbeRecord* record = nullptr;
    Tv3ProbePerformEditFn performEdit = nullptr;
    Tv3ProbeStartEditsFn startEdits = nullptr;
    Tv3ProbeEditsDoneFn editsDone = nullptr;
    Tv3ProbeJoinEditsFn joinEdits = nullptr;
    Tv3ProbeResetFn reset = nullptr;
    Tv3ProbeResizeViewFn resizeView = nullptr;
};
// Fails the current test (and answers null fields) when the probe cannot be
// loaded.
Probe& probe();
// Whether the probe's code is in the process at all.
bool probeLoaded();

struct PluginDeleter {
    void operator()(tv3m_plugin* p) const { tv3m_plugin_destroy(p); }
};
using PluginPtr = std::unique_ptr<tv3m_plugin, PluginDeleter>;

struct CreateArgs {
    bool instrument = false;
    int32_t channels = 2;
    int32_t maxBlock = 512;
    double rate = 48000;
    std::string cid; // empty: the probe's effect or instrument class
};
// Creates a probe instance; on failure the message lands in *error.
PluginPtr create(const CreateArgs& args, std::string* error = nullptr);
PluginPtr createEffect(int32_t channels = 2, int32_t maxBlock = 512);
PluginPtr createInstrument(int32_t channels = 2, int32_t maxBlock = 512);

// Planar audio buffers with a pointer array for the tv3m_* calls.
struct Audio {
    Audio(int32_t channels, int32_t frames, float fill = 0.0f);
    std::vector<std::vector<float>> samples;
    std::vector<float*> pointers;
    float* const* data() { return pointers.data(); }
};

// The record's call log from entry `from` on.
std::vector<int32_t> logFrom(const ProbeRecord& r, int32_t from);

// Base of the suites: a fresh probe record for every test.
class ProbeTest : public ::testing::Test {
protected:
    void SetUp() override {
        probe_ = &probe();
        ASSERT_NE(probe_->record, nullptr);
        r = probe_->record;
    }
    Probe* probe_ = nullptr;
    ProbeRecord* r = nullptr;
};

} // namespace probetest
