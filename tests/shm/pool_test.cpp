// Pools: layout inside the domain, option checks, connection counting, freeing,
// latching, information and user application data.
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "pool_fixture.h"

namespace quor::test {
namespace {

using PoolTest = PoolFixture;

TEST_F(PoolTest, PoolIsAChunkOfTheDomainCarryingItsOwnHeap) {
    ShmPoolOptions_t options{};
    options.granule = 64;
    options.userAppAreaSize = 13;
    const uint64_t size = 40000;
    ShmPoolHandle_t *&pool = makePool(&options, size);
    ASSERT_NE(pool, nullptr);

    uint64_t capacity = 0, level = QUOR_POOL_DEFAULT_MAX_LEVEL, headerSize, listHeaderSize, spaceSize;
    ASSERT_EQ(quorGetHHeaderInfo(size, QUOR_HEAP_KIND_POOL, &capacity, &level, 13, &headerSize,
                                 &listHeaderSize, &spaceSize),
              0u);
    const uint64_t heapSize = (size + headerSize + spaceSize + 63) / 64 * 64;

    EXPECT_EQ(pool->base, memory);
    EXPECT_EQ(pool->domainHeapOffset, domain->heapOffset);
    const HHeader_t *h = header(pool->poolHeapOffset);
    EXPECT_EQ(h->heapMagic, QUOR_POOL_HEAP_MAGIC);
    EXPECT_EQ(h->heapSize, heapSize);
    EXPECT_EQ(h->granule, 64u);
    EXPECT_EQ(h->parentHeapOffset, domain->heapOffset);
    EXPECT_EQ(h->refCount, 1u);

    // The domain chunk: front pad at poolChunkOffset, poolSize as its user size.
    const SLAllocNode_t *chunk = nodeOf(memory + pool->poolHeapOffset);
    EXPECT_EQ(chunk->chunkOffset, pool->poolChunkOffset);
    EXPECT_EQ(chunk->userOffset, pool->poolHeapOffset);
    EXPECT_EQ(chunk->userSize, size);
    EXPECT_EQ(chunk->callerId, kCaller);
    EXPECT_EQ(pool->poolHeapOffset - pool->poolChunkOffset, 16u);
    EXPECT_EQ(chunk->chunkSize, heapSize + 32);

    const ShmPoolInfo_t got = info(pool);
    EXPECT_EQ(got.selfOffset, pool->poolHeapOffset);
    EXPECT_EQ(got.parentHeapOffset, domain->heapOffset);
    EXPECT_EQ(got.maxLevel, QUOR_POOL_DEFAULT_MAX_LEVEL);
    EXPECT_EQ(got.nodeCapacity, capacity);
    EXPECT_EQ(got.slSpaceSize, spaceSize);
    EXPECT_EQ(got.userAppAreaSize, 13u);
    EXPECT_EQ(got.allocCount, 0u);
    EXPECT_EQ(got.freeCount, 1u);
    EXPECT_EQ(got.freeBytes, heapSize - headerSize - spaceSize);
}

TEST_F(PoolTest, CreationRefusesBadOptionsBeforeCarving) {
    struct Case {
        uint64_t ShmPoolOptions_t::*field;
        uint64_t value;
        uint32_t rc;
    } cases[] = {
        {&ShmPoolOptions_t::userAppAreaSize, kPoolSize + 1, QUOR_RC_BAD_USER_APP_AREA_SIZE},
        {&ShmPoolOptions_t::handleEyecatcher, 5, QUOR_RC_BAD_EYECATCHER},
        {&ShmPoolOptions_t::latchEyecatcher, 5, QUOR_RC_LATCH_NOT_INITIALIZED},
        {&ShmPoolOptions_t::eyecatcher0, 5, QUOR_RC_BAD_STORAGE_EYECATCHER},
        {&ShmPoolOptions_t::granule, 4, QUOR_RC_POOL_GRANULE_OUT_OF_RANGE},
        {&ShmPoolOptions_t::granule, kPoolSize + 8, QUOR_RC_POOL_GRANULE_OUT_OF_RANGE},
        {&ShmPoolOptions_t::granule, 20, QUOR_RC_POOL_GRANULE_NOT_ALIGNED},
    };
    const uint64_t domainAllocated = domainHeader()->allocBytes;
    for (const Case &c : cases) {
        ShmPoolOptions_t options{};
        options.*c.field = c.value;
        ShmPoolHandle_t *pool = nullptr;
        EXPECT_EQ(_quorCreateShmPool(&pool, domain, kPoolSize, &options, kCaller, 1, kFile), c.rc) << c.value;
        EXPECT_EQ(pool, nullptr);
    }
    ShmPoolHandle_t *pool = nullptr;
    EXPECT_EQ(_quorCreateShmPool(&pool, nullptr, kPoolSize, nullptr, kCaller, 1, kFile),
              QUOR_RC_NULL_DOMAIN_HANDLE);
    EXPECT_EQ(_quorCreateShmPool(&pool, domain, kDomainSize * 2, nullptr, kCaller, 1, kFile),
              QUOR_RC_POOL_TOO_LARGE);
    EXPECT_EQ(domainHeader()->allocBytes, domainAllocated);
}

TEST_F(PoolTest, HandleRefusedGivesTheChunkBack) {
    const uint64_t domainFree = domainHeader()->freeBytes;
    const uint64_t liveHandles = hostMemLiveBlocks("quorshm");
    ShmPoolHandle_t *pool = nullptr;
    hostMemFailAfter(1, 0);
    EXPECT_EQ(_quorCreateShmPool(&pool, domain, kPoolSize, nullptr, kCaller, 1, kFile),
              QUOR_RC_POOL_HANDLE_ALLOC_FAILED);
    hostMemFailAfter(0, 0);
    EXPECT_EQ(pool, nullptr);
    EXPECT_EQ(domainHeader()->freeBytes, domainFree);
    EXPECT_EQ(lists(domain->heapOffset)->allocCount, 0u);
    EXPECT_EQ(hostMemLiveBlocks("quorshm"), liveHandles);
}

// A pool granule coarser than 8 rounds the pool's heap past the size the domain
// chunk records; blocks then cover those bytes, and the domain chunk's pad check
// must not take them for damaged slack.
TEST_F(PoolTest, PoolRoundedToItsGranuleFreesWithoutFalseSlackReports) {
    AssertRecorder asserts;
    ShmPoolOptions_t options{};
    options.granule = 512;
    ShmPoolHandle_t *&pool = makePool(&options, 1000);
    ASSERT_NE(pool, nullptr);
    const uint64_t poolHeap = header(pool->poolHeapOffset)->heapSize;
    ASSERT_GT(poolHeap, 1000 + info(pool).slSpaceSize + QUOR_HHEADER_SIZE(0)) << "the granule must round";
    for (void *block = nullptr; _quorAllocateShmBlock(&block, pool, 8, 0, kCaller, 1, kFile) == 0;) {
        std::memset(block, 0xAB, 8);
    }
    EXPECT_EQ(_quorFreeShmPool(&pool, QUOR_POOL_FREE_NORMAL, kCaller, 1, kFile), 0u);
    EXPECT_TRUE(asserts.messages().empty()) << asserts.messages().front();
}

TEST_F(PoolTest, ConnectCountsAndFindsTheChunkFromTheFrontPad) {
    ShmPoolHandle_t *&pool = makePool();
    ShmPoolHandle_t *second = nullptr;
    ASSERT_EQ(quorConnectToShmPool(&second, domain, pool->poolHeapOffset, nullptr), 0u);
    EXPECT_EQ(second->poolChunkOffset, pool->poolChunkOffset);
    EXPECT_EQ(second->domainHeapOffset, pool->domainHeapOffset);
    EXPECT_EQ(header(pool->poolHeapOffset)->refCount, 2u);

    ASSERT_EQ(quorDisconnectFromShmPool(&second), 0u);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(header(pool->poolHeapOffset)->refCount, 1u);
    // The count never goes below 0.
    EXPECT_EQ(quorDisconnectFromStorageHeap(memory, QUOR_HEAP_KIND_POOL, pool->poolHeapOffset), 0u);
    EXPECT_EQ(quorDisconnectFromStorageHeap(memory, QUOR_HEAP_KIND_POOL, pool->poolHeapOffset), 0u);
    EXPECT_EQ(header(pool->poolHeapOffset)->refCount, 0u);
    EXPECT_EQ(quorDisconnectFromStorageHeap(memory, 3, pool->poolHeapOffset), QUOR_RC_BAD_HEAP_MODE);
}

TEST_F(PoolTest, ConnectRefusals) {
    ShmPoolHandle_t *&pool = makePool();
    const uint64_t at = pool->poolHeapOffset;
    ShmPoolHandle_t *other = nullptr;
    EXPECT_EQ(quorConnectToShmPool(&other, domain, at + 4, nullptr), QUOR_RC_POOL_OFFSET_NOT_ALIGNED);
    EXPECT_EQ(quorConnectToShmPool(&other, domain, at + 8, nullptr), QUOR_RC_BAD_POOL_EYECATCHER);
    EXPECT_EQ(quorConnectToShmPool(&other, domain, kDomainSize * 4, nullptr), QUOR_RC_BAD_POOL_EYECATCHER);
    EXPECT_EQ(quorConnectToShmPool(&other, nullptr, at, nullptr), QUOR_RC_NULL_DOMAIN_HANDLE);
    ShmPoolOptions_t options{};
    options.handleEyecatcher = 1;
    EXPECT_EQ(quorConnectToShmPool(&other, domain, at, &options), QUOR_RC_BAD_EYECATCHER);

    // A pool that names another domain heap as its parent.
    header(at)->parentHeapOffset = domain->heapOffset + 8;
    EXPECT_EQ(quorConnectToShmPool(&other, domain, at, nullptr), QUOR_RC_DOMAIN_OFFSET_MISMATCH);
    header(at)->parentHeapOffset = domain->heapOffset;

    header(at)->flags |= QUOR_HEAP_MARKED_FOR_DELETION;
    EXPECT_EQ(quorConnectToShmPool(&other, domain, at, nullptr), QUOR_RC_POOL_MARKED_FOR_DELETION);
    header(at)->flags = 0;

    // A front pad that cannot be read undoes the connection it made.
    auto *padType = reinterpret_cast<uint32_t *>(memory + at) - 1;
    const auto saved = strayRead<uint32_t>(padType);
    strayWrite(padType, 0x11);
    EXPECT_EQ(quorConnectToShmPool(&other, domain, at, nullptr), QUOR_RC_BAD_PAD_TYPE);
    strayWrite(padType, &saved, sizeof saved);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(header(at)->refCount, 1u);
}

TEST_F(PoolTest, NormalFreeWaitsForOtherProcessesForcedFreeDoesNot) {
    ShmPoolHandle_t *&pool = makePool();
    const uint64_t at = pool->poolHeapOffset;
    // The other process stays alive while connected: a dead one's connection
    // would be released by the free.
    auto *connected = static_cast<std::atomic<int> *>(sharedScratch(sizeof(std::atomic<int>)));
    pid_t child = spawn([&] {
        ShmDomainOptions_t options{};
        options.mode = QUOR_SHM_MODE_USER_MEMORY;
        ShmDomainHandle_t *mine = nullptr;
        ShmPoolHandle_t *theirs = nullptr;
        if (quorConnectToShmDomain(nullptr, memory, &options, &mine) != 0) return 1;
        if (quorConnectToShmPool(&theirs, mine, at, nullptr) != 0) return 2;
        connected->store(1);
        for (;;) pause();
    });
    while (connected->load() == 0) sched_yield();
    ASSERT_EQ(header(at)->refCount, 2u);

    const ShmPoolHandle_t stale = *pool;
    const uint64_t domainFree = domainHeader()->freeBytes;
    EXPECT_EQ(_quorFreeShmPool(&pool, 7, kCaller, 1, kFile), QUOR_RC_BAD_POOL_FREE_MODE);
    EXPECT_EQ(_quorFreeShmPool(&pool, QUOR_POOL_FREE_NORMAL, kCaller, 1, kFile), QUOR_RC_POOL_IN_USE);
    EXPECT_EQ(header(at)->heapMagic, QUOR_POOL_HEAP_MAGIC);
    EXPECT_EQ(domainHeader()->freeBytes, domainFree);

    ASSERT_EQ(_quorFreeShmPool(&pool, QUOR_POOL_FREE_FORCE, kCaller, 1, kFile), 0u);
    kill(child, SIGKILL);
    EXPECT_EQ(waitChild(child), -SIGKILL);
    EXPECT_EQ(pool, nullptr);
    EXPECT_EQ(lists(domain->heapOffset)->allocCount, 0u);
    EXPECT_EQ(lists(domain->heapOffset)->freeCount, 1u);

    ShmPoolHandle_t copy = stale, *old = &copy;
    void *block = nullptr;
    ShmPoolInfo_t out;
    EXPECT_EQ(_quorAllocateShmBlock(&block, old, 8, 0, kCaller, 1, kFile), QUOR_RC_BAD_POOL_EYECATCHER);
    EXPECT_EQ(quorGetShmPoolInfo(old, &out), QUOR_RC_BAD_POOL_EYECATCHER);
    EXPECT_EQ(quorLatchShmPool(old), QUOR_RC_BAD_POOL_EYECATCHER);
    EXPECT_EQ(_quorFreeShmPool(&old, QUOR_POOL_FREE_FORCE, kCaller, 1, kFile), QUOR_RC_BAD_POOL_EYECATCHER);
    ShmPoolHandle_t *again = nullptr;
    EXPECT_EQ(quorConnectToShmPool(&again, domain, at, nullptr), QUOR_RC_BAD_POOL_EYECATCHER);
}

TEST_F(PoolTest, FreeingTheTreePoolClearsTheDomainWords) {
    ShmPoolHandle_t *&tree = makePool();
    ShmPoolHandle_t *&other = makePool();
    domainHeader()->treePoolOffset = tree->poolHeapOffset;
    tail(domain->heapOffset)->segInfoListHead = 0x1000;
    tail(domain->heapOffset)->rmxListHead = 0x2000;

    ASSERT_EQ(_quorFreeShmPool(&other, QUOR_POOL_FREE_NORMAL, kCaller, 1, kFile), 0u);
    EXPECT_EQ(domainHeader()->treePoolOffset, tree->poolHeapOffset);
    EXPECT_EQ(tail(domain->heapOffset)->segInfoListHead, 0x1000u);

    ASSERT_EQ(_quorFreeShmPool(&tree, QUOR_POOL_FREE_NORMAL, kCaller, 1, kFile), 0u);
    EXPECT_EQ(domainHeader()->treePoolOffset, 0u);
    EXPECT_EQ(tail(domain->heapOffset)->segInfoListHead, 0u);
    EXPECT_EQ(tail(domain->heapOffset)->rmxListHead, 0u);
}

TEST_F(PoolTest, LatchInfoAndUserData) {
    ShmPoolOptions_t options{};
    const char initial[12] = "hello pool";
    options.userAppAreaSize = sizeof initial;
    options.userAppData = initial;
    ShmPoolHandle_t *&pool = makePool(&options);

    EXPECT_EQ(quorLatchShmPool(pool), 0u);
    EXPECT_EQ(quorUnlatchShmPool(pool), 0u);
    EXPECT_EQ(quorLatchShmPool(nullptr), QUOR_RC_NULL_POOL_HANDLE);

    char buffer[sizeof initial] = {};
    uint64_t size = 0;
    ASSERT_EQ(quorGetPoolUserAppData(pool, &size, buffer), 0u);
    EXPECT_EQ(size, sizeof initial);
    EXPECT_STREQ(buffer, "hello pool");
    const char changed[12] = "changed!!!!";
    ASSERT_EQ(quorSetPoolUserAppData(pool, sizeof changed, changed), 0u);
    ASSERT_EQ(quorGetPoolUserAppData(pool, &size, buffer), 0u);
    EXPECT_STREQ(buffer, "changed!!!!");
    EXPECT_EQ(quorSetPoolUserAppData(pool, 11, changed), QUOR_RC_BAD_USER_APP_AREA_SIZE);
    EXPECT_EQ(quorSetPoolUserAppData(pool, sizeof changed, nullptr), QUOR_RC_NULL_POOL_USER_APP_DATA);
    EXPECT_EQ(quorGetPoolUserAppData(pool, &size, nullptr), QUOR_RC_NULL_POOL_USER_APP_DATA);
    EXPECT_EQ(quorGetPoolUserAppData(pool, nullptr, buffer), QUOR_RC_NULL_POOL_USER_APP_DATA);
    header(pool->poolHeapOffset)->userAppAreaSize = header(pool->poolHeapOffset)->heapSize + 1;
    EXPECT_EQ(quorGetPoolUserAppData(pool, &size, buffer), QUOR_RC_POOL_USER_APP_AREA_CORRUPT);
    header(pool->poolHeapOffset)->userAppAreaSize = sizeof initial;

    EXPECT_EQ(quorGetShmPoolInfo(pool, nullptr), QUOR_RC_NULL_POOL_INFO);
    tail(pool->poolHeapOffset)->topNodeOffset = 0x4242;
    EXPECT_EQ(info(pool).topNodeOffset, 0x4242u);
}

TEST_F(PoolTest, DestroyingTheHandleReleasesOnlyPrivateMemory) {
    ShmPoolHandle_t *&pool = makePool();
    const uint64_t at = pool->poolHeapOffset;
    const uint64_t live = hostMemLiveBlocks("quorshm");
    ASSERT_EQ(quorDestroyShmPoolHandle(&pool), 0u);
    EXPECT_EQ(pool, nullptr);
    EXPECT_EQ(hostMemLiveBlocks("quorshm"), live - 1);
    EXPECT_EQ(header(at)->refCount, 1u);
    EXPECT_EQ(header(at)->heapMagic, QUOR_POOL_HEAP_MAGIC);
    EXPECT_EQ(quorDestroyShmPoolHandle(&pool), QUOR_RC_NULL_POOL_HANDLE);
}

}  // namespace
}  // namespace quor::test
