#include "TarvelPluginBridge/PluginBridgeChannel.h"

#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

static_assert(std::endian::native == std::endian::little,
              "frame headers are copied as little-endian numbers");

namespace {

using Failure = PluginBridgeChannel::Failure;

constexpr std::size_t kHeaderBytes = 8;

// While nothing arrives, a stop callback is asked at least this often; without
// one a deadline is still looked at once a minute.
constexpr double kStopSliceMs = 250;
constexpr double kDeadlineSliceMs = 60000;

// A header may announce up to 256 MiB. Buffers up to this size are allocated
// whole; beyond it they grow as the bytes come in, so that a header that lies
// about its size costs no more memory than the bytes actually sent.
constexpr std::size_t kWholeAllocationBytes = std::size_t{1} << 20;

std::uint32_t uint32At(const std::uint8_t* bytes, std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, bytes + at, sizeof v);
    return v;
}

void putUInt32(std::uint8_t* bytes, std::uint32_t v) {
    std::memcpy(bytes, &v, sizeof v);
}

} // namespace

// ---- Failure ----------------------------------------------------------------

Failure Failure::malformed(std::string detail) { return Failure(Kind::malformed, std::move(detail), 0); }
Failure Failure::io(int errorNumber) { return Failure(Kind::io, {}, errorNumber); }
Failure Failure::closed() { return Failure(Kind::closed, {}, 0); }
Failure Failure::timedOut() { return Failure(Kind::timedOut, {}, 0); }
Failure Failure::cancelled() { return Failure(Kind::cancelled, {}, 0); }

std::string Failure::description() const {
    switch (kind_) {
    case Kind::malformed: return "the plug-in host sent an unreadable reply (" + detail_ + ")";
    case Kind::io: return "the plug-in host connection failed (errno " + std::to_string(errorNumber_) + ")";
    case Kind::closed: return "the plug-in host closed the connection";
    case Kind::timedOut: return "the plug-in did not answer in time";
    case Kind::cancelled: return "stopped";
    }
    return "stopped";
}

// ---- Channel ----------------------------------------------------------------

PluginBridgeChannel::PluginBridgeChannel(int readFD, int writeFD) : readFD_(readFD), writeFD_(writeFD) {
    ::signal(SIGPIPE, SIG_IGN);
}

double PluginBridgeChannel::now() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::optional<Failure> PluginBridgeChannel::send(const PluginBridgeMessage& message,
                                                 std::span<const std::uint8_t> payload) const {
    auto json = message.toJSON();
    if (!json) return Failure::malformed("encode: " + json.error());
    constexpr std::size_t headerLimit = std::numeric_limits<std::uint32_t>::max();
    if (json->size() > headerLimit) {
        return Failure::malformed("encode: a JSON text of " + std::to_string(json->size()) +
                                  " bytes does not fit a frame");
    }
    if (payload.size() > headerLimit) {
        return Failure::malformed("encode: a payload of " + std::to_string(payload.size()) +
                                  " bytes does not fit a frame");
    }

    // One buffer, built before the lock is taken, so that the lock covers only
    // the system calls and the frame goes out in as few writes as possible.
    std::vector<std::uint8_t> frame;
    try {
        frame.resize(kHeaderBytes + json->size() + payload.size());
    } catch (const std::bad_alloc&) {
        return Failure::io(ENOMEM);
    }
    putUInt32(frame.data(), static_cast<std::uint32_t>(json->size()));
    putUInt32(frame.data() + 4, static_cast<std::uint32_t>(payload.size()));
    std::memcpy(frame.data() + kHeaderBytes, json->data(), json->size());
    if (!payload.empty()) std::memcpy(frame.data() + kHeaderBytes + json->size(), payload.data(), payload.size());

    std::lock_guard<std::mutex> lock(writeLock_);
    return writeAll(frame.data(), frame.size());
}

std::optional<Failure> PluginBridgeChannel::writeAll(const std::uint8_t* bytes, std::size_t count) const {
    std::size_t written = 0;
    while (written < count) {
        const ssize_t n = ::write(writeFD_, bytes + written, count - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0 || errno == EINTR) continue;
        if (errno == EPIPE) return Failure::closed();
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // A non-blocking descriptor whose pipe is full: wait for room
            // rather than give up half-way through a frame.
            pollfd p{writeFD_, POLLOUT, 0};
            if (::poll(&p, 1, -1) < 0 && errno != EINTR) return Failure::io(errno);
            continue;
        }
        return Failure::io(errno);
    }
    return std::nullopt;
}

PluginBridgeExpected<PluginBridgeChannel::Frame, Failure>
PluginBridgeChannel::receive(std::optional<double> deadline, const std::function<bool()>& shouldStop) const {
    using Result = PluginBridgeExpected<Frame, Failure>;
    try {
        std::vector<std::uint8_t> header;
        if (auto failure = readExactly(header, kHeaderBytes, deadline, shouldStop)) {
            return Result(pluginBridgeUnexpected(std::move(*failure)));
        }
        const std::uint32_t jsonBytes = uint32At(header.data(), 0);
        const std::uint32_t payloadBytes = uint32At(header.data(), 4);
        // Summed in 64 bits: two 32-bit lengths cannot wrap around there.
        if (jsonBytes == 0 || std::uint64_t{jsonBytes} + payloadBytes > maximumFrameBytes) {
            return Result(pluginBridgeUnexpected(Failure::malformed(
                "frame of " + std::to_string(jsonBytes) + "+" + std::to_string(payloadBytes) + " bytes")));
        }

        std::vector<std::uint8_t> json;
        if (auto failure = readExactly(json, jsonBytes, deadline, shouldStop)) {
            return Result(pluginBridgeUnexpected(std::move(*failure)));
        }
        Frame frame;
        if (payloadBytes > 0) {
            if (auto failure = readExactly(frame.payload, payloadBytes, deadline, shouldStop)) {
                return Result(pluginBridgeUnexpected(std::move(*failure)));
            }
        }

        auto message = PluginBridgeMessage::fromJSON(
            std::string_view(reinterpret_cast<const char*>(json.data()), json.size()));
        if (!message) return Result(pluginBridgeUnexpected(Failure::malformed("decode: " + message.error())));
        frame.message = std::move(*message);
        return frame;
    } catch (const std::bad_alloc&) {
        return Result(pluginBridgeUnexpected(Failure::io(ENOMEM)));
    }
}

std::optional<Failure> PluginBridgeChannel::readExactly(std::vector<std::uint8_t>& into, std::size_t count,
                                                        const std::optional<double>& deadline,
                                                        const std::function<bool()>& shouldStop) const {
    into.assign(std::min(count, kWholeAllocationBytes), 0);
    std::size_t got = 0;
    while (got < count) {
        if (got == into.size()) into.resize(std::min(count, into.size() * 2));
        if (auto failure = waitReadable(deadline, shouldStop)) return failure;
        const ssize_t n = ::read(readFD_, into.data() + got, into.size() - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n == 0) {
            return Failure::closed();
        } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            return Failure::io(errno);
        }
    }
    return std::nullopt;
}

std::optional<Failure> PluginBridgeChannel::waitReadable(const std::optional<double>& deadline,
                                                         const std::function<bool()>& shouldStop) const {
    // poll() skips a negative descriptor instead of failing, which would turn
    // a wait without deadline into a wait for ever.
    if (readFD_ < 0) return Failure::io(EBADF);
    for (;;) {
        int timeoutMs = -1;
        if (shouldStop) {
            if (shouldStop()) return Failure::cancelled();
            timeoutMs = static_cast<int>(kStopSliceMs);
        }
        if (deadline) {
            const double remaining = *deadline - now();
            if (remaining <= 0) return Failure::timedOut();
            const double slice = shouldStop ? kStopSliceMs : kDeadlineSliceMs;
            timeoutMs = static_cast<int>(std::ceil(std::min(slice, remaining * 1000)));
        }
        pollfd p{readFD_, POLLIN, 0};
        const int r = ::poll(&p, 1, timeoutMs);
        // Readable, hang-up or error alike: the read that follows tells which.
        if (r > 0) return std::nullopt;
        if (r < 0 && errno != EINTR) return Failure::io(errno);
    }
}
