// Dependent-node lists and parent areas.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "quor/quor.h"
#include "segment_fixture.h"
#include "test_node.h"
#include "tree_builder.h"

namespace quor::test {
namespace {

class DependentsTest : public SegmentTest {
protected:
    void SetUp() override {
        SegmentTest::SetUp();
        tree.seg = create("deps", 4 << 20);
        ASSERT_NE(tree.seg, nullptr);
        parent = tree.node(0x1, "parent", 3);
    }
    void TearDown() override {
        remove(tree.seg);
        SegmentTest::TearDown();
    }
    uint64_t count(SNodeCB_t *node) {
        uint64_t n = 0, max = 0;
        EXPECT_EQ(quorReturnNumberOfDependentNodes(node, &n, &max, 0), QUOR_RC_OK);
        return n;
    }
    PExport *listRecord(SNodeCB_t *node) {
        PExport *record = nullptr;
        EXPECT_EQ(quorGetPExportPointer(&record, node, QUOR_KIND_DEPENDENTS), QUOR_RC_OK);
        return record;
    }
    SNodeInfo_t *find(SNodeCB_t *node, uint64_t tag, const std::string &id) {
        SNodeInfo_t *entry = nullptr;
        EXPECT_EQ(quorFindDependentNode(&entry, node, tag, id.size(), id.data(), 0), QUOR_RC_OK);
        return entry;
    }
    int64_t reconfigurations(SNodeCB_t *node) {
        int64_t value = 0;
        EXPECT_EQ(quorGetNodeReconfigCounter(node, &value), QUOR_RC_OK);
        return value;
    }

    TreeBuilder tree;
    SNodeCB_t *parent = nullptr;
};

TEST_F(DependentsTest, DeletedSlotIsReusedAndEveryChangeIsCounted) {
    std::vector<SNodeCB_t *> kids;
    for (const char *id : {"a", "b", "c"}) {
        kids.push_back(tree.node(0x20, id));
        tree.link(parent, kids.back());
    }
    const uint64_t fullUse = listRecord(parent)->usedSize;
    EXPECT_EQ(fullUse, 8u + 3 * (56 + kMaxId));
    SNodeInfo_t *middle = find(parent, 0x20, "b");
    const int64_t before = reconfigurations(parent);

    SNodeInfo_t probe{};
    probe.tag = 0x20;
    probe.idSize = 1;
    ASSERT_EQ(quorDeleteDependentNode(parent, &probe, "b", 0), QUOR_RC_OK);
    EXPECT_EQ(count(parent), 2u);
    EXPECT_EQ(middle->tag, 0u);  // a hole, skipped by scans
    EXPECT_EQ(find(parent, 0x20, "c")->nodeOffset, tree.locator(kids[2]).nodeOffset);

    tree.link(parent, tree.node(0x21, "d"));
    EXPECT_EQ(count(parent), 3u);
    EXPECT_EQ(find(parent, 0x21, "d"), middle);
    EXPECT_EQ(listRecord(parent)->usedSize, fullUse);
    EXPECT_EQ(reconfigurations(parent), before + 2);
    // The list is full now: a fourth child has no room.
    SNodeInfo_t extra = tree.locator(kids[0]);
    EXPECT_EQ(quorAddDependentNode(parent, &extra, "e", 1, 0, 0), QUOR_RC_DEP_LIST_FULL);
}

TEST_F(DependentsTest, DuplicateRefusedReplaceOverwritesAndTagAloneMatchesFirst) {
    SNodeCB_t *a = tree.node(0x20, "a"), *b = tree.node(0x20, "b");
    tree.link(parent, a);
    tree.link(parent, b);
    SNodeInfo_t again = tree.locator(b);
    again.nodeOffset = tree.locator(a).nodeOffset;
    const int64_t before = reconfigurations(parent);
    EXPECT_EQ(quorAddDependentNode(parent, &again, "b", 1, 0, 0), QUOR_RC_DUPLICATE_DEPENDENT);
    EXPECT_EQ(find(parent, 0x20, "b")->nodeOffset, tree.locator(b).nodeOffset);
    EXPECT_EQ(reconfigurations(parent), before);

    ASSERT_EQ(quorAddDependentNode(parent, &again, "b", 1, QUOR_DEP_REPLACE, 0), QUOR_RC_OK);
    EXPECT_EQ(find(parent, 0x20, "b")->nodeOffset, tree.locator(a).nodeOffset);
    EXPECT_EQ(count(parent), 2u);
    EXPECT_EQ(reconfigurations(parent), before + 1);
    // The stored copy finds its segment from where it lies; the caller's stays.
    EXPECT_EQ(again.selfDisplacement, 0u);
    EXPECT_NE(find(parent, 0x20, "b")->selfDisplacement, 0u);

    SNodeInfo_t *first = nullptr;
    ASSERT_EQ(quorFindDependentNode(&first, parent, 0x20, 0, nullptr, 0), QUOR_RC_OK);
    EXPECT_EQ(entryId(first), "a");
}

TEST_F(DependentsTest, MaximumIdSizeIsRoundedAndEntriesFollowIt) {
    SNodeCB_t *node = tree.node(0x2, "m", 4);
    ASSERT_EQ(quorCreateDependentNodeList(node, nullptr, nullptr, nullptr, 13, 0, 0), QUOR_RC_OK);
    uint64_t m = 0, n = 0, max = 0;
    ASSERT_EQ(quorGetMaxIDSizeForDependentNode(node, QUOR_KIND_DEPENDENTS, &m), QUOR_RC_OK);
    EXPECT_EQ(m, 16u);
    SNodeInfo_t *entry = nullptr;
    ASSERT_EQ(quorGetDependentNodesLocation(node, &entry, &n, &max), QUOR_RC_OK);
    SNodeInfo_t *next = entry;
    ASSERT_EQ(quorGetNextDependentNodeLocation(node, listRecord(node), &next), QUOR_RC_OK);
    EXPECT_EQ(reinterpret_cast<char *>(next) - reinterpret_cast<char *>(entry), 72);
    EXPECT_EQ(max, 4u);
    EXPECT_EQ(quorGetMaxIDSizeForDependentNode(node, QUOR_KIND_ID, &m), QUOR_RC_BAD_PROPERTY_KIND);
}

TEST_F(DependentsTest, ListOfMaximumZeroIsEmptyAndLastDeletionClearsTheFlag) {
    SNodeCB_t *zero = tree.node(0x2, "z", 4);
    ASSERT_EQ(quorCreateDependentNodeList(zero, nullptr, nullptr, nullptr, 0, 0, 0), QUOR_RC_OK);
    uint64_t n = 9, max = 9;
    ASSERT_EQ(quorReturnNumberOfDependentNodes(zero, &n, &max, 0), QUOR_RC_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(max, 0u);
    SNodeInfo_t info = tree.locator(parent);
    EXPECT_EQ(quorAddDependentNode(zero, &info, nullptr, 0, 0, 0), QUOR_RC_DEP_LIST_FULL);

    SNodeCB_t *only = tree.node(0x20, "o");
    tree.link(parent, only);
    SNodeInfo_t probe{};
    probe.tag = 0x20;
    ASSERT_EQ(quorDeleteDependentNode(parent, &probe, nullptr, 0), QUOR_RC_OK);
    EXPECT_EQ(parent->areaFlags & QUOR_KIND_DEPENDENTS, 0u);
    uint64_t m = 1;
    ASSERT_EQ(quorGetMaxIDSizeForDependentNode(parent, QUOR_KIND_DEPENDENTS, &m), QUOR_RC_OK);
    EXPECT_EQ(m, 0u);
    SNodeInfo_t *entry = nullptr;
    EXPECT_EQ(quorFindDependentNode(&entry, parent, 0x20, 0, nullptr, 0), QUOR_RC_DEPENDENT_NOT_FOUND);
    EXPECT_EQ(quorDeleteDependentNode(parent, &probe, nullptr, 0), QUOR_RC_NO_DEPENDENTS);
}

TEST_F(DependentsTest, CreatedListHoldsTheGivenEntries) {
    SNodeCB_t *node = tree.node(0x2, "c", 4);
    std::array<SNodeInfo_t, 3> infos{tree.locator(parent), tree.locator(parent), tree.locator(parent)};
    infos[0].tag = 5, infos[1].tag = 6, infos[2].tag = 5;
    const std::array<uint64_t, 3> lengths{1, 2, 3};
    const char ids[] = "xyyzzz";
    const int64_t before = reconfigurations(node);
    ASSERT_EQ(quorCreateDependentNodeList(node, infos.data(), lengths.data(), ids, kMaxId, 3, 0), QUOR_RC_OK);
    EXPECT_EQ(count(node), 3u);
    EXPECT_EQ(infos[2].idSize, 3u);
    EXPECT_EQ(entryId(find(node, 5, "zzz")), "zzz");
    EXPECT_EQ(reconfigurations(node), before + 1);

    infos[2].tag = 6;
    const std::array<uint64_t, 3> same{1, 2, 2};
    EXPECT_EQ(quorCreateDependentNodeList(node, infos.data(), same.data(), "xyyyy", kMaxId, 3, 0),
              QUOR_RC_DUPLICATE_DEPENDENT);
    EXPECT_EQ(quorCreateDependentNodeList(node, infos.data(), lengths.data(), ids, kMaxId, 5, 0),
              QUOR_RC_DEP_LIST_FULL);
    EXPECT_EQ(count(node), 3u);  // refused lists leave the old one
}

TEST_F(DependentsTest, ReturnedCopiesResolveOnTheirOwn) {
    SNodeCB_t *wide = tree.node(0x3, "w", 5);
    std::vector<SNodeCB_t *> kids;
    for (int i = 0; i < 5; ++i) {
        kids.push_back(tree.node(0x30, numbered("k", i)));
        tree.link(wide, kids.back());
    }
    std::array<SNodeInfo_t, 2> copies{};
    std::array<char, 2 * kMaxId> ids{};
    uint64_t returned = 0, total = 0;
    ASSERT_EQ(quorReturnDependentNodes(wide, copies.data(), ids.data(), &returned, &total, 2, kMaxId, 0),
              QUOR_RC_OK);
    EXPECT_EQ(returned, 2u);
    EXPECT_EQ(total, 5u);
    EXPECT_EQ(std::string(ids.data() + kMaxId, 2), "k1");
    EXPECT_EQ(copies[1].selfDisplacement, 0u);
    EXPECT_EQ(copies[1].segBase, reinterpret_cast<uintptr_t>(tree.seg->domainHandle->base));
    SNodeCB_t *resolved = nullptr;
    ASSERT_EQ(quorGetControlBlockPtrFromSNodeInfo(&copies[1], &resolved), QUOR_RC_OK);
    EXPECT_EQ(resolved, kids[1]);

    EXPECT_EQ(quorReturnDependentNodes(wide, copies.data(), ids.data(), &returned, &total, 0, kMaxId, 0),
              QUOR_RC_TOO_MANY_DEPENDENTS);
    EXPECT_EQ(quorReturnDependentNodes(wide, copies.data(), ids.data(), &returned, &total, 2, kMaxId + 8, 0),
              QUOR_RC_ID_SLOT_TOO_LARGE);
    EXPECT_EQ(quorReturnDependentNodes(parent, copies.data(), ids.data(), &returned, &total, 2, kMaxId, 0),
              QUOR_RC_NO_DEPENDENTS);
}

TEST_F(DependentsTest, ParentAreaRecordsALocatorThatResolves) {
    SNodeInfo_t up = tree.locator(parent);
    SNodeCB_t *child = tree.node(0x40, "child", 2, QUOR_NODE_ACTIVE, &up, "parent");
    SNodeInfo_t *stored = nullptr;
    ASSERT_EQ(quorGetParentNodeLocation(child, &stored), QUOR_RC_OK);
    SNodeCB_t *resolved = nullptr;
    ASSERT_EQ(quorGetControlBlockPtrFromSNodeInfo(stored, &resolved), QUOR_RC_OK);
    EXPECT_EQ(resolved, parent);

    SNodeCB_t *other = tree.node(0x2, "other");
    SNodeInfo_t moved = tree.locator(other);
    ASSERT_EQ(quorAddParentNode(child, &moved, 5, "other"), QUOR_RC_OK);
    EXPECT_EQ(moved.idSize, 5u);
    uint64_t length = 0;
    char *id = nullptr;
    ASSERT_EQ(quorGetParentNodeIdentifier(child, &length, &id), QUOR_RC_OK);
    EXPECT_EQ(std::string(id, length), "other");
    ASSERT_EQ(quorGetControlBlockPtrFromSNodeInfo(stored, &resolved), QUOR_RC_OK);
    EXPECT_EQ(resolved, other);
    EXPECT_EQ(quorAddParentNode(child, &moved, kMaxId + 1, "x"), QUOR_RC_ID_SIZE_TOO_LARGE);
    EXPECT_EQ(quorAddParentNode(parent, &moved, 0, nullptr), QUOR_RC_NO_PARENT_AREA);
}

// Bad arguments and corrupt lists: each gives its code and leaves the list.
TEST_F(DependentsTest, BadInputAndCorruptListsGiveCodes) {
    SNodeCB_t *kid = tree.node(0x20, "a");
    tree.link(parent, kid);
    SNodeInfo_t info = tree.locator(kid);
    SNodeInfo_t *entry = nullptr;
    uint64_t n = 0, max = 0;
    EXPECT_EQ(quorAddDependentNode(nullptr, &info, nullptr, 0, 0, 0), QUOR_RC_NULL_PARAMETER);
    EXPECT_EQ(quorAddDependentNode(parent, nullptr, nullptr, 0, 0, 0), QUOR_RC_NULL_NODE_INFO);
    EXPECT_EQ(quorAddDependentNode(parent, &info, nullptr, 3, 0, 0), QUOR_RC_NULL_ID);
    EXPECT_EQ(quorAddDependentNode(parent, &info, "0123456789abcdefg", 17, 0, 0), QUOR_RC_ID_TOO_LONG);
    info.tag = QUOR_MAX_TAG + 1;
    EXPECT_EQ(quorAddDependentNode(parent, &info, "z", 1, 0, 0), QUOR_RC_SIZE_TOO_LARGE);
    EXPECT_EQ(quorFindDependentNode(nullptr, parent, 0x20, 0, nullptr, 0), QUOR_RC_NULL_NODE_INFO);
    EXPECT_EQ(quorReturnNumberOfDependentNodes(parent, nullptr, &max, 0), QUOR_RC_NULL_COUNT_OUTPUT);
    EXPECT_EQ(quorReturnNumberOfDependentNodes(parent, &n, nullptr, 0), QUOR_RC_NULL_CAPACITY_OUTPUT);
    EXPECT_EQ(quorCreateDependentNodeList(parent, nullptr, nullptr, nullptr, 4097, 0, 0),
              QUOR_RC_MAX_ID_SIZE_TOO_LARGE);
    EXPECT_EQ(quorCreateDependentNodeList(parent, nullptr, nullptr, nullptr, 8, 32769, 0),
              QUOR_RC_TOO_MANY_DEPENDENTS);
    EXPECT_EQ(quorDeleteDependentNodesArray(nullptr), QUOR_RC_NULL_INFO_ARRAY);
    EXPECT_EQ(count(parent), 1u);

    PExport *record = listRecord(parent);
    auto *header = reinterpret_cast<uint64_t *>(reinterpret_cast<char *>(parent) + record->areaOffset);
    SNodeInfo_t *slot = reinterpret_cast<SNodeInfo_t *>(header + 1);
    const uint64_t goodUsed = record->usedSize, goodM = *header;
    for (uint64_t at = goodUsed; at + 56 + goodM <= record->areaSize; at += 56 + goodM)  // holes
        reinterpret_cast<SNodeInfo_t *>(reinterpret_cast<char *>(header) + at)->tag = 0;
    struct Corruption {
        const char *what;
        uint64_t m, used, idSize;
        uint32_t code;
    } cases[] = {
        {"M above 4096", 4104, goodUsed, 1, QUOR_RC_BAD_STORED_MAX_ID_SIZE},
        // A scan is bounded by the area, never by the count it read.
        {"more entries counted than lie in the area", goodM, record->areaSize, 1, QUOR_RC_DEPENDENT_NOT_FOUND},
        {"ID beyond the area", goodM, goodUsed, 1 << 20, QUOR_RC_ID_OUT_OF_AREA},
    };
    for (const Corruption &c : cases) {
        SCOPED_TRACE(c.what);
        *header = c.m;
        record->usedSize = c.used;
        slot->idSize = c.idSize;
        EXPECT_EQ(quorFindDependentNode(&entry, parent, 0x99, 0, nullptr, 0), c.code);
        *header = goodM;
        record->usedSize = goodUsed;
        slot->idSize = 1;
    }
    EXPECT_EQ(entryId(find(parent, 0x20, "a")), "a");
}

}  // namespace
}  // namespace quor::test
