// Counting the properties of a node: all of a kind with the area's room, those
// of one number or tag, and the checked count that combines the two.
#include "frame/export.h"
#include "props/reading.h"

namespace quor::props {
namespace {

using tree::Access;

// The live properties of an opened table area and its room: flat areas by
// their record stride, hashed ones by their LL node size once header, buckets
// and memory stack are taken off.
template <class K>
uint32_t countAll(PropertyArea<K> &area, uint64_t *count, uint64_t *capacity) {
    if (!area.hashed()) {
        *count = area.flatInUse();
        *capacity = area.flatCapacity();
        return QUOR_RC_OK;
    }
    MemoryStack<K> stack(area);
    if (uint32_t rc = stack.read(); rc != 0) return rc;
    const uint64_t fixed = K::header.hashedSize + 8 * area.bucketCount() + stack.size();
    const uint64_t node = area.llNodeSize();
    *count = area.used() < fixed ? 0 : (area.used() - fixed) / node;
    *capacity = area.size() < fixed ? 0 : (area.size() - fixed) / node;
    return QUOR_RC_OK;
}

// The live properties of an opened table area whose number or tag is `value`:
// flat areas by a walk of their live records; hashed R and V areas by a search
// (a number they do not hold gives their not-in-table code); hashed IR and IV
// areas by a walk of the tag's chain.
template <class K>
uint32_t countKey(const PropertyArea<K> &area, uint64_t value, uint64_t *count) {
    *count = 0;
    if (!area.hashed()) {
        FlatEnd end;
        return walkFlat(
            area,
            [&](uint64_t, typename K::Record &record, bool *) {
                if (keyWord(record) == value) ++*count;
                return QUOR_RC_OK;
            },
            [](uint64_t) {}, &end);
    }
    if constexpr (K::tagged) {
        return walkTagChain(area, value, [&](typename K::LLNode &ll, bool *) {
            const uint64_t tag = ll.record.tag;
            if (tag > QUOR_MAX_TAG) return QUOR_RC_SIZE_TOO_LARGE;
            if (tag == value) ++*count;
            return QUOR_RC_OK;
        });
    } else {
        typename K::Record *record = nullptr;
        if (uint32_t rc = findHashed(area, Key{value}, &record); rc != 0) return rc;
        *count = 1;
        return QUOR_RC_OK;
    }
}

// The check of a number or tag to count by: the kind's input check, with an
// empty ID for the tagged kinds, which count by tag alone.
template <class K>
uint32_t checkCountKey(Trace &t, SNodeCB_t *node, uint64_t value) {
    Maxima maxima;
    return checkInput<K>(t, node, Key{value, 0, ""}, 1, &maxima);
}

template <class K>
uint32_t numberOf(Fn fn, SNodeCB_t *node, uint64_t *countOut, uint64_t *capacityOut,
                  uint32_t inCriticalSection) {
    return traced(fn, [&](Trace &t) {
        if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
        if (countOut == nullptr) return t.failWith(11, readCodes<K>.nullCountOut, 0);
        if (capacityOut == nullptr) return t.failWith(12, readCodes<K>.nullCapacityOut, 0);
        return inOpenedArea<K>(
            t, node, inCriticalSection, [](const PropertyArea<K> &) { return QUOR_RC_OK; },
            [&](PropertyArea<K> &area) {
                if (uint32_t rc = countAll(area, countOut, capacityOut); rc != 0) return t.fail(40, rc);
                return QUOR_RC_OK;
            });
    });
}

template <class K>
uint32_t numberWithKey(Fn fn, SNodeCB_t *node, uint64_t value, uint64_t *countOut,
                       uint32_t inCriticalSection) {
    return traced(fn, [&](Trace &t) {
        if (uint32_t rc = checkCountKey<K>(t, node, value); rc != 0) return rc;
        if (countOut == nullptr) return t.failWith(10, readCodes<K>.nullCountOut, 0);
        *countOut = 0;
        return tree::inSection(t, 30, node, Access::Read, inCriticalSection, [&] {
            PropertyArea<K> area;
            if (uint32_t rc = area.open(node); rc != 0) return t.fail(31, rc);
            // A hashed R or V area reports a number it does not hold with its
            // not-in-table code, and the count 0.
            if (uint32_t rc = countKey(area, value, countOut); rc != 0) return t.fail(40, rc);
            return QUOR_RC_OK;
        });
    });
}

template <class K>
uint32_t checkedCount(Fn fn, SNodeCB_t *node, uint64_t value, uint64_t *countOut,
                      uint32_t inCriticalSection) {
    return traced(fn, [&](Trace &t) {
        if (uint32_t rc = checkCountKey<K>(t, node, value); rc != 0) return rc;
        if (countOut == nullptr) return t.failWith(10, QUOR_RC_NULL_COUNT_ARG, 0);
        return tree::inSection(t, 30, node, Access::Read, inCriticalSection, [&] {
            if (uint32_t rc = checkReadableCondition(t, node); rc != 0) return rc;
            PropertyArea<K> area;
            if (uint32_t rc = area.open(node); rc != 0) return t.fail(31, rc);
            uint64_t count = 0, capacity = 0;
            const uint32_t rc =
                value == 0 ? countAll(area, &count, &capacity) : countKey(area, value, &count);
            *countOut = count;
            if (rc != 0) return t.fail(40, rc);
            if (count > QUOR_MAX_COUNT) return t.failWith(41, K::codes.tooMany, count);
            return QUOR_RC_OK;
        });
    });
}

}  // namespace
}  // namespace quor::props

using namespace quor;
using namespace quor::props;

QUOR_EXPORT uint32_t quorGetNumberOfRProperties(SNodeCB_t *node, uint64_t *countOut, uint64_t *capacityOut,
                                                uint32_t inCriticalSection) {
    return numberOf<RKind>(Fn::quorGetNumberOfRProperties, node, countOut, capacityOut, inCriticalSection);
}

QUOR_EXPORT uint32_t quorGetNumberOfVProperties(SNodeCB_t *node, uint64_t *countOut, uint64_t *capacityOut,
                                                uint32_t inCriticalSection) {
    return numberOf<VKind>(Fn::quorGetNumberOfVProperties, node, countOut, capacityOut, inCriticalSection);
}

QUOR_EXPORT uint32_t quorGetNumberOfIRProperties(SNodeCB_t *node, uint64_t *countOut, uint64_t *capacityOut,
                                                 uint32_t inCriticalSection) {
    return numberOf<IRKind>(Fn::quorGetNumberOfIRProperties, node, countOut, capacityOut, inCriticalSection);
}

QUOR_EXPORT uint32_t quorGetNumberOfIVProperties(SNodeCB_t *node, uint64_t *countOut, uint64_t *capacityOut,
                                                 uint32_t inCriticalSection) {
    return numberOf<IVKind>(Fn::quorGetNumberOfIVProperties, node, countOut, capacityOut, inCriticalSection);
}

QUOR_EXPORT uint32_t quorGetRPropertiesNoForGivenTag(SNodeCB_t *node, uint64_t number, uint64_t *countOut,
                                                     uint32_t inCriticalSection) {
    return numberWithKey<RKind>(Fn::quorGetRPropertiesNoForGivenTag, node, number, countOut,
                                inCriticalSection);
}

QUOR_EXPORT uint32_t quorGetVPropertiesNoForGivenTag(SNodeCB_t *node, uint64_t number, uint64_t *countOut,
                                                     uint32_t inCriticalSection) {
    return numberWithKey<VKind>(Fn::quorGetVPropertiesNoForGivenTag, node, number, countOut,
                                inCriticalSection);
}

QUOR_EXPORT uint32_t quorGetIRPropertiesNoForGivenTag(SNodeCB_t *node, uint64_t tag, uint64_t *countOut,
                                                      uint32_t inCriticalSection) {
    return numberWithKey<IRKind>(Fn::quorGetIRPropertiesNoForGivenTag, node, tag, countOut,
                                 inCriticalSection);
}

QUOR_EXPORT uint32_t quorGetIVPropertiesNoForGivenTag(SNodeCB_t *node, uint64_t tag, uint64_t *countOut,
                                                      uint32_t inCriticalSection) {
    return numberWithKey<IVKind>(Fn::quorGetIVPropertiesNoForGivenTag, node, tag, countOut,
                                 inCriticalSection);
}

QUOR_EXPORT uint32_t quorReturnRPropertyCount(SNodeCB_t *node, uint64_t number, uint64_t *countOut,
                                              uint32_t inCriticalSection) {
    return checkedCount<RKind>(Fn::quorReturnRPropertyCount, node, number, countOut, inCriticalSection);
}

QUOR_EXPORT uint32_t quorReturnVPropertyCount(SNodeCB_t *node, uint64_t number, uint64_t *countOut,
                                              uint32_t inCriticalSection) {
    return checkedCount<VKind>(Fn::quorReturnVPropertyCount, node, number, countOut, inCriticalSection);
}

QUOR_EXPORT uint32_t quorReturnIRPropertyCount(SNodeCB_t *node, uint64_t tag, uint64_t *countOut,
                                               uint32_t inCriticalSection) {
    return checkedCount<IRKind>(Fn::quorReturnIRPropertyCount, node, tag, countOut, inCriticalSection);
}

QUOR_EXPORT uint32_t quorReturnIVPropertyCount(SNodeCB_t *node, uint64_t tag, uint64_t *countOut,
                                               uint32_t inCriticalSection) {
    return checkedCount<IVKind>(Fn::quorReturnIVPropertyCount, node, tag, countOut, inCriticalSection);
}
