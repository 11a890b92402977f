// What only the shared lists have: the pool handle, distrust of every link read
// from the segment, and other processes working on the same lists.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "lists/list_fixture.h"
#include "support/process.h"
#include "support/trace_recorder.h"

namespace {

using namespace quor::test;

// Every shared operation, called with the given handle and harmless arguments.
std::vector<std::function<uint32_t(ShmPoolHandle_t *)>> everySharedOperation() {
    static const ShmSegInfo_t segment = SegInfo::make("seg");
    static const RMXPathRec_t path = Rmx::make("/p");
    static AttachSegInfo_t *segmentOut;
    static RMXPathRec_t *pathOut;
    return {
        [](ShmPoolHandle_t *h) { return quorFindAttachSegInfoNodeInLList(h, &segment, &segmentOut); },
        [](ShmPoolHandle_t *h) { return quorInsertAttachSegInfoNodeIntoLList(h, &segment, &segmentOut); },
        [](ShmPoolHandle_t *h) { return quorDeleteAttachSegInfoNodeFromLList(h, &segment); },
        [](ShmPoolHandle_t *h) { return quorDeleteAttachSegInfoLList(h); },
        [](ShmPoolHandle_t *h) { return quorPrintAttachSegInfoNodeLList(h); },
        [](ShmPoolHandle_t *h) { return quorFindRMXNodeInLList(h, &path, &pathOut); },
        [](ShmPoolHandle_t *h) { return quorInsertRMXNodeIntoLList(h, &path, &pathOut); },
        [](ShmPoolHandle_t *h) { return quorDeleteRMXNodeFromLList(h, &path); },
        [](ShmPoolHandle_t *h) { return quorDeleteRMXLList(h); },
        [](ShmPoolHandle_t *h) { return quorPrintRMXNodeLList(h); },
    };
}

TEST(SharedListHandle, NullOrUnmappedHandleIsRefusedAndLogged) {
    ShmPoolHandle_t unmapped{};
    for (auto &operation : everySharedOperation()) {
        TraceRecorder recorder;
        EXPECT_EQ(operation(nullptr), QUOR_RC_NULL_POOL_HANDLE);
        ASSERT_FALSE(recorder.records().empty());
        bool logged = false;
        for (const TraceRecord &r : recorder.records()) {
            logged |= r.kind == TraceRecord::Log && r.code == QUOR_RC_NULL_POOL_HANDLE && r.probe == 10;
        }
        EXPECT_TRUE(logged);
        EXPECT_EQ(operation(&unmapped), QUOR_RC_NOT_MAPPED);
    }
}

// A head or link that does not name a whole node inside the tree pool, or a
// chain that loops, gives a code from every walk instead of a stray access.
TEST(SharedListLinks, CorruptLinksGiveACodeNotACrash) {
    struct Corruption {
        const char *what;
        std::function<void(Shared<Rmx> &, RMXPathRec_t *first, RMXPathRec_t *second)> apply;
    };
    const Corruption corruptions[] = {
        {"head inside the domain header",
         [](Shared<Rmx> &l, RMXPathRec_t *, RMXPathRec_t *) { l.headWord() = l.pool->domainHeapOffset + 8; }},
        {"head past the end of the pool",
         [](Shared<Rmx> &l, RMXPathRec_t *, RMXPathRec_t *) {
             l.headWord() = l.pool->poolHeapOffset + l.poolHeader()->heapSize - 16;
         }},
        {"head far outside the segment",
         [](Shared<Rmx> &l, RMXPathRec_t *, RMXPathRec_t *) { l.headWord() = ~0ull; }},
        {"misaligned link",
         [](Shared<Rmx> &, RMXPathRec_t *first, RMXPathRec_t *) {
             auto *node = reinterpret_cast<RMXNode_t *>(nodeOf(first));
             node->next += 1;
         }},
        {"node linked to itself",
         [](Shared<Rmx> &l, RMXPathRec_t *first, RMXPathRec_t *) {
             auto *node = reinterpret_cast<RMXNode_t *>(nodeOf(first));
             node->next = l.headWord();
         }},
        {"two nodes linked to each other",
         [](Shared<Rmx> &l, RMXPathRec_t *, RMXPathRec_t *second) {
             auto *node = reinterpret_cast<RMXNode_t *>(nodeOf(second));
             node->next = l.headWord();
         }},
    };
    for (const Corruption &corruption : corruptions) {
        SCOPED_TRACE(corruption.what);
        Shared<Rmx> list;
        ASSERT_TRUE(list.open());
        RMXPathRec_t *first = nullptr, *second = nullptr;
        ASSERT_EQ(list.insert("m", &first), QUOR_RC_OK);
        ASSERT_EQ(list.insert("k", &second), QUOR_RC_OK);
        const uint64_t head = list.head();
        const uint64_t links[2] = {reinterpret_cast<RMXNode_t *>(nodeOf(first))->next,
                                   reinterpret_cast<RMXNode_t *>(nodeOf(second))->next};
        corruption.apply(list, first, second);

        RMXPathRec_t *found = nullptr;
        EXPECT_EQ(list.find("a", &found), QUOR_RC_LLIST_FAILED);
        EXPECT_EQ(list.insert("a"), QUOR_RC_LLIST_FAILED);
        EXPECT_EQ(list.remove("a"), QUOR_RC_LLIST_FAILED);
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(list.print(), QUOR_RC_LLIST_FAILED);
        ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(list.liveNodes(), 2u) << "nothing was allocated or freed";

        list.headWord() = head;
        reinterpret_cast<RMXNode_t *>(nodeOf(first))->next = links[0];
        reinterpret_cast<RMXNode_t *>(nodeOf(second))->next = links[1];
        list.close();
    }
}

// The head sits behind the user application area, rounded up to 8 bytes.
TEST(SharedListLinks, HeadsFollowTheRoundedUserArea) {
    for (uint64_t userArea : {0ull, 1ull, 8ull, 13ull}) {
        Shared<SegInfo> list;
        ASSERT_TRUE(list.open(userArea));
        ASSERT_EQ(list.insert("seg"), QUOR_RC_OK);
        const auto *header = reinterpret_cast<unsigned char *>(list.domainHeader());
        const uint64_t at = 0xF8 + (userArea + 7) / 8 * 8;
        uint64_t segHead = 0, rmxHead = 0;
        std::memcpy(&segHead, header + at + 0x10, 8);
        std::memcpy(&rmxHead, header + at + 0x18, 8);
        EXPECT_NE(segHead, 0u) << userArea;
        EXPECT_EQ(rmxHead, 0u) << userArea;
        list.close();
    }
}

// Two processes insert into the same list at once; the heap latch lets one walk
// at a time, so no insert is lost and the order holds.
TEST(SharedListProcesses, ConcurrentInsertsFromTwoProcessesAllLand) {
    Shared<SegInfo> list;
    ASSERT_TRUE(list.open());
    constexpr int kEach = 60;
    auto inserter = [&](char who) {
        return [&list, who] {
            for (int i = 0; i < kEach; ++i) {
                char name[16];
                std::snprintf(name, sizeof name, "%c%02d", who, i);
                if (list.insert(name) != QUOR_RC_OK) return 1;
            }
            return 0;
        };
    };
    const pid_t a = spawn(inserter('a')), b = spawn(inserter('b'));
    EXPECT_EQ(waitChild(a), 0);
    EXPECT_EQ(waitChild(b), 0);

    ::testing::internal::CaptureStdout();
    EXPECT_EQ(list.print(), QUOR_RC_OK);
    const std::vector<std::string> keys =
        printedKeys(::testing::internal::GetCapturedStdout(), SegInfo::kLine);
    ASSERT_EQ(keys.size(), 2u * kEach);
    for (size_t i = 1; i < keys.size(); ++i) EXPECT_GT(keys[i - 1], keys[i]);
    EXPECT_EQ(list.liveNodes(), 2u * kEach);
    list.close();
}

}  // namespace
