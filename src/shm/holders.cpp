// The processes that hold connections on the heaps of a segment.
#include "shm/holders.h"

#include <algorithm>

#include "frame/trace.h"
#include "shm/pool.h"

namespace quor::shm {

namespace {

struct Self {
    uint32_t pid = 0;
    uint64_t start = 0;
};

Self self() {
    Self s;
    hostProcessSelf(&s.pid, &s.start);
    return s;
}

// The holder area of a segment, bounded by its domain heap; null when the
// domain keeps none or what its header names is not one.
class AreaView {
public:
    // From a domain view whose header is bound (tail and end known).
    bool bind(const HeapView &domain) {
        const uint64_t at = domain.tail->reserved[kHolderAreaWord];
        if (at == 0 || (at & 7) != 0) return false;
        auto *area = domain.record<HolderArea_t>(at);
        if (area == nullptr || area->magic != kHolderAreaMagic || area->slotCount == 0 ||
            area->slotCount > kHolderSlots || domain.bytes(at, kHolderAreaSize) == nullptr) {
            return false;
        }
        area_ = area;
        slots_ = reinterpret_cast<HolderSlot_t *>(area + 1);
        count_ = static_cast<uint32_t>(area->slotCount);
        return true;
    }
    // The area of the segment a heap of kind `kind` at h lies in.
    bool bindFor(void *base, uint32_t kind, uint64_t heapOffset) {
        HeapView domain;
        uint64_t domainOffset = heapOffset;
        if (kind == QUOR_HEAP_KIND_POOL) {
            HeapView pool;
            if (pool.attach(base, kind, heapOffset) != 0) return false;
            domainOffset = pool.header->parentHeapOffset;
        }
        if (domain.attach(base, QUOR_HEAP_KIND_DOMAIN, domainOffset) != 0 ||
            domain.header->heapMagic != QUOR_DOMAIN_HEAP_MAGIC || domain.header->selfOffset != domainOffset ||
            domain.bindHeader() != 0) {
            return false;
        }
        // A pool must lie in its domain's heap.
        if (kind == QUOR_HEAP_KIND_POOL && !domain.holds(heapOffset, sizeof(HHeader_t))) return false;
        return bind(domain);
    }

    HolderArea_t *area() const { return area_; }
    HolderSlot_t *begin() const { return slots_; }
    HolderSlot_t *end() const { return slots_ + count_; }

private:
    HolderArea_t *area_ = nullptr;
    HolderSlot_t *slots_ = nullptr;
    uint32_t count_ = 0;
};

bool used(const HolderSlot_t &slot) { return slot.pid != 0 && slot.count != 0; }

void clearSlot(HolderSlot_t &slot) {
    slot.pid = 0;  // first: the slot is free from here on
    slot.count = 0;
    slot.startTime = 0;
    slot.heapOffset = 0;
}

// Runs work() under the area latch; false when the latch could not be taken.
// A holder of the latch that died leaves every slot used or free (see the
// header), so nothing is repaired beyond what clearSlot's order gives.
template <class Work>
bool underAreaLatch(const AreaView &v, Work &&work) {
    if (enterEL(&v.area()->latch) != 0) return false;
    work();
    (void)exitEL(&v.area()->latch);
    return true;
}

// Frees the slots of dead holders of heap H and returns their counts (area latch held).
uint64_t releaseDeadSlots(const AreaView &v, uint64_t H, const Self &me) {
    uint64_t released = 0;
    for (HolderSlot_t &slot : v) {
        if (slot.pid == 0) continue;
        if (slot.count == 0) {
            clearSlot(slot);
            continue;
        }
        if (slot.heapOffset != H || (slot.pid == me.pid && slot.startTime == me.start)) continue;
        if (hostProcessAlive(slot.pid, slot.startTime) != 0) continue;
        released += slot.count;
        clearSlot(slot);
    }
    return released;
}

// Takes released counts off refCount; never below 0 (the caller's own
// connection is counted after this, not assumed to be in it).
void dropCounts(HeapView &h, uint64_t released) { h.header->refCount -= std::min(released, h.header->refCount); }

// Adds delta to the calling process's slot for heap H (area latch held).
uint32_t changeOwnSlot(const AreaView &v, uint64_t H, const Self &me, int32_t delta) {
    HolderSlot_t *mine = nullptr, *spare = nullptr;
    for (HolderSlot_t &slot : v) {
        if (slot.pid == me.pid && slot.startTime == me.start && slot.heapOffset == H && slot.count != 0) {
            mine = &slot;
            break;
        }
        if (spare == nullptr && !used(slot)) spare = &slot;
    }
    if (mine == nullptr) {
        if (delta <= 0) return QUOR_RC_OK;  // a connection made before records were kept
        if (spare == nullptr) return QUOR_RC_HOLDER_AREA_FULL;
        spare->pid = 0;
        spare->heapOffset = H;
        spare->startTime = me.start;
        spare->count = static_cast<uint32_t>(delta);
        spare->pid = me.pid;  // last: publishes the slot
        return QUOR_RC_OK;
    }
    const int64_t count = int64_t{mine->count} + delta;
    if (count <= 0) {
        clearSlot(*mine);
    } else {
        mine->count = static_cast<uint32_t>(std::min<int64_t>(count, UINT32_MAX));
    }
    return QUOR_RC_OK;
}

}  // namespace

void recordCreator(HHeaderTail_t *tail) {
    Self me = self();
    tail->reserved[kHolderAreaWord] = 0;
    tail->reserved[kCreatorPidWord] = me.pid;
    tail->reserved[kCreatorStartWord] = me.start;
}

uint32_t makeHolderArea(void *base, uint64_t domainOffset, uint32_t callerId, uint32_t line,
                        const char *fileName) {
    HeapView domain;
    if (uint32_t rc = domain.open(base, QUOR_HEAP_KIND_DOMAIN, domainOffset); rc != 0) return rc;
    uint64_t size = kHolderAreaSize, chunk = 0, at = 0;
    if (getMemChunk(domain, kHolderAreaSize, 0, 0, &size, &chunk, &at, callerId, line, fileName) != 0) {
        return QUOR_RC_OK;  // no room: connections are counted without records
    }
    auto *area = domain.record<HolderArea_t>(at);
    if (area == nullptr || !domain.fill(at, 0, kHolderAreaSize)) return QUOR_RC_HEAP_CORRUPT;
    area->slotCount = kHolderSlots;
    if (uint32_t rc = initExsLatch(&area->latch, QUOR_EYECATCHER); rc != 0) return rc;
    const Self me = self();
    auto *slots = reinterpret_cast<HolderSlot_t *>(area + 1);
    slots[0] = HolderSlot_t{domainOffset, me.start, me.pid, 1};  // the creator's connection
    area->magic = kHolderAreaMagic;
    domain.tail->reserved[kHolderAreaWord] = at;  // last: publishes the area
    return QUOR_RC_OK;
}

void recordPoolCreator(void *base, uint64_t poolOffset) {
    AreaView v;
    if (!v.bindFor(base, QUOR_HEAP_KIND_POOL, poolOffset)) return;
    const Self me = self();
    (void)underAreaLatch(v, [&] { (void)changeOwnSlot(v, poolOffset, me, 1); });
}

uint32_t noteConnection(HeapView &h, int32_t delta) {
    AreaView v;
    if (!v.bindFor(h.base, h.traits->kind, h.H)) return QUOR_RC_OK;
    const Self me = self();
    uint32_t rc = QUOR_RC_OK;
    const bool latched = underAreaLatch(v, [&] {
        if (delta > 0) dropCounts(h, releaseDeadSlots(v, h.H, me));
        rc = changeOwnSlot(v, h.H, me, delta);
    });
    return latched ? rc : QUOR_RC_LATCH_FAILED;
}

uint64_t releaseDeadHolders(HeapView &h) {
    AreaView v;
    if (!v.bindFor(h.base, h.traits->kind, h.H)) return 0;
    const Self me = self();
    uint64_t released = 0;
    (void)underAreaLatch(v, [&] { released = releaseDeadSlots(v, h.H, me); });
    dropCounts(h, released);
    return released;
}

uint32_t releaseDeadHoldersLatched(void *base, uint32_t kind, uint64_t heapOffset) {
    HeapView h;
    if (uint32_t rc = h.open(base, kind, heapOffset, kCheckMagic | kCheckSelf); rc != 0) return rc;
    if (uint32_t rc = enterEL(&h.header->heapLatch); rc != 0) return rc;
    releaseDeadHolders(h);
    return exitEL(&h.header->heapLatch);
}

void forgetHolders(void *base, uint32_t kind, uint64_t heapOffset) {
    if (kind != QUOR_HEAP_KIND_POOL) return;
    AreaView v;
    if (!v.bindFor(base, kind, heapOffset)) return;
    (void)underAreaLatch(v, [&] {
        for (HolderSlot_t &slot : v) {
            if (slot.pid != 0 && slot.heapOffset == heapOffset) clearSlot(slot);
        }
    });
}

bool listHolders(void *base, uint64_t domainOffset, std::vector<Holder> *out) {
    AreaView v;
    if (!v.bindFor(base, QUOR_HEAP_KIND_DOMAIN, domainOffset)) return false;
    for (const HolderSlot_t &slot : v) {
        const HolderSlot_t copy = slot;
        if (!used(copy)) continue;
        out->push_back(
            {copy.heapOffset, copy.pid, copy.startTime, copy.count, hostProcessAlive(copy.pid, copy.startTime) != 0});
    }
    return true;
}

Creator creatorOf(const HHeaderTail_t &tail) {
    Creator c;
    const uint64_t pid = tail.reserved[kCreatorPidWord];
    if (pid == 0 || pid > UINT32_MAX) return c;
    c.pid = static_cast<uint32_t>(pid);
    c.startTime = tail.reserved[kCreatorStartWord];
    c.alive = hostProcessAlive(c.pid, c.startTime) != 0;
    return c;
}

}  // namespace quor::shm
