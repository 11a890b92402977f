// The dump of a heap's skip lists: the allocated list by offset, then the free
// chunks by offset and by size, each line shown from its verbosity on.
#include <cinttypes>
#include <cstdio>

#include "frame/export.h"
#include "shm/pool.h"

namespace quor::shm {
namespace {

// Names of the chunks of a heap kind in the dump.
struct ChunkWords {
    const char *title;     // capital plural
    const char *plural;    // head and tail lines
    const char *singular;  // entries
};
constexpr ChunkWords kPoolWords{"POOLS", "pools", "pool"};
constexpr ChunkWords kBlockWords{"BLOCKS", "blocks", "block"};

// The four link arrays of a free node, in their stored order.
enum FreeLinks { ForwardO, BackwardO, ForwardS, BackwardS };

// Bounded reader of the nodes of one heap's skip-list space: a node is handed
// out only when it and all its links lie inside the space.
class ListSpace {
public:
    explicit ListSpace(const HeapView &heap)
        : seg_(heap.seg),
          start_(heap.offset + QUOR_HHEADER_SIZE(heap.header->userAppAreaSize)),
          end_(start_ + heap.lists->slSpaceSize),
          maxLevel_(heap.lists->maxLevel) {}

    uint64_t allocHead() const { return start_ + QUOR_SL_ALLOC_HEAD_OFFSET; }
    uint64_t freeHead() const { return start_ + QUOR_SL_FREE_HEAD_OFFSET(maxLevel_); }
    uint64_t freeTail() const { return start_ + QUOR_SL_FREE_TAIL_OFFSET(maxLevel_); }
    // No walk can meet more nodes than the space holds; a longer one is a cycle.
    uint64_t nodeLimit() const { return (end_ - start_) / sizeof(SLAllocNode_t) + 1; }

    const SLAllocNode_t *allocNode(uint64_t offset) const {
        const SLAllocNode_t *node = fixedPart<SLAllocNode_t>(offset);
        return node != nullptr && linksFit(offset, node->level, 1) ? node : nullptr;
    }
    const SLFreeNode_t *freeNode(uint64_t offset) const {
        const SLFreeNode_t *node = fixedPart<SLFreeNode_t>(offset);
        return node != nullptr && linksFit(offset, node->level, 4) ? node : nullptr;
    }
    static const uint64_t *allocLinks(const SLAllocNode_t *node) {
        return reinterpret_cast<const uint64_t *>(node + 1);
    }
    static const uint64_t *freeLinks(const SLFreeNode_t *node, FreeLinks which) {
        return reinterpret_cast<const uint64_t *>(node + 1) + which * (node->level + 1);
    }

private:
    template <class Node>
    const Node *fixedPart(uint64_t offset) const {
        if (offset < start_ || offset >= end_) return nullptr;
        const Node *node = seg_.at<Node>(offset);
        return node != nullptr && node->level < maxLevel_ ? node : nullptr;
    }
    bool linksFit(uint64_t offset, uint64_t level, uint64_t arrays) const {
        const uint64_t bytes = 0x30 + 8 * arrays * (level + 1);
        return offset + bytes <= end_ && seg_.contains(offset, bytes);
    }

    Region seg_;
    uint64_t start_, end_, maxLevel_;
};

class Dump {
public:
    Dump(const HeapView &heap, const HeapKind &kind, const ChunkWords &words, uint32_t verbosity)
        : heap_(heap), space_(heap), kind_(kind), words_(words), verbosity_(verbosity) {}

    uint32_t run() {
        if (verbosity_ == 0) return QUOR_RC_OK;
        uint32_t rc = allocated();
        if (rc == 0) rc = free();
        std::fflush(stdout);
        return rc;
    }

private:
    bool shows(uint32_t level) const { return verbosity_ >= level; }

    uint32_t allocated() const {
        std::printf("\r\n");
        std::printf("       SKIP LIST CONSISTING OF %" PRIu64 " ALLOCATED", heap_.lists->allocCount);
        std::printf(" %s ORDERED BY OFFSETS\r\n", words_.title);
        const SLAllocNode_t *head = space_.allocNode(space_.allocHead());
        if (head == nullptr) return kind_.listCorrupt;
        uint64_t link = ListSpace::allocLinks(head)[0];
        for (int64_t number = 1; link != 0; ++number) {
            const SLAllocNode_t *node = link >= 0x30 ? space_.allocNode(link - 0x30) : nullptr;
            if (node == nullptr || static_cast<uint64_t>(number) > space_.nodeLimit())
                return kind_.listCorrupt;
            if (shows(1)) entry("Allocated", number, node->userOffset, node->level, node->userSize);
            if (shows(2)) entry("Actual   ", number, node->chunkOffset, node->level, node->chunkSize);
            if (shows(4))
                std::printf("  Allocated %s #%" PRId64 " at node offset %" PRIu64 "\r\n", words_.singular,
                            number, link - 0x30);
            if (shows(3)) {
                for (uint64_t level = 0; level <= node->level; ++level)
                    std::printf("     Forward link at level %" PRId64 " points to offset %" PRIu64 "\r\n",
                                static_cast<int64_t>(level), ListSpace::allocLinks(node)[level]);
            }
            link = ListSpace::allocLinks(node)[0];
        }
        return QUOR_RC_OK;
    }

    uint32_t free() const {
        const SLFreeNode_t *head = space_.freeNode(space_.freeHead());
        if (head == nullptr || space_.freeNode(space_.freeTail()) == nullptr) return kind_.listCorrupt;
        std::printf("       SKIP LIST CONSISTING OF %" PRIu64 " FREE", heap_.lists->freeCount);
        std::printf(" %s ORDERED BY OFFSETS\r\n", words_.title);
        if (shows(3))
            std::printf("  Head node offset for free %s SLHead = %" PRIu64 "\r\n", words_.plural,
                        space_.freeHead());
        if (shows(4)) {
            std::printf("  Head %s offset = %" PRIu64 ", ", words_.plural, head->offset);
            std::printf("size = %" PRIu64 ", ", head->size);
            std::printf("max level = %" PRIu64 "\r\n", head->level);
            links(head, ForwardO, "   Forward (O) link at level %" PRId64 " points to offset %" PRIu64 "\r\n",
                  "   Backward(O) link at level %" PRId64 " points to offset %" PRIu64 "\r\n");
            links(head, ForwardS, "   Forward (S) link at level %" PRId64 " points to offset %" PRIu64 "\r\n",
                  "   Backward(S) link at level %" PRId64 " points to offset %" PRIu64 "\r\n");
        }
        if (uint32_t rc = freeOrder(head, ForwardO); rc != 0) return rc;
        std::printf("       SKIP LIST CONSISTING OF %" PRIu64 " FREE", heap_.lists->freeCount);
        std::printf(" %s ORDERED BY SIZES\r\n", words_.title);
        if (uint32_t rc = freeOrder(head, ForwardS); rc != 0) return rc;
        if (shows(3))
            std::printf("  Tail node offset for free %s SLTail = %" PRIu64 "\r\n", words_.plural,
                        space_.freeTail());
        return QUOR_RC_OK;
    }

    // Every free node in one order; the links of that order show from verbosity
    // 3, those of the other order from 5.
    uint32_t freeOrder(const SLFreeNode_t *head, FreeLinks order) const {
        const bool byOffset = order == ForwardO;
        uint64_t at = ListSpace::freeLinks(head, order)[0];
        for (int64_t number = 1; at != space_.freeTail(); ++number) {
            const SLFreeNode_t *node = space_.freeNode(at);
            if (node == nullptr || static_cast<uint64_t>(number) > space_.nodeLimit())
                return kind_.listCorrupt;
            if (shows(3))
                std::printf("  Free %s #%" PRId64 " at node offset %" PRIu64 "\r\n", words_.singular, number,
                            at);
            entry("Free", number, node->offset, node->level, node->size);
            if (shows(byOffset ? 3 : 5)) nodeLinks(node, ForwardO);
            if (shows(byOffset ? 5 : 3)) nodeLinks(node, ForwardS);
            at = ListSpace::freeLinks(node, order)[0];
        }
        return QUOR_RC_OK;
    }

    void nodeLinks(const SLFreeNode_t *node, FreeLinks forward) const {
        if (forward == ForwardO)
            links(node, ForwardO,
                  "     Forward (O) link at level %" PRId64 "points to offset %" PRIu64 "\r\n",
                  "     Backward(O) link at level %" PRId64 "points to offset %" PRIu64 "\r\n");
        else
            links(node, ForwardS,
                  "     Forward (S) link at level %" PRId64 "points to offset %" PRIu64 "\r\n",
                  "     Backward(S) link at level %" PRId64 "points to offset %" PRIu64 "\r\n");
    }

    // Per level, the forward link and then the backward link of one order.
    static void links(const SLFreeNode_t *node, FreeLinks forward, const char *forwardFormat,
                      const char *backwardFormat) {
        const uint64_t *ahead = ListSpace::freeLinks(node, forward);
        const uint64_t *behind = ListSpace::freeLinks(node, static_cast<FreeLinks>(forward + 1));
        for (uint64_t level = 0; level <= node->level; ++level) {
            std::printf(forwardFormat, static_cast<int64_t>(level), ahead[level]);
            std::printf(backwardFormat, static_cast<int64_t>(level), behind[level]);
        }
    }

    void entry(const char *what, int64_t number, uint64_t offset, uint64_t level, uint64_t size) const {
        std::printf("  %s %s #%" PRId64 " has offset = %" PRIu64 ", ", what, words_.singular, number, offset);
        std::printf("max level = %" PRIu64 ", ", level);
        std::printf("size = %" PRIu64 "\r\n", size);
    }

    const HeapView &heap_;
    ListSpace space_;
    const HeapKind &kind_;
    const ChunkWords &words_;
    uint32_t verbosity_;
};

uint32_t printSkipLists(const Trace &t, ShmPoolHandle_t *handle, uint32_t kind, uint32_t verbosity) {
    if (handle == nullptr) return t.failLogged(10, QUOR_RC_NULL_POOL_HANDLE, 0);
    if (kind != QUOR_HEAP_KIND_DOMAIN && kind != QUOR_HEAP_KIND_POOL)
        return t.failWith(20, QUOR_RC_BAD_HEAP_MODE, kind);
    if (handle->base == nullptr) return t.failLogged(30, QUOR_RC_NOT_MAPPED, 0);
    PoolRef ref;
    if (kind == QUOR_HEAP_KIND_DOMAIN) {
        if (uint32_t rc = viewDomain(handle->base, handle->domainHeapOffset, &ref.domain); rc != 0)
            return t.fail(40, rc);
        if (uint32_t rc = Dump(ref.domain, kDomainHeap, kPoolWords, verbosity).run(); rc != 0)
            return t.fail(50, rc);
        return QUOR_RC_OK;
    }
    if (uint32_t rc = findPool(t, 60, handle, &ref); rc != 0) return rc;
    if (uint32_t rc = Dump(ref.pool, kPoolHeap, kBlockWords, verbosity).run(); rc != 0)
        return t.fail(110, rc);
    return QUOR_RC_OK;
}

}  // namespace
}  // namespace quor::shm

using namespace quor;

QUOR_EXPORT uint32_t quorPrintOutSkipLists(ShmPoolHandle_t *poolHandle, uint32_t kind, uint32_t verbosity) {
    return traced(Fn::quorPrintOutSkipLists,
                  [&](Trace &t) { return shm::printSkipLists(t, poolHandle, kind, verbosity); });
}
