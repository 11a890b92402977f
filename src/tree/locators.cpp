// Node locators: build them, and turn them into node addresses in this process,
// attaching the node's segment on first use.
//
// A locator names its segment through a descriptor (a record with the leading
// segment-record layout) that lies in a segment this process maps. The
// descriptor's address comes from the locator, which may itself lie in shared
// memory: it is only read once it is known to lie inside the heap of a segment
// this process has attached, and the node it names must lie wholly inside the
// heap of the segment registered under the descriptor's name.
#include "tree/locators.h"

#include <cstring>

#include "frame/export.h"
#include "lists/lists.h"
#include "tree/access.h"
#include "tree/records.h"
#include "tree/segments.h"
#include "tree/sizing.h"

namespace quor::tree {

namespace {

// A locator resolved against this process's registry.
struct Resolved {
    // The descriptor's leading bytes, copied by a translation under the lock (a
    // remembered translation leaves them unread: nothing uses them then).
    ShmSegInfo_t descriptor;
    ShmSegInfo_t *record = nullptr;  // this process's record of the node's segment
    SNodeCB_t *node = nullptr;
};

// The base a locator's descriptor offset counts from: its own position when it
// lies in a segment, else the base it carries.
bool locatorBase(const SNodeInfo_t *info, uintptr_t *base) {
    const auto self = reinterpret_cast<uintptr_t>(info);
    *base = info->segBase;
    if (info->selfDisplacement != 0) {
        if (info->selfDisplacement > self) return false;
        *base = self - info->selfDisplacement;
    }
    return info->segDescOffset <= UINTPTR_MAX - *base;
}

// Copies the descriptor a locator names, after checking that it lies in a
// segment this process maps and that the locator's base is that segment's.
uint32_t copyDescriptorLocked(const SNodeInfo_t *info, ShmSegInfo_t *copy,
                              ShmSegInfo_t **holderOut = nullptr) {
    uintptr_t base = 0;
    if (!locatorBase(info, &base)) return QUOR_RC_NULL_NODE_INFO;
    const void *at = reinterpret_cast<const void *>(base + info->segDescOffset);
    ShmSegInfo_t *holder = recordMappingLocked(at, QUOR_SEG_INFO_DESC_SIZE);
    if (holder == nullptr || reinterpret_cast<uintptr_t>(holder->domainHandle->base) != base) {
        return QUOR_RC_NULL_NODE_INFO;
    }
    *copy = {};
    std::memcpy(copy, at, QUOR_SEG_INFO_DESC_SIZE);
    if (holderOut != nullptr) *holderOut = holder;
    return QUOR_RC_OK;
}

// Locator translation: the descriptor, this process's record of the segment it
// names, and the node inside that segment's heap. *holder receives the record
// of the segment that holds the descriptor.
uint32_t translateLocked(const SNodeInfo_t *info, Resolved *r, ShmSegInfo_t **holder) {
    if (uint32_t rc = copyDescriptorLocked(info, &r->descriptor, holder); rc != 0) return rc;
    LibraryState &state = lib();
    if (r->descriptor.kind == QUOR_SHM_MODE_USER_MEMORY) {
        if (state.protectedSegState != QUOR_PROTSEG_VALID) return QUOR_RC_SEGMENT_NOT_ATTACHED;
        if (r->descriptor.eyecatcher != QUOR_EYECATCHER) return QUOR_RC_BAD_EYECATCHER;
        r->record = &state.protectedSegInfo;
    } else {
        AttachInfo *node = findRegisteredLocked(r->descriptor.segName);
        if (node == nullptr) return QUOR_RC_SEGMENT_NOT_REGISTERED;
        if (r->descriptor.eyecatcher != QUOR_EYECATCHER) return QUOR_RC_BAD_EYECATCHER;
        r->record = node->segInfo;
    }
    DomainView view;
    if (uint32_t rc = viewDomain(r->record->domainHandle, &view); rc != 0) return rc;
    r->node = view.nodeAt(info->nodeOffset);
    return r->node != nullptr ? QUOR_RC_OK : QUOR_RC_STALE_NODE_INFO;
}

// Translations remembered per thread. A walk translates every entry it scans,
// and nearly all of them name the same one or two segments; the registry they
// are looked up in changes rarely. A remembered translation stands while the
// registry generation is the one it was made under (so both the segment holding
// the descriptor and the one it names are still mapped as they were) and the
// descriptor still carries the name it had. Only registered segments are
// remembered: the protected segment changes state without a registry change.
struct RememberedTranslation {
    uint64_t generation = 0;
    uintptr_t base = 0;
    uint64_t descriptorOffset = 0;
    ShmSegInfo_t *record = nullptr;
    DomainView view;
    uint64_t nameLength = 0;  // of record's name, its terminator included
};
constexpr size_t kRememberedSlots = 16;
thread_local RememberedTranslation remembered[kRememberedSlots];

// Names compared a word at a time: this runs for every entry a walk scans.
bool sameName(const char *a, const char *b, uint64_t length) {
    uint64_t i = 0;
    for (; i + sizeof(uint64_t) <= length; i += sizeof(uint64_t)) {
        uint64_t x = 0, y = 0;
        std::memcpy(&x, a + i, sizeof x);
        std::memcpy(&y, b + i, sizeof y);
        if (x != y) return false;
    }
    for (; i < length; ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

RememberedTranslation &slotFor(uintptr_t base, uint64_t descriptorOffset) {
    const uint64_t mix = (base >> 12) ^ (descriptorOffset >> 3) ^ (descriptorOffset >> 11);
    return remembered[mix % kRememberedSlots];
}

// The node of a remembered translation, or false when there is none that stands.
bool translateRemembered(const SNodeInfo_t *info, Resolved *r) {
    uintptr_t base = 0;
    if (!locatorBase(info, &base)) return false;
    const RememberedTranslation &slot = slotFor(base, info->segDescOffset);
    if (slot.record == nullptr || slot.base != base || slot.descriptorOffset != info->segDescOffset ||
        slot.generation != registryGeneration()) {
        return false;
    }
    // The offset was checked when the translation was remembered; it is read
    // through the segment's view all the same, since the locator is shared data.
    const auto *bytes = slot.view.seg.at<const unsigned char>(info->segDescOffset, QUOR_SEG_INFO_DESC_SIZE);
    if (bytes == nullptr || info->segDescOffset % alignof(ShmSegInfo_t) != 0) return false;
    const auto *descriptor = reinterpret_cast<const ShmSegInfo_t *>(bytes);
    if (descriptor->kind == QUOR_SHM_MODE_USER_MEMORY || descriptor->eyecatcher != QUOR_EYECATCHER ||
        !sameName(descriptor->segName.name, slot.record->segName.name, slot.nameLength)) {
        return false;
    }
    SNodeCB_t *node = slot.view.nodeAt(info->nodeOffset);
    if (node == nullptr) return false;  // the slow path gives the code
    r->record = slot.record;
    r->node = node;
    return true;
}

void remember(const SNodeInfo_t *info, const Resolved &r, const ShmSegInfo_t *holder, uint64_t generation) {
    LibraryState &state = lib();
    if (r.descriptor.kind == QUOR_SHM_MODE_USER_MEMORY || holder == &state.protectedSegInfo ||
        r.record == &state.protectedSegInfo) {
        return;
    }
    uintptr_t base = 0;
    if (!locatorBase(info, &base)) return;
    RememberedTranslation &slot = slotFor(base, info->segDescOffset);
    slot.record = nullptr;
    const IpcResId &name = r.record->segName;
    slot.nameLength = strnlen(name.name, sizeof name.name);
    if (slot.nameLength == sizeof name.name || viewDomain(r.record->domainHandle, &slot.view) != 0) return;
    ++slot.nameLength;
    slot.generation = generation;
    slot.base = base;
    slot.descriptorOffset = info->segDescOffset;
    slot.record = r.record;
}

uint32_t translate(const SNodeInfo_t *info, Resolved *r) {
    if (translateRemembered(info, r)) return QUOR_RC_OK;
    RegistryLock lock;
    if (!libraryInitialized()) return QUOR_RC_LIBRARY_NOT_INITIALIZED;
    ShmSegInfo_t *holder = nullptr;
    const uint32_t rc = translateLocked(info, r, &holder);
    if (rc == 0) remember(info, *r, holder, registryGeneration());
    return rc;
}

// The different-segment flag: reference's segment against `name`.
uint32_t differsFrom(const ShmSegInfo_t *reference, const IpcResId &name, uint32_t *differs) {
    if (reference == nullptr) return QUOR_RC_NOT_ATTACHED;
    if (reference->eyecatcher != QUOR_EYECATCHER) return QUOR_RC_BAD_EYECATCHER;
    *differs = compareSegmentNames(reference->segName, name) != 0 ? 1 : 0;
    return QUOR_RC_OK;
}

// Attaches the segment a descriptor names, with the keys it carries.
uint32_t attachDescribed(const ShmSegInfo_t &descriptor, ShmSegInfo_t **attached) {
    ShmDomainOptions_t options{};
    options.handleEyecatcher = descriptor.eyecatcher;
    options.eyecatcher0 = descriptor.key1;
    options.latchEyecatcher = descriptor.key2;
    options.mode = descriptor.kind;
    options.ipcCreateFlags = QUOR_DOMAIN_DEFAULT_IPC_CREATE_FLAGS;
    ShmPoolOptions_t poolOptions{};
    poolOptions.handleEyecatcher = descriptor.eyecatcher;
    poolOptions.eyecatcher0 = descriptor.key1;
    poolOptions.latchEyecatcher = descriptor.key2;
    return attachStatusSegment(attached, &descriptor.segName, nullptr, 0, 0, &options, &poolOptions);
}

// The argument tests of the two translations that also return the record.
uint32_t checkSegInfoArguments(const Trace &t, const SNodeInfo_t *info, SNodeCB_t **node,
                               ShmSegInfo_t **segInfo, const uint32_t *differs) {
    if (info == nullptr) return t.failWith(10, QUOR_RC_NULL_NODE_INFO, 0);
    if (differs == nullptr) return t.failWith(20, QUOR_RC_NULL_SEGMENT_FLAG_OUTPUT, 0);
    if (node == nullptr || segInfo == nullptr) return t.failWith(30, QUOR_RC_NULL_PARAMETER, 0);
    return QUOR_RC_OK;
}

// The steps of quorGetControlBlockPtrFromSNodeInfo up to its output.
uint32_t translateLocator(const Trace &t, const SNodeInfo_t *info, SNodeCB_t **node, Resolved *r) {
    if (info == nullptr) return t.failWith(10, QUOR_RC_NULL_NODE_INFO, 0);
    if (node == nullptr) return t.failWith(20, QUOR_RC_NULL_PARAMETER, 0);
    if (uint32_t rc = translate(info, r); rc != 0) return t.fail(30, rc);
    return QUOR_RC_OK;
}

// The steps of quorGetShmSegInfoPtrUsingSNodeInfo up to its node and record
// outputs: the different-segment flag is set when asked for.
uint32_t translateWithRecord(const Trace &t, const SNodeInfo_t *info, SNodeCB_t **node,
                             ShmSegInfo_t **segInfo, ShmSegInfo_t *reference, uint32_t *differs,
                             uint32_t options, Resolved *r) {
    if (uint32_t rc = checkSegInfoArguments(t, info, node, segInfo, differs); rc != 0) return rc;
    if (uint32_t rc = translate(info, r); rc != 0) return t.fail(40, rc);
    if ((options & QUOR_LOCATOR_COMPARE_SEGMENT) != 0) {
        if (uint32_t rc = differsFrom(reference, r->record->segName, differs); rc != 0) return t.fail(50, rc);
    }
    return QUOR_RC_OK;
}

// The condition check of an attach without the read section: the checks the
// section would make of the node's model and latch block, then one read of the
// condition word, which every writer changes with a single store.
uint32_t peekCondition(const SNodeCB_t *node, uint32_t mask) {
    const uint32_t model = __atomic_load_n(&node->concurrencyModel, __ATOMIC_ACQUIRE);
    if (model >= kModelLimit) return QUOR_RC_BAD_CONCURRENCY_MODEL;
    if (model == QUOR_CONCURRENCY_MODEL_LATCHED &&
        __atomic_load_n(&node->nodeLatch.latchEyecatcher, __ATOMIC_ACQUIRE) != QUOR_EYECATCHER) {
        return QUOR_RC_LATCH_NOT_INITIALIZED;
    }
    return checkCondition(__atomic_load_n(&node->NodeCondition, __ATOMIC_ACQUIRE), mask);
}

// quorAttachToNode and quorAttachToNodeAndGetSegInfo: translate (with the
// records of the translation each includes), attaching the segment first when
// this process has not, then check the tag and that the node is active. An
// attach made here is undone when a later step fails. For a walk (`forWalk`) a
// condition refusal hands the node out and keeps the attach, and a node of an
// unattached other segment is handed out as null (locators.h); without
// `latched` the condition is checked without the section.
uint32_t attachToNode(const Trace &t, const SNodeInfo_t *info, SNodeCB_t **node, ShmSegInfo_t **segInfo,
                      ShmSegInfo_t *reference, uint32_t *differs, uint32_t options, bool forWalk = false,
                      bool latched = true, uint64_t seenTag = 0) {
    const bool compare = (options & QUOR_LOCATOR_COMPARE_SEGMENT) != 0;
    Resolved r;
    uint32_t differ = 0;
    ShmSegInfo_t *attached = nullptr;
    auto translation = [&] {
        if (segInfo == nullptr) {
            return traced(Fn::quorGetControlBlockPtrFromSNodeInfo,
                          [&](Trace &tt) { return translateLocator(tt, info, node, &r); });
        }
        return traced(Fn::quorGetShmSegInfoPtrUsingSNodeInfo, [&](Trace &tt) {
            return translateWithRecord(tt, info, node, segInfo, reference, &differ, options, &r);
        });
    };
    uint32_t rc = translation();
    if (rc == QUOR_RC_SEGMENT_NOT_REGISTERED) {
        if (compare) {
            if (uint32_t crc = differsFrom(reference, r.descriptor.segName, &differ); crc != 0)
                return t.fail(30, crc);
        }
        if (differ != 0 && forWalk) {
            *node = nullptr;
            if (segInfo != nullptr) *segInfo = reference;
            if (differs != nullptr) *differs = differ;
            return QUOR_RC_OK;
        }
        if (differ != 0) {
            // A node of another segment than the reference's is not attached
            // here: the caller's record and node stand.
            r.record = reference;
            r.node = *node;
            rc = QUOR_RC_OK;
        } else {
            if (rc = attachDescribed(r.descriptor, &attached); rc != 0) return t.fail(40, rc);
            rc = translation();
        }
    }
    const uint64_t tag = seenTag != 0 ? seenTag : info->tag;
    if (rc == 0 && differ == 0 && tag != r.node->tag) rc = QUOR_RC_STALE_NODE_INFO;
    uint32_t conditionRc = QUOR_RC_OK;
    if (rc == 0 && !latched) {
        rc = conditionRc = peekCondition(r.node, QUOR_COND_MASK_ACTIVE);
    } else if (rc == 0) {
        CriticalSection section(r.node, Access::Read);
        rc = section.entered();
        // A fenced node is handed to a walk like one refused for its condition:
        // a freeing walk still frees it.
        if (rc == QUOR_RC_NODE_DAMAGED) conditionRc = rc;
        if (rc == 0) rc = conditionRc = checkNodeCondition(r.node, QUOR_COND_MASK_ACTIVE);
        rc = section.close(rc);
    }
    const bool handOut = rc == 0 || (forWalk && rc == conditionRc);
    if (!handOut) {
        rc = t.fail(50, rc);
        if (attached != nullptr) (void)detachStatusSegment(&attached, QUOR_DETACH_RELEASE);
        return rc;
    }
    *node = r.node;
    if (segInfo != nullptr) *segInfo = r.record;
    if (differs != nullptr) *differs = differ;
    return rc == 0 ? rc : t.fail(50, rc);
}

// Where a new locator's records go: the segment's shared lists hold one copy of
// each descriptor and module path, and the locator keeps their offsets.
template <class Stored, class Record>
uint32_t storedOffset(ShmPoolHandle_t *pool, const Record *record, const void *base,
                      uint32_t (*findOrInsert)(ShmPoolHandle_t *, const Record *, Stored **),
                      uint64_t *offset) {
    Stored *stored = nullptr;
    if (uint32_t rc = findOrInsert(pool, record, &stored); rc != 0) return rc;
    *offset = static_cast<uint64_t>(reinterpret_cast<const unsigned char *>(stored) -
                                    static_cast<const unsigned char *>(base));
    return QUOR_RC_OK;
}

}  // namespace

uint32_t attachChild(const SNodeInfo_t *info, bool withSegInfo, ShmSegInfo_t *reference, uint32_t options,
                     AttachedChild *out, bool latched, uint64_t seenTag) {
    // The usual case of a check without the section, taken straight: a
    // remembered translation, the locator's tag the node's, no segment compare
    // and no trace to write. Anything else goes the general way, which gives
    // the same outcome with its codes and records.
    if (!latched && info != nullptr && !withSegInfo && !tracingOn()) {
        Resolved r;
        if (translateRemembered(info, &r) && (seenTag != 0 ? seenTag : info->tag) == r.node->tag) {
            out->node = r.node;
            out->differs = 0;
            return peekCondition(r.node, QUOR_COND_MASK_ACTIVE);
        }
    }
    const Fn fn = withSegInfo ? Fn::quorAttachToNodeAndGetSegInfo : Fn::quorAttachToNode;
    return traced(fn, [&](Trace &t) {
        if (info == nullptr) return t.failWith(10, QUOR_RC_NULL_NODE_INFO, 0);
        return attachToNode(t, info, &out->node, withSegInfo ? &out->segInfo : nullptr, reference,
                            &out->differs, withSegInfo ? options : 0, true, latched, seenTag);
    });
}

uint32_t resolveLocator(const SNodeInfo_t *info, SNodeCB_t **node, ShmSegInfo_t **record) {
    return traced(Fn::quorGetControlBlockPtrFromSNodeInfo, [&](Trace &t) {
        if (info == nullptr) return t.failWith(10, QUOR_RC_NULL_NODE_INFO, 0);
        Resolved r;
        if (uint32_t rc = translate(info, &r); rc != 0) return t.fail(30, rc);
        *node = r.node;
        if (record != nullptr) *record = r.record;
        return QUOR_RC_OK;
    });
}

uint32_t addStatusNodeInfo(SNodeInfo_t *info, ShmSegInfo_t *segInfo, const ShmSegInfo_t *descriptor,
                           uint64_t nodeOffset, uint64_t tag, uint64_t idSize, const RMXPathRec_t *rmxPath) {
    return traced(Fn::quorAddStatusNodeInfo, [&](Trace &t) {
        if (segInfo == nullptr) return t.failWith(10, QUOR_RC_NOT_ATTACHED, 0);
        if (descriptor == nullptr) return t.failWith(20, QUOR_RC_NOT_ATTACHED, 0);
        if (info == nullptr) return t.failWith(30, QUOR_RC_NULL_NODE_INFO, 0);
        if (tag > QUOR_MAX_TAG) return t.failWith(40, QUOR_RC_SIZE_TOO_LARGE, tag);
        if (idSize > QUOR_MAX_ID_SIZE) return t.failWith(50, QUOR_RC_ID_SIZE_TOO_LARGE, idSize);
        ShmDomainHandle_t *domain = segInfo->domainHandle;
        if (domain == nullptr)
            return t.failLogged(60, QUOR_RC_NULL_DOMAIN_HANDLE, reinterpret_cast<uintptr_t>(segInfo));
        if (domain->base == nullptr)
            return t.failLogged(70, QUOR_RC_NOT_MAPPED, reinterpret_cast<uintptr_t>(domain));

        // A locator is made to be stored: the node it names is settled first
        // (see createPoolNode), before any list can name it.
        if (descriptor->poolHandle != nullptr) {
            if (uint32_t rc = settleNodeBlock(descriptor->poolHandle, nodeOffset); rc != 0) return t.fail(75, rc);
        }
        SNodeInfo_t built{};
        built.nodeOffset = nodeOffset;
        built.tag = tag;
        built.idSize = idSize;
        built.segBase = reinterpret_cast<uintptr_t>(domain->base);
        uint32_t rc = storedOffset(segInfo->poolHandle, descriptor, domain->base, lists::findOrInsertSegInfo,
                                   &built.segDescOffset);
        if (rc != 0) return t.fail(80, rc);
        RMXPathRec_t path{};
        if (rmxPath != nullptr) path = *rmxPath;
        rc = storedOffset(segInfo->poolHandle, &path, domain->base, lists::findOrInsertRmx,
                          &built.rmxPathOffset);
        if (rc != 0) return t.fail(90, rc);
        *info = built;
        return QUOR_RC_OK;
    });
}

}  // namespace quor::tree

using namespace quor;
using namespace quor::tree;

QUOR_EXPORT uint32_t quorGetControlBlockPtrFromSNodeInfo(SNodeInfo_t *info, SNodeCB_t **node) {
    return traced(Fn::quorGetControlBlockPtrFromSNodeInfo, [&](Trace &t) {
        Resolved r;
        if (uint32_t rc = translateLocator(t, info, node, &r); rc != 0) return rc;
        *node = r.node;
        return QUOR_RC_OK;
    });
}

QUOR_EXPORT uint32_t quorGetControlBlockPtrFromSNodeInfoInPM(SNodeInfo_t *info, SNodeCB_t **node) {
    return traced(Fn::quorGetControlBlockPtrFromSNodeInfoInPM, [&](Trace &t) {
        if (info == nullptr) return t.failWith(10, QUOR_RC_NULL_NODE_INFO, 0);
        if (node == nullptr) return t.failWith(20, QUOR_RC_NULL_PARAMETER, 0);
        *node = reinterpret_cast<SNodeCB_t *>(static_cast<uintptr_t>(info->nodeOffset));
        return QUOR_RC_OK;
    });
}

QUOR_EXPORT uint32_t quorGetShmSegInfoPtrUsingSNodeInfo(SNodeInfo_t *info, SNodeCB_t **node,
                                                        ShmSegInfo_t **segInfo, ShmSegInfo_t *reference,
                                                        uint32_t *differs, uint32_t options) {
    return traced(Fn::quorGetShmSegInfoPtrUsingSNodeInfo, [&](Trace &t) {
        Resolved r;
        if (uint32_t rc = translateWithRecord(t, info, node, segInfo, reference, differs, options, &r);
            rc != 0)
            return rc;
        *node = r.node;
        *segInfo = r.record;
        return QUOR_RC_OK;
    });
}

QUOR_EXPORT uint32_t quorAttachToNode(SNodeInfo_t *info, SNodeCB_t **node) {
    return traced(Fn::quorAttachToNode, [&](Trace &t) {
        if (info == nullptr) return t.failWith(10, QUOR_RC_NULL_NODE_INFO, 0);
        if (node == nullptr) return t.failWith(20, QUOR_RC_NULL_PARAMETER, 0);
        return attachToNode(t, info, node, nullptr, nullptr, nullptr, 0);
    });
}

QUOR_EXPORT uint32_t quorAttachToNodeAndGetSegInfo(SNodeInfo_t *info, SNodeCB_t **node,
                                                   ShmSegInfo_t **segInfo, ShmSegInfo_t *reference,
                                                   uint32_t *differs, uint32_t options) {
    return traced(Fn::quorAttachToNodeAndGetSegInfo, [&](Trace &t) {
        if (uint32_t rc = checkSegInfoArguments(t, info, node, segInfo, differs); rc != 0) return rc;
        return attachToNode(t, info, node, segInfo, reference, differs, options);
    });
}

QUOR_EXPORT uint32_t quorDetachFromNode(SNodeInfo_t *info, uint32_t mode) {
    return traced(Fn::quorDetachFromNode, [&](Trace &t) {
        if (info == nullptr) return t.failWith(10, QUOR_RC_NULL_NODE_INFO, 0);
        ShmSegInfo_t *record = nullptr;
        {
            RegistryLock lock;
            if (!libraryInitialized())
                return t.failWith(20, QUOR_RC_LIBRARY_NOT_INITIALIZED, lib().libraryMagic);
            ShmSegInfo_t descriptor{};
            if (uint32_t rc = copyDescriptorLocked(info, &descriptor); rc != 0) return t.fail(30, rc);
            LibraryState &state = lib();
            if (descriptor.kind == QUOR_SHM_MODE_USER_MEMORY) {
                if (state.protectedSegState != QUOR_PROTSEG_VALID)
                    return t.fail(40, QUOR_RC_SEGMENT_NOT_ATTACHED);
                record = &state.protectedSegInfo;
            } else if (AttachInfo *node = findRegisteredLocked(descriptor.segName); node != nullptr) {
                record = node->segInfo;
            } else {
                return QUOR_RC_OK;  // never attached here: nothing to detach
            }
        }
        if (uint32_t rc = detachStatusSegment(&record, mode); rc != 0) {
            return t.failWith(50, QUOR_RC_DETACH_FAILED, rc);
        }
        return QUOR_RC_OK;
    });
}

QUOR_EXPORT uint32_t quorAddStatusNodeInfo(SNodeInfo_t *info, ShmSegInfo_t *segInfo,
                                           const ShmSegInfo_t *descriptor, uint64_t nodeOffset, uint64_t tag,
                                           uint64_t idSize, const RMXPathRec_t *rmxPath) {
    return addStatusNodeInfo(info, segInfo, descriptor, nodeOffset, tag, idSize, rmxPath);
}
