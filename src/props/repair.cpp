// The repair of a node's property areas after a writer died inside one of its
// sections: what a kill can leave, and why this repairs it, is set out at the
// top of table.h.
#include <vector>

#include "props/table.h"
#include "tree/repair.h"

namespace quor::props {
namespace {

constexpr uint32_t kDamaged = QUOR_RC_NODE_DAMAGED;

// The key a record carries; false when its ID cannot lie in its room.
template <class K>
bool keyOf(const PropertyArea<K> &area, const typename K::Record &record, Key *key) {
    if constexpr (K::tagged) {
        *key = {record.tag, record.idLength, area.idBytes(record, record.idLength)};
        return key->id != nullptr;
    } else {
        *key = {record.number};
        return true;
    }
}

// Whether a record's value is whole: a byte value's size is 1..maxVSize (a
// torn one has size 0).
template <class K>
bool valueWhole(const PropertyArea<K> &area, const typename K::Record &record) {
    if constexpr (K::bytesValue) {
        const uint64_t size = record.valueSize;
        return size != 0 && area.valueBytes(record, size) != nullptr;
    } else {
        return true;
    }
}

// Rebuilds a hashed area from the sorted chains of table 0: a record whose
// value is torn is unlinked; every other lattice node below the highest live
// one goes on the memory stack, which then sits wholly above the next free
// offset; the tag and ID chains are laid again; usedSize is recounted.
template <class K>
uint32_t repairHashed(PropertyArea<K> &area, bool *dropped) {
    const uint64_t start = area.llStart(), stride = area.llNodeSize();
    if (area.end() < start + kStackWords) return kDamaged;
    const uint64_t slots = (area.end() - kStackWords - start) / stride;
    enum : uint8_t { kUnseen, kLive, kDropped };
    std::vector<uint8_t> state(slots, kUnseen);
    uint64_t live = 0, top = 0;  // top: one past the highest live node
    for (uint64_t b = 0; b < area.tableSize(0); ++b) {
        uint64_t *link = area.bucket(0, b);
        if (link == nullptr) return kDamaged;
        const typename K::Record *previous = nullptr;
        for (uint64_t at = *link; at != 0; at = *link) {
            typename K::LLNode *ll = area.llNode(at);
            if (ll == nullptr) return kDamaged;
            const uint64_t index = (at - start) / stride;
            if (index >= slots || state[index] != kUnseen) return kDamaged;
            Key key;
            if (!keyOf(area, ll->record, &key) || keyBucket(area, key) != b) return kDamaged;
            if (previous != nullptr) {
                Key before;
                int order = 0;
                if (!keyOf(area, *previous, &before) || compareRecord(area, ll->record, before, &order) != 0 ||
                    order <= 0)
                    return kDamaged;
            }
            if (!valueWhole(area, ll->record)) {
                state[index] = kDropped;
                ordered(link, ll->next);
                *dropped = true;
                continue;
            }
            state[index] = kLive;
            ++live;
            top = index + 1 > top ? index + 1 : top;
            previous = &ll->record;
            link = &ll->next;
        }
    }
    std::vector<uint64_t> freed;
    for (uint64_t i = top; i-- > 0;) {
        if (state[i] != kLive) freed.push_back(start + i * stride);
    }
    // The oldest entry names the highest node, so the lowest are taken back
    // first. Entries below the next free offset would have to sit in freed
    // nodes; none needs to, as a kill never leaves more freed nodes than the
    // stack had room for.
    const uint64_t nextFree = start + top * stride;
    if (freed.size() > kMaxFreedCount || nextFree + kStackWords + 8 * freed.size() > area.end()) return kDamaged;
    for (uint64_t i = 0; i < freed.size(); ++i) *area.freedEntry(i) = freed[i];
    *area.freedCountWord() = freed.size();
    *area.nextFreeWord() = nextFree;
    if constexpr (K::tagged) {
        for (unsigned t = 1; t < 3; ++t) {
            for (uint64_t b = 0; b < area.tableSize(t); ++b) {
                uint64_t *bucket = area.bucket(t, b);
                if (bucket == nullptr) return kDamaged;
                *bucket = 0;
            }
        }
        for (uint64_t i = 0; i < top; ++i) {
            if (state[i] != kLive) continue;
            const uint64_t at = start + i * stride;
            typename K::LLNode &ll = *area.llNode(at);
            SidePush<K> tagPush, idPush;
            const uint64_t idIndex =
                bucketOf(hashBytes(0, area.idBytes(ll.record, ll.record.idLength), ll.record.idLength),
                         area.tableSize(2));
            if (tagPush.prepare(area, kTagChain<K>, numberBucket(ll.record.tag, area.tableSize(1))) != 0 ||
                idPush.prepare(area, kIdChain<K>, idIndex) != 0)
                return kDamaged;
            tagPush.apply(area, kTagChain<K>, ll, at);
            idPush.apply(area, kIdChain<K>, ll, at);
        }
    }
    area.setUsed(K::header.hashedSize + 8 * area.bucketCount() + kStackWords + 8 * freed.size() +
                 live * stride);
    return QUOR_RC_OK;
}

// Recounts a flat area: its live records are the slots with a non-zero key,
// searched as far as one more than usedSize counts (an add killed before it
// raised usedSize left one more). A record whose value is torn is freed.
template <class K>
uint32_t repairFlat(PropertyArea<K> &area, bool *dropped) {
    const uint64_t counted = area.flatInUse(), capacity = area.flatCapacity();
    uint64_t live = 0;
    for (uint64_t slot = 0; slot < capacity && live <= counted; ++slot) {
        typename K::Record *record = area.flatRecord(slot);
        if (record == nullptr) return kDamaged;
        if (keyWord(*record) == 0) continue;
        Key key;
        if (!keyOf(area, *record, &key)) return kDamaged;
        if (!valueWhole(area, *record)) {
            ordered(&keyWord(*record), 0);
            *dropped = true;
            continue;
        }
        ++live;
    }
    area.setUsed(K::header.flatSize + live * area.recordSize());
    return QUOR_RC_OK;
}

// A Base record is live while usedSize counts it (its creation raises usedSize
// last, its delete lowers it first); one with a torn value is emptied.
template <class K>
uint32_t repairBase(PropertyArea<K> &area, bool *dropped) {
    typename K::Record *record = area.recordAt(K::header.flatSize);
    if (record == nullptr) return kDamaged;
    if (valueWhole(area, *record)) {
        area.setUsed(K::header.flatSize + area.recordSize());
        return QUOR_RC_OK;
    }
    area.setUsed(0);
    *dropped = true;
    return QUOR_RC_OK;
}

template <class K>
uint32_t repairArea(SNodeCB_t *node) {
    if ((node->areaFlags & K::bit) == 0) return QUOR_RC_OK;
    PropertyArea<K> area;
    if (area.openUnformatted(node) != 0) return kDamaged;
    // Nothing formatted yet, or an emptied Base record: nothing to agree with.
    if (area.area().record()->usedSize == 0) return QUOR_RC_OK;
    if (area.readHeader() != 0) return kDamaged;
    bool dropped = false;
    uint32_t rc = QUOR_RC_OK;
    if constexpr (K::base) {
        rc = repairBase(area, &dropped);
    } else {
        rc = area.hashed() ? repairHashed(area, &dropped) : repairFlat(area, &dropped);
    }
    if (rc == 0 && dropped) (void)countChange(node);
    return rc;
}

template <class... Kinds>
uint32_t repairKinds(SNodeCB_t *node) {
    uint32_t rc = QUOR_RC_OK;
    ((rc = rc != 0 ? rc : repairArea<Kinds>(node)), ...);
    return rc;
}

}  // namespace

uint32_t repairAreas(SNodeCB_t *node) {
    return repairKinds<RKind, VKind, IRKind, IVKind, BaseRKind, BaseVKind>(node);
}

}  // namespace quor::props
