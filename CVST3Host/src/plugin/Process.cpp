// Running blocks of audio and notes through an instance.
#include "plugin/Denormals.h"
#include "plugin/Guard.h"
#include "plugin/NoteOrder.h"
#include "plugin/PluginInstance.h"
#include "tv3/ComponentHandler.h"
#include "tv3/EmptyEventList.h"
#include "tv3/EventList.h"
#include "tv3/ParameterChanges.h"

#include <pluginterfaces/vst/ivstevents.h>
#include <pluginterfaces/vst/ivstprocesscontext.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <new>

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace tv3m {

void reserveNoteScratch(tv3m_plugin& p, std::size_t count) {
    // The event list always has room for as many events as the two areas.
    if (count <= p.sortedEvents.size()) return;
    // Doubling, so that note lists that keep getting longer grow the room
    // a few times, not on every block.
    const std::size_t room = std::max(count, 2 * p.sortedEvents.size());
    std::vector<tv3m_note_event> sorted(room);
    std::vector<tv3m_note_event> scratch(room);
    if (!p.inputEvents->reserve(room)) throw std::bad_alloc();
    p.sortedEvents.swap(sorted);
    p.noteScratch.swap(scratch);
}

} // namespace tv3m

namespace {

constexpr double kTempo = 120.0;

// An instance that could not be activated again after a restart takes no
// more blocks: a plug-in may not process while inactive.
bool blockArgumentsValid(const tv3m_plugin* p, float* const* outputs, int32_t channels, int32_t frames) {
    return p && outputs && p->processor && p->active && frames >= 1 && channels == p->outputChannels &&
           frames <= p->maxBlockSize;
}

// Hands the edits the controller made since the last block to the processor,
// all at the block's first sample, and counts them.
int32_t takePendingEdits(tv3m_plugin& p) {
    p.inputChanges->clear();
    std::lock_guard<std::mutex> hold(p.componentHandler->editLock());
    auto& edits = p.componentHandler->pendingEditsLocked();
    // An edit that finds no room in the change list (memory ran out) stays
    // pending for the next block instead of being lost; it is counted when a
    // block carries it.
    std::size_t kept = 0;
    for (const auto& edit : edits) {
        int32 queueIndex = 0;
        IParamValueQueue* queue = p.inputChanges->addParameterData(edit.id, queueIndex);
        int32 pointIndex = 0;
        if (queue && queue->addPoint(0, edit.value, pointIndex) == kResultOk) continue;
        edits[kept++] = edit;
    }
    const auto taken = static_cast<int32_t>(edits.size() - kept);
    p.editCount += taken;
    edits.resize(kept);
    return taken;
}

uint64 allChannelsSilent(int32 channels) {
    if (channels >= 64) return ~uint64{0};
    return channels <= 0 ? 0 : (uint64{1} << channels) - 1;
}

ProcessContext transport(const tv3m_plugin& p) {
    ProcessContext context{};
    context.state = ProcessContext::kContTimeValid | ProcessContext::kTempoValid | ProcessContext::kTimeSigValid;
    context.sampleRate = p.sampleRate;
    context.projectTimeSamples = p.samplePosition;
    context.continousTimeSamples = p.samplePosition;
    context.tempo = kTempo;
    context.timeSigNumerator = 4;
    context.timeSigDenominator = 4;
    if (p.isInstrument) {
        // An instrument is told the song plays from its start, so that
        // tempo-synced parts (arpeggiators, LFOs) run.
        context.state |= ProcessContext::kPlaying | ProcessContext::kProjectTimeMusicValid |
                         ProcessContext::kBarPositionValid;
        const double quarters =
            p.sampleRate > 0 ? static_cast<double>(p.samplePosition) / p.sampleRate * kTempo / 60.0 : 0.0;
        context.projectTimeMusic = quarters;
        context.barPositionMusic = std::floor(quarters * 0.25) * 4.0;
    }
    return context;
}

// Everything a call of process carries besides audio: the parameter changes,
// the event lists and the transport at the current position.
ProcessData blockData(tv3m_plugin& p, ProcessContext& context, int32_t frames) {
    context = transport(p);
    p.outputChanges->clear();
    ProcessData data;
    data.processMode = kOffline;
    data.symbolicSampleSize = kSample32;
    data.numSamples = frames;
    data.numInputs = 0;
    data.numOutputs = 0;
    data.inputs = nullptr;
    data.outputs = nullptr;
    data.inputParameterChanges = p.inputChanges;
    data.outputParameterChanges = p.outputChanges;
    data.inputEvents = p.inputEvents;
    data.outputEvents = p.outputEvents;
    data.processContext = &context;
    return data;
}

int32_t processBlock(tv3m_plugin& p, float* const* inputs, float* const* outputs, int32_t channels,
                     int32_t frames) {
    takePendingEdits(p);

    for (int32_t c = 0; c < channels; ++c) {
        p.mainInputPointers[c] = inputs ? inputs[c] : nullptr;
        p.mainOutputPointers[c] = outputs[c];
    }

    for (std::size_t i = 0; i < p.inputBuses.size(); ++i) {
        AudioBusBuffers& bus = p.inputBusBuffers[i];
        if (i == 0 && !p.isInstrument) {
            bus.numChannels = channels;
            bus.silenceFlags = 0;
            bus.channelBuffers32 = p.mainInputPointers.data();
        } else {
            // Sidechains and other extra inputs carry silence, marked as such;
            // cleared every block because a plug-in may have written into them.
            tv3m::AuxBus& aux = p.inputBuses[i];
            aux.silence();
            bus.numChannels = aux.channels;
            bus.silenceFlags = allChannelsSilent(aux.channels);
            bus.channelBuffers32 = aux.channelPointers.data();
        }
    }
    for (std::size_t i = 0; i < p.outputBuses.size(); ++i) {
        AudioBusBuffers& bus = p.outputBusBuffers[i];
        bus.silenceFlags = 0;
        if (i == 0) {
            bus.numChannels = channels;
            bus.channelBuffers32 = p.mainOutputPointers.data();
        } else {
            bus.numChannels = p.outputBuses[i].channels;
            bus.channelBuffers32 = p.outputBuses[i].channelPointers.data();
        }
    }

    ProcessContext context;
    ProcessData data = blockData(p, context, frames);
    data.numInputs = static_cast<int32>(p.inputBusBuffers.size());
    data.numOutputs = static_cast<int32>(p.outputBusBuffers.size());
    data.inputs = p.inputBusBuffers.empty() ? nullptr : p.inputBusBuffers.data();
    data.outputs = p.outputBusBuffers.data();

    tresult result;
    {
        tv3m::NoDenormals flushed;
        result = p.processor->process(data);
    }
    p.samplePosition += frames;
    p.inputEvents->clear();
    return result == kResultOk ? 0 : -1;
}

template <class T>
T clampTo(T value, T low, T high) {
    return value < low ? low : (value > high ? high : value);
}

Event noteEvent(const tv3m_note_event& note, int32_t frames) {
    Event e{};
    e.busIndex = 0;
    e.sampleOffset = clampTo(note.sampleOffset, 0, frames - 1);
    e.ppqPosition = 0;
    e.flags = 0;
    const auto pitch = static_cast<int16>(clampTo(note.pitch, 0, 127));
    const float velocity = std::isnan(note.velocity) ? 0.0f : clampTo(note.velocity, 0.0f, 1.0f);
    if (note.kind == 0) {
        e.type = Event::kNoteOnEvent;
        e.noteOn = NoteOnEvent{0, pitch, 0.0f, velocity, 0, -1};
    } else {
        e.type = Event::kNoteOffEvent;
        e.noteOff = NoteOffEvent{0, pitch, velocity, -1, 0.0f};
    }
    return e;
}

} // namespace

extern "C" int32_t tv3m_plugin_process(tv3m_plugin* plugin, float* const* inputs, float* const* outputs,
                                       int32_t channels, int32_t frames) {
    if (!blockArgumentsValid(plugin, outputs, channels, frames)) return -1;
    // Null input pointers would reach the plug-in as its main input; refuse
    // rather than let it read through them.
    if (!inputs && !plugin->isInstrument && plugin->hasAudioInput) return -1;
    plugin->inputEvents->clear();
    return tv3m::guarded(-1, [&] { return processBlock(*plugin, inputs, outputs, channels, frames); });
}

extern "C" int32_t tv3m_plugin_process_events(tv3m_plugin* plugin, float* const* outputs, int32_t channels,
                                              int32_t frames, const tv3m_note_event* events, int32_t eventCount) {
    if (!blockArgumentsValid(plugin, outputs, channels, frames)) return -1;
    if (eventCount < 0 || !plugin->isInstrument || (!events && eventCount > 0)) return -1;
    return tv3m::guarded(-1, [&] {
        const auto count = static_cast<std::size_t>(eventCount);
        // Out of memory for a longer note list than any before, the block
        // is refused before anything is done: edits stay pending.
        try {
            tv3m::reserveNoteScratch(*plugin, count);
        } catch (const std::bad_alloc&) {
            return -1;
        }
        plugin->inputEvents->clear();
        tv3m_note_event* sorted = plugin->sortedEvents.data();
        std::copy(events, events + count, sorted);
        tv3m::sortNotesByOffset(sorted, count, plugin->noteScratch.data());
        for (std::size_t i = 0; i < count; ++i) {
            Event e = noteEvent(sorted[i], frames);
            plugin->inputEvents->addEvent(e); // cannot fail: the list has room
        }
        return processBlock(*plugin, nullptr, outputs, channels, frames);
    });
}

extern "C" int32_t tv3m_plugin_pending_edits(tv3m_plugin* plugin) {
    if (!plugin) return 0;
    std::lock_guard<std::mutex> hold(plugin->componentHandler->editLock());
    return static_cast<int32_t>(plugin->componentHandler->pendingEditsLocked().size());
}

extern "C" int32_t tv3m_plugin_flush_parameters(tv3m_plugin* plugin) {
    if (!plugin || !plugin->processor || !plugin->active) return -1;
    std::vector<tv3::ComponentHandler::Edit> carried;
    {
        std::lock_guard<std::mutex> hold(plugin->componentHandler->editLock());
        if (plugin->componentHandler->pendingEditsLocked().empty()) return 0;
        try {
            carried = plugin->componentHandler->pendingEditsLocked();
        } catch (const std::bad_alloc&) {
            return -1; // nothing done: the edits wait for the next block
        }
    }
    return tv3m::guarded(-1, [&] {
        // VST3's parameter flush: a call of process with no samples and no
        // audio buses, carrying only the changes. The clock stays where it
        // is, so the next block continues the stream as if nothing happened.
        plugin->inputEvents->clear();
        const int32_t taken = takePendingEdits(*plugin);
        ProcessContext context;
        ProcessData data = blockData(*plugin, context, 0);
        tresult result;
        {
            tv3m::NoDenormals flushed;
            result = plugin->processor->process(data);
        }
        plugin->inputEvents->clear();
        if (plugin->inputChanges->wasRead()) return result == kResultOk ? 1 : -1;
        // Some plug-ins return from a call without samples before looking at
        // the changes. Their edits are not lost: they wait again, ahead of
        // any made since, and the next block carries them (counted once).
        std::lock_guard<std::mutex> hold(plugin->componentHandler->editLock());
        auto& pending = plugin->componentHandler->pendingEditsLocked();
        for (const auto& newer : pending) {
            auto same = std::find_if(carried.begin(), carried.end(), [&](const auto& e) { return e.id == newer.id; });
            if (same != carried.end()) same->value = newer.value;
            else carried.push_back(newer);
        }
        plugin->editCount -= taken;
        pending.swap(carried);
        return result == kResultOk ? 2 : -1;
    });
}

extern "C" int32_t tv3m_plugin_take_edit_count(tv3m_plugin* plugin) {
    if (!plugin) return 0;
    std::lock_guard<std::mutex> hold(plugin->componentHandler->editLock());
    const auto pending = static_cast<int32_t>(plugin->componentHandler->pendingEditsLocked().size());
    const int32_t count = plugin->editCount + pending;
    plugin->editCount = -pending;
    return count;
}
