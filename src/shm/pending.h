// Chunks handed out but not yet linked, and what is left of them when their
// process dies.
//
// A chunk that the library carves for a record it is about to link (a pool being
// laid out, a node block before it joins a tree) is named, until the link, only
// by the process carving it. If that process dies in between, nothing names the
// chunk and it would stay allocated for good. Such a chunk therefore carries a
// pending mark in its allocated-list node from the moment it is carved, inside
// the heap's critical section: callerId kPendingCaller and line the carver's
// process id (the pad's copies too, for pad types that keep them). Linking
// settles the chunk: the caller's identification replaces the mark.
//
// Invariant: a chunk whose node carries the mark of a process that no longer
// exists is named by nothing the library made, and is reclaimed:
//   - a pool chunk of a domain (a pool being created, or being freed, by a
//     process that died) is undone: its heap magic and holder slots go, the
//     domain's tree record forgets it when it named it, and the chunk returns;
//   - a block of a pool is returned.
// Reclaiming runs under the latch of the heap it changes, from the pool check
// (_quorCheckAllocShmPool, which `quorctl check` and `quorctl reap` run) and
// from a carve that found its heap too full (so debris never makes a carve
// fail while it could be reclaimed).
//
// The process id is kept without its start time (the node has only these two
// words): an id handed out again makes a dead carver's chunk look alive, which
// delays its reclaim but never frees a chunk in use. Callers never set the mark
// themselves: every door that takes a caller's identification passes it
// through callerIdFromCaller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "shm/heap.h"

namespace quor::shm {

inline constexpr uint32_t kPendingCaller = 0x514e4b50u;  // carved, not yet linked
static_assert(offsetof(SLAllocNode_t, callerId) == 0x28 && offsetof(SLAllocNode_t, line) == 0x2C);
static_assert(sizeof(SLAllocNode_t::line) == sizeof(uint32_t), "the line word holds a process id");

// A caller's identification as the heaps record it: the pending mark is the
// library's alone, so a caller passing it records 0.
inline uint32_t callerIdFromCaller(uint32_t callerId) { return callerId == kPendingCaller ? 0 : callerId; }
// The line word of this process's pending mark (its process id).
uint32_t pendingLine();

// The allocated-list node of the chunk whose caller bytes start at userOffset,
// found through its front pad: null unless the pad is whole and names a node
// that records this chunk. Requires: the heap latch is held.
SLAllocNode_t *nodeOfChunk(const HeapView &h, uint64_t userOffset);

// Settles the pending chunk at userOffset of the open heap h, whichever process
// carved it: the node (and the pad's copy) records callerId and line instead of
// the mark. Takes the heap latch. QUOR_RC_OK also when the chunk carries no
// mark (it was settled already).
uint32_t settleChunk(HeapView &h, uint64_t userOffset, uint32_t callerId, uint32_t line);

// What reclaiming found and did in one segment.
struct DebrisReport {
    uint64_t pools = 0;   // pool chunks undone
    uint64_t blocks = 0;  // pool blocks returned
    uint64_t pending = 0; // chunks still pending for processes that run
    uint32_t rc = 0;      // the first failure to reclaim (the rest still ran)
};

// Reclaims the pending chunks of dead processes in the open heap h and, for a
// domain, first in the pools it holds. Takes each heap's latch in turn (never
// two at once). Requires: no heap latch of the segment is held.
void reclaimDebris(HeapView &h, DebrisReport *report);
// The heap offsets of the live pools of the domain at domainOffset (pending
// ones left out), read under its latch.
uint32_t listPools(void *base, uint64_t domainOffset, std::vector<uint64_t> *pools);
// The same for the segment whose domain heap is at domainOffset.
void reclaimDebris(void *base, uint64_t domainOffset, DebrisReport *report);

}  // namespace quor::shm
