// What the parent learns from "status": edits counted since the last answer,
// and whether the editor window is open. Shared by the main thread, which
// counts, and the request thread, which answers without waiting for it.
#pragma once

#include <cstdint>
#include <mutex>

class HelperStatus {
public:
    struct Taken {
        std::int64_t edits = 0;
        bool editorOpen = false;
    };

    // Adds a count the plug-in reported; a negative count adds nothing.
    void addEdits(std::int64_t count) {
        if (count <= 0) return;
        std::lock_guard<std::mutex> hold(lock_);
        edits_ += count;
    }

    void setEditorOpen(bool open) {
        std::lock_guard<std::mutex> hold(lock_);
        editorOpen_ = open;
    }

    // Reads both and resets the count, in one step, so that each edit is
    // reported exactly once.
    Taken take() {
        std::lock_guard<std::mutex> hold(lock_);
        Taken taken{edits_, editorOpen_};
        edits_ = 0;
        return taken;
    }

private:
    std::mutex lock_;
    std::int64_t edits_ = 0;
    bool editorOpen_ = false;
};
