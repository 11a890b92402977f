// Nodes as blocks of a segment's tree pool: creation and release. Only the memory
// differs from a node made in private memory: the layout is the same (layOutNode).
#include "frame/export.h"
#include "frame/trace.h"
#include "shm/pending.h"
#include "shm/pool.h"
#include "shm/storage.h"
#include "tree/records.h"
#include "tree/sizing.h"

namespace quor::tree {
namespace {

// The storage code may copy up to 24 bytes of a caller's file name into a pad.
inline constexpr char kBlockSource[24] = "quor";

// The pool's free bytes, read under its latch; a failure of the latch or the
// read is QUOR_RC_POOL_INFO_FAILED.
uint32_t poolFreeBytes(ShmPoolHandle_t *pool, uint64_t *freeBytes) {
    if (storage::latchPool(pool) != 0) return QUOR_RC_POOL_INFO_FAILED;
    Closing unlatch([pool] { return storage::unlatchPool(pool); });
    ShmPoolInfo_t info{};
    uint32_t rc = storage::poolInfo(pool, &info);
    *freeBytes = info.freeBytes;
    rc = unlatch.close(rc);
    return rc == 0 ? rc : QUOR_RC_POOL_INFO_FAILED;
}

uint32_t createNode(Trace &t, ShmSegInfo_t *segInfo, SNodeCB_t **nodeOut, uint64_t areaFlags,
                    const uint64_t *sizes, uint64_t *totalOut, uint64_t *offsetOut, bool pending) {
    if (segInfo == nullptr) return t.failWith(10, QUOR_RC_NULL_SEGMENT_INFO, 0);
    if (nodeOut == nullptr) return t.failWith(20, QUOR_RC_NULL_PARAMETER, 0);
    if (sizes == nullptr) return t.failWith(30, QUOR_RC_NULL_SIZE_ARRAY, 0);
    if (totalOut == nullptr) return t.failWith(40, QUOR_RC_NULL_NODE_SIZE_OUTPUT, 0);
    if (offsetOut == nullptr) return t.failWith(50, QUOR_RC_NULL_NODE_OFFSET_OUTPUT, 0);
    uint64_t total = 0;
    if (uint32_t rc = nodeTotalSize(sizes, &total); rc != 0) return t.fail(60, rc);
    if (segInfo->key1 != QUOR_EYECATCHER) return t.failWith(70, QUOR_RC_BAD_EYECATCHER, segInfo->key1);

    ShmPoolHandle_t *pool = segInfo->poolHandle;
    uint64_t freeBytes = 0;
    if (uint32_t rc = poolFreeBytes(pool, &freeBytes); rc != 0) return t.fail(80, rc);
    if (freeBytes < total) return t.failWith(90, QUOR_RC_POOL_TOO_SMALL, freeBytes);

    *totalOut = total;
    void *block = nullptr;
    const uint32_t callerId = pending ? shm::kPendingCaller : t.id(), line = pending ? shm::pendingLine() : __LINE__;
    if (storage::allocateBlock(&block, pool, total, 0, callerId, line, kBlockSource) != 0) {
        return t.fail(100, QUOR_RC_NODE_ALLOC_FAILED);
    }
    auto *node = static_cast<SNodeCB_t *>(block);
    if (uint32_t rc = layOutNode(node, total, areaFlags, sizes, segInfo->key2); rc != 0) {
        (void)storage::freeBlock(&block, pool, t.id(), __LINE__, kBlockSource);
        return t.fail(110, rc);
    }
    const auto at = reinterpret_cast<uintptr_t>(node), base = reinterpret_cast<uintptr_t>(pool->base);
    if (at < base) {
        (void)storage::freeBlock(&block, pool, t.id(), __LINE__, kBlockSource);
        return t.fail(120, QUOR_RC_NEGATIVE_NODE_OFFSET);
    }
    *offsetOut = at - base;
    *nodeOut = node;
    return QUOR_RC_OK;
}

// Gives a node's block back to its pool. The node is not entered or tested: the
// caller owns the decision that nobody uses it any more.
uint32_t disclaimNode(Trace &t, SNodeCB_t **node, ShmPoolHandle_t *pool, uint32_t key) {
    if (node == nullptr || *node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (pool == nullptr) return t.failWith(20, QUOR_RC_NULL_POOL_HANDLE, 0);
    if (key != QUOR_EYECATCHER) return t.failWith(30, QUOR_RC_BAD_EYECATCHER, key);
    void *block = *node;
    if (uint32_t rc = storage::freeBlock(&block, pool, t.id(), __LINE__, kBlockSource); rc != 0) {
        return t.fail(40, rc);
    }
    *node = nullptr;
    return QUOR_RC_OK;
}

}  // namespace

uint32_t createPoolNode(ShmSegInfo_t *segInfo, SNodeCB_t **node, uint64_t areaFlags, const uint64_t *sizes,
                        uint64_t *totalOut, uint64_t *offsetOut, bool pending) {
    return traced(Fn::quorCreateNode, [&](Trace &t) {
        return createNode(t, segInfo, node, areaFlags, sizes, totalOut, offsetOut, pending);
    });
}

uint32_t settleNodeBlock(const ShmPoolHandle_t *pool, uint64_t nodeOffset) {
    return shm::settleBlock(pool, nodeOffset, static_cast<uint32_t>(Fn::quorCreateNode), __LINE__);
}

uint32_t disclaimNodeBlock(SNodeCB_t **node, ShmPoolHandle_t *pool, uint32_t key) {
    return traced(Fn::quorDisclaimNode, [&](Trace &t) { return disclaimNode(t, node, pool, key); });
}

}  // namespace quor::tree

using namespace quor;

QUOR_EXPORT uint32_t quorCreateNode(ShmSegInfo_t *segInfo, SNodeCB_t **node, uint64_t areaFlags,
                                    const uint64_t *sizes, uint64_t *totalOut, uint64_t *offsetOut) {
    return tree::createPoolNode(segInfo, node, areaFlags, sizes, totalOut, offsetOut, true);
}

QUOR_EXPORT uint32_t quorDisclaimNode(SNodeCB_t **node, ShmPoolHandle_t *pool, uint32_t key) {
    return traced(Fn::quorDisclaimNode, [&](Trace &t) { return tree::disclaimNode(t, node, pool, key); });
}
