// The dependent-node list of a node, and the one way every operation and walk
// reads it.
//
// The list is the area of kind 0x800: a u64 maximum ID size M (a multiple of 8,
// at most 0x1000), then entries of E = 56 + M bytes, each a locator followed by
// room for M ID bytes. An entry whose tag is 0 is a hole left by a deletion.
//
// Rules:
//   1. The number of dependents is (usedSize - 8) / E and counts occupied
//      entries only; holes may lie anywhere, so a scan walks slots in address
//      order and skips holes without counting them.
//   2. A scan ends at the end of the area or at the first slot that was never
//      used: one whose tag is above the largest tag (and a reader's scan of a
//      list that counted no entry ends at once: see DepCursor). Formatting a list writes
//      an all-ones tag into every slot behind its entries, and adds fill the
//      first hole or else that first unused slot, so the used slots are always
//      a prefix of the area. A scan never stops on the count: the count read
//      when a scan starts may be stale by the time it reaches a slot.
//   3. Every slot a scan reaches must lie wholly inside the area
//      (QUOR_RC_LOCATION_OUT_OF_AREA), and every occupied entry's ID bytes too
//      (QUOR_RC_ID_OUT_OF_AREA): a corrupt M or idSize ends the scan with a
//      code, never outside the node.
//   4. Writers publish last and unpublish first: an add writes the entry, then
//      its tag, then raises usedSize; a delete clears the tag, then lowers
//      usedSize. A reader that sees a tag sees the rest of the entry written;
//      a writer killed between two of these steps leaves a count off by one
//      and slots that are each whole, which every scan reads soundly.
//   5. The walks read lists without holding the node's section; a list changed
//      meanwhile is seen entry by entry as found, within rule 3. A walk may
//      miss or see an entry being added, deleted or replaced, but never misses
//      one that nobody touched (entries never move), and never reads a slot
//      that was not written as a whole entry or a hole.
//   6. A list whose usedSize is below 8 was never formatted (its area is only
//      reserved) and reads as an empty list with M 0.
//   7. Operations that already hold the exact entry (a walk deleting a child, a
//      copy or a re-creation) act on that slot, never on the first entry a
//      probe matches: a probe without an ID matches any sibling with its tag.
#pragma once

#include <cstdint>

#include "tree/directory.h"

namespace quor::tree {

inline constexpr uint64_t kLocatorSize = sizeof(SNodeInfo_t);

// A snapshot of a node's list: its area, M, entry size and numbers.
struct DepList {
    Area area;
    uint64_t maxIdSize = 0;  // M
    uint64_t entrySize = kLocatorSize;
    uint64_t count = 0;     // occupied entries recorded
    uint64_t capacity = 0;  // entries the area holds

    uint64_t *header() const { return area.at<uint64_t>(0); }
    // The slot `index` (0-based) when it lies wholly inside the area.
    SNodeInfo_t *slot(uint64_t index) const;
    // The index of `slot` when it lies on the list's slot lattice inside the area.
    bool indexOf(const SNodeInfo_t *slot, uint64_t *index) const;
};

// The tag of a slot that no entry has used yet (rule 2).
inline constexpr uint64_t kUnusedSlotTag = ~uint64_t{0};
inline bool unusedSlotTag(uint64_t tag) { return tag > QUOR_MAX_TAG; }

// The list's M alone, with the codes of openDependentList but the count's.
uint32_t listMaxIdSize(SNodeCB_t *node, Area *area, uint64_t *m);

// Opens the list: the area's own code, QUOR_RC_LOCATION_OUT_OF_AREA for an area
// too small for its header, QUOR_RC_BAD_STORED_MAX_ID_SIZE for M above 0x1000,
// QUOR_RC_TOO_MANY_DEPENDENTS for a count above 32768. M 0 gives 0 and 0.
uint32_t openDependentList(SNodeCB_t *node, DepList *list);

// One occupied entry as a scan saw it.
struct DepEntry {
    SNodeInfo_t *info = nullptr;
    uint64_t tag = 0;
    uint64_t idSize = 0;
    const char *id = nullptr;
    uint64_t nodeOffset = 0;

    // True when a writer has cleared or rewritten the entry since the scan
    // read it: a walk that failed on it met a child being moved.
    bool moved() const {
        return __atomic_load_n(&info->tag, __ATOMIC_ACQUIRE) != tag ||
               __atomic_load_n(&info->nodeOffset, __ATOMIC_RELAXED) != nodeOffset;
    }
};

// The scan of rule 1 and 2, one occupied entry at a time.
class DepCursor {
public:
    DepCursor() = default;
    // A cursor for readers visits nothing when the list counted no entry when
    // it was opened: every entry present then is being added, and a reader may
    // miss those. A writer, holding the section, scans the whole list
    // (wholeList), so that a count a dead writer left wrong cannot hide a slot.
    explicit DepCursor(const DepList &list) : list_(list) {}
    static DepCursor wholeList(const DepList &list) {
        DepCursor cursor(list);
        cursor.list_.count = ~uint64_t{0};  // never 0: the scan goes to the list's end
        return cursor;
    }

    // Sets *entry and returns 0 with *done false; at the end returns 0 with *done
    // true; a slot or ID outside the area returns its code.
    uint32_t next(DepEntry *entry, bool *done);

    // True when the list holds nothing to visit: no entry recorded, or every
    // slot already examined.
    bool exhausted() const { return list_.count == 0 || slot_ >= list_.capacity; }
    // The first hole passed so far, and, once the scan has ended, the first
    // slot never used (null when the used slots fill the area).
    SNodeInfo_t *firstHole() const { return firstHole_; }
    SNodeInfo_t *firstUnused() const { return slot_ < list_.capacity ? list_.slot(slot_) : nullptr; }
    // The occupied entries the scan has handed out.
    uint64_t seen() const { return seen_; }

private:
    DepList list_;
    uint64_t slot_ = 0, seen_ = 0;
    SNodeInfo_t *firstHole_ = nullptr;
};

// Runs `visit(entry)` on each occupied entry until it returns false; the scan's
// code, or 0.
template <class Visit>
uint32_t forEachEntry(DepCursor &cursor, Visit &&visit) {
    for (;;) {
        DepEntry entry;
        bool done = false;
        if (uint32_t rc = cursor.next(&entry, &done); rc != 0) return rc;
        if (done || !visit(entry)) return QUOR_RC_OK;
    }
}

// The match of a probe against an entry: equal tags and, when the probe carries
// an ID (length not 0), equal IDs.
bool entryMatches(const DepEntry &entry, uint64_t tag, const char *id, uint64_t idLength);

// The first occupied entry from the cursor on that matches the probe (null when
// none does); the scan's code.
uint32_t firstMatch(DepCursor &cursor, uint64_t tag, const char *id, uint64_t idLength, SNodeInfo_t **match);

// Copies a caller's locator and ID into an entry (or parent slot) of `node`: the
// caller's idSize receives `idLength`, the copy's selfDisplacement its own offset
// in the node's segment, and the tag is stored last. Requires `idBytes` to hold
// idLength bytes inside the node.
void storeLocator(SNodeCB_t *node, SNodeInfo_t *slot, char *idBytes, SNodeInfo_t *info, const char *id,
                  uint64_t idLength);

// quorCreateDependentNodeList and quorAddDependentNode as other operations run
// them: their checks, sections and trace records.
uint32_t createDependentList(SNodeCB_t *node, SNodeInfo_t *infos, const uint64_t *lengths, const char *ids,
                             uint64_t maxIdSize, uint64_t count, uint32_t inCriticalSection);
uint32_t addDependentNode(SNodeCB_t *node, SNodeInfo_t *info, const char *id, uint64_t idLength,
                          uint32_t mode, uint32_t inCriticalSection);

// Adds an entry without matching it against the others, into the first hole or
// else the first unused slot: a copy re-building a list whose entries are known
// to be distinct (two of them may carry the same tag, one without an ID).
// Traced as quorAddDependentNode.
uint32_t appendDependent(SNodeCB_t *node, SNodeInfo_t *info, const char *id, uint64_t idLength,
                         uint32_t inCriticalSection);

// The entry of `node`'s list that names `child`: `hint` itself when it is an
// occupied slot of that list naming the child, else the first entry with the
// child's tag whose locator resolves to it. QUOR_RC_DEPENDENT_NOT_FOUND when
// none does. Requires the node's section held, or a caller that only uses
// the result as a hint for removeEntry/replaceEntry.
uint32_t entryOf(SNodeCB_t *node, SNodeCB_t *child, const SNodeInfo_t *hint, SNodeInfo_t **slot);
// entryOf under the node's write section, with a copy of the entry found (the
// `expected` of removeEntry and replaceEntry).
uint32_t findEntryOf(SNodeCB_t *node, SNodeCB_t *child, const SNodeInfo_t *hint, SNodeInfo_t **slot,
                     SNodeInfo_t *copy);

// Removes, under the node's write section, the entry at `slot`, provided it
// still names the node `expected` names (same tag, node offset and segment
// descriptor). Traced as quorDeleteDependentNode.
uint32_t removeEntry(SNodeCB_t *node, SNodeInfo_t *slot, const SNodeInfo_t &expected);

// Overwrites, under the node's write section, the entry at `slot` (which must
// still name what `expected` names) with `info` and its ID. Traced as
// quorAddDependentNode.
uint32_t replaceEntry(SNodeCB_t *node, SNodeInfo_t *slot, const SNodeInfo_t &expected, SNodeInfo_t *info,
                      const char *id, uint64_t idLength);

// quorAddParentNode as other operations run it.
uint32_t addParentNode(SNodeCB_t *node, SNodeInfo_t *info, uint64_t idLength, const char *id);

// quorDeleteDependentNode as other operations run it: its checks, section and
// trace records.
uint32_t deleteDependent(SNodeCB_t *node, SNodeInfo_t *probe, const char *id, uint32_t inCriticalSection);

// quorFindDependentNode as other operations run it.
uint32_t findDependent(SNodeInfo_t **entryOut, SNodeCB_t *node, uint64_t tag, uint64_t idLength,
                       const char *id, uint32_t inCriticalSection);

// quorGetParentNodeLocation: the parent's locator inside the parent area.
uint32_t parentLocation(SNodeCB_t *node, SNodeInfo_t **parentInfo);

}  // namespace quor::tree
