// The frame through which an editor view asks to be resized: requests are
// recorded, the latest wins, and the owner takes them.
#include "tv3/PlugFrame.h"

#include <gtest/gtest.h>

#include <climits>
#include <ostream>

using namespace Steinberg;

namespace {

class PlugFrameTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(frame->release(), 0u); }
    tv3::PlugFrame* frame = new tv3::PlugFrame();
};

TEST_F(PlugFrameTest, NothingIsPendingAtFirst) {
    int32 width = -7;
    int32 height = -7;
    EXPECT_FALSE(frame->pending());
    EXPECT_FALSE(frame->takeResizeRequest(width, height));
    EXPECT_EQ(width, -7);
    EXPECT_EQ(height, -7);
}

TEST_F(PlugFrameTest, LatestRequestWinsAndIsTakenOnce) {
    ViewRect first(0, 0, 300, 200);
    ViewRect second(10, 20, 510, 420);
    EXPECT_EQ(frame->resizeView(nullptr, &first), kResultOk);
    EXPECT_EQ(frame->resizeView(nullptr, &second), kResultOk);
    EXPECT_TRUE(frame->pending());
    int32 width = 0;
    int32 height = 0;
    ASSERT_TRUE(frame->takeResizeRequest(width, height));
    EXPECT_EQ(width, 500);
    EXPECT_EQ(height, 400);
    EXPECT_FALSE(frame->pending());
    EXPECT_FALSE(frame->takeResizeRequest(width, height));
}

TEST_F(PlugFrameTest, NullRectangleIsRefusedAndRecordsNothing) {
    EXPECT_EQ(frame->resizeView(nullptr, nullptr), kInvalidArgument);
    EXPECT_FALSE(frame->pending());
    // Nor does it disturb a request already recorded.
    ViewRect rect(0, 0, 640, 480);
    frame->resizeView(nullptr, &rect);
    EXPECT_EQ(frame->resizeView(nullptr, nullptr), kInvalidArgument);
    int32 width = 0;
    int32 height = 0;
    ASSERT_TRUE(frame->takeResizeRequest(width, height));
    EXPECT_EQ(width, 640);
    EXPECT_EQ(height, 480);
}

TEST_F(PlugFrameTest, ClearingDropsAnUntakenRequest) {
    ViewRect rect(0, 0, 100, 100);
    frame->resizeView(nullptr, &rect);
    frame->clearPending();
    int32 width = 0;
    int32 height = 0;
    EXPECT_FALSE(frame->takeResizeRequest(width, height));
}

struct RectCase {
    const char* name;
    ViewRect rect;
    int32 width;
    int32 height;
};

void PrintTo(const RectCase& c, std::ostream* out) { *out << c.name; }

class PlugFrameRect : public ::testing::TestWithParam<RectCase> {};

// Whatever rectangle a plug-in sends is recorded as given, without overflow.
TEST_P(PlugFrameRect, RecordsRightMinusLeftAndBottomMinusTop) {
    const RectCase& c = GetParam();
    auto* frame = new tv3::PlugFrame();
    ViewRect rect = c.rect;
    // The view is not looked at: any pointer will do.
    auto* view = reinterpret_cast<IPlugView*>(uintptr_t{0x10});
    EXPECT_EQ(frame->resizeView(view, &rect), kResultOk);
    int32 width = 0;
    int32 height = 0;
    ASSERT_TRUE(frame->takeResizeRequest(width, height));
    EXPECT_EQ(width, c.width);
    EXPECT_EQ(height, c.height);
    frame->release();
}

const RectCase kRectCases[] = {
    {"Offset", ViewRect(100, 50, 400, 250), 300, 200},
    {"Empty", ViewRect(5, 5, 5, 5), 0, 0},
    {"Inverted", ViewRect(10, 20, 5, 0), -5, -20},
    {"WidestPossible", ViewRect(INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX), INT32_MAX, INT32_MAX},
    {"MostNegative", ViewRect(INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN), INT32_MIN, INT32_MIN},
};

INSTANTIATE_TEST_SUITE_P(Rectangles, PlugFrameRect, ::testing::ValuesIn(kRectCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
