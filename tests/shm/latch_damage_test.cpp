// Stray bytes in a latch: the heap latches (its lock word at header + 0x68) and
// a node's latch. Whatever the bytes, every operation in another process returns
// within bounded time, working after a takeover or with a code, and the heap's
// dead-holder check runs on what the latch guards.
#include <cstdint>

#include "pool_fixture.h"
#include "shm/checker.h"
#include "tree/test_node.h"

namespace quor::test {
namespace {

// Words written into the latch's mutex: {offset from the lock word, value}.
struct Garbage {
    const char *what;
    uint32_t at, value;
};
const Garbage kGarbage[] = {
    {"four bytes in the lock word", 0, 0x1a3c9e17u},
    {"waiters bit alone", 0, 0x80000000u},
    {"the type word", 16, 0x000000b0u},
    {"the owner word, latch held by no one", 8, 0x7fffffffu},
};

void writeGarbage(void *lockWord, const Garbage &g) {
    strayWrite(static_cast<unsigned char *>(lockWord) + g.at, &g.value, sizeof g.value);
}

class LatchDamageTest : public PoolFixture {
protected:
    void *lockWordOf(uint64_t heapOffset) { return memory + heapOffset + 0x68; }

    // A child's round of work on both heaps; 0 when every call succeeded.
    int workOnHeaps() {
        ShmPoolHandle_t *extra = nullptr;
        if (_quorCreateShmPool(&extra, domain, 8192, nullptr, kCaller, 1, kFile) != 0) return 1;
        void *block = nullptr;
        if (_quorAllocateShmBlock(&block, pool, 100, 0, kCaller, 2, kFile) != 0) return 2;
        if (_quorFreeShmBlock(&block, pool, kCaller, 3, kFile) != 0) return 3;
        ShmPoolInfo_t info{};
        if (quorGetShmPoolInfo(pool, &info) != 0) return 4;
        if (_quorFreeShmPool(&extra, QUOR_POOL_FREE_NORMAL, kCaller, 4, kFile) != 0) return 5;
        return 0;
    }

    void SetUp() override {
        PoolFixture::SetUp();
        pool = makePool();
    }
    ShmPoolHandle_t *pool = nullptr;
};

TEST_F(LatchDamageTest, GarbageInAHeapLatchIsTakenOverByTheNextProcess) {
    for (bool poolHeap : {false, true}) {
        for (const Garbage &g : kGarbage) {
            SCOPED_TRACE(std::string(poolHeap ? "pool heap: " : "domain heap: ") + g.what);
            const uint64_t heapOffset = poolHeap ? pool->poolHeapOffset : domain->heapOffset;
            writeGarbage(lockWordOf(heapOffset), g);
            // Two processes meet the damage at once; both must get through.
            const pid_t first = spawn([&] { return workOnHeaps(); });
            const pid_t second = spawn([&] { return workOnHeaps(); });
            EXPECT_EQ(waitChildFor(first, 30), 0);
            EXPECT_EQ(waitChildFor(second, 30), 0);
            shm::HeapCheck report;
            EXPECT_EQ(shm::checkHeap(memory, poolHeap ? QUOR_HEAP_KIND_POOL : QUOR_HEAP_KIND_DOMAIN, heapOffset,
                                     &report),
                      0u)
                << report.problem;
            EXPECT_EQ(workOnHeaps(), 0);
        }
    }
}

TEST_F(LatchDamageTest, GarbageInANodeLatchIsTakenOverByTheNextProcess) {
    for (const Garbage &g : kGarbage) {
        SCOPED_TRACE(g.what);
        SNodeCB_t *node = makeTestNode();
        ASSERT_NE(node, nullptr);
        auto at = reinterpret_cast<uintptr_t>(node->nodeLatch.accessLatch);
        writeGarbage(reinterpret_cast<void *>((at + 7) & ~uintptr_t{7}), g);
        auto sections = [node] {
            for (int i = 0; i < 100; ++i) {
                if (quorEnterCriticalSectionBeforeWrite(node, &node->nodeLatch) != 0) return 1;
                if (quorExitCriticalSectionAfterWrite(node, &node->nodeLatch) != 0) return 2;
                if (quorEnterCriticalSectionBeforeRead(node, &node->nodeLatch) != 0) return 3;
                if (quorExitCriticalSectionAfterRead(node, &node->nodeLatch) != 0) return 4;
            }
            return 0;
        };
        const pid_t first = spawn(sections), second = spawn(sections);
        EXPECT_EQ(waitChildFor(first, 30), 0);
        EXPECT_EQ(waitChildFor(second, 30), 0);
        EXPECT_EQ(counterValue(node->nodeLatch.writerActive), 0);
        EXPECT_EQ(counterValue(node->nodeLatch.writeCount), 200);
    }
}

}  // namespace
}  // namespace quor::test
