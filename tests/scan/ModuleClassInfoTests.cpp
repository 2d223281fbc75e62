// Reading a factory through tv3m.h: class records, the vendor, and how every
// function treats null handles and bad buffers.
#include "ScanTestSupport.h"
#include "tv3m.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

class ModuleClassInfo : public testing::Test {
protected:
    tv3m_module* open(const std::string& name) {
        char error[512] = {};
        tv3m_module* m = tv3m_module_open(scantest::fixture(name).c_str(), error, sizeof error);
        EXPECT_NE(m, nullptr) << error;
        if (m) opened.push_back(m);
        return m;
    }
    void TearDown() override {
        for (tv3m_module* m : opened) tv3m_module_close(m);
    }
    std::vector<tv3m_module*> opened;
};

TEST_F(ModuleClassInfo, FactoryWithSecondInterfaceFillsEveryField) {
    tv3m_module* m = open("scan_effect");
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(tv3m_module_class_count(m), 2);

    tv3m_class_info info;
    std::memset(&info, 0x55, sizeof info);
    ASSERT_EQ(tv3m_module_class_info(m, 0, &info), 0);
    EXPECT_STREQ(info.cid, "0123456789ABCDEFFEDCBA9876543200");
    EXPECT_STREQ(info.name, "Fixture Delay");
    EXPECT_STREQ(info.vendor, "") << "the record's own vendor, not yet the factory's";
    EXPECT_STREQ(info.category, "Audio Module Class");
    EXPECT_STREQ(info.subCategories, "Fx|Delay");
    // The whole record was cleared first: nothing of the old contents remains.
    EXPECT_EQ(info.name[sizeof info.name - 1], 0);
    EXPECT_EQ(info.subCategories[sizeof info.subCategories - 1], 0);

    ASSERT_EQ(tv3m_module_class_info(m, 1, &info), 0);
    EXPECT_STREQ(info.cid, "0123456789ABCDEFFEDCBA9876543201");
    EXPECT_STREQ(info.name, "Fixture Delay Controller");
    EXPECT_STREQ(info.category, "Component Controller Class");
}

TEST_F(ModuleClassInfo, FactoryWithoutSecondInterfaceLeavesVendorAndSubCategoriesEmpty) {
    tv3m_module* m = open("scan_no_factory2");
    ASSERT_NE(m, nullptr);
    // Index 9 has its own vendor and sub-categories, which only the second
    // interface could tell.
    tv3m_class_info info;
    std::memset(&info, 0x55, sizeof info);
    ASSERT_EQ(tv3m_module_class_info(m, 9, &info), 0);
    EXPECT_STREQ(info.cid, "0123456789ABCDEFFEDCBA9876543209");
    EXPECT_STREQ(info.name, "Own Vendor");
    EXPECT_STREQ(info.category, "Audio Module Class");
    EXPECT_STREQ(info.vendor, "");
    EXPECT_STREQ(info.subCategories, "");
}

TEST_F(ModuleClassInfo, FieldsThatFillTheirRecordAreCopiedWholeAndTerminated) {
    tv3m_module* m = open("scan_long_texts");
    ASSERT_NE(m, nullptr);
    tv3m_class_info info{};
    ASSERT_EQ(tv3m_module_class_info(m, 0, &info), 0);
    EXPECT_EQ(std::string(info.name), "Name-0123456789-0123456789-0123456789-0123456789-0123456789-ABCD");
    EXPECT_EQ(std::strlen(info.name), 64u);

    // Bytes are passed on as they are: the cut character stays cut here.
    ASSERT_EQ(tv3m_module_class_info(m, 1, &info), 0);
    EXPECT_EQ(std::string(info.name), "Cut-0123456789-0123456789-0123456789-0123456789-0123456789-ABCD\xC3");

    ASSERT_EQ(tv3m_module_class_info(m, 2, &info), 0);
    EXPECT_EQ(std::string(info.category), "Category-0123456789-0123456789-X");
    EXPECT_EQ(std::string(info.vendor), "Vendor-0123456789-0123456789-0123456789-0123456789-0123456789-VW");
    // 128 bytes in the plug-in's record, 127 kept.
    EXPECT_EQ(std::string(info.subCategories),
              "Fx|0123456789012345678901234567890123456789012345678901234567890123456789"
              "012345678901234567890123456789012345678901234567890123");
}

TEST_F(ModuleClassInfo, UnreadableClassFailsWithTheRecordCleared) {
    tv3m_module* m = open("scan_sorting");
    ASSERT_NE(m, nullptr);
    for (int32_t index : {8, 12, 1000, -1}) {
        tv3m_class_info info;
        std::memset(&info, 0x55, sizeof info);
        EXPECT_EQ(tv3m_module_class_info(m, index, &info), -1) << index;
        const auto* bytes = reinterpret_cast<const unsigned char*>(&info);
        for (std::size_t i = 0; i < sizeof info; ++i) ASSERT_EQ(bytes[i], 0) << "index " << index << " byte " << i;
    }
}

TEST_F(ModuleClassInfo, ClassCountIsTheFactoryAnswer) {
    EXPECT_EQ(tv3m_module_class_count(open("scan_zero_classes")), 0);
    EXPECT_EQ(tv3m_module_class_count(open("scan_negative_classes")), -3);
    EXPECT_EQ(tv3m_module_class_count(open("scan_sorting")), 12);
}

struct VendorCase {
    const char* label;
    const char* fixture;
    int32_t size;
    int32_t result;
    const char* expected; // nullptr: the buffer must be untouched
};

void PrintTo(const VendorCase& c, std::ostream* os) { *os << c.label; }

class ModuleVendor : public ModuleClassInfo, public testing::WithParamInterface<VendorCase> {};

TEST_P(ModuleVendor, CopiesTheFactoryVendor) {
    tv3m_module* m = open(GetParam().fixture);
    ASSERT_NE(m, nullptr);
    char buffer[256];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(tv3m_module_vendor(m, buffer, GetParam().size), GetParam().result);
    if (GetParam().expected) {
        EXPECT_STREQ(buffer, GetParam().expected);
    } else {
        for (std::size_t i = 0; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], '#') << "byte " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ModuleVendor,
    testing::Values(
        VendorCase{"Roomy", "scan_effect", 128, 0, "Tarvel Fixtures"},
        VendorCase{"SizeOne", "scan_effect", 1, 0, ""},
        VendorCase{"Short", "scan_effect", 7, 0, "Tarvel"},
        VendorCase{"SizeZero", "scan_effect", 0, -1, nullptr},
        VendorCase{"NegativeSize", "scan_effect", -1, -1, nullptr},
        VendorCase{"FullFieldWithoutNul", "scan_long_texts", 200, 0,
                   "Factory-0123456789-0123456789-0123456789-0123456789-0123456789-F"},
        VendorCase{"FullFieldCut", "scan_long_texts", 11, 0, "Factory-01"},
        VendorCase{"FactoryFails", "scan_vendor_fails", 128, -1, nullptr}),
    [](const testing::TestParamInfo<VendorCase>& info) { return std::string(info.param.label); });

TEST_F(ModuleClassInfo, NullArgumentsFail) {
    tv3m_module* m = open("scan_effect");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(tv3m_module_vendor(m, nullptr, 128), -1);
    EXPECT_EQ(tv3m_module_class_info(m, 0, nullptr), -1);

    char buffer[16] = "untouched";
    tv3m_class_info info;
    std::memset(&info, 0x55, sizeof info);
    EXPECT_EQ(tv3m_module_class_count(nullptr), 0);
    EXPECT_EQ(tv3m_module_class_info(nullptr, 0, &info), -1);
    EXPECT_EQ(reinterpret_cast<unsigned char*>(&info)[0], 0x55);
    EXPECT_EQ(tv3m_module_vendor(nullptr, buffer, sizeof buffer), -1);
    EXPECT_STREQ(buffer, "untouched");
    tv3m_module_close(nullptr);
}

} // namespace
