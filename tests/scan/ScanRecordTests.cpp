// The scan records on their own: sorting classes into effects and instruments,
// the JSON both ends exchange, and the report bytes.
#include "TarvelPluginBridge/PluginBridgeScanResult.h"

#include <gtest/gtest.h>

namespace {

PluginBridgeScannedClass audioClass(std::string name, std::string subCategories,
                                    std::string category = "Audio Module Class") {
    return {"0123456789ABCDEF0123456789ABCDEF", std::move(name), "Maker", std::move(category),
            std::move(subCategories)};
}

enum class Kind { effect, instrument, dropped };

struct SortingCase {
    const char* label;
    const char* category;
    const char* subCategories;
    Kind kind;
};

void PrintTo(const SortingCase& c, std::ostream* os) { *os << c.label; }

class ScanRecordSorting : public testing::TestWithParam<SortingCase> {};

TEST_P(ScanRecordSorting, PutsTheClassInItsList) {
    const auto& p = GetParam();
    const PluginBridgeScannedClass c = audioClass("C", p.subCategories, p.category);
    EXPECT_EQ(c.isInstrument(), p.kind == Kind::instrument);
    EXPECT_EQ(c.isProcessingEffect(), p.kind == Kind::effect);

    const PluginBridgeScanResult r = PluginBridgeScanResult::sorting("/p", "V", {c});
    ASSERT_TRUE(r.instrumentClasses);
    EXPECT_EQ(r.classes.size(), p.kind == Kind::effect ? 1u : 0u);
    EXPECT_EQ(r.instrumentClasses->size(), p.kind == Kind::instrument ? 1u : 0u);
    EXPECT_FALSE(r.error);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ScanRecordSorting,
    testing::Values(SortingCase{"InstrumentThenSynth", "Audio Module Class", "Instrument|Synth", Kind::instrument},
                    SortingCase{"FxThenInstrument", "Audio Module Class", "Fx|Instrument", Kind::instrument},
                    SortingCase{"InstrumentBetweenSeparators", "Audio Module Class", "|Instrument|", Kind::instrument},
                    SortingCase{"InstrumentAlone", "Audio Module Class", "Instrument", Kind::instrument},
                    SortingCase{"InstrumentAfterEmptyPieces", "Audio Module Class", "Fx|||Instrument", Kind::instrument},
                    SortingCase{"LowerCaseWord", "Audio Module Class", "instrument", Kind::effect},
                    SortingCase{"PluralWord", "Audio Module Class", "Instruments", Kind::effect},
                    SortingCase{"SynthAlone", "Audio Module Class", "Synth", Kind::effect},
                    SortingCase{"EmptyList", "Audio Module Class", "", Kind::effect},
                    SortingCase{"OnlySeparators", "Audio Module Class", "||", Kind::effect},
                    SortingCase{"WordWithSpace", "Audio Module Class", "Fx| Instrument", Kind::effect},
                    SortingCase{"WordInsideAnother", "Audio Module Class", "Fx|InstrumentRack", Kind::effect},
                    SortingCase{"OtherSeparator", "Audio Module Class", "Fx,Instrument", Kind::effect},
                    SortingCase{"ControllerWithInstrumentTag", "Component Controller Class", "Instrument",
                                Kind::dropped},
                    SortingCase{"ControllerWithoutTag", "Component Controller Class", "", Kind::dropped},
                    SortingCase{"CategoryInLowerCase", "audio module class", "Instrument", Kind::dropped},
                    SortingCase{"CategoryWithTrailingSpace", "Audio Module Class ", "Fx", Kind::dropped},
                    SortingCase{"EmptyCategory", "", "Fx", Kind::dropped}),
    [](const testing::TestParamInfo<SortingCase>& info) { return std::string(info.param.label); });

TEST(ScanRecordSortingOrder, BothListsKeepTheFactoryOrder) {
    const std::vector<PluginBridgeScannedClass> all{
        audioClass("Zeta", "Fx"),         audioClass("Synth B", "Instrument"),
        audioClass("Alpha", "Fx|Delay"),  audioClass("Ctl", "", "Component Controller Class"),
        audioClass("Synth A", "Instrument|Synth"), audioClass("Mid", "")};
    const PluginBridgeScanResult r = PluginBridgeScanResult::sorting("/p", "V", all);
    EXPECT_EQ(r.path, "/p");
    EXPECT_EQ(r.vendor, "V");
    ASSERT_EQ(r.classes.size(), 3u);
    EXPECT_EQ(r.classes[0], all[0]);
    EXPECT_EQ(r.classes[1], all[2]);
    EXPECT_EQ(r.classes[2], all[5]);
    ASSERT_TRUE(r.instrumentClasses);
    ASSERT_EQ(r.instrumentClasses->size(), 2u);
    EXPECT_EQ((*r.instrumentClasses)[0], all[1]);
    EXPECT_EQ((*r.instrumentClasses)[1], all[4]);
}

TEST(ScanRecordEquality, AbsentListDiffersFromEmptyList) {
    PluginBridgeScanResult a, b;
    b.instrumentClasses.emplace();
    EXPECT_NE(a, b);
    a.instrumentClasses.emplace();
    EXPECT_EQ(a, b);
    b.error = "";
    EXPECT_NE(a, b);
}

TEST(ScanRecordJSON, KeysInOrderCompactWithSlashesEscaped) {
    PluginBridgeScanResult r;
    r.path = "/usr/lib/vst3/A.vst3";
    r.vendor = "Maker";
    r.classes = {{"00112233445566778899AABBCCDDEEFF", "A/B", "Maker", "Audio Module Class", "Fx|Delay"}};
    r.instrumentClasses = std::vector<PluginBridgeScannedClass>{
        {"FFEEDDCCBBAA99887766554433221100", "Keys", "Other", "Audio Module Class", "Instrument"}};
    r.error = "why";
    EXPECT_EQ(r.toJSON(),
              R"({"path":"\/usr\/lib\/vst3\/A.vst3","vendor":"Maker","classes":[{"cid":"00112233445566778899AABBCCDDEEFF","name":"A\/B","vendor":"Maker","category":"Audio Module Class","subCategories":"Fx|Delay"}],)"
              R"("instrumentClasses":[{"cid":"FFEEDDCCBBAA99887766554433221100","name":"Keys","vendor":"Other","category":"Audio Module Class","subCategories":"Instrument"}],"error":"why"})");
}

TEST(ScanRecordJSON, OptionalKeysOnlyWhenPresent) {
    PluginBridgeScanResult r;
    EXPECT_EQ(r.toJSON(), R"({"path":"","vendor":"","classes":[]})");
    r.instrumentClasses.emplace();
    EXPECT_EQ(r.toJSON(), R"({"path":"","vendor":"","classes":[],"instrumentClasses":[]})");
    r.instrumentClasses.reset();
    r.error = "";
    EXPECT_EQ(r.toJSON(), R"({"path":"","vendor":"","classes":[],"error":""})");
}

TEST(ScanRecordJSON, SpecialCharactersAreEscapedAndOtherTextKeptAsUTF8) {
    PluginBridgeScanResult r;
    r.path = "a\"b\\c\nd\te\x01/\xC3\xA9\xE2\x82\xAC";
    EXPECT_EQ(r.toJSON(), "{\"path\":\"a\\\"b\\\\c\\nd\\te\\u0001\\/\xC3\xA9\xE2\x82\xAC\",\"vendor\":\"\",\"classes\":[]}");
}

TEST(ScanRecordJSON, RoundTripGivesTheResultBack) {
    PluginBridgeScanResult r;
    r.path = "/home/user/My Plug-ins//Odd \"name\" \\ \xC3\xA9.vst3";
    r.vendor = "V/endor";
    r.classes = {{"00112233445566778899AABBCCDDEEFF", "N", "V", "Audio Module Class", "Fx"}};
    for (int variant = 0; variant < 4; ++variant) {
        r.instrumentClasses.reset();
        r.error.reset();
        if (variant & 1) r.instrumentClasses = std::vector<PluginBridgeScannedClass>{};
        if (variant & 2) r.error = "some/reason";
        const auto json = r.toJSON();
        ASSERT_TRUE(json);
        EXPECT_EQ(json->find("//"), std::string::npos);
        const auto back = PluginBridgeScanResult::fromJSON(*json);
        ASSERT_TRUE(back) << *json;
        EXPECT_EQ(*back, r) << *json;
    }
}

TEST(ScanRecordJSON, TextThatIsNotUTF8CannotBeEncoded) {
    PluginBridgeScanResult r;
    r.path = "/bad\xFF.vst3";
    EXPECT_EQ(r.toJSON(), std::nullopt);
    r.path = "/good.vst3";
    r.classes = {{"00", "cut \xC3", "V", "Audio Module Class", ""}};
    EXPECT_EQ(r.toJSON(), std::nullopt);
}

// Decoding: which keys are required, which may be missing, what is ignored.
struct DecodeCase {
    const char* label;
    const char* json;
    bool decodes;
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.label; }

class ScanRecordDecoding : public testing::TestWithParam<DecodeCase> {};

TEST_P(ScanRecordDecoding, AcceptsOrRefuses) {
    EXPECT_EQ(PluginBridgeScanResult::fromJSON(GetParam().json).has_value(), GetParam().decodes) << GetParam().json;
}

#define CLASS_OK R"({"cid":"C","name":"N","vendor":"V","category":"K","subCategories":"S"})"

INSTANTIATE_TEST_SUITE_P(
    Table, ScanRecordDecoding,
    testing::Values(
        DecodeCase{"Minimal", R"({"path":"p","vendor":"v","classes":[]})", true},
        DecodeCase{"KeysInAnyOrder", R"({"classes":[)" CLASS_OK R"(],"vendor":"v","path":"p"})", true},
        DecodeCase{"UnknownKeysIgnored", R"({"path":"p","vendor":"v","classes":[],"extra":{"a":[1,2]},"n":3})", true},
        DecodeCase{"UnknownClassKeysIgnored",
                   R"({"path":"p","vendor":"v","classes":[{"cid":"C","name":"N","vendor":"V","category":"K","subCategories":"S","flags":7}]})",
                   true},
        DecodeCase{"SlashesUnescaped", R"({"path":"/a/b","vendor":"v","classes":[]})", true},
        DecodeCase{"WhitespaceAround", " \n{ \"path\" : \"p\" , \"vendor\":\"v\",\"classes\":[ ] }\n", true},
        DecodeCase{"MissingPath", R"({"vendor":"v","classes":[]})", false},
        DecodeCase{"MissingVendor", R"({"path":"p","classes":[]})", false},
        DecodeCase{"MissingClasses", R"({"path":"p","vendor":"v"})", false},
        DecodeCase{"PathNotAString", R"({"path":1,"vendor":"v","classes":[]})", false},
        DecodeCase{"ClassesNotAnArray", R"({"path":"p","vendor":"v","classes":{}})", false},
        DecodeCase{"ClassMissingCid",
                   R"({"path":"p","vendor":"v","classes":[{"name":"N","vendor":"V","category":"K","subCategories":"S"}]})",
                   false},
        DecodeCase{"ClassMissingSubCategories",
                   R"({"path":"p","vendor":"v","classes":[{"cid":"C","name":"N","vendor":"V","category":"K"}]})", false},
        DecodeCase{"ClassNotAnObject", R"({"path":"p","vendor":"v","classes":["x"]})", false},
        DecodeCase{"InstrumentClassBroken",
                   R"({"path":"p","vendor":"v","classes":[],"instrumentClasses":[{"cid":"C"}]})", false},
        DecodeCase{"ErrorNotAString", R"({"path":"p","vendor":"v","classes":[],"error":5})", false},
        DecodeCase{"NotAnObject", R"([1,2])", false},
        DecodeCase{"Truncated", R"({"path":"p","vendor":"v","classes":[)", false},
        DecodeCase{"NotJSON", "TARVEL_VST3_SCAN {}", false},
        DecodeCase{"Empty", "", false}),
    [](const testing::TestParamInfo<DecodeCase>& info) { return std::string(info.param.label); });

TEST(ScanRecordDecodingOptional, MissingOptionalKeysStayAbsent) {
    const auto r = PluginBridgeScanResult::fromJSON(R"({"path":"\/p","vendor":"v","classes":[)" CLASS_OK "]}");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->path, "/p");
    EXPECT_EQ(r->instrumentClasses, std::nullopt);
    EXPECT_EQ(r->error, std::nullopt);
    ASSERT_EQ(r->classes.size(), 1u);
    EXPECT_EQ(r->classes[0], (PluginBridgeScannedClass{"C", "N", "V", "K", "S"}));

    const auto withBoth =
        PluginBridgeScanResult::fromJSON(R"({"path":"p","vendor":"v","classes":[],"instrumentClasses":[],"error":"e"})");
    ASSERT_TRUE(withBoth);
    ASSERT_TRUE(withBoth->instrumentClasses);
    EXPECT_TRUE(withBoth->instrumentClasses->empty());
    EXPECT_EQ(withBoth->error, "e");
}

TEST(ScanReportBytes, LineFeedMarkerJSONLineFeed) {
    EXPECT_EQ(PluginBridgeScanResult::marker, "TARVEL_VST3_SCAN ");
    PluginBridgeScanResult r = PluginBridgeScanResult::sorting("/a b/c.vst3", "V", {});
    EXPECT_EQ(r.reportBytes(),
              "\nTARVEL_VST3_SCAN {\"path\":\"\\/a b\\/c.vst3\",\"vendor\":\"V\",\"classes\":[],\"instrumentClasses\":[]}\n");
}

TEST(ScanReportBytes, FallbackIsTheFixed79ByteObject) {
    const std::string& fallback = PluginBridgeScanResult::fallbackJSON();
    EXPECT_EQ(fallback, R"({"path":"","vendor":"","classes":[],"error":"could not encode the scan result"})");
    EXPECT_EQ(fallback.size(), 79u);
    const auto decoded = PluginBridgeScanResult::fromJSON(fallback);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->error, "could not encode the scan result");
    EXPECT_EQ(decoded->instrumentClasses, std::nullopt);
}

TEST(ScanReportBytes, UnencodableResultGivesTheFallback) {
    PluginBridgeScanResult r = PluginBridgeScanResult::sorting("/bad\xC0\xAF.vst3", "V", {});
    EXPECT_EQ(r.reportBytes(), "\nTARVEL_VST3_SCAN " + PluginBridgeScanResult::fallbackJSON() + "\n");
}

// The parent's reading of a scan's output: the report after whatever the
// plug-in printed, also when a name holds the marker's own text.
TEST(ScanRecordFromOutput, FindsTheReportLineAndNothingElse) {
    PluginBridgeScanResult r = PluginBridgeScanResult::sorting(
        "/a.vst3", "Says TARVEL_VST3_SCAN {}",
        {{"00112233445566778899AABBCCDDEEFF", "TARVEL_VST3_SCAN x", "V", "Audio Module Class", "Fx"}});
    const std::string printed = "loading...\nTARVEL_VST3_SCAN not json\n";
    EXPECT_EQ(PluginBridgeScanResult::fromOutput(printed + r.reportBytes()), r);
    EXPECT_EQ(PluginBridgeScanResult::fromOutput(printed), std::nullopt) << "a line that is not a report";
    EXPECT_EQ(PluginBridgeScanResult::fromOutput("TARVEL_VST3_SCAN {}"), std::nullopt)
        << "the report starts after a line feed";
    EXPECT_EQ(PluginBridgeScanResult::fromOutput(""), std::nullopt);
}

} // namespace
