// Messages between a plug-in's two halves: the id rules and how long the
// message's attribute list lives.
#include "tv3/AttributeList.h"
#include "tv3/Message.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace Steinberg;

namespace {

class MessageTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (message) {
            EXPECT_EQ(message->release(), 0u);
        }
    }
    tv3::Message* message = new tv3::Message();
};

TEST_F(MessageTest, IdIsNullUntilSetAndNullAgainWhenCleared) {
    EXPECT_EQ(message->getMessageID(), nullptr);
    message->setMessageID("abc");
    ASSERT_NE(message->getMessageID(), nullptr);
    EXPECT_STREQ(message->getMessageID(), "abc");
    message->setMessageID(nullptr);
    EXPECT_EQ(message->getMessageID(), nullptr);
    message->setMessageID("xy");
    message->setMessageID("");
    EXPECT_EQ(message->getMessageID(), nullptr) << "an empty id reads as no id";
}

TEST_F(MessageTest, IdIsACopyOfWhatWasGiven) {
    char given[] = "Level";
    message->setMessageID(given);
    std::strcpy(given, "XXXXX");
    EXPECT_STREQ(message->getMessageID(), "Level");
    EXPECT_NE(message->getMessageID(), given);
    message->setMessageID("a much longer id than the first one");
    EXPECT_STREQ(message->getMessageID(), "a much longer id than the first one");
}

TEST_F(MessageTest, AttributesAreTheSameListEveryTimeAndNotCounted) {
    Vst::IAttributeList* list = message->getAttributes();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(message->getAttributes(), list);
    // Only the message's own reference: getAttributes adds none.
    EXPECT_EQ(list->addRef(), 2u);
    EXPECT_EQ(list->release(), 1u);
    list->setFloat("gain", 0.5);
    double value = 0;
    EXPECT_EQ(message->getAttributes()->getFloat("gain", value), kResultOk);
    EXPECT_EQ(value, 0.5);
}

TEST_F(MessageTest, AttributeListKeptByThePlugInOutlivesTheMessage) {
    Vst::IAttributeList* list = message->getAttributes();
    list->addRef();
    list->setInt("kept", 11);
    EXPECT_EQ(message->release(), 0u);
    message = nullptr;
    // Still alive on the plug-in's own reference (AddressSanitizer would see a
    // use after free otherwise).
    int64 value = 0;
    EXPECT_EQ(list->getInt("kept", value), kResultOk);
    EXPECT_EQ(value, 11);
    EXPECT_EQ(list->release(), 0u);
}

TEST_F(MessageTest, AnswersOnlyIMessageAndFUnknown) {
    void* obj = nullptr;
    EXPECT_EQ(message->queryInterface(Vst::IAttributeList_iid, &obj), kNoInterface);
    EXPECT_EQ(obj, nullptr);
}

} // namespace
