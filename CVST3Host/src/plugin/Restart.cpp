// A plug-in's announced change of latency, and the restart of its processing
// that VST3 asks of a host before the new latency is read.
#include "plugin/Guard.h"
#include "plugin/PluginInstance.h"
#include "tv3/ComponentHandler.h"

using namespace Steinberg;

extern "C" int32_t tv3m_plugin_take_latency_change(tv3m_plugin* plugin) {
    if (!plugin || !plugin->componentHandler) return 0;
    return plugin->componentHandler->takeLatencyChange() ? 1 : 0;
}

extern "C" int32_t tv3m_plugin_restart_processing(tv3m_plugin* plugin) {
    if (!plugin || !plugin->processor || !plugin->component) return -1;
    return tv3m::guarded(-1, [&] {
        // The order VST3 describes for a new latency: processing off, the
        // component deactivated and activated again (where a plug-in adapts
        // its algorithm), processing on. The set-up and bus arrangement
        // made at creation stay as they are.
        if (plugin->processing) {
            plugin->processor->setProcessing(false);
            plugin->processing = false;
        }
        if (plugin->active) {
            plugin->component->setActive(false);
            plugin->active = false;
        }
        if (plugin->component->setActive(true) != kResultOk) return -1;
        plugin->active = true;
        plugin->processor->setProcessing(true);
        plugin->processing = true;
        return 0;
    });
}
