// The note events of a block going in, and the output list that swallows
// whatever a plug-in sends out.
#include "tv3/EmptyEventList.h"
#include "tv3/EventList.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

using namespace Steinberg;

namespace {

Vst::Event noteOn(int32 offset, int16 pitch, float velocity) {
    Vst::Event e{};
    e.busIndex = 0;
    e.sampleOffset = offset;
    e.type = Vst::Event::kNoteOnEvent;
    e.noteOn.channel = 0;
    e.noteOn.pitch = pitch;
    e.noteOn.velocity = velocity;
    e.noteOn.noteId = -1;
    return e;
}

Vst::Event filled(unsigned char byte) {
    Vst::Event e;
    std::memset(&e, byte, sizeof(e));
    return e;
}

class EventListTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(list->release(), 0u); }
    tv3::EventList* list = new tv3::EventList();
};

TEST_F(EventListTest, EmptyListAnswersFalseAndLeavesTheEvent) {
    EXPECT_EQ(list->getEventCount(), 0);
    Vst::Event e = filled(0xAB);
    EXPECT_EQ(list->getEvent(0, e), kResultFalse);
    const Vst::Event untouched = filled(0xAB);
    EXPECT_EQ(std::memcmp(&e, &untouched, sizeof(e)), 0);
}

TEST_F(EventListTest, EventsAreCopiedInAndOutInTheOrderAdded) {
    Vst::Event a = noteOn(64, 60, 0.5f);
    Vst::Event b = noteOn(0, 72, 1.0f);
    EXPECT_EQ(list->addEvent(a), kResultOk);
    EXPECT_EQ(list->addEvent(b), kResultOk);
    a.noteOn.pitch = 1; // the list holds its own copy
    EXPECT_EQ(list->getEventCount(), 2);
    Vst::Event out = filled(0);
    ASSERT_EQ(list->getEvent(0, out), kResultOk);
    EXPECT_EQ(out.sampleOffset, 64);
    EXPECT_EQ(out.noteOn.pitch, 60);
    EXPECT_EQ(out.noteOn.velocity, 0.5f);
    ASSERT_EQ(list->getEvent(1, out), kResultOk);
    EXPECT_EQ(std::memcmp(&out, &b, sizeof(out)), 0) << "the whole record comes back as given";
}

TEST_F(EventListTest, IndexOutOfRangeAnswersFalse) {
    Vst::Event e = noteOn(0, 60, 1.0f);
    list->addEvent(e);
    for (int32 bad : {1, 2, -1, INT32_MIN, INT32_MAX}) {
        SCOPED_TRACE(bad);
        Vst::Event out = filled(0x5A);
        EXPECT_EQ(list->getEvent(bad, out), kResultFalse);
        EXPECT_EQ(out.sampleOffset, filled(0x5A).sampleOffset);
    }
}

TEST_F(EventListTest, ClearEmptiesTheList) {
    for (int i = 0; i < 300; ++i) {
        Vst::Event e = noteOn(i, static_cast<int16>(i % 128), 1.0f);
        list->addEvent(e);
    }
    EXPECT_EQ(list->getEventCount(), 300);
    list->clear();
    EXPECT_EQ(list->getEventCount(), 0);
    Vst::Event out{};
    EXPECT_EQ(list->getEvent(0, out), kResultFalse);
    Vst::Event e = noteOn(5, 61, 0.25f);
    list->addEvent(e);
    ASSERT_EQ(list->getEvent(0, out), kResultOk);
    EXPECT_EQ(out.noteOn.pitch, 61);
}

TEST(EmptyEventList, SwallowsEverything) {
    auto* list = new tv3m::EmptyEventList();
    EXPECT_EQ(list->getEventCount(), 0);
    Vst::Event e = noteOn(3, 64, 1.0f);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(list->addEvent(e), kResultOk);
    EXPECT_EQ(list->getEventCount(), 0);
    Vst::Event out = filled(0x11);
    EXPECT_EQ(list->getEvent(0, out), kResultFalse);
    EXPECT_EQ(list->getEvent(-1, out), kResultFalse);
    EXPECT_EQ(out.sampleOffset, filled(0x11).sampleOffset);
    void* obj = nullptr;
    EXPECT_EQ(list->queryInterface(Vst::IEventList_iid, &obj), kResultOk);
    EXPECT_EQ(obj, static_cast<Vst::IEventList*>(list));
    list->release();
    EXPECT_EQ(list->release(), 0u);
}

} // namespace
