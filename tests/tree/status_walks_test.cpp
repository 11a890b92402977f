// Tree-wide status changes and subtree deletion.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quor/quor.h"
#include "segment_fixture.h"
#include "test_node.h"
#include "tree_builder.h"

namespace quor::test {
namespace {

// T -> (X -> Y, Z)
class StatusWalkTest : public SegmentTest {
protected:
    void SetUp() override {
        SegmentTest::SetUp();
        tree.seg = create("status", 8 << 20);
        ASSERT_NE(tree.seg, nullptr);
        t = tree.node(0x1, "T", 12);
        x = tree.node(0x2, "X");
        y = tree.node(0x3, "Y");
        z = tree.node(0x4, "Z");
        tree.link(t, x);
        tree.link(x, y);
        tree.link(t, z);
    }
    void TearDown() override {
        remove(tree.seg);
        SegmentTest::TearDown();
    }
    std::vector<uint32_t> conditions() const {
        return {t->NodeCondition, x->NodeCondition, y->NodeCondition, z->NodeCondition};
    }
    void setAll(uint32_t condition) {
        for (SNodeCB_t *n : {t, x, y, z}) n->NodeCondition = condition;
    }
    uint64_t count(SNodeCB_t *node) {
        uint64_t n = 0, max = 0;
        EXPECT_EQ(quorReturnNumberOfDependentNodes(node, &n, &max, 0), QUOR_RC_OK);
        return n;
    }

    TreeBuilder tree;
    SNodeCB_t *t = nullptr, *x = nullptr, *y = nullptr, *z = nullptr;
};

constexpr uint32_t A = QUOR_NODE_ABANDONED, C = QUOR_NODE_ACTIVE, K = QUOR_NODE_CREATED,
                   D = QUOR_NODE_DISASSOCIATED;

// A node that cannot be activated stops the walk where it stands: what was
// changed before it shows the order, children first and siblings in turn.
TEST_F(StatusWalkTest, ChildrenChangeBeforeTheirParents) {
    setAll(D);
    y->NodeCondition = K;
    SNodeCB_t *top = t;
    EXPECT_EQ(quorSetNodeStatusRecursively(&top, tree.seg, tree.seg, 0, QUOR_ACTION_ACTIVATE, 1, 1, 0),
              QUOR_RC_NODE_NOT_ACTIVATABLE);
    EXPECT_EQ(conditions(), (std::vector<uint32_t>{D, D, K, D}));
    y->NodeCondition = D;
    z->NodeCondition = K;
    EXPECT_EQ(quorSetNodeStatusRecursively(&top, tree.seg, tree.seg, 0, QUOR_ACTION_ACTIVATE, 1, 1, 0),
              QUOR_RC_NODE_NOT_ACTIVATABLE);
    EXPECT_EQ(conditions(), (std::vector<uint32_t>{D, C, C, K}));
}

TEST_F(StatusWalkTest, MaskAndDepthChooseTheNodes) {
    ASSERT_EQ(quorSetStatusForEachNodeInATree(t, tree.seg, 1, QUOR_ACTION_ABANDON, 1), QUOR_RC_OK);
    EXPECT_EQ(conditions(), (std::vector<uint32_t>{A, C, C, C}));
    // Only initialised nodes (bit 2) are disassociated, to any depth; the walk
    // starts from an active top.
    t->NodeCondition = C;
    y->NodeCondition = QUOR_NODE_INITIALIZED;
    ASSERT_EQ(quorSetStatusForEachNodeInATree(t, tree.seg, 0, QUOR_ACTION_DISASSOCIATE,
                                              1u << QUOR_NODE_INITIALIZED),
              QUOR_RC_OK);
    EXPECT_EQ(conditions(), (std::vector<uint32_t>{C, C, D, C}));

    // Bit 3 makes an update apply to every node (bit 0 does not).
    y->NodeCondition = C;
    const int32_t before = counterValue(z->updateCounter);
    ASSERT_EQ(quorSetStatusForEachNodeInATree(t, tree.seg, 0, QUOR_ACTION_UPDATE, 1), QUOR_RC_OK);
    EXPECT_EQ(counterValue(z->updateCounter), before);
    ASSERT_EQ(quorSetStatusForEachNodeInATree(t, tree.seg, 0, QUOR_ACTION_UPDATE, 0x8), QUOR_RC_OK);
    EXPECT_EQ(counterValue(z->updateCounter), before + 1);
    y->NodeCondition = D;
    EXPECT_EQ(quorSetStatusForEachNodeInATree(t, tree.seg, 0, QUOR_ACTION_UPDATE, 0x8),
              QUOR_RC_UPDATE_ON_DISASSOCIATED_NODE);

    // An abandoned child stops every action but freeing.
    x->NodeCondition = A;
    EXPECT_EQ(quorSetStatusForEachNodeInATree(t, tree.seg, 0, QUOR_ACTION_ACTIVATE, 1),
              QUOR_RC_NODE_ABANDONED);
    EXPECT_EQ(quorSetStatusForEachNodeInATree(t, tree.seg, 0, 9, 1), QUOR_RC_BAD_STATUS_ACTION);
    EXPECT_EQ(quorSetStatusForEachNodeInATree(t, tree.seg, 32769, QUOR_ACTION_ACTIVATE, 1),
              QUOR_RC_DEPTH_TOO_LARGE);
    EXPECT_EQ(quorSetStatusForEachNodeInATree(t, nullptr, 0, QUOR_ACTION_ACTIVATE, 1), QUOR_RC_NOT_ATTACHED);
}

TEST_F(StatusWalkTest, LocatorWithAnotherIdLengthDeletesNothing) {
    SNodeCB_t *five = tree.node(0x5, "fives");
    tree.link(t, five);
    SNodeInfo_t *entry = nullptr;
    ASSERT_EQ(quorFindDependentNode(&entry, t, 0x5, 5, "fives", 0), QUOR_RC_OK);
    SNodeInfo_t wrong = tree.locator(five);
    wrong.idSize = 6;
    const uint64_t blocks = tree.blocksInUse();
    EXPECT_EQ(quorDeleteDependentNodeAndSubtree(t, &wrong, tree.seg, 0, 1), QUOR_RC_BAD_ID_LENGTH);
    EXPECT_EQ(count(t), 3u);
    EXPECT_EQ(tree.blocksInUse(), blocks);
    EXPECT_EQ(quorDeleteDependentNodeAndSubtree(t, &wrong, tree.seg, 32769, 1), QUOR_RC_DEPTH_TOO_LARGE);
    EXPECT_EQ(quorDeleteDependentNodeAndSubtree(t, &wrong, nullptr, 0, 1), QUOR_RC_NOT_ATTACHED);
}

// Abandoning and freeing a subtree of 1 110 nodes gives every block back.
TEST_F(StatusWalkTest, AbandonedSubtreeIsFreedWhole) {
    const uint64_t blocks = tree.blocksInUse();
    SNodeCB_t *big = tree.node(0x6, "big", 10);
    tree.link(t, big);
    ASSERT_EQ(tree.grow(big, 10, 3), 1110u);
    ASSERT_EQ(quorSetStatusForEachNodeInATree(big, tree.seg, 0, QUOR_ACTION_ABANDON, 1), QUOR_RC_OK);
    TreeInfo_t info{};
    ASSERT_EQ(quorGetTreeInfo(t, tree.seg, 0, 0, 0, &info), QUOR_RC_OK);
    EXPECT_EQ(info.nodesCondition4, 1111u);

    SNodeInfo_t *entry = nullptr;
    ASSERT_EQ(quorFindDependentNode(&entry, t, 0x6, 3, "big", 0), QUOR_RC_OK);
    ASSERT_EQ(quorDeleteDependentNodeAndSubtree(t, entry, tree.seg, 0, 1u << A), QUOR_RC_OK);
    EXPECT_EQ(tree.blocksInUse(), blocks);
    EXPECT_EQ(count(t), 2u);
    ASSERT_EQ(quorGetTreeInfo(t, tree.seg, 0, 0, 0, &info), QUOR_RC_OK);
    EXPECT_EQ(info.nodesTotal, 4u);
}

// Freeing keeps to the nodes the mask selects: an active child outside the
// mask stays, its selected children go with their entries.
TEST_F(StatusWalkTest, FreeingTakesSelectedSubtreesOnly) {
    y->NodeCondition = QUOR_NODE_INITIALIZED;
    const uint64_t blocks = tree.blocksInUse();
    SNodeCB_t *top = t;
    ASSERT_EQ(quorSetNodeStatusRecursively(&top, tree.seg, tree.seg, 0, QUOR_ACTION_DISCLAIM,
                                           1u << QUOR_NODE_INITIALIZED, 1, 0),
              QUOR_RC_OK);
    EXPECT_EQ(top, t);
    EXPECT_EQ(tree.blocksInUse(), blocks - 1);
    EXPECT_EQ(count(x), 0u);
    EXPECT_EQ(count(t), 2u);

    // Freeing the whole tree from its top clears the caller's pointer.
    ASSERT_EQ(quorSetNodeStatusRecursively(&top, tree.seg, tree.seg, 0, QUOR_ACTION_DISCLAIM, 1, 1, 0),
              QUOR_RC_OK);
    EXPECT_EQ(top, nullptr);
    EXPECT_EQ(tree.blocksInUse(), blocks - 4);
}

TEST_F(StatusWalkTest, FreedNodeLeavesItsParentsList) {
    SNodeInfo_t up = tree.locator(t);
    SNodeCB_t *kid = tree.node(0x7, "kid", 2, QUOR_NODE_ACTIVE, &up, "T");
    tree.link(t, kid);
    tree.link(kid, tree.node(0x8, "grandkid"));
    const uint64_t blocks = tree.blocksInUse();
    ASSERT_EQ(quorSetStatusForEachNodeInATree(kid, tree.seg, 0, QUOR_ACTION_DISCLAIM,
                                              QUOR_ACTION_UNCONDITIONAL | QUOR_ACTION_UNLINK_FROM_PARENT),
              QUOR_RC_OK);
    EXPECT_EQ(tree.blocksInUse(), blocks - 2);
    EXPECT_EQ(count(t), 2u);
    SNodeInfo_t *entry = nullptr;
    EXPECT_EQ(quorFindDependentNode(&entry, t, 0x7, 0, nullptr, 0), QUOR_RC_DEPENDENT_NOT_FOUND);
}

}  // namespace
}  // namespace quor::test
