#include "plugin/BusLayout.h"

#include <bit>

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace tv3m {
namespace {

int32 channelsOf(SpeakerArrangement arrangement) {
    return std::popcount(static_cast<uint64>(arrangement));
}

} // namespace

std::vector<SpeakerArrangement> requestedArrangements(tv3m_plugin& plugin, BusDirection direction, int32 count,
                                                      int32 channels) {
    const SpeakerArrangement wanted = channels == 1 ? SpeakerArr::kMono : SpeakerArr::kStereo;
    std::vector<SpeakerArrangement> list(static_cast<std::size_t>(count > 0 ? count : 0), wanted);
    const int32 firstFree = (plugin.isInstrument && direction == kInput) ? 0 : 1;
    for (int32 i = firstFree; i < count; ++i) {
        SpeakerArrangement own = 0;
        if (plugin.processor->getBusArrangement(direction, i, own) == kResultOk) list[i] = own;
    }
    return list;
}

bool mainBusMatches(tv3m_plugin& plugin, BusDirection direction, int32 channels) {
    SpeakerArrangement arrangement = 0;
    if (plugin.processor->getBusArrangement(direction, 0, arrangement) == kResultOk) {
        return channelsOf(arrangement) == channels;
    }
    BusInfo info{};
    if (plugin.component->getBusInfo(kAudio, direction, 0, info) == kResultOk) {
        return info.channelCount == channels;
    }
    return true;
}

int32 busChannelCount(tv3m_plugin& plugin, BusDirection direction, int32 index) {
    SpeakerArrangement arrangement = 0;
    if (plugin.processor->getBusArrangement(direction, index, arrangement) == kResultOk) {
        return channelsOf(arrangement);
    }
    BusInfo info{};
    if (plugin.component->getBusInfo(kAudio, direction, index, info) == kResultOk) return info.channelCount;
    return 0;
}

} // namespace tv3m
