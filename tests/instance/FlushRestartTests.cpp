// Edits handed to the processor without audio (VST3's parameter flush), the
// note of a latency change a plug-in announces, and the restart of processing
// that follows one.
#include "instance/ProbeAccess.h"
#include "plugin/PluginInstance.h"
#include "tv3/ComponentHandler.h"

#include <pluginterfaces/vst/ivsteditcontroller.h>

#include <vector>

namespace probetest {
namespace {

int32_t processEffect(tv3m_plugin* p, int32_t frames) {
    Audio in(2, frames, 0.5f), out(2, frames);
    return tv3m_plugin_process(p, in.data(), out.data(), 2, frames);
}

TEST_F(ProbeTest, AFlushWithNothingWaitingCallsNoProcess) {
    PluginPtr p = createEffect(2, 512);
    ASSERT_TRUE(p);
    EXPECT_EQ(tv3m_plugin_flush_parameters(p.get()), 0);
    EXPECT_EQ(r->blockCount, 0);
    EXPECT_EQ(tv3m_plugin_flush_parameters(nullptr), -1);
}

TEST_F(ProbeTest, AFlushCarriesTheWaitingEditsWithoutAudioAndLeavesTheClock) {
    for (bool instrument : {false, true}) {
        SCOPED_TRACE(instrument ? "instrument" : "effect");
        CreateArgs args;
        args.instrument = instrument;
        args.maxBlock = 64;
        PluginPtr p = create(args);
        ASSERT_TRUE(p);
        const int before = r->blockCount;
        Audio in(2, 64, 0.5f), out(2, 64);
        if (instrument) ASSERT_EQ(tv3m_plugin_process_events(p.get(), out.data(), 2, 64, nullptr, 0), 0);
        else ASSERT_EQ(tv3m_plugin_process(p.get(), in.data(), out.data(), 2, 64), 0);
        ASSERT_EQ(tv3m_param_set(p.get(), kProbeGainId, 0.3), 0);
        ASSERT_EQ(probe_->performEdit(kProbePairId, 0.9), 0) << "an edit from the controller's side";

        EXPECT_EQ(tv3m_plugin_flush_parameters(p.get()), 1);
        ASSERT_EQ(r->blockCount, before + 2);
        const ProbeBlock& flush = r->lastBlock;
        EXPECT_EQ(flush.numSamples, 0);
        EXPECT_EQ(flush.numInputs, 0);
        EXPECT_EQ(flush.numOutputs, 0);
        EXPECT_EQ(flush.processMode, Steinberg::Vst::kOffline);
        EXPECT_EQ(flush.symbolicSampleSize, Steinberg::Vst::kSample32);
        EXPECT_EQ(flush.hasOutputChanges, 1);
        EXPECT_EQ(flush.eventCount, 0);
        ASSERT_EQ(flush.pointCount, 2);
        EXPECT_EQ(flush.points[0].id, static_cast<uint32_t>(kProbeGainId));
        EXPECT_DOUBLE_EQ(flush.points[0].value, 0.3);
        EXPECT_EQ(flush.points[1].id, static_cast<uint32_t>(kProbePairId));
        EXPECT_DOUBLE_EQ(flush.points[1].value, 0.9);
        ASSERT_EQ(flush.hasContext, 1);
        EXPECT_EQ(flush.context.projectTimeSamples, 64);
        EXPECT_EQ(tv3m_plugin_take_edit_count(p.get()), 2);

        // Nothing waits now; the next block continues the clock and carries
        // no change again.
        EXPECT_EQ(tv3m_plugin_flush_parameters(p.get()), 0);
        EXPECT_EQ(r->blockCount, before + 2);
        if (instrument) ASSERT_EQ(tv3m_plugin_process_events(p.get(), out.data(), 2, 64, nullptr, 0), 0);
        else ASSERT_EQ(tv3m_plugin_process(p.get(), in.data(), out.data(), 2, 64), 0);
        EXPECT_EQ(r->lastBlock.context.projectTimeSamples, 64);
        EXPECT_EQ(r->lastBlock.pointCount, 0);
        EXPECT_EQ(tv3m_plugin_take_edit_count(p.get()), 0);
    }
}

TEST_F(ProbeTest, AFlushThePlugInRefusesConsumesItsEdits) {
    PluginPtr p = createEffect(2, 512);
    ASSERT_TRUE(p);
    r->sw.failProcess = 1;
    ASSERT_EQ(tv3m_param_set(p.get(), kProbeGainId, 0.3), 0);
    EXPECT_EQ(tv3m_plugin_flush_parameters(p.get()), -1);
    EXPECT_EQ(r->blockCount, 1);
    EXPECT_EQ(tv3m_plugin_take_edit_count(p.get()), 1);
    r->sw.failProcess = 0;
    ASSERT_EQ(processEffect(p.get(), 64), 0);
    EXPECT_EQ(r->lastBlock.pointCount, 0);
}

// Some frameworks return from a call without samples before looking at the
// changes: the edits must then wait for the next block, not be lost.
TEST_F(ProbeTest, EditsAPlugInDidNotLookAtInAFlushWaitForTheNextBlock) {
    PluginPtr p = createEffect(2, 512);
    ASSERT_TRUE(p);
    r->sw.ignoreFlush = 1;
    ASSERT_EQ(tv3m_param_set(p.get(), kProbeGainId, 0.3), 0);
    ASSERT_EQ(tv3m_param_set(p.get(), kProbePairId, 0.4), 0);
    EXPECT_EQ(tv3m_plugin_pending_edits(p.get()), 2);
    EXPECT_EQ(tv3m_plugin_flush_parameters(p.get()), 2);
    EXPECT_EQ(r->blockCount, 0);
    EXPECT_EQ(tv3m_plugin_pending_edits(p.get()), 2);
    // A newer edit of one of them keeps its place and takes the new value.
    ASSERT_EQ(tv3m_param_set(p.get(), kProbeGainId, 0.6), 0);
    EXPECT_EQ(tv3m_plugin_take_edit_count(p.get()), 2) << "each edit counted once";
    ASSERT_EQ(processEffect(p.get(), 64), 0);
    ASSERT_EQ(r->lastBlock.pointCount, 2);
    EXPECT_EQ(r->lastBlock.points[0].id, static_cast<uint32_t>(kProbeGainId));
    EXPECT_DOUBLE_EQ(r->lastBlock.points[0].value, 0.6);
    EXPECT_EQ(r->lastBlock.points[1].id, static_cast<uint32_t>(kProbePairId));
    EXPECT_DOUBLE_EQ(r->lastBlock.points[1].value, 0.4);
    EXPECT_EQ(tv3m_plugin_take_edit_count(p.get()), 0);
    EXPECT_EQ(tv3m_plugin_pending_edits(p.get()), 0);
    EXPECT_EQ(tv3m_plugin_pending_edits(nullptr), 0);
}

TEST_F(ProbeTest, ALatencyChangeIsNotedOnceFromTheComponentHandler) {
    PluginPtr p = createEffect(2, 512);
    ASSERT_TRUE(p);
    EXPECT_EQ(tv3m_plugin_take_latency_change(p.get()), 0);
    p->componentHandler->restartComponent(Steinberg::Vst::kLatencyChanged);
    EXPECT_EQ(tv3m_plugin_take_latency_change(p.get()), 1);
    EXPECT_EQ(tv3m_plugin_take_latency_change(p.get()), 0);
    p->componentHandler->restartComponent(Steinberg::Vst::kParamTitlesChanged);
    EXPECT_EQ(tv3m_plugin_take_latency_change(p.get()), 0);
    EXPECT_EQ(tv3m_plugin_take_latency_change(nullptr), 0);
}

TEST_F(ProbeTest, RestartingProcessingStopsDeactivatesReactivatesAndStartsInThatOrder) {
    PluginPtr p = createEffect(2, 512);
    ASSERT_TRUE(p);
    r->sw.latency = 77;
    const int32_t from = r->logCount;
    EXPECT_EQ(tv3m_plugin_restart_processing(p.get()), 0);
    const std::vector<int32_t> expected = {kCallSetProcessingOff, kCallSetActiveOff, kCallSetActiveOn,
                                           kCallSetProcessingOn};
    EXPECT_EQ(logFrom(*r, from), expected);
    EXPECT_EQ(tv3m_plugin_latency(p.get()), 77);
    EXPECT_EQ(processEffect(p.get(), 64), 0);
    EXPECT_EQ(tv3m_plugin_restart_processing(nullptr), -1);
}

TEST_F(ProbeTest, AnInstanceThatWillNotBecomeActiveAgainRefusesBlocks) {
    PluginPtr p = createEffect(2, 512);
    ASSERT_TRUE(p);
    r->sw.refuseActivate = 1;
    EXPECT_EQ(tv3m_plugin_restart_processing(p.get()), -1);
    const int blocks = r->blockCount;
    ASSERT_EQ(tv3m_param_set(p.get(), kProbeGainId, 0.3), 0);
    EXPECT_EQ(processEffect(p.get(), 64), -1);
    EXPECT_EQ(tv3m_plugin_flush_parameters(p.get()), -1);
    EXPECT_EQ(r->blockCount, blocks) << "an inactive plug-in was asked to process";
    // Once it takes activation again, the instance works again, edits intact.
    r->sw.refuseActivate = 0;
    EXPECT_EQ(tv3m_plugin_restart_processing(p.get()), 0);
    EXPECT_EQ(processEffect(p.get(), 64), 0);
    EXPECT_EQ(r->lastBlock.pointCount, 1);
    // Destroying it afterwards deactivates it exactly once more.
    const int32_t from = r->logCount;
    p.reset();
    int deactivations = 0;
    for (int32_t call : logFrom(*r, from)) deactivations += call == kCallSetActiveOff ? 1 : 0;
    EXPECT_EQ(deactivations, 1);
}

} // namespace
} // namespace probetest
