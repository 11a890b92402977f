// Searches and totals over the dependent-node lists below a node: the soft
// search for the first node with a tag and ID, the search for every node with a
// tag, the hard search along an exact path, the subtree totals, and the private
// path arrays of the hard search.
#include <cstring>

#include "frame/export.h"
#include "frame/state.h"
#include "frame/trace.h"
#include "tree/access.h"
#include "tree/dependents.h"
#include "tree/ids.h"
#include "tree/locators.h"
#include "tree/records.h"
#include "tree/walk.h"

namespace quor::tree {
namespace {

bool refusedForCondition(uint32_t rc) {
    return rc == QUOR_RC_NODE_NOT_ACTIVE || rc == QUOR_RC_NODE_NOT_INITIALIZED ||
           rc == QUOR_RC_NODE_ABANDONED || rc == QUOR_RC_NODE_DISASSOCIATED;
}

bool recreating(const SNodeCB_t *node) {
    return (__atomic_load_n(&node->optionFlags, __ATOMIC_ACQUIRE) & QUOR_NODE_OPT_RECREATING) != 0;
}

bool hasList(const SNodeCB_t *node) {
    return (__atomic_load_n(&node->areaFlags, __ATOMIC_ACQUIRE) & QUOR_KIND_DEPENDENTS) != 0;
}

// The directory record of the node's list, with its checks.
uint32_t listRecord(SNodeCB_t *node, PExport **record) {
    *record = directoryRecord(node, QUOR_KIND_DEPENDENTS);
    return checkRecord(**record);
}

// The start of a search: the node checked under its read section.
uint32_t checkStart(const Trace &t, SNodeCB_t *node, uint32_t mask) {
    CriticalSection section(node, Access::Read);
    uint32_t rc = section.entered();
    if (rc == 0) rc = checkCondition(node->NodeCondition, mask);
    rc = section.close(rc);
    return rc != 0 ? t.fail(100, rc) : rc;
}

// The child visit of the soft and tag searches: a used child is handed out;
// children that are not initialised, not active or abandoned are skipped with
// their subtrees; a disassociated child under re-creation stops the search.
uint32_t visitChild(const DepEntry &entry, SNodeCB_t **child, bool *used) {
    AttachedChild attached;
    uint32_t rc = attachChild(entry.info, false, nullptr, 0, &attached, true, entry.tag);
    *used = false;
    if (rc == QUOR_RC_NODE_DISASSOCIATED) {
        if (recreating(attached.node)) return QUOR_RC_NODE_BEING_RECREATED;
        rc = QUOR_RC_OK;
    }
    if (rc == QUOR_RC_NODE_NOT_ACTIVE || rc == QUOR_RC_NODE_NOT_INITIALIZED || rc == QUOR_RC_NODE_ABANDONED)
        return QUOR_RC_OK;
    if (rc != 0) return rc;
    *child = attached.node;
    *used = true;
    return QUOR_RC_OK;
}

// The frame of a search: the node, its children's cursor and the depth its
// children are walked with.
struct SearchFrame {
    SNodeCB_t *node;
    DepCursor cursor;
    uint64_t depth;
};

// The walk step on one node: its list record checked, then its children's
// cursor unless it has no list or lies at the depth limit (left empty then).
uint32_t openSearchFrame(SNodeCB_t *node, uint64_t depth, uint64_t maxDepth, SearchFrame *frame) {
    *frame = SearchFrame{node, DepCursor(), depth};
    if (node == nullptr) return QUOR_RC_NULL_PARAMETER;
    PExport *record = nullptr;
    if (uint32_t rc = listRecord(node, &record); rc != 0) return rc;
    if (!hasList(node)) return QUOR_RC_OK;
    if (maxDepth != 0) {
        if (maxDepth <= depth) return QUOR_RC_OK;
        frame->depth = depth + 1;
    }
    DepList list;
    if (uint32_t rc = openDependentList(node, &list); rc != 0) return rc;
    frame->cursor = DepCursor(list);
    return QUOR_RC_OK;
}

// The soft and tag searches differ only in their test of a used child.
template <class Test>
struct SearchVisitor {
    using Frame = SearchFrame;
    uint64_t maxDepth;
    Test test;  // (entry) -> true when the walk ends here

    uint32_t child(Frame &parent, const DepEntry &entry, Frame *next, ChildStep *step) {
        SNodeCB_t *child = nullptr;
        bool used = false;
        if (uint32_t rc = visitChild(entry, &child, &used); rc != 0 || !used) return rc;
        if (test(entry)) {
            *step = ChildStep::Stop;
            return QUOR_RC_OK;
        }
        if (uint32_t rc = openSearchFrame(child, parent.depth, maxDepth, next); rc != 0) return rc;
        *step = ChildStep::Descend;
        return QUOR_RC_OK;
    }
    uint32_t leave(Frame &, bool) { return QUOR_RC_OK; }
};

template <class Test>
uint32_t searchBelow(SNodeCB_t *node, uint64_t depth, uint64_t maxDepth, Test test) {
    SearchFrame root;
    if (uint32_t rc = openSearchFrame(node, depth, maxDepth, &root); rc != 0) return rc;
    SearchVisitor<Test> visitor{maxDepth, test};
    return walkTree(root, visitor);
}

bool softMatch(const DepEntry &entry, uint64_t tag, uint64_t idLength, const char *id) {
    if (idLength == 0) return entry.tag == tag;
    return compareTagId(tag, id, idLength, entry.tag, entry.id, entry.idSize) == 0;
}

uint32_t searchSoft(SNodeInfo_t **out, SNodeCB_t *node, uint64_t *matchCount, uint64_t tag, uint64_t idLength,
                    const char *id, uint64_t depth, uint64_t maxDepth) {
    return searchBelow(node, depth, maxDepth, [&](const DepEntry &entry) {
        if (!softMatch(entry, tag, idLength, id)) return false;
        *out = entry.info;
        *matchCount = 1;
        return true;
    });
}

uint32_t searchByTag(SNodeInfo_t **results, SNodeCB_t *node, uint64_t tag, uint64_t maxResults,
                     uint64_t depth, uint64_t maxDepth, uint64_t *stored, uint64_t *matches) {
    return searchBelow(node, depth, maxDepth, [&](const DepEntry &entry) {
        if (entry.tag == tag) {
            ++*matches;
            if (*stored < maxResults) results[(*stored)++] = entry.info;
        }
        return false;
    });
}

uint32_t findSoft(Trace &t, SNodeInfo_t **out, SNodeCB_t *start, uint64_t tag, uint64_t idLength,
                  const char *id, uint64_t maxDepth) {
    if (start == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (out == nullptr) return t.failWith(11, QUOR_RC_NULL_PARAMETER, 0);
    if (uint32_t rc = checkStart(t, start, QUOR_COND_MASK_ANY); rc != 0) return rc;
    if (tag > QUOR_MAX_TAG) return t.failWith(20, QUOR_RC_SIZE_TOO_LARGE, tag);
    if (idLength > QUOR_MAX_ID_SIZE) return t.failWith(30, QUOR_RC_ID_SIZE_TOO_LARGE, idLength);
    if (idLength != 0 && id == nullptr) return t.failWith(40, QUOR_RC_NULL_ID, idLength);
    if (maxDepth > QUOR_MAX_COUNT) return t.failWith(50, QUOR_RC_DEPTH_TOO_LARGE, maxDepth);
    uint64_t matches = 0;
    SNodeInfo_t *found = nullptr;
    if (uint32_t rc = searchSoft(&found, start, &matches, tag, idLength, id, 0, maxDepth); rc != 0)
        return t.fail(60, rc);
    if (matches == 0) return t.fail(70, QUOR_RC_NODE_NOT_FOUND);
    *out = found;
    return QUOR_RC_OK;
}

uint32_t findByTag(Trace &t, SNodeCB_t *start, uint64_t tag, uint64_t maxDepth, uint64_t maxResults,
                   SNodeInfo_t **results, uint64_t *storedOut, uint64_t *matchesOut) {
    if (start == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (storedOut == nullptr) return t.failWith(20, QUOR_RC_NULL_STORED_COUNT_OUTPUT, 0);
    if (matchesOut == nullptr) return t.failWith(30, QUOR_RC_NULL_MATCH_COUNT_OUTPUT, 0);
    if (results == nullptr) return t.failWith(35, QUOR_RC_NULL_PARAMETER, 0);
    if (uint32_t rc = checkStart(t, start, QUOR_COND_MASK_NOT_ABANDONED); rc != 0) return rc;
    if (tag > QUOR_MAX_TAG) return t.failWith(40, QUOR_RC_SIZE_TOO_LARGE, tag);
    if (maxDepth > QUOR_MAX_COUNT) return t.failWith(50, QUOR_RC_DEPTH_TOO_LARGE, maxDepth);
    if (maxResults == 0 || maxResults > QUOR_MAX_SEARCH_RESULTS)
        return t.failWith(60, QUOR_RC_BAD_MAX_RESULTS, maxResults);
    *storedOut = *matchesOut = 0;
    const uint32_t rc = searchByTag(results, start, tag, maxResults, 0, maxDepth, storedOut, matchesOut);
    if (*matchesOut == 0) return t.fail(70, QUOR_RC_NODE_NOT_FOUND);
    return rc != 0 ? t.fail(80, rc) : rc;
}

// ---- the hard search ----

// One path step against one entry: the child is attached and must be usable,
// the step's and the entry's ID lengths must fit the list the entry lies in
// (`listBound`; the exported single step, which knows no list, takes the
// child's own list), and the entry must match the step. QUOR_RC_NO_MATCH goes
// on to the next entry.
//
// Every entry scanned is attached and checked, in this order, as the search
// has always done, so a broken or re-created sibling ends the search wherever
// it lies. Only an entry that matches the step takes the child's read section;
// the others have their condition read without it (locators.h), which gives
// the same outcome at a fraction of the cost of a latch per scanned entry.
uint32_t hardStep(const DepEntry &entry, SNodeCB_t **childOut, PExport **recordOut, uint64_t *hasListOut,
                  uint64_t tag, uint64_t idLength, const char *id, const uint64_t *listBound = nullptr) {
    // Lengths beyond any ID are refused below, once the child is checked.
    const bool matches = idLength <= QUOR_MAX_ID_SIZE && entry.idSize <= QUOR_MAX_ID_SIZE &&
                         softMatch(entry, tag, idLength, id);
    AttachedChild attached;
    uint32_t rc = attachChild(entry.info, false, nullptr, 0, &attached, matches, entry.tag);
    if (rc == QUOR_RC_NULL_NODE_INFO) return QUOR_RC_NO_MATCH;
    if (rc == QUOR_RC_NODE_DISASSOCIATED) {
        if (recreating(attached.node)) return QUOR_RC_NODE_BEING_RECREATED;
        rc = QUOR_RC_OK;
    }
    if (refusedForCondition(rc)) return QUOR_RC_NO_MATCH;
    if (rc != 0) return rc;
    SNodeCB_t *child = attached.node;
    *childOut = child;
    *recordOut = directoryRecord(child, QUOR_KIND_DEPENDENTS);
    uint64_t bound = QUOR_MAX_ID_SIZE;
    *hasListOut = hasList(child) ? 1 : 0;
    if (listBound != nullptr) {
        bound = *listBound;
    } else if (*hasListOut != 0) {
        Area area;
        if (rc = listMaxIdSize(child, &area, &bound); rc != 0) return rc;
    }
    if (entry.tag > QUOR_MAX_TAG) return QUOR_RC_SIZE_TOO_LARGE;
    if (idLength > bound || entry.idSize > bound) return QUOR_RC_ID_SIZE_TOO_LARGE;
    return matches ? QUOR_RC_OK : QUOR_RC_NO_MATCH;
}

uint32_t findHard(Trace &t, SNodeInfo_t **out, SNodeCB_t *start, uint64_t pathLength,
                  const TraverseInfo_t *path, uint64_t maxDepth) {
    if (start == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (path == nullptr) return t.failWith(20, QUOR_RC_NULL_PATH, 0);
    if (out == nullptr) return t.failWith(21, QUOR_RC_NULL_PARAMETER, 0);
    if (uint32_t rc = checkStart(t, start, QUOR_COND_MASK_NOT_ABANDONED); rc != 0) return rc;
    if (maxDepth > QUOR_MAX_COUNT) return t.failWith(30, QUOR_RC_DEPTH_TOO_LARGE, maxDepth);
    if (pathLength != 0 && pathLength > maxDepth) return t.failWith(40, QUOR_RC_PATH_TOO_LONG, pathLength);
    PExport *record = nullptr;
    if (uint32_t rc = listRecord(start, &record); rc != 0) return t.fail(50, rc);
    if (pathLength == 0 || !hasList(start)) return t.fail(60, QUOR_RC_NODE_NOT_FOUND);
    SNodeCB_t *current = start;
    for (uint64_t i = 0; i < pathLength; ++i) {
        DepList list;
        if (uint32_t rc = openDependentList(current, &list); rc != 0) return t.fail(70, rc);
        const TraverseInfo_t &step = path[i];
        if (step.tag > QUOR_MAX_TAG) return t.failWith(80, QUOR_RC_SIZE_TOO_LARGE, step.tag);
        if (step.idLength < 0 || static_cast<uint64_t>(step.idLength) > QUOR_MAX_ID_SIZE)
            return t.failWith(90, QUOR_RC_ID_SIZE_TOO_LARGE, static_cast<uint64_t>(step.idLength));
        const auto idLength = static_cast<uint64_t>(step.idLength);
        if (idLength != 0 && step.id == nullptr) return t.failWith(100, QUOR_RC_NULL_ID, i);
        SNodeCB_t *next = nullptr;
        uint32_t stepRc = QUOR_RC_NO_MATCH;
        uint64_t hasChildren = 0;
        DepCursor cursor(list);
        const uint32_t rc = forEachEntry(cursor, [&](const DepEntry &entry) {
            SNodeCB_t *child = nullptr;
            PExport *childRecord = nullptr;
            stepRc = hardStep(entry, &child, &childRecord, &hasChildren, step.tag, idLength, step.id,
                              &list.maxIdSize);
            if (stepRc != 0 && stepRc != QUOR_RC_NO_MATCH && entry.moved()) stepRc = QUOR_RC_NO_MATCH;
            if (stepRc != 0) return stepRc == QUOR_RC_NO_MATCH;
            if (i + 1 == pathLength) *out = entry.info;
            next = child;
            return false;
        });
        if (rc != 0) return t.fail(110, rc);
        if (stepRc == QUOR_RC_NO_MATCH) return t.fail(120, QUOR_RC_NODE_NOT_FOUND);
        if (stepRc != 0) return t.fail(130, stepRc);
        if (i + 1 == pathLength) return QUOR_RC_OK;
        if (hasChildren == 0) return t.fail(140, QUOR_RC_NODE_NOT_FOUND);
        current = next;
    }
    return QUOR_RC_OK;
}

// ---- totals ----

struct TotalsFrame {
    SNodeCB_t *node;
    DepCursor cursor;
    uint64_t depth;
};

struct TotalsVisitor {
    using Frame = TotalsFrame;
    ShmSegInfo_t *tree;
    uint32_t options;
    uint64_t tag, maxDepth;
    TreeInfo_t *info;

    // Children are walked when the node has a list and lies above the depth
    // limit; the node itself is always counted.
    uint32_t open(SNodeCB_t *node, uint64_t depth, Frame *frame) const {
        *frame = TotalsFrame{node, DepCursor(), depth};
        if (node == nullptr) return QUOR_RC_NULL_PARAMETER;
        if (!hasList(node) || (maxDepth != 0 && depth >= maxDepth)) return QUOR_RC_OK;
        if (maxDepth != 0) frame->depth = depth + 1;
        PExport *record = nullptr;
        if (uint32_t rc = listRecord(node, &record); rc != 0) return rc;
        DepList list;
        if (uint32_t rc = openDependentList(node, &list); rc != 0) return rc;
        frame->cursor = DepCursor(list);
        return QUOR_RC_OK;
    }

    uint32_t child(Frame &parent, const DepEntry &entry, Frame *next, ChildStep *step) {
        AttachedChild attached;
        const uint32_t rc = attachChild(entry.info, true, tree, options, &attached, true, entry.tag);
        if (rc != 0 && !refusedForCondition(rc)) return rc;
        if (attached.differs != 0 || attached.node == nullptr) return QUOR_RC_OK;
        if (uint32_t orc = open(attached.node, parent.depth, next); orc != 0) return orc;
        *step = ChildStep::Descend;
        return QUOR_RC_OK;
    }

    uint32_t leave(Frame &frame, bool) {
        const SNodeCB_t *node = frame.node;
        const uint32_t condition = node->NodeCondition;
        if (!validCondition(condition)) return QUOR_RC_BAD_NODE_CONDITION;
        const uint64_t size = node->nodeSize;
        info->bytesTotal += size;
        ++info->nodesTotal;
        switch (condition) {
            case QUOR_NODE_ACTIVE:
                info->bytesCondition3 += size, ++info->nodesCondition3;
                break;
            case QUOR_NODE_INITIALIZED:
                info->bytesCondition2 += size, ++info->nodesCondition2;
                break;
            case QUOR_NODE_CREATED:
                info->bytesCondition1 += size, ++info->nodesCondition1;
                break;
            case QUOR_NODE_DISASSOCIATED:
                info->bytesCondition5 += size, ++info->nodesCondition5;
                break;
            default:
                info->bytesCondition4 += size, ++info->nodesCondition4;
                break;
        }
        if (tag != 0 && tag == node->tag) ++info->nodesWithTag;
        return QUOR_RC_OK;
    }
};

uint32_t totals(SNodeCB_t *node, ShmSegInfo_t *tree, uint32_t options, uint64_t tag, uint64_t depth,
                uint64_t maxDepth, TreeInfo_t *info) {
    TotalsVisitor visitor{tree, options, tag, maxDepth, info};
    TotalsFrame root;
    if (uint32_t rc = visitor.open(node, depth, &root); rc != 0) return rc;
    return walkTree(root, visitor);
}

uint32_t getTreeInfo(Trace &t, SNodeCB_t *node, ShmSegInfo_t *segInfo, uint32_t options, uint64_t tag,
                     uint64_t maxDepth, TreeInfo_t *out) {
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (segInfo == nullptr) return t.failWith(20, QUOR_RC_NOT_ATTACHED, 0);
    if (out == nullptr) return t.failWith(30, QUOR_RC_NULL_TREE_INFO, 0);
    if (maxDepth > QUOR_MAX_COUNT) return t.failWith(40, QUOR_RC_DEPTH_TOO_LARGE, maxDepth);
    *out = TreeInfo_t{};
    if (uint32_t rc = totals(node, segInfo, options, tag, 1, maxDepth, out); rc != 0) return t.fail(50, rc);
    return QUOR_RC_OK;
}

// ---- path arrays ----

uint32_t releasePath(TraverseInfo_t **array, uint64_t count) {
    uint32_t rc = QUOR_RC_OK;
    for (uint64_t i = 0; *array != nullptr && i < count; ++i) {
        if ((*array)[i].id != nullptr) {
            if (rc = freePrivate(&(*array)[i].id, src::props); rc != 0) return rc;
        }
    }
    if (*array != nullptr) rc = freePrivate(array, src::props);
    return rc;
}

uint32_t createPath(Trace &t, TraverseInfo_t **arrayOut, const uint64_t *tags, const char **ids,
                    uint64_t maxIdSize, uint64_t count, const ShmSegInfo_t *segInfo) {
    if (arrayOut == nullptr) return t.failWith(5, QUOR_RC_NULL_PARAMETER, 0);
    if (count == 0 || count > QUOR_MAX_TRAVERSE_COUNT)
        return t.failWith(10, QUOR_RC_BAD_TRAVERSE_COUNT, count);
    if (maxIdSize > QUOR_MAX_ID_SIZE) return t.failWith(20, QUOR_RC_MAX_ID_SIZE_TOO_LARGE, maxIdSize);
    if (tags == nullptr) return t.failWith(30, QUOR_RC_NULL_NUMBERS, 0);
    if (segInfo == nullptr) return t.failWith(35, QUOR_RC_NOT_ATTACHED, 0);
    if (segInfo->eyecatcher != QUOR_EYECATCHER)
        return t.failWith(40, QUOR_RC_BAD_EYECATCHER, segInfo->eyecatcher);
    TraverseInfo_t *array = nullptr;
    if (allocPrivate(&array, src::props, count) != 0) return t.fail(50, QUOR_RC_ID_ALLOC_FAILED);
    uint32_t rc = QUOR_RC_OK;
    uint64_t made = 0;
    for (; made < count && rc == 0; ++made) {
        const char *id = ids != nullptr ? ids[made] : nullptr;
        if (id == nullptr) {
            rc = t.failWith(60, QUOR_RC_NULL_ID_COMPONENT, made);
            break;
        }
        const uint64_t length = strnlen(id, QUOR_MAX_ID_SIZE + 1);
        if (length > QUOR_MAX_ID_SIZE) {
            rc = t.failWith(70, QUOR_RC_ID_SIZE_TOO_LARGE, made);
            break;
        }
        array[made].tag = static_cast<uint32_t>(tags[made]);
        array[made].idLength = static_cast<int32_t>(length);
        if (segInfo->eyecatcher != QUOR_EYECATCHER) {
            rc = t.failWith(80, QUOR_RC_BAD_EYECATCHER, segInfo->eyecatcher);
            break;
        }
        if (allocPrivate(&array[made].id, src::props, length != 0 ? length : 1) != 0) {
            rc = t.fail(90, QUOR_RC_ID_ALLOC_FAILED);
            break;
        }
        std::memcpy(array[made].id, id, length);
    }
    if (rc != 0) {
        (void)releasePath(&array, count);
        return rc;
    }
    *arrayOut = array;
    return QUOR_RC_OK;
}

uint32_t deletePath(Trace &t, TraverseInfo_t **arrayRef, uint64_t count, const ShmSegInfo_t *segInfo) {
    if (segInfo == nullptr) return t.failWith(10, QUOR_RC_NOT_ATTACHED, 0);
    if (segInfo->eyecatcher != QUOR_EYECATCHER)
        return t.failWith(20, QUOR_RC_BAD_EYECATCHER, segInfo->eyecatcher);
    if (arrayRef == nullptr) return t.failWith(30, QUOR_RC_NULL_PARAMETER, 0);
    if (uint32_t rc = releasePath(arrayRef, count); rc != 0) return t.fail(40, rc);
    return QUOR_RC_OK;
}

}  // namespace
}  // namespace quor::tree

using namespace quor;
using namespace quor::tree;

QUOR_EXPORT uint32_t quorFindNodeSoft(SNodeInfo_t **entryOut, SNodeCB_t *startNode, uint64_t tag,
                                      uint64_t idLength, const char *id, uint64_t maxDepth) {
    return traced(Fn::quorFindNodeSoft,
                  [&](Trace &t) { return findSoft(t, entryOut, startNode, tag, idLength, id, maxDepth); });
}

QUOR_EXPORT uint32_t quorFindNodesByTag(SNodeCB_t *startNode, uint64_t tag, uint64_t maxDepth,
                                        uint64_t maxResults, SNodeInfo_t **results, uint64_t *storedCountOut,
                                        uint64_t *matchCountOut) {
    return traced(Fn::quorFindNodesByTag, [&](Trace &t) {
        return findByTag(t, startNode, tag, maxDepth, maxResults, results, storedCountOut, matchCountOut);
    });
}

QUOR_EXPORT uint32_t quorFindNodeHard(SNodeInfo_t **entryOut, SNodeCB_t *startNode, uint64_t pathLength,
                                      TraverseInfo_t *path, uint64_t maxDepth) {
    return traced(Fn::quorFindNodeHard,
                  [&](Trace &t) { return findHard(t, entryOut, startNode, pathLength, path, maxDepth); });
}

QUOR_EXPORT uint32_t quorGetTreeInfo(SNodeCB_t *node, ShmSegInfo_t *segInfo, uint32_t options, uint64_t tag,
                                     uint64_t maxDepth, TreeInfo_t *treeInfoOut) {
    return traced(Fn::quorGetTreeInfo, [&](Trace &t) {
        return getTreeInfo(t, node, segInfo, options, tag, maxDepth, treeInfoOut);
    });
}

QUOR_EXPORT uint32_t quorSearchForNodeSoft(SNodeInfo_t **entryOut, SNodeCB_t *node, uint64_t *matchCountRef,
                                           uint64_t tag, uint64_t idLength, const char *id, uint64_t depth,
                                           uint64_t maxDepth) {
    return traced(Fn::quorSearchForNodeSoft, [&](Trace &t) {
        if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
        if (entryOut == nullptr) return t.failWith(20, QUOR_RC_NULL_PARAMETER, 0);
        if (matchCountRef == nullptr) return t.failWith(30, QUOR_RC_NULL_MATCH_COUNT_OUTPUT, 0);
        if (idLength != 0 && id == nullptr) return t.failWith(40, QUOR_RC_NULL_ID, idLength);
        const uint32_t rc = searchSoft(entryOut, node, matchCountRef, tag, idLength, id, depth, maxDepth);
        return rc != 0 ? t.fail(50, rc) : rc;
    });
}

QUOR_EXPORT uint32_t quorSearchForNodeByTag(SNodeInfo_t **results, SNodeCB_t *node, uint64_t tag,
                                            uint64_t maxResults, uint64_t depth, uint64_t maxDepth,
                                            uint64_t *storedCountRef, uint64_t *matchCountRef) {
    return traced(Fn::quorSearchForNodeByTag, [&](Trace &t) {
        if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
        if (results == nullptr) return t.failWith(20, QUOR_RC_NULL_PARAMETER, 0);
        if (storedCountRef == nullptr) return t.failWith(30, QUOR_RC_NULL_STORED_COUNT_OUTPUT, 0);
        if (matchCountRef == nullptr) return t.failWith(40, QUOR_RC_NULL_MATCH_COUNT_OUTPUT, 0);
        const uint32_t rc =
            searchByTag(results, node, tag, maxResults, depth, maxDepth, storedCountRef, matchCountRef);
        return rc != 0 ? t.fail(50, rc) : rc;
    });
}

QUOR_EXPORT uint32_t quorSearchForNodeHard(SNodeInfo_t *entry, SNodeCB_t **nodeOut, PExport **pExportOut,
                                           uint64_t *hasListOut, uint64_t tag, uint64_t idLength,
                                           const char *id) {
    return traced(Fn::quorSearchForNodeHard, [&](Trace &t) {
        if (entry == nullptr) return t.failWith(10, QUOR_RC_NULL_NODE_INFO, 0);
        if (nodeOut == nullptr || pExportOut == nullptr || hasListOut == nullptr)
            return t.failWith(20, QUOR_RC_NULL_PARAMETER, 0);
        if (idLength != 0 && id == nullptr) return t.failWith(30, QUOR_RC_NULL_ID, idLength);
        // The ID bytes follow the locator; they are read only once the lengths
        // passed their bounds.
        const DepEntry probe{entry, entry->tag, entry->idSize, reinterpret_cast<const char *>(entry + 1)};
        const uint32_t rc = hardStep(probe, nodeOut, pExportOut, hasListOut, tag, idLength, id);
        return rc != 0 ? t.fail(40, rc) : rc;
    });
}

QUOR_EXPORT uint32_t quorGetTreeInfoRecursively(SNodeCB_t *node, ShmSegInfo_t *nodeSegInfo,
                                                ShmSegInfo_t *treeSegInfo, void *reserved, uint32_t options,
                                                uint64_t tag, uint64_t depth, uint64_t maxDepth,
                                                TreeInfo_t *treeInfo) {
    (void)nodeSegInfo;
    (void)reserved;
    return traced(Fn::quorGetTreeInfoRecursively, [&](Trace &t) {
        if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
        if (treeSegInfo == nullptr) return t.failWith(20, QUOR_RC_NOT_ATTACHED, 0);
        if (treeInfo == nullptr) return t.failWith(30, QUOR_RC_NULL_TREE_INFO, 0);
        const uint32_t rc = totals(node, treeSegInfo, options, tag, depth, maxDepth, treeInfo);
        return rc != 0 ? t.fail(40, rc) : rc;
    });
}

QUOR_EXPORT uint32_t quorCreateTraverseInfoArray(TraverseInfo_t **arrayOut, const uint64_t *tags,
                                                 const char **ids, uint64_t maxIdSize, uint64_t count,
                                                 ShmSegInfo_t *segInfo) {
    return traced(Fn::quorCreateTraverseInfoArray,
                  [&](Trace &t) { return createPath(t, arrayOut, tags, ids, maxIdSize, count, segInfo); });
}

QUOR_EXPORT uint32_t quorDeleteTraverseInfoArray(TraverseInfo_t **arrayRef, uint64_t count,
                                                 ShmSegInfo_t *segInfo) {
    return traced(Fn::quorDeleteTraverseInfoArray,
                  [&](Trace &t) { return deletePath(t, arrayRef, count, segInfo); });
}
