// The command line: which argument lists scan, and which end in the usage text.
#include "CommandLine.h"
#include "ScanTestSupport.h"

#include <gtest/gtest.h>

namespace {

using scantest::fixture;
using scantest::helperPath;

const std::string kUsage = "usage: TarvelVST3Host --scan-one <path> | --session\n";

struct UsageCase {
    const char* label;
    std::vector<std::string> arguments; // after argument 0
};

void PrintTo(const UsageCase& c, std::ostream* os) { *os << c.label; }

class CommandLineUsage : public testing::TestWithParam<UsageCase> {};

TEST_P(CommandLineUsage, PrintsUsageOnStandardErrorAndExits64) {
    std::vector<std::string> arguments{helperPath()};
    for (const std::string& a : GetParam().arguments) arguments.push_back(a);
    const tv3test::ProcessResult r = tv3test::runProcess(arguments);
    EXPECT_TRUE(r.exited(64)) << "status " << r.exitStatus << " signal " << r.signal;
    EXPECT_EQ(r.err, kUsage);
    EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Table, CommandLineUsage,
    testing::Values(
        UsageCase{"NoArguments", {}},
        UsageCase{"ScanOneWithoutPath", {"--scan-one"}},
        UsageCase{"ModeWordInArgumentTwo", {"--verbose", "--scan-one", "/usr/lib/vst3/ZamComp.vst3"}},
        UsageCase{"SessionWordInArgumentTwo", {"--verbose", "--session"}},
        UsageCase{"PathBeforeModeWord", {"/usr/lib/vst3/ZamComp.vst3", "--scan-one"}},
        UsageCase{"UpperCaseModeWord", {"--SCAN-ONE", "/usr/lib/vst3/ZamComp.vst3"}},
        UsageCase{"MixedCaseModeWord", {"--Scan-One", "/usr/lib/vst3/ZamComp.vst3"}},
        UsageCase{"SingleDash", {"-scan-one", "/usr/lib/vst3/ZamComp.vst3"}},
        UsageCase{"PathJoinedWithEquals", {"--scan-one=/usr/lib/vst3/ZamComp.vst3"}},
        UsageCase{"ModeWordWithSpace", {"--scan-one ", "/usr/lib/vst3/ZamComp.vst3"}},
        UsageCase{"EmptyArgument", {""}}),
    [](const testing::TestParamInfo<UsageCase>& info) { return std::string(info.param.label); });

TEST(CommandLineScan, ArgumentsAfterThePathAreIgnored) {
    const std::string path = fixture("scan_effect");
    const tv3test::ProcessResult r = scantest::runScan(path, {"--session", "--scan-one", "/nowhere"});
    ASSERT_TRUE(r.exited(0)) << r.err;
    EXPECT_EQ(r.err, "");
    const auto split = scantest::splitReport(r.out);
    ASSERT_TRUE(split.wellFormed) << r.out;
    const auto result = PluginBridgeScanResult::fromJSON(split.json);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->path, path);
    EXPECT_FALSE(result->error);
    ASSERT_EQ(result->classes.size(), 1u);
    EXPECT_EQ(result->classes[0].name, "Fixture Delay");
}

// The same rules on the argument list itself, without a process.
struct ModeCase {
    std::vector<std::string> arguments; // argument 0 included
    Mode mode;
};

class CommandLineModeSelection : public testing::TestWithParam<ModeCase> {};

TEST_P(CommandLineModeSelection, PicksModeFromArgumentOne) {
    EXPECT_EQ(selectMode(GetParam().arguments), GetParam().mode);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CommandLineModeSelection,
    testing::Values(ModeCase{{}, Mode::usage},
                    ModeCase{{"helper"}, Mode::usage},
                    ModeCase{{"helper", "--scan-one"}, Mode::usage},
                    ModeCase{{"helper", "--scan-one", "p"}, Mode::scanOne},
                    ModeCase{{"helper", "--scan-one", "p", "q", "r"}, Mode::scanOne},
                    ModeCase{{"helper", "--scan-one", ""}, Mode::scanOne},
                    ModeCase{{"helper", "--session"}, Mode::session},
                    ModeCase{{"helper", "--session", "--parent-pid", "12"}, Mode::session},
                    ModeCase{{"helper", "--parent-pid", "12", "--session"}, Mode::usage},
                    ModeCase{{"helper", "--Session"}, Mode::usage},
                    ModeCase{{"helper", "p", "--scan-one"}, Mode::usage}));

} // namespace
