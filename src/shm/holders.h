// The processes that hold connections on a heap.
//
// A heap's connection count (HHeader_t.refCount) says how many connections exist,
// not whose they are, so a process that dies connected would keep its count for
// good and a normal free would be refused for ever. Each heap therefore carries a
// key (the first reserved word behind the list heads), under which the host
// records which live processes hold how many of the connections. Whenever a
// connection, a free or a check finds connections of processes that no longer
// exist, their counts are taken off refCount.
//
// A dead process's private handles and lists die with it; its blocks and pools
// stay allocated (they may be linked from shared records) and show in the
// listings of unfreed chunks.
#pragma once

#include <cstdint>

#include "shm/heap.h"

namespace quor::shm {

// Records the creator's connection of a new heap (its refCount of 1) under a new key.
void recordCreator(HHeaderTail_t *tail);
// One connection more (+1) or fewer (-1) for the calling process; the heap latch
// is held. A connection also releases the counts of dead holders first.
void noteConnection(HeapView &h, int32_t delta);
// Takes the counts of dead holders off refCount; the heap latch is held.
// Returns how many were released.
uint64_t releaseDeadHolders(HeapView &h);
// The same under the heap's own latch, for a free that tests refCount (never
// call it with another heap latch held).
uint32_t releaseDeadHoldersLatched(void *base, uint32_t kind, uint64_t heapOffset);
// The heap is gone: its record goes too.
void forgetHolders(void *base, uint32_t kind, uint64_t heapOffset);

}  // namespace quor::shm
