// The chunk skip lists: binding a heap, level draws, insertion, deletion, best fit
// and coalescing. Every function here runs under the heap latch.
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "frame/export.h"
#include "shm/heap.h"
#include "shm/pads.h"

namespace quor::shm {

// ---- binding ----------------------------------------------------------------------

uint32_t HeapView::attach(void *segmentBase, uint32_t kind, uint64_t heapOffset) {
    if (segmentBase == nullptr) return QUOR_RC_NOT_MAPPED;
    traits = traitsOf(kind);
    if (traits == nullptr) return QUOR_RC_BAD_HEAP_MODE;
    base = static_cast<unsigned char *>(segmentBase);
    H = heapOffset;
    header = raw<HHeader_t>(H);
    return QUOR_RC_OK;
}

uint32_t HeapView::bindHeader() {
    const uint64_t heapSize = header->heapSize, userArea = header->userAppAreaSize;
    if ((H & 7) != 0 || heapSize > UINT64_MAX - H || userArea > heapSize) return QUOR_RC_HEAP_CORRUPT;
    end = H + heapSize;
    const uint64_t hSize = headerTailAt(userArea) + kHeaderTail;
    if (hSize + slHeaderSize(1) > heapSize) return QUOR_RC_HEAP_CORRUPT;
    S = H + hSize;
    tail = raw<HHeaderTail_t>(H + headerTailAt(userArea));
    sl = raw<SLHeader_t>(S);
    return QUOR_RC_OK;
}

uint32_t HeapView::bindLayout() {
    if (uint32_t rc = bindHeader(); rc != 0) return rc;
    L = sl->maxLevel;
    if (L < 1 || L > kMaxLevel) return QUOR_RC_HEAP_CORRUPT;
    slHeader = slHeaderSize(L);
    allocHead = S + QUOR_SL_ALLOC_HEAD_OFFSET;
    freeHead = S + QUOR_SL_FREE_HEAD_OFFSET(L);
    freeTail = S + QUOR_SL_FREE_TAIL_OFFSET(L);
    return bindSpace();
}

// The sentinels' levels are checked on every bind: their link arrays are found
// from them, and the sentinels are used without a node's checks.
uint32_t HeapView::bindSpace() {
    const uint64_t space = sl->slSpaceSize, high = sl->slHighWater;
    if ((space & 7) != 0 || space < slHeader || space > end - S || high < slHeader || high > space ||
        (high & 7) != 0 || sl->allocLevel >= L || *freeLevelWord() >= L || allocHeadNode()->level != L - 1 ||
        freeHeadNode()->level != L - 1 || freeTailNode()->level != L - 1) {
        return QUOR_RC_HEAP_CORRUPT;
    }
    setSpaceEnd(S + space);
    return QUOR_RC_OK;
}

uint32_t HeapView::rebind() {
    const uint64_t userArea = header->userAppAreaSize;
    if (header->heapSize != end - H || userArea > end - H || headerTailAt(userArea) + kHeaderTail != S - H ||
        sl->maxLevel != L) {
        return bindLayout();
    }
    return bindSpace();
}

uint32_t HeapView::open(void *segmentBase, uint32_t kind, uint64_t heapOffset, unsigned checks) {
    uint32_t rc = attach(segmentBase, kind, heapOffset);
    if (rc == 0 && (checks & kCheckMagic) != 0) rc = checkMagic();
    if (rc == 0 && (checks & kCheckSelf) != 0) rc = checkSelf();
    if (rc == 0 && (checks & kCheckLayout) != 0) rc = bindLayout();
    return rc;
}

// ---- level draws ------------------------------------------------------------------

namespace {

std::atomic<uint32_t> forkGeneration{0};
void bumpForkGeneration() { forkGeneration.fetch_add(1, std::memory_order_relaxed); }

struct Generator {
    uint64_t state;
    uint64_t spare;       // draws of the last step not handed out yet, 15 bits each
    uint32_t spareCount;  // how many
    uint32_t generation;  // the fork generation seeded in (~0: never seeded)

    void seed() {
        static std::atomic<uint64_t> threads{0};
        static const bool registered = pthread_atfork(nullptr, nullptr, bumpForkGeneration) == 0;
        (void)registered;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        uint64_t mix = (uint64_t(getpid()) << 32) ^ uint64_t(now.tv_nsec) ^ (uint64_t(now.tv_sec) << 20) ^
                       (threads.fetch_add(1) * 0x9E3779B97F4A7C15ull) ^ reinterpret_cast<uintptr_t>(this);
        state = mix != 0 ? mix : 0x2545F4914F6CDD1Dull;
        spareCount = 0;
        generation = forkGeneration.load(std::memory_order_relaxed);
    }
    // One step of the generator gives four draws (its top 60 bits), so most
    // draws are a shift.
    uint32_t next() {
        if (generation != forkGeneration.load(std::memory_order_relaxed)) seed();
        if (spareCount == 0) {
            state ^= state << 13;  // xorshift64
            state ^= state >> 7;
            state ^= state << 17;
            spare = state >> 4;
            spareCount = 4;
        }
        const uint32_t draw = uint32_t(spare) % kRandRange;
        spare >>= 15;
        --spareCount;
        return draw;
    }
};
static_assert(kRandRange == 1u << 15);

// Initial-exec: one thread-pointer-relative access instead of a call into the
// dynamic linker (the library is loaded with its program, or by dlopen, which
// the static TLS reserve covers for a few words).
__attribute__((tls_model("initial-exec"))) constinit thread_local Generator generator{0, 0, 0, ~0u};

}  // namespace

uint32_t drawRandom() { return generator.next(); }

uint64_t drawLevel(uint64_t current, uint64_t L) {
    // One lookup of the thread's generator for all the draws.
    Generator &g = generator;
    uint64_t level = 0;
    while (g.next() < kPromoteLimit) {
        if (level > current) break;
        if (level >= L) {
            --level;
            break;
        }
        ++level;
    }
    if (level >= L) level = L - 1;
    if (level > current) level = current + 1;
    return level;
}

// ---- placement ----------------------------------------------------------------------

uint32_t placeNode(HeapView &h, uint64_t size, uint64_t reserve, uint64_t *nodeOffset) {
    if (h.room() < size + reserve) return QUOR_RC_SLIST_SPACE_FULL;
    *nodeOffset = h.S + h.sl->slHighWater;
    h.sl->slHighWater += size;
    h.sl->slUsedBytes += size;
    return QUOR_RC_OK;
}

namespace {

// Gives a dead node's bytes back to the count, and to the space above the
// high-water mark when it was the last one placed: a chunk returned and taken
// again at once (its free node placed and dropped within a return and the next
// allocation) then uses no node space at all, which keeps rebuilds rarer.
void dropNode(HeapView &h, uint64_t nodeOffset, uint64_t size) {
    h.sl->slUsedBytes -= size;
    if (nodeOffset + size == h.S + h.sl->slHighWater) h.sl->slHighWater -= size;
}

// The node that an allocated-list link at `level` names, or null for the end;
// `bad` is set for a link that names no valid node of at least that level.
SLAllocNode_t *nextAlloc(const HeapView &h, SLAllocNode_t *node, uint64_t level, bool &bad) {
    uint64_t link = HeapView::allocLinks(node)[level];
    if (link == 0) return nullptr;
    SLAllocNode_t *next = h.allocLinkTarget(link, level);
    if (next == nullptr || next == node) bad = true;
    return bad ? nullptr : next;
}

uint64_t slotOf(const HeapView &h, SLAllocNode_t *node, uint64_t level) {
    return allocLinkSlot(h.offsetOf(node), level);
}

SLFreeNode_t *nextFree(const HeapView &h, SLFreeNode_t *node, LinkArray which, uint64_t level) {
    SLFreeNode_t *next = h.freeNode(HeapView::freeLinks(node, which)[level]);
    return next != nullptr && next->level >= level ? next : nullptr;
}

// Starts fetching the node a link names (a link may be 0 or anything: a prefetch
// never faults and reads nothing the search relies on).
inline void prefetchAllocTarget(const HeapView &h, uint64_t link, uint64_t level) {
    h.prefetch(link - allocLinkSlot(0, level));
}

// For each level from `top` down to `bottom`, the last allocated node whose chunk
// offset lies below `key` (the head when none does). The nodes are scattered
// through the space, so each hop is a likely cache miss; the node one level down
// is fetched while the one on this level is compared, which overlaps the two
// misses of every descent.
uint32_t searchAlloc(const HeapView &h, uint64_t key, uint64_t top, SLAllocNode_t **pred,
                     uint64_t bottom = 0) {
    SLAllocNode_t *x = h.allocHeadNode();
    uint64_t budget = h.nodeLimit + 2;
    for (uint64_t i = top + 1; i-- > bottom;) {
        uint64_t *links = HeapView::allocLinks(x);
        uint64_t link = links[i];
        if (i > 0) prefetchAllocTarget(h, links[i - 1], i - 1);
        for (;;) {
            if (budget-- == 0) return QUOR_RC_HEAP_CORRUPT;
            if (link == 0) break;
            SLAllocNode_t *next = h.allocLinkTarget(link, i);
            if (next == nullptr || next == x) return QUOR_RC_HEAP_CORRUPT;
            if (next->chunkOffset >= key) break;
            x = next;
            links = HeapView::allocLinks(x);
            link = links[i];
            prefetchAllocTarget(h, link, i);
            if (i > 0) prefetchAllocTarget(h, links[i - 1], i - 1);
        }
        pred[i] = x;
    }
    return QUOR_RC_OK;
}

// For each level from `top` down, the last free node before the first one that
// `stop` accepts (the head when the first node is accepted); the tail is accepted.
// `from`, when given, is where the search starts at level `top` instead of the
// head: a node known to lie before the first accepted one on that level.
template <class Stop>
uint32_t searchFree(const HeapView &h, LinkArray forward, uint64_t top, SLFreeNode_t **pred, Stop stop,
                    SLFreeNode_t *from = nullptr) {
    SLFreeNode_t *const head = h.freeHeadNode(), *const tail = h.freeTailNode();
    SLFreeNode_t *x = from != nullptr ? from : head;
    uint64_t budget = h.nodeLimit + 2;
    // As in the allocated list, the node one level down is fetched during each
    // comparison on this level. A free node spans two lines or more, and a hop
    // reads both the fixed part and a link array, so both lines are fetched.
    auto fetch = [&](uint64_t offset) {
        h.prefetch(offset);
        h.prefetch(offset + 64);
    };
    auto fetchBelow = [&](SLFreeNode_t *node, uint64_t i) {
        if (i > 0) fetch(HeapView::freeLinks(node, forward)[i - 1]);
    };
    for (uint64_t i = top + 1; i-- > 0;) {
        fetchBelow(x, i);
        for (;;) {
            SLFreeNode_t *next = nextFree(h, x, forward, i);
            if (next == nullptr || next == head || budget-- == 0) return QUOR_RC_HEAP_CORRUPT;
            if (next == tail || stop(next)) break;
            x = next;
            fetch(HeapView::freeLinks(x, forward)[i]);
            fetchBelow(x, i);
        }
        pred[i] = x;
    }
    return QUOR_RC_OK;
}

// The link word which[level] of the free node at `offset`, or null when no free
// node of at least that level lies there. Writers fetch each word through it just
// before they relink: in a corrupt heap whose nodes overlap (a high-water mark
// moved below live nodes), one write can rewrite another node's level, and a
// stale level would put the link arrays anywhere.
uint64_t *freeLinkAt(const HeapView &h, uint64_t offset, LinkArray which, uint64_t level) {
    SLFreeNode_t *node = h.freeNode(offset);
    return node != nullptr && node->level >= level ? &HeapView::freeLinks(node, which)[level] : nullptr;
}

// A free node bounded by one reading of its level: its link words are found from
// that reading, so they lie in the extent it bounded even where a corrupt heap's
// nodes overlap and a write through a neighbour rewrites the stored level.
struct BoundNode {
    SLFreeNode_t *node;
    uint64_t offset, level;
    uint64_t *word(LinkArray which, uint64_t i) const {
        return reinterpret_cast<uint64_t *>(node + 1) + which * (level + 1) + i;
    }
};

// Links `self` after `pred` at level i (i <= self.level) in one order.
uint32_t linkFree(const HeapView &h, const BoundNode &self, SLFreeNode_t *pred, LinkArray forward,
                  LinkArray backward, uint64_t i) {
    const uint64_t predOffset = h.offsetOf(pred);
    uint64_t *predNext = freeLinkAt(h, predOffset, forward, i);
    if (predNext == nullptr) return QUOR_RC_HEAP_CORRUPT;
    const uint64_t succOffset = *predNext;
    uint64_t *succPrev = freeLinkAt(h, succOffset, backward, i);
    if (succPrev == nullptr) return QUOR_RC_HEAP_CORRUPT;
    *self.word(forward, i) = succOffset;
    *self.word(backward, i) = predOffset;
    *succPrev = self.offset;
    *predNext = self.offset;
    return QUOR_RC_OK;
}

struct LinkPair {
    LinkArray forward, backward;
};
constexpr LinkPair kBothOrders[] = {{kForwardO, kBackwardO}, {kForwardS, kBackwardS}};

// The words that unlinking a free node from one order at one level rewrites.
struct Around {
    uint64_t *predNext, *succPrev;
    uint64_t pred, succ;
};

// Reads the neighbours of a free node in one order at all its levels and checks
// that each links back to it; false when one does not, so that a corrupt link
// changes nothing. Every word is bounded by the reading of its node's level that
// found it, so the writes stay inside those nodes even where a corrupt heap's
// nodes overlap.
bool aroundFree(const HeapView &h, const BoundNode &self, LinkPair order, Around *out) {
    const uint64_t offset = self.offset;
    for (uint64_t i = 0; i <= self.level; ++i) {
        const uint64_t pred = *self.word(order.backward, i), succ = *self.word(order.forward, i);
        uint64_t *predNext = freeLinkAt(h, pred, order.forward, i),
                 *succPrev = freeLinkAt(h, succ, order.backward, i);
        if (predNext == nullptr || succPrev == nullptr || *predNext != offset || *succPrev != offset)
            return false;
        out[i] = Around{predNext, succPrev, pred, succ};
    }
    return true;
}

void unlinkAround(const Around *around, uint64_t top) {
    for (uint64_t i = 0; i <= top; ++i) {
        *around[i].predNext = around[i].succ;
        *around[i].succPrev = around[i].pred;
    }
}

}  // namespace

// ---- reuse of retired nodes ----------------------------------------------------------
//
// A return retires its chunk's node, whose bytes would stay dead until the next
// rebuild: a steady churn of returns and allocations then rebuilds the space over
// and over. The thread that retired a node keeps its level and a copy of its
// words, and its next allocated node takes that level, and those bytes when they
// are still dead, so that it fits them exactly. The level of a retired node was
// drawn when its chunk was inserted, and which chunk a caller returns has nothing
// to do with levels, so handing levels on keeps the live nodes' levels as they
// were drawn, the highest ones included: a level is handed on whole, even where
// it stands more than one above the list's (its node was the only one up there).
//
// Nothing but a rebuild, a resize or a repair ever places a node over a retired
// one's bytes: nodes are otherwise placed at the high-water mark, which never
// drops below a node that was not the last one placed. So the bytes a retired
// node spanned stay dead, whoever holds them in mind, until the space is laid out
// anew; and a fresh layout is told apart by the bytes themselves. Before they are
// taken, every word the new node will cover must still be the word copied: the
// retired mark where a node's level lies, and the fields and links around it. A
// node laid out there since differs in one of them (its level where the mark
// was, or its first word, a chunk offset, where a link or a size was), and so
// does the node that takes them again: a forked child holding the same copy
// never takes them too.
namespace {

// The bytes of nodes up to this size (level 6) are kept: 127 in 128 of the
// levels drawn. Larger nodes hand on their level only.
constexpr uint64_t kKeptWords = 13;
static_assert(allocNodeSize(6) == 8 * kKeptWords);

struct RetiredNode {
    const unsigned char *base;  // the heap: its segment base and header offset (null: none)
    uint64_t H;
    uint64_t level;
    uint64_t offset;  // where its bytes lie (0: not kept)
    uint64_t words[kKeptWords];
};
// Initial-exec: one thread-pointer-relative access instead of a call. Zero
// initialised, so no guard is tested on the way.
__attribute__((tls_model("initial-exec"))) constinit thread_local RetiredNode lastRetired{};

// The node this thread retired last, when it was retired in this heap; null
// otherwise.
const RetiredNode *retiredHere(const HeapView &h) {
    const RetiredNode &r = lastRetired;
    return r.base == h.base && r.H == h.H ? &r : nullptr;
}

// Whether the bytes of a node retired here are kept and still dead.
bool bytesStillDead(const HeapView &h, const RetiredNode &r) {
    const uint64_t size = allocNodeSize(r.level), high = h.S + h.sl->slHighWater;
    if (r.offset == 0 || r.offset < h.nodeLow || r.offset > high || size > high - r.offset) return false;
    const unsigned char *bytes = h.bytes(r.offset, size);
    return bytes != nullptr && std::memcmp(bytes, r.words, size) == 0;
}

}  // namespace

// ---- allocated list ---------------------------------------------------------------

namespace {

// Chunks a path from the pads may step back over: each step costs the chunk's
// pad and node, which beyond a few outweigh a search.
constexpr uint64_t kPadSteps = 8;

// The node of the allocated chunk that ends at `end`, as its back pad names it
// (see nodeOfChunkEndingAt); the head for the start of the chunk area.
SLAllocNode_t *nodeEndingAt(const HeapView &h, uint64_t end) {
    return end == h.spaceEnd ? h.allocHeadNode() : nodeOfChunkEndingAt(h, end);
}

// The path to a key for levels 0..top from the pads of the chunks lying right
// below it: `x` is the node of the allocated chunk nearest below the key, as
// nodeEndingAt gives it (null: none known). The predecessor at level i is the
// nearest of those chunks' nodes with a level of at least i; `accepts(node, i)`
// checks its link. Returns how many levels from 0 up it gave: it stops where a
// chunk on the way has no usable back pad, is free, or lies beyond the steps, or
// a link is refused, and the caller searches for the levels above.
template <class Accepts>
uint64_t pathFromPads(const HeapView &h, SLAllocNode_t *x, uint64_t top, SLAllocNode_t **pred,
                      Accepts accepts) {
    SLAllocNode_t *const head = h.allocHeadNode();
    uint64_t steps = 0;
    for (uint64_t i = 0; i <= top; ++i) {
        while (x != nullptr && x != head && x->level < i) {
            if (++steps > kPadSteps) return i;
            x = nodeEndingAt(h, x->chunkOffset);
        }
        if (x == nullptr || !accepts(x, i)) return i;
        pred[i] = x;
    }
    return top + 1;
}

}  // namespace

uint32_t insertAllocChunk(HeapView &h, uint64_t chunkOffset, uint64_t chunkSize, uint64_t userOffset,
                          uint64_t userSize, uint32_t callerId, uint32_t line, uint64_t *nodeOffset,
                          uint64_t reserve, uint64_t below) {
    SLAllocNode_t *pred[kMaxLevel];
    const uint64_t current = h.sl->allocLevel;
    // The node a return of this thread retired hands on its level, and its
    // bytes when they are still dead; otherwise the level is drawn.
    const RetiredNode *retired = retiredHere(h);
    const uint64_t level = retired != nullptr ? std::min(retired->level, h.L - 1) : drawLevel(current, h.L);
    const bool reuse = retired != nullptr && retired->level == level && bytesStillDead(h, *retired);
    // A node from the pads is the predecessor at level i when the key lies
    // between it and the node it links to there.
    auto brackets = [&](SLAllocNode_t *x, uint64_t i) {
        const uint64_t link = HeapView::allocLinks(x)[i];
        if (x->chunkOffset >= chunkOffset && h.offsetOf(x) != h.allocHead) return false;
        if (link == 0) return true;
        const SLAllocNode_t *next = h.allocLinkTarget(link, i);
        return next != nullptr && next->chunkOffset >= chunkOffset;
    };
    // Levels the pads do not give are searched for from the head, down to the
    // lowest of them.
    const uint64_t needed = std::min(level, current) + 1;
    const uint64_t given = below == kNoPads || below > chunkOffset
                               ? 0
                               : pathFromPads(h, nodeEndingAt(h, below), needed - 1, pred, brackets);
    if (given < needed) {
        if (uint32_t rc = searchAlloc(h, chunkOffset, current, pred, given); rc != 0) return rc;
    }
    uint64_t offset = 0;
    if (reuse) {
        offset = retired->offset;
        h.sl->slUsedBytes += allocNodeSize(level);
    } else if (uint32_t rc = placeNode(h, allocNodeSize(level), reserve, &offset); rc != 0) {
        return rc;
    }
    lastRetired.base = nullptr;
    if (level > current) {
        h.sl->allocLevel = level;
        for (uint64_t i = current + 1; i <= level; ++i) pred[i] = h.allocHeadNode();
    }
    auto *node = h.placed<SLAllocNode_t>(offset, allocNodeSize(level));
    if (node == nullptr) return QUOR_RC_HEAP_CORRUPT;
    *node = SLAllocNode_t{chunkOffset, chunkSize, userOffset, userSize, level, callerId, line};
    for (uint64_t i = level + 1; i-- > 0;) {
        HeapView::allocLinks(node)[i] = HeapView::allocLinks(pred[i])[i];
        HeapView::allocLinks(pred[i])[i] = slotOf(h, node, i);
    }
    h.header->allocBytes += chunkSize;
    h.sl->allocCount += 1;
    *nodeOffset = offset;
    return QUOR_RC_OK;
}

uint32_t findAllocChunk(HeapView &h, uint64_t chunkOffset, uint64_t expectedUserOffset, uint64_t *chunkSize) {
    SLAllocNode_t *pred[kMaxLevel];
    if (uint32_t rc = searchAlloc(h, chunkOffset, h.sl->allocLevel, pred); rc != 0) return rc;
    bool bad = false;
    SLAllocNode_t *node = nextAlloc(h, pred[0], 0, bad);
    if (bad) return QUOR_RC_HEAP_CORRUPT;
    if (node == nullptr) return h.traits->allocNotFound;
    if (node->chunkOffset != chunkOffset) return h.traits->notAtOffset;
    if (expectedUserOffset != kAnyUserOffset && node->userOffset != expectedUserOffset)
        return h.traits->notAtOffset;
    *chunkSize = node->chunkSize;
    return QUOR_RC_OK;
}

uint32_t deleteAllocChunk(HeapView &h, uint64_t chunkOffset, uint64_t expectedUserOffset, uint64_t *chunkSize,
                          uint64_t *nodeOffset, uint64_t below) {
    SLAllocNode_t *pred[kMaxLevel];
    const uint64_t current = h.sl->allocLevel;
    // The chunk's node is the one the chunk right below links to at level 0; the
    // path holds when every predecessor the pads give links to it.
    // The levels the pads do not give are searched for from the head, down to
    // the lowest of them.
    SLAllocNode_t *node = nullptr;
    if (below == kNoPads || below > chunkOffset) below = chunkOffset;
    if (SLAllocNode_t *x = nodeEndingAt(h, below); x != nullptr && HeapView::allocLinks(x)[0] != 0) {
        node = h.allocLinkTarget(HeapView::allocLinks(x)[0], 0);
        auto linksToNode = [&](SLAllocNode_t *p, uint64_t i) {
            return HeapView::allocLinks(p)[i] == slotOf(h, node, i);
        };
        if (node != nullptr && node->chunkOffset == chunkOffset) {
            // At least level 0: the node is the one x links to there.
            const uint64_t needed = std::min(node->level, current) + 1;
            const uint64_t given = pathFromPads(h, x, needed - 1, pred, linksToNode);
            if (given < needed) {
                if (uint32_t rc = searchAlloc(h, chunkOffset, current, pred, given); rc != 0) return rc;
            }
        } else {
            node = nullptr;
        }
    }
    if (node == nullptr) {
        if (uint32_t rc = searchAlloc(h, chunkOffset, current, pred); rc != 0) return rc;
        bool bad = false;
        node = nextAlloc(h, pred[0], 0, bad);
        if (bad) return QUOR_RC_HEAP_CORRUPT;
        if (node == nullptr) return h.traits->allocNotFound;
        if (node->chunkOffset != chunkOffset) return h.traits->notAtOffset;
    }
    if (expectedUserOffset != kAnyUserOffset && node->userOffset != expectedUserOffset)
        return h.traits->notAtOffset;
    *chunkSize = node->chunkSize;
    for (uint64_t i = 0; i <= node->level && i <= current; ++i) {
        if (HeapView::allocLinks(pred[i])[i] == slotOf(h, node, i))
            HeapView::allocLinks(pred[i])[i] = HeapView::allocLinks(node)[i];
    }
    h.header->allocBytes -= node->chunkSize;
    dropNode(h, h.offsetOf(node), allocNodeSize(node->level));
    h.sl->allocCount -= 1;
    SLAllocNode_t *head = h.allocHeadNode();
    while (h.sl->allocLevel > 0 && HeapView::allocLinks(head)[h.sl->allocLevel] == 0) h.sl->allocLevel -= 1;
    if (nodeOffset != nullptr) *nodeOffset = h.offsetOf(node);
    return QUOR_RC_OK;
}

void retireAllocNode(HeapView &h, uint64_t nodeOffset) {
    SLAllocNode_t *node = h.allocNode(nodeOffset);
    if (node == nullptr || nodeOffset == h.allocHead) return;
    const uint64_t level = node->level, size = allocNodeSize(level);
    node->level = UINT64_MAX;
    RetiredNode &r = lastRetired;
    r.base = h.base;
    r.H = h.H;
    r.level = level;
    // A node that was the last one placed has given its bytes back above the
    // high-water mark already.
    const uint64_t at = nodeOffset - h.S, high = h.sl->slHighWater;
    const bool keep = size <= 8 * kKeptWords && at <= high && size <= high - at;
    r.offset = keep && h.copyOut(r.words, nodeOffset, size) ? nodeOffset : 0;
}

// ---- free lists ---------------------------------------------------------------------

namespace {

// `pathO`, when given, is the offset-order path for `offset` found under this
// hold of the latch with no list change since; it spares the search.
uint32_t insertFreeAtLevel(HeapView &h, uint64_t offset, uint64_t size, uint64_t level, uint64_t reserve,
                           SLFreeNode_t *const *pathO = nullptr) {
    SLFreeNode_t *predO[kMaxLevel], *predS[kMaxLevel];
    const uint64_t current = *h.freeLevelWord();
    if (pathO != nullptr) {
        std::copy_n(pathO, current + 1, predO);
    } else if (uint32_t rc = searchFree(h, kForwardO, current, predO,
                                        [&](SLFreeNode_t *n) { return n->offset >= offset; });
               rc != 0) {
        return rc;
    }
    if (uint32_t rc =
            searchFree(h, kForwardS, current, predS, [&](SLFreeNode_t *n) { return n->size >= size; });
        rc != 0) {
        return rc;
    }
    uint64_t nodeOffset = 0;
    if (uint32_t rc = placeNode(h, freeNodeSize(level), reserve, &nodeOffset); rc != 0) return rc;
    if (level > current) {
        *h.freeLevelWord() = level;
        for (uint64_t i = current + 1; i <= level; ++i) predO[i] = predS[i] = h.freeHeadNode();
    }
    auto *node = h.placed<SLFreeNode_t>(nodeOffset, freeNodeSize(level));
    if (node == nullptr) return QUOR_RC_HEAP_CORRUPT;
    *node = SLFreeNode_t{offset, size, 0, 0, level, 0, 0};
    const BoundNode self{node, nodeOffset, level};
    for (uint64_t i = level + 1; i-- > 0;) {
        if (uint32_t rc = linkFree(h, self, predO[i], kForwardO, kBackwardO, i); rc != 0) return rc;
        if (uint32_t rc = linkFree(h, self, predS[i], kForwardS, kBackwardS, i); rc != 0) return rc;
    }
    h.sl->freeCount += 1;
    h.header->freeBytes += size;
    return QUOR_RC_OK;
}

}  // namespace

uint32_t insertFreeChunk(HeapView &h, uint64_t offset, uint64_t size, uint64_t reserve) {
    return insertFreeAtLevel(h, offset, size, drawLevel(*h.freeLevelWord(), h.L), reserve);
}

uint32_t deleteFreeNode(HeapView &h, uint64_t nodeOffset) {
    SLFreeNode_t *node = h.freeNode(nodeOffset);
    if (node == nullptr || nodeOffset == h.freeHead || nodeOffset == h.freeTail) return QUOR_RC_HEAP_CORRUPT;
    const uint64_t top = node->level;
    const BoundNode self{node, nodeOffset, top};
    Around byOffset[kMaxLevel], bySize[kMaxLevel];
    if (!aroundFree(h, self, kBothOrders[0], byOffset) || !aroundFree(h, self, kBothOrders[1], bySize)) {
        return QUOR_RC_HEAP_CORRUPT;
    }
    unlinkAround(byOffset, top);
    unlinkAround(bySize, top);
    dropNode(h, nodeOffset, freeNodeSize(top));
    h.sl->freeCount -= 1;
    h.header->freeBytes -= node->size;
    uint64_t *level = h.freeLevelWord();
    SLFreeNode_t *head = h.freeHeadNode();
    while (*level > 0 && HeapView::freeLinks(head, kForwardO)[*level] == h.freeTail) *level -= 1;
    return QUOR_RC_OK;
}

uint32_t findFreeAt(HeapView &h, uint64_t offset, uint64_t *nodeOffset, uint64_t *size) {
    SLFreeNode_t *pred[kMaxLevel];
    if (uint32_t rc = searchFree(h, kForwardO, *h.freeLevelWord(), pred,
                                 [&](SLFreeNode_t *n) { return n->offset >= offset; });
        rc != 0) {
        return rc;
    }
    const uint64_t candidate = HeapView::freeLinks(pred[0], kForwardO)[0];
    SLFreeNode_t *node = h.freeNode(candidate);
    if (candidate == h.freeTail || node->offset != offset) return h.traits->notAtOffset;
    *nodeOffset = candidate;
    *size = node->size;
    return QUOR_RC_OK;
}

namespace {

// Resizes a free node's chunk to [offset, offset + size) in place. Its place in
// the offset order stays (it grows over a returned neighbour, or gives up its high
// end to a fit), so only the size order can change and no node is placed: a
// merging return and a split need no node space. A node whose new size still
// lies between its neighbours' keeps its links.
//
// `fit`, when given, is the size-order path a best-fit search for more than
// `size` bytes took to this node (levels 0 to the list's level): the new place
// then lies at or before it on every level, and the search resumes from the
// lowest level where the path's node is already smaller than `size`.
uint32_t regrowFreeNode(HeapView &h, uint64_t nodeOffset, uint64_t offset, uint64_t size,
                        SLFreeNode_t *const *fit = nullptr) {
    SLFreeNode_t *node = h.freeNode(nodeOffset);
    if (node == nullptr || nodeOffset == h.freeHead || nodeOffset == h.freeTail) return QUOR_RC_HEAP_CORRUPT;
    const uint64_t nodeLevel = node->level;
    const BoundNode self{node, nodeOffset, nodeLevel};
    Around bySize[kMaxLevel];
    if (!aroundFree(h, self, kBothOrders[1], bySize)) return QUOR_RC_HEAP_CORRUPT;
    SLFreeNode_t *before = h.freeNode(bySize[0].pred), *after = h.freeNode(bySize[0].succ);
    if (before == h.freeTailNode() || after == h.freeHeadNode()) return QUOR_RC_HEAP_CORRUPT;
    h.header->freeBytes += size - node->size;
    node->offset = offset;
    node->size = size;
    // Still after every smaller node and before the first one at least as large:
    // where a search would put it.
    const bool atHead = bySize[0].pred == h.freeHead, atTail = bySize[0].succ == h.freeTail;
    if ((atHead || before->size < size) && (atTail || size <= after->size)) return QUOR_RC_OK;
    unlinkAround(bySize, nodeLevel);
    // A new place further off is found from the head (whose top levels stay
    // cached), or for a cut from the fit path where it lies below the new size.
    SLFreeNode_t *pred[kMaxLevel];
    const uint64_t top = std::max(*h.freeLevelWord(), nodeLevel);
    auto fits = [&](SLFreeNode_t *n) { return n->size >= size; };
    uint64_t resume = top + 1;  // levels from here up keep the fit path's nodes
    if (fit != nullptr) {
        auto below = [&](SLFreeNode_t *n) { return h.offsetOf(n) == h.freeHead || n->size < size; };
        while (resume > 0 && below(fit[resume - 1])) --resume;
        std::copy(fit + resume, fit + top + 1, pred + resume);
    }
    if (resume > 0) {
        SLFreeNode_t *from = resume <= top ? fit[resume] : nullptr;
        if (uint32_t rc = searchFree(h, kForwardS, resume - 1, pred, fits, from); rc != 0) return rc;
    }
    for (uint64_t i = nodeLevel + 1; i-- > 0;) {
        if (uint32_t rc = linkFree(h, self, pred[i], kForwardS, kBackwardS, i); rc != 0) return rc;
    }
    return QUOR_RC_OK;
}

}  // namespace

uint32_t takeBestFit(HeapView &h, uint64_t size, uint64_t *offset, uint64_t *freeStart) {
    SLFreeNode_t *pred[kMaxLevel];
    if (uint32_t rc = searchFree(h, kForwardS, *h.freeLevelWord(), pred,
                                 [&](SLFreeNode_t *n) { return n->size >= size; });
        rc != 0) {
        return rc;
    }
    const uint64_t candidate = HeapView::freeLinks(pred[0], kForwardS)[0];
    if (candidate == h.freeTail) return h.traits->noFit;
    SLFreeNode_t *node = h.freeNode(candidate);
    const uint64_t found = node->offset, foundSize = node->size;
    if (foundSize < size) return h.traits->fitTooSmall;
    if (!h.inChunkArea(found, foundSize)) return QUOR_RC_HEAP_CORRUPT;
    if (freeStart != nullptr) *freeStart = found;
    if (foundSize == size) {
        if (uint32_t rc = deleteFreeNode(h, candidate); rc != 0) return rc;
        *offset = found;
        return QUOR_RC_OK;
    }
    // The low remainder keeps the node and its place in the offset order; only
    // its place in the size order changes.
    if (uint32_t rc = regrowFreeNode(h, candidate, found, foundSize - size, pred); rc != 0) return rc;
    *offset = found + foundSize - size;
    return QUOR_RC_OK;
}

namespace {

// freeNeighbours from an offset-order path to `offset` (see findFreePath).
uint32_t neighboursOnPath(HeapView &h, uint64_t offset, uint64_t size, SLFreeNode_t *const *pred,
                          Neighbours *out) {
    if (!h.inChunkArea(offset, size) || size == 0) return QUOR_RC_HEAP_CORRUPT;
    out->succ = HeapView::freeLinks(pred[0], kForwardO)[0];
    out->pred = h.offsetOf(pred[0]);
    SLFreeNode_t *succ = h.freeNode(out->succ), *before = pred[0];
    if (succ == nullptr) return QUOR_RC_HEAP_CORRUPT;
    const bool hasPred = out->pred != h.freeHead, hasSucc = out->succ != h.freeTail;
    // A chunk that overlaps a free neighbour is not ours to give back.
    if ((hasPred && (before->offset > offset || before->size > offset - before->offset)) ||
        (hasSucc && succ->offset - offset < size)) {
        return QUOR_RC_HEAP_CORRUPT;
    }
    out->mergePred = hasPred && before->offset + before->size == offset;
    out->mergeSucc = hasSucc && offset + size == succ->offset;
    return QUOR_RC_OK;
}

}  // namespace

uint32_t findFreePath(HeapView &h, uint64_t offset, FreePath *out) {
    if (uint32_t rc = searchFree(h, kForwardO, *h.freeLevelWord(), out->pred,
                                 [&](SLFreeNode_t *n) { return n->offset >= offset; });
        rc != 0) {
        return rc;
    }
    const SLFreeNode_t *before = out->pred[0];
    const bool touches = h.offsetOf(before) != h.freeHead && before->offset < offset &&
                         before->size == offset - before->offset;
    out->allocatedBelow = touches ? before->offset : offset;
    return QUOR_RC_OK;
}

uint32_t freeNeighbours(HeapView &h, uint64_t offset, uint64_t size, Neighbours *out) {
    FreePath path;
    if (uint32_t rc = findFreePath(h, offset, &path); rc != 0) return rc;
    return neighboursOnPath(h, offset, size, path.pred, out);
}

uint32_t giveBack(HeapView &h, uint64_t offset, uint64_t size, bool lastResort, const FreePath *path) {
    FreePath searched;
    if (path == nullptr) {
        if (uint32_t rc = findFreePath(h, offset, &searched); rc != 0) return rc;
        path = &searched;
    }
    SLFreeNode_t *const *pathO = path->pred;
    Neighbours n;
    if (uint32_t rc = neighboursOnPath(h, offset, size, pathO, &n); rc != 0) return rc;
    SLFreeNode_t *before = h.freeNode(n.pred), *after = h.freeNode(n.succ);
    if (n.mergePred && n.mergeSucc) {
        const uint64_t total = before->size + size + after->size;
        if (uint32_t rc = deleteFreeNode(h, n.succ); rc != 0) return rc;
        return regrowFreeNode(h, n.pred, before->offset, total);
    }
    if (n.mergePred) return regrowFreeNode(h, n.pred, before->offset, before->size + size);
    if (n.mergeSucc) return regrowFreeNode(h, n.succ, offset, size + after->size);
    // With room to spare nothing rebuilds the lists before the insertion, so the
    // offset-order path just searched still holds.
    if (!needsRoom(h)) {
        return insertFreeAtLevel(h, offset, size, drawLevel(*h.freeLevelWord(), h.L), placementReserve(h.L),
                                 pathO);
    }
    uint64_t start = offset, length = size;
    uint32_t rc = insertFreeBlock(h, &start, &length);
    if (rc != 0 && lastResort) rc = insertFreeChunk(h, start, length, 0);
    return rc;
}

}  // namespace quor::shm

// ---- exported list primitives ------------------------------------------------------

using namespace quor;
using namespace quor::shm;

namespace {

// The kind of a heap for the primitives that are not given one: the pool magic
// names a pool, anything else (a heap still being laid out included) a domain.
uint32_t kindFromHeader(void *base, uint64_t heapOffset) {
    HeapView h;
    if (h.attach(base, QUOR_HEAP_KIND_DOMAIN, heapOffset) != 0) return QUOR_HEAP_KIND_DOMAIN;
    return h.header->heapMagic == QUOR_POOL_HEAP_MAGIC ? QUOR_HEAP_KIND_POOL : QUOR_HEAP_KIND_DOMAIN;
}

// The primitives run while a heap is laid out, before its magic is written.
uint32_t openUnsealed(Trace &t, HeapView &h, void *base, uint32_t kind, uint64_t heapOffset) {
    return h.open(t, 10, base, kind, heapOffset, kCheckSelf | kCheckLayout);
}

}  // namespace

QUOR_EXPORT uint32_t quorInsertAllocMemChunk(void *base, uint32_t kind, uint64_t heapOffset,
                                             uint64_t chunkOffset, uint64_t chunkSize, uint64_t userOffset,
                                             uint64_t userSize, uint32_t callerId, uint32_t line,
                                             uint64_t *nodeOffsetOut) {
    return traced(Fn::quorInsertAllocMemChunk, [&](Trace &t) {
        if (nodeOffsetOut == nullptr) return t.failLogged(5, QUOR_RC_NULL_CHUNK_OFFSET_REF, 0);
        HeapView h;
        if (uint32_t rc = openUnsealed(t, h, base, kind, heapOffset); rc != 0) return rc;
        if (!h.inChunkArea(chunkOffset, chunkSize)) return t.failWith(40, QUOR_RC_HEAP_CORRUPT, chunkOffset);
        uint32_t rc = insertAllocChunk(h, chunkOffset, chunkSize, userOffset, userSize, callerId, line,
                                       nodeOffsetOut, placementReserve(h.L));
        return rc != 0 ? t.fail(50, rc) : rc;
    });
}

QUOR_EXPORT uint32_t quorInsertFreeMemChunk(void *base, uint64_t heapOffset, uint64_t offset, uint64_t size) {
    return traced(Fn::quorInsertFreeMemChunk, [&](Trace &t) {
        HeapView h;
        if (uint32_t rc = openUnsealed(t, h, base, kindFromHeader(base, heapOffset), heapOffset); rc != 0)
            return rc;
        if (!h.inChunkArea(offset, size)) return t.failWith(40, QUOR_RC_HEAP_CORRUPT, offset);
        uint32_t rc = insertFreeChunk(h, offset, size, placementReserve(h.L));
        return rc != 0 ? t.fail(50, rc) : rc;
    });
}

QUOR_EXPORT uint32_t quorDeleteFreeMemBlock(void *base, uint64_t heapOffset, uint64_t nodeOffset) {
    return traced(Fn::quorDeleteFreeMemBlock, [&](Trace &t) {
        HeapView h;
        if (uint32_t rc = openUnsealed(t, h, base, kindFromHeader(base, heapOffset), heapOffset); rc != 0)
            return rc;
        uint32_t rc = deleteFreeNode(h, nodeOffset);
        return rc != 0 ? t.failWith(40, rc, nodeOffset) : rc;
    });
}

QUOR_EXPORT uint32_t quorDeleteAllocMemBlock(void *base, uint32_t kind, uint64_t heapOffset,
                                             uint64_t chunkOffset, uint64_t *chunkSizeOut) {
    return traced(Fn::quorDeleteAllocMemBlock, [&](Trace &t) {
        if (chunkSizeOut == nullptr) return t.failLogged(5, QUOR_RC_NULL_CHUNK_SIZE_REF, 0);
        HeapView h;
        if (uint32_t rc = openUnsealed(t, h, base, kind, heapOffset); rc != 0) return rc;
        uint64_t nodeOffset = 0;
        uint32_t rc = deleteAllocChunk(h, chunkOffset, kAnyUserOffset, chunkSizeOut, &nodeOffset);
        if (rc == 0) retireAllocNode(h, nodeOffset);
        return rc != 0 ? t.failWith(40, rc, chunkOffset) : rc;
    });
}

QUOR_EXPORT uint32_t quorGetFreeBlockFromSList(void *base, uint32_t kind, uint64_t heapOffset, uint64_t size,
                                               uint64_t *offsetOut, uint64_t *sizeOut) {
    return traced(Fn::quorGetFreeBlockFromSList, [&](Trace &t) {
        if (offsetOut == nullptr) return t.failLogged(5, QUOR_RC_NULL_CHUNK_OFFSET_REF, 0);
        if (sizeOut == nullptr) return t.failLogged(6, QUOR_RC_NULL_CHUNK_SIZE_REF, 0);
        HeapView h;
        if (uint32_t rc = openUnsealed(t, h, base, kind, heapOffset); rc != 0) return rc;
        if (uint32_t rc = takeBestFit(h, size, offsetOut); rc != 0) return t.fail(40, rc);
        *sizeOut = size;
        return QUOR_RC_OK;
    });
}

QUOR_EXPORT uint32_t quorReturnFreeBlockToSList(void *base, uint32_t kind, uint64_t heapOffset,
                                                uint64_t offset, uint64_t size) {
    return traced(Fn::quorReturnFreeBlockToSList, [&](Trace &t) {
        HeapView h;
        if (uint32_t rc = openUnsealed(t, h, base, kind, heapOffset); rc != 0) return rc;
        uint32_t rc = giveBack(h, offset, size, true);
        return rc != 0 ? t.failWith(40, rc, offset) : rc;
    });
}

QUOR_EXPORT uint32_t quorFindFreeBlockInSList(void *base, uint32_t kind, uint64_t heapOffset, uint64_t offset,
                                              uint64_t *nodeOffsetOut, uint64_t *sizeOut) {
    return traced(Fn::quorFindFreeBlockInSList, [&](Trace &t) {
        if (nodeOffsetOut == nullptr) return t.failLogged(5, QUOR_RC_NULL_CHUNK_OFFSET_REF, 0);
        if (sizeOut == nullptr) return t.failLogged(6, QUOR_RC_NULL_CHUNK_SIZE_REF, 0);
        HeapView h;
        if (uint32_t rc = openUnsealed(t, h, base, kind, heapOffset); rc != 0) return rc;
        uint32_t rc = findFreeAt(h, offset, nodeOffsetOut, sizeOut);
        return rc != 0 ? t.failWith(40, rc, offset) : rc;
    });
}
