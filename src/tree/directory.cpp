// The node area directory: the exported record lookup and the internal rules
// every area operation shares.
#include "tree/directory.h"

#include "frame/export.h"
#include "frame/trace.h"
#include "tree/records.h"
#include "tree/segments.h"

namespace quor::tree {

uint32_t lookUpArea(SNodeCB_t *node, uint64_t kind, Area *area) {
    return traced(Fn::quorGetPExportPointer, [&](Trace &t) {
        // The probes are those of the exported lookup's same tests.
        if (node == nullptr) return t.failWith(20, QUOR_RC_NULL_PARAMETER, 0);
        const uint32_t rc = openArea(node, kind, area);
        if (rc == QUOR_RC_BAD_PROPERTY_KIND) return t.failWith(30, rc, kind);
        if (rc != 0) return t.fail(40, rc);
        return QUOR_RC_OK;
    });
}

uint32_t checkNodeBytes(SNodeCB_t *node, uint64_t *kindOut) {
    if (node == nullptr) return QUOR_RC_NULL_PARAMETER;
    // The size is bounded by the mapping before anything behind the control
    // block is read.
    {
        RegistryLock lock;
        if (recordMappingLocked(node, QUOR_NODE_CB_SIZE) == nullptr) return QUOR_RC_BAD_NODE_SIZE;
        const uint64_t size = __atomic_load_n(&node->nodeSize, __ATOMIC_RELAXED);
        if (size < QUOR_NODE_CB_SIZE || size > QUOR_NODE_MAX_SIZE || recordMappingLocked(node, size) == nullptr)
            return QUOR_RC_BAD_NODE_SIZE;
    }
    if (node->magic != QUOR_NODE_MAGIC) return QUOR_RC_HEAP_CORRUPT;
    const uint64_t flags = node->areaFlags;
    for (uint64_t kind = QUOR_KIND_ID; kind <= QUOR_KIND_EXPORT_LIST; kind <<= 1) {
        if ((flags & kind) == 0) continue;
        Area area;
        if (uint32_t rc = openArea(node, kind, &area); rc != 0) {
            if (kindOut != nullptr) *kindOut = kind;
            return rc;
        }
    }
    return QUOR_RC_OK;
}

}  // namespace quor::tree

using namespace quor;

QUOR_EXPORT uint32_t quorGetPExportPointer(PExport **pExport, SNodeCB_t *node, uint64_t kind) {
    return traced(Fn::quorGetPExportPointer, [&](Trace &t) {
        if (pExport == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
        if (node == nullptr) return t.failWith(20, QUOR_RC_NULL_PARAMETER, 0);
        PExport *record = tree::directoryRecord(node, kind);
        if (record == nullptr) return t.failWith(30, QUOR_RC_BAD_PROPERTY_KIND, kind);
        // The record's address goes out even when its checks fail: callers that
        // set an area up find the record this way. Its verdict is the one every
        // area operation gets, so an area outside its node is refused here too.
        *pExport = record;
        tree::Area area;
        if (uint32_t rc = tree::openArea(node, kind, &area); rc != 0) return t.fail(40, rc);
        return QUOR_RC_OK;
    });
}
