// Every way opening a bundle can fail, seen as the parent sees it: through the
// real executable, exit status 0 and a report that carries the reason.
#include "ScanTestSupport.h"
#include "TarvelPluginBridge/PluginBridgeText.h"
#include "support/BundleCopy.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>

namespace {

namespace fs = std::filesystem;
using scantest::fixture;

void writeFile(const std::string& path, const std::string& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

const std::string kGarbage(200, 'G');

struct FailureCase {
    const char* label;
    // Builds what to scan inside a fresh folder; sets the expected message.
    std::function<std::string(const tv3test::TempDir&, std::string& message)> prepare;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.label; }

class ModuleOpenFailure : public testing::TestWithParam<FailureCase> {};

// The report of a failed open: the path as given, no vendor, both class lists
// present and empty, the reason, in this key order. Bytes of the path that
// are not UTF-8 show as U+FFFD, in the path and in the reason alike.
TEST_P(ModuleOpenFailure, ReportCarriesTheReason) {
    tv3test::TempDir dir;
    std::string message;
    const std::string given = GetParam().prepare(dir, message);
    const std::string path = replacingInvalidUTF8(given);
    message = replacingInvalidUTF8(message);

    const tv3test::ProcessResult r = scantest::runScan(given);
    ASSERT_TRUE(r.exited(0)) << "status " << r.exitStatus << " signal " << r.signal << "\n" << r.err;
    const auto split = scantest::splitReport(r.out);
    ASSERT_TRUE(split.wellFormed) << r.out;
    EXPECT_EQ(split.before, "");
    EXPECT_EQ(split.json, "{\"path\":\"" + scantest::escapedSlashes(path) +
                              "\",\"vendor\":\"\",\"classes\":[],\"instrumentClasses\":[],\"error\":\"" +
                              scantest::escapedSlashes(message) + "\"}");
    const auto result = PluginBridgeScanResult::fromJSON(split.json);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->error, message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ModuleOpenFailure,
    testing::Values(
        FailureCase{"EmptyPath",
                    [](const tv3test::TempDir&, std::string& m) {
                        m = "no plug-in path";
                        return std::string();
                    }},
        FailureCase{"NothingAtThePath",
                    [](const tv3test::TempDir& dir, std::string& m) {
                        m = "the plug-in is no longer installed at this location";
                        return dir / "missing.vst3";
                    }},
        FailureCase{"NothingAtAPathThatIsNotUTF8",
                    [](const tv3test::TempDir& dir, std::string& m) {
                        m = "the plug-in is no longer installed at this location";
                        return dir / "missing\xFF\xC3.vst3";
                    }},
        // Too long for a file-system path: the existence test refuses it first,
        // so "the plug-in path is not valid" cannot be reached on Linux.
        FailureCase{"PathLongerThanTheSystemAllows",
                    [](const tv3test::TempDir& dir, std::string& m) {
                        m = "the plug-in is no longer installed at this location";
                        return dir / (std::string(5000, 'a') + ".vst3");
                    }},
        FailureCase{"NamedPipeIsNotABundle",
                    [](const tv3test::TempDir& dir, std::string& m) {
                        m = "the .vst3 is not a valid bundle";
                        const std::string path = dir / "x.vst3";
                        if (::mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
                        return path;
                    }},
        FailureCase{"OnlyAnotherArchitecture",
                    [](const tv3test::TempDir&, std::string& m) {
                        m = "the plug-in has no x86_64 build (aarch64 only), so Quor cannot load it";
                        return fixture("scan_aarch64_only");
                    }},
        FailureCase{"OtherArchitecturesAreListedSorted",
                    [](const tv3test::TempDir& dir, std::string& m) {
                        m = "the plug-in has no x86_64 build (aarch64, armv7l, riscv64 only), so Quor cannot load it";
                        const std::string path = dir / "multi.vst3";
                        for (const char* arch : {"riscv64-linux", "aarch64-linux", "armv7l-linux"}) {
                            writeFile(path + "/Contents/" + arch + "/multi.so", kGarbage);
                        }
                        // A folder without code does not count as a build.
                        fs::create_directories(path + "/Contents/ppc64le-linux");
                        return path;
                    }},
        FailureCase{"SingleFileForAnotherMachine",
                    [](const tv3test::TempDir& dir, std::string& m) {
                        m = "the plug-in has no x86_64 build (aarch64 only), so Quor cannot load it";
                        const std::string path = dir / "arm.vst3";
                        fs::copy_file(tv3test::bundleExecutable(fixture("scan_effect"), scantest::bundleArch()), path);
                        // e_machine, little-endian: EM_AARCH64.
                        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
                        f.seekp(18);
                        f.put(static_cast<char>(183)).put(0);
                        return path;
                    }},
        FailureCase{"ExecutableIsNotCode",
                    [](const tv3test::TempDir& dir, std::string& m) {
                        const std::string path = dir / "garbage.vst3";
                        const std::string so = path + "/Contents/" + scantest::bundleArch() + "/garbage.so";
                        writeFile(so, kGarbage);
                        m = "the plug-in's code could not be loaded (" + so + ": invalid ELF header)";
                        return path;
                    }},
        // The loader's description names the file by its bytes.
        FailureCase{"ExecutableIsNotCodeInAFolderThatIsNotUTF8",
                    [](const tv3test::TempDir& dir, std::string& m) {
                        const std::string path = dir / "F\xFFolder/garbage.vst3";
                        const std::string so = path + "/Contents/" + scantest::bundleArch() + "/garbage.so";
                        writeFile(so, kGarbage);
                        m = "the plug-in's code could not be loaded (" + so + ": invalid ELF header)";
                        return path;
                    }},
        // The loader's description is cut to 255 bytes.
        FailureCase{"LongLoaderMessageIsCut",
                    [](const tv3test::TempDir& dir, std::string& m) {
                        const std::string path = dir / (std::string(150, 'd') + "/" + std::string(150, 'e') + ".vst3");
                        const std::string so = path + "/Contents/" + scantest::bundleArch() + "/" +
                                               std::string(150, 'e') + ".so";
                        writeFile(so, kGarbage);
                        m = "the plug-in's code could not be loaded (" +
                            (so + ": invalid ELF header").substr(0, 255) + ")";
                        return path;
                    }},
        FailureCase{"SingleFileIsNotCode",
                    [](const tv3test::TempDir& dir, std::string& m) {
                        const std::string path = dir / "single.vst3";
                        writeFile(path, kGarbage);
                        m = "the plug-in's code could not be loaded (" + path + ": invalid ELF header)";
                        return path;
                    }},
        FailureCase{"BundleWithoutCode",
                    [](const tv3test::TempDir& dir, std::string& m) {
                        const std::string path = dir / "empty.vst3";
                        fs::create_directories(path + "/Contents");
                        m = "the plug-in's code could not be loaded (no executable at " + path + "/Contents/" +
                            scantest::bundleArch() + "/empty.so)";
                        return path;
                    }},
        FailureCase{"NoGetPluginFactory",
                    [](const tv3test::TempDir&, std::string& m) {
                        m = "not a VST3 module (no GetPluginFactory)";
                        return fixture("scan_no_get_factory");
                    }},
        FailureCase{"EntryPointRefuses",
                    [](const tv3test::TempDir&, std::string& m) {
                        m = "the plug-in's bundleEntry refused to start";
                        return fixture("scan_entry_refuses");
                    }},
        FailureCase{"NullFactory",
                    [](const tv3test::TempDir&, std::string& m) {
                        m = "the plug-in returned no factory";
                        return fixture("scan_null_factory");
                    }}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.label); });

// Bundles that are laid out unusually but hold good code.
struct LayoutCase {
    const char* label;
    std::function<std::string(const tv3test::TempDir&)> prepare;
};

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.label; }

class BundleLayout : public testing::TestWithParam<LayoutCase> {};

TEST_P(BundleLayout, ScansTheFixture) {
    tv3test::TempDir dir;
    const std::string path = GetParam().prepare(dir);
    const tv3test::ProcessResult r = scantest::runScan(path);
    ASSERT_TRUE(r.exited(0)) << r.err;
    const auto split = scantest::splitReport(r.out);
    ASSERT_TRUE(split.wellFormed) << r.out;
    const auto result = PluginBridgeScanResult::fromJSON(split.json);
    ASSERT_TRUE(result) << split.json;
    EXPECT_EQ(result->error, std::nullopt);
    EXPECT_EQ(result->path, replacingInvalidUTF8(path));
    EXPECT_EQ(result->vendor, "Tarvel Fixtures");
    ASSERT_EQ(result->classes.size(), 1u);
    EXPECT_EQ(result->classes[0].name, "Fixture Delay");
}

std::string fixtureCode() {
    return tv3test::bundleExecutable(fixture("scan_effect"), scantest::bundleArch());
}

INSTANTIATE_TEST_SUITE_P(
    Table, BundleLayout,
    testing::Values(
        // A shared object that is itself named *.vst3.
        LayoutCase{"SingleFileModule",
                   [](const tv3test::TempDir& dir) {
                       const std::string path = dir / "single.vst3";
                       fs::copy_file(fixtureCode(), path);
                       return path;
                   }},
        // The code is named differently from the bundle, and is the only .so.
        LayoutCase{"OnlySharedObjectUnderAnotherName",
                   [](const tv3test::TempDir& dir) {
                       const std::string path = dir / "Renamed.vst3";
                       const std::string folder = path + "/Contents/" + scantest::bundleArch();
                       fs::create_directories(folder);
                       fs::copy_file(fixtureCode(), folder + "/other-name.so");
                       return path;
                   }},
        // Code for other machines beside ours does not stand in the way.
        LayoutCase{"FatBundle",
                   [](const tv3test::TempDir& dir) {
                       const std::string path = dir / "scan_effect.vst3";
                       tv3test::copyBundle(fixture("scan_effect"), path);
                       writeFile(path + "/Contents/aarch64-linux/scan_effect.so", kGarbage);
                       return path;
                   }},
        // The path is reported as given, not in its canonical form.
        LayoutCase{"PathWithDotAndDoubleSlash",
                   [](const tv3test::TempDir&) {
                       return std::string(TV3_FIXTURE_DIR) + "/./" + "/scan_effect.vst3";
                   }},
        LayoutCase{"SymbolicLinkToBundle",
                   [](const tv3test::TempDir& dir) {
                       const std::string path = dir / "link.vst3";
                       fs::create_directory_symlink(fixture("scan_effect"), path);
                       return path;
                   }},
        // File names are bytes: the bundle opens by its real name, whatever
        // the report has to show in its place.
        LayoutCase{"NamesThatAreNotUTF8",
                   [](const tv3test::TempDir& dir) {
                       fs::create_directories(dir / "F\xFFolder");
                       return tv3test::copyBundle(fixture("scan_effect"), dir / "F\xFFolder/B\xE2\x82" "ad.vst3");
                   }},
        LayoutCase{"SymbolicLinkNamedWithBytesThatAreNotUTF8",
                   [](const tv3test::TempDir& dir) {
                       const std::string path = dir / "link\xC0\xAF.vst3";
                       fs::create_directory_symlink(fixture("scan_effect"), path);
                       return path;
                   }}),
    [](const testing::TestParamInfo<LayoutCase>& info) { return std::string(info.param.label); });

} // namespace
