// The property operations over (kind, layout): the hashed-table operations and
// adding, deleting and locating on flat and hashed areas. The exported
// functions are one-line shims over these.
//
// Adds and deletes are writers: they hold the node's write section for the whole
// check, walk and change, entering it unless the caller says it holds it
// (`inCriticalSection` non-zero). A delete on a hashed area goes through the
// same section as the rest, so a caller that holds the section never waits for
// itself. Every operation opens the area inside the section, so what it checked
// is what it changes.
#pragma once

#include <cstdint>

#include "frame/trace.h"
#include "props/kind_functions.h"
#include "props/table.h"
#include "tree/access.h"
#include "tree/records.h"

namespace quor::props {

// The value size the input check sees: the add's own for the byte-string kinds,
// 1 for every other call.
template <class K>
uint64_t checkedValueSize(const NewProperty &p) {
    return K::bytesValue ? p.valueSize : 1;
}

// Opens the area for a hashed-table operation: a flat area can not be hashed
// and is refused with QUOR_RC_HASH_TABLE_SIZE_OUT_OF_RANGE.
template <class K>
uint32_t openHashed(Trace &t, SNodeCB_t *node, PropertyArea<K> *area) {
    if (uint32_t rc = area->open(node); rc != 0) return t.fail(30, rc);
    if (!area->hashed()) return t.failWith(31, QUOR_RC_HASH_TABLE_SIZE_OUT_OF_RANGE, 0);
    return QUOR_RC_OK;
}

// ---- hashed tables ----

template <class K>
uint32_t addToTable(Trace &t, SNodeCB_t *node, const NewProperty &p, uint32_t inCriticalSection) {
    Maxima maxima;
    if (uint32_t rc = checkInput<K>(t, node, p.key, checkedValueSize<K>(p), &maxima); rc != 0) return rc;
    if (uint32_t rc = checkValuePointer<K>(p.bytes); rc != 0) return t.fail(10, rc);
    return tree::inSection(t, 20, node, tree::Access::Write, inCriticalSection, [&] {
        PropertyArea<K> area;
        if (uint32_t rc = openHashed(t, node, &area); rc != 0) return rc;
        const uint32_t rc = insertHashed(area, p);
        return rc != 0 ? t.fail(40, rc) : rc;
    });
}

template <class K>
uint32_t findInTable(Trace &t, SNodeCB_t *node, const Key &key, typename K::Record **out) {
    Maxima maxima;
    if (uint32_t rc = checkInput<K>(t, node, key, 1, &maxima); rc != 0) return rc;
    if (out == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    PropertyArea<K> area;
    if (uint32_t rc = openHashed(t, node, &area); rc != 0) return rc;
    const uint32_t rc = findHashed(area, key, out);
    return rc != 0 ? t.fail(40, rc) : rc;
}

template <class K>
uint32_t deleteFromTable(Trace &t, SNodeCB_t *node, const Key &key) {
    Maxima maxima;
    if (uint32_t rc = checkInput<K>(t, node, key, 1, &maxima); rc != 0) return rc;
    return tree::inSection(t, 20, node, tree::Access::Write, 0, [&] {
        PropertyArea<K> area;
        if (uint32_t rc = openHashed(t, node, &area); rc != 0) return rc;
        const uint32_t rc = removeHashed(area, key);
        return rc != 0 ? t.fail(40, rc) : rc;
    });
}

// ---- flat areas ----

// Adds to a flat area: the first free slot met before the last live record, else
// appended behind it. Requires: the write section held, the area opened.
template <class K>
uint32_t addFlat(PropertyArea<K> &area, const NewProperty &p) {
    // Key 0 marks a free slot here: a property under it would be counted in
    // usedSize yet invisible to every walk. A flat area's keys run from 1.
    if (p.key.number == 0) return QUOR_RC_ZERO_KEY_IN_FLAT_AREA;
    constexpr uint64_t none = ~uint64_t{0};
    uint64_t firstFree = none;
    auto visit = [&](uint64_t, typename K::Record &record, bool *) {
        int order = 0;
        if (uint32_t rc = compareRecord(area, record, p.key, &order); rc != 0) return rc;
        return order == 0 ? K::codes.duplicate : QUOR_RC_OK;
    };
    auto onFree = [&](uint64_t slot) {
        if (firstFree == none) firstFree = slot;
    };
    FlatEnd end;
    if (uint32_t rc = walkFlat(area, visit, onFree, &end); rc != 0) return rc;
    const uint64_t stride = area.recordSize();
    if (firstFree == none && area.used() + stride > area.size()) return K::codes.listFull;
    // The whole record must fit, not only its first byte: holes behind the
    // live records can put the append position further out than usedSize says.
    typename K::Record *record = area.flatRecord(firstFree != none ? firstFree : end.slot);
    if (record == nullptr) return K::codes.outOfArea;
    if (uint32_t rc = fillRecord(area, *record, p); rc != 0) return rc;
    area.setUsed(area.used() + stride);
    return countChange(area.node());
}

// Deletes from a flat area: the record's key becomes 0 (its other bytes stay),
// and then usedSize drops (unpublished first: table.h rule 2).
template <class K>
uint32_t deleteFlat(PropertyArea<K> &area, const Key &key) {
    typename K::Record *record = nullptr;
    if (uint32_t rc = findFlat(area, key, &record); rc != 0) return rc;
    if (area.used() < area.recordSize()) return QUOR_RC_AREA_OVERFULL;
    ordered(&keyWord(*record), 0);
    (void)area.shrinkUsed(area.recordSize());
    return countChange(area.node());
}

// ---- both layouts ----

// The condition every add, delete and locate accepts: active or disassociated.
inline uint32_t checkMembershipCondition(Trace &t, SNodeCB_t *node) {
    const uint32_t condition = node->NodeCondition;
    const uint32_t rc = tree::checkCondition(condition, QUOR_COND_MASK_ACTIVE_OR_DISC);
    return rc != 0 ? t.failWith(25, rc, condition) : rc;
}

// The body every add and delete shares, inside the node's write section:
// the condition, the area, then the change for the area's layout (a hashed
// change writes the records of its table operation).
template <class K, class Hashed, class Flat>
uint32_t changeMembership(Trace &t, SNodeCB_t *node, uint32_t inCriticalSection, Fn tableFn, Hashed &&hashed,
                          Flat &&flat) {
    return tree::inSection(t, 20, node, tree::Access::Write, inCriticalSection, [&] {
        if (uint32_t rc = checkMembershipCondition(t, node); rc != 0) return rc;
        PropertyArea<K> area;
        if (uint32_t rc = area.open(node); rc != 0) return t.fail(30, rc);
        if (area.hashed()) {
            return traced(tableFn, [&](Trace &inner) {
                const uint32_t rc = hashed(area);
                return rc != 0 ? inner.fail(40, rc) : rc;
            });
        }
        const uint32_t rc = flat(area);
        return rc != 0 ? t.fail(50, rc) : rc;
    });
}

template <class K>
uint32_t addProperty(Trace &t, SNodeCB_t *node, const NewProperty &p, uint32_t inCriticalSection) {
    Maxima maxima;
    if (uint32_t rc = checkInput<K>(t, node, p.key, checkedValueSize<K>(p), &maxima); rc != 0) return rc;
    if (uint32_t rc = checkValuePointer<K>(p.bytes); rc != 0) return t.fail(10, rc);
    return changeMembership<K>(
        t, node, inCriticalSection, FunctionsOf<K>::fn.addToTable,
        [&](PropertyArea<K> &area) { return insertHashed(area, p); },
        [&](PropertyArea<K> &area) { return addFlat(area, p); });
}

template <class K>
uint32_t deleteProperty(Trace &t, SNodeCB_t *node, const Key &key, uint32_t inCriticalSection) {
    Maxima maxima;
    if (uint32_t rc = checkInput<K>(t, node, key, 1, &maxima); rc != 0) return rc;
    return changeMembership<K>(
        t, node, inCriticalSection, FunctionsOf<K>::fn.deleteFromTable,
        [&](PropertyArea<K> &area) { return removeHashed(area, key); },
        [&](PropertyArea<K> &area) { return deleteFlat(area, key); });
}

// Empties a Base record that carries `number`: its number becomes 0 and
// usedSize drops by what the creation counted (header and record), back to 0.
template <class K>
uint32_t deleteBase(Trace &t, SNodeCB_t *node, uint64_t number, uint32_t inCriticalSection) {
    static_assert(K::base);
    Maxima maxima;
    const Key key{number, 0, nullptr};
    if (uint32_t rc = checkInput<K>(t, node, key, 1, &maxima); rc != 0) return rc;
    PropertyArea<K> area;
    if (uint32_t rc = area.open(node); rc != 0) return t.fail(30, rc);
    return tree::inSection(t, 20, node, tree::Access::Write, inCriticalSection, [&] {
        if (uint32_t rc = checkMembershipCondition(t, node); rc != 0) return rc;
        typename K::Record *record = nullptr;
        if (uint32_t rc = area.open(node); rc != 0) return t.fail(35, rc);
        if (uint32_t rc = findRecord(area, key, &record); rc != 0) return t.fail(40, rc);
        // An emptied record is not found again: usedSize no longer counts it.
        // Unpublished (usedSize) before it is emptied.
        if (!area.shrinkUsed(K::header.flatSize + area.recordSize())) return t.fail(50, K::codes.notFound);
        __atomic_signal_fence(__ATOMIC_SEQ_CST);
        record->number = 0;
        return countChange(node);
    });
}

template <class K>
uint32_t getAddress(Trace &t, SNodeCB_t *node, const Key &key, typename K::Record **out) {
    if (node != nullptr && out == nullptr) return t.failWith(5, QUOR_RC_NULL_PARAMETER, 0);
    PropertyArea<K> area;
    return locateProperty<K>(t, node, key, &area, out);
}

}  // namespace quor::props
