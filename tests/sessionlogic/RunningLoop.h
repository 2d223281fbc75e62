// The platform's real main loop, run on a thread of the test for the test's
// lifetime: that thread stands for the helper's main thread.
#pragma once

#include "platform/MainLoop.h"

#include <memory>
#include <thread>

class RunningLoop {
public:
    explicit RunningLoop(std::unique_ptr<platform::MainLoop> loop) : loop_(std::move(loop)) {
        thread_ = std::thread([this] { loop_->run(); });
        // The loop has begun once a hand-over comes back.
        loop_->runAndWait([this] { loopThread_ = std::this_thread::get_id(); });
    }
    ~RunningLoop() {
        loop_->stop();
        thread_.join();
    }
    RunningLoop(const RunningLoop&) = delete;
    RunningLoop& operator=(const RunningLoop&) = delete;

    platform::MainLoop& operator*() { return *loop_; }
    platform::MainLoop* operator->() { return loop_.get(); }
    std::thread::id thread() const { return loopThread_; }

private:
    std::unique_ptr<platform::MainLoop> loop_;
    std::thread thread_;
    std::thread::id loopThread_;
};
