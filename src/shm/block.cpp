// Blocks: the chunks of a pool heap, handed to callers as process addresses.
#include "frame/export.h"
#include "shm/pending.h"
#include "shm/pool.h"
#include "shm/storage.h"

namespace quor::shm {

uint32_t findBlock(const Trace &t, uint32_t probe, void **addressRef, const ShmPoolHandle_t *handle,
                   BlockRef *block) {
    if (handle == nullptr) return t.failLogged(probe, QUOR_RC_NULL_POOL_HANDLE, 0);
    if (handle->base == nullptr) return t.failLogged(probe + 10, QUOR_RC_NOT_MAPPED, 0);
    if (handle->poolHeapOffset % 8 != 0)
        return t.failLogged(probe + 20, QUOR_RC_POOL_OFFSET_NOT_ALIGNED, handle->poolHeapOffset);
    if (addressRef == nullptr) return t.failLogged(probe + 30, QUOR_RC_NULL_BLOCK_ADDRESS_REF, 0);
    if (*addressRef == nullptr) return t.failLogged(probe + 40, QUOR_RC_NULL_BLOCK_ADDRESS, 0);
    const auto address = reinterpret_cast<uintptr_t>(*addressRef),
               base = reinterpret_cast<uintptr_t>(handle->base);
    if (address < base) return t.failLogged(probe + 50, QUOR_RC_BLOCK_BELOW_BASE, address);
    if (uint32_t rc = findPool(t, probe + 60, handle, &block->pool); rc != 0) return rc;
    // Nothing outside the pool heap is read as a pad.
    block->user = address - base;
    if (!block->pool.pool.inChunkArea(block->user, 0) || block->user == block->pool.pool.end)
        return t.failLogged(probe + 110, QUOR_RC_BLOCK_OUTSIDE_POOL, address);
    return QUOR_RC_OK;
}

uint32_t locateChunk(const Trace &t, uint32_t probe, BlockRef *block) {
    // The pad is read only inside the pool's chunk area, so the chunk found never
    // lies below it (the negative case cannot arise).
    const HeapView &pool = block->pool.pool;
    if (uint32_t rc = chunkOffsetFromPad(pool, pool.spaceEnd, block->user, &block->chunk); rc != 0)
        return t.fail(probe, rc);
    if (block->chunk % 8 != 0) return t.failWith(probe + 20, QUOR_RC_BLOCK_CHUNK_NOT_ALIGNED, block->chunk);
    return QUOR_RC_OK;
}

uint32_t allocateBlock(const Trace &t, void **addressOut, ShmPoolHandle_t *handle, uint64_t size,
                       uint64_t reserved, uint32_t callerId, uint32_t line, const char *fileName) {
    if (handle == nullptr) return t.failLogged(10, QUOR_RC_NULL_POOL_HANDLE, 0);
    if (handle->base == nullptr) return t.failLogged(20, QUOR_RC_NOT_MAPPED, 0);
    if (addressOut == nullptr) return t.failLogged(30, QUOR_RC_NULL_BLOCK_ADDRESS_REF, 0);
    PoolRef ref;
    if (uint32_t rc = findPool(t, 40, handle, &ref); rc != 0) return rc;
    const uint64_t granule = ref.pool.header->granule;
    if (granule % 8 != 0) return t.failWith(90, QUOR_RC_POOL_GRANULE_NOT_ALIGNED, granule);
    if (granule == 0) return t.failWith(100, QUOR_RC_POOL_GRANULE_OUT_OF_RANGE, granule);
    // A size above the heap is left as it is for the heap to refuse; rounding it
    // could wrap.
    uint64_t carve = size <= ref.pool.header->heapSize ? (size + granule - 1) / granule * granule : size;
    uint64_t chunkOffset = 0, userOffset = 0;
    const uint64_t wanted = carve;
    uint32_t carved =
        getMemChunk(ref.pool, size, reserved, 0, &carve, &chunkOffset, &userOffset, callerId, line, fileName);
    // A pool too full is first cleared of the blocks dead processes never linked.
    if (carved == QUOR_RC_POOL_OUT_OF_SPACE || carved == QUOR_RC_POOL_NO_FIT) {
        DebrisReport reclaimed;
        reclaimDebris(ref.pool, &reclaimed);
        carve = wanted;
        if (reclaimed.blocks != 0)
            carved = getMemChunk(ref.pool, size, reserved, 0, &carve, &chunkOffset, &userOffset, callerId, line,
                                 fileName);
    }
    if (carved != 0) return t.fail(110, carved);
    if (chunkOffset < ref.pool.H || chunkOffset >= ref.pool.end) {
        (void)returnMemChunk(ref.pool, chunkOffset, userOffset, 0, callerId, line, fileName);
        return t.failWith(120, QUOR_RC_BLOCK_OUTSIDE_POOL, chunkOffset);
    }
    // Chunks of a sound pool start on 8 bytes and their pads are whole words; a
    // block that does not is cut from a corrupt free list, and callers lay
    // records over blocks.
    if (userOffset % 8 != 0) {
        (void)returnMemChunk(ref.pool, chunkOffset, userOffset, 0, callerId, line, fileName);
        return t.failWith(130, QUOR_RC_HEAP_CORRUPT, userOffset);
    }
    *addressOut = ref.pool.bytes(userOffset, 0);
    return QUOR_RC_OK;
}

uint32_t freeBlock(const Trace &t, void **addressRef, ShmPoolHandle_t *handle, uint32_t callerId,
                   uint32_t line, const char *fileName) {
    BlockRef block;
    if (uint32_t rc = findBlock(t, 10, addressRef, handle, &block); rc != 0) return rc;
    // The pad is read and the chunk returned under one hold of the latch, so two
    // threads freeing one block cannot both pass the pad test.
    uint32_t rc = underPoolLatch(t, 200, block, [&](BlockRef &b) {
        if (uint32_t rc = returnMemChunk(b.pool.pool, b.chunk, b.user, 1, callerId, line, fileName);
            rc != 0) {
            return t.fail(300, rc);
        }
        return QUOR_RC_OK;
    });
    if (rc == 0) *addressRef = nullptr;
    return rc;
}

uint32_t settleBlock(const ShmPoolHandle_t *handle, uint64_t userOffset, uint32_t callerId, uint32_t line) {
    if (handle == nullptr || handle->base == nullptr) return QUOR_RC_NULL_POOL_HANDLE;
    // A pool that cannot be opened holds nothing to settle; the caller's own
    // checks of the pool then refuse the link.
    PoolRef ref;
    if (ref.domain.open(handle->base, QUOR_HEAP_KIND_DOMAIN, handle->domainHeapOffset) != 0 ||
        openPool(ref.domain, handle->poolHeapOffset, &ref.pool) != 0 || !ref.pool.inChunkArea(userOffset, 0))
        return QUOR_RC_OK;
    return settleChunk(ref.pool, userOffset, callerId, line);
}

}  // namespace quor::shm

using namespace quor;
using namespace quor::shm;

namespace quor::storage {

uint32_t allocateBlock(void **addressOut, ShmPoolHandle_t *poolHandle, uint64_t size, uint64_t reserved,
                       uint32_t callerId, uint32_t line, const char *fileName) {
    return traced(Fn::_quorAllocateShmBlock, [&](Trace &t) {
        return shm::allocateBlock(t, addressOut, poolHandle, size, reserved, callerId, line, fileName);
    });
}

uint32_t freeBlock(void **addressRef, ShmPoolHandle_t *poolHandle, uint32_t callerId, uint32_t line,
                   const char *fileName) {
    return traced(Fn::_quorFreeShmBlock, [&](Trace &t) {
        return shm::freeBlock(t, addressRef, poolHandle, callerId, line, fileName);
    });
}

}  // namespace quor::storage

QUOR_EXPORT uint32_t _quorAllocateShmBlock(void **addressOut, ShmPoolHandle_t *poolHandle, uint64_t size,
                                           uint64_t reserved, uint32_t callerId, uint32_t line,
                                           const char *fileName) {
    return storage::allocateBlock(addressOut, poolHandle, size, reserved, callerIdFromCaller(callerId), line,
                                  fileName);
}

QUOR_EXPORT uint32_t _quorFreeShmBlock(void **addressRef, ShmPoolHandle_t *poolHandle, uint32_t callerId,
                                       uint32_t line, const char *fileName) {
    return storage::freeBlock(addressRef, poolHandle, callerIdFromCaller(callerId), line, fileName);
}
