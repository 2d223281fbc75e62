// One block of stereo audio through a real plug-in (ZamCompX2), three ways:
// in this process through tv3m_plugin_process; through the helper, over its
// pipes, via the client; and the floor under the second, a bare ping-pong of
// the same bytes between this process and a child that echoes them. After the
// usual table a summary gives, per block size, the helper's overhead (helper
// minus in-process) beside that floor.
#include "TarvelPluginBridge/PluginBridgeAudio.h"
#include "TarvelPluginBridge/PluginBridgeClient.h"
#include "tv3m.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
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

BENCHMARK(InProcess)->Arg(64)->Arg(512)->Arg(4096)->UseRealTime();
BENCHMARK(ThroughHelper)->Arg(64)->Arg(512)->Arg(4096)->UseRealTime();
BENCHMARK(RawPingPong)->Arg(64)->Arg(512)->Arg(4096)->UseRealTime();

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
