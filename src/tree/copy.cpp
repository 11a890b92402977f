// Tree copy and node re-creation (rules in copy.h).
#include "tree/copy.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <type_traits>
#include <utility>

#include "frame/export.h"
#include "frame/state.h"
#include "frame/trace.h"
#include "props/creation.h"
#include "props/operations.h"
#include "shm/storage.h"
#include "tree/access.h"
#include "tree/dependents.h"
#include "tree/directory.h"
#include "tree/locators.h"
#include "tree/records.h"
#include "tree/segments.h"
#include "tree/sizing.h"
#include "tree/walk.h"

namespace quor::tree {
namespace {

using props::BaseRKind, props::BaseVKind, props::IRKind, props::IVKind, props::RKind, props::VKind;

constexpr uint64_t kIdHeader = 16;  // ID area: maximum ID size, ID length, then the bytes

// A node's own ID inside its ID area.
uint32_t nodeId(SNodeCB_t *node, uint64_t *maxIdSize, uint64_t *length, const char **bytes) {
    Area area;
    if (uint32_t rc = openArea(node, QUOR_KIND_ID, &area); rc != 0) return rc;
    const uint64_t *head = area.at<uint64_t>(0, 2);
    if (head == nullptr) return QUOR_RC_AREA_OVERFULL;
    if (head[0] > QUOR_MAX_ID_SIZE) return QUOR_RC_MAX_ID_SIZE_TOO_LARGE;
    const uint64_t n = head[1];
    const char *id = n <= QUOR_MAX_ID_SIZE ? area.at<char>(kIdHeader, n) : nullptr;
    if (id == nullptr) return QUOR_RC_BAD_ID_LENGTH;
    *maxIdSize = head[0];
    *length = n;
    *bytes = id;
    return QUOR_RC_OK;
}

// ---- one property kind, read from the source and rebuilt in the copy ----

// Visits the live records of an opened area: address order (flat) or bucket and
// chain order (hashed).
template <class K, class Visit>
uint32_t forEachLive(const props::PropertyArea<K> &area, Visit &&visit) {
    if constexpr (K::base) {
        typename K::Record *record = area.recordAt(K::header.flatSize);
        if (record == nullptr) return K::codes.outOfArea;
        return props::keyWord(*record) != 0 ? visit(*record) : QUOR_RC_OK;
    } else {
        if (area.hashed()) {
            return props::walkChains(
                area, [&](uint64_t, typename K::LLNode &ll, bool *) { return visit(ll.record); });
        }
        props::FlatEnd end;
        return props::walkFlat(
            area, [&](uint64_t, typename K::Record &record, bool *) { return visit(record); },
            [](uint64_t) {}, &end);
    }
}

// Opens a source area for reading; *formatted is false for an area no list
// creation ever wrote (its header holds nothing to read).
template <class K>
uint32_t openSource(SNodeCB_t *node, props::PropertyArea<K> *area, bool *formatted) {
    if (uint32_t rc = area->openUnformatted(node); rc != 0) return rc;
    *formatted = area->area().record()->usedSize != 0;
    return *formatted ? area->open(node) : QUOR_RC_OK;
}

// A source record as the property the copy adds: its key (and ID), its value.
// The pointers stay inside the source's area.
template <class K>
uint32_t readProperty(const props::PropertyArea<K> &area, typename K::Record &record, props::NewProperty *p) {
    p->key.number = props::keyWord(record);
    if constexpr (K::tagged) {
        p->key.idLength = record.idLength;
        p->key.id = area.idBytes(record, p->key.idLength);
        if (p->key.id == nullptr) return QUOR_RC_ID_OUT_OF_AREA;
    }
    if constexpr (K::bytesValue) {
        p->valueSize = record.valueSize;
        p->bytes = area.valueBytes(record, p->valueSize);
        if (p->bytes == nullptr) return K::codes.outOfArea;
    } else {
        if (hostAtomicAdd(record.value, 0, &p->value) != 0) return QUOR_RC_ATOMIC_FAILED;
    }
    return QUOR_RC_OK;
}

// The RC word of a property just added to the copy.
template <class K>
uint32_t carryRc(SNodeCB_t *node, const props::Key &key, uint64_t rc) {
    props::PropertyArea<K> area;
    if (uint32_t code = area.open(node); code != 0) return code;
    typename K::Record *record = nullptr;
    if (uint32_t code = props::findRecord(area, key, &record); code != 0) return code;
    record->rc = rc;
    return QUOR_RC_OK;
}

// What the sizing needs of one kind of the source.
struct KindMeasure {
    bool formatted = false;
    uint64_t areaSize = 0;
    uint64_t count = 0, capacity = 0;
    uint64_t maxIdSize = 0, maxVSize = 0;
    uint64_t tagTable = 0, idTable = 0;
    uint32_t mode = QUOR_LIST_FLAT;
};

template <class K>
uint32_t measure(SNodeCB_t *node, KindMeasure *m) {
    props::PropertyArea<K> area;
    if (uint32_t rc = openSource(node, &area, &m->formatted); rc != 0) return rc;
    m->areaSize = area.size();
    if (!m->formatted) return QUOR_RC_OK;
    m->maxIdSize = area.maxIdSize();
    m->maxVSize = area.maxVSize();
    if constexpr (!K::base) {
        m->mode = area.hashed() ? QUOR_LIST_HASHED : QUOR_LIST_FLAT;
        // A hashed list's capacity is its table: sized again from it, the
        // table comes out the same prime.
        m->capacity =
            area.hashed() ? std::min<uint64_t>(area.tableSize(0), QUOR_MAX_COUNT) : area.flatCapacity();
        m->tagTable = area.tableSize(1);
        m->idTable = area.tableSize(2);
    }
    return forEachLive(area, [&](typename K::Record &) {
        ++m->count;
        return QUOR_RC_OK;
    });
}

// The copy of one property kind. Table kinds: the list made again at the new
// capacity, then every source property added with its value and RC (a hashed
// table is thus rebuilt at its new size). Base kinds: the one property made
// again. An area the source never formatted is left unformatted.
template <class K>
uint32_t copyKind(SNodeCB_t *source, SNodeCB_t *copy, const props::ListShape &shape) {
    props::PropertyArea<K> from;
    bool formatted = false;
    if (uint32_t rc = openSource(source, &from, &formatted); rc != 0 || !formatted) return rc;
    if constexpr (K::base) {
        return forEachLive(from, [&](typename K::Record &record) {
            props::NewProperty p;
            if (uint32_t rc = readProperty(from, record, &p); rc != 0) return rc;
            if (uint32_t rc = props::createBaseProperty<K>(copy, p, from.maxVSize(), 1); rc != 0) return rc;
            return carryRc<K>(copy, p.key, record.rc);
        });
    } else {
        if (uint32_t rc = props::createEmptyList<K>(copy, shape, 1); rc != 0) return rc;
        return forEachLive(from, [&](typename K::Record &record) {
            props::NewProperty p;
            if (uint32_t rc = readProperty(from, record, &p); rc != 0) return rc;
            const uint32_t rc = traced(props::FunctionsOf<K>::fn.add,
                                       [&](Trace &t) { return props::addProperty<K>(t, copy, p, 1); });
            return rc != 0 ? rc : carryRc<K>(copy, p.key, record.rc);
        });
    }
}

// Where each table kind's sizing lives in the node's sizing record (null: the
// kind has no such field), and which export-list entry holds its wanted
// capacity.
struct SizingFields {
    using P = NodeSpaceParams_t;
    uint64_t P::*count;
    uint32_t P::*mode;
    uint64_t P::*maxIdSize;
    uint64_t P::*maxVSize;
    uint64_t P::*tagTable;
    uint64_t P::*idTable;
    unsigned wantedEntry;

    void put(P &p, const KindMeasure &m, uint64_t capacity) const {
        p.*count = capacity;
        p.*mode = m.mode;
        if (maxIdSize != nullptr) p.*maxIdSize = m.maxIdSize;
        if (maxVSize != nullptr) p.*maxVSize = m.maxVSize;
        if (tagTable != nullptr) p.*tagTable = m.tagTable;
        if (idTable != nullptr) p.*idTable = m.idTable;
    }
    props::ListShape shape(const P &p) const {
        auto read = [&](uint64_t P::*field) { return field != nullptr ? p.*field : 0; };
        return {read(maxIdSize), read(maxVSize), p.*count, read(tagTable), read(idTable), p.*mode};
    }
};

template <class K>
constexpr SizingFields sizingFields() {
    using P = NodeSpaceParams_t;
    if constexpr (std::is_same_v<K, RKind>)
        return {&P::rCount, &P::rHashMode, nullptr, nullptr, nullptr, nullptr, QUOR_EXPORT_R_CAPACITY};
    else if constexpr (std::is_same_v<K, VKind>)
        return {&P::vCount, &P::vHashMode, nullptr, &P::vMaxVSize, nullptr, nullptr, QUOR_EXPORT_V_CAPACITY};
    else if constexpr (std::is_same_v<K, IRKind>)
        return {&P::irCount,        &P::irHashMode,    &P::irMaxIdSize,        nullptr,
                &P::irTagTableSize, &P::irIdTableSize, QUOR_EXPORT_IR_CAPACITY};
    else
        return {&P::ivCount,        &P::ivHashMode,    &P::ivMaxIdSize,        &P::ivMaxVSize,
                &P::ivTagTableSize, &P::ivIdTableSize, QUOR_EXPORT_IV_CAPACITY};
}

// The capacity a copy gives a kind: the saved wish s replaces the source's
// capacity c when c < s or when the live count fits in s.
uint64_t wantedCapacity(uint64_t capacity, uint64_t count, const ExportList_t *wanted, unsigned entry) {
    if (wanted == nullptr) return capacity;
    const uint64_t s = wanted->entries[entry];
    return capacity < s || count <= s ? s : capacity;
}

// ---- the sizing of a copy ----

struct CopyPlan {
    NodeSpaceParams_t params{};
    // Kinds the source never formatted keep their area's byte size.
    std::array<uint64_t, QUOR_AREA_KIND_COUNT> keptSize{};
};

// The values the sizing needs when the source has no formatted area of a kind:
// the smallest maxima the sizing accepts.
constexpr uint64_t kRestingVSize = 8;

template <class K>
uint32_t planKind(SNodeCB_t *source, const ExportList_t *wanted, CopyPlan *plan) {
    if ((plan->params.areaFlags & K::bit) == 0 || !hasArea(source, K::bit)) return QUOR_RC_OK;
    KindMeasure m;
    if (uint32_t rc = measure<K>(source, &m); rc != 0) return rc;
    if (!m.formatted) {
        m.maxVSize = kRestingVSize;
        plan->keptSize[areaBitNumber(K::bit) - 1] = round8(m.areaSize);
    }
    if constexpr (K::base) {
        if constexpr (K::bytesValue) plan->params.baseVMaxVSize = m.maxVSize;
    } else {
        constexpr SizingFields fields = sizingFields<K>();
        fields.put(plan->params, m, wantedCapacity(m.capacity, m.count, wanted, fields.wantedEntry));
    }
    return QUOR_RC_OK;
}

// The saved export list of a node, when it has one that can be read.
bool savedExports(SNodeCB_t *node, ExportList_t *out) {
    Area area;
    if (!hasArea(node, QUOR_KIND_EXPORT_LIST) || openArea(node, QUOR_KIND_EXPORT_LIST, &area) != 0)
        return false;
    const ExportList_t *list = area.at<ExportList_t>(0);
    if (list == nullptr) return false;
    *out = *list;
    return true;
}

// Gathers the source's kinds, counts, capacities and maxima. The caller holds
// the source's read section.
uint32_t planCopy(SNodeCB_t *source, const NodeCopyMode &mode, CopyPlan *plan) {
    ExportList_t saved{};
    const ExportList_t *wanted = nullptr;
    if (mode.capacityMode == QUOR_COPY_CAPACITY_EXPORT_LIST) {
        if (mode.wanted != nullptr) {
            wanted = mode.wanted;
        } else if (savedExports(source, &saved)) {
            wanted = &saved;
        }
    }
    NodeSpaceParams_t &p = plan->params;
    p.areaFlags = wanted != nullptr ? wanted->areaFlags : source->areaFlags;
    // A list emptied by deletions clears the kind's bit but keeps its area:
    // the copy keeps the room.
    if (hasArea(source, QUOR_KIND_DEPENDENTS)) p.areaFlags |= QUOR_KIND_DEPENDENTS;
    for (uint64_t kind = QUOR_KIND_ID; kind <= QUOR_KIND_EXPORT_LIST; kind <<= 1) {
        if ((p.areaFlags & kind) != 0 && !hasArea(source, kind)) return QUOR_RC_AREA_KIND_MISMATCH;
    }
    // One maximum ID size serves the ID, parent and list areas: the largest the
    // source uses in any of them, so that every ID it holds fits the copy.
    uint64_t maxIdSize = 0, length = 0;
    const char *id = nullptr;
    if (hasArea(source, QUOR_KIND_ID)) {
        if (uint32_t rc = nodeId(source, &maxIdSize, &length, &id); rc != 0) return rc;
    }
    if (hasArea(source, QUOR_KIND_PARENT)) {
        Area area;
        if (uint32_t rc = openArea(source, QUOR_KIND_PARENT, &area); rc != 0) return rc;
        const uint64_t *m = area.at<uint64_t>(0);
        if (m == nullptr) return QUOR_RC_LOCATION_OUT_OF_AREA;
        if (*m > QUOR_MAX_ID_SIZE) return QUOR_RC_MAX_ID_SIZE_TOO_LARGE;
        maxIdSize = std::max(maxIdSize, *m);
    }
    if ((p.areaFlags & QUOR_KIND_DEPENDENTS) != 0) {
        DepList list;
        if (uint32_t rc = openDependentList(source, &list); rc != 0) return rc;
        maxIdSize = std::max(maxIdSize, list.maxIdSize);
        p.dependentCount = wantedCapacity(list.capacity, list.count, wanted, QUOR_EXPORT_DEPENDENTS);
    }
    p.maxIdSize = maxIdSize;
    p.baseVMaxVSize = p.vMaxVSize = p.ivMaxVSize = kRestingVSize;
    uint32_t rc = planKind<BaseRKind>(source, wanted, plan);
    if (rc == 0) rc = planKind<BaseVKind>(source, wanted, plan);
    if (rc == 0) rc = planKind<RKind>(source, wanted, plan);
    if (rc == 0) rc = planKind<VKind>(source, wanted, plan);
    if (rc == 0) rc = planKind<IRKind>(source, wanted, plan);
    if (rc == 0) rc = planKind<IVKind>(source, wanted, plan);
    return rc;
}

// ---- the content of one node ----

// The areas copied byte for byte: the used bytes, into an area that holds them.
uint32_t copyBytes(SNodeCB_t *source, SNodeCB_t *copy, uint64_t kind) {
    Area from, to;
    if (uint32_t rc = openArea(source, kind, &from); rc != 0) return rc;
    if (uint32_t rc = openArea(copy, kind, &to); rc != 0) return rc;
    const uint64_t used = from.record()->usedSize;
    const unsigned char *bytes = from.at<unsigned char>(0, used);
    unsigned char *target = to.at<unsigned char>(0, used);
    if (bytes == nullptr) return QUOR_RC_AREA_OVERFULL;
    if (target == nullptr) return QUOR_RC_AREA_TOO_LARGE;
    if (used != 0) std::memcpy(target, bytes, used);
    to.record()->usedSize = used;
    return QUOR_RC_OK;
}

// The parent area: the caller's locator with the source's parent ID.
uint32_t copyParent(SNodeCB_t *source, SNodeCB_t *copy, const ParentLink &parent) {
    Area from, to;
    if (uint32_t rc = openArea(source, QUOR_KIND_PARENT, &from); rc != 0) return rc;
    if (uint32_t rc = openArea(copy, QUOR_KIND_PARENT, &to); rc != 0) return rc;
    const uint64_t *maximum = from.at<uint64_t>(0);
    const SNodeInfo_t *old = from.at<SNodeInfo_t>(QUOR_PARENT_INFO_OFFSET);
    if (maximum == nullptr || old == nullptr) return QUOR_RC_LOCATION_OUT_OF_AREA;
    const uint64_t length = from.record()->usedSize == 0 ? 0 : old->idSize;
    const char *id = length <= QUOR_MAX_ID_SIZE ? from.at<char>(QUOR_PARENT_ID_OFFSET, length) : nullptr;
    if (id == nullptr) return QUOR_RC_ID_OUT_OF_AREA;
    uint64_t *newMaximum = to.at<uint64_t>(0);
    SNodeInfo_t *slot = to.at<SNodeInfo_t>(QUOR_PARENT_INFO_OFFSET);
    char *idBytes = to.at<char>(QUOR_PARENT_ID_OFFSET, length);
    if (newMaximum == nullptr || slot == nullptr) return QUOR_RC_LOCATION_OUT_OF_AREA;
    if (idBytes == nullptr) return QUOR_RC_ID_OUT_OF_AREA;
    *newMaximum = *maximum;
    SNodeInfo_t info = parent.info;
    storeLocator(copy, slot, idBytes, &info, id, length);
    to.record()->usedSize = QUOR_PARENT_ID_OFFSET + length;
    return QUOR_RC_OK;
}

// Runs visit(entry) on each occupied entry of a node's list in address order,
// until it returns a code.
template <class Visit>
uint32_t forEachDependent(SNodeCB_t *node, Visit &&visit) {
    DepList list;
    if (uint32_t rc = openDependentList(node, &list); rc != 0) return rc;
    DepCursor cursor(list);
    for (;;) {
        DepEntry entry;
        bool done = false;
        if (uint32_t rc = cursor.next(&entry, &done); rc != 0 || done) return rc;
        if (uint32_t rc = visit(entry); rc != 0) return rc;
    }
}

// The dependent list: made empty at the new maximum; a re-creation carries the
// source's entries over in address order.
uint32_t copyDependents(SNodeCB_t *source, SNodeCB_t *copy, const NodeSpaceParams_t &params,
                        uint32_t callerTag) {
    if (params.dependentCount == 0) return QUOR_RC_OK;  // no room for a list
    if (uint32_t rc = createDependentList(copy, nullptr, nullptr, nullptr, params.maxIdSize, 0, 1); rc != 0)
        return rc;
    if (callerTag != QUOR_COPY_TAG_RECREATE) return QUOR_RC_OK;
    return forEachDependent(source, [&](const DepEntry &entry) {
        SNodeInfo_t info = *entry.info;
        return appendDependent(copy, &info, entry.id, entry.idSize, 1);
    });
}

// The counters: all four start at 0, then the update and spare counts take the
// source's values; the reconfiguration count counts the copy's own changes.
uint32_t copyCounters(SNodeCB_t *source, SNodeCB_t *copy) {
    for (void *slot :
         {copy->ReconfigCounter, copy->updateCounter, copy->spareCounter1, copy->spareCounter2}) {
        if (hostAtomicInit(slot, 0, 1) != 0) return QUOR_RC_ATOMIC_FAILED;
    }
    const std::array<std::pair<void *, void *>, 3> carried{{{source->updateCounter, copy->updateCounter},
                                                            {source->spareCounter1, copy->spareCounter1},
                                                            {source->spareCounter2, copy->spareCounter2}}};
    for (const auto &[from, to] : carried) {
        int32_t value = 0, old = 0;
        if (hostAtomicAdd(from, 0, &value) != 0 || hostAtomicSwap(to, value, &old) != 0)
            return QUOR_RC_ATOMIC_FAILED;
    }
    return QUOR_RC_OK;
}

uint32_t copyAreas(SNodeCB_t *source, SNodeCB_t *copy, const ParentLink &parent,
                   const NodeSpaceParams_t &params, uint32_t callerTag) {
    const uint64_t kinds = copy->areaFlags;
    for (uint64_t kind = QUOR_KIND_ID; kind <= QUOR_KIND_EXPORT_LIST; kind <<= 1) {
        if ((kinds & kind) != 0 && !hasArea(source, kind)) return QUOR_RC_AREA_KIND_MISMATCH;
    }
    auto has = [&](uint64_t kind) { return (kinds & kind) != 0; };
    uint32_t rc = QUOR_RC_OK;
    for (uint64_t kind : {uint64_t{QUOR_KIND_ID}, uint64_t{QUOR_KIND_TRIPLE}, uint64_t{QUOR_KIND_RMX},
                          uint64_t{QUOR_KIND_EXPORT_LIST}}) {
        if (rc == 0 && has(kind)) rc = copyBytes(source, copy, kind);
    }
    if (rc == 0 && has(QUOR_KIND_PARENT)) rc = copyParent(source, copy, parent);
    if (rc == 0 && has(QUOR_KIND_BASER)) rc = copyKind<BaseRKind>(source, copy, {});
    if (rc == 0 && has(QUOR_KIND_BASEV)) rc = copyKind<BaseVKind>(source, copy, {});
    if (rc == 0 && has(QUOR_KIND_R)) rc = copyKind<RKind>(source, copy, sizingFields<RKind>().shape(params));
    if (rc == 0 && has(QUOR_KIND_V)) rc = copyKind<VKind>(source, copy, sizingFields<VKind>().shape(params));
    if (rc == 0 && has(QUOR_KIND_IR))
        rc = copyKind<IRKind>(source, copy, sizingFields<IRKind>().shape(params));
    if (rc == 0 && has(QUOR_KIND_IV))
        rc = copyKind<IVKind>(source, copy, sizingFields<IVKind>().shape(params));
    if (rc == 0 && has(QUOR_KIND_DEPENDENTS)) rc = copyDependents(source, copy, params, callerTag);
    return rc;
}

uint32_t copyNodeData(Trace &t, SNodeCB_t *source, SNodeCB_t *copy, const ParentLink &parent,
                      const NodeSpaceParams_t *params, uint32_t callerTag, SNodeInfo_t *newInfo) {
    if (source == nullptr || copy == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (params == nullptr) return t.failWith(20, QUOR_RC_NULL_PARAMETER, 0);
    if (newInfo == nullptr) return t.failWith(30, QUOR_RC_NULL_NODE_INFO, 0);
    CriticalSection writing(copy, Access::Write);
    if (uint32_t rc = writing.entered(); rc != 0) return t.fail(40, rc);
    CriticalSection reading(source, Access::Read);
    if (uint32_t rc = reading.entered(); rc != 0) return writing.close(t.fail(50, rc));
    uint32_t rc = copyCounters(source, copy);
    if (rc != 0) {
        rc = t.fail(60, rc);
    } else {
        copy->tag = source->tag;
        copy->optionFlags = source->optionFlags;
        copy->optionWord1 = source->optionWord1;
        copy->optionWord2 = source->optionWord2;
        copy->updateMode = source->updateMode;
        copy->interval1 = source->interval1;
        copy->updateInterval = source->updateInterval;
        copy->lastUpdate = source->lastUpdate;
        copy->magic = source->magic;
        // The property operations accept an active node only; the copy takes the
        // source's condition and model once it is filled.
        copy->NodeCondition = QUOR_NODE_ACTIVE;
        if ((rc = copyAreas(source, copy, parent, *params, callerTag)) != 0) rc = t.fail(70, rc);
        copy->NodeCondition = source->NodeCondition;
        copy->concurrencyModel = source->concurrencyModel;
    }
    if (rc == 0) {
        uint64_t maxIdSize = 0, length = 0;
        const char *id = nullptr;
        if (hasArea(copy, QUOR_KIND_ID) && (rc = nodeId(copy, &maxIdSize, &length, &id)) != 0)
            rc = t.fail(80, rc);
        *newInfo = SNodeInfo_t{};
        newInfo->nodeOffset = copy->selfOffset;
        newInfo->tag = copy->tag;
        newInfo->idSize = length;
    }
    rc = reading.close(rc);
    return writing.close(rc);
}

uint32_t copyNodeDataTraced(SNodeCB_t *source, SNodeCB_t *copy, const ParentLink &parent,
                            const NodeSpaceParams_t *params, uint32_t callerTag, SNodeInfo_t *newInfo) {
    return traced(Fn::quorCopyNodeData, [&](Trace &t) {
        return copyNodeData(t, source, copy, parent, params, callerTag, newInfo);
    });
}

// Gives back a node the copy made but handed out to nobody.
void releaseNewNode(SNodeCB_t **node, uint32_t createMode, ShmSegInfo_t *targetSeg) {
    if (*node == nullptr) return;
    if (createMode == QUOR_COPY_CREATE_IN_PM) {
        (void)freePrivate(node, src::tree);
    } else {
        (void)disclaimNodeBlock(node, targetSeg->poolHandle, targetSeg->eyecatcher);
    }
    *node = nullptr;
}

uint32_t copyOneNode(Trace &t, const NodeCopyMode &mode, SNodeCB_t *source, SNodeCB_t **newNode,
                     const ParentLink &parent, NodeSpaceParams_t *paramsOut, uint64_t *byteCount) {
    if (source == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (newNode == nullptr) return t.failWith(20, QUOR_RC_NULL_PARAMETER, 0);
    if (byteCount == nullptr) return t.failWith(30, QUOR_RC_NULL_COPY_SIZE_OUTPUT, 0);
    const bool inSegment =
        mode.createMode == QUOR_COPY_CREATE_FROM_PM || mode.createMode == QUOR_COPY_CREATE_IN_SEGMENT;
    if (inSegment && mode.targetSeg == nullptr) return t.failWith(40, QUOR_RC_NOT_ATTACHED, 0);
    if (mode.capacityMode != QUOR_COPY_CAPACITY_SOURCE && mode.capacityMode != QUOR_COPY_CAPACITY_EXPORT_LIST)
        return t.failWith(50, QUOR_RC_BAD_CAPACITY_MODE, mode.capacityMode);
    if (!inSegment && mode.createMode != QUOR_COPY_CREATE_IN_PM)
        return t.failWith(60, QUOR_RC_BAD_CREATE_MODE, mode.createMode);

    CopyPlan plan;
    {
        CriticalSection reading(source, Access::Read);
        uint32_t rc = reading.entered();
        if (rc == 0) rc = planCopy(source, mode, &plan);
        if ((rc = reading.close(rc)) != 0) return t.fail(70, rc);
    }
    std::array<uint64_t, QUOR_MAX_SPACE_ARRAY_SIZE> sizes{};
    uint64_t total = 0, at = 0;
    if (uint32_t rc = sizeNode(plan.params, sizes.data(), &total); rc != 0) return t.fail(80, rc);
    for (unsigned k = 0; k < plan.keptSize.size(); ++k) {
        if (plan.keptSize[k] != 0) sizes[k] = plan.keptSize[k];
    }
    SNodeCB_t *node = nullptr;
    uint32_t rc = QUOR_RC_OK;
    if (inSegment) {
        rc = createPoolNode(mode.targetSeg, &node, plan.params.areaFlags, sizes.data(), &total, &at);
    } else {
        const uint32_t key = mode.sourceSeg != nullptr ? mode.sourceSeg->key1 : QUOR_EYECATCHER;
        const uint32_t latchKey = mode.sourceSeg != nullptr ? mode.sourceSeg->key2 : QUOR_EYECATCHER;
        rc = createPrivateNode(&node, plan.params.areaFlags, sizes.data(), &total, &at, key, latchKey);
    }
    if (rc != 0) return t.fail(90, rc);
    node->selfOffset = at;
    SNodeInfo_t info{};
    if ((rc = copyNodeDataTraced(source, node, parent, &plan.params, mode.callerTag, &info)) != 0) {
        releaseNewNode(&node, mode.createMode, mode.targetSeg);
        return t.fail(100, rc);
    }
    *newNode = node;
    *byteCount = total;
    if (paramsOut != nullptr) *paramsOut = plan.params;
    return QUOR_RC_OK;
}

// ---- a tree ----

// The condition codes with which an attach still hands out the child.
bool handsOutChild(uint32_t rc) {
    return rc == 0 || rc == QUOR_RC_NODE_ABANDONED || rc == QUOR_RC_NODE_NOT_ACTIVE ||
           rc == QUOR_RC_NODE_NOT_INITIALIZED || rc == QUOR_RC_NODE_DISASSOCIATED;
}

struct TreeCopyArgs {
    ShmSegInfo_t *sourceSeg = nullptr;
    ShmSegInfo_t *targetSeg = nullptr;
    ShmSegInfo_t *treeSeg = nullptr;  // the reference that children of the source are attached by
    uint32_t mask = QUOR_ACTION_UNCONDITIONAL;
    uint32_t createMode = QUOR_COPY_CREATE_IN_SEGMENT;
    // The most bytes the copied nodes may take: a copy into private memory on
    // its way to a segment of known size stops once it could not fit there (a
    // list naming one subtree many times would otherwise copy it as often).
    uint64_t byteLimit = UINT64_MAX;
};

struct CopyFrame {
    SNodeCB_t *node;  // the source node
    DepCursor cursor;
    SNodeCB_t *copy;       // its copy
    SNodeInfo_t copyInfo;  // the copy's locator: its children's parent
    uint64_t depth;        // the depth the node's children are copied with
    bool childSkipped;     // a child was passed over for its condition
};

// A node the frees of a failed copy go through: the copy and where its
// children are.
struct ReleaseFrame {
    SNodeCB_t *node;
    DepCursor cursor;
};

uint32_t openCursor(SNodeCB_t *node, DepCursor *cursor) {
    *cursor = DepCursor();
    if ((node->areaFlags & QUOR_KIND_DEPENDENTS) == 0) return QUOR_RC_OK;
    DepList list;
    if (uint32_t rc = openDependentList(node, &list); rc != 0) return rc;
    *cursor = DepCursor(list);
    return QUOR_RC_OK;
}

// Gives back a partly or wholly built copy, children before parents.
struct CopyRelease {
    using Frame = ReleaseFrame;
    uint32_t createMode;
    ShmSegInfo_t *targetSeg;

    uint32_t child(Frame &, const DepEntry &entry, Frame *next, ChildStep *step) {
        SNodeCB_t *node = nullptr;
        if (createMode == QUOR_COPY_CREATE_IN_PM) {
            node = reinterpret_cast<SNodeCB_t *>(static_cast<uintptr_t>(entry.info->nodeOffset));
        } else if (resolveLocator(entry.info, &node) != 0) {
            node = nullptr;  // what can not be found is not ours to free
        }
        if (node == nullptr) return QUOR_RC_OK;
        *next = Frame{node, DepCursor()};
        if (uint32_t rc = openCursor(node, &next->cursor); rc != 0) next->cursor = DepCursor();
        *step = ChildStep::Descend;
        return QUOR_RC_OK;
    }
    uint32_t leave(Frame &frame, bool) {
        releaseNewNode(&frame.node, createMode, targetSeg);
        return QUOR_RC_OK;
    }
};

void releaseCopy(SNodeCB_t *root, uint32_t createMode, ShmSegInfo_t *targetSeg) {
    if (root == nullptr) return;
    CopyRelease release{createMode, targetSeg};
    ReleaseFrame frame{root, DepCursor()};
    if (openCursor(root, &frame.cursor) != 0) frame.cursor = DepCursor();
    if (walkTree(frame, release) != 0) releaseNewNode(&root, createMode, targetSeg);
}

struct TreeCopy {
    using Frame = CopyFrame;
    const TreeCopyArgs &args;
    uint64_t maxDepth;
    uint64_t *bytes;
    SNodeInfo_t segmentLocator{};  // the target's descriptor and module offsets, once stored
    bool haveSegmentLocator = false;

    // The locator of a new node, to be stored in the target (or, for a private
    // copy, read by the copy out of private memory).
    uint32_t locatorOf(SNodeCB_t *copy, const SNodeInfo_t &data, SNodeInfo_t *info) {
        if (args.createMode == QUOR_COPY_CREATE_IN_PM) {
            *info = SNodeInfo_t{};
            info->nodeOffset = reinterpret_cast<uintptr_t>(copy);
        } else if (!haveSegmentLocator) {
            if (uint32_t rc = addStatusNodeInfo(&segmentLocator, args.targetSeg, args.targetSeg,
                                                data.nodeOffset, data.tag, data.idSize, nullptr);
                rc != 0)
                return rc;
            haveSegmentLocator = true;
            *info = segmentLocator;
        } else {
            *info = segmentLocator;
        }
        info->nodeOffset = args.createMode == QUOR_COPY_CREATE_IN_PM ? info->nodeOffset : data.nodeOffset;
        info->tag = data.tag;
        info->idSize = data.idSize;
        return QUOR_RC_OK;
    }

    // Copies one node unless its condition leaves it out (*copy null).
    uint32_t copyOne(SNodeCB_t *source, const SNodeInfo_t &parentInfo, SNodeCB_t **copy, SNodeInfo_t *info) {
        *copy = nullptr;
        uint32_t condition = 0;
        {
            CriticalSection reading(source, Access::Read);
            uint32_t rc = reading.entered();
            condition = source->NodeCondition;
            if (rc == 0 && !validCondition(condition)) rc = QUOR_RC_BAD_NODE_CONDITION;
            if ((rc = reading.close(rc)) != 0) return rc;
        }
        if (condition == QUOR_NODE_ABANDONED) return QUOR_RC_OK;
        if ((args.mask & (QUOR_ACTION_UNCONDITIONAL | (1u << condition))) == 0) return QUOR_RC_OK;
        const NodeCopyMode mode{args.sourceSeg,     args.targetSeg,
                                args.createMode,    QUOR_COPY_CAPACITY_SOURCE,
                                QUOR_COPY_TAG_TREE, nullptr};
        uint64_t size = 0;
        if (uint32_t rc = copyNode(mode, source, copy, ParentLink{parentInfo, nullptr}, nullptr, &size);
            rc != 0)
            return rc;
        *bytes += size;
        if (*bytes > args.byteLimit) {
            releaseNewNode(copy, args.createMode, args.targetSeg);
            return QUOR_RC_POOL_TOO_SMALL;
        }
        SNodeInfo_t data{};
        data.nodeOffset = (*copy)->selfOffset;
        data.tag = (*copy)->tag;
        uint64_t maxIdSize = 0;
        const char *id = nullptr;
        uint32_t rc = hasArea(*copy, QUOR_KIND_ID) ? nodeId(*copy, &maxIdSize, &data.idSize, &id) : 0;
        if (rc == 0) rc = locatorOf(*copy, data, info);
        if (rc != 0) releaseNewNode(copy, args.createMode, args.targetSeg);
        return rc;
    }

    uint32_t open(Frame *frame) const {
        frame->cursor = DepCursor();
        if (maxDepth != 0 && frame->depth >= maxDepth) return QUOR_RC_OK;
        ++frame->depth;
        return openCursor(frame->node, &frame->cursor);
    }

    // The source child an entry names: a private node's address (creation mode
    // 2), else the node attached through the locator. A child refused for
    // being abandoned, or lying in a segment not attached here, comes back null.
    uint32_t sourceChild(const DepEntry &entry, SNodeCB_t **child) const {
        *child = nullptr;
        if (args.createMode == QUOR_COPY_CREATE_FROM_PM) {
            *child = reinterpret_cast<SNodeCB_t *>(static_cast<uintptr_t>(entry.info->nodeOffset));
            return QUOR_RC_OK;
        }
        AttachedChild attached;
        const uint32_t rc = attachChild(entry.info, true, args.treeSeg, 0, &attached, true, entry.tag);
        if (rc == QUOR_RC_NODE_ABANDONED) return QUOR_RC_OK;
        if (!handsOutChild(rc)) return rc;
        *child = attached.node;
        return QUOR_RC_OK;
    }

    uint32_t child(Frame &parent, const DepEntry &entry, Frame *next, ChildStep *step) {
        SNodeCB_t *source = nullptr;
        if (uint32_t rc = sourceChild(entry, &source); rc != 0 || source == nullptr) return rc;
        SNodeCB_t *copy = nullptr;
        SNodeInfo_t info{};
        if (uint32_t rc = copyOne(source, parent.copyInfo, &copy, &info); rc != 0) return rc;
        if (copy == nullptr) {
            parent.childSkipped = true;
            return QUOR_RC_OK;
        }
        SNodeInfo_t entryInfo = info;
        if (uint32_t rc = appendDependent(parent.copy, &entryInfo, entry.id, entry.idSize, 0); rc != 0) {
            releaseNewNode(&copy, args.createMode, args.targetSeg);
            return rc;
        }
        *next = Frame{source, DepCursor(), copy, info, parent.depth, false};
        if (uint32_t rc = open(next); rc != 0) return rc;
        *step = ChildStep::Descend;
        return QUOR_RC_OK;
    }

    // A copy left without children because they were all passed over carries
    // no list bit.
    uint32_t leave(Frame &frame, bool) const {
        if (!frame.childSkipped) return QUOR_RC_OK;
        DepList list;
        if (uint32_t rc = openDependentList(frame.copy, &list); rc != 0) return rc;
        if (list.count == 0)
            __atomic_fetch_and(&frame.copy->areaFlags, ~uint64_t{QUOR_KIND_DEPENDENTS}, __ATOMIC_ACQ_REL);
        return QUOR_RC_OK;
    }
};

uint32_t copyTree(const TreeCopyArgs &args, SNodeCB_t *source, SNodeCB_t **newNode, const ParentLink &parent,
                  uint32_t *skipMarker, uint64_t *bytes, uint64_t depth, uint64_t maxDepth) {
    *newNode = nullptr;
    *skipMarker = 0;
    TreeCopy walk{args, maxDepth, bytes};
    CopyFrame root{source, DepCursor(), nullptr, SNodeInfo_t{}, depth, false};
    if (uint32_t rc = walk.copyOne(source, parent.info, &root.copy, &root.copyInfo); rc != 0) return rc;
    if (root.copy == nullptr) {
        *skipMarker = QUOR_COPY_SKIPPED;
        return QUOR_RC_OK;
    }
    uint32_t rc = walk.open(&root);
    if (rc == 0) rc = walkTree(root, walk);
    if (rc != 0) {
        releaseCopy(root.copy, args.createMode, args.targetSeg);
        return rc;
    }
    *newNode = root.copy;
    return QUOR_RC_OK;
}

uint32_t copyTreeChecked(Trace &t, const TreeCopyArgs &args, SNodeCB_t *source, SNodeCB_t **newNode,
                         const ParentLink &parent, uint32_t *skipMarker, uint64_t *bytes, uint64_t depth,
                         uint64_t maxDepth) {
    if (source == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (newNode == nullptr || skipMarker == nullptr) return t.failWith(20, QUOR_RC_NULL_PARAMETER, 0);
    if (bytes == nullptr) return t.failWith(30, QUOR_RC_NULL_COPY_SIZE_OUTPUT, 0);
    if (maxDepth > kWalkDepthLimit) return t.failWith(40, QUOR_RC_DEPTH_TOO_LARGE, maxDepth);
    if (args.createMode < QUOR_COPY_CREATE_IN_PM || args.createMode > QUOR_COPY_CREATE_IN_SEGMENT)
        return t.failWith(50, QUOR_RC_BAD_CREATE_MODE, args.createMode);
    if (args.createMode != QUOR_COPY_CREATE_IN_PM && args.targetSeg == nullptr)
        return t.failWith(60, QUOR_RC_NOT_ATTACHED, 0);
    if (args.createMode != QUOR_COPY_CREATE_FROM_PM && args.treeSeg == nullptr)
        return t.failWith(70, QUOR_RC_NOT_ATTACHED, 0);
    const uint32_t rc = copyTree(args, source, newNode, parent, skipMarker, bytes, depth, maxDepth);
    return rc != 0 ? t.fail(80, rc) : rc;
}

uint32_t copyTreeTraced(const TreeCopyArgs &args, SNodeCB_t *source, SNodeCB_t **newNode, uint64_t *bytes,
                        uint64_t maxDepth) {
    return traced(Fn::quorCopyTreeRecursively, [&](Trace &t) {
        uint32_t skipMarker = 0;
        *bytes = 0;
        return copyTreeChecked(t, args, source, newNode, ParentLink{}, &skipMarker, bytes, 1, maxDepth);
    });
}

// ---- a tree into one segment ----

// Marks every node of the old tree abandoned, children before parents. Unlike
// the tree-wide status walk, which stops at the first child already abandoned,
// it goes on through such children: an old tree that held one must still be
// marked whole.
struct OldTreeMark {
    using Frame = ReleaseFrame;
    ShmSegInfo_t *treeSeg;

    uint32_t child(Frame &, const DepEntry &entry, Frame *next, ChildStep *step) const {
        AttachedChild attached;
        const uint32_t rc = attachChild(entry.info, true, treeSeg, 0, &attached, true, entry.tag);
        if (!handsOutChild(rc)) return rc;
        if (attached.node == nullptr) return QUOR_RC_OK;
        *next = Frame{attached.node, DepCursor()};
        if (uint32_t orc = openCursor(attached.node, &next->cursor); orc != 0) return orc;
        *step = ChildStep::Descend;
        return QUOR_RC_OK;
    }
    uint32_t leave(Frame &frame, bool) const {
        SNodeCB_t *node = frame.node;
        return node->NodeCondition == QUOR_NODE_ABANDONED ? QUOR_RC_OK
                                                          : setNodeCondition(&node, QUOR_NODE_ABANDONED);
    }
};

uint32_t markAbandoned(SNodeCB_t *top, ShmSegInfo_t *treeSeg) {
    OldTreeMark mark{treeSeg};
    ReleaseFrame root{top, DepCursor()};
    if (uint32_t rc = openCursor(top, &root.cursor); rc != 0) return rc;
    return walkTree(root, mark);
}

// Holds a domain's heap latch for a scope.
class DomainLatch {
public:
    explicit DomainLatch(ShmDomainHandle_t *handle) : handle_(handle), rc_(storage::latchDomain(handle)) {}
    DomainLatch(const DomainLatch &) = delete;
    DomainLatch &operator=(const DomainLatch &) = delete;
    ~DomainLatch() { (void)release(); }
    uint32_t entered() const { return rc_; }
    uint32_t release() {
        if (rc_ != 0 || handle_ == nullptr) return QUOR_RC_OK;
        ShmDomainHandle_t *handle = handle_;
        handle_ = nullptr;
        return storage::unlatchDomain(handle);
    }

private:
    ShmDomainHandle_t *handle_;
    uint32_t rc_;
};

// How the copy deletes a segment, its own or the old one: the pool forced, the
// domain with it, whatever the attach count.
constexpr uint32_t kDeletePoolMode = QUOR_POOL_FREE_FORCE, kDeleteMode = QUOR_DELETE_POOL_FORCE,
                   kDeleteRefMode = QUOR_DETACH_ALL;

uint32_t deleteSegment(ShmSegInfo_t **seg) {
    return deleteStatusSegment(seg, kDeletePoolMode, kDeleteMode, kDeleteRefMode);
}

// Segments that the copy made and deletes again unless it hands them out.
struct MadeSegment {
    ShmSegInfo_t *seg = nullptr;
    ~MadeSegment() { drop(); }
    void drop() {
        if (seg != nullptr) (void)deleteSegment(&seg);
        seg = nullptr;
    }
};

// A tree copied into private memory, given back on every path.
struct PrivateTree {
    SNodeCB_t *top = nullptr;
    ~PrivateTree() { releaseCopy(top, QUOR_COPY_CREATE_IN_PM, nullptr); }
};

struct SingleSegmentCopy {
    Trace &t;
    SNodeCB_t *sourceTop;
    ShmSegInfo_t **sourceRef;
    uint64_t size;
    IpcResId newName{}, oldName{};
    bool haveNewName = false;
    ShmDomainOptions_t options{};
    uint64_t maxDepth;
    uint64_t oldSize = 0;  // of the source segment, which a tree that held there fits again
    uint64_t bytes = 0;

    // A failure before the new tree is complete and the old segment released.
    uint32_t failed(uint32_t probe, uint32_t cause) const {
        return t.failWith(probe, QUOR_RC_COPY_TREE_FAILED, cause);
    }
    // A failure after one of them.
    uint32_t finishFailed(uint32_t probe, uint32_t cause) const {
        return t.failWith(probe, QUOR_RC_COPY_TREE_FINISH_FAILED, cause);
    }

    uint32_t createSegment(const IpcResId &name, MadeSegment *made, uint64_t bytesWanted = 0) const {
        const uint64_t segmentSize = bytesWanted != 0 ? bytesWanted : size;
        if (uint32_t rc = createStatusSegment(&made->seg, segmentSize, &name, nullptr, 0, &options, nullptr);
            rc != 0)
            return rc;
        if (made->seg == nullptr) return QUOR_RC_NULL_AUTHORIZATION;
        if (made->seg->eyecatcher != QUOR_EYECATCHER) return QUOR_RC_BAD_EYECATCHER;
        return QUOR_RC_OK;
    }

    // Copies a tree into `target` and records its top there.
    uint32_t copyInto(SNodeCB_t *top, ShmSegInfo_t *from, ShmSegInfo_t *target, uint32_t createMode,
                      SNodeCB_t **newTop) {
        bytes = 0;
        const TreeCopyArgs args{from, target, from, QUOR_ACTION_UNCONDITIONAL, createMode,
                                createMode == QUOR_COPY_CREATE_IN_PM ? size : UINT64_MAX};
        SNodeCB_t *copy = nullptr;
        if (uint32_t rc = copyTreeTraced(args, top, &copy, &bytes, maxDepth); rc != 0) return rc;
        if (copy == nullptr) return QUOR_RC_NODE_ABANDONED;
        if (target != nullptr) {
            const uint32_t rc = putTopNodeInfo(target->domainHandle, copy->tag, copy->selfOffset,
                                               target->poolHandle->poolHeapOffset);
            if (rc != 0) return rc;
        }
        *newTop = copy;
        return QUOR_RC_OK;
    }

    // Marks every node of the old tree abandoned.
    uint32_t markOld() const { return markAbandoned(sourceTop, *sourceRef); }
    uint32_t releaseOld() const { return deleteSegment(sourceRef); }

    // A new segment under a new name; the old one goes once the new tree is
    // recorded.
    uint32_t intoNewSegment(SNodeCB_t **newTop, ShmSegInfo_t **targetRef) {
        MadeSegment target;
        if (uint32_t rc = createSegment(newName, &target); rc != 0) return failed(200, rc);
        DomainLatch latch((*sourceRef)->domainHandle);
        if (uint32_t rc = latch.entered(); rc != 0) return failed(210, rc);
        if (uint32_t rc = copyInto(sourceTop, *sourceRef, target.seg, QUOR_COPY_CREATE_IN_SEGMENT, newTop);
            rc != 0)
            return failed(220, rc);
        // The new tree is complete and recorded: it is handed out whatever follows.
        *targetRef = target.seg;
        target.seg = nullptr;
        uint32_t rc = markOld();
        rc = merged(rc, latch.release());
        if (rc != 0) return finishFailed(230, rc);
        if ((rc = releaseOld()) != 0) return finishFailed(240, rc);
        return QUOR_RC_OK;
    }

    // The first of two copies: the old tree copied under its domain's latch and
    // marked before the latch goes. Failures are recorded at probe .. probe + 20.
    uint32_t takeOldTree(uint32_t probe, ShmSegInfo_t *target, uint32_t createMode, SNodeCB_t **copy) {
        DomainLatch latch((*sourceRef)->domainHandle);
        if (uint32_t rc = latch.entered(); rc != 0) return failed(probe, rc);
        if (uint32_t rc = copyInto(sourceTop, *sourceRef, target, createMode, copy); rc != 0)
            return failed(probe + 10, rc);
        uint32_t rc = markOld();
        if ((rc = merged(rc, latch.release())) != 0) return failed(probe + 20, rc);
        return QUOR_RC_OK;
    }

    // The same name, through a copy in private memory. A tree that could not
    // fit the new size fails before the old segment goes; one that still does
    // not fit once it is gone is put back under its old name at its old size,
    // which *sourceRef then names: the private copy is never the last one lost.
    uint32_t throughPrivateMemory(SNodeCB_t **newTop, ShmSegInfo_t **targetRef) {
        PrivateTree saved;
        if (uint32_t rc = takeOldTree(300, nullptr, QUOR_COPY_CREATE_IN_PM, &saved.top); rc != 0) return rc;
        if (uint32_t rc = releaseOld(); rc != 0) return finishFailed(330, rc);
        MadeSegment target;
        uint32_t rc = createSegment(haveNewName ? newName : oldName, &target);
        if (rc == 0) rc = copyInto(saved.top, nullptr, target.seg, QUOR_COPY_CREATE_FROM_PM, newTop);
        if (rc == 0) {
            *targetRef = target.seg;
            target.seg = nullptr;
            return QUOR_RC_OK;
        }
        *newTop = nullptr;
        target.drop();
        const uint64_t copied = bytes;
        MadeSegment restored;
        SNodeCB_t *restoredTop = nullptr;
        uint32_t back = createSegment(oldName, &restored, oldSize);
        if (back == 0) back = copyInto(saved.top, nullptr, restored.seg, QUOR_COPY_CREATE_FROM_PM, &restoredTop);
        bytes = copied;
        if (back != 0) return finishFailed(350, rc);
        *sourceRef = restored.seg;
        restored.seg = nullptr;
        return failed(360, rc);
    }

    // The same name, through a temporary segment under the new name.
    uint32_t throughTemporarySegment(SNodeCB_t **newTop, ShmSegInfo_t **targetRef) {
        MadeSegment temporary;
        if (uint32_t rc = createSegment(newName, &temporary); rc != 0) return failed(400, rc);
        SNodeCB_t *temporaryTop = nullptr;
        if (uint32_t rc = takeOldTree(410, temporary.seg, QUOR_COPY_CREATE_IN_SEGMENT, &temporaryTop);
            rc != 0)
            return rc;
        if (uint32_t rc = releaseOld(); rc != 0) return finishFailed(440, rc);
        MadeSegment target;
        if (uint32_t rc = createSegment(oldName, &target); rc != 0) return finishFailed(450, rc);
        {
            DomainLatch latch(temporary.seg->domainHandle);
            if (uint32_t rc = latch.entered(); rc != 0) return finishFailed(460, rc);
            uint32_t rc =
                copyInto(temporaryTop, temporary.seg, target.seg, QUOR_COPY_CREATE_IN_SEGMENT, newTop);
            if ((rc = merged(rc, latch.release())) != 0) return finishFailed(470, rc);
        }
        *targetRef = target.seg;
        target.seg = nullptr;
        if (uint32_t rc = deleteSegment(&temporary.seg); rc != 0) return finishFailed(480, rc);
        return QUOR_RC_OK;
    }
};

// Segment options the caller left 0 take their defaults.
ShmDomainOptions_t withDefaults(const ShmDomainOptions_t *given) {
    ShmDomainOptions_t o{};
    if (given != nullptr) o = *given;
    for (uint64_t *key : {&o.eyecatcher0, &o.handleEyecatcher, &o.latchEyecatcher}) {
        if (*key == 0) *key = QUOR_EYECATCHER;
    }
    if (o.maxLevel == 0) o.maxLevel = QUOR_DOMAIN_DEFAULT_MAX_LEVEL;
    if (o.granule == 0) o.granule = 0x1000;
    if (o.mode == 0) o.mode = QUOR_SHM_MODE_CREATE;
    return o;
}

uint32_t copyIntoOneSegment(Trace &t, SNodeCB_t *sourceTop, SNodeCB_t **newTop, ShmSegInfo_t **sourceRef,
                            ShmSegInfo_t **targetRef, uint64_t size, const IpcResId *name,
                            const ShmDomainOptions_t *options, uint32_t targetMode, uint64_t maxDepth,
                            uint64_t *byteCount) {
    // What the call can not even report through is refused with its own code.
    if (sourceRef == nullptr || *sourceRef == nullptr) return t.failWith(10, QUOR_RC_NOT_ATTACHED, 0);
    if (targetRef == nullptr) return t.failWith(11, QUOR_RC_NOT_ATTACHED, 0);
    if (sourceTop == nullptr || newTop == nullptr) return t.failWith(12, QUOR_RC_NULL_PARAMETER, 0);
    if (byteCount == nullptr) return t.failWith(13, QUOR_RC_NULL_COPY_SIZE_OUTPUT, 0);
    *targetRef = nullptr;
    *newTop = nullptr;
    SingleSegmentCopy copy{
        t, sourceTop, sourceRef, size, {}, {}, name != nullptr, withDefaults(options), maxDepth};
    if (maxDepth > kWalkDepthLimit) return copy.failed(20, QUOR_RC_DEPTH_TOO_LARGE);
    {
        CriticalSection reading(sourceTop, Access::Read);
        uint32_t rc = reading.entered();
        if (rc == 0) rc = checkNodeCondition(sourceTop, QUOR_COND_MASK_NOT_ABANDONED);
        uint64_t m = 0;
        Area area;
        if (rc == 0 &&
            (!hasArea(sourceTop, QUOR_KIND_DEPENDENTS) || listMaxIdSize(sourceTop, &area, &m) != 0 || m == 0))
            rc = QUOR_RC_SOURCE_WITHOUT_LIST;
        if ((rc = reading.close(rc)) != 0) return copy.failed(30, rc);
    }
    if (copy.options.heapOffset % 8 != 0) return copy.failed(40, QUOR_RC_HEAP_OFFSET_NOT_ALIGNED);
    if (copy.options.userAppAreaSize > size) return copy.failed(50, QUOR_RC_BAD_USER_APP_AREA_SIZE);
    if (targetMode < QUOR_COPY_TARGET_NEW_SEGMENT || targetMode > QUOR_COPY_TARGET_VIA_TEMP)
        return copy.failed(60, QUOR_RC_BAD_CREATE_MODE);
    if (targetMode != QUOR_COPY_TARGET_VIA_PM && name == nullptr)
        return copy.failed(70, QUOR_RC_NOT_ATTACHED);
    if (name != nullptr) copy.newName = *name;
    copy.oldName = (*sourceRef)->segName;
    DomainView oldView;
    copy.oldSize = viewDomain((*sourceRef)->domainHandle, &oldView) == 0 ? oldView.seg.size() : size;

    uint32_t rc = QUOR_RC_OK;
    switch (targetMode) {
        case QUOR_COPY_TARGET_NEW_SEGMENT:
            rc = copy.intoNewSegment(newTop, targetRef);
            break;
        case QUOR_COPY_TARGET_VIA_PM:
            rc = copy.throughPrivateMemory(newTop, targetRef);
            break;
        default:
            rc = copy.throughTemporarySegment(newTop, targetRef);
            break;
    }
    *byteCount = copy.bytes;
    if (*targetRef == nullptr) *newTop = nullptr;
    return rc;
}

// ---- re-creation ----

// The old node's module record in the tree's segment, when its parent locator
// names one there.
const RMXPathRec_t *moduleRecord(ShmSegInfo_t *treeSeg, const SNodeInfo_t &parentInfo) {
    DomainView view;
    if (parentInfo.rmxPathOffset == 0 || viewDomain(treeSeg->domainHandle, &view) != 0) return nullptr;
    if (!view.inHeap(parentInfo.rmxPathOffset, sizeof(RMXPathRec_t))) return nullptr;
    return view.seg.at<RMXPathRec_t>(parentInfo.rmxPathOffset);
}

// Puts the old node back in use after a re-creation that did not replace it.
void restoreOld(SNodeCB_t *old, uint32_t condition) {
    CriticalSection writing(old, Access::Write);
    if (writing.entered() != 0) return;
    old->optionFlags &= ~QUOR_NODE_OPT_RECREATING;
    old->NodeCondition = condition;
    (void)writing.close(QUOR_RC_OK);
}

struct OldNode {
    SNodeCB_t *node;
    SNodeInfo_t *parentInPlace = nullptr;  // where it lies, which its translation counts from
    SNodeInfo_t parentInfo{};
    std::array<char, QUOR_MAX_ID_SIZE> id{};
    uint64_t idLength = 0;
    uint64_t capacity = 0;
    uint32_t condition = 0;
};

uint32_t readOld(OldNode *old) {
    if (uint32_t rc = parentLocation(old->node, &old->parentInPlace); rc != 0) return rc;
    old->parentInfo = *old->parentInPlace;
    CriticalSection reading(old->node, Access::Read);
    uint32_t rc = reading.entered();
    if (rc == 0) {
        uint64_t maxIdSize = 0;
        const char *id = nullptr;
        if (!hasArea(old->node, QUOR_KIND_ID)) {
            rc = QUOR_RC_NO_ID_AREA;
        } else if ((rc = nodeId(old->node, &maxIdSize, &old->idLength, &id)) == 0) {
            if (old->idLength != 0) std::memcpy(old->id.data(), id, old->idLength);
        }
        old->condition = old->node->NodeCondition;
    }
    return reading.close(rc);
}

// Points the parent area of every child of `copy` at it. A child whose
// condition refuses the change (not yet active, or abandoned) is passed over.
uint32_t repointChildren(SNodeCB_t *copy, ShmSegInfo_t *copySeg, const OldNode &old) {
    return forEachDependent(copy, [&](const DepEntry &entry) {
        SNodeCB_t *child = nullptr;
        ShmSegInfo_t *childSeg = nullptr;
        if (uint32_t rc = resolveLocator(entry.info, &child, &childSeg); rc != 0) return rc;
        if ((child->areaFlags & QUOR_KIND_PARENT) == 0) return QUOR_RC_OK;
        SNodeInfo_t info{};
        uint32_t rc =
            addStatusNodeInfo(&info, childSeg, copySeg, copy->selfOffset, copy->tag, old.idLength, nullptr);
        if (rc == 0) rc = addParentNode(child, &info, old.idLength, old.id.data());
        const bool refused = rc == QUOR_RC_NODE_NOT_INITIALIZED || rc == QUOR_RC_NODE_NOT_ACTIVE ||
                             rc == QUOR_RC_NODE_ABANDONED;
        return refused ? QUOR_RC_OK : rc;
    });
}

uint32_t recreate(Trace &t, SNodeCB_t **oldRef, SNodeCB_t **newNode, ShmSegInfo_t *treeSeg,
                  ShmSegInfo_t *targetSeg, uint64_t wantedCount, NodeSpaceParams_t *params) {
    if (oldRef == nullptr || *oldRef == nullptr || newNode == nullptr)
        return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (treeSeg == nullptr || targetSeg == nullptr) return t.failWith(20, QUOR_RC_NOT_ATTACHED, 0);
    if (wantedCount > QUOR_MAX_COUNT) return t.failWith(30, QUOR_RC_TOO_MANY_DEPENDENTS, wantedCount);
    OldNode old{*oldRef};
    if (uint32_t rc = readOld(&old); rc != 0) return t.fail(40, rc);
    SNodeCB_t *parent = nullptr;
    if (uint32_t rc = resolveLocator(old.parentInPlace, &parent); rc != 0) return t.fail(50, rc);

    // Out of use: walks that meet the old node stop until its entry is replaced.
    if (old.condition != QUOR_NODE_DISASSOCIATED) {
        SNodeCB_t *node = old.node;
        if (uint32_t rc = setNodeCondition(&node, QUOR_NODE_DISASSOCIATED); rc != 0) return t.fail(60, rc);
    }
    uint32_t rc = inSection(t, 70, old.node, Access::Write, 0, [&] {
        old.node->optionFlags |= QUOR_NODE_OPT_RECREATING;
        return QUOR_RC_OK;
    });
    // Whatever fails from here on leaves the old node as it was found.
    auto undo = [&](uint32_t probe, uint32_t code) {
        restoreOld(old.node, old.condition);
        return t.fail(probe, code);
    };
    if (rc != 0) return undo(71, rc);
    rc = inSection(t, 80, old.node, Access::Read, 0, [&] {
        DepList list;
        const uint32_t code = openDependentList(old.node, &list);
        old.capacity = list.capacity;
        return code;
    });
    if (rc != 0) return undo(81, rc);

    // The wish for more room goes through the export list when the node keeps
    // one; a node without one is given the same wish directly.
    ExportList_t wish{};
    wish.areaFlags = old.node->areaFlags;
    std::array<uint32_t, QUOR_EXPORT_LIST_ENTRIES> changes{};
    changes[QUOR_EXPORT_DEPENDENTS] =
        static_cast<uint32_t>(wantedCount == 0 ? 0 : std::max<uint64_t>(wantedCount, old.capacity));
    wish.entries[QUOR_EXPORT_DEPENDENTS] = changes[QUOR_EXPORT_DEPENDENTS];
    const bool keepsExports = hasArea(old.node, QUOR_KIND_EXPORT_LIST);
    if (keepsExports) {
        __atomic_fetch_or(&old.node->areaFlags, uint64_t{QUOR_KIND_EXPORT_LIST}, __ATOMIC_ACQ_REL);
        if ((rc = props::exportChangedProperties(old.node, changes.data())) != 0) return undo(90, rc);
    }
    const NodeCopyMode mode{treeSeg,
                            targetSeg,
                            QUOR_COPY_CREATE_IN_SEGMENT,
                            QUOR_COPY_CAPACITY_EXPORT_LIST,
                            QUOR_COPY_TAG_RECREATE,
                            keepsExports ? nullptr : &wish};
    SNodeCB_t *copy = nullptr;
    uint64_t bytes = 0;
    const ParentLink link{old.parentInfo, moduleRecord(treeSeg, old.parentInfo)};
    if ((rc = copyNode(mode, old.node, &copy, link, params, &bytes)) != 0) return undo(100, rc);

    SNodeInfo_t info{};
    rc =
        addStatusNodeInfo(&info, treeSeg, targetSeg, copy->selfOffset, copy->tag, old.idLength, link.rmxPath);
    // The parent's entry that names the old node is the one replaced, whatever
    // its siblings' tags and IDs.
    SNodeInfo_t *entry = nullptr;
    SNodeInfo_t expected{};
    if (rc == 0) rc = findEntryOf(parent, old.node, nullptr, &entry, &expected);
    if (rc == 0) rc = replaceEntry(parent, entry, expected, &info, old.id.data(), old.idLength);
    if (rc != 0) {
        releaseNewNode(&copy, QUOR_COPY_CREATE_IN_SEGMENT, targetSeg);
        return undo(110, rc);
    }
    // The children name their parent by locator: they are pointed at the copy,
    // so that none is left naming the old node once it is freed.
    rc = repointChildren(copy, targetSeg, old);
    if (rc != 0) rc = t.fail(115, rc);
    // The copy is in the tree; it goes into use once its recreating bit is gone.
    const uint32_t activated = inSection(t, 120, copy, Access::Write, 0, [&] {
        copy->optionFlags &= ~QUOR_NODE_OPT_RECREATING;
        if (copy->NodeCondition == QUOR_NODE_CREATED) return t.fail(130, QUOR_RC_NODE_NOT_ACTIVATABLE);
        copy->NodeCondition = QUOR_NODE_ACTIVE;
        return QUOR_RC_OK;
    });
    *newNode = copy;
    return merged(activated, rc);
}

}  // namespace

uint32_t copyNode(const NodeCopyMode &mode, SNodeCB_t *source, SNodeCB_t **newNode, const ParentLink &parent,
                  NodeSpaceParams_t *params, uint64_t *byteCount) {
    return traced(Fn::quorCopyNode,
                  [&](Trace &t) { return copyOneNode(t, mode, source, newNode, parent, params, byteCount); });
}

}  // namespace quor::tree

using namespace quor;
using namespace quor::tree;

namespace {

ParentLink parentLink(uint64_t nodeOffset, uint64_t segDescOffset, uint64_t rmxPathOffset, uint64_t segBase,
                      const RMXPathRec_t *rmxPath) {
    ParentLink link;
    link.info.nodeOffset = nodeOffset;
    link.info.segDescOffset = segDescOffset;
    link.info.rmxPathOffset = rmxPathOffset;
    link.info.segBase = segBase;
    link.rmxPath = rmxPath;
    return link;
}

}  // namespace

QUOR_EXPORT uint32_t quorCopyNode(ShmSegInfo_t *sourceSegInfo, ShmSegInfo_t *targetSegInfo,
                                  SNodeCB_t *sourceNode, SNodeCB_t **newNode, uint64_t parentNodeOffset,
                                  uint64_t parentSegDescOffset, uint64_t parentRmxPathOffset,
                                  uint64_t parentSegBase, const RMXPathRec_t *parentRmxPath,
                                  NodeSpaceParams_t *listParams, uint64_t *byteCountOut, uint32_t createMode,
                                  uint32_t capacityMode, uint32_t callerTag) {
    return copyNode(
        {sourceSegInfo, targetSegInfo, createMode, capacityMode, callerTag, nullptr}, sourceNode, newNode,
        parentLink(parentNodeOffset, parentSegDescOffset, parentRmxPathOffset, parentSegBase, parentRmxPath),
        listParams, byteCountOut);
}

QUOR_EXPORT uint32_t quorCopyNodeData(SNodeCB_t *sourceNode, SNodeCB_t *newNode, uint64_t parentNodeOffset,
                                      uint64_t parentSegDescOffset, uint64_t parentRmxPathOffset,
                                      uint64_t parentSegBase, const RMXPathRec_t *parentRmxPath,
                                      const NodeSpaceParams_t *listParams, uint32_t callerTag,
                                      SNodeInfo_t *newInfoOut) {
    return copyNodeDataTraced(
        sourceNode, newNode,
        parentLink(parentNodeOffset, parentSegDescOffset, parentRmxPathOffset, parentSegBase, parentRmxPath),
        listParams, callerTag, newInfoOut);
}

QUOR_EXPORT uint32_t quorCopyTreeRecursively(SNodeCB_t *sourceNode, SNodeCB_t **newNode,
                                             ShmSegInfo_t *sourceSegInfo, ShmSegInfo_t *targetSegInfo,
                                             ShmSegInfo_t *treeSegInfo, uint32_t mask, uint32_t createMode,
                                             uint64_t parentNodeOffset, uint64_t parentSegDescOffset,
                                             uint64_t parentRmxPathOffset, uint64_t parentSegBase,
                                             const RMXPathRec_t *parentRmxPath, uint32_t *skipMarkerOut,
                                             uint64_t *byteCountRef, uint64_t depth, uint64_t maxDepth) {
    return traced(Fn::quorCopyTreeRecursively, [&](Trace &t) {
        return copyTreeChecked(t, {sourceSegInfo, targetSegInfo, treeSegInfo, mask, createMode}, sourceNode,
                               newNode,
                               parentLink(parentNodeOffset, parentSegDescOffset, parentRmxPathOffset,
                                          parentSegBase, parentRmxPath),
                               skipMarkerOut, byteCountRef, depth, maxDepth);
    });
}

QUOR_EXPORT uint32_t quorCopyTreeIntoSingleShmSegment(SNodeCB_t *sourceTop, SNodeCB_t **newTop,
                                                      ShmSegInfo_t **sourceSegInfo,
                                                      ShmSegInfo_t **targetSegInfo, uint64_t segmentSize,
                                                      const IpcResId *name, const ShmDomainOptions_t *options,
                                                      uint32_t targetMode, uint64_t maxDepth,
                                                      uint64_t *byteCountOut) {
    return traced(Fn::quorCopyTreeIntoSingleShmSegment, [&](Trace &t) {
        return copyIntoOneSegment(t, sourceTop, newTop, sourceSegInfo, targetSegInfo, segmentSize, name,
                                  options, targetMode, maxDepth, byteCountOut);
    });
}

QUOR_EXPORT uint32_t quorRecreateNodeWithMoreDepNodes(SNodeCB_t **oldNode, SNodeCB_t **newNode,
                                                      ShmSegInfo_t *treeSegInfo, ShmSegInfo_t *targetSegInfo,
                                                      uint64_t wantedCount, NodeSpaceParams_t *listParams) {
    return traced(Fn::quorRecreateNodeWithMoreDepNodes, [&](Trace &t) {
        return recreate(t, oldNode, newNode, treeSegInfo, targetSegInfo, wantedCount, listParams);
    });
}
