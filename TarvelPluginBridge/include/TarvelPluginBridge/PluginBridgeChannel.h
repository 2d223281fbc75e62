// Frames of one message and its payload over a pair of descriptors. The same
// type serves both ends: the parent waits for replies with a deadline and a
// stop callback, the helper waits for requests without either.
#pragma once

#include "TarvelPluginBridge/PluginBridgeExpected.h"
#include "TarvelPluginBridge/PluginBridgeMessage.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

struct iovec;

// Frame layout: N (JSON length) and P (payload length) as unsigned 32-bit
// little-endian numbers, the JSON text, the payload.
class PluginBridgeChannel {
public:
    // Why a send or receive failed. The texts are worded from the parent's side
    // and are the same on both ends.
    class Failure {
    public:
        // tooManyInFlight is the client's refusal to send beyond its limit
        // of outstanding requests; nothing was sent and nothing is lost.
        enum class Kind { malformed, io, closed, timedOut, cancelled, tooManyInFlight };

        static Failure malformed(std::string detail);
        static Failure io(int errorNumber);
        static Failure closed();
        static Failure timedOut();
        static Failure cancelled();
        static Failure tooManyInFlight();

        Kind kind() const { return kind_; }
        // The detail of `malformed`, empty otherwise.
        const std::string& detail() const { return detail_; }
        // The errno value of `io`, 0 otherwise.
        int errorNumber() const { return errorNumber_; }

        std::string description() const;

        // Same kind and same carried value.
        bool operator==(const Failure&) const = default;

    private:
        Failure(Kind kind, std::string detail, int errorNumber)
            : kind_(kind), detail_(std::move(detail)), errorNumber_(errorNumber) {}

        Kind kind_;
        std::string detail_;
        int errorNumber_;
    };

    struct Frame {
        PluginBridgeMessage message;
        std::vector<std::uint8_t> payload; // empty when the frame has none
    };

    // The largest JSON text plus payload a receiver accepts in one frame.
    static constexpr std::uint32_t maximumFrameBytes = 268435456;

    // Does not take ownership of the descriptors and never closes them. Sets
    // the process-wide SIGPIPE disposition to ignored, so that writing to a
    // pipe whose reader has gone fails with EPIPE instead of ending the process.
    PluginBridgeChannel(int readFD, int writeFD);
    PluginBridgeChannel(const PluginBridgeChannel&) = delete;
    PluginBridgeChannel& operator=(const PluginBridgeChannel&) = delete;

    int readFD() const { return readFD_; }
    // -1 once released.
    int writeFD() const;

    // Writes one whole frame; frames of concurrent senders never interleave.
    // Nothing on success. After a failure part of the frame may have been
    // written (inStep() tells), and the connection is then to be given up.
    // `deadline` and `shouldStop` limit the waits for room as in receive
    // (`timedOut`, `cancelled`); they can only do so on a non-blocking write
    // descriptor, whose writes never block in the system. Once the write
    // descriptor is released every send fails with `closed`.
    std::optional<Failure> send(const PluginBridgeMessage& message, std::span<const std::uint8_t> payload = {},
                                std::optional<double> deadline = std::nullopt,
                                const std::function<bool()>& shouldStop = {}) const;

    // For an owner about to close the write descriptor: from now on no send
    // touches it (its number may soon belong to something else) and every
    // send fails with `closed`. Waits for a send in progress to end.
    void releaseWriteFD();

    // False once a send or a receive failed after part of a frame had gone
    // through: the stream is out of step and the connection is to be given
    // up. A failure with nothing of a frame written or taken (a stop or a
    // deadline while waiting for the first byte) leaves it in step: the same
    // receive can be tried again, and the frame is still to come.
    bool inStep() const { return sendInStep_ && receiveInStep_; }

    // Reads one frame. `deadline` is an absolute time on the clock of now();
    // it covers the whole frame, and is judged only when a wait would be
    // needed: bytes that are already there are taken even after it, so a
    // deadline of now() collects a reply that has arrived, and times out one
    // that has not (or only in part). `shouldStop` is asked before every wait
    // and, while nothing arrives, at least every 250 ms; with it given, every
    // receive asks it at least once, even when the frame is already at hand.
    // Only one thread may receive at a time (receive and receiveInto
    // alike): the channel reads ahead, and bytes of a following frame that
    // come with one read are kept in the channel for the next receive.
    PluginBridgeExpected<Frame, Failure> receive(std::optional<double> deadline = std::nullopt,
                                                 const std::function<bool()>& shouldStop = {}) const;

    // The same, reading into `frame` and reusing the memory of its payload, so
    // that a loop receiving blocks of one size neither allocates nor clears a
    // buffer per frame: a frame laid out as the one before it goes, payload
    // and all, into place with one read. After a failure `frame` holds
    // nothing of use.
    std::optional<Failure> receiveInto(Frame& frame, std::optional<double> deadline = std::nullopt,
                                       const std::function<bool()>& shouldStop = {}) const;

    // Best effort: asks for a pipe buffer of at least `bytes` on `fd`, so that
    // a frame of a large block passes in one write and one read. Gives the
    // buffer size now in effect, or -1 when the descriptor is not a pipe or
    // the system has no such setting (the pipe then keeps working as it was).
    static int enlargePipe(int fd, int bytes);

    // Seconds on the monotonic clock, for building deadlines: now() + 2.5.
    static double now();

private:
    struct Wait;
    struct Body;
    // One read into `parts`, after a wait when the limits ask for one.
    std::optional<Failure> readSome(iovec* parts, int count, Wait& wait, std::size_t& got) const;
    // The header of the next frame in the read-ahead, read as needed.
    std::optional<Failure> fillHeader(Frame& frame, Wait& wait, Body& body) const;
    std::optional<Failure> readBody(Frame& frame, Wait& wait, Body& body) const;
    std::optional<Failure> waitReadable(const std::optional<double>& deadline,
                                        const std::function<bool()>& shouldStop) const;
    // Writes every byte of the parts, in order; may change `parts`. Called
    // with writeLock_ held.
    std::optional<Failure> writeAll(iovec* parts, int count, const std::optional<double>& deadline,
                                    const std::function<bool()>& shouldStop) const;

    const int readFD_;
    int writeFD_; // guarded by writeLock_
    bool writeReleased_ = false; // guarded by writeLock_
    mutable std::mutex writeLock_;
    mutable std::atomic<bool> sendInStep_{true};
    mutable std::atomic<bool> receiveInStep_{true};

    // Receive side, touched by the one receiving thread only. Bytes read but
    // not yet taken are readAhead_[aheadBegin_, aheadEnd_).
    mutable std::vector<std::uint8_t> readAhead_;
    mutable std::size_t aheadBegin_ = 0;
    mutable std::size_t aheadEnd_ = 0;
    // The layout of the last frame, to place the next one's payload directly.
    mutable std::uint32_t lastJSONBytes_ = 0;
    mutable std::uint32_t lastPayloadBytes_ = 0;
    // A JSON text too large for the read-ahead.
    mutable std::vector<std::uint8_t> jsonSpill_;
};
