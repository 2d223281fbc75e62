// Bytes from fixed-size plug-in records turned into UTF-8 text: every
// ill-formed sequence becomes U+FFFD, one per maximal ill-formed subpart.
#include "TarvelPluginBridge/PluginBridgeText.h"

#include <gtest/gtest.h>

namespace {

#define FFFD "\xEF\xBF\xBD"

struct TextCase {
    const char* label;
    std::string bytes;
    std::string text;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.label; }

class TextDecoding : public testing::TestWithParam<TextCase> {};

TEST_P(TextDecoding, ReplacesIllFormedSequences) {
    const auto& p = GetParam();
    EXPECT_EQ(replacingInvalidUTF8(p.bytes), p.text);
    EXPECT_EQ(isValidUTF8(p.bytes), p.bytes == p.text);
    EXPECT_TRUE(isValidUTF8(replacingInvalidUTF8(p.bytes)));
}

INSTANTIATE_TEST_SUITE_P(
    Table, TextDecoding,
    testing::Values(
        TextCase{"Empty", "", ""},
        TextCase{"Ascii", "Plain text|Fx", "Plain text|Fx"},
        TextCase{"EmbeddedNul", std::string("a\0b", 3), std::string("a\0b", 3)},
        TextCase{"TwoThreeFourByteCharacters", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xB9", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xB9"},
        TextCase{"LargestCharacter", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
        TextCase{"TwoByteCutAtEnd", "abc\xC3", "abc" FFFD},
        TextCase{"ThreeByteCutAtEnd", "abc\xE2\x82", "abc" FFFD},
        TextCase{"FourByteCutAtEnd", "\xF0\x9F\x8E", FFFD},
        TextCase{"CutInTheMiddle", "\xE2\x82" "A", FFFD "A"},
        TextCase{"LoneContinuationBytes", "\x80\xBF", FFFD FFFD},
        TextCase{"OverlongTwoByte", "\xC0\xAF", FFFD FFFD},
        TextCase{"OverlongThreeByte", "\xE0\x80\xAF", FFFD FFFD FFFD},
        TextCase{"Surrogate", "\xED\xA0\x80", FFFD FFFD FFFD},
        TextCase{"AboveLargestCharacter", "\xF4\x90\x80\x80", FFFD FFFD FFFD FFFD},
        TextCase{"InvalidLeadBytes", "\xF5\xFF\xFE", FFFD FFFD FFFD},
        TextCase{"StartOfNextCharacterKept", "\xE2\xC3\xA9", FFFD "\xC3\xA9"}),
    [](const testing::TestParamInfo<TextCase>& info) { return std::string(info.param.label); });

} // namespace
