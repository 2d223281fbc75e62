// The base of every host object: one interface, a reference count that starts
// at 1 for the creator, and queryInterface answering that interface and
// FUnknown only.
#pragma once

#include "tv3/InterfaceId.h"

#include <atomic>
#include <cstring>

namespace tv3 {

template <class I>
class Unknown : public I {
public:
    Unknown() = default;
    Unknown(const Unknown&) = delete;
    Unknown& operator=(const Unknown&) = delete;

    Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override {
        if (!obj) return Steinberg::kInvalidArgument;
        if (!iid) {
            *obj = nullptr;
            return Steinberg::kInvalidArgument;
        }
        if (std::memcmp(iid, InterfaceId<I>::value(), sizeof(Steinberg::TUID)) == 0 ||
            std::memcmp(iid, InterfaceId<Steinberg::FUnknown>::value(), sizeof(Steinberg::TUID)) == 0) {
            this->addRef();
            *obj = static_cast<I*>(this);
            return Steinberg::kResultOk;
        }
        *obj = nullptr;
        return Steinberg::kNoInterface;
    }

    // Plug-ins add and release references from any thread, their audio
    // thread included.
    Steinberg::uint32 PLUGIN_API addRef() override {
        return static_cast<Steinberg::uint32>(count_.fetch_add(1, std::memory_order_acq_rel) + 1);
    }

    Steinberg::uint32 PLUGIN_API release() override {
        const Steinberg::int32 left = count_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete this;
        return static_cast<Steinberg::uint32>(left);
    }

    virtual ~Unknown() = default;

private:
    std::atomic<Steinberg::int32> count_{1};
};

} // namespace tv3
