// Repairs after a writer's death inside a node's section (rules in repair.h).
#include "tree/repair.h"

#include "frame/state.h"
#include "tree/dependents.h"

namespace quor::tree {
namespace {

void fence(SNodeCB_t *node) { __atomic_store_n(&node->concurrencyReserved, QUOR_NODE_FENCE_MARK, __ATOMIC_RELEASE); }

// The list recounted from its slots.
uint32_t repairDependents(SNodeCB_t *node) {
    if (!hasArea(node, QUOR_KIND_DEPENDENTS)) return QUOR_RC_OK;
    DepList list;
    if (openDependentList(node, &list) != 0) return QUOR_RC_NODE_DAMAGED;
    if (list.maxIdSize == 0) return QUOR_RC_OK;
    uint64_t occupied = 0;
    for (uint64_t i = 0; i < list.capacity; ++i) {
        SNodeInfo_t *slot = list.slot(i);
        if (slot == nullptr) return QUOR_RC_NODE_DAMAGED;
        if (unusedSlotTag(slot->tag)) break;
        if (slot->tag == 0) continue;
        if (slot->idSize > list.maxIdSize) {
            __atomic_store_n(&slot->tag, uint64_t{0}, __ATOMIC_RELEASE);
            slot->idSize = 0;
            continue;
        }
        ++occupied;
    }
    __atomic_store_n(&list.area.record()->usedSize, QUOR_DEP_LIST_HEADER_SIZE + occupied * list.entrySize,
                     __ATOMIC_RELEASE);
    if (occupied == 0) {
        __atomic_fetch_and(&node->areaFlags, ~uint64_t{QUOR_KIND_DEPENDENTS}, __ATOMIC_ACQ_REL);
    } else {
        __atomic_fetch_or(&node->areaFlags, uint64_t{QUOR_KIND_DEPENDENTS}, __ATOMIC_ACQ_REL);
    }
    return QUOR_RC_OK;
}

}  // namespace

uint32_t repairAfterDeadWriter(SNodeCB_t *node) {
    if (fenced(node)) return QUOR_RC_NODE_DAMAGED;
    if (repairDependents(node) != 0 || props::repairAreas(node) != 0) {
        fence(node);
        return QUOR_RC_NODE_DAMAGED;
    }
    return QUOR_RC_OK;
}

}  // namespace quor::tree
