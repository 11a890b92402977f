// Bounds-checked access to mapped shared memory.
//
// Offsets, counts and sizes read from a segment are untrusted: another process,
// a crash half-way through an update, or a hostile writer may have left anything
// there. Every shared record is reached through a Region, which hands out a typed
// pointer only when the whole record lies inside the region, so a stray offset
// becomes a return code instead of a wild read or write.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(QUOR_SANITIZE) && defined(__has_include)
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#define QUOR_HAVE_ASAN_POISONING 1
#endif
#endif

namespace quor {

class Region {
public:
    Region() = default;
    Region(void *base, uint64_t size) : base_(static_cast<unsigned char *>(base)), size_(base ? size : 0) {}

    unsigned char *base() const { return base_; }
    uint64_t size() const { return size_; }

    // True when [offset, offset + length) lies inside the region (no overflow).
    bool contains(uint64_t offset, uint64_t length) const {
        return offset <= size_ && length <= size_ - offset;
    }

    // The record of type T (count of them) at `offset`, or null when it does not
    // lie wholly inside the region or is misaligned for T.
    template <class T>
    T *at(uint64_t offset, uint64_t count = 1) const {
        if (base_ == nullptr || count > size_ / (sizeof(T) ? sizeof(T) : 1)) return nullptr;
        if (!contains(offset, count * sizeof(T))) return nullptr;
        if ((reinterpret_cast<uintptr_t>(base_) + offset) % alignof(T) != 0) return nullptr;
        return reinterpret_cast<T *>(base_ + offset);
    }

    // The offset of `p` inside the region, or false when it lies outside.
    bool offsetOf(const void *p, uint64_t length, uint64_t *offset) const {
        auto at = reinterpret_cast<uintptr_t>(p), start = reinterpret_cast<uintptr_t>(base_);
        if (base_ == nullptr || at < start || !contains(at - start, length)) return false;
        *offset = at - start;
        return true;
    }

private:
    unsigned char *base_ = nullptr;
    uint64_t size_ = 0;
};

// Sanitizer builds mark bytes of our own heaps that nobody may touch (freed
// chunks, pads); elsewhere these cost nothing.
inline void poisonBytes([[maybe_unused]] const void *p, [[maybe_unused]] size_t n) {
#ifdef QUOR_HAVE_ASAN_POISONING
    ASAN_POISON_MEMORY_REGION(p, n);
#endif
}
inline void unpoisonBytes([[maybe_unused]] const void *p, [[maybe_unused]] size_t n) {
#ifdef QUOR_HAVE_ASAN_POISONING
    ASAN_UNPOISON_MEMORY_REGION(p, n);
#endif
}

}  // namespace quor
