#pragma once

#include "TarvelPluginBridge/PluginBridgeScanResult.h"

#include <string>

// Scan mode's work: open one bundle, read its vendor and classes, and sort the
// audio processor classes into effects and instruments.
struct HelperScan {
    static PluginBridgeScanResult scan(const std::string& path);
};
