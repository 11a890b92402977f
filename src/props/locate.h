// Finding a property by its key, on flat and hashed areas, and the walks the
// later operations (values, enumeration, the consistency checks) build on.
//
// Invariants the walks rely on and the writers keep:
//  1. A flat area's live records are the first flatInUse() records with a
//     non-zero key, counted from the first slot; free slots (key 0) may sit
//     among them.
//  2. A hashed chain (table 0) is sorted ascending by key with no equal keys:
//     by number, or for the tagged kinds by tag, then ID length, then ID bytes.
//  3. A chain ends with a 0 link and visits each LL node once.
// None of them is trusted: a link off the LL lattice, a chain longer than the
// area can hold, a record slot past the area's end or an ID length beyond its
// room ends the walk with a code.
//
// No lock is taken here: callers hold the node's read or write section.
#pragma once

#include <cstdint>

#include "frame/trace.h"
#include "props/area.h"
#include "props/hashing.h"
#include "props/input.h"
#include "tree/ids.h"
#include "tree/records.h"

namespace quor::props {

// Orders a stored record against a key: *order < 0, 0 or > 0. The tagged kinds
// read the stored ID from the record's room; a stored ID length beyond the room
// gives QUOR_RC_ID_OUT_OF_AREA.
template <class K>
uint32_t compareRecord(const PropertyArea<K> &area, const typename K::Record &record, const Key &key,
                       int *order) {
    if constexpr (K::tagged) {
        const uint64_t length = record.idLength;
        const char *id = area.idBytes(record, length);
        if (id == nullptr) return QUOR_RC_ID_OUT_OF_AREA;
        *order = tree::compareTagId(record.tag, id, length, key.number, key.id, key.idLength);
    } else {
        const uint64_t number = record.number;
        *order = number < key.number ? -1 : (number > key.number ? 1 : 0);
    }
    return QUOR_RC_OK;
}

// ---- flat ----

struct FlatEnd {
    uint64_t slot = 0;     // where the walk stopped, or the slot behind the last live record
    bool stopped = false;  // visit asked to stop at `slot`
};

// Visits the live records of a flat area in slot order. visit(slot, record)
// returns a code (non-zero ends the walk with it) and sets *stop to end the walk
// at that slot; onFree(slot) sees each free slot met on the way. A slot that
// does not lie wholly inside the area gives K::codes.outOfArea.
template <class K, class Visit, class OnFree>
uint32_t walkFlat(const PropertyArea<K> &area, Visit &&visit, OnFree &&onFree, FlatEnd *end) {
    *end = FlatEnd();
    uint64_t live = 0, slot = 0;  // live: the live records met so far
    for (; area.flatHolds(live + 1); ++slot) {
        typename K::Record *record = area.flatRecord(slot);
        if (record == nullptr) return K::codes.outOfArea;
        if (keyWord(*record) == 0) {
            onFree(slot);
            continue;
        }
        bool stop = false;
        if (uint32_t rc = visit(slot, *record, &stop); rc != 0) return rc;
        if (stop) {
            *end = {slot, true};
            return QUOR_RC_OK;
        }
        ++live;
    }
    end->slot = slot;
    return QUOR_RC_OK;
}

// The live flat record with the key; K::codes.notFound when there is none.
template <class K>
uint32_t findFlat(const PropertyArea<K> &area, const Key &key, typename K::Record **out) {
    FlatEnd end;
    typename K::Record *found = nullptr;
    auto visit = [&](uint64_t, typename K::Record &record, bool *stop) {
        if constexpr (K::tagged) {
            if (record.idLength != key.idLength) return QUOR_RC_OK;
        }
        int order = 0;
        if (uint32_t rc = compareRecord(area, record, key, &order); rc != 0) return rc;
        if (order == 0) {
            found = &record;
            *stop = true;
        }
        return QUOR_RC_OK;
    };
    if (uint32_t rc = walkFlat(
            area, visit, [](uint64_t) {}, &end);
        rc != 0)
        return rc;
    if (found == nullptr) return K::codes.notFound;
    *out = found;
    return QUOR_RC_OK;
}

// ---- hashed ----

// The bucket of a key in table 0 (the number table, or the tag+ID table).
// Requires: a hashed area.
template <class K>
uint64_t keyBucket(const PropertyArea<K> &area, const Key &key) {
    if constexpr (K::tagged) return bucketOf(hashBytes(key.number, key.id, key.idLength), area.tableSize(0));
    return numberBucket(key.number, area.tableSize(0));
}

// Whether `count` LL nodes are more than an area can hold (size / node size,
// plus one): bounds every chain walk. Multiplied out rather than divided, as
// the walks ask on every step.
template <class K>
bool beyondLLNodeBound(const PropertyArea<K> &area, uint64_t count) {
    return count != 0 && (count - 1) * area.llNodeSize() > area.size();
}

// The key's bucket as worked out before the section was taken: the size of
// table 0 seen then, and the key's bucket in a table of that size. Only a hint:
// the index is a function of the key and the size alone, so it stands once the
// area opened inside the section shows the same size, and is worked out afresh
// otherwise (tableSize 0: no hint).
inline constexpr uint64_t kFetchAheadBuckets = 1024;

struct BucketHint {
    uint64_t tableSize = 0;
    uint64_t index = 0;
};

// Opens the area outside the section, works out the key's bucket there and
// asks for the cache line of the first LL node the bucket names: in a large
// table that node is the costly miss (the buckets are a tenth of the nodes'
// bytes and stay cached far better), and it is then served while the latch is
// taken. Nothing read here is trusted: the section opens and checks the area
// again and walks the chain as it finds it; a prefetch is only ever a hint.
// It runs before the input is checked against the header, so an ID is hashed
// only when it is there and within the area's maximum. Tables of fewer than
// kFetchAheadBuckets buckets stay cached as a whole: for them the work is left
// to the section, where it costs less than it would here.
template <class K>
[[gnu::always_inline]] inline BucketHint bucketHint(SNodeCB_t *node, const Key &key) {
    BucketHint hint;
    if constexpr (!K::base) {
        // A table that large needs an area of at least its buckets' bytes: a smaller
        // area is told by its directory word alone, and a small table by a glance at
        // its size word, before any header check. (Marked unlikely to keep the large
        // tables' path, the one this work is for, straight.)
        const PExport *entry = tree::directoryRecord(node, K::bit);
        if (__atomic_load_n(&entry->areaSize, __ATOMIC_RELAXED) < 8 * kFetchAheadBuckets) [[unlikely]]
            return hint;
        PropertyArea<K> area;
        if (area.openUnformatted(node) != 0 || area.tableSizeWord() < kFetchAheadBuckets ||
            area.readHeader() != 0 || area.tableSize(0) < kFetchAheadBuckets)
            return hint;
        if constexpr (K::tagged) {
            if (key.id == nullptr || key.idLength > area.maxIdSize()) return hint;
        }
        hint = {area.tableSize(0), keyBucket(area, key)};
        const uint64_t *bucket = area.bucket(0, hint.index);
        if (bucket == nullptr) return hint;
        const uint64_t first = __atomic_load_n(bucket, __ATOMIC_RELAXED);
        if (first >= area.offset() && first < area.end()) {
            const auto *ll = reinterpret_cast<const char *>(node) + first;
            // Its link and the key word behind it, which may straddle two lines.
            __builtin_prefetch(ll);
            __builtin_prefetch(ll + 2 * sizeof(uint64_t) - 1);
        }
    }
    return hint;
}

// Where a key sits in its sorted chain.
template <class K>
struct ChainPlace {
    uint64_t *link = nullptr;            // the bucket entry or `next` field naming `node`
    typename K::LLNode *node = nullptr;  // the first LL node not below the key; null at the end
    uint64_t nodeOffset = 0;             // its offset from the node start
    bool equal = false;                  // `node` carries the key
};

// Walks the key's chain to the first record whose key is not smaller.
// Requires: a hashed area. Codes: a stray link or an endless chain gives
// K::codes.outOfArea; a stored ID beyond its room QUOR_RC_ID_OUT_OF_AREA.
template <class K>
uint32_t seekChain(const PropertyArea<K> &area, const Key &key, ChainPlace<K> *place, BucketHint hint = {}) {
    const uint64_t tableSize = area.tableSize(0);
    uint64_t *link = area.bucket(0, hint.tableSize == tableSize ? hint.index : keyBucket(area, key));
    if (link == nullptr) return QUOR_RC_BAD_HT_INDEX;
    for (uint64_t steps = 0;; ++steps) {
        const uint64_t at = *link;
        if (at == 0) {
            *place = {link, nullptr, 0, false};
            return QUOR_RC_OK;
        }
        typename K::LLNode *ll = area.llNode(at);
        if (ll == nullptr || beyondLLNodeBound(area, steps + 1)) return K::codes.outOfArea;
        int order = 0;
        if (uint32_t rc = compareRecord(area, ll->record, key, &order); rc != 0) return rc;
        if (order >= 0) {
            *place = {link, ll, at, order == 0};
            return QUOR_RC_OK;
        }
        link = &ll->next;
    }
}

// The hashed record with the key; K::codes.notInHashTable when there is none.
template <class K>
uint32_t findHashed(const PropertyArea<K> &area, const Key &key, typename K::Record **out,
                    BucketHint hint = {}) {
    ChainPlace<K> place;
    if (uint32_t rc = seekChain(area, key, &place, hint); rc != 0) return rc;
    if (!place.equal) return K::codes.notInHashTable;
    *out = &place.node->record;
    return QUOR_RC_OK;
}

// Visits every LL node of a hashed area's table 0, bucket by bucket, each
// chain in order: visit(nodeOffset, llNode) returns a code (non-zero ends the
// walk with it) and sets *stop to end it. Stray links and chains that hold more
// nodes than the area can give K::codes.outOfArea.
template <class K, class Visit>
uint32_t walkChains(const PropertyArea<K> &area, Visit &&visit) {
    uint64_t seen = 0;
    for (uint64_t b = 0; b < area.tableSize(0); ++b) {
        const uint64_t *link = area.bucket(0, b);
        if (link == nullptr) return QUOR_RC_BAD_HT_INDEX;
        for (uint64_t at = *link; at != 0;) {
            typename K::LLNode *ll = area.llNode(at);
            if (ll == nullptr || beyondLLNodeBound(area, ++seen)) return K::codes.outOfArea;
            bool stop = false;
            if (uint32_t rc = visit(at, *ll, &stop); rc != 0) return rc;
            if (stop) return QUOR_RC_OK;
            at = ll->next;
        }
    }
    return QUOR_RC_OK;
}

// ---- both layouts ----

// The record with the key in an opened table area, flat or hashed;
// K::codes.notFound when there is none (other codes pass through). A Base
// area's one record answers to its number only, and only while usedSize counts
// it: its creation counts it and its delete takes it off again, so an emptied
// record (number 0) is not found by number 0 either.
template <class K>
uint32_t findRecord(const PropertyArea<K> &area, const Key &key, typename K::Record **out,
                    BucketHint hint = {}) {
    if constexpr (K::base) {
        typename K::Record *record = area.recordAt(K::header.flatSize);
        if (record == nullptr) return K::codes.outOfArea;
        if (area.used() == 0 || record->number != key.number) return K::codes.notFound;
        *out = record;
        return QUOR_RC_OK;
    } else {
        if (!area.hashed()) return findFlat(area, key, out);
        const uint32_t rc = findHashed(area, key, out, hint);
        return rc == K::codes.notInHashTable ? K::codes.notFound : rc;
    }
}

// The record-locating operation: the input check (value size 1), the node's
// condition against mask 0x28 (active or disassociated), the area and then
// findRecord. Takes no lock: callers hold the node's read or write section.
// *area receives the opened view for the caller's further work.
template <class K>
uint32_t locateProperty(Trace &t, SNodeCB_t *node, const Key &key, PropertyArea<K> *area,
                        typename K::Record **out) {
    Maxima maxima;
    if (uint32_t rc = checkInput<K>(t, node, key, 1, &maxima); rc != 0) return rc;
    if (uint32_t rc = tree::checkCondition(node->NodeCondition, QUOR_COND_MASK_ACTIVE_OR_DISC); rc != 0)
        return t.fail(20, rc);
    if (uint32_t rc = area->open(node); rc != 0) return t.fail(21, rc);
    if (uint32_t rc = findRecord(*area, key, out); rc != 0) return t.fail(22, rc);
    return QUOR_RC_OK;
}

}  // namespace quor::props
