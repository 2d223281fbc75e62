// The real plug-ins Debian installs in /usr/lib/vst3 (package zam-plugins),
// which the suites run against beside their own fixtures.
#pragma once

#include <string>
#include <vector>

namespace tv3test {

inline const std::string kInstalledPluginDir = "/usr/lib/vst3";

// The names of the bundles there, without ".vst3", sorted.
std::vector<std::string> installedBundleNames();
// The path of the installed bundle of that name.
std::string installedBundlePath(const std::string& name);
// The bundle's first audio effect class ("Audio Module Class"), or "" when
// it has none or cannot be opened.
std::string firstAudioClass(const std::string& bundlePath);

} // namespace tv3test
