// Connections of processes that died: released when a delete, a connection or a
// check finds them, so that a normal delete succeeds after crashes.
#include <signal.h>

#include "segment_fixture.h"

namespace quor::test {
namespace {

// Connects `count` children to the tree at once and kills them all while they
// hold their connections.
void connectAndDie(const IpcResId &id, int count) {
    auto *ready = static_cast<int *>(sharedScratch(sizeof(int)));
    std::vector<pid_t> children;
    for (int i = 0; i < count; ++i) {
        children.push_back(spawn([&] {
            freshLibrary();
            ShmSegInfo_t *other = nullptr;
            SNodeCB_t *top = nullptr;
            TopNodeInfo info{};
            if (quorConnectToATree(&other, &top, &info, &id, nullptr, nullptr, nullptr) != 0) return 1;
            __atomic_add_fetch(ready, 1, __ATOMIC_SEQ_CST);
            for (;;) pause();
        }));
    }
    while (__atomic_load_n(ready, __ATOMIC_SEQ_CST) < count) usleep(100);
    for (pid_t child : children) kill(child, SIGKILL);
    for (pid_t child : children) EXPECT_EQ(waitChild(child), -SIGKILL);
    munmap(ready, sizeof(int));
}

TEST_F(SegmentTest, NormalDeleteSucceedsAfterConnectedProcessesWereKilled) {
    ShmSegInfo_t *seg = create("killed");
    buildTopNode(seg, 0x11, "x");
    IpcResId id = segmentName("killed");
    auto domainRefs = [&] {
        return reinterpret_cast<HHeader_t *>(static_cast<unsigned char *>(seg->domainHandle->base) +
                                             seg->domainHandle->heapOffset)
            ->refCount;
    };
    auto poolRefs = [&] {
        return reinterpret_cast<HHeader_t *>(static_cast<unsigned char *>(seg->domainHandle->base) +
                                             seg->poolHandle->poolHeapOffset)
            ->refCount;
    };

    connectAndDie(id, 100);
    EXPECT_EQ(domainRefs(), 101u);
    EXPECT_EQ(poolRefs(), 101u);

    // A connection releases what dead processes held before it counts its own.

    // A live process's connection is not taken for a dead one's.
    auto *gate = static_cast<int *>(sharedScratch(sizeof(int)));
    pid_t live = spawn([&] {
        freshLibrary();
        ShmSegInfo_t *other = nullptr;
        SNodeCB_t *top = nullptr;
        TopNodeInfo info{};
        if (quorConnectToATree(&other, &top, &info, &id, nullptr, nullptr, nullptr) != 0) return 1;
        __atomic_store_n(gate, 1, __ATOMIC_SEQ_CST);
        while (__atomic_load_n(gate, __ATOMIC_SEQ_CST) != 2) usleep(1000);
        return quorDetachStatusSegment(&other, QUOR_DETACH_RELEASE) == 0 ? 0 : 2;
    });
    while (__atomic_load_n(gate, __ATOMIC_SEQ_CST) != 1) usleep(1000);
    EXPECT_EQ(domainRefs(), 2u);
    EXPECT_EQ(poolRefs(), 2u);
    ShmSegInfo_t *handle = seg;
    EXPECT_EQ(quorDeleteStatusSegment(&handle, QUOR_POOL_FREE_NORMAL, QUOR_DELETE_POOL_AS_GIVEN,
                                      QUOR_DETACH_RELEASE),
              QUOR_RC_POOL_IN_USE);
    __atomic_store_n(gate, 2, __ATOMIC_SEQ_CST);
    EXPECT_EQ(waitChild(live), 0);

    connectAndDie(id, 5);
    EXPECT_EQ(domainRefs(), 6u);
    EXPECT_EQ(
        quorDeleteStatusSegment(&seg, QUOR_POOL_FREE_NORMAL, QUOR_DELETE_POOL_AS_GIVEN, QUOR_DETACH_RELEASE),
        QUOR_RC_OK);
    EXPECT_EQ(seg, nullptr);
}

}  // namespace
}  // namespace quor::test
