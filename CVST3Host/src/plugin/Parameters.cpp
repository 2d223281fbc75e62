// Listing, reading, setting and showing an instance's parameters.
#include "plugin/Guard.h"
#include "plugin/PluginInstance.h"
#include "plugin/WideText.h"
#include "tv3/ComponentHandler.h"

#include <cstring>

using namespace Steinberg;
using namespace Steinberg::Vst;

extern "C" int32_t tv3m_param_count(tv3m_plugin* plugin) {
    if (!plugin || !plugin->controller) return 0;
    return tv3m::guarded(0, [&] { return plugin->controller->getParameterCount(); });
}

extern "C" int32_t tv3m_param_info_at(tv3m_plugin* plugin, int32_t index, tv3m_param_info* info) {
    if (!plugin || !info || !plugin->controller) return -1;
    std::memset(info, 0, sizeof *info);
    ParameterInfo record{};
    if (tv3m::guarded(tresult{kInternalError}, [&] { return plugin->controller->getParameterInfo(index, record); }) !=
        kResultOk) {
        return -1;
    }
    info->id = record.id;
    tv3m::copyWide(info->title, sizeof info->title, record.title);
    tv3m::copyWide(info->units, sizeof info->units, record.units);
    info->defaultValue = record.defaultNormalizedValue;
    info->stepCount = record.stepCount;
    if (record.flags & ParameterInfo::kCanAutomate) info->flags |= TV3M_PARAM_CAN_AUTOMATE;
    if (record.flags & ParameterInfo::kIsReadOnly) info->flags |= TV3M_PARAM_READ_ONLY;
    if (record.flags & ParameterInfo::kIsBypass) info->flags |= TV3M_PARAM_BYPASS;
    return 0;
}

extern "C" double tv3m_param_get(tv3m_plugin* plugin, uint32_t id) {
    if (!plugin || !plugin->controller) return 0;
    return tv3m::guarded(0.0, [&] { return plugin->controller->getParamNormalized(id); });
}

extern "C" int32_t tv3m_param_set(tv3m_plugin* plugin, uint32_t id, double value) {
    if (!plugin || !plugin->controller) return -1;
    // Written so that NaN becomes 0 rather than passing through to the plug-in.
    value = value > 1.0 ? 1.0 : (value >= 0.0 ? value : 0.0);
    return tv3m::guarded(-1, [&] {
        plugin->controller->setParamNormalized(id, value);
        // The processor learns the value in the next block, like an edit made
        // in the plug-in's own editor, and it is counted as one.
        plugin->componentHandler->performEdit(id, value);
        return 0;
    });
}

extern "C" int32_t tv3m_param_display(tv3m_plugin* plugin, uint32_t id, double value, char* buffer, int32_t size) {
    if (!plugin || size < 1 || !buffer || !plugin->controller) return -1;
    String128 text{};
    if (tv3m::guarded(tresult{kInternalError}, [&] { return plugin->controller->getParamStringByValue(id, value, text); }) !=
        kResultOk) {
        return -1;
    }
    tv3m::copyWide(buffer, size, text);
    return 0;
}
