#pragma once

#include "tv3/Unknown.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tv3 {

// Named values a plug-in attaches to its messages. One map per value type: the
// same id may hold an integer and a string at once, each seen only by its own
// getter.
class AttributeList final : public Unknown<Steinberg::Vst::IAttributeList> {
public:
    using AttrID = Steinberg::Vst::IAttributeList::AttrID;

    Steinberg::tresult PLUGIN_API setInt(AttrID id, Steinberg::int64 value) override;
    Steinberg::tresult PLUGIN_API getInt(AttrID id, Steinberg::int64& value) override;
    Steinberg::tresult PLUGIN_API setFloat(AttrID id, double value) override;
    Steinberg::tresult PLUGIN_API getFloat(AttrID id, double& value) override;
    Steinberg::tresult PLUGIN_API setString(AttrID id, const Steinberg::Vst::TChar* string) override;
    Steinberg::tresult PLUGIN_API getString(AttrID id, Steinberg::Vst::TChar* string,
                                            Steinberg::uint32 sizeInBytes) override;
    Steinberg::tresult PLUGIN_API setBinary(AttrID id, const void* data, Steinberg::uint32 sizeInBytes) override;
    Steinberg::tresult PLUGIN_API getBinary(AttrID id, const void*& data, Steinberg::uint32& sizeInBytes) override;

private:
    std::map<std::string, Steinberg::int64> integers_;
    std::map<std::string, double> floats_;
    std::map<std::string, std::u16string> strings_;
    std::map<std::string, std::vector<std::uint8_t>> binaries_;
};

} // namespace tv3
