// Blocks: the chunks of a pool heap, handed to callers as process addresses.
#include <cstring>

#include "frame/export.h"
#include "shm/pool.h"

namespace quor::shm {

namespace {

// Pad words may lie in bytes a sanitizer build keeps poisoned (pads, freed
// chunks); the library's own reads of them must not trip it.
__attribute__((no_sanitize_address, noinline)) uint32_t peekWord(const uint32_t *word) { return *word; }

uint32_t padWord(const Region &seg, uint64_t userOffset, uint64_t back, uint32_t *value) {
    if (userOffset < back) return QUOR_RC_BAD_PAD_TYPE;
    const uint32_t *word = seg.at<uint32_t>(userOffset - back);
    if (word == nullptr) return QUOR_RC_BAD_PAD_TYPE;
    *value = peekWord(word);
    return QUOR_RC_OK;
}

}  // namespace

uint32_t chunkFromFrontPad(const Region &seg, uint64_t userOffset, uint64_t *chunkOffset, bool *negative) {
    uint32_t padType = 0;
    if (uint32_t rc = padWord(seg, userOffset, 4, &padType); rc != 0) return rc;
    uint64_t frontSize = 0;
    uint64_t guardsAt = 0, fixed = 0;  // where the front guard count lies, bytes beside the guards
    switch (padType) {
        case QUOR_PAD_TYPE_NONE:
        case QUOR_PAD_TYPE_C0DE1D1E:
        case QUOR_PAD_TYPE_EEBC011A:
            frontSize = 16;
            break;
        case QUOR_PAD_TYPE_DABC011A:
            frontSize = 24;
            break;
        case QUOR_PAD_TYPE_A110CBEE:
            guardsAt = 24, fixed = 32;
            break;
        case QUOR_PAD_TYPE_A110CE87:
            guardsAt = 24, fixed = 56;
            break;
        case QUOR_PAD_TYPE_A110CBAD:
            guardsAt = 32, fixed = 40;
            break;
        case QUOR_PAD_TYPE_78EC011A:
            guardsAt = 32, fixed = 64;
            break;
        default:
            return QUOR_RC_BAD_PAD_TYPE;  // the freed mark included
    }
    if (guardsAt != 0) {
        uint32_t guards = 0;
        if (padWord(seg, userOffset, guardsAt, &guards) != 0 || guards < 1 || guards > QUOR_PAD_MAX_GUARDS)
            return QUOR_RC_BAD_FRONT_GUARD_COUNT;
        frontSize = 8 * uint64_t{guards} + fixed;
    }
    *negative = frontSize > userOffset;
    *chunkOffset = *negative ? 0 : userOffset - frontSize;
    return QUOR_RC_OK;
}

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
    const HeapView &pool = block->pool.pool;
    if (block->user <= pool.offset || block->user >= pool.end())
        return t.failLogged(probe + 110, QUOR_RC_BLOCK_OUTSIDE_POOL, address);
    return QUOR_RC_OK;
}

uint32_t locateChunk(const Trace &t, uint32_t probe, BlockRef *block) {
    bool negative = false;
    const HeapView &pool = block->pool.pool;
    if (uint32_t rc = chunkFromFrontPad(pool.seg, block->user, &block->chunk, &negative); rc != 0)
        return t.fail(probe, rc);
    if (negative) return t.failWith(probe + 10, QUOR_RC_BLOCK_CHUNK_NEGATIVE, block->user);
    if (block->chunk % 8 != 0) return t.failWith(probe + 20, QUOR_RC_BLOCK_CHUNK_NOT_ALIGNED, block->chunk);
    if (block->chunk < pool.offset || block->chunk >= pool.end())
        return t.failWith(probe + 30, QUOR_RC_BLOCK_OUTSIDE_POOL, block->chunk);
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
    if (uint32_t rc =
            quorGetMemChunkFromShmHeap(handle->base, QUOR_HEAP_KIND_POOL, ref.pool.offset, size, reserved, 0,
                                       &carve, &chunkOffset, &userOffset, callerId, line, fileName);
        rc != 0) {
        return t.fail(110, rc);
    }
    if (chunkOffset < ref.pool.offset || chunkOffset >= ref.pool.end()) {
        (void)quorReturnMemChunkToShmHeap(handle->base, QUOR_HEAP_KIND_POOL, ref.pool.offset, chunkOffset,
                                          userOffset, 0, callerId, line, fileName);
        return t.failWith(120, QUOR_RC_BLOCK_OUTSIDE_POOL, chunkOffset);
    }
    *addressOut = static_cast<unsigned char *>(handle->base) + userOffset;
    return QUOR_RC_OK;
}

uint32_t freeBlock(const Trace &t, void **addressRef, ShmPoolHandle_t *handle, uint32_t callerId,
                   uint32_t line, const char *fileName) {
    BlockRef block;
    if (uint32_t rc = findBlock(t, 10, addressRef, handle, &block); rc != 0) return rc;
    // The pad is read and the chunk returned under one hold of the latch, so two
    // threads freeing one block cannot both pass the pad test.
    uint32_t rc = underPoolLatch(t, 200, block, [&](BlockRef &b) {
        if (uint32_t rc = quorReturnMemChunkToShmHeap(handle->base, QUOR_HEAP_KIND_POOL, b.pool.pool.offset,
                                                      b.chunk, b.user, 1, callerId, line, fileName);
            rc != 0) {
            return t.fail(300, rc);
        }
        return QUOR_RC_OK;
    });
    if (rc == 0) *addressRef = nullptr;
    return rc;
}

}  // namespace quor::shm

using namespace quor;
using namespace quor::shm;

QUOR_EXPORT uint32_t _quorAllocateShmBlock(void **addressOut, ShmPoolHandle_t *poolHandle, uint64_t size,
                                           uint64_t reserved, uint32_t callerId, uint32_t line,
                                           const char *fileName) {
    return traced(Fn::_quorAllocateShmBlock, [&](Trace &t) {
        return allocateBlock(t, addressOut, poolHandle, size, reserved, callerId, line, fileName);
    });
}

QUOR_EXPORT uint32_t _quorFreeShmBlock(void **addressRef, ShmPoolHandle_t *poolHandle, uint32_t callerId,
                                       uint32_t line, const char *fileName) {
    return traced(Fn::_quorFreeShmBlock,
                  [&](Trace &t) { return freeBlock(t, addressRef, poolHandle, callerId, line, fileName); });
}
