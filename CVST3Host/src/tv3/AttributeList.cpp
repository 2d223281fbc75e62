#include "tv3/AttributeList.h"

#include <algorithm>

using namespace Steinberg;

namespace tv3 {

tresult PLUGIN_API AttributeList::setInt(AttrID id, int64 value) {
    if (!id) return kInvalidArgument;
    integers_[id] = value;
    return kResultOk;
}

tresult PLUGIN_API AttributeList::getInt(AttrID id, int64& value) {
    if (!id) return kInvalidArgument;
    auto it = integers_.find(id);
    if (it == integers_.end()) return kResultFalse;
    value = it->second;
    return kResultOk;
}

tresult PLUGIN_API AttributeList::setFloat(AttrID id, double value) {
    if (!id) return kInvalidArgument;
    floats_[id] = value;
    return kResultOk;
}

tresult PLUGIN_API AttributeList::getFloat(AttrID id, double& value) {
    if (!id) return kInvalidArgument;
    auto it = floats_.find(id);
    if (it == floats_.end()) return kResultFalse;
    value = it->second;
    return kResultOk;
}

tresult PLUGIN_API AttributeList::setString(AttrID id, const Vst::TChar* string) {
    if (!id) return kInvalidArgument;
    std::u16string& stored = strings_[id];
    stored.clear();
    if (string) {
        for (const Vst::TChar* unit = string; *unit != 0; ++unit) stored.push_back(static_cast<char16_t>(*unit));
    }
    return kResultOk;
}

tresult PLUGIN_API AttributeList::getString(AttrID id, Vst::TChar* string, uint32 sizeInBytes) {
    if (!id) return kInvalidArgument;
    auto it = strings_.find(id);
    if (it == strings_.end()) return kResultFalse;
    if (sizeInBytes < 2 || !string) return kInvalidArgument;
    // Room for sizeInBytes / 2 units, the terminating zero included; a longer
    // value is cut.
    const std::size_t capacity = sizeInBytes / 2 - 1;
    const std::size_t n = std::min(capacity, it->second.size());
    for (std::size_t i = 0; i < n; ++i) string[i] = static_cast<Vst::TChar>(it->second[i]);
    string[n] = 0;
    return kResultOk;
}

tresult PLUGIN_API AttributeList::setBinary(AttrID id, const void* data, uint32 sizeInBytes) {
    if (!id || (!data && sizeInBytes > 0)) return kInvalidArgument;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    binaries_[id].assign(bytes, bytes + (data ? sizeInBytes : 0));
    return kResultOk;
}

tresult PLUGIN_API AttributeList::getBinary(AttrID id, const void*& data, uint32& sizeInBytes) {
    if (!id) return kInvalidArgument;
    auto it = binaries_.find(id);
    if (it == binaries_.end()) return kResultFalse;
    data = it->second.data();
    sizeInBytes = static_cast<uint32>(it->second.size());
    return kResultOk;
}

} // namespace tv3
