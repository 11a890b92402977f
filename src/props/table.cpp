// The exported operations on property areas and their hash tables: size
// queries, the memory stack, flat and Base record locations, and inserting,
// finding and removing in hashed tables.
#include <type_traits>

#include "frame/export.h"
#include "props/operations.h"

namespace quor::props {
namespace {

// ---- size queries ----

uint32_t rvTableSize(Trace &t, SNodeCB_t *node, uint32_t kind, uint64_t *out) {
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (out == nullptr) return t.failWith(20, QUOR_RC_NULL_HT_SIZE_OUT, 0);
    if (kind != QUOR_KIND_R && kind != QUOR_KIND_V) return t.failWith(30, QUOR_RC_BAD_PROPERTY_KIND, kind);
    return withTableKind(kind, [&]<class K>() {
        PropertyArea<K> area;
        if (uint32_t rc = area.open(node); rc != 0) return t.fail(40, rc);
        *out = area.tableSize(0);
        return QUOR_RC_OK;
    });
}

uint32_t irvTableSizes(Trace &t, SNodeCB_t *node, uint32_t kind, uint64_t *tagIdOut, uint64_t *tagOut,
                       uint64_t *idOut) {
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (tagIdOut == nullptr || tagOut == nullptr || idOut == nullptr)
        return t.failWith(20, QUOR_RC_NULL_IRV_HT_SIZE_OUT, 0);
    if (kind != QUOR_KIND_IR && kind != QUOR_KIND_IV) return t.failWith(30, QUOR_RC_BAD_PROPERTY_KIND, kind);
    return withTableKind(kind, [&]<class K>() {
        PropertyArea<K> area;
        if (uint32_t rc = area.open(node); rc != 0) return t.fail(40, rc);
        *tagIdOut = area.tableSize(0);
        if (area.hashed()) {
            *tagOut = area.tableSize(1);
            *idOut = area.tableSize(2);
        }
        return QUOR_RC_OK;
    });
}

// The maximum-size queries: a null output gives its own code; a node without
// the kind's area has maxima 0.
template <class K>
uint32_t maximaQuery(Trace &t, SNodeCB_t *node, uint64_t *maxIdOut, uint32_t nullId, uint64_t *maxVOut,
                     uint32_t nullV) {
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (K::tagged && maxIdOut == nullptr) return t.failWith(20, nullId, 0);
    if (K::bytesValue && maxVOut == nullptr) return t.failWith(21, nullV, 0);
    Maxima m;
    if (uint32_t rc = headerMaxima<K>(node, &m); rc != 0) return t.fail(30, rc);
    if (K::tagged) *maxIdOut = m.maxIdSize;
    if (K::bytesValue) *maxVOut = m.maxVSize;
    return QUOR_RC_OK;
}

// ---- the memory stack ----

// Runs body(area, stack) on the opened hashed area of a table kind with its
// freed count read.
template <class Body>
uint32_t withStack(Trace &t, SNodeCB_t *node, uint32_t kind, Body &&body) {
    return withTableKind(kind, [&]<class K>() {
        PropertyArea<K> area;
        if (uint32_t rc = openHashed(t, node, &area); rc != 0) return rc;
        MemoryStack<K> stack(area);
        if (uint32_t rc = stack.read(); rc != 0) return t.fail(50, rc);
        const uint32_t rc = body(area, stack);
        return rc != 0 ? t.fail(60, rc) : rc;
    });
}

uint32_t stackQuery(Trace &t, SNodeCB_t *node, uint32_t kind, uint64_t *out, bool size) {
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (out == nullptr) return t.failWith(20, QUOR_RC_NULL_FREED_COUNT_OUT, 0);
    const uint32_t rc = withStack(t, node, kind, [&](auto &, auto &stack) {
        *out = size ? stack.size() : stack.count();
        return QUOR_RC_OK;
    });
    return rc == QUOR_RC_BAD_PROPERTY_KIND ? t.failWith(30, rc, kind) : rc;
}

uint32_t freeSpace(Trace &t, SNodeCB_t *node, uint32_t kind, uint64_t *out) {
    if (node == nullptr || out == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    const uint32_t rc = withStack(t, node, kind, [&](auto &, auto &stack) {
        uint64_t at = 0;
        if (uint32_t rc = stack.peek(&at); rc != 0) return rc;
        stack.take();
        *out = at;
        return QUOR_RC_OK;
    });
    return rc == QUOR_RC_BAD_PROPERTY_KIND ? t.failWith(30, rc, kind) : rc;
}

uint32_t recordFreed(Trace &t, SNodeCB_t *node, uint32_t kind, const uint64_t *freedOffset) {
    if (node == nullptr || freedOffset == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    const uint32_t rc =
        withStack(t, node, kind, [&](auto &, auto &stack) {
            if (uint32_t rc = stack.canPush(*freedOffset, 0); rc != 0) return rc;
            stack.push(*freedOffset, 0);
            return QUOR_RC_OK;
        });
    return rc == QUOR_RC_BAD_PROPERTY_KIND ? t.failWith(30, rc, kind) : rc;
}

// ---- flat and Base locations ----

// The null outputs of the first-record queries, per kind: count, capacity.
template <class K>
constexpr uint32_t nullCountCode(bool capacity) {
    if constexpr (std::is_same_v<K, RKind>)
        return capacity ? QUOR_RC_NULL_R_CAPACITY_OUT : QUOR_RC_NULL_R_COUNT_OUT;
    if constexpr (std::is_same_v<K, VKind>)
        return capacity ? QUOR_RC_NULL_V_CAPACITY_OUT : QUOR_RC_NULL_V_COUNT_OUT;
    if constexpr (std::is_same_v<K, IRKind>)
        return capacity ? QUOR_RC_NULL_IR_CAPACITY_OUT : QUOR_RC_NULL_IR_COUNT_OUT;
    return capacity ? QUOR_RC_NULL_IV_CAPACITY_OUT : QUOR_RC_NULL_IV_COUNT_OUT;
}

template <class K>
uint32_t firstLocation(Trace &t, SNodeCB_t *node, typename K::Record **out, uint64_t *count,
                       uint64_t *capacity) {
    if (node == nullptr || out == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (count == nullptr) return t.failWith(20, nullCountCode<K>(false), 0);
    if (capacity == nullptr) return t.failWith(21, nullCountCode<K>(true), 0);
    PropertyArea<K> area;
    if (uint32_t rc = area.open(node); rc != 0) return t.fail(30, rc);
    // The first slot's address obeys the location rule even when the area has
    // room for no record at all.
    auto *first = area.area().template at<unsigned char>(K::header.flatSize, 0);
    if (first == nullptr) return t.fail(40, K::codes.locationOutOfArea);
    *out = reinterpret_cast<typename K::Record *>(first);
    *count = area.flatInUse();
    *capacity = area.flatCapacity();
    return QUOR_RC_OK;
}

// The bounds come from the node's own directory through the checked view: the
// caller's PExport names the area, it does not widen it.
template <class K>
uint32_t nextLocation(Trace &t, SNodeCB_t *node, PExport *pExport, typename K::Record **ref) {
    if (node == nullptr || pExport == nullptr || ref == nullptr || *ref == nullptr)
        return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    PropertyArea<K> area;
    if (uint32_t rc = area.open(node); rc != 0) return t.fail(30, rc);
    uint64_t at = 0;
    if (!area.nodeOffsetOf(*ref, &at) || at + area.recordSize() > area.end())
        return t.fail(40, K::codes.locationOutOfArea);
    auto *next = area.area().template at<typename K::Record>(at + area.recordSize() - area.offset(), 0);
    if (next == nullptr) return t.fail(41, K::codes.locationOutOfArea);
    *ref = next;
    return QUOR_RC_OK;
}

template <class K>
uint32_t baseLocation(Trace &t, SNodeCB_t *node, typename K::Record **out) {
    if (node == nullptr || out == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if constexpr (K::bytesValue) {
        // A BaseV value is bounded by the V area's maximum: a corrupt one is
        // refused before the record is handed out.
        if ((node->areaFlags & QUOR_KIND_V) != 0) {
            Maxima v;
            if (uint32_t rc = headerMaxima<VKind>(node, &v); rc != 0) return t.fail(20, rc);
        }
    }
    PropertyArea<K> area;
    if (uint32_t rc = area.openUnformatted(node); rc != 0) return t.fail(30, rc);
    auto *record = area.area().template at<unsigned char>(K::header.flatSize, 0);
    if (record == nullptr) return t.fail(40, K::codes.outOfArea);
    *out = reinterpret_cast<typename K::Record *>(record);
    return QUOR_RC_OK;
}

}  // namespace
}  // namespace quor::props

using namespace quor;
using props::IRKind, props::IVKind, props::Key, props::NewProperty, props::RKind, props::VKind;

QUOR_EXPORT uint32_t quorGetHashTableSizeForRVProperties(SNodeCB_t *node, uint32_t kind,
                                                         uint64_t *htSizeOut) {
    return traced(Fn::quorGetHashTableSizeForRVProperties,
                  [&](Trace &t) { return props::rvTableSize(t, node, kind, htSizeOut); });
}

QUOR_EXPORT uint32_t quorGetHashTableSizeForIRVProperties(SNodeCB_t *node, uint32_t kind,
                                                          uint64_t *tagIdSizeOut, uint64_t *tagSizeOut,
                                                          uint64_t *idSizeOut) {
    return traced(Fn::quorGetHashTableSizeForIRVProperties, [&](Trace &t) {
        return props::irvTableSizes(t, node, kind, tagIdSizeOut, tagSizeOut, idSizeOut);
    });
}

QUOR_EXPORT uint32_t quorGetMaxIDSizeForIRProperties(SNodeCB_t *node, uint64_t *maxIdSizeOut) {
    return traced(Fn::quorGetMaxIDSizeForIRProperties, [&](Trace &t) {
        return props::maximaQuery<IRKind>(t, node, maxIdSizeOut, QUOR_RC_NULL_MAX_ID_OUT, nullptr, 0);
    });
}

QUOR_EXPORT uint32_t quorGetMaxVSizeForVProperties(SNodeCB_t *node, uint64_t *maxVSizeOut) {
    return traced(Fn::quorGetMaxVSizeForVProperties, [&](Trace &t) {
        return props::maximaQuery<VKind>(t, node, nullptr, 0, maxVSizeOut, QUOR_RC_NULL_MAX_V_OUT);
    });
}

QUOR_EXPORT uint32_t quorGetMaxIDVSizeForIVProperties(SNodeCB_t *node, uint64_t *maxIdSizeOut,
                                                      uint64_t *maxVSizeOut) {
    return traced(Fn::quorGetMaxIDVSizeForIVProperties, [&](Trace &t) {
        return props::maximaQuery<IVKind>(t, node, maxIdSizeOut, QUOR_RC_NULL_IV_MAX_ID_OUT, maxVSizeOut,
                                          QUOR_RC_NULL_IV_MAX_V_OUT);
    });
}

QUOR_EXPORT uint32_t quorGetNumberOfFreedLListNodes(SNodeCB_t *node, uint32_t kind, uint64_t *countOut) {
    return traced(Fn::quorGetNumberOfFreedLListNodes,
                  [&](Trace &t) { return props::stackQuery(t, node, kind, countOut, false); });
}

QUOR_EXPORT uint32_t quorGetMemoryStackSizeForHashTable(SNodeCB_t *node, uint32_t kind, uint64_t *sizeOut) {
    return traced(Fn::quorGetMemoryStackSizeForHashTable,
                  [&](Trace &t) { return props::stackQuery(t, node, kind, sizeOut, true); });
}

QUOR_EXPORT uint32_t quorGetFreeSpaceOffsetForProperty(SNodeCB_t *node, uint32_t kind, uint64_t *offsetOut) {
    return traced(Fn::quorGetFreeSpaceOffsetForProperty,
                  [&](Trace &t) { return props::freeSpace(t, node, kind, offsetOut); });
}

QUOR_EXPORT uint32_t quorUpdateListOfFreedLLNodes(SNodeCB_t *node, uint32_t kind, uint64_t *freedOffset) {
    return traced(Fn::quorUpdateListOfFreedLLNodes,
                  [&](Trace &t) { return props::recordFreed(t, node, kind, freedOffset); });
}

QUOR_EXPORT uint32_t quorGetFirstRPropertyLocation(SNodeCB_t *node, RPropertyRec_t **recordOut,
                                                   uint64_t *countOut, uint64_t *capacityOut) {
    return traced(Fn::quorGetFirstRPropertyLocation, [&](Trace &t) {
        return props::firstLocation<RKind>(t, node, recordOut, countOut, capacityOut);
    });
}

QUOR_EXPORT uint32_t quorGetFirstVPropertyLocation(SNodeCB_t *node, VPropertyRec_t **recordOut,
                                                   uint64_t *countOut, uint64_t *capacityOut) {
    return traced(Fn::quorGetFirstVPropertyLocation, [&](Trace &t) {
        return props::firstLocation<VKind>(t, node, recordOut, countOut, capacityOut);
    });
}

QUOR_EXPORT uint32_t quorGetFirstIRPropertyLocation(SNodeCB_t *node, IRPropertyRec_t **recordOut,
                                                    uint64_t *countOut, uint64_t *capacityOut) {
    return traced(Fn::quorGetFirstIRPropertyLocation, [&](Trace &t) {
        return props::firstLocation<IRKind>(t, node, recordOut, countOut, capacityOut);
    });
}

QUOR_EXPORT uint32_t quorGetFirstIVPropertyLocation(SNodeCB_t *node, IVPropertyRec_t **recordOut,
                                                    uint64_t *countOut, uint64_t *capacityOut) {
    return traced(Fn::quorGetFirstIVPropertyLocation, [&](Trace &t) {
        return props::firstLocation<IVKind>(t, node, recordOut, countOut, capacityOut);
    });
}

QUOR_EXPORT uint32_t quorGetNextRPropertyLocation(SNodeCB_t *node, PExport *pExport,
                                                  RPropertyRec_t **recordRef) {
    return traced(Fn::quorGetNextRPropertyLocation,
                  [&](Trace &t) { return props::nextLocation<RKind>(t, node, pExport, recordRef); });
}

QUOR_EXPORT uint32_t quorGetNextVPropertyLocation(SNodeCB_t *node, PExport *pExport,
                                                  VPropertyRec_t **recordRef) {
    return traced(Fn::quorGetNextVPropertyLocation,
                  [&](Trace &t) { return props::nextLocation<VKind>(t, node, pExport, recordRef); });
}

QUOR_EXPORT uint32_t quorGetNextIRPropertyLocation(SNodeCB_t *node, PExport *pExport,
                                                   IRPropertyRec_t **recordRef) {
    return traced(Fn::quorGetNextIRPropertyLocation,
                  [&](Trace &t) { return props::nextLocation<IRKind>(t, node, pExport, recordRef); });
}

QUOR_EXPORT uint32_t quorGetNextIVPropertyLocation(SNodeCB_t *node, PExport *pExport,
                                                   IVPropertyRec_t **recordRef) {
    return traced(Fn::quorGetNextIVPropertyLocation,
                  [&](Trace &t) { return props::nextLocation<IVKind>(t, node, pExport, recordRef); });
}

QUOR_EXPORT uint32_t quorGetBaseRPropertyLocation(SNodeCB_t *node, RPropertyRec_t **recordOut) {
    return traced(Fn::quorGetBaseRPropertyLocation,
                  [&](Trace &t) { return props::baseLocation<props::BaseRKind>(t, node, recordOut); });
}

QUOR_EXPORT uint32_t quorGetBaseVPropertyLocation(SNodeCB_t *node, VPropertyRec_t **recordOut) {
    return traced(Fn::quorGetBaseVPropertyLocation,
                  [&](Trace &t) { return props::baseLocation<props::BaseVKind>(t, node, recordOut); });
}

QUOR_EXPORT uint32_t quorAddRPropertyToHashTable(SNodeCB_t *node, uint64_t number, int32_t value,
                                                 uint32_t inCriticalSection) {
    return traced(Fn::quorAddRPropertyToHashTable, [&](Trace &t) {
        return props::addToTable<RKind>(t, node, NewProperty{{number}, value}, inCriticalSection);
    });
}

QUOR_EXPORT uint32_t quorAddVPropertyToHashTable(SNodeCB_t *node, uint64_t number, uint64_t valueSize,
                                                 const void *value, uint32_t inCriticalSection) {
    return traced(Fn::quorAddVPropertyToHashTable, [&](Trace &t) {
        return props::addToTable<VKind>(t, node, NewProperty{{number}, 0, valueSize, value},
                                        inCriticalSection);
    });
}

QUOR_EXPORT uint32_t quorAddIRPropertyToHashTable(SNodeCB_t *node, uint64_t tag, uint64_t idLength,
                                                  const char *id, int32_t value, uint32_t inCriticalSection) {
    return traced(Fn::quorAddIRPropertyToHashTable, [&](Trace &t) {
        return props::addToTable<IRKind>(t, node, NewProperty{{tag, idLength, id}, value}, inCriticalSection);
    });
}

QUOR_EXPORT uint32_t quorAddIVPropertyToHashTable(SNodeCB_t *node, uint64_t tag, uint64_t idLength,
                                                  const char *id, uint64_t valueSize, const void *value,
                                                  uint32_t inCriticalSection) {
    return traced(Fn::quorAddIVPropertyToHashTable, [&](Trace &t) {
        return props::addToTable<IVKind>(t, node, NewProperty{{tag, idLength, id}, 0, valueSize, value},
                                         inCriticalSection);
    });
}

QUOR_EXPORT uint32_t quorFindRPropertyInHashTable(SNodeCB_t *node, uint64_t number,
                                                  RPropertyRec_t **recordOut) {
    return traced(Fn::quorFindRPropertyInHashTable,
                  [&](Trace &t) { return props::findInTable<RKind>(t, node, Key{number}, recordOut); });
}

QUOR_EXPORT uint32_t quorFindVPropertyInHashTable(SNodeCB_t *node, uint64_t number,
                                                  VPropertyRec_t **recordOut) {
    return traced(Fn::quorFindVPropertyInHashTable,
                  [&](Trace &t) { return props::findInTable<VKind>(t, node, Key{number}, recordOut); });
}

QUOR_EXPORT uint32_t quorFindIRPropertyInHashTable(SNodeCB_t *node, uint64_t tag, uint64_t idLength,
                                                   const char *id, IRPropertyRec_t **recordOut) {
    return traced(Fn::quorFindIRPropertyInHashTable, [&](Trace &t) {
        return props::findInTable<IRKind>(t, node, Key{tag, idLength, id}, recordOut);
    });
}

QUOR_EXPORT uint32_t quorFindIVPropertyInHashTable(SNodeCB_t *node, uint64_t tag, uint64_t idLength,
                                                   const char *id, IVPropertyRec_t **recordOut) {
    return traced(Fn::quorFindIVPropertyInHashTable, [&](Trace &t) {
        return props::findInTable<IVKind>(t, node, Key{tag, idLength, id}, recordOut);
    });
}

QUOR_EXPORT uint32_t quorDeleteRPropertyFromHashTable(SNodeCB_t *node, uint64_t number) {
    return traced(Fn::quorDeleteRPropertyFromHashTable,
                  [&](Trace &t) { return props::deleteFromTable<RKind>(t, node, Key{number}); });
}

QUOR_EXPORT uint32_t quorDeleteVPropertyFromHashTable(SNodeCB_t *node, uint64_t number) {
    return traced(Fn::quorDeleteVPropertyFromHashTable,
                  [&](Trace &t) { return props::deleteFromTable<VKind>(t, node, Key{number}); });
}

QUOR_EXPORT uint32_t quorDeleteIRPropertyFromHashTable(SNodeCB_t *node, uint64_t tag, uint64_t idLength,
                                                       const char *id) {
    return traced(Fn::quorDeleteIRPropertyFromHashTable, [&](Trace &t) {
        return props::deleteFromTable<IRKind>(t, node, Key{tag, idLength, id});
    });
}

QUOR_EXPORT uint32_t quorDeleteIVPropertyFromHashTable(SNodeCB_t *node, uint64_t tag, uint64_t idLength,
                                                       const char *id) {
    return traced(Fn::quorDeleteIVPropertyFromHashTable, [&](Trace &t) {
        return props::deleteFromTable<IVKind>(t, node, Key{tag, idLength, id});
    });
}
