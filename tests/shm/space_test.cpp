// The node space at the edges: small pools filled to their last bytes, a long
// churn near full, and rebuilds that keep the skip lists' levels.
#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "heap_fixture.h"
#include "shm/layout.h"

namespace {

using quor::test::DomainFixture;
using namespace quor;

constexpr uint32_t kCaller = 0x08220077;
constexpr char kFile[24] = "space_test.cpp";

// One pool of the size under test in a caller-memory domain with room to spare.
class Space : public DomainFixture {
protected:
    void makePool(uint64_t poolSize) {
        makeDomain(2 * poolSize + 0x40000);
        ASSERT_EQ(_quorCreateShmPool(&pool_, handle_, poolSize, nullptr, kCaller, __LINE__, kFile),
                  QUOR_RC_OK);
        P_ = pool_->poolHeapOffset;
    }
    void TearDown() override {
        if (pool_ != nullptr) {
            EXPECT_EQ(quorDestroyShmPoolHandle(&pool_), QUOR_RC_OK);
        }
        DomainFixture::TearDown();
    }
    uint32_t allocate(uint64_t size, void **out) {
        return _quorAllocateShmBlock(out, pool_, size, 0, kCaller, __LINE__, kFile);
    }
    uint32_t release(void *block) { return _quorFreeShmBlock(&block, pool_, kCaller, __LINE__, kFile); }
    ShmPoolInfo_t poolInfo() {
        ShmPoolInfo_t i{};
        EXPECT_EQ(quorGetShmPoolInfo(pool_, &i), QUOR_RC_OK);
        return i;
    }
    void expectPoolConsistent() {
        shm::HeapCheck check;
        EXPECT_EQ(shm::checkHeap(memory_, QUOR_HEAP_KIND_POOL, P_, &check), QUOR_RC_OK) << check.problem;
    }
    // The level of the allocated node a block's front pad names.
    uint64_t levelOf(const void *block) const {
        uint64_t node = 0, level = 0;
        std::memcpy(&node, static_cast<const unsigned char *>(block) - sizeof(ShmPadEnd_t), 8);
        std::memcpy(&level, memory_ + node + offsetof(SLAllocNode_t, level), 8);
        return level;
    }

    ShmPoolHandle_t *pool_ = nullptr;
    uint64_t P_ = 0;
};

class SpaceFill : public Space, public ::testing::WithParamInterface<uint64_t> {};

// Small blocks in a small pool: the node space grows into the chunk area as long
// as there are free bytes, so the pool runs out of bytes, not of nodes. Every
// block then goes back, and the pool is one free chunk again.
TEST_P(SpaceFill, SmallBlocksFillThePoolToItsLastBytes) {
    makePool(GetParam());
    std::vector<void *> blocks;
    uint32_t rc = QUOR_RC_OK;
    for (void *block = nullptr; (rc = allocate(64, &block)) == QUOR_RC_OK;) blocks.push_back(block);
    const ShmPoolInfo_t full = poolInfo();
    // What is left cannot hold another block with the nodes of its cut.
    const uint64_t L = full.maxLevel;
    EXPECT_LT(full.freeBytes, 96 + shm::freeNodeSize(L - 1) + shm::allocNodeSize(L - 1) +
                                  shm::placementReserve(L) + shm::lowWater(L))
        << std::hex << rc << std::dec << " after " << blocks.size() << " blocks";
    EXPECT_TRUE(rc == QUOR_RC_POOL_OUT_OF_SPACE || rc == QUOR_RC_POOL_NO_FIT ||
                rc == QUOR_RC_SLIST_SPACE_FULL)
        << std::hex << rc;
    expectPoolConsistent();

    std::shuffle(blocks.begin(), blocks.end(), std::mt19937_64(GetParam()));
    for (size_t i = 0; i < blocks.size(); ++i) ASSERT_EQ(release(blocks[i]), QUOR_RC_OK) << i;
    const ShmPoolInfo_t empty = poolInfo();
    EXPECT_EQ(empty.allocCount, 0u);
    EXPECT_EQ(empty.freeCount, 1u);
    expectPoolConsistent();
}

INSTANTIATE_TEST_SUITE_P(PoolSizes, SpaceFill, ::testing::Values(64 << 10, 256 << 10, 1 << 20));

// The same for a small domain carved into 4 KiB chunks.
TEST_F(Space, SmallDomainFillsWithPagesToItsLastBytes) {
    makeDomain(512 << 10);
    std::vector<Chunk> chunks;
    uint32_t rc = QUOR_RC_OK;
    for (Chunk c; (rc = DomainFixture::allocate(4096, &c)) == QUOR_RC_OK;) chunks.push_back(c);
    const ShmDomainInfo_t full = info();
    EXPECT_LT(full.freeBytes, 4128 + shm::cutRoom(full.maxLevel) + shm::lowWater(full.maxLevel))
        << std::hex << rc << std::dec << " after " << chunks.size() << " chunks";
    expectConsistent();
    for (const Chunk &c : chunks) ASSERT_EQ(DomainFixture::release(c), QUOR_RC_OK);
    EXPECT_EQ(info().allocCount, 0u);
    expectConsistent();
}

// Near full, blocks of mixed sizes come and go: a return is never refused, and an
// allocation is refused only for want of bytes or, once the node space can grow no
// further, of node room.
TEST_F(Space, ChurnAtNinetyFivePercentNeverRefusesAReturn) {
    makePool(128 << 10);
    std::mt19937_64 random(7);
    std::vector<void *> live;
    // The share of the chunk area in use (the node space takes its bytes from it).
    auto fill = [&] {
        const ShmPoolInfo_t i = poolInfo();
        return double(i.allocBytes) / double(i.allocBytes + i.freeBytes);
    };

    uint64_t refused = 0, returns = 0;
    for (int step = 0; step < 40000; ++step) {
        if (fill() < 0.95 || live.empty()) {
            void *block = nullptr;
            const uint32_t rc = allocate(8 + random() % 505, &block);
            if (rc == QUOR_RC_OK) {
                live.push_back(block);
                continue;
            }
            ASSERT_TRUE(rc == QUOR_RC_POOL_OUT_OF_SPACE || rc == QUOR_RC_POOL_NO_FIT ||
                        rc == QUOR_RC_SLIST_SPACE_FULL)
                << std::hex << rc;
            ++refused;
        }
        const size_t victim = random() % live.size();
        ASSERT_EQ(release(live[victim]), QUOR_RC_OK) << "return " << returns << " at step " << step;
        ++returns;
        live[victim] = live.back();
        live.pop_back();
    }
    EXPECT_GT(returns, 10000u);
    EXPECT_LT(refused, returns);
    expectPoolConsistent();
}

// A rebuild copies the nodes with the levels they were drawn with: the allocated
// list stays a skip list rather than collapsing into a linked list.
TEST_F(Space, RebuildKeepsEveryNodesLevel) {
    makePool(1 << 20);
    std::vector<void *> blocks(4000);
    for (void *&block : blocks) ASSERT_EQ(allocate(48, &block), QUOR_RC_OK);
    for (size_t i = 0; i < blocks.size(); i += 2) ASSERT_EQ(release(blocks[i]), QUOR_RC_OK);
    std::vector<void *> kept;
    std::map<void *, uint64_t> before;
    for (size_t i = 1; i < blocks.size(); i += 2) before[blocks[i]] = levelOf(blocks[i]);
    ASSERT_EQ(quorDefragmentSLInPlace(memory_, QUOR_HEAP_KIND_POOL, P_), QUOR_RC_OK);
    uint64_t raised = 0;
    for (const auto &[block, level] : before) {
        EXPECT_EQ(levelOf(block), level);
        raised += level > 0;
    }
    // About half the nodes stand above level 0.
    EXPECT_GT(raised, before.size() / 4);
    EXPECT_GT(poolInfo().allocLevel, 3u);
    expectPoolConsistent();
}

// A block taken right after a return takes the retired node's level: under a
// long churn the levels must keep the spread of the draws, not drift to the
// bottom, and the highest ones must stay.
TEST_F(Space, ChurnKeepsTheLevelsSpread) {
    makePool(1 << 20);
    std::vector<void *> blocks(2000);
    for (void *&block : blocks) ASSERT_EQ(allocate(48, &block), QUOR_RC_OK);
    const uint64_t top = poolInfo().allocLevel;
    std::mt19937_64 random(11);
    for (int step = 0; step < 40000; ++step) {
        void *&victim = blocks[random() % blocks.size()];
        ASSERT_EQ(release(victim), QUOR_RC_OK);
        ASSERT_EQ(allocate(48, &victim), QUOR_RC_OK);
    }
    uint64_t raised = 0, high = 0;
    for (void *block : blocks) {
        raised += levelOf(block) > 0;
        high += levelOf(block) > 3;
    }
    EXPECT_GT(raised, blocks.size() / 3);
    EXPECT_LT(raised, blocks.size() * 2 / 3);
    EXPECT_GT(high, 0u);
    EXPECT_GE(poolInfo().allocLevel + 1, top);
    expectPoolConsistent();
}

}  // namespace

namespace {

using quor::test::DomainFixture;
using namespace quor;

// A domain filled with chunks of 4-13 KiB and churned near full: a refusal for want
// of node room comes only when the node space, rebuilt, cannot hold the nodes of a
// cut and of a later return. Every chunk can be given back afterwards.
TEST_F(DomainFixture, NearFullDomainRefusesNodeRoomOnlyWhenTheSpaceCannotBeMade) {
    makeDomain(8 << 20);
    std::mt19937_64 random(26);
    std::vector<Chunk> live;
    int refusedForNodes = 0, refused = 0;
    for (int step = 0; step < 30000; ++step) {
        if (!live.empty() && (step % 3 == 2 || refused > 0)) {
            refused = 0;
            const size_t victim = random() % live.size();
            ASSERT_EQ(release(live[victim]), QUOR_RC_OK) << "step " << step;
            live[victim] = live.back();
            live.pop_back();
            continue;
        }
        Chunk c;
        const uint32_t rc = allocate(4096 + random() % (9 * 1024 + 1), &c);
        if (rc == QUOR_RC_OK) {
            live.push_back(c);
            continue;
        }
        ++refused;
        if (rc != QUOR_RC_SLIST_SPACE_FULL && rc != QUOR_RC_SLIST_SPACE_NOT_CHANGED) {
            ASSERT_TRUE(rc == QUOR_RC_DOMAIN_NO_FIT || rc == QUOR_RC_DOMAIN_OUT_OF_SPACE) << std::hex << rc;
            continue;
        }
        ++refusedForNodes;
        shm::HeapView h = heap();
        const uint64_t unused = h.sl->slSpaceSize - h.sl->slUsedBytes;
        ASSERT_LT(unused, shm::cutRoom(h.L) + shm::returnRoom(h.L))
            << "refused with " << unused << " of " << h.sl->slSpaceSize << " node bytes unused, "
            << info().freeBytes << " heap bytes free, " << live.size() << " chunks live";
    }
    expectConsistent();
    for (const Chunk &c : live) ASSERT_EQ(release(c), QUOR_RC_OK);
    EXPECT_EQ(info().allocCount, 0u);
    expectConsistent();
}

}  // namespace
