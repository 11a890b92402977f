// Trees that host products make or meet: siblings told apart only by their
// IDs, nodes without an ID area, lists not yet formatted, damaged directories,
// loops, shared subtrees, and a second process changing the tree under a walk.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "support/process.h"
#include "quor/quor.h"
#include "segment_fixture.h"
#include "tree_builder.h"

namespace quor::test {
namespace {

// The directory record of the dependent list (kind 0x800 is record 10).
PExport *listRecordOf(SNodeCB_t *node) { return &node->areaDirectory[10]; }

class HostileTreeTest : public SegmentTest {
protected:
    void SetUp() override {
        SegmentTest::SetUp();
        tree.seg = create("hostile", 8 << 20);
        ASSERT_NE(tree.seg, nullptr);
        p = tree.node(0x1, "P", 8);
    }
    void TearDown() override {
        remove(tree.seg);
        SegmentTest::TearDown();
    }

    // A child of `parent` that records its parent, so that it can be re-created.
    SNodeCB_t *childOf(SNodeCB_t *parent, uint64_t tag, const std::string &id, uint64_t capacity = 4) {
        const SNodeInfo_t up = tree.locator(parent);
        char *parentId = nullptr;
        uint64_t length = 0;
        EXPECT_EQ(quorGetNodeID(parent, &parentId, &length, 0), QUOR_RC_OK);
        SNodeCB_t *child = tree.node(tag, id, capacity, QUOR_NODE_ACTIVE, &up, std::string(parentId, length));
        tree.link(parent, child);
        return child;
    }

    // A node made with a list but without an ID area, linked below `parent`.
    SNodeCB_t *withoutId(SNodeCB_t *parent, uint64_t tag) {
        const uint64_t flags = QUOR_KIND_DEPENDENTS;
        std::array<uint64_t, 64> sizes{};
        uint64_t total = 0, offset = 0;
        EXPECT_EQ(quorCreateMaxSpaceArray(flags, 0, 0, 0, 0, 2, kMaxId, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                          sizes.data(), &total),
                  QUOR_RC_OK);
        SNodeCB_t *n = nullptr;
        EXPECT_EQ(quorCreateNode(tree.seg, &n, flags, sizes.data(), &total, &offset), QUOR_RC_OK);
        EXPECT_EQ(quorInitNode(&n, offset, 0, nullptr, nullptr, nullptr, kMaxId, nullptr, nullptr, nullptr),
                  QUOR_RC_OK);
        EXPECT_EQ(quorSetNodeTag(n, tag, 0), QUOR_RC_OK);
        EXPECT_EQ(quorCreateDependentNodeList(n, nullptr, nullptr, nullptr, kMaxId, 0, 0), QUOR_RC_OK);
        EXPECT_EQ(quorActivateNode(&n), QUOR_RC_OK);
        SNodeInfo_t info = locatorWithoutId(n);
        EXPECT_EQ(quorAddDependentNode(parent, &info, nullptr, 0, 0, 0), QUOR_RC_OK);
        return n;
    }
    SNodeInfo_t locatorWithoutId(SNodeCB_t *n) const {
        SNodeInfo_t info{};
        const auto offset = static_cast<uint64_t>(reinterpret_cast<unsigned char *>(n) -
                                                  static_cast<unsigned char *>(tree.seg->domainHandle->base));
        EXPECT_EQ(quorAddStatusNodeInfo(&info, tree.seg, tree.seg, offset, n->tag, 0, nullptr), QUOR_RC_OK);
        return info;
    }

    void recordTop(SNodeCB_t *top) const {
        const auto offset = static_cast<uint64_t>(reinterpret_cast<unsigned char *>(top) -
                                                  static_cast<unsigned char *>(tree.seg->domainHandle->base));
        ASSERT_EQ(quorPutTopNodeInfoIntoDomainHeader(tree.seg->domainHandle, top->tag, offset,
                                                     tree.seg->poolHandle->poolHeapOffset),
                  QUOR_RC_OK);
    }

    // Copies the tree below P into a new segment, which the old one goes for:
    // the test carries on with the copy.
    void copyIntoNewSegment(const std::string &label) {
        recordTop(p);
        const IpcResId copyName = name(label);
        SNodeCB_t *newTop = nullptr;
        ShmSegInfo_t *target = nullptr;
        uint64_t bytes = 0;
        ASSERT_EQ(quorCopyTreeIntoSingleShmSegment(p, &newTop, &tree.seg, &target, 8 << 20, &copyName, nullptr,
                                                   QUOR_COPY_TARGET_NEW_SEGMENT, 0, &bytes),
                  QUOR_RC_OK);
        tree.seg = target;
        p = newTop;
    }

    static uint64_t count(SNodeCB_t *node) {
        uint64_t n = 0, max = 0;
        EXPECT_EQ(quorReturnNumberOfDependentNodes(node, &n, &max, 0), QUOR_RC_OK);
        return n;
    }
    uint32_t nodesBelow(SNodeCB_t *top, ShmSegInfo_t *seg = nullptr) const {
        TreeInfo_t info{};
        EXPECT_EQ(quorGetTreeInfo(top, seg != nullptr ? seg : tree.seg, 0, 0, 0, &info), QUOR_RC_OK);
        return info.nodesTotal;
    }
    static SNodeCB_t *soft(SNodeCB_t *top, uint64_t tag, const std::string &id) {
        SNodeInfo_t *entry = nullptr;
        SNodeCB_t *node = nullptr;
        if (quorFindNodeSoft(&entry, top, tag, id.size(), id.data(), 0) != 0) return nullptr;
        EXPECT_EQ(quorGetControlBlockPtrFromSNodeInfo(entry, &node), QUOR_RC_OK);
        return node;
    }

    TreeBuilder tree;
    SNodeCB_t *p = nullptr;
};

// P -> (K "K" -> KC, N ""): K and N share tag 5, K lies in an earlier hole. A
// probe without an ID matches either; every operation that holds N's own entry
// must act on N alone.
TEST_F(HostileTreeTest, SiblingWithoutAnIdIsNeverTakenForAnother) {
    SNodeCB_t *h = childOf(p, 7, "H");
    SNodeCB_t *n = childOf(p, 5, "");
    SNodeInfo_t probe{};
    probe.tag = 7;
    probe.idSize = 1;
    ASSERT_EQ(quorDeleteDependentNode(p, &probe, "H", 0), QUOR_RC_OK);
    SNodeCB_t *k = childOf(p, 5, "K");
    SNodeCB_t *kc = childOf(k, 6, "KC");
    SNodeInfo_t *first = nullptr;
    uint64_t used = 0, room = 0;
    ASSERT_EQ(quorGetDependentNodesLocation(p, &first, &used, &room), QUOR_RC_OK);
    ASSERT_EQ(first->idSize, 1u);  // K took H's slot, before N
    (void)h;

    // Re-creation replaces N's entry, not K's.
    SNodeCB_t *old = n, *fresh = nullptr;
    ASSERT_EQ(quorRecreateNodeWithMoreDepNodes(&old, &fresh, tree.seg, tree.seg, 6, nullptr), QUOR_RC_OK);
    EXPECT_EQ(soft(p, 5, "K"), k);
    EXPECT_EQ(soft(p, 6, "KC"), kc);
    std::array<SNodeInfo_t *, 4> results{};
    uint64_t stored = 0, matches = 0;
    EXPECT_EQ(quorFindNodesByTag(p, 5, 0, results.size(), results.data(), &stored, &matches), QUOR_RC_OK);
    EXPECT_EQ(matches, 2u);
    EXPECT_EQ(quorDisclaimNode(&old, tree.seg->poolHandle, QUOR_EYECATCHER), QUOR_RC_OK);

    // A tree copy takes both siblings and K's child.
    copyIntoNewSegment("hostile-copy");
    EXPECT_EQ(nodesBelow(p), 4u);

    // Deleting N's subtree by N's own locator frees N and leaves K and KC.
    SNodeCB_t *copiedN = nullptr;
    {
        SNodeInfo_t *entries[2] = {};
        ASSERT_EQ(quorGetDependentNodesLocation(p, &entries[0], &used, &room), QUOR_RC_OK);
        entries[1] = entries[0];
        ASSERT_EQ(quorGetNextDependentNodeLocation(p, listRecordOf(p), &entries[1]), QUOR_RC_OK);
        for (SNodeInfo_t *e : entries) {
            if (e->idSize == 0) {
                ASSERT_EQ(quorGetControlBlockPtrFromSNodeInfo(e, &copiedN), QUOR_RC_OK);
            }
        }
    }
    ASSERT_NE(copiedN, nullptr);
    const uint64_t blocks = tree.blocksInUse();
    SNodeInfo_t locatorOfN = tree.locator(copiedN);
    ASSERT_EQ(quorDeleteDependentNodeAndSubtree(p, &locatorOfN, tree.seg, 0, QUOR_ACTION_UNCONDITIONAL),
              QUOR_RC_OK);
    EXPECT_EQ(count(p), 1u);
    EXPECT_EQ(tree.blocksInUse(), blocks - 1);
    EXPECT_NE(soft(p, 6, "KC"), nullptr);
    EXPECT_EQ(nodesBelow(p), 3u);
}

// A node made without an ID area reads as one without an ID and is freed like
// any other, alone or by a tree-wide freeing.
TEST_F(HostileTreeTest, NodeWithoutAnIdAreaIsFreedLikeAnyOther) {
    SNodeCB_t *bare = withoutId(p, 0x20);
    char *id = nullptr;
    uint64_t length = 0;
    EXPECT_EQ(quorGetNodeID(bare, &id, &length, 0), QUOR_RC_NO_ID_AREA);
    SNodeInfo_t locator = locatorWithoutId(bare);
    uint64_t blocks = tree.blocksInUse();
    ASSERT_EQ(quorDeleteDependentNodeAndSubtree(p, &locator, tree.seg, 0, QUOR_ACTION_UNCONDITIONAL), QUOR_RC_OK);
    EXPECT_EQ(tree.blocksInUse(), blocks - 1);

    SNodeCB_t *a = childOf(p, 0x21, "A");
    withoutId(a, 0x22);
    childOf(p, 0x23, "B");
    blocks = tree.blocksInUse();
    ASSERT_EQ(quorSetStatusForEachNodeInATree(p, tree.seg, 0, QUOR_ACTION_DISCLAIM, QUOR_ACTION_UNCONDITIONAL),
              QUOR_RC_OK);
    EXPECT_EQ(tree.blocksInUse(), blocks - 4);  // P, A, the bare node and B
}

// A leaf whose list bit is set but whose list was never formatted holds no
// children: every walk and copy goes past it.
TEST_F(HostileTreeTest, UnformattedListReadsAsEmpty) {
    SNodeCB_t *a = childOf(p, 0x30, "A");
    SNodeCB_t *leaf = childOf(a, 0x31, "L");
    PExport *record = listRecordOf(leaf);
    std::memset(reinterpret_cast<char *>(leaf) + record->areaOffset, 0xFF, record->areaSize);
    record->usedSize = 0;
    leaf->areaFlags |= QUOR_KIND_DEPENDENTS;

    EXPECT_EQ(soft(p, 0x31, "L"), leaf);
    EXPECT_EQ(soft(p, 0x99, "none"), nullptr);
    EXPECT_EQ(nodesBelow(p), 3u);
    std::array<TraverseInfo_t, 2> path{{{0x30, 1, const_cast<char *>("A")}, {0x31, 1, const_cast<char *>("L")}}};
    SNodeInfo_t *entry = nullptr;
    EXPECT_EQ(quorFindNodeHard(&entry, p, 2, path.data(), 4), QUOR_RC_OK);
    copyIntoNewSegment("unformatted-copy");
    EXPECT_EQ(nodesBelow(p), 3u);
}

// A child whose directory claims far more than its segment holds gives a code
// to every walk, never a fault.
TEST_F(HostileTreeTest, DamagedNodeSizeGivesACode) {
    SNodeCB_t *a = childOf(p, 0x40, "A");
    a->nodeSize = 0x8000000;
    listRecordOf(a)->areaOffset = 0x7000000;
    SNodeInfo_t *entry = nullptr;
    EXPECT_EQ(quorFindNodeSoft(&entry, p, 0x41, 1, "X", 0), QUOR_RC_STALE_NODE_INFO);
    TreeInfo_t info{};
    EXPECT_EQ(quorGetTreeInfo(p, tree.seg, 0, 0, 0, &info), QUOR_RC_STALE_NODE_INFO);
}

// The hard search bounds an entry's ID by the list it lies in, not by the
// child's own (smaller) list.
TEST_F(HostileTreeTest, HardSearchBoundsIdsByTheirParentsList) {
    SNodeCB_t *j = childOf(p, 0x50, "0123456789");
    ASSERT_EQ(quorCreateDependentNodeList(j, nullptr, nullptr, nullptr, 8, 0, 0), QUOR_RC_OK);
    childOf(p, 0x51, "K");
    for (const auto &[tag, id] : {std::pair<uint32_t, std::string>{0x50, "0123456789"}, {0x51, "K"}}) {
        TraverseInfo_t step{tag, static_cast<int32_t>(id.size()), const_cast<char *>(id.data())};
        SNodeInfo_t *entry = nullptr;
        EXPECT_EQ(quorFindNodeHard(&entry, p, 1, &step, 1), QUOR_RC_OK) << id;
    }
}

// A freeing walk that meets a loop ends with a code and leaves every node it
// did not free linked and in use.
TEST_F(HostileTreeTest, FailedFreeingWalkLeavesTheTreeWhole) {
    SNodeCB_t *a = childOf(p, 0x60, "A");
    SNodeCB_t *b = childOf(a, 0x61, "B");
    SNodeCB_t *c = childOf(b, 0x62, "C");
    tree.link(c, a);  // back to an ancestor
    const uint64_t blocks = tree.blocksInUse();
    EXPECT_EQ(quorSetStatusForEachNodeInATree(p, tree.seg, 0, QUOR_ACTION_DISCLAIM, QUOR_ACTION_UNCONDITIONAL),
              QUOR_RC_DEPTH_TOO_LARGE);
    EXPECT_EQ(tree.blocksInUse(), blocks);
    for (SNodeCB_t *node : {p, a, b, c}) EXPECT_EQ(count(node), 1u);
    EXPECT_EQ(soft(p, 0x62, "C"), c);
}

// A copy through private memory: a tree that cannot fit the new size, or whose
// lists name one subtree many times over, fails before the old segment goes,
// and the old tree stays whole and searchable.
TEST_F(HostileTreeTest, PrivateMemoryCopyFailsBeforeTheOldSegmentGoes) {
    SNodeCB_t *top = tree.node(0x2, "T", 64);
    for (int i = 0; i < 40; ++i) childOf(top, 0x70, numbered("c", i), 1);
    SNodeCB_t *last = childOf(top, 0x71, "chain");
    for (int i = 0; i < 17; ++i) {
        SNodeCB_t *next = childOf(last, 0x72, numbered("s", i), 2);
        SNodeInfo_t again = tree.locator(next);
        EXPECT_EQ(quorAddDependentNode(last, &again, "twice", 5, 0, 0), QUOR_RC_OK);
        last = next;
    }
    recordTop(top);
    const uint64_t privateBlocks = hostMemLiveBlocks(nullptr);
    for (uint64_t size : {uint64_t{96} << 10, uint64_t{1} << 20}) {
        SCOPED_TRACE(size);
        SNodeCB_t *newTop = nullptr;
        ShmSegInfo_t *target = nullptr;
        uint64_t bytes = 0;
        EXPECT_EQ(quorCopyTreeIntoSingleShmSegment(top, &newTop, &tree.seg, &target, size, nullptr, nullptr,
                                                   QUOR_COPY_TARGET_VIA_PM, 0, &bytes),
                  QUOR_RC_COPY_TREE_FAILED);
        ASSERT_NE(tree.seg, nullptr);
        EXPECT_EQ(target, nullptr);
        EXPECT_EQ(top->NodeCondition, QUOR_NODE_ACTIVE);
        EXPECT_NE(soft(top, 0x70, "c39"), nullptr);
    }
    EXPECT_EQ(hostMemLiveBlocks(nullptr), privateBlocks);
}

// One process deletes and re-adds children while another searches: the
// searcher never sees a corruption code, and never misses the nodes that
// nobody touches.
TEST_F(HostileTreeTest, WalksHoldWhileAnotherProcessChangesTheTree) {
    std::vector<SNodeCB_t *> churned;
    for (int i = 0; i < 5; ++i) churned.push_back(childOf(p, 0x80, numbered("x", i), 1));
    SNodeCB_t *u = childOf(p, 0x81, "U");
    childOf(u, 0x82, "UC");
    churned.push_back(childOf(p, 0x80, "x5", 1));
    recordTop(p);
    auto *state = static_cast<volatile int *>(sharedScratch(2 * sizeof(int)));
    state[0] = 0;
    state[1] = 0;
    const IpcResId id = segmentName("hostile");
    const pid_t searcher = spawn([&] {
        freshLibrary();
        SNodeCB_t *top = nullptr;
        ShmSegInfo_t *seg = connectTree(id, &top);
        if (seg == nullptr) return 2;
        std::array<TraverseInfo_t, 2> path{
            {{0x81, 1, const_cast<char *>("U")}, {0x82, 2, const_cast<char *>("UC")}}};
        std::array<SNodeInfo_t *, 16> results{};
        for (int round = 0; state[0] != 2; ++round) {
            SNodeInfo_t *entry = nullptr;
            if (quorFindNodeSoft(&entry, top, 0x82, 2, "UC", 0) != 0) return 10;
            if (quorFindNodeHard(&entry, top, 2, path.data(), 4) != 0) return 11;
            uint64_t stored = 0, matches = 0;
            if (uint32_t rc = quorFindNodesByTag(top, 0x81, 0, results.size(), results.data(), &stored, &matches);
                rc != 0 || matches != 1) {
                return 12;
            }
            const uint32_t rc =
                quorFindNodesByTag(top, 0x80, 0, results.size(), results.data(), &stored, &matches);
            if (rc != 0 && rc != QUOR_RC_NODE_NOT_FOUND) return 13;
            TreeInfo_t info{};
            if (quorGetTreeInfo(top, seg, 0, 0, 0, &info) != 0 || info.nodesTotal < 3) return 14;
            if (round == 10) state[0] = 1;
            state[1] = state[1] + 1;
        }
        return 0;
    });
    for (int wait = 0; state[0] == 0 && wait < 50000; ++wait) usleep(100);
    // Two children leave and come back in the other order, so that each takes
    // the other's slot: entries move between slots a searcher may have passed.
    for (int round = 0; state[1] < 5000 && round < 5000000; ++round) {
        const size_t first = round % churned.size(), second = (round + 3) % churned.size();
        for (size_t i : {first, second}) {
            const std::string kidId = numbered("x", i);
            SNodeInfo_t probe{};
            probe.tag = 0x80;
            probe.idSize = kidId.size();
            ASSERT_EQ(quorDeleteDependentNode(p, &probe, kidId.data(), 0), QUOR_RC_OK);
        }
        tree.link(p, churned[second]);
        tree.link(p, churned[first]);
    }
    state[0] = 2;
    EXPECT_EQ(waitChild(searcher), 0);
    EXPECT_GE(state[1], 5000);
}

}  // namespace
}  // namespace quor::test
