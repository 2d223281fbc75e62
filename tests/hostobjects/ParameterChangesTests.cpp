// Parameter change lists and their point queues: one queue per parameter in a
// block, queues kept and reused across blocks, points in the order added.
#include "tv3/ParamValueQueue.h"
#include "tv3/ParameterChanges.h"

#include <gtest/gtest.h>

#include <climits>
#include <utility>
#include <vector>

using namespace Steinberg;

namespace {

std::vector<std::pair<int32, double>> pointsOf(Vst::IParamValueQueue* queue) {
    std::vector<std::pair<int32, double>> points;
    for (int32 i = 0; i < queue->getPointCount(); ++i) {
        int32 offset = 0;
        double value = 0;
        EXPECT_EQ(queue->getPoint(i, offset, value), kResultOk);
        points.emplace_back(offset, value);
    }
    return points;
}

class ParamValueQueueTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(queue->release(), 0u); }
    tv3::ParamValueQueue* queue = new tv3::ParamValueQueue(12);
};

TEST_F(ParamValueQueueTest, StartsEmptyWithItsId) {
    EXPECT_EQ(queue->getParameterId(), 12u);
    EXPECT_EQ(queue->getPointCount(), 0);
}

TEST_F(ParamValueQueueTest, PointsKeepTheOrderAddedWithoutSortingMergingOrClamping) {
    int32 index = -1;
    EXPECT_EQ(queue->addPoint(10, 0.5, index), kResultOk);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(queue->addPoint(0, 1.5, index), kResultOk);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(queue->addPoint(0, -0.25, index), kResultOk);
    EXPECT_EQ(index, 2);
    const std::vector<std::pair<int32, double>> expected = {{10, 0.5}, {0, 1.5}, {0, -0.25}};
    EXPECT_EQ(pointsOf(queue), expected);
}

TEST_F(ParamValueQueueTest, PointOutOfRangeIsInvalidAndLeavesTheOutputs) {
    int32 index = 0;
    queue->addPoint(10, 0.1, index);
    queue->addPoint(0, 0.2, index);
    for (int32 bad : {2, 3, -1, INT32_MIN, INT32_MAX}) {
        SCOPED_TRACE(bad);
        int32 offset = -99;
        double value = -99.0;
        EXPECT_EQ(queue->getPoint(bad, offset, value), kInvalidArgument);
        EXPECT_EQ(offset, -99);
        EXPECT_EQ(value, -99.0);
    }
}

TEST_F(ParamValueQueueTest, ManyPointsStayInOrder) {
    std::vector<std::pair<int32, double>> expected;
    for (int32 i = 0; i < 300; ++i) {
        int32 index = -1;
        queue->addPoint(300 - i, i / 300.0, index);
        ASSERT_EQ(index, i);
        expected.emplace_back(300 - i, i / 300.0);
    }
    EXPECT_EQ(pointsOf(queue), expected);
}

class ParameterChangesTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(changes->release(), 0u); }
    Vst::IParamValueQueue* add(Vst::ParamID id, int32 expectedIndex) {
        int32 index = -1;
        Vst::IParamValueQueue* queue = changes->addParameterData(id, index);
        EXPECT_NE(queue, nullptr);
        EXPECT_EQ(index, expectedIndex) << "id " << id;
        return queue;
    }
    tv3::ParameterChanges* changes = new tv3::ParameterChanges();
};

TEST_F(ParameterChangesTest, StartsEmpty) {
    EXPECT_EQ(changes->getParameterCount(), 0);
    EXPECT_EQ(changes->getParameterData(0), nullptr);
}

TEST_F(ParameterChangesTest, SameIdTwiceGivesTheSameQueue) {
    Vst::IParamValueQueue* first = add(4, 0);
    Vst::IParamValueQueue* again = add(4, 0);
    EXPECT_EQ(first, again);
    EXPECT_EQ(changes->getParameterCount(), 1);
    EXPECT_EQ(first->getParameterId(), 4u);
}

TEST_F(ParameterChangesTest, DistinctIdsGetQueuesInOrder) {
    Vst::IParamValueQueue* a = add(30, 0);
    Vst::IParamValueQueue* b = add(10, 1);
    Vst::IParamValueQueue* c = add(20, 2);
    EXPECT_EQ(add(10, 1), b);
    EXPECT_EQ(changes->getParameterCount(), 3);
    EXPECT_EQ(changes->getParameterData(0), a);
    EXPECT_EQ(changes->getParameterData(1), b);
    EXPECT_EQ(changes->getParameterData(2), c);
    EXPECT_EQ(c->getParameterId(), 20u);
}

TEST_F(ParameterChangesTest, IndexOutsideTheBlockGivesNull) {
    add(1, 0);
    add(2, 1);
    for (int32 bad : {-1, 2, 3, INT32_MIN, INT32_MAX}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(changes->getParameterData(bad), nullptr);
    }
}

TEST_F(ParameterChangesTest, QueuesAreReusedAfterClearWithNoPointsAndTheNewId) {
    Vst::IParamValueQueue* first = add(5, 0);
    Vst::IParamValueQueue* second = add(6, 1);
    int32 index = 0;
    first->addPoint(0, 0.5, index);
    second->addPoint(3, 0.25, index);
    second->addPoint(9, 0.75, index);

    changes->clear();
    EXPECT_EQ(changes->getParameterCount(), 0);
    EXPECT_EQ(changes->getParameterData(0), nullptr);
    EXPECT_EQ(first->getPointCount(), 0) << "clear empties every queue";
    EXPECT_EQ(second->getPointCount(), 0) << "clear empties queues beyond the first too";

    Vst::IParamValueQueue* reused = add(77, 0);
    EXPECT_EQ(reused, first);
    EXPECT_EQ(reused->getParameterId(), 77u);
    EXPECT_EQ(reused->getPointCount(), 0);
    EXPECT_EQ(changes->getParameterData(0), reused);
    EXPECT_EQ(changes->getParameterData(1), nullptr) << "the second queue is not in this block";
}

// A queue left from an earlier block is not in use: asking for its old id
// takes the next queue in line, not the stale one further back.
TEST_F(ParameterChangesTest, IdOfAStaleQueueIsNotFoundAfterClear) {
    Vst::IParamValueQueue* first = add(1, 0);
    Vst::IParamValueQueue* second = add(2, 1);
    changes->clear();
    EXPECT_EQ(add(2, 0), first);
    EXPECT_EQ(first->getParameterId(), 2u);
    EXPECT_EQ(add(1, 1), second);
    EXPECT_EQ(second->getParameterId(), 1u);
    EXPECT_EQ(changes->getParameterCount(), 2);
}

TEST_F(ParameterChangesTest, MoreParametersThanBeforeAddNewQueuesAfterTheReusedOnes) {
    std::vector<Vst::IParamValueQueue*> earlier;
    for (Vst::ParamID id = 0; id < 3; ++id) earlier.push_back(add(id, static_cast<int32>(id)));
    changes->clear();
    std::vector<Vst::IParamValueQueue*> now;
    for (Vst::ParamID id = 0; id < 40; ++id) now.push_back(add(100 + id, static_cast<int32>(id)));
    for (std::size_t i = 0; i < earlier.size(); ++i) EXPECT_EQ(now[i], earlier[i]);
    for (std::size_t i = 0; i < now.size(); ++i) {
        EXPECT_EQ(changes->getParameterData(static_cast<int32>(i)), now[i]);
        EXPECT_EQ(now[i]->getParameterId(), 100u + i);
        for (std::size_t j = 0; j < i; ++j) ASSERT_NE(now[i], now[j]);
    }
}

TEST_F(ParameterChangesTest, QueuesAreLentWithoutAReference) {
    Vst::IParamValueQueue* queue = add(3, 0);
    EXPECT_EQ(queue->addRef(), 2u) << "only the list holds it";
    EXPECT_EQ(queue->release(), 1u);
    Vst::IParamValueQueue* seen = changes->getParameterData(0);
    EXPECT_EQ(seen->addRef(), 2u);
    EXPECT_EQ(seen->release(), 1u);
}

TEST(ParameterChangesLifetime, QueueKeptByThePlugInOutlivesTheList) {
    auto* changes = new tv3::ParameterChanges();
    int32 index = 0;
    Vst::IParamValueQueue* queue = changes->addParameterData(8, index);
    queue->addRef();
    queue->addPoint(4, 0.4, index);
    EXPECT_EQ(changes->release(), 0u);
    EXPECT_EQ(queue->getParameterId(), 8u);
    EXPECT_EQ(queue->getPointCount(), 1);
    EXPECT_EQ(queue->release(), 0u);
}

} // namespace
