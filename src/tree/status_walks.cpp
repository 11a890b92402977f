// Tree-wide status changes and subtree deletion: one action applied to a node
// and everything below it, children before parents, and the removal of a child
// from its parent's list together with its whole subtree.
//
// Deleting a subtree inside a walk is itself a walk from the child; rather than
// nest one walk per level, the walk pushes the child's frame with the settings
// the nested walk would start with (depth 1, the freeing segment record as the
// reference, the unlink bit cleared), so that the stack stays the only thing
// that grows with the tree's depth.
#include <array>
#include <cstring>

#include "frame/export.h"
#include "frame/state.h"
#include "frame/trace.h"
#include "tree/access.h"
#include "tree/dependents.h"
#include "tree/locators.h"
#include "tree/records.h"
#include "tree/sizing.h"
#include "tree/walk.h"

namespace quor::tree {
namespace {

bool validAction(uint32_t action) { return action >= QUOR_ACTION_ACTIVATE && action <= QUOR_ACTION_UPDATE; }

// Whether the action applies to a node in `condition` under `mask`: bit 0 makes
// any action unconditional, bit 3 an update.
bool applies(uint32_t action, uint32_t condition, uint32_t mask) {
    const uint32_t always = action == QUOR_ACTION_UPDATE ? 0x8u : QUOR_ACTION_UNCONDITIONAL;
    return (((1u << condition) | always) & mask) != 0;
}

// A node's own ID: its length (0 without an ID area) and bytes.
uint32_t ownId(SNodeCB_t *node, uint64_t *length, const char **bytes) {
    Area area;
    *length = 0;
    *bytes = nullptr;
    if (!hasArea(node, QUOR_KIND_ID)) return QUOR_RC_OK;
    if (uint32_t rc = openArea(node, QUOR_KIND_ID, &area); rc != 0) return rc;
    const uint64_t *head = area.at<uint64_t>(0, 2);
    if (head == nullptr) return QUOR_RC_AREA_OVERFULL;
    const uint64_t n = head[1];
    const char *id = n <= QUOR_MAX_ID_SIZE ? area.at<char>(16, n) : nullptr;
    if (id == nullptr) return QUOR_RC_BAD_ID_LENGTH;
    *length = n;
    *bytes = id;
    return QUOR_RC_OK;
}

// A node checked under its read section with `mask`, then its condition
// validated.
uint32_t checkUnderRead(SNodeCB_t *node, uint32_t mask) {
    CriticalSection section(node, Access::Read);
    uint32_t rc = section.entered();
    if (rc == 0) rc = checkCondition(node->NodeCondition, mask);
    return section.close(rc);
}

// The entry a freed node is taken out of its parent's list by: removed right
// before the node is freed, so that a walk failing part way leaves every node
// it did not free linked, and no entry naming a freed block.
struct Unlink {
    SNodeCB_t *parent = nullptr;
    SNodeInfo_t *slot = nullptr;
    SNodeInfo_t expected{};
};

struct StatusFrame {
    SNodeCB_t *node;
    DepCursor cursor;
    ShmSegInfo_t *segInfo;    // frees disclaimed nodes of a node with a list
    ShmSegInfo_t *reference;  // the tree's record: attaches, and frees leaves
    uint32_t otherSegment;
    uint32_t mask;
    uint64_t depth;  // the depth the node's children are walked with
    bool hasList;
    Unlink unlink;  // for a node being deleted with its subtree
};

struct StatusWalk {
    using Frame = StatusFrame;
    uint32_t action;
    uint64_t maxDepth;
    bool rootFreed = false;

    // The children of a node are walked when it has a list, lies above the
    // depth limit, and is not a node of another segment that the mask keeps to
    // its own.
    uint32_t open(Frame *frame) const {
        frame->cursor = DepCursor();
        frame->hasList = (frame->node->areaFlags & QUOR_KIND_DEPENDENTS) != 0;
        if (!frame->hasList) return QUOR_RC_OK;
        if (maxDepth != 0 && frame->depth >= maxDepth) return QUOR_RC_OK;
        // A fenced node's list is not read: the node itself can still be freed.
        if (fenced(frame->node)) return QUOR_RC_OK;
        ++frame->depth;
        if ((frame->mask & QUOR_ACTION_SAME_SEGMENT_ONLY) != 0 && frame->otherSegment != 0) return QUOR_RC_OK;
        DepList list;
        if (uint32_t rc = openDependentList(frame->node, &list); rc != 0) return rc;
        frame->cursor = DepCursor(list);
        return QUOR_RC_OK;
    }

    uint32_t child(Frame &parent, const DepEntry &entry, Frame *next, ChildStep *step) {
        AttachedChild attached;
        const uint32_t rc =
            attachChild(entry.info, true, parent.reference, parent.mask, &attached, true, entry.tag);
        if (attached.node == nullptr && (rc == 0 || rc == QUOR_RC_NODE_ABANDONED)) return QUOR_RC_OK;
        uint32_t deleteMask = parent.mask;
        if (rc == QUOR_RC_NODE_ABANDONED || rc == QUOR_RC_NODE_DAMAGED) {
            if (action != QUOR_ACTION_DISCLAIM) return rc;
            deleteMask |= QUOR_ACTION_UNCONDITIONAL;
        } else if (rc != 0 && rc != QUOR_RC_NODE_NOT_ACTIVE && rc != QUOR_RC_NODE_NOT_INITIALIZED &&
                   rc != QUOR_RC_NODE_DISASSOCIATED) {
            return rc;
        } else if (action != QUOR_ACTION_DISCLAIM ||
                   !applies(action, attached.node->NodeCondition, parent.mask)) {
            if (attached.differs != 0) return QUOR_RC_OK;
            *next = Frame{attached.node, DepCursor(),  parent.segInfo, parent.reference, attached.differs,
                          parent.mask,   parent.depth, false,          Unlink{}};
            if (attached.segInfo != nullptr) next->segInfo = attached.segInfo;
            if (uint32_t orc = open(next); orc != 0) return orc;
            *step = ChildStep::Descend;
            return QUOR_RC_OK;
        }
        return deleteChild(parent, entry, attached.node, attached.segInfo, deleteMask, next, step);
    }

    // The steps of a subtree deletion before its walk: the parent checked, the
    // child's ID length against its locator, the child checked; then the
    // child's frame as the deletion's walk starts it, which takes the child's
    // entry out of the parent's list when the child is freed.
    // The subtree is freed into the pool of the child's own segment: a child of
    // another segment is no block of the parent's pool.
    uint32_t deleteChild(Frame &parent, const DepEntry &entry, SNodeCB_t *child, ShmSegInfo_t *home,
                         uint32_t options, Frame *next, ChildStep *step) const {
        if (parent.segInfo == nullptr) return QUOR_RC_NOT_ATTACHED;
        ShmSegInfo_t *record = home != nullptr ? home : parent.segInfo;
        if (uint32_t rc = checkUnderRead(parent.node, QUOR_COND_MASK_ANY); rc != 0) return rc;
        uint64_t length = 0;
        const char *id = nullptr;
        if (uint32_t rc = ownId(child, &length, &id); rc != 0) return rc;
        if (length != entry.idSize) return QUOR_RC_BAD_ID_LENGTH;
        // A fenced child is not read, only freed.
        if (uint32_t rc = checkUnderRead(child, QUOR_COND_MASK_ANY); rc != 0 && rc != QUOR_RC_NODE_DAMAGED)
            return rc;
        *next = Frame{child, DepCursor(), record, record, 0, options & ~QUOR_ACTION_UNLINK_FROM_PARENT, 1, false,
                      Unlink{parent.node, entry.info, *entry.info}};
        if (uint32_t rc = open(next); rc != 0) return rc;
        *step = ChildStep::Descend;
        return QUOR_RC_OK;
    }

    uint32_t leave(Frame &frame, bool root) {
        ShmSegInfo_t *record = frame.hasList ? frame.segInfo : frame.reference;
        if (action == QUOR_ACTION_DISCLAIM && !frame.hasList && record == nullptr)
            return QUOR_RC_NOT_ATTACHED;
        SNodeCB_t *node = frame.node;
        const uint32_t condition = node->NodeCondition;
        if (!validCondition(condition)) return QUOR_RC_BAD_NODE_CONDITION;
        if (!applies(action, condition, frame.mask)) return QUOR_RC_OK;
        switch (action) {
            case QUOR_ACTION_ACTIVATE:
            case QUOR_ACTION_ABANDON:
            case QUOR_ACTION_DISASSOCIATE:
                return setNodeCondition(&node, action);
            case QUOR_ACTION_DISCLAIM: {
                if (record == nullptr) return QUOR_RC_NOT_ATTACHED;
                const Unlink &unlink = frame.unlink;
                if (unlink.parent != nullptr) {
                    uint32_t rc = removeEntry(unlink.parent, unlink.slot, unlink.expected);
                    if (rc != 0) return rc == QUOR_RC_NO_DEPENDENTS ? QUOR_RC_DEPENDENT_NOT_FOUND : rc;
                }
                const uint32_t rc = disclaimNodeBlock(&node, record->poolHandle, record->eyecatcher);
                if (rc == 0 && root) rootFreed = true;
                return rc;
            }
            case QUOR_ACTION_UPDATE:
                return updateNodeStatus(node);
            default:
                return QUOR_RC_BAD_STATUS_ACTION;
        }
    }
};

uint32_t setRecursively(SNodeCB_t **nodeRef, ShmSegInfo_t *segInfo, ShmSegInfo_t *reference,
                        uint32_t otherSegment, uint32_t action, uint32_t mask, uint64_t depth,
                        uint64_t maxDepth, bool *freed, const Unlink &unlink = Unlink{}) {
    StatusWalk walk{action, maxDepth};
    StatusFrame root{*nodeRef, DepCursor(), segInfo, reference, otherSegment, mask, depth, false, unlink};
    if (uint32_t rc = walk.open(&root); rc != 0) return rc;
    const uint32_t rc = walkTree(root, walk);
    if (walk.rootFreed) *nodeRef = nullptr;
    if (freed != nullptr) *freed = walk.rootFreed;
    return rc;
}

// The top node's entry in its parent's list: the entry that names the top
// itself, not the first one its tag and ID would match.
uint32_t findParentLink(SNodeCB_t *top, Unlink *link) {
    SNodeInfo_t *parentInfo = nullptr;
    if (uint32_t rc = parentLocation(top, &parentInfo); rc != 0) return rc;
    if (uint32_t rc = resolveLocator(parentInfo, &link->parent); rc != 0) return rc;
    return findEntryOf(link->parent, top, nullptr, &link->slot, &link->expected);
}

uint32_t forEachNode(Trace &t, SNodeCB_t *top, ShmSegInfo_t *segInfo, uint64_t maxDepth, uint32_t action,
                     uint32_t mask, const Unlink &given = Unlink{}) {
    if (top == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (segInfo == nullptr) return t.failWith(20, QUOR_RC_NOT_ATTACHED, 0);
    if (!validAction(action)) return t.failWith(25, QUOR_RC_BAD_STATUS_ACTION, action);
    const uint32_t topMask =
        action == QUOR_ACTION_DISCLAIM ? QUOR_COND_MASK_ANY : QUOR_COND_MASK_NOT_ABANDONED;
    if (uint32_t rc = checkUnderRead(top, topMask); rc != 0) return t.fail(30, rc);
    if (maxDepth > QUOR_MAX_COUNT) return t.failWith(40, QUOR_RC_DEPTH_TOO_LARGE, maxDepth);
    const bool unlink = action == QUOR_ACTION_DISCLAIM && (mask & QUOR_ACTION_UNLINK_FROM_PARENT) != 0 &&
                        (top->areaFlags & QUOR_KIND_PARENT) != 0;
    Unlink link = given;
    if (unlink && link.parent == nullptr) {
        if (uint32_t rc = findParentLink(top, &link); rc != 0) return t.fail(50, rc);
    }
    bool freed = false;
    SNodeCB_t *node = top;
    if (uint32_t rc = setRecursively(&node, segInfo, segInfo, 0, action, mask, 1, maxDepth, &freed, link);
        rc != 0)
        return t.fail(60, rc);
    return QUOR_RC_OK;
}

uint32_t deleteSubtree(Trace &t, SNodeCB_t *parent, SNodeInfo_t *childInfo, ShmSegInfo_t *segInfo,
                       uint64_t maxDepth, uint32_t options) {
    if (parent == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (segInfo == nullptr) return t.failWith(20, QUOR_RC_NOT_ATTACHED, 0);
    if (uint32_t rc = checkUnderRead(parent, QUOR_COND_MASK_ANY); rc != 0) return t.fail(30, rc);
    if (maxDepth > QUOR_MAX_COUNT) return t.failWith(40, QUOR_RC_DEPTH_TOO_LARGE, maxDepth);
    if (childInfo == nullptr) {
        return traced(Fn::quorSetStatusForEachNodeInATree, [&](Trace &inner) {
            return forEachNode(inner, parent, segInfo, maxDepth, QUOR_ACTION_DISCLAIM, options);
        });
    }
    SNodeCB_t *child = nullptr;
    ShmSegInfo_t *home = nullptr;
    if (uint32_t rc = resolveLocator(childInfo, &child, &home); rc != 0) return t.fail(50, rc);
    uint64_t length = 0;
    const char *ownBytes = nullptr;
    if (uint32_t rc = ownId(child, &length, &ownBytes); rc != 0) return t.fail(60, rc);
    if (length != childInfo->idSize) return t.failWith(70, QUOR_RC_BAD_ID_LENGTH, length);
    // The entry that names this child (the locator given may be that entry, or
    // a copy of it): it goes right before the child's block does.
    Unlink link{parent, nullptr, {}};
    if (uint32_t rc = findEntryOf(parent, child, childInfo, &link.slot, &link.expected); rc != 0) return t.fail(80, rc == QUOR_RC_NO_DEPENDENTS ? QUOR_RC_DEPENDENT_NOT_FOUND : rc);
    return traced(Fn::quorSetStatusForEachNodeInATree, [&](Trace &inner) {
        // The subtree goes back to the pool of the child's own segment.
        return forEachNode(inner, child, home != nullptr ? home : segInfo, maxDepth, QUOR_ACTION_DISCLAIM,
                           options & ~QUOR_ACTION_UNLINK_FROM_PARENT, link);
    });
}

}  // namespace

uint32_t setStatusForEachNode(SNodeCB_t *top, ShmSegInfo_t *segInfo, uint64_t maxDepth, uint32_t action,
                              uint32_t mask) {
    return traced(Fn::quorSetStatusForEachNodeInATree,
                  [&](Trace &t) { return forEachNode(t, top, segInfo, maxDepth, action, mask); });
}

}  // namespace quor::tree

using namespace quor;
using namespace quor::tree;

QUOR_EXPORT uint32_t quorSetNodeStatusRecursively(SNodeCB_t **node, ShmSegInfo_t *segInfo,
                                                  ShmSegInfo_t *refSegInfo, uint32_t otherSegment,
                                                  uint32_t action, uint32_t mask, uint64_t depth,
                                                  uint64_t maxDepth) {
    return traced(Fn::quorSetNodeStatusRecursively, [&](Trace &t) {
        if (node == nullptr || *node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
        if (!validAction(action)) return t.failWith(20, QUOR_RC_BAD_STATUS_ACTION, action);
        const uint32_t rc =
            setRecursively(node, segInfo, refSegInfo, otherSegment, action, mask, depth, maxDepth, nullptr);
        return rc != 0 ? t.fail(30, rc) : rc;
    });
}

QUOR_EXPORT uint32_t quorSetStatusForEachNodeInATree(SNodeCB_t *top, ShmSegInfo_t *segInfo, uint64_t maxDepth,
                                                     uint32_t action, uint32_t mask) {
    return setStatusForEachNode(top, segInfo, maxDepth, action, mask);
}

QUOR_EXPORT uint32_t quorDeleteDependentNodeAndSubtree(SNodeCB_t *parent, SNodeInfo_t *childInfo,
                                                       ShmSegInfo_t *segInfo, uint64_t maxDepth,
                                                       uint32_t options) {
    return traced(Fn::quorDeleteDependentNodeAndSubtree,
                  [&](Trace &t) { return deleteSubtree(t, parent, childInfo, segInfo, maxDepth, options); });
}
