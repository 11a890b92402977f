// The shared records of the status tree, pinned field by field.
//
// Every process that attaches a status segment reads these records, so their
// layouts are formats: a change to any offset or size below breaks every peer
// that maps the same segment. The public header declares them; this file is
// where the compiler holds them to their formats.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quor/host.h"
#include "quor/quor.h"

namespace quor::tree {

// ---- ShmSegInfo_t: private, but its head is shared with AttachSegInfo ----
static_assert(offsetof(ShmSegInfo_t, eyecatcher) == 0x000);
static_assert(offsetof(ShmSegInfo_t, key1) == 0x004);
static_assert(offsetof(ShmSegInfo_t, key2) == 0x008);
static_assert(offsetof(ShmSegInfo_t, kind) == 0x00C);
static_assert(offsetof(ShmSegInfo_t, segName) == 0x010);
static_assert(offsetof(ShmSegInfo_t, segName) + offsetof(IpcResId, name) == 0x018);
static_assert(sizeof(IpcResId) == 272);
static_assert(offsetof(ShmSegInfo_t, attached) == 0x120);
static_assert(offsetof(ShmSegInfo_t, domainHandle) == 0x128);
static_assert(offsetof(ShmSegInfo_t, poolHandle) == 0x130);
static_assert(sizeof(ShmSegInfo_t) == QUOR_SEG_INFO_SIZE && QUOR_SEG_INFO_SIZE == 328);

// ---- SNodeInfo_t: the locator, private or shared ----
static_assert(offsetof(SNodeInfo_t, nodeOffset) == 0x00);
static_assert(offsetof(SNodeInfo_t, tag) == 0x08);
static_assert(offsetof(SNodeInfo_t, idSize) == 0x10);
static_assert(offsetof(SNodeInfo_t, selfDisplacement) == 0x18);
static_assert(offsetof(SNodeInfo_t, segDescOffset) == 0x20);
static_assert(offsetof(SNodeInfo_t, rmxPathOffset) == 0x28);
static_assert(offsetof(SNodeInfo_t, segBase) == 0x30);
static_assert(sizeof(SNodeInfo_t) == 56);

// ---- NodeLatchBlock_t ----
static_assert(offsetof(NodeLatchBlock_t, latchEyecatcher) == 0x000);
static_assert(offsetof(NodeLatchBlock_t, accessLatch) == 0x004);
static_assert(offsetof(NodeLatchBlock_t, spareAccessLatch) == 0x044);
static_assert(offsetof(NodeLatchBlock_t, writeCount) == 0x084);
static_assert(offsetof(NodeLatchBlock_t, writerActive) == 0x104);
static_assert(sizeof(NodeLatchBlock_t) == 388);
static_assert(QUOR_HOST_LATCH_SIZE >= HOST_LATCH_BYTES && QUOR_ATOMIC_SLOT_SIZE >= HOST_ATOMIC_SLOT_BYTES);

// ---- PExport ----
static_assert(offsetof(PExport, areaSize) == 0);
static_assert(offsetof(PExport, usedSize) == 8);
static_assert(offsetof(PExport, areaOffset) == 16);
static_assert(sizeof(PExport) == 24);

// ---- SNodeCB_t ----
static_assert(offsetof(SNodeCB_t, optionFlags) == 0x000);
static_assert(offsetof(SNodeCB_t, optionWord1) == 0x004);
static_assert(offsetof(SNodeCB_t, optionWord2) == 0x008);
static_assert(offsetof(SNodeCB_t, tag) == 0x010);
static_assert(offsetof(SNodeCB_t, selfOffset) == 0x018);
static_assert(offsetof(SNodeCB_t, nodeSize) == 0x020);
static_assert(offsetof(SNodeCB_t, areaFlags) == 0x028);
static_assert(offsetof(SNodeCB_t, magic) == 0x030);
static_assert(offsetof(SNodeCB_t, updateMode) == 0x038);
static_assert(offsetof(SNodeCB_t, NodeCondition) == 0x03C);
static_assert(offsetof(SNodeCB_t, interval1) == 0x040);
static_assert(offsetof(SNodeCB_t, updateInterval) == 0x044);
static_assert(offsetof(SNodeCB_t, lastUpdate) == 0x048);
static_assert(offsetof(SNodeCB_t, ReconfigCounter) == 0x050);
static_assert(offsetof(SNodeCB_t, updateCounter) == 0x0D0);
static_assert(offsetof(SNodeCB_t, spareCounter1) == 0x150);
static_assert(offsetof(SNodeCB_t, spareCounter2) == 0x1D0);
static_assert(offsetof(SNodeCB_t, nodeLatch) == QUOR_NODE_LATCH_OFFSET && QUOR_NODE_LATCH_OFFSET == 0x250);
static_assert(offsetof(SNodeCB_t, spareLatch) == 0x3D4);
static_assert(offsetof(SNodeCB_t, concurrencyModel) == 0x558);
static_assert(offsetof(SNodeCB_t, areaDirectory) == QUOR_AREA_DIRECTORY_OFFSET &&
              QUOR_AREA_DIRECTORY_OFFSET == 0x560);
static_assert(sizeof(SNodeCB_t) == QUOR_NODE_CB_SIZE && QUOR_NODE_CB_SIZE == 0xB60);

// ---- SNodeWatcher_t: private to a reader, but its fields sit where peers put them ----
static_assert(offsetof(SNodeWatcher_t, watchMode) == 0x08);
static_assert(offsetof(SNodeWatcher_t, lastTimeSeen) == 0x18);
static_assert(offsetof(SNodeWatcher_t, lastCounterSeen) == 0xA0);

// ---- Node conditions ----
inline constexpr uint32_t kConditionLimit = QUOR_NODE_DISASSOCIATED;  // valid: 1..5

inline constexpr bool validCondition(uint32_t condition) {
    return condition >= QUOR_NODE_CREATED && condition <= kConditionLimit;
}

// The code a condition check gives when its mask does not accept `condition`.
inline constexpr uint32_t conditionRefusal(uint32_t condition) {
    switch (condition) {
        case QUOR_NODE_CREATED:
            return QUOR_RC_NODE_NOT_INITIALIZED;
        case QUOR_NODE_INITIALIZED:
            return QUOR_RC_NODE_NOT_ACTIVE;
        case QUOR_NODE_ABANDONED:
            return QUOR_RC_NODE_ABANDONED;
        case QUOR_NODE_DISASSOCIATED:
            return QUOR_RC_NODE_DISASSOCIATED;
        default:
            return QUOR_RC_BAD_NODE_CONDITION;
    }
}

// The check of a condition against a mask whose bit (1 << c) accepts condition
// c; an active node always passes. Callers hold the node's section.
inline constexpr uint32_t checkCondition(uint32_t condition, uint32_t mask) {
    if (!validCondition(condition)) return QUOR_RC_BAD_NODE_CONDITION;
    if (condition == QUOR_NODE_ACTIVE || (mask & (1u << condition)) != 0) return QUOR_RC_OK;
    return conditionRefusal(condition);
}

// The code an update or a watch gives on a node that is not active.
inline constexpr uint32_t updateRefusal(uint32_t condition) {
    switch (condition) {
        case QUOR_NODE_CREATED:
            return QUOR_RC_UPDATE_ON_CREATED_NODE;
        case QUOR_NODE_INITIALIZED:
            return QUOR_RC_UPDATE_ON_INACTIVE_NODE;
        case QUOR_NODE_ABANDONED:
            return QUOR_RC_UPDATE_ON_ABANDONED_NODE;
        case QUOR_NODE_DISASSOCIATED:
            return QUOR_RC_UPDATE_ON_DISASSOCIATED_NODE;
        default:
            return QUOR_RC_BAD_NODE_CONDITION;
    }
}

// Segment names (8 bytes into the identifiers) compared as unsigned bytes:
// -1, 0 or +1. The attach registry and the segment lists order by this.
int64_t compareSegmentNames(const IpcResId &a, const IpcResId &b);

// Concurrency models 0..5 are accepted; only the latched one takes latches.
inline constexpr uint32_t kModelLimit = QUOR_CONCURRENCY_MODEL_MAX + 1;

}  // namespace quor::tree
