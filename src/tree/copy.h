// Tree copy and node re-creation: a node rebuilt from an old one (larger, in
// another segment, or in private memory), a whole tree gathered into one
// segment, and a node replaced in its parent's list by a larger copy.
//
// Rules:
//   1. A new node is complete (control fields, counters, every area) before
//      anything links to it; a tree copy links each copied child into its
//      copied parent as soon as the child is complete, then copies the child's
//      own children.
//   2. A copy reads its source under the source's read section and fills the
//      new node under the new node's write section; it never changes the source.
//   3. A node copy that fails gives its new node back (to the pool or to
//      private memory) and hands out null; a tree copy that fails gives back
//      every node it made.
//   4. A node copied into private memory is named by a locator whose nodeOffset
//      is the node's address and whose segment fields are 0: such locators are
//      read only by the copy that takes the private tree into a segment.
#pragma once

#include <cstdint>

#include "quor/quor.h"

namespace quor::tree {

// Where a new node hangs: the locator stored in its parent area (its ID bytes
// come from the source's parent area) and the parent's module record.
struct ParentLink {
    SNodeInfo_t info{};
    const RMXPathRec_t *rmxPath = nullptr;
};

// How one node is copied.
struct NodeCopyMode {
    ShmSegInfo_t *sourceSeg = nullptr;  // its key words serve a node made in private memory
    ShmSegInfo_t *targetSeg = nullptr;  // whose pool receives the node (creation modes 2 and 3)
    uint32_t createMode = QUOR_COPY_CREATE_IN_SEGMENT;
    uint32_t capacityMode = QUOR_COPY_CAPACITY_SOURCE;
    uint32_t callerTag = QUOR_COPY_TAG_TREE;
    // Capacity mode 2: the wanted capacities, in place of the source's own
    // export list (null: the source's list, when it has one).
    const ExportList_t *wanted = nullptr;
};

// quorCopyNode with its checks and trace records. *byteCount receives the new
// node's total size; *params (may be null) the sizing the copy used.
uint32_t copyNode(const NodeCopyMode &mode, SNodeCB_t *source, SNodeCB_t **newNode, const ParentLink &parent,
                  NodeSpaceParams_t *params, uint64_t *byteCount);

}  // namespace quor::tree
