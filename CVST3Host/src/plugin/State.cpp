// Saving and restoring an instance's state as opaque byte blobs: exactly the
// bytes the plug-in writes, nothing added.
#include "plugin/PluginInstance.h"
#include "tv3/MemoryStream.h"

#include <climits>
#include <cstring>

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

template <class Saver>
int32_t saveInto(Saver* saver, void* buffer, int32_t capacity, int32_t* size) {
    if (!saver || !size) return -1;
    auto* stream = new tv3::MemoryStream();
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
    stream->release();
    return result;
}

} // namespace

extern "C" int32_t tv3m_state_save(tv3m_plugin* plugin, void* buffer, int32_t capacity, int32_t* size) {
    return plugin ? saveInto(plugin->component, buffer, capacity, size) : -1;
}

extern "C" int32_t tv3m_controller_state_save(tv3m_plugin* plugin, void* buffer, int32_t capacity, int32_t* size) {
    return plugin ? saveInto(plugin->controller, buffer, capacity, size) : -1;
}

extern "C" int32_t tv3m_state_load(tv3m_plugin* plugin, const void* bytes, int32_t size) {
    if (!plugin || size < 0 || !bytes || !plugin->component) return -1;
    auto* stream = new tv3::MemoryStream(bytes, static_cast<std::size_t>(size));
    const tresult result = plugin->component->setState(stream);
    if (result == kResultOk && plugin->controller) {
        // The controller follows the component's restored settings.
        stream->setPosition(0);
        plugin->controller->setComponentState(stream);
    }
    stream->release();
    return result == kResultOk ? 0 : -1;
}

extern "C" int32_t tv3m_controller_state_load(tv3m_plugin* plugin, const void* bytes, int32_t size) {
    if (!plugin || size < 0 || !bytes || !plugin->controller) return -1;
    auto* stream = new tv3::MemoryStream(bytes, static_cast<std::size_t>(size));
    const tresult result = plugin->controller->setState(stream);
    stream->release();
    return result == kResultOk ? 0 : -1;
}
