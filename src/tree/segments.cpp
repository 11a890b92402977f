// Status segments: create, attach, connect to a tree, detach, delete, mark,
// reference counts and the tree's record in the domain header.
//
// A segment is attached once per process: the registry (or, for caller memory,
// the protected record) holds its record and a count of attaches, and only the
// last detach disconnects the pool and the domain. registryLock is held across
// every attach, create, detach and delete, the domain and pool calls included.
#include "tree/segments.h"

#include <cstring>

#include "frame/export.h"
#include "shm/holders.h"
#include "shm/storage.h"
#include "tree/access.h"
#include "tree/records.h"
#include "tree/sizing.h"

namespace quor::tree {

namespace {

// The storage code may copy up to 24 bytes of a caller's file name into a pad.
inline constexpr char kBlockSource[24] = "quor";

// Room the creation keeps for the pool's chunk pads and record beyond the pool's
// own headers.
inline constexpr uint64_t kPoolReserve = 216;

// The keys and mode a caller's domain options give a segment record.
struct SegmentKeys {
    uint64_t handleEyecatcher;
    uint64_t eyecatcher0;
    uint64_t latchEyecatcher;
    uint32_t mode;
};

SegmentKeys keysOf(const ShmDomainOptions_t *options, uint32_t defaultMode) {
    auto orDefault = [](uint64_t v) { return v != 0 ? v : uint64_t{QUOR_EYECATCHER}; };
    if (options == nullptr) return {QUOR_EYECATCHER, QUOR_EYECATCHER, QUOR_EYECATCHER, defaultMode};
    return {orDefault(options->handleEyecatcher), orDefault(options->eyecatcher0),
            orDefault(options->latchEyecatcher), options->mode != 0 ? options->mode : defaultMode};
}

void fillRecord(ShmSegInfo_t *record, const SegmentKeys &keys, const IpcResId *name) {
    std::memset(record, 0, sizeof *record);
    record->eyecatcher = static_cast<uint32_t>(keys.handleEyecatcher);
    record->key1 = static_cast<uint32_t>(keys.eyecatcher0);
    record->key2 = static_cast<uint32_t>(keys.latchEyecatcher);
    record->kind = keys.mode;
    if (name != nullptr) std::memcpy(&record->segName, name, sizeof record->segName);
    record->attached = 1;
}

bool namedMode(uint32_t mode) { return mode == QUOR_SHM_MODE_CREATE || mode == QUOR_SHM_MODE_ATTACH; }

// A segment record of this process together with what counts its attaches.
struct Attachment {
    ShmSegInfo_t *record = nullptr;
    AttachInfo *node = nullptr;  // null for the protected segment
    uint32_t *count = nullptr;
};

// A new record and its registry node, released again unless registered.
struct NewRecord {
    Attachment at;

    // Allocates a node and a record (modes 1, 2) or takes the protected record.
    uint32_t allocate(uint32_t mode) {
        LibraryState &state = lib();
        if (mode == QUOR_SHM_MODE_USER_MEMORY) {
            at = {&state.protectedSegInfo, nullptr, &state.attachCount};
            return QUOR_RC_OK;
        }
        AttachInfo *node = nullptr;
        ShmSegInfo_t *record = nullptr;
        if (allocPrivate(&node, src::tree) != 0) return QUOR_RC_ATTACH_ALLOC_FAILED;
        if (allocPrivate(&record, src::tree) != 0) {
            (void)freePrivate(&node, src::tree);
            return QUOR_RC_ATTACH_ALLOC_FAILED;
        }
        at = {record, node, nullptr};
        at.node->segInfo = at.record;
        at.count = &at.node->refCount;
        return QUOR_RC_OK;
    }

    // Counts the first attach and makes the record findable.
    uint32_t registerLocked() {
        LibraryState &state = lib();
        if (at.node == nullptr) {
            state.attachCount = 1;
            state.protectedSegState = QUOR_PROTSEG_VALID;
            return QUOR_RC_OK;
        }
        at.node->refCount = 1;
        return linkRegisteredLocked(at.node) ? QUOR_RC_OK : QUOR_RC_ATTACH_LIST_FAILED;
    }

    // Releases what allocate() produced, with any handle blocks still held.
    uint32_t release() {
        if (at.record == nullptr) return QUOR_RC_OK;
        uint32_t rc = releaseSegInfo(&at.record);
        if (at.node != nullptr) rc = merged(rc, freePrivate(&at.node, src::tree));
        at = {};
        return rc;
    }
};

// The attachment of a record the caller holds: the protected one (kind 3) or
// the registry node of its name. Failures are recorded at probe, probe + 10 and
// probe + 20.
uint32_t findAttachmentLocked(const Trace &t, uint32_t probe, ShmSegInfo_t *record, Attachment *at) {
    LibraryState &state = lib();
    if (record->kind == QUOR_SHM_MODE_USER_MEMORY) {
        if (state.protectedSegState != QUOR_PROTSEG_VALID) return t.fail(probe, QUOR_RC_SEGMENT_NOT_ATTACHED);
        *at = {&state.protectedSegInfo, nullptr, &state.attachCount};
        return QUOR_RC_OK;
    }
    if (!namedMode(record->kind)) return t.failWith(probe + 10, QUOR_RC_BAD_SHM_MODE, record->kind);
    AttachInfo *node = findRegisteredLocked(record->segName);
    if (node == nullptr) return t.fail(probe + 20, QUOR_RC_SEGMENT_NOT_REGISTERED);
    *at = {node->segInfo, node, &node->refCount};
    return QUOR_RC_OK;
}

// Forgets an attachment whose pool and domain are closed: the registry node and
// record are released, the protected record is marked free.
uint32_t unregisterLocked(const Attachment &at) {
    if (at.node == nullptr) {
        LibraryState &state = lib();
        state.attachCount = 0;
        state.protectedSegState = QUOR_PROTSEG_INVALID;
        ShmSegInfo_t *record = at.record;
        return releaseSegInfo(&record);
    }
    AttachInfo *node = unlinkRegisteredLocked(at.record->segName);
    uint32_t rc = releaseSegInfo(&node->segInfo);
    return merged(rc, freePrivate(&node, src::tree));
}

// The code of a failed closing step of a domain (disconnect or free) whose
// record is about to be released: the handle goes all the same, with the segment
// object it owns, since nothing else would reach that mapping again.
uint32_t letGoOfDomain(ShmDomainHandle_t **handle, uint32_t closeRc) {
    if (closeRc != 0 && *handle != nullptr) (void)storage::dropDomainHandle(handle);
    return closeRc;
}

// Closes pool and domain connections of a record (each tried whatever the
// other gave) and forgets the attachment; the first failure is the result.
uint32_t disconnectAndForgetLocked(const Attachment &at) {
    uint32_t rc = QUOR_RC_OK;
    ShmDomainHandle_t **domain = &at.record->domainHandle;
    if (at.record->poolHandle != nullptr) rc = storage::disconnectPool(&at.record->poolHandle);
    if (*domain != nullptr) rc = merged(rc, letGoOfDomain(domain, storage::disconnectDomain(domain)));
    return merged(rc, unregisterLocked(at));
}

// The tree pool of a newly attached segment: given by offset, recorded in the
// domain header, or created when the caller gave a size. *created tells the
// clean-up whether the pool is this attach's own.
uint32_t connectTreePool(const Trace &t, ShmSegInfo_t *record, uint64_t poolOffset, uint64_t poolSize,
                         const ShmPoolOptions_t *poolOptions, bool *created) {
    *created = false;
    if (poolOffset % 8 != 0) return t.failWith(90, QUOR_RC_POOL_OFFSET_NOT_ALIGNED, poolOffset);
    if (poolOffset == 0) {
        TopNodeInfo tree{};
        if (uint32_t rc = readTreeRecord(record->domainHandle, &tree); rc != 0) return t.fail(100, rc);
        poolOffset = tree.treePoolOffset;
    }
    if (poolOffset != 0) {
        uint32_t rc =
            storage::connectPool(&record->poolHandle, record->domainHandle, poolOffset, poolOptions);
        return rc == 0 ? rc : t.fail(110, rc);
    }
    if (poolSize == 0) return t.fail(120, QUOR_RC_NO_TREE_IN_SEGMENT);
    if (poolSize < QUOR_MIN_TREE_POOL_SIZE) return t.failWith(130, QUOR_RC_POOL_SIZE_TOO_SMALL, poolSize);
    uint32_t rc = storage::createPool(&record->poolHandle, record->domainHandle, poolSize, poolOptions, t.id(),
                                     __LINE__, kBlockSource);
    if (rc != 0) return t.fail(140, rc);
    *created = true;
    return QUOR_RC_OK;
}

// Connects a fresh record to its domain and tree pool and registers it; on
// failure everything made here is undone and released.
uint32_t connectFresh(const Trace &t, NewRecord &fresh, const IpcResId *name, void *address,
                      uint64_t poolOffset, uint64_t poolSize, const ShmDomainOptions_t *options,
                      const ShmPoolOptions_t *poolOptions) {
    ShmSegInfo_t *record = fresh.at.record;
    uint32_t rc = storage::connectDomain(name, address, options, &record->domainHandle);
    if (rc != 0) {
        // A refused connection (also a domain marked for deletion) leaves nothing
        // behind: the fresh record and node go with it.
        (void)fresh.release();
        return t.fail(80, rc);
    }
    bool created = false;
    rc = connectTreePool(t, record, poolOffset, poolSize, poolOptions, &created);
    if (rc == 0) {
        rc = fresh.registerLocked();
        if (rc != 0) {
            rc = t.fail(150, rc);
            // Only a pool this attach made is freed; a pool found in the segment
            // is the tree of every other attached process.
            uint32_t undo = created ? storage::freePool(&record->poolHandle, QUOR_POOL_FREE_FORCE, t.id(),
                                                        __LINE__, kBlockSource)
                                    : storage::disconnectPool(&record->poolHandle);
            (void)undo;
        }
    }
    if (rc != 0) {
        (void)letGoOfDomain(&record->domainHandle, storage::disconnectDomain(&record->domainHandle));
        (void)fresh.release();
    }
    return rc;
}

// A second attach of a registered segment: refused when its domain is marked
// for deletion, and then the count and the caller's output are as before. The
// mark is read before the header's other checks: a domain that another process
// freed has lost its magic but still carries the mark.
uint32_t rereference(const Trace &t, ShmSegInfo_t **out, ShmSegInfo_t *previous, const Attachment &at) {
    *out = at.record;
    ++*at.count;
    HHeader_t *header = nullptr;
    uint32_t rc = locateDomainHeader(at.record->domainHandle, &header);
    if (rc == 0 && (header->flags & QUOR_HEAP_MARKED_FOR_DELETION) != 0)
        rc = QUOR_RC_DOMAIN_MARKED_FOR_DELETION;
    if (rc == 0) {
        DomainView view;
        rc = viewDomain(at.record->domainHandle, &view);
    }
    if (rc == 0) return rc;
    *out = previous;
    if (*at.count > 1) --*at.count;
    return t.fail(160, rc);
}

uint32_t attachBody(const Trace &t, ShmSegInfo_t **out, const IpcResId *name, void *address,
                    uint64_t poolOffset, uint64_t poolSize, const ShmDomainOptions_t *options,
                    const ShmPoolOptions_t *poolOptions) {
    if (out == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    const SegmentKeys keys = keysOf(options, QUOR_SHM_MODE_ATTACH);

    // Everything about the name and the pool offset is tested under the lock and
    // behind the library check; a registered name is re-referenced before the
    // tests that only a new attachment needs.
    RegistryLock lock;
    LibraryState &state = lib();
    if (!libraryInitialized()) return t.failWith(20, QUOR_RC_LIBRARY_NOT_INITIALIZED, state.libraryMagic);
    ShmSegInfo_t *previous = *out;
    if (keys.mode == QUOR_SHM_MODE_USER_MEMORY) {
        if (state.protectedSegState == QUOR_PROTSEG_VALID) {
            return rereference(t, out, previous, {&state.protectedSegInfo, nullptr, &state.attachCount});
        }
    } else if (namedMode(keys.mode)) {
        if (name == nullptr) return t.failWith(30, QUOR_RC_NOT_ATTACHED, 0);
        if (!validSegmentName(name)) return t.fail(40, QUOR_RC_HOST_BAD_SEGMENT_NAME);
        if (AttachInfo *node = findRegisteredLocked(*name); node != nullptr) {
            return rereference(t, out, previous, {node->segInfo, node, &node->refCount});
        }
        if (keys.handleEyecatcher != QUOR_EYECATCHER) {
            return t.failWith(50, QUOR_RC_BAD_EYECATCHER, keys.handleEyecatcher);
        }
    } else {
        return t.failWith(60, QUOR_RC_BAD_SHM_MODE, keys.mode);
    }

    NewRecord fresh;
    if (uint32_t rc = fresh.allocate(keys.mode); rc != 0) return t.fail(70, rc);
    fillRecord(fresh.at.record, keys, name);
    *out = fresh.at.record;
    uint32_t rc = connectFresh(t, fresh, name, address, poolOffset, poolSize, options, poolOptions);
    if (rc != 0) *out = previous;
    return rc;
}

// ---- creation ----

struct CreatePlan {
    SegmentKeys keys{};
    uint64_t userAppAreaSize = 0;
    uint64_t poolUserAppAreaSize = 0;
};

// The domain options' tests, before anything is locked or made.
uint32_t checkCreateOptions(const Trace &t, uint64_t size, const ShmDomainOptions_t *options,
                            CreatePlan *plan) {
    if (size == 0) return t.fail(20, QUOR_RC_ZERO_SEGMENT_SIZE);
    plan->keys = keysOf(options, QUOR_SHM_MODE_CREATE);
    if (options != nullptr) {
        if (options->heapOffset % 8 != 0)
            return t.failWith(30, QUOR_RC_HEAP_OFFSET_NOT_ALIGNED, options->heapOffset);
        if (options->userAppAreaSize > size)
            return t.failWith(40, QUOR_RC_BAD_USER_APP_AREA_SIZE, options->userAppAreaSize);
        plan->userAppAreaSize = round8(options->userAppAreaSize);
    }
    if (plan->keys.handleEyecatcher != QUOR_EYECATCHER) {
        return t.failWith(50, QUOR_RC_BAD_EYECATCHER, plan->keys.handleEyecatcher);
    }
    if (plan->keys.latchEyecatcher != QUOR_EYECATCHER) {
        return t.failWith(60, QUOR_RC_LATCH_NOT_INITIALIZED, plan->keys.latchEyecatcher);
    }
    if (plan->keys.eyecatcher0 != QUOR_EYECATCHER) {
        return t.failWith(70, QUOR_RC_BAD_STORAGE_EYECATCHER, plan->keys.eyecatcher0);
    }
    return QUOR_RC_OK;
}

// The size to create the tree pool with: what is left of the segment behind the
// domain's headers, less the pool's own headers and the reserve.
// The pool options are sized once the domain exists: their user area must fit
// the segment.
uint32_t treePoolSize(const Trace &t, uint64_t size, uint64_t poolSize, const ShmDomainOptions_t *options,
                      const ShmPoolOptions_t *poolOptions, CreatePlan &plan, uint64_t taken, uint64_t *result) {
    if (poolOptions != nullptr) {
        if (poolOptions->userAppAreaSize > size) {
            return t.failWith(150, QUOR_RC_BAD_USER_APP_AREA_SIZE, poolOptions->userAppAreaSize);
        }
        plan.poolUserAppAreaSize = round8(poolOptions->userAppAreaSize);
    }
    uint64_t capacity = options != nullptr ? options->nodeCapacity : 0;
    uint64_t level =
        options != nullptr && options->maxLevel != 0 ? options->maxLevel : QUOR_DOMAIN_DEFAULT_MAX_LEVEL;
    uint64_t da = 0, slHeader = 0, db = 0;
    uint32_t rc = storage::heapHeaderInfo(size, QUOR_HEAP_KIND_DOMAIN, &capacity, &level, plan.userAppAreaSize,
                                     &da, &slHeader, &db);
    if (rc != 0) return t.fail(160, rc);
    if (size < da || size - da < db || size - da - db < taken)
        return t.failWith(170, QUOR_RC_SEGMENT_TOO_SMALL, size);
    const uint64_t free = size - da - db - taken;

    uint64_t poolCapacity = poolOptions != nullptr ? poolOptions->nodeCapacity : 0;
    uint64_t poolLevel = poolOptions != nullptr && poolOptions->maxLevel != 0 ? poolOptions->maxLevel
                                                                              : QUOR_POOL_DEFAULT_MAX_LEVEL;
    uint64_t pa = 0, pb = 0;
    rc = storage::heapHeaderInfo(free, QUOR_HEAP_KIND_POOL, &poolCapacity, &poolLevel, plan.poolUserAppAreaSize,
                            &pa, &slHeader, &pb);
    if (rc != 0) return t.fail(180, rc);
    const uint64_t overhead = pa + pb + kPoolReserve;
    if (free < overhead) return t.failWith(190, QUOR_RC_SEGMENT_TOO_SMALL, size);
    const uint64_t room = free - overhead;
    if (poolSize == 0) {
        *result = room;
    } else if (poolSize <= room) {
        *result = poolSize + overhead;
    } else if (poolSize <= free) {
        // A request between the room and the whole rest is cut to what fits; one
        // smaller than the overhead itself cannot be.
        if (poolSize < overhead) return t.failWith(200, QUOR_RC_SEGMENT_TOO_SMALL, poolSize);
        *result = poolSize - overhead;
    } else {
        return t.failWith(210, QUOR_RC_POOL_TOO_LARGE, poolSize);
    }
    if (*result < QUOR_MIN_TREE_POOL_SIZE) return t.failWith(220, QUOR_RC_SEGMENT_TOO_SMALL, size);
    return QUOR_RC_OK;
}

uint32_t createBody(const Trace &t, ShmSegInfo_t **out, uint64_t size, const IpcResId *name, void *address,
                    uint64_t poolSize, const ShmDomainOptions_t *options,
                    const ShmPoolOptions_t *poolOptions) {
    if (out == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    CreatePlan plan;
    if (uint32_t rc = checkCreateOptions(t, size, options, &plan); rc != 0) return rc;

    RegistryLock lock;
    LibraryState &state = lib();
    if (!libraryInitialized()) return t.failWith(80, QUOR_RC_LIBRARY_NOT_INITIALIZED, state.libraryMagic);
    if (plan.keys.mode == QUOR_SHM_MODE_USER_MEMORY) {
        // Refilling a live protected record would orphan its domain and pool.
        if (state.protectedSegState == QUOR_PROTSEG_VALID) return t.fail(90, QUOR_RC_SEGMENT_EXISTS);
    } else if (plan.keys.mode == QUOR_SHM_MODE_CREATE) {
        if (name == nullptr) return t.failWith(100, QUOR_RC_NOT_ATTACHED, 0);
        if (!validSegmentName(name)) return t.fail(110, QUOR_RC_HOST_BAD_SEGMENT_NAME);
    } else {
        return t.failWith(120, QUOR_RC_BAD_SHM_MODE, plan.keys.mode);
    }

    NewRecord fresh;
    if (uint32_t rc = fresh.allocate(plan.keys.mode); rc != 0) return t.fail(130, rc);
    ShmSegInfo_t *record = fresh.at.record;
    fillRecord(record, plan.keys, name);

    uint32_t rc = storage::createDomain(name, address, size, options, &record->domainHandle);
    if (rc != 0) {
        (void)fresh.release();
        return t.fail(140, rc);
    }
    // The holder area comes first, so that the creator's connection is recorded
    // from the start; the pool gets what it leaves.
    uint64_t treePool = 0, taken = 0;
    rc = shm::makeHolderArea(record->domainHandle->base, record->domainHandle->heapOffset, t.id(), __LINE__,
                             kBlockSource);
    if (rc == 0) {
        HHeader_t *header = nullptr;
        if (locateDomainHeader(record->domainHandle, &header) == 0) taken = header->allocBytes;
        rc = treePoolSize(t, size, poolSize, options, poolOptions, plan, taken, &treePool);
    } else {
        rc = t.fail(145, rc);
    }
    if (rc == 0) {
        rc = storage::createPool(&record->poolHandle, record->domainHandle, treePool, poolOptions, t.id(),
                                __LINE__, kBlockSource);
        if (rc != 0) {
            rc = t.fail(230, rc);
        } else if (rc = fresh.registerLocked(); rc != 0) {
            rc = t.fail(240, rc);
            (void)storage::freePool(&record->poolHandle, QUOR_POOL_FREE_FORCE, t.id(), __LINE__, kBlockSource);
        }
    }
    if (rc != 0) {
        (void)letGoOfDomain(&record->domainHandle,
                            storage::freeDomain(&record->domainHandle, QUOR_SHM_FREE_FORCE));
        (void)fresh.release();
        return rc;
    }
    *out = record;
    return QUOR_RC_OK;
}

// ---- the tree's record in the domain header ----
//
// The helpers below record their failures at consecutive probes from the one
// they are given, so that each operation that runs them keeps one probe per
// failure point.

// Checks the handle as the top-node operations do (null and unmapped handles
// also go to the diagnostic log). Probes: probe .. probe + 20.
uint32_t checkTreeHandle(const Trace &t, uint32_t probe, ShmDomainHandle_t *handle, DomainView *view) {
    if (handle == nullptr) return t.failLogged(probe, QUOR_RC_NULL_DOMAIN_HANDLE, 0);
    if (handle->base == nullptr)
        return t.failLogged(probe + 10, QUOR_RC_NOT_MAPPED, reinterpret_cast<uintptr_t>(handle));
    if (uint32_t rc = viewDomain(handle, view); rc != 0) return t.fail(probe + 20, rc);
    return QUOR_RC_OK;
}

// The range tests of a tree record: the tag, and both offsets inside the heap.
// Probes: probe .. probe + 20.
uint32_t checkTreeRecord(const Trace &t, uint32_t probe, const DomainView &view, const TopNodeInfo &record) {
    if (record.topNodeTag > QUOR_MAX_TAG) return t.failWith(probe, QUOR_RC_SIZE_TOO_LARGE, record.topNodeTag);
    if (!view.inHeap(record.topNodeOffset, 1)) {
        return t.failWith(probe + 10, QUOR_RC_TOP_NODE_OFFSET_OUT_OF_RANGE, record.topNodeOffset);
    }
    if (!view.inHeap(record.treePoolOffset, 1)) {
        return t.failWith(probe + 20, QUOR_RC_POOL_OFFSET_OUT_OF_RANGE, record.treePoolOffset);
    }
    return QUOR_RC_OK;
}

uint32_t putTreeRecord(const Trace &t, ShmDomainHandle_t *handle, const TopNodeInfo &record) {
    DomainView view;
    if (uint32_t rc = checkTreeHandle(t, 10, handle, &view); rc != 0) return rc;
    if (uint32_t rc = checkTreeRecord(t, 40, view, record); rc != 0) return rc;
    if (uint32_t rc = storage::latchDomain(handle); rc != 0) return t.fail(70, rc);
    view.header->treePoolOffset = record.treePoolOffset;
    view.tail->topNodeOffset = record.topNodeOffset;
    view.tail->topNodeTag = record.topNodeTag;
    if (uint32_t rc = storage::unlatchDomain(handle); rc != 0) return t.fail(80, rc);
    return QUOR_RC_OK;
}

// The tree record of a checked handle with the tests every reader applies: a
// tree and a top node must be recorded and lie in the heap. `record` holds what
// was read even when a test fails. Probes: probe .. probe + 50.
uint32_t readTreeRecordChecked(const Trace &t, uint32_t probe, ShmDomainHandle_t *handle,
                               const DomainView &view, TopNodeInfo *record) {
    if (uint32_t rc = readTreeRecord(handle, record); rc != 0) return t.fail(probe, rc);
    if (record->treePoolOffset == 0) return t.fail(probe + 10, QUOR_RC_NO_TREE_IN_SEGMENT);
    if (record->topNodeOffset == 0) return t.fail(probe + 20, QUOR_RC_NO_TOP_NODE);
    return checkTreeRecord(t, probe + 30, view, *record);
}

// The top node of a record's segment: the whole control block must lie in the
// heap. Probes: probe .. probe + 110.
uint32_t topNodeOf(const Trace &t, uint32_t probe, ShmSegInfo_t *segInfo, TopNodeInfo *record,
                   SNodeCB_t **node) {
    DomainView view;
    if (uint32_t rc = checkTreeHandle(t, probe, segInfo->domainHandle, &view); rc != 0) return rc;
    if (uint32_t rc = readTreeRecordChecked(t, probe + 30, segInfo->domainHandle, view, record); rc != 0)
        return rc;
    if (segInfo->eyecatcher != QUOR_EYECATCHER)
        return t.failWith(probe + 90, QUOR_RC_BAD_EYECATCHER, segInfo->eyecatcher);
    if (!view.inHeap(record->topNodeOffset, sizeof(SNodeCB_t))) {
        return t.failWith(probe + 100, QUOR_RC_TOP_NODE_OFFSET_OUT_OF_RANGE, record->topNodeOffset);
    }
    *node = view.nodeAt(record->topNodeOffset);
    if (*node == nullptr)
        return t.failWith(probe + 110, QUOR_RC_TOP_NODE_OFFSET_OUT_OF_RANGE, record->topNodeOffset);
    return QUOR_RC_OK;
}

// Attaches and verifies the top node: readable under its read section in an
// accepted condition, with the recorded tag. Detaches again on failure.
uint32_t attachToTopNodeBody(const Trace &t, ShmSegInfo_t **segInfo, SNodeCB_t **topNode, TopNodeInfo *info,
                             const IpcResId *name, void *address, const ShmDomainOptions_t *options,
                             const ShmPoolOptions_t *poolOptions) {
    if (segInfo == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (topNode == nullptr) return t.failWith(20, QUOR_RC_NULL_PARAMETER, 0);
    if (info == nullptr) return t.failWith(30, QUOR_RC_NULL_PARAMETER, 0);
    ShmSegInfo_t *previous = *segInfo;
    if (uint32_t rc = attachStatusSegment(segInfo, name, address, 0, 0, options, poolOptions); rc != 0) {
        return t.fail(40, rc);
    }
    SNodeCB_t *node = nullptr;
    uint32_t rc = topNodeOf(t, 50, *segInfo, info, &node);
    if (rc == 0) {
        CriticalSection section(node, Access::Read);
        rc = section.entered();
        if (rc == 0) rc = checkNodeCondition(node, QUOR_COND_MASK_ACCESSORS);
        if (rc == 0 && info->topNodeTag != node->tag) rc = QUOR_RC_TOP_NODE_TAG_MISMATCH;
        rc = section.close(rc);
        if (rc != 0) rc = t.fail(170, rc);
    }
    if (rc != 0) {
        ShmSegInfo_t *attached = *segInfo;
        (void)detachStatusSegment(&attached, QUOR_DETACH_RELEASE);
        *segInfo = previous;
        return rc;
    }
    *topNode = node;
    return QUOR_RC_OK;
}

// quorAttachToTopNode, with its own trace records whoever runs it.
uint32_t attachToTopNode(ShmSegInfo_t **segInfo, SNodeCB_t **topNode, TopNodeInfo *info, const IpcResId *name,
                         void *address, const ShmDomainOptions_t *options,
                         const ShmPoolOptions_t *poolOptions) {
    return traced(Fn::quorAttachToTopNode, [&](Trace &t) {
        return attachToTopNodeBody(t, segInfo, topNode, info, name, address, options, poolOptions);
    });
}

// The codes a tree connection hands on as they are; all others become
// QUOR_RC_CONNECT_FAILED.
bool passesThroughConnect(uint32_t rc) {
    switch (rc) {
        case QUOR_RC_OK:
        case 0x900000a0:
        case 0x900000a2:
        case 0x900000a3:
        case 0x900000d3:
        case 0x900000de:
        case 0x900000e0:
        case 0x900000e2:
        case 0x900000f7:
        case 0x9000014d:
        case 0x90000155:
        case 0x90000156:
        case 0x9000015c:
        case 0x90000166:
        case 0x90000178:
        case 0x9000017e:
        case 0x9000019d:
        case 0x900001ac:
        case 0x900001ad:
            return true;
        default:
            return false;
    }
}

}  // namespace

// ---- the header view and the tree record, shared with the locators ----

uint32_t locateDomainHeader(const ShmDomainHandle_t *handle, HHeader_t **header) {
    if (handle == nullptr) return QUOR_RC_NULL_DOMAIN_HANDLE;
    if (handle->base == nullptr) return QUOR_RC_NOT_MAPPED;
    const uint64_t h = handle->heapOffset;
    if (h % 8 != 0) return QUOR_RC_HANDLE_OFFSET_NOT_ALIGNED;
    if (h > UINT64_MAX - sizeof(HHeader_t)) return QUOR_RC_DOMAIN_OFFSET_MISMATCH;
    *header = Region(handle->base, h + sizeof(HHeader_t)).at<HHeader_t>(h);
    return *header != nullptr ? QUOR_RC_OK : QUOR_RC_DOMAIN_OFFSET_MISMATCH;
}

uint32_t viewDomain(const ShmDomainHandle_t *handle, DomainView *view) {
    HHeader_t *header = nullptr;
    if (uint32_t rc = locateDomainHeader(handle, &header); rc != 0) return rc;
    const uint64_t h = handle->heapOffset;
    if (header->heapMagic != QUOR_DOMAIN_HEAP_MAGIC) return QUOR_RC_BAD_DOMAIN_EYECATCHER;
    if (header->selfOffset != h) return QUOR_RC_DOMAIN_OFFSET_MISMATCH;
    const uint64_t heapSize = header->heapSize;
    if (heapSize > UINT64_MAX - h) return QUOR_RC_DOMAIN_USER_APP_AREA_CORRUPT;
    Region seg(handle->base, h + heapSize);
    if (header->userAppAreaSize > heapSize) return QUOR_RC_DOMAIN_USER_APP_AREA_CORRUPT;
    auto *tail = seg.at<HHeaderTail_t>(h + sizeof(HHeader_t) + round8(header->userAppAreaSize));
    if (tail == nullptr) return QUOR_RC_DOMAIN_USER_APP_AREA_CORRUPT;
    *view = {seg, h, header, tail};
    return QUOR_RC_OK;
}

uint32_t readTreeRecord(ShmDomainHandle_t *handle, TopNodeInfo *record) {
    DomainView view;
    if (uint32_t rc = viewDomain(handle, &view); rc != 0) return rc;
    if (uint32_t rc = storage::latchDomain(handle); rc != 0) return rc;
    record->treePoolOffset = view.header->treePoolOffset;
    record->topNodeOffset = view.tail->topNodeOffset;
    record->topNodeTag = view.tail->topNodeTag;
    return storage::unlatchDomain(handle);
}

uint32_t attachStatusSegment(ShmSegInfo_t **segInfoOut, const IpcResId *name, void *address,
                             uint64_t poolOffset, uint64_t poolSize, const ShmDomainOptions_t *options,
                             const ShmPoolOptions_t *poolOptions) {
    return traced(Fn::quorAttachStatusSegment, [&](Trace &t) {
        return attachBody(t, segInfoOut, name, address, poolOffset, poolSize, options, poolOptions);
    });
}

// Detach and delete share everything but how the last reference closes the
// segment. The segment is looked up before the mode is tested (an unregistered
// segment is that, whatever the mode); `badMode` is the code of a mode other
// than 1 or 2. `close` gets the attachment, records its own failures at probes
// from 60 on and returns the code of the closing; `forgetProbe` follows them.
template <class Close>
uint32_t releaseReference(const Trace &t, ShmSegInfo_t **segInfo, uint32_t mode, uint32_t badMode,
                          uint32_t forgetProbe, Close &&close) {
    if (segInfo == nullptr || *segInfo == nullptr) return t.failWith(10, QUOR_RC_NOT_ATTACHED, 0);
    RegistryLock lock;
    if (!libraryInitialized()) return t.failWith(20, QUOR_RC_LIBRARY_NOT_INITIALIZED, lib().libraryMagic);
    Attachment at;
    if (uint32_t rc = findAttachmentLocked(t, 30, *segInfo, &at); rc != 0) return rc;
    if (mode != QUOR_DETACH_RELEASE && mode != QUOR_DETACH_ALL) return t.failWith(60, badMode, mode);
    if (mode == QUOR_DETACH_RELEASE && *at.count >= 2) {
        --*at.count;
        return QUOR_RC_OK;
    }
    uint32_t rc = close(at);
    // A segment whose closing failed before anything was released stays attached.
    if (rc == QUOR_RC_OK || at.record->domainHandle == nullptr || at.record->poolHandle == nullptr) {
        if (uint32_t forgetRc = disconnectAndForgetLocked(at); forgetRc != 0)
            rc = merged(rc, t.fail(forgetProbe, forgetRc));
        *segInfo = nullptr;
    }
    return rc;
}

uint32_t detachStatusSegment(ShmSegInfo_t **segInfo, uint32_t mode) {
    return traced(Fn::quorDetachStatusSegment, [&](Trace &t) {
        return releaseReference(t, segInfo, mode, QUOR_RC_BAD_DETACH_MODE, 70,
                                [](const Attachment &) { return QUOR_RC_OK; });
    });
}

uint32_t topNodeFromSegInfo(ShmSegInfo_t *segInfo, SNodeCB_t **node) {
    return traced(Fn::quorGetTopNodeCBPtrFromShmSegInfo, [&](Trace &t) {
        if (segInfo == nullptr) return t.failWith(10, QUOR_RC_NOT_ATTACHED, 0);
        if (node == nullptr) return t.failWith(20, QUOR_RC_NULL_PARAMETER, 0);
        TopNodeInfo record{};
        return topNodeOf(t, 30, segInfo, &record, node);
    });
}

uint32_t createStatusSegment(ShmSegInfo_t **segInfoOut, uint64_t size, const IpcResId *name, void *address,
                             uint64_t poolSize, const ShmDomainOptions_t *options,
                             const ShmPoolOptions_t *poolOptions) {
    return traced(Fn::quorGetProtectedStatusSegment, [&](Trace &t) {
        return createBody(t, segInfoOut, size, name, address, poolSize, options, poolOptions);
    });
}

uint32_t deleteStatusSegment(ShmSegInfo_t **segInfo, uint32_t poolFreeMode, uint32_t deleteMode,
                             uint32_t refMode) {
    return traced(Fn::quorDeleteStatusSegment, [&](Trace &t) {
        return releaseReference(
            t, segInfo, refMode, QUOR_RC_BAD_DELETE_REF_MODE, 100, [&](const Attachment &at) {
                // The delete mode matters only to the last reference.
                if (deleteMode != QUOR_DELETE_POOL_AS_GIVEN && deleteMode != QUOR_DELETE_POOL_FORCE) {
                    return t.failWith(70, QUOR_RC_BAD_FREE_MODE, deleteMode);
                }
                const uint32_t poolMode =
                    deleteMode == QUOR_DELETE_POOL_FORCE ? QUOR_POOL_FREE_FORCE : poolFreeMode;
                // The pool goes first; a pool refused (still in use elsewhere) leaves
                // the segment as it was. The domain is forced exactly when the pool was.
                uint32_t rc =
                    storage::freePool(&at.record->poolHandle, poolMode, t.id(), __LINE__, kBlockSource);
                if (rc != 0) return t.fail(80, rc);
                const uint32_t domainMode =
                    poolMode == QUOR_POOL_FREE_FORCE ? QUOR_SHM_FREE_FORCE : QUOR_SHM_FREE_NORMAL;
                rc = storage::freeDomain(&at.record->domainHandle, domainMode);
                return rc == 0 ? rc : t.fail(90, rc);
            });
    });
}

uint32_t putTopNodeInfo(ShmDomainHandle_t *handle, uint64_t tag, uint64_t topOffset, uint64_t poolOffset) {
    return traced(Fn::quorPutTopNodeInfoIntoDomainHeader, [&](Trace &t) {
        // A top node made pending is settled before the record names it: a
        // kill in between leaves a block that leaks, never one freed in use.
        if (handle != nullptr && handle->base != nullptr && topOffset != 0) {
            const ShmPoolHandle_t pool{handle->base, handle->heapOffset, poolOffset, 0};
            if (uint32_t rc = settleNodeBlock(&pool, topOffset); rc != 0) return t.fail(5, rc);
        }
        return putTreeRecord(t, handle, {tag, topOffset, poolOffset});
    });
}

}  // namespace quor::tree

using namespace quor;
using namespace quor::tree;

QUOR_EXPORT uint32_t quorGetProtectedStatusSegment(ShmSegInfo_t **segInfoOut, uint64_t size,
                                                   const IpcResId *name, void *address, uint64_t poolSize,
                                                   const ShmDomainOptions_t *options,
                                                   const ShmPoolOptions_t *poolOptions) {
    return createStatusSegment(segInfoOut, size, name, address, poolSize, options, poolOptions);
}

QUOR_EXPORT uint32_t quorAttachStatusSegment(ShmSegInfo_t **segInfoOut, const IpcResId *name, void *address,
                                             uint64_t poolOffset, uint64_t poolSize,
                                             const ShmDomainOptions_t *options,
                                             const ShmPoolOptions_t *poolOptions) {
    return attachStatusSegment(segInfoOut, name, address, poolOffset, poolSize, options, poolOptions);
}

QUOR_EXPORT uint32_t quorAttachToTopNode(ShmSegInfo_t **segInfo, SNodeCB_t **topNode, TopNodeInfo *info,
                                         const IpcResId *name, void *address,
                                         const ShmDomainOptions_t *options,
                                         const ShmPoolOptions_t *poolOptions) {
    return attachToTopNode(segInfo, topNode, info, name, address, options, poolOptions);
}

QUOR_EXPORT uint32_t quorConnectToATree(ShmSegInfo_t **segInfo, SNodeCB_t **topNode, TopNodeInfo *info,
                                        const IpcResId *name, void *address,
                                        const ShmDomainOptions_t *options,
                                        const ShmPoolOptions_t *poolOptions) {
    return traced(Fn::quorConnectToATree, [&](Trace &t) {
        const uint32_t rc = attachToTopNode(segInfo, topNode, info, name, address, options, poolOptions);
        if (rc == 0) return rc;
        return passesThroughConnect(rc) ? t.fail(10, rc) : t.failWith(20, QUOR_RC_CONNECT_FAILED, rc);
    });
}

QUOR_EXPORT uint32_t quorDetachStatusSegment(ShmSegInfo_t **segInfo, uint32_t mode) {
    return detachStatusSegment(segInfo, mode);
}

QUOR_EXPORT uint32_t quorDetachFromTopNode(ShmSegInfo_t **segInfo, uint32_t mode) {
    return traced(Fn::quorDetachFromTopNode, [&](Trace &t) {
        uint32_t rc = detachStatusSegment(segInfo, mode);
        return rc == 0 ? rc : t.fail(10, rc);
    });
}

QUOR_EXPORT uint32_t quorDeleteStatusSegment(ShmSegInfo_t **segInfo, uint32_t poolFreeMode,
                                             uint32_t deleteMode, uint32_t refMode) {
    return deleteStatusSegment(segInfo, poolFreeMode, deleteMode, refMode);
}

QUOR_EXPORT uint32_t quorMarkStatusSegmentForDeletion(ShmSegInfo_t *segInfo) {
    return traced(Fn::quorMarkStatusSegmentForDeletion, [&](Trace &t) {
        if (segInfo == nullptr) return t.failWith(10, QUOR_RC_NOT_ATTACHED, 0);
        if (!libraryInitialized()) return t.failWith(20, QUOR_RC_LIBRARY_NOT_INITIALIZED, lib().libraryMagic);
        ShmDomainHandle_t *handle = segInfo->domainHandle;
        if (uint32_t rc = storage::latchDomain(handle); rc != 0) return t.fail(30, rc);
        Closing unlatch([handle] { return storage::unlatchDomain(handle); });
        const uint32_t rc = unlatch.close(storage::markDomainForDeletion(handle));
        return rc == 0 ? rc : t.fail(40, rc);
    });
}

QUOR_EXPORT uint32_t quorAuthorizeStatusSegment(ShmSegInfo_t *segInfo, const void *auth) {
    return traced(Fn::quorAuthorizeStatusSegment, [&](Trace &t) {
        if (segInfo == nullptr) return t.failWith(10, QUOR_RC_NOT_ATTACHED, 0);
        if (auth == nullptr) return t.failWith(20, QUOR_RC_NULL_AUTHORIZATION, 0);
        if (segInfo->eyecatcher != QUOR_EYECATCHER)
            return t.failWith(30, QUOR_RC_BAD_EYECATCHER, segInfo->eyecatcher);
        return QUOR_RC_OK;
    });
}

QUOR_EXPORT uint32_t quorUpdateShmAttachRefCount(ShmSegInfo_t *segInfo, uint32_t op) {
    return traced(Fn::quorUpdateShmAttachRefCount, [&](Trace &t) {
        if (segInfo == nullptr) return t.failWith(10, QUOR_RC_NOT_ATTACHED, 0);
        if (op != QUOR_REFCOUNT_INCREMENT && op != QUOR_REFCOUNT_DECREMENT) {
            return t.failWith(20, QUOR_RC_BAD_REFCOUNT_OP, op);
        }
        RegistryLock lock;
        if (!libraryInitialized()) return t.failWith(30, QUOR_RC_LIBRARY_NOT_INITIALIZED, lib().libraryMagic);
        Attachment at;
        if (uint32_t rc = findAttachmentLocked(t, 40, segInfo, &at); rc != 0) return rc;
        if (op == QUOR_REFCOUNT_INCREMENT) {
            ++*at.count;
        } else if (*at.count > 1) {
            --*at.count;
        }
        return QUOR_RC_OK;
    });
}

QUOR_EXPORT uint32_t quorGetShmAttachRefCount(ShmSegInfo_t *segInfo, uint32_t *countOut) {
    return traced(Fn::quorGetShmAttachRefCount, [&](Trace &t) {
        if (segInfo == nullptr) return t.failWith(10, QUOR_RC_NOT_ATTACHED, 0);
        if (countOut == nullptr) return t.failWith(20, QUOR_RC_NULL_REFCOUNT_OUTPUT, 0);
        RegistryLock lock;
        if (!libraryInitialized()) return t.failWith(30, QUOR_RC_LIBRARY_NOT_INITIALIZED, lib().libraryMagic);
        Attachment at;
        if (uint32_t rc = findAttachmentLocked(t, 40, segInfo, &at); rc != 0) return rc;
        *countOut = *at.count;
        return QUOR_RC_OK;
    });
}

QUOR_EXPORT uint32_t quorGetTopNodeCBPtrFromShmSegInfo(ShmSegInfo_t *segInfo, SNodeCB_t **node) {
    return topNodeFromSegInfo(segInfo, node);
}

QUOR_EXPORT uint32_t quorPutTopNodeInfoIntoDomainHeader(ShmDomainHandle_t *handle, uint64_t tag,
                                                        uint64_t topOffset, uint64_t poolOffset) {
    return putTopNodeInfo(handle, tag, topOffset, poolOffset);
}

QUOR_EXPORT uint32_t quorGetTopNodeInfoFromDomainHeader(ShmDomainHandle_t *handle, uint64_t *tagOut,
                                                        uint64_t *topOffsetOut, uint64_t *poolOffsetOut) {
    return traced(Fn::quorGetTopNodeInfoFromDomainHeader, [&](Trace &t) {
        // The handle's tests come first, its header's included; then the outputs.
        DomainView view;
        if (uint32_t rc = checkTreeHandle(t, 10, handle, &view); rc != 0) return rc;
        if (tagOut == nullptr) return t.failLogged(40, QUOR_RC_NULL_TOP_SIZE_OUTPUT, 0);
        if (topOffsetOut == nullptr) return t.failLogged(50, QUOR_RC_NULL_TOP_OFFSET_OUTPUT, 0);
        if (poolOffsetOut == nullptr) return t.failLogged(60, QUOR_RC_NULL_POOL_OFFSET_OUTPUT, 0);
        TopNodeInfo record{};
        uint32_t rc = readTreeRecordChecked(t, 70, handle, view, &record);
        if (rc == 0 || rc == QUOR_RC_SIZE_TOO_LARGE || rc == QUOR_RC_TOP_NODE_OFFSET_OUT_OF_RANGE ||
            rc == QUOR_RC_POOL_OFFSET_OUT_OF_RANGE) {
            *tagOut = record.topNodeTag;
            *topOffsetOut = record.topNodeOffset;
            *poolOffsetOut = record.treePoolOffset;
        }
        return rc;
    });
}

QUOR_EXPORT uint32_t quorDestroySegInfoAndHandles(ShmSegInfo_t **segInfo) {
    return traced(Fn::quorDestroySegInfoAndHandles, [&](Trace &t) {
        if (segInfo == nullptr || *segInfo == nullptr) return t.failWith(10, QUOR_RC_NOT_ATTACHED, 0);
        ShmSegInfo_t *record = *segInfo;
        if (record->poolHandle == nullptr) {
            return t.failLogged(20, QUOR_RC_NULL_POOL_HANDLE, reinterpret_cast<uintptr_t>(record));
        }
        if (record->domainHandle == nullptr) {
            return t.failLogged(30, QUOR_RC_NULL_DOMAIN_HANDLE, reinterpret_cast<uintptr_t>(record));
        }
        if (record->eyecatcher != QUOR_EYECATCHER)
            return t.failWith(40, QUOR_RC_BAD_EYECATCHER, record->eyecatcher);
        if (uint32_t rc = releaseSegInfo(segInfo); rc != 0) return t.fail(50, rc);
        return QUOR_RC_OK;
    });
}
