#pragma once

#include <string>
#include <string_view>

// The bytes as UTF-8 text: every ill-formed sequence (a character cut short by
// a fixed-size field, a stray byte) becomes U+FFFD, one per maximal ill-formed
// subpart, as the Unicode standard recommends.
std::string replacingInvalidUTF8(std::string_view bytes);

bool isValidUTF8(std::string_view bytes);
