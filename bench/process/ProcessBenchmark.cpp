// What the host adds to a plug-in's own processing: ZamComp run through
// tv3m_plugin_process, beside the same plug-in's processor called directly
// with the same buffers.
#include "plugin/PluginInstance.h"
#include "tv3/EventList.h"
#include "tv3/ParameterChanges.h"
#include "tv3m.h"

#include <benchmark/benchmark.h>
#include <pluginterfaces/vst/ivstprocesscontext.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

const char* const kPath = "/usr/lib/vst3/ZamComp.vst3";
constexpr int kMaxBlock = 4096;

std::string effectClass() {
    char error[512] = {};
    tv3m_module* module = tv3m_module_open(kPath, error, sizeof error);
    if (!module) return {};
    tv3m_class_info info{};
    std::string cid;
    if (tv3m_module_class_info(module, 0, &info) == 0) cid = info.cid;
    tv3m_module_close(module);
    return cid;
}

struct Fixture {
    tv3m_plugin* plugin = nullptr;
    int channels = 0;
    std::vector<std::vector<float>> in, out;
    std::vector<float*> inPtr, outPtr;

    Fixture() {
        const std::string cid = effectClass();
        char error[512] = {};
        for (int ch : {2, 1}) {
            plugin = tv3m_plugin_create(kPath, cid.c_str(), 48000, kMaxBlock, ch, error, sizeof error);
            if (plugin) {
                channels = ch;
                break;
            }
        }
        if (!plugin) {
            std::fprintf(stderr, "cannot open %s: %s\n", kPath, error);
            std::exit(1);
        }
        in.assign(channels, std::vector<float>(kMaxBlock));
        out.assign(channels, std::vector<float>(kMaxBlock));
        for (int c = 0; c < channels; ++c) {
            for (int i = 0; i < kMaxBlock; ++i) in[c][i] = 0.5f * std::sin(0.05f * i);
            inPtr.push_back(in[c].data());
            outPtr.push_back(out[c].data());
        }
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void ThroughHost(benchmark::State& state) {
    Fixture& f = fixture();
    const int frames = static_cast<int>(state.range(0));
    for (auto _ : state) {
        if (tv3m_plugin_process(f.plugin, f.inPtr.data(), f.outPtr.data(), f.channels, frames) != 0) {
            state.SkipWithError("process failed");
            break;
        }
        benchmark::DoNotOptimize(f.out[0][0]);
    }
}

// The plug-in alone: the same call the host makes, with a ProcessData built
// once, no pending edits and no transport bookkeeping.
void PluginAlone(benchmark::State& state) {
    Fixture& f = fixture();
    const int frames = static_cast<int>(state.range(0));
    // One block through the host lays out every bus (sidechains included) the
    // way the plug-in expects; reuse that layout and those buffers.
    tv3m_plugin_process(f.plugin, f.inPtr.data(), f.outPtr.data(), f.channels, frames);
    std::vector<AudioBusBuffers> inputs = f.plugin->inputBusBuffers, outputs = f.plugin->outputBusBuffers;
    ProcessContext context{};
    context.sampleRate = 48000;
    ProcessData data;
    data.processMode = kOffline;
    data.symbolicSampleSize = kSample32;
    data.numSamples = frames;
    data.numInputs = static_cast<int32>(inputs.size());
    data.numOutputs = static_cast<int32>(outputs.size());
    data.inputs = inputs.empty() ? nullptr : inputs.data();
    data.outputs = outputs.data();
    data.processContext = &context;
    // Plug-ins report meters through the output changes and expect the lists
    // to be there; hand over the instance's own, emptied every block as the
    // host does.
    f.plugin->inputChanges->clear();
    data.inputParameterChanges = f.plugin->inputChanges;
    data.outputParameterChanges = f.plugin->outputChanges;
    data.inputEvents = f.plugin->inputEvents;
    for (auto _ : state) {
        f.plugin->outputChanges->clear();
        if (f.plugin->processor->process(data) != kResultOk) {
            state.SkipWithError("process failed");
            break;
        }
        benchmark::DoNotOptimize(f.out[0][0]);
    }
}

BENCHMARK(ThroughHost)->Arg(64)->Arg(512)->Arg(4096);
BENCHMARK(PluginAlone)->Arg(64)->Arg(512)->Arg(4096);

} // namespace

BENCHMARK_MAIN();
