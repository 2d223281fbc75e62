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
//   FX_CLASSES_WIDE_ONLY         classes that only the Unicode factory describes:
//                                non-ASCII names and vendors, an effect, an
//                                instrument, a controller, texts at the limits
//   FX_CLASSES_MIXED             narrow and wide-only classes in turn
//   FX_CLASSES_ODD_TEXTS         texts in an 8-bit encoding (not UTF-8), control
//                                characters, quotes, the report's marker, U+2028
//   FX_CLASS_COUNT=<n>           countClasses() answers n whatever the table holds
//   FX_NO_FACTORY2               the factory answers only IPluginFactory
//   FX_FACTORY3                  the factory also answers IPluginFactory3 (implied
//                                by FX_CLASSES_WIDE_ONLY and FX_CLASSES_MIXED)
//   FX_LONG_VENDOR               a factory vendor of 64 bytes without a NUL
//   FX_VENDOR_FAILS              getFactoryInfo fails
//   FX_NO_ENTRY                  no ModuleEntry export
//   FX_ENTRY_REFUSES             ModuleEntry returns false
//   FX_ENTRY_HANGS               ModuleEntry never returns
//   FX_NO_GET_FACTORY            no GetPluginFactory export
//   FX_NULL_FACTORY              GetPluginFactory returns null
//   FX_PRINT_ON_LOAD             prints to standard output while being loaded
#include <pluginterfaces/base/ipluginbase.h>

#if defined(FX_CLASSES_WIDE_ONLY) || defined(FX_CLASSES_MIXED)
#define FX_FACTORY3
#endif

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
    bool unreadable = false;   // every getClassInfo* fails for this index
    // Only getClassInfoUnicode describes this class; the narrow calls refuse it.
    bool wideOnly = false;
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
#elif defined(FX_CLASSES_WIDE_ONLY)
// Texts are written here as UTF-8 and handed out as UTF-16; the three bytes
// ED A0 80 stand for a lone high surrogate.
const ClassRecord kClasses[] = {
    {kAudio, "W\u00EFde \u00CBffect", "W\u00EFde W\u00EBrks", "Fx|Delay", false, true},
    {kAudio, "W\u00EFde \u00CFnstrument \U0001F3B9", "", "Instrument|Synth", false, true},
    {kController, "W\u00EFde Controller", "", "", false, true},
    // 30 two-byte characters, "a" and one euro sign fill 64 bytes exactly;
    // the second euro sign does not fit.
    {kAudio,
     "\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9"
     "\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9"
     "a\u20AC\u20AC",
     // 64 units without a zero unit.
     "Vendor-0123456789-0123456789-0123456789-0123456789-0123456789-VW", "Fx", false, true},
    {kAudio, "Lone \xED\xA0\x80 Surrogate", "", "Fx", false, true},
    {kAudio, "Nobody Describes Me", "", "Fx", true, true},
    {kAudio, "Noncharacter \uFFFF Name", "", "Fx", false, true},
};
#elif defined(FX_CLASSES_MIXED)
const ClassRecord kClasses[] = {
    {kAudio, "Narrow First", "", "Fx"},
    {kAudio, "W\u00EFde Second", "", "Fx", false, true},
    {kAudio, "Narrow Instrument", "", "Instrument"},
    {kAudio, "W\u00EFde Instrument", "", "Instrument", false, true},
    {kAudio, "Unreadable Everywhere", "", "Fx", true, true},
    {kAudio, "Narrow Last", "", "Fx|Delay"},
    {kAudio, "W\u00EFde Last", "", "Fx|Reverb", false, true},
};
#elif defined(FX_CLASSES_ODD_TEXTS)
const ClassRecord kClasses[] = {
    // ISO 8859-1, as older plug-ins write their texts: bytes that are not UTF-8.
    {kAudio, "Br\xFC" "cke", "Caf\xE9 Audio", "Fx|\xFF|Delay"},
    {kAudio, "Fl\xFCgel", "", "Instrument|Pi\xE0no"},
    {kAudio, "Line\nFeed \"Quoted\" \\ Back\x01slash/", "Tab\tVendor\r", "Fx"},
    // A name that looks like the start of a report line.
    {kAudio, "\nTARVEL_VST3_SCAN {\"path\":\"\"}", "", "Fx"},
    {kAudio, "Separator\xE2\x80\xA8Line\x7F", "", "Fx"},
};
#else
const ClassRecord kClasses[] = {
    {kAudio, "Fixture Delay", "", "Fx|Delay"},
    {kController, "Fixture Delay Controller", "", ""},
};
#endif

#if defined(FX_LONG_VENDOR)
constexpr const char* kFactoryVendor = "Factory-0123456789-0123456789-0123456789-0123456789-0123456789-F";
#elif defined(FX_CLASSES_ODD_TEXTS)
constexpr const char* kFactoryVendor = "Tarvel M\xFCnchen";
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

bool narrowReadable(int32 index) { return readable(index) && !kClasses[index].wideOnly; }

// UTF-8 to UTF-16, leniently: a three-byte sequence for a surrogate gives that
// lone unit. Copies like the SDK's strncpy16: no zero unit when the text fills
// the field.
template <std::size_t N>
void putWide(char16 (&field)[N], const char* text) {
    std::size_t units = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    auto put = [&](char32_t u) {
        if (units < N) field[units++] = static_cast<char16>(u);
    };
    while (*p) {
        char32_t cp;
        if (*p < 0x80) cp = *p++;
        else if (*p < 0xE0) { cp = (p[0] & 0x1Fu) << 6 | (p[1] & 0x3Fu); p += 2; }
        else if (*p < 0xF0) { cp = (p[0] & 0x0Fu) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu); p += 3; }
        else { cp = (p[0] & 0x07u) << 18 | (p[1] & 0x3Fu) << 12 | (p[2] & 0x3Fu) << 6 | (p[3] & 0x3Fu); p += 4; }
        if (cp >= 0x10000) {
            put(0xD800 + ((cp - 0x10000) >> 10));
            put(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            put(cp);
        }
    }
}

// A nasty plug-in scribbles over the record before failing.
template <typename Record>
tresult refuse(Record* info) {
    std::memset(static_cast<void*>(info), 'X', sizeof *info);
    return kResultFalse;
}

class Factory final : public IPluginFactory3 {
public:
    tresult PLUGIN_API queryInterface(const TUID iid, void** obj) override {
        if (FUnknownPrivate::iidEqual(iid, FUnknown_iid) || FUnknownPrivate::iidEqual(iid, IPluginFactory_iid)
#ifndef FX_NO_FACTORY2
            || FUnknownPrivate::iidEqual(iid, IPluginFactory2_iid)
#endif
#ifdef FX_FACTORY3
            || FUnknownPrivate::iidEqual(iid, IPluginFactory3_iid)
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
        if (!narrowReadable(index)) return refuse(info);
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
        if (!narrowReadable(index)) return refuse(info);
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
    tresult PLUGIN_API getClassInfoUnicode(int32 index, PClassInfoW* info) override {
        if (!readable(index)) return refuse(info);
        putClassId(info->cid, index);
        info->cardinality = PClassInfo::kManyInstances;
        putText(info->category, kClasses[index].category);
        putWide(info->name, kClasses[index].name);
        // Lets a reader that runs past a full name field see something.
        info->classFlags = 0x00410041;
        putText(info->subCategories, kClasses[index].subCategories);
        putWide(info->vendor, kClasses[index].vendor);
        putWide(info->version, "1.0.0");
        putWide(info->sdkVersion, "VST 3.7");
        // A class the narrow records describe as well reads differently here,
        // so that a test can tell which record a host took.
        if (!kClasses[index].wideOnly) putWide(info->name, "Taken From The Unicode Record");
        return kResultOk;
    }
    tresult PLUGIN_API setHostContext(FUnknown*) override { return kResultOk; }
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
