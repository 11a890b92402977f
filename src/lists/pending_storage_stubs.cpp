// TEMPORARY: stand-ins for the storage operations until the storage branch is
// merged; weak and hidden, so the real definitions replace them. Remove on merge.
#include "quor/quor.h"

#define WEAK_STUB __attribute__((weak, visibility("hidden")))

extern "C" {
WEAK_STUB uint32_t quorEnterELCriticalSection(ExsLatch_t *) { return QUOR_RC_LATCH_FAILED; }
WEAK_STUB uint32_t quorExitELCriticalSection(ExsLatch_t *) { return QUOR_RC_LATCH_FAILED; }
WEAK_STUB uint32_t _quorAllocateShmBlock(void **, ShmPoolHandle_t *, uint64_t, uint64_t, uint32_t, uint32_t,
                                         const char *) {
    return QUOR_RC_POOL_OUT_OF_SPACE;
}
WEAK_STUB uint32_t _quorFreeShmBlock(void **, ShmPoolHandle_t *, uint32_t, uint32_t, const char *) {
    return QUOR_RC_BAD_PAD_TYPE;
}
}
