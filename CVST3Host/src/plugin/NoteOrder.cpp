#include "plugin/NoteOrder.h"

#include <algorithm>
#include <utility>

namespace tv3m {
namespace {

// Short runs are sorted in place; most note lists are no longer than one run.
constexpr std::size_t kRun = 32;

void insertionSort(tv3m_note_event* events, std::size_t count) noexcept {
    for (std::size_t i = 1; i < count; ++i) {
        const tv3m_note_event moving = events[i];
        std::size_t j = i;
        for (; j > 0 && moving.sampleOffset < events[j - 1].sampleOffset; --j) events[j] = events[j - 1];
        events[j] = moving;
    }
}

} // namespace

void sortNotesByOffset(tv3m_note_event* events, std::size_t count, tv3m_note_event* scratch) noexcept {
    for (std::size_t low = 0; low < count; low += kRun) insertionSort(events + low, std::min(kRun, count - low));
    if (count <= kRun) return;
    // Bottom-up merges of neighbouring runs, back and forth between the two
    // areas. The left run wins ties, which keeps the sort stable.
    tv3m_note_event* from = events;
    tv3m_note_event* to = scratch;
    for (std::size_t width = kRun; width < count; width *= 2) {
        for (std::size_t low = 0; low < count; low += 2 * width) {
            const std::size_t middle = std::min(low + width, count);
            const std::size_t high = std::min(low + 2 * width, count);
            std::size_t left = low;
            std::size_t right = middle;
            std::size_t out = low;
            while (left < middle && right < high) {
                to[out++] = from[right].sampleOffset < from[left].sampleOffset ? from[right++] : from[left++];
            }
            while (left < middle) to[out++] = from[left++];
            while (right < high) to[out++] = from[right++];
        }
        std::swap(from, to);
    }
    if (from != events) std::copy(from, from + count, events);
}

} // namespace tv3m
