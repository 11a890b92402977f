// Process death at random instants: a child loops over block allocation and
// return and pool creation and freeing, and is killed after a random delay. The
// survivor must then find each heap consistent (repaired if need be) and keep
// working with clean checks, or find it fenced with every operation refused.
#include <signal.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>

#include "pool_fixture.h"
#include "shm/checker.h"
#include "shm/recovery.h"

namespace quor::test {
namespace {

// Counts the recovery records of the log in this process.
struct RecoveryLog {
    static inline int repaired = 0, fenced = 0, consistent = 0;
    RecoveryLog() {
        repaired = fenced = consistent = 0;
        HostTraceHooks hooks{};
        hooks.log = [](uint32_t, uint32_t, uint32_t probe, const void *, uint32_t) {
            if (probe == 910) ++repaired;
            if (probe == 920) ++fenced;
            if (probe == 900) ++consistent;
        };
        hostSetTraceHooks(&hooks);
    }
    ~RecoveryLog() { hostSetTraceHooks(nullptr); }
};

void pauseMicros(long micros) {
    timespec delay{0, micros * 1000};
    nanosleep(&delay, nullptr);
}

// The child's endless work: blocks come and go in the pool, pools in the domain.
[[noreturn]] void churn(ShmDomainHandle_t *domain, ShmPoolHandle_t *pool, unsigned seed) {
    void *blocks[64] = {};
    ShmPoolHandle_t *pools[4] = {};
    for (;;) {
        const unsigned r = rand_r(&seed);
        if (r % 16 == 0) {
            ShmPoolHandle_t *&p = pools[(r / 16) % 4];
            if (p == nullptr) {
                (void)_quorCreateShmPool(&p, domain, 4096 + (r % 8) * 1024, nullptr, kCaller, 1, kFile);
            } else {
                (void)_quorFreeShmPool(&p, QUOR_POOL_FREE_FORCE, kCaller, 2, kFile);
            }
            continue;
        }
        void *&b = blocks[(r / 16) % 64];
        if (b == nullptr) {
            (void)_quorAllocateShmBlock(&b, pool, 8 + (r >> 8) % 600, 0, kCaller, 3, kFile);
        } else {
            (void)_quorFreeShmBlock(&b, pool, kCaller, 4, kFile);
        }
    }
}

enum class Outcome { Consistent, Fenced };

struct Tally {
    int damagedAtKill = 0;  // rounds with a heap inconsistent right after the kill
    int fencedRounds = 0;
};

class CrashTest : public PoolFixture {
protected:
    void SetUp() override { memory = static_cast<unsigned char *>(sharedScratch(kDomainSize)); }
    // A fresh domain with one pool in the same bytes, both with `padType`.
    void fresh(uint32_t padType) {
        if (domain != nullptr) {
            ASSERT_EQ(quorDestroyShmDomainHandle(&domain), 0u);
        }
        for (ShmPoolHandle_t *&p : pools) {
            if (p != nullptr) {
                ASSERT_EQ(quorDestroyShmPoolHandle(&p), 0u);
            }
        }
        pools.clear();
        std::memset(memory, 0, kDomainSize);
        ShmDomainOptions_t options{};
        options.mode = QUOR_SHM_MODE_USER_MEMORY;
        ASSERT_EQ(quorCreateShmDomain(nullptr, memory, kDomainSize, &options, &domain), 0u);
        ASSERT_EQ(quorSetShmDebug(memory, QUOR_HEAP_KIND_DOMAIN, 0, 11, padType, 2, 2), 0u);
        ShmPoolOptions_t small{};
        small.nodeCapacity = 40;  // a small node space: kills land in rebuilds too
        pool = makePool(&small, 128 * 1024);
        ASSERT_NE(pool, nullptr);
        ASSERT_EQ(quorSetShmDebug(memory, QUOR_HEAP_KIND_POOL, pool->poolHeapOffset, 11, padType, 2, 2), 0u);
    }

    bool consistent(uint32_t kind, uint64_t offset) {
        shm::HeapCheck report;
        return shm::checkHeap(memory, kind, offset, &report) == QUOR_RC_OK;
    }

    // What the survivor sees of the pool: work that succeeds with clean checks,
    // or the damage code from every operation.
    Outcome survivePool() {
        void *block = nullptr;
        const uint32_t first = _quorAllocateShmBlock(&block, pool, 100, 0, kCaller, 10, kFile);
        if (first == QUOR_RC_HEAP_DAMAGED) {
            void *other = nullptr;
            EXPECT_EQ(_quorAllocateShmBlock(&other, pool, 8, 0, kCaller, 11, kFile), QUOR_RC_HEAP_DAMAGED);
            EXPECT_NE(_quorCheckAllocShmPool(domain, pool->poolHeapOffset, kCaller, 12, kFile), 0u);
            ShmPoolInfo_t info{};
            EXPECT_EQ(quorGetShmPoolInfo(pool, &info), QUOR_RC_HEAP_DAMAGED);
            return Outcome::Fenced;
        }
        EXPECT_EQ(first, 0u);
        void *more[8] = {};
        for (void *&b : more) EXPECT_EQ(_quorAllocateShmBlock(&b, pool, 64, 0, kCaller, 13, kFile), 0u);
        for (void *&b : more) EXPECT_EQ(_quorFreeShmBlock(&b, pool, kCaller, 14, kFile), 0u);
        EXPECT_EQ(_quorFreeShmBlock(&block, pool, kCaller, 15, kFile), 0u);
        EXPECT_EQ(_quorCheckAllocShmPool(domain, pool->poolHeapOffset, kCaller, 16, kFile), 0u);
        EXPECT_TRUE(consistent(QUOR_HEAP_KIND_POOL, pool->poolHeapOffset));
        return Outcome::Consistent;
    }

    Outcome surviveDomain() {
        ShmPoolHandle_t *extra = nullptr;
        const uint32_t rc = _quorCreateShmPool(&extra, domain, 8192, nullptr, kCaller, 20, kFile);
        if (rc == QUOR_RC_HEAP_DAMAGED) {
            ShmPoolHandle_t *again = nullptr;
            EXPECT_EQ(_quorCreateShmPool(&again, domain, 4096, nullptr, kCaller, 21, kFile),
                      QUOR_RC_HEAP_DAMAGED);
            return Outcome::Fenced;
        }
        EXPECT_EQ(rc, 0u);
        EXPECT_EQ(_quorFreeShmPool(&extra, QUOR_POOL_FREE_NORMAL, kCaller, 22, kFile), 0u);
        EXPECT_TRUE(consistent(QUOR_HEAP_KIND_DOMAIN, domain->heapOffset));
        return Outcome::Consistent;
    }

    // One kill: returns whether a heap was found inconsistent at the kill.
    void round(unsigned seed, uint32_t padType, Tally &tally) {
        fresh(padType);
        // Some blocks of the survivor's own, which must outlive any repair.
        void *mine[16] = {};
        for (size_t i = 0; i < 16; ++i) {
            ASSERT_EQ(_quorAllocateShmBlock(&mine[i], pool, 16 + 24 * i, 0, kCaller, 30, kFile), 0u);
            std::memset(mine[i], int(i), 16 + 24 * i);
        }
        const pid_t child = spawn([&]() -> int { churn(domain, pool, seed); });
        pauseMicros(200 + seed % 2000);
        kill(child, SIGKILL);
        ASSERT_EQ(waitChild(child), -SIGKILL);

        const bool poolBroken = !consistent(QUOR_HEAP_KIND_POOL, pool->poolHeapOffset);
        const bool domainBroken = !consistent(QUOR_HEAP_KIND_DOMAIN, domain->heapOffset);
        if (poolBroken || domainBroken) ++tally.damagedAtKill;

        const Outcome d = surviveDomain();
        const Outcome p = d == Outcome::Fenced ? Outcome::Fenced : survivePool();
        if (d == Outcome::Fenced || p == Outcome::Fenced) {
            ++tally.fencedRounds;
        } else {
            for (size_t i = 0; i < 16; ++i) {
                auto *bytes = static_cast<unsigned char *>(mine[i]);
                for (size_t j = 0; j < 16 + 24 * i; ++j) ASSERT_EQ(bytes[j], i) << "block " << i;
                EXPECT_EQ(_quorFreeShmBlock(&mine[i], pool, kCaller, 31, kFile), 0u);
            }
            EXPECT_TRUE(consistent(QUOR_HEAP_KIND_POOL, pool->poolHeapOffset));
        }
        // Fenced or not, the heap can be freed.
        if (d != Outcome::Fenced) {
            EXPECT_EQ(_quorFreeShmPool(&pools.front(), QUOR_POOL_FREE_FORCE, kCaller, 32, kFile), 0u);
        }
        EXPECT_EQ(quorFreeShmDomain(&domain, QUOR_SHM_FREE_FORCE), 0u);
    }

    ShmPoolHandle_t *pool = nullptr;
};

TEST_F(CrashTest, KilledWorkerLeavesHeapsRepairedOrFenced) {
    RecoveryLog log;
    Tally tally;
    const uint32_t padTypes[] = {QUOR_PAD_TYPE_EEBC011A, QUOR_PAD_TYPE_NONE, QUOR_PAD_TYPE_78EC011A};
    const unsigned base = static_cast<unsigned>(time(nullptr));
    constexpr int kRounds = 300;
    for (int i = 0; i < kRounds && !HasFatalFailure(); ++i) {
        SCOPED_TRACE("seed " + std::to_string(base + i));
        round(base + i, padTypes[i % 3], tally);
    }
    std::printf("crash rounds %d: inconsistent at the kill %d, repaired %d, fenced %d (rounds %d)\n", kRounds,
                tally.damagedAtKill, RecoveryLog::repaired, RecoveryLog::fenced, tally.fencedRounds);
    // Every inconsistent heap went through the recovery.
    EXPECT_GE(RecoveryLog::repaired + RecoveryLog::fenced, tally.damagedAtKill);
}

}  // namespace
}  // namespace quor::test

namespace quor::test {
namespace {

// What a rebuild of the node space that died half way leaves: the first chunk
// with pads of `padType` is out of the lists and its node written over.
void loseNode(shm::HeapView &h, uint32_t padType) {
    uint64_t link = shm::HeapView::allocLinks(h.allocNode(h.allocHead))[0];
    for (; link != 0; link = shm::HeapView::allocLinks(h.allocNode(link - 0x30))[0]) {
        SLAllocNode_t *node = h.allocNode(link - 0x30);
        uint32_t type = 0;
        h.load(node->userOffset - 4, &type);
        if (type != padType) continue;
        uint64_t size = 0;
        shm::deleteAllocChunk(h, node->chunkOffset, shm::kAnyUserOffset, &size);
        node->chunkOffset += 8;
        return;
    }
}

// A child takes the pool's latch, leaves the heap as `damage` says and dies
// holding it; the survivor's next operation meets what it left.
class DeadHolderTest : public PoolFixture {
protected:
    void SetUp() override {
        PoolFixture::SetUp();
        pool = makePool();
        // Six blocks with front and back pads, two with a front pad only.
        for (size_t i = 0; i < kBlocks; ++i) {
            if (i == 6) {
                ASSERT_EQ(quorSetShmDebug(memory, QUOR_HEAP_KIND_POOL, pool->poolHeapOffset, 11,
                                          QUOR_PAD_TYPE_C0DE1D1E, 2, 2),
                          0u);
            }
            ASSERT_EQ(_quorAllocateShmBlock(&blocks[i], pool, 40 + 8 * i, 0, kCaller, 40, kFile), 0u);
            std::memset(blocks[i], 0x60 + int(i), 40 + 8 * i);
        }
        void *gap = blocks[2];
        ASSERT_EQ(_quorFreeShmBlock(&gap, pool, kCaller, 41, kFile), 0u);
        blocks[2] = nullptr;
    }

    template <class Damage>
    void dieHoldingLatch(Damage damage, uint32_t kind = QUOR_HEAP_KIND_POOL) {
        const pid_t child = spawn([&] {
            const bool isPool = kind == QUOR_HEAP_KIND_POOL;
            if ((isPool ? quorLatchShmPool(pool) : quorLatchShmDomain(domain)) != 0) return 1;
            shm::HeapView h;
            if (h.open(memory, kind, isPool ? pool->poolHeapOffset : domain->heapOffset) != 0) return 2;
            damage(h);
            _exit(0);  // dies with the latch held
        });
        ASSERT_EQ(waitChild(child), 0);
    }

    bool blocksIntact() {
        for (size_t i = 0; i < kBlocks; ++i) {
            if (blocks[i] == nullptr) continue;
            for (size_t j = 0; j < 40 + 8 * i; ++j)
                if (static_cast<unsigned char *>(blocks[i])[j] != 0x60 + i) return false;
        }
        return true;
    }

    static constexpr size_t kBlocks = 8;
    ShmPoolHandle_t *pool = nullptr;
    void *blocks[kBlocks] = {};
};

TEST_F(DeadHolderTest, HalfDoneChangesAreRepairedAndTheSurvivorCarriesOn) {
    struct Case {
        const char *what;
        void (*damage)(shm::HeapView &);
        int repaired;
    };
    const Case cases[] = {
        {"nothing changed", [](shm::HeapView &) {}, 0},
        {"a return that unlinked its chunk and died",
         [](shm::HeapView &h) {
             uint64_t link = shm::HeapView::allocLinks(h.allocNode(h.allocHead))[0], size = 0;
             shm::deleteAllocChunk(h, h.allocNode(link - 0x30)->chunkOffset, shm::kAnyUserOffset, &size);
         },
         1},
        {"counts written, lists not yet",
         [](shm::HeapView &h) {
             h.sl->freeCount += 1;
             h.header->freeBytes -= 64;
         },
         1},
        {"a rebuild that wrote over a chunk's node before relisting it",
         [](shm::HeapView &h) { loseNode(h, QUOR_PAD_TYPE_EEBC011A); }, 1},
        {"the same for a chunk with a front pad only",
         [](shm::HeapView &h) { loseNode(h, QUOR_PAD_TYPE_C0DE1D1E); }, 1},
        {"a node-space reset that died before relisting",
         [](shm::HeapView &h) {
             h.sl->allocCount = h.sl->freeCount = 0;
             shm::HeapView::allocLinks(h.allocNode(h.allocHead))[0] = 0;
             std::fill_n(shm::HeapView::freeLinks(h.freeNode(h.freeHead), shm::kForwardO), 4 * h.L,
                         h.freeTail);
         },
         1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        RecoveryLog log;
        dieHoldingLatch(c.damage);
        void *fresh = nullptr;
        ASSERT_EQ(_quorAllocateShmBlock(&fresh, pool, 24, 0, kCaller, 42, kFile), 0u);
        EXPECT_EQ(RecoveryLog::repaired, c.repaired);
        EXPECT_EQ(RecoveryLog::consistent, 1 - c.repaired);
        EXPECT_TRUE(blocksIntact());
        EXPECT_EQ(_quorFreeShmBlock(&fresh, pool, kCaller, 43, kFile), 0u);
        EXPECT_EQ(_quorCheckAllocShmPool(domain, pool->poolHeapOffset, kCaller, 44, kFile), 0u);
        EXPECT_EQ(shm::checkHeap(memory, QUOR_HEAP_KIND_POOL, pool->poolHeapOffset), 0u);
    }
}

// Damage that leaves every pad intact (a chunk that fell out of the lists) is
// found by the exported checks and dumps, which walk the lists, levels, totals
// and tiling.
TEST_F(DeadHolderTest, ExportedChecksAndDumpsWalkTheWholeHeap) {
    void *ref = blocks[0];
    ASSERT_EQ(_quorCheckAllocShmBlock(&ref, pool, kCaller, 60, kFile), 0u);
    shm::HeapView h;
    ASSERT_EQ(h.open(memory, QUOR_HEAP_KIND_POOL, pool->poolHeapOffset), 0u);
    const uint64_t link = shm::HeapView::allocLinks(h.allocNode(h.allocHead))[0];
    uint64_t size = 0;
    ASSERT_EQ(shm::deleteAllocChunk(h, h.allocNode(link - 0x30)->chunkOffset, shm::kAnyUserOffset, &size),
              0u);
    h.header->allocBytes += size;  // the totals still count it
    ref = blocks[1];
    EXPECT_EQ(_quorCheckAllocShmBlock(&ref, pool, kCaller, 61, kFile), QUOR_RC_HEAP_CORRUPT);
    EXPECT_EQ(_quorCheckAllocShmPool(domain, pool->poolHeapOffset, kCaller, 62, kFile), QUOR_RC_HEAP_CORRUPT);
    EXPECT_EQ(quorPrintOutSkipLists(pool, QUOR_HEAP_KIND_POOL, 0), QUOR_RC_HEAP_CORRUPT);
    EXPECT_EQ(_quorShmAllocSList(memory, QUOR_HEAP_KIND_POOL, pool->poolHeapOffset, kCaller, 63, kFile),
              QUOR_RC_HEAP_CORRUPT);
}

TEST_F(DeadHolderTest, AnUnrepairableHeapIsFencedUntilFreed) {
    RecoveryLog log;
    // A rebuild of the domain's node space that died after it had written over
    // the node of the pool's chunk: a pool's size cannot be read from its pads.
    dieHoldingLatch([](shm::HeapView &h) { loseNode(h, QUOR_PAD_TYPE_EEBC011A); }, QUOR_HEAP_KIND_DOMAIN);
    ShmPoolHandle_t *other = nullptr;
    EXPECT_EQ(_quorCreateShmPool(&other, domain, 8192, nullptr, kCaller, 50, kFile), QUOR_RC_HEAP_DAMAGED);
    EXPECT_EQ(RecoveryLog::fenced, 1);
    void *fresh = nullptr;
    ShmPoolInfo_t info{};
    ShmDomainInfo_t domainInfo{};
    EXPECT_EQ(_quorCreateShmPool(&other, domain, 8192, nullptr, kCaller, 51, kFile), QUOR_RC_HEAP_DAMAGED);
    EXPECT_EQ(_quorAllocateShmBlock(&fresh, pool, 24, 0, kCaller, 52, kFile), QUOR_RC_HEAP_DAMAGED);
    EXPECT_EQ(_quorFreeShmBlock(&blocks[0], pool, kCaller, 53, kFile), QUOR_RC_HEAP_DAMAGED);
    EXPECT_EQ(quorGetShmPoolInfo(pool, &info), QUOR_RC_HEAP_DAMAGED);
    EXPECT_EQ(quorConnectToShmPool(&other, domain, pool->poolHeapOffset, nullptr), QUOR_RC_HEAP_DAMAGED);
    EXPECT_EQ(_quorCheckAllocShmPool(domain, pool->poolHeapOffset, kCaller, 54, kFile), QUOR_RC_HEAP_DAMAGED);
    EXPECT_EQ(quorPrintOutSkipLists(pool, QUOR_HEAP_KIND_DOMAIN, 0), QUOR_RC_HEAP_DAMAGED);
    EXPECT_EQ(_quorShmAllocSList(memory, QUOR_HEAP_KIND_DOMAIN, domain->heapOffset, kCaller, 55, kFile),
              QUOR_RC_HEAP_DAMAGED);
    EXPECT_EQ(_quorFreeShmPool(&pools.front(), QUOR_POOL_FREE_FORCE, kCaller, 56, kFile),
              QUOR_RC_HEAP_DAMAGED);
    EXPECT_EQ(RecoveryLog::fenced, 1);  // fenced once, refused at once after
    // The header snapshot still reads, and shows the fence.
    ASSERT_EQ(quorGetShmDomainInfo(domain, &domainInfo), 0u);
    EXPECT_NE(domainInfo.flags & QUOR_HEAP_DAMAGED, 0u);

    // Freeing the domain still works.
    EXPECT_EQ(quorFreeShmDomain(&domain, QUOR_SHM_FREE_FORCE), 0u);
}

}  // namespace
}  // namespace quor::test
