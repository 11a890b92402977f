// Shared-memory domains: sizing a heap region, creating, connecting, freeing and
// describing a domain, and its user application data.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "frame/export.h"
#include "frame/state.h"
#include "shm/handles.h"
#include "shm/heap.h"
#include "shm/holders.h"
#include "shm/pads.h"
#include "shm/storage.h"

namespace quor::shm {

// ---- sizing -------------------------------------------------------------------------

namespace {

struct CapacityStep {
    uint64_t below;
    double factor;
    uint64_t (*minimum)(uint64_t);
};

constexpr CapacityStep kDomainSteps[] = {
    {0x100000, 0.01, [](uint64_t s) { return std::max<uint64_t>(s >> 15, 25); }},
    {0x4000000, 0.005, [](uint64_t s) { return std::max<uint64_t>(s / 0x14000, 350); }},
    {0x20000000, 0.00125, [](uint64_t s) { return std::max<uint64_t>(s / 0x30000, 1000); }},
    {0x40000000, 0.00085, [](uint64_t s) { return std::max<uint64_t>(s >> 19, 1750); }},
    {UINT64_MAX, 0.0008, [](uint64_t s) { return std::max<uint64_t>(s >> 20, 2250); }},
};
constexpr CapacityStep kPoolSteps[] = {
    {0x80000, 0.02, [](uint64_t s) { return std::max<uint64_t>(s >> 13, 50); }},
    {0x100000, 0.0215, [](uint64_t s) { return std::max<uint64_t>(s / 0x2260, 75); }},
    {0x800000, 0.021, [](uint64_t s) { return std::max<uint64_t>(s / 0x2648, 125); }},
    {0x4000000, 0.0135, [](uint64_t s) { return std::max<uint64_t>(s >> 14, 850); }},
    {0x20000000, 0.0025, [](uint64_t s) { return std::max<uint64_t>(s / 0x14000, 4000); }},
    {0x40000000, 0.002, [](uint64_t s) { return std::max<uint64_t>(s / 0x18000, 7500); }},
    {UINT64_MAX, 0.00195, [](uint64_t s) { return std::max<uint64_t>(s / 0x1C000, 11000); }},
};

template <size_t N>
uint64_t computedCapacity(const CapacityStep (&steps)[N], uint64_t s) {
    const uint64_t q = s / QUOR_SL_BYTES_PER_NODE;
    for (const CapacityStep &step : steps) {
        if (s < step.below || step.below == UINT64_MAX) {
            return std::max(static_cast<uint64_t>(std::floor(double(q) * step.factor)), step.minimum(s));
        }
    }
    return 0;
}

}  // namespace

uint32_t heapSizing(uint64_t size, uint32_t kind, uint64_t nodeCapacity, uint64_t maxLevel,
                    uint64_t userAppAreaSize, HeapSizes *out) {
    const HeapTraits *traits = traitsOf(kind);
    if (traits == nullptr) return QUOR_RC_BAD_HEAP_MODE;
    const bool domain = kind == QUOR_HEAP_KIND_DOMAIN;
    uint64_t n = nodeCapacity != 0 ? nodeCapacity
                 : domain          ? computedCapacity(kDomainSteps, size)
                                   : computedCapacity(kPoolSteps, size);
    n = std::min<uint64_t>(n, domain ? QUOR_DOMAIN_MAX_NODE_CAPACITY : QUOR_POOL_MAX_NODE_CAPACITY);
    uint64_t L = maxLevel != 0 ? maxLevel
                 : domain      ? QUOR_DOMAIN_DEFAULT_MAX_LEVEL
                               : QUOR_POOL_DEFAULT_MAX_LEVEL;
    L = std::min<uint64_t>(L, kMaxLevel);
    const uint64_t userArea = std::min<uint64_t>(userAppAreaSize, UINT64_MAX / 2);
    *out = HeapSizes{n, L, round8(round8(userArea) + kHeaderBase), slHeaderSize(L),
                     round8(slHeaderSize(L) + QUOR_SL_BYTES_PER_NODE * n)};
    return QUOR_RC_OK;
}

}  // namespace quor::shm

using namespace quor;
using namespace quor::shm;

namespace {

// ---- handles and segments ------------------------------------------------------------

uint32_t newSegmentObject(IpcMemory **out) {
    IpcMemory *block = nullptr;
    if (allocPrivate(&block, src::shm) != 0) return QUOR_RC_NO_MEMORY;
    *out = new (block) IpcMemory();
    return QUOR_RC_OK;
}

// Deletes the object; `keepMapping` releases its memory without unmapping.
void deleteSegmentObject(IpcMemory *&memory, bool keepMapping = false) {
    if (memory == nullptr) return;
    if (!keepMapping) memory->~IpcMemory();
    (void)freePrivate(&memory, src::shm);
    memory = nullptr;
}

uint32_t newHandle(void *base, uint32_t mode, uint64_t heapOffset, IpcMemory *memory,
                   ShmDomainHandle_t **out) {
    if (allocPrivate(out, src::shm) != 0) return QUOR_RC_DOMAIN_HANDLE_ALLOC_FAILED;
    **out = ShmDomainHandle_t{base, mode, 0, heapOffset, memory};
    return QUOR_RC_OK;
}

uint32_t releaseHandle(ShmDomainHandle_t **handleRef) {
    return freePrivate(handleRef, src::shm) != 0 ? QUOR_RC_HANDLE_FREE_FAILED : QUOR_RC_OK;
}

// The header a checked handle names (its base is not null).
HHeader_t *headerOf(const ShmDomainHandle_t *handle) {
    HeapView h;
    h.attach(handle->base, QUOR_HEAP_KIND_DOMAIN, handle->heapOffset);
    return h.header;
}

uint32_t checkHandle(Trace &t, ShmDomainHandle_t *handle) {
    return shm::checkHandle<DomainHandleKind>(t, 10, handle);
}

// Handle, base, aligned offset and the two header eyecatchers (disconnect, free).
uint32_t checkHandleAndHeader(Trace &t, ShmDomainHandle_t **handleRef) {
    if (handleRef == nullptr) return t.failLogged(10, QUOR_RC_NULL_DOMAIN_HANDLE, 0);
    if (uint32_t rc = checkHandle(t, *handleRef); rc != 0) return rc;
    ShmDomainHandle_t *handle = *handleRef;
    if (handle->heapOffset % 8 != 0)
        return t.failWith(30, QUOR_RC_HANDLE_OFFSET_NOT_ALIGNED, handle->heapOffset);
    return checkHeaderEyecatchers(t, 40, *headerOf(handle), false);
}

// Magic and self offset of the handle's heap.
uint32_t checkLive(Trace &t, ShmDomainHandle_t *handle, uint32_t probe) {
    HHeader_t *header = headerOf(handle);
    if (header->heapMagic != QUOR_DOMAIN_HEAP_MAGIC) {
        return t.failWith(probe, QUOR_RC_BAD_DOMAIN_EYECATCHER, header->heapMagic);
    }
    if (header->selfOffset != handle->heapOffset) {
        return t.failWith(probe + 10, QUOR_RC_DOMAIN_OFFSET_MISMATCH, header->selfOffset);
    }
    return QUOR_RC_OK;
}

// Unpoisons what this process may have poisoned before the mapping goes away.
void exposeHeap(ShmDomainHandle_t *handle) {
    if (!chunkPoisoning()) return;
    HeapView h;
    if (h.attach(handle->base, QUOR_HEAP_KIND_DOMAIN, handle->heapOffset) == 0) {
        h.end = h.H + h.header->heapSize;
        unpoisonBytes(h.bytes(h.H, 0), h.header->heapSize);
    }
}

// ---- domain operations -------------------------------------------------------------

uint32_t createDomain(Trace &t, const IpcResId *resId, void *address, uint64_t size,
                      const ShmDomainOptions_t *options, ShmDomainHandle_t **handleOut) {
    if (handleOut == nullptr) return t.failLogged(5, QUOR_RC_NULL_DOMAIN_HANDLE, 0);
    ShmDomainOptions_t o = options != nullptr ? *options : ShmDomainOptions_t{};
    if (o.eyecatcher0 == 0) o.eyecatcher0 = QUOR_EYECATCHER;
    if (o.handleEyecatcher == 0) o.handleEyecatcher = QUOR_EYECATCHER;
    if (o.latchEyecatcher == 0) o.latchEyecatcher = QUOR_EYECATCHER;
    if (o.granule == 0) o.granule = QUOR_DOMAIN_DEFAULT_GRANULE;
    if (o.mode == 0) o.mode = QUOR_SHM_MODE_CREATE;
    if (o.ipcCreateFlags == 0) o.ipcCreateFlags = QUOR_DOMAIN_DEFAULT_IPC_CREATE_FLAGS;
    if (o.heapOffset % 8 != 0) return t.failWith(10, QUOR_RC_HEAP_OFFSET_NOT_ALIGNED, o.heapOffset);
    if (o.userAppAreaSize > size) return t.failWith(20, QUOR_RC_BAD_USER_APP_AREA_SIZE, o.userAppAreaSize);
    if (o.handleEyecatcher != QUOR_EYECATCHER)
        return t.failWith(30, QUOR_RC_BAD_EYECATCHER, o.handleEyecatcher);
    if (o.latchEyecatcher != QUOR_EYECATCHER)
        return t.failWith(40, QUOR_RC_LATCH_NOT_INITIALIZED, o.latchEyecatcher);
    if (o.eyecatcher0 != QUOR_EYECATCHER)
        return t.failWith(50, QUOR_RC_BAD_STORAGE_EYECATCHER, o.eyecatcher0);
    if (o.granule != 8 && (o.granule < 9 || o.granule > size)) {
        return t.failWith(60, QUOR_RC_DOMAIN_GRANULE_OUT_OF_RANGE, o.granule);
    }
    if (o.granule % 8 != 0) return t.failWith(70, QUOR_RC_DOMAIN_GRANULE_NOT_ALIGNED, o.granule);
    if (o.mode == QUOR_SHM_MODE_CREATE && resId == nullptr) return t.failLogged(80, QUOR_RC_NOT_ATTACHED, 0);
    if (o.mode == QUOR_SHM_MODE_USER_MEMORY && address == nullptr)
        return t.failLogged(90, QUOR_RC_NOT_MAPPED, 0);
    if (o.mode != QUOR_SHM_MODE_CREATE && o.mode != QUOR_SHM_MODE_USER_MEMORY) {
        return t.failWith(100, QUOR_RC_BAD_SHM_MODE, o.mode);
    }

    // The region must hold the header, the node space and one chunk.
    HeapSizes sizes{};
    heapSizing(size, QUOR_HEAP_KIND_DOMAIN, o.nodeCapacity, o.maxLevel, o.userAppAreaSize, &sizes);
    if (sizes.hHeaderSize + sizes.slSpaceSize >= size ||
        size - sizes.hHeaderSize - sizes.slSpaceSize < QUOR_DOMAIN_MIN_CHUNK ||
        size > UINT64_MAX - o.heapOffset) {
        return t.failWith(110, QUOR_RC_SEGMENT_TOO_SMALL, size);
    }

    IpcMemory *memory = nullptr;
    void *base = address;
    if (o.mode == QUOR_SHM_MODE_CREATE) {
        if (uint32_t rc = newSegmentObject(&memory); rc != 0)
            return t.fail(120, QUOR_RC_DOMAIN_HANDLE_ALLOC_FAILED);
        IpcMemoryCreateParam param{1, *resId, o.heapOffset + size, address, o.ipcCreateFlags};
        if (uint32_t rc = memory->create(param); rc != 0) {
            deleteSegmentObject(memory);
            return t.fail(130, rc == QUOR_RC_HOST_SEGMENT_EXISTS ? QUOR_RC_SEGMENT_EXISTS : rc);
        }
        if (memory->getAddress(&base) != 0 || base == nullptr) {
            memory->destroy();
            deleteSegmentObject(memory);
            return t.fail(140, QUOR_RC_SEGMENT_ADDRESS_FAILED);
        }
    }
    auto undoSegment = Closing([&] {
        if (memory != nullptr) {
            memory->destroy();
            deleteSegmentObject(memory);
        }
        return QUOR_RC_OK;
    });
    uint32_t rc = createInitStorageHeap(
        base, QUOR_HEAP_KIND_DOMAIN, size, o.heapOffset, sizes.nodeCapacity, sizes.maxLevel,
        sizes.hHeaderSize, sizes.slHeaderSize, sizes.slSpaceSize, o.granule, o.userAppAreaSize, o.userAppData,
        o.latchEyecatcher, o.eyecatcher0, o.handleEyecatcher, o.initialFlags, 0);
    if (rc != 0) return t.fail(150, rc);
    if ((rc = newHandle(base, o.mode, o.heapOffset, memory, handleOut)) != 0) return t.fail(160, rc);
    undoSegment.dismiss();
    return QUOR_RC_OK;
}

uint32_t connectDomain(Trace &t, const IpcResId *resId, void *address, const ShmDomainOptions_t *options,
                       ShmDomainHandle_t **handleOut) {
    if (handleOut == nullptr) return t.failLogged(5, QUOR_RC_NULL_DOMAIN_HANDLE, 0);
    ShmDomainOptions_t o = options != nullptr ? *options : ShmDomainOptions_t{};
    if (o.heapOffset % 8 != 0) return t.failWith(10, QUOR_RC_HEAP_OFFSET_NOT_ALIGNED, o.heapOffset);
    if (o.handleEyecatcher != 0 && o.handleEyecatcher != QUOR_EYECATCHER) {
        return t.failWith(20, QUOR_RC_BAD_EYECATCHER, o.handleEyecatcher);
    }
    if (o.eyecatcher0 != 0 && o.eyecatcher0 != QUOR_EYECATCHER) {
        return t.failWith(30, QUOR_RC_BAD_STORAGE_EYECATCHER, o.eyecatcher0);
    }
    const uint32_t mode = o.mode != 0 ? o.mode : QUOR_SHM_MODE_ATTACH;
    IpcMemory *memory = nullptr;
    void *base = address;
    if (mode == QUOR_SHM_MODE_CREATE || mode == QUOR_SHM_MODE_ATTACH) {
        if (resId == nullptr) return t.failLogged(40, QUOR_RC_NOT_ATTACHED, 0);
        if (newSegmentObject(&memory) != 0) return t.fail(50, QUOR_RC_DOMAIN_HANDLE_ALLOC_FAILED);
        if (!memory->isAttached() && memory->attach(*resId, address) != 0) {
            deleteSegmentObject(memory);
            return t.fail(60, QUOR_RC_SEGMENT_ATTACH_FAILED);
        }
    } else if (mode == QUOR_SHM_MODE_USER_MEMORY) {
        if (address == nullptr) return t.failLogged(70, QUOR_RC_NOT_MAPPED, 0);
    } else {
        return t.failWith(80, QUOR_RC_BAD_SHM_MODE, mode);
    }
    auto undoAttach = Closing([&] {
        if (memory != nullptr) {
            memory->detach();
            deleteSegmentObject(memory);
        }
        return QUOR_RC_OK;
    });
    if (memory != nullptr) {
        if (memory->getAddress(&base) != 0 || base == nullptr)
            return t.fail(90, QUOR_RC_SEGMENT_ADDRESS_FAILED);
        // A header or heap that does not fit the mapping is not a domain.
        const uint64_t mapped = memory->size();
        if (o.heapOffset > mapped || mapped - o.heapOffset < kHeaderBase) {
            return t.failWith(100, QUOR_RC_BAD_DOMAIN_EYECATCHER, o.heapOffset);
        }
        HeapView h;
        h.attach(base, QUOR_HEAP_KIND_DOMAIN, o.heapOffset);
        if (h.header->heapSize > mapped - o.heapOffset)
            return t.failWith(101, QUOR_RC_BAD_DOMAIN_EYECATCHER, h.header->heapSize);
    }
    if (uint32_t rc = connectHeap(base, QUOR_HEAP_KIND_DOMAIN, o.heapOffset); rc != 0) return t.fail(110, rc);
    if (uint32_t rc = newHandle(base, mode, o.heapOffset, memory, handleOut); rc != 0) {
        disconnectHeap(base, QUOR_HEAP_KIND_DOMAIN, o.heapOffset);
        return t.fail(120, rc);
    }
    undoAttach.dismiss();
    return QUOR_RC_OK;
}

uint32_t disconnectDomain(Trace &t, ShmDomainHandle_t **handleRef) {
    if (uint32_t rc = checkHandleAndHeader(t, handleRef); rc != 0) return rc;
    ShmDomainHandle_t *handle = *handleRef;
    if (uint32_t rc = disconnectHeap(handle->base, QUOR_HEAP_KIND_DOMAIN, handle->heapOffset); rc != 0) {
        return t.fail(60, rc);
    }
    auto *memory = static_cast<IpcMemory *>(handle->ipcMemory);
    if (handle->mode == QUOR_SHM_MODE_CREATE || handle->mode == QUOR_SHM_MODE_ATTACH) {
        exposeHeap(handle);
        if (memory == nullptr || memory->detach() != 0) return t.fail(70, QUOR_RC_SEGMENT_DETACH_FAILED);
        deleteSegmentObject(memory);
        handle->ipcMemory = nullptr;
    } else if (handle->mode != QUOR_SHM_MODE_USER_MEMORY) {
        return t.failWith(80, QUOR_RC_BAD_SHM_MODE, handle->mode);
    }
    if (uint32_t rc = releaseHandle(handleRef); rc != 0) return t.fail(90, rc);
    return QUOR_RC_OK;
}

uint32_t freeDomain(Trace &t, ShmDomainHandle_t **handleRef, uint32_t freeMode) {
    if (uint32_t rc = checkHandleAndHeader(t, handleRef); rc != 0) return rc;
    ShmDomainHandle_t *handle = *handleRef;
    if (uint32_t rc = checkLive(t, handle, 60); rc != 0) return rc;
    if (freeMode != QUOR_SHM_FREE_NORMAL && freeMode != QUOR_SHM_FREE_FORCE) {
        return t.failWith(80, QUOR_RC_BAD_FREE_MODE, freeMode);
    }
    HHeader_t *header = headerOf(handle);
    if (freeMode == QUOR_SHM_FREE_NORMAL && header->refCount > 1)
        (void)releaseDeadHoldersLatched(handle->base, QUOR_HEAP_KIND_DOMAIN, handle->heapOffset);
    if (uint32_t rc = enterEL(&header->heapLatch); rc != 0) return t.fail(90, rc);
    auto latch = leaving(&header->heapLatch);
    if (freeMode == QUOR_SHM_FREE_NORMAL && header->refCount > 1)
        return latch.close(t.failWith(100, QUOR_RC_DOMAIN_IN_USE, header->refCount));
    header->flags |= QUOR_HEAP_MARKED_FOR_DELETION;
    forgetHolders(handle->base, QUOR_HEAP_KIND_DOMAIN, handle->heapOffset);
    header->heapMagic = 0;
    uint32_t rc = latch.close(QUOR_RC_OK);
    if (rc != 0) return t.fail(110, rc);
    auto *memory = static_cast<IpcMemory *>(handle->ipcMemory);
    if (handle->mode == QUOR_SHM_MODE_CREATE || handle->mode == QUOR_SHM_MODE_ATTACH) {
        exposeHeap(handle);
        if (memory == nullptr || memory->destroy() != 0) return t.fail(120, QUOR_RC_SEGMENT_DESTROY_FAILED);
        deleteSegmentObject(memory);
        handle->ipcMemory = nullptr;
    } else {
        exposeHeap(handle);
    }
    if ((rc = releaseHandle(handleRef)) != 0) return t.fail(130, rc);
    return QUOR_RC_OK;
}

}  // namespace

namespace quor::storage {

uint32_t createDomain(const IpcResId *resId, void *address, uint64_t size, const ShmDomainOptions_t *options,
                      ShmDomainHandle_t **handleOut) {
    return traced(Fn::quorCreateShmDomain,
                  [&](Trace &t) { return ::createDomain(t, resId, address, size, options, handleOut); });
}

uint32_t connectDomain(const IpcResId *resId, void *address, const ShmDomainOptions_t *options,
                       ShmDomainHandle_t **handleOut) {
    return traced(Fn::quorConnectToShmDomain,
                  [&](Trace &t) { return ::connectDomain(t, resId, address, options, handleOut); });
}

uint32_t disconnectDomain(ShmDomainHandle_t **handleRef) {
    return traced(Fn::quorDisconnectFromShmDomain,
                  [&](Trace &t) { return ::disconnectDomain(t, handleRef); });
}

uint32_t freeDomain(ShmDomainHandle_t **handleRef, uint32_t freeMode) {
    return traced(Fn::quorFreeShmDomain, [&](Trace &t) { return ::freeDomain(t, handleRef, freeMode); });
}

uint32_t markDomainForDeletion(ShmDomainHandle_t *handle) {
    return traced(Fn::quorMarkShmDomainForDeletion, [&](Trace &t) {
        if (uint32_t rc = checkHandle(t, handle); rc != 0) return rc;
        if (handle->heapOffset % 8 != 0)
            return t.failWith(30, QUOR_RC_HANDLE_OFFSET_NOT_ALIGNED, handle->heapOffset);
        if (uint32_t rc = checkLive(t, handle, 40); rc != 0) return rc;
        headerOf(handle)->flags |= QUOR_HEAP_MARKED_FOR_DELETION;
        return QUOR_RC_OK;
    });
}

uint32_t heapHeaderInfo(uint64_t size, uint32_t kind, uint64_t *nodeCapacityRef, uint64_t *maxLevelRef,
                        uint64_t userAppAreaSize, uint64_t *hHeaderSizeOut, uint64_t *slHeaderSizeOut,
                        uint64_t *slSpaceSizeOut) {
    return traced(Fn::quorGetHHeaderInfo, [&](Trace &t) {
        if (nodeCapacityRef == nullptr || maxLevelRef == nullptr || hHeaderSizeOut == nullptr ||
            slHeaderSizeOut == nullptr || slSpaceSizeOut == nullptr) {
            return t.fail(10, QUOR_RC_NULL_PARAMETER);
        }
        HeapSizes sizes{};
        if (uint32_t rc = heapSizing(size, kind, *nodeCapacityRef, *maxLevelRef, userAppAreaSize, &sizes);
            rc != 0) {
            return t.failWith(20, rc, kind);
        }
        *nodeCapacityRef = sizes.nodeCapacity;
        *maxLevelRef = sizes.maxLevel;
        *hHeaderSizeOut = sizes.hHeaderSize;
        *slHeaderSizeOut = sizes.slHeaderSize;
        *slSpaceSizeOut = sizes.slSpaceSize;
        return QUOR_RC_OK;
    });
}

}  // namespace quor::storage

QUOR_EXPORT uint32_t quorCreateShmDomain(const IpcResId *resId, void *address, uint64_t size,
                                         const ShmDomainOptions_t *options, ShmDomainHandle_t **handleOut) {
    return storage::createDomain(resId, address, size, options, handleOut);
}

QUOR_EXPORT uint32_t quorConnectToShmDomain(const IpcResId *resId, void *address,
                                            const ShmDomainOptions_t *options,
                                            ShmDomainHandle_t **handleOut) {
    return storage::connectDomain(resId, address, options, handleOut);
}

QUOR_EXPORT uint32_t quorDisconnectFromShmDomain(ShmDomainHandle_t **handleRef) {
    return storage::disconnectDomain(handleRef);
}

QUOR_EXPORT uint32_t quorFreeShmDomain(ShmDomainHandle_t **handleRef, uint32_t freeMode) {
    return storage::freeDomain(handleRef, freeMode);
}

QUOR_EXPORT uint32_t quorMarkShmDomainForDeletion(ShmDomainHandle_t *handle) {
    return storage::markDomainForDeletion(handle);
}

QUOR_EXPORT uint32_t quorDestroyShmDomainHandle(ShmDomainHandle_t **handleRef) {
    return traced(Fn::quorDestroyShmDomainHandle, [&](Trace &t) {
        if (handleRef == nullptr) return t.failLogged(10, QUOR_RC_NULL_DOMAIN_HANDLE, 0);
        if (uint32_t rc = checkHandle(t, *handleRef); rc != 0) return rc;
        ShmDomainHandle_t *handle = *handleRef;
        if (headerOf(handle)->handleEyecatcher != QUOR_EYECATCHER) {
            return t.failWith(30, QUOR_RC_BAD_EYECATCHER, headerOf(handle)->handleEyecatcher);
        }
        // The mapping stays: the segment object's memory goes without unmapping.
        auto *memory = static_cast<IpcMemory *>(handle->ipcMemory);
        deleteSegmentObject(memory, true);
        if (uint32_t rc = releaseHandle(handleRef); rc != 0) return t.fail(40, rc);
        return QUOR_RC_OK;
    });
}

uint32_t quor::storage::dropDomainHandle(ShmDomainHandle_t **handleRef) {
    ShmDomainHandle_t *handle = *handleRef;
    if (handle == nullptr) return QUOR_RC_OK;
    if (auto *memory = static_cast<IpcMemory *>(handle->ipcMemory); memory != nullptr) {
        // The heap cannot be walked to find what was poisoned: clear the whole
        // mapping before it goes, or a later mapping at these addresses inherits it.
        void *mapped = nullptr;
        if (chunkPoisoning() && memory->getAddress(&mapped) == 0) unpoisonBytes(mapped, memory->size());
        deleteSegmentObject(memory);
        handle->ipcMemory = nullptr;
    }
    return releaseHandle(handleRef);
}

QUOR_EXPORT uint32_t quorGetHHeaderInfo(uint64_t size, uint32_t kind, uint64_t *nodeCapacityRef,
                                        uint64_t *maxLevelRef, uint64_t userAppAreaSize,
                                        uint64_t *hHeaderSizeOut, uint64_t *slHeaderSizeOut,
                                        uint64_t *slSpaceSizeOut) {
    return storage::heapHeaderInfo(size, kind, nodeCapacityRef, maxLevelRef, userAppAreaSize, hHeaderSizeOut,
                                   slHeaderSizeOut, slSpaceSizeOut);
}

QUOR_EXPORT uint32_t quorGetHHeaderSize(uint64_t userAppAreaSize, uint64_t *sizeOut) {
    return traced(Fn::quorGetHHeaderSize, [&](Trace &t) {
        if (sizeOut == nullptr) return t.fail(10, QUOR_RC_NULL_PARAMETER);
        *sizeOut = round8(round8(userAppAreaSize) + kHeaderBase);
        return QUOR_RC_OK;
    });
}

QUOR_EXPORT uint32_t quorGetSLHeaderSize(uint64_t maxLevel, uint64_t *sizeOut) {
    return traced(Fn::quorGetSLHeaderSize, [&](Trace &t) {
        if (sizeOut == nullptr) return t.fail(10, QUOR_RC_NULL_PARAMETER);
        *sizeOut = slHeaderSize(maxLevel);
        return QUOR_RC_OK;
    });
}

QUOR_EXPORT uint32_t quorGetUserAppAreaSize(void *base, uint64_t heapOffset, uint64_t *sizeOut) {
    return traced(Fn::quorGetUserAppAreaSize, [&](Trace &t) {
        if (sizeOut == nullptr) return t.fail(10, QUOR_RC_NULL_PARAMETER);
        HeapView h;
        *sizeOut = h.attach(base, QUOR_HEAP_KIND_DOMAIN, heapOffset) == 0 ? h.header->userAppAreaSize : 0;
        return QUOR_RC_OK;
    });
}
