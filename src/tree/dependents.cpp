// Dependent-node lists and parent areas: creating, changing, finding and
// returning the locators a node keeps of its children and of its parent.
#include "tree/dependents.h"

#include <cstring>

#include "frame/export.h"
#include "frame/state.h"
#include "frame/trace.h"
#include "tree/access.h"
#include "tree/ids.h"
#include "tree/locators.h"
#include "tree/records.h"
#include "tree/sizing.h"

namespace quor::tree {

SNodeInfo_t *DepList::slot(uint64_t index) const {
    // Any index past an area of the largest size fails the bounds test below;
    // this one only keeps the product from overflowing.
    if (index > QUOR_AREA_MAX_SIZE) return nullptr;
    return area.at<SNodeInfo_t>(QUOR_DEP_LIST_HEADER_SIZE + index * entrySize);
}

bool DepList::indexOf(const SNodeInfo_t *slot, uint64_t *index) const {
    uint64_t at = 0;
    if (maxIdSize == 0 || !area.offsetOf(slot, &at) || at < QUOR_DEP_LIST_HEADER_SIZE) return false;
    const uint64_t relative = at - QUOR_DEP_LIST_HEADER_SIZE;
    if (relative % entrySize != 0 || relative / entrySize >= capacity) return false;
    *index = relative / entrySize;
    return true;
}

namespace {

// Whether the list was ever formatted (rule 6); usedSize is read once.
bool formatted(const Area &area) {
    return __atomic_load_n(&area.record()->usedSize, __ATOMIC_ACQUIRE) >= QUOR_DEP_LIST_HEADER_SIZE;
}

}  // namespace

uint32_t listMaxIdSize(SNodeCB_t *node, Area *area, uint64_t *m) {
    *m = 0;
    if (uint32_t rc = openArea(node, QUOR_KIND_DEPENDENTS, area); rc != 0) return rc;
    const uint64_t *header = area->at<uint64_t>(0);
    if (header == nullptr) return QUOR_RC_LOCATION_OUT_OF_AREA;
    if (!formatted(*area)) return QUOR_RC_OK;
    *m = __atomic_load_n(header, __ATOMIC_RELAXED);
    return *m > QUOR_MAX_ID_SIZE ? QUOR_RC_BAD_STORED_MAX_ID_SIZE : QUOR_RC_OK;
}

uint32_t openDependentList(SNodeCB_t *node, DepList *list) {
    *list = DepList();
    uint64_t m = 0;
    if (uint32_t rc = listMaxIdSize(node, &list->area, &m); rc != 0) return rc;
    list->maxIdSize = m;
    list->entrySize = kLocatorSize + m;
    if (m == 0) return QUOR_RC_OK;
    const uint64_t used = __atomic_load_n(&list->area.record()->usedSize, __ATOMIC_RELAXED);
    list->count =
        used >= QUOR_DEP_LIST_HEADER_SIZE ? (used - QUOR_DEP_LIST_HEADER_SIZE) / list->entrySize : 0;
    list->capacity = list->area.size() >= QUOR_DEP_LIST_HEADER_SIZE
                         ? (list->area.size() - QUOR_DEP_LIST_HEADER_SIZE) / list->entrySize
                         : 0;
    if (list->count > QUOR_MAX_COUNT) return QUOR_RC_TOO_MANY_DEPENDENTS;
    return QUOR_RC_OK;
}

uint32_t DepCursor::next(DepEntry *entry, bool *done) {
    while (slot_ < list_.capacity && list_.count != 0) {
        SNodeInfo_t *info = list_.slot(slot_);
        if (info == nullptr) return QUOR_RC_LOCATION_OUT_OF_AREA;
        const uint64_t tag = __atomic_load_n(&info->tag, __ATOMIC_ACQUIRE);
        if (unusedSlotTag(tag)) break;
        const uint64_t at = QUOR_DEP_LIST_HEADER_SIZE + slot_ * list_.entrySize;
        ++slot_;
        if (tag == 0) {
            if (firstHole_ == nullptr) firstHole_ = info;
            continue;
        }
        const uint64_t idSize = __atomic_load_n(&info->idSize, __ATOMIC_RELAXED);
        const char *id = list_.area.at<char>(at + kLocatorSize, idSize);
        if (id == nullptr) return QUOR_RC_ID_OUT_OF_AREA;
        ++seen_;
        *entry = DepEntry{info, tag, idSize, id, __atomic_load_n(&info->nodeOffset, __ATOMIC_RELAXED)};
        *done = false;
        return QUOR_RC_OK;
    }
    *done = true;
    return QUOR_RC_OK;
}

bool entryMatches(const DepEntry &entry, uint64_t tag, const char *id, uint64_t idLength) {
    if (entry.tag != tag) return false;
    return idLength == 0 || compareTagId(tag, id, idLength, entry.tag, entry.id, entry.idSize) == 0;
}

uint32_t firstMatch(DepCursor &cursor, uint64_t tag, const char *id, uint64_t idLength, SNodeInfo_t **match) {
    *match = nullptr;
    return forEachEntry(cursor, [&](const DepEntry &entry) {
        if (entryMatches(entry, tag, id, idLength)) *match = entry.info;
        return *match == nullptr;
    });
}

void storeLocator(SNodeCB_t *node, SNodeInfo_t *slot, char *idBytes, SNodeInfo_t *info, const char *id,
                  uint64_t idLength) {
    info->idSize = idLength;
    SNodeInfo_t copy = *info;
    copy.selfDisplacement = node->selfOffset + static_cast<uint64_t>(reinterpret_cast<unsigned char *>(slot) -
                                                                     reinterpret_cast<unsigned char *>(node));
    // A slot that changes hands is a hole while it is written, so that no reader
    // takes the old tag for the new entry.
    if (__atomic_load_n(&slot->tag, __ATOMIC_RELAXED) != copy.tag) {
        __atomic_store_n(&slot->tag, uint64_t{0}, __ATOMIC_RELAXED);
        __atomic_thread_fence(__ATOMIC_RELEASE);
    }
    if (idLength != 0) std::memcpy(idBytes, id, idLength);
    slot->nodeOffset = copy.nodeOffset;
    slot->idSize = copy.idSize;
    slot->selfDisplacement = copy.selfDisplacement;
    slot->segDescOffset = copy.segDescOffset;
    slot->rmxPathOffset = copy.rmxPathOffset;
    slot->segBase = copy.segBase;
    __atomic_store_n(&slot->tag, copy.tag, __ATOMIC_RELEASE);
}

namespace {

uint32_t countReconfiguration(SNodeCB_t *node) {
    int32_t old = 0;
    return hostAtomicIncrement(node->ReconfigCounter, &old) == 0 ? QUOR_RC_OK : QUOR_RC_ATOMIC_FAILED;
}

void setListFlag(SNodeCB_t *node) {
    __atomic_fetch_or(&node->areaFlags, QUOR_KIND_DEPENDENTS, __ATOMIC_ACQ_REL);
}
void clearListFlag(SNodeCB_t *node) {
    __atomic_fetch_and(&node->areaFlags, ~uint64_t{QUOR_KIND_DEPENDENTS}, __ATOMIC_ACQ_REL);
}
bool hasList(const SNodeCB_t *node) {
    return (__atomic_load_n(&node->areaFlags, __ATOMIC_ACQUIRE) & QUOR_KIND_DEPENDENTS) != 0;
}

// Runs `body` in the node's section (unless the caller holds it) once the node's
// condition passes `mask`.
template <class Body>
uint32_t underCondition(Trace &t, SNodeCB_t *node, Access access, uint32_t inCriticalSection, uint32_t mask,
                        Body body) {
    return inSection(t, 100, node, access, inCriticalSection, [&] {
        if (uint32_t rc = checkCondition(node->NodeCondition, mask); rc != 0)
            return t.failWith(110, rc, node->NodeCondition);
        return body();
    });
}

// The list's M as the header holds it (the area's code when it cannot be read).
uint32_t storedMaxIdSize(SNodeCB_t *node, uint64_t *m) {
    DepList list;
    uint32_t rc = openDependentList(node, &list);
    if (rc == QUOR_RC_TOO_MANY_DEPENDENTS) rc = QUOR_RC_OK;  // only M is wanted
    *m = list.maxIdSize;
    return rc;
}

uint32_t getMaxIdSize(Trace &t, SNodeCB_t *node, uint32_t kind, uint64_t *out) {
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (out == nullptr) return t.failWith(20, QUOR_RC_NULL_MAX_ID_SIZE_OUTPUT, 0);
    if (kind != QUOR_KIND_DEPENDENTS) return t.failWith(30, QUOR_RC_BAD_PROPERTY_KIND, kind);
    if (!hasList(node)) {
        *out = 0;
        return QUOR_RC_OK;
    }
    uint64_t m = 0;
    if (uint32_t rc = storedMaxIdSize(node, &m); rc != 0) return t.fail(40, rc);
    *out = m;
    return QUOR_RC_OK;
}

uint32_t getLocation(Trace &t, SNodeCB_t *node, SNodeInfo_t **entryOut, uint64_t *countOut,
                     uint64_t *maxCountOut) {
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (entryOut == nullptr) return t.failWith(20, QUOR_RC_NULL_PARAMETER, 0);
    if (countOut == nullptr) return t.failWith(30, QUOR_RC_NULL_COUNT_OUTPUT, 0);
    if (maxCountOut == nullptr) return t.failWith(40, QUOR_RC_NULL_CAPACITY_OUTPUT, 0);
    DepList list;
    if (uint32_t rc = openDependentList(node, &list); rc != 0) return t.fail(50, rc);
    if (list.maxIdSize != 0) {
        SNodeInfo_t *first = list.slot(0);
        if (first == nullptr) return t.fail(60, QUOR_RC_LOCATION_OUT_OF_AREA);
        *entryOut = first;
    }
    *countOut = list.count;
    *maxCountOut = list.capacity;
    return QUOR_RC_OK;
}

// The next entry is checked against the node's own list area, which is the only
// area a list record can describe.
uint32_t getNextLocation(Trace &t, SNodeCB_t *node, PExport *pExport, SNodeInfo_t **entryRef) {
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (pExport == nullptr) return t.failWith(20, QUOR_RC_NULL_PARAMETER, 0);
    if (entryRef == nullptr || *entryRef == nullptr) return t.failWith(30, QUOR_RC_NULL_NODE_INFO, 0);
    DepList list;
    if (uint32_t rc = openDependentList(node, &list); rc != 0 && rc != QUOR_RC_TOO_MANY_DEPENDENTS)
        return t.fail(40, rc);
    uint64_t at = 0;
    if (!list.area.offsetOf(*entryRef, &at)) return t.fail(50, QUOR_RC_LOCATION_OUT_OF_AREA);
    const uint64_t next = at + list.entrySize;
    if (next > list.area.size()) return t.failWith(60, QUOR_RC_LOCATION_OUT_OF_AREA, next);
    *entryRef = reinterpret_cast<SNodeInfo_t *>(list.area.begin() + next);
    return QUOR_RC_OK;
}

// The room test of a list that is not in use yet: the header and one entry.
bool roomForList(const Area &area, uint64_t m) {
    return area.size() >= QUOR_DEP_LIST_HEADER_SIZE &&
           area.size() - QUOR_DEP_LIST_HEADER_SIZE >= m + kLocatorSize;
}

// The checks of the entries a new list is made with, before anything changes.
uint32_t checkNewEntries(Trace &t, const SNodeInfo_t *infos, const uint64_t *lengths, const char *ids,
                         uint64_t m, uint64_t count) {
    uint64_t total = 0;
    for (uint64_t i = 0; i < count; ++i) {
        if (lengths[i] > QUOR_MAX_ID_SIZE) return t.failWith(200, QUOR_RC_ID_SIZE_TOO_LARGE, i);
        total += lengths[i];
    }
    for (uint64_t i = 0, start = 0; i < count; start += lengths[i], ++i) {
        if (infos[i].tag > QUOR_MAX_TAG) return t.failWith(210, QUOR_RC_SIZE_TOO_LARGE, i);
        if (lengths[i] > m) return t.failWith(220, QUOR_RC_ID_SIZE_TOO_LARGE, i);
        for (uint64_t j = i + 1, other = start + lengths[i]; j < count; other += lengths[j], ++j) {
            if (other > total) return t.failWith(230, QUOR_RC_ID_OUT_OF_AREA, j);
            if (infos[i].tag != 0 && compareTagId(infos[i].tag, ids + start, lengths[i], infos[j].tag,
                                                  ids + other, lengths[j]) == 0)
                return t.failWith(240, QUOR_RC_DUPLICATE_DEPENDENT, j);
        }
    }
    return QUOR_RC_OK;
}

uint32_t createList(Trace &t, SNodeCB_t *node, SNodeInfo_t *infos, const uint64_t *lengths, const char *ids,
                    uint64_t maxIdSize, uint64_t count, uint32_t inCriticalSection) {
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (count > QUOR_MAX_COUNT) return t.failWith(20, QUOR_RC_TOO_MANY_DEPENDENTS, count);
    if (maxIdSize > QUOR_MAX_ID_SIZE) return t.failWith(30, QUOR_RC_MAX_ID_SIZE_TOO_LARGE, maxIdSize);
    const uint64_t m = round8(maxIdSize), entrySize = kLocatorSize + m;
    if (count > 0) {
        if (infos == nullptr) return t.failWith(40, QUOR_RC_NULL_INFO_ARRAY, 0);
        if (ids == nullptr) return t.failWith(41, QUOR_RC_NULL_ID, 0);
        if (lengths == nullptr) return t.failWith(42, QUOR_RC_NULL_ID_SIZES, 0);
    }
    Area area;
    if (uint32_t rc = openArea(node, QUOR_KIND_DEPENDENTS, &area); rc != 0) return t.fail(50, rc);
    if (!hasList(node) && !roomForList(area, m)) return t.failWith(60, QUOR_RC_NO_ROOM_FOR_LIST, area.size());
    if (count > 0) {
        if (entrySize * count + QUOR_DEP_LIST_HEADER_SIZE > area.size())
            return t.failWith(70, QUOR_RC_DEP_LIST_FULL, count);
        if (uint32_t rc = checkNewEntries(t, infos, lengths, ids, m, count); rc != 0) return rc;
        setListFlag(node);
    }
    return underCondition(t, node, Access::Write, inCriticalSection, QUOR_COND_MASK_ACCESSORS, [&] {
        DepList list;
        list.area = area;
        list.maxIdSize = m;
        list.entrySize = entrySize;
        uint64_t *header = list.header();
        if (header == nullptr) return t.fail(80, QUOR_RC_LOCATION_OUT_OF_AREA);
        if (count == 0) setListFlag(node);
        // The header and the unused marks first, the count last: a reader that
        // sees the list formatted sees every slot either an entry or unused.
        area.record()->usedSize = 0;
        __atomic_store_n(header, m, __ATOMIC_RELAXED);
        list.capacity = (area.size() - QUOR_DEP_LIST_HEADER_SIZE) / entrySize;
        for (uint64_t i = count; i < list.capacity; ++i)
            __atomic_store_n(&list.slot(i)->tag, kUnusedSlotTag, __ATOMIC_RELAXED);
        for (uint64_t i = 0, start = 0; i < count; start += lengths[i], ++i) {
            SNodeInfo_t *slot = list.slot(i);
            if (slot == nullptr) return t.failWith(90, QUOR_RC_LOCATION_OUT_OF_AREA, i);
            auto *idBytes =
                area.at<char>(QUOR_DEP_LIST_HEADER_SIZE + i * entrySize + kLocatorSize, lengths[i]);
            if (idBytes == nullptr) return t.failWith(100, QUOR_RC_ID_OUT_OF_AREA, i);
            storeLocator(node, slot, idBytes, &infos[i], ids + start, lengths[i]);
        }
        __atomic_store_n(&area.record()->usedSize, QUOR_DEP_LIST_HEADER_SIZE + count * entrySize,
                         __ATOMIC_RELEASE);
        if (count == 0) return QUOR_RC_OK;
        if (uint32_t rc = countReconfiguration(node); rc != 0) return t.fail(120, rc);
        return QUOR_RC_OK;
    });
}

// Writes an entry into a slot of the list (rule 4: the tag last).
uint32_t storeInSlot(Trace &t, SNodeCB_t *node, const DepList &list, SNodeInfo_t *slot, SNodeInfo_t *info,
                     const char *id, uint64_t idLength) {
    uint64_t at = 0;
    char *idBytes = list.area.offsetOf(slot, &at) ? list.area.at<char>(at + kLocatorSize, idLength) : nullptr;
    if (idBytes == nullptr) return t.fail(120, QUOR_RC_ID_OUT_OF_AREA);
    storeLocator(node, slot, idBytes, info, id, idLength);
    return QUOR_RC_OK;
}

// A new entry after a scan that went to the end of the list: into the first
// hole, else the first unused slot, then counted. The scan's own count of the
// entries replaces a recorded count that disagrees with it (a writer that died
// between publishing an entry and counting it), so the room test and the new
// count are the list's own.
uint32_t placeNew(Trace &t, SNodeCB_t *node, const DepList &list, const DepCursor &cursor, SNodeInfo_t *info,
                  const char *id, uint64_t idLength) {
    PExport *record = list.area.record();
    const uint64_t used = QUOR_DEP_LIST_HEADER_SIZE + cursor.seen() * list.entrySize;
    if (used != record->usedSize) __atomic_store_n(&record->usedSize, used, __ATOMIC_RELEASE);
    if (list.maxIdSize == 0 || used + list.entrySize > list.area.size()) return t.fail(100, QUOR_RC_DEP_LIST_FULL);
    SNodeInfo_t *slot = cursor.firstHole() != nullptr ? cursor.firstHole() : cursor.firstUnused();
    if (slot == nullptr) return t.fail(110, QUOR_RC_DEP_LIST_FULL);
    if (uint32_t rc = storeInSlot(t, node, list, slot, info, id, idLength); rc != 0) return rc;
    __atomic_store_n(&record->usedSize, used + list.entrySize, __ATOMIC_RELEASE);
    return QUOR_RC_OK;
}

uint32_t addDependent(Trace &t, SNodeCB_t *node, SNodeInfo_t *info, const char *id, uint64_t idLength,
                      uint32_t mode, uint32_t inCriticalSection) {
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (info == nullptr) return t.failWith(20, QUOR_RC_NULL_NODE_INFO, 0);
    if (idLength == 0 && id != nullptr) idLength = info->idSize;
    if (idLength != 0 && id == nullptr) return t.failWith(30, QUOR_RC_NULL_ID, idLength);
    // A tag of 0 would make the entry a hole that the count still includes.
    const uint64_t tag = info->tag;
    if (tag == 0 || tag > QUOR_MAX_TAG) return t.failWith(35, QUOR_RC_SIZE_TOO_LARGE, tag);
    uint64_t m = 0;
    if (uint32_t rc = storedMaxIdSize(node, &m); rc != 0) return t.fail(40, rc);
    if (idLength > m) return t.failWith(50, QUOR_RC_ID_TOO_LONG, idLength);
    setListFlag(node);
    return underCondition(t, node, Access::Write, inCriticalSection, QUOR_COND_MASK_NOT_ABANDONED, [&] {
        DepList list;
        if (uint32_t rc = openDependentList(node, &list); rc != 0) {
            return t.fail(60, rc == QUOR_RC_TOO_MANY_DEPENDENTS ? rc : QUOR_RC_DEPENDENT_NOT_FOUND);
        }
        if (idLength > list.maxIdSize) return t.failWith(70, QUOR_RC_ID_TOO_LONG, idLength);
        if (list.maxIdSize == 0) return t.fail(75, QUOR_RC_DEP_LIST_FULL);
        DepCursor cursor = DepCursor::wholeList(list);
        SNodeInfo_t *match = nullptr;
        uint32_t rc = firstMatch(cursor, tag, id, idLength, &match);
        if (rc != 0) return t.fail(80, rc);
        if (match != nullptr && mode != QUOR_DEP_REPLACE) return t.fail(90, QUOR_RC_DUPLICATE_DEPENDENT);
        if (match == nullptr) {
            if (rc = placeNew(t, node, list, cursor, info, id, idLength); rc != 0) return rc;
        } else if (rc = storeInSlot(t, node, list, match, info, id, idLength); rc != 0) {
            return rc;
        }
        if (rc = countReconfiguration(node); rc != 0) return t.fail(130, rc);
        return QUOR_RC_OK;
    });
}

uint32_t appendBody(Trace &t, SNodeCB_t *node, SNodeInfo_t *info, const char *id, uint64_t idLength,
                    uint32_t inCriticalSection) {
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (info == nullptr) return t.failWith(20, QUOR_RC_NULL_NODE_INFO, 0);
    if (idLength != 0 && id == nullptr) return t.failWith(30, QUOR_RC_NULL_ID, idLength);
    if (info->tag == 0 || info->tag > QUOR_MAX_TAG) return t.failWith(35, QUOR_RC_SIZE_TOO_LARGE, info->tag);
    setListFlag(node);
    return underCondition(t, node, Access::Write, inCriticalSection, QUOR_COND_MASK_NOT_ABANDONED, [&] {
        DepList list;
        if (uint32_t rc = openDependentList(node, &list); rc != 0) return t.fail(60, rc);
        if (idLength > list.maxIdSize) return t.failWith(70, QUOR_RC_ID_TOO_LONG, idLength);
        DepCursor cursor = DepCursor::wholeList(list);
        if (uint32_t rc = forEachEntry(cursor, [](const DepEntry &) { return true; }); rc != 0)
            return t.fail(80, rc);
        if (uint32_t rc = placeNew(t, node, list, cursor, info, id, idLength); rc != 0) return rc;
        if (uint32_t rc = countReconfiguration(node); rc != 0) return t.fail(130, rc);
        return QUOR_RC_OK;
    });
}

// Frees an occupied entry (rule 4: unpublished first, then uncounted).
uint32_t clearEntry(Trace &t, SNodeCB_t *node, const DepList &list, SNodeInfo_t *slot) {
    __atomic_store_n(&slot->tag, uint64_t{0}, __ATOMIC_RELEASE);
    slot->idSize = 0;
    PExport *record = list.area.record();
    const uint64_t used = record->usedSize;
    const uint64_t now = used >= QUOR_DEP_LIST_HEADER_SIZE + list.entrySize ? used - list.entrySize
                                                                             : QUOR_DEP_LIST_HEADER_SIZE;
    __atomic_store_n(&record->usedSize, now, __ATOMIC_RELEASE);
    if (uint32_t rc = countReconfiguration(node); rc != 0) return t.fail(90, rc);
    if (now == QUOR_DEP_LIST_HEADER_SIZE) clearListFlag(node);
    return QUOR_RC_OK;
}

uint32_t deleteDependentBody(Trace &t, SNodeCB_t *node, SNodeInfo_t *probe, const char *id,
                             uint32_t inCriticalSection) {
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (probe == nullptr) return t.failWith(20, QUOR_RC_NULL_NODE_INFO, 0);
    const uint64_t tag = probe->tag, idLength = probe->idSize;
    if (idLength != 0 && id == nullptr) return t.failWith(30, QUOR_RC_NULL_ID, idLength);
    uint64_t m = 0;
    if (uint32_t rc = storedMaxIdSize(node, &m); rc != 0) return t.fail(40, rc);
    return underCondition(t, node, Access::Write, inCriticalSection, QUOR_COND_MASK_ANY, [&] {
        DepList list;
        if (uint32_t rc = openDependentList(node, &list); rc != 0) return t.fail(50, rc);
        if (list.count == 0) return t.fail(60, QUOR_RC_NO_DEPENDENTS);
        DepCursor cursor(list);
        SNodeInfo_t *match = nullptr;
        uint32_t rc = firstMatch(cursor, tag, id, idLength, &match);
        if (rc != 0) return t.fail(70, rc);
        if (match == nullptr) return t.fail(80, QUOR_RC_DEPENDENT_NOT_FOUND);
        return clearEntry(t, node, list, match);
    });
}

// Whether a slot still names what `expected` names.
bool sameTarget(const SNodeInfo_t *slot, const SNodeInfo_t &expected) {
    return __atomic_load_n(&slot->tag, __ATOMIC_ACQUIRE) == expected.tag && expected.tag != 0 &&
           slot->nodeOffset == expected.nodeOffset && slot->segDescOffset == expected.segDescOffset;
}

// The list of a node whose section is held, with `slot` one of its occupied
// entries that still names what `expected` names.
uint32_t openForEntry(Trace &t, SNodeCB_t *node, SNodeInfo_t *slot, const SNodeInfo_t &expected, DepList *list) {
    if (uint32_t rc = openDependentList(node, list); rc != 0) return t.fail(50, rc);
    uint64_t index = 0;
    if (!list->indexOf(slot, &index) || !sameTarget(slot, expected))
        return t.fail(80, QUOR_RC_DEPENDENT_NOT_FOUND);
    return QUOR_RC_OK;
}

uint32_t removeEntryBody(Trace &t, SNodeCB_t *node, SNodeInfo_t *slot, const SNodeInfo_t &expected) {
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (slot == nullptr) return t.failWith(20, QUOR_RC_NULL_NODE_INFO, 0);
    return underCondition(t, node, Access::Write, 0, QUOR_COND_MASK_ANY, [&] {
        DepList list;
        if (uint32_t rc = openForEntry(t, node, slot, expected, &list); rc != 0) return rc;
        return clearEntry(t, node, list, slot);
    });
}

uint32_t replaceEntryBody(Trace &t, SNodeCB_t *node, SNodeInfo_t *slot, const SNodeInfo_t &expected,
                          SNodeInfo_t *info, const char *id, uint64_t idLength) {
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (slot == nullptr || info == nullptr) return t.failWith(20, QUOR_RC_NULL_NODE_INFO, 0);
    if (idLength != 0 && id == nullptr) return t.failWith(30, QUOR_RC_NULL_ID, idLength);
    if (info->tag == 0 || info->tag > QUOR_MAX_TAG) return t.failWith(35, QUOR_RC_SIZE_TOO_LARGE, info->tag);
    return underCondition(t, node, Access::Write, 0, QUOR_COND_MASK_NOT_ABANDONED, [&] {
        DepList list;
        if (uint32_t rc = openForEntry(t, node, slot, expected, &list); rc != 0) return rc;
        if (idLength > list.maxIdSize) return t.failWith(70, QUOR_RC_ID_TOO_LONG, idLength);
        if (uint32_t rc = storeInSlot(t, node, list, slot, info, id, idLength); rc != 0) return rc;
        if (uint32_t rc = countReconfiguration(node); rc != 0) return t.fail(130, rc);
        return QUOR_RC_OK;
    });
}

uint32_t findDependentBody(Trace &t, SNodeInfo_t **entryOut, SNodeCB_t *node, uint64_t tag, uint64_t idLength,
                           const char *id, uint32_t inCriticalSection) {
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (entryOut == nullptr) return t.failWith(20, QUOR_RC_NULL_NODE_INFO, 0);
    if (idLength != 0 && id == nullptr) return t.failWith(30, QUOR_RC_NULL_ID, idLength);
    return underCondition(t, node, Access::Write, inCriticalSection, QUOR_COND_MASK_ANY, [&] {
        DepList list;
        if (uint32_t rc = openDependentList(node, &list); rc != 0) return t.fail(40, rc);
        DepCursor cursor(list);
        SNodeInfo_t *match = nullptr;
        uint32_t rc = firstMatch(cursor, tag, id, idLength, &match);
        if (rc != 0) return t.fail(50, rc);
        if (match == nullptr) return t.fail(60, QUOR_RC_DEPENDENT_NOT_FOUND);
        *entryOut = match;
        return QUOR_RC_OK;
    });
}

uint32_t returnNumber(Trace &t, SNodeCB_t *node, uint64_t *countOut, uint64_t *maxCountOut,
                      uint32_t inCriticalSection) {
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (countOut == nullptr) return t.failWith(20, QUOR_RC_NULL_COUNT_OUTPUT, 0);
    if (maxCountOut == nullptr) return t.failWith(30, QUOR_RC_NULL_CAPACITY_OUTPUT, 0);
    return underCondition(t, node, Access::Read, inCriticalSection, QUOR_COND_MASK_ANY, [&] {
        DepList list;
        if (uint32_t rc = openDependentList(node, &list); rc != 0) return t.fail(40, rc);
        *countOut = list.count;
        *maxCountOut = list.capacity;
        return QUOR_RC_OK;
    });
}

uint32_t returnDependents(Trace &t, SNodeCB_t *node, SNodeInfo_t *infos, char *idBuffer,
                          uint64_t *returnedOut, uint64_t *totalOut, uint64_t capacity, uint64_t slotSize,
                          uint32_t inCriticalSection) {
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (infos == nullptr) return t.failWith(20, QUOR_RC_NULL_INFO_ARRAY, 0);
    if (returnedOut == nullptr) return t.failWith(30, QUOR_RC_NULL_RETURNED_COUNT_OUTPUT, 0);
    if (totalOut == nullptr) return t.failWith(40, QUOR_RC_NULL_TOTAL_COUNT_OUTPUT, 0);
    if (idBuffer == nullptr) return t.failWith(50, QUOR_RC_NULL_ID, 0);
    if (capacity == 0 || capacity > QUOR_MAX_COUNT)
        return t.failWith(60, QUOR_RC_TOO_MANY_DEPENDENTS, capacity);
    uint64_t m = 0;
    if (slotSize != 0) {
        if (uint32_t rc = storedMaxIdSize(node, &m); rc != 0) return t.fail(70, rc);
    }
    if (slotSize != 0 && slotSize > m) return t.failWith(80, QUOR_RC_ID_SLOT_TOO_LARGE, slotSize);
    // A slot shorter than the list's IDs would let one ID run into the next.
    if (slotSize != 0 && slotSize < m) return t.failWith(81, QUOR_RC_ID_TOO_LONG, slotSize);
    return underCondition(t, node, Access::Read, inCriticalSection, QUOR_COND_MASK_ANY, [&] {
        DepList list;
        if (uint32_t rc = openDependentList(node, &list); rc != 0) {
            return t.fail(90, rc == QUOR_RC_TOO_MANY_DEPENDENTS ? rc : QUOR_RC_DEPENDENT_NOT_FOUND);
        }
        if (list.count == 0) return t.fail(100, QUOR_RC_NO_DEPENDENTS);
        // The list may have been re-made with a larger M since the slot test.
        if (slotSize != 0 && slotSize < list.maxIdSize) return t.failWith(105, QUOR_RC_ID_TOO_LONG, slotSize);
        const uint64_t wanted = list.count < capacity ? list.count : capacity;
        uint64_t copied = 0;
        DepCursor cursor(list);
        uint32_t rc = forEachEntry(cursor, [&](const DepEntry &entry) {
            SNodeInfo_t copy = *entry.info;
            copy.tag = entry.tag;
            copy.idSize = entry.idSize;
            copy.segBase = reinterpret_cast<uintptr_t>(entry.info) - copy.selfDisplacement;
            copy.selfDisplacement = 0;
            infos[copied] = copy;
            if (entry.idSize != 0) std::memcpy(idBuffer + copied * slotSize, entry.id, entry.idSize);
            return ++copied < wanted;
        });
        if (rc != 0) return t.fail(110, rc);
        *returnedOut = copied;
        *totalOut = list.count;
        return QUOR_RC_OK;
    });
}

// ---- the parent area: u64 maximum parent ID size, the locator at 8, its ID at 64 ----

constexpr uint64_t kParentInfoAt = QUOR_PARENT_INFO_OFFSET, kParentIdAt = QUOR_PARENT_ID_OFFSET;

uint32_t addParent(Trace &t, SNodeCB_t *node, SNodeInfo_t *info, uint64_t idLength, const char *id) {
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if ((node->areaFlags & QUOR_KIND_PARENT) == 0) return t.fail(20, QUOR_RC_NO_PARENT_AREA);
    if (info == nullptr) return t.failWith(30, QUOR_RC_NULL_NODE_INFO, 0);
    return underCondition(t, node, Access::Write, 0, QUOR_COND_MASK_ACTIVE_OR_DISC, [&] {
        Area area;
        if (uint32_t rc = openArea(node, QUOR_KIND_PARENT, &area); rc != 0) return t.fail(40, rc);
        const uint64_t *maximum = area.at<uint64_t>(0);
        if (maximum == nullptr) return t.fail(50, QUOR_RC_LOCATION_OUT_OF_AREA);
        if (*maximum > QUOR_MAX_ID_SIZE) return t.failWith(60, QUOR_RC_MAX_ID_SIZE_TOO_LARGE, *maximum);
        if (idLength != 0 && idLength > *maximum) return t.failWith(70, QUOR_RC_ID_SIZE_TOO_LARGE, idLength);
        if (idLength != 0 && id == nullptr) return t.failWith(80, QUOR_RC_NULL_ID, idLength);
        SNodeInfo_t *slot = area.at<SNodeInfo_t>(kParentInfoAt);
        char *idBytes = area.at<char>(kParentIdAt, idLength);
        if (slot == nullptr) return t.fail(90, QUOR_RC_LOCATION_OUT_OF_AREA);
        if (idBytes == nullptr) return t.fail(100, QUOR_RC_ID_OUT_OF_AREA);
        area.record()->usedSize = kParentInfoAt;
        storeLocator(node, slot, idBytes, info, id, idLength);
        area.record()->usedSize += kLocatorSize + idLength;
        return QUOR_RC_OK;
    });
}

uint32_t parentIdentifier(Trace &t, SNodeCB_t *node, uint64_t *lengthOut, char **idOut) {
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (lengthOut == nullptr) return t.failWith(20, QUOR_RC_NULL_ID_SIZES, 0);
    if (idOut == nullptr) return t.failWith(30, QUOR_RC_NULL_ID, 0);
    Area area;
    if (uint32_t rc = openArea(node, QUOR_KIND_PARENT, &area); rc != 0) return t.fail(40, rc);
    const SNodeInfo_t *info = area.at<SNodeInfo_t>(kParentInfoAt);
    if (info == nullptr) return t.fail(50, QUOR_RC_LOCATION_OUT_OF_AREA);
    const uint64_t length = info->idSize;
    char *bytes = length <= QUOR_MAX_ID_SIZE ? area.at<char>(kParentIdAt, length) : nullptr;
    if (bytes == nullptr) return t.failWith(60, QUOR_RC_ID_OUT_OF_AREA, length);
    *lengthOut = length;
    if (length != 0) *idOut = bytes;
    return QUOR_RC_OK;
}

}  // namespace

uint32_t createDependentList(SNodeCB_t *node, SNodeInfo_t *infos, const uint64_t *lengths, const char *ids,
                             uint64_t maxIdSize, uint64_t count, uint32_t inCriticalSection) {
    return traced(Fn::quorCreateDependentNodeList, [&](Trace &t) {
        return createList(t, node, infos, lengths, ids, maxIdSize, count, inCriticalSection);
    });
}

uint32_t addDependentNode(SNodeCB_t *node, SNodeInfo_t *info, const char *id, uint64_t idLength,
                          uint32_t mode, uint32_t inCriticalSection) {
    return traced(Fn::quorAddDependentNode, [&](Trace &t) {
        return addDependent(t, node, info, id, idLength, mode, inCriticalSection);
    });
}

uint32_t addParentNode(SNodeCB_t *node, SNodeInfo_t *info, uint64_t idLength, const char *id) {
    return traced(Fn::quorAddParentNode, [&](Trace &t) { return addParent(t, node, info, idLength, id); });
}

uint32_t deleteDependent(SNodeCB_t *node, SNodeInfo_t *probe, const char *id, uint32_t inCriticalSection) {
    return traced(Fn::quorDeleteDependentNode,
                  [&](Trace &t) { return deleteDependentBody(t, node, probe, id, inCriticalSection); });
}

uint32_t findDependent(SNodeInfo_t **entryOut, SNodeCB_t *node, uint64_t tag, uint64_t idLength,
                       const char *id, uint32_t inCriticalSection) {
    return traced(Fn::quorFindDependentNode, [&](Trace &t) {
        return findDependentBody(t, entryOut, node, tag, idLength, id, inCriticalSection);
    });
}

uint32_t appendDependent(SNodeCB_t *node, SNodeInfo_t *info, const char *id, uint64_t idLength,
                         uint32_t inCriticalSection) {
    return traced(Fn::quorAddDependentNode,
                  [&](Trace &t) { return appendBody(t, node, info, id, idLength, inCriticalSection); });
}

uint32_t entryOf(SNodeCB_t *node, SNodeCB_t *child, const SNodeInfo_t *hint, SNodeInfo_t **slot) {
    *slot = nullptr;
    DepList list;
    if (uint32_t rc = openDependentList(node, &list); rc != 0) return rc;
    auto names = [child](const SNodeInfo_t *entry) {
        SNodeCB_t *named = nullptr;
        return resolveLocator(entry, &named) == 0 && named == child;
    };
    uint64_t index = 0;
    if (hint != nullptr && list.indexOf(hint, &index)) {
        const uint64_t tag = __atomic_load_n(&hint->tag, __ATOMIC_ACQUIRE);
        if (tag != 0 && !unusedSlotTag(tag) && names(hint)) {
            *slot = list.slot(index);
            return QUOR_RC_OK;
        }
    }
    DepCursor cursor(list);
    const uint32_t rc = forEachEntry(cursor, [&](const DepEntry &entry) {
        if (names(entry.info)) *slot = entry.info;
        return *slot == nullptr;
    });
    if (rc != 0) return rc;
    return *slot != nullptr ? QUOR_RC_OK : QUOR_RC_DEPENDENT_NOT_FOUND;
}

uint32_t findEntryOf(SNodeCB_t *node, SNodeCB_t *child, const SNodeInfo_t *hint, SNodeInfo_t **slot,
                     SNodeInfo_t *copy) {
    CriticalSection section(node, Access::Write);
    uint32_t rc = section.entered();
    if (rc == 0) rc = entryOf(node, child, hint, slot);
    if (rc == 0) *copy = **slot;
    return section.close(rc);
}

uint32_t removeEntry(SNodeCB_t *node, SNodeInfo_t *slot, const SNodeInfo_t &expected) {
    return traced(Fn::quorDeleteDependentNode,
                  [&](Trace &t) { return removeEntryBody(t, node, slot, expected); });
}

uint32_t replaceEntry(SNodeCB_t *node, SNodeInfo_t *slot, const SNodeInfo_t &expected, SNodeInfo_t *info,
                      const char *id, uint64_t idLength) {
    return traced(Fn::quorAddDependentNode,
                  [&](Trace &t) { return replaceEntryBody(t, node, slot, expected, info, id, idLength); });
}

uint32_t parentLocation(SNodeCB_t *node, SNodeInfo_t **parentInfo) {
    return traced(Fn::quorGetParentNodeLocation, [&](Trace &t) {
        if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
        if (parentInfo == nullptr) return t.failWith(20, QUOR_RC_NULL_NODE_INFO, 0);
        Area area;
        if (uint32_t rc = openArea(node, QUOR_KIND_PARENT, &area); rc != 0) return t.fail(30, rc);
        SNodeInfo_t *info = area.at<SNodeInfo_t>(kParentInfoAt);
        if (info == nullptr) return t.fail(40, QUOR_RC_LOCATION_OUT_OF_AREA);
        *parentInfo = info;
        return QUOR_RC_OK;
    });
}

}  // namespace quor::tree

using namespace quor;
using namespace quor::tree;

QUOR_EXPORT uint32_t quorGetMaxIDSizeForDependentNode(SNodeCB_t *node, uint32_t kind,
                                                      uint64_t *maxIdSizeOut) {
    return traced(Fn::quorGetMaxIDSizeForDependentNode,
                  [&](Trace &t) { return getMaxIdSize(t, node, kind, maxIdSizeOut); });
}

QUOR_EXPORT uint32_t quorGetDependentNodesLocation(SNodeCB_t *node, SNodeInfo_t **entryOut,
                                                   uint64_t *countOut, uint64_t *maxCountOut) {
    return traced(Fn::quorGetDependentNodesLocation,
                  [&](Trace &t) { return getLocation(t, node, entryOut, countOut, maxCountOut); });
}

QUOR_EXPORT uint32_t quorGetNextDependentNodeLocation(SNodeCB_t *node, PExport *pExport,
                                                      SNodeInfo_t **entryRef) {
    return traced(Fn::quorGetNextDependentNodeLocation,
                  [&](Trace &t) { return getNextLocation(t, node, pExport, entryRef); });
}

QUOR_EXPORT uint32_t quorCreateDependentNodeList(SNodeCB_t *node, SNodeInfo_t *infoArray,
                                                 const uint64_t *idLengths, const char *idBuffer,
                                                 uint64_t maxIdSize, uint64_t count,
                                                 uint32_t inCriticalSection) {
    return createDependentList(node, infoArray, idLengths, idBuffer, maxIdSize, count, inCriticalSection);
}

QUOR_EXPORT uint32_t quorAddDependentNode(SNodeCB_t *node, SNodeInfo_t *info, const char *id,
                                          uint64_t idLength, uint32_t mode, uint32_t inCriticalSection) {
    return addDependentNode(node, info, id, idLength, mode, inCriticalSection);
}

QUOR_EXPORT uint32_t quorDeleteDependentNode(SNodeCB_t *node, SNodeInfo_t *info, const char *id,
                                             uint32_t inCriticalSection) {
    return deleteDependent(node, info, id, inCriticalSection);
}

QUOR_EXPORT uint32_t quorFindDependentNode(SNodeInfo_t **entryOut, SNodeCB_t *node, uint64_t tag,
                                           uint64_t idLength, const char *id, uint32_t inCriticalSection) {
    return findDependent(entryOut, node, tag, idLength, id, inCriticalSection);
}

QUOR_EXPORT uint32_t quorReturnNumberOfDependentNodes(SNodeCB_t *node, uint64_t *countOut,
                                                      uint64_t *maxCountOut, uint32_t inCriticalSection) {
    return traced(Fn::quorReturnNumberOfDependentNodes,
                  [&](Trace &t) { return returnNumber(t, node, countOut, maxCountOut, inCriticalSection); });
}

QUOR_EXPORT uint32_t quorReturnDependentNodes(SNodeCB_t *node, SNodeInfo_t *infoArray, char *idBuffer,
                                              uint64_t *returnedCountOut, uint64_t *totalCountOut,
                                              uint64_t capacity, uint64_t idSlotSize,
                                              uint32_t inCriticalSection) {
    return traced(Fn::quorReturnDependentNodes, [&](Trace &t) {
        return returnDependents(t, node, infoArray, idBuffer, returnedCountOut, totalCountOut, capacity,
                                idSlotSize, inCriticalSection);
    });
}

QUOR_EXPORT uint32_t quorDeleteDependentNodesArray(void *array) {
    return traced(Fn::quorDeleteDependentNodesArray, [&](Trace &t) {
        if (array == nullptr) return t.failWith(10, QUOR_RC_NULL_INFO_ARRAY, 0);
        if (uint32_t rc = freePrivate(&array, src::tree); rc != 0) return t.fail(20, rc);
        return QUOR_RC_OK;
    });
}

QUOR_EXPORT uint32_t quorAddParentNode(SNodeCB_t *node, SNodeInfo_t *parentInfo, uint64_t idLength,
                                       const char *id) {
    return addParentNode(node, parentInfo, idLength, id);
}

QUOR_EXPORT uint32_t quorGetParentNodeLocation(SNodeCB_t *node, SNodeInfo_t **parentInfoOut) {
    return parentLocation(node, parentInfoOut);
}

QUOR_EXPORT uint32_t quorGetParentNodeIdentifier(SNodeCB_t *node, uint64_t *idLengthOut, char **idOut) {
    return traced(Fn::quorGetParentNodeIdentifier,
                  [&](Trace &t) { return parentIdentifier(t, node, idLengthOut, idOut); });
}
