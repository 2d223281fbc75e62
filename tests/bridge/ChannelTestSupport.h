// One-way byte conduits for channel tests: a pipe, or a connected pair of
// local stream sockets used in one direction.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class ConduitKind { pipe, socketPair };

class Conduit {
public:
    explicit Conduit(ConduitKind kind);
    ~Conduit();
    Conduit(const Conduit&) = delete;
    Conduit& operator=(const Conduit&) = delete;

    int readEnd() const { return readEnd_; }
    int writeEnd() const { return writeEnd_; }
    void closeReadEnd();
    void closeWriteEnd();

    // Writes every byte (the test fails otherwise).
    void put(const std::vector<std::uint8_t>& bytes) const;
    void put(const std::string& bytes) const;
    // Reads exactly `count` bytes.
    std::vector<std::uint8_t> take(std::size_t count) const;
    // True when a read would not block: bytes (or the end) are waiting.
    bool hasWaitingBytes() const;

private:
    int readEnd_ = -1;
    int writeEnd_ = -1;
};

std::string conduitKindName(ConduitKind kind);

// An 8-byte frame header: N and P, little-endian.
std::vector<std::uint8_t> frameHeader(std::uint32_t jsonBytes, std::uint32_t payloadBytes);
// A whole frame with the given JSON text and payload.
std::vector<std::uint8_t> rawFrame(const std::string& json, const std::vector<std::uint8_t>& payload = {});
