// Frames of one message and its payload over a pair of descriptors. The same
// type serves both ends: the parent waits for replies with a deadline and a
// stop callback, the helper waits for requests without either.
#pragma once

#include "TarvelPluginBridge/PluginBridgeExpected.h"
#include "TarvelPluginBridge/PluginBridgeMessage.h"

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
        enum class Kind { malformed, io, closed, timedOut, cancelled };

        static Failure malformed(std::string detail);
        static Failure io(int errorNumber);
        static Failure closed();
        static Failure timedOut();
        static Failure cancelled();

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
    int writeFD() const { return writeFD_; }

    // Writes one whole frame; frames of concurrent senders never interleave.
    // Nothing on success. After a failure part of the frame may have been
    // written, and the connection is to be given up.
    std::optional<Failure> send(const PluginBridgeMessage& message,
                                std::span<const std::uint8_t> payload = {}) const;

    // Reads one frame. `deadline` is an absolute time on the clock of now();
    // it covers the whole frame. `shouldStop` is asked before every wait and,
    // while nothing arrives, at least every 250 ms. One thread receives at a time.
    PluginBridgeExpected<Frame, Failure> receive(std::optional<double> deadline = std::nullopt,
                                                 const std::function<bool()>& shouldStop = {}) const;

    // The same, reading into `frame` and reusing the memory of its payload, so
    // that a loop receiving blocks of one size neither allocates nor clears a
    // buffer per frame. After a failure `frame` holds nothing of use.
    std::optional<Failure> receiveInto(Frame& frame, std::optional<double> deadline = std::nullopt,
                                       const std::function<bool()>& shouldStop = {}) const;

    // Seconds on the monotonic clock, for building deadlines: now() + 2.5.
    static double now();

private:
    // A buffer to be filled with exactly `count` bytes.
    struct Region {
        std::vector<std::uint8_t>* buffer;
        std::size_t count;
        std::size_t got = 0;
    };
    // Fills one or two regions in order, from as few reads as the bytes allow.
    std::optional<Failure> readRegions(Region* regions, std::size_t count, const std::optional<double>& deadline,
                                       const std::function<bool()>& shouldStop) const;
    std::optional<Failure> waitReadable(const std::optional<double>& deadline,
                                        const std::function<bool()>& shouldStop) const;
    // Writes every byte of the parts, in order; may change `parts`.
    std::optional<Failure> writeAll(iovec* parts, int count) const;

    const int readFD_;
    const int writeFD_;
    mutable std::mutex writeLock_;
};
