// On-demand checks of one pool (its domain chunk's pads, then the full walk of the
// domain heap and of the pool heap) and of one block (its pads, then the walk of
// its pool), each under the latch of the heap it reads.
#include "frame/export.h"
#include "shm/holders.h"
#include "shm/pads.h"
#include "shm/pending.h"
#include "shm/pool.h"
#include "shm/recovery.h"

namespace quor::shm {
namespace {

uint32_t checkPool(const Trace &t, ShmDomainHandle_t *domainHandle, uint64_t poolHeapOffset,
                   uint32_t callerId, uint32_t line, const char *fileName) {
    if (domainHandle == nullptr) return t.failLogged(10, QUOR_RC_NULL_DOMAIN_HANDLE, 0);
    if (domainHandle->base == nullptr) return t.failLogged(20, QUOR_RC_NOT_MAPPED, 0);
    if (poolHeapOffset % 8 != 0) return t.failLogged(30, QUOR_RC_POOL_OFFSET_NOT_ALIGNED, poolHeapOffset);
    HeapView domain;
    if (uint32_t rc = domain.open(domainHandle->base, QUOR_HEAP_KIND_DOMAIN, domainHandle->heapOffset);
        rc != 0)
        return t.fail(40, rc);
    // Nothing outside the domain's chunk area is read as a pad.
    if (!domain.inChunkArea(poolHeapOffset, 0))
        return t.failWith(45, QUOR_RC_DOMAIN_ALLOC_CHUNK_NOT_FOUND, poolHeapOffset);
    if (uint32_t rc = enterEL(&domain.header->heapLatch); rc != 0) return t.fail(50, rc);
    auto unlatch = leaving(&domain.header->heapLatch);
    if (uint32_t rc = checkChunk(domain, poolHeapOffset, nullptr, callerId, line, fileName); rc != 0)
        return unlatch.close(t.fail(60, rc));
    if (uint32_t rc = walkHeap(t, 65, domain); rc != 0) return unlatch.close(rc);
    releaseDeadHolders(domain);
    if (uint32_t rc = unlatch.close(QUOR_RC_OK); rc != 0) return t.fail(70, rc);
    // The pool's own heap, under its own latch (never together with the domain's).
    HeapView pool;
    if (uint32_t rc = openPool(domain, poolHeapOffset, &pool); rc != 0) return t.fail(80, rc);
    if (uint32_t rc = enterEL(&pool.header->heapLatch); rc != 0) return t.fail(90, rc);
    auto unlatchPool = leaving(&pool.header->heapLatch);
    if (uint32_t rc = walkHeap(t, 100, pool); rc != 0) return unlatchPool.close(rc);
    releaseDeadHolders(pool);
    if (uint32_t rc = unlatchPool.close(QUOR_RC_OK); rc != 0) return t.fail(110, rc);
    // What dead processes carved and never linked goes back (pending.h).
    DebrisReport debris;
    reclaimDebris(domain, &debris);
    if (debris.rc != 0) return t.fail(120, debris.rc);
    return QUOR_RC_OK;
}

uint32_t checkBlock(const Trace &t, void **addressRef, ShmPoolHandle_t *handle, uint32_t callerId,
                    uint32_t line, const char *fileName) {
    BlockRef block;
    if (uint32_t rc = findBlock(t, 10, addressRef, handle, &block); rc != 0) return rc;
    return underPoolLatch(t, 200, block, [&](BlockRef &b) {
        if (uint32_t rc = checkChunk(b.pool.pool, b.user, nullptr, callerId, line, fileName); rc != 0)
            return t.fail(300, rc);
        return walkHeap(t, 310, b.pool.pool);
    });
}

}  // namespace
}  // namespace quor::shm

using namespace quor;

QUOR_EXPORT uint32_t _quorCheckAllocShmPool(ShmDomainHandle_t *domainHandle, uint64_t poolHeapOffset,
                                            uint32_t callerId, uint32_t line, const char *fileName) {
    return traced(Fn::_quorCheckAllocShmPool, [&](Trace &t) {
        return shm::checkPool(t, domainHandle, poolHeapOffset, callerId, line, fileName);
    });
}

QUOR_EXPORT uint32_t _quorCheckAllocShmBlock(void **addressRef, ShmPoolHandle_t *poolHandle,
                                             uint32_t callerId, uint32_t line, const char *fileName) {
    return traced(Fn::_quorCheckAllocShmBlock, [&](Trace &t) {
        return shm::checkBlock(t, addressRef, poolHandle, callerId, line, fileName);
    });
}
