// Shared-memory formats of a storage heap and the per-kind constants.
//
// Every record here is read and written by every process that maps the segment,
// so the offsets and sizes are pinned. Offsets stored in these records are
// segment offsets (from the segment base), never addresses.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quor/quor.h"

namespace quor::shm {

// ---- pinned formats ---------------------------------------------------------------
static_assert(sizeof(ExsLatch_t) == 136);
static_assert(offsetof(ExsLatch_t, eyecatcher) == 0x00 && offsetof(ExsLatch_t, hostLatch) == 0x04);

static_assert(offsetof(HHeader_t, eyecatcher0) == 0x000);
static_assert(offsetof(HHeader_t, handleEyecatcher) == 0x008);
static_assert(offsetof(HHeader_t, latchEyecatcher) == 0x010);
static_assert(offsetof(HHeader_t, heapMagic) == 0x018);
static_assert(offsetof(HHeader_t, flags) == 0x020);
static_assert(offsetof(HHeader_t, selfOffset) == 0x028);
static_assert(offsetof(HHeader_t, refCount) == 0x030);
static_assert(offsetof(HHeader_t, heapSize) == 0x038);
static_assert(offsetof(HHeader_t, freeBytes) == 0x040);
static_assert(offsetof(HHeader_t, allocBytes) == 0x048);
static_assert(offsetof(HHeader_t, nodeCapacity) == 0x050);
static_assert(offsetof(HHeader_t, granule) == 0x058);
static_assert(offsetof(HHeader_t, heapLatch) == 0x060);
static_assert(offsetof(HHeader_t, treePoolOffset) == 0x0E8);
static_assert(offsetof(HHeader_t, parentHeapOffset) == 0x0E8);
static_assert(offsetof(HHeader_t, userAppAreaSize) == 0x0F0);
static_assert(sizeof(HHeader_t) == 0x0F8);

static_assert(offsetof(ShmDebugInfo_t, debugFlags) == 0x00);
static_assert(offsetof(ShmDebugInfo_t, padType) == 0x04);
static_assert(offsetof(ShmDebugInfo_t, inUse) == 0x08);
static_assert(offsetof(ShmDebugInfo_t, reserved) == 0x0C);
static_assert(offsetof(ShmDebugInfo_t, frontGuards) == 0x20);
static_assert(offsetof(ShmDebugInfo_t, backGuards) == 0x24);
static_assert(sizeof(ShmDebugInfo_t) == 40);

static_assert(offsetof(HHeaderTail_t, topNodeOffset) == 0x00);
static_assert(offsetof(HHeaderTail_t, topNodeTag) == 0x08);
static_assert(offsetof(HHeaderTail_t, segInfoListHead) == 0x10);
static_assert(offsetof(HHeaderTail_t, rmxListHead) == 0x18);
static_assert(offsetof(HHeaderTail_t, reserved) == 0x20);
static_assert(offsetof(HHeaderTail_t, debugInfo) == 0x40);
static_assert(offsetof(HHeaderTail_t, debugLatch) == 0x68);
static_assert(sizeof(HHeaderTail_t) == 0xF0);
static_assert(QUOR_HHEADER_SIZE(0) == 0x1E8 && QUOR_HHEADER_SIZE(13) == 0x1F8);

static_assert(offsetof(SLHeader_t, maxLevel) == 0x00);
static_assert(offsetof(SLHeader_t, slSpaceSize) == 0x08);
static_assert(offsetof(SLHeader_t, slUsedBytes) == 0x10);
static_assert(offsetof(SLHeader_t, slHighWater) == 0x18);
static_assert(offsetof(SLHeader_t, allocCount) == 0x20);
static_assert(offsetof(SLHeader_t, freeCount) == 0x28);
static_assert(offsetof(SLHeader_t, defragCount) == 0x30);
static_assert(offsetof(SLHeader_t, allocLevel) == 0x38);
static_assert(sizeof(SLHeader_t) == QUOR_SL_ALLOC_HEAD_OFFSET);

static_assert(offsetof(SLAllocNode_t, chunkOffset) == 0x00);
static_assert(offsetof(SLAllocNode_t, chunkSize) == 0x08);
static_assert(offsetof(SLAllocNode_t, userOffset) == 0x10);
static_assert(offsetof(SLAllocNode_t, userSize) == 0x18);
static_assert(offsetof(SLAllocNode_t, level) == 0x20);
static_assert(offsetof(SLAllocNode_t, callerId) == 0x28);
static_assert(offsetof(SLAllocNode_t, line) == 0x2C);
static_assert(sizeof(SLAllocNode_t) == 0x30);

static_assert(offsetof(SLFreeNode_t, offset) == 0x00);
static_assert(offsetof(SLFreeNode_t, size) == 0x08);
static_assert(offsetof(SLFreeNode_t, reserved0) == 0x10);
static_assert(offsetof(SLFreeNode_t, reserved1) == 0x18);
static_assert(offsetof(SLFreeNode_t, level) == 0x20);
static_assert(offsetof(SLFreeNode_t, reserved2) == 0x28);
static_assert(offsetof(SLFreeNode_t, reserved3) == 0x2C);
static_assert(sizeof(SLFreeNode_t) == 0x30);

// The skip-list header's sentinels sit at fixed places for a max level L.
static_assert(QUOR_SL_ALLOC_HEAD_OFFSET + QUOR_SL_ALLOC_NODE_SIZE(7 - 1) == QUOR_SL_FREE_LEVEL_OFFSET(7));
static_assert(QUOR_SL_FREE_HEAD_OFFSET(7) + QUOR_SL_FREE_NODE_SIZE(7 - 1) == QUOR_SL_FREE_TAIL_OFFSET(7));
static_assert(QUOR_SL_FREE_TAIL_OFFSET(7) + QUOR_SL_FREE_NODE_SIZE(7 - 1) == QUOR_SL_HEADER_SIZE(7));
static_assert(QUOR_SL_HEADER_SIZE(7) == 720);

static_assert(sizeof(ShmPadEnd_t) == 16 && offsetof(ShmPadEnd_t, nodeOffset) == 0 &&
              offsetof(ShmPadEnd_t, mark) == 8 && offsetof(ShmPadEnd_t, padType) == 12);

inline constexpr uint64_t kHeaderFixed = sizeof(HHeader_t);          // 0x0F8
inline constexpr uint64_t kHeaderTail = sizeof(HHeaderTail_t);       // 0x0F0
inline constexpr uint64_t kHeaderBase = kHeaderFixed + kHeaderTail;  // 0x1E8
inline constexpr uint64_t kMaxLevel = QUOR_SL_MAX_LEVEL;             // 25
inline constexpr uint32_t kRandRange = 32768;                        // draws lie in 0..32767
inline constexpr uint32_t kPromoteLimit = QUOR_SL_PROMOTE_LIMIT;     // draw below this promotes

constexpr uint64_t round8(uint64_t n) { return (n + 7) & ~uint64_t{7}; }
// The header tail (HHeaderTail_t) follows the user application area, whose size
// is rounded up to 8: its offset from the heap header.
constexpr uint64_t headerTailAt(uint64_t userAppAreaSize) { return kHeaderFixed + round8(userAppAreaSize); }
static_assert(headerTailAt(13) + kHeaderTail == QUOR_HHEADER_SIZE(13));
// An allocated node's forward link at level i holds the offset of the next node's
// link slot of that level, not of the node itself.
constexpr uint64_t allocLinkSlot(uint64_t node, uint64_t level) {
    return node + sizeof(SLAllocNode_t) + 8 * level;
}
static_assert(allocLinkSlot(0, 0) == 0x30 && allocLinkSlot(0, 2) == 0x40);
constexpr uint64_t slHeaderSize(uint64_t L) { return QUOR_SL_HEADER_SIZE(L); }
constexpr uint64_t allocNodeSize(uint64_t level) { return QUOR_SL_ALLOC_NODE_SIZE(level); }
constexpr uint64_t freeNodeSize(uint64_t level) { return QUOR_SL_FREE_NODE_SIZE(level); }
// Room a node placement must leave above the high-water mark: enough for one more
// free node of any level, so a chunk can always be given back.
constexpr uint64_t placementReserve(uint64_t L) { return 0x60 + 40 * L; }
static_assert(placementReserve(1) >= freeNodeSize(0) && placementReserve(25) >= freeNodeSize(24));
// Room above the high-water mark under which the space is rebuilt or resized
// before the next insertion.
constexpr uint64_t lowWater(uint64_t L) { return 256 * L + 384; }
// Room an allocation needs above the high-water mark: both nodes of a cut (the
// remainder's and the chunk's) and the placement reserve, which keeps a return
// possible after it. A return needs only one free node, so when node room runs
// short allocations are refused before returns.
constexpr uint64_t cutRoom(uint64_t L) {
    return freeNodeSize(L - 1) + allocNodeSize(L - 1) + placementReserve(L);
}
constexpr uint64_t returnRoom(uint64_t L) { return freeNodeSize(L - 1); }
static_assert(lowWater(1) > cutRoom(1) && lowWater(25) > cutRoom(25));

// ---- heap kinds -----------------------------------------------------------------------
// What differs between a domain heap (its chunks are pools) and a pool heap (its
// chunks are blocks): the magic, the smallest request and the codes.
struct HeapTraits {
    uint32_t kind;
    uint32_t magic;
    uint64_t minChunk;
    uint32_t badMagic, offsetMismatch, markedForDeletion;
    uint32_t allocNotFound, notAtOffset, noFit, fitTooSmall;
    uint32_t reservedArg, spaceTooSmall, chunkTooSmall, chunkTooLarge, outOfSpace;
};

inline constexpr HeapTraits kDomainHeap{QUOR_HEAP_KIND_DOMAIN,
                                        QUOR_DOMAIN_HEAP_MAGIC,
                                        QUOR_DOMAIN_MIN_CHUNK,
                                        QUOR_RC_BAD_DOMAIN_EYECATCHER,
                                        QUOR_RC_DOMAIN_OFFSET_MISMATCH,
                                        QUOR_RC_DOMAIN_MARKED_FOR_DELETION,
                                        QUOR_RC_DOMAIN_ALLOC_CHUNK_NOT_FOUND,
                                        QUOR_RC_DOMAIN_CHUNK_NOT_AT_OFFSET,
                                        QUOR_RC_DOMAIN_NO_FIT,
                                        QUOR_RC_DOMAIN_FIT_TOO_SMALL,
                                        QUOR_RC_DOMAIN_RESERVED_ARG,
                                        QUOR_RC_DOMAIN_SLIST_SPACE_TOO_SMALL,
                                        QUOR_RC_DOMAIN_CHUNK_TOO_SMALL,
                                        QUOR_RC_DOMAIN_CHUNK_TOO_LARGE,
                                        QUOR_RC_DOMAIN_OUT_OF_SPACE};

inline constexpr HeapTraits kPoolHeap{QUOR_HEAP_KIND_POOL,
                                      QUOR_POOL_HEAP_MAGIC,
                                      QUOR_POOL_MIN_CHUNK,
                                      QUOR_RC_BAD_POOL_EYECATCHER,
                                      QUOR_RC_POOL_OFFSET_MISMATCH,
                                      QUOR_RC_POOL_MARKED_FOR_DELETION,
                                      QUOR_RC_POOL_ALLOC_CHUNK_NOT_FOUND,
                                      QUOR_RC_POOL_CHUNK_NOT_AT_OFFSET,
                                      QUOR_RC_POOL_NO_FIT,
                                      QUOR_RC_POOL_FIT_TOO_SMALL,
                                      QUOR_RC_POOL_RESERVED_ARG,
                                      QUOR_RC_POOL_SLIST_SPACE_TOO_SMALL,
                                      QUOR_RC_POOL_CHUNK_TOO_SMALL,
                                      QUOR_RC_POOL_CHUNK_TOO_LARGE,
                                      QUOR_RC_POOL_OUT_OF_SPACE};

// The traits of a kind selector, or null for a selector that is neither 1 nor 2.
inline const HeapTraits *traitsOf(uint32_t kind) {
    return kind == QUOR_HEAP_KIND_DOMAIN ? &kDomainHeap : kind == QUOR_HEAP_KIND_POOL ? &kPoolHeap : nullptr;
}

}  // namespace quor::shm
