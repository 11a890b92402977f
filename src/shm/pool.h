// Pools and blocks: the internal interface the status tree and the segment lists
// build on.
//
// A pool is a chunk of a domain heap that carries a heap of its own; a block is a
// chunk of a pool heap. A process reaches a pool through its private
// ShmPoolHandle_t. Every view handed out here is bounded by the heap that holds
// it: a pool heap must lie inside its domain's chunk area.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame/trace.h"
#include "quor/quor.h"
#include "shm/heap.h"

namespace quor::shm {

// The pool handle layout: the segment-list code reads base and domainHeapOffset.
static_assert(offsetof(ShmPoolHandle_t, base) == 0x00);
static_assert(offsetof(ShmPoolHandle_t, domainHeapOffset) == 0x08);
static_assert(offsetof(ShmPoolHandle_t, poolHeapOffset) == 0x10);
static_assert(offsetof(ShmPoolHandle_t, poolChunkOffset) == 0x18);
static_assert(sizeof(ShmPoolHandle_t) == 0x20);
static_assert(sizeof(ShmPoolOptions_t) == 0x48);
static_assert(sizeof(ShmPoolInfo_t) == 23 * 8);

// A pool reached through a handle: its domain heap and its own heap, both open
// (magic, self offset and layout checked).
struct PoolRef {
    HeapView domain;
    HeapView pool;
};

// Opens the pool heap at `poolOffset` inside an open domain: the pool header must
// lie in the domain's chunk area and the whole pool heap inside the domain, so no
// offset of the pool can lead outside the segment. A stored user area larger than
// the heap gives `userAreaCorrupt`. Returns 0 or the code.
uint32_t openPool(const HeapView &domain, uint64_t poolOffset, HeapView *pool,
                  uint32_t userAreaCorrupt = QUOR_RC_HEAP_CORRUPT);

// Checks a handle (null, base, offset alignment) and opens its domain and pool;
// failures are traced at `probe`, `probe + 10`, ...
uint32_t findPool(const Trace &t, uint32_t probe, const ShmPoolHandle_t *handle, PoolRef *ref,
                  uint32_t userAreaCorrupt = QUOR_RC_HEAP_CORRUPT);

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
    ExsLatch_t *latch = &block.pool.pool.header->heapLatch;
    if (uint32_t rc = enterEL(latch); rc != 0) return t.fail(probe, rc);
    auto unlatch = leaving(latch);
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

// Settles a block this process carved pending (see pending.h) before a shared
// record names it: callerId and line replace the mark. QUOR_RC_OK when the
// offset names no pending block of this process in the pool.
uint32_t settleBlock(const ShmPoolHandle_t *handle, uint64_t userOffset, uint32_t callerId, uint32_t line);

}  // namespace quor::shm
