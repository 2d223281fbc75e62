// The in-memory stream that carries plug-in state: read, write, seek and tell
// as sequences of steps, each checked for its result, what it reports, and
// the position and size after it.
#include "tv3/MemoryStream.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

using namespace Steinberg;

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int64 kUntouched = -77;
constexpr int32 kIBSeekSet = IBStream::kIBSeekSet;
constexpr int32 kIBSeekCur = IBStream::kIBSeekCur;
constexpr int32 kIBSeekEnd = IBStream::kIBSeekEnd;

struct Step {
    enum Kind { read, write, seek, tell } kind;
    int64 arg = 0; // count for read and write, offset for seek
    int32 mode = kIBSeekSet;
    bool nullBuffer = false;
    bool nullOut = false;
    tresult result = kResultOk;
    int64 out = 0; // bytes read or written, the new position, or the position told
    int64 position = 0;
    int64 size = 0;
    Bytes bytesRead; // for reads
};

// Writes put down the bytes A0, A1, ... in every step; the stream's first
// content is 1, 2, 3, ...
Step readOf(int64 count, int64 got, int64 position, int64 size, Bytes bytes = {}) {
    return {Step::read, count, 0, false, false, kResultOk, got, position, size, std::move(bytes)};
}
Step writeOf(int64 count, int64 position, int64 size) {
    return {Step::write, count, 0, false, false, kResultOk, count, position, size, {}};
}
Step seekTo(int64 offset, int32 mode, int64 position, int64 size) {
    return {Step::seek, offset, mode, false, false, kResultOk, position, position, size, {}};
}
Step tellIs(int64 position, int64 size) { return {Step::tell, 0, 0, false, false, kResultOk, position, position, size, {}}; }
Step refused(Step::Kind kind, int64 count, int64 position, int64 size) {
    return {kind, count, 0, false, false, kInvalidArgument, kUntouched, position, size, {}};
}
Step withNullBuffer(Step step) {
    step.nullBuffer = true;
    return step;
}
Step withNullOut(Step step) {
    step.nullOut = true;
    return step;
}

struct StreamCase {
    const char* name;
    int initialSize;
    std::vector<Step> steps;
    Bytes finalContent; // checked when not empty
};

Bytes counting(int from, int to) {
    Bytes bytes;
    for (int b = from; b <= to; ++b) bytes.push_back(static_cast<std::uint8_t>(b));
    return bytes;
}
Bytes joined(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void PrintTo(const StreamCase& c, std::ostream* out) { *out << c.name; }

class MemoryStreamSteps : public ::testing::TestWithParam<StreamCase> {};

TEST_P(MemoryStreamSteps, EachStepAnswersAndMovesAsExpected) {
    const StreamCase& c = GetParam();
    const Bytes initial = counting(1, c.initialSize);
    auto* stream = new tv3::MemoryStream(initial.data(), initial.size());
    for (std::size_t s = 0; s < c.steps.size(); ++s) {
        const Step& step = c.steps[s];
        SCOPED_TRACE("step " + std::to_string(s));
        tresult result = kInternalError;
        int64 out = kUntouched;
        Bytes buffer;
        switch (step.kind) {
        case Step::read: {
            buffer.assign(step.arg > 0 && step.arg < 4096 ? static_cast<std::size_t>(step.arg) : 4096, 0xEE);
            int32 got = static_cast<int32>(kUntouched);
            result = stream->read(step.nullBuffer ? nullptr : buffer.data(), static_cast<int32>(step.arg),
                                  step.nullOut ? nullptr : &got);
            out = got;
            break;
        }
        case Step::write: {
            for (int64 k = 0; k < step.arg; ++k) buffer.push_back(static_cast<std::uint8_t>(0xA0 + k));
            int32 wrote = static_cast<int32>(kUntouched);
            result = stream->write(step.nullBuffer ? nullptr : buffer.data(), static_cast<int32>(step.arg),
                                   step.nullOut ? nullptr : &wrote);
            out = wrote;
            break;
        }
        case Step::seek:
            result = stream->seek(step.arg, step.mode, step.nullOut ? nullptr : &out);
            break;
        case Step::tell:
            result = stream->tell(step.nullOut ? nullptr : &out);
            break;
        }
        EXPECT_EQ(result, step.result);
        EXPECT_EQ(out, step.nullOut ? kUntouched : step.out);
        int64 position = kUntouched;
        EXPECT_EQ(stream->tell(&position), kResultOk);
        EXPECT_EQ(position, step.position);
        EXPECT_EQ(stream->position(), step.position);
        EXPECT_EQ(stream->size(), step.size);
        if (step.kind == Step::read && step.result == kResultOk && !step.nullBuffer) {
            const std::size_t got = static_cast<std::size_t>(step.out);
            EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got)), step.bytesRead);
            for (std::size_t i = got; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xEE) << "read past its count";
        }
    }
    if (!c.finalContent.empty()) {
        ASSERT_EQ(stream->size(), static_cast<int64>(c.finalContent.size()));
        EXPECT_EQ(Bytes(stream->data(), stream->data() + stream->size()), c.finalContent);
    }
    EXPECT_EQ(stream->release(), 0u);
}

const StreamCase kStreamCases[] = {
    {"ReadSeekFromEndReadPastTheEnd",
     10,
     {readOf(4, 4, 4, 10, {1, 2, 3, 4}), seekTo(-3, kIBSeekEnd, 7, 10), readOf(10, 3, 10, 10, {8, 9, 10}),
      readOf(10, 0, 10, 10), seekTo(100, kIBSeekSet, 10, 10), seekTo(-1, kIBSeekSet, 0, 10), tellIs(0, 10)},
     {}},
    {"WriteAtEightOfTenGrowsToThirteen",
     10,
     {seekTo(8, kIBSeekSet, 8, 10), writeOf(5, 13, 13), tellIs(13, 13), readOf(1, 0, 13, 13)},
     joined(counting(1, 8), counting(0xA0, 0xA4))},
    {"WriteInsideOverwritesAndKeepsTheSize",
     10,
     {seekTo(2, kIBSeekSet, 2, 10), writeOf(3, 5, 10), readOf(2, 2, 7, 10, {6, 7})},
     {1, 2, 0xA0, 0xA1, 0xA2, 6, 7, 8, 9, 10}},
    {"WriteAcrossTheEndOverwritesThenGrows",
     10,
     {seekTo(-2, kIBSeekEnd, 8, 10), writeOf(4, 12, 12)},
     joined(counting(1, 8), counting(0xA0, 0xA3))},
    {"NegativeCountsAreRefusedAndChangeNothing",
     10,
     {seekTo(5, kIBSeekSet, 5, 10), refused(Step::read, -1, 5, 10), refused(Step::write, -1, 5, 10),
      refused(Step::read, INT32_MIN, 5, 10), refused(Step::write, INT32_MIN, 5, 10)},
     counting(1, 10)},
    {"SeekFromTheCurrentPosition",
     10,
     {seekTo(4, kIBSeekSet, 4, 10), seekTo(3, kIBSeekCur, 7, 10), seekTo(-10, kIBSeekCur, 0, 10),
      seekTo(100, kIBSeekCur, 10, 10), seekTo(-4, kIBSeekCur, 6, 10), seekTo(0, kIBSeekCur, 6, 10)},
     {}},
    {"UnknownModeSeeksFromTheStart",
     10,
     {seekTo(3, kIBSeekCur, 3, 10), seekTo(5, 7, 5, 10), seekTo(2, -1, 2, 10), seekTo(-5, 99, 0, 10),
      seekTo(50, 3, 10, 10)},
     {}},
    {"SeekingNeverExtends",
     10,
     {seekTo(5, kIBSeekEnd, 10, 10), seekTo(0, kIBSeekEnd, 10, 10), seekTo(11, kIBSeekSet, 10, 10),
      readOf(1, 0, 10, 10)},
     counting(1, 10)},
    {"ExtremeOffsetsClampWithoutOverflow",
     10,
     {seekTo(5, kIBSeekSet, 5, 10), seekTo(INT64_MAX, kIBSeekCur, 10, 10), seekTo(INT64_MIN, kIBSeekEnd, 0, 10),
      seekTo(INT64_MAX, kIBSeekEnd, 10, 10), seekTo(INT64_MIN, kIBSeekCur, 0, 10),
      seekTo(INT64_MIN, kIBSeekSet, 0, 10), seekTo(INT64_MAX, kIBSeekSet, 10, 10)},
     {}},
    {"EmptyStream",
     0,
     {readOf(4, 0, 0, 0), seekTo(5, kIBSeekSet, 0, 0), seekTo(-1, kIBSeekEnd, 0, 0), writeOf(3, 3, 3),
      seekTo(0, kIBSeekSet, 0, 3), readOf(3, 3, 3, 3, {0xA0, 0xA1, 0xA2})},
     {0xA0, 0xA1, 0xA2}},
    {"ZeroCountsDoNothing",
     10,
     {seekTo(4, kIBSeekSet, 4, 10), readOf(0, 0, 4, 10), writeOf(0, 4, 10), seekTo(0, kIBSeekEnd, 10, 10),
      writeOf(0, 10, 10)},
     counting(1, 10)},
    {"HugeReadGivesWhatIsLeft", 10, {seekTo(6, kIBSeekSet, 6, 10), readOf(INT32_MAX, 4, 10, 10, {7, 8, 9, 10})}, {}},
    {"AppendAtTheEndThenReadItBack",
     10,
     {seekTo(0, kIBSeekEnd, 10, 10), writeOf(2, 12, 12), seekTo(-2, kIBSeekEnd, 10, 12),
      readOf(5, 2, 12, 12, {0xA0, 0xA1})},
     joined(counting(1, 10), {0xA0, 0xA1})},
    {"NullOutputPointersAreAllowed",
     10,
     {withNullOut(readOf(3, 3, 3, 10, {1, 2, 3})), withNullOut(writeOf(2, 5, 10)),
      withNullOut(seekTo(-1, kIBSeekEnd, 9, 10)), withNullOut(refused(Step::tell, 0, 9, 10))},
     {1, 2, 3, 0xA0, 0xA1, 6, 7, 8, 9, 10}},
    {"NullBufferWithACountIsRefused",
     10,
     {seekTo(2, kIBSeekSet, 2, 10), withNullBuffer(refused(Step::read, 4, 2, 10)),
      withNullBuffer(refused(Step::write, 4, 2, 10)), withNullBuffer(readOf(0, 0, 2, 10)),
      withNullBuffer(writeOf(0, 2, 10))},
     counting(1, 10)},
};

INSTANTIATE_TEST_SUITE_P(Sequences, MemoryStreamSteps, ::testing::ValuesIn(kStreamCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MemoryStream, StartsAtZeroHoldingACopyOfTheGivenBytes) {
    Bytes given = {9, 8, 7};
    auto* stream = new tv3::MemoryStream(given.data(), given.size());
    given[0] = 0;
    EXPECT_EQ(stream->size(), 3);
    EXPECT_EQ(stream->position(), 0);
    EXPECT_NE(stream->data(), given.data());
    EXPECT_EQ(Bytes(stream->data(), stream->data() + 3), Bytes({9, 8, 7}));
    stream->release();

    auto* empty = new tv3::MemoryStream();
    EXPECT_EQ(empty->size(), 0);
    EXPECT_EQ(empty->position(), 0);
    empty->release();

    auto* fromNull = new tv3::MemoryStream(nullptr, 16);
    EXPECT_EQ(fromNull->size(), 0) << "no bytes to copy";
    fromNull->release();
}

TEST(MemoryStream, OwnerPositionIsClampedLikeSeek) {
    const Bytes given = counting(1, 10);
    auto* stream = new tv3::MemoryStream(given.data(), given.size());
    const std::pair<std::int64_t, std::int64_t> cases[] = {{3, 3}, {-5, 0}, {100, 10}, {10, 10}, {0, 0}};
    for (const auto& [asked, expected] : cases) {
        SCOPED_TRACE(asked);
        stream->setPosition(asked);
        EXPECT_EQ(stream->position(), expected);
    }
    stream->release();
}

// A plug-in writing its state in many small pieces, then a second reader
// reading it back from the start, as a state transfer does.
TEST(MemoryStream, ManySmallWritesReadBackWhole) {
    auto* stream = new tv3::MemoryStream();
    constexpr int kPieces = 5000;
    for (int i = 0; i < kPieces; ++i) {
        std::uint8_t piece[3] = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8), 0x5A};
        int32 wrote = 0;
        ASSERT_EQ(stream->write(piece, 3, &wrote), kResultOk);
        ASSERT_EQ(wrote, 3);
    }
    EXPECT_EQ(stream->size(), 3 * kPieces);
    stream->setPosition(0);
    for (int i = 0; i < kPieces; ++i) {
        std::uint8_t piece[3] = {};
        int32 got = 0;
        ASSERT_EQ(stream->read(piece, 3, &got), kResultOk);
        ASSERT_EQ(got, 3);
        ASSERT_EQ(piece[0], static_cast<std::uint8_t>(i));
        ASSERT_EQ(piece[1], static_cast<std::uint8_t>(i >> 8));
        ASSERT_EQ(piece[2], 0x5A);
    }
    stream->release();
}

} // namespace
