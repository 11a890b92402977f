// Chunks and blocks that a process carved and never linked: a worker killed at
// random instants while it creates and frees pools and nodes leaves nothing the
// check does not give back.
#include <signal.h>

#include <random>

#include "support/process.h"
#include "segment_fixture.h"
#include "shm/pending.h"

namespace quor::test {
namespace {

struct Counts {
    uint64_t chunks = 0, blocks = 0;
    bool operator==(const Counts &) const = default;
};

Counts countsOf(ShmSegInfo_t *seg) {
    ShmDomainInfo_t d{};
    ShmPoolInfo_t p{};
    EXPECT_EQ(quorGetShmDomainInfo(seg->domainHandle, &d), QUOR_RC_OK);
    EXPECT_EQ(quorGetShmPoolInfo(seg->poolHandle, &p), QUOR_RC_OK);
    return {d.allocCount, p.allocCount};
}

// The check that `quorctl check` runs; it gives back what dead processes left.
void check(ShmSegInfo_t *seg) {
    EXPECT_EQ(_quorCheckAllocShmPool(seg->domainHandle, seg->poolHandle->poolHeapOffset, 0, __LINE__, "test"),
              QUOR_RC_OK);
}

class DebrisTest : public SegmentTest {};

// A node whose locator was made stays when its creator exits; one that was
// never linked goes back at the next check.
TEST_F(DebrisTest, LinkedNodesStayUnlinkedOnesGoBack) {
    ShmSegInfo_t *seg = create("debris-linked");
    const Counts before = countsOf(seg);
    const pid_t child = spawn([&] {
        SNodeCB_t *linked = nullptr, *unlinked = nullptr;
        const uint64_t offset = createIdNode(seg, &linked);
        SNodeInfo_t info{};
        if (quorAddStatusNodeInfo(&info, seg, seg, offset, 5, 0, nullptr) != 0) return 1;
        createIdNode(seg, &unlinked);
        return linked != nullptr && unlinked != nullptr ? 0 : 2;
    });
    ASSERT_EQ(waitChild(child), 0);
    const Counts made = countsOf(seg);
    EXPECT_GE(made.blocks, before.blocks + 2);
    check(seg);
    EXPECT_EQ(countsOf(seg).blocks, made.blocks - 1);
    check(seg);  // nothing more to give back
    EXPECT_EQ(countsOf(seg).blocks, made.blocks - 1);
    remove(seg);
}

// A worker loops over pool creation and freeing and unlinked node creation and
// release, and is killed at a random instant; after the check the heaps hold
// what they held before, but for a whole pool the worker held when it died.
TEST_F(DebrisTest, KilledWorkersLeaveNothingTheCheckKeeps) {
    ShmSegInfo_t *seg = create("debris-kills", 4u << 20);
    const Counts baseline = countsOf(seg);
    std::mt19937 random(20260);
    int rounds = 0, withDebris = 0, held = 0;
    uint64_t reclaimedPools = 0, reclaimedBlocks = 0;
    for (; rounds < 300; ++rounds) {
        const pid_t worker = spawn([&] {
            for (;;) {
                ShmPoolHandle_t *pool = nullptr;
                if (_quorCreateShmPool(&pool, seg->domainHandle, 16384, nullptr, 0, __LINE__, "w") == 0)
                    (void)_quorFreeShmPool(&pool, QUOR_POOL_FREE_FORCE, 0, __LINE__, "w");
                SNodeCB_t *node = nullptr;
                createIdNode(seg, &node);
                if (node != nullptr) (void)quorDisclaimNode(&node, seg->poolHandle, QUOR_EYECATCHER);
            }
            return 0;
        });
        usleep(std::uniform_int_distribution<int>(0, 3000)(random));
        kill(worker, SIGKILL);
        ASSERT_EQ(waitChild(worker), -SIGKILL);

        shm::DebrisReport report;
        shm::reclaimDebris(seg->domainHandle->base, seg->domainHandle->heapOffset, &report);
        ASSERT_EQ(report.rc, QUOR_RC_OK);
        EXPECT_EQ(report.pending, 0u);
        withDebris += report.pools + report.blocks != 0;
        reclaimedPools += report.pools;
        reclaimedBlocks += report.blocks;
        // A pool handed back to the worker is its own, not debris: it is whole,
        // and the test frees it as its holder would have.
        std::vector<uint64_t> pools;
        ASSERT_EQ(shm::listPools(seg->domainHandle->base, seg->domainHandle->heapOffset, &pools), QUOR_RC_OK);
        for (uint64_t offset : pools) {
            if (offset == seg->poolHandle->poolHeapOffset) continue;
            ShmPoolHandle_t *pool = nullptr;
            ASSERT_EQ(quorConnectToShmPool(&pool, seg->domainHandle, offset, nullptr), QUOR_RC_OK);
            ASSERT_EQ(_quorFreeShmPool(&pool, QUOR_POOL_FREE_FORCE, 0, __LINE__, "t"), QUOR_RC_OK);
            ++held;
        }
        check(seg);
        ASSERT_EQ(countsOf(seg), baseline) << "round " << rounds;
    }
    EXPECT_GT(withDebris, 0);
    std::printf("%d rounds: %d left debris (%llu pools, %llu blocks reclaimed), %d held a whole pool\n", rounds,
                withDebris, static_cast<unsigned long long>(reclaimedPools),
                static_cast<unsigned long long>(reclaimedBlocks), held);
    remove(seg);
}

}  // namespace
}  // namespace quor::test
