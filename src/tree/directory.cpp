// The node area directory: the exported record lookup and the internal rules
// every area operation shares.
#include "tree/directory.h"

#include "frame/export.h"
#include "frame/trace.h"
#include "tree/records.h"

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

}  // namespace quor::tree

using namespace quor;

QUOR_EXPORT uint32_t quorGetPExportPointer(PExport **pExport, SNodeCB_t *node, uint64_t kind) {
    return traced(Fn::quorGetPExportPointer, [&](Trace &t) {
        if (pExport == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
        if (node == nullptr) return t.failWith(20, QUOR_RC_NULL_PARAMETER, 0);
        PExport *record = tree::directoryRecord(node, kind);
        if (record == nullptr) return t.failWith(30, QUOR_RC_BAD_PROPERTY_KIND, kind);
        // The record's address goes out even when its checks fail: callers that
        // set an area up find the record this way.
        *pExport = record;
        if (uint32_t rc = tree::checkRecord(*record); rc != 0) return t.fail(40, rc);
        return QUOR_RC_OK;
    });
}
