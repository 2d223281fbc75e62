#pragma once

#include "tv3/Unknown.h"

#include <cstdint>
#include <vector>

namespace tv3 {

// A growable in-memory byte stream for moving plug-in state.
class MemoryStream final : public Unknown<Steinberg::IBStream> {
public:
    MemoryStream() = default;
    MemoryStream(const void* bytes, std::size_t size);

    Steinberg::tresult PLUGIN_API read(void* buffer, Steinberg::int32 numBytes, Steinberg::int32* numBytesRead) override;
    Steinberg::tresult PLUGIN_API write(void* buffer, Steinberg::int32 numBytes,
                                        Steinberg::int32* numBytesWritten) override;
    Steinberg::tresult PLUGIN_API seek(Steinberg::int64 pos, Steinberg::int32 mode, Steinberg::int64* result) override;
    Steinberg::tresult PLUGIN_API tell(Steinberg::int64* pos) override;

    const std::uint8_t* data() const { return data_.data(); }
    std::int64_t size() const { return static_cast<std::int64_t>(data_.size()); }
    std::int64_t position() const { return position_; }
    // Clamped to 0...size, like seek.
    void setPosition(std::int64_t position);

private:
    std::vector<std::uint8_t> data_;
    std::int64_t position_ = 0;
};

} // namespace tv3
