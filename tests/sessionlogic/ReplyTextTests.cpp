// Texts that go into replies are made valid UTF-8 first.
#include "ReplyText.h"
#include "TarvelPluginBridge/PluginBridgeText.h"

#include <gtest/gtest.h>

namespace {

TEST(ReplyText, EveryTextBecomesEncodable) {
    PluginBridgeMessage m = PluginBridgeMessage::reply(std::string("cut \xE2\x82"));
    PluginBridgeParameter p;
    p.title = "lone \xED\xA0\x80 surrogate";
    p.units = "\xFF";
    p.display = "fine \xC3\xA9";
    m.parameters = std::vector<PluginBridgeParameter>{p};
    // As it stands, the reply cannot be encoded.
    ASSERT_FALSE(m.toJSON());

    makeRepliedTextsValid(m);
    ASSERT_TRUE(m.toJSON());
    EXPECT_EQ(*m.error, "cut \xEF\xBF\xBD");
    const PluginBridgeParameter& q = m.parameters->front();
    EXPECT_TRUE(isValidUTF8(q.title));
    EXPECT_NE(q.title.find("\xEF\xBF\xBD"), std::string::npos);
    EXPECT_EQ(q.units, "\xEF\xBF\xBD");
    EXPECT_EQ(q.display, "fine \xC3\xA9"); // valid text is left as it is
}

} // namespace
