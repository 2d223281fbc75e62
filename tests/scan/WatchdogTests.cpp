// A plug-in that never returns from its entry point: the watchdog ends the
// scan with status 3 after its minute, and the parent gets no report.
#include "ScanTestSupport.h"

#include <gtest/gtest.h>

namespace {

TEST(ScanWatchdog, HangingEntryPointEndsWithStatus3AndNoOutput) {
    const tv3test::ProcessResult r = tv3test::runProcess(
        {scantest::helperPath(), "--scan-one", scantest::fixture("scan_entry_hangs")}, std::chrono::seconds(120));
    EXPECT_FALSE(r.timedOut) << "the helper was still running after two minutes";
    EXPECT_TRUE(r.exited(3)) << "status " << r.exitStatus << " signal " << r.signal;
    EXPECT_EQ(r.out, "");
}

} // namespace
