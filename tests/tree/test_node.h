// A node for the tree suites: a zeroed control block plus room for areas, in
// anonymous shared memory so that forked children work on the same node.
#pragma once

#include <cstdint>

#include "quor/host.h"
#include "quor/quor.h"
#include "support/process.h"

namespace quor::test {

// Builds the node with the given concurrency model and condition and, under the
// latched model, its own latch block initialised. nodeSize covers `areaBytes`
// of areas behind the control block.
inline SNodeCB_t *makeTestNode(uint32_t model = QUOR_CONCURRENCY_MODEL_LATCHED,
                               uint32_t condition = QUOR_NODE_ACTIVE, uint64_t areaBytes = 0x400) {
    auto *node = static_cast<SNodeCB_t *>(sharedScratch(QUOR_NODE_CB_SIZE + areaBytes));
    node->nodeSize = QUOR_NODE_CB_SIZE + areaBytes;
    node->concurrencyModel = model;
    node->NodeCondition = condition;
    node->updateMode = QUOR_NODE_UPDATE_COUNTED;
    node->interval1 = node->updateInterval = 200;
    if (quorInitializeLatches(node, &node->nodeLatch, QUOR_EYECATCHER) != QUOR_RC_OK) return nullptr;
    return node;
}

// The value of a host atomic slot.
inline int32_t counterValue(void *slot) {
    int32_t value = 0;
    hostAtomicAdd(slot, 0, &value);
    return value;
}

}  // namespace quor::test
