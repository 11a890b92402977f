// Consistency check of a storage heap, for the tests and the command-line tools.
//
// Walks the allocated list and both free orders at every level and verifies the
// order, the links in both directions, the counts and byte totals, that the chunks
// tile the chunk area with no gap or overlap, that no two free chunks touch, that
// the nodes lie in the used part of the node space without overlapping, and every
// allocated chunk's pads and node back-references. Reads only; takes no latch (the
// caller keeps the heap still). A corrupt heap gives a code, never a crash.
#pragma once

#include <cstdint>
#include <string>

namespace quor::shm {

struct HeapCheck {
    uint64_t allocCount = 0, freeCount = 0, allocBytes = 0, freeBytes = 0, nodeBytes = 0;
    uint64_t largestFree = 0;  // the largest request the heap can serve is bounded by it
    std::string problem;  // empty when the heap is consistent
};

// QUOR_RC_OK, the codes of the header tests (base, kind, magic, self offset), or
// QUOR_RC_HEAP_CORRUPT with `report->problem` naming the first fault found.
// With `pads` false the pads are left to the chunk checks (which report what
// they find without failing): only the lists, levels, totals and tiling count.
uint32_t checkHeap(void *base, uint32_t kind, uint64_t heapOffset, HeapCheck *report = nullptr,
                   bool pads = true);

}  // namespace quor::shm
