// Faults a corrupt segment once led to, each rebuilt by hand: the operation
// must give a code and stay inside the heap.
#include "shm/pool_fixture.h"

namespace quor::test {
namespace {

using CorruptHeap = PoolFixture;

// A node whose caller offset is off the word grid: the listing read the pad type
// in front of it as an aligned word.
TEST_F(CorruptHeap, ListingOfAChunkOffTheWordGridGivesACode) {
    ShmPoolHandle_t *&pool = makePool();
    void *block = nullptr;
    ASSERT_EQ(_quorAllocateShmBlock(&block, pool, 64, 0, kCaller, __LINE__, kFile), 0u);
    auto *node = const_cast<SLAllocNode_t *>(nodeOf(block));
    node->userOffset += 1;
    AssertRecorder reports;
    testing::internal::CaptureStdout();
    EXPECT_NE(_quorShmAllocSList(memory, QUOR_HEAP_KIND_POOL, pool->poolHeapOffset, kCaller, __LINE__, kFile),
              0u);
    testing::internal::GetCapturedStdout();
}

}  // namespace
}  // namespace quor::test
