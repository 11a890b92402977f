// Listing the properties of a node: the numbers (with value sizes) of the R and
// V kinds, the tags and IDs (with value sizes) of the IR and IV kinds, and the
// number (with value size) of the Base properties.
//
// Every entry handed out was checked first: a number or tag above the limit, an
// ID longer than the area's maximum or outside the area, a value offset outside
// the area or a value size outside 1..maximum ends the listing with a code.
// Entries not filled by a successful listing read 0 (the ID buffer is left as
// it is).
#include <cstring>

#include "frame/export.h"
#include "props/reading.h"

namespace quor::props {
namespace {

using tree::Access;

// The caller's output arrays and how far they are filled.
struct Listing {
    uint64_t *keys = nullptr;        // numbers or tags
    uint64_t *idLengths = nullptr;   // tagged kinds
    char *ids = nullptr;             // tagged kinds: ID i at ids + i * slot
    uint64_t *valueSizes = nullptr;  // byte-string kinds
    uint64_t capacity = 0;
    uint64_t slot = 0;
    uint64_t stored = 0;

    bool full() const { return stored >= capacity; }
    void fillRest() {
        for (uint64_t i = stored; i < capacity; ++i) {
            keys[i] = 0;
            if (idLengths != nullptr) idLengths[i] = 0;
            if (valueSizes != nullptr) valueSizes[i] = 0;
        }
    }
};

// Appends one record to the listing once its fields have passed their checks.
template <class K>
uint32_t emit(const PropertyArea<K> &area, typename K::Record &record, Listing &out) {
    const uint64_t i = out.stored, key = keyWord(record);
    if (key > QUOR_MAX_TAG) return QUOR_RC_SIZE_TOO_LARGE;
    if constexpr (K::tagged) {
        const uint64_t length = record.idLength;
        if (length > area.maxIdSize()) return QUOR_RC_ID_TOO_LONG;
        const char *id = area.idBytes(record, length);
        if (id == nullptr) return QUOR_RC_ID_OUT_OF_AREA;
        if (length != 0) std::memcpy(out.ids + i * out.slot, id, length);
        out.idLengths[i] = length;
    }
    if constexpr (K::bytesValue) {
        const uint64_t at = record.valueOffset, size = record.valueSize;
        if (at < area.offset() || at > area.end()) return readCodes<K>.valueOutOfArea;
        if (size == 0 || size > area.maxVSize()) return QUOR_RC_BAD_VALUE_SIZE;
        out.valueSizes[i] = size;
    }
    out.keys[i] = key;
    ++out.stored;
    return QUOR_RC_OK;
}

// Fills the listing from an opened table area: every live record (value 0) or
// those whose number or tag is `value`, in address order (flat) or bucket and
// chain order (hashed), up to the capacity.
template <class K>
uint32_t list(const PropertyArea<K> &area, uint64_t value, Listing &out) {
    using Record = typename K::Record;
    using LLNode = typename K::LLNode;
    const auto take = [&](Record &record, bool *stop) {
        if (value != 0 && keyWord(record) != value) return QUOR_RC_OK;
        if (uint32_t rc = emit(area, record, out); rc != 0) return rc;
        *stop = out.full();
        return QUOR_RC_OK;
    };
    if (!area.hashed()) {
        if (area.flatInUse() == 0) return K::codes.notInHashTable;
        FlatEnd end;
        return walkFlat(
            area, [&](uint64_t, Record &record, bool *stop) { return take(record, stop); }, [](uint64_t) {},
            &end);
    }
    uint32_t rc = QUOR_RC_OK;
    if (value == 0) {
        rc = walkSortedChains(area, [&](uint64_t, LLNode &ll, bool *stop) { return take(ll.record, stop); });
    } else if constexpr (K::tagged) {
        rc = walkTagChain(area, value, [&](LLNode &ll, bool *stop) { return take(ll.record, stop); });
    } else {
        Record *record = nullptr;
        if (rc = findHashed(area, Key{value}, &record); rc != 0) return rc;
        return emit(area, *record, out);
    }
    if (rc != 0) return rc;
    return out.stored == 0 ? K::codes.notInHashTable : QUOR_RC_OK;
}

// The null checks of a listing, in each kind's documented order: the untagged
// kinds check the capacity before their arrays, the tagged ones after them.
template <class K>
uint32_t checkListing(Trace &t, SNodeCB_t *node, const Listing &out) {
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    const bool badCapacity = out.capacity == 0 || out.capacity > QUOR_MAX_COUNT;
    if (!K::tagged && badCapacity) return t.failWith(11, K::codes.tooMany, out.capacity);
    if constexpr (K::tagged) {
        if (out.idLengths == nullptr) return t.failWith(12, QUOR_RC_NULL_ID_SIZES, 0);
        if (out.ids == nullptr) return t.failWith(13, QUOR_RC_NULL_ID, 0);
    }
    if (out.keys == nullptr) return t.failWith(14, QUOR_RC_NULL_NUMBERS, 0);
    if (K::bytesValue && out.valueSizes == nullptr) return t.failWith(15, QUOR_RC_NULL_VALUE_SIZES, 0);
    if (K::tagged && badCapacity) return t.failWith(11, K::codes.tooMany, out.capacity);
    return QUOR_RC_OK;
}

template <class K>
uint32_t enumerate(Fn fn, SNodeCB_t *node, Listing out, uint64_t value, uint32_t inCriticalSection) {
    return traced(fn, [&](Trace &t) {
        if (uint32_t rc = checkListing<K>(t, node, out); rc != 0) return rc;
        const auto checkValue = [&](const PropertyArea<K> &area) {
            if (value > QUOR_MAX_TAG) return t.failWith(20, QUOR_RC_SIZE_TOO_LARGE, value);
            if (K::tagged && out.slot != 0 && out.slot > area.maxIdSize())
                return t.failWith(21, QUOR_RC_ID_SLOT_TOO_LARGE, out.slot);
            return QUOR_RC_OK;
        };
        return inOpenedArea<K>(t, node, inCriticalSection, checkValue, [&](PropertyArea<K> &area) {
            if (uint32_t rc = checkReadableCondition(t, node); rc != 0) return rc;
            // The slot was checked against the header read before the section.
            if (uint32_t rc = checkValue(area); rc != 0) return rc;
            if (uint32_t rc = list(area, value, out); rc != 0) return t.fail(41, rc);
            out.fillRest();
            return QUOR_RC_OK;
        });
    });
}

// The Base property's number (and value size), checked as a listing entry.
template <class K>
uint32_t returnBase(Fn fn, SNodeCB_t *node, uint64_t *numberOut, uint64_t *valueSizeOut,
                    uint32_t inCriticalSection) {
    return traced(fn, [&](Trace &t) {
        if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
        if (numberOut == nullptr) return t.failWith(11, QUOR_RC_NULL_NUMBER_OUTPUT, 0);
        if (K::bytesValue && valueSizeOut == nullptr) return t.failWith(12, QUOR_RC_NULL_VALUE_SIZES, 0);
        return tree::inSection(t, 30, node, Access::Read, inCriticalSection, [&] {
            if (uint32_t rc = checkReadableCondition(t, node); rc != 0) return rc;
            PropertyArea<K> area;
            if (uint32_t rc = area.open(node); rc != 0) return t.fail(41, rc);
            typename K::Record *record = area.recordAt(K::header.flatSize);
            if (record == nullptr) return t.fail(42, K::codes.outOfArea);
            uint64_t number = 0, size = 0;
            Listing out{&number, nullptr, nullptr, &size, 1};
            if (uint32_t rc = emit(area, *record, out); rc != 0) return t.fail(43, rc);
            *numberOut = number;
            if constexpr (K::bytesValue) *valueSizeOut = size;
            return QUOR_RC_OK;
        });
    });
}

}  // namespace
}  // namespace quor::props

using namespace quor;
using namespace quor::props;

QUOR_EXPORT uint32_t quorReturnRProperties(SNodeCB_t *node, uint64_t *numbersOut, uint64_t number,
                                           uint64_t capacity, uint32_t inCriticalSection) {
    return enumerate<RKind>(Fn::quorReturnRProperties, node,
                            {numbersOut, nullptr, nullptr, nullptr, capacity}, number, inCriticalSection);
}

QUOR_EXPORT uint32_t quorReturnVProperties(SNodeCB_t *node, uint64_t *numbersOut, uint64_t *valueSizesOut,
                                           uint64_t number, uint64_t capacity, uint32_t inCriticalSection) {
    return enumerate<VKind>(Fn::quorReturnVProperties, node,
                            {numbersOut, nullptr, nullptr, valueSizesOut, capacity}, number,
                            inCriticalSection);
}

QUOR_EXPORT uint32_t quorReturnIRProperties(SNodeCB_t *node, uint64_t *tagsOut, uint64_t *idLengthsOut,
                                            char *idBuffer, uint64_t tag, uint64_t capacity,
                                            uint64_t idSlotSize, uint32_t inCriticalSection) {
    return enumerate<IRKind>(Fn::quorReturnIRProperties, node,
                             {tagsOut, idLengthsOut, idBuffer, nullptr, capacity, idSlotSize}, tag,
                             inCriticalSection);
}

QUOR_EXPORT uint32_t quorReturnIVProperties(SNodeCB_t *node, uint64_t *tagsOut, uint64_t *idLengthsOut,
                                            char *idBuffer, uint64_t *valueSizesOut, uint64_t tag,
                                            uint64_t capacity, uint64_t idSlotSize,
                                            uint32_t inCriticalSection) {
    return enumerate<IVKind>(Fn::quorReturnIVProperties, node,
                             {tagsOut, idLengthsOut, idBuffer, valueSizesOut, capacity, idSlotSize}, tag,
                             inCriticalSection);
}

QUOR_EXPORT uint32_t quorReturnBaseRProperty(SNodeCB_t *node, uint64_t *numberOut,
                                             uint32_t inCriticalSection) {
    return returnBase<BaseRKind>(Fn::quorReturnBaseRProperty, node, numberOut, nullptr, inCriticalSection);
}

QUOR_EXPORT uint32_t quorReturnBaseVProperty(SNodeCB_t *node, uint64_t *numberOut, uint64_t *valueSizeOut,
                                             uint32_t inCriticalSection) {
    return returnBase<BaseVKind>(Fn::quorReturnBaseVProperty, node, numberOut, valueSizeOut,
                                 inCriticalSection);
}
