// The record behind a tv3m_plugin handle: one plug-in instance with the host
// objects it was given and the buffers the host keeps for it.
#pragma once

#include "plugin/AuxBus.h"
#include "tv3m.h"

#include <pluginterfaces/gui/iplugview.h>
#include <pluginterfaces/vst/ivstaudioprocessor.h>
#include <pluginterfaces/vst/ivstcomponent.h>
#include <pluginterfaces/vst/ivsteditcontroller.h>
#include <pluginterfaces/vst/ivstmessage.h>

#include <cstdint>
#include <vector>

namespace tv3 {
class HostApplication;
class ComponentHandler;
class ParameterChanges;
class PlugFrame;
class RunLoop;
class EventList;
} // namespace tv3

namespace tv3m {
class EmptyEventList;
}

struct tv3m_plugin {
    tv3m_module* module = nullptr;
    Steinberg::Vst::IComponent* component = nullptr;
    Steinberg::Vst::IAudioProcessor* processor = nullptr;
    Steinberg::Vst::IEditController* controller = nullptr; // null without controller
    Steinberg::Vst::IConnectionPoint* componentConnection = nullptr;
    Steinberg::Vst::IConnectionPoint* controllerConnection = nullptr;
    tv3::HostApplication* hostApplication = nullptr;
    tv3::ComponentHandler* componentHandler = nullptr;
    tv3::ParameterChanges* inputChanges = nullptr;
    tv3::ParameterChanges* outputChanges = nullptr;
    tv3::RunLoop* runLoop = nullptr; // handed out by the host application and the plug frame
    tv3::PlugFrame* plugFrame = nullptr;
    Steinberg::IPlugView* view = nullptr;
    bool viewAttached = false;
    bool componentInitialized = false;
    bool controllerInitialized = false; // a separately created controller
    double sampleRate = 0;
    std::int32_t maxBlockSize = 0;
    std::int32_t outputChannels = 0; // main output width (and main input of an effect)
    bool active = false;
    bool processing = false;
    bool hasAudioInput = false;
    bool isInstrument = false;
    std::int64_t samplePosition = 0; // frames processed since creation
    std::int32_t editCount = 0;      // guarded by the component handler's edit lock
    std::vector<tv3m::AuxBus> inputBuses;  // entry of a bus the caller feeds stays empty
    std::vector<tv3m::AuxBus> outputBuses; // entry 0 (main output) stays empty
    tv3::EventList* inputEvents = nullptr;
    tv3m::EmptyEventList* outputEvents = nullptr;

    // Per-block scratch, sized at creation so that a block allocates nothing.
    std::vector<Steinberg::Vst::AudioBusBuffers> inputBusBuffers;
    std::vector<Steinberg::Vst::AudioBusBuffers> outputBusBuffers;
    std::vector<float*> mainInputPointers;
    std::vector<float*> mainOutputPointers;
    // The block's note events in time order, and the sort's second area.
    // Both only grow (by doubling at least), and only when a block carries
    // more events than they hold; their size is the room, not the count.
    std::vector<tv3m_note_event> sortedEvents;
    std::vector<tv3m_note_event> noteScratch;
};

namespace tv3m {
// Releases whatever exists of an instance, in the fixed order plug-ins expect,
// and frees the record. Used by destroy and by every failed creation.
void teardown(tv3m_plugin* plugin);
// Makes room for `count` note events in a block: the sort's two areas and
// the input event list. Throws std::bad_alloc when memory runs out, with
// the room as it was.
void reserveNoteScratch(tv3m_plugin& plugin, std::size_t count);
} // namespace tv3m
