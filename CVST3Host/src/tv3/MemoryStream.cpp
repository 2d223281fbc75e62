#include "tv3/MemoryStream.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

using namespace Steinberg;

namespace tv3 {

MemoryStream::MemoryStream(const void* bytes, std::size_t size) {
    if (bytes && size > 0) {
        const auto* first = static_cast<const std::uint8_t*>(bytes);
        data_.assign(first, first + size);
    }
}

tresult PLUGIN_API MemoryStream::read(void* buffer, int32 numBytes, int32* numBytesRead) {
    if (numBytes < 0 || (!buffer && numBytes > 0)) return kInvalidArgument;
    const auto n = static_cast<int32>(std::min<int64>(numBytes, size() - position_));
    if (n > 0) std::memcpy(buffer, data_.data() + position_, static_cast<std::size_t>(n));
    position_ += n;
    if (numBytesRead) *numBytesRead = n;
    return kResultOk;
}

tresult PLUGIN_API MemoryStream::write(void* buffer, int32 numBytes, int32* numBytesWritten) {
    if (numBytes < 0 || (!buffer && numBytes > 0)) return kInvalidArgument;
    const int64 end = position_ + numBytes; // position never exceeds size, so no overflow
    if (end > size()) {
        // A plug-in may ask for any size up to 2 GB; running out of memory is
        // its answer, not an exception thrown through the plug-in's code.
        try {
            data_.resize(static_cast<std::size_t>(end));
        } catch (const std::bad_alloc&) {
            return kOutOfMemory;
        }
    }
    if (numBytes > 0) std::memcpy(data_.data() + position_, buffer, static_cast<std::size_t>(numBytes));
    position_ = end;
    if (numBytesWritten) *numBytesWritten = numBytes;
    return kResultOk;
}

tresult PLUGIN_API MemoryStream::seek(int64 pos, int32 mode, int64* result) {
    int64 target = pos;
    // Saturating, so that an absurd offset from a plug-in cannot overflow.
    const auto plus = [](int64 base, int64 offset) {
        if (offset > 0 && base > std::numeric_limits<int64>::max() - offset) return std::numeric_limits<int64>::max();
        if (offset < 0 && base < std::numeric_limits<int64>::min() - offset) return std::numeric_limits<int64>::min();
        return base + offset;
    };
    if (mode == kIBSeekEnd) target = plus(size(), pos);
    else if (mode == kIBSeekCur) target = plus(position_, pos);
    setPosition(target);
    if (result) *result = position_;
    return kResultOk;
}

tresult PLUGIN_API MemoryStream::tell(int64* pos) {
    if (!pos) return kInvalidArgument;
    *pos = position_;
    return kResultOk;
}

void MemoryStream::setPosition(std::int64_t position) { position_ = std::clamp<std::int64_t>(position, 0, size()); }

} // namespace tv3
