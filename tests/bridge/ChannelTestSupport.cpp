#include "ChannelTestSupport.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

Conduit::Conduit(ConduitKind kind) {
    int fds[2] = {-1, -1};
    if (kind == ConduitKind::pipe) {
        if (::pipe(fds) != 0) ADD_FAILURE() << "pipe failed: errno " << errno;
        readEnd_ = fds[0];
        writeEnd_ = fds[1];
    } else {
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) ADD_FAILURE() << "socketpair failed: errno " << errno;
        writeEnd_ = fds[0];
        readEnd_ = fds[1];
    }
}

Conduit::~Conduit() {
    closeReadEnd();
    closeWriteEnd();
}

void Conduit::closeReadEnd() {
    if (readEnd_ >= 0) ::close(readEnd_);
    readEnd_ = -1;
}

void Conduit::closeWriteEnd() {
    if (writeEnd_ >= 0) ::close(writeEnd_);
    writeEnd_ = -1;
}

void Conduit::put(const std::vector<std::uint8_t>& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(writeEnd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ASSERT_GT(n, 0) << "write failed: errno " << errno;
        done += static_cast<std::size_t>(n);
    }
}

void Conduit::put(const std::string& bytes) const {
    put(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

std::vector<std::uint8_t> Conduit::take(std::size_t count) const {
    std::vector<std::uint8_t> bytes(count);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(readEnd_, bytes.data() + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ADD_FAILURE() << "read ended after " << done << " of " << count << " bytes";
            bytes.resize(done);
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return bytes;
}

bool Conduit::hasWaitingBytes() const {
    pollfd p{readEnd_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

std::string conduitKindName(ConduitKind kind) {
    return kind == ConduitKind::pipe ? "pipe" : "socketPair";
}

std::vector<std::uint8_t> frameHeader(std::uint32_t jsonBytes, std::uint32_t payloadBytes) {
    std::vector<std::uint8_t> h;
    for (std::uint32_t v : {jsonBytes, payloadBytes}) {
        for (int i = 0; i < 4; ++i) h.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    return h;
}

std::vector<std::uint8_t> rawFrame(const std::string& json, const std::vector<std::uint8_t>& payload) {
    auto frame = frameHeader(static_cast<std::uint32_t>(json.size()), static_cast<std::uint32_t>(payload.size()));
    frame.insert(frame.end(), json.begin(), json.end());
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}
