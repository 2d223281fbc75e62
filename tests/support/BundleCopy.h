// Fixture plug-in bundles and fresh copies of them.
#pragma once

#include <string>

namespace tv3test {

// <fixtureDir>/<name>.vst3.
std::string fixtureBundle(const std::string& fixtureDir, const std::string& name);
// The executable inside a bundle folder for `arch` ("x86_64-linux"): the .so
// named after the bundle, else the first .so in that folder.
std::string bundleExecutable(const std::string& bundle, const std::string& arch);

// Copies a whole bundle folder to `destination` (which must not exist yet) and
// returns `destination`. A copy gets its own path and its own file identity,
// so the dynamic loader treats it as a module of its own: a test that counts
// entry-point calls or deletes the bundle starts from a clean slate.
std::string copyBundle(const std::string& bundle, const std::string& destination);

} // namespace tv3test
