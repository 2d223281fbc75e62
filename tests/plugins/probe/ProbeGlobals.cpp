#include "probe/ProbeGlobals.h"

#include <atomic>
#include <cstring>

namespace probe {
namespace {

ProbeRecord gRecord{};
std::atomic<Steinberg::Vst::IComponentHandler*> gHandler{nullptr};

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return c - 'a' + 10;
}

struct Cid {
    Steinberg::TUID bytes{};
    explicit Cid(const char* hex) {
        for (int i = 0; i < 16; ++i)
            bytes[i] = static_cast<char>(hexValue(hex[2 * i]) * 16 + hexValue(hex[2 * i + 1]));
    }
};

} // namespace

ProbeRecord& record() { return gRecord; }

void logCall(ProbeCall call) {
    if (gRecord.logCount < kProbeLogSize) gRecord.log[gRecord.logCount] = call;
    ++gRecord.logCount;
}

const Steinberg::TUID& effectCid() {
    static const Cid cid(TV3PROBE_EFFECT_CID);
    return cid.bytes;
}
const Steinberg::TUID& instrumentCid() {
    static const Cid cid(TV3PROBE_INSTRUMENT_CID);
    return cid.bytes;
}
const Steinberg::TUID& controllerCid() {
    static const Cid cid(TV3PROBE_CONTROLLER_CID);
    return cid.bytes;
}

void setCurrentHandler(Steinberg::Vst::IComponentHandler* handler) { gHandler.store(handler); }
Steinberg::Vst::IComponentHandler* currentHandler() { return gHandler.load(); }

std::int32_t readAll(Steinberg::IBStream* stream, std::uint8_t* bytes, std::int32_t capacity) {
    std::int32_t total = 0;
    std::uint8_t chunk[64];
    for (;;) {
        Steinberg::int32 got = 0;
        if (stream->read(chunk, sizeof chunk, &got) != Steinberg::kResultOk || got <= 0) break;
        for (Steinberg::int32 i = 0; i < got; ++i, ++total)
            if (total < capacity) bytes[total] = chunk[i];
    }
    return total;
}

bool writeAll(Steinberg::IBStream* stream, const std::uint8_t* bytes, std::int32_t size) {
    Steinberg::int32 written = 0;
    return stream->write(const_cast<std::uint8_t*>(bytes), size, &written) == Steinberg::kResultOk &&
           written == size;
}

void keep(Steinberg::FUnknown*& slot, Steinberg::FUnknown* object) {
    if (!gRecord.sw.keepHostObjects || slot || !object) return;
    object->addRef();
    slot = object;
}

} // namespace probe
