#include "TarvelPluginBridge/PluginBridgeChannel.h"
#include "TarvelPluginBridge/PluginBridgeWrite.h"

#include <poll.h>
#include <sys/uio.h>
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

    // Header and JSON text in one buffer, built before the lock is taken, so
    // that the lock covers only the system calls. The payload (an audio block,
    // a state blob of many MiB) is not copied: both parts go out together in
    // one gathering write whenever the descriptor has room for them.
    std::string head;
    try {
        head.reserve(kHeaderBytes + json->size());
    } catch (const std::bad_alloc&) {
        return Failure::io(ENOMEM);
    }
    head.resize(kHeaderBytes);
    putUInt32(reinterpret_cast<std::uint8_t*>(head.data()), static_cast<std::uint32_t>(json->size()));
    putUInt32(reinterpret_cast<std::uint8_t*>(head.data()) + 4, static_cast<std::uint32_t>(payload.size()));
    head += *json;

    iovec parts[2] = {
        {head.data(), head.size()},
        {const_cast<std::uint8_t*>(payload.data()), payload.size()},
    };
    std::lock_guard<std::mutex> lock(writeLock_);
    return writeAll(parts, payload.empty() ? 1 : 2);
}

std::optional<Failure> PluginBridgeChannel::writeAll(iovec* parts, int count) const {
    const int error = pluginBridgeWriteAll(writeFD_, parts, count);
    if (error == 0) return std::nullopt;
    if (error == EPIPE) return Failure::closed();
    return Failure::io(error);
}

PluginBridgeExpected<PluginBridgeChannel::Frame, Failure>
PluginBridgeChannel::receive(std::optional<double> deadline, const std::function<bool()>& shouldStop) const {
    using Result = PluginBridgeExpected<Frame, Failure>;
    Frame frame;
    if (auto failure = receiveInto(frame, deadline, shouldStop)) return Result(pluginBridgeUnexpected(std::move(*failure)));
    return frame;
}

std::optional<Failure> PluginBridgeChannel::receiveInto(Frame& frame, std::optional<double> deadline,
                                                        const std::function<bool()>& shouldStop) const {
    try {
        std::vector<std::uint8_t> header;
        Region headerRegion{&header, kHeaderBytes};
        if (auto failure = readRegions(&headerRegion, 1, deadline, shouldStop)) return failure;
        const std::uint32_t jsonBytes = uint32At(header.data(), 0);
        const std::uint32_t payloadBytes = uint32At(header.data(), 4);
        // Summed in 64 bits: two 32-bit lengths cannot wrap around there.
        if (jsonBytes == 0 || std::uint64_t{jsonBytes} + payloadBytes > maximumFrameBytes) {
            return Failure::malformed("frame of " + std::to_string(jsonBytes) + "+" + std::to_string(payloadBytes) +
                                      " bytes");
        }

        // The JSON text and the payload in one go: a frame costs two reads
        // however large it is.
        std::vector<std::uint8_t> json;
        Region body[] = {{&json, jsonBytes}, {&frame.payload, payloadBytes}};
        if (payloadBytes == 0) frame.payload.clear();
        if (auto failure = readRegions(body, payloadBytes > 0 ? 2 : 1, deadline, shouldStop)) return failure;

        auto message = PluginBridgeMessage::fromJSON(
            std::string_view(reinterpret_cast<const char*>(json.data()), json.size()));
        if (!message) return Failure::malformed("decode: " + message.error());
        frame.message = std::move(*message);
        return std::nullopt;
    } catch (const std::bad_alloc&) {
        return Failure::io(ENOMEM);
    }
}

std::optional<Failure> PluginBridgeChannel::readRegions(Region* regions, std::size_t count,
                                                        const std::optional<double>& deadline,
                                                        const std::function<bool()>& shouldStop) const {
    // Only growth is cleared: a reused buffer of the right size costs nothing.
    for (std::size_t i = 0; i < count; ++i) regions[i].buffer->resize(std::min(regions[i].count, kWholeAllocationBytes));
    // A deadline or a stop callback is looked at before every read, even when
    // bytes are waiting. Without either, a read that blocks is the same wait
    // as poll() without time-out followed by the read, and saves a system call.
    const bool checkBeforeRead = deadline.has_value() || static_cast<bool>(shouldStop);
    bool mustWait = checkBeforeRead;
    std::size_t first = 0; // the first region not yet full
    for (;;) {
        while (first < count && regions[first].got == regions[first].count) ++first;
        if (first == count) return std::nullopt;

        iovec parts[2];
        int partCount = 0;
        for (std::size_t i = first; i < count && partCount < 2; ++i) {
            Region& r = regions[i];
            if (r.got == r.buffer->size()) r.buffer->resize(std::min(r.count, r.buffer->size() * 2));
            parts[partCount++] = {r.buffer->data() + r.got, r.buffer->size() - r.got};
            // Bytes past a buffer that has not grown to its region's size yet
            // still belong to that region, not to the next one.
            if (r.buffer->size() < r.count) break;
        }

        if (mustWait) {
            if (auto failure = waitReadable(deadline, shouldStop)) return failure;
        }
        const ssize_t n = ::readv(readFD_, parts, partCount);
        if (n > 0) {
            auto left = static_cast<std::size_t>(n);
            for (std::size_t i = first; i < count && left > 0; ++i) {
                Region& r = regions[i];
                const std::size_t taken = std::min(left, r.buffer->size() - r.got);
                r.got += taken;
                left -= taken;
            }
            mustWait = checkBeforeRead;
        } else if (n == 0) {
            return Failure::closed();
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            mustWait = true;
        } else if (errno == EINTR) {
            mustWait = checkBeforeRead;
        } else {
            return Failure::io(errno);
        }
    }
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
