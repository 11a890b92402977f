// Connections of processes that died: released when a delete, a connection or a
// check finds them, so that a normal delete succeeds after crashes.
#include <signal.h>

#include <optional>

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

// Connections of dead processes are released whichever process finds them first,
// and never leave a count behind: the creator alive without a connection or
// killed itself, with or without a live holder, found by a fresh connection, by
// a check or by a delete of a process connected before the deaths.
TEST_F(SegmentTest, DeadConnectionsAreReleasedInEveryOrder) {
    enum class Finder { connect, check, remove };
    struct Case {
        bool creatorKilled;
        bool liveHolder;
        Finder finder;
    };
    std::vector<Case> cases;
    for (bool killed : {false, true})
        for (bool live : {false, true})
            for (Finder f : {Finder::connect, Finder::check, Finder::remove}) cases.push_back({killed, live, f});

    int round = 0;
    for (const Case c : cases) {
        SCOPED_TRACE("creator killed " + std::to_string(c.creatorKilled) + ", live holder " +
                     std::to_string(c.liveHolder) + ", finder " + std::to_string(int(c.finder)));
        const std::string label = "order" + std::to_string(round++);
        IpcResId id = name(label);
        if (c.creatorKilled) {
            // The creator builds the tree and dies holding its connections.
            auto *ready = static_cast<int *>(sharedScratch(sizeof(int)));
            const pid_t creator = spawn([&] {
                freshLibrary();
                ShmSegInfo_t *made = nullptr;
                if (quorGetProtectedStatusSegment(&made, kSegmentSize, &id, nullptr, 0, nullptr, nullptr) != 0)
                    return 1;
                buildTopNode(made, 0x11, "x");
                __atomic_store_n(ready, 1, __ATOMIC_SEQ_CST);
                pause();
                return 0;
            });
            while (__atomic_load_n(ready, __ATOMIC_SEQ_CST) == 0) usleep(100);
            ::kill(creator, SIGKILL);
            EXPECT_EQ(waitChild(creator), -SIGKILL);
        } else {
            ShmSegInfo_t *made = create(label);
            buildTopNode(made, 0x11, "x");
            ASSERT_EQ(quorDetachStatusSegment(&made, QUOR_DETACH_RELEASE), QUOR_RC_OK);
        }
        // The finder of a check or delete holds its connection from before the deaths.
        ShmSegInfo_t *seg = c.finder == Finder::connect ? nullptr : connectTree(id);
        if (c.finder != Finder::connect) {
            ASSERT_NE(seg, nullptr);
        }
        Connected(id, 2).kill();
        std::optional<Connected> live;
        if (c.liveHolder) live.emplace(id, 1);

        const uint64_t expected = 1 + (c.liveHolder ? 1 : 0);  // the finder and the live holder
        if (c.finder == Finder::connect) {
            seg = connectTree(id);
            ASSERT_NE(seg, nullptr);
        } else if (c.finder == Finder::check) {
            EXPECT_EQ(_quorCheckAllocShmPool(seg->domainHandle, seg->poolHandle->poolHeapOffset, 0, 1, "test"),
                      QUOR_RC_OK);
        }
        const uint64_t domain = seg->domainHandle->heapOffset, pool = seg->poolHandle->poolHeapOffset;
        if (c.finder != Finder::remove) {
            EXPECT_EQ(refCountAt(seg, domain), expected);
            EXPECT_EQ(refCountAt(seg, pool), expected);
        }
        ShmSegInfo_t *handle = seg;
        const uint32_t refused = quorDeleteStatusSegment(&handle, QUOR_POOL_FREE_NORMAL,
                                                         QUOR_DELETE_POOL_AS_GIVEN, QUOR_DETACH_RELEASE);
        if (c.liveHolder) {
            EXPECT_EQ(refused, QUOR_RC_POOL_IN_USE);
            EXPECT_EQ(refCountAt(seg, pool), expected);
            live->detach();
            EXPECT_EQ(quorDeleteStatusSegment(&seg, QUOR_POOL_FREE_NORMAL, QUOR_DELETE_POOL_AS_GIVEN,
                                              QUOR_DETACH_RELEASE),
                      QUOR_RC_OK);
        } else {
            EXPECT_EQ(refused, QUOR_RC_OK);
            seg = handle;
        }
        EXPECT_EQ(seg, nullptr);
    }
}

// The holder area is found from the domain header and taken for what it is only
// when it lies in the heap with its magic: a spoiled word leaves connections
// counted without records, never a wild access.
TEST_F(SegmentTest, HolderAreaWordIsCheckedBeforeUse) {
    ShmSegInfo_t *seg = create("spoiled");
    buildTopNode(seg, 0x11, "x");
    IpcResId id = segmentName("spoiled");
    auto *tail = inSegment<HHeaderTail_t>(seg, seg->domainHandle->heapOffset + QUOR_HHEADER_FIXED_SIZE);
    const uint64_t area = tail->reserved[0];
    ASSERT_NE(area, 0u);
    for (uint64_t bad : {uint64_t{8}, uint64_t{kSegmentSize - 16}, ~uint64_t{0} - 7, area + 8}) {
        tail->reserved[0] = bad;
        ShmSegInfo_t *other = nullptr;
        const pid_t child = spawn([&] {
            freshLibrary();
            other = connectTree(id);
            return other != nullptr && quorDetachStatusSegment(&other, QUOR_DETACH_RELEASE) == 0 ? 0 : 1;
        });
        EXPECT_EQ(waitChild(child), 0) << bad;
    }
    tail->reserved[0] = area;
    remove(seg);
}

}  // namespace
}  // namespace quor::test
