// A writer killed inside a node's section: the next process to take the latch
// repairs the dependent list, or fences a node it cannot repair.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "quor/host.h"
#include "quor/quor.h"
#include "segment_fixture.h"
#include "support/process.h"
#include "tree_builder.h"

namespace quor::test {
namespace {

class DeadWriterTest : public SegmentTest {
protected:
    void SetUp() override {
        SegmentTest::SetUp();
        tree.seg = create("deadwriter", 8 << 20);
        ASSERT_NE(tree.seg, nullptr);
        top = tree.node(0x1, "T", 4);
        p = tree.node(0x2, "P", 8);
        tree.link(top, p);
        for (int i = 0; i < 6; ++i) {
            SNodeCB_t *child = tree.node(0x10, numbered("c", i), 1);
            kids.push_back(tree.locator(child));
            ids.push_back(numbered("c", i));
        }
    }
    void TearDown() override {
        remove(tree.seg);
        SegmentTest::TearDown();
    }

    // The list as a survivor reads it: the count, and the IDs listed.
    uint32_t read(uint64_t *count, std::vector<std::string> *listed) {
        uint64_t room = 0;
        if (uint32_t rc = quorReturnNumberOfDependentNodes(p, count, &room, 0); rc != 0) return rc;
        listed->clear();
        if (*count == 0) return QUOR_RC_OK;
        std::vector<SNodeInfo_t> infos(8);
        std::vector<char> idBytes(8 * kMaxId);
        uint64_t returned = 0, total = 0;
        if (uint32_t rc = quorReturnDependentNodes(p, infos.data(), idBytes.data(), &returned, &total, infos.size(),
                                                   kMaxId, 0);
            rc != 0)
            return rc;
        for (uint64_t i = 0; i < returned; ++i) listed->emplace_back(&idBytes[i * kMaxId], infos[i].idSize);
        return QUOR_RC_OK;
    }

    TreeBuilder tree;
    SNodeCB_t *top = nullptr, *p = nullptr;
    std::vector<SNodeInfo_t> kids;
    std::vector<std::string> ids;
};

// A worker adds and deletes children until it is killed at a random instant;
// after every kill the list agrees with itself: the count is the number of
// entries listed, none twice, and adding and deleting go on working.
TEST_F(DeadWriterTest, DependentListAgreesWithItselfAfterEveryKill) {
    std::mt19937 random(7);
    int repairedRounds = 0;
    for (int round = 0; round < 300; ++round) {
        const pid_t worker = spawn([&] {
            for (uint64_t i = 0;; ++i) {
                const uint64_t k = i % kids.size();
                SNodeInfo_t probe = kids[k];
                if (quorAddDependentNode(p, &probe, ids[k].data(), ids[k].size(), 0, 0) == QUOR_RC_OK) continue;
                (void)quorDeleteDependentNode(p, &probe, ids[k].data(), 0);
            }
            return 0;
        });
        usleep(std::uniform_int_distribution<useconds_t>(0, 3000)(random));
        ASSERT_EQ(kill(worker, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(waitpid(worker, &status, 0), worker);
        const int32_t before = [&] {
            int32_t v = 0;
            (void)hostAtomicAdd(p->nodeLatch.writerActive, 0, &v);
            return v;
        }();
        repairedRounds += before != 0 ? 1 : 0;

        uint64_t count = 0;
        std::vector<std::string> listed;
        ASSERT_EQ(read(&count, &listed), QUOR_RC_OK) << round;
        ASSERT_EQ(count, listed.size()) << round;
        EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()).size(), listed.size()) << round;
        // The survivor's own change lands where the list says it should.
        SNodeInfo_t probe = kids[round % kids.size()];
        const std::string &id = ids[round % kids.size()];
        const bool present = std::set<std::string>(listed.begin(), listed.end()).count(id) != 0;
        if (present) {
            ASSERT_EQ(quorDeleteDependentNode(p, &probe, id.data(), 0), QUOR_RC_OK) << round;
        } else {
            ASSERT_EQ(quorAddDependentNode(p, &probe, id.data(), id.size(), 0, 0), QUOR_RC_OK) << round;
        }
        ASSERT_EQ(read(&count, &listed), QUOR_RC_OK);
        ASSERT_EQ(count, listed.size()) << round;
    }
    // Most kills land inside a section; the test is only worth its time if
    // some did.
    EXPECT_GT(repairedRounds, 10);
}

// A writer that dies leaving a list no repair can read fences the node: every
// section on it fails with QUOR_RC_NODE_DAMAGED, and a freeing walk still
// frees it.
TEST_F(DeadWriterTest, NodeThatCannotBeRepairedIsFencedUntilFreed) {
    PExport *record = &p->areaDirectory[10];  // the dependent list
    auto *header = reinterpret_cast<uint64_t *>(reinterpret_cast<char *>(p) + record->areaOffset);
    const pid_t worker = spawn([&] {
        if (quorEnterCriticalSectionBeforeWrite(p, &p->nodeLatch) != 0) return 1;
        *header = 0x10000;  // an M no list can have
        _exit(0);           // dies inside the section
    });
    ASSERT_EQ(waitChild(worker), 0);
    uint64_t count = 0, room = 0, tag = 0;
    EXPECT_EQ(quorReturnNumberOfDependentNodes(p, &count, &room, 0), QUOR_RC_NODE_DAMAGED);
    EXPECT_EQ(quorGetNodeTag(p, &tag, 0), QUOR_RC_NODE_DAMAGED);
    EXPECT_EQ(quorEnterCriticalSectionBeforeRead(p, &p->nodeLatch), QUOR_RC_NODE_DAMAGED);
    SNodeInfo_t *entry = nullptr;
    EXPECT_EQ(quorFindNodeSoft(&entry, top, 0x10, 2, "c1", 0), QUOR_RC_NODE_DAMAGED);

    const uint64_t blocks = tree.blocksInUse();
    ASSERT_EQ(quorSetStatusForEachNodeInATree(top, tree.seg, 0, QUOR_ACTION_DISCLAIM, QUOR_ACTION_UNCONDITIONAL),
              QUOR_RC_OK);
    EXPECT_EQ(tree.blocksInUse(), blocks - 2);  // P and the top
}

}  // namespace
}  // namespace quor::test
