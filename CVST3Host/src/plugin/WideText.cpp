#include "plugin/WideText.h"

namespace tv3m {
namespace {

constexpr int kMaxUnits = 128;
// An unpaired surrogate is no character; UTF-8 cannot carry it, so it
// becomes the replacement character and the text stays valid UTF-8.
constexpr char32_t kReplacement = 0xFFFD;

bool isHigh(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLow(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

int encode(char32_t cp, char out[4]) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

} // namespace

void copyWide(char* destination, std::int32_t limit, const Steinberg::Vst::TChar* source) {
    if (!destination || limit < 1) return;
    destination[0] = '\0';
    if (!source) return;
    std::int32_t written = 0;
    for (int i = 0; i < kMaxUnits && source[i] != 0; ++i) {
        const auto unit = static_cast<char16_t>(source[i]);
        char32_t cp = unit;
        if (isHigh(unit)) {
            // A high surrogate in the last unit has no partner inside the string.
            if (i + 1 < kMaxUnits && isLow(static_cast<char16_t>(source[i + 1]))) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<char16_t>(source[i + 1]) - 0xDC00);
                ++i;
            } else {
                cp = kReplacement;
            }
        } else if (isLow(unit)) {
            cp = kReplacement;
        }
        // Whole characters only: a pair is combined before this test, so a
        // character that does not fit is left out entirely, never half of it.
        char bytes[4];
        const int n = encode(cp, bytes);
        if (written + n + 1 > limit) break;
        for (int k = 0; k < n; ++k) destination[written++] = bytes[k];
    }
    destination[written] = '\0';
}

} // namespace tv3m
