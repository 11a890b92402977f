// The per-process attach registry: one node per attached segment, in descending
// name order, each owning its segment record.
#include <cstdio>
#include <cstring>

#include "frame/export.h"
#include "tree/records.h"
#include "tree/segments.h"

namespace quor::tree {

namespace {

AttachInfo **headLocked() { return &lib().attachInfoList->first; }

const IpcResId &nameOf(const AttachInfo *node) { return node->segInfo->segName; }

}  // namespace

AttachInfo *findRegisteredLocked(const IpcResId &name) {
    for (AttachInfo *node = *headLocked(); node != nullptr; node = node->next) {
        if (compareSegmentNames(nameOf(node), name) == 0) return node;
    }
    return nullptr;
}

bool linkRegisteredLocked(AttachInfo *node) {
    AttachInfo **link = headLocked();
    for (; *link != nullptr; link = &(*link)->next) {
        int64_t order = compareSegmentNames(nameOf(node), nameOf(*link));
        if (order == 0) return false;
        if (order > 0) break;
    }
    node->next = *link;
    *link = node;
    bumpRegistryGeneration();
    return true;
}

AttachInfo *unlinkRegisteredLocked(const IpcResId &name) {
    for (AttachInfo **link = headLocked(); *link != nullptr; link = &(*link)->next) {
        if (compareSegmentNames(nameOf(*link), name) == 0) {
            AttachInfo *node = *link;
            *link = node->next;
            node->next = nullptr;
            bumpRegistryGeneration();
            return node;
        }
    }
    return nullptr;
}

ShmSegInfo_t *recordMappingLocked(const void *p, uint64_t length) {
    auto maps = [&](ShmSegInfo_t *record) {
        DomainView view;
        uint64_t offset = 0;
        return record->domainHandle != nullptr && viewDomain(record->domainHandle, &view) == 0 &&
               view.seg.offsetOf(p, length, &offset) && view.inHeap(offset, length);
    };
    LibraryState &state = lib();
    if (state.protectedSegState == QUOR_PROTSEG_VALID && maps(&state.protectedSegInfo))
        return &state.protectedSegInfo;
    for (AttachInfo *node = *headLocked(); node != nullptr; node = node->next) {
        if (maps(node->segInfo)) return node->segInfo;
    }
    return nullptr;
}

uint32_t releaseSegInfo(ShmSegInfo_t **record) {
    ShmSegInfo_t *info = *record;
    if (info->poolHandle != nullptr) {
        if (uint32_t rc = freePrivate(&info->poolHandle, src::tree); rc != 0) return rc;
    }
    if (info->domainHandle != nullptr) {
        if (uint32_t rc = freePrivate(&info->domainHandle, src::tree); rc != 0) return rc;
    }
    if (info != &lib().protectedSegInfo) {
        if (uint32_t rc = freePrivate(record, src::tree); rc != 0) return rc;
    }
    *record = nullptr;
    return QUOR_RC_OK;
}

bool validSegmentName(const IpcResId *name) { return name != nullptr && IpcMemory::validName(*name); }

}  // namespace quor::tree

using namespace quor;
using namespace quor::tree;

QUOR_EXPORT uint32_t quorFindAttachInfoNodeInLList(const IpcResId *name, AttachInfo **node) {
    return traced(Fn::quorFindAttachInfoNodeInLList, [&](Trace &t) {
        if (name == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
        if (node == nullptr) return t.failWith(20, QUOR_RC_NULL_PARAMETER, 0);
        RegistryLock lock;
        if (!libraryInitialized()) return t.failWith(30, QUOR_RC_LIBRARY_NOT_INITIALIZED, lib().libraryMagic);
        *node = findRegisteredLocked(*name);
        return QUOR_RC_OK;
    });
}

QUOR_EXPORT uint32_t quorInsertAttachInfoNodeIntoLList(ShmSegInfo_t *record, AttachInfo *node) {
    return traced(Fn::quorInsertAttachInfoNodeIntoLList, [&](Trace &t) {
        if (record == nullptr) return t.failWith(10, QUOR_RC_NOT_ATTACHED, 0);
        if (node == nullptr) return t.failWith(20, QUOR_RC_NULL_PARAMETER, 0);
        RegistryLock lock;
        if (!libraryInitialized()) return t.failWith(30, QUOR_RC_LIBRARY_NOT_INITIALIZED, lib().libraryMagic);
        node->segInfo = record;
        // A name registered twice would hide the second node behind the first.
        if (!linkRegisteredLocked(node)) return t.fail(40, QUOR_RC_ATTACH_LIST_FAILED);
        return QUOR_RC_OK;
    });
}

QUOR_EXPORT uint32_t quorDeleteAttachInfoNodeInLList(const IpcResId *name) {
    return traced(Fn::quorDeleteAttachInfoNodeInLList, [&](Trace &t) {
        if (name == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
        RegistryLock lock;
        if (!libraryInitialized()) return t.failWith(20, QUOR_RC_LIBRARY_NOT_INITIALIZED, lib().libraryMagic);
        AttachInfo *node = unlinkRegisteredLocked(*name);
        if (node == nullptr) return t.fail(30, QUOR_RC_SEGMENT_NOT_REGISTERED);
        // A node whose record is not ours (no eyecatcher) is unlinked but left as
        // it is: releasing memory we did not allocate would be worse than a leak.
        if (node->segInfo->eyecatcher != QUOR_EYECATCHER) return QUOR_RC_OK;
        if (uint32_t rc = releaseSegInfo(&node->segInfo); rc != 0) return t.fail(40, rc);
        if (uint32_t rc = freePrivate(&node, src::tree); rc != 0) return t.fail(50, rc);
        return QUOR_RC_OK;
    });
}

QUOR_EXPORT uint32_t quorPrintAttachInfoNodeLList(void) {
    return traced(Fn::quorPrintAttachInfoNodeLList, [&](Trace &) {
        RegistryLock lock;
        if (lib().attachInfoList == nullptr) return QUOR_RC_OK;
        int number = 1;
        for (const AttachInfo *node = *headLocked(); node != nullptr; node = node->next, ++number) {
            const IpcResId &name = nameOf(node);
            std::printf("Linked list node #%d stores segment name = \"%.*s\"\r\n", number,
                        static_cast<int>(strnlen(name.name, sizeof name.name)), name.name);
        }
        return QUOR_RC_OK;
    });
}
