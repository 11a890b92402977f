// The storage heap: chunks of a shared-memory region kept in skip lists that live
// in the region itself.
//
// A heap is a header (HHeader_t, the user application area, HHeaderTail_t), a
// skip-list header with its node space, and a chunk area. Allocated chunks sit in
// one skip list ordered by chunk offset; free chunks sit in two orders over the same
// nodes, by offset ("O") and by size ("S"), linked both ways. Allocation is best fit
// from the size order, cut from the high end of the chosen free chunk; returning a
// chunk merges it with the free neighbours found through the offset order. Nodes
// are placed by bumping a high-water mark, which drops back when the last node
// placed dies; the space is rebuilt or resized when it runs low (slspace.cpp).
// The allocated list is singly linked, but a chunk's back pad names its node, so
// the path next to a chunk is usually read from the pads of the chunks below it
// rather than searched (checked link by link; see pathFromPads in skiplist.cpp).
// A domain heap (kind 1) and a pool heap (kind 2) differ only in the HeapTraits
// they are bound with.
//
// Thread safety
// -------------
// Every change of a heap's lists and counters happens under the heap latch
// (HHeader_t.heapLatch, an ExsLatch_t), which works across processes. getChunk and
// returnChunk take it themselves (returnChunk only when latchHeld is false); every
// other list operation below requires the caller to hold it. The debug latch guards
// ShmDebugInfo_t and is never held together with the heap latch. Nothing in this
// file keeps per-process state except the level generator (per thread).
//
// Invariants (hold whenever the heap latch is free and the heap is not corrupt)
// -------------------------------------------------------------------------------
// 1. freeBytes + allocBytes + header size + slSpaceSize == heapSize, and the chunks
//    of both lists tile the chunk area [S + slSpaceSize, H + heapSize) exactly.
// 2. The allocated list is ordered by chunkOffset; the O order by offset; the S
//    order by size, a later-inserted chunk ahead of earlier ones of equal size.
// 3. No two free chunks are adjacent (returning merges them).
// 4. Every node lies in [S + slHeaderSize, S + slHighWater). Insertions other
//    than the final one of a return keep placementReserve(L) bytes free above the
//    high-water mark, and an allocation makes room for both nodes of a cut before
//    it cuts, so a chunk is never left in neither list. A return checks that its
//    free node fits before the chunk leaves the allocated list.
// 6. After an allocation the space holds the live nodes, a cut and the return
//    reserve (returnReserve) whenever it can be grown or rebuilt to; where it
//    cannot, an allocation still goes ahead while the rebuilt space holds a cut
//    and one return's free node, and is refused only below that.
// 7. A rebuild keeps every node's level, and runs only when it reclaims half the
//    space; otherwise the space grows (by doubling, at least the planned size).
// 5. Each allocated chunk's front pad (and back pad, where its type has one) holds
//    the offset of its node.
//
// Untrusted input
// ---------------
// Any process that maps the segment may write anything into it. Every offset, size,
// level and link read from the segment is bounded by the heap before use; a value
// that breaks the bounds makes the operation return a code (usually
// QUOR_RC_HEAP_CORRUPT) and never leads to an access outside the heap. The header
// offset H and the base come from the caller and are trusted to name a mapped heap
// header; the heap size read there bounds everything else.
#pragma once

#include <cstdint>
#include <cstring>

#include "frame/region.h"
#include "frame/trace.h"
#include "shm/layout.h"

namespace quor::shm {

// Free-node link arrays, in the order they follow the fixed part of a node.
enum LinkArray : uint64_t { kForwardO = 0, kBackwardO = 1, kForwardS = 2, kBackwardS = 3 };

// What opening a heap checks beyond a non-null base and a known kind.
enum HeapChecks : unsigned {
    kCheckMagic = 1,   // the kind's magic is in place (a live heap)
    kCheckSelf = 2,    // the header names the offset it was reached at
    kCheckLayout = 4,  // sizes, levels and sentinels describe a heap inside heapSize
    kOpenLive = kCheckMagic | kCheckSelf | kCheckLayout,
};

// The one view of a heap mapped in this process: opened and validated once, it
// caches the layout and hands out shared memory only through accessors that
// check every offset against the heap (or, for nodes, against the node space).
// Only the header is reached before the layout is bound: the base and the header
// offset come from the caller and are trusted to name a mapped header, and the
// heap size read there bounds everything else. Re-bind (bindLayout) after the
// node space changes size.
class HeapView {
public:
    unsigned char *base = nullptr;
    uint64_t H = 0;
    const HeapTraits *traits = nullptr;
    HHeader_t *header = nullptr;
    HHeaderTail_t *tail = nullptr;
    SLHeader_t *sl = nullptr;
    uint64_t S = 0;         // segment offset of the skip-list header
    uint64_t L = 0;         // max level
    uint64_t end = 0;       // H + heapSize
    uint64_t spaceEnd = 0;  // S + slSpaceSize: first byte of the chunk area
    // Where a node may start: from the end of the skip-list header up to the last
    // offset where the fixed part of an allocated (free) node still fits. Derived
    // from spaceEnd by setSpaceEnd.
    uint64_t nodeLow = 0, allocLast = 0, freeLast = 0;
    // The most nodes the space can hold: no well-formed list has more, so a walk
    // longer than that runs round a corrupt cycle.
    uint64_t nodeLimit = 0;
    uint64_t slHeader = 0;   // skip-list header size
    uint64_t allocHead = 0;  // node offsets of the sentinels
    uint64_t freeHead = 0;
    uint64_t freeTail = 0;

    // Null base (QUOR_RC_NOT_MAPPED), then the kind (QUOR_RC_BAD_HEAP_MODE).
    uint32_t attach(void *base, uint32_t kind, uint64_t heapOffset);
    // The kind's magic is in place and the heap is not fenced (see recovery.h).
    uint32_t checkMagic() const {
        if (header->heapMagic != traits->magic) return traits->badMagic;
        return (header->flags & QUOR_HEAP_DAMAGED) != 0 ? QUOR_RC_HEAP_DAMAGED : QUOR_RC_OK;
    }
    uint32_t checkSelf() const { return header->selfOffset == H ? QUOR_RC_OK : traits->offsetMismatch; }
    // The sizes, levels and marks of the headers describe a heap that fits in
    // heapSize; caches the layout. QUOR_RC_HEAP_CORRUPT otherwise.
    uint32_t bindLayout();
    // The first part of bindLayout: the heap size, the user area and where the
    // header tail and the skip-list header lie, so that the tail can be read.
    uint32_t bindHeader();
    // bindLayout again on a bound view after the heap latch was entered: only the
    // node space's extent and marks change under the latch, so when the heap
    // size, the user area and the max level are still those bound, only they are
    // checked again; otherwise the whole layout is.
    uint32_t rebind();
    // The node space's extent and high-water mark, and the two current levels,
    // within the bound layout; caches where the space ends.
    uint32_t bindSpace();
    // freeBytes + allocBytes + header + node space == heapSize: a heap size that
    // does not add up is not trusted to bound anything (QUOR_RC_HEAP_CORRUPT).
    uint32_t checkTotals() const {
        const uint64_t sum = header->freeBytes + header->allocBytes + headerSize() + sl->slSpaceSize;
        return sum == header->heapSize ? QUOR_RC_OK : QUOR_RC_HEAP_CORRUPT;
    }
    // attach, then the checks asked for, in the order magic, self, layout.
    uint32_t open(void *base, uint32_t kind, uint64_t heapOffset, unsigned checks = kOpenLive);
    // The same, tracing a failure at probe (null base, logged), +10 (kind),
    // +20 (magic), +30 (self offset), +40 (layout).
    uint32_t open(const Trace &t, uint32_t probe, void *base, uint32_t kind, uint64_t heapOffset,
                  unsigned checks = kOpenLive);

    // ---- checked access: every range must lie inside the heap, [H, H + heapSize) ----
    bool holds(uint64_t offset, uint64_t length) const {
        return offset >= H && offset <= end && length <= end - offset;
    }
    unsigned char *bytes(uint64_t offset, uint64_t length) const {
        return holds(offset, length) ? base + offset : nullptr;
    }
    // A record of type T at `offset`, or null when it does not lie in the heap.
    template <class T>
    T *record(uint64_t offset) const {
        return holds(offset, sizeof(T)) ? reinterpret_cast<T *>(base + offset) : nullptr;
    }
    bool copyIn(uint64_t offset, const void *from, uint64_t length) const {
        unsigned char *to = bytes(offset, length);
        if (to != nullptr && length != 0) std::memcpy(to, from, length);
        return to != nullptr;
    }
    bool copyOut(void *to, uint64_t offset, uint64_t length) const {
        const unsigned char *from = bytes(offset, length);
        if (from != nullptr && length != 0) std::memcpy(to, from, length);
        return from != nullptr;
    }
    bool fill(uint64_t offset, unsigned char byte, uint64_t length) const {
        unsigned char *to = bytes(offset, length);
        if (to != nullptr && length != 0) std::memset(to, byte, length);
        return to != nullptr;
    }
    // A word at any alignment (pad words need not be aligned to their size).
    template <class T>
    bool load(uint64_t offset, T *value) const {
        if (!holds(offset, sizeof(T))) return false;
        std::memcpy(value, base + offset, sizeof(T));
        return true;
    }
    template <class T>
    bool store(uint64_t offset, T value) const {
        if (!holds(offset, sizeof(T))) return false;
        std::memcpy(base + offset, &value, sizeof(T));
        return true;
    }
    // The segment offset of a node or record this view handed out.
    uint64_t offsetOf(const void *p) const { return uint64_t(static_cast<const unsigned char *>(p) - base); }
    // Starts fetching the line at `offset`, which need not be valid: the address is
    // formed as an integer and a prefetch never faults.
    void prefetch(uint64_t offset) const {
        __builtin_prefetch(reinterpret_cast<const void *>(reinterpret_cast<uintptr_t>(base) + offset));
    }
    // True when [offset, offset + length) lies in the chunk area.
    bool inChunkArea(uint64_t offset, uint64_t length) const {
        return offset >= spaceEnd && offset <= end && length <= end - offset;
    }
    uint64_t headerSize() const { return S - H; }
    // Moves the end of the node space (bound: S and slHeader are set).
    void setSpaceEnd(uint64_t offset) {
        spaceEnd = offset;
        nodeLow = S + slHeader;
        allocLast = spaceEnd - allocNodeSize(0);
        freeLast = spaceEnd - freeNodeSize(0);
        nodeLimit = (spaceEnd - S) / allocNodeSize(0);
    }

    // ---- nodes (null when the offset, level or extent is out of bounds) ----
    SLAllocNode_t *allocNode(uint64_t offset) const;
    SLFreeNode_t *freeNode(uint64_t offset) const;
    // The node an allocated-list link at `level` names (a link names the target's
    // link slot of that level), or null when it names no node of at least that
    // level lying wholly in the node space. The one test every hop of a search makes.
    SLAllocNode_t *allocLinkTarget(uint64_t link, uint64_t level) const {
        const uint64_t offset = link - allocLinkSlot(0, level);
        if ((link & 7) != 0 || link < allocLinkSlot(0, level) || offset < nodeLow || offset > allocLast) {
            return nullptr;
        }
        auto *node = raw<SLAllocNode_t>(offset);
        const uint64_t nodeLevel = node->level;
        if (nodeLevel < level || nodeLevel >= L || allocNodeSize(nodeLevel) > spaceEnd - offset)
            return nullptr;
        return node;
    }
    // A node of `size` bytes just placed at `offset` (placeNode has bounded it by
    // the node space), to be filled in; null if it does not lie there.
    template <class Node>
    Node *placed(uint64_t offset, uint64_t size) const {
        return offset >= nodeLow && offset <= spaceEnd && size <= spaceEnd - offset ? raw<Node>(offset)
                                                                                    : nullptr;
    }
    static uint64_t *allocLinks(SLAllocNode_t *n) { return reinterpret_cast<uint64_t *>(n + 1); }
    static uint64_t *freeLinks(SLFreeNode_t *n, LinkArray which) {
        return reinterpret_cast<uint64_t *>(n + 1) + which * (n->level + 1);
    }
    // The sentinels, whose place and level every bind checks.
    SLAllocNode_t *allocHeadNode() const { return raw<SLAllocNode_t>(allocHead); }
    SLFreeNode_t *freeHeadNode() const { return raw<SLFreeNode_t>(freeHead); }
    SLFreeNode_t *freeTailNode() const { return raw<SLFreeNode_t>(freeTail); }
    uint64_t *freeLevelWord() const { return raw<uint64_t>(S + QUOR_SL_FREE_LEVEL_OFFSET(L)); }
    uint64_t room() const { return sl->slSpaceSize - sl->slHighWater; }

private:
    // Unchecked: only for offsets this view has just bounded.
    template <class T>
    T *raw(uint64_t offset) const {
        return reinterpret_cast<T *>(base + offset);
    }
};

// Every chunk operation opens with it: defined here so that it inlines.
inline uint32_t HeapView::open(const Trace &t, uint32_t probe, void *segmentBase, uint32_t kind,
                               uint64_t heapOffset, unsigned checks) {
    if (uint32_t rc = attach(segmentBase, kind, heapOffset); rc != 0) {
        return rc == QUOR_RC_NOT_MAPPED ? t.failLogged(probe, rc, 0) : t.failWith(probe + 10, rc, kind);
    }
    if ((checks & kCheckMagic) != 0) {
        if (uint32_t rc = checkMagic(); rc != 0) return t.failWith(probe + 20, rc, header->heapMagic);
    }
    if ((checks & kCheckSelf) != 0) {
        if (uint32_t rc = checkSelf(); rc != 0) return t.failWith(probe + 30, rc, header->selfOffset);
    }
    if ((checks & kCheckLayout) != 0) {
        if (uint32_t rc = bindLayout(); rc != 0) return t.fail(probe + 40, rc);
    }
    return QUOR_RC_OK;
}

// Hot in every search: defined here so that they inline.
inline SLAllocNode_t *HeapView::allocNode(uint64_t offset) const {
    if (offset == allocHead) return raw<SLAllocNode_t>(offset);
    if ((offset & 7) != 0 || offset < nodeLow || offset > allocLast) return nullptr;
    auto *node = raw<SLAllocNode_t>(offset);
    const uint64_t level = node->level;
    if (level >= L || allocNodeSize(level) > spaceEnd - offset) return nullptr;
    return node;
}

inline SLFreeNode_t *HeapView::freeNode(uint64_t offset) const {
    if (offset == freeHead || offset == freeTail) return raw<SLFreeNode_t>(offset);
    if ((offset & 7) != 0 || offset < nodeLow || offset > freeLast) return nullptr;
    auto *node = raw<SLFreeNode_t>(offset);
    const uint64_t level = node->level;
    if (level >= L || freeNodeSize(level) > spaceEnd - offset) return nullptr;
    return node;
}

// ---- level draws ------------------------------------------------------------------
// A draw in 0..32767 from a per-thread generator seeded distinctly per thread and
// per process (re-seeded in a forked child); it takes no lock.
uint32_t drawRandom();
// The level of a new node in a list whose current level is `current`, with the
// promotion rule; raises nothing (see raiseLevel in skiplist.cpp).
uint64_t drawLevel(uint64_t current, uint64_t L);

// ---- list primitives (heap latch held; bodies of the exported operations) --------
// Place a node of `size` bytes at the high-water mark, keeping `reserve` bytes
// above it. QUOR_RC_SLIST_SPACE_FULL when it does not fit.
uint32_t placeNode(HeapView &h, uint64_t size, uint64_t reserve, uint64_t *nodeOffset);
// Insert with a drawn level; `reserve` as for placeNode. `below`, when given, is
// where the allocated chunk nearest below chunkOffset ends (chunkOffset itself, or
// the start of the free chunk in front of it): the path is then taken from the
// pads of the chunks there when they lead to it, else searched.
inline constexpr uint64_t kNoPads = UINT64_MAX;
uint32_t insertAllocChunk(HeapView &h, uint64_t chunkOffset, uint64_t chunkSize, uint64_t userOffset,
                          uint64_t userSize, uint32_t callerId, uint32_t line, uint64_t *nodeOffset,
                          uint64_t reserve, uint64_t below = kNoPads);
uint32_t insertFreeChunk(HeapView &h, uint64_t offset, uint64_t size, uint64_t reserve);
uint32_t deleteFreeNode(HeapView &h, uint64_t nodeOffset);
// Unlinks the node of the chunk at chunkOffset; with expectedUserOffset other than
// kAnyUserOffset the node must record that user offset too (else nothing changes).
// The path comes from the pads of the chunks below when they lead to the node
// (each link on it is checked to name the node), else from a search; `below` is
// as for insertAllocChunk (chunkOffset when not given).
inline constexpr uint64_t kAnyUserOffset = UINT64_MAX;
uint32_t deleteAllocChunk(HeapView &h, uint64_t chunkOffset, uint64_t expectedUserOffset, uint64_t *chunkSize,
                          uint64_t *nodeOffset = nullptr, uint64_t below = kNoPads);
// Marks the node of a chunk just returned (unlinked, its front pad marked freed)
// as no node, so that a stale back pad naming it is not taken for a live chunk's.
// The bytes are dead space until the next rebuild.
void retireAllocNode(HeapView &h, uint64_t nodeOffset);
// The same search without unlinking.
uint32_t findAllocChunk(HeapView &h, uint64_t chunkOffset, uint64_t expectedUserOffset, uint64_t *chunkSize);
// Best fit of `size` bytes, cut from the high end; the low remainder stays free.
// *freeStart (when given) receives where the chosen free chunk began.
uint32_t takeBestFit(HeapView &h, uint64_t size, uint64_t *offset, uint64_t *freeStart = nullptr);
// The free node whose chunk starts exactly at `offset`.
uint32_t findFreeAt(HeapView &h, uint64_t offset, uint64_t *nodeOffset, uint64_t *size);
// The free chunks around [offset, offset + size) and whether they touch it;
// QUOR_RC_HEAP_CORRUPT when one overlaps it.
struct Neighbours {
    uint64_t pred = 0, succ = 0;  // node offsets (the sentinels when none)
    bool mergePred = false, mergeSucc = false;
};
uint32_t freeNeighbours(HeapView &h, uint64_t offset, uint64_t size, Neighbours *out);
// The offset-order path to `offset` (for each level the last free node below
// it), and where the allocated chunk nearest below it ends: at the start of a
// free chunk that ends at `offset`, else at `offset`. It holds until the free
// lists change.
struct FreePath {
    SLFreeNode_t *pred[kMaxLevel];
    uint64_t allocatedBelow;
};
uint32_t findFreePath(HeapView &h, uint64_t offset, FreePath *path);
// Gives [offset, offset + size) back to the free lists, merged with its free
// neighbours, making room first; `lastResort` lets the final insertion use the
// placement reserve so the bytes are never lost. `path`, when given, is the
// chunk's offset-order path, found since the free lists last changed.
uint32_t giveBack(HeapView &h, uint64_t offset, uint64_t size, bool lastResort,
                  const FreePath *path = nullptr);

// ---- node space (slspace.cpp; heap latch held) ------------------------------------
// Makes room before an insertion when the space runs low; the pending chunk moves
// with the boundary.
// The pending chunk is the one the caller is about to insert. A free chunk moves
// with the boundary when the space changes; an allocated one (movable false) is
// never cut, since its bytes are promised to a caller.
struct Pending {
    uint64_t *offset;
    uint64_t *size;
    bool movable;
};
// `room` is what the waiting insertion needs above the high-water mark once the
// policy is done (cutRoom for an allocation, returnRoom for a return).
uint32_t makeRoom(HeapView &h, Pending pending, uint64_t room);
// Node bytes kept in reserve for returns, in proportion to the live nodes.
// Returns in random order first split free runs (a free node is larger than an
// allocated one) before they merge them, and need up to about a twelfth more node
// bytes than the full heap held. The space grows or is rebuilt to keep this
// reserve; once it can no longer grow, allocations use what is left down to one
// cut and one return's node.
inline uint64_t returnReserve(const HeapView &h) { return h.sl->slUsedBytes / 8; }
inline bool holdsReturnReserve(const HeapView &h) {
    const uint64_t s = h.sl->slSpaceSize, u = h.sl->slUsedBytes;
    return u <= s && s - u >= cutRoom(h.L) + returnReserve(h);
}
// True when the space is low enough that makeRoom would rebuild or resize it.
bool needsRoom(const HeapView &h);
uint32_t defragment(HeapView &h, Pending pending, uint64_t room);
uint32_t rebuildInPlace(HeapView &h, uint64_t room);
// A shrink never goes below `floor` (0: twice the live nodes, with room to spare).
uint32_t changeSpace(HeapView &h, uint64_t newSpaceSize, uint32_t direction, Pending pending, uint64_t room,
                     uint64_t floor = 0);
// Gives the node space beyond what the live nodes, a cut and the return reserve
// need back to the chunk area, when that lets a request of `size` bytes fit in
// the free chunk at the boundary: unused node space never makes an allocation
// fail while the bytes exist. True when the space changed.
bool yieldSpaceFor(HeapView &h, uint64_t size);
// Make room, insert a free chunk; on a full space run the full policy and retry.
uint32_t insertFreeBlock(HeapView &h, uint64_t *offsetRef, uint64_t *sizeRef);
// The same for an allocated chunk whose caller bytes start frontPadSize bytes in.
uint32_t insertAllocBlock(HeapView &h, uint64_t *offsetRef, uint64_t *sizeRef, uint64_t *userOffsetOut,
                          uint64_t userSize, uint32_t callerId, uint32_t line, uint64_t frontPadSize,
                          uint64_t *nodeOffsetOut, bool movable);

// ---- the interface the pool code builds on ---------------------------------------
// Each is the traced body of the exported operation of the same name, so a caller
// that includes these steps records them under that operation's identifier.

// Carves a chunk for `userSize` caller bytes: *sizeRef holds the bytes to carve
// (user bytes, extraSize bytes of the caller's own header, granule slack) and
// receives that plus the pad overhead. Takes the heap latch.
uint32_t getMemChunk(void *base, uint32_t kind, uint64_t heapOffset, uint64_t userSize, uint64_t reserved,
                     uint64_t extraSize, uint64_t *sizeRef, uint64_t *chunkOffsetOut, uint64_t *userOffsetOut,
                     uint32_t callerId, uint32_t line, const char *fileName);
// Checks the chunk's pads and returns it; takes the heap latch unless latchHeld.
uint32_t returnMemChunk(void *base, uint32_t kind, uint64_t heapOffset, uint64_t chunkOffset,
                        uint64_t userOffset, uint32_t latchHeld, uint32_t callerId, uint32_t line,
                        const char *fileName);
// The same on a heap the caller has opened (kOpenLive): the heap is not opened
// and checked again, and its layout is only refreshed under the latch.
uint32_t getMemChunk(HeapView &h, uint64_t userSize, uint64_t reserved, uint64_t extraSize, uint64_t *sizeRef,
                     uint64_t *chunkOffsetOut, uint64_t *userOffsetOut, uint32_t callerId, uint32_t line,
                     const char *fileName);
uint32_t returnMemChunk(HeapView &h, uint64_t chunkOffset, uint64_t userOffset, uint32_t latchHeld,
                        uint32_t callerId, uint32_t line, const char *fileName);
// The chunk offset of the caller's bytes at userOffset, read from the front pad
// (QUOR_RC_BAD_PAD_TYPE, QUOR_RC_BAD_FRONT_GUARD_COUNT; the freed mark is refused).
// Bounds-checked against [low, userOffset).
uint32_t chunkOffsetFromPad(const HeapView &h, uint64_t low, uint64_t userOffset, uint64_t *chunkOffset);
// The heap latch and the ExsLatch_t operations.
uint32_t initExsLatch(ExsLatch_t *latch, uint64_t eyecatcher);
uint32_t enterEL(ExsLatch_t *latch);
uint32_t exitEL(ExsLatch_t *latch);
// The guard that leaves a latch just entered (see Closing): close(rc) leaves once
// and keeps rc's failure over the latch's.
inline auto leaving(ExsLatch_t *latch) {
    return Closing([latch] { return exitEL(latch); });
}
// Connection counting: +1 (refused when marked for deletion) or -1 (never below 0).
uint32_t connectHeap(void *base, uint32_t kind, uint64_t heapOffset);
uint32_t disconnectHeap(void *base, uint32_t kind, uint64_t heapOffset);
// Lays out a new heap (the sizes come from heapSizing).
uint32_t createInitStorageHeap(void *base, uint32_t kind, uint64_t heapSize, uint64_t heapOffset,
                               uint64_t nodeCapacity, uint64_t maxLevel, uint64_t hHeaderSize,
                               uint64_t slHeaderSize, uint64_t slSpaceSize, uint64_t granule,
                               uint64_t userAppAreaSize, const void *userAppData, uint64_t latchEyecatcher,
                               uint64_t eyecatcher0, uint64_t handleEyecatcher, uint64_t initialFlags,
                               uint64_t parentHeapOffset);

// Sizing of a heap region of `size` bytes for a kind; nodeCapacity 0 computes it.
struct HeapSizes {
    uint64_t nodeCapacity, maxLevel, hHeaderSize, slHeaderSize, slSpaceSize;
};
uint32_t heapSizing(uint64_t size, uint32_t kind, uint64_t nodeCapacity, uint64_t maxLevel,
                    uint64_t userAppAreaSize, HeapSizes *out);

// ---- sanitizer builds --------------------------------------------------------------
// Shadow memory is private to a process, while a heap may be shared: another
// process can hand out bytes that this one poisoned. Poisoning of free chunks and
// pads is therefore a per-process switch, off by default, for suites that use a
// heap from one process only.
void setChunkPoisoning(bool on);
bool chunkPoisoning();

}  // namespace quor::shm
