// Blocks allocate nothing once an instance has carried its largest block:
// effects and instruments, with edits and with long note lists (sorted
// through the instance's own scratch area, whatever their length).
#include "hostobjects/CountingAllocator.h"
#include "instance/ProbeAccess.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace probetest {
namespace {

namespace allocations = tv3test::allocations;

// The counting operator new must be the one in use, or a check for zero
// could never fail.
bool countingWorks() {
    const std::uint64_t before = allocations::made();
    auto probe = std::make_unique<volatile int>(1);
    return allocations::made() == before + 1 && *probe == 1;
}

// Offsets running backwards with many ties, note-offs and note-ons mixed, so
// that the sort has work and its stability shows.
std::vector<tv3m_note_event> noteList(int count, int frames) {
    std::vector<tv3m_note_event> events;
    for (int i = 0; i < count; ++i) {
        const int32_t offset = (frames - 1) - (i * 7) % frames / 4 * 4;
        events.push_back({offset, i % 3 == 0 ? 1 : 0, i % 128, 0.5f});
    }
    return events;
}

class BlockAllocations : public ProbeTest {
protected:
    void TearDown() override { allocations::failNone(); }
};

TEST_F(BlockAllocations, WarmedUpEffectBlocksAllocateNothing) {
    ASSERT_TRUE(countingWorks());
    r->sw.sidechainChannels = 2;
    r->sw.auxOutputChannels = 2;
    PluginPtr p = createEffect(2, 512);
    ASSERT_TRUE(p);
    Audio in(2, 512, 0.25f), out(2, 512);
    const auto block = [&](int frames, int edits) {
        for (int e = 0; e < edits; ++e) tv3m_param_set(p.get(), kProbeGainId + static_cast<uint32_t>(e % 3), 0.1 * e);
        return tv3m_plugin_process(p.get(), in.data(), out.data(), 2, frames);
    };
    ASSERT_EQ(block(512, 3), 0);
    ASSERT_EQ(block(512, 3), 0);

    const std::uint64_t before = allocations::made();
    int failed = 0;
    for (int i = 0; i < 20; ++i) failed += block(i % 2 ? 512 : 64, i % 4) != 0;
    const std::uint64_t during = allocations::made() - before;
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(during, 0u) << "allocations in warmed-up effect blocks";
    EXPECT_EQ(r->blockCount, 22);
}

struct NoteLoad {
    const char* name;
    int warmUp;  // events in the largest block before counting
    int steady;  // events in every counted block
};

class InstrumentBlockAllocations : public BlockAllocations, public ::testing::WithParamInterface<NoteLoad> {};

TEST_P(InstrumentBlockAllocations, WarmedUpBlocksAllocateNothing) {
    ASSERT_TRUE(countingWorks());
    const NoteLoad& load = GetParam();
    PluginPtr p = createInstrument(2, 512);
    ASSERT_TRUE(p);
    Audio out(2, 512);
    const std::vector<tv3m_note_event> warm = noteList(load.warmUp, 512);
    const std::vector<tv3m_note_event> steady = noteList(load.steady, 512);
    // Warm-up blocks with the largest load: an edit and the longest list.
    ASSERT_EQ(tv3m_param_set(p.get(), kProbeGainId, 0.5), 0);
    ASSERT_EQ(tv3m_plugin_process_events(p.get(), out.data(), 2, 512, warm.data(), load.warmUp), 0);
    ASSERT_EQ(tv3m_param_set(p.get(), kProbeGainId, 0.5), 0);
    ASSERT_EQ(tv3m_plugin_process_events(p.get(), out.data(), 2, 512, steady.data(), load.steady), 0);

    const std::uint64_t before = allocations::made();
    int failed = 0;
    for (int i = 0; i < 20; ++i) {
        tv3m_param_set(p.get(), kProbeGainId, 0.05 * i);
        failed += tv3m_plugin_process_events(p.get(), out.data(), 2, 512, steady.data(), load.steady) != 0;
        failed += tv3m_plugin_process_events(p.get(), out.data(), 2, 256, nullptr, 0) != 0;
    }
    const std::uint64_t during = allocations::made() - before;
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(during, 0u) << "allocations in warmed-up instrument blocks";

    // And the events still arrive in time order, ties in the caller's order.
    ASSERT_EQ(tv3m_plugin_process_events(p.get(), out.data(), 2, 512, steady.data(), load.steady), 0);
    std::vector<tv3m_note_event> expected = steady;
    std::stable_sort(expected.begin(), expected.end(),
                     [](const tv3m_note_event& a, const tv3m_note_event& b) { return a.sampleOffset < b.sampleOffset; });
    ASSERT_EQ(r->lastBlock.eventCount, load.steady);
    for (int i = 0; i < load.steady && i < kProbeMaxEvents; ++i) {
        SCOPED_TRACE(i);
        const Steinberg::Vst::Event& e = r->lastBlock.events[i];
        EXPECT_EQ(e.sampleOffset, expected[i].sampleOffset);
        EXPECT_EQ(e.type, expected[i].kind == 0 ? Steinberg::Vst::Event::kNoteOnEvent
                                                : Steinberg::Vst::Event::kNoteOffEvent);
        EXPECT_EQ(expected[i].kind == 0 ? e.noteOn.pitch : e.noteOff.pitch, expected[i].pitch);
    }
}

INSTANTIATE_TEST_SUITE_P(Loads, InstrumentBlockAllocations,
                         ::testing::Values(NoteLoad{"Few", 10, 10}, NoteLoad{"JustOverSixtyFour", 65, 65},
                                           NoteLoad{"TwoHundred", 200, 200},
                                           // More than the room set aside at creation: it grows once.
                                           NoteLoad{"ThousandAfterGrowth", 1000, 1000},
                                           NoteLoad{"TwoHundredAfterAThousand", 1000, 200}),
                         [](const ::testing::TestParamInfo<NoteLoad>& info) { return info.param.name; });

TEST_F(BlockAllocations, NoteListsThatKeepGettingLongerGrowTheRoomOnlyAFewTimes) {
    ASSERT_TRUE(countingWorks());
    PluginPtr p = createInstrument(2, 512);
    ASSERT_TRUE(p);
    Audio out(2, 512);
    const std::vector<tv3m_note_event> events = noteList(2250, 512);
    ASSERT_EQ(tv3m_plugin_process_events(p.get(), out.data(), 2, 512, events.data(), 1), 0);
    const std::uint64_t before = allocations::made();
    int failed = 0;
    int blocks = 0;
    for (int count = 250; count <= 2250; count += 2, ++blocks) {
        failed += tv3m_plugin_process_events(p.get(), out.data(), 2, 512, events.data(), count) != 0;
    }
    const std::uint64_t during = allocations::made() - before;
    EXPECT_EQ(failed, 0);
    EXPECT_GT(during, 0u) << "the room set aside at creation cannot hold 2250 events";
    // A handful of growths (each a few blocks), not one per block.
    EXPECT_LE(during, 16u) << "over " << blocks << " blocks";
}

TEST_F(BlockAllocations, NoteListLongerThanMemoryAllowsIsRefusedBeforeTheBlock) {
    PluginPtr p = createInstrument(2, 512);
    ASSERT_TRUE(p);
    Audio out(2, 512);
    const std::vector<tv3m_note_event> events = noteList(5000, 512);
    ASSERT_EQ(tv3m_param_set(p.get(), kProbeGainId, 0.5), 0);
    const int32_t blocks = r->blockCount;
    allocations::failFrom(0);
    const int32_t result = tv3m_plugin_process_events(p.get(), out.data(), 2, 512, events.data(), 5000);
    allocations::failNone();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(r->blockCount, blocks) << "the plug-in was called";
    // The edit is still pending and reaches the next block.
    ASSERT_EQ(tv3m_plugin_process_events(p.get(), out.data(), 2, 512, events.data(), 5000), 0);
    ASSERT_EQ(r->lastBlock.pointCount, 1);
    EXPECT_EQ(r->lastBlock.points[0].value, 0.5);
    EXPECT_EQ(r->lastBlock.eventCount, 5000);
}

TEST_F(BlockAllocations, EditThatFindsNoQueueStaysPendingForTheNextBlock) {
    PluginPtr p = createEffect(2, 512);
    ASSERT_TRUE(p);
    Audio in(2, 64), out(2, 64);
    // More distinct parameters than the change list has queues for: the
    // block has to make new ones, and cannot.
    for (uint32_t id = 0; id < 40; ++id) ASSERT_EQ(probe_->performEdit(kProbeEditIdBase + id, 0.25), 0);
    allocations::failFrom(0);
    const int32_t result = tv3m_plugin_process(p.get(), in.data(), out.data(), 2, 64);
    allocations::failNone();
    EXPECT_EQ(result, 0);
    const int32_t carried = r->lastBlock.pointCount;
    EXPECT_LT(carried, 40);
    ASSERT_EQ(tv3m_plugin_process(p.get(), in.data(), out.data(), 2, 64), 0);
    EXPECT_EQ(carried + r->lastBlock.pointCount, 40) << "an edit was lost or carried twice";
    for (uint32_t id = 0; id < 40; ++id) EXPECT_EQ(r->editSeen[id], 1) << id;
    EXPECT_EQ(tv3m_plugin_take_edit_count(p.get()), 40);
}

} // namespace
} // namespace probetest
