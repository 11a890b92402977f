// Looking after a heap whose latch holder died.
//
// The host hands a latch over when its holder dies; what the holder was changing
// under it may be half written. Every heap latch is taken through enterEL, which
// asks the host whether the latch was just taken over and, if so, calls
// afterDeadHolder before anything else runs under the latch.
//
// afterDeadHolder walks the heap with the consistency checker. A consistent heap
// is handed on untouched. Otherwise the heap is repaired when its own records
// allow it, else fenced:
//
// - Repair relists every chunk. The allocated chunks are those whose front pad
//   (and back pad, where the type has one) names a skip-list node that records
//   the same chunk and caller offsets: first those the allocated list still
//   reaches at level 0, then any that the list lost, found by scanning the rest of
//   the chunk area for a front pad. Every byte of the chunk area that no such
//   chunk covers is free. The lists are then built afresh from those chunks, each
//   pad repointed at its new node, and the result must pass the checker.
// - A chunk that was being handed out when its holder died (listed, pads not yet
//   written) was never seen by a caller and becomes free; one that was being
//   returned and still carries an intact pad stays allocated: a chunk that may
//   still be in use is never handed out twice, at the price of a chunk that may
//   leak.
// - A front pad whose node no longer records its chunk (a rebuild of the node
//   space died half way) leaves the chunk's size to its back pad, which still
//   names the old node; a pool block whose pad type has no back pad claims the
//   bytes up to the next chunk with a front pad (free bytes among them stay
//   with it until it is freed). A chunk of a domain in that state fences the
//   heap, as do header sizes out of bounds, overlapping chunks, or relisted
//   nodes that do not fit the space.
//
// A fenced heap carries QUOR_HEAP_DAMAGED in its flags; every operation that
// opens it then returns QUOR_RC_HEAP_DAMAGED, and only freeing it works.
#pragma once

#include <cstdint>
#include <string>

#include "frame/trace.h"
#include "shm/heap.h"

namespace quor::shm {

// Called with `latch` just taken, when the host reports that its holder had died.
// Returns 0 with the latch still held (the heap is consistent, possibly after a
// repair, or the latch guards no heap), or QUOR_RC_HEAP_DAMAGED with the latch
// released.
uint32_t afterDeadHolder(ExsLatch_t *latch);

struct RepairReport {
    uint64_t allocated = 0;         // chunks relisted as allocated
    uint64_t free = 0;              // free chunks relisted
    uint64_t recovered = 0;         // allocated chunks the list had lost, found by their pads
    uint64_t dropped = 0;           // listed chunks without a whole front pad, made free
    uint64_t padsFinished = 0;      // chunks whose back pad was written again
    uint64_t sizedByBackPad = 0;    // lost chunks bounded by their back pad (node written over)
    uint64_t sizedByNextChunk = 0;  // lost chunks without a back pad, bounded by the next chunk
    std::string problem;            // why the heap could not be repaired (empty on success)
};

// Validates the heap (latch held) and repairs it when it is inconsistent: 0 when
// the heap is consistent afterwards, QUOR_RC_HEAP_CORRUPT when it could not be
// repaired (nothing is fenced here). `repaired` tells whether lists were rebuilt.
uint32_t validateOrRepair(void *base, uint32_t kind, uint64_t heapOffset, RepairReport *report,
                          bool *repaired);

// Relists every chunk of the heap from the chunk area and the pads (latch held).
uint32_t repairHeap(void *base, uint32_t kind, uint64_t heapOffset, RepairReport *report);

// The full consistency walk of a heap that the caller keeps still, for the
// exported checks and dumps: QUOR_RC_HEAP_CORRUPT (traced at `probe`, the finding
// logged) when the lists, levels, totals or tiling are broken.
uint32_t walkHeap(const Trace &t, uint32_t probe, const HeapView &h);

}  // namespace quor::shm
