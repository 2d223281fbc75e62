// A plug-in factory whose shape is chosen at compile time, so that the scan can
// be put in front of every kind of factory and entry point that real plug-ins
// cannot be made to show on demand. Written against pluginterfaces only.
//
// Switches (compile definitions):
//   FX_CLASSES_EFFECT (default)  an effect class and its edit controller class
//   FX_CLASSES_SORTING           the sub-category cases that do and don't make
//                                an instrument, own and missing class vendors,
//                                and a class whose record cannot be read
//   FX_CLASSES_LONG              texts that fill their record fields exactly
//   FX_CLASS_COUNT=<n>           countClasses() answers n whatever the table holds
//   FX_NO_FACTORY2               the factory answers only IPluginFactory
//   FX_LONG_VENDOR               a factory vendor of 64 bytes without a NUL
//   FX_VENDOR_FAILS              getFactoryInfo fails
//   FX_NO_ENTRY                  no ModuleEntry export
//   FX_ENTRY_REFUSES             ModuleEntry returns false
//   FX_ENTRY_HANGS               ModuleEntry never returns
//   FX_NO_GET_FACTORY            no GetPluginFactory export
//   FX_NULL_FACTORY              GetPluginFactory returns null
//   FX_PRINT_ON_LOAD             prints to standard output while being loaded
#include <pluginterfaces/base/ipluginbase.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

using namespace Steinberg;

namespace {

constexpr const char* kAudio = "Audio Module Class";
constexpr const char* kController = "Component Controller Class";

struct ClassRecord {
    const char* category;
    const char* name;
    const char* vendor;        // "" : take the factory's
    const char* subCategories;
    bool unreadable = false;   // getClassInfo fails for this index
};

#if defined(FX_CLASSES_SORTING)
const ClassRecord kClasses[] = {
    {kAudio, "Instrument Then Synth", "", "Instrument|Synth"},
    {kAudio, "Fx Then Instrument", "", "Fx|Instrument"},
    {kAudio, "Instrument Between Separators", "", "|Instrument|"},
    {kAudio, "Lower Case Tag", "", "instrument"},
    {kAudio, "Plural Tag", "", "Instruments"},
    {kAudio, "Synth Alone", "", "Synth"},
    {kAudio, "Empty List", "", ""},
    {kController, "Instrument Tagged Controller", "", "Instrument"},
    {kAudio, "Unreadable", "", "Fx", true},
    {kAudio, "Own Vendor", "Other Maker", "Fx|Delay"},
    {kAudio, "Padded Tag", "", "Fx| Instrument"},
    {"audio module class", "Lower Case Category", "", "Instrument"},
};
#elif defined(FX_CLASSES_LONG)
const ClassRecord kClasses[] = {
    // Exactly 64 bytes: the record holds no NUL.
    {kAudio, "Name-0123456789-0123456789-0123456789-0123456789-0123456789-ABCD", "Vendor", "Fx"},
    // 63 ASCII bytes, then a two-byte character that the 64-byte field cuts in half.
    {kAudio, "Cut-0123456789-0123456789-0123456789-0123456789-0123456789-ABCD\xC3\xA9", "", "Fx"},
    // A 32-byte category and a 128-byte sub-category list, neither with a NUL.
    {"Category-0123456789-0123456789-X",
     "Full Fields",
     "Vendor-0123456789-0123456789-0123456789-0123456789-0123456789-VW",
     "Fx|0123456789012345678901234567890123456789012345678901234567890123456789"
     "0123456789012345678901234567890123456789012345678901234"},
};
#else
const ClassRecord kClasses[] = {
    {kAudio, "Fixture Delay", "", "Fx|Delay"},
    {kController, "Fixture Delay Controller", "", ""},
};
#endif

#if defined(FX_LONG_VENDOR)
constexpr const char* kFactoryVendor = "Factory-0123456789-0123456789-0123456789-0123456789-0123456789-F";
#else
constexpr const char* kFactoryVendor = "Tarvel Fixtures";
#endif

#ifdef FX_CLASS_COUNT
constexpr int32 kClassCount = FX_CLASS_COUNT;
#else
constexpr int32 kClassCount = static_cast<int32>(sizeof kClasses / sizeof kClasses[0]);
#endif

std::atomic<int> moduleEntryCalls{0};
std::atomic<int> getFactoryCalls{0};
std::atomic<int> factoryReferences{0};

// Copies like the SDK's strncpy8: no NUL when the text fills the field.
template <std::size_t N>
void putText(char8 (&field)[N], const char* text) {
    std::memcpy(field, text, std::min(std::strlen(text), N));
}

void putClassId(TUID cid, int32 index) {
    const unsigned char bytes[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                                     0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x00};
    std::memcpy(cid, bytes, 16);
    cid[15] = static_cast<char>(index);
}

bool readable(int32 index) {
    return index >= 0 && index < static_cast<int32>(sizeof kClasses / sizeof kClasses[0]) &&
           !kClasses[index].unreadable;
}

// A nasty plug-in scribbles over the record before failing.
template <typename Record>
tresult refuse(Record* info) {
    std::memset(static_cast<void*>(info), 'X', sizeof *info);
    return kResultFalse;
}

class Factory final : public IPluginFactory2 {
public:
    tresult PLUGIN_API queryInterface(const TUID iid, void** obj) override {
        if (FUnknownPrivate::iidEqual(iid, FUnknown_iid) || FUnknownPrivate::iidEqual(iid, IPluginFactory_iid)
#ifndef FX_NO_FACTORY2
            || FUnknownPrivate::iidEqual(iid, IPluginFactory2_iid)
#endif
        ) {
            addRef();
            *obj = this;
            return kResultOk;
        }
        *obj = nullptr;
        return kNoInterface;
    }
    uint32 PLUGIN_API addRef() override { return static_cast<uint32>(++factoryReferences); }
    uint32 PLUGIN_API release() override { return static_cast<uint32>(--factoryReferences); }

    tresult PLUGIN_API getFactoryInfo(PFactoryInfo* info) override {
#ifdef FX_VENDOR_FAILS
        return refuse(info);
#else
        putText(info->vendor, kFactoryVendor);
        putText(info->url, "https://example.invalid/fixtures");
        putText(info->email, "fixtures@example.invalid");
        info->flags = PFactoryInfo::kUnicode;
        return kResultOk;
#endif
    }
    int32 PLUGIN_API countClasses() override { return kClassCount; }
    tresult PLUGIN_API getClassInfo(int32 index, PClassInfo* info) override {
        if (!readable(index)) return refuse(info);
        putClassId(info->cid, index);
        info->cardinality = PClassInfo::kManyInstances;
        putText(info->category, kClasses[index].category);
        putText(info->name, kClasses[index].name);
        return kResultOk;
    }
    tresult PLUGIN_API createInstance(FIDString, FIDString, void** obj) override {
        *obj = nullptr;
        return kNotImplemented;
    }
    tresult PLUGIN_API getClassInfo2(int32 index, PClassInfo2* info) override {
        if (!readable(index)) return refuse(info);
        putClassId(info->cid, index);
        info->cardinality = PClassInfo::kManyInstances;
        putText(info->category, kClasses[index].category);
        putText(info->name, kClasses[index].name);
        info->classFlags = 0;
        putText(info->subCategories, kClasses[index].subCategories);
        putText(info->vendor, kClasses[index].vendor);
        putText(info->version, "1.0.0");
        putText(info->sdkVersion, "VST 3.7");
        return kResultOk;
    }
};

Factory factory;

#ifdef FX_PRINT_ON_LOAD
// Output from a static constructor (while the code is being loaded), left in
// the stdio buffer without a line end.
struct LoadNoise {
    LoadNoise() { std::printf("fixture constructor says hello"); }
} loadNoise;
#endif

} // namespace

// Counters read by tests through dlsym.
extern "C" SMTG_EXPORT_SYMBOL int scanFixtureModuleEntryCalls() { return moduleEntryCalls; }
extern "C" SMTG_EXPORT_SYMBOL int scanFixtureGetFactoryCalls() { return getFactoryCalls; }
extern "C" SMTG_EXPORT_SYMBOL int scanFixtureFactoryReferences() { return factoryReferences; }

#ifndef FX_NO_ENTRY
extern "C" SMTG_EXPORT_SYMBOL bool ModuleEntry(void*) {
    ++moduleEntryCalls;
#ifdef FX_PRINT_ON_LOAD
    // Written straight to the descriptor, also without a line end.
    static const char text[] = " and ModuleEntry too";
    [[maybe_unused]] const ssize_t ignored = ::write(STDOUT_FILENO, text, sizeof text - 1);
#endif
#ifdef FX_ENTRY_HANGS
    for (;;) ::pause();
#endif
#ifdef FX_ENTRY_REFUSES
    return false;
#else
    return true;
#endif
}

extern "C" SMTG_EXPORT_SYMBOL bool ModuleExit() { return true; }
#endif

#ifndef FX_NO_GET_FACTORY
extern "C" SMTG_EXPORT_SYMBOL IPluginFactory* PLUGIN_API GetPluginFactory() {
    ++getFactoryCalls;
#ifdef FX_NULL_FACTORY
    return nullptr;
#else
    factory.addRef();
    return &factory;
#endif
}
#endif
