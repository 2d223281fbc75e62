// Putting a block's note events in time order without allocating.
#pragma once

#include "tv3m.h"

#include <cstddef>

namespace tv3m {

// Room for this many note events is set aside when an instance is created;
// a block with more grows the room once, and later blocks reuse it.
constexpr std::size_t kNoteScratchAtStart = 256;

// Sorts `count` events by sample offset, ascending and stable (events at the
// same offset keep their order). `scratch` holds at least `count` events and
// is overwritten. Allocates nothing.
void sortNotesByOffset(tv3m_note_event* events, std::size_t count, tv3m_note_event* scratch) noexcept;

} // namespace tv3m
