#include "instance/ProbeAccess.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <climits>
#include <cstdlib>

namespace probetest {
namespace {

std::string libraryPath() {
    const std::string so = bundlePath() + "/Contents/" TV3_BUNDLE_ARCH "/tv3probe.so";
    char resolved[PATH_MAX];
    return realpath(so.c_str(), resolved) ? std::string(resolved) : so;
}

template <typename Fn>
Fn symbol(void* library, const char* name) {
    return reinterpret_cast<Fn>(dlsym(library, name));
}

} // namespace

std::string bundlePath() { return TV3_FIXTURE_DIR "/tv3probe.vst3"; }

bool probeLoaded() {
    void* library = dlopen(libraryPath().c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!library) return false;
    dlclose(library);
    return true;
}

Probe& probe() {
    static Probe loaded = [] {
        Probe p;
        char error[512] = {};
        // Opening loads the code; modules are never unloaded, so the handle
        // can be closed as soon as the record has been found.
        tv3m_module* module = tv3m_module_open(bundlePath().c_str(), error, sizeof error);
        if (!module) {
            ADD_FAILURE() << "the probe did not load: " << error;
            return p;
        }
        void* library = dlopen(libraryPath().c_str(), RTLD_NOW | RTLD_NOLOAD);
        tv3m_module_close(module);
        if (!library) {
            ADD_FAILURE() << "the probe's code is not in the process: " << dlerror();
            return p;
        }
        p.record = symbol<Tv3ProbeStateFn>(library, "tv3probe_state")();
        p.reset = symbol<Tv3ProbeResetFn>(library, "tv3probe_reset");
        p.performEdit = symbol<Tv3ProbePerformEditFn>(library, "tv3probe_perform_edit");
        p.startEdits = symbol<Tv3ProbeStartEditsFn>(library, "tv3probe_start_edits");
        p.editsDone = symbol<Tv3ProbeEditsDoneFn>(library, "tv3probe_edits_done");
        p.joinEdits = symbol<Tv3ProbeJoinEditsFn>(library, "tv3probe_join_edits");
        p.resizeView = symbol<Tv3ProbeResizeViewFn>(library, "tv3probe_resize_view");
        return p;
    }();
    if (loaded.reset) loaded.reset();
    return loaded;
}

PluginPtr create(const CreateArgs& args, std::string* error) {
    std::string cid = args.cid;
    if (cid.empty()) cid = args.instrument ? TV3PROBE_INSTRUMENT_CID : TV3PROBE_EFFECT_CID;
    char message[512] = {};
    tv3m_plugin* p = args.instrument
                         ? tv3m_plugin_create_instrument(bundlePath().c_str(), cid.c_str(), args.rate, args.maxBlock,
                                                         args.channels, message, sizeof message)
                         : tv3m_plugin_create(bundlePath().c_str(), cid.c_str(), args.rate, args.maxBlock,
                                              args.channels, message, sizeof message);
    if (error) *error = message;
    return PluginPtr(p);
}

PluginPtr createEffect(int32_t channels, int32_t maxBlock) {
    std::string error;
    PluginPtr p = create({false, channels, maxBlock, 48000, {}}, &error);
    EXPECT_TRUE(p) << error;
    return p;
}

PluginPtr createInstrument(int32_t channels, int32_t maxBlock) {
    std::string error;
    PluginPtr p = create({true, channels, maxBlock, 48000, {}}, &error);
    EXPECT_TRUE(p) << error;
    return p;
}

Audio::Audio(int32_t channels, int32_t frames, float fill)
    : samples(static_cast<size_t>(channels), std::vector<float>(static_cast<size_t>(frames), fill)) {
    for (auto& channel : samples) pointers.push_back(channel.data());
}

std::vector<int32_t> logFrom(const ProbeRecord& r, int32_t from) {
    std::vector<int32_t> calls;
    for (int32_t i = from; i < r.logCount && i < kProbeLogSize; ++i) calls.push_back(r.log[i]);
    return calls;
}

} // namespace probetest
