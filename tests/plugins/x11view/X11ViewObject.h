// Small pieces the fixture's classes share: reference counting over any set of
// interfaces, class ids from hex text, UTF-16 names, and the log.
#pragma once

#include <pluginterfaces/base/funknown.h>
#include <pluginterfaces/vst/vsttypes.h>

#include <atomic>
#include <cstring>

namespace x11viewfx {

template <class... I>
class Object : public I... {
public:
    virtual ~Object() = default;
    Steinberg::uint32 PLUGIN_API addRef() override { return static_cast<Steinberg::uint32>(++refs_); }
    Steinberg::uint32 PLUGIN_API release() override {
        const int left = --refs_;
        if (left == 0) delete this;
        return static_cast<Steinberg::uint32>(left);
    }

private:
    std::atomic<int> refs_{1};
};

inline bool sameIid(const Steinberg::TUID a, const Steinberg::TUID b) { return std::memcmp(a, b, 16) == 0; }

inline void putWide(Steinberg::Vst::String128 out, const char16_t* text) {
    int i = 0;
    for (; text[i] && i < 127; ++i) out[i] = static_cast<Steinberg::Vst::TChar>(text[i]);
    out[i] = 0;
}

// Appends one line to the file the log variable names; nothing without it.
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace x11viewfx
