#include "tv3/AttributeList.h"

#include <algorithm>
#include <new>
#include <utility>

using namespace Steinberg;

namespace tv3 {
namespace {

// A value is built in full before it replaces the stored one, so a plug-in
// that runs the host out of memory gets an answer and keeps the old value
// rather than an exception thrown through its own code.
template <class Store>
tresult storing(Store store) {
    try {
        store();
        return kResultOk;
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    }
}

} // namespace

tresult PLUGIN_API AttributeList::setInt(AttrID id, int64 value) {
    if (!id) return kInvalidArgument;
    return storing([&] { integers_[id] = value; });
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
    return storing([&] { floats_[id] = value; });
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
    return storing([&] {
        std::u16string value;
        if (string) value = std::u16string(string);
        strings_[id] = std::move(value);
    });
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
    return storing([&] { binaries_[id] = std::vector<std::uint8_t>(bytes, bytes + (data ? sizeInBytes : 0)); });
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
