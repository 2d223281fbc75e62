#include "PluginRunLoop.h"

#include "tv3m.h"

#include <chrono>

namespace {

platform::MainLoop& loopOf(void* context) { return *static_cast<platform::MainLoop*>(context); }

// No exception may cross into the C layer (and from there into a plug-in).
template <class Body>
std::uint64_t orZero(Body&& body) {
    try {
        return body();
    } catch (...) {
        return 0;
    }
}

} // namespace

void lendMainLoopToPlugins(platform::MainLoop& loop) {
    tv3m_run_loop lent{};
    lent.context = &loop;
    lent.watch_readable = [](void* context, std::int32_t fd, void (*ready)(void*), void* data) -> std::uint64_t {
        return orZero([&] { return loopOf(context).watchReadable(fd, [ready, data] { ready(data); }); });
    };
    lent.start_timer = [](void* context, std::uint64_t ms, void (*tick)(void*), void* data) -> std::uint64_t {
        return orZero([&] {
            return loopOf(context).startRepeatingTimer(std::chrono::milliseconds(ms), [tick, data] { tick(data); });
        });
    };
    lent.cancel = [](void* context, std::uint64_t id) {
        try {
            loopOf(context).cancel(id);
        } catch (...) {
        }
    };
    tv3m_set_run_loop(&lent);
}
