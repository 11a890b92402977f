// The dump of a heap's skip lists: the allocated list by offset, then the free
// chunks by offset and by size, each line shown from its verbosity on.
#include <cinttypes>
#include <cstdio>

#include "frame/export.h"
#include "shm/pool.h"
#include "shm/recovery.h"

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

class Dump {
public:
    Dump(const HeapView &heap, const ChunkWords &words, uint32_t verbosity)
        : heap_(heap), words_(words), verbosity_(verbosity) {}

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
        std::printf("       SKIP LIST CONSISTING OF %" PRIu64 " ALLOCATED", heap_.sl->allocCount);
        std::printf(" %s ORDERED BY OFFSETS\r\n", words_.title);
        SLAllocNode_t *head = heap_.allocNode(heap_.allocHead);
        if (head == nullptr) return QUOR_RC_HEAP_CORRUPT;
        uint64_t link = HeapView::allocLinks(head)[0];
        for (int64_t number = 1; link != 0; ++number) {
            const uint64_t at = link - allocLinkSlot(0, 0);
            SLAllocNode_t *node = link >= allocLinkSlot(0, 0) ? heap_.allocNode(at) : nullptr;
            if (node == nullptr || static_cast<uint64_t>(number) > nodeLimit()) return QUOR_RC_HEAP_CORRUPT;
            if (shows(1)) entry("Allocated", number, node->userOffset, node->level, node->userSize);
            if (shows(2)) entry("Actual   ", number, node->chunkOffset, node->level, node->chunkSize);
            if (shows(4))
                std::printf("  Allocated %s #%" PRId64 " at node offset %" PRIu64 "\r\n", words_.singular,
                            number, at);
            if (shows(3)) {
                for (uint64_t level = 0; level <= node->level; ++level)
                    std::printf("     Forward link at level %" PRId64 " points to offset %" PRIu64 "\r\n",
                                static_cast<int64_t>(level), HeapView::allocLinks(node)[level]);
            }
            link = HeapView::allocLinks(node)[0];
        }
        return QUOR_RC_OK;
    }

    uint32_t free() const {
        SLFreeNode_t *head = heap_.freeNode(heap_.freeHead);
        if (head == nullptr || heap_.freeNode(heap_.freeTail) == nullptr) return QUOR_RC_HEAP_CORRUPT;
        std::printf("       SKIP LIST CONSISTING OF %" PRIu64 " FREE", heap_.sl->freeCount);
        std::printf(" %s ORDERED BY OFFSETS\r\n", words_.title);
        if (shows(3))
            std::printf("  Head node offset for free %s SLHead = %" PRIu64 "\r\n", words_.plural,
                        heap_.freeHead);
        if (shows(4)) {
            std::printf("  Head %s offset = %" PRIu64 ", ", words_.plural, head->offset);
            std::printf("size = %" PRIu64 ", ", head->size);
            std::printf("max level = %" PRIu64 "\r\n", head->level);
            links(head, kForwardO,
                  "   Forward (O) link at level %" PRId64 " points to offset %" PRIu64 "\r\n",
                  "   Backward(O) link at level %" PRId64 " points to offset %" PRIu64 "\r\n");
            links(head, kForwardS,
                  "   Forward (S) link at level %" PRId64 " points to offset %" PRIu64 "\r\n",
                  "   Backward(S) link at level %" PRId64 " points to offset %" PRIu64 "\r\n");
        }
        if (uint32_t rc = freeOrder(head, kForwardO); rc != 0) return rc;
        std::printf("       SKIP LIST CONSISTING OF %" PRIu64 " FREE", heap_.sl->freeCount);
        std::printf(" %s ORDERED BY SIZES\r\n", words_.title);
        if (uint32_t rc = freeOrder(head, kForwardS); rc != 0) return rc;
        if (shows(3))
            std::printf("  Tail node offset for free %s SLTail = %" PRIu64 "\r\n", words_.plural,
                        heap_.freeTail);
        return QUOR_RC_OK;
    }

    // Every free node in one order; the links of that order show from verbosity
    // 3, those of the other order from 5.
    uint32_t freeOrder(SLFreeNode_t *head, LinkArray order) const {
        const bool byOffset = order == kForwardO;
        uint64_t at = HeapView::freeLinks(head, order)[0];
        for (int64_t number = 1; at != heap_.freeTail; ++number) {
            SLFreeNode_t *node = heap_.freeNode(at);
            if (node == nullptr || static_cast<uint64_t>(number) > nodeLimit()) return QUOR_RC_HEAP_CORRUPT;
            if (shows(3))
                std::printf("  Free %s #%" PRId64 " at node offset %" PRIu64 "\r\n", words_.singular, number,
                            at);
            entry("Free", number, node->offset, node->level, node->size);
            if (shows(byOffset ? 3 : 5)) nodeLinks(node, kForwardO);
            if (shows(byOffset ? 5 : 3)) nodeLinks(node, kForwardS);
            at = HeapView::freeLinks(node, order)[0];
        }
        return QUOR_RC_OK;
    }

    void nodeLinks(SLFreeNode_t *node, LinkArray forward) const {
        if (forward == kForwardO)
            links(node, kForwardO,
                  "     Forward (O) link at level %" PRId64 "points to offset %" PRIu64 "\r\n",
                  "     Backward(O) link at level %" PRId64 "points to offset %" PRIu64 "\r\n");
        else
            links(node, kForwardS,
                  "     Forward (S) link at level %" PRId64 "points to offset %" PRIu64 "\r\n",
                  "     Backward(S) link at level %" PRId64 "points to offset %" PRIu64 "\r\n");
    }

    // Per level, the forward link and then the backward link of one order.
    static void links(SLFreeNode_t *node, LinkArray forward, const char *forwardFormat,
                      const char *backwardFormat) {
        const uint64_t *ahead = HeapView::freeLinks(node, forward);
        const uint64_t *behind = HeapView::freeLinks(node, static_cast<LinkArray>(forward + 1));
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

    // No walk can meet more nodes than the space holds; a longer one is a cycle.
    uint64_t nodeLimit() const { return heap_.nodeLimit + 1; }

    const HeapView &heap_;
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
        if (uint32_t rc = ref.domain.open(handle->base, QUOR_HEAP_KIND_DOMAIN, handle->domainHeapOffset);
            rc != 0)
            return t.fail(40, rc);
        if (uint32_t rc = Dump(ref.domain, kPoolWords, verbosity).run(); rc != 0) return t.fail(50, rc);
        return walkHeap(t, 55, ref.domain);
    }
    if (uint32_t rc = findPool(t, 60, handle, &ref); rc != 0) return rc;
    if (uint32_t rc = Dump(ref.pool, kBlockWords, verbosity).run(); rc != 0) return t.fail(110, rc);
    return walkHeap(t, 115, ref.pool);
}

}  // namespace
}  // namespace quor::shm

using namespace quor;

QUOR_EXPORT uint32_t quorPrintOutSkipLists(ShmPoolHandle_t *poolHandle, uint32_t kind, uint32_t verbosity) {
    return traced(Fn::quorPrintOutSkipLists,
                  [&](Trace &t) { return shm::printSkipLists(t, poolHandle, kind, verbosity); });
}
