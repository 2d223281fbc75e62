#include "probe/ProbeParameters.h"

#include "probe/ProbeRecord.h"

#include <cstdio>
#include <cstring>

namespace probe {
namespace {

using Steinberg::Vst::ParameterInfo;
using Steinberg::Vst::String128;

constexpr char16_t kHigh = 0xD83D; // with kLow: U+1F600, a 4-byte character in UTF-8
constexpr char16_t kLow = 0xDE00;

void setText(String128 dst, const char16_t* src) {
    int i = 0;
    for (; i < 127 && src[i]; ++i) dst[i] = src[i];
    dst[i] = 0;
}

// Fills all 128 units with `unit`, leaving no zero unit.
void fill(String128 dst, char16_t unit) {
    for (int i = 0; i < 128; ++i) dst[i] = unit;
}

} // namespace

Steinberg::int32 parameterCount() { return kProbeParamCount; }

int parameterIndex(Steinberg::Vst::ParamID id) {
    return id >= kProbeGainId && id < kProbeGainId + kProbeParamCount ? static_cast<int>(id - kProbeGainId) : -1;
}

Steinberg::tresult parameterInfo(Steinberg::int32 index, ParameterInfo& info) {
    if (index < 0 || index >= kProbeParamCount) return Steinberg::kInvalidArgument;
    std::memset(&info, 0, sizeof info);
    info.id = kProbeGainId + static_cast<Steinberg::Vst::ParamID>(index);
    setText(info.shortTitle, u"P");
    switch (info.id) {
    case kProbeGainId:
        setText(info.title, u"Gain");
        setText(info.units, u"dB");
        info.defaultNormalizedValue = 0.5;
        info.flags = ParameterInfo::kCanAutomate;
        break;
    case kProbeLongAsciiId:
        fill(info.title, u'A');
        fill(info.units, u'u');
        info.defaultNormalizedValue = 0.25;
        info.flags = ParameterInfo::kIsReadOnly;
        break;
    case kProbeTwoByteId:
        fill(info.title, u'\u00E9');
        info.stepCount = 3;
        info.defaultNormalizedValue = 1;
        // kIsList is not one of the flags a host passes on.
        info.flags = ParameterInfo::kCanAutomate | ParameterInfo::kIsBypass | ParameterInfo::kIsList;
        break;
    case kProbePairId: {
        const char16_t title[] = {u'a', kHigh, kLow, 0};
        setText(info.title, title);
        setText(info.units, u"Hz");
        info.flags = ParameterInfo::kIsBypass;
        break;
    }
    case kProbeFourByteTextId:
        setText(info.title, u"Four");
        info.stepCount = 1;
        break;
    case kProbeHighAt127Id:
        setText(info.title, u"High");
        break;
    case kProbeLoneSurrogateId: {
        const char16_t title[] = {u'L', kLow, u'o', u'n', u'e', kHigh, 0};
        const char16_t units[] = {kHigh, u'H', u'z', 0};
        setText(info.title, title);
        setText(info.units, units);
        info.defaultNormalizedValue = 0.75;
        break;
    }
    }
    return Steinberg::kResultOk;
}

Steinberg::tresult parameterText(Steinberg::Vst::ParamID id, Steinberg::Vst::ParamValue value, String128 text) {
    switch (id) {
    case kProbeGainId: {
        char ascii[64];
        std::snprintf(ascii, sizeof ascii, "%.1f", value * 25);
        int i = 0;
        for (; ascii[i] && i < 127; ++i) text[i] = static_cast<char16_t>(ascii[i]);
        text[i] = 0;
        return Steinberg::kResultOk;
    }
    case kProbeLongAsciiId:
        fill(text, u'a');
        return Steinberg::kResultOk;
    case kProbePairId:
    case kProbeFourByteTextId: {
        const char16_t t[] = {kHigh, kLow, u'b', u'c', 0};
        setText(text, t);
        return Steinberg::kResultOk;
    }
    case kProbeHighAt127Id:
        // 127 'x', then a high surrogate in the last unit: the String128 holds
        // no unit after it that could pair with it.
        fill(text, u'x');
        text[127] = kHigh;
        return Steinberg::kResultOk;
    default:
        return Steinberg::kResultFalse;
    }
}

} // namespace probe
