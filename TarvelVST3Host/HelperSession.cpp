#include "HelperSession.h"

#include "ReplyText.h"
#include "platform/Thread.h"

#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <utility>

namespace {

using Op = PluginBridgeMessage::Op;

constexpr auto kEditPollInterval = std::chrono::milliseconds(200);
constexpr auto kBackstopDelay = std::chrono::seconds(2);
constexpr const char* kRequestThreadName = "TarvelVST3Host.requests";

// Process-wide: the session's environment and the session itself, weakly, so
// that a shutdown queued by any thread finds the session if it still exists.
std::mutex gStaticsLock;
HelperSessionEnvironment gEnvironment;
std::weak_ptr<HelperSession> gCurrent;

void defaultBackstop() {
    std::thread([] {
        std::this_thread::sleep_for(kBackstopDelay);
        ::_exit(0);
    }).detach();
}

} // namespace

HelperSession::HelperSession(PluginBridgeChannel& channel, std::int32_t parentPID)
    : channel_(channel), parentPID_(parentPID) {}

HelperSession::~HelperSession() {
    if (plugin_) tv3m_plugin_destroy(plugin_);
}

HelperSessionEnvironment HelperSession::environment() {
    std::lock_guard<std::mutex> hold(gStaticsLock);
    return gEnvironment;
}

void HelperSession::setEnvironment(HelperSessionEnvironment e) {
    if (!e.startBackstop) e.startBackstop = defaultBackstop;
    if (!e.endProcess) e.endProcess = [](int status) { ::_exit(status); };
    std::lock_guard<std::mutex> hold(gStaticsLock);
    gEnvironment = std::move(e);
}

void HelperSession::setCurrent(const std::shared_ptr<HelperSession>& session) {
    std::lock_guard<std::mutex> hold(gStaticsLock);
    gCurrent = session;
}

std::shared_ptr<HelperSession> HelperSession::current() {
    std::lock_guard<std::mutex> hold(gStaticsLock);
    return gCurrent.lock();
}

void HelperSession::start() {
    if (started_) return;
    started_ = true;
    const HelperSessionEnvironment e = environment();

    auto box = std::make_shared<SessionBox>();
    box->session = weak_from_this();
    auto done = std::make_shared<std::promise<void>>();
    requestThreadDone_ = done->get_future().share();
    // Detached: the process ends with _exit while the thread may still be
    // blocked in a read, and nothing ever joins it.
    std::thread([&channel = channel_, box, status = status_, done] {
        platform::nameCurrentThread(kRequestThreadName);
        readLoop(channel, box, status);
        done->set_value();
    }).detach();

    // Set up on the watching loop's own thread, which may already be running.
    platform::MainLoop* watchLoop = e.watchLoop ? e.watchLoop : e.mainLoop;
    if (watchLoop) {
        const std::int32_t pid = parentPID_;
        watchLoop->post([watchLoop, pid] { watchLoop->watchProcessExit(pid, [] { exitSoon(); }); });
    }

    if (e.mainLoop) {
        std::weak_ptr<HelperSession> weak = weak_from_this();
        e.mainLoop->startRepeatingTimer(kEditPollInterval, [weak] {
            if (auto session = weak.lock()) session->collectEdits();
        });
    }
}

void HelperSession::joinRequestThread() {
    if (requestThreadDone_.valid()) requestThreadDone_.wait();
}

void HelperSession::readLoop(PluginBridgeChannel& channel, std::shared_ptr<SessionBox> box,
                             std::shared_ptr<HelperStatus> status) {
    const HelperSessionEnvironment e = environment();
    // One frame, reused: a run of blocks of one size allocates nothing here.
    PluginBridgeChannel::Frame request;
    for (;;) {
        if (channel.receiveInto(request)) {
            exitSoon();
            return;
        }
        const Op op = request.message.op;

        if (op == Op::status) {
            // Answered here, without the main thread: a parent polling while
            // the plug-in is busy still hears back between requests.
            const HelperStatus::Taken taken = status->take();
            PluginBridgeMessage reply = PluginBridgeMessage::reply();
            reply.editCount = taken.edits;
            reply.editorOpen = taken.editorOpen;
            if (channel.send(reply)) {
                exitSoon();
                return;
            }
            continue;
        }

        bool sendFailed = false;
        auto reply = [&](Reply result) {
            // Texts from plug-ins may hold anything; a reply that could not be
            // encoded would end the session over one odd parameter title.
            makeRepliedTextsValid(result.message);
            sendFailed = channel.send(result.message, result.payload).has_value();
        };
        if (op == Op::process) {
            // Blocks run here, on the thread that read them, as a host's
            // audio thread runs them: no hand-over to the main thread and
            // back on every block. The main thread meanwhile serves the
            // plug-in's editor and timers and the edit poll, which VST3
            // allows beside processing; everything else waits, because this
            // thread reads no further request before this one is answered.
            Reply result{PluginBridgeMessage::reply("the host is closing"), {}};
            std::shared_ptr<HelperSession> session = box->session.lock();
            if (session) result = session->serveBlock(request.message, request.payload);
            reply(std::move(result));
        } else {
            auto work = [&] {
                Reply result{PluginBridgeMessage::reply("the host is closing"), {}};
                if (auto session = box->session.lock()) {
                    result = session->handle(request.message, request.payload);
                }
                // Sent here rather than after the hand-back: the parent has
                // its reply one thread wake-up sooner. Order is kept, because
                // this thread reads nothing before the work is done.
                reply(std::move(result));
            };
            if (e.mainLoop) e.mainLoop->runAndWait(work);
            else work();
        }
        if (sendFailed) {
            exitSoon();
            return;
        }
        if (op == Op::quit) {
            exitSoon();
            return;
        }
    }
}

HelperSession::Reply HelperSession::handle(const PluginBridgeMessage& request,
                                           std::span<const std::uint8_t> payload) {
    Reply result = [&]() -> Reply {
        switch (request.op) {
        case Op::open: return open(request);
        case Op::loadState: return loadState(request, payload);
        case Op::saveState: return saveState();
        case Op::process: return block(request, payload);
        case Op::parameters: return parameters();
        case Op::setParameter: return setParameter(request);
        case Op::openEditor: return openEditor(request);
        case Op::closeEditor: return closeEditor();
        case Op::raiseEditor: return raiseEditor();
        case Op::status: // answered by the request thread; harmless here
        case Op::quit:
        case Op::reply: break;
        }
        return {PluginBridgeMessage::reply(), {}};
    }();
    if (!result.message.error && plugin_ && tv3m_plugin_take_latency_change(plugin_)) {
        restartForLatency(request, result.message);
    }
    return result;
}

HelperSession::Reply HelperSession::block(const PluginBridgeMessage& request, std::span<const std::uint8_t> payload) {
    return isInstrument_ ? processNotes(request) : process(request, payload);
}

HelperSession::Reply HelperSession::serveBlock(const PluginBridgeMessage& request,
                                               std::span<const std::uint8_t> payload) {
    Reply result;
    bool latencyChanged = false;
    {
        // Held while the instance runs the block, so that the orderly
        // shutdown on the main thread never destroys it mid-block.
        std::lock_guard<std::mutex> hold(blockLock_);
        result = block(request, payload);
        latencyChanged = !result.message.error && plugin_ && tv3m_plugin_take_latency_change(plugin_);
    }
    if (!latencyChanged) return result;
    // Deactivating and activating the component are main-thread calls in
    // VST3. The block lock is not held meanwhile: a shutdown waiting for it
    // on the main thread would otherwise never let this run.
    const HelperSessionEnvironment e = environment();
    auto restart = [&] {
        if (plugin_) restartForLatency(request, result.message);
    };
    if (e.mainLoop) e.mainLoop->runAndWait(restart);
    else restart();
    return result;
}

// A plug-in announces a new latency (a look-ahead parameter, say) from
// wherever it notices it: inside a block, while a parameter is set, from its
// editor. VST3 asks the host to stop processing, deactivate and reactivate
// the component and then read the latency, and plug-ins may only adopt the
// new value on reactivation. That restart drops what the plug-in holds of
// the stream (delay lines), so it is done after the request, on the main
// thread, and never without the parent learning of it: the same reply
// carries the new latency. A failed reply carries nothing but its error,
// so the note waits for the next successful one. "open" has just activated
// the instance and read its latency, so it needs no restart.
void HelperSession::restartForLatency(const PluginBridgeMessage& request, PluginBridgeMessage& reply) {
    // A plug-in that will not become active again refuses every later
    // block, which the parent then hears of.
    if (request.op != Op::open) {
        tv3m_plugin_restart_processing(plugin_);
        // Plug-ins that announce their latency at every activation did so
        // again just now; the latency read below answers that announcement,
        // which would otherwise restart them after every later request.
        tv3m_plugin_take_latency_change(plugin_);
    }
    reply.latency = tv3m_plugin_latency(plugin_);
}

void HelperSession::exitSoon() {
    const HelperSessionEnvironment e = environment();
    if (e.startBackstop) e.startBackstop();
    else defaultBackstop();
    auto orderly = [] {
        if (auto session = current()) session->shutdown();
    };
    if (e.mainLoop) e.mainLoop->post(orderly);
}

void HelperSession::shutdown() {
    // The editor goes before the instance, so that the view never outlives
    // its plug-in.
    if (editor_) {
        editor_->close();
        editor_.reset();
    }
    status_->setEditorOpen(false);
    {
        // Waits for a block running on the request thread; one stuck inside
        // the plug-in leaves the ending to the backstop.
        std::lock_guard<std::mutex> hold(blockLock_);
        if (plugin_) {
            tv3m_plugin_destroy(plugin_);
            plugin_ = nullptr;
        }
    }
    const HelperSessionEnvironment e = environment();
    if (e.endProcess) e.endProcess(0);
    else ::_exit(0);
}

void HelperSession::collectEdits() {
    if (plugin_) takeEditCount();
    status_->setEditorOpen(editor_ && editor_->isOpen());
}

void HelperSession::takeEditCount() {
    status_->addEdits(tv3m_plugin_take_edit_count(plugin_));
}
