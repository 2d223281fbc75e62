// The main loop on Linux: one asio::io_context run on the calling thread.
// Timers are steady_timers re-armed from their handlers; descriptor watches
// wait on a duplicate of the caller's descriptor, so the loop never closes the
// caller's; a process's exit is seen through a pidfd, or by polling kill(pid,
// 0) twice a second where the kernel has no pidfd_open.
#include "platform/MainLoop.h"

#include <asio.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace platform {
namespace {

constexpr auto kProcessPollInterval = std::chrono::milliseconds(500);

int openPidfd(int pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    errno = ENOSYS;
    return -1;
#endif
}

bool processGone(int pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

class AsioMainLoop final : public MainLoop {
public:
    explicit AsioMainLoop(bool usePidfd) : usePidfd_(usePidfd), guard_(asio::make_work_guard(context_)) {}

    ~AsioMainLoop() override {
        // Handlers still queued are dropped with the context; the sources
        // are closed first so none of them can fire into freed state.
        std::lock_guard<std::mutex> hold(sourcesLock_);
        for (auto& [id, source] : sources_) source->close();
        sources_.clear();
    }

    void run() override {
        loopThread_ = std::this_thread::get_id();
        context_.restart();
        context_.run();
    }

    void stop() override { context_.stop(); }

    void post(std::function<void()> work) override { asio::post(context_, std::move(work)); }

    void runAndWait(const std::function<void()>& work) override {
        if (std::this_thread::get_id() == loopThread_.load()) {
            work();
            return;
        }
        std::mutex lock;
        std::condition_variable changed;
        bool done = false;
        asio::post(context_, [&] {
            work();
            std::lock_guard<std::mutex> hold(lock);
            done = true;
            changed.notify_one();
        });
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [&] { return done; });
    }

    Id startRepeatingTimer(std::chrono::nanoseconds interval, std::function<void()> tick) override {
        auto source = std::make_shared<TimerSource>(context_, interval, std::move(tick));
        const Id id = add(source);
        armOnLoop(source);
        return id;
    }

    Id watchReadable(int fd, std::function<void()> ready) override {
        const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
        if (copy < 0) return nextId(); // nothing to watch: the watch never fires
        auto source = std::make_shared<ReadableSource>(context_, copy, std::move(ready));
        const Id id = add(source);
        armOnLoop(source);
        return id;
    }

    Id watchProcessExit(int pid, std::function<void()> exited) override {
        const Id id = nextId();
        const int pidfd = usePidfd_ ? openPidfd(pid) : -1;
        if (pidfd >= 0) {
            // Readable once the process has exited; once is all we need.
            auto once = std::make_shared<bool>(false);
            auto source = std::make_shared<ReadableSource>(context_, pidfd, [this, id, once, exited] {
                if (*once) return;
                *once = true;
                cancel(id);
                exited();
            });
            add(id, source);
            armOnLoop(source);
            return id;
        }
        if (usePidfd_ && errno == ESRCH) {
            // No such process: it has exited already.
            postOnce(id, std::move(exited));
            return id;
        }
        // Where pidfd_open is missing, ask the kernel twice a second.
        if (processGone(pid)) {
            postOnce(id, std::move(exited));
            return id;
        }
        auto source = std::make_shared<TimerSource>(context_, kProcessPollInterval, [this, id, pid, exited] {
            if (!processGone(pid)) return;
            cancel(id);
            exited();
        });
        add(id, source);
        armOnLoop(source);
        return id;
    }

    void cancel(Id id) override {
        std::shared_ptr<Source> source;
        {
            std::lock_guard<std::mutex> hold(sourcesLock_);
            auto found = sources_.find(id);
            if (found == sources_.end()) return;
            source = std::move(found->second);
            sources_.erase(found);
            // From here no callback of it starts; on the loop's thread that
            // means none is called again at all.
            source->closed = true;
        }
        // Asio's objects are each used by one thread at a time: the loop's.
        if (onLoopThread()) source->close();
        else asio::post(context_, [source] { source->close(); });
    }

private:
    // A timer or a watch. Its handlers hold it alive while they wait, and
    // check `closed` before calling back, so a cancelled one never calls.
    // `closed` is set by cancel on any thread; everything else is the loop
    // thread's, and close() too ends the waits there.
    struct Source {
        virtual ~Source() = default;
        virtual void arm() = 0;
        virtual void close() = 0;
        std::atomic<bool> closed{false};
    };

    struct TimerSource final : Source, std::enable_shared_from_this<TimerSource> {
        TimerSource(asio::io_context& context, std::chrono::nanoseconds interval, std::function<void()> tick)
            : timer(context), interval(interval), tick(std::move(tick)) {}
        void arm() override {
            // From now, not from the last due time: a late tick does not
            // make up for missed ones.
            timer.expires_after(interval);
            timer.async_wait([self = shared_from_this()](const std::error_code& error) {
                if (error || self->closed) return;
                self->arm();
                self->tick();
            });
        }
        void close() override {
            closed = true;
            timer.cancel();
        }
        asio::steady_timer timer;
        std::chrono::nanoseconds interval;
        std::function<void()> tick;
    };

    struct ReadableSource final : Source, std::enable_shared_from_this<ReadableSource> {
        ReadableSource(asio::io_context& context, int ownedFD, std::function<void()> ready)
            : descriptor(context, ownedFD), ready(std::move(ready)) {}
        void arm() override {
            descriptor.async_wait(asio::posix::stream_descriptor::wait_read,
                                  [self = shared_from_this()](const std::error_code& error) {
                                      if (error || self->closed) return;
                                      // Called before re-arming: a handler that
                                      // cancels itself is not waited for again.
                                      self->ready();
                                      if (!self->closed) self->arm();
                                  });
        }
        void close() override {
            closed = true;
            std::error_code ignored;
            descriptor.cancel(ignored);
            descriptor.close(ignored); // our duplicate, never the caller's
        }
        asio::posix::stream_descriptor descriptor;
        std::function<void()> ready;
    };

    void postOnce(Id id, std::function<void()> exited) {
        auto source = std::make_shared<OnceSource>();
        add(id, source);
        asio::post(context_, [this, id, source, exited = std::move(exited)] {
            if (source->closed) return;
            cancel(id);
            exited();
        });
    }

    struct OnceSource final : Source {
        void arm() override {}
        void close() override { closed = true; }
    };

    bool onLoopThread() const { return std::this_thread::get_id() == loopThread_.load(); }

    Id nextId() {
        std::lock_guard<std::mutex> hold(sourcesLock_);
        return ++lastId_;
    }

    Id add(const std::shared_ptr<Source>& source) {
        std::lock_guard<std::mutex> hold(sourcesLock_);
        const Id id = ++lastId_;
        sources_[id] = source;
        return id;
    }

    void add(Id id, const std::shared_ptr<Source>& source) {
        std::lock_guard<std::mutex> hold(sourcesLock_);
        sources_[id] = source;
    }

    // Starts the source's first wait on the loop's thread: at once when that
    // is the calling thread, else as soon as the loop gets to it (unless it
    // was cancelled by then). Before run() no thread is the loop's, and the
    // wait starts when the loop does.
    void armOnLoop(const std::shared_ptr<Source>& source) {
        if (onLoopThread()) {
            source->arm();
            return;
        }
        asio::post(context_, [source] {
            if (!source->closed) source->arm();
        });
    }

    const bool usePidfd_;
    asio::io_context context_;
    asio::executor_work_guard<asio::io_context::executor_type> guard_;
    std::atomic<std::thread::id> loopThread_{};
    // Timers and watches start and end on any thread: a plug-in may register
    // from a thread of its own.
    std::mutex sourcesLock_;
    std::map<Id, std::shared_ptr<Source>> sources_;
    Id lastId_ = 0;
};

} // namespace

std::unique_ptr<MainLoop> makeMainLoop() { return std::make_unique<AsioMainLoop>(true); }

std::unique_ptr<MainLoop> makeMainLoopPollingProcesses() { return std::make_unique<AsioMainLoop>(false); }

} // namespace platform
