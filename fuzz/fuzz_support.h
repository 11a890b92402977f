// What every fuzz target shares: a segment image behind guard pages, the
// corruption of chosen bytes, and the rule that keeps the host latches intact.
//
// An input is read front to back: first the corruptions (a count, then for
// each an offset and a value, written as one byte or as one aligned 8-byte
// word), then the operations, one selector byte and its arguments each, until
// the input runs out or the operation limit is reached.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "quor/host.h"
#include "quor/quor.h"

namespace quor::fuzz {

inline constexpr size_t kMaxCorruptions = 24;
inline constexpr size_t kMaxOperations = 48;

// Bytes of the segment that the corruption leaves alone, [begin, end).
//
// A host latch is a process-shared mutex: garbage in its lock word makes a
// taker wait for an owner that does not exist, which no reader of the segment
// can tell from a busy latch. The latch bytes are the host's, not ours, so
// they are left out; every other byte of the segment is fair game.
using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;

inline void keepLatch(Ranges &ranges, uint64_t latchOffset) {
    ranges.emplace_back(latchOffset + offsetof(ExsLatch_t, hostLatch), latchOffset + sizeof(ExsLatch_t));
}

// The latches of the heap whose header lies at H in the image.
inline void keepHeapLatches(Ranges &ranges, const unsigned char *image, uint64_t H) {
    const auto *header = reinterpret_cast<const HHeader_t *>(image + H);
    keepLatch(ranges, H + offsetof(HHeader_t, heapLatch));
    const uint64_t tail = H + QUOR_HHEADER_FIXED_SIZE + QUOR_ROUND8(header->userAppAreaSize);
    keepLatch(ranges, tail + offsetof(HHeaderTail_t, debugLatch));
    // The operations that take (base, kind, offset) trust the heap size read
    // at the offset to bound the heap: it is the one word they cannot check.
    ranges.emplace_back(H + offsetof(HHeader_t, heapSize), H + offsetof(HHeader_t, heapSize) + 8);
}

// The words of a node the corruption leaves alone: the host latches of both
// latch blocks, and the size word, which is what bounds a node reached by its
// address alone.
inline void keepNodeWords(Ranges &ranges) {
    for (uint64_t block : {offsetof(SNodeCB_t, nodeLatch), offsetof(SNodeCB_t, spareLatch)}) {
        for (uint64_t latch :
             {offsetof(NodeLatchBlock_t, accessLatch), offsetof(NodeLatchBlock_t, spareAccessLatch)})
            ranges.emplace_back(block + latch, block + latch + QUOR_HOST_LATCH_SIZE);
    }
    ranges.emplace_back(offsetof(SNodeCB_t, nodeSize), offsetof(SNodeCB_t, nodeSize) + 8);
}

inline bool kept(const Ranges &ranges, uint64_t offset, uint64_t length) {
    for (const auto &[begin, end] : ranges)
        if (offset < end && begin < offset + length) return true;
    return false;
}

// Applies the corruptions the input names to `image` (size bytes).
inline void corrupt(FuzzedDataProvider &in, unsigned char *image, uint64_t size, const Ranges &ranges) {
    const size_t count = in.ConsumeIntegralInRange<size_t>(0, kMaxCorruptions);
    for (size_t i = 0; i < count && in.remaining_bytes() > 0; ++i) {
        const bool word = in.ConsumeBool();
        uint64_t offset = in.ConsumeIntegral<uint32_t>() % size;
        if (word) {
            offset &= ~uint64_t{7};
            if (offset + 8 > size) continue;
            const uint64_t value = in.ConsumeIntegral<uint64_t>();
            if (!kept(ranges, offset, 8)) std::memcpy(image + offset, &value, 8);
        } else {
            const uint8_t value = in.ConsumeIntegral<uint8_t>();
            if (!kept(ranges, offset, 1)) image[offset] = value;
        }
    }
}

// A size argument: mostly small, sometimes anything.
inline uint64_t fuzzSize(FuzzedDataProvider &in) {
    return in.ConsumeBool() ? in.ConsumeIntegralInRange<uint64_t>(0, 4096) : in.ConsumeIntegral<uint64_t>();
}

// A page-aligned read-write mapping of `size` bytes with inaccessible guard
// regions on both sides, so that a stray access near the segment faults even
// where no sanitizer looks. Never unmapped: a target keeps one for its life.
inline unsigned char *guardedMapping(uint64_t size) {
    constexpr uint64_t kGuard = 1 << 20;
    const uint64_t rounded = (size + 4095) & ~uint64_t{4095};
    void *all = mmap(nullptr, rounded + 2 * kGuard, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (all == MAP_FAILED) std::abort();
    auto *segment = static_cast<unsigned char *>(all) + kGuard;
    if (mprotect(segment, rounded, PROT_READ | PROT_WRITE) != 0) std::abort();
    // The segment ends on the guard: a last record that runs over faults.
    return segment + (rounded - size);
}

// The dumps and listings print and the pad checks report; a fuzz run has no
// use for the text.
inline void silenceStdout() {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    hostSetAssertHook([](const char *, const char *, uint32_t) {});
}

// Stops the run at setup: the valid structure could not be built.
inline void require(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz setup failed: %s\n", what);
        std::abort();
    }
}

}  // namespace quor::fuzz
