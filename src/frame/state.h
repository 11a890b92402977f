// Per-process state of the library: initialisation, the attach registry and the
// heads of the private segment and module lists. Nothing here is shared between
// processes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quor/host.h"
#include "quor/quor.h"

namespace quor {

// One attached segment in the registry (the public AttachInfo record); the
// registry owns the record it points to.
using AttachInfo = ::AttachInfo;
static_assert(offsetof(AttachInfo, next) == 0x00 && offsetof(AttachInfo, segInfo) == 0x08);
static_assert(offsetof(AttachInfo, refCount) == 0x10 && sizeof(AttachInfo) == 24);

// The registry's head block (24 bytes, allocated at the first initialisation).
struct AttachListHead {
    AttachInfo *first;
    uint64_t reserved[2];
};
static_assert(sizeof(AttachListHead) == 24);

struct LibraryState {
    uint32_t libraryMagic = QUOR_LIB_NOT_INITIALIZED;
    uint32_t initCount = 0;
    uint8_t initLock = 0;
    uint8_t registryLock = 0;  // guards attachInfoList, attachCount and the protected segment
    AttachListHead *attachInfoList = nullptr;
    uint32_t attachCount = 0;
    ShmSegInfo_t protectedSegInfo{};
    uint32_t protectedSegState = QUOR_PROTSEG_INVALID;
    AttachSegInfoPMNode_t *segInfoPMList = nullptr;  // private segment list, unlocked
    RMXPMNode_t *rmxPMList = nullptr;                // private module list, unlocked
    uint32_t libraryKey = 0;
    uint32_t latchKey = 0;
    // Raised on every change of the registry: translations a thread remembers
    // stand only while it is the value they were made under.
    uint64_t registryGeneration = 1;
};

LibraryState &lib();

inline bool libraryInitialized() { return lib().libraryMagic == QUOR_LIB_INITIALIZED; }

inline uint64_t registryGeneration() { return __atomic_load_n(&lib().registryGeneration, __ATOMIC_ACQUIRE); }
inline void bumpRegistryGeneration() { __atomic_add_fetch(&lib().registryGeneration, 1, __ATOMIC_ACQ_REL); }

// Takes a one-byte spin lock the host way: try, then wait out the conflict.
void lockSpin(uint8_t *lock);
inline void unlockSpin(uint8_t *lock) { hostSpinLockRelease(lock); }

// Private memory of the library, charged to one of its source units.
namespace src {
inline constexpr const char *props = "quori";
inline constexpr const char *tree = "quor";
inline constexpr const char *shm = "quorshm";
inline constexpr const char *lists = "quorll";
}  // namespace src

// Typed private memory: `count` zeroed Ts from the host, charged to `source` and
// the calling line (the builtin default takes the caller's line with every
// compiler we build with, unlike a source location object). The host's code is
// returned; *out is set only on success.
template <class T>
uint32_t allocPrivate(T **out, const char *source, uint64_t count = 1, uint32_t line = __builtin_LINE()) {
    void *block = nullptr;
    uint32_t rc = hostMemAlloc(&block, 0, count * sizeof(T), 1, source, line);
    if (rc == 0) *out = static_cast<T *>(block);
    return rc;
}

// Releases a block from allocPrivate and clears *ref; on failure *ref stays.
template <class T>
uint32_t freePrivate(T **ref, const char *source, uint32_t line = __builtin_LINE()) {
    void *block = *ref;
    uint32_t rc = hostMemFree(&block, 0, 0, source, line);
    if (rc == 0) *ref = nullptr;
    return rc;
}

}  // namespace quor
