// The module cache, in process through tv3m.h: each bundle's code is loaded and
// started once, later opens are served from memory. Every test works on its own
// copy of a fixture, so that the counters it reads start at zero even when the
// cases run in one process.
#include "ScanTestSupport.h"
#include "support/BundleCopy.h"
#include "support/TempDir.h"
#include "tv3m.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>
#include <filesystem>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The counters a fixture keeps, read from its already loaded code.
struct FixtureCounters {
    int moduleEntryCalls = -1;
    int getFactoryCalls = -1;
    int factoryReferences = -1;
};

// Reads the counters of the code inside `bundle`; fails the test when that code
// is not loaded in this process.
FixtureCounters countersOf(const std::string& bundle) {
    FixtureCounters c;
    const std::string so = tv3test::bundleExecutable(bundle, scantest::bundleArch());
    void* handle = ::dlopen(so.c_str(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_NE(handle, nullptr) << so << " is not loaded";
    if (!handle) return c;
    using Counter = int (*)();
    const auto read = [&](const char* name) {
        auto f = reinterpret_cast<Counter>(::dlsym(handle, name));
        return f ? f() : -1;
    };
    c.moduleEntryCalls = read("scanFixtureModuleEntryCalls");
    c.getFactoryCalls = read("scanFixtureGetFactoryCalls");
    c.factoryReferences = read("scanFixtureFactoryReferences");
    ::dlclose(handle); // only drops the reference RTLD_NOLOAD took
    return c;
}

class ModuleCache : public testing::Test {
protected:
    std::string copyOf(const std::string& name) {
        return tv3test::copyBundle(scantest::fixture(name), dir / (name + ".vst3"));
    }
    tv3m_module* open(const std::string& path) {
        std::memset(error, 0, sizeof error);
        return tv3m_module_open(path.c_str(), error, sizeof error);
    }
    tv3test::TempDir dir;
    char error[512] = {};
};

TEST_F(ModuleCache, SecondOpenThroughSymbolicLinkReusesTheLoadedModule) {
    const std::string bundle = copyOf("scan_effect");
    const std::string link = dir / "link.vst3";
    fs::create_directory_symlink(bundle, link);

    tv3m_module* first = open(bundle);
    ASSERT_NE(first, nullptr) << error;
    tv3m_module* second = open(link);
    ASSERT_NE(second, nullptr) << error;
    EXPECT_NE(first, second);

    FixtureCounters c = countersOf(bundle);
    EXPECT_EQ(c.moduleEntryCalls, 1);
    EXPECT_EQ(c.getFactoryCalls, 1);
    // The cache's own reference and one per handle.
    EXPECT_EQ(c.factoryReferences, 3);
    EXPECT_EQ(tv3m_module_class_count(first), 2);
    EXPECT_EQ(tv3m_module_class_count(second), 2);

    tv3m_module_close(first);
    tv3m_module_close(second);
    c = countersOf(bundle);
    EXPECT_EQ(c.factoryReferences, 1) << "the cache keeps its reference after every handle is closed";

    // Still loaded and cached: opening again starts nothing new.
    tv3m_module* third = open(bundle);
    ASSERT_NE(third, nullptr) << error;
    c = countersOf(bundle);
    EXPECT_EQ(c.moduleEntryCalls, 1);
    EXPECT_EQ(c.getFactoryCalls, 1);
    tv3m_module_close(third);
}

TEST_F(ModuleCache, RelativePathReachesTheSameModule) {
    const std::string bundle = copyOf("scan_effect");
    tv3m_module* first = open(bundle);
    ASSERT_NE(first, nullptr) << error;
    const std::string roundabout = dir / ("../" + dir.path().filename().string() + "/./scan_effect.vst3");
    tv3m_module* second = open(roundabout);
    ASSERT_NE(second, nullptr) << error;
    EXPECT_EQ(countersOf(bundle).moduleEntryCalls, 1);
    tv3m_module_close(first);
    tv3m_module_close(second);
}

TEST_F(ModuleCache, DeletedBundleStillOpensFromMemory) {
    const std::string bundle = copyOf("scan_effect");
    tv3m_module* first = open(bundle);
    ASSERT_NE(first, nullptr) << error;
    tv3m_module_close(first);
    const FixtureCounters before = countersOf(bundle);
    fs::remove_all(bundle);
    ASSERT_FALSE(fs::exists(bundle));

    std::memset(error, '#', sizeof error);
    tv3m_module* again = tv3m_module_open(bundle.c_str(), error, sizeof error);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(error[0], '#') << "the error buffer is left alone on success";
    EXPECT_EQ(tv3m_module_class_count(again), 2);
    tv3m_class_info info{};
    ASSERT_EQ(tv3m_module_class_info(again, 0, &info), 0);
    EXPECT_STREQ(info.name, "Fixture Delay");
    EXPECT_EQ(before.moduleEntryCalls, 1);
    // The loaded code is still found by the name it was loaded under.
    const FixtureCounters after = countersOf(bundle);
    EXPECT_EQ(after.moduleEntryCalls, 1);
    EXPECT_EQ(after.getFactoryCalls, 1);
    tv3m_module_close(again);
}

TEST_F(ModuleCache, ADifferentBundleIsLoadedOnItsOwn) {
    const std::string a = copyOf("scan_effect");
    const std::string b = tv3test::copyBundle(scantest::fixture("scan_effect"), dir / "other.vst3");
    tv3m_module* ma = open(a);
    tv3m_module* mb = open(b);
    ASSERT_NE(ma, nullptr);
    ASSERT_NE(mb, nullptr);
    EXPECT_EQ(countersOf(a).moduleEntryCalls, 1);
    EXPECT_EQ(countersOf(b).moduleEntryCalls, 1);
    tv3m_module_close(ma);
    tv3m_module_close(mb);
}

// A failure after the code was loaded makes no cache entry: the next open goes
// through every step again and fails the same way.
struct RetryCase {
    const char* fixture;
    const char* message;
    int entryCallsAfterTwoOpens;
    int factoryCallsAfterTwoOpens;
};

void PrintTo(const RetryCase& c, std::ostream* os) { *os << c.fixture; }

class ModuleCacheFailure : public ModuleCache, public testing::WithParamInterface<RetryCase> {};

TEST_P(ModuleCacheFailure, IsNotCachedAndRetriedInFull) {
    const std::string bundle = copyOf(GetParam().fixture);
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(open(bundle), nullptr);
        EXPECT_STREQ(error, GetParam().message);
    }
    const FixtureCounters c = countersOf(bundle);
    EXPECT_EQ(c.moduleEntryCalls, GetParam().entryCallsAfterTwoOpens);
    EXPECT_EQ(c.getFactoryCalls, GetParam().factoryCallsAfterTwoOpens);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ModuleCacheFailure,
    testing::Values(RetryCase{"scan_entry_refuses", "the plug-in's bundleEntry refused to start", 2, 0},
                    RetryCase{"scan_null_factory", "the plug-in returned no factory", 2, 2},
                    // Without GetPluginFactory the entry point is not even called.
                    RetryCase{"scan_no_get_factory", "not a VST3 module (no GetPluginFactory)", 0, 0}),
    [](const testing::TestParamInfo<RetryCase>& info) { return std::string(info.param.fixture); });

TEST_F(ModuleCache, PluginWithoutModuleEntryOpens) {
    const std::string bundle = copyOf("scan_no_entry");
    tv3m_module* m = open(bundle);
    ASSERT_NE(m, nullptr) << error;
    EXPECT_EQ(countersOf(bundle).getFactoryCalls, 1);
    tv3m_module_close(m);
}

// The error buffer: cut to size - 1 bytes and terminated; untouched when there
// is no room at all.
struct ErrorBufferCase {
    const char* label;
    int32_t size;
    const char* expected; // the buffer's text, or nullptr when it must be untouched
};

void PrintTo(const ErrorBufferCase& c, std::ostream* os) { *os << c.label; }

class ModuleErrorBuffer : public testing::TestWithParam<ErrorBufferCase> {};

TEST_P(ModuleErrorBuffer, HoldsTheMessageCutToFit) {
    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(tv3m_module_open("/nonexistent/plug-in.vst3", buffer, GetParam().size), nullptr);
    if (GetParam().expected) {
        EXPECT_STREQ(buffer, GetParam().expected);
        const std::size_t used = std::strlen(GetParam().expected) + 1;
        for (std::size_t i = used; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], '#') << "byte " << i;
    } else {
        for (std::size_t i = 0; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], '#') << "byte " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ModuleErrorBuffer,
    testing::Values(ErrorBufferCase{"SizeZero", 0, nullptr},
                    ErrorBufferCase{"NegativeSize", -5, nullptr},
                    ErrorBufferCase{"SizeOne", 1, ""},
                    ErrorBufferCase{"SizeTwo", 2, "t"},
                    ErrorBufferCase{"Short", 11, "the plug-i"},
                    ErrorBufferCase{"ExactFit", 52, "the plug-in is no longer installed at this location"},
                    ErrorBufferCase{"Roomy", 64, "the plug-in is no longer installed at this location"}),
    [](const testing::TestParamInfo<ErrorBufferCase>& info) { return std::string(info.param.label); });

TEST(ModuleErrorBufferNull, NullBufferIsNotWritten) {
    EXPECT_EQ(tv3m_module_open("/nonexistent/plug-in.vst3", nullptr, 512), nullptr);
    EXPECT_EQ(tv3m_module_open(nullptr, nullptr, 512), nullptr);
}

TEST(ModuleOpenPath, NullAndEmptyPathAreRefused) {
    for (const char* path : {static_cast<const char*>(nullptr), ""}) {
        char buffer[64] = {};
        EXPECT_EQ(tv3m_module_open(path, buffer, sizeof buffer), nullptr);
        EXPECT_STREQ(buffer, "no plug-in path");
    }
}

} // namespace
