// Saving and restoring an instance's state as opaque byte blobs: exactly the
// bytes the plug-in writes, nothing added.
#include "plugin/Guard.h"
#include "plugin/PluginInstance.h"
#include "tv3/MemoryStream.h"

#include <climits>
#include <cstring>
#include <new>

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

// The host's reference to a stream, released however the transfer ends.
struct StreamHold {
    tv3::MemoryStream* stream;
    ~StreamHold() {
        if (stream) stream->release();
    }
};

// A stream holding a copy of the bytes, or null when memory runs out.
tv3::MemoryStream* streamOf(const void* bytes, int32_t size) {
    try {
        return new tv3::MemoryStream(bytes, static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

template <class Saver>
int32_t saveInto(Saver* saver, void* buffer, int32_t capacity, int32_t* size) {
    if (!saver || !size) return -1;
    auto* stream = new (std::nothrow) tv3::MemoryStream();
    if (!stream) return -1;
    StreamHold hold{stream};
    int32_t result = -1;
    if (saver->getState(stream) == kResultOk && stream->size() <= INT32_MAX) {
        const auto bytes = static_cast<int32_t>(stream->size());
        *size = bytes;
        if (!buffer) {
            result = 0; // the size query
        } else if (capacity >= bytes) {
            if (bytes > 0) std::memcpy(buffer, stream->data(), static_cast<std::size_t>(bytes));
            result = 0;
        }
    }
    return result;
}

} // namespace

extern "C" int32_t tv3m_state_save(tv3m_plugin* plugin, void* buffer, int32_t capacity, int32_t* size) {
    return plugin ? tv3m::guarded(-1, [&] { return saveInto(plugin->component, buffer, capacity, size); }) : -1;
}

extern "C" int32_t tv3m_controller_state_save(tv3m_plugin* plugin, void* buffer, int32_t capacity, int32_t* size) {
    return plugin ? tv3m::guarded(-1, [&] { return saveInto(plugin->controller, buffer, capacity, size); }) : -1;
}

extern "C" int32_t tv3m_state_load(tv3m_plugin* plugin, const void* bytes, int32_t size) {
    if (!plugin || size < 0 || !bytes || !plugin->component) return -1;
    return tv3m::guarded(-1, [&] {
        StreamHold hold{streamOf(bytes, size)};
        if (!hold.stream) return -1;
        const tresult result = plugin->component->setState(hold.stream);
        if (result == kResultOk && plugin->controller) {
            // The controller follows the component's restored settings.
            hold.stream->setPosition(0);
            plugin->controller->setComponentState(hold.stream);
        }
        return result == kResultOk ? 0 : -1;
    });
}

extern "C" int32_t tv3m_controller_state_load(tv3m_plugin* plugin, const void* bytes, int32_t size) {
    if (!plugin || size < 0 || !bytes || !plugin->controller) return -1;
    return tv3m::guarded(-1, [&] {
        StreamHold hold{streamOf(bytes, size)};
        if (!hold.stream) return -1;
        return plugin->controller->setState(hold.stream) == kResultOk ? 0 : -1;
    });
}
