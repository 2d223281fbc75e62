// The note sort on its own: stable by offset for every length, in place,
// with its scratch area.
#include "plugin/NoteOrder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

struct OrderCase {
    const char* name;
    int count;
    int offsets; // offsets drawn from 0 ... offsets - 1: few values give many ties
};

class NoteOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(NoteOrder, SortsByOffsetKeepingTheOrderOfTies) {
    const OrderCase& c = GetParam();
    std::mt19937 random(static_cast<unsigned>(c.count * 31 + c.offsets));
    std::uniform_int_distribution<int> offset(0, c.offsets - 1);
    std::vector<tv3m_note_event> events;
    // The pitch holds the position in the caller's list, to see stability.
    for (int i = 0; i < c.count; ++i) events.push_back({offset(random), i % 2, i, 1.0f});
    std::vector<tv3m_note_event> expected = events;
    std::stable_sort(expected.begin(), expected.end(),
                     [](const tv3m_note_event& a, const tv3m_note_event& b) { return a.sampleOffset < b.sampleOffset; });

    std::vector<tv3m_note_event> scratch(static_cast<size_t>(c.count) + 1, tv3m_note_event{-9, -9, -9, -9.0f});
    tv3m::sortNotesByOffset(events.data(), events.size(), scratch.data());
    ASSERT_EQ(events.size(), expected.size());
    for (size_t i = 0; i < events.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(events[i].sampleOffset, expected[i].sampleOffset);
        ASSERT_EQ(events[i].pitch, expected[i].pitch) << "ties left the caller's order";
        ASSERT_EQ(events[i].kind, expected[i].kind);
    }
    EXPECT_EQ(scratch.back().pitch, -9) << "wrote past the scratch area it was promised";
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, NoteOrder,
    ::testing::Values(OrderCase{"Empty", 0, 1}, OrderCase{"One", 1, 5}, OrderCase{"TwoTied", 2, 1},
                      OrderCase{"OneRun", 32, 8}, OrderCase{"OneRunAndOne", 33, 8}, OrderCase{"SixtyFour", 64, 16},
                      OrderCase{"SixtyFive", 65, 16}, OrderCase{"TwoHundredManyTies", 200, 4},
                      OrderCase{"TwoHundredFewTies", 200, 100000}, OrderCase{"OddLength", 1001, 37},
                      OrderCase{"PowerOfTwo", 4096, 512}, OrderCase{"AllTied", 500, 1}),
    [](const ::testing::TestParamInfo<OrderCase>& info) { return info.param.name; });

TEST(NoteOrderShapes, SortedAndReversedLists) {
    for (const int count : {31, 64, 200, 777}) {
        SCOPED_TRACE(count);
        std::vector<tv3m_note_event> ascending, descending;
        for (int i = 0; i < count; ++i) {
            ascending.push_back({i / 3, 0, i, 0.5f});
            descending.push_back({count - i, 0, i, 0.5f});
        }
        std::vector<tv3m_note_event> scratch(static_cast<size_t>(count));
        const std::vector<tv3m_note_event> before = ascending;
        tv3m::sortNotesByOffset(ascending.data(), ascending.size(), scratch.data());
        tv3m::sortNotesByOffset(descending.data(), descending.size(), scratch.data());
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(ascending[i].pitch, before[i].pitch);
            EXPECT_EQ(descending[i].pitch, count - 1 - i);
        }
    }
}

} // namespace
