// Opening one bundle from many threads at once: the module lock lets exactly
// one of them load and start it. Built apart so that it also runs under
// ThreadSanitizer.
#include "ScanTestSupport.h"
#include "support/BundleCopy.h"
#include "support/TempDir.h"
#include "tv3m.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <thread>
#include <vector>

namespace {

using Counter = int (*)();

int readCounter(const std::string& bundle, const char* name) {
    const std::string so = tv3test::bundleExecutable(bundle, scantest::bundleArch());
    void* handle = ::dlopen(so.c_str(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_NE(handle, nullptr) << so << " is not loaded";
    if (!handle) return -1;
    auto f = reinterpret_cast<Counter>(::dlsym(handle, name));
    const int value = f ? f() : -1;
    ::dlclose(handle);
    return value;
}

TEST(ModuleCacheThreads, ConcurrentOpensStartTheModuleOnce) {
    tv3test::TempDir dir;
    const std::string bundle = tv3test::copyBundle(scantest::fixture("scan_effect"), dir / "scan_effect.vst3");
    constexpr int kThreads = 8;
    std::vector<tv3m_module*> handles(kThreads, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            char e[512] = {};
            handles[i] = tv3m_module_open(bundle.c_str(), e, sizeof e);
        });
    }
    for (auto& t : threads) t.join();
    for (tv3m_module* h : handles) EXPECT_NE(h, nullptr);
    EXPECT_EQ(readCounter(bundle, "scanFixtureModuleEntryCalls"), 1);
    EXPECT_EQ(readCounter(bundle, "scanFixtureGetFactoryCalls"), 1);
    EXPECT_EQ(readCounter(bundle, "scanFixtureFactoryReferences"), 1 + kThreads);

    // Closing from many threads at once gives every handle's reference back.
    threads.clear();
    for (int i = 0; i < kThreads; ++i) threads.emplace_back([&, i] { tv3m_module_close(handles[i]); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(readCounter(bundle, "scanFixtureFactoryReferences"), 1);
}

} // namespace
