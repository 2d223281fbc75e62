// The component handler: pending edits, one per parameter with its latest
// value, in the order each was first edited; and the owner draining them.
#include "tv3/ComponentHandler.h"

#include <gtest/gtest.h>

#include <pluginterfaces/vst/ivsteditcontroller.h>

#include <mutex>
#include <vector>

using namespace Steinberg;

namespace {

using Edit = tv3::ComponentHandler::Edit;

std::vector<Edit> drain(tv3::ComponentHandler& handler) {
    std::lock_guard<std::mutex> hold(handler.editLock());
    std::vector<Edit> taken = handler.pendingEditsLocked();
    handler.pendingEditsLocked().clear();
    return taken;
}

void expectEdits(const std::vector<Edit>& actual, const std::vector<Edit>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(actual[i].id, expected[i].id) << "edit " << i;
        EXPECT_EQ(actual[i].value, expected[i].value) << "edit " << i;
    }
}

class ComponentHandlerTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(handler->release(), 0u); }
    tv3::ComponentHandler* handler = new tv3::ComponentHandler();
};

TEST_F(ComponentHandlerTest, RepeatedIdKeepsItsPlaceAndTakesTheLatestValue) {
    EXPECT_EQ(handler->performEdit(5, 0.1), kResultOk);
    EXPECT_EQ(handler->performEdit(9, 0.2), kResultOk);
    EXPECT_EQ(handler->performEdit(5, 0.3), kResultOk);
    expectEdits(drain(*handler), {{5, 0.3}, {9, 0.2}});
}

TEST_F(ComponentHandlerTest, DrainingEmptiesTheListAndTheNextEditsStartAfresh) {
    handler->performEdit(1, 0.5);
    handler->performEdit(2, 0.5);
    expectEdits(drain(*handler), {{1, 0.5}, {2, 0.5}});
    expectEdits(drain(*handler), {});
    handler->performEdit(2, 0.75);
    handler->performEdit(1, 0.25);
    expectEdits(drain(*handler), {{2, 0.75}, {1, 0.25}});
}

TEST_F(ComponentHandlerTest, ValuesAreKeptAsGiven) {
    // No clamping: what the controller sends is what the processor receives.
    handler->performEdit(0, -0.5);
    handler->performEdit(0xFFFFFFFFu, 1.5);
    expectEdits(drain(*handler), {{0, -0.5}, {0xFFFFFFFFu, 1.5}});
}

TEST_F(ComponentHandlerTest, BeginEndAndRestartAnswerOkAndChangeNothing) {
    handler->performEdit(3, 0.3);
    EXPECT_EQ(handler->beginEdit(3), kResultOk);
    EXPECT_EQ(handler->beginEdit(4), kResultOk);
    EXPECT_EQ(handler->endEdit(3), kResultOk);
    EXPECT_EQ(handler->endEdit(77), kResultOk);
    const int32 allFlags[] = {0, 1, Vst::kReloadComponent, Vst::kLatencyChanged, Vst::kParamValuesChanged, -1};
    for (int32 flags : allFlags) {
        SCOPED_TRACE(flags);
        EXPECT_EQ(handler->restartComponent(flags), kResultOk);
    }
    expectEdits(drain(*handler), {{3, 0.3}});
}

// Only a change of latency is noted, once per announcement however many came
// before it was taken; other restart flags leave no note.
TEST_F(ComponentHandlerTest, ALatencyChangeIsNotedUntilTakenAndOtherFlagsAreNot) {
    struct Case {
        const char* name;
        std::vector<int32> flags;
        bool noted;
    };
    const Case cases[] = {
        {"none", {}, false},
        {"latency", {Vst::kLatencyChanged}, true},
        {"latency among others", {Vst::kParamValuesChanged | Vst::kLatencyChanged | Vst::kIoChanged}, true},
        {"twice", {Vst::kLatencyChanged, Vst::kLatencyChanged}, true},
        {"other flags", {Vst::kReloadComponent, Vst::kParamValuesChanged, Vst::kIoChanged, 0}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (int32 flags : c.flags) EXPECT_EQ(handler->restartComponent(flags), kResultOk);
        EXPECT_EQ(handler->takeLatencyChange(), c.noted);
        EXPECT_FALSE(handler->takeLatencyChange()) << "taken once";
    }
}

TEST_F(ComponentHandlerTest, ManyDistinctIdsKeepFirstEditOrder) {
    std::vector<Edit> expected;
    for (uint32 id = 0; id < 600; ++id) {
        const uint32 param = (id * 7919u) % 1000u;
        handler->performEdit(param, 0.0);
        expected.push_back({param, 1.0 - param / 1000.0});
    }
    for (const Edit& edit : expected) handler->performEdit(edit.id, edit.value);
    expectEdits(drain(*handler), expected);
}

} // namespace
