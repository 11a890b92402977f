// Status segments in one process: the attach registry, the segment records it
// owns, and the view of a segment's domain header that attach, the top-node
// record and the locators read through.
//
// Rules:
//   1. registryLock guards the registry, attachCount and the protected record.
//      Functions named *Locked require it held; the others take it themselves.
//   2. The registry is ordered by descending segment name and holds each name at
//      most once: a second attach of a name raises the count of its node.
//   3. A record of the registry owns its two handle blocks; releasing a record
//      releases them first (as the library clean-up does).
//   4. Nothing read from a segment is trusted: the header view bounds the tail
//      and the heap by the header's own sizes before anything behind it is read.
#pragma once

#include <cstdint>

#include "frame/region.h"
#include "frame/state.h"
#include "frame/trace.h"
#include "quor/quor.h"

namespace quor::tree {

// Holds registryLock for a scope.
class RegistryLock {
public:
    RegistryLock() { lockSpin(&lib().registryLock); }
    ~RegistryLock() { unlockSpin(&lib().registryLock); }
    RegistryLock(const RegistryLock &) = delete;
    RegistryLock &operator=(const RegistryLock &) = delete;
};

// ---- the registry (registryLock held, library initialised) ----
AttachInfo *findRegisteredLocked(const IpcResId &name);
// Links `node` at its descending-name place; false when its name is registered.
bool linkRegisteredLocked(AttachInfo *node);
// Unlinks the node of `name`; null when there is none.
AttachInfo *unlinkRegisteredLocked(const IpcResId &name);
// The record whose segment maps `p` (length bytes) inside its heap: a registered
// one or the live protected one; null when none does.
ShmSegInfo_t *recordMappingLocked(const void *p, uint64_t length);

// Releases a record's pool and domain handle blocks and then the record (the
// static protected record is never released, only its handles). *record
// becomes null; the first failing release ends it with its code.
uint32_t releaseSegInfo(ShmSegInfo_t **record);

// True when `name` is a segment name the host accepts (1..200 characters,
// terminated inside the identifier).
bool validSegmentName(const IpcResId *name);

// ---- a segment's domain header as mapped in this process ----
struct DomainView {
    Region seg;  // [base, H + heapSize)
    uint64_t offset = 0;
    HHeader_t *header = nullptr;
    HHeaderTail_t *tail = nullptr;

    // True when [offset, offset + length) lies in the heap region behind H.
    bool inHeap(uint64_t at, uint64_t length) const { return at >= offset && seg.contains(at, length); }
    // The node at `at` when its control block and the size it records lie
    // wholly in the heap, so that no area it describes can reach beyond the
    // segment; null otherwise.
    SNodeCB_t *nodeAt(uint64_t at) const {
        if (!inHeap(at, sizeof(SNodeCB_t))) return nullptr;
        auto *node = seg.at<SNodeCB_t>(at);
        if (node == nullptr) return nullptr;
        const uint64_t size = __atomic_load_n(&node->nodeSize, __ATOMIC_RELAXED);
        return size <= sizeof(SNodeCB_t) || inHeap(at, size) ? node : nullptr;
    }
};
// The domain header a handle names, with no test of what it holds: handle,
// base and offset alignment only.
uint32_t locateDomainHeader(const ShmDomainHandle_t *handle, HHeader_t **header);
// Checks the handle's base and offset, the header's magic, recorded offset and
// sizes; returns 0 or the failing test's code.
uint32_t viewDomain(const ShmDomainHandle_t *handle, DomainView *view);

// The tree's record in the domain header, read under the domain's heap latch.
uint32_t readTreeRecord(ShmDomainHandle_t *handle, TopNodeInfo *record);

// ---- operations other operations run (each writes its own trace records) ----
uint32_t attachStatusSegment(ShmSegInfo_t **segInfoOut, const IpcResId *name, void *address,
                             uint64_t poolOffset, uint64_t poolSize, const ShmDomainOptions_t *options,
                             const ShmPoolOptions_t *poolOptions);
uint32_t detachStatusSegment(ShmSegInfo_t **segInfo, uint32_t mode);
uint32_t topNodeFromSegInfo(ShmSegInfo_t *segInfo, SNodeCB_t **node);
uint32_t createStatusSegment(ShmSegInfo_t **segInfoOut, uint64_t size, const IpcResId *name, void *address,
                             uint64_t poolSize, const ShmDomainOptions_t *options,
                             const ShmPoolOptions_t *poolOptions);
uint32_t deleteStatusSegment(ShmSegInfo_t **segInfo, uint32_t poolFreeMode, uint32_t deleteMode,
                             uint32_t refMode);
uint32_t putTopNodeInfo(ShmDomainHandle_t *handle, uint64_t tag, uint64_t topOffset, uint64_t poolOffset);

}  // namespace quor::tree
