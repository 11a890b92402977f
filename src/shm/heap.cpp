// The storage heap: its latch, its layout, and handing chunks out and back.
#include "shm/heap.h"

#include <algorithm>
#include <cstring>

#include "frame/export.h"
#include "shm/holders.h"
#include "shm/pads.h"
#include "shm/pending.h"
#include "shm/recovery.h"

namespace quor::shm {

// ---- ExsLatch_t -------------------------------------------------------------------

uint32_t initExsLatch(ExsLatch_t *latch, uint64_t eyecatcher) {
    if (latch == nullptr) return QUOR_RC_NULL_SHM_LATCH;
    if (eyecatcher != QUOR_EYECATCHER) return QUOR_RC_LATCH_NOT_INITIALIZED;
    if (hostLatchInit(latch->hostLatch, 1) != 0) return QUOR_RC_LATCH_FAILED;
    latch->eyecatcher = QUOR_EYECATCHER;
    return QUOR_RC_OK;
}

uint32_t enterEL(ExsLatch_t *latch) {
    if (latch == nullptr) return QUOR_RC_NULL_SHM_LATCH;
    if (latch->eyecatcher != QUOR_EYECATCHER) return QUOR_RC_LATCH_NOT_INITIALIZED;
    int recovered = 0;
    if (hostLatchAcquire(latch->hostLatch, &recovered) != 0) return QUOR_RC_LATCH_FAILED;
    return recovered != 0 ? afterDeadHolder(latch) : QUOR_RC_OK;
}

uint32_t exitEL(ExsLatch_t *latch) {
    if (latch == nullptr) return QUOR_RC_NULL_SHM_LATCH;
    if (latch->eyecatcher != QUOR_EYECATCHER) return QUOR_RC_LATCH_NOT_INITIALIZED;
    return hostLatchRelease(latch->hostLatch) != 0 ? QUOR_RC_LATCH_FAILED : QUOR_RC_OK;
}

namespace {

// Base, kind and magic: the tests every chunk operation opens with.
uint32_t openHeader(Trace &t, HeapView &h, void *base, uint32_t kind, uint64_t heapOffset) {
    return h.open(t, 10, base, kind, heapOffset, kCheckMagic);
}

}  // namespace

// ---- connection counting ------------------------------------------------------------

namespace {

template <class Change>
uint32_t countConnection(Trace &t, void *base, uint32_t kind, uint64_t heapOffset, Change change) {
    HeapView h;
    if (uint32_t rc = openHeader(t, h, base, kind, heapOffset); rc != 0) return rc;
    if (uint32_t rc = h.checkSelf(); rc != 0) return t.failWith(40, rc, h.header->selfOffset);
    if (uint32_t rc = enterEL(&h.header->heapLatch); rc != 0) return t.fail(50, rc);
    auto latch = leaving(&h.header->heapLatch);
    uint32_t rc = change(h);
    if (rc != 0) rc = t.fail(60, rc);
    rc = latch.close(rc);
    return rc != 0 ? t.fail(70, rc) : rc;
}

}  // namespace

uint32_t connectHeap(void *base, uint32_t kind, uint64_t heapOffset) {
    return traced(Fn::quorConnectToStorageHeap, [&](Trace &t) {
        return countConnection(t, base, kind, heapOffset, [](HeapView &h) {
            if (h.header->flags & QUOR_HEAP_MARKED_FOR_DELETION) return h.traits->markedForDeletion;
            if (uint32_t rc = noteConnection(h, 1); rc != 0) return rc;
            h.header->refCount += 1;
            return QUOR_RC_OK;
        });
    });
}

uint32_t disconnectHeap(void *base, uint32_t kind, uint64_t heapOffset) {
    return traced(Fn::quorDisconnectFromStorageHeap, [&](Trace &t) {
        return countConnection(t, base, kind, heapOffset, [](HeapView &h) {
            if (h.header->refCount > 0) h.header->refCount -= 1;
            (void)noteConnection(h, -1);
            return QUOR_RC_OK;
        });
    });
}

// ---- layout ---------------------------------------------------------------------------

uint32_t createInitStorageHeap(void *base, uint32_t kind, uint64_t heapSize, uint64_t heapOffset,
                               uint64_t nodeCapacity, uint64_t maxLevel, uint64_t hHeaderSize,
                               uint64_t slHeaderSizeArg, uint64_t slSpaceSize, uint64_t granule,
                               uint64_t userAppAreaSize, const void *userAppData, uint64_t latchEyecatcher,
                               uint64_t eyecatcher0, uint64_t handleEyecatcher, uint64_t initialFlags,
                               uint64_t parentHeapOffset) {
    return traced(Fn::quorCreateInitStorageHeap, [&](Trace &t) {
        if (base == nullptr) return t.failLogged(10, QUOR_RC_NOT_MAPPED, 0);
        const HeapTraits *traits = traitsOf(kind);
        if (traits == nullptr) return t.failWith(20, QUOR_RC_BAD_HEAP_MODE, kind);
        // The sizes must describe a heap that fits in heapSize with room for one
        // chunk, whichever of the given and the real header size is larger (a
        // header size that disagrees with the user area is refused below, where
        // the skip-list header is placed).
        const uint64_t expectedHeader = kHeaderBase + round8(std::min(userAppAreaSize, heapSize));
        const uint64_t headerSpan = std::max(hHeaderSize, expectedHeader);
        if (userAppAreaSize > heapSize || maxLevel < 1 || maxLevel > kMaxLevel || (slSpaceSize & 7) != 0 ||
            slSpaceSize > heapSize || headerSpan > heapSize - slSpaceSize ||
            heapSize - slSpaceSize - headerSpan < traits->minChunk || heapSize > UINT64_MAX - heapOffset) {
            return t.failWith(30, QUOR_RC_SEGMENT_TOO_SMALL, heapSize);
        }
        // A view of the heap being laid out: its header and size are this call's.
        HeapView h;
        h.attach(base, kind, heapOffset);
        h.end = heapOffset + heapSize;
        HHeader_t *header = h.header;
        if (uint32_t rc = initExsLatch(&header->heapLatch, latchEyecatcher); rc != 0) return t.fail(40, rc);
        if (uint32_t rc = enterEL(&header->heapLatch); rc != 0) return t.fail(50, rc);
        auto latch = leaving(&header->heapLatch);
        header->heapMagic = 0;
        header->eyecatcher0 = eyecatcher0;
        header->handleEyecatcher = handleEyecatcher;
        header->latchEyecatcher = latchEyecatcher;
        header->flags = initialFlags & ~QUOR_HEAP_DAMAGED;
        header->selfOffset = heapOffset;
        header->refCount = 1;
        header->heapSize = heapSize;
        header->freeBytes = 0;
        header->allocBytes = 0;
        header->nodeCapacity = nodeCapacity;
        header->granule = granule;
        header->treePoolOffset = kind == QUOR_HEAP_KIND_DOMAIN ? 0 : parentHeapOffset;
        header->userAppAreaSize = userAppAreaSize;
        if (userAppAreaSize != 0 && userAppData != nullptr)
            h.copyIn(heapOffset + kHeaderFixed, userAppData, userAppAreaSize);

        auto *tail = h.record<HHeaderTail_t>(heapOffset + headerTailAt(userAppAreaSize));
        tail->topNodeOffset = tail->topNodeTag = tail->segInfoListHead = tail->rmxListHead = 0;
        recordCreator(tail);
        uint32_t rc = initExsLatch(&tail->debugLatch, latchEyecatcher);
        if (rc == 0 && (rc = enterEL(&tail->debugLatch)) == 0) {
            auto debug = leaving(&tail->debugLatch);
            tail->debugInfo =
                ShmDebugInfo_t{QUOR_DEBUG_DEFAULT_FLAGS,  QUOR_PAD_TYPE_EEBC011A,   0, {0, 0, 0, 0, 0},
                               QUOR_DEBUG_DEFAULT_GUARDS, QUOR_DEBUG_DEFAULT_GUARDS};
            rc = debug.close(QUOR_RC_OK);
        }
        if (rc != 0) rc = t.fail(60, rc);

        // The skip-list header lies where the header size puts it, and the node
        // space holds a skip-list header of the max level.
        const uint64_t S = heapOffset + hHeaderSize;
        if (rc == 0 && (hHeaderSize != expectedHeader || slHeaderSizeArg != slHeaderSize(maxLevel)))
            rc = t.failWith(70, QUOR_RC_SLIST_SPACE_FULL, S);
        if (rc == 0 && slHeaderSizeArg >= slSpaceSize)
            rc = t.failWith(80, traits->spaceTooSmall, slSpaceSize);
        if (rc == 0) {
            auto *sl = h.record<SLHeader_t>(S);
            *sl = SLHeader_t{maxLevel, slSpaceSize, slHeaderSizeArg, slHeaderSizeArg, 0, 0, 0, 0};
            h.sl = sl;
            h.S = S;
            h.L = maxLevel;
            auto *allocHead = h.record<SLAllocNode_t>(S + QUOR_SL_ALLOC_HEAD_OFFSET);
            *allocHead = SLAllocNode_t{0, 0, 0, 0, maxLevel - 1, 0, 0};
            h.fill(h.offsetOf(HeapView::allocLinks(allocHead)), 0, 8 * maxLevel);
            *h.freeLevelWord() = 0;
            const uint64_t head = S + QUOR_SL_FREE_HEAD_OFFSET(maxLevel),
                           tailNode = S + QUOR_SL_FREE_TAIL_OFFSET(maxLevel);
            for (uint64_t node : {head, tailNode}) {
                auto *sentinel = h.record<SLFreeNode_t>(node);
                *sentinel = SLFreeNode_t{0, 0, 0, 0, maxLevel - 1, 0, 0};
                uint64_t *links = HeapView::freeLinks(sentinel, kForwardO);
                for (uint64_t i = 0; i < 4 * maxLevel; ++i) links[i] = node == head ? tailNode : head;
            }
            rc = h.bindLayout();
            uint64_t offset = S + slSpaceSize, size = heapSize - hHeaderSize - slSpaceSize;
            if (rc == 0) rc = insertFreeBlock(h, &offset, &size);
            if (rc == 0) hideBytes(h, offset, size);
            if (rc != 0) rc = t.fail(90, rc);
        }
        header->heapMagic = rc == 0 ? traits->magic : 0;
        const uint32_t closed = latch.close(rc);
        return closed != rc ? t.fail(100, closed) : rc;
    });
}

// ---- chunks ---------------------------------------------------------------------------

namespace {

// The body of a chunk allocation on a view whose magic and self offset are checked;
// with `bound` its layout is bound too (the caller opened it fully).
uint32_t carveChunk(Trace &t, HeapView &h, bool bound, uint64_t userSize, uint64_t extraSize,
                    uint64_t *sizeRef, uint64_t *chunkOffsetOut, uint64_t *userOffsetOut, uint32_t callerId,
                    uint32_t line, const char *fileName) {
    if (sizeRef == nullptr) return t.failLogged(60, QUOR_RC_NULL_CHUNK_SIZE_REF, 0);
    if (chunkOffsetOut == nullptr || userOffsetOut == nullptr) {
        return t.failLogged(61, QUOR_RC_NULL_CHUNK_OFFSET_REF, 0);
    }
    const uint64_t request = *sizeRef;
    if (request > h.header->heapSize) return t.failWith(70, h.traits->chunkTooLarge, request);
    if (request < h.traits->minChunk) return t.failWith(80, h.traits->chunkTooSmall, request);
    // The caller's bytes and header must lie inside what is carved: the slack
    // fill behind them would otherwise run into the next chunk.
    if (userSize > request || extraSize > request - userSize)
        return t.failWith(81, h.traits->chunkTooLarge, userSize);

    // The debug settings, read before the heap latch is taken (their latch, when
    // it is needed, is never held with it): only the header is bound for them
    // here, the rest of the layout under the heap latch.
    if (!bound) {
        if (uint32_t rc = h.bindHeader(); rc != 0) return t.fail(85, rc);
    }
    ShmDebugInfo_t settings;
    if (uint32_t rc = readDebugSettings(t, 90, h, &settings); rc != 0) return rc;
    const PadFormat pads = padFormat(settings.padType);
    if (settings.frontGuards < 1 || settings.frontGuards > QUOR_PAD_MAX_GUARDS) {
        return t.failWith(110, QUOR_RC_BAD_FRONT_GUARD_COUNT, settings.frontGuards);
    }
    if (settings.backGuards < 1 || settings.backGuards > QUOR_PAD_MAX_GUARDS) {
        return t.failWith(120, QUOR_RC_BAD_BACK_GUARD_COUNT, settings.backGuards);
    }
    if (!pads.known) return t.failWith(130, QUOR_RC_BAD_PAD_TYPE, settings.padType);
    const uint64_t front = frontPadBytes(pads, settings.frontGuards);
    const uint64_t overhead = front + backPadBytes(pads, settings.backGuards);
    const uint64_t padded = request + overhead;
    *sizeRef = padded;

    if (uint32_t rc = enterEL(&h.header->heapLatch); rc != 0) return t.fail(140, rc);
    auto latch = leaving(&h.header->heapLatch);
    uint32_t rc = bound ? h.rebind() : h.bindLayout();  // another process may have changed the space
    if (rc == 0) rc = h.checkTotals();
    if (rc != 0) return latch.close(t.fail(150, rc));
    if (h.header->freeBytes < padded && !yieldSpaceFor(h, padded))
        return latch.close(t.failWith(160, h.traits->outOfSpace, padded));

    // Room for both nodes of a cut (the remainder's and the chunk's) is made
    // before the cut, so that a chunk once cut is never left in neither list.
    // In a space that is not low and already holds both, makeRoom would change
    // nothing and the tests in it would pass: most allocations skip the block.
    const uint64_t cutNeeds = cutRoom(h.L);
    if (needsRoom(h) || h.room() < cutNeeds || !holdsReturnReserve(h)) {
        uint64_t none = 0, noneSize = 0;
        const Pending nothing{&none, &noneSize, false};
        if (makeRoom(h, nothing, cutNeeds) == QUOR_RC_HEAP_CORRUPT)
            return latch.close(t.fail(165, QUOR_RC_HEAP_CORRUPT));
        // Room above the high-water mark for the cut, and room in the space for
        // the live nodes plus the return reserve, grown or rebuilt for if need be.
        if (h.room() < cutNeeds || !holdsReturnReserve(h)) {
            rc = defragment(h, nothing, h.room() < cutNeeds ? cutNeeds : cutNeeds + returnReserve(h));
            if (rc == QUOR_RC_HEAP_CORRUPT) return latch.close(t.fail(166, rc));
            // The reserve is what the space keeps while it can grow. Where it can
            // neither grow nor be rebuilt to hold it, what the live nodes leave
            // still serves: the allocation is refused only when the space, rebuilt,
            // cannot hold the cut and a later return's node besides.
            const uint64_t least = cutNeeds + returnRoom(h.L);
            if (h.room() < least) {
                const uint64_t s = h.sl->slSpaceSize, u = h.sl->slUsedBytes;
                if (u < s && s - u >= least) rc = rebuildInPlace(h, least);
                if (h.room() < least) {
                    const bool noRoom = rc == QUOR_RC_OK || rc == QUOR_RC_SLIST_SPACE_NOT_CHANGED ||
                                        rc == QUOR_RC_SLIST_SPACE_FULL;
                    return latch.close(t.fail(167, noRoom ? QUOR_RC_SLIST_SPACE_FULL : rc));
                }
            }
        }
    }
    uint64_t chunkOffset = 0, chunkSize = padded, freeStart = 0;
    rc = takeBestFit(h, padded, &chunkOffset, &freeStart);
    if (rc == h.traits->noFit && yieldSpaceFor(h, padded))
        rc = takeBestFit(h, padded, &chunkOffset, &freeStart);
    if (rc != 0) return latch.close(t.fail(170, rc));

    // The chunk below the free one it was cut from is allocated (free chunks
    // never touch), so its pads lead into the allocated list next to this one.
    uint64_t userOffset = chunkOffset + front, nodeOffset = 0;
    rc = insertAllocChunk(h, chunkOffset, chunkSize, userOffset, userSize, callerId, line, &nodeOffset,
                          placementReserve(h.L), freeStart);
    if (rc != 0) {
        // The cut chunk is in neither list: give it back before reporting.
        giveBack(h, chunkOffset, chunkSize, true);
        return latch.close(t.fail(180, rc));
    }
    writePads(h, chunkOffset, chunkSize, userOffset, nodeOffset, settings.padType, settings.frontGuards,
              settings.backGuards, callerId, line, fileName);
    // userSize + extraSize was checked against the carve, so nothing here wraps.
    const uint64_t used = userSize + extraSize + overhead;
    if (chunkSize > used) h.fill(userOffset + userSize, QUOR_PAD_SLACK_BYTE, chunkSize - used);
    if (h.traits->kind == QUOR_HEAP_KIND_POOL && (settings.debugFlags & QUOR_DEBUG_FILL_NEW_BLOCK) != 0)
        h.fill(userOffset, 0xFF, userSize);
    *chunkOffsetOut = chunkOffset;
    *userOffsetOut = userOffset;
    rc = latch.close(QUOR_RC_OK);
    return rc != 0 ? t.fail(190, rc) : rc;
}

// Starts fetching what a return reads first, while its latch is being taken: the
// chunk's front pad, the back pad of the chunk below (the two usually share a
// line), and the nodes they name, which a chunk of a large heap rarely finds in
// the cache. The words read here only steer prefetches, which never fault; they
// lie in the heap as its header sizes it and are checked again under the latch.
void prefetchReturn(const HeapView &h, uint64_t chunkOffset, uint64_t userOffset) {
    const uint64_t size = h.header->heapSize;
    if (chunkPoisoning() || chunkOffset < h.H + 16 || userOffset < chunkOffset + 16 ||
        size > UINT64_MAX - h.H || userOffset > h.H + size) {
        return;
    }
    uint64_t node = 0, nodeBelow = 0;
    std::memcpy(&node, h.base + userOffset - 16, sizeof node);
    std::memcpy(&nodeBelow, h.base + chunkOffset - 16, sizeof nodeBelow);
    h.prefetch(node);
    h.prefetch(node + sizeof(SLAllocNode_t));
    h.prefetch(nodeBelow);
    h.prefetch(nodeBelow + sizeof(SLAllocNode_t));
}

// The body of a chunk return on a view whose magic and self offset are checked;
// with `bound` its layout is bound too.
uint32_t giveChunkBack(Trace &t, HeapView &h, bool bound, uint64_t chunkOffset, uint64_t userOffset,
                       uint32_t latchHeld, uint32_t callerId, uint32_t line, const char *fileName) {
    prefetchReturn(h, chunkOffset, userOffset);
    if (!latchHeld) {
        if (uint32_t rc = enterEL(&h.header->heapLatch); rc != 0) return t.fail(50, rc);
    }
    auto latch = leaving(&h.header->heapLatch);
    if (latchHeld) latch.dismiss();
    uint32_t rc = bound ? h.rebind() : h.bindLayout();
    if (rc == 0) rc = h.checkTotals();
    if (rc != 0) return latch.close(t.fail(60, rc));
    if (!h.inChunkArea(chunkOffset, 16) || userOffset < chunkOffset + 16 ||
        !h.inChunkArea(userOffset - 16, 16)) {
        return latch.close(t.failWith(70, h.traits->notAtOffset, chunkOffset));
    }
    if ((rc = checkChunk(h, userOffset, nullptr, callerId, line, fileName)) != 0) {
        return latch.close(t.failWith(80, rc, userOffset));
    }
    // A chunk that touches no free chunk needs a free node of its own: when
    // room is short, that node must fit before the chunk leaves the allocated list.
    if (h.room() < returnRoom(h.L) + placementReserve(h.L)) {
        uint64_t none = 0, noneSize = 0;
        const Pending nothing{&none, &noneSize, false};
        if (makeRoom(h, nothing, returnRoom(h.L)) == QUOR_RC_HEAP_CORRUPT) {
            return latch.close(t.fail(85, QUOR_RC_HEAP_CORRUPT));
        }
        if (h.room() < returnRoom(h.L)) {
            const uint32_t policy = defragment(h, nothing, returnRoom(h.L));
            uint64_t size = 0;
            Neighbours around;
            if ((rc = findAllocChunk(h, chunkOffset, userOffset, &size)) != 0 ||
                (rc = freeNeighbours(h, chunkOffset, size, &around)) != 0) {
                return latch.close(t.failWith(86, rc, chunkOffset));
            }
            if (!around.mergePred && !around.mergeSucc && h.room() < returnRoom(h.L)) {
                return latch.close(t.fail(87, policy != 0 ? policy : QUOR_RC_SLIST_SPACE_FULL));
            }
        }
    }
    // The free neighbours are looked up first: a free chunk right below this
    // one tells where the allocated chunk below it ends, whose pads lead into
    // the allocated list; and the path serves the return to the free lists,
    // which nothing changes in between.
    FreePath path;
    if ((rc = findFreePath(h, chunkOffset, &path)) != 0) return latch.close(t.failWith(90, rc, chunkOffset));
    uint64_t chunkSize = 0, nodeOffset = 0;
    if ((rc = deleteAllocChunk(h, chunkOffset, userOffset, &chunkSize, &nodeOffset, path.allocatedBelow)) !=
        0) {
        return latch.close(t.failWith(90, rc, chunkOffset));
    }
    markFreed(h, userOffset);
    retireAllocNode(h, nodeOffset);
    hideBytes(h, chunkOffset, chunkSize);
    if ((rc = giveBack(h, chunkOffset, chunkSize, true, &path)) != 0) return latch.close(t.fail(100, rc));
    rc = latch.close(QUOR_RC_OK);
    return rc != 0 ? t.fail(110, rc) : rc;
}

}  // namespace

uint32_t getMemChunk(void *base, uint32_t kind, uint64_t heapOffset, uint64_t userSize, uint64_t reserved,
                     uint64_t extraSize, uint64_t *sizeRef, uint64_t *chunkOffsetOut, uint64_t *userOffsetOut,
                     uint32_t callerId, uint32_t line, const char *fileName) {
    return traced(Fn::quorGetMemChunkFromShmHeap, [&](Trace &t) {
        HeapView h;
        if (uint32_t rc = openHeader(t, h, base, kind, heapOffset); rc != 0) return rc;
        if (reserved != 0) return t.failWith(40, h.traits->reservedArg, reserved);
        if (uint32_t rc = h.checkSelf(); rc != 0) return t.failWith(50, rc, h.header->selfOffset);
        return carveChunk(t, h, false, userSize, extraSize, sizeRef, chunkOffsetOut, userOffsetOut, callerId,
                          line, fileName);
    });
}

uint32_t getMemChunk(HeapView &h, uint64_t userSize, uint64_t reserved, uint64_t extraSize, uint64_t *sizeRef,
                     uint64_t *chunkOffsetOut, uint64_t *userOffsetOut, uint32_t callerId, uint32_t line,
                     const char *fileName) {
    return traced(Fn::quorGetMemChunkFromShmHeap, [&](Trace &t) {
        if (reserved != 0) return t.failWith(40, h.traits->reservedArg, reserved);
        return carveChunk(t, h, true, userSize, extraSize, sizeRef, chunkOffsetOut, userOffsetOut, callerId,
                          line, fileName);
    });
}

uint32_t returnMemChunk(void *base, uint32_t kind, uint64_t heapOffset, uint64_t chunkOffset,
                        uint64_t userOffset, uint32_t latchHeld, uint32_t callerId, uint32_t line,
                        const char *fileName) {
    return traced(Fn::quorReturnMemChunkToShmHeap, [&](Trace &t) {
        HeapView h;
        if (uint32_t rc = openHeader(t, h, base, kind, heapOffset); rc != 0) return rc;
        if (uint32_t rc = h.checkSelf(); rc != 0) return t.failWith(40, rc, h.header->selfOffset);
        return giveChunkBack(t, h, false, chunkOffset, userOffset, latchHeld, callerId, line, fileName);
    });
}

uint32_t returnMemChunk(HeapView &h, uint64_t chunkOffset, uint64_t userOffset, uint32_t latchHeld,
                        uint32_t callerId, uint32_t line, const char *fileName) {
    return traced(Fn::quorReturnMemChunkToShmHeap, [&](Trace &t) {
        return giveChunkBack(t, h, true, chunkOffset, userOffset, latchHeld, callerId, line, fileName);
    });
}

uint32_t chunkOffsetFromPad(const HeapView &h, uint64_t low, uint64_t userOffset, uint64_t *chunkOffset) {
    // Pad words, read through a window that hides them again in sanitizer builds;
    // a word outside the heap reads as 0, which no pad type or guard count is.
    auto word = [&](uint64_t offset) {
        uint32_t value = 0;
        unsigned char *at = h.bytes(offset, 4);
        if (at == nullptr) return value;
        if (chunkPoisoning()) unpoisonBytes(at, 4);
        h.load(offset, &value);
        if (chunkPoisoning()) poisonBytes(at, 4);
        return value;
    };
    if (userOffset < low || userOffset - low < 16) return QUOR_RC_BAD_PAD_TYPE;
    const PadFormat p = padFormat(word(userOffset - 4));
    if (!p.known) return QUOR_RC_BAD_PAD_TYPE;
    if (!p.guards) {
        *chunkOffset = userOffset - frontPadBytes(p, 0);
        return QUOR_RC_OK;
    }
    const uint64_t countAt = 24 + (p.checksum ? 8 : 0);
    if (userOffset - low < countAt) return QUOR_RC_BAD_FRONT_GUARD_COUNT;
    const uint32_t f = word(userOffset - countAt);
    if (f < 1 || f > QUOR_PAD_MAX_GUARDS) return QUOR_RC_BAD_FRONT_GUARD_COUNT;
    const uint64_t front = frontPadBytes(p, f);
    if (userOffset - low < front) return QUOR_RC_BAD_FRONT_GUARD_COUNT;
    *chunkOffset = userOffset - front;
    return QUOR_RC_OK;
}

}  // namespace quor::shm

// ---- exported operations ------------------------------------------------------------

using namespace quor;
using namespace quor::shm;

QUOR_EXPORT uint32_t quorInitializeExsLatch(ExsLatch_t *latch, uint64_t eyecatcher) {
    return traced(Fn::quorInitializeExsLatch, [&](Trace &t) {
        uint32_t rc = initExsLatch(latch, eyecatcher);
        return rc == 0 ? rc : t.failWith(10, rc, rc == QUOR_RC_LATCH_NOT_INITIALIZED ? eyecatcher : 0);
    });
}

QUOR_EXPORT uint32_t quorEnterELCriticalSection(ExsLatch_t *latch) {
    return traced(Fn::quorEnterELCriticalSection, [&](Trace &t) {
        uint32_t rc = enterEL(latch);
        return rc == 0 ? rc : t.fail(10, rc);
    });
}

QUOR_EXPORT uint32_t quorExitELCriticalSection(ExsLatch_t *latch) {
    return traced(Fn::quorExitELCriticalSection, [&](Trace &t) {
        uint32_t rc = exitEL(latch);
        return rc == 0 ? rc : t.fail(10, rc);
    });
}

QUOR_EXPORT uint32_t quorConnectToStorageHeap(void *base, uint32_t kind, uint64_t heapOffset) {
    return connectHeap(base, kind, heapOffset);
}

QUOR_EXPORT uint32_t quorDisconnectFromStorageHeap(void *base, uint32_t kind, uint64_t heapOffset) {
    return disconnectHeap(base, kind, heapOffset);
}

QUOR_EXPORT uint32_t quorCreateInitStorageHeap(
    void *base, uint32_t kind, uint64_t heapSize, uint64_t heapOffset, uint64_t nodeCapacity,
    uint64_t maxLevel, uint64_t hHeaderSize, uint64_t slHeaderSize, uint64_t slSpaceSize, uint64_t granule,
    uint64_t userAppAreaSize, const void *userAppData, uint64_t latchEyecatcher, uint64_t eyecatcher0,
    uint64_t handleEyecatcher, uint64_t initialFlags, uint64_t parentHeapOffset) {
    return createInitStorageHeap(base, kind, heapSize, heapOffset, nodeCapacity, maxLevel, hHeaderSize,
                                 slHeaderSize, slSpaceSize, granule, userAppAreaSize, userAppData,
                                 latchEyecatcher, eyecatcher0, handleEyecatcher, initialFlags,
                                 parentHeapOffset);
}

QUOR_EXPORT uint32_t quorGetMemChunkFromShmHeap(void *base, uint32_t kind, uint64_t heapOffset,
                                                uint64_t userSize, uint64_t reserved, uint64_t extraSize,
                                                uint64_t *sizeRef, uint64_t *chunkOffsetOut,
                                                uint64_t *userOffsetOut, uint32_t callerId, uint32_t line,
                                                const char *fileName) {
    return getMemChunk(base, kind, heapOffset, userSize, reserved, extraSize, sizeRef, chunkOffsetOut,
                       userOffsetOut, callerIdFromCaller(callerId), line, fileName);
}

QUOR_EXPORT uint32_t quorReturnMemChunkToShmHeap(void *base, uint32_t kind, uint64_t heapOffset,
                                                 uint64_t chunkOffset, uint64_t userOffset,
                                                 uint32_t latchHeld, uint32_t callerId, uint32_t line,
                                                 const char *fileName) {
    return returnMemChunk(base, kind, heapOffset, chunkOffset, userOffset, latchHeld, callerId, line,
                          fileName);
}
