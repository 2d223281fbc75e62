// Attribute lists: four independent maps, copies of everything given, and the
// size rules of getString.
#include "tv3/AttributeList.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

using namespace Steinberg;

namespace {

class AttributeListTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(list->release(), 0u); }
    tv3::AttributeList* list = new tv3::AttributeList();
};

TEST_F(AttributeListTest, EachGetterSeesOnlyItsOwnMap) {
    ASSERT_EQ(list->setInt("x", 42), kResultOk);
    double d = -1.0;
    EXPECT_EQ(list->getFloat("x", d), kResultFalse);
    EXPECT_EQ(d, -1.0) << "untouched when absent";
    std::array<Vst::TChar, 8> text;
    text.fill(u'#');
    EXPECT_EQ(list->getString("x", text.data(), sizeof(text)), kResultFalse);
    EXPECT_EQ(text[0], u'#');
    const void* data = &d;
    uint32 size = 99;
    EXPECT_EQ(list->getBinary("x", data, size), kResultFalse);
    EXPECT_EQ(data, &d);
    EXPECT_EQ(size, 99u);

    // The same id in all four maps at once, each value intact.
    const char bytes[] = {1, 2, 3};
    ASSERT_EQ(list->setFloat("x", 0.25), kResultOk);
    ASSERT_EQ(list->setString("x", u"str"), kResultOk);
    ASSERT_EQ(list->setBinary("x", bytes, 3), kResultOk);
    int64 i = 0;
    EXPECT_EQ(list->getInt("x", i), kResultOk);
    EXPECT_EQ(i, 42);
    EXPECT_EQ(list->getFloat("x", d), kResultOk);
    EXPECT_EQ(d, 0.25);
    EXPECT_EQ(list->getString("x", text.data(), sizeof(text)), kResultOk);
    EXPECT_EQ(std::u16string(text.data()), u"str");
    EXPECT_EQ(list->getBinary("x", data, size), kResultOk);
    ASSERT_EQ(size, 3u);
    EXPECT_EQ(std::memcmp(data, bytes, 3), 0);
}

TEST_F(AttributeListTest, SettingAgainReplacesOnlyThatMapsValue) {
    list->setInt("v", 1);
    list->setFloat("v", 1.5);
    list->setInt("v", 2);
    int64 i = 0;
    double d = 0;
    EXPECT_EQ(list->getInt("v", i), kResultOk);
    EXPECT_EQ(i, 2);
    EXPECT_EQ(list->getFloat("v", d), kResultOk);
    EXPECT_EQ(d, 1.5);
    int64 untouched = 5;
    EXPECT_EQ(list->getInt("w", untouched), kResultFalse);
    EXPECT_EQ(untouched, 5);
}

TEST_F(AttributeListTest, IdsAreCopied) {
    char id[] = "name";
    list->setInt(id, 9);
    std::strcpy(id, "nope");
    int64 value = 0;
    EXPECT_EQ(list->getInt("name", value), kResultOk);
    EXPECT_EQ(value, 9);
    EXPECT_EQ(list->getInt("nope", value), kResultFalse);
}

TEST_F(AttributeListTest, NullIdIsRefusedByEveryOperation) {
    int64 i = 0;
    double d = 0;
    Vst::TChar text[4];
    const void* data = nullptr;
    uint32 size = 0;
    EXPECT_EQ(list->setInt(nullptr, 1), kInvalidArgument);
    EXPECT_EQ(list->getInt(nullptr, i), kInvalidArgument);
    EXPECT_EQ(list->setFloat(nullptr, 1), kInvalidArgument);
    EXPECT_EQ(list->getFloat(nullptr, d), kInvalidArgument);
    EXPECT_EQ(list->setString(nullptr, u"a"), kInvalidArgument);
    EXPECT_EQ(list->getString(nullptr, text, sizeof(text)), kInvalidArgument);
    EXPECT_EQ(list->setBinary(nullptr, "a", 1), kInvalidArgument);
    EXPECT_EQ(list->getBinary(nullptr, data, size), kInvalidArgument);
}

struct GetStringCase {
    const char* name;
    const char* id;
    uint32 sizeInBytes;
    tresult result;
    const char16_t* expected; // what is written, zero unit included; null: nothing written
};

void PrintTo(const GetStringCase& c, std::ostream* out) { *out << c.name; }

class AttributeListGetString : public ::testing::TestWithParam<GetStringCase> {};

// The five-letter value "Hello" stored under "s".
TEST_P(AttributeListGetString, CopiesWhatFitsAndCutsTheRest) {
    const GetStringCase& c = GetParam();
    auto* list = new tv3::AttributeList();
    ASSERT_EQ(list->setString("s", u"Hello"), kResultOk);
    std::array<Vst::TChar, 64> buffer;
    buffer.fill(u'#');
    EXPECT_EQ(list->getString(c.id, buffer.data(), c.sizeInBytes), c.result);
    std::size_t written = 0;
    if (c.expected) {
        const std::u16string expected(c.expected);
        written = expected.size() + 1;
        EXPECT_EQ(std::u16string(buffer.data(), expected.size()), expected);
        EXPECT_EQ(buffer[expected.size()], 0) << "ends with a zero unit";
    }
    for (std::size_t i = written; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], u'#') << "unit " << i << " written";
    EXPECT_EQ(list->release(), 0u);
}

const GetStringCase kGetStringCases[] = {
    {"SixBytesHoldTwoLetters", "s", 6, kResultOk, u"He"},
    {"OddByteIsIgnored", "s", 7, kResultOk, u"He"},
    {"TwoBytesHoldOnlyTheZero", "s", 2, kResultOk, u""},
    {"ExactFit", "s", 12, kResultOk, u"Hello"},
    {"OneUnitShort", "s", 10, kResultOk, u"Hell"},
    {"RoomToSpare", "s", 100, kResultOk, u"Hello"},
    {"OneByteIsInvalid", "s", 1, kInvalidArgument, nullptr},
    {"ZeroBytesIsInvalid", "s", 0, kInvalidArgument, nullptr},
    {"AbsentIdWithOneByte", "t", 1, kResultFalse, nullptr},
    {"AbsentIdWithRoom", "t", 100, kResultFalse, nullptr},
};

INSTANTIATE_TEST_SUITE_P(Sizes, AttributeListGetString, ::testing::ValuesIn(kGetStringCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AttributeListTest, NullStringIsStoredAsEmpty) {
    list->setString("s", u"previous");
    ASSERT_EQ(list->setString("s", nullptr), kResultOk);
    for (uint32 size : {2u, 3u, 40u}) {
        SCOPED_TRACE(size);
        std::array<Vst::TChar, 20> buffer;
        buffer.fill(u'#');
        EXPECT_EQ(list->getString("s", buffer.data(), size), kResultOk);
        EXPECT_EQ(buffer[0], 0);
        EXPECT_EQ(buffer[1], u'#');
    }
}

TEST_F(AttributeListTest, StringIsCopiedUpToItsFirstZeroUnit) {
    char16_t given[] = u"ab\0cd";
    list->setString("s", given);
    given[0] = u'X';
    std::array<Vst::TChar, 8> buffer;
    buffer.fill(u'#');
    EXPECT_EQ(list->getString("s", buffer.data(), sizeof(buffer)), kResultOk);
    EXPECT_EQ(std::u16string(buffer.data()), u"ab");
}

TEST_F(AttributeListTest, EmptyBinaryReadsBackWithSizeZero) {
    const char bytes[] = {1};
    ASSERT_EQ(list->setBinary("empty", bytes, 0), kResultOk);
    ASSERT_EQ(list->setBinary("null", nullptr, 0), kResultOk);
    for (const char* id : {"empty", "null"}) {
        SCOPED_TRACE(id);
        const void* data = bytes;
        uint32 size = 99;
        EXPECT_EQ(list->getBinary(id, data, size), kResultOk);
        EXPECT_EQ(size, 0u);
    }
}

TEST_F(AttributeListTest, NullBinaryWithASizeIsRefusedAndKeepsTheOldValue) {
    const char bytes[] = {4, 5};
    list->setBinary("b", bytes, 2);
    EXPECT_EQ(list->setBinary("b", nullptr, 2), kInvalidArgument);
    const void* data = nullptr;
    uint32 size = 0;
    EXPECT_EQ(list->getBinary("b", data, size), kResultOk);
    ASSERT_EQ(size, 2u);
    EXPECT_EQ(std::memcmp(data, bytes, 2), 0);
}

TEST_F(AttributeListTest, BinaryIsTheListsOwnCopyAndStaysValidWhileOthersChange) {
    std::vector<char> given(100, 'a');
    list->setBinary("b", given.data(), static_cast<uint32>(given.size()));
    std::fill(given.begin(), given.end(), 'z');
    const void* data = nullptr;
    uint32 size = 0;
    ASSERT_EQ(list->getBinary("b", data, size), kResultOk);
    ASSERT_EQ(size, 100u);
    EXPECT_NE(data, given.data());
    // Other ids and other maps set meanwhile leave the pointer valid.
    for (int i = 0; i < 50; ++i) {
        const std::string id = "other" + std::to_string(i);
        list->setBinary(id.c_str(), given.data(), static_cast<uint32>(given.size()));
        list->setInt("b", i);
    }
    const auto* bytes = static_cast<const char*>(data);
    for (uint32 i = 0; i < size; ++i) ASSERT_EQ(bytes[i], 'a') << "byte " << i;
}

} // namespace
