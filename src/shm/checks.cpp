// On-demand pad checks of one pool (its domain chunk) and of one block, each
// under the latch of the heap that holds the chunk.
#include "frame/export.h"
#include "shm/pool.h"

namespace quor::shm {
namespace {

uint32_t checkPool(const Trace &t, ShmDomainHandle_t *domainHandle, uint64_t poolHeapOffset,
                   uint32_t callerId, uint32_t line, const char *fileName) {
    if (domainHandle == nullptr) return t.failLogged(10, QUOR_RC_NULL_DOMAIN_HANDLE, 0);
    if (domainHandle->base == nullptr) return t.failLogged(20, QUOR_RC_NOT_MAPPED, 0);
    if (poolHeapOffset % 8 != 0) return t.failLogged(30, QUOR_RC_POOL_OFFSET_NOT_ALIGNED, poolHeapOffset);
    HeapView domain;
    if (uint32_t rc = viewDomain(domainHandle->base, domainHandle->heapOffset, &domain); rc != 0)
        return t.fail(40, rc);
    if (uint32_t rc = quorEnterELCriticalSection(domain.latch()); rc != 0) return t.fail(50, rc);
    Closing unlatch([&] { return quorExitELCriticalSection(domain.latch()); });
    uint32_t rc = _quorCheckAllocShmChunk(domainHandle->base, QUOR_HEAP_KIND_DOMAIN, domain.offset,
                                          poolHeapOffset, nullptr, callerId, line, fileName);
    if (rc != 0) return unlatch.close(t.fail(60, rc));
    if (uint32_t closeRc = unlatch.close(QUOR_RC_OK); closeRc != 0) return t.fail(70, closeRc);
    return QUOR_RC_OK;
}

uint32_t checkBlock(const Trace &t, void **addressRef, ShmPoolHandle_t *handle, uint32_t callerId,
                    uint32_t line, const char *fileName) {
    BlockRef block;
    if (uint32_t rc = findBlock(t, 10, addressRef, handle, &block); rc != 0) return rc;
    return underPoolLatch(t, 200, block, [&](BlockRef &b) {
        if (uint32_t rc = _quorCheckAllocShmChunk(handle->base, QUOR_HEAP_KIND_POOL, b.pool.pool.offset,
                                                  b.user, nullptr, callerId, line, fileName);
            rc != 0) {
            return t.fail(300, rc);
        }
        return QUOR_RC_OK;
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
