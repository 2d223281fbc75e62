// The factory of a fixture plug-in: a fixed table of classes, each made by a
// function of the fixture's. Header-only, as each fixture is a module of its
// own; the factory lives as long as the module and counts no references.
#pragma once

#include <pluginterfaces/base/ipluginbase.h>

#include <cstddef>
#include <cstring>

namespace fixture {

struct FixtureClass {
    const char* cid; // 32 hex digits
    const char* category;
    const char* name;
    const char* subCategories;
    Steinberg::FUnknown* (*make)(); // a new object holding one reference
};

inline void hexToTUID(const char* hex, Steinberg::TUID out) {
    auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    for (int i = 0; i < 16; ++i) out[i] = static_cast<char>(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1]));
}

inline bool sameClassId(const char* tuid, const char* hex) {
    Steinberg::TUID wanted;
    hexToTUID(hex, wanted);
    return std::memcmp(tuid, wanted, sizeof wanted) == 0;
}

template <std::size_t N>
void putText(Steinberg::char8 (&field)[N], const char* text) {
    std::strncpy(field, text, N - 1);
    field[N - 1] = 0;
}

template <std::size_t Count>
class FixtureFactory final : public Steinberg::IPluginFactory2 {
public:
    using tresult = Steinberg::tresult;
    using int32 = Steinberg::int32;

    explicit FixtureFactory(const FixtureClass (&classes)[Count]) : classes_(classes) {}

    tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override {
        using Steinberg::FUnknownPrivate::iidEqual;
        if (iidEqual(iid, Steinberg::FUnknown_iid) || iidEqual(iid, Steinberg::IPluginFactory_iid) ||
            iidEqual(iid, Steinberg::IPluginFactory2_iid)) {
            *obj = this;
            return Steinberg::kResultOk;
        }
        *obj = nullptr;
        return Steinberg::kNoInterface;
    }
    Steinberg::uint32 PLUGIN_API addRef() override { return 1; }
    Steinberg::uint32 PLUGIN_API release() override { return 1; }

    tresult PLUGIN_API getFactoryInfo(Steinberg::PFactoryInfo* info) override {
        *info = Steinberg::PFactoryInfo{};
        putText(info->vendor, "Tarvel Fixtures");
        info->flags = Steinberg::PFactoryInfo::kUnicode;
        return Steinberg::kResultOk;
    }
    int32 PLUGIN_API countClasses() override { return static_cast<int32>(Count); }
    tresult PLUGIN_API getClassInfo(int32 index, Steinberg::PClassInfo* info) override {
        if (index < 0 || index >= static_cast<int32>(Count)) return Steinberg::kInvalidArgument;
        *info = Steinberg::PClassInfo{};
        hexToTUID(classes_[index].cid, info->cid);
        info->cardinality = Steinberg::PClassInfo::kManyInstances;
        putText(info->category, classes_[index].category);
        putText(info->name, classes_[index].name);
        return Steinberg::kResultOk;
    }
    tresult PLUGIN_API getClassInfo2(int32 index, Steinberg::PClassInfo2* info) override {
        if (index < 0 || index >= static_cast<int32>(Count)) return Steinberg::kInvalidArgument;
        *info = Steinberg::PClassInfo2{};
        hexToTUID(classes_[index].cid, info->cid);
        info->cardinality = Steinberg::PClassInfo::kManyInstances;
        putText(info->category, classes_[index].category);
        putText(info->name, classes_[index].name);
        putText(info->subCategories, classes_[index].subCategories);
        putText(info->version, "1.0.0");
        putText(info->sdkVersion, "VST 3.7");
        return Steinberg::kResultOk;
    }
    tresult PLUGIN_API createInstance(Steinberg::FIDString cid, Steinberg::FIDString iid, void** obj) override {
        *obj = nullptr;
        for (const FixtureClass& c : classes_) {
            if (!sameClassId(cid, c.cid)) continue;
            Steinberg::FUnknown* made = c.make();
            Steinberg::TUID wanted;
            std::memcpy(wanted, iid, sizeof wanted);
            const tresult result = made->queryInterface(wanted, obj);
            made->release();
            return result;
        }
        return Steinberg::kInvalidArgument;
    }

private:
    const FixtureClass (&classes_)[Count];
};

} // namespace fixture
