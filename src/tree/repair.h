// Repairing a node after a writer died inside one of its sections.
//
// A writer marks writerActive when it enters a section and clears it when it
// leaves, both under the latch; a mark still set when the next process takes
// the latch says that the writer died part way through a change. That process
// repairs the node before it does anything else with it:
//   1. The dependent list is recounted from its slots (writers keep every slot
//      whole: dependents.h rule 4); an entry whose ID cannot lie in its slot
//      becomes a hole; usedSize and the list bit follow the count.
//   2. The property areas are checked against themselves and rebuilt from
//      what is whole (props::repairAreas; the rules are in props/table.h).
//   3. A node whose list or areas cannot be read or rebuilt is fenced:
//      concurrencyReserved holds QUOR_NODE_FENCE_MARK and every section on it
//      fails with QUOR_RC_NODE_DAMAGED until the node is freed.
// The repair runs with the section held, so nobody else sees the node half
// repaired; a death during the repair leaves the mark set and the next taker
// repairs again.
#pragma once

#include <cstdint>

#include "quor/quor.h"

namespace quor::props {

// Checks every property area of `node` and rebuilds what a writer's death left
// half done. Requires: a section of the node is held. Returns 0, or
// QUOR_RC_NODE_DAMAGED when an area is damaged beyond what a kill leaves.
uint32_t repairAreas(SNodeCB_t *node);

}  // namespace quor::props

namespace quor::tree {

// Repairs `node` as above. Requires: a section of the node is held. Returns 0,
// or QUOR_RC_NODE_DAMAGED once the node is fenced.
uint32_t repairAfterDeadWriter(SNodeCB_t *node);

inline bool fenced(const SNodeCB_t *node) {
    return __atomic_load_n(&node->concurrencyReserved, __ATOMIC_ACQUIRE) == QUOR_NODE_FENCE_MARK;
}

}  // namespace quor::tree
