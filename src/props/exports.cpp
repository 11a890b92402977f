// The areas a node has, and its export list: the capacities a process wants the
// node to have the next time it is copied.
#include <cstddef>
#include <iterator>

#include "frame/export.h"
#include "props/creation.h"
#include "props/reading.h"
#include "tree/access.h"
#include "tree/directory.h"
#include "tree/records.h"

namespace quor::props {
namespace {

using tree::Access;

static_assert(offsetof(ExportList_t, areaFlags) == 0 && offsetof(ExportList_t, entries) == 8);
static_assert(sizeof(ExportList_t) == 240 && QUOR_EXPORT_LIST_ENTRIES == 58);

// The limit code of each entry that a node copy reads.
constexpr uint32_t kEntryLimitCodes[] = {RKind::codes.tooMany, VKind::codes.tooMany, IRKind::codes.tooMany,
                                         IVKind::codes.tooMany, QUOR_RC_TOO_MANY_DEPENDENTS};
static_assert(QUOR_EXPORT_R_CAPACITY == 0 && QUOR_EXPORT_V_CAPACITY == 1 && QUOR_EXPORT_IR_CAPACITY == 2 &&
              QUOR_EXPORT_IV_CAPACITY == 3 && QUOR_EXPORT_DEPENDENTS == 4);

uint32_t returnExports(Trace &t, SNodeCB_t *node, uint64_t *out) {
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (out == nullptr) return t.failWith(11, QUOR_RC_NULL_EXPORTS_OUTPUT, 0);
    return tree::inSection(t, 30, node, Access::Read, 0, [&] {
        if (uint32_t rc = checkReadableCondition(t, node); rc != 0) return rc;
        *out = node->areaFlags;
        return QUOR_RC_OK;
    });
}

// Every check runs before the list is written; entries given as 0 keep what the
// list holds.
uint32_t exportChanges(Trace &t, SNodeCB_t *node, const uint32_t *changes) {
    if (node == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (changes == nullptr) return t.failWith(11, QUOR_RC_NULL_CHANGED_LIST, 0);
    if ((node->areaFlags & QUOR_KIND_EXPORT_LIST) == 0) return t.failWith(12, QUOR_RC_NO_EXPORT_AREA, 0);
    for (uint32_t i = 0; i < std::size(kEntryLimitCodes); ++i) {
        if (changes[i] > QUOR_MAX_COUNT) return t.failWith(20 + i, kEntryLimitCodes[i], changes[i]);
    }
    tree::Area area;
    if (uint32_t rc = tree::openArea(node, QUOR_KIND_EXPORT_LIST, &area); rc != 0) return t.fail(30, rc);
    // An area too small for the list is no usable export list.
    ExportList_t *list = area.at<ExportList_t>(0);
    if (list == nullptr) return t.failWith(31, QUOR_RC_NO_EXPORT_AREA, area.size());
    return tree::inSection(t, 32, node, Access::Write, 0, [&] {
        if (uint32_t rc = tree::checkNodeCondition(node, QUOR_COND_MASK_ACCESSORS); rc != 0)
            return t.fail(40, rc);
        list->areaFlags = node->areaFlags;
        for (uint32_t i = 0; i < QUOR_EXPORT_LIST_ENTRIES; ++i) {
            if (changes[i] != 0) list->entries[i] = changes[i];
        }
        return QUOR_RC_OK;
    });
}

}  // namespace

uint32_t exportChangedProperties(SNodeCB_t *node, const uint32_t *changes) {
    return traced(Fn::quorExportListOfChangedProperties,
                  [&](Trace &t) { return exportChanges(t, node, changes); });
}

}  // namespace quor::props

using namespace quor;

QUOR_EXPORT uint32_t quorReturnExports(SNodeCB_t *node, uint64_t *areaFlagsOut) {
    return traced(Fn::quorReturnExports,
                  [&](Trace &t) { return props::returnExports(t, node, areaFlagsOut); });
}

QUOR_EXPORT uint32_t quorExportListOfChangedProperties(SNodeCB_t *node, void *, const uint32_t *changeList) {
    return props::exportChangedProperties(node, changeList);
}
