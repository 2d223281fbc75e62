#pragma once

#include <string>
#include <string_view>
#include <vector>

enum class Mode { scanOne, session, usage };

inline constexpr std::string_view kUsageText = "usage: TarvelVST3Host --scan-one <path> | --session\n";

// Argument 1 picks the mode, matched whole and case-sensitively:
// "--scan-one <path>" (later arguments ignored) or "--session" (later arguments
// left to the session). Anything else is a usage error.
Mode selectMode(const std::vector<std::string>& arguments);
