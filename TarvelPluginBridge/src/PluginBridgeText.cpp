#include "TarvelPluginBridge/PluginBridgeText.h"

namespace {

// Length of the well-formed sequence at `at`, or the length of its maximal
// ill-formed subpart as a negative number (at least -1).
int sequenceAt(std::string_view s, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char b0 = byte(at);
    if (b0 < 0x80) return 1;
    int need;
    unsigned char lo = 0x80, hi = 0xBF; // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) need = 1;
    else if (b0 == 0xE0) { need = 2; lo = 0xA0; }
    else if (b0 >= 0xE1 && b0 <= 0xEC) need = 2;
    else if (b0 == 0xED) { need = 2; hi = 0x9F; }
    else if (b0 >= 0xEE && b0 <= 0xEF) need = 2;
    else if (b0 == 0xF0) { need = 3; lo = 0x90; }
    else if (b0 >= 0xF1 && b0 <= 0xF3) need = 3;
    else if (b0 == 0xF4) { need = 3; hi = 0x8F; }
    else return -1;
    for (int k = 1; k <= need; ++k) {
        if (at + k >= s.size()) return -k;
        const unsigned char b = byte(at + k);
        const unsigned char min = k == 1 ? lo : 0x80, max = k == 1 ? hi : 0xBF;
        if (b < min || b > max) return -k;
    }
    return need + 1;
}

} // namespace

std::string replacingInvalidUTF8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const int n = sequenceAt(bytes, i);
        if (n > 0) {
            out.append(bytes.substr(i, n));
            i += n;
        } else {
            out.append("\xEF\xBF\xBD");
            i += -n;
        }
    }
    return out;
}

bool isValidUTF8(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const int n = sequenceAt(bytes, i);
        if (n < 0) return false;
        i += n;
    }
    return true;
}
