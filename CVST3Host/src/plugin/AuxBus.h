#pragma once

#include <cstdint>
#include <vector>

namespace tv3m {

// Host-owned buffers for a bus the caller does not supply (a sidechain input,
// an extra output). Sized once at creation for the largest block, so
// processing never resizes them.
struct AuxBus {
    std::int32_t channels = 0;
    std::vector<float> samples;         // channels x frames, channel after channel
    std::vector<float*> channelPointers; // entry i: samples + i x frames

    void prepare(std::int32_t channelCount, std::int32_t frames);
    void silence();
};

} // namespace tv3m
