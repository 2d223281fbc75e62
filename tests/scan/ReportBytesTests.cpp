// The report as the parent reads it from standard output: a line feed, the
// marker, one line of JSON, a line feed, and nothing after.
#include "ScanTestSupport.h"
#include "TarvelPluginBridge/PluginBridgeText.h"
#include "support/BundleCopy.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using scantest::fixture;

TEST(ReportBytes, OneLineAfterALeadingLineFeed) {
    const std::string path = fixture("scan_effect");
    const tv3test::ProcessResult r = scantest::runScan(path);
    ASSERT_TRUE(r.exited(0)) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "\nTARVEL_VST3_SCAN {\"path\":\"" + scantest::escapedSlashes(path) +
                         "\",\"vendor\":\"Tarvel Fixtures\",\"classes\":[{\"cid\":\"0123456789ABCDEFFEDCBA9876543200\","
                         "\"name\":\"Fixture Delay\",\"vendor\":\"Tarvel Fixtures\",\"category\":\"Audio Module Class\","
                         "\"subCategories\":\"Fx|Delay\"}],\"instrumentClasses\":[]}\n");
}

TEST(ReportBytes, SlashesInThePathAreEscapedAndReadBackUnchanged) {
    tv3test::TempDir dir;
    const std::string path = dir / "a/b//c.vst3";
    std::filesystem::create_directories(dir / "a/b");
    std::filesystem::copy(fixture("scan_effect"), path, std::filesystem::copy_options::recursive);

    const tv3test::ProcessResult r = scantest::runScan(path);
    ASSERT_TRUE(r.exited(0)) << r.err;
    const auto split = scantest::splitReport(r.out);
    ASSERT_TRUE(split.wellFormed) << r.out;
    EXPECT_NE(split.json.find("{\"path\":\"" + scantest::escapedSlashes(path) + "\","), std::string::npos)
        << split.json;
    for (std::size_t at = split.json.find('/'); at != std::string::npos; at = split.json.find('/', at + 1)) {
        ASSERT_GT(at, 0u);
        EXPECT_EQ(split.json[at - 1], '\\') << "unescaped slash at " << at << " in " << split.json;
    }
    const auto result = PluginBridgeScanResult::fromJSON(split.json);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->path, path);
    EXPECT_EQ(result->error, std::nullopt);
}

// What a plug-in prints while it loads (unfinished lines, some still in the
// C library's buffer) comes first, and the marker still starts a line.
TEST(ReportBytes, PlugInOutputComesBeforeTheReport) {
    const tv3test::ProcessResult r = scantest::runScan(fixture("scan_print_on_load"));
    ASSERT_TRUE(r.exited(0)) << r.err;
    const auto split = scantest::splitReport(r.out);
    ASSERT_TRUE(split.wellFormed) << r.out;
    EXPECT_NE(split.before.find("fixture constructor says hello"), std::string::npos) << split.before;
    EXPECT_NE(split.before.find(" and ModuleEntry too"), std::string::npos) << split.before;
    EXPECT_EQ(split.before.size(),
              std::string("fixture constructor says hello").size() + std::string(" and ModuleEntry too").size());
    const auto result = PluginBridgeScanResult::fromJSON(split.json);
    ASSERT_TRUE(result) << split.json;
    EXPECT_EQ(result->vendor, "Tarvel Fixtures");
    EXPECT_EQ(result->error, std::nullopt);
}

// A path is bytes and need not be UTF-8, but the report must be: the bundle is
// scanned by its real path, and the report shows U+FFFD for each bad byte.
TEST(ReportBytes, PathThatIsNotUTF8IsScannedAndReportedWithReplacementCharacters) {
    tv3test::TempDir dir;
    std::filesystem::create_directories(dir / "F\xFFolder");
    const std::string path = tv3test::copyBundle(fixture("scan_effect"), dir / "F\xFFolder/Bad\xFE.vst3");

    const tv3test::ProcessResult r = scantest::runScan(path);
    ASSERT_TRUE(r.exited(0)) << r.err;
    const auto split = scantest::splitReport(r.out);
    ASSERT_TRUE(split.wellFormed) << r.out;
    EXPECT_TRUE(isValidUTF8(split.json)) << split.json;
    const auto result = PluginBridgeScanResult::fromJSON(split.json);
    ASSERT_TRUE(result) << split.json;
    EXPECT_EQ(result->path, dir / "F\xEF\xBF\xBDolder/Bad\xEF\xBF\xBD.vst3");
    EXPECT_EQ(result->error, std::nullopt);
    EXPECT_EQ(result->vendor, "Tarvel Fixtures");
    ASSERT_EQ(result->classes.size(), 1u);
    EXPECT_EQ(result->classes[0].name, "Fixture Delay");
    ASSERT_TRUE(result->instrumentClasses);
    EXPECT_TRUE(result->instrumentClasses->empty());
}

// A path that cannot be opened either still gets its own report, not the
// fallback object.
TEST(ReportBytes, MissingPathThatIsNotUTF8GivesItsOwnReport) {
    const tv3test::ProcessResult r = scantest::runScan("/nowhere/\xFF\xFE.vst3");
    ASSERT_TRUE(r.exited(0)) << r.err;
    EXPECT_EQ(r.out,
              "\nTARVEL_VST3_SCAN "
              R"({"path":"\/nowhere\/)" "\xEF\xBF\xBD\xEF\xBF\xBD" R"(.vst3","vendor":"","classes":[],"instrumentClasses":[],)"
              R"("error":"the plug-in is no longer installed at this location"})"
              "\n");
}

} // namespace
