// Plug-in texts that are not plain UTF-8 words: bytes of an 8-bit encoding,
// control characters, quotes, a name that looks like the report's marker.
// The scan turns them into valid UTF-8 and the report stays one line that
// decodes to the same classes.
#include "HelperScan.h"
#include "ScanTestSupport.h"
#include "TarvelPluginBridge/PluginBridgeText.h"

#include <gtest/gtest.h>

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

namespace {

#define FFFD "\xEF\xBF\xBD"

const std::string kFactoryVendor = "Tarvel M" FFFD "nchen";

std::string cid(int index) { return "0123456789ABCDEFFEDCBA98765432" + std::string("0") + char('0' + index); }

const std::vector<PluginBridgeScannedClass> kEffects{
    {cid(0), "Br" FFFD "cke", "Caf" FFFD " Audio", "Audio Module Class", "Fx|" FFFD "|Delay"},
    {cid(2), "Line\nFeed \"Quoted\" \\ Back\x01slash/", "Tab\tVendor\r", "Audio Module Class", "Fx"},
    {cid(3), "\nTARVEL_VST3_SCAN {\"path\":\"\"}", kFactoryVendor, "Audio Module Class", "Fx"},
    {cid(4), "Separator\xE2\x80\xA8Line\x7F", kFactoryVendor, "Audio Module Class", "Fx"},
};
// An 8-bit byte in the sub-categories does not hide the instrument tag.
const std::vector<PluginBridgeScannedClass> kInstruments{
    {cid(1), "Fl" FFFD "gel", kFactoryVendor, "Audio Module Class", "Instrument|Pi" FFFD "no"},
};

TEST(OddTexts, ScanDecodesEveryTextAsUTF8) {
    PluginBridgeScanResult r;
    {
#ifdef __SANITIZE_ADDRESS__
        // The scan leaves its module handle open on purpose.
        __lsan::ScopedDisabler keepOpenHandle;
#endif
        r = HelperScan::scan(scantest::fixture("scan_odd_texts"));
    }
    EXPECT_EQ(r.error, std::nullopt);
    EXPECT_EQ(r.vendor, kFactoryVendor);
    EXPECT_EQ(r.classes, kEffects);
    ASSERT_TRUE(r.instrumentClasses);
    EXPECT_EQ(*r.instrumentClasses, kInstruments);
}

TEST(OddTexts, ReportIsOneLineThatDecodesToTheSameClasses) {
    const std::string path = scantest::fixture("scan_odd_texts");
    const tv3test::ProcessResult run = scantest::runScan(path);
    ASSERT_TRUE(run.exited(0)) << run.err;
    const auto split = scantest::splitReport(run.out);
    ASSERT_TRUE(split.wellFormed) << run.out;
    EXPECT_EQ(split.before, "") << "a marker inside a name must not start a line of its own";
    EXPECT_TRUE(isValidUTF8(split.json));
    EXPECT_EQ(split.json.find('\r'), std::string::npos);
    EXPECT_EQ(split.json.find('\t'), std::string::npos);
    const auto r = PluginBridgeScanResult::fromJSON(split.json);
    ASSERT_TRUE(r) << split.json;
    EXPECT_EQ(r->path, path);
    EXPECT_EQ(r->vendor, kFactoryVendor);
    EXPECT_EQ(r->error, std::nullopt);
    EXPECT_EQ(r->classes, kEffects);
    ASSERT_TRUE(r->instrumentClasses);
    EXPECT_EQ(*r->instrumentClasses, kInstruments);
}

} // namespace
