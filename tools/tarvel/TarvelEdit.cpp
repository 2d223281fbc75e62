// Showing a plug-in's editor through the helper until the user closes its
// window, then saving the settings the plug-in was left with.
#include "Tarvel.h"

#include <poll.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tarvel {
namespace {

using Op = PluginBridgeMessage::Op;

constexpr double kPollSeconds = 0.2;
// "status" is answered by the helper's request thread, even while the
// plug-in keeps its main thread busy: no answer in this time means it is gone.
constexpr double kStatusSeconds = 10;
// An interrupted user waits at most this long for a plug-in closing its view.
constexpr double kCloseSeconds = 5;

void pause(double seconds) {
    // A signal ends it early, which is what the caller wants.
    ::poll(nullptr, 0, static_cast<int>(std::lround(seconds * 1000)));
}

std::string edits(std::int64_t count) { return std::to_string(count) + (count == 1 ? " edit" : " edits"); }

// Each line whole and at once, also into a pipe: whoever reads it may be
// waiting for it to act (close the window, say).
void say(const std::string& line) {
    std::fputs(("tarvel: " + line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

std::unique_ptr<Session> openSession(const Options& options, const std::string& bundle, const ChosenClass& chosen) {
    // As params does: stereo, else mono.
    std::string error;
    std::unique_ptr<Session> session = Session::tryOpen(options, bundle, chosen, 48000, 4096, 2, &error);
    if (!session) session = Session::tryOpen(options, bundle, chosen, 48000, 4096, 1, &error);
    if (!session) throw Failure(error);
    return session;
}

} // namespace

int runEdit(const Options& options, const EditOptions& edit) {
    // Everything that can be refused before the user has put work into the
    // editor is refused first.
    checkStateFileWritable(edit.saveState);
    std::optional<SavedState> state;
    if (edit.state) state.emplace(readStateFile(*edit.state));
    const ChosenClass chosen = chooseClass(options, edit.bundle, edit.cid);

    InterruptWatch interrupts;
    std::unique_ptr<Session> session;
    bool editorShown = false;
    try {
        session = openSession(options, edit.bundle, chosen);
        interrupts.check();
        if (state) session->loadState(*state);
        interrupts.check();

        PluginBridgeMessage open = PluginBridgeMessage::init(Op::openEditor);
        open.title = edit.title.value_or(chosen.name);
        session->request(open); // no anchor: the helper centres the window
        editorShown = true;
        interrupts.check();
        say("editing " + chosen.name + "; close the editor window when you are done");

        std::int64_t total = 0;
        for (;;) {
            pause(kPollSeconds);
            interrupts.check();
            const auto status = session->request(PluginBridgeMessage::init(Op::status), {}, kStatusSeconds);
            const std::int64_t seen = status.message.editCount.value_or(0);
            if (seen > 0) {
                total += seen;
                say(edits(total));
            }
            if (!status.message.editorOpen.value_or(false)) break;
        }
        editorShown = false;

        const SavedState saved = session->saveState();
        // Edits made just before the window closed may be counted only now.
        const auto last = session->request(PluginBridgeMessage::init(Op::status), {}, kStatusSeconds);
        total += std::max<std::int64_t>(last.message.editCount.value_or(0), 0);
        interrupts.check();
        writeStateFile(edit.saveState, saved);
        session->quit();
        say("saved " + edit.saveState + " (" + edits(total) + ")");
        return 0;
    } catch (const Interrupted&) {
    } catch (const Failure&) {
        // A signal sent to the helper as well (a kill of every process of
        // the user) may have ended it; the user asked to stop, and that is
        // what tarvel reports.
        if (interrupts.signal() == 0) throw;
    }
    if (session) {
        if (editorShown) {
            try {
                session->request(PluginBridgeMessage::init(Op::closeEditor), {}, kCloseSeconds);
            } catch (const Failure&) {
                // Gone or stuck: quit ends it either way.
            }
        }
        session->quit();
    }
    std::fputs("tarvel: interrupted; nothing was saved\n", stderr);
    return interrupts.status();
}

} // namespace tarvel
