// Pending chunks: the mark, settling, and the reclaim of what dead processes left.
#include "shm/pending.h"

#include "quor/host.h"
#include "shm/holders.h"
#include "shm/pads.h"
#include "shm/pool.h"

namespace quor::shm {

namespace {

inline constexpr char kReclaimSource[24] = "quor reclaim";

// The chunks of the allocated list that carry a pending mark: those of dead
// processes go to `dead` (chunk and caller offsets), the others are counted.
// Requires: the heap latch is held and the layout bound.
uint32_t collectPending(const HeapView &h, std::vector<std::pair<uint64_t, uint64_t>> *dead,
                        uint64_t *live) {
    uint64_t link = HeapView::allocLinks(h.allocHeadNode())[0];
    for (uint64_t budget = h.sl->allocCount; link != 0; --budget) {
        const SLAllocNode_t *node = h.allocLinkTarget(link, 0);
        if (node == nullptr || budget == 0) return QUOR_RC_HEAP_CORRUPT;
        if (node->callerId == kPendingCaller) {
            if (hostProcessIdInUse(node->line) != 0) {
                ++*live;
            } else {
                dead->push_back({node->chunkOffset, node->userOffset});
            }
        }
        link = HeapView::allocLinks(const_cast<SLAllocNode_t *>(node))[0];
    }
    return QUOR_RC_OK;
}

// The live pools of a domain (their heap offsets), read under its latch.
uint32_t poolsOf(HeapView &domain, std::vector<uint64_t> *pools) {
    uint64_t link = HeapView::allocLinks(domain.allocHeadNode())[0];
    for (uint64_t budget = domain.sl->allocCount; link != 0; --budget) {
        const SLAllocNode_t *node = domain.allocLinkTarget(link, 0);
        if (node == nullptr || budget == 0) return QUOR_RC_HEAP_CORRUPT;
        HeapView pool;
        if (node->callerId != kPendingCaller && openPool(domain, node->userOffset, &pool) == QUOR_RC_OK)
            pools->push_back(node->userOffset);
        link = HeapView::allocLinks(const_cast<SLAllocNode_t *>(node))[0];
    }
    return QUOR_RC_OK;
}

// A pool that a dead process was creating or freeing: nothing may find it as a
// pool once its chunk is the domain's again. Requires: the domain latch is held.
void undoPool(HeapView &domain, uint64_t poolOffset) {
    HHeader_t *pool = domain.record<HHeader_t>(poolOffset);
    if (pool == nullptr || pool->selfOffset != poolOffset) return;
    forgetHolders(domain.base, QUOR_HEAP_KIND_POOL, poolOffset);
    pool->heapMagic = 0;
    if (domain.header->treePoolOffset == poolOffset) {
        domain.header->treePoolOffset = 0;
        domain.tail->segInfoListHead = 0;
        domain.tail->rmxListHead = 0;
    }
}

}  // namespace

uint32_t pendingLine() {
    uint32_t pid = 0;
    uint64_t start = 0;
    hostProcessSelf(&pid, &start);
    return pid;
}

SLAllocNode_t *nodeOfChunk(const HeapView &h, uint64_t userOffset) {
    ShmPadEnd_t end{};
    if (userOffset < sizeof end || !h.inChunkArea(userOffset - sizeof end, sizeof end)) return nullptr;
    exposeBytes(const_cast<HeapView &>(h), userOffset - sizeof end, sizeof end);
    (void)h.load(userOffset - sizeof end, &end);
    hideBytes(const_cast<HeapView &>(h), userOffset - sizeof end, sizeof end);
    if (end.mark != QUOR_PAD_FRONT_MARK || !padFormat(end.padType).known) return nullptr;
    SLAllocNode_t *node = h.allocNode(end.nodeOffset);
    return node != nullptr && end.nodeOffset != h.allocHead && node->userOffset == userOffset ? node : nullptr;
}

uint32_t settleChunk(HeapView &h, uint64_t userOffset, uint32_t callerId, uint32_t line) {
    if (uint32_t rc = enterEL(&h.header->heapLatch); rc != 0) return rc;
    auto unlatch = leaving(&h.header->heapLatch);
    uint32_t rc = h.rebind();
    if (rc == 0) {
        // An offset that starts no chunk names nothing pending.
        SLAllocNode_t *node = nodeOfChunk(h, userOffset);
        // Whoever carved it: once any process makes a locator for a node, the node
        // may be linked, and only its own free may return it.
        if (node != nullptr && node->callerId == kPendingCaller) {
            // The pad's copy first: a repair relists a chunk with the pad's words.
            relabelPads(h, userOffset, callerId, line);
            node->line = line;
            node->callerId = callerId;
        }
    }
    return unlatch.close(rc);
}

void reclaimDebris(HeapView &h, DebrisReport *report) {
    auto failed = [report](uint32_t rc) {
        if (report->rc == 0) report->rc = rc;
    };
    const bool domain = h.traits->kind == QUOR_HEAP_KIND_DOMAIN;
    std::vector<uint64_t> pools;
    std::vector<std::pair<uint64_t, uint64_t>> dead;
    {
        if (uint32_t rc = enterEL(&h.header->heapLatch); rc != 0) return failed(rc);
        auto unlatch = leaving(&h.header->heapLatch);
        uint32_t rc = h.rebind();
        if (rc == 0) rc = collectPending(h, &dead, &report->pending);
        if (rc == 0 && domain) rc = poolsOf(h, &pools);
        // Each chunk is found again by its pad under this hold of the latch:
        // the list may have been rebuilt since it was collected, never changed.
        if (rc != 0) dead.clear();
        for (const auto &[chunk, user] : dead) {
            const SLAllocNode_t *node = nodeOfChunk(h, user);
            if (node == nullptr || node->callerId != kPendingCaller || node->chunkOffset != chunk) continue;
            if (domain) undoPool(h, user);
            if (uint32_t back = returnMemChunk(h, chunk, user, 1, 0, __LINE__, kReclaimSource); back != 0) {
                failed(back);
                continue;
            }
            ++(domain ? report->pools : report->blocks);
        }
        if (uint32_t closed = unlatch.close(rc); closed != 0) failed(closed);
    }
    for (uint64_t offset : pools) {
        HeapView pool;
        if (uint32_t rc = openPool(h, offset, &pool); rc != 0) {
            if (rc != QUOR_RC_HEAP_DAMAGED) failed(rc);
            continue;
        }
        reclaimDebris(pool, report);
    }
}

uint32_t listPools(void *base, uint64_t domainOffset, std::vector<uint64_t> *pools) {
    HeapView domain;
    if (uint32_t rc = domain.open(base, QUOR_HEAP_KIND_DOMAIN, domainOffset); rc != 0) return rc;
    if (uint32_t rc = enterEL(&domain.header->heapLatch); rc != 0) return rc;
    auto unlatch = leaving(&domain.header->heapLatch);
    uint32_t rc = domain.rebind();
    if (rc == 0) rc = poolsOf(domain, pools);
    return unlatch.close(rc);
}

void reclaimDebris(void *base, uint64_t domainOffset, DebrisReport *report) {
    HeapView domain;
    if (uint32_t rc = domain.open(base, QUOR_HEAP_KIND_DOMAIN, domainOffset); rc != 0) {
        if (report->rc == 0) report->rc = rc;
        return;
    }
    reclaimDebris(domain, report);
}

}  // namespace quor::shm
