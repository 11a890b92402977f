// Blocks: carving with pads and granule rounding, freeing through the front pad,
// refusal of bad pointers without touching the lists, and the pad checks.
#include "pool_fixture.h"

namespace quor::test {
namespace {

class BlockTest : public PoolFixture {
protected:
    // Single-process suite: freed chunks and pads are poisoned in sanitizer builds.
    void SetUp() override {
        shm::setChunkPoisoning(true);
        PoolFixture::SetUp();
        pool = makePool();
    }
    void TearDown() override {
        PoolFixture::TearDown();
        shm::setChunkPoisoning(false);
    }
    void *allocate(uint64_t size) {
        void *block = nullptr;
        EXPECT_EQ(_quorAllocateShmBlock(&block, pool, size, 0, kCaller, 77, kFile), 0u);
        return block;
    }
    uint32_t release(void *block) {
        void *ref = block;
        return _quorFreeShmBlock(&ref, pool, kCaller, 88, kFile);
    }
    std::vector<uint64_t> state() { return listState(info(pool)); }
    uint64_t offsetOf(const void *p) const { return static_cast<const unsigned char *>(p) - memory; }

    ShmPoolHandle_t *pool = nullptr;
};

TEST_F(BlockTest, OneByteCarvesFortyBytesAndFreeMergesBack) {
    const std::vector<uint64_t> fresh = state();
    void *block = allocate(1);
    ASSERT_NE(block, nullptr);
    const SLAllocNode_t *node = nodeOf(block);
    EXPECT_EQ(node->chunkSize, 40u);
    EXPECT_EQ(node->userSize, 1u);
    EXPECT_EQ(offsetOf(block), node->chunkOffset + 16);
    EXPECT_EQ(node->callerId, kCaller);
    EXPECT_EQ(node->line, 77u);
    EXPECT_EQ(info(pool).allocBytes, 40u);
    EXPECT_GT(node->chunkOffset, pool->poolHeapOffset);
    EXPECT_LT(node->chunkOffset + 40, pool->poolHeapOffset + info(pool).heapSize + 1);

    void *ref = block;
    ASSERT_EQ(_quorFreeShmBlock(&ref, pool, kCaller, 1, kFile), 0u);
    EXPECT_EQ(ref, nullptr);
    EXPECT_EQ(state()[0], fresh[0]);
    EXPECT_EQ(info(pool).allocCount, 0u);
    EXPECT_EQ(info(pool).freeCount, 1u);
}

TEST_F(BlockTest, SizesRoundUpToThePoolGranule) {
    ShmPoolOptions_t options{};
    options.granule = 64;
    ShmPoolHandle_t *&coarse = makePool(&options);
    void *block = nullptr;
    ASSERT_EQ(_quorAllocateShmBlock(&block, coarse, 1, 0, kCaller, 1, kFile), 0u);
    EXPECT_EQ(nodeOf(block)->chunkSize, 64u + 32u);
    EXPECT_EQ(nodeOf(block)->userSize, 1u);
}

TEST_F(BlockTest, AllocationRefusals) {
    const std::vector<uint64_t> before = state();
    void *block = nullptr;
    EXPECT_EQ(_quorAllocateShmBlock(nullptr, pool, 8, 0, kCaller, 1, kFile), QUOR_RC_NULL_BLOCK_ADDRESS_REF);
    EXPECT_EQ(_quorAllocateShmBlock(&block, nullptr, 8, 0, kCaller, 1, kFile), QUOR_RC_NULL_POOL_HANDLE);
    EXPECT_EQ(_quorAllocateShmBlock(&block, pool, 0, 0, kCaller, 1, kFile), QUOR_RC_POOL_CHUNK_TOO_SMALL);
    EXPECT_EQ(_quorAllocateShmBlock(&block, pool, UINT64_MAX, 0, kCaller, 1, kFile),
              QUOR_RC_POOL_CHUNK_TOO_LARGE);
    EXPECT_EQ(_quorAllocateShmBlock(&block, pool, 8, 1, kCaller, 1, kFile), QUOR_RC_POOL_RESERVED_ARG);
    ShmPoolHandle_t skewed = *pool;
    skewed.poolHeapOffset += 4;
    EXPECT_EQ(_quorAllocateShmBlock(&block, &skewed, 8, 0, kCaller, 1, kFile),
              QUOR_RC_POOL_OFFSET_NOT_ALIGNED);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(state(), before);
}

TEST_F(BlockTest, FreedTwiceIsRefusedWithTheListsUntouched) {
    void *keep = allocate(16);
    void *block = allocate(16);
    ASSERT_EQ(release(block), 0u);
    const std::vector<uint64_t> after = state();
    void *ref = block;
    EXPECT_EQ(_quorFreeShmBlock(&ref, pool, kCaller, 1, kFile), QUOR_RC_BAD_PAD_TYPE);
    EXPECT_EQ(ref, block);
    EXPECT_EQ(state(), after);
    EXPECT_EQ(_quorCheckAllocShmBlock(&ref, pool, kCaller, 1, kFile), QUOR_RC_BAD_PAD_TYPE);
    EXPECT_EQ(release(keep), 0u);
}

TEST_F(BlockTest, BadPointersGiveTheirCodeAndChangeNothing) {
    ASSERT_EQ(
        quorSetShmDebug(memory, QUOR_HEAP_KIND_POOL, pool->poolHeapOffset, 0, QUOR_PAD_TYPE_A110CBEE, 2, 2),
        0u);
    unsigned char *block = static_cast<unsigned char *>(allocate(24));
    const std::vector<uint64_t> before = state();
    const uint64_t poolEnd = pool->poolHeapOffset + info(pool).heapSize;

    struct Case {
        const char *what;
        void *pointer;
        uint64_t corruptAt;  // bytes before the block to overwrite first, 0 for none
        unsigned char value;
        uint32_t rc;
    } cases[] = {
        {"null", nullptr, 0, 0, QUOR_RC_NULL_BLOCK_ADDRESS},
        {"below base", memory - 64, 0, 0, QUOR_RC_BLOCK_BELOW_BASE},
        {"domain header", memory + domain->heapOffset + 64, 0, 0, QUOR_RC_BLOCK_OUTSIDE_POOL},
        {"past the pool", memory + poolEnd + 64, 0, 0, QUOR_RC_BLOCK_OUTSIDE_POOL},
        {"pad type", block, 4, 0x55, QUOR_RC_BAD_PAD_TYPE},
        {"guard count", block, 24, 9, QUOR_RC_BAD_FRONT_GUARD_COUNT},
        {"guard count zero", block, 24, 0, QUOR_RC_BAD_FRONT_GUARD_COUNT},
    };
    for (const Case &c : cases) {
        unsigned char saved = 0;
        if (c.corruptAt != 0) {
            saved = strayRead<unsigned char>(block - c.corruptAt);
            strayWrite(block - c.corruptAt, c.value);
        }
        void *ref = c.pointer;
        EXPECT_EQ(_quorFreeShmBlock(&ref, pool, kCaller, 1, kFile), c.rc) << c.what;
        EXPECT_EQ(ref, c.pointer) << c.what;
        EXPECT_EQ(state(), before) << c.what;
        if (c.corruptAt != 0) strayWrite(block - c.corruptAt, saved);
    }
    EXPECT_EQ(_quorFreeShmBlock(nullptr, pool, kCaller, 1, kFile), QUOR_RC_NULL_BLOCK_ADDRESS_REF);
    EXPECT_EQ(release(block), 0u);
}

// Each pad type frames the block with its own front pad and overhead (three front
// and three back guard words).
TEST_F(BlockTest, EveryPadTypeAllocatesAndFrees) {
    struct Case {
        uint32_t padType;
        uint64_t front, overhead;
        bool keepsFileName;
    } cases[] = {
        {QUOR_PAD_TYPE_NONE, 16, 16, false},     {QUOR_PAD_TYPE_C0DE1D1E, 16, 16, false},
        {QUOR_PAD_TYPE_EEBC011A, 16, 32, false}, {QUOR_PAD_TYPE_DABC011A, 24, 48, false},
        {QUOR_PAD_TYPE_A110CBEE, 56, 96, false}, {QUOR_PAD_TYPE_A110CBAD, 64, 112, false},
        {QUOR_PAD_TYPE_A110CE87, 80, 120, true}, {QUOR_PAD_TYPE_78EC011A, 88, 136, true},
    };
    AssertRecorder reports;
    for (const Case &c : cases) {
        ShmPoolHandle_t *&fresh = makePool();
        ASSERT_EQ(quorSetShmDebug(memory, QUOR_HEAP_KIND_POOL, fresh->poolHeapOffset, 0, c.padType, 3, 3),
                  0u);
        void *block = nullptr;
        ASSERT_EQ(_quorAllocateShmBlock(&block, fresh, 10, 0, kCaller, 5, kFile), 0u)
            << std::hex << c.padType;
        const SLAllocNode_t *node = nodeOf(block);
        EXPECT_EQ(offsetOf(block) - node->chunkOffset, c.front) << std::hex << c.padType;
        EXPECT_EQ(node->chunkSize, 16 + c.overhead) << std::hex << c.padType;
        if (c.keepsFileName) {
            char name[QUOR_PAD_FILE_NAME_SIZE];
            strayRead(name, memory + node->chunkOffset + 24, sizeof name);
            EXPECT_STREQ(name, kFile);
        }
        EXPECT_EQ(_quorCheckAllocShmBlock(&block, fresh, kCaller, 1, kFile), 0u);
        ASSERT_EQ(_quorFreeShmBlock(&block, fresh, kCaller, 6, kFile), 0u) << std::hex << c.padType;
        EXPECT_EQ(info(fresh).allocCount, 0u);
        EXPECT_EQ(info(fresh).freeCount, 1u);
        ASSERT_EQ(_quorFreeShmPool(&fresh, QUOR_POOL_FREE_NORMAL, kCaller, 1, kFile), 0u);
    }
    EXPECT_TRUE(reports.messages().empty()) << reports.messages().front();
}

TEST_F(BlockTest, OverrunIsReportedAtTheNextFree) {
    AssertRecorder reports;
    unsigned char *slack = static_cast<unsigned char *>(allocate(1));
    unsigned char *exact = static_cast<unsigned char *>(allocate(8));
    void *ref = slack;
    EXPECT_EQ(_quorCheckAllocShmBlock(&ref, pool, kCaller, 1, kFile), 0u);
    EXPECT_TRUE(reports.messages().empty());

    strayWrite(slack + 1, 0);  // into the slack behind the caller's byte
    strayWrite(exact + 8, strayRead<unsigned char>(exact + 8) ^ 0xff);  // into the back pad
    EXPECT_EQ(_quorCheckAllocShmBlock(&ref, pool, kCaller, 1, kFile), 0u);
    EXPECT_TRUE(reports.saw("Back memory pad aligned size corruption"));
    reports.messages().clear();

    EXPECT_EQ(release(slack), 0u);
    EXPECT_TRUE(reports.saw("Back memory pad aligned size corruption"));
    reports.messages().clear();
    EXPECT_EQ(release(exact), 0u);
    EXPECT_FALSE(reports.messages().empty());
    EXPECT_EQ(info(pool).allocCount, 0u);
}

TEST_F(BlockTest, PoolCheckRunsOnTheDomainChunk) {
    AssertRecorder reports;
    EXPECT_EQ(_quorCheckAllocShmPool(domain, pool->poolHeapOffset, kCaller, 1, kFile), 0u);
    EXPECT_TRUE(reports.messages().empty());
    EXPECT_EQ(_quorCheckAllocShmPool(domain, pool->poolHeapOffset + 4, kCaller, 1, kFile),
              QUOR_RC_POOL_OFFSET_NOT_ALIGNED);
    EXPECT_EQ(_quorCheckAllocShmPool(nullptr, pool->poolHeapOffset, kCaller, 1, kFile),
              QUOR_RC_NULL_DOMAIN_HANDLE);

    // A stray write into the domain chunk's back pad, behind the pool heap.
    strayWrite(memory + pool->poolHeapOffset + info(pool).heapSize + 9, 0x5a);
    EXPECT_EQ(_quorCheckAllocShmPool(domain, pool->poolHeapOffset, kCaller, 1, kFile), 0u);
    EXPECT_FALSE(reports.messages().empty());
}

#ifdef QUOR_SANITIZE
// In sanitizer builds the pads of a live block and the bytes of a freed one are
// poisoned, so the sanitizer itself stops the stray access.
TEST_F(BlockTest, SanitizerCatchesOverrunAndUseAfterFree) {
    unsigned char *block = static_cast<unsigned char *>(allocate(8));
    block[7] = 1;  // the caller's own bytes stay usable
    EXPECT_DEATH(static_cast<volatile unsigned char *>(block)[8] = 1, "use-after-poison");
    EXPECT_DEATH(static_cast<volatile unsigned char *>(block)[-1] = 1, "use-after-poison");
    ASSERT_EQ(release(block), 0u);
    EXPECT_DEATH(static_cast<volatile unsigned char *>(block)[0] = 1, "use-after-poison");
    unsigned char *again = static_cast<unsigned char *>(allocate(8));
    again[0] = 1;
    EXPECT_EQ(release(again), 0u);
}
#endif

}  // namespace
}  // namespace quor::test
