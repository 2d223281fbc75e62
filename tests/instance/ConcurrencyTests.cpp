// The probe's controller edits from a thread of its own while the host runs
// blocks and takes the edit count: every edit reaches exactly one block and is
// counted exactly once.
#include "instance/ProbeAccess.h"

namespace probetest {
namespace {

TEST_F(ProbeTest, EditsFromThePlugInsThreadReachOneBlockAndAreCountedOnce) {
    constexpr int32_t kEdits = 3000;
    PluginPtr p = createEffect(2, 64);
    ASSERT_TRUE(p);
    Audio in(2, 64, 0.5f), out(2, 64);
    ASSERT_EQ(probe_->startEdits(kEdits), 0);

    int64_t counted = 0;
    int32_t hostEdits = 0;
    for (int iteration = 0; !probe_->editsDone(); ++iteration) {
        // Blocks and counts interleave in every order with the thread's edits.
        if (iteration % 3 != 2) {
            ASSERT_EQ(tv3m_plugin_process(p.get(), in.data(), out.data(), 2, 64), 0);
        }
        if (iteration % 2 == 0) counted += tv3m_plugin_take_edit_count(p.get());
        if (iteration % 5 == 0) {
            ASSERT_EQ(tv3m_param_set(p.get(), kProbeGainId, 0.5), 0);
            // One host edit per block at most, so that each counts as one record.
            ASSERT_EQ(tv3m_plugin_process(p.get(), in.data(), out.data(), 2, 64), 0);
            ++hostEdits;
        }
    }
    EXPECT_EQ(probe_->joinEdits(), kEdits);
    ASSERT_EQ(tv3m_plugin_process(p.get(), in.data(), out.data(), 2, 64), 0);
    counted += tv3m_plugin_take_edit_count(p.get());

    EXPECT_EQ(counted, kEdits + hostEdits);
    int32_t missing = 0, repeated = 0, wrongValue = 0;
    for (int32_t i = 0; i < kEdits; ++i) {
        if (r->editSeen[i] == 0) ++missing;
        if (r->editSeen[i] > 1) ++repeated;
        if (r->editSeen[i] == 1 && r->editSeenValue[i] != static_cast<double>(i) / kEdits) ++wrongValue;
    }
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(repeated, 0);
    EXPECT_EQ(wrongValue, 0);
    EXPECT_EQ(tv3m_plugin_take_edit_count(p.get()), 0);
}

} // namespace
} // namespace probetest
