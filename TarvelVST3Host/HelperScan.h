#pragma once

#include "TarvelPluginBridge/PluginBridgeScanResult.h"

#include <string>

// Scan mode's work: open one bundle, read its vendor and classes, and sort the
// audio processor classes into effects and instruments. Every text of the
// result is valid UTF-8: what the plug-in or the path holds that is not
// becomes U+FFFD.
struct HelperScan {
    static PluginBridgeScanResult scan(const std::string& path);
};
