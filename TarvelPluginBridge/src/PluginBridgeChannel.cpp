#include "TarvelPluginBridge/PluginBridgeChannel.h"
#include "TarvelPluginBridge/PluginBridgeWrite.h"

#include "PluginBridgeMessageCodec.h"

#include <fcntl.h>
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

// Holds a whole frame of a 4096-frame stereo block, and then some.
constexpr std::size_t kReadAheadBytes = std::size_t{64} << 10;

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
Failure Failure::tooManyInFlight() { return Failure(Kind::tooManyInFlight, {}, 0); }

std::string Failure::description() const {
    switch (kind_) {
    case Kind::malformed: return "the plug-in host sent an unreadable reply (" + detail_ + ")";
    case Kind::io: return "the plug-in host connection failed (errno " + std::to_string(errorNumber_) + ")";
    case Kind::closed: return "the plug-in host closed the connection";
    case Kind::timedOut: return "the plug-in did not answer in time";
    case Kind::cancelled: return "stopped";
    case Kind::tooManyInFlight: return "too many requests are waiting for their replies";
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

int PluginBridgeChannel::writeFD() const {
    std::lock_guard<std::mutex> lock(writeLock_);
    return writeFD_;
}

void PluginBridgeChannel::releaseWriteFD() {
    std::lock_guard<std::mutex> lock(writeLock_);
    writeFD_ = -1;
    writeReleased_ = true;
}

std::optional<Failure> PluginBridgeChannel::send(const PluginBridgeMessage& message,
                                                 std::span<const std::uint8_t> payload,
                                                 std::optional<double> deadline,
                                                 const std::function<bool()>& shouldStop) const {
    // Header and JSON text in one buffer per sending thread, built before the
    // lock is taken, so that the lock covers only the system calls; once it
    // has grown to the usual frames, sending allocates nothing. The payload
    // (an audio block, a state blob of many MiB) is not copied: both parts go
    // out together in one gathering write whenever the descriptor has room.
    thread_local std::string head;
    try {
        head.assign(kHeaderBytes, '\0');
        if (auto failure = pluginBridgeCodec::encodeInto(message, head)) return Failure::malformed("encode: " + *failure);
    } catch (const std::bad_alloc&) {
        return Failure::io(ENOMEM);
    }
    const std::size_t jsonBytes = head.size() - kHeaderBytes;
    constexpr std::size_t headerLimit = std::numeric_limits<std::uint32_t>::max();
    std::optional<Failure> refused;
    if (jsonBytes > headerLimit) {
        refused = Failure::malformed("encode: a JSON text of " + std::to_string(jsonBytes) +
                                     " bytes does not fit a frame");
    } else if (payload.size() > headerLimit) {
        refused = Failure::malformed("encode: a payload of " + std::to_string(payload.size()) +
                                     " bytes does not fit a frame");
    }
    if (!refused) {
        putUInt32(reinterpret_cast<std::uint8_t*>(head.data()), static_cast<std::uint32_t>(jsonBytes));
        putUInt32(reinterpret_cast<std::uint8_t*>(head.data()) + 4, static_cast<std::uint32_t>(payload.size()));
        iovec parts[2] = {
            {head.data(), head.size()},
            {const_cast<std::uint8_t*>(payload.data()), payload.size()},
        };
        std::lock_guard<std::mutex> lock(writeLock_);
        refused = writeAll(parts, payload.empty() ? 1 : 2, deadline, shouldStop);
    }
    // A rare huge text (a long parameter list) does not stay with the thread.
    if (head.capacity() > kWholeAllocationBytes) std::string().swap(head);
    return refused;
}

std::optional<Failure> PluginBridgeChannel::writeAll(iovec* parts, int count, const std::optional<double>& deadline,
                                                     const std::function<bool()>& shouldStop) const {
    // A released descriptor's number may already name something else.
    if (writeReleased_) return Failure::closed();
    PluginBridgeWriteLimits limits{deadline, shouldStop};
    std::size_t written = 0;
    const int error = pluginBridgeWriteAll(writeFD_, parts, count, limits, &written);
    if (error == 0) return std::nullopt;
    if (written > 0) sendInStep_ = false;
    switch (error) {
    case EPIPE: return Failure::closed();
    case ETIMEDOUT: return Failure::timedOut();
    case ECANCELED: return Failure::cancelled();
    default: return Failure::io(error);
    }
}

struct PluginBridgeChannel::Wait {
    const std::optional<double>& deadline;
    const std::function<bool()>& shouldStop;
    // A deadline or a stop callback is looked at before every read, even when
    // bytes are waiting. Without either, a read that blocks is the same wait
    // as poll() without time-out followed by the read, and saves a system call.
    bool checks;
    bool mustWait;
};

// Where the rest of a frame goes once its header is known.
struct PluginBridgeChannel::Body {
    std::uint32_t jsonBytes = 0;
    std::uint32_t payloadBytes = 0;
    std::uint8_t* json = nullptr;    // in the read-ahead or in jsonSpill_
    bool jsonInSpill = false;
    std::size_t jsonGot = 0;
    std::size_t payloadGot = 0;
    std::size_t tailAt = 0;          // where bytes past the frame land in the read-ahead
    bool headerTaken = false;        // from here on a failure leaves the stream out of step
};

PluginBridgeExpected<PluginBridgeChannel::Frame, Failure>
PluginBridgeChannel::receive(std::optional<double> deadline, const std::function<bool()>& shouldStop) const {
    using Result = PluginBridgeExpected<Frame, Failure>;
    Frame frame;
    if (auto failure = receiveInto(frame, deadline, shouldStop)) return Result(pluginBridgeUnexpected(std::move(*failure)));
    return frame;
}

int PluginBridgeChannel::enlargePipe(int fd, int bytes) {
#ifdef F_SETPIPE_SZ
    const int now = ::fcntl(fd, F_GETPIPE_SZ);
    if (now < 0) return -1;
    if (now >= bytes) return now;
    // Beyond what an unprivileged process may ask the call fails with EPERM;
    // the pipe keeps the size it had.
    if (::fcntl(fd, F_SETPIPE_SZ, bytes) < 0) return now;
    return ::fcntl(fd, F_GETPIPE_SZ);
#else
    (void)fd;
    (void)bytes;
    return -1;
#endif
}

std::optional<Failure> PluginBridgeChannel::receiveInto(Frame& frame, std::optional<double> deadline,
                                                        const std::function<bool()>& shouldStop) const {
    try {
        if (readAhead_.empty()) readAhead_.resize(kReadAheadBytes);
        const bool checks = deadline.has_value() || static_cast<bool>(shouldStop);
        Wait wait{deadline, shouldStop, checks, checks};
        // A frame already in the read-ahead needs no wait, but a stop request
        // still ends the receive first. A deadline only ends waits.
        if (shouldStop && aheadEnd_ > aheadBegin_ && shouldStop()) return Failure::cancelled();
        Body body;
        std::optional<Failure> failure = fillHeader(frame, wait, body);
        if (!failure) failure = readBody(frame, wait, body);
        if (failure) {
            if (body.headerTaken) receiveInStep_ = false;
            return failure;
        }

        // Into the frame's own message, whose texts and lists keep their memory.
        if (auto failure = pluginBridgeCodec::decodeInto(
                std::string_view(reinterpret_cast<const char*>(body.json), body.jsonBytes), frame.message)) {
            return Failure::malformed("decode: " + *failure);
        }
        return std::nullopt;
    } catch (const std::bad_alloc&) {
        return Failure::io(ENOMEM);
    }
}

std::optional<Failure> PluginBridgeChannel::readSome(iovec* parts, int count, Wait& wait, std::size_t& got) const {
    for (;;) {
        if (wait.mustWait) {
            if (auto failure = waitReadable(wait.deadline, wait.shouldStop)) return failure;
        }
        const ssize_t n = ::readv(readFD_, parts, count);
        if (n > 0) {
            got = static_cast<std::size_t>(n);
            wait.mustWait = wait.checks;
            return std::nullopt;
        }
        if (n == 0) return Failure::closed();
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            wait.mustWait = true;
        } else if (errno == EINTR) {
            wait.mustWait = wait.checks;
        } else {
            return Failure::io(errno);
        }
    }
}

std::optional<Failure> PluginBridgeChannel::fillHeader(Frame& frame, Wait& wait, Body& body) const {
    if (aheadBegin_ == aheadEnd_) aheadBegin_ = aheadEnd_ = 0;

    // Nothing read ahead, and the last frame had a payload that this frame's
    // buffer can hold: guess that this frame is laid out the same (a loop of
    // blocks of one size) and read its header and JSON text into the
    // read-ahead, its payload straight into place and whatever follows back
    // into the read-ahead, all with one read.
    const std::size_t guessHead = kHeaderBytes + std::size_t{lastJSONBytes_};
    const std::size_t guessPayload = lastPayloadBytes_;
    if (aheadEnd_ == 0 && guessPayload > 0 && frame.payload.size() >= guessPayload &&
        guessHead < readAhead_.size()) {
        std::uint8_t* ahead = readAhead_.data();
        iovec parts[3] = {
            {ahead, guessHead},
            {frame.payload.data(), guessPayload},
            {ahead + guessHead, readAhead_.size() - guessHead},
        };
        std::size_t n = 0;
        if (auto failure = readSome(parts, 3, wait, n)) return failure;
        if (n <= guessHead) {
            aheadEnd_ = n;
        } else {
            const std::size_t inPayload = std::min(n - guessHead, guessPayload);
            const std::size_t past = n - guessHead - inPayload;
            if (kHeaderBytes + std::size_t{uint32At(ahead, 0)} == guessHead && uint32At(ahead, 4) == guessPayload) {
                body.jsonBytes = lastJSONBytes_;
                body.payloadBytes = lastPayloadBytes_;
                body.json = ahead + kHeaderBytes;
                body.jsonGot = body.jsonBytes;
                body.payloadGot = inPayload;
                body.tailAt = guessHead;
                frame.payload.resize(guessPayload); // never larger: no allocation
                body.headerTaken = true;
                aheadBegin_ = guessHead;
                aheadEnd_ = guessHead + past;
                return std::nullopt;
            }
            // Guessed wrong: put the bytes back in the order they came.
            if (n > readAhead_.size()) readAhead_.resize(n);
            ahead = readAhead_.data();
            std::memmove(ahead + guessHead + inPayload, ahead + guessHead, past);
            std::memcpy(ahead + guessHead, frame.payload.data(), inPayload);
            aheadEnd_ = n;
        }
    }

    while (aheadEnd_ - aheadBegin_ < kHeaderBytes) {
        if (aheadBegin_ > 0) {
            std::memmove(readAhead_.data(), readAhead_.data() + aheadBegin_, aheadEnd_ - aheadBegin_);
            aheadEnd_ -= aheadBegin_;
            aheadBegin_ = 0;
        }
        iovec part{readAhead_.data() + aheadEnd_, readAhead_.size() - aheadEnd_};
        std::size_t n = 0;
        if (auto failure = readSome(&part, 1, wait, n)) return failure;
        aheadEnd_ += n;
    }
    const std::uint32_t jsonBytes = uint32At(readAhead_.data() + aheadBegin_, 0);
    const std::uint32_t payloadBytes = uint32At(readAhead_.data() + aheadBegin_, 4);
    // The header is taken; nothing past it is, when it is refused.
    aheadBegin_ += kHeaderBytes;
    body.headerTaken = true;
    // Summed in 64 bits: two 32-bit lengths cannot wrap around there.
    if (jsonBytes == 0 || std::uint64_t{jsonBytes} + payloadBytes > maximumFrameBytes) {
        return Failure::malformed("frame of " + std::to_string(jsonBytes) + "+" + std::to_string(payloadBytes) +
                                  " bytes");
    }
    body.jsonBytes = jsonBytes;
    body.payloadBytes = payloadBytes;
    return std::nullopt;
}

std::optional<Failure> PluginBridgeChannel::readBody(Frame& frame, Wait& wait, Body& body) const {
    const std::size_t jsonBytes = body.jsonBytes;
    const std::size_t payloadBytes = body.payloadBytes;
    lastJSONBytes_ = body.jsonBytes;
    lastPayloadBytes_ = body.payloadBytes;

    if (body.json == nullptr) {
        // Only growth is cleared: a reused buffer of the right size costs nothing.
        if (payloadBytes == 0) {
            frame.payload.clear();
        } else {
            frame.payload.resize(std::min(payloadBytes, std::max(kWholeAllocationBytes, frame.payload.size())));
        }
        std::size_t avail = aheadEnd_ - aheadBegin_;
        if (jsonBytes + kHeaderBytes <= readAhead_.size()) {
            // The JSON text stays in the read-ahead, where it is decoded.
            if (aheadBegin_ + jsonBytes > readAhead_.size()) {
                std::memmove(readAhead_.data(), readAhead_.data() + aheadBegin_, avail);
                aheadBegin_ = 0;
                aheadEnd_ = avail;
            }
            body.json = readAhead_.data() + aheadBegin_;
            body.jsonGot = std::min(avail, jsonBytes);
            body.tailAt = aheadBegin_ + jsonBytes;
            aheadBegin_ += body.jsonGot;
        } else {
            jsonSpill_.resize(std::min(jsonBytes, kWholeAllocationBytes));
            body.jsonInSpill = true;
            body.jsonGot = std::min(avail, jsonSpill_.size());
            std::memcpy(jsonSpill_.data(), readAhead_.data() + aheadBegin_, body.jsonGot);
            aheadBegin_ += body.jsonGot;
            body.json = jsonSpill_.data();
            body.tailAt = 0;
        }
        avail = aheadEnd_ - aheadBegin_;
        if (body.jsonGot == jsonBytes && avail > 0 && payloadBytes > 0) {
            const std::size_t taken = std::min(avail, frame.payload.size());
            std::memcpy(frame.payload.data(), readAhead_.data() + aheadBegin_, taken);
            aheadBegin_ += taken;
            body.payloadGot = taken;
        }
        if (body.jsonGot == jsonBytes && body.payloadGot == payloadBytes) return std::nullopt;
        // Every byte read ahead belongs to this frame and has been taken.
        aheadBegin_ = aheadEnd_ = body.tailAt;
    }

    while (body.jsonGot < jsonBytes || body.payloadGot < payloadBytes) {
        iovec parts[3];
        int count = 0;
        bool complete = true; // every buffer so far at its full size
        if (body.jsonGot < jsonBytes) {
            if (body.jsonInSpill && body.jsonGot == jsonSpill_.size()) {
                jsonSpill_.resize(std::min(jsonBytes, jsonSpill_.size() * 2));
                body.json = jsonSpill_.data();
            }
            const std::size_t size = body.jsonInSpill ? jsonSpill_.size() : jsonBytes;
            parts[count++] = {body.json + body.jsonGot, size - body.jsonGot};
            // Bytes past a buffer that has not grown to its full size yet
            // still belong to it, not to what follows.
            complete = size == jsonBytes;
        }
        if (complete && body.payloadGot < payloadBytes) {
            if (body.payloadGot == frame.payload.size()) {
                frame.payload.resize(std::min(payloadBytes, frame.payload.size() * 2));
            }
            parts[count++] = {frame.payload.data() + body.payloadGot, frame.payload.size() - body.payloadGot};
            complete = frame.payload.size() == payloadBytes;
        }
        if (complete && body.tailAt < readAhead_.size()) {
            parts[count++] = {readAhead_.data() + body.tailAt, readAhead_.size() - body.tailAt};
        }
        std::size_t n = 0;
        if (auto failure = readSome(parts, count, wait, n)) return failure;
        int i = 0;
        if (body.jsonGot < jsonBytes) {
            const std::size_t taken = std::min(n, parts[i++].iov_len);
            body.jsonGot += taken;
            n -= taken;
        }
        if (n > 0 && body.payloadGot < payloadBytes) {
            const std::size_t taken = std::min(n, parts[i++].iov_len);
            body.payloadGot += taken;
            n -= taken;
        }
        // Whatever is left came after the frame.
        aheadEnd_ += n;
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
            // A deadline that has passed still lets through what is there
            // already: poll() with no time looks first.
            const double remaining = std::max(0.0, *deadline - now());
            const double slice = shouldStop ? kStopSliceMs : kDeadlineSliceMs;
            timeoutMs = static_cast<int>(std::ceil(std::min(slice, remaining * 1000)));
        }
        pollfd p{readFD_, POLLIN, 0};
        const int r = ::poll(&p, 1, timeoutMs);
        // Readable, hang-up or error alike: the read that follows tells which.
        if (r > 0) return std::nullopt;
        if (r < 0 && errno != EINTR) return Failure::io(errno);
        if (r == 0 && deadline && *deadline - now() <= 0) return Failure::timedOut();
    }
}
