// The one session of session mode: requests are read on a thread of their own
// and served one at a time, in order: audio blocks on that thread, as a host's
// audio thread runs them, and everything else on the main loop. The session owns
// the plug-in instance for the rest of the process's life, and every way it
// ends (quit, a closed or broken pipe, the parent's exit) goes through
// exitSoon, which ends the process with status 0 within two seconds.
#pragma once

#include "HelperEditorWindow.h"
#include "HelperStatus.h"
#include "TarvelPluginBridge/PluginBridgeChannel.h"
#include "TarvelPluginBridge/PluginBridgeMessage.h"
#include "platform/MainLoop.h"
#include "tv3m.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <future>
#include <mutex>
#include <vector>

class HelperSession;

// What the request thread holds: never the session itself, so that a session
// being torn down is seen as gone rather than used.
struct SessionBox {
    std::weak_ptr<HelperSession> session;
};

// How a session reaches the process around it. The defaults end the process;
// tests put recorders in their place.
struct HelperSessionEnvironment {
    // The main loop, on which every request but "status" and the audio
    // blocks runs.
    platform::MainLoop* mainLoop = nullptr;
    // Where the parent's exit is watched: a loop on a thread of its own, so
    // that a plug-in call stuck on the main thread cannot hide it. The main
    // loop when null.
    platform::MainLoop* watchLoop = nullptr;
    // Starts the backstop: ends the process with status 0 after two seconds,
    // however busy the main thread is.
    std::function<void()> startBackstop;
    // Ends the process at once with the given status.
    std::function<void(int)> endProcess;
    // Where editor windows are shown; connected only when an editor is first
    // asked for. None: this build has no window system for editors.
    platform::EditorWindowSystem* windows = nullptr;
};

class HelperSession : public std::enable_shared_from_this<HelperSession> {
public:
    struct Reply {
        PluginBridgeMessage message;
        // Bytes owned by the session, valid until the next request is handled.
        std::span<const std::uint8_t> payload;
    };

    HelperSession(PluginBridgeChannel& channel, std::int32_t parentPID);
    // Ends the instance, so it runs on the main thread: the owner keeps the
    // session until the request thread has returned (the real process never
    // lets it go; tests join that thread first), because the request thread
    // holds it while it serves a block.
    ~HelperSession();
    HelperSession(const HelperSession&) = delete;
    HelperSession& operator=(const HelperSession&) = delete;

    // The process-wide environment and session; set once by start-up.
    static void setEnvironment(HelperSessionEnvironment environment);
    // A copy of it, for the thread that asks.
    static HelperSessionEnvironment environment();
    static void setCurrent(const std::shared_ptr<HelperSession>& session);
    static std::shared_ptr<HelperSession> current();

    // Main thread, once: the request thread, the parent watch, the edit poll.
    void start();

    // Ends the process soon: queues the orderly shutdown on the main loop and
    // starts the backstop. Any thread, any number of times; returns at once.
    static void exitSoon();

    // Routes one request to its handler (main thread). An audio block routed
    // here runs on the main thread; the request thread serves blocks itself.
    Reply handle(const PluginBridgeMessage& request, std::span<const std::uint8_t> payload);

    // Folds the plug-in's pending edits and the editor's state into the
    // status record (main thread; the edit poll calls it).
    void collectEdits();

    HelperStatus& status() { return *status_; }
    std::int32_t parentPID() const { return parentPID_; }

    // Joins the request thread (tests only: the real process never gets here).
    void joinRequestThread();

private:
    static void readLoop(PluginBridgeChannel& channel, std::shared_ptr<SessionBox> box,
                         std::shared_ptr<HelperStatus> status);
    void shutdown();
    // Serves one audio block on the request thread (see readLoop).
    Reply serveBlock(const PluginBridgeMessage& request, std::span<const std::uint8_t> payload);

    // Handlers, one file each.
    Reply open(const PluginBridgeMessage& request);
    // "process", for an effect or an instrument.
    Reply block(const PluginBridgeMessage& request, std::span<const std::uint8_t> payload);
    Reply process(const PluginBridgeMessage& request, std::span<const std::uint8_t> payload);
    Reply processNotes(const PluginBridgeMessage& request);
    Reply loadState(const PluginBridgeMessage& request, std::span<const std::uint8_t> payload);
    Reply saveState();
    Reply parameters();
    Reply setParameter(const PluginBridgeMessage& request);
    Reply openEditor(const PluginBridgeMessage& request);
    Reply raiseEditor();
    Reply closeEditor();
    // Closes the current editor, also while the plug-in runs a modal loop of
    // the host's: that loop is ended first and the window closed after it.
    void closeEditorSafely();

    // One block through the instance, from the session's work areas: the
    // input area must hold channels_ × frames samples already. Fills the
    // output area; false when the plug-in failed. Edits are collected either way.
    bool render(std::int32_t frames);
    bool renderNotes(const std::vector<tv3m_note_event>& notes, std::int32_t frames);
    // The output area as a packed block in the reply buffer.
    std::span<const std::uint8_t> packOutput(std::int32_t frames);
    // Sizes the work areas for one block; false when they cannot be had.
    bool prepareAreas(std::int32_t frames, bool withInput);
    void takeEditCount();
    // Component (false) or controller (true) state, possibly empty; none when
    // it cannot be read.
    std::optional<std::vector<std::uint8_t>> blob(bool controller);
    // After a successful request in which the plug-in announced a new
    // latency: restarts its processing and puts the new latency into the
    // reply (main thread).
    void restartForLatency(const PluginBridgeMessage& request, PluginBridgeMessage& reply);

    PluginBridgeChannel& channel_;
    const std::int32_t parentPID_;
    // Shared with the request thread, which may outlive a session in tests.
    std::shared_ptr<HelperStatus> status_ = std::make_shared<HelperStatus>();

    // Set by "open" and cleared by the shutdown, both on the main thread.
    // The request thread reads it only while serving a block, when "open"
    // is done (it waited for it) and the shutdown waits for blockLock_.
    tv3m_plugin* plugin_ = nullptr;
    // Held by the request thread while the instance runs a block, and by the
    // shutdown while it destroys the instance.
    std::mutex blockLock_;
    // The current editor window, open or already closed by its close button.
    std::shared_ptr<HelperEditorWindow> editor_;
    std::int64_t channels_ = 2;
    std::int64_t maxBlock_ = 4096;
    bool isInstrument_ = false;

    // The request thread runs detached (the process ends under it); this
    // tells tests when it has returned.
    std::shared_future<void> requestThreadDone_;
    bool started_ = false;

    // Work areas of one block, kept between requests so that a run of blocks
    // allocates nothing; each is cleared before the plug-in sees it.
    std::vector<float> inputArea_;
    std::vector<float> outputArea_;
    std::vector<float*> inputPointers_;
    std::vector<float*> outputPointers_;
    std::vector<tv3m_note_event> notes_;
    std::vector<std::uint8_t> replyPayload_;
};
