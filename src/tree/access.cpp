// Node critical sections, latch-block initialisation, node conditions, and the
// update announcements of writers and the staleness checks of watchers.
#include "tree/access.h"

#include "frame/export.h"
#include "tree/records.h"

namespace quor::tree {
namespace sections {

uint32_t tracedSection(SNodeCB_t *node, NodeLatchBlock_t *block, bool enter, Access access, uint32_t *model,
                       bool modelGiven) {
    return traced(sectionFn(enter, access),
                  [&](Trace &t) { return section(t, node, block, enter, access, model, modelGiven); });
}

}  // namespace sections

using sections::enterStep;
using sections::exitStep;
using sections::step;

uint32_t enterSection(SNodeCB_t *node, NodeLatchBlock_t *block, Access access, uint32_t *modelUsed) {
    uint32_t model = 0;
    const uint32_t rc = access == Access::Read ? step<Access::Read>(node, block, true, &model, false)
                                               : step<Access::Write>(node, block, true, &model, false);
    if (modelUsed != nullptr) *modelUsed = model;
    return rc;
}

uint32_t exitSection(SNodeCB_t *node, NodeLatchBlock_t *block, Access access) {
    return access == Access::Read ? exitStep<Access::Read>(node, block)
                                  : exitStep<Access::Write>(node, block);
}

uint32_t exitSectionAs(SNodeCB_t *node, NodeLatchBlock_t *block, Access access, uint32_t model) {
    return access == Access::Read ? step<Access::Read>(node, block, false, &model, true)
                                  : step<Access::Write>(node, block, false, &model, true);
}

uint32_t initializeLatches(SNodeCB_t *node, NodeLatchBlock_t *block, uint32_t key) {
    return traced(Fn::quorInitializeLatches, [&](Trace &t) {
        // The block is tested before the node here: it is what is initialised.
        if (block == nullptr) return t.failWith(10, QUOR_RC_NULL_LATCH_BLOCK, 0);
        if (node == nullptr) return t.failWith(20, QUOR_RC_NULL_PARAMETER, 0);
        const uint32_t model = node->concurrencyModel;
        if (model >= kModelLimit) return t.failWith(30, QUOR_RC_BAD_CONCURRENCY_MODEL, model);
        if (model != QUOR_CONCURRENCY_MODEL_LATCHED) return QUOR_RC_OK;
        if (key != QUOR_EYECATCHER) return t.failWith(40, QUOR_RC_LATCH_NOT_INITIALIZED, key);
        // A block that is re-initialised must not look ready half-way through.
        block->latchEyecatcher = 0;
        if (hostLatchInit(block->accessLatch, 1) != 0 || hostLatchInit(block->spareAccessLatch, 1) != 0) {
            return t.fail(50, QUOR_RC_LATCH_FAILED);
        }
        if (hostAtomicInit(block->writeCount, 0, 1) != 0 || hostAtomicInit(block->writerActive, 0, 1) != 0) {
            return t.fail(60, QUOR_RC_ATOMIC_FAILED);
        }
        __atomic_store_n(&block->latchEyecatcher, key, __ATOMIC_RELEASE);
        return QUOR_RC_OK;
    });
}

uint32_t checkNodeCondition(SNodeCB_t *node, uint32_t mask) {
    return traced(Fn::quorCheckNodeCondition, [&](Trace &t) {
        if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
        const uint32_t condition = node->NodeCondition;
        if (uint32_t rc = checkCondition(condition, mask); rc != 0) return t.failWith(20, rc, condition);
        return QUOR_RC_OK;
    });
}

uint64_t hostClockValue() {
    HostUtcTime now{};
    (void)hostTimeGetUTC(&now);
    return now.milliseconds;
}

namespace {

uint32_t readCounter(void *slot, int32_t *value) {
    return hostAtomicAdd(slot, 0, value) == 0 ? QUOR_RC_OK : QUOR_RC_ATOMIC_FAILED;
}

// Sets the condition of the node named through `ref` inside its write section.
// Activation refuses a node that was never initialised.
uint32_t changeCondition(Trace &t, SNodeCB_t **ref, uint32_t condition) {
    SNodeCB_t *node = ref != nullptr ? *ref : nullptr;
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    return inSection(t, 20, node, Access::Write, 0, [&] {
        if (condition == QUOR_NODE_ACTIVE && node->NodeCondition == QUOR_NODE_CREATED) {
            return t.fail(30, QUOR_RC_NODE_NOT_ACTIVATABLE);
        }
        node->NodeCondition = condition;
        return QUOR_RC_OK;
    });
}

uint32_t updateStatus(Trace &t, SNodeCB_t *node) {
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    return inSection(t, 20, node, Access::Write, 0, [&] {
        if (const uint32_t condition = node->NodeCondition; condition != QUOR_NODE_ACTIVE) {
            return t.failWith(30, updateRefusal(condition), condition);
        }
        if (node->updateMode == QUOR_NODE_UPDATE_COUNTED) {
            int32_t old = 0;
            if (hostAtomicIncrement(node->updateCounter, &old) != 0) return t.fail(40, QUOR_RC_ATOMIC_FAILED);
            return QUOR_RC_OK;
        }
        if (node->updateMode == QUOR_NODE_UPDATE_TIMED) {
            node->lastUpdate = hostClockValue();
            return QUOR_RC_OK;
        }
        return t.failWith(50, QUOR_RC_BAD_WATCH_MODE, node->updateMode);
    });
}

// The watcher's verdict on an active node.
uint32_t watchActive(Trace &t, SNodeCB_t *node, SNodeWatcher_t *watcher) {
    if (watcher->watchMode == QUOR_WATCH_COUNTER) {
        int32_t current = 0, seen = 0;
        if (readCounter(node->updateCounter, &current) != 0 ||
            readCounter(watcher->lastCounterSeen, &seen) != 0) {
            return t.fail(50, QUOR_RC_ATOMIC_FAILED);
        }
        if (current == seen) return t.fail(60, QUOR_RC_NOT_UPDATED);
        if (hostAtomicSwap(watcher->lastCounterSeen, current, &seen) != 0)
            return t.fail(70, QUOR_RC_ATOMIC_FAILED);
        return QUOR_RC_OK;
    }
    if (watcher->watchMode == QUOR_WATCH_TIME) {
        const uint64_t now = hostClockValue(), last = node->lastUpdate;
        // A stamp ahead of this process's clock (a clock stepped back, or a
        // caller's stamp) is as fresh as it gets, not 2^64 ms old.
        const uint64_t elapsed = now > last ? now - last : 0;
        if (elapsed > 2 * uint64_t{node->updateInterval})
            return t.failWith(80, QUOR_RC_UPDATE_OVERDUE, elapsed);
        watcher->lastTimeSeen = now;
        return QUOR_RC_OK;
    }
    return t.failWith(90, QUOR_RC_BAD_WATCH_MODE, watcher->watchMode);
}

uint32_t watch(Trace &t, SNodeCB_t *node, SNodeWatcher_t *watcher) {
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (watcher == nullptr) return t.failWith(20, QUOR_RC_NULL_WATCHER, 0);
    return inSection(t, 30, node, Access::Write, 0, [&] {
        if (const uint32_t condition = node->NodeCondition; condition != QUOR_NODE_ACTIVE) {
            return t.failWith(40, updateRefusal(condition), condition);
        }
        return watchActive(t, node, watcher);
    });
}

}  // namespace

uint32_t setNodeCondition(SNodeCB_t **node, uint32_t condition) {
    const Fn fn = condition == QUOR_NODE_ACTIVE      ? Fn::quorActivateNode
                  : condition == QUOR_NODE_ABANDONED ? Fn::quorAbandonNode
                                                     : Fn::quorDisassociateNode;
    return traced(fn, [&](Trace &t) { return changeCondition(t, node, condition); });
}

uint32_t updateNodeStatus(SNodeCB_t *node) {
    return traced(Fn::quorUpdateNodeStatus, [&](Trace &t) { return updateStatus(t, node); });
}

}  // namespace quor::tree

using namespace quor;
using namespace quor::tree;

QUOR_EXPORT uint32_t quorInitializeLatches(SNodeCB_t *node, NodeLatchBlock_t *latchBlock, uint32_t key) {
    return initializeLatches(node, latchBlock, key);
}

// The four section operations are the hottest calls of the library: kept together
// in the hot text.
QUOR_EXPORT __attribute__((hot)) uint32_t quorEnterCriticalSectionBeforeRead(SNodeCB_t *node,
                                                                             NodeLatchBlock_t *latchBlock) {
    return enterStep<Access::Read>(node, latchBlock);
}

QUOR_EXPORT __attribute__((hot)) uint32_t quorExitCriticalSectionAfterRead(SNodeCB_t *node,
                                                                           NodeLatchBlock_t *latchBlock) {
    return exitStep<Access::Read>(node, latchBlock);
}

QUOR_EXPORT __attribute__((hot)) uint32_t quorEnterCriticalSectionBeforeWrite(SNodeCB_t *node,
                                                                              NodeLatchBlock_t *latchBlock) {
    return enterStep<Access::Write>(node, latchBlock);
}

QUOR_EXPORT __attribute__((hot)) uint32_t quorExitCriticalSectionAfterWrite(SNodeCB_t *node,
                                                                            NodeLatchBlock_t *latchBlock) {
    return exitStep<Access::Write>(node, latchBlock);
}

QUOR_EXPORT uint32_t quorGetNodeCondition(SNodeCB_t *node, uint32_t *conditionOut) {
    return traced(Fn::quorGetNodeCondition, [&](Trace &t) {
        if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
        if (conditionOut == nullptr) return t.failWith(20, QUOR_RC_NULL_PARAMETER, 0);
        *conditionOut = node->NodeCondition;
        if (!validCondition(*conditionOut)) return t.failWith(30, QUOR_RC_BAD_NODE_CONDITION, *conditionOut);
        return QUOR_RC_OK;
    });
}

QUOR_EXPORT uint32_t quorCheckNodeCondition(SNodeCB_t *node, uint32_t mask) {
    return checkNodeCondition(node, mask);
}

QUOR_EXPORT uint32_t quorActivateNode(SNodeCB_t **node) {
    return traced(Fn::quorActivateNode, [&](Trace &t) { return changeCondition(t, node, QUOR_NODE_ACTIVE); });
}

QUOR_EXPORT uint32_t quorAbandonNode(SNodeCB_t **node) {
    return traced(Fn::quorAbandonNode,
                  [&](Trace &t) { return changeCondition(t, node, QUOR_NODE_ABANDONED); });
}

QUOR_EXPORT uint32_t quorDisassociateNode(SNodeCB_t **node) {
    return traced(Fn::quorDisassociateNode,
                  [&](Trace &t) { return changeCondition(t, node, QUOR_NODE_DISASSOCIATED); });
}

QUOR_EXPORT uint32_t quorUpdateNodeStatus(SNodeCB_t *node) {
    return traced(Fn::quorUpdateNodeStatus, [&](Trace &t) { return updateStatus(t, node); });
}

QUOR_EXPORT uint32_t quorIsStillBeingUpdated(SNodeCB_t *node, SNodeWatcher_t *watcher) {
    return traced(Fn::quorIsStillBeingUpdated, [&](Trace &t) { return watch(t, node, watcher); });
}

QUOR_EXPORT uint32_t quorGetNodeReconfigCounter(SNodeCB_t *node, int64_t *counterOut) {
    return traced(Fn::quorGetNodeReconfigCounter, [&](Trace &t) {
        if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
        if (counterOut == nullptr) return t.failWith(20, QUOR_RC_NULL_PARAMETER, 0);
        int32_t value = 0;
        if (readCounter(node->ReconfigCounter, &value) != 0) return t.fail(30, QUOR_RC_ATOMIC_FAILED);
        *counterOut = value;
        return QUOR_RC_OK;
    });
}
