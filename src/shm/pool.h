// Pools and blocks: the internal interface the status tree and the segment lists
// build on.
//
// A pool is a chunk of a domain heap that carries a heap of its own; a block is a
// chunk of a pool heap. A process reaches a pool through its private
// ShmPoolHandle_t. Every view handed out here is bounded by the heap that holds
// it: the domain's region is [0, H + heapSize) of the segment, and a pool's region
// must lie inside its domain's.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame/region.h"
#include "frame/trace.h"
#include "quor/quor.h"

namespace quor::shm {

// The pool handle layout: the segment-list code reads base and domainHeapOffset.
static_assert(offsetof(ShmPoolHandle_t, base) == 0x00);
static_assert(offsetof(ShmPoolHandle_t, domainHeapOffset) == 0x08);
static_assert(offsetof(ShmPoolHandle_t, poolHeapOffset) == 0x10);
static_assert(offsetof(ShmPoolHandle_t, poolChunkOffset) == 0x18);
static_assert(sizeof(ShmPoolHandle_t) == 0x20);
static_assert(sizeof(ShmPoolOptions_t) == 0x48);
static_assert(sizeof(ShmPoolInfo_t) == 23 * 8);

// Per-kind facts of a heap: the magic it carries while live and the codes of its
// header tests.
struct HeapKind {
    uint32_t kind;
    uint64_t magic;
    uint32_t badMagic;
    uint32_t offsetMismatch;
    uint32_t listCorrupt;  // a list or pad that leads outside the heap
};
inline constexpr HeapKind kDomainHeap{QUOR_HEAP_KIND_DOMAIN, QUOR_DOMAIN_HEAP_MAGIC,
                                      QUOR_RC_BAD_DOMAIN_EYECATCHER, QUOR_RC_DOMAIN_OFFSET_MISMATCH,
                                      QUOR_RC_DOMAIN_ALLOC_CHUNK_NOT_FOUND};
inline constexpr HeapKind kPoolHeap{QUOR_HEAP_KIND_POOL, QUOR_POOL_HEAP_MAGIC, QUOR_RC_BAD_POOL_EYECATCHER,
                                    QUOR_RC_POOL_OFFSET_MISMATCH, QUOR_RC_POOL_NO_FIT};

// One heap as seen by this process: `seg` covers the segment from its base up to
// the heap's end, so any offset of the heap can be bounded by it.
struct HeapView {
    Region seg;
    uint64_t offset = 0;  // H
    HHeader_t *header = nullptr;
    HHeaderTail_t *tail = nullptr;
    SLHeader_t *lists = nullptr;

    uint64_t end() const { return offset + header->heapSize; }
    ExsLatch_t *latch() const { return &header->heapLatch; }
};

// Maps the heap at `base + offset` inside `outer` (the whole domain for a pool;
// for a domain, a region built from its own header). Checks the magic and the
// recorded offset of `kind` and that header, tail and skip-list header lie inside
// the heap. Returns 0 or the kind's code.
uint32_t viewHeap(const Region &outer, uint64_t offset, const HeapKind &kind, HeapView *view);
// The domain heap of a segment mapped at `base`, header at `offset`.
uint32_t viewDomain(void *base, uint64_t offset, HeapView *view);

// A pool reached through a handle: its domain and its own heap.
struct PoolRef {
    HeapView domain;
    HeapView pool;
};

// Checks a handle (null, base, offset alignment) and maps its domain and pool;
// failures are traced at `probe`, `probe + 10`, ...
uint32_t findPool(const Trace &t, uint32_t probe, const ShmPoolHandle_t *handle, PoolRef *ref);

// Where a chunk starts, from the front pad that ends at `userOffset` (the pad type
// in its last u32 and, for the types with guard words, the front guard count).
// Returns 0, QUOR_RC_BAD_PAD_TYPE or QUOR_RC_BAD_FRONT_GUARD_COUNT; `negative` is
// set when the pad would start below the segment base.
uint32_t chunkFromFrontPad(const Region &seg, uint64_t userOffset, uint64_t *chunkOffset, bool *negative);

// A block named by the caller's pointer, found through its pool: `user` is the
// offset of its caller bytes, `chunk` of its front pad.
struct BlockRef {
    PoolRef pool;
    uint64_t user = 0;
    uint64_t chunk = 0;
};

// Checks the handle and the block pointer at *addressRef as a block free does and
// bounds the pointer by the pool heap (probes from `probe`).
uint32_t findBlock(const Trace &t, uint32_t probe, void **addressRef, const ShmPoolHandle_t *handle,
                   BlockRef *block);
// Reads the block's front pad and derives its chunk (probes from `probe`); run it
// under the pool's heap latch so the pad cannot change under the reader.
uint32_t locateChunk(const Trace &t, uint32_t probe, BlockRef *block);

// Runs `work(block)` under the pool's heap latch after the chunk is located; the
// latch is released on every path and a release failure never hides an earlier
// one.
template <class Work>
uint32_t underPoolLatch(const Trace &t, uint32_t probe, BlockRef &block, Work &&work) {
    ExsLatch_t *latch = block.pool.pool.latch();
    if (uint32_t rc = quorEnterELCriticalSection(latch); rc != 0) return t.fail(probe, rc);
    Closing unlatch([latch] { return quorExitELCriticalSection(latch); });
    uint32_t rc = locateChunk(t, probe + 10, &block);
    if (rc == 0) rc = work(block);
    if (uint32_t closeRc = unlatch.close(rc); closeRc != rc) return t.fail(probe + 60, closeRc);
    return rc;
}

// The block operations with the caller's identification, as the exported ones
// run them (callers trace under their own identifiers).
uint32_t allocateBlock(const Trace &t, void **addressOut, ShmPoolHandle_t *handle, uint64_t size,
                       uint64_t reserved, uint32_t callerId, uint32_t line, const char *fileName);
uint32_t freeBlock(const Trace &t, void **addressRef, ShmPoolHandle_t *handle, uint32_t callerId,
                   uint32_t line, const char *fileName);

}  // namespace quor::shm
