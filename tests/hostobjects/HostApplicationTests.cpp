// The context object a plug-in receives in initialize: its name, and the
// messages and attribute lists it makes on request.
#include "tv3/HostApplication.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

using namespace Steinberg;

namespace {

std::u16string unitsBefore(const Vst::TChar* text, std::size_t limit) {
    std::u16string out;
    for (std::size_t i = 0; i < limit && text[i] != 0; ++i) out.push_back(text[i]);
    return out;
}

TEST(HostApplicationName, IsWrittenWithOneZeroUnitAndNothingBeyond) {
    auto* host = new tv3::HostApplication();
    Vst::String128 name;
    for (auto& unit : name) unit = 0xFFFF;
    EXPECT_EQ(host->getName(name), kResultOk);
    EXPECT_EQ(unitsBefore(name, 128), u"Mossbeck Quor");
    EXPECT_EQ(name[13], 0);
    EXPECT_EQ(name[14], 0xFFFF) << "only the name and its zero unit are written";
    host->release();
}

TEST(HostApplicationName, NullBufferIsRefused) {
    auto* host = new tv3::HostApplication();
    EXPECT_EQ(host->getName(nullptr), kInvalidArgument);
    host->release();
}

enum class Made { nothing, message, attributeList };

struct CreateCase {
    const char* name;
    const int8* cid; // null stands for a null argument
    const int8* iid;
    tresult result;
    Made made;
};

void PrintTo(const CreateCase& c, std::ostream* out) { *out << c.name; }

class HostApplicationCreate : public ::testing::TestWithParam<CreateCase> {};

TEST_P(HostApplicationCreate, MakesOnlyTheMatchingPairs) {
    const CreateCase& c = GetParam();
    auto* host = new tv3::HostApplication();
    TUID cid{};
    TUID iid{};
    if (c.cid) std::memcpy(cid, c.cid, sizeof(TUID));
    if (c.iid) std::memcpy(iid, c.iid, sizeof(TUID));
    int sentinel = 0;
    void* obj = &sentinel;
    EXPECT_EQ(host->createInstance(c.cid ? cid : nullptr, c.iid ? iid : nullptr, &obj), c.result);
    switch (c.made) {
    case Made::nothing:
        EXPECT_EQ(obj, nullptr);
        break;
    case Made::message: {
        ASSERT_NE(obj, nullptr);
        auto* message = static_cast<Vst::IMessage*>(obj);
        // A working, empty message with an attribute list of its own.
        EXPECT_EQ(message->getMessageID(), nullptr);
        ASSERT_NE(message->getAttributes(), nullptr);
        EXPECT_EQ(message->getAttributes()->setInt("k", 1), kResultOk);
        void* asked = nullptr;
        EXPECT_EQ(message->queryInterface(Vst::IMessage_iid, &asked), kResultOk);
        EXPECT_EQ(asked, obj);
        message->release();
        EXPECT_EQ(message->release(), 0u) << "the caller owns the one reference";
        break;
    }
    case Made::attributeList: {
        ASSERT_NE(obj, nullptr);
        auto* list = static_cast<Vst::IAttributeList*>(obj);
        int64 value = 7;
        EXPECT_EQ(list->getInt("k", value), kResultFalse) << "a new list is empty";
        EXPECT_EQ(list->setInt("k", 3), kResultOk);
        EXPECT_EQ(list->getInt("k", value), kResultOk);
        EXPECT_EQ(value, 3);
        void* asked = nullptr;
        EXPECT_EQ(list->queryInterface(Vst::IAttributeList_iid, &asked), kResultOk);
        EXPECT_EQ(asked, obj);
        list->release();
        EXPECT_EQ(list->release(), 0u) << "the caller owns the one reference";
        break;
    }
    }
    EXPECT_EQ(host->release(), 0u);
}

const CreateCase kCreateCases[] = {
    {"MessageMessage", Vst::IMessage_iid, Vst::IMessage_iid, kResultOk, Made::message},
    {"AttributeListAttributeList", Vst::IAttributeList_iid, Vst::IAttributeList_iid, kResultOk, Made::attributeList},
    {"MessageAsAttributeList", Vst::IMessage_iid, Vst::IAttributeList_iid, kResultFalse, Made::nothing},
    {"AttributeListAsMessage", Vst::IAttributeList_iid, Vst::IMessage_iid, kResultFalse, Made::nothing},
    {"MessageAsFUnknown", Vst::IMessage_iid, FUnknown_iid, kResultFalse, Made::nothing},
    {"AttributeListAsFUnknown", Vst::IAttributeList_iid, FUnknown_iid, kResultFalse, Made::nothing},
    {"FUnknownAsMessage", FUnknown_iid, Vst::IMessage_iid, kResultFalse, Made::nothing},
    {"HostApplicationItself", Vst::IHostApplication_iid, Vst::IHostApplication_iid, kResultFalse, Made::nothing},
    {"StreamPair", IBStream_iid, IBStream_iid, kResultFalse, Made::nothing},
    {"NullClassId", nullptr, Vst::IMessage_iid, kResultFalse, Made::nothing},
    {"NullInterfaceId", Vst::IMessage_iid, nullptr, kResultFalse, Made::nothing},
};

INSTANTIATE_TEST_SUITE_P(Pairs, HostApplicationCreate, ::testing::ValuesIn(kCreateCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HostApplicationCreateInstance, NullOutputIsRefused) {
    auto* host = new tv3::HostApplication();
    TUID id;
    std::memcpy(id, Vst::IMessage_iid, sizeof(TUID));
    EXPECT_EQ(host->createInstance(id, id, nullptr), kInvalidArgument);
    host->release();
}

TEST(HostApplicationCreateInstance, EveryMessageHasItsOwnAttributeList) {
    auto* host = new tv3::HostApplication();
    TUID id;
    std::memcpy(id, Vst::IMessage_iid, sizeof(TUID));
    void* first = nullptr;
    void* second = nullptr;
    ASSERT_EQ(host->createInstance(id, id, &first), kResultOk);
    ASSERT_EQ(host->createInstance(id, id, &second), kResultOk);
    auto* a = static_cast<Vst::IMessage*>(first);
    auto* b = static_cast<Vst::IMessage*>(second);
    EXPECT_NE(a, b);
    EXPECT_NE(a->getAttributes(), b->getAttributes());
    a->getAttributes()->setInt("shared", 1);
    int64 value = 0;
    EXPECT_EQ(b->getAttributes()->getInt("shared", value), kResultFalse);
    a->release();
    b->release();
    host->release();
}

} // namespace
