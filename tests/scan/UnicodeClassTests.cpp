// Classes that only the Unicode factory describes: the narrow records refuse
// them, and the catalogue, the scan and the report still list them.
#include "HelperScan.h"
#include "ScanTestSupport.h"
#include "TarvelPluginBridge/PluginBridgeText.h"
#include "tv3m.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using scantest::fixture;

#define FFFD "\xEF\xBF\xBD"
#define E_ACUTE_30                                                                                             \
    "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3" \
    "\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9" \
    "\xC3\xA9\xC3\xA9\xC3\xA9"

const std::string kWideEffect = "W\xC3\xAF" "de \xC3\x8B" "ffect";          // Wïde Ëffect
const std::string kWideWorks = "W\xC3\xAF" "de W\xC3\xAB" "rks";            // Wïde Wërks
const std::string kWideInstrument = "W\xC3\xAF" "de \xC3\x8Fnstrument \xF0\x9F\x8E\xB9"; // Wïde Ïnstrument 🎹
const std::string kLongName = E_ACUTE_30 "a\xE2\x82\xAC";                    // 64 bytes: the second € is left out
const std::string kFullVendor = "Vendor-0123456789-0123456789-0123456789-0123456789-0123456789-VW";

PluginBridgeScanResult scan(const std::string& path) {
#ifdef __SANITIZE_ADDRESS__
    // The scan leaves its module handle open on purpose.
    __lsan::ScopedDisabler keepOpenHandle;
#endif
    return HelperScan::scan(path);
}

std::vector<std::string> namesOf(const std::vector<PluginBridgeScannedClass>& list) {
    std::vector<std::string> names;
    for (const auto& c : list) names.push_back(c.name);
    return names;
}

class UnicodeCatalogue : public testing::Test {
protected:
    tv3m_module* open(const std::string& name) {
        char error[512] = {};
        module = tv3m_module_open(fixture(name).c_str(), error, sizeof error);
        EXPECT_NE(module, nullptr) << error;
        return module;
    }
    void TearDown() override { tv3m_module_close(module); }
    tv3m_module* module = nullptr;
};

struct WideRecordCase {
    const char* label;
    int32_t index;
    std::string name;
    std::string vendor;
    const char* category;
    const char* subCategories;
};

void PrintTo(const WideRecordCase& c, std::ostream* os) { *os << c.label; }

class UnicodeCatalogueRecord : public UnicodeCatalogue, public testing::WithParamInterface<WideRecordCase> {};

TEST_P(UnicodeCatalogueRecord, FilledFromTheUnicodeRecord) {
    const auto& p = GetParam();
    ASSERT_NE(open("scan_wide_only"), nullptr);
    tv3m_class_info info;
    std::memset(&info, 0x55, sizeof info);
    ASSERT_EQ(tv3m_module_class_info(module, p.index, &info), 0);
    char cid[33];
    std::snprintf(cid, sizeof cid, "0123456789ABCDEFFEDCBA98765432%02X", p.index);
    EXPECT_STREQ(info.cid, cid);
    EXPECT_EQ(std::string(info.name), p.name);
    EXPECT_EQ(std::string(info.vendor), p.vendor);
    EXPECT_STREQ(info.category, p.category);
    EXPECT_STREQ(info.subCategories, p.subCategories);
    // The text fields stay inside the narrow records' limits, and the rest of
    // the record was cleared.
    EXPECT_LE(std::strlen(info.name), 64u);
    EXPECT_LE(std::strlen(info.vendor), 64u);
    EXPECT_EQ(info.name[sizeof info.name - 1], 0);
    EXPECT_EQ(info.vendor[sizeof info.vendor - 1], 0);
    EXPECT_TRUE(isValidUTF8(info.name)) << info.name;
}

INSTANTIATE_TEST_SUITE_P(
    Table, UnicodeCatalogueRecord,
    testing::Values(
        WideRecordCase{"Effect", 0, kWideEffect, kWideWorks, "Audio Module Class", "Fx|Delay"},
        WideRecordCase{"InstrumentWithSurrogatePair", 1, kWideInstrument, "", "Audio Module Class",
                       "Instrument|Synth"},
        WideRecordCase{"Controller", 2, "W\xC3\xAF" "de Controller", "", "Component Controller Class", ""},
        // The name fills its 64 bytes exactly with whole characters; the next
        // character is left out, not cut. The vendor fills all 64 units of its
        // field without a zero unit.
        WideRecordCase{"TextsAtTheLimit", 3, kLongName, kFullVendor, "Audio Module Class", "Fx"},
        WideRecordCase{"Noncharacter", 6, "Noncharacter \xEF\xBF\xBF Name", "", "Audio Module Class", "Fx"}),
    [](const testing::TestParamInfo<WideRecordCase>& info) { return std::string(info.param.label); });

TEST_F(UnicodeCatalogue, ClassRefusedEverywhereFailsWithTheRecordCleared) {
    ASSERT_NE(open("scan_wide_only"), nullptr);
    for (int32_t index : {5, 7, -1}) {
        tv3m_class_info info;
        std::memset(&info, 0x55, sizeof info);
        EXPECT_EQ(tv3m_module_class_info(module, index, &info), -1) << index;
        const auto* bytes = reinterpret_cast<const unsigned char*>(&info);
        for (std::size_t i = 0; i < sizeof info; ++i) ASSERT_EQ(bytes[i], 0) << "index " << index << " byte " << i;
    }
}

// Narrow classes come from the narrow records even though the factory has the
// Unicode one (which names them differently); the catalogue keeps factory order.
TEST_F(UnicodeCatalogue, MixedFactoryKeepsOrderAndPrefersNarrowRecords) {
    ASSERT_NE(open("scan_mixed_wide"), nullptr);
    ASSERT_EQ(tv3m_module_class_count(module), 7);
    const char* expected[] = {"Narrow First",     "W\xC3\xAF" "de Second", "Narrow Instrument",
                              "W\xC3\xAF" "de Instrument", nullptr, "Narrow Last", "W\xC3\xAF" "de Last"};
    for (int32_t i = 0; i < 7; ++i) {
        tv3m_class_info info{};
        if (!expected[i]) {
            EXPECT_EQ(tv3m_module_class_info(module, i, &info), -1) << i;
            continue;
        }
        ASSERT_EQ(tv3m_module_class_info(module, i, &info), 0) << i;
        EXPECT_STREQ(info.name, expected[i]) << i;
        EXPECT_EQ(info.cid[31], "0123456"[i]) << i;
    }
}

TEST(UnicodeScan, WideOnlyClassesAreSortedIntoTheirLists) {
    const PluginBridgeScanResult r = scan(fixture("scan_wide_only"));
    EXPECT_EQ(r.error, std::nullopt);
    EXPECT_EQ(r.vendor, "Tarvel Fixtures");
    ASSERT_GE(r.classes.size(), 2u);
    EXPECT_EQ(r.classes[0], (PluginBridgeScannedClass{"0123456789ABCDEFFEDCBA9876543200", kWideEffect, kWideWorks,
                                                      "Audio Module Class", "Fx|Delay"}));
    EXPECT_EQ(r.classes[1].name, kLongName);
    EXPECT_EQ(r.classes[1].vendor, kFullVendor);
    ASSERT_TRUE(r.instrumentClasses);
    ASSERT_EQ(r.instrumentClasses->size(), 1u);
    // No vendor of its own: the factory's.
    EXPECT_EQ((*r.instrumentClasses)[0],
              (PluginBridgeScannedClass{"0123456789ABCDEFFEDCBA9876543201", kWideInstrument, "Tarvel Fixtures",
                                        "Audio Module Class", "Instrument|Synth"}));
    ASSERT_EQ(r.classes.size(), 4u) << "the effects, the lone surrogate and the noncharacter class";
    EXPECT_EQ(r.classes[3].name, "Noncharacter \xEF\xBF\xBF Name");
    // However the lone surrogate is spelled, the text stays UTF-8 around it.
    const std::string& lone = r.classes[2].name;
    EXPECT_EQ(lone.rfind("Lone ", 0), 0u) << lone;
    EXPECT_NE(lone.find(FFFD), std::string::npos) << lone;
    EXPECT_TRUE(isValidUTF8(lone)) << lone;
    EXPECT_TRUE(r.toJSON());
}

TEST(UnicodeScan, MixedFactoryKeepsFactoryOrderInBothLists) {
    const PluginBridgeScanResult r = scan(fixture("scan_mixed_wide"));
    EXPECT_EQ(r.error, std::nullopt);
    EXPECT_EQ(namesOf(r.classes),
              (std::vector<std::string>{"Narrow First", "W\xC3\xAF" "de Second", "Narrow Last", "W\xC3\xAF" "de Last"}));
    ASSERT_TRUE(r.instrumentClasses);
    EXPECT_EQ(namesOf(*r.instrumentClasses),
              (std::vector<std::string>{"Narrow Instrument", "W\xC3\xAF" "de Instrument"}));
    ASSERT_EQ(r.classes.size(), 4u);
    EXPECT_EQ(r.classes[3].subCategories, "Fx|Reverb");
    EXPECT_EQ(r.classes[3].cid, "0123456789ABCDEFFEDCBA9876543206");
}

// Through the real executable: the report is valid UTF-8 and decodes to the
// wide-only classes.
TEST(UnicodeScan, ReportOfTheExecutableListsWideOnlyClasses) {
    const std::string path = fixture("scan_wide_only");
    const tv3test::ProcessResult run = scantest::runScan(path);
    ASSERT_TRUE(run.exited(0)) << run.err;
    const auto split = scantest::splitReport(run.out);
    ASSERT_TRUE(split.wellFormed) << run.out;
    EXPECT_TRUE(isValidUTF8(split.json));
    const auto r = PluginBridgeScanResult::fromJSON(split.json);
    ASSERT_TRUE(r) << split.json;
    EXPECT_EQ(r->path, path);
    EXPECT_EQ(r->error, std::nullopt);
    ASSERT_EQ(r->classes.size(), 4u) << split.json;
    EXPECT_EQ(r->classes[0].name, kWideEffect);
    EXPECT_EQ(r->classes[0].vendor, kWideWorks);
    ASSERT_TRUE(r->instrumentClasses);
    ASSERT_EQ(r->instrumentClasses->size(), 1u);
    EXPECT_EQ((*r->instrumentClasses)[0].name, kWideInstrument);
    EXPECT_EQ((*r->instrumentClasses)[0].cid, "0123456789ABCDEFFEDCBA9876543201");
    // The JSON carries the characters themselves, not escapes.
    EXPECT_NE(split.json.find("\"name\":\"" + kWideEffect + "\""), std::string::npos) << split.json;
}

} // namespace
