// A process killed at a random instant while it re-creates a node or copies a
// tree under the same name: the survivor finds the node in use (the walk
// through it succeeds) and, once the interrupted copy is restored, the
// original name holding a whole tree it can connect to and search, with no
// temporary segment left.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>

#include "quor/quor.h"
#include "segment_fixture.h"
#include "support/process.h"
#include "tree/copy.h"
#include "tree_builder.h"

namespace quor::test {
namespace {

class KilledCopyTest : public SegmentTest {
protected:
    // Kills `worker` after a random pause of up to `maxMicros`.
    void killAfter(pid_t worker, useconds_t maxMicros) {
        usleep(std::uniform_int_distribution<useconds_t>(0, maxMicros)(random));
        ASSERT_EQ(kill(worker, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(waitpid(worker, &status, 0), worker);
    }
    // The grandchild "g2" found below the top through P.
    static uint32_t findThroughP(SNodeCB_t *top) {
        SNodeInfo_t *entry = nullptr;
        return quorFindNodeSoft(&entry, top, 0x30, 2, "g2", 0);
    }
    // T -> P -> g0, g1, g2, each child naming its parent.
    static SNodeCB_t *build(TreeBuilder &tree) {
        SNodeCB_t *top = tree.node(0x1, "T", 4);
        const SNodeInfo_t topAt = tree.locator(top);
        SNodeCB_t *p = tree.node(0x20, "P", 4, QUOR_NODE_ACTIVE, &topAt, "T");
        tree.link(top, p);
        const SNodeInfo_t pAt = tree.locator(p);
        for (int i = 0; i < 3; ++i) tree.link(p, tree.node(0x30, numbered("g", i), 1, QUOR_NODE_ACTIVE, &pAt, "P"));
        return top;
    }
    static bool exists(const IpcResId &id) { return access(("/dev/shm/" + std::string(id.name)).c_str(), F_OK) == 0; }

    std::mt19937 random{11};
};

TEST_F(KilledCopyTest, KilledRecreationIsUndoneByTheNextWalk) {
    TreeBuilder tree;
    tree.seg = create("recreate", 16 << 20);
    ASSERT_NE(tree.seg, nullptr);
    SNodeCB_t *top = build(tree);
    int undone = 0, replaced = 0;
    for (int round = 0; round < 150; ++round) {
        SNodeInfo_t *entry = nullptr;
        ASSERT_EQ(quorFindNodeSoft(&entry, top, 0x20, 1, "P", 0), QUOR_RC_OK) << round;
        SNodeCB_t *before = nullptr;
        ASSERT_EQ(quorGetControlBlockPtrFromSNodeInfo(entry, &before), QUOR_RC_OK);
        const pid_t worker = spawn([&] {
            SNodeCB_t *old = before, *fresh = nullptr;
            (void)quorRecreateNodeWithMoreDepNodes(&old, &fresh, tree.seg, tree.seg, 4 + round % 3, nullptr);
            pause();
            return 0;
        });
        killAfter(worker, 3000);
        // The walk through P succeeds whatever instant the kill hit.
        ASSERT_EQ(findThroughP(top), QUOR_RC_OK) << round;
        ASSERT_EQ(quorFindNodeSoft(&entry, top, 0x20, 1, "P", 0), QUOR_RC_OK) << round;
        SNodeCB_t *after = nullptr;
        ASSERT_EQ(quorGetControlBlockPtrFromSNodeInfo(entry, &after), QUOR_RC_OK);
        EXPECT_EQ(after->optionFlags & QUOR_NODE_OPT_RECREATING, 0u) << round;
        EXPECT_EQ(after->NodeCondition, QUOR_NODE_ACTIVE) << round;
        uint64_t count = 0, room = 0;
        ASSERT_EQ(quorReturnNumberOfDependentNodes(after, &count, &room, 0), QUOR_RC_OK);
        EXPECT_EQ(count, 3u) << round;
        (after == before ? undone : replaced) += 1;
    }
    // Both outcomes must have been met for the rounds to have tested anything.
    EXPECT_GT(undone, 5);
    EXPECT_GT(replaced, 5);
    remove(tree.seg);
}

// Target modes 2 and 3 under the same name: each round copies the tree the
// last one left, killed at a random instant.
TEST_F(KilledCopyTest, KilledCopyLeavesAWholeTreeUnderTheName) {
    const IpcResId original = name("copied"), temporary = name("copied-tmp");
    IpcResId privateRoute = original;
    std::strcat(privateRoute.name, ".quor-copy");
    name("copied.quor-copy");
    {
        TreeBuilder tree;
        tree.seg = create("copied", 4 << 20);
        ASSERT_NE(tree.seg, nullptr);
        SNodeCB_t *top = build(tree);
        const auto offset = static_cast<uint64_t>(reinterpret_cast<unsigned char *>(top) -
                                                  static_cast<unsigned char *>(tree.seg->domainHandle->base));
        ASSERT_EQ(quorPutTopNodeInfoIntoDomainHeader(tree.seg->domainHandle, top->tag, offset,
                                                     tree.seg->poolHandle->poolHeapOffset),
                  QUOR_RC_OK);
        ASSERT_EQ(quorDetachStatusSegment(&tree.seg, QUOR_DETACH_ALL), QUOR_RC_OK);
    }
    int restored = 0;
    for (int round = 0; round < 200; ++round) {
        const uint32_t mode = round % 2 == 0 ? QUOR_COPY_TARGET_VIA_PM : QUOR_COPY_TARGET_VIA_TEMP;
        const IpcResId &route = mode == QUOR_COPY_TARGET_VIA_PM ? privateRoute : temporary;
        const pid_t worker = spawn([&] {
            SNodeCB_t *top = nullptr, *newTop = nullptr;
            ShmSegInfo_t *seg = connectTree(original, &top), *target = nullptr;
            uint64_t bytes = 0;
            if (seg == nullptr) return 1;
            (void)quorCopyTreeIntoSingleShmSegment(top, &newTop, &seg, &target, 4 << 20,
                                                   mode == QUOR_COPY_TARGET_VIA_PM ? nullptr : &temporary, nullptr,
                                                   mode, 0, &bytes);
            pause();
            return 0;
        });
        killAfter(worker, 4000);
        if (exists(route)) {
            tree::RestoreOutcome outcome = tree::RestoreOutcome::kNothing;
            const uint32_t rc = tree::restoreInterruptedCopy(route, &outcome);
            if (rc != QUOR_RC_OK) {
                // Killed before its tree was whole (the attach refuses it):
                // debris left beside the untouched original, which the
                // connect below proves whole.
                shm_unlink(segmentPath(route).c_str());
            }
            restored += outcome == tree::RestoreOutcome::kRestored ? 1 : 0;
            EXPECT_FALSE(exists(route)) << round;
        }
        SNodeCB_t *top = nullptr;
        ShmSegInfo_t *seg = connectTree(original, &top);
        ASSERT_NE(seg, nullptr) << round;
        EXPECT_EQ(top->NodeCondition, QUOR_NODE_ACTIVE) << round;
        EXPECT_EQ(findThroughP(top), QUOR_RC_OK) << round;
        ASSERT_EQ(quorDetachStatusSegment(&seg, QUOR_DETACH_ALL), QUOR_RC_OK);
    }
    EXPECT_GT(restored, 0);  // the narrow window between the two copies was hit
}

}  // namespace
}  // namespace quor::test
