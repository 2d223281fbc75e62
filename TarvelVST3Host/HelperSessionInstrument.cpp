// "process" for an instrument: one block of notes in, one block of audio out.
#include "HelperSession.h"

#include <cmath>
#include <limits>
#include <new>

namespace {

HelperSession::Reply failed(const char* text) {
    return {PluginBridgeMessage::reply(std::string(text)), {}};
}

std::int32_t clampToInt32(std::int64_t v) {
    if (v < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
    if (v > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(v);
}

} // namespace

bool HelperSession::renderNotes(const std::vector<tv3m_note_event>& notes, std::int32_t frames) {
    const int32_t result =
        tv3m_plugin_process_events(plugin_, outputPointers_.data(), static_cast<std::int32_t>(channels_), frames,
                                   notes.data(), static_cast<std::int32_t>(notes.size()));
    takeEditCount();
    return result == 0;
}

HelperSession::Reply HelperSession::processNotes(const PluginBridgeMessage& request) {
    if (!plugin_) return failed("no instance is open");
    const std::int64_t frames = request.frames.value_or(0);
    if (frames < 1 || frames > maxBlock_) return failed("the audio block arrived malformed");
    const auto f = static_cast<std::int32_t>(frames);

    notes_.clear();
    if (request.events) {
        // A frame of at most 256 MiB cannot carry more notes than fit 32 bits.
        try {
            notes_.reserve(request.events->size());
        } catch (const std::bad_alloc&) {
            return failed("the instrument failed while playing the notes");
        }
        for (const PluginBridgeNoteEvent& e : *request.events) {
            tv3m_note_event note{};
            note.sampleOffset = clampToInt32(e.offset);
            note.kind = e.isNoteOn ? 0 : 1;
            note.pitch = clampToInt32(e.pitch);
            note.velocity = std::isfinite(e.velocity) ? e.velocity : 0.0f;
            notes_.push_back(note);
        }
    }

    if (!prepareAreas(f, false)) return failed("the audio block arrived malformed");
    if (!renderNotes(notes_, f)) return failed("the instrument failed while playing the notes");
    return {PluginBridgeMessage::reply(), packOutput(f)};
}
