// Connections of processes that died: released when a delete, a connection or a
// check finds them, so that a normal delete succeeds after crashes.
#include <signal.h>

#include "segment_fixture.h"

namespace quor::test {
namespace {

// Children connected to one tree. Each counts itself in `connected`, then holds
// its connection until it is killed or `release` turns non-zero, when it detaches.
class Connected {
public:
    Connected(const IpcResId &id, int count) {
        for (int i = 0; i < count; ++i) {
            children_.push_back(spawn([&] {
                freshLibrary();
                ShmSegInfo_t *other = nullptr;
                SNodeCB_t *top = nullptr;
                TopNodeInfo info{};
                if (quorConnectToATree(&other, &top, &info, &id, nullptr, nullptr, nullptr) != 0) return 1;
                __atomic_add_fetch(&shared_[0], 1, __ATOMIC_SEQ_CST);
                while (__atomic_load_n(&shared_[1], __ATOMIC_SEQ_CST) == 0) usleep(1000);
                return quorDetachStatusSegment(&other, QUOR_DETACH_RELEASE) == 0 ? 0 : 2;
            }));
        }
        while (__atomic_load_n(&shared_[0], __ATOMIC_SEQ_CST) < count) usleep(100);
    }
    ~Connected() { munmap(shared_, 2 * sizeof(int)); }
    void kill() {
        for (pid_t child : children_) ::kill(child, SIGKILL);
        for (pid_t child : children_) EXPECT_EQ(waitChild(child), -SIGKILL);
    }
    void detach() {
        __atomic_store_n(&shared_[1], 1, __ATOMIC_SEQ_CST);
        for (pid_t child : children_) EXPECT_EQ(waitChild(child), 0);
    }

private:
    int *shared_ = static_cast<int *>(sharedScratch(2 * sizeof(int)));
    std::vector<pid_t> children_;
};

uint64_t refCountAt(ShmSegInfo_t *seg, uint64_t heapOffset) {
    return reinterpret_cast<HHeader_t *>(static_cast<unsigned char *>(seg->domainHandle->base) + heapOffset)
        ->refCount;
}

TEST_F(SegmentTest, NormalDeleteSucceedsAfterConnectedProcessesWereKilled) {
    ShmSegInfo_t *seg = create("killed");
    buildTopNode(seg, 0x11, "x");
    IpcResId id = segmentName("killed");
    const uint64_t domain = seg->domainHandle->heapOffset, pool = seg->poolHandle->poolHeapOffset;

    Connected(id, 100).kill();
    EXPECT_EQ(refCountAt(seg, domain), 101u);
    EXPECT_EQ(refCountAt(seg, pool), 101u);

    // A connection releases what dead processes held before it counts its own,
    // and a live process's connection is never taken for a dead one's.
    {
        Connected live(id, 1);
        EXPECT_EQ(refCountAt(seg, domain), 2u);
        EXPECT_EQ(refCountAt(seg, pool), 2u);
        ShmSegInfo_t *handle = seg;
        EXPECT_EQ(quorDeleteStatusSegment(&handle, QUOR_POOL_FREE_NORMAL, QUOR_DELETE_POOL_AS_GIVEN,
                                          QUOR_DETACH_RELEASE),
                  QUOR_RC_POOL_IN_USE);
        live.detach();
    }

    // A check releases them too.
    Connected(id, 5).kill();
    EXPECT_EQ(refCountAt(seg, domain), 6u);
    EXPECT_EQ(_quorCheckAllocShmPool(seg->domainHandle, pool, 0, 1, "test"), QUOR_RC_OK);
    EXPECT_EQ(refCountAt(seg, domain), 1u);
    EXPECT_EQ(refCountAt(seg, pool), 1u);

    Connected(id, 3).kill();
    EXPECT_EQ(
        quorDeleteStatusSegment(&seg, QUOR_POOL_FREE_NORMAL, QUOR_DELETE_POOL_AS_GIVEN, QUOR_DETACH_RELEASE),
        QUOR_RC_OK);
    EXPECT_EQ(seg, nullptr);
}

}  // namespace
}  // namespace quor::test
