// The dispatcher and the request thread, with a fake main loop: which op goes
// where, what each answers without an instance, and that "status" and the
// audio blocks never need the main loop.
#include "SessionHarness.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

using Op = PluginBridgeMessage::Op;

PluginBridgeMessage op(Op o) { return PluginBridgeMessage::init(o); }

// Reads `count` replies on a thread of the test's own while this thread serves
// the main loop the requests wait for; fewer when one does not come in time.
std::vector<PluginBridgeMessage> receiveWhilePumping(SessionHarness& h, int count) {
    std::vector<PluginBridgeMessage> replies;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        for (int i = 0; i < count; ++i) {
            auto got = h.parentChannel->receive(PluginBridgeChannel::now() + 10);
            if (!got) break;
            replies.push_back(got->message);
        }
        done = true;
    });
    h.loop.pumpUntil([&] { return done.load(); });
    reader.join();
    return replies;
}

struct NoInstanceCase {
    Op op;
    std::optional<std::string> error;
};

TEST(SessionRouting, EveryRequestWithoutAnInstance) {
    const NoInstanceCase cases[] = {
        {Op::open, "the request named no plug-in"},
        {Op::loadState, "no instance is open"},
        {Op::saveState, "no instance is open"},
        {Op::process, "no instance is open"},
        {Op::parameters, "no instance is open"},
        {Op::setParameter, "no instance is open"},
        {Op::openEditor, "no instance is open"},
        {Op::closeEditor, std::nullopt},
        {Op::raiseEditor, std::nullopt},
        {Op::reply, std::nullopt},
    };
    SessionHarness h;
    for (const NoInstanceCase& c : cases) {
        SCOPED_TRACE(std::string(pluginBridgeOpName(c.op)));
        const PluginBridgeChannel::Frame reply = h.request(op(c.op));
        // A failure or a plain reply carries nothing but its op and its error.
        EXPECT_EQ(reply.message, PluginBridgeMessage::reply(c.error));
        EXPECT_TRUE(reply.payload.empty());
    }
    EXPECT_EQ(h.endings.load(), 0);
    EXPECT_EQ(h.backstops.load(), 0);
}

TEST(SessionRouting, StatusIsAnsweredWithoutTheMainLoop) {
    SessionHarness h;
    // Nothing pumps the loop here: the reply must come from the request thread.
    ASSERT_FALSE(h.parentChannel->send(op(Op::status)));
    auto first = h.parentChannel->receive(PluginBridgeChannel::now() + 5);
    ASSERT_TRUE(first) << first.error().description();
    EXPECT_EQ(first->message.op, Op::reply);
    EXPECT_EQ(first->message.editCount, 0);
    EXPECT_EQ(first->message.editorOpen, false);
    EXPECT_FALSE(first->message.error);

    h.session->status().addEdits(3);
    h.session->status().addEdits(-5); // a negative count lowers nothing
    ASSERT_FALSE(h.parentChannel->send(op(Op::status)));
    auto second = h.parentChannel->receive(PluginBridgeChannel::now() + 5);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->message.editCount, 3);

    ASSERT_FALSE(h.parentChannel->send(op(Op::status)));
    auto third = h.parentChannel->receive(PluginBridgeChannel::now() + 5);
    ASSERT_TRUE(third);
    EXPECT_EQ(third->message.editCount, 0); // each edit reported once
    EXPECT_EQ(third->message.editorOpen, false);
}

TEST(SessionRouting, RepliesComeInRequestOrderWithStatusBetween) {
    SessionHarness h;
    // Three requests written at once: status must not overtake the ones
    // before it, which wait for the main loop.
    ASSERT_FALSE(h.parentChannel->send(op(Op::parameters)));
    ASSERT_FALSE(h.parentChannel->send(op(Op::status)));
    ASSERT_FALSE(h.parentChannel->send(op(Op::reply)));
    const std::vector<PluginBridgeMessage> replies = receiveWhilePumping(h, 3);
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[0].error, "no instance is open");
    EXPECT_TRUE(replies[1].editCount.has_value());
    EXPECT_EQ(replies[2], PluginBridgeMessage::reply());
}

TEST(SessionRouting, ProcessIsServedOnTheRequestThreadWithoutTheMainLoop) {
    SessionHarness h;
    const int postsBefore = h.loop.posts();
    // Nothing pumps the loop here: the reply must come from the request thread.
    ASSERT_FALSE(h.parentChannel->send(op(Op::process)));
    auto reply = h.parentChannel->receive(PluginBridgeChannel::now() + 5);
    ASSERT_TRUE(reply) << reply.error().description();
    EXPECT_EQ(reply->message, PluginBridgeMessage::reply(std::string("no instance is open")));
    EXPECT_EQ(h.loop.posts(), postsBefore) << "a block was handed to the main loop";
}

TEST(SessionRouting, ABlockWaitsForTheMainThreadRequestBeforeIt) {
    SessionHarness h;
    // Written at once: the block, served on the request thread, must not
    // overtake the request before it, which waits for the main loop.
    ASSERT_FALSE(h.parentChannel->send(op(Op::closeEditor)));
    ASSERT_FALSE(h.parentChannel->send(op(Op::process)));
    const std::vector<PluginBridgeMessage> replies = receiveWhilePumping(h, 2);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0], PluginBridgeMessage::reply());
    EXPECT_EQ(replies[1], PluginBridgeMessage::reply(std::string("no instance is open")));
}

TEST(SessionRouting, AGoneSessionAnswersThatTheHostIsClosing) {
    SessionHarness h;
    // The request thread holds the session only weakly.
    std::shared_ptr<HelperSession> kept = std::move(h.session);
    HelperSession::setCurrent(nullptr);
    std::weak_ptr<HelperSession> weak = kept;
    kept.reset();
    ASSERT_TRUE(weak.expired());

    ASSERT_FALSE(h.parentChannel->send(op(Op::parameters)));
    std::atomic<bool> done{false};
    std::optional<PluginBridgeChannel::Frame> reply;
    std::thread reader([&] {
        auto got = h.parentChannel->receive(PluginBridgeChannel::now() + 10);
        if (got) reply = std::move(*got);
        done = true;
    });
    h.loop.pumpUntil([&] { return done.load(); });
    reader.join();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->message, PluginBridgeMessage::reply(std::string("the host is closing")));
    const int postsBefore = h.loop.posts();
    h.closeParentWrite();
    // The thread still ends by itself at the end of input: its last act is
    // queueing the shutdown, which finds no session and does nothing.
    EXPECT_TRUE(h.loop.pumpUntil([&] { return h.loop.posts() > postsBefore; }));
    h.loop.pumpPending();
    EXPECT_EQ(h.backstops.load(), 1);
    EXPECT_EQ(h.endings.load(), 0);
}

TEST(SessionRouting, StartWatchesTheParentAndPollsEditsFiveTimesASecond) {
    SessionHarness h(31337);
    h.loop.pumpPending(); // the watch is set up on the watching loop
    const auto watches = h.loop.exitWatches();
    ASSERT_EQ(watches.size(), 1u);
    EXPECT_EQ(watches.begin()->second.pid, 31337);
    const auto timers = h.loop.timers();
    ASSERT_EQ(timers.size(), 1u);
    EXPECT_EQ(timers.begin()->second.interval, std::chrono::milliseconds(200));
    // A tick with no instance only reads the editor state.
    timers.begin()->second.tick();
    EXPECT_EQ(h.session->status().take().editorOpen, false);
}

} // namespace
