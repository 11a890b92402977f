// TEMPORARY: stand-ins for the domain and pool operations until the storage
// branches are merged; weak and hidden, so the real definitions replace them.
// Remove on merge.
#include "quor/quor.h"

#define WEAK_STUB __attribute__((weak, visibility("hidden")))

extern "C" {
WEAK_STUB uint32_t quorCreateShmDomain(const IpcResId *, void *, uint64_t, const ShmDomainOptions_t *,
                                       ShmDomainHandle_t **) {
    return QUOR_RC_SEGMENT_ATTACH_FAILED;
}
WEAK_STUB uint32_t quorConnectToShmDomain(const IpcResId *, void *, const ShmDomainOptions_t *,
                                          ShmDomainHandle_t **) {
    return QUOR_RC_SEGMENT_ATTACH_FAILED;
}
WEAK_STUB uint32_t quorDisconnectFromShmDomain(ShmDomainHandle_t **) { return QUOR_RC_SEGMENT_DETACH_FAILED; }
WEAK_STUB uint32_t quorFreeShmDomain(ShmDomainHandle_t **, uint32_t) {
    return QUOR_RC_SEGMENT_DESTROY_FAILED;
}
WEAK_STUB uint32_t quorMarkShmDomainForDeletion(ShmDomainHandle_t *) { return QUOR_RC_NULL_DOMAIN_HANDLE; }
WEAK_STUB uint32_t quorLatchShmDomain(ShmDomainHandle_t *) { return QUOR_RC_LATCH_FAILED; }
WEAK_STUB uint32_t quorUnlatchShmDomain(ShmDomainHandle_t *) { return QUOR_RC_LATCH_FAILED; }
WEAK_STUB uint32_t quorGetHHeaderInfo(uint64_t, uint32_t, uint64_t *, uint64_t *, uint64_t, uint64_t *,
                                      uint64_t *, uint64_t *) {
    return QUOR_RC_BAD_HEAP_MODE;
}
WEAK_STUB uint32_t _quorCreateShmPool(ShmPoolHandle_t **, ShmDomainHandle_t *, uint64_t,
                                      const ShmPoolOptions_t *, uint32_t, uint32_t, const char *) {
    return QUOR_RC_POOL_HEAP_INIT_FAILED;
}
WEAK_STUB uint32_t quorConnectToShmPool(ShmPoolHandle_t **, ShmDomainHandle_t *, uint64_t,
                                        const ShmPoolOptions_t *) {
    return QUOR_RC_NULL_POOL_HANDLE;
}
WEAK_STUB uint32_t quorDisconnectFromShmPool(ShmPoolHandle_t **) { return QUOR_RC_NULL_POOL_HANDLE; }
WEAK_STUB uint32_t _quorFreeShmPool(ShmPoolHandle_t **, uint32_t, uint32_t, uint32_t, const char *) {
    return QUOR_RC_NULL_POOL_HANDLE;
}
}
