// Library initialisation and clean-up, and the per-process state.
#include <cstddef>

#include "frame/export.h"
#include "frame/state.h"
#include "frame/trace.h"
#include "lists/lists.h"
#include "tree/records.h"
#include "tree/segments.h"

namespace quor {

LibraryState &lib() {
    static LibraryState state;
    return state;
}

void lockSpin(uint8_t *lock) {
    if (hostSpinLockExchange(lock) != 0) hostSpinLockWaitConflict(lock);
}

namespace {

uint32_t tearDown(Trace &trace) {
    LibraryState &state = lib();
    if (state.protectedSegState == QUOR_PROTSEG_VALID) state.protectedSegState = QUOR_PROTSEG_INVALID;
    if (state.protectedSegInfo.eyecatcher == QUOR_EYECATCHER) {
        ShmSegInfo_t *record = &state.protectedSegInfo;  // its handles only; the record is static
        if (uint32_t rc = tree::releaseSegInfo(&record); rc != 0) return trace.fail(30, rc);
    }

    // Detach the chain first: a failure half-way leaves an empty registry, never a
    // registry that points at released records.
    AttachInfo *node = state.attachInfoList->first;
    state.attachInfoList->first = nullptr;
    bumpRegistryGeneration();
    while (node != nullptr) {
        AttachInfo *next = node->next;
        if (node->segInfo != nullptr && node->segInfo->eyecatcher == QUOR_EYECATCHER) {
            uint32_t rc = tree::releaseSegInfo(&node->segInfo);
            if (rc == 0) rc = freePrivate(&node, src::tree);
            if (rc != 0) return trace.fail(40, rc);
        }
        node = next;
    }

    // The private lists live as long as the library does: a later first
    // initialisation starts them empty, so their nodes would otherwise be lost.
    if (uint32_t rc = lists::deletePrivateLists(); rc != 0) return trace.fail(50, rc);

    if (uint32_t rc = freePrivate(&state.attachInfoList, src::tree); rc != 0) {
        return trace.fail(70, rc);
    }
    state.initCount = 0;
    state.libraryMagic = QUOR_LIB_NOT_INITIALIZED;
    return QUOR_RC_OK;
}

uint32_t initialize(Trace &trace, uint32_t libraryKey, uint32_t latchKey) {
    LibraryState &state = lib();
    lockSpin(&state.initLock);
    uint32_t rc = QUOR_RC_OK;
    bool registryTaken = false;
    if (state.initCount == 0) {
        state.protectedSegState = QUOR_PROTSEG_INVALID;
        if (latchKey != QUOR_EYECATCHER) {
            rc = trace.failWith(10, QUOR_RC_LATCH_NOT_INITIALIZED, latchKey);
        } else {
            state.registryLock = 0;
            lockSpin(&state.registryLock);
            registryTaken = true;
            AttachListHead *head = nullptr;
            if (libraryKey != QUOR_EYECATCHER) {
                rc = trace.failWith(20, QUOR_RC_BAD_EYECATCHER, libraryKey);
            } else if (allocPrivate(&head, src::tree) != 0) {
                rc = trace.fail(30, QUOR_RC_NO_MEMORY);
            } else {
                state.attachInfoList = head;
                state.attachInfoList->first = nullptr;
                state.libraryMagic = QUOR_LIB_INITIALIZED;
                state.initCount = 1;
                state.libraryKey = libraryKey;
                state.latchKey = latchKey;
                state.segInfoPMList = nullptr;
                state.rmxPMList = nullptr;
            }
        }
    } else {
        lockSpin(&state.registryLock);
        registryTaken = true;
        if (state.libraryMagic == QUOR_LIB_INITIALIZED) {
            ++state.initCount;
        } else {
            rc = trace.failWith(40, QUOR_RC_LIBRARY_NOT_INITIALIZED, state.libraryMagic);
        }
    }
    if (registryTaken) unlockSpin(&state.registryLock);
    unlockSpin(&state.initLock);
    return rc;
}

uint32_t cleanup(Trace &trace, uint32_t mode) {
    LibraryState &state = lib();
    lockSpin(&state.initLock);
    if (state.libraryMagic != QUOR_LIB_INITIALIZED) {
        unlockSpin(&state.initLock);
        return trace.failWith(10, QUOR_RC_LIBRARY_NOT_INITIALIZED, state.libraryMagic);
    }
    lockSpin(&state.registryLock);
    uint32_t rc = QUOR_RC_OK;
    if (mode == QUOR_CLEANUP_RELEASE && state.initCount > 1) {
        --state.initCount;
    } else if (mode == QUOR_CLEANUP_RELEASE || mode == QUOR_CLEANUP_FORCE) {
        rc = tearDown(trace);
    } else {
        rc = trace.failWith(20, QUOR_RC_BAD_CLEANUP_MODE, mode);
    }
    unlockSpin(&state.registryLock);
    unlockSpin(&state.initLock);
    return rc;
}

}  // namespace
}  // namespace quor

using namespace quor;

// The header declares the marker; this is its one definition.
extern "C" {
__attribute__((visibility("default"))) uint64_t quorThisIsAStatusTreeLibrary = 0;
}

QUOR_EXPORT uint32_t QUOROneTimeOnlyInitialization(uint32_t libraryKey, uint32_t latchKey) {
    return traced(Fn::QUOROneTimeOnlyInitialization,
                  [&](Trace &t) { return initialize(t, libraryKey, latchKey); });
}

QUOR_EXPORT uint32_t QUORCleanup(uint32_t mode) {
    return traced(Fn::QUORCleanup, [&](Trace &t) { return cleanup(t, mode); });
}
