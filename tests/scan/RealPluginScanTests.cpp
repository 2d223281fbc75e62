// Scanning real plug-ins made by others: the zam-plugins bundles Debian
// installs in /usr/lib/vst3.
#include "ScanTestSupport.h"
#include "support/InstalledPlugins.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace {


PluginBridgeScanResult scanThroughHelper(const std::string& path) {
    const tv3test::ProcessResult r = scantest::runScan(path);
    EXPECT_TRUE(r.exited(0)) << "status " << r.exitStatus << " signal " << r.signal << "\n" << r.err;
    const auto split = scantest::splitReport(r.out);
    EXPECT_TRUE(split.wellFormed) << r.out;
    const auto result = PluginBridgeScanResult::fromJSON(split.json);
    EXPECT_TRUE(result) << split.json;
    return result.value_or(PluginBridgeScanResult{});
}

bool isClassId(const std::string& cid) {
    return cid.size() == 32 &&
           std::all_of(cid.begin(), cid.end(), [](char c) { return std::isdigit(c) || (c >= 'A' && c <= 'F'); });
}

class RealPluginScan : public testing::TestWithParam<const char*> {};

TEST_P(RealPluginScan, ReportsVendorAndEffectClasses) {
    const std::string path = tv3test::installedBundlePath(GetParam());
    ASSERT_TRUE(std::filesystem::exists(path)) << path << " is missing: install zam-plugins";
    const PluginBridgeScanResult r = scanThroughHelper(path);
    EXPECT_EQ(r.error, std::nullopt);
    EXPECT_EQ(r.path, path);
    EXPECT_EQ(r.vendor, "Damien Zammit");
    ASSERT_FALSE(r.classes.empty());
    for (const auto& c : r.classes) {
        EXPECT_EQ(c.category, "Audio Module Class");
        EXPECT_TRUE(isClassId(c.cid)) << c.cid;
        EXPECT_FALSE(c.name.empty());
        EXPECT_FALSE(c.vendor.empty());
    }
    ASSERT_TRUE(r.instrumentClasses);
    EXPECT_TRUE(r.instrumentClasses->empty());
}

INSTANTIATE_TEST_SUITE_P(Zam, RealPluginScan, testing::Values("ZamComp", "ZamDelay", "ZamEQ2"),
                         [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

class InstalledPluginScan : public testing::TestWithParam<std::string> {};

TEST_P(InstalledPluginScan, ScansWithoutError) {
    const std::string path = tv3test::installedBundlePath(GetParam());
    const PluginBridgeScanResult r = scanThroughHelper(path);
    EXPECT_EQ(r.error, std::nullopt);
    EXPECT_FALSE(r.vendor.empty());
    ASSERT_TRUE(r.instrumentClasses);
    EXPECT_GT(r.classes.size() + r.instrumentClasses->size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(UsrLibVst3, InstalledPluginScan, testing::ValuesIn(tv3test::installedBundleNames()),
                         [](const testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param;
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             }
                             return name;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(InstalledPluginScan);

} // namespace
