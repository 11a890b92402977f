// Locator translation and attach as other operations of the tree run them.
#pragma once

#include <cstdint>

#include "quor/quor.h"

namespace quor::tree {

// What an attach through a locator found.
struct AttachedChild {
    SNodeCB_t *node = nullptr;
    ShmSegInfo_t *segInfo = nullptr;
    uint32_t differs = 0;  // the node lies in another segment than the reference's
};

// The attach a walk makes for one dependent entry: quorAttachToNode (withSegInfo
// false) or quorAttachToNodeAndGetSegInfo, with that operation's checks and trace
// records. Two things differ, because a walk goes on with children that are not
// active: a child refused only for its condition is handed out together with the
// condition's code, and the segment attached for it stays attached as for an
// active child; and a child of another segment that this process has not
// attached (option bit 0x40) is handed out as node null, differs 1, and nothing
// is checked, since there is no node in hand to check.
//
// Without `latched`, the node's condition is read without entering its read
// section: the model and latch block are checked as the section would, then
// the condition word is read once. Every writer changes that word with one
// store inside its write section, so the value read is one the section would
// have shown; only a failure of the latch itself cannot be seen. The hard
// search checks the entries that do not match its path step this way.
//
// A walk passes the tag its scan read (`seenTag`): the node must carry that
// tag. The entry's own tag is not read again, since a writer may clear it
// meanwhile; such an entry is a child being moved, not a stale one.
uint32_t attachChild(const SNodeInfo_t *info, bool withSegInfo, ShmSegInfo_t *reference, uint32_t options,
                     AttachedChild *out, bool latched = true, uint64_t seenTag = 0);

// quorGetControlBlockPtrFromSNodeInfo: the node a locator names in a segment
// this process has attached, and optionally this process's record of that
// segment; nothing is attached.
uint32_t resolveLocator(const SNodeInfo_t *info, SNodeCB_t **node, ShmSegInfo_t **record = nullptr);

// quorAddStatusNodeInfo: a locator of the node at nodeOffset of `descriptor`'s
// segment, to be stored in segInfo's segment (whose lists receive the
// descriptor and the module record).
uint32_t addStatusNodeInfo(SNodeInfo_t *info, ShmSegInfo_t *segInfo, const ShmSegInfo_t *descriptor,
                           uint64_t nodeOffset, uint64_t tag, uint64_t idSize, const RMXPathRec_t *rmxPath);

}  // namespace quor::tree
