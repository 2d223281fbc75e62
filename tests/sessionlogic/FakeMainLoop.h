// A main loop the test thread drives by hand: work queued from any thread
// waits until the test pumps it, timers and watches are recorded and fired on
// demand. With it the session's routing and endings run without a real loop.
#pragma once

#include "platform/MainLoop.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

class FakeMainLoop : public platform::MainLoop {
public:
    struct Timer {
        std::chrono::nanoseconds interval;
        std::function<void()> tick;
    };
    struct ExitWatch {
        int pid;
        std::function<void()> exited;
    };

    void run() override {}
    void stop() override {}

    void post(std::function<void()> work) override {
        std::lock_guard<std::mutex> hold(lock_);
        queue_.push_back(std::move(work));
        ++posts_;
        changed_.notify_all();
    }

    // How many pieces of work were ever queued.
    int posts() {
        std::lock_guard<std::mutex> hold(lock_);
        return posts_;
    }

    void runAndWait(const std::function<void()>& work) override {
        std::mutex doneLock;
        std::condition_variable doneChanged;
        bool done = false;
        post([&] {
            work();
            std::lock_guard<std::mutex> hold(doneLock);
            done = true;
            doneChanged.notify_all();
        });
        std::unique_lock<std::mutex> hold(doneLock);
        doneChanged.wait(hold, [&] { return done; });
    }

    Id startRepeatingTimer(std::chrono::nanoseconds interval, std::function<void()> tick) override {
        std::lock_guard<std::mutex> hold(lock_);
        timers_[++lastId_] = Timer{interval, std::move(tick)};
        return lastId_;
    }

    Id watchReadable(int, std::function<void()>) override {
        std::lock_guard<std::mutex> hold(lock_);
        return ++lastId_;
    }

    Id watchProcessExit(int pid, std::function<void()> exited) override {
        std::lock_guard<std::mutex> hold(lock_);
        exitWatches_[++lastId_] = ExitWatch{pid, std::move(exited)};
        return lastId_;
    }

    void cancel(Id id) override {
        std::lock_guard<std::mutex> hold(lock_);
        timers_.erase(id);
        exitWatches_.erase(id);
    }

    // Runs queued work on the calling thread until `done` holds or the time
    // is up; answers `done()`.
    bool pumpUntil(const std::function<bool()>& done,
                   std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (done()) return true;
            std::function<void()> work;
            {
                // Short slices: `done` may be made true by another thread
                // without anything being queued.
                std::unique_lock<std::mutex> hold(lock_);
                if (std::chrono::steady_clock::now() >= end) return done();
                if (!changed_.wait_for(hold, std::chrono::milliseconds(2), [&] { return !queue_.empty(); })) continue;
                work = std::move(queue_.front());
                queue_.pop_front();
            }
            work();
        }
    }

    // Runs what is queued now, without waiting for more.
    void pumpPending() {
        for (;;) {
            std::function<void()> work;
            {
                std::lock_guard<std::mutex> hold(lock_);
                if (queue_.empty()) return;
                work = std::move(queue_.front());
                queue_.pop_front();
            }
            work();
        }
    }

    std::map<Id, Timer> timers() {
        std::lock_guard<std::mutex> hold(lock_);
        return timers_;
    }
    std::map<Id, ExitWatch> exitWatches() {
        std::lock_guard<std::mutex> hold(lock_);
        return exitWatches_;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> queue_;
    std::map<Id, Timer> timers_;
    std::map<Id, ExitWatch> exitWatches_;
    Id lastId_ = 0;
    int posts_ = 0;
};
