// The processes that hold connections on the heaps of a segment.
//
// A heap's connection count (HHeader_t.refCount) says how many connections exist,
// not whose they are, so a process that dies connected would keep its count for
// good and a normal free would be refused for ever. A status segment therefore
// carries a holder area: a chunk of its domain heap, made when the segment is
// created and named by the domain header tail's reserved[0], in which each slot
// records how many connections one process (named by its id and start time) holds
// on one heap of the segment (the domain or a pool, by heap offset). Whenever a
// connection, a free or a check finds slots of processes that no longer exist,
// their counts are taken off the heap's refCount and the slots are freed. The
// records live and die with the segment they count: one segment's history never
// affects another's.
//
// Every heap header tail also names the process that made the heap
// (reserved[1] its id, reserved[2] its start time), written before the heap is
// live, so that a segment whose creator died before it held a tree can be told
// from one still being built.
//
// Locking: the area has its own latch, always taken last (under the heap latch of
// the heap whose slots change, or alone). A slot is published by writing its pid
// last and freed by clearing its pid first, so a holder of the area latch that
// dies leaves slots the next holder reads as either used or free; a slot with
// count 0 is free.
//
// Untrusted input: the area offset, its slot count and every slot are read from
// the segment; the area must lie wholly in the domain heap with the expected
// magic and a slot count no larger than kHolderSlots, or the segment is treated
// as one without records (its connections are then simply counted, as before
// holder records existed).
//
// A dead process's private handles and lists die with it; its blocks and pools
// stay allocated (they may be linked from shared records) and show in the
// listings of unfreed chunks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "shm/heap.h"

namespace quor::shm {

// ---- the format (shared memory) ----
inline constexpr uint64_t kHolderAreaMagic = 0x51484f4c44455231ull;  // "QHOLDER1"
inline constexpr uint32_t kHolderSlots = 240;

struct HolderSlot_t {
    uint64_t heapOffset;  // 0x00 the heap the connections are on
    uint64_t startTime;   // 0x08 the holder's start time (clock ticks since boot)
    uint32_t pid;         // 0x10 0: a free slot; written last, cleared first
    uint32_t count;       // 0x14 connections held
};
static_assert(offsetof(HolderSlot_t, heapOffset) == 0x00);
static_assert(offsetof(HolderSlot_t, startTime) == 0x08);
static_assert(offsetof(HolderSlot_t, pid) == 0x10);
static_assert(offsetof(HolderSlot_t, count) == 0x14);
static_assert(sizeof(HolderSlot_t) == 0x18);

struct HolderArea_t {
    uint64_t magic;      // 0x00 kHolderAreaMagic, written last at creation
    uint64_t slotCount;  // 0x08 slots behind the header
    uint64_t reserved[2];
    ExsLatch_t latch;    // 0x20 guards the slots
    // 0xA8 slotCount HolderSlot_t
};
static_assert(offsetof(HolderArea_t, magic) == 0x00);
static_assert(offsetof(HolderArea_t, slotCount) == 0x08);
static_assert(offsetof(HolderArea_t, latch) == 0x20);
static_assert(sizeof(HolderArea_t) == 0xA8);
inline constexpr uint64_t kHolderAreaSize = sizeof(HolderArea_t) + kHolderSlots * sizeof(HolderSlot_t);

// The words of a heap header tail's reserved array.
enum HolderWord : size_t { kHolderAreaWord = 0, kCreatorPidWord = 1, kCreatorStartWord = 2 };

// ---- the library's uses ----

// Names the calling process as the creator of a heap being laid out; no area yet.
void recordCreator(HHeaderTail_t *tail);
// Makes the holder area of a new segment's domain (a chunk of its heap) and
// records the creator's connection in it. QUOR_RC_OK also when the domain has no
// room for one (its connections are then counted without records).
uint32_t makeHolderArea(void *base, uint64_t domainOffset, uint32_t callerId, uint32_t line,
                        const char *fileName);
// Records the creator's connection of a pool just made in a domain with an area.
void recordPoolCreator(void *base, uint64_t poolOffset);
// One connection more (+1) or fewer (-1) for the calling process on the heap h
// (opened with its magic checked); the heap latch is held. A connection first
// takes the counts of dead holders off refCount. QUOR_RC_HOLDER_AREA_FULL, with
// nothing counted, when no slot is free for a new holder.
uint32_t noteConnection(HeapView &h, int32_t delta);
// Takes the counts of dead holders off refCount; the heap latch is held.
// Returns how many were released.
uint64_t releaseDeadHolders(HeapView &h);
// The same under the heap's own latch, for a free that tests refCount (never
// call it with another heap latch held).
uint32_t releaseDeadHoldersLatched(void *base, uint32_t kind, uint64_t heapOffset);
// The heap is gone: its slots go too (a domain's area goes with the domain).
void forgetHolders(void *base, uint32_t kind, uint64_t heapOffset);

// ---- reading, for tools ----
struct Holder {
    uint64_t heapOffset = 0;
    uint32_t pid = 0;
    uint64_t startTime = 0;
    uint32_t count = 0;
    bool alive = false;
};
// The holders recorded in the segment whose domain header is at domainOffset (a
// momentary view, read without the latch); false when it keeps no records.
bool listHolders(void *base, uint64_t domainOffset, std::vector<Holder> *out);
// The creator named in a heap header tail, and whether it still runs.
struct Creator {
    uint32_t pid = 0;
    uint64_t startTime = 0;
    bool alive = false;
};
Creator creatorOf(const HHeaderTail_t &tail);

}  // namespace quor::shm
