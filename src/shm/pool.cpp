// Pools: creation inside a domain heap, connection counting, freeing, latching,
// information and user application data.
#include "shm/pool.h"

#include <cstring>

#include "frame/export.h"
#include "frame/state.h"
#include "shm/handles.h"
#include "shm/holders.h"
#include "shm/pending.h"
#include "shm/storage.h"

namespace quor::shm {

namespace {

constexpr uint64_t roundUp(uint64_t value, uint64_t granule) {
    return (value + granule - 1) / granule * granule;
}

uint32_t allocHandle(ShmPoolHandle_t **handle) {
    return allocPrivate(handle, src::shm) != 0 ? QUOR_RC_NO_MEMORY : QUOR_RC_OK;
}

uint32_t releaseHandle(ShmPoolHandle_t **handleRef) {
    return freePrivate(handleRef, src::shm) != 0 ? QUOR_RC_POOL_HANDLE_FREE_FAILED : QUOR_RC_OK;
}

// The option eyecatchers, in the order creation and connection test them.
uint32_t checkOptionEyecatchers(const Trace &t, uint32_t probe, const ShmPoolOptions_t &options,
                                bool withLatch) {
    auto given = [](uint64_t value) { return value == 0 ? QUOR_EYECATCHER : value; };
    if (given(options.handleEyecatcher) != QUOR_EYECATCHER)
        return t.failWith(probe, QUOR_RC_BAD_EYECATCHER, options.handleEyecatcher);
    if (withLatch && given(options.latchEyecatcher) != QUOR_EYECATCHER)
        return t.failWith(probe + 10, QUOR_RC_LATCH_NOT_INITIALIZED, options.latchEyecatcher);
    if (given(options.eyecatcher0) != QUOR_EYECATCHER)
        return t.failWith(probe + 20, QUOR_RC_BAD_STORAGE_EYECATCHER, options.eyecatcher0);
    return QUOR_RC_OK;
}

// A domain's layout without its magic (disconnect and handle destruction work on
// a freed domain too), and the pool header at `poolOffset` inside its chunk area.
HHeader_t *poolHeaderIn(void *base, uint64_t domainOffset, uint64_t poolOffset) {
    HeapView domain;
    if (domain.open(base, QUOR_HEAP_KIND_DOMAIN, domainOffset, kCheckLayout) != 0) return nullptr;
    return domain.inChunkArea(poolOffset, sizeof(HHeader_t)) ? domain.record<HHeader_t>(poolOffset) : nullptr;
}

// Checks a domain handle and opens its heap.
uint32_t findDomain(const Trace &t, uint32_t probe, const ShmDomainHandle_t *handle, HeapView *domain) {
    if (uint32_t rc = checkHandle<DomainHandleKind>(t, probe, handle); rc != 0) return rc;
    if (handle->heapOffset % 8 != 0)
        return t.failLogged(probe + 20, QUOR_RC_HANDLE_OFFSET_NOT_ALIGNED, handle->heapOffset);
    return domain->open(t, probe + 30, handle->base, QUOR_HEAP_KIND_DOMAIN, handle->heapOffset);
}

// Gives a carved pool chunk back to its domain after a later step failed.
void returnPoolChunk(void *base, uint64_t domainOffset, uint64_t chunkOffset, uint64_t userOffset,
                     uint32_t callerId, uint32_t line, const char *fileName) {
    (void)returnMemChunk(base, QUOR_HEAP_KIND_DOMAIN, domainOffset, chunkOffset, userOffset, 0, callerId,
                         line, fileName);
}

uint32_t createPool(const Trace &t, ShmPoolHandle_t **handleOut, ShmDomainHandle_t *domainHandle,
                    uint64_t poolSize, const ShmPoolOptions_t *given, uint32_t callerId, uint32_t line,
                    const char *fileName) {
    if (handleOut == nullptr) return t.failLogged(10, QUOR_RC_NULL_PARAMETER, 0);
    if (domainHandle == nullptr) return t.failLogged(20, QUOR_RC_NULL_DOMAIN_HANDLE, 0);
    ShmPoolOptions_t options = given != nullptr ? *given : ShmPoolOptions_t{};
    if (options.userAppAreaSize > poolSize)
        return t.failWith(30, QUOR_RC_BAD_USER_APP_AREA_SIZE, options.userAppAreaSize);
    if (uint32_t rc = checkOptionEyecatchers(t, 40, options, true); rc != 0) return rc;

    HeapView domain;
    if (uint32_t rc = findDomain(t, 70, domainHandle, &domain); rc != 0) return rc;

    uint64_t granule = options.granule == 0 ? QUOR_POOL_DEFAULT_GRANULE : options.granule;
    if (granule != 8 && (granule < 9 || granule > poolSize))
        return t.failWith(110, QUOR_RC_POOL_GRANULE_OUT_OF_RANGE, granule);
    if (granule % 8 != 0) return t.failWith(120, QUOR_RC_POOL_GRANULE_NOT_ALIGNED, granule);

    HeapSizes sizes{};
    if (uint32_t rc = heapSizing(poolSize, QUOR_HEAP_KIND_POOL, options.nodeCapacity, options.maxLevel,
                                 options.userAppAreaSize, &sizes);
        rc != 0) {
        return t.fail(130, rc);
    }
    // A pool that cannot fit in its domain is refused before any sum can wrap.
    uint64_t overhead = sizes.hHeaderSize + sizes.slSpaceSize;
    if (poolSize > domain.header->heapSize || overhead > domain.header->heapSize)
        return t.failWith(140, QUOR_RC_POOL_TOO_LARGE, poolSize);
    uint64_t heapSize = roundUp(poolSize + overhead, granule);

    // The domain chunk records poolSize as its user size; the pool's own header
    // and node space are the caller's extra bytes of that chunk.
    // The chunk stays pending (see pending.h) until the caller holds its handle:
    // a creator that dies before leaves a pool that the next reclaim undoes. A
    // domain too full for it is first cleared of what dead creators left.
    uint64_t carve = heapSize, chunkOffset = 0, poolOffset = 0;
    auto carveChunk = [&] {
        carve = heapSize;
        return getMemChunk(domainHandle->base, QUOR_HEAP_KIND_DOMAIN, domain.H, poolSize, 0, overhead, &carve,
                           &chunkOffset, &poolOffset, kPendingCaller, pendingLine(), fileName);
    };
    uint32_t carved = carveChunk();
    if (carved == QUOR_RC_DOMAIN_OUT_OF_SPACE || carved == QUOR_RC_DOMAIN_NO_FIT) {
        DebrisReport reclaimed;
        reclaimDebris(domain, &reclaimed);
        if (reclaimed.pools != 0) carved = carveChunk();
    }
    if (carved != 0) return t.fail(150, carved);
    // Without a heap the chunk would be lost to the domain: give it back.
    if (createInitStorageHeap(domainHandle->base, QUOR_HEAP_KIND_POOL, heapSize, poolOffset,
                              sizes.nodeCapacity, sizes.maxLevel, sizes.hHeaderSize, sizes.slHeaderSize,
                              sizes.slSpaceSize, granule, options.userAppAreaSize, options.userAppData,
                              QUOR_EYECATCHER, QUOR_EYECATCHER, QUOR_EYECATCHER, options.initialFlags,
                              domain.H) != 0) {
        returnPoolChunk(domainHandle->base, domain.H, chunkOffset, poolOffset, callerId, line, fileName);
        return t.fail(160, QUOR_RC_POOL_HEAP_INIT_FAILED);
    }
    recordPoolCreator(domainHandle->base, poolOffset);
    ShmPoolHandle_t *handle = nullptr;
    if (allocHandle(&handle) != 0) {
        // A pool nobody holds a handle to could never be freed: undo it.
        domain.record<HHeader_t>(poolOffset)->heapMagic = 0;
        forgetHolders(domainHandle->base, QUOR_HEAP_KIND_POOL, poolOffset);
        returnPoolChunk(domainHandle->base, domain.H, chunkOffset, poolOffset, callerId, line, fileName);
        return t.fail(170, QUOR_RC_POOL_HANDLE_ALLOC_FAILED);
    }
    *handle = {domainHandle->base, domain.H, poolOffset, chunkOffset};
    if (uint32_t rc = settleChunk(domain, poolOffset, callerIdFromCaller(callerId), line); rc != 0) {
        // A pool left pending would be taken from its holder: undo it instead.
        domain.record<HHeader_t>(poolOffset)->heapMagic = 0;
        forgetHolders(domainHandle->base, QUOR_HEAP_KIND_POOL, poolOffset);
        returnPoolChunk(domainHandle->base, domain.H, chunkOffset, poolOffset, callerId, line, fileName);
        (void)releaseHandle(&handle);
        return t.fail(175, rc);
    }
    *handleOut = handle;
    return QUOR_RC_OK;
}

uint32_t connectPool(const Trace &t, ShmPoolHandle_t **handleOut, ShmDomainHandle_t *domainHandle,
                     uint64_t poolOffset, const ShmPoolOptions_t *given) {
    if (handleOut == nullptr) return t.failLogged(10, QUOR_RC_NULL_PARAMETER, 0);
    if (domainHandle == nullptr) return t.failLogged(20, QUOR_RC_NULL_DOMAIN_HANDLE, 0);
    if (domainHandle->base == nullptr) return t.failLogged(30, QUOR_RC_NOT_MAPPED, 0);
    if (given != nullptr) {
        if (uint32_t rc = checkOptionEyecatchers(t, 40, *given, false); rc != 0) return rc;
    }
    HeapView domain;
    if (uint32_t rc = findDomain(t, 70, domainHandle, &domain); rc != 0) return rc;
    if (poolOffset % 8 != 0) return t.failLogged(110, QUOR_RC_POOL_OFFSET_NOT_ALIGNED, poolOffset);
    HeapView pool;
    if (uint32_t rc = openPool(domain, poolOffset, &pool); rc != 0) return t.fail(120, rc);
    if (pool.header->parentHeapOffset != domain.H)
        return t.failWith(130, QUOR_RC_DOMAIN_OFFSET_MISMATCH, pool.header->parentHeapOffset);

    if (uint32_t rc = connectHeap(domainHandle->base, QUOR_HEAP_KIND_POOL, poolOffset); rc != 0)
        return t.fail(140, rc);
    // From here a failure takes the connection back.
    Closing undo([&] { return disconnectHeap(domainHandle->base, QUOR_HEAP_KIND_POOL, poolOffset); });

    // The pad is read only inside the domain's chunk area, so the chunk found
    // never lies below it (the negative case cannot arise).
    uint64_t chunkOffset = 0;
    if (uint32_t rc = chunkOffsetFromPad(domain, domain.spaceEnd, poolOffset, &chunkOffset); rc != 0)
        return undo.close(t.fail(150, rc));
    if (chunkOffset % 8 != 0) return undo.close(t.failWith(170, QUOR_RC_POOL_CHUNK_NOT_ALIGNED, chunkOffset));

    ShmPoolHandle_t *handle = nullptr;
    if (allocHandle(&handle) != 0) return undo.close(t.fail(180, QUOR_RC_POOL_HANDLE_ALLOC_FAILED));
    undo.dismiss();
    *handle = {domainHandle->base, domain.H, poolOffset, chunkOffset};
    *handleOut = handle;
    return QUOR_RC_OK;
}

// The tests of a handle passed by reference, in the order every operation that
// releases the handle makes them (probes 10..); `offsets` says how many of its
// offsets must be multiples of 8 (0: none, 2: the heap offsets, 3: the chunk too).
uint32_t checkHandleRef(const Trace &t, ShmPoolHandle_t **handleRef, int offsets) {
    if (handleRef == nullptr || *handleRef == nullptr)
        return t.failLogged(10, QUOR_RC_NULL_POOL_HANDLE, reinterpret_cast<uintptr_t>(handleRef));
    const ShmPoolHandle_t &handle = **handleRef;
    if (handle.base == nullptr) return t.failLogged(20, QUOR_RC_NOT_MAPPED, 0);
    if (offsets >= 2 && handle.domainHeapOffset % 8 != 0)
        return t.failLogged(30, QUOR_RC_HANDLE_OFFSET_NOT_ALIGNED, handle.domainHeapOffset);
    if (offsets >= 2 && handle.poolHeapOffset % 8 != 0)
        return t.failLogged(40, QUOR_RC_POOL_OFFSET_NOT_ALIGNED, handle.poolHeapOffset);
    if (offsets >= 3 && handle.poolChunkOffset % 8 != 0)
        return t.failLogged(50, QUOR_RC_POOL_CHUNK_NOT_ALIGNED, handle.poolChunkOffset);
    return QUOR_RC_OK;
}

uint32_t disconnectPool(const Trace &t, ShmPoolHandle_t **handleRef) {
    if (uint32_t rc = checkHandleRef(t, handleRef, 2); rc != 0) return rc;
    ShmPoolHandle_t &handle = **handleRef;
    const HHeader_t *pool = poolHeaderIn(handle.base, handle.domainHeapOffset, handle.poolHeapOffset);
    if (pool == nullptr) return t.failWith(60, QUOR_RC_BAD_POOL_EYECATCHER, handle.poolHeapOffset);
    if (uint32_t rc = checkHeaderEyecatchers(t, 70, *pool, true); rc != 0) return rc;
    if (pool->parentHeapOffset != handle.domainHeapOffset)
        return t.failWith(100, QUOR_RC_DOMAIN_OFFSET_MISMATCH, pool->parentHeapOffset);
    if (uint32_t rc = disconnectHeap(handle.base, QUOR_HEAP_KIND_POOL, handle.poolHeapOffset); rc != 0)
        return t.fail(110, rc);
    if (uint32_t rc = releaseHandle(handleRef); rc != 0) return t.fail(120, rc);
    return QUOR_RC_OK;
}

uint32_t freePool(const Trace &t, ShmPoolHandle_t **handleRef, uint32_t freeMode, uint32_t callerId,
                  uint32_t line, const char *fileName) {
    if (uint32_t rc = checkHandleRef(t, handleRef, 3); rc != 0) return rc;
    ShmPoolHandle_t &handle = **handleRef;
    PoolRef ref;
    if (uint32_t rc = ref.domain.attach(handle.base, QUOR_HEAP_KIND_DOMAIN, handle.domainHeapOffset); rc != 0)
        return t.fail(60, rc);
    if (uint32_t rc = checkHeaderEyecatchers(t, 70, *ref.domain.header, true); rc != 0) return rc;
    if (uint32_t rc = ref.domain.open(handle.base, QUOR_HEAP_KIND_DOMAIN, handle.domainHeapOffset); rc != 0)
        return t.fail(100, rc);
    // A fenced pool can still be freed: its chunk belongs to the domain.
    if (uint32_t rc = openPool(ref.domain, handle.poolHeapOffset, &ref.pool);
        rc != 0 && rc != QUOR_RC_HEAP_DAMAGED)
        return t.fail(110, rc);
    if (freeMode != QUOR_POOL_FREE_NORMAL && freeMode != QUOR_POOL_FREE_FORCE)
        return t.failWith(120, QUOR_RC_BAD_POOL_FREE_MODE, freeMode);

    if (freeMode == QUOR_POOL_FREE_NORMAL && ref.pool.header->refCount > 1)
        (void)releaseDeadHoldersLatched(handle.base, QUOR_HEAP_KIND_POOL, handle.poolHeapOffset);
    if (uint32_t rc = enterEL(&ref.domain.header->heapLatch); rc != 0) return t.fail(130, rc);
    auto unlatch = leaving(&ref.domain.header->heapLatch);
    if (freeMode == QUOR_POOL_FREE_NORMAL && ref.pool.header->refCount > 1)
        return unlatch.close(t.failWith(140, QUOR_RC_POOL_IN_USE, ref.pool.header->refCount));

    // The chunk is marked pending first: a freer that dies from here on leaves a
    // pool the next reclaim finishes freeing. The magic goes before the return
    // so that nothing is written into the chunk once the domain owns it again;
    // a refused return puts it back.
    if (uint32_t rc = ref.domain.rebind(); rc != 0) return unlatch.close(t.fail(145, rc));
    SLAllocNode_t *chunkNode = nodeOfChunk(ref.domain, handle.poolHeapOffset);
    if (chunkNode == nullptr || chunkNode->chunkOffset != handle.poolChunkOffset)
        return unlatch.close(t.failWith(146, QUOR_RC_DOMAIN_ALLOC_CHUNK_NOT_FOUND, handle.poolHeapOffset));
    const uint32_t markedCaller = chunkNode->callerId, markedLine = chunkNode->line;
    chunkNode->line = pendingLine();
    chunkNode->callerId = kPendingCaller;
    HHeader_t *pool = ref.pool.header;
    forgetHolders(handle.base, QUOR_HEAP_KIND_POOL, handle.poolHeapOffset);
    const uint64_t magic = pool->heapMagic;
    pool->heapMagic = 0;
    if (uint32_t rc =
            returnMemChunk(handle.base, QUOR_HEAP_KIND_DOMAIN, handle.domainHeapOffset,
                           handle.poolChunkOffset, handle.poolHeapOffset, 1, callerId, line, fileName);
        rc != 0) {
        pool->heapMagic = magic;
        if (SLAllocNode_t *node = nodeOfChunk(ref.domain, handle.poolHeapOffset); node != nullptr) {
            node->callerId = markedCaller;
            node->line = markedLine;
        }
        return unlatch.close(t.fail(150, rc));
    }
    if (ref.domain.header->treePoolOffset == handle.poolHeapOffset) {
        ref.domain.header->treePoolOffset = 0;
        ref.domain.tail->segInfoListHead = 0;
        ref.domain.tail->rmxListHead = 0;
    }
    if (uint32_t rc = unlatch.close(QUOR_RC_OK); rc != 0) return t.fail(160, rc);
    if (uint32_t rc = releaseHandle(handleRef); rc != 0) return t.fail(170, rc);
    return QUOR_RC_OK;
}

uint32_t destroyHandle(const Trace &t, ShmPoolHandle_t **handleRef) {
    if (uint32_t rc = checkHandleRef(t, handleRef, 0); rc != 0) return rc;
    ShmPoolHandle_t &handle = **handleRef;
    const HHeader_t *pool = poolHeaderIn(handle.base, handle.domainHeapOffset, handle.poolHeapOffset);
    if (pool == nullptr || pool->handleEyecatcher != QUOR_EYECATCHER)
        return t.failWith(40, QUOR_RC_BAD_EYECATCHER, pool != nullptr ? pool->handleEyecatcher : 0);
    if (uint32_t rc = releaseHandle(handleRef); rc != 0) return t.fail(50, rc);
    return QUOR_RC_OK;
}

}  // namespace

uint32_t openPool(const HeapView &domain, uint64_t poolOffset, HeapView *pool, uint32_t userAreaCorrupt) {
    // Any chunk may be offered (the debris sweep tries every chunk of a domain):
    // a pool header is 8-byte aligned, so nothing else is read as one.
    if (poolOffset % alignof(HHeader_t) != 0 || !domain.inChunkArea(poolOffset, sizeof(HHeader_t)))
        return QUOR_RC_BAD_POOL_EYECATCHER;
    uint32_t rc = pool->attach(domain.base, QUOR_HEAP_KIND_POOL, poolOffset);
    if (rc == 0) rc = pool->checkMagic();
    if (rc == 0) rc = pool->checkSelf();
    if (rc != 0) return rc;
    if (pool->header->userAppAreaSize > pool->header->heapSize) return userAreaCorrupt;
    if (uint32_t rc = pool->bindLayout(); rc != 0) return rc;
    return pool->end <= domain.end ? QUOR_RC_OK : QUOR_RC_HEAP_CORRUPT;
}

uint32_t findPool(const Trace &t, uint32_t probe, const ShmPoolHandle_t *handle, PoolRef *ref,
                  uint32_t userAreaCorrupt) {
    if (handle == nullptr) return t.failLogged(probe, QUOR_RC_NULL_POOL_HANDLE, 0);
    if (handle->base == nullptr) return t.failLogged(probe + 10, QUOR_RC_NOT_MAPPED, 0);
    if (handle->poolHeapOffset % 8 != 0)
        return t.failLogged(probe + 20, QUOR_RC_POOL_OFFSET_NOT_ALIGNED, handle->poolHeapOffset);
    if (uint32_t rc = ref->domain.open(handle->base, QUOR_HEAP_KIND_DOMAIN, handle->domainHeapOffset);
        rc != 0)
        return t.fail(probe + 30, rc);
    if (uint32_t rc = openPool(ref->domain, handle->poolHeapOffset, &ref->pool, userAreaCorrupt); rc != 0)
        return t.fail(probe + 40, rc);
    return QUOR_RC_OK;
}

}  // namespace quor::shm

using namespace quor;
using namespace quor::shm;

namespace quor::storage {

uint32_t createPool(ShmPoolHandle_t **poolHandleOut, ShmDomainHandle_t *domainHandle, uint64_t poolSize,
                    const ShmPoolOptions_t *options, uint32_t callerId, uint32_t line, const char *fileName) {
    return traced(Fn::_quorCreateShmPool, [&](Trace &t) {
        return shm::createPool(t, poolHandleOut, domainHandle, poolSize, options, callerId, line, fileName);
    });
}

uint32_t connectPool(ShmPoolHandle_t **poolHandleOut, ShmDomainHandle_t *domainHandle,
                     uint64_t poolHeapOffset, const ShmPoolOptions_t *options) {
    return traced(Fn::quorConnectToShmPool, [&](Trace &t) {
        return shm::connectPool(t, poolHandleOut, domainHandle, poolHeapOffset, options);
    });
}

uint32_t disconnectPool(ShmPoolHandle_t **poolHandleRef) {
    return traced(Fn::quorDisconnectFromShmPool,
                  [&](Trace &t) { return shm::disconnectPool(t, poolHandleRef); });
}

uint32_t freePool(ShmPoolHandle_t **poolHandleRef, uint32_t freeMode, uint32_t callerId, uint32_t line,
                  const char *fileName) {
    return traced(Fn::_quorFreeShmPool, [&](Trace &t) {
        return shm::freePool(t, poolHandleRef, freeMode, callerId, line, fileName);
    });
}

}  // namespace quor::storage

QUOR_EXPORT uint32_t _quorCreateShmPool(ShmPoolHandle_t **poolHandleOut, ShmDomainHandle_t *domainHandle,
                                        uint64_t poolSize, const ShmPoolOptions_t *options, uint32_t callerId,
                                        uint32_t line, const char *fileName) {
    return storage::createPool(poolHandleOut, domainHandle, poolSize, options, callerIdFromCaller(callerId), line,
                               fileName);
}

QUOR_EXPORT uint32_t quorConnectToShmPool(ShmPoolHandle_t **poolHandleOut, ShmDomainHandle_t *domainHandle,
                                          uint64_t poolHeapOffset, const ShmPoolOptions_t *options) {
    return storage::connectPool(poolHandleOut, domainHandle, poolHeapOffset, options);
}

QUOR_EXPORT uint32_t quorDisconnectFromShmPool(ShmPoolHandle_t **poolHandleRef) {
    return storage::disconnectPool(poolHandleRef);
}

QUOR_EXPORT uint32_t _quorFreeShmPool(ShmPoolHandle_t **poolHandleRef, uint32_t freeMode, uint32_t callerId,
                                      uint32_t line, const char *fileName) {
    return storage::freePool(poolHandleRef, freeMode, callerIdFromCaller(callerId), line, fileName);
}

QUOR_EXPORT uint32_t quorDestroyShmPoolHandle(ShmPoolHandle_t **poolHandleRef) {
    return traced(Fn::quorDestroyShmPoolHandle, [&](Trace &t) { return destroyHandle(t, poolHandleRef); });
}
