// Latching, information and user application data of domains and pools: one
// body per operation over the handle kind, and the exported doors of both kinds.
#include "shm/handles.h"

#include "frame/export.h"
#include "shm/storage.h"

namespace quor::shm {

uint32_t DomainHandleKind::open(const Trace &t, const Handle *handle, bool live, HeapView *heap) {
    if (uint32_t rc = checkHandle<DomainHandleKind>(t, 10, handle); rc != 0) return rc;
    if (uint32_t rc = heap->attach(handle->base, QUOR_HEAP_KIND_DOMAIN, handle->heapOffset); rc != 0)
        return t.fail(30, rc);
    if (live) {
        if (uint32_t rc = heap->checkMagic(); rc != 0) return t.failWith(40, rc, heap->header->heapMagic);
        if (uint32_t rc = heap->checkSelf(); rc != 0) return t.failWith(50, rc, heap->header->selfOffset);
    }
    if (heap->header->userAppAreaSize > heap->header->heapSize)
        return t.failWith(60, userAreaCorrupt, heap->header->userAppAreaSize);
    if (uint32_t rc = heap->bindLayout(); rc != 0) return t.fail(70, rc);
    return QUOR_RC_OK;
}

uint32_t PoolHandleKind::open(const Trace &t, const Handle *handle, bool, HeapView *heap) {
    PoolRef ref;
    if (uint32_t rc = findPool(t, 10, handle, &ref, userAreaCorrupt); rc != 0) return rc;
    *heap = ref.pool;
    return QUOR_RC_OK;
}

uint32_t checkHeaderEyecatchers(const Trace &t, uint32_t probe, const HHeader_t &header, bool withLatch) {
    if (header.eyecatcher0 != QUOR_EYECATCHER)
        return t.failWith(probe, QUOR_RC_BAD_STORAGE_EYECATCHER, header.eyecatcher0);
    if (header.handleEyecatcher != QUOR_EYECATCHER)
        return t.failWith(probe + 10, QUOR_RC_BAD_EYECATCHER, header.handleEyecatcher);
    if (withLatch && header.latchEyecatcher != QUOR_EYECATCHER)
        return t.failWith(probe + 20, QUOR_RC_LATCH_NOT_INITIALIZED, header.latchEyecatcher);
    return QUOR_RC_OK;
}

namespace {

void fillInfo(const HeapView &h, ShmDomainInfo_t *info) {
    const HHeader_t &d = *h.header;
    const SLHeader_t &s = *h.sl;
    *info = ShmDomainInfo_t{d.eyecatcher0,
                            d.handleEyecatcher,
                            d.latchEyecatcher,
                            d.flags,
                            d.selfOffset,
                            d.refCount,
                            d.heapSize,
                            d.freeBytes,
                            d.allocBytes,
                            d.nodeCapacity,
                            d.granule,
                            d.userAppAreaSize,
                            s.maxLevel,
                            s.slSpaceSize,
                            s.slUsedBytes,
                            s.allocCount,
                            s.freeCount,
                            s.defragCount,
                            s.allocLevel,
                            *h.freeLevelWord(),
                            h.tail->topNodeOffset,
                            h.tail->segInfoListHead};
}

void fillInfo(const HeapView &h, ShmPoolInfo_t *info) {
    const HHeader_t &p = *h.header;
    const SLHeader_t &s = *h.sl;
    *info = ShmPoolInfo_t{p.eyecatcher0,
                          p.handleEyecatcher,
                          p.latchEyecatcher,
                          p.flags,
                          p.selfOffset,
                          p.parentHeapOffset,
                          p.refCount,
                          p.heapSize,
                          p.freeBytes,
                          p.allocBytes,
                          s.maxLevel,
                          p.nodeCapacity,
                          p.granule,
                          p.userAppAreaSize,
                          s.slSpaceSize,
                          s.slUsedBytes,
                          s.allocCount,
                          s.freeCount,
                          s.defragCount,
                          s.allocLevel,
                          *h.freeLevelWord(),
                          h.tail->topNodeOffset,
                          h.tail->segInfoListHead};
}

// The user application area sits right behind the fixed header; the bound layout
// has checked that it lies inside the heap.
uint64_t userAreaOf(const HeapView &h) { return h.H + kHeaderFixed; }

}  // namespace

template <class Kind>
uint32_t latchHeapOf(const Trace &t, const typename Kind::Handle *handle, bool enter) {
    HeapView h;
    if (uint32_t rc = Kind::open(t, handle, true, &h); rc != 0) return rc;
    ExsLatch_t *latch = &h.header->heapLatch;
    if (uint32_t rc = enter ? enterEL(latch) : exitEL(latch); rc != 0) return t.fail(100, rc);
    return QUOR_RC_OK;
}

template <class Kind>
uint32_t heapInfoOf(const Trace &t, const typename Kind::Handle *handle, typename Kind::Info *info) {
    HeapView h;
    if (uint32_t rc = Kind::open(t, handle, false, &h); rc != 0) return rc;
    if (info == nullptr) return t.failLogged(100, Kind::nullInfo, 0);
    fillInfo(h, info);
    return QUOR_RC_OK;
}

template <class Kind>
uint32_t setUserDataOf(const Trace &t, const typename Kind::Handle *handle, uint64_t size, const void *data) {
    HeapView h;
    if (uint32_t rc = Kind::open(t, handle, false, &h); rc != 0) return rc;
    if (data == nullptr) return t.failLogged(100, Kind::nullUserData, 0);
    if (size != h.header->userAppAreaSize) return t.failWith(110, QUOR_RC_BAD_USER_APP_AREA_SIZE, size);
    if (!h.copyIn(userAreaOf(h), data, size)) return t.failWith(120, Kind::userAreaCorrupt, size);
    return QUOR_RC_OK;
}

// The size goes out first; a null size output is refused like a null buffer.
template <class Kind>
uint32_t getUserDataOf(const Trace &t, const typename Kind::Handle *handle, uint64_t *sizeOut, void *buffer) {
    HeapView h;
    if (uint32_t rc = Kind::open(t, handle, false, &h); rc != 0) return rc;
    if (buffer == nullptr || sizeOut == nullptr) return t.failLogged(100, Kind::nullUserData, 0);
    const uint64_t stored = h.header->userAppAreaSize;
    *sizeOut = stored;
    if (!h.copyOut(buffer, userAreaOf(h), stored)) return t.failWith(120, Kind::userAreaCorrupt, stored);
    return QUOR_RC_OK;
}

}  // namespace quor::shm

// ---- exported operations ------------------------------------------------------------

using namespace quor;
using namespace quor::shm;

namespace quor::storage {

uint32_t latchDomain(ShmDomainHandle_t *handle) {
    return traced(Fn::quorLatchShmDomain,
                  [&](Trace &t) { return latchHeapOf<DomainHandleKind>(t, handle, true); });
}

uint32_t unlatchDomain(ShmDomainHandle_t *handle) {
    return traced(Fn::quorUnlatchShmDomain,
                  [&](Trace &t) { return latchHeapOf<DomainHandleKind>(t, handle, false); });
}

uint32_t latchPool(ShmPoolHandle_t *poolHandle) {
    return traced(Fn::quorLatchShmPool,
                  [&](Trace &t) { return latchHeapOf<PoolHandleKind>(t, poolHandle, true); });
}

uint32_t unlatchPool(ShmPoolHandle_t *poolHandle) {
    return traced(Fn::quorUnlatchShmPool,
                  [&](Trace &t) { return latchHeapOf<PoolHandleKind>(t, poolHandle, false); });
}

uint32_t poolInfo(ShmPoolHandle_t *poolHandle, ShmPoolInfo_t *infoOut) {
    return traced(Fn::quorGetShmPoolInfo,
                  [&](Trace &t) { return heapInfoOf<PoolHandleKind>(t, poolHandle, infoOut); });
}

}  // namespace quor::storage

QUOR_EXPORT uint32_t quorLatchShmDomain(ShmDomainHandle_t *handle) { return storage::latchDomain(handle); }

QUOR_EXPORT uint32_t quorUnlatchShmDomain(ShmDomainHandle_t *handle) {
    return storage::unlatchDomain(handle);
}

QUOR_EXPORT uint32_t quorLatchShmPool(ShmPoolHandle_t *poolHandle) { return storage::latchPool(poolHandle); }

QUOR_EXPORT uint32_t quorUnlatchShmPool(ShmPoolHandle_t *poolHandle) {
    return storage::unlatchPool(poolHandle);
}

QUOR_EXPORT uint32_t quorGetShmDomainInfo(ShmDomainHandle_t *handle, ShmDomainInfo_t *infoOut) {
    return traced(Fn::quorGetShmDomainInfo,
                  [&](Trace &t) { return heapInfoOf<DomainHandleKind>(t, handle, infoOut); });
}

QUOR_EXPORT uint32_t quorGetShmPoolInfo(ShmPoolHandle_t *poolHandle, ShmPoolInfo_t *infoOut) {
    return storage::poolInfo(poolHandle, infoOut);
}

QUOR_EXPORT uint32_t quorSetDomainUserAppData(ShmDomainHandle_t *handle, uint64_t size, const void *data) {
    return traced(Fn::quorSetDomainUserAppData,
                  [&](Trace &t) { return setUserDataOf<DomainHandleKind>(t, handle, size, data); });
}

QUOR_EXPORT uint32_t quorGetDomainUserAppData(ShmDomainHandle_t *handle, uint64_t *sizeOut, void *buffer) {
    return traced(Fn::quorGetDomainUserAppData,
                  [&](Trace &t) { return getUserDataOf<DomainHandleKind>(t, handle, sizeOut, buffer); });
}

QUOR_EXPORT uint32_t quorSetPoolUserAppData(ShmPoolHandle_t *poolHandle, uint64_t size, const void *data) {
    return traced(Fn::quorSetPoolUserAppData,
                  [&](Trace &t) { return setUserDataOf<PoolHandleKind>(t, poolHandle, size, data); });
}

QUOR_EXPORT uint32_t quorGetPoolUserAppData(ShmPoolHandle_t *poolHandle, uint64_t *sizeOut, void *buffer) {
    return traced(Fn::quorGetPoolUserAppData,
                  [&](Trace &t) { return getUserDataOf<PoolHandleKind>(t, poolHandle, sizeOut, buffer); });
}
