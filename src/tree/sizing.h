// Sizing of nodes: from counts and maxima to the 64 area sizes, and from the
// area sizes to a node's total size and directory.
#pragma once

#include <cstdint>

#include "quor/quor.h"

namespace quor::tree {

constexpr uint64_t round8(uint64_t n) { return (n + 7) & ~uint64_t{7}; }

// Smallest odd number p >= n with no odd divisor in 3..floor(sqrt(p)); 0 and 1
// give 1, and 0 means that no such 64-bit number exists (n above the largest
// 64-bit prime). Hash tables are sized with it.
uint64_t primeAtLeast(uint64_t n);

// The sum of the 64 area sizes plus the control block, with the limits every
// node creation applies: an area above 0x4000000 bytes gives
// QUOR_RC_AREA_TOO_LARGE, a total above 0x8000000 QUOR_RC_BAD_NODE_SIZE.
uint32_t nodeTotalSize(const uint64_t *sizes, uint64_t *total);

// Everything of a new node but its memory: size, kinds, condition 1, the latched
// concurrency model, both latch blocks (with latchKey) and the whole directory.
// Shared by the creation in a tree pool and in private memory.
uint32_t layOutNode(SNodeCB_t *node, uint64_t total, uint64_t areaFlags, const uint64_t *sizes,
                    uint32_t latchKey);

// quorCreateMaxSpaceArray with its checks and trace records.
uint32_t sizeNode(const NodeSpaceParams_t &in, uint64_t *sizesOut, uint64_t *totalOut);

// quorCreateNode and quorCreateNodeInPM as other operations run them. A node
// made for a caller to link (`pending`) keeps its block pending (shm/pending.h)
// until a locator of it is made (quorAddStatusNodeInfo) or it becomes a top
// node: if its creator dies first, the block is reclaimed. An operation that
// links the node itself passes false.
uint32_t createPoolNode(ShmSegInfo_t *segInfo, SNodeCB_t **node, uint64_t areaFlags, const uint64_t *sizes,
                        uint64_t *totalOut, uint64_t *offsetOut, bool pending = false);
// Settles the pending block of the node at nodeOffset of the pool, if it is one.
uint32_t settleNodeBlock(const ShmPoolHandle_t *pool, uint64_t nodeOffset);
uint32_t createPrivateNode(SNodeCB_t **node, uint64_t areaFlags, const uint64_t *sizes, uint64_t *totalOut,
                           uint64_t *addressOut, uint32_t key, uint32_t latchKey);

// quorDisclaimNode: gives a node's block back to the tree pool, with its checks
// and trace records; *node becomes null.
uint32_t disclaimNodeBlock(SNodeCB_t **node, ShmPoolHandle_t *pool, uint32_t key);

}  // namespace quor::tree
