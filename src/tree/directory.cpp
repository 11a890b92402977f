// The node area directory: the exported record lookup and the internal rules
// every area operation shares.
#include "tree/directory.h"

#include <bit>

#include "frame/export.h"
#include "frame/trace.h"
#include "tree/records.h"

namespace quor::tree {

unsigned areaBitNumber(uint64_t kind) {
    auto low = static_cast<uint32_t>(kind);
    if ((low & 0x2u) != 0) return 1;
    if (uint32_t upper = low & ~0x3u; upper != 0) return static_cast<unsigned>(std::countr_zero(upper));
    return (low & 0x1u) != 0 ? 32 : 0;
}

PExport *directoryRecord(SNodeCB_t *node, uint64_t kind) {
    unsigned bit = areaBitNumber(kind);
    if (bit == 0 || bit > QUOR_AREA_KIND_COUNT) return nullptr;
    return &node->areaDirectory[bit - 1];
}

uint32_t checkRecord(const PExport &record) {
    if (record.areaOffset == 0) return QUOR_RC_AREA_ABSENT;
    if (record.usedSize != 0 && record.areaSize < record.usedSize) return QUOR_RC_AREA_OVERFULL;
    if (record.areaSize > QUOR_AREA_MAX_SIZE) return QUOR_RC_AREA_SIZE_OUT_OF_RANGE;
    return QUOR_RC_OK;
}

bool Area::offsetOf(const void *address, uint64_t *offsetInArea) const {
    if (node_ == nullptr) return false;
    auto at = reinterpret_cast<uintptr_t>(address), start = reinterpret_cast<uintptr_t>(begin());
    if (at < start || at - start > size_) return false;
    *offsetInArea = at - start;
    return true;
}

bool Area::contains(const void *address) const {
    uint64_t ignored = 0;
    return offsetOf(address, &ignored);
}

uint32_t openArea(SNodeCB_t *node, uint64_t kind, Area *area) {
    *area = Area();
    PExport *record = directoryRecord(node, kind);
    if (record == nullptr) return QUOR_RC_BAD_PROPERTY_KIND;
    // One read of each word: a peer may be rewriting the record.
    const PExport snapshot = *record;
    if (uint32_t rc = checkRecord(snapshot); rc != 0) return rc;
    const uint64_t nodeSize = node->nodeSize;
    if (nodeSize > QUOR_NODE_MAX_SIZE || snapshot.areaOffset < QUOR_NODE_CB_SIZE ||
        snapshot.areaOffset > nodeSize || snapshot.areaSize > nodeSize - snapshot.areaOffset) {
        return QUOR_RC_AREA_SIZE_OUT_OF_RANGE;
    }
    area->node_ = node;
    area->record_ = record;
    area->offset_ = snapshot.areaOffset;
    area->size_ = snapshot.areaSize;
    return QUOR_RC_OK;
}

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
