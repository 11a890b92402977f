// Skip-list node space: rebuilding the lists in place, growing and shrinking the
// space against the chunk area, and making room before an insertion.
//
// A rebuild copies every live chunk out to private memory with its node's level
// and checks that the nodes plus the placement reserve fit before it resets
// anything, so it either completes or leaves the lists untouched. The sorted
// copies are appended level by level instead of searched in, which makes a
// rebuild linear apart from one sort of the free chunks by size.
#include <algorithm>

#include "frame/export.h"
#include "frame/state.h"
#include "shm/pads.h"

namespace quor::shm {

namespace {

struct AllocCopy {
    uint64_t chunkOffset, chunkSize, userOffset, userSize, level, node;
    uint32_t callerId, line;
};
struct FreeCopy {
    uint64_t offset, size, level, node;
};

// Private memory charged to this unit, released on every path.
template <class T>
class PrivateArray {
public:
    uint32_t allocate(uint64_t count) {
        return allocPrivate(&data_, src::shm, count + 1) != 0 ? QUOR_RC_DEFRAG_NO_MEMORY : QUOR_RC_OK;
    }
    ~PrivateArray() {
        if (data_ != nullptr) (void)freePrivate(&data_, src::shm);
    }
    T &operator[](uint64_t i) { return data_[i]; }
    T *data() { return data_; }

private:
    T *data_ = nullptr;
};

// The live chunks of a heap, copied out in offset order with their levels.
// Free copies start at index 1 so that one chunk can be put in front.
struct Plan {
    PrivateArray<AllocCopy> allocs;
    PrivateArray<FreeCopy> frees;
    uint64_t allocCount = 0, freeCount = 0, firstFree = 1;
    uint64_t need = 0;  // header plus every node

    FreeCopy *freeBegin() { return frees.data() + firstFree; }
    FreeCopy *freeEnd() { return frees.data() + firstFree + freeCount; }
};

uint32_t collect(HeapView &h, Plan &plan) {
    const uint64_t allocCount = h.sl->allocCount, freeCount = h.sl->freeCount;
    if (allocCount > h.nodeLimit || freeCount > h.nodeLimit) return QUOR_RC_HEAP_CORRUPT;
    if (uint32_t rc = plan.allocs.allocate(allocCount); rc != 0) return rc;
    if (uint32_t rc = plan.frees.allocate(freeCount + 1); rc != 0) return rc;

    uint64_t lastEnd = h.spaceEnd;
    uint64_t link = HeapView::allocLinks(h.allocHeadNode())[0];
    while (link != 0) {
        SLAllocNode_t *node = h.allocLinkTarget(link, 0);
        if (node == nullptr || plan.allocCount == allocCount || node->chunkOffset < lastEnd ||
            !h.inChunkArea(node->chunkOffset, node->chunkSize) || node->chunkSize < 16 ||
            node->userOffset < node->chunkOffset + 16 ||
            node->userOffset > node->chunkOffset + node->chunkSize) {
            return QUOR_RC_HEAP_CORRUPT;
        }
        plan.allocs[plan.allocCount++] =
            AllocCopy{node->chunkOffset, node->chunkSize, node->userOffset, node->userSize, node->level, 0,
                      node->callerId,    node->line};
        lastEnd = node->chunkOffset + node->chunkSize;
        link = HeapView::allocLinks(node)[0];
    }

    lastEnd = h.spaceEnd;
    uint64_t at = HeapView::freeLinks(h.freeHeadNode(), kForwardO)[0];
    while (at != h.freeTail) {
        SLFreeNode_t *node = h.freeNode(at);
        if (node == nullptr || at == h.freeHead || plan.freeCount == freeCount || node->offset < lastEnd ||
            node->size == 0 || !h.inChunkArea(node->offset, node->size)) {
            return QUOR_RC_HEAP_CORRUPT;
        }
        plan.frees[1 + plan.freeCount++] = FreeCopy{node->offset, node->size, node->level, 0};
        lastEnd = node->offset + node->size;
        at = HeapView::freeLinks(node, kForwardO)[0];
    }
    return QUOR_RC_OK;
}

// What the copies' nodes need. A rebuild keeps each node's level: the levels were
// drawn when the chunks were inserted, and keeping them makes the need exactly the
// live bytes, so a rebuild never needs more room than the space already holds.
void measure(const HeapView &h, Plan &plan) {
    plan.need = h.slHeader;
    for (uint64_t i = 0; i < plan.allocCount; ++i) plan.need += allocNodeSize(plan.allocs[i].level);
    for (FreeCopy *f = plan.freeBegin(); f != plan.freeEnd(); ++f) plan.need += freeNodeSize(f->level);
}

// Puts a chunk in front of the free copies (it lies below all of them).
void prependFree(Plan &plan, uint64_t offset, uint64_t size) {
    plan.firstFree = 0;
    ++plan.freeCount;
    plan.frees[0] = FreeCopy{offset, size, 0, 0};
    plan.need += freeNodeSize(plan.frees[0].level);
}

// Resets the lists in a space of newSpaceSize bytes and appends every copy. The
// caller has checked that plan.need plus the reserve fits.
void rebuild(HeapView &h, Plan &plan, uint64_t newSpaceSize) {
    const uint64_t oldEnd = h.spaceEnd;
    SLHeader_t *sl = h.sl;
    h.header->allocBytes = 0;
    h.header->freeBytes = 0;
    sl->slSpaceSize = newSpaceSize;
    h.setSpaceEnd(h.S + newSpaceSize);
    if (h.spaceEnd > oldEnd) exposeBytes(h, oldEnd, h.spaceEnd - oldEnd);
    sl->slUsedBytes = sl->slHighWater = h.slHeader;
    sl->allocCount = sl->freeCount = 0;
    sl->defragCount += 1;
    sl->allocLevel = 0;

    SLAllocNode_t *allocHead = h.allocHeadNode();
    *allocHead = SLAllocNode_t{0, 0, 0, 0, h.L - 1, 0, 0};
    std::fill_n(HeapView::allocLinks(allocHead), h.L, 0);
    SLAllocNode_t *lastAlloc[kMaxLevel];
    std::fill_n(lastAlloc, h.L, allocHead);
    constexpr uint64_t kAhead = 8;  // pads of later chunks are fetched while this one is written
    for (uint64_t i = 0; i < plan.allocCount; ++i) {
        AllocCopy &c = plan.allocs[i];
        if (i + kAhead < plan.allocCount) {
            const AllocCopy &later = plan.allocs[i + kAhead];
            h.prefetch(later.userOffset - sizeof(ShmPadEnd_t));
            h.prefetch(later.chunkOffset + later.chunkSize - sizeof(ShmPadEnd_t));
        }
        placeNode(h, allocNodeSize(c.level), 0, &c.node);
        auto *node = h.placed<SLAllocNode_t>(c.node, allocNodeSize(c.level));
        *node =
            SLAllocNode_t{c.chunkOffset, c.chunkSize, c.userOffset, c.userSize, c.level, c.callerId, c.line};
        for (uint64_t l = 0; l <= c.level; ++l) {
            HeapView::allocLinks(node)[l] = 0;
            HeapView::allocLinks(lastAlloc[l])[l] = allocLinkSlot(c.node, l);
            lastAlloc[l] = node;
        }
        sl->allocLevel = std::max(sl->allocLevel, c.level);
        sl->allocCount += 1;
        h.header->allocBytes += c.chunkSize;
        repointPads(h, c.chunkOffset, c.chunkSize, c.userOffset, c.node);
    }

    SLFreeNode_t *head = h.freeHeadNode(), *tail = h.freeTailNode();
    for (SLFreeNode_t *sentinel : {head, tail}) {
        *sentinel = SLFreeNode_t{0, 0, 0, 0, h.L - 1, 0, 0};
        uint64_t other = sentinel == head ? h.freeTail : h.freeHead;
        std::fill_n(HeapView::freeLinks(sentinel, kForwardO), 4 * h.L, other);
    }
    *h.freeLevelWord() = 0;
    auto append = [&](FreeCopy &c, SLFreeNode_t **last, LinkArray forward, LinkArray backward) {
        auto *node = h.placed<SLFreeNode_t>(c.node, freeNodeSize(c.level));
        for (uint64_t l = 0; l <= c.level; ++l) {
            HeapView::freeLinks(node, forward)[l] = h.freeTail;
            HeapView::freeLinks(node, backward)[l] = h.offsetOf(last[l]);
            HeapView::freeLinks(last[l], forward)[l] = c.node;
            HeapView::freeLinks(tail, backward)[l] = c.node;
            last[l] = node;
        }
    };
    SLFreeNode_t *last[kMaxLevel];
    std::fill_n(last, h.L, head);
    for (FreeCopy *c = plan.freeBegin(); c != plan.freeEnd(); ++c) {
        placeNode(h, freeNodeSize(c->level), 0, &c->node);
        *h.placed<SLFreeNode_t>(c->node, freeNodeSize(c->level)) =
            SLFreeNode_t{c->offset, c->size, 0, 0, c->level, 0, 0};
        append(*c, last, kForwardO, kBackwardO);
        *h.freeLevelWord() = std::max(*h.freeLevelWord(), c->level);
        sl->freeCount += 1;
        h.header->freeBytes += c->size;
    }
    // Size order: ascending, and among equal sizes the later insertion (the higher
    // offset) first.
    std::sort(plan.freeBegin(), plan.freeEnd(), [](const FreeCopy &a, const FreeCopy &b) {
        return a.size != b.size ? a.size < b.size : a.offset > b.offset;
    });
    std::fill_n(last, h.L, head);
    for (FreeCopy *c = plan.freeBegin(); c != plan.freeEnd(); ++c) append(*c, last, kForwardS, kBackwardS);
    if (h.spaceEnd < oldEnd) hideBytes(h, h.spaceEnd, oldEnd - h.spaceEnd);
}

// The copies fit a space of spaceSize bytes with `room` bytes left above them.
bool fits(const Plan &plan, uint64_t spaceSize, uint64_t room) {
    return plan.need <= spaceSize && spaceSize - plan.need >= room;
}

uint64_t plannedSpace(const HeapView &h) {
    const uint64_t capacity = std::min<uint64_t>(h.header->nodeCapacity, QUOR_POOL_MAX_NODE_CAPACITY);
    return round8(capacity * QUOR_SL_BYTES_PER_NODE + slHeaderSize(h.L));
}
uint64_t allowance(const HeapView &h) { return 800 * h.L + 1200; }

// Room a rebuild in place must leave to be worth its pass over every node: half
// the space, so that rebuilds stay rare however many nodes there are
// (each one copies them all), and never less than the low-water mark (a rebuild
// that leaves less is followed by another at the very next insertion) or than
// what the waiting insertion needs. Below that the space grows instead.
uint64_t rebuildHeadroom(const HeapView &h, uint64_t room) {
    const uint64_t s = h.sl->slSpaceSize;
    return std::max({std::min(s * 5 / 100, allowance(h)), s / 2, lowWater(h.L) + 8, room});
}

}  // namespace

uint32_t rebuildInPlace(HeapView &h, uint64_t room) {
    if (h.header->handleEyecatcher != QUOR_EYECATCHER) return QUOR_RC_BAD_EYECATCHER;
    Plan plan;
    if (uint32_t rc = collect(h, plan); rc != 0) return rc;
    measure(h, plan);
    if (!fits(plan, h.sl->slSpaceSize, room)) return QUOR_RC_SLIST_SPACE_FULL;
    rebuild(h, plan, h.sl->slSpaceSize);
    return QUOR_RC_OK;
}

uint32_t changeSpace(HeapView &h, uint64_t newSpaceSize, uint32_t direction, Pending pending, uint64_t room,
                     uint64_t floor) {
    if (direction != QUOR_SL_SPACE_GROW && direction != QUOR_SL_SPACE_SHRINK)
        return QUOR_RC_BAD_SPACE_DIRECTION;
    if (h.header->handleEyecatcher != QUOR_EYECATCHER) return QUOR_RC_BAD_EYECATCHER;
    const uint64_t s = h.sl->slSpaceSize, boundary = h.spaceEnd;
    if ((newSpaceSize & 7) != 0 || newSpaceSize < h.slHeader || newSpaceSize > h.end - h.S ||
        (direction == QUOR_SL_SPACE_GROW && newSpaceSize <= s)) {
        return QUOR_RC_SLIST_SPACE_NOT_CHANGED;
    }
    Plan plan;
    if (uint32_t rc = collect(h, plan); rc != 0) return rc;
    measure(h, plan);
    const bool freeAtBoundary = plan.freeCount > 0 && plan.freeBegin()->offset == boundary;
    const bool pendingAtBoundary = pending.movable && *pending.offset == boundary;

    if (direction == QUOR_SL_SPACE_GROW) {
        uint64_t delta = newSpaceSize - s;
        if (freeAtBoundary && plan.freeBegin()->size > delta) {
            plan.freeBegin()->offset += delta;
            plan.freeBegin()->size -= delta;
        } else if (freeAtBoundary || !pendingAtBoundary || *pending.size <= delta) {
            // Without the full growth, a rebuild in place serves while it leaves
            // the waiting insertion its room.
            const uint64_t u = h.sl->slUsedBytes;
            if (h.sl->defragCount < 4 && std::min(s / 200, 128 * h.L + 192) + u < s && fits(plan, s, room)) {
                rebuild(h, plan, s);
                return QUOR_RC_OK;
            }
            // A free chunk at the boundary smaller than the growth still gives what
            // it has, rather than leave the heap without node room.
            const uint64_t taken = freeAtBoundary ? plan.freeBegin()->size & ~uint64_t{7} : 0;
            if (taken == 0) return QUOR_RC_SLIST_SPACE_NOT_CHANGED;
            delta = taken;
            newSpaceSize = s + taken;
            if (plan.freeBegin()->size == taken) {
                plan.need -= freeNodeSize(plan.freeBegin()->level);
                ++plan.firstFree;
                --plan.freeCount;
            } else {
                plan.freeBegin()->offset += taken;
                plan.freeBegin()->size -= taken;
            }
        }
        if (!fits(plan, newSpaceSize, placementReserve(h.L))) return QUOR_RC_SLIST_SPACE_FULL;
        rebuild(h, plan, newSpaceSize);
        if (!freeAtBoundary && pendingAtBoundary) {
            *pending.offset += delta;
            *pending.size -= delta;
        }
    } else {
        // Never below twice what the live nodes need, with room for the next
        // insertions (a rebuild then still reclaims half the space);
        // a shrink that cannot give anything up compacts the space in place (and
        // counts as a change: the space is as small as it may be).
        if (floor == 0) {
            floor = round8(2 * plan.need + std::max(room, freeNodeSize(h.L - 1) + placementReserve(h.L)) +
                           lowWater(h.L));
        }
        newSpaceSize = std::max(newSpaceSize, floor);
        if (newSpaceSize >= s) {
            if (!fits(plan, s, room)) return QUOR_RC_SLIST_SPACE_FULL;
            rebuild(h, plan, s);
            h.sl->defragCount = 0;
            return QUOR_RC_OK;
        }
        const uint64_t given = s - newSpaceSize;
        if (freeAtBoundary) {
            plan.freeBegin()->offset -= given;
            plan.freeBegin()->size += given;
        } else if (!pendingAtBoundary) {
            // The chunk at the boundary is allocated: the bytes given up become a
            // free chunk of their own rather than belong to no list.
            prependFree(plan, boundary - given, given);
        }
        if (!fits(plan, newSpaceSize, placementReserve(h.L))) return QUOR_RC_SLIST_SPACE_FULL;
        rebuild(h, plan, newSpaceSize);
        if (!freeAtBoundary && pendingAtBoundary) {
            *pending.offset -= given;
            *pending.size += given;
        }
    }
    h.sl->defragCount = 0;
    return QUOR_RC_OK;
}

uint32_t defragment(HeapView &h, Pending pending, uint64_t room) {
    const uint64_t s = h.sl->slSpaceSize, u = h.sl->slUsedBytes, d = h.sl->defragCount;
    const uint64_t P = plannedSpace(h), A = allowance(h);
    // Whether a rebuild in place would leave the room it must.
    const bool rebuildServes = u < s && s - u > rebuildHeadroom(h, room);
    if (d < 4 && s <= P + u && rebuildServes) {
        uint32_t rc = rebuildInPlace(h, room);
        if (rc == 0 && d != 0 && s * 25 / 100 + h.sl->slUsedBytes < s) h.sl->defragCount = d - 1;
        return rc;
    }
    if (!rebuildServes) {
        // The insertion needs room that a rebuild cannot give: grow. Where the
        // space cannot grow, a rebuild that still fits this insertion serves.
        // Growth by the planned size, and at least doubling the space, so that
        // the next change is as far off as this one was.
        uint32_t rc = changeSpace(h, round8(s + std::max(P, s)), QUOR_SL_SPACE_GROW, pending, room);
        if (rc == QUOR_RC_SLIST_SPACE_NOT_CHANGED && u < s && s - u >= room) rc = rebuildInPlace(h, room);
        return rc;
    }
    uint64_t candidate = s - std::min(s, P);
    if (P != 0 && s / P > 1 && P < u) {
        const uint64_t m15 = std::min(s * 15 / 100, A) + u;
        for (uint64_t j = 0; j + 2 <= s / P; ++j) {
            if (s - (j + 1) * P > m15) candidate = s - (j + 1) * P;
        }
    }
    return changeSpace(h, std::max(P, round8(candidate)), QUOR_SL_SPACE_SHRINK, pending, room);
}

bool yieldSpaceFor(HeapView &h, uint64_t size) {
    const uint64_t s = h.sl->slSpaceSize, u = h.sl->slUsedBytes;
    const uint64_t keep = round8(u + cutRoom(h.L) + returnReserve(h) + lowWater(h.L));
    if (keep >= s || h.header->handleEyecatcher != QUOR_EYECATCHER) return false;
    uint64_t node = 0, atBoundary = 0;
    if (findFreeAt(h, h.spaceEnd, &node, &atBoundary) != QUOR_RC_OK) atBoundary = 0;
    if (atBoundary + (s - keep) < size) return false;
    uint64_t none = 0, noneSize = 0;
    return changeSpace(h, keep, QUOR_SL_SPACE_SHRINK, Pending{&none, &noneSize, false}, cutRoom(h.L), keep) ==
           QUOR_RC_OK;
}

bool needsRoom(const HeapView &h) { return h.sl->slSpaceSize <= lowWater(h.L) + h.sl->slHighWater; }

uint32_t makeRoom(HeapView &h, Pending pending, uint64_t room) {
    if (!needsRoom(h)) return QUOR_RC_OK;
    if (h.sl->defragCount >= 3) return defragment(h, pending, room);
    const uint64_t s = h.sl->slSpaceSize, u = h.sl->slUsedBytes;
    const uint64_t t = std::max(std::min(s * 2 / 100, lowWater(h.L)), rebuildHeadroom(h, room));
    return u < s && s - u > t ? rebuildInPlace(h, room) : defragment(h, pending, room);
}

namespace {

// Makes room (a failure there is not final: the reserve may still hold the node),
// inserts, and on a full space runs the full policy once and inserts again.
template <class Insert>
uint32_t insertWithRoom(HeapView &h, Pending pending, uint64_t room, Insert insert) {
    uint32_t rc = makeRoom(h, pending, room);
    if (rc == QUOR_RC_HEAP_CORRUPT) return rc;
    rc = insert();
    if (rc != QUOR_RC_SLIST_SPACE_FULL) return rc;
    if ((rc = defragment(h, pending, room)) == QUOR_RC_HEAP_CORRUPT) return rc;
    return insert();  // the second insertion's result is final
}

}  // namespace

uint32_t insertFreeBlock(HeapView &h, uint64_t *offsetRef, uint64_t *sizeRef) {
    return insertWithRoom(h, Pending{offsetRef, sizeRef, true}, freeNodeSize(h.L - 1) + placementReserve(h.L),
                          [&] { return insertFreeChunk(h, *offsetRef, *sizeRef, placementReserve(h.L)); });
}

uint32_t insertAllocBlock(HeapView &h, uint64_t *offsetRef, uint64_t *sizeRef, uint64_t *userOffsetOut,
                          uint64_t userSize, uint32_t callerId, uint32_t line, uint64_t frontPadSize,
                          uint64_t *nodeOffsetOut, bool movable) {
    return insertWithRoom(h, Pending{offsetRef, sizeRef, movable},
                          allocNodeSize(h.L - 1) + placementReserve(h.L), [&] {
                              *userOffsetOut = *offsetRef + frontPadSize;
                              return insertAllocChunk(h, *offsetRef, *sizeRef, *userOffsetOut, userSize,
                                                      callerId, line, nodeOffsetOut, placementReserve(h.L));
                          });
}

}  // namespace quor::shm

// ---- exported operations ------------------------------------------------------------

using namespace quor;
using namespace quor::shm;

namespace {

// Null base, pending references, kind and self offset, then the layout.
uint32_t openForSpace(Trace &t, HeapView &h, void *base, uint32_t kind, uint64_t heapOffset,
                      const void *offsetRef, const void *sizeRef) {
    if (base == nullptr) return t.failLogged(10, QUOR_RC_NOT_MAPPED, 0);
    if (offsetRef == nullptr) return t.failLogged(20, QUOR_RC_NULL_CHUNK_OFFSET_REF, 0);
    if (sizeRef == nullptr) return t.failLogged(30, QUOR_RC_NULL_CHUNK_SIZE_REF, 0);
    return h.open(t, 40, base, kind, heapOffset, kCheckSelf | kCheckLayout);
}

uint64_t unusedPending = 0;

}  // namespace

QUOR_EXPORT uint32_t quorInsertFreeMemBlock(void *base, uint32_t kind, uint64_t heapOffset,
                                            uint64_t *offsetRef, uint64_t *sizeRef) {
    return traced(Fn::quorInsertFreeMemBlock, [&](Trace &t) {
        HeapView h;
        if (uint32_t rc = openForSpace(t, h, base, kind, heapOffset, offsetRef, sizeRef); rc != 0) return rc;
        if (!h.inChunkArea(*offsetRef, *sizeRef)) return t.failWith(70, QUOR_RC_HEAP_CORRUPT, *offsetRef);
        uint32_t rc = insertFreeBlock(h, offsetRef, sizeRef);
        return rc != 0 ? t.fail(80, rc) : rc;
    });
}

QUOR_EXPORT uint32_t quorInsertAllocMemBlock(void *base, uint32_t kind, uint64_t heapOffset,
                                             uint64_t *offsetRef, uint64_t *sizeRef, uint64_t *userOffsetOut,
                                             uint64_t userSize, uint32_t callerId, uint32_t line,
                                             uint64_t frontPadSize, uint64_t *nodeOffsetOut) {
    return traced(Fn::quorInsertAllocMemBlock, [&](Trace &t) {
        HeapView h;
        if (uint32_t rc = openForSpace(t, h, base, kind, heapOffset, offsetRef, sizeRef); rc != 0) return rc;
        if (userOffsetOut == nullptr || nodeOffsetOut == nullptr) {
            return t.failLogged(70, QUOR_RC_NULL_CHUNK_OFFSET_REF, 0);
        }
        if (!h.inChunkArea(*offsetRef, *sizeRef)) return t.failWith(80, QUOR_RC_HEAP_CORRUPT, *offsetRef);
        uint32_t rc = insertAllocBlock(h, offsetRef, sizeRef, userOffsetOut, userSize, callerId, line,
                                       frontPadSize, nodeOffsetOut, false);
        return rc != 0 ? t.fail(90, rc) : rc;
    });
}

QUOR_EXPORT uint32_t quorDefragmentSList(void *base, uint32_t kind, uint64_t heapOffset, uint64_t *offsetRef,
                                         uint64_t *sizeRef) {
    return traced(Fn::quorDefragmentSList, [&](Trace &t) {
        HeapView h;
        if (uint32_t rc = openForSpace(t, h, base, kind, heapOffset, offsetRef, sizeRef); rc != 0) return rc;
        uint32_t rc = defragment(h, Pending{offsetRef, sizeRef, true}, placementReserve(h.L));
        return rc != 0 ? t.fail(70, rc) : rc;
    });
}

QUOR_EXPORT uint32_t quorDefragmentSLInPlace(void *base, uint32_t kind, uint64_t heapOffset) {
    return traced(Fn::quorDefragmentSLInPlace, [&](Trace &t) {
        HeapView h;
        if (uint32_t rc = openForSpace(t, h, base, kind, heapOffset, &unusedPending, &unusedPending);
            rc != 0) {
            return rc;
        }
        uint32_t rc = rebuildInPlace(h, placementReserve(h.L));
        return rc != 0 ? t.fail(70, rc) : rc;
    });
}

QUOR_EXPORT uint32_t quorChangeSlistSpace(void *base, uint32_t kind, uint64_t heapOffset,
                                          uint64_t newSpaceSize, uint32_t direction, uint64_t *offsetRef,
                                          uint64_t *sizeRef) {
    return traced(Fn::quorChangeSlistSpace, [&](Trace &t) {
        HeapView h;
        if (uint32_t rc = openForSpace(t, h, base, kind, heapOffset, offsetRef, sizeRef); rc != 0) return rc;
        uint32_t rc =
            changeSpace(h, newSpaceSize, direction, Pending{offsetRef, sizeRef, true}, placementReserve(h.L));
        return rc != 0 ? t.failWith(70, rc, newSpaceSize) : rc;
    });
}
