// Connection counting down: the mirror of quorConnectToStorageHeap.
#include "frame/export.h"
#include "shm/pool.h"

namespace quor::shm {
namespace {

uint32_t disconnectHeap(const Trace &t, void *base, uint32_t kind, uint64_t heapOffset) {
    if (base == nullptr) return t.failLogged(10, QUOR_RC_NOT_MAPPED, 0);
    if (kind != QUOR_HEAP_KIND_DOMAIN && kind != QUOR_HEAP_KIND_POOL)
        return t.failWith(20, QUOR_RC_BAD_HEAP_MODE, kind);
    const HeapKind &traits = kind == QUOR_HEAP_KIND_DOMAIN ? kDomainHeap : kPoolHeap;
    if (heapOffset > UINT64_MAX - sizeof(HHeader_t)) return t.failWith(30, traits.badMagic, heapOffset);
    HHeader_t *header = Region(base, heapOffset + sizeof(HHeader_t)).at<HHeader_t>(heapOffset);
    if (header == nullptr || header->heapMagic != traits.magic)
        return t.failWith(30, traits.badMagic, header != nullptr ? header->heapMagic : 0);
    if (header->selfOffset != heapOffset) return t.failWith(40, traits.offsetMismatch, header->selfOffset);
    if (uint32_t rc = quorEnterELCriticalSection(&header->heapLatch); rc != 0) return t.fail(50, rc);
    if (header->refCount > 0) --header->refCount;
    if (uint32_t rc = quorExitELCriticalSection(&header->heapLatch); rc != 0) return t.fail(60, rc);
    return QUOR_RC_OK;
}

}  // namespace
}  // namespace quor::shm

using namespace quor;

QUOR_EXPORT uint32_t quorDisconnectFromStorageHeap(void *base, uint32_t kind, uint64_t heapOffset) {
    return traced(Fn::quorDisconnectFromStorageHeap,
                  [&](Trace &t) { return shm::disconnectHeap(t, base, kind, heapOffset); });
}
