// What domains and pools share behind their private handles: the first tests of a
// handle, the header eyecatchers, and opening the heap a handle names. Each is
// written once over the handle kind; the kinds differ only in their codes and in
// how the heap is reached (a domain directly, a pool through its domain).
#pragma once

#include <cstdint>

#include "frame/trace.h"
#include "quor/quor.h"
#include "shm/heap.h"
#include "shm/pool.h"

namespace quor::shm {

struct DomainHandleKind {
    using Handle = ShmDomainHandle_t;
    using Info = ShmDomainInfo_t;
    static constexpr uint32_t nullHandle = QUOR_RC_NULL_DOMAIN_HANDLE;
    static constexpr uint32_t nullInfo = QUOR_RC_NULL_DOMAIN_INFO;
    static constexpr uint32_t nullUserData = QUOR_RC_NULL_DOMAIN_USER_APP_DATA;
    static constexpr uint32_t userAreaCorrupt = QUOR_RC_DOMAIN_USER_APP_AREA_CORRUPT;
    // Handle and base (probes 10, 20), then the domain heap (30..): with `live`
    // its magic and self offset must hold; its layout is bound in any case.
    static uint32_t open(const Trace &t, const Handle *handle, bool live, HeapView *heap);
};

struct PoolHandleKind {
    using Handle = ShmPoolHandle_t;
    using Info = ShmPoolInfo_t;
    static constexpr uint32_t nullHandle = QUOR_RC_NULL_POOL_HANDLE;
    static constexpr uint32_t nullInfo = QUOR_RC_NULL_POOL_INFO;
    static constexpr uint32_t nullUserData = QUOR_RC_NULL_POOL_USER_APP_DATA;
    static constexpr uint32_t userAreaCorrupt = QUOR_RC_POOL_USER_APP_AREA_CORRUPT;
    // A pool is reached through its domain, and both must be live whatever `live` says.
    static uint32_t open(const Trace &t, const Handle *handle, bool live, HeapView *heap);
};

// Handle and base: the first tests of every handle operation (probes `probe`, +10).
template <class Kind>
uint32_t checkHandle(const Trace &t, uint32_t probe, const typename Kind::Handle *handle) {
    if (handle == nullptr) return t.failLogged(probe, Kind::nullHandle, 0);
    if (handle->base == nullptr)
        return t.failLogged(probe + 10, QUOR_RC_NOT_MAPPED, reinterpret_cast<uintptr_t>(handle));
    return QUOR_RC_OK;
}

// The header eyecatchers in the order disconnect and free test them: eyecatcher0,
// handleEyecatcher and, with `withLatch`, latchEyecatcher (probes `probe`, +10, +20).
uint32_t checkHeaderEyecatchers(const Trace &t, uint32_t probe, const HHeader_t &header, bool withLatch);

// The operations both kinds export (latch, information, user application data).
template <class Kind>
uint32_t latchHeapOf(const Trace &t, const typename Kind::Handle *handle, bool enter);
template <class Kind>
uint32_t heapInfoOf(const Trace &t, const typename Kind::Handle *handle, typename Kind::Info *info);
template <class Kind>
uint32_t setUserDataOf(const Trace &t, const typename Kind::Handle *handle, uint64_t size, const void *data);
template <class Kind>
uint32_t getUserDataOf(const Trace &t, const typename Kind::Handle *handle, uint64_t *sizeOut, void *buffer);

}  // namespace quor::shm
