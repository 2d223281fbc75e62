// UTF-16 to UTF-8 into a byte-limited buffer on its own: unpaired
// surrogates, characters at the limit, and valid UTF-8 whatever the input.
#include "instance/Utf8Check.h"
#include "plugin/WideText.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace probetest {
namespace {

using Units = std::vector<char16_t>;

constexpr char16_t kHigh = 0xD83D; // with kLow: U+1F600
constexpr char16_t kLow = 0xDE00;
const std::string kR = "\xEF\xBF\xBD";        // U+FFFD
const std::string kGrin = "\xF0\x9F\x98\x80";  // U+1F600

struct WideCase {
    const char* name;
    Units units; // copied into a String128; a shorter list ends with a zero unit
    std::int32_t limit;
    std::string expected;
};

Units repeated(char16_t unit, int count, Units tail = {}) {
    Units units(static_cast<std::size_t>(count), unit);
    units.insert(units.end(), tail.begin(), tail.end());
    return units;
}

const WideCase kCases[] = {
    {"Ascii", {u'a', u'b', u'c'}, 16, "abc"},
    {"LoneHighInTheMiddle", {u'a', kHigh, u'b'}, 16, "a" + kR + "b"},
    {"LoneLowInTheMiddle", {u'a', kLow, u'b'}, 16, "a" + kR + "b"},
    {"LowBeforeHigh", {kLow, kHigh}, 16, kR + kR},
    {"TwoHighsThenLow", {kHigh, kHigh, kLow}, 16, kR + kGrin},
    {"HighAtTheLastUnitBeforeTheZero", {u'a', u'b', kHigh}, 16, "ab" + kR},
    // Unit 127 is the last a String128 holds: a low surrogate after it is
    // not part of the text.
    {"HighAtUnit127", repeated(u'x', 127, {kHigh, kLow}), 400, std::string(127, 'x') + kR},
    {"LowAtUnit127", repeated(u'x', 127, {kLow}), 400, std::string(127, 'x') + kR},
    {"PairEndingAtUnit127", repeated(u'x', 126, {kHigh, kLow}), 400, std::string(126, 'x') + kGrin},
    {"PairSplitByTheLimit", {u'a', kHigh, kLow, u'b'}, 5, "a"},
    {"PairJustFits", {u'a', kHigh, kLow, u'b'}, 6, "a" + kGrin},
    {"FourByteCharacterAtTheLimit", {kHigh, kLow}, 5, kGrin},
    {"FourByteCharacterOneByteShort", {kHigh, kLow}, 4, ""},
    {"ReplacementAtTheLimit", {u'a', kLow}, 5, "a" + kR},
    {"ReplacementOneByteShort", {u'a', kLow}, 4, "a"},
    {"TwoByteCharacterNotSplit", {u'a', u'\u00E9'}, 3, "a"},
    {"ThreeByteCharacterNotSplit", {u'a', u'\u20AC'}, 4, "a"},
    {"OnlyTheNul", {u'a'}, 1, ""},
};

class CopyWide : public ::testing::TestWithParam<WideCase> {};

TEST_P(CopyWide, WritesWholeValidCharactersAndTheNul) {
    const WideCase& c = GetParam();
    ASSERT_LE(c.units.size(), 129u);
    // One unit more than a String128, so that a unit after index 127 is there
    // to be (wrongly) read.
    std::vector<Steinberg::Vst::TChar> units(129, 0);
    for (std::size_t i = 0; i < c.units.size(); ++i) units[i] = static_cast<Steinberg::Vst::TChar>(c.units[i]);
    std::vector<char> buffer(512, '#');
    tv3m::copyWide(buffer.data(), c.limit, units.data());
    const std::string out(buffer.data());
    EXPECT_EQ(out, c.expected);
    EXPECT_TRUE(validUtf8(out));
    EXPECT_EQ(buffer[out.size() + 1], '#') << "nothing is written after the NUL";
}

INSTANTIATE_TEST_SUITE_P(Cases, CopyWide, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<WideCase>& info) { return info.param.name; });

TEST(CopyWideAnyInput, AlwaysValidUtf8WithinTheLimit) {
    std::mt19937 random(20261210);
    // Mostly surrogates and multi-byte characters, with some ASCII and zeros.
    const char16_t pool[] = {u'a', u'\u00E9', u'\u20AC', kHigh, kLow, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xFFFF, 0};
    std::uniform_int_distribution<std::size_t> pick(0, sizeof pool / sizeof pool[0] - 1);
    std::uniform_int_distribution<std::int32_t> limit(1, 520);
    for (int round = 0; round < 5000; ++round) {
        Steinberg::Vst::String128 source;
        for (auto& unit : source) {
            unit = static_cast<Steinberg::Vst::TChar>(pool[pick(random)]);
            if (unit == 0 && random() % 4 != 0) unit = u'b'; // long texts more often than not
        }
        const std::int32_t size = limit(random);
        std::vector<char> buffer(static_cast<std::size_t>(size) + 8, '#');
        tv3m::copyWide(buffer.data(), size, source);
        const std::string out(buffer.data());
        ASSERT_LT(out.size(), static_cast<std::size_t>(size)) << "round " << round;
        ASSERT_TRUE(validUtf8(out)) << "round " << round;
        ASSERT_EQ(buffer[static_cast<std::size_t>(size)], '#') << "wrote past the limit, round " << round;
    }
}

TEST(CopyWideAnyInput, NullSourceGivesAnEmptyTextAndAZeroLimitNothing) {
    char buffer[4] = {'#', '#', '#', '#'};
    tv3m::copyWide(buffer, 4, nullptr);
    EXPECT_EQ(buffer[0], '\0');
    buffer[0] = '#';
    const Steinberg::Vst::TChar text[] = {u'a', 0};
    tv3m::copyWide(buffer, 0, text);
    EXPECT_EQ(buffer[0], '#');
    tv3m::copyWide(nullptr, 4, text); // nothing to write into, nothing happens
}

} // namespace
} // namespace probetest
