#include "plugin/AuxBus.h"

#include <algorithm>

namespace tv3m {

void AuxBus::prepare(std::int32_t channelCount, std::int32_t frames) {
    channels = std::max<std::int32_t>(channelCount, 0);
    const std::size_t run = static_cast<std::size_t>(std::max<std::int32_t>(frames, 0));
    samples.assign(static_cast<std::size_t>(channels) * run, 0.0f);
    channelPointers.resize(static_cast<std::size_t>(channels));
    for (std::size_t c = 0; c < channelPointers.size(); ++c) channelPointers[c] = samples.data() + c * run;
}

void AuxBus::silence() { std::fill(samples.begin(), samples.end(), 0.0f); }

} // namespace tv3m
