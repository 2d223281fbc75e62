// The blocking full write shared by the channel and the scan report.
#include "ChannelTestSupport.h"

#include "TarvelPluginBridge/PluginBridgeWrite.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace {

std::vector<std::uint8_t> pattern(std::size_t size, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
    return bytes;
}

// Far more than a pipe holds, in parts of odd sizes (an empty one among them),
// to a non-blocking pipe whose reader takes small bites with pauses: the writer
// meets a full pipe again and again and must wait, not fail or drop bytes.
TEST(WriteAll, EveryByteReachesASlowReaderInOrder) {
    Conduit conduit(ConduitKind::pipe);
    ASSERT_EQ(::fcntl(conduit.writeEnd(), F_SETFL, O_NONBLOCK), 0);
    const std::vector<std::vector<std::uint8_t>> parts = {pattern(3, 1), pattern(0, 2), pattern(200000, 3),
                                                          pattern(70001, 4), pattern(1, 5)};
    std::vector<std::uint8_t> expected;
    std::vector<iovec> iov;
    for (const auto& p : parts) {
        expected.insert(expected.end(), p.begin(), p.end());
        iov.push_back({const_cast<std::uint8_t*>(p.data()), p.size()});
    }

    std::vector<std::uint8_t> received;
    std::thread reader([&] {
        std::uint8_t bite[4093];
        for (;;) {
            const ssize_t n = ::read(conduit.readEnd(), bite, sizeof bite);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            received.insert(received.end(), bite, bite + n);
            if (received.size() % 5 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    const int error = pluginBridgeWriteAll(conduit.writeEnd(), iov.data(), static_cast<int>(iov.size()));
    conduit.closeWriteEnd();
    reader.join();
    EXPECT_EQ(error, 0);
    ASSERT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected) << "bytes arrived out of order or changed";
}

TEST(WriteAll, ContiguousBytesToASlowReader) {
    Conduit conduit(ConduitKind::socketPair);
    ASSERT_EQ(::fcntl(conduit.writeEnd(), F_SETFL, O_NONBLOCK), 0);
    const auto bytes = pattern(1 << 20, 9);
    std::vector<std::uint8_t> received;
    std::thread reader([&] { received = conduit.take(bytes.size()); });
    EXPECT_EQ(pluginBridgeWriteAll(conduit.writeEnd(), bytes.data(), bytes.size()), 0);
    reader.join();
    EXPECT_TRUE(received == bytes);
}

TEST(WriteAll, FailuresGiveTheirErrno) {
    ::signal(SIGPIPE, SIG_IGN);
    Conduit conduit(ConduitKind::pipe);
    conduit.closeReadEnd();
    const auto bytes = pattern(10, 1);
    EXPECT_EQ(pluginBridgeWriteAll(conduit.writeEnd(), bytes.data(), bytes.size()), EPIPE);
    EXPECT_EQ(pluginBridgeWriteAll(-1, bytes.data(), bytes.size()), EBADF);
    // Nothing to write is done at once, even on a descriptor that is no good.
    EXPECT_EQ(pluginBridgeWriteAll(-1, bytes.data(), 0), 0);
}

} // namespace
