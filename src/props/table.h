// Changing a property area: the memory stack of a hashed area, writing a new
// record, and inserting into and removing from the hashed tables.
//
// Rules every change keeps (callers hold the node's write section):
//  1. Everything is checked before the first write: a change that fails with a
//     code has written nothing, except that a failing ReconfigCounter increment
//     leaves the completed change in place.
//  2. A record is complete (latch block, ID, value, then its key) before it is
//     published, and unpublished before anything of it is cleared or reused.
//     The publishing store is one word: the link into its sorted chain
//     (hashed), the key word of a flat slot, usedSize of a Base record. It is
//     made with `ordered`, so that no write of the record moves past it.
//  3. usedSize = header + buckets + memory stack + live LL nodes (hashed), or
//     header + live records (flat).
//  4. The ReconfigCounter rises by exactly one per change of membership, after
//     the change, and never on a failure.
//
// A writer can die between any two of its writes. What a kill can leave, and
// how the next holder of the latch repairs it (repairAreas, props/repair.cpp):
//  - Hashed: the sorted chains of table 0 are the truth. A node is linked into
//    them only once whole and unlinked from them first, so they always hold
//    whole records; everything else is derived from them and is rebuilt: the
//    tag and ID chains (a node pushed on one and not the other, or unlinked
//    from table 0 and still on a side chain), the memory stack (a node taken
//    and not yet linked, or unlinked and not yet pushed, or a stack entry
//    overwritten by the record taking its node), the next free offset, and
//    usedSize. A chain that leaves the lattice, repeats a node, falls out of
//    order or holds a key in the wrong bucket was not left by a kill: the node
//    is fenced.
//  - Flat: a slot is live when its key is non-zero; the repair counts them and
//    sets usedSize.
//  - Byte values (V, IV, BaseV) are written with their size cleared first
//    (values.cpp): a live record whose size is not 1..maxVSize is a value torn
//    by a kill, and is dropped (unlinked, its slot freed, the Base record
//    emptied), counted as a change of membership.
#pragma once

#include <cstdint>
#include <cstring>

#include "props/locate.h"
#include "quor/host.h"
#include "tree/access.h"

namespace quor::props {

// A property to be written: its key, and its value (an integer, or valueSize
// bytes at `bytes`).
struct NewProperty {
    Key key;
    int32_t value = 0;
    uint64_t valueSize = 0;
    const void *bytes = nullptr;
};

// A store that publishes or unpublishes: every write before it lands first, and
// no write after it lands before it, so a kill between two writes leaves them
// in program order. On the hosts built for, a plain store and a compiler fence.
inline void ordered(uint64_t *word, uint64_t value) {
    __atomic_store_n(word, value, __ATOMIC_RELEASE);
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
}

// One more change of the node's membership.
inline uint32_t countChange(SNodeCB_t *node) {
    int32_t old = 0;
    return hostAtomicIncrement(node->ReconfigCounter, &old) != 0 ? QUOR_RC_ATOMIC_FAILED : QUOR_RC_OK;
}

// The byte-string kinds copy from the caller's value pointer: a null one is
// refused before anything is written.
template <class K>
uint32_t checkValuePointer(const void *bytes) {
    if constexpr (K::bytesValue) {
        if (bytes == nullptr) return QUOR_RC_NULL_VALUE_BUFFER;
    }
    return QUOR_RC_OK;
}

// Writes a new record in place: the latch block first (V, IR, IV, and the
// BaseV record), then rc 0, the ID, the value, and the key last (a flat slot
// is published by its key). Requires: the record
// lies wholly inside the area (PropertyArea::recordAt or llNode), the ID length
// and the value size already checked against the area's maxima. Codes: the
// latch initialisation's, QUOR_RC_ATOMIC_FAILED, QUOR_RC_ID_OUT_OF_AREA,
// K::codes.outOfArea.
template <class K>
uint32_t fillRecord(const PropertyArea<K> &area, typename K::Record &record, const NewProperty &p) {
    uint64_t at = 0;
    if (!area.nodeOffsetOf(&record, &at)) return K::codes.outOfArea;
    SNodeCB_t *node = area.node();
    if constexpr (K::tagged || K::bytesValue) {
        if (uint32_t rc = tree::initializeLatches(node, &record.latches, node->nodeLatch.latchEyecatcher);
            rc != 0)
            return rc;
    }
    if constexpr (K::tagged) {
        char *id = area.idBytes(record, p.key.idLength);
        if (id == nullptr) return QUOR_RC_ID_OUT_OF_AREA;
        record.idOffset = at + idAt<K>();
        record.idLength = p.key.idLength;
        if (p.key.idLength != 0) std::memmove(id, p.key.id, p.key.idLength);
    }
    record.rc = 0;
    if constexpr (K::bytesValue) {
        unsigned char *value = area.valueBytes(record, p.valueSize);
        if (value == nullptr) return K::codes.outOfArea;
        record.valueOffset = at + valueAt<K>(area.maxIdSize());
        record.valueSize = p.valueSize;
        std::memmove(value, p.bytes, p.valueSize);
    } else {
        if (hostAtomicInit(record.value, p.value, 1) != 0) return QUOR_RC_ATOMIC_FAILED;
    }
    ordered(&keyWord(record), p.key.number);
    return QUOR_RC_OK;
}

// ---- the memory stack of a hashed area ----

template <class K>
class MemoryStack {
public:
    explicit MemoryStack(PropertyArea<K> &area) : area_(area) {}

    // Reads the freed count: above 32768, or a stack larger than the area,
    // gives QUOR_RC_BAD_FREED_COUNT. Requires: a hashed area.
    uint32_t read() {
        const uint64_t *word = area_.freedCountWord();
        if (word == nullptr) return QUOR_RC_BAD_FREED_COUNT;
        count_ = *word;
        if (count_ > kMaxFreedCount || size() > area_.size()) return QUOR_RC_BAD_FREED_COUNT;
        return QUOR_RC_OK;
    }
    uint64_t count() const { return count_; }
    uint64_t size() const { return 8 * count_ + kStackWords; }

    // Where the next LL node goes, without taking it: the newest freed one,
    // else fresh space at the next free offset. Codes: QUOR_RC_NO_FREE_SPACE
    // (fresh space below one LL node, or a freed entry that names no LL node),
    // QUOR_RC_BAD_FREE_SPACE_OFFSET (a next free offset that names no LL node).
    uint32_t peek(uint64_t *offset) {
        if (count_ == 0) {
            if (area_.size() - area_.used() < area_.llNodeSize()) return QUOR_RC_NO_FREE_SPACE;
            const uint64_t f = *area_.nextFreeWord();
            if (!inRange(f) || area_.llNode(f) == nullptr) return QUOR_RC_BAD_FREE_SPACE_OFFSET;
            *offset = peeked_ = f;
            return QUOR_RC_OK;
        }
        const uint64_t *top = area_.freedEntry(count_ - 1);
        if (top == nullptr || area_.used() < 8) return QUOR_RC_BAD_FREED_COUNT;
        const uint64_t f = *top;
        if (!inRange(f) || area_.llNode(f) == nullptr) return QUOR_RC_NO_FREE_SPACE;
        *offset = peeked_ = f;
        return QUOR_RC_OK;
    }
    // Takes what peek offered: pops the freed entry, or moves the next free
    // offset up by one LL node.
    void take() {
        if (count_ == 0) {
            *area_.nextFreeWord() = peeked_ + area_.llNodeSize();
            return;
        }
        *area_.freedCountWord() = --count_;
        (void)area_.shrinkUsed(8);
    }

    // Whether push would succeed, without writing. The entry goes at
    // end - 24 - 8 * count; below the next free offset that slot lies inside an
    // LL node handed out earlier, which is fine as long as that node is not
    // live: it is the node being freed (`llOffset`), or a node already on the
    // stack. Entries only ever sit in such nodes, and the stack is popped
    // newest first, so a freed node is taken back only after every entry
    // inside it is gone. The topmost node of a full area can therefore always
    // be freed: its own bytes take the entry. `releasing` is what the caller
    // takes off usedSize along with the push (the freed LL node, or 0), and the
    // entry must keep usedSize within the area. Codes:
    // QUOR_RC_NO_ROOM_FOR_FREED_ENTRY when the entry would fall on a live LL
    // node or a bucket, or push usedSize past the area; QUOR_RC_BAD_FREED_COUNT
    // when the stack is full; QUOR_RC_BAD_FREE_SPACE_OFFSET when the offset
    // names no LL node.
    uint32_t canPush(uint64_t llOffset, uint64_t releasing) const {
        if (area_.used() + 8 > area_.size() + releasing) return QUOR_RC_NO_ROOM_FOR_FREED_ENTRY;
        if (count_ >= kMaxFreedCount || area_.freedEntry(count_) == nullptr) return QUOR_RC_BAD_FREED_COUNT;
        if (area_.llNode(llOffset) == nullptr) return QUOR_RC_BAD_FREE_SPACE_OFFSET;
        if (area_.size() < kStackWords + 8 * (count_ + 1)) return QUOR_RC_NO_ROOM_FOR_FREED_ENTRY;
        const uint64_t slot = area_.end() - kStackWords - 8 * (count_ + 1);
        if (slot >= *area_.nextFreeWord()) return QUOR_RC_OK;
        return slotInFreedNode(slot, llOffset) ? QUOR_RC_OK : QUOR_RC_NO_ROOM_FOR_FREED_ENTRY;
    }
    // Records a freed LL node on top of the stack: usedSize += 8 - releasing,
    // in one store. Requires: canPush(llOffset, releasing) succeeded, and the
    // node is already unlinked (its bytes may take the entry).
    void push(uint64_t llOffset, uint64_t releasing) {
        *area_.freedEntry(count_) = llOffset;
        *area_.freedCountWord() = ++count_;
        area_.setUsed(area_.used() + 8 - releasing);
    }

private:
    // Whether the stack slot at node-relative `slot` (below the next free
    // offset) lies inside an LL node that is not live: `freeing`, or one on
    // the stack. When the slot above it is an entry in the same node, that
    // node already held an entry and so is free; otherwise the stack is
    // searched, which happens once per node the stack grows into.
    bool slotInFreedNode(uint64_t slot, uint64_t freeing) const {
        const uint64_t start = area_.llStart(), stride = area_.llNodeSize();
        if (slot < start) return false;
        const uint64_t owner = slot - (slot - start) % stride;
        if (owner == freeing) return true;
        if (count_ != 0 && slot + 8 < owner + stride) return true;
        for (uint64_t i = 0; i < count_; ++i) {
            const uint64_t *entry = area_.freedEntry(i);
            if (entry != nullptr && *entry == owner) return true;
        }
        return false;
    }

    // The range every offset taken from the stack must fall in.
    bool inRange(uint64_t f) const {
        return f == area_.offset() || (f > area_.offset() && f <= area_.end() - size());
    }

    PropertyArea<K> &area_;
    uint64_t count_ = 0;
    uint64_t peeked_ = 0;
};

// ---- the tag and ID chains of the tagged kinds ----

// A doubly linked, unsorted chain: the LL node's link pair at `pairAt` (its
// next and prev words), and the table whose buckets head it. `next` names the
// next LL node's pair; `prev` names the field that names this pair (a bucket
// entry or the previous pair's next word).
template <class K>
struct SideChain {
    unsigned table;
    uint64_t pairAt;
    uint64_t K::LLNode::*next;
    uint64_t K::LLNode::*prev;
};
template <class K>
inline constexpr SideChain<K> kTagChain{1, 8, &K::LLNode::tagNext, &K::LLNode::tagPrev};
template <class K>
inline constexpr SideChain<K> kIdChain{2, 24, &K::LLNode::idNext, &K::LLNode::idPrev};

// The LL node whose pair of `chain` sits at node-relative `pairOffset`; null
// when none does.
template <class K>
typename K::LLNode *pairOwner(const PropertyArea<K> &area, const SideChain<K> &chain, uint64_t pairOffset) {
    return pairOffset < chain.pairAt ? nullptr : area.llNode(pairOffset - chain.pairAt);
}

// The field at node-relative `fieldOffset` that may name a pair of `chain`: a
// bucket of the chain's table, or the next word of another LL node's pair.
template <class K>
uint64_t *chainField(const PropertyArea<K> &area, const SideChain<K> &chain, uint64_t fieldOffset) {
    const uint64_t first = area.bucketOffset(chain.table, 0);
    if (fieldOffset >= first && fieldOffset < first + 8 * area.tableSize(chain.table)) {
        return (fieldOffset - first) % 8 == 0 ? area.bucket(chain.table, (fieldOffset - first) / 8) : nullptr;
    }
    typename K::LLNode *owner = pairOwner(area, chain, fieldOffset);
    return owner == nullptr ? nullptr : &(owner->*chain.next);
}

// A push at the head of a side chain, checked and then done.
template <class K>
struct SidePush {
    uint64_t index = 0;                      // the bucket
    uint64_t *head = nullptr;                // its entry
    typename K::LLNode *oldFirst = nullptr;  // the LL node it named, if any

    uint32_t prepare(const PropertyArea<K> &area, const SideChain<K> &chain, uint64_t bucketIndex) {
        index = bucketIndex;
        head = area.bucket(chain.table, index);
        if (head == nullptr) return QUOR_RC_BAD_HT_INDEX;
        if (*head != 0 && (oldFirst = pairOwner(area, chain, *head)) == nullptr) return K::codes.outOfArea;
        return QUOR_RC_OK;
    }
    void apply(const PropertyArea<K> &area, const SideChain<K> &chain, typename K::LLNode &ll,
               uint64_t llOffset) {
        const uint64_t pair = llOffset + chain.pairAt;
        ll.*chain.next = *head;
        ll.*chain.prev = area.bucketOffset(chain.table, index);
        if (oldFirst != nullptr) oldFirst->*chain.prev = pair;
        *head = pair;
    }
};

// An unlink from a side chain, checked and then done.
template <class K>
struct SideUnlink {
    uint64_t *prevField = nullptr;        // the field naming the LL node's pair
    typename K::LLNode *after = nullptr;  // the LL node behind it, if any

    uint32_t prepare(const PropertyArea<K> &area, const SideChain<K> &chain, const typename K::LLNode &ll) {
        const uint64_t next = ll.*chain.next;
        if (next != 0 && (after = pairOwner(area, chain, next)) == nullptr) return K::codes.outOfArea;
        if ((prevField = chainField(area, chain, ll.*chain.prev)) == nullptr) return K::codes.outOfArea;
        return QUOR_RC_OK;
    }
    void apply(const SideChain<K> &chain, const typename K::LLNode &ll) {
        if (after != nullptr) after->*chain.prev = ll.*chain.prev;
        *prevField = ll.*chain.next;
    }
};

// ---- hashed insert and remove ----

// Inserts a property into a hashed area: duplicate check on the sorted chain,
// an LL node from the memory stack, the record written, then linked into its
// chain (and for the tagged kinds pushed on its tag and ID chains), counted in
// usedSize, and the ReconfigCounter raised. Requires: an opened hashed area,
// the input checked, the write section held.
template <class K>
uint32_t insertHashed(PropertyArea<K> &area, const NewProperty &p) {
    if (uint32_t rc = checkValuePointer<K>(p.bytes); rc != 0) return rc;
    ChainPlace<K> place;
    if (uint32_t rc = seekChain(area, p.key, &place); rc != 0) return rc;
    if (place.equal) return K::codes.duplicate;
    [[maybe_unused]] SidePush<K> tagPush, idPush;
    if constexpr (K::tagged) {
        if (uint32_t rc = tagPush.prepare(area, kTagChain<K>, numberBucket(p.key.number, area.tableSize(1)));
            rc != 0)
            return rc;
        const uint64_t idIndex = bucketOf(hashBytes(0, p.key.id, p.key.idLength), area.tableSize(2));
        if (uint32_t rc = idPush.prepare(area, kIdChain<K>, idIndex); rc != 0) return rc;
    }
    MemoryStack<K> stack(area);
    uint64_t at = 0;
    if (uint32_t rc = stack.read(); rc != 0) return rc;
    if (uint32_t rc = stack.peek(&at); rc != 0) return rc;
    typename K::LLNode &ll = *area.llNode(at);
    if (uint32_t rc = fillRecord(area, ll.record, p); rc != 0) return rc;
    stack.take();
    ll.next = *place.link;
    ordered(place.link, at);
    if constexpr (K::tagged) {
        tagPush.apply(area, kTagChain<K>, ll, at);
        idPush.apply(area, kIdChain<K>, ll, at);
    }
    area.setUsed(area.used() + area.llNodeSize());
    return countChange(area.node());
}

// Removes a property from a hashed area: unlinked from its chain (and its tag
// and ID chains), its LL node pushed on the memory stack for reuse (its bytes
// stay, but for a stack entry that may land in them), usedSize counted down
// and the ReconfigCounter raised. Requires: an
// opened hashed area, the input checked, the write section held.
template <class K>
uint32_t removeHashed(PropertyArea<K> &area, const Key &key) {
    ChainPlace<K> place;
    if (uint32_t rc = seekChain(area, key, &place); rc != 0) return rc;
    if (!place.equal) return K::codes.notInHashTable;
    typename K::LLNode &ll = *place.node;
    MemoryStack<K> stack(area);
    if (uint32_t rc = stack.read(); rc != 0) return rc;
    if (area.used() + 8 < area.llNodeSize()) return QUOR_RC_AREA_OVERFULL;
    if (uint32_t rc = stack.canPush(place.nodeOffset, area.llNodeSize()); rc != 0) return rc;
    [[maybe_unused]] SideUnlink<K> tagUnlink, idUnlink;
    if constexpr (K::tagged) {
        if (uint32_t rc = tagUnlink.prepare(area, kTagChain<K>, ll); rc != 0) return rc;
        if (uint32_t rc = idUnlink.prepare(area, kIdChain<K>, ll); rc != 0) return rc;
    }
    // Unlinked before its entry is written: the entry may land in the node's
    // own bytes, which a reader walking the chain must no longer reach.
    ordered(place.link, ll.next);
    if constexpr (K::tagged) {
        tagUnlink.apply(kTagChain<K>, ll);
        idUnlink.apply(kIdChain<K>, ll);
    }
    stack.push(place.nodeOffset, area.llNodeSize());
    return countChange(area.node());
}

}  // namespace quor::props
