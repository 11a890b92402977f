// Property list creation: formatting a kind's area flat or hashed with an
// initial set of properties, the two Base properties, and the common input
// check.
//
// Creation is the only writer of an area header. Calling it again reformats the
// area: earlier records become unreachable. Everything it checks is checked
// before the write section is entered, so a refused creation writes nothing; a
// failure while records are written leaves the header and the records written
// so far, counted, and a second creation repairs it.
#include <algorithm>
#include <cstring>
#include <type_traits>

#include "frame/export.h"
#include "props/creation.h"
#include "props/operations.h"
#include "tree/sizing.h"

namespace quor::props {
namespace {

// The arguments of a list creation; the arrays are the caller's.
struct ListInput {
    const uint64_t *keys = nullptr;  // numbers or tags
    const int32_t *values = nullptr;
    const uint64_t *idLengths = nullptr;
    const char *idBuffer = nullptr;
    uint64_t maxIdSize = 0;
    const void *valueBuffer = nullptr;
    const uint64_t *valueSizes = nullptr;
    uint64_t maxVSize = 0;
    uint64_t count = 0, expectedTags = 0, expectedIds = 0, maxCount = 0;
    uint32_t mode = QUOR_LIST_FLAT;
};

// The given entries in array order: IDs packed back to back, values at a stride
// of the rounded maxVSize.
template <class K>
class Entries {
public:
    explicit Entries(const ListInput &in) : in_(in), stride_(tree::round8(in.maxVSize)) {}

    // Runs fn(i, property) over the entries until it returns a code.
    template <class Fn>
    uint32_t each(Fn &&fn, uint64_t from = 0) const {
        uint64_t idAt = 0;
        for (uint64_t i = 0; i < in_.count; ++i) {
            const NewProperty p = entry(i, idAt);
            // A length beyond any maximum is refused when its entry is
            // checked; it must not throw the positions behind it off first.
            if constexpr (K::tagged) idAt += in_.idLengths[i] <= QUOR_MAX_ID_SIZE ? in_.idLengths[i] : 0;
            if (i < from) continue;
            if (uint32_t rc = fn(i, p); rc != 0) return rc;
        }
        return QUOR_RC_OK;
    }

private:
    NewProperty entry(uint64_t i, uint64_t idAt) const {
        NewProperty p;
        p.key.number = in_.keys[i];
        if constexpr (K::tagged) {
            p.key.idLength = in_.idLengths[i];
            p.key.id = in_.idBuffer + idAt;
        }
        if constexpr (K::bytesValue) {
            p.valueSize = in_.valueSizes[i];
            p.bytes = static_cast<const unsigned char *>(in_.valueBuffer) + i * stride_;
        } else {
            p.value = in_.values[i];
        }
        return p;
    }

    const ListInput &in_;
    uint64_t stride_;
};

// The argument checks of a list creation that need no area, in their order:
// count limits, maxima, then the arrays a non-empty list needs.
template <class K>
uint32_t checkListArguments(Trace &t, const ListInput &in) {
    const bool given = in.count != 0;
    // R bounds its counts only when it is given entries; V its count always and
    // its maxCount with entries; the tagged kinds their count always and their
    // maxCount when it sizes a table.
    const bool countBound = given || !std::is_same_v<K, RKind>;
    const bool maxCountBound = K::tagged ? in.mode == QUOR_LIST_HASHED : given;
    if (countBound && in.count > QUOR_MAX_COUNT) return t.failWith(20, K::codes.tooMany, in.count);
    if (maxCountBound && in.maxCount > QUOR_MAX_COUNT) return t.failWith(21, K::codes.tooMany, in.maxCount);
    if constexpr (K::tagged) {
        if (in.maxIdSize > QUOR_MAX_ID_SIZE) return t.failWith(30, QUOR_RC_BAD_MAX_ID_SIZE, in.maxIdSize);
    }
    if constexpr (K::bytesValue) {
        if (checkMaxVSize(in.maxVSize) != 0) return t.failWith(31, QUOR_RC_BAD_MAX_V_SIZE, in.maxVSize);
    }
    if (!given) return QUOR_RC_OK;
    if (in.keys == nullptr) return t.failWith(40, QUOR_RC_NULL_NUMBERS, 0);
    if constexpr (!K::bytesValue) {
        if (in.values == nullptr) return t.failWith(41, QUOR_RC_NULL_VALUES, 0);
    } else {
        if (in.valueSizes == nullptr) return t.failWith(42, QUOR_RC_NULL_VALUE_SIZES, 0);
        if (in.valueBuffer == nullptr) return t.failWith(43, QUOR_RC_NULL_VALUE_BUFFER, 0);
    }
    if constexpr (K::tagged) {
        if (in.idLengths == nullptr) return t.failWith(44, QUOR_RC_NULL_ID_SIZES, 0);
        if (in.idBuffer == nullptr) return t.failWith(45, QUOR_RC_NULL_ID, 0);
    }
    return QUOR_RC_OK;
}

// Whether two given entries carry the same key (free entries, key 0, never do).
// IDs longer than the maximum are not read: their entries are refused anyway.
template <class K>
bool sameKey(const NewProperty &a, const NewProperty &b, uint64_t maxIdSize) {
    if (a.key.number == 0 || a.key.number != b.key.number) return false;
    if constexpr (K::tagged) {
        if (a.key.idLength > maxIdSize || b.key.idLength > maxIdSize) return false;
        return tree::compareTagId(a.key.number, a.key.id, a.key.idLength, b.key.number, b.key.id,
                                  b.key.idLength) == 0;
    }
    return true;
}

// The entry checks of a flat list, in array order, the duplicate test of an
// entry first.
template <class K>
uint32_t checkFlatEntries(Trace &t, const Entries<K> &entries, uint64_t maxIdSize, uint64_t maxVSize) {
    return entries.each([&](uint64_t i, const NewProperty &p) {
        const uint32_t dup = entries.each(
            [&](uint64_t, const NewProperty &later) {
                return sameKey<K>(p, later, maxIdSize) ? K::codes.duplicate : 0u;
            },
            i + 1);
        if (dup != 0) return t.failWith(60, dup, i);
        if (p.key.number > QUOR_MAX_TAG) return t.failWith(61, QUOR_RC_SIZE_TOO_LARGE, i);
        if constexpr (K::tagged) {
            if (p.key.idLength > maxIdSize) return t.failWith(62, QUOR_RC_ID_TOO_LONG, i);
        }
        if constexpr (K::bytesValue) {
            if (checkValueSize(p.valueSize, maxVSize) != 0) return t.failWith(63, QUOR_RC_BAD_VALUE_SIZE, i);
        }
        return QUOR_RC_OK;
    });
}

// The table sizes of a hashed list: the (tag+ID) table from maxCount, and for
// the tagged kinds the tag and ID tables from the expected counts.
template <class K>
uint32_t tableSizes(Trace &t, const ListInput &in, uint64_t sizes[3]) {
    // No prime at or above the request fits once the request itself does not.
    if (in.maxCount > QUOR_MAX_HT_SIZE)
        return t.failWith(69, QUOR_RC_HASH_TABLE_SIZE_OUT_OF_RANGE, in.maxCount);
    sizes[0] = tree::primeAtLeast(in.maxCount);
    sizes[1] = sizes[2] = 0;
    if constexpr (K::tagged) {
        if (in.expectedTags > QUOR_MAX_TABLE_REQUEST)
            return t.failWith(70, QUOR_RC_TAG_TABLE_SIZE_TOO_LARGE, in.expectedTags);
        if (in.expectedIds > QUOR_MAX_TABLE_REQUEST)
            return t.failWith(71, QUOR_RC_ID_TABLE_SIZE_TOO_LARGE, in.expectedIds);
        sizes[1] = tree::primeAtLeast(in.expectedTags);
        sizes[2] = tree::primeAtLeast(in.expectedIds);
    }
    for (unsigned i = 0; i < 3; ++i) {
        if (sizes[i] > QUOR_MAX_HT_SIZE)
            return t.failWith(72 + i, QUOR_RC_HASH_TABLE_SIZE_OUT_OF_RANGE, sizes[i]);
    }
    if (sizes[0] < in.count) return t.failWith(75, QUOR_RC_TABLE_SMALLER_THAN_COUNT, sizes[0]);
    return QUOR_RC_OK;
}

// Writes the header words the kind has: maxima and the table sizes (all zero
// for a flat area), then reopens the view on what was written. A header the
// area can not hold (too small, or misplaced off the word grid by a corrupt
// directory) gives K::codes.outOfArea and nothing is written.
template <class K>
uint32_t writeHeader(PropertyArea<K> &area, const Maxima &maxima, const uint64_t sizes[3], bool hashed) {
    constexpr HeaderLayout h = K::header;
    uint64_t *words = area.area().template at<uint64_t>(0, (hashed ? h.hashedSize : h.flatSize) / 8);
    if (words == nullptr) return K::codes.outOfArea;
    if constexpr (h.maxIdAt != kNoWord) words[h.maxIdAt / 8] = maxima.maxIdSize;
    if constexpr (h.maxVAt != kNoWord) words[h.maxVAt / 8] = maxima.maxVSize;
    if constexpr (h.tableAt != kNoWord) {
        words[h.tableAt / 8] = hashed ? sizes[0] : 0;
        if (hashed && K::tables == 3) {
            words[h.tableAt / 8 + 1] = sizes[1];
            words[h.tableAt / 8 + 2] = sizes[2];
        }
    }
    return area.open(area.node());
}

// An empty flat slot: key 0 and the kind's resting contents.
template <class K>
uint32_t clearRecord(const PropertyArea<K> &area, typename K::Record &record) {
    SNodeCB_t *node = area.node();
    if constexpr (K::tagged || K::bytesValue) {
        if (uint32_t rc = tree::initializeLatches(node, &record.latches, node->nodeLatch.latchEyecatcher);
            rc != 0)
            return rc;
    }
    keyWord(record) = 0;
    record.rc = 0;
    if constexpr (!K::bytesValue) {
        if (hostAtomicInit(record.value, 0, 1) != 0) return QUOR_RC_ATOMIC_FAILED;
    } else if constexpr (!K::tagged) {
        constexpr uint64_t kRestingSize = 8;
        uint64_t at = 0;
        unsigned char *value = area.valueBytes(record, kRestingSize);
        if (value == nullptr || !area.nodeOffsetOf(&record, &at)) return K::codes.outOfArea;
        record.valueOffset = at + valueAt<K>(0);
        record.valueSize = kRestingSize;
        std::memset(value, 0, kRestingSize);
    }
    return QUOR_RC_OK;
}

template <class K>
uint32_t formatHashed(Trace &t, PropertyArea<K> &area, const Entries<K> &entries, const Maxima &maxima,
                      const uint64_t sizes[3]) {
    // The stack's two words sit on the word grid only when the area size does.
    if (area.freedCountWord() == nullptr || area.nextFreeWord() == nullptr)
        return t.fail(99, K::codes.outOfArea);
    if (uint32_t rc = writeHeader(area, maxima, sizes, true); rc != 0) return t.fail(100, rc);
    uint64_t *buckets = area.area().template at<uint64_t>(K::header.hashedSize, area.bucketCount());
    if (buckets == nullptr) return t.fail(101, K::codes.outOfArea);
    std::fill(buckets, buckets + area.bucketCount(), uint64_t{0});
    *area.freedCountWord() = 0;
    *area.nextFreeWord() = area.llStart();
    area.setUsed(area.llStart() - area.offset() + kStackWords);
    SNodeCB_t *node = area.node();
    return entries.each([&](uint64_t, const NewProperty &p) {
        return traced(FunctionsOf<K>::fn.addToTable,
                      [&](Trace &inner) { return addToTable<K>(inner, node, p, 1); });
    });
}

template <class K>
uint32_t formatFlat(Trace &t, PropertyArea<K> &area, const Entries<K> &entries, const ListInput &in,
                    const Maxima &maxima) {
    const uint64_t none[3] = {0, 0, 0};
    if (uint32_t rc = writeHeader(area, maxima, none, false); rc != 0) return t.fail(110, rc);
    area.setUsed(K::header.flatSize);
    uint32_t rc = entries.each([&](uint64_t i, const NewProperty &p) {
        typename K::Record *record = area.flatRecord(i);
        if (record == nullptr) return t.failWith(120, K::codes.outOfArea, i);
        if (uint32_t rc = fillRecord(area, *record, p); rc != 0) return t.fail(121, rc);
        if (uint32_t rc = countChange(area.node()); rc != 0) return t.fail(122, rc);
        if (p.key.number != 0) area.setUsed(area.used() + area.recordSize());
        return QUOR_RC_OK;
    });
    // Empty slots are laid down behind given entries only: an empty list is a
    // header alone.
    for (uint64_t i = in.count; rc == 0 && in.count != 0 && i < in.maxCount; ++i) {
        typename K::Record *record = area.flatRecord(i);
        if (record == nullptr) return t.failWith(130, K::codes.outOfArea, i);
        if ((rc = clearRecord(area, *record)) != 0) return t.fail(131, rc);
    }
    return rc;
}

template <class K>
uint32_t createList(Trace &t, SNodeCB_t *node, const ListInput &in, uint32_t inCriticalSection) {
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if ((node->areaFlags & K::bit) == 0) return t.failWith(11, K::codes.noArea, node->areaFlags);
    if (uint32_t rc = checkListArguments<K>(t, in); rc != 0) return rc;
    const Maxima maxima{K::tagged ? tree::round8(in.maxIdSize) : 0,
                        K::bytesValue ? tree::round8(in.maxVSize) : 0};
    PropertyArea<K> area;
    if (uint32_t rc = area.openUnformatted(node); rc != 0) return t.fail(50, rc);
    const Entries<K> entries(in);
    const uint64_t stride = recordSize<K>(maxima.maxIdSize, maxima.maxVSize);
    uint64_t sizes[3] = {0, 0, 0};
    if (in.mode == QUOR_LIST_HASHED) {
        if (uint32_t rc = tableSizes<K>(t, in, sizes); rc != 0) return rc;
        const uint64_t buckets = sizes[0] + sizes[1] + sizes[2];
        if (area.size() < hashedRoom<K>(sizes[0], buckets, maxima.maxIdSize, maxima.maxVSize))
            return t.failWith(80, K::codes.tableAreaTooSmall, area.size());
    } else if (in.mode == QUOR_LIST_FLAT) {
        const uint64_t h = K::header.flatSize;
        if (area.size() < h || (area.size() - h) / stride < in.count)
            return t.failWith(90, K::codes.areaTooSmall, area.size());
        if (uint32_t rc = checkFlatEntries(t, entries, maxima.maxIdSize, maxima.maxVSize); rc != 0) return rc;
    } else {
        return t.failWith(95, QUOR_RC_BAD_HASH_MODE, in.mode);
    }
    return tree::inSection(t, 96, node, tree::Access::Write, inCriticalSection, [&] {
        const uint32_t condition = node->NodeCondition;
        if (uint32_t rc = tree::checkCondition(condition, QUOR_COND_MASK_ACCESSORS); rc != 0)
            return t.failWith(97, rc, condition);
        if (uint32_t rc = area.openUnformatted(node); rc != 0) return t.fail(98, rc);
        return in.mode == QUOR_LIST_HASHED ? formatHashed(t, area, entries, maxima, sizes)
                                           : formatFlat(t, area, entries, in, maxima);
    });
}

// The Base properties: one record, made again by every creation.
template <class K>
uint32_t createBase(Trace &t, SNodeCB_t *node, const NewProperty &p, uint64_t maxVSize,
                    uint32_t inCriticalSection) {
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if constexpr (K::bytesValue) {
        if (p.bytes == nullptr) return t.failWith(11, QUOR_RC_NULL_BASEV_VALUE, 0);
    }
    if ((node->areaFlags & K::bit) == 0) return t.failWith(12, K::codes.noArea, node->areaFlags);
    Maxima maxima;
    if constexpr (K::bytesValue) {
        if (p.key.number > QUOR_MAX_TAG) return t.failWith(13, QUOR_RC_SIZE_TOO_LARGE, p.key.number);
        if (checkMaxVSize(maxVSize) != 0) return t.failWith(14, QUOR_RC_BAD_MAX_V_SIZE, maxVSize);
        maxima.maxVSize = tree::round8(maxVSize);
        if (checkValueSize(p.valueSize, maxima.maxVSize) != 0)
            return t.failWith(15, QUOR_RC_BAD_VALUE_SIZE, p.valueSize);
    }
    PropertyArea<K> area;
    if (uint32_t rc = area.openUnformatted(node); rc != 0) return t.fail(20, rc);
    const uint64_t room = K::header.flatSize + recordSize<K>(0, maxima.maxVSize);
    if (area.size() < room) return t.failWith(21, K::codes.areaTooSmall, area.size());
    if (area.area().template at<unsigned char>(K::header.flatSize, 0) == nullptr)
        return t.fail(22, K::codes.outOfArea);
    if constexpr (!K::bytesValue) {
        if (p.key.number > QUOR_MAX_TAG) return t.failWith(23, QUOR_RC_SIZE_TOO_LARGE, p.key.number);
    }
    return tree::inSection(t, 30, node, tree::Access::Write, inCriticalSection, [&] {
        const uint32_t condition = node->NodeCondition;
        if (uint32_t rc = tree::checkCondition(condition, QUOR_COND_MASK_ACCESSORS); rc != 0)
            return t.failWith(31, rc, condition);
        if (uint32_t rc = area.openUnformatted(node); rc != 0) return t.fail(32, rc);
        // A record made again is unpublished while it is rewritten: a kill
        // leaves it empty, never half the old and half the new one.
        if (area.area().record()->usedSize != 0) ordered(&area.area().record()->usedSize, 0);
        const uint64_t none[3] = {0, 0, 0};
        if (uint32_t rc = writeHeader(area, maxima, none, false); rc != 0) return t.fail(33, rc);
        typename K::Record *record = area.recordAt(K::header.flatSize);
        if (record == nullptr) return t.fail(34, K::codes.outOfArea);
        if (uint32_t rc = fillRecord(area, *record, p); rc != 0) return t.fail(35, rc);
        area.setUsed(room);
        const uint32_t rc = countChange(node);
        return rc != 0 ? t.fail(36, rc) : rc;
    });
}

// The exported input check: outputs are tested where the kind reports them.
uint32_t checkInputParameters(Trace &t, uint32_t kind, SNodeCB_t *node, const Key &key, uint64_t valueSize,
                              uint64_t *maxIdOut, uint64_t *maxVOut) {
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (key.number > QUOR_MAX_TAG) return t.failWith(20, QUOR_RC_SIZE_TOO_LARGE, key.number);
    auto run = [&]<class K>(uint32_t nullId, uint32_t nullV) {
        if (K::tagged && maxIdOut == nullptr) return t.failWith(30, nullId, 0);
        if (K::bytesValue && maxVOut == nullptr) return t.failWith(31, nullV, 0);
        Maxima maxima;
        if (uint32_t rc = checkInput<K>(t, node, key, valueSize, &maxima); rc != 0) return rc;
        if (K::tagged) *maxIdOut = maxima.maxIdSize;
        if (K::bytesValue) *maxVOut = maxima.maxVSize;
        return QUOR_RC_OK;
    };
    switch (kind) {
        case QUOR_KIND_R:
        case QUOR_KIND_BASER:
            return QUOR_RC_OK;
        case QUOR_KIND_IR:
            return run.operator()<IRKind>(QUOR_RC_NULL_MAX_ID_OUT, 0);
        case QUOR_KIND_V:
            return run.operator()<VKind>(0, QUOR_RC_NULL_MAX_V_OUT);
        case QUOR_KIND_BASEV:
            return run.operator()<BaseVKind>(0, QUOR_RC_NULL_MAX_V_OUT);
        case QUOR_KIND_IV:
            return run.operator()<IVKind>(QUOR_RC_NULL_IV_MAX_ID_OUT, QUOR_RC_NULL_IV_MAX_V_OUT);
        default:
            return t.failWith(40, QUOR_RC_BAD_PROPERTY_KIND, kind);
    }
}

}  // namespace

template <class K>
uint32_t createEmptyList(SNodeCB_t *node, const ListShape &shape, uint32_t inCriticalSection) {
    return traced(FunctionsOf<K>::fn.createList, [&](Trace &t) {
        return createList<K>(t, node,
                             {.maxIdSize = shape.maxIdSize,
                              .maxVSize = shape.maxVSize,
                              .expectedTags = shape.expectedTags,
                              .expectedIds = shape.expectedIds,
                              .maxCount = shape.maxCount,
                              .mode = shape.mode},
                             inCriticalSection);
    });
}
template uint32_t createEmptyList<RKind>(SNodeCB_t *, const ListShape &, uint32_t);
template uint32_t createEmptyList<VKind>(SNodeCB_t *, const ListShape &, uint32_t);
template uint32_t createEmptyList<IRKind>(SNodeCB_t *, const ListShape &, uint32_t);
template uint32_t createEmptyList<IVKind>(SNodeCB_t *, const ListShape &, uint32_t);

template <class K>
uint32_t createBaseProperty(SNodeCB_t *node, const NewProperty &p, uint64_t maxVSize,
                            uint32_t inCriticalSection) {
    constexpr Fn fn = K::bytesValue ? Fn::quorCreateBaseVProperty : Fn::quorCreateBaseRProperty;
    return traced(fn, [&](Trace &t) { return createBase<K>(t, node, p, maxVSize, inCriticalSection); });
}
template uint32_t createBaseProperty<BaseRKind>(SNodeCB_t *, const NewProperty &, uint64_t, uint32_t);
template uint32_t createBaseProperty<BaseVKind>(SNodeCB_t *, const NewProperty &, uint64_t, uint32_t);

}  // namespace quor::props

using namespace quor;
using props::IRKind, props::IVKind, props::NewProperty, props::RKind, props::VKind;

QUOR_EXPORT uint32_t quorCheckInputParameters(uint32_t kind, SNodeCB_t *node, uint64_t number,
                                              uint64_t idLength, const char *id, uint64_t valueSize,
                                              uint64_t *maxIdSizeOut, uint64_t *maxVSizeOut) {
    return traced(Fn::quorCheckInputParameters, [&](Trace &t) {
        return props::checkInputParameters(t, kind, node, props::Key{number, idLength, id}, valueSize,
                                           maxIdSizeOut, maxVSizeOut);
    });
}

QUOR_EXPORT uint32_t quorCreateRPropertyList(SNodeCB_t *node, const uint64_t *numbers, const int32_t *values,
                                             uint64_t count, uint64_t maxCount, uint32_t mode,
                                             uint32_t inCriticalSection) {
    return traced(Fn::quorCreateRPropertyList, [&](Trace &t) {
        return props::createList<RKind>(
            t, node, {.keys = numbers, .values = values, .count = count, .maxCount = maxCount, .mode = mode},
            inCriticalSection);
    });
}

QUOR_EXPORT uint32_t quorCreateVPropertyList(SNodeCB_t *node, const uint64_t *numbers,
                                             const void *valueBuffer, const uint64_t *valueSizes,
                                             uint64_t maxVSize, uint64_t count, uint64_t maxCount,
                                             uint32_t mode, uint32_t inCriticalSection) {
    return traced(Fn::quorCreateVPropertyList, [&](Trace &t) {
        return props::createList<VKind>(t, node,
                                        {.keys = numbers,
                                         .valueBuffer = valueBuffer,
                                         .valueSizes = valueSizes,
                                         .maxVSize = maxVSize,
                                         .count = count,
                                         .maxCount = maxCount,
                                         .mode = mode},
                                        inCriticalSection);
    });
}

QUOR_EXPORT uint32_t quorCreateIRPropertyList(SNodeCB_t *node, const uint64_t *tags, const int32_t *values,
                                              const uint64_t *idLengths, const char *idBuffer,
                                              uint64_t maxIdSize, uint64_t count, uint64_t expectedTags,
                                              uint64_t expectedIds, uint64_t maxCount, uint32_t mode,
                                              uint32_t inCriticalSection) {
    return traced(Fn::quorCreateIRPropertyList, [&](Trace &t) {
        return props::createList<IRKind>(t, node,
                                         {.keys = tags,
                                          .values = values,
                                          .idLengths = idLengths,
                                          .idBuffer = idBuffer,
                                          .maxIdSize = maxIdSize,
                                          .count = count,
                                          .expectedTags = expectedTags,
                                          .expectedIds = expectedIds,
                                          .maxCount = maxCount,
                                          .mode = mode},
                                         inCriticalSection);
    });
}

QUOR_EXPORT uint32_t quorCreateIVPropertyList(SNodeCB_t *node, const uint64_t *tags,
                                              const uint64_t *idLengths, const char *idBuffer,
                                              uint64_t maxIdSize, const void *valueBuffer,
                                              const uint64_t *valueSizes, uint64_t maxVSize, uint64_t count,
                                              uint64_t expectedTags, uint64_t expectedIds, uint64_t maxCount,
                                              uint32_t mode, uint32_t inCriticalSection) {
    return traced(Fn::quorCreateIVPropertyList, [&](Trace &t) {
        return props::createList<IVKind>(t, node,
                                         {.keys = tags,
                                          .idLengths = idLengths,
                                          .idBuffer = idBuffer,
                                          .maxIdSize = maxIdSize,
                                          .valueBuffer = valueBuffer,
                                          .valueSizes = valueSizes,
                                          .maxVSize = maxVSize,
                                          .count = count,
                                          .expectedTags = expectedTags,
                                          .expectedIds = expectedIds,
                                          .maxCount = maxCount,
                                          .mode = mode},
                                         inCriticalSection);
    });
}

QUOR_EXPORT uint32_t quorCreateBaseRProperty(SNodeCB_t *node, uint64_t number, int32_t value,
                                             uint32_t inCriticalSection) {
    return props::createBaseProperty<props::BaseRKind>(node, NewProperty{{number}, value}, 0,
                                                       inCriticalSection);
}

QUOR_EXPORT uint32_t quorCreateBaseVProperty(SNodeCB_t *node, uint64_t number, const void *value,
                                             uint64_t valueSize, uint64_t maxVSize,
                                             uint32_t inCriticalSection) {
    return props::createBaseProperty<props::BaseVKind>(node, NewProperty{{number}, 0, valueSize, value},
                                                       maxVSize, inCriticalSection);
}
