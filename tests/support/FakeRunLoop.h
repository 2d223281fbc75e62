// A run loop lent to the tv3m layer (tv3m_set_run_loop) that runs nothing by
// itself: the test sees every watch and timer and fires them when it likes,
// as the main loop would.
#pragma once

#include "tv3m.h"

#include <cstdint>
#include <map>
#include <vector>

namespace tv3test {

class FakeRunLoop {
public:
    struct Entry {
        bool timer = false;
        std::int32_t fd = -1;
        std::uint64_t milliseconds = 0;
        void (*call)(void*) = nullptr;
        void* data = nullptr;
    };

    tv3m_run_loop loop() {
        tv3m_run_loop l{};
        l.context = this;
        l.watch_readable = [](void* self, std::int32_t fd, void (*ready)(void*), void* data) -> std::uint64_t {
            auto& me = *static_cast<FakeRunLoop*>(self);
            if (me.refuse) return 0;
            me.live[++me.lastId] = Entry{false, fd, 0, ready, data};
            return me.lastId;
        };
        l.start_timer = [](void* self, std::uint64_t ms, void (*tick)(void*), void* data) -> std::uint64_t {
            auto& me = *static_cast<FakeRunLoop*>(self);
            if (me.refuse) return 0;
            me.live[++me.lastId] = Entry{true, -1, ms, tick, data};
            return me.lastId;
        };
        l.cancel = [](void* self, std::uint64_t id) {
            auto& me = *static_cast<FakeRunLoop*>(self);
            me.cancelled.push_back(id);
            me.live.erase(id);
        };
        return l;
    }

    // Lends this loop to instances created from now on.
    void install() {
        const tv3m_run_loop l = loop();
        tv3m_set_run_loop(&l);
    }
    static void uninstall() { tv3m_set_run_loop(nullptr); }

    // Fires every live watch (or timer) once, as the loop would; a callback
    // may cancel itself or another, which is then not fired.
    int fireAll(bool timers) {
        std::vector<std::uint64_t> ids;
        for (const auto& [id, e] : live)
            if (e.timer == timers) ids.push_back(id);
        int fired = 0;
        for (std::uint64_t id : ids) {
            auto found = live.find(id);
            if (found == live.end()) continue;
            const Entry e = found->second;
            e.call(e.data);
            ++fired;
        }
        return fired;
    }
    std::size_t count(bool timers) const {
        std::size_t n = 0;
        for (const auto& [id, e] : live) n += e.timer == timers;
        return n;
    }

    std::map<std::uint64_t, Entry> live;
    std::vector<std::uint64_t> cancelled;
    std::uint64_t lastId = 0;
    bool refuse = false;
};

} // namespace tv3test
