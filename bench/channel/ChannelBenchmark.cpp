// One "process" round trip over a pipe pair, through the channel (encode,
// frame, write, read, decode on both sides) beside a bare write/read
// ping-pong of the same byte counts on the same kind of pipes. A second
// thread plays the other end and answers every request with a block of the
// same size, as an effect does.
//
// Every case runs with both threads free to use every CPU, with both pinned
// to one CPU (the first the process may use), where every hand-over is a
// context switch, and with each pinned to a CPU of its own (with a single
// CPU, the same as one CPU). Blocks larger than a default pipe holds run on pipes
// enlarged with PluginBridgeChannel::enlargePipe. After the usual table a
// summary gives each channel time as a multiple of the raw ping-pong; with
// --benchmark_repetitions=N it compares the medians.
#include "TarvelPluginBridge/PluginBridgeAudio.h"
#include "TarvelPluginBridge/PluginBridgeChannel.h"

#include <benchmark/benchmark.h>

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <thread>

namespace {

constexpr std::int64_t kChannels = 2;

// The CPUs the process was started with, and the first of them.
const cpu_set_t& startCPUs() {
    static const cpu_set_t set = [] {
        cpu_set_t s;
        CPU_ZERO(&s);
        if (::sched_getaffinity(0, sizeof s, &s) != 0) std::abort();
        return s;
    }();
    return set;
}

// Where the two threads of a case run: anywhere the scheduler likes (it may
// put them on one CPU or on two, and change its mind, so these times jump),
// both on one CPU (every hand-over a context switch), or each on a CPU of its
// own (every hand-over a wake-up on the other CPU).
enum Placement { free = 0, oneCPU = 1, twoCPUs = 2 };

// Puts the calling thread on the `index`-th start CPU (counted round), or on
// all of them when `index` is negative.
void placeThisThread(int index) {
    cpu_set_t set = startCPUs();
    if (index >= 0) {
        std::vector<int> cpus;
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
        }
        CPU_ZERO(&set);
        CPU_SET(cpus[static_cast<std::size_t>(index) % cpus.size()], &set);
    }
    ::pthread_setaffinity_np(::pthread_self(), sizeof set, &set);
}

// The CPU index of the benchmark's own thread and of the echo thread.
int mainCPU(int placement) { return placement == free ? -1 : 0; }
int echoCPU(int placement) { return placement == free ? -1 : placement == oneCPU ? 0 : 1; }

// Sets where the benchmark's thread runs for one case and puts it back after.
class PlacedThread {
public:
    explicit PlacedThread(int placement) { placeThisThread(mainCPU(placement)); }
    ~PlacedThread() { placeThisThread(-1); }
};

// Two pipes: requests to the echo thread, replies back.
class PipePair {
public:
    explicit PipePair(bool enlarged) {
        if (::pipe(toEcho_) != 0 || ::pipe(fromEcho_) != 0) std::abort();
        if (enlarged) {
            for (int fd : {toEcho_[1], fromEcho_[1]}) PluginBridgeChannel::enlargePipe(fd, 1 << 20);
        }
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
    const int placement = static_cast<int>(state.range(1));
    const PlacedThread placed(placement);
    PipePair pipes(state.range(2) != 0);
    const auto payload = audioBlock(frames);
    const auto request = processRequest(frames);

    std::thread echo([&] {
        placeThisThread(echoCPU(placement));
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
    const int placement = static_cast<int>(state.range(1));
    const PlacedThread placed(placement);
    PipePair pipes(state.range(2) != 0);
    const auto payload = audioBlock(frames);
    const std::size_t requestBytes = frameBytes(processRequest(frames), payload.size());
    const std::size_t replyBytes = frameBytes(PluginBridgeMessage::reply(), payload.size());

    std::thread echo([&] {
        placeThisThread(echoCPU(placement));
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


// Frames, placement (0 free, 1 one CPU, 2 two CPUs), enlarged pipes. 16384 stereo frames (128 KiB) do not fit a
// default pipe of 64 KiB.
void cases(benchmark::internal::Benchmark* b) {
    for (int placement : {free, oneCPU, twoCPUs}) {
        for (int frames : {64, 512, 4096}) b->Args({frames, placement, 0});
        b->Args({16384, placement, 1});
    }
    b->ArgNames({"frames", "cpus", "bigPipe"})->UseRealTime()->MinTime(0.5);
}

// The usual console output, then each channel time beside the raw time of
// the same case.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.error_occurred) continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Aggregate && !median) continue;
            std::string name = run.run_name.str();
            const auto slash = name.find('/');
            const std::string kind = name.substr(0, slash);
            std::string variant = "raw";
            std::string rest = name.substr(slash + 1);
            if (kind == "channelRoundTrip") {
                const auto next = rest.find('/');
                variant = rest.substr(0, next);
                rest = rest.substr(next + 1);
            }
            const auto cut = rest.find("/min_time");
            if (cut != std::string::npos) rest = rest.substr(0, cut);
            auto& slot = times_[rest][variant];
            // A median replaces the single runs of its case.
            if (median || !slot.fromMedian) slot = {run.GetAdjustedRealTime(), median};
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n%-36s %10s %10s %8s %10s %8s %10s %8s\n", "case", "raw ns", "reusing", "x raw",
                    "plain", "x raw", "deadline", "x raw");
        for (const auto& [name, variants] : times_) {
            const auto raw = variants.find("raw");
            if (raw == variants.end()) continue;
            std::printf("%-36s %10.0f", name.c_str(), raw->second.ns);
            for (const char* v : {"reusing", "plain", "parentDeadline"}) {
                const auto it = variants.find(v);
                if (it == variants.end()) {
                    std::printf(" %10s %8s", "-", "-");
                } else {
                    std::printf(" %10.0f %8.2f", it->second.ns, it->second.ns / raw->second.ns);
                }
            }
            std::printf("\n");
        }
    }

private:
    struct Time {
        double ns = 0;
        bool fromMedian = false;
    };
    std::map<std::string, std::map<std::string, Time>> times_;
};

} // namespace

BENCHMARK_CAPTURE(channelRoundTrip, reusing, Receiving::reusing)->Apply(cases);
BENCHMARK_CAPTURE(channelRoundTrip, plain, Receiving::plain)->Apply(cases);
BENCHMARK_CAPTURE(channelRoundTrip, parentDeadline, Receiving::parentDeadline)->Apply(cases);
BENCHMARK(rawPingPong)->Apply(cases);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
