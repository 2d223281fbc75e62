// One block of stereo audio through a real plug-in (ZamCompX2), three ways:
// in this process through tv3m_plugin_process; through the helper, over its
// pipes, via the client; and the floor under the second, a bare ping-pong of
// the same bytes between this process and a child that echoes them. After the
// usual table a summary gives, per block size, the helper's overhead (helper
// minus in-process) beside that floor.
//
// Then a whole render as a person runs it: one minute of 48 kHz stereo through
// ZamComp (mono only, so two instances) in 512-frame blocks, in this process
// and with `tarvel render`, beside the floor of that many mono-block round
// trips (a mono block of 512 frames is the bytes of a stereo one of 256).
#include "TarvelPluginBridge/PluginBridgeAudio.h"
#include "TarvelPluginBridge/PluginBridgeClient.h"
#include "tv3m.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr const char* kBundle = "/usr/lib/vst3/ZamCompX2.vst3";
constexpr std::int64_t kChannels = 2;

std::string firstClassID() {
    char error[512] = {};
    tv3m_module* module = tv3m_module_open(kBundle, error, sizeof error);
    if (!module) return {};
    tv3m_class_info info{};
    std::string cid;
    if (tv3m_module_class_info(module, 0, &info) == 0) cid = info.cid;
    tv3m_module_close(module);
    return cid;
}

std::vector<std::vector<float>> signal(std::int64_t frames) {
    std::vector<std::vector<float>> audio(kChannels, std::vector<float>(static_cast<std::size_t>(frames)));
    for (std::int64_t c = 0; c < kChannels; ++c)
        for (std::int64_t i = 0; i < frames; ++i)
            audio[c][i] = 0.5f * static_cast<float>(std::sin(0.01 * static_cast<double>(i) * (c + 1)));
    return audio;
}

void InProcess(benchmark::State& state) {
    const auto frames = static_cast<std::int32_t>(state.range(0));
    char error[512] = {};
    tv3m_plugin* plugin =
        tv3m_plugin_create(kBundle, firstClassID().c_str(), 48000, frames, kChannels, error, sizeof error);
    if (!plugin) {
        state.SkipWithError(error);
        return;
    }
    auto input = signal(frames);
    std::vector<std::vector<float>> output(kChannels, std::vector<float>(static_cast<std::size_t>(frames)));
    float* in[kChannels] = {input[0].data(), input[1].data()};
    float* out[kChannels] = {output[0].data(), output[1].data()};
    for (auto _ : state) {
        if (tv3m_plugin_process(plugin, in, out, kChannels, frames) != 0) {
            state.SkipWithError("process failed");
            break;
        }
        benchmark::DoNotOptimize(output[0].data());
    }
    tv3m_plugin_destroy(plugin);
}

void ThroughHelper(benchmark::State& state) {
    const std::int64_t frames = state.range(0);
    auto started = PluginBridgeClient::start(TV3_HELPER_PATH);
    if (!started) {
        state.SkipWithError(started.error().c_str());
        return;
    }
    PluginBridgeClient& client = **started;
    PluginBridgeMessage open = PluginBridgeMessage::init(PluginBridgeMessage::Op::open);
    open.path = kBundle;
    open.cid = firstClassID();
    open.channels = kChannels;
    open.maxBlock = frames;
    open.wantsEditor = false;
    auto opened = client.request(open, {}, 30);
    if (!opened || opened->message.error) {
        state.SkipWithError("open failed");
        return;
    }
    const std::vector<std::uint8_t> payload = PluginBridgeAudio::pack(signal(frames), frames);
    PluginBridgeMessage process = PluginBridgeMessage::init(PluginBridgeMessage::Op::process);
    process.frames = frames;
    PluginBridgeChannel::Frame reply;
    for (auto _ : state) {
        if (client.requestInto(process, payload, reply, 10) || reply.message.error) {
            state.SkipWithError("process failed");
            break;
        }
    }
    client.quit(5);
}

// The same byte counts as one process round trip through the channel: a
// request of header, JSON and block, a reply of header, JSON and block.
void RawPingPong(benchmark::State& state) {
    const std::int64_t frames = state.range(0);
    PluginBridgeMessage process = PluginBridgeMessage::init(PluginBridgeMessage::Op::process);
    process.frames = frames;
    const std::size_t block = *PluginBridgeAudio::blockBytes(kChannels, frames);
    const std::size_t requestBytes = 8 + process.toJSON()->size() + block;
    const std::size_t replyBytes = 8 + PluginBridgeMessage::reply().toJSON()->size() + block;

    int toChild[2], fromChild[2];
    if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) std::abort();
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(toChild[1]);
        ::close(fromChild[0]);
        std::vector<char> in(requestBytes), out(replyBytes);
        for (;;) {
            std::size_t got = 0;
            while (got < requestBytes) {
                const ssize_t n = ::read(toChild[0], in.data() + got, requestBytes - got);
                if (n <= 0) ::_exit(0);
                got += static_cast<std::size_t>(n);
            }
            if (::write(fromChild[1], out.data(), replyBytes) != static_cast<ssize_t>(replyBytes)) ::_exit(0);
        }
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    std::vector<char> request(requestBytes), reply(replyBytes);
    for (auto _ : state) {
        if (::write(toChild[1], request.data(), requestBytes) != static_cast<ssize_t>(requestBytes)) std::abort();
        std::size_t got = 0;
        while (got < replyBytes) {
            const ssize_t n = ::read(fromChild[0], reply.data() + got, replyBytes - got);
            if (n <= 0) std::abort();
            got += static_cast<std::size_t>(n);
        }
    }
    ::close(toChild[1]);
    ::close(fromChild[0]);
    ::waitpid(child, nullptr, 0);
}

constexpr const char* kRenderBundle = "/usr/lib/vst3/ZamComp.vst3";
constexpr std::int64_t kRenderBlock = 512;
constexpr std::int64_t kRenderFrames = 60 * 48000;
constexpr std::int64_t kRenderBlocks = (kRenderFrames + kRenderBlock - 1) / kRenderBlock;
constexpr std::int64_t kRenderInstances = 2; // one per channel

// The blocks a render of one minute runs, in this process, without the files.
void InProcessRenderMinute(benchmark::State& state) {
    char error[512] = {};
    tv3m_module* module = tv3m_module_open(kRenderBundle, error, sizeof error);
    tv3m_class_info info{};
    if (!module || tv3m_module_class_info(module, 0, &info) != 0) {
        state.SkipWithError("ZamComp cannot be read");
        return;
    }
    tv3m_module_close(module);
    std::vector<tv3m_plugin*> plugins;
    for (int i = 0; i < kRenderInstances; ++i)
        plugins.push_back(tv3m_plugin_create(kRenderBundle, info.cid, 48000, kRenderBlock, 1, error, sizeof error));
    auto input = signal(kRenderBlock);
    std::vector<float> in(kRenderBlock), out(kRenderBlock);
    float* inPtr[1] = {in.data()};
    float* outPtr[1] = {out.data()};
    for (auto _ : state) {
        for (std::int64_t b = 0; b < kRenderBlocks; ++b) {
            for (std::int64_t c = 0; c < kRenderInstances; ++c) {
                in.assign(input[c].begin(), input[c].end()); // as a render copies each block in
                if (!plugins[c] || tv3m_plugin_process(plugins[c], inPtr, outPtr, 1, kRenderBlock) != 0) {
                    state.SkipWithError("process failed");
                    break;
                }
            }
        }
    }
    for (tv3m_plugin* p : plugins) tv3m_plugin_destroy(p);
}

// `tarvel render` of a one-minute file, start to end: the scan of the bundle,
// two helpers, the blocks, reading and writing the files.
void TarvelRenderMinute(benchmark::State& state) {
    char folder[] = "/tmp/tarvel-bench-XXXXXX";
    if (!::mkdtemp(folder)) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string tarvel = TV3_TARVEL_PATH, dir = folder;
    const std::string tone = tarvel + " tone " + dir + "/minute.wav --seconds 60";
    const std::string render = tarvel + " render " + kRenderBundle + " " + dir + "/minute.wav " + dir +
                               "/out.wav --param 7=0.5 2>/dev/null";
    if (std::system(tone.c_str()) != 0) state.SkipWithError("tarvel tone failed");
    for (auto _ : state) {
        if (std::system(render.c_str()) != 0) {
            state.SkipWithError("tarvel render failed");
            break;
        }
    }
    std::filesystem::remove_all(dir);
}

BENCHMARK(InProcess)->Arg(64)->Arg(512)->Arg(4096)->UseRealTime();
BENCHMARK(ThroughHelper)->Arg(64)->Arg(512)->Arg(4096)->UseRealTime();
BENCHMARK(RawPingPong)->Arg(64)->Arg(256)->Arg(512)->Arg(4096)->UseRealTime();
BENCHMARK(InProcessRenderMinute)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(TarvelRenderMinute)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// Keeps the real time per iteration of every run (the medians, when
// repetitions are asked for) for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const bool aggregate = run.run_type == Run::RT_Aggregate;
            if (aggregate && run.aggregate_name != "median") continue;
            const std::string name = run.run_name.function_name;
            const std::string arg = run.run_name.args;
            const double us = run.GetAdjustedRealTime() *
                              (run.time_unit == benchmark::kNanosecond ? 1e-3 : run.time_unit == benchmark::kMicrosecond ? 1.0 : 1e3);
            if (aggregate || !medians_[name + "/" + arg].second) medians_[name + "/" + arg] = {us, aggregate};
        }
    }
    void printSummary() const {
        std::printf("\nper block, microseconds (medians when repeated)\n");
        std::printf("%8s %12s %12s %12s %12s %16s\n", "frames", "in-process", "helper", "overhead", "raw floor",
                    "overhead / floor");
        for (const char* frames : {"64", "512", "4096"}) {
            auto at = [&](const char* name) {
                auto found = medians_.find(std::string(name) + "/" + frames);
                return found == medians_.end() ? NAN : found->second.first;
            };
            const double in = at("InProcess"), helper = at("ThroughHelper"), floor = at("RawPingPong");
            std::printf("%8s %12.1f %12.1f %12.1f %12.1f %16.2f\n", frames, in, helper, helper - in, floor,
                        (helper - in) / floor);
        }
        auto us = [&](const std::string& key) {
            auto found = medians_.find(key);
            return found == medians_.end() ? NAN : found->second.first;
        };
        const double in = us("InProcessRenderMinute/") * 1e-6, tarvel = us("TarvelRenderMinute/") * 1e-6;
        const double floor = us("RawPingPong/256") * 1e-6 * kRenderBlocks * kRenderInstances;
        std::printf("\none minute of 48 kHz stereo through ZamComp, 512-frame blocks, two mono instances (%lld "
                    "round trips), seconds\n",
                    static_cast<long long>(kRenderBlocks * kRenderInstances));
        std::printf("%12s %12s %12s %12s %22s\n", "in-process", "tarvel", "difference", "raw floor",
                    "difference / floor");
        std::printf("%12.3f %12.3f %12.3f %12.3f %22.2f\n", in, tarvel, tarvel - in, floor, (tarvel - in) / floor);
    }

private:
    std::map<std::string, std::pair<double, bool>> medians_;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printSummary();
    benchmark::Shutdown();
    return 0;
}
