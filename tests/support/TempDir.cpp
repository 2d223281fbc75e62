#include "support/TempDir.h"

#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace tv3test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tv3test.XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
    // Canonical, so that paths built from it compare equal to what realpath gives.
    path_ = std::filesystem::canonical(pattern);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

} // namespace tv3test
