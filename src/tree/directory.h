// The area directory of a node, and the one rule by which every operation finds
// and bounds an area.
//
// A node is a control block (SNodeCB_t, 0xB60 bytes) followed by its areas. The
// control block holds 64 PExport records {areaSize, usedSize, areaOffset}; record
// b-1 describes the area of the kind whose bit number is b (1..12). Offsets are
// from the start of the node, so a node stays valid wherever it is mapped or
// copied.
//
// Everything in a directory record is read from shared memory and is untrusted.
// The rules below are the only place where the library turns a record into
// addresses:
//
//   1. areaBitNumber(kind) names the record: bit 1 (value 0x2) first, else the
//      lowest set bit from bit 2 upward, searched modulo 32, so value 1 counts as
//      bit 32. Bit numbers above 12 select no record.
//   2. checkRecord(record) gives the record's verdict, in this order:
//      QUOR_RC_AREA_ABSENT (offset 0), QUOR_RC_AREA_OVERFULL (used above size,
//      when anything is used), QUOR_RC_AREA_SIZE_OUT_OF_RANGE (size above
//      0x4000000).
//   3. Area::contains(address) is the location rule: an address L inside an
//      area satisfies areaOffset <= L - node <= areaOffset + areaSize, both ends
//      included (an address one past the last byte is where an append goes).
//      Each caller returns its own code when the rule fails.
//   4. Area::at<T>(offsetInArea, count) is how an area's contents are reached:
//      it hands out a typed pointer only when the whole run of records lies
//      inside the area, and openArea has already checked that the area lies
//      inside the node as its nodeSize describes it. A null result is the
//      caller's "outside the area" failure.
//
// Thread safety: none of these take a lock. The record and the area can change
// under a caller that does not hold the node's critical section (access.h);
// callers that use what they found hold the section for as long as they use it.
#pragma once

#include <bit>
#include <cstdint>

#include "frame/region.h"
#include "quor/quor.h"

namespace quor::tree {

// Bit number of an area kind (1..32), or 0 when the kind has no bit in its low
// 32 bits. A kind with several bits set selects its lowest (bit 1 first).
// Inline, like the rest of the lookup: every property operation opens an area,
// and with the kind a constant the lookup folds to one directory slot.
inline unsigned areaBitNumber(uint64_t kind) {
    auto low = static_cast<uint32_t>(kind);
    if ((low & 0x2u) != 0) return 1;
    if (uint32_t upper = low & ~0x3u; upper != 0) return static_cast<unsigned>(std::countr_zero(upper));
    return (low & 0x1u) != 0 ? 32 : 0;
}

// The node's directory record for `kind`, or null when the kind selects no
// record 0..11 (QUOR_RC_BAD_PROPERTY_KIND). Requires: node is not null.
inline PExport *directoryRecord(SNodeCB_t *node, uint64_t kind) {
    unsigned bit = areaBitNumber(kind);
    if (bit == 0 || bit > QUOR_AREA_KIND_COUNT) return nullptr;
    return &node->areaDirectory[bit - 1];
}

// Whether the node was made with an area of `kind`. Node creation gives every
// record an offset, so a kind left out shows as an area of no bytes, not only
// as offset 0. Requires: node is not null.
inline bool hasArea(SNodeCB_t *node, uint64_t kind) {
    const PExport *record = directoryRecord(node, kind);
    return record != nullptr && record->areaOffset != 0 && record->areaSize != 0;
}

// The checks of a directory record, in their documented order; 0 when the
// record describes a usable area.
inline uint32_t checkRecord(const PExport &record) {
    if (record.areaOffset == 0) return QUOR_RC_AREA_ABSENT;
    if (record.usedSize != 0 && record.areaSize < record.usedSize) return QUOR_RC_AREA_OVERFULL;
    if (record.areaSize > QUOR_AREA_MAX_SIZE) return QUOR_RC_AREA_SIZE_OUT_OF_RANGE;
    return QUOR_RC_OK;
}

// A checked snapshot of one area of one node.
class Area {
public:
    Area() = default;

    SNodeCB_t *node() const { return node_; }
    PExport *record() const { return record_; }
    uint64_t offset() const { return offset_; }  // from the start of the node
    uint64_t size() const { return size_; }
    unsigned char *begin() const { return reinterpret_cast<unsigned char *>(node_) + offset_; }

    // The location rule (both ends included).
    bool contains(const void *address) const {
        uint64_t ignored = 0;
        return offsetOf(address, &ignored);
    }
    // The offset of `address` from the area's start when it obeys the location
    // rule.
    bool offsetOf(const void *address, uint64_t *offsetInArea) const {
        if (node_ == nullptr) return false;
        auto at = reinterpret_cast<uintptr_t>(address), start = reinterpret_cast<uintptr_t>(begin());
        if (at < start || at - start > size_) return false;
        *offsetInArea = at - start;
        return true;
    }

    // `count` records of type T starting `offsetInArea` bytes into the area, or
    // null when they would not lie wholly inside it (or are misaligned).
    template <class T>
    T *at(uint64_t offsetInArea, uint64_t count = 1) const {
        return Region(begin(), size_).at<T>(offsetInArea, count);
    }

private:
    friend uint32_t openArea(SNodeCB_t *node, uint64_t kind, Area *area);
    Area(SNodeCB_t *node, PExport *record, uint64_t offset, uint64_t size)
        : node_(node), record_(record), offset_(offset), size_(size) {}
    SNodeCB_t *node_ = nullptr;
    PExport *record_ = nullptr;
    uint64_t offset_ = 0;
    uint64_t size_ = 0;
};

// Finds, checks and snapshots the area of `kind`: the record checks of
// checkRecord, then that the area lies behind the control block and inside the
// node's recorded size (QUOR_RC_AREA_SIZE_OUT_OF_RANGE otherwise), so that
// Area::at can never leave the node. On failure *area is left empty.
// Requires: node and area are not null. Returns 0, QUOR_RC_BAD_PROPERTY_KIND or
// a record check's code.
inline uint32_t openArea(SNodeCB_t *node, uint64_t kind, Area *area) {
    PExport *record = directoryRecord(node, kind);
    if (record == nullptr) [[unlikely]] {
        *area = Area();
        return QUOR_RC_BAD_PROPERTY_KIND;
    }
    // One read of each word: a peer may be rewriting the record.
    const PExport snapshot = *record;
    uint32_t rc = checkRecord(snapshot);
    const uint64_t nodeSize = node->nodeSize;
    if (rc == 0 && (nodeSize > QUOR_NODE_MAX_SIZE || snapshot.areaOffset < QUOR_NODE_CB_SIZE ||
                    snapshot.areaOffset > nodeSize || snapshot.areaSize > nodeSize - snapshot.areaOffset)) {
        rc = QUOR_RC_AREA_SIZE_OUT_OF_RANGE;
    }
    // Stored once, on a branch: a view cleared and then filled would be stored
    // twice, and one chosen between the two without a branch could not be stored
    // (nor read back) before every check above had its answer.
    if (rc != 0) [[unlikely]] {
        *area = Area();
        return rc;
    }
    *area = Area(node, record, snapshot.areaOffset, snapshot.areaSize);
    return QUOR_RC_OK;
}

// openArea for operations whose steps include the directory lookup of
// quorGetPExportPointer: the same checks, with that operation's trace records
// (a null node is refused with QUOR_RC_NULL_PARAMETER).
uint32_t lookUpArea(SNodeCB_t *node, uint64_t kind, Area *area);

// What a tool that reads nodes it did not make checks before it trusts one: the
// magic (QUOR_RC_HEAP_CORRUPT), a size that covers the control block and lies
// wholly inside a segment this process has attached (QUOR_RC_BAD_NODE_SIZE),
// and every area the node's flags claim (openArea's codes). *kindOut (may be
// null) receives the kind of the first area refused. Reads the node without its
// section: a node being changed may be refused and should be read again.
uint32_t checkNodeBytes(SNodeCB_t *node, uint64_t *kindOut = nullptr);

}  // namespace quor::tree
