// The scan in process: which classes a factory's answers turn into effects and
// instruments, and what vendor each one gets.
#include "HelperScan.h"
#include "ScanTestSupport.h"

#include <gtest/gtest.h>

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using scantest::fixture;

// The scan leaves its module handle open on purpose (the process ends right
// after the report); in a test process that handle is a leak by design.
PluginBridgeScanResult scan(const std::string& path) {
#ifdef __SANITIZE_ADDRESS__
    __lsan::ScopedDisabler keepOpenHandle;
#endif
    return HelperScan::scan(path);
}

std::vector<std::string> namesOf(const std::vector<PluginBridgeScannedClass>& list) {
    std::vector<std::string> names;
    for (const auto& c : list) names.push_back(c.name);
    return names;
}

const PluginBridgeScannedClass* find(const std::vector<PluginBridgeScannedClass>& list, const std::string& name) {
    for (const auto& c : list) {
        if (c.name == name) return &c;
    }
    return nullptr;
}

TEST(HelperScan, EffectAndControllerGiveOneEffect) {
    const PluginBridgeScanResult r = scan(fixture("scan_effect"));
    EXPECT_EQ(r.error, std::nullopt);
    EXPECT_EQ(r.path, fixture("scan_effect"));
    EXPECT_EQ(r.vendor, "Tarvel Fixtures");
    const std::vector<PluginBridgeScannedClass> expected{
        {"0123456789ABCDEFFEDCBA9876543200", "Fixture Delay", "Tarvel Fixtures", "Audio Module Class", "Fx|Delay"}};
    EXPECT_EQ(r.classes, expected);
    ASSERT_TRUE(r.instrumentClasses);
    EXPECT_TRUE(r.instrumentClasses->empty());
}

TEST(HelperScan, SubCategoriesDecideInstrumentOrEffectInFactoryOrder) {
    const PluginBridgeScanResult r = scan(fixture("scan_sorting"));
    EXPECT_EQ(r.error, std::nullopt);
    EXPECT_EQ(namesOf(r.classes),
              (std::vector<std::string>{"Lower Case Tag", "Plural Tag", "Synth Alone", "Empty List", "Own Vendor",
                                        "Padded Tag"}));
    ASSERT_TRUE(r.instrumentClasses);
    EXPECT_EQ(namesOf(*r.instrumentClasses),
              (std::vector<std::string>{"Instrument Then Synth", "Fx Then Instrument",
                                        "Instrument Between Separators"}));
    // The class whose record could not be read is left out; the others stay.
    EXPECT_EQ(find(r.classes, "Unreadable"), nullptr);
}

TEST(HelperScan, ClassVendorIsKeptOrTakenFromTheFactory) {
    const PluginBridgeScanResult r = scan(fixture("scan_sorting"));
    ASSERT_NE(find(r.classes, "Own Vendor"), nullptr);
    EXPECT_EQ(find(r.classes, "Own Vendor")->vendor, "Other Maker");
    ASSERT_NE(find(r.classes, "Empty List"), nullptr);
    EXPECT_EQ(find(r.classes, "Empty List")->vendor, "Tarvel Fixtures");
    EXPECT_EQ((*r.instrumentClasses)[0].vendor, "Tarvel Fixtures");
    EXPECT_EQ((*r.instrumentClasses)[0].subCategories, "Instrument|Synth");
}

TEST(HelperScan, FactoryWithoutSecondInterfaceMakesEveryAudioClassAnEffect) {
    const PluginBridgeScanResult r = scan(fixture("scan_no_factory2"));
    EXPECT_EQ(r.error, std::nullopt);
    EXPECT_EQ(namesOf(r.classes),
              (std::vector<std::string>{"Instrument Then Synth", "Fx Then Instrument",
                                        "Instrument Between Separators", "Lower Case Tag", "Plural Tag",
                                        "Synth Alone", "Empty List", "Own Vendor", "Padded Tag"}));
    for (const auto& c : r.classes) {
        EXPECT_EQ(c.vendor, "Tarvel Fixtures") << c.name;
        EXPECT_EQ(c.subCategories, "") << c.name;
    }
    ASSERT_TRUE(r.instrumentClasses);
    EXPECT_TRUE(r.instrumentClasses->empty());
}

TEST(HelperScan, UnreadableFactoryVendorIsEmptyEverywhere) {
    const PluginBridgeScanResult r = scan(fixture("scan_vendor_fails"));
    EXPECT_EQ(r.error, std::nullopt);
    EXPECT_EQ(r.vendor, "");
    ASSERT_EQ(r.classes.size(), 1u);
    EXPECT_EQ(r.classes[0].vendor, "");
}

TEST(HelperScan, CutCharacterBecomesReplacementCharacter) {
    const PluginBridgeScanResult r = scan(fixture("scan_long_texts"));
    EXPECT_EQ(r.error, std::nullopt);
    EXPECT_EQ(r.vendor, "Factory-0123456789-0123456789-0123456789-0123456789-0123456789-F");
    // The third class has a category of its own and is not reported.
    ASSERT_EQ(r.classes.size(), 2u);
    EXPECT_EQ(r.classes[0].name, "Name-0123456789-0123456789-0123456789-0123456789-0123456789-ABCD");
    EXPECT_EQ(r.classes[1].name, "Cut-0123456789-0123456789-0123456789-0123456789-0123456789-ABCD\xEF\xBF\xBD");
    EXPECT_TRUE(r.toJSON()) << "the decoded result always encodes";
}

class HelperScanClassCount : public testing::TestWithParam<const char*> {};

TEST_P(HelperScanClassCount, NoClassesAndNoError) {
    const PluginBridgeScanResult r = scan(fixture(GetParam()));
    EXPECT_EQ(r.error, std::nullopt);
    EXPECT_EQ(r.vendor, "Tarvel Fixtures");
    EXPECT_TRUE(r.classes.empty());
    ASSERT_TRUE(r.instrumentClasses);
    EXPECT_TRUE(r.instrumentClasses->empty());
}

INSTANTIATE_TEST_SUITE_P(Table, HelperScanClassCount, testing::Values("scan_zero_classes", "scan_negative_classes"));

TEST(HelperScan, FailedOpenKeepsThePathAsGiven) {
    const std::string path = "relative/./missing.vst3";
    const PluginBridgeScanResult r = scan(path);
    EXPECT_EQ(r.path, path);
    EXPECT_EQ(r.vendor, "");
    EXPECT_TRUE(r.classes.empty());
    ASSERT_TRUE(r.instrumentClasses);
    EXPECT_TRUE(r.instrumentClasses->empty());
    EXPECT_EQ(r.error, "the plug-in is no longer installed at this location");
}

} // namespace
