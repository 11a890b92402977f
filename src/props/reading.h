// What the value, count and enumeration operations share: the codes they add to
// the kinds', and the steps by which they reach a record.
//
// Rules these operations keep:
//  1. A keyed operation checks its input and its own outputs in the documented
//     order, then the node's condition (mask 0x28), the area and the record.
//     The value operations run the checks that need the area's header inside
//     their section, on the area they then work in (one open, and what was
//     checked is what is used); the others check their input before it.
//  2. A record address handed in by a caller is used only once it is known to
//     lie, rooms included, wholly inside the kind's area, on a record boundary
//     there, and to name a record in use; the value room is always the
//     record's own (record + its fixed offset), never a stored offset.
//  3. Byte values are copied only within the record's value room and only for
//     a stored size of 1..room; a stored size outside that is corrupt and
//     refused with QUOR_RC_BAD_VALUE_SIZE.
//  4. Nothing here changes membership: the ReconfigCounter is never touched.
#pragma once

#include <cstdint>

#include "frame/trace.h"
#include "props/locate.h"
#include "props/table.h"
#include "tree/access.h"
#include "tree/records.h"

namespace quor::props {

// The codes of the value, count and enumeration operations, per kind (0 where
// the kind has no such failure).
struct ReadCodes {
    uint32_t nullRecord;       // null record address of a value-and-RC operation
    uint32_t nullValueOut;     // null value output of a 32-bit read
    uint32_t nullValueBytes;   // null value bytes of a byte write
    uint32_t valueOutOfArea;   // a stored value offset outside the area
    uint32_t nullCountOut;     // null count output of a count
    uint32_t nullCapacityOut;  // null capacity output of a count
};

template <class K>
inline constexpr ReadCodes readCodes{};
template <>
inline constexpr ReadCodes readCodes<RKind>{QUOR_RC_NULL_R_RECORD,    QUOR_RC_NULL_R_VALUE_OUT,   0, 0,
                                            QUOR_RC_NULL_R_COUNT_OUT, QUOR_RC_NULL_R_CAPACITY_OUT};
template <>
inline constexpr ReadCodes readCodes<VKind>{QUOR_RC_NULL_V_RECORD,    0,
                                            QUOR_RC_NULL_V_VALUE,     QUOR_RC_V_VALUE_OUT_OF_AREA,
                                            QUOR_RC_NULL_V_COUNT_OUT, QUOR_RC_NULL_V_CAPACITY_OUT};
template <>
inline constexpr ReadCodes readCodes<IRKind>{QUOR_RC_NULL_IR_RECORD,    QUOR_RC_NULL_IR_VALUE_OUT,   0, 0,
                                             QUOR_RC_NULL_IR_COUNT_OUT, QUOR_RC_NULL_IR_CAPACITY_OUT};
template <>
inline constexpr ReadCodes readCodes<IVKind>{QUOR_RC_NULL_IV_RECORD,    0,
                                             QUOR_RC_NULL_IV_VALUE,     QUOR_RC_IV_VALUE_OUT_OF_AREA,
                                             QUOR_RC_NULL_IV_COUNT_OUT, QUOR_RC_NULL_IV_CAPACITY_OUT};
template <>
inline constexpr ReadCodes readCodes<BaseRKind>{
    QUOR_RC_NULL_BASER_RECORD, QUOR_RC_NULL_BASER_VALUE_OUT, 0, 0, 0, 0};
template <>
inline constexpr ReadCodes readCodes<BaseVKind>{QUOR_RC_NULL_BASEV_RECORD,       0, QUOR_RC_NULL_BASEV_VALUE,
                                                QUOR_RC_BASEV_VALUE_OUT_OF_AREA, 0, 0};

// The condition every value, count and listing operation accepts: active or
// disassociated. With tracing on it runs as the exported condition check, so
// that its records show; with tracing off that check is one compare of the
// condition word, done in place.
[[gnu::cold, gnu::noinline]] inline uint32_t tracedReadableCondition(Trace &t, SNodeCB_t *node) {
    const uint32_t rc = tree::checkNodeCondition(node, QUOR_COND_MASK_ACTIVE_OR_DISC);
    return rc != 0 ? t.fail(20, rc) : rc;
}
[[gnu::always_inline]] inline uint32_t checkReadableCondition(Trace &t, SNodeCB_t *node) {
    if (tracingOn()) [[unlikely]]
        return tracedReadableCondition(t, node);
    return tree::checkCondition(node->NodeCondition, QUOR_COND_MASK_ACTIVE_OR_DISC);
}

// The record with the key once its input is checked: the node's condition
// against mask 0x28, the area, then the record (K::codes.notFound when there is
// none). Requires: node not null; the caller holds the node's section.
template <class K>
[[gnu::always_inline]] inline uint32_t findChecked(Trace &t, SNodeCB_t *node, const Key &key,
                                                   PropertyArea<K> *area, typename K::Record **out,
                                                   BucketHint hint = {}) {
    if (uint32_t rc = checkReadableCondition(t, node); rc != 0) return rc;
    if (uint32_t rc = area->open(node); rc != 0) [[unlikely]]
        return t.fail(21, rc);
    if (uint32_t rc = findRecord(*area, key, out, hint); rc != 0) return t.fail(22, rc);
    return QUOR_RC_OK;
}

// Whether the LL node at node-relative `at` (on the lattice, below the next
// free offset) is live while freed nodes are recorded: it is when the chain of
// the key it carries reaches it (a freed node's bytes may carry anything,
// stack entries included, and no chain reaches it). Out of line: the common
// case, no freed node at all, is decided without it.
template <class K>
[[gnu::noinline, gnu::cold]] bool reachedByItsChain(const PropertyArea<K> &area, uint64_t at,
                                                    const typename K::LLNode &ll) {
    const typename K::Record &record = ll.record;
    Key key;
    if constexpr (K::tagged) {
        key = {record.tag, record.idLength, area.idBytes(record, record.idLength)};
        if (key.id == nullptr) return false;
    } else {
        key.number = record.number;
    }
    ChainPlace<K> place;
    return seekChain(area, key, &place) == 0 && place.equal && place.nodeOffset == at;
}

// Whether the LL node at node-relative `at` (on the lattice) is live. Every
// LL node below the next free offset is either linked or on the memory stack,
// so with no freed node recorded it is live.
template <class K>
[[gnu::always_inline]] inline bool liveLLNode(const PropertyArea<K> &area, uint64_t at,
                                              const typename K::LLNode &ll) {
    const uint64_t *tail = area.stackWords();
    if (tail == nullptr || at >= tail[0]) return false;
    if (tail[1] == 0) [[likely]]
        return true;
    return reachedByItsChain(area, at, ll);
}

// Whether flat slot `slot` (its key non-zero) is among the live records: the
// first flatInUse() records with a non-zero key.
template <class K>
bool liveFlatSlot(const PropertyArea<K> &area, uint64_t slot) {
    if (area.flatHolds(slot + 1)) [[likely]]
        return true;  // fewer live records than that lie before it
    bool live = false;
    FlatEnd end;
    const uint32_t rc = walkFlat(
        area,
        [&](uint64_t at, typename K::Record &, bool *stop) {
            live = at == slot;
            *stop = at >= slot;
            return QUOR_RC_OK;
        },
        [](uint64_t) {}, &end);
    return rc == 0 && live;
}

// A caller's record address taken as a live record of the opened area (header
// and tables read). The record, rooms included, must lie wholly inside the area
// (K::codes.outOfArea otherwise), on a record boundary of the area's layout (a
// flat slot, the record of an LL node, the Base record) and in use there (a
// flat slot with a non-zero key among the live ones, an LL node that is linked,
// a Base record that has not been emptied); QUOR_RC_NOT_A_LIVE_RECORD
// otherwise. A stale address thus never writes into a free slot, a freed LL
// node (whose bytes may hold memory-stack entries), a bucket or a header.
// Inline: a call would read the view back from memory just after it was built.
template <class K>
[[gnu::always_inline]] inline uint32_t liveRecordIn(const PropertyArea<K> &area, const void *given,
                                                    typename K::Record **out) {
    uint64_t inArea = 0;
    if (!area.area().offsetOf(given, &inArea)) return K::codes.outOfArea;
    if constexpr (!K::base) {
        if (area.hashed()) [[likely]] {
            // An LL node lies wholly inside the area, and so does its record.
            const uint64_t at = area.offset() + inArea - llRecordAt<K>;
            typename K::LLNode *ll = inArea < llRecordAt<K> ? nullptr : area.llNode(at);
            if (ll == nullptr) {
                if (area.recordAt(inArea) == nullptr) return K::codes.outOfArea;
                return QUOR_RC_NOT_A_LIVE_RECORD;
            }
            if (!liveLLNode(area, at, *ll)) return QUOR_RC_NOT_A_LIVE_RECORD;
            *out = &ll->record;
            return QUOR_RC_OK;
        }
    }
    typename K::Record *record = area.recordAt(inArea);
    if (record == nullptr) return K::codes.outOfArea;
    if constexpr (K::base) {
        if (inArea != K::header.flatSize || area.used() == 0) return QUOR_RC_NOT_A_LIVE_RECORD;
    } else {
        const uint64_t h = K::header.flatSize;
        if (inArea < h || !wholeStrides(inArea - h, area.recordSize()) || keyWord(*record) == 0 ||
            !liveFlatSlot(area, (inArea - h) / area.recordSize()))
            return QUOR_RC_NOT_A_LIVE_RECORD;
    }
    *out = record;
    return QUOR_RC_OK;
}

// The value bytes a byte record holds now: its stored size must be 1..room
// (QUOR_RC_BAD_VALUE_SIZE otherwise). *size receives the stored size.
template <class K>
uint32_t storedValue(const PropertyArea<K> &area, const typename K::Record &record, uint64_t *size,
                     const unsigned char **bytes) {
    const uint64_t stored = record.valueSize;
    const unsigned char *at = stored == 0 ? nullptr : area.valueBytes(record, stored);
    if (at == nullptr) return QUOR_RC_BAD_VALUE_SIZE;
    *size = stored;
    *bytes = at;
    return QUOR_RC_OK;
}

// Runs body(area) on the kind's area opened inside the node's read section
// (unless the caller holds it). The area is opened once before the section as
// well, and first(area) run on it, so that the area's codes and the checks
// that need its header come before the section is taken.
template <class K, class First, class Body>
uint32_t inOpenedArea(Trace &t, SNodeCB_t *node, uint32_t inCriticalSection, First first, Body body) {
    {
        PropertyArea<K> area;
        if (uint32_t rc = area.open(node); rc != 0) return t.fail(31, rc);
        if (uint32_t rc = first(area); rc != 0) return rc;
    }
    return tree::inSection(t, 30, node, tree::Access::Read, inCriticalSection, [&] {
        PropertyArea<K> area;
        if (uint32_t rc = area.open(node); rc != 0) return t.fail(32, rc);
        return body(area);
    });
}

// Visits the LL nodes on the tag chain of `tag` in a hashed tagged area:
// visit(llNode, &stop) returns a code (non-zero ends the walk with it) and sets
// stop to end it. Every node's prev link must name the field the walk came
// from, so a chain bent back on itself is caught at its first repeat; such a
// link, one that names no LL node, or a chain longer than the area can hold
// gives K::codes.outOfArea.
template <class K, class Visit>
uint32_t walkTagChain(const PropertyArea<K> &area, uint64_t tag, Visit &&visit) {
    const uint64_t index = numberBucket(tag, area.tableSize(1));
    const uint64_t *head = area.bucket(1, index);
    if (head == nullptr) return QUOR_RC_BAD_HT_INDEX;
    uint64_t seen = 0, cameFrom = area.bucketOffset(1, index);
    for (uint64_t pair = *head; pair != 0;) {
        typename K::LLNode *ll = pairOwner(area, kTagChain<K>, pair);
        if (ll == nullptr || ll->tagPrev != cameFrom || beyondLLNodeBound(area, ++seen))
            return K::codes.outOfArea;
        bool stop = false;
        if (uint32_t rc = visit(*ll, &stop); rc != 0) return rc;
        if (stop) return QUOR_RC_OK;
        cameFrom = pair;  // the pair starts with its next word
        pair = ll->tagNext;
    }
    return QUOR_RC_OK;
}

// Visits every LL node of a hashed area's sorted chains (walkChains), and
// insists that each chain rises strictly: a repeat or a fall is a chain that
// loops or was damaged, and gives K::codes.outOfArea before the node is
// visited.
template <class K, class Visit>
uint32_t walkSortedChains(const PropertyArea<K> &area, Visit &&visit) {
    const typename K::LLNode *previous = nullptr;
    return walkChains(area, [&](uint64_t at, typename K::LLNode &ll, bool *stop) {
        if (previous != nullptr && previous->next == at) {
            const typename K::Record &before = previous->record;
            Key key;
            if constexpr (K::tagged) {
                key = {before.tag, before.idLength, area.idBytes(before, before.idLength)};
                if (key.id == nullptr) return QUOR_RC_ID_OUT_OF_AREA;
            } else {
                key.number = before.number;
            }
            int order = 0;
            if (uint32_t rc = compareRecord(area, ll.record, key, &order); rc != 0) return rc;
            if (order <= 0) return K::codes.outOfArea;
        }
        previous = &ll;
        return visit(at, ll, stop);
    });
}

}  // namespace quor::props
