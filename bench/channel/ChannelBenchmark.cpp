// One "process" round trip over a pipe pair, through the channel (encode,
// frame, write, read, decode on both sides) beside a bare write/read
// ping-pong of the same byte counts on the same kind of pipes. A second
// thread plays the other end and answers every request with a block of the
// same size, as an effect does.
#include "TarvelPluginBridge/PluginBridgeAudio.h"
#include "TarvelPluginBridge/PluginBridgeChannel.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <thread>

namespace {

constexpr std::int64_t kChannels = 2;

// Two pipes: requests to the echo thread, replies back.
class PipePair {
public:
    PipePair() {
        if (::pipe(toEcho_) != 0 || ::pipe(fromEcho_) != 0) std::abort();
    }
    ~PipePair() {
        closeRequests();
        for (int fd : {toEcho_[0], fromEcho_[0], fromEcho_[1]}) ::close(fd);
    }
    int requestWrite() const { return toEcho_[1]; }
    int requestRead() const { return toEcho_[0]; }
    int replyWrite() const { return fromEcho_[1]; }
    int replyRead() const { return fromEcho_[0]; }
    // The echo thread sees the end of input and stops.
    void closeRequests() {
        if (toEcho_[1] >= 0) ::close(toEcho_[1]);
        toEcho_[1] = -1;
    }

private:
    int toEcho_[2];
    int fromEcho_[2];
};

std::vector<std::uint8_t> audioBlock(std::int64_t frames) {
    std::vector<std::vector<float>> channels(kChannels, std::vector<float>(static_cast<std::size_t>(frames)));
    for (std::size_t i = 0; i < channels[0].size(); ++i) {
        channels[0][i] = static_cast<float>(i) * 0.001f;
        channels[1][i] = -static_cast<float>(i) * 0.001f;
    }
    return PluginBridgeAudio::pack(channels, frames);
}

PluginBridgeMessage processRequest(std::int64_t frames) {
    auto m = PluginBridgeMessage::init(PluginBridgeMessage::Op::process);
    m.frames = frames;
    return m;
}

std::size_t frameBytes(const PluginBridgeMessage& m, std::size_t payloadBytes) {
    return 8 + m.toJSON()->size() + payloadBytes;
}

bool writeAll(int fd, const std::uint8_t* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t n = ::write(fd, bytes, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

bool readAll(int fd, std::uint8_t* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t n = ::read(fd, bytes, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

enum class Receiving {
    plain,          // receive(): a new payload buffer per frame
    reusing,        // receiveInto(): both ends reuse their frame
    parentDeadline, // as reusing, the parent waiting with a deadline and a stop callback
};

void channelRoundTrip(benchmark::State& state, Receiving receiving) {
    const std::int64_t frames = state.range(0);
    PipePair pipes;
    const auto payload = audioBlock(frames);
    const auto request = processRequest(frames);

    std::thread echo([&] {
        PluginBridgeChannel channel(pipes.requestRead(), pipes.replyWrite());
        PluginBridgeChannel::Frame frame;
        for (;;) {
            if (receiving == Receiving::plain) {
                auto received = channel.receive();
                if (!received) return;
                frame = std::move(*received);
            } else if (channel.receiveInto(frame)) {
                return;
            }
            if (channel.send(PluginBridgeMessage::reply(), frame.payload)) return;
        }
    });

    PluginBridgeChannel channel(pipes.replyRead(), pipes.requestWrite());
    PluginBridgeChannel::Frame reply;
    const std::function<bool()> keepWaiting = [] { return false; };
    for (auto _ : state) {
        if (channel.send(request, payload)) {
            state.SkipWithError("send failed");
            break;
        }
        bool received = false;
        switch (receiving) {
        case Receiving::plain:
            if (auto r = channel.receive()) {
                reply = std::move(*r);
                received = true;
            }
            break;
        case Receiving::reusing: received = !channel.receiveInto(reply); break;
        case Receiving::parentDeadline:
            received = !channel.receiveInto(reply, PluginBridgeChannel::now() + 10, keepWaiting);
            break;
        }
        if (!received || reply.payload.size() != payload.size()) {
            state.SkipWithError("receive failed");
            break;
        }
        benchmark::DoNotOptimize(reply.payload.data());
    }
    pipes.closeRequests();
    echo.join();
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(2 * payload.size()));
}

void rawPingPong(benchmark::State& state) {
    const std::int64_t frames = state.range(0);
    PipePair pipes;
    const auto payload = audioBlock(frames);
    const std::size_t requestBytes = frameBytes(processRequest(frames), payload.size());
    const std::size_t replyBytes = frameBytes(PluginBridgeMessage::reply(), payload.size());

    std::thread echo([&] {
        std::vector<std::uint8_t> in(requestBytes), out(replyBytes, 0x5A);
        while (readAll(pipes.requestRead(), in.data(), in.size())) {
            if (!writeAll(pipes.replyWrite(), out.data(), out.size())) return;
        }
    });

    std::vector<std::uint8_t> out(requestBytes, 0xA5), in(replyBytes);
    for (auto _ : state) {
        if (!writeAll(pipes.requestWrite(), out.data(), out.size()) ||
            !readAll(pipes.replyRead(), in.data(), in.size())) {
            state.SkipWithError("pipe failed");
            break;
        }
        benchmark::DoNotOptimize(in.data());
    }
    pipes.closeRequests();
    echo.join();
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(2 * payload.size()));
}

} // namespace

BENCHMARK_CAPTURE(channelRoundTrip, plain, Receiving::plain)->Arg(64)->Arg(512)->Arg(4096)->UseRealTime()->MinTime(1.0);
BENCHMARK_CAPTURE(channelRoundTrip, reusing, Receiving::reusing)->Arg(64)->Arg(512)->Arg(4096)->UseRealTime()->MinTime(1.0);
BENCHMARK_CAPTURE(channelRoundTrip, parentDeadline, Receiving::parentDeadline)->Arg(64)->Arg(512)->Arg(4096)->UseRealTime()->MinTime(1.0);
BENCHMARK(rawPingPong)->Arg(64)->Arg(512)->Arg(4096)->UseRealTime()->MinTime(1.0);

BENCHMARK_MAIN();
