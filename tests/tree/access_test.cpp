// The node access protocol: critical sections under each concurrency model,
// across processes and across a crash, node conditions, and the update and
// watch protocol.
#include "tree/access.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "host_faults.h"
#include "support/process.h"
#include "support/trace_recorder.h"
#include "test_node.h"

namespace {

using quor::test::counterValue;
using quor::test::makeTestNode;
using quor::test::spawn;
using quor::test::waitChild;

constexpr uint32_t K = QUOR_EYECATCHER;

using SectionOp = uint32_t (*)(SNodeCB_t *, NodeLatchBlock_t *);
constexpr SectionOp kSections[] = {quorEnterCriticalSectionBeforeRead, quorExitCriticalSectionAfterRead,
                                   quorEnterCriticalSectionBeforeWrite, quorExitCriticalSectionAfterWrite};

TEST(CriticalSection, UnlatchedModelsTouchNothingEvenAGarbageBlock) {
    for (uint32_t model : {0u, 2u, 5u}) {
        SNodeCB_t *node = makeTestNode(model);
        ASSERT_NE(node, nullptr);
        NodeLatchBlock_t block;
        std::memset(&block, 0xAB, sizeof block);
        const NodeLatchBlock_t before = block;
        for (SectionOp op : kSections) EXPECT_EQ(op(node, &block), QUOR_RC_OK) << "model " << model;
        EXPECT_EQ(quorInitializeLatches(node, &block, K + 1), QUOR_RC_OK);
        EXPECT_EQ(std::memcmp(&block, &before, sizeof block), 0) << "model " << model;
    }
}

TEST(CriticalSection, BadArgumentsGiveTheirCodesAndChangeNothing) {
    SNodeCB_t *node = makeTestNode();
    ASSERT_NE(node, nullptr);
    NodeLatchBlock_t garbage;
    std::memset(&garbage, 0x5A, sizeof garbage);
    const NodeLatchBlock_t before = garbage;
    for (SectionOp op : kSections) {
        EXPECT_EQ(op(nullptr, &node->nodeLatch), QUOR_RC_NULL_PARAMETER);
        EXPECT_EQ(op(node, nullptr), QUOR_RC_NULL_LATCH_BLOCK);
        EXPECT_EQ(op(node, &garbage), QUOR_RC_LATCH_NOT_INITIALIZED);
    }
    EXPECT_EQ(std::memcmp(&garbage, &before, sizeof garbage), 0);
    node->concurrencyModel = 6;
    for (SectionOp op : kSections) EXPECT_EQ(op(node, &node->nodeLatch), QUOR_RC_BAD_CONCURRENCY_MODEL);

    // Latch initialisation tests the block before the node, and writes nothing
    // with a wrong key.
    node->concurrencyModel = QUOR_CONCURRENCY_MODEL_LATCHED;
    EXPECT_EQ(quorInitializeLatches(nullptr, nullptr, K), QUOR_RC_NULL_LATCH_BLOCK);
    EXPECT_EQ(quorInitializeLatches(nullptr, &garbage, K), QUOR_RC_NULL_PARAMETER);
    EXPECT_EQ(quorInitializeLatches(node, &garbage, K + 1), QUOR_RC_LATCH_NOT_INITIALIZED);
    EXPECT_EQ(std::memcmp(&garbage, &before, sizeof garbage), 0);
    ASSERT_EQ(quorInitializeLatches(node, &garbage, K), QUOR_RC_OK);
    EXPECT_EQ(garbage.latchEyecatcher, K);
    EXPECT_EQ(counterValue(garbage.writeCount), 0);
    EXPECT_EQ(counterValue(garbage.writerActive), 0);
}

TEST(CriticalSection, WriteSectionCountsOneEntryAndMarksTheWriter) {
    SNodeCB_t *node = makeTestNode();
    ASSERT_NE(node, nullptr);
    NodeLatchBlock_t *block = &node->nodeLatch;
    ASSERT_EQ(quorEnterCriticalSectionBeforeRead(node, block), QUOR_RC_OK);
    ASSERT_EQ(quorExitCriticalSectionAfterRead(node, block), QUOR_RC_OK);
    EXPECT_EQ(counterValue(block->writeCount), 0);
    for (int32_t round = 1; round <= 2; ++round) {
        ASSERT_EQ(quorEnterCriticalSectionBeforeWrite(node, block), QUOR_RC_OK);
        EXPECT_EQ(counterValue(block->writeCount), round);
        EXPECT_EQ(counterValue(block->writerActive), 1);
        ASSERT_EQ(quorExitCriticalSectionAfterWrite(node, block), QUOR_RC_OK);
        EXPECT_EQ(counterValue(block->writerActive), 0);
    }
}

TEST(CriticalSection, ScopedSectionMergesCodesAndHonoursTheCallersSection) {
    using quor::tree::Access;
    using quor::tree::CriticalSection;
    SNodeCB_t *node = makeTestNode();
    ASSERT_NE(node, nullptr);
    {
        CriticalSection held(node, Access::Write, /*inCriticalSection=*/1);
        EXPECT_EQ(held.entered(), QUOR_RC_OK);
        EXPECT_EQ(held.close(QUOR_RC_OK), QUOR_RC_OK);
    }
    EXPECT_EQ(counterValue(node->nodeLatch.writeCount), 0) << "a caller's section is not entered again";

    // The exit fails (the block is spoiled inside the section): the main work's
    // failure wins, else the exit's code stands.
    for (uint32_t mainRc : {QUOR_RC_NODE_ABANDONED, QUOR_RC_OK}) {
        CriticalSection section(node, Access::Read);
        ASSERT_EQ(section.entered(), QUOR_RC_OK);
        node->nodeLatch.latchEyecatcher = 0;
        EXPECT_EQ(section.close(mainRc), mainRc != 0 ? mainRc : QUOR_RC_LATCH_NOT_INITIALIZED);
        node->nodeLatch.latchEyecatcher = K;
        ASSERT_EQ(quorExitCriticalSectionAfterRead(node, &node->nodeLatch), QUOR_RC_OK);
    }

    // An operation that takes a section writes the section's own records.
    quor::test::TraceRecorder recorder;
    recorder.enable(true);
    SNodeCB_t *ref = node;
    ASSERT_EQ(quorAbandonNode(&ref), QUOR_RC_OK);
    std::vector<uint32_t> entries;
    for (const auto &r : recorder.records())
        if (r.kind == quor::test::TraceRecord::Entry) entries.push_back(r.functionId);
    EXPECT_EQ(entries, (std::vector<uint32_t>{0x0822005b, 0x08220061, 0x08220063}));
}

// The node's model word changes while an operation holds the section (another
// thread's quorSetConcurrencyModel takes no latch): the section is left by the
// model its entry went by. The change is made by the trace hook that runs as the
// entry returns, the one moment between the entry and the exit.
SNodeCB_t *modelChangedOn = nullptr;
uint32_t changedModel = 0;

void changeModelAfterEntry(uint64_t, uint32_t fn, uint64_t) {
    if (fn == static_cast<uint32_t>(quor::Fn::quorEnterCriticalSectionBeforeRead) ||
        fn == static_cast<uint32_t>(quor::Fn::quorEnterCriticalSectionBeforeWrite)) {
        modelChangedOn->concurrencyModel = changedModel;
    }
}

TEST(CriticalSection, LeftByTheModelOfItsEntryWhenTheModelChangesInside) {
    quor::test::ExitHook hook(changeModelAfterEntry);
    struct Case {
        uint32_t entered, changed;
        bool write;
    } cases[] = {{1, 0, true}, {1, 0, false}, {0, 1, true}, {0, 1, false}};
    for (const Case &c : cases) {
        SNodeCB_t *node = makeTestNode(QUOR_CONCURRENCY_MODEL_LATCHED);
        ASSERT_NE(node, nullptr);
        node->concurrencyModel = c.entered;
        modelChangedOn = node;
        changedModel = c.changed;
        uint64_t tag = 0;
        // Leaving by the new model would keep the latch for good (1 -> 0) or
        // release one never taken (0 -> 1, a failed release).
        EXPECT_EQ(c.write ? quorSetNodeTag(node, 7, 0) : quorGetNodeTag(node, &tag, 0), QUOR_RC_OK)
            << c.entered << " -> " << c.changed << (c.write ? " write" : " read");
        EXPECT_EQ(counterValue(node->nodeLatch.writerActive), 0);
        node->concurrencyModel = QUOR_CONCURRENCY_MODEL_LATCHED;
        pid_t reader = spawn([&] {
            alarm(5);  // a latch left held fails the child instead of hanging it
            if (quorEnterCriticalSectionBeforeRead(node, &node->nodeLatch) != 0) return 1;
            return quorExitCriticalSectionAfterRead(node, &node->nodeLatch) != 0 ? 2 : 0;
        });
        EXPECT_EQ(waitChild(reader), 0) << c.entered << " -> " << c.changed << (c.write ? " write" : " read");
    }
}

// A writer that cannot be counted gives the latch back; when that release fails
// too, the latch failure is the result. The exit tries the release whatever the
// writer mark gave, and the mark's failure wins.
TEST(CriticalSection, WriteEntryAndExitWithFailingHostCalls) {
    SNodeCB_t *node = makeTestNode();
    ASSERT_NE(node, nullptr);
    NodeLatchBlock_t *block = &node->nodeLatch;
    quor::test::HostFaults &faults = quor::test::hostFaults();
    struct Case {
        bool mark, release;
        uint32_t enter;
    } cases[] = {{true, false, QUOR_RC_ATOMIC_FAILED}, {true, true, QUOR_RC_LATCH_FAILED}};
    for (const Case &c : cases) {
        faults.failNextMark = c.mark;
        faults.failNextRelease = c.release;
        EXPECT_EQ(quorEnterCriticalSectionBeforeWrite(node, block), c.enter);
        ASSERT_EQ(quorEnterCriticalSectionBeforeRead(node, block), QUOR_RC_OK) << "the latch was given back";
        ASSERT_EQ(quorExitCriticalSectionAfterRead(node, block), QUOR_RC_OK);
    }
    ASSERT_EQ(quorEnterCriticalSectionBeforeWrite(node, block), QUOR_RC_OK);
    faults.failNextMark = faults.failNextRelease = true;
    EXPECT_EQ(quorExitCriticalSectionAfterWrite(node, block), QUOR_RC_ATOMIC_FAILED);
    ASSERT_EQ(quorEnterCriticalSectionBeforeWrite(node, block), QUOR_RC_OK) << "released all the same";
    faults.failNextRelease = true;
    EXPECT_EQ(quorExitCriticalSectionAfterWrite(node, block), QUOR_RC_LATCH_FAILED);
    EXPECT_EQ(counterValue(block->writerActive), 0);
}

// Two processes add to one plain counter, each addition split into a read and a
// later write, only inside the node's write section: no addition may be lost.
TEST(CriticalSection, TwoProcessesContendingLoseNoUpdate) {
    SNodeCB_t *node = makeTestNode();
    ASSERT_NE(node, nullptr);
    auto *shared = static_cast<volatile int64_t *>(quor::test::sharedScratch(sizeof(int64_t)));
    constexpr int kRounds = 20000;
    auto worker = [&] {
        for (int i = 0; i < kRounds; ++i) {
            if (quorEnterCriticalSectionBeforeWrite(node, &node->nodeLatch) != 0) return 1;
            int64_t seen = *shared;
            if ((i & 63) == 0) sched_yield();
            *shared = seen + 1;
            if (quorExitCriticalSectionAfterWrite(node, &node->nodeLatch) != 0) return 2;
        }
        return 0;
    };
    pid_t a = spawn(worker), b = spawn(worker);
    EXPECT_EQ(waitChild(a), 0);
    EXPECT_EQ(waitChild(b), 0);
    EXPECT_EQ(*shared, 2 * kRounds);
    EXPECT_EQ(counterValue(node->nodeLatch.writeCount), 2 * kRounds);
    EXPECT_EQ(counterValue(node->nodeLatch.writerActive), 0);
}

TEST(CriticalSection, SurvivorEntersAfterTheHolderIsKilled) {
    SNodeCB_t *node = makeTestNode();
    ASSERT_NE(node, nullptr);
    auto *inside = static_cast<std::atomic<int> *>(quor::test::sharedScratch(sizeof(std::atomic<int>)));
    pid_t holder = spawn([&] {
        if (quorEnterCriticalSectionBeforeWrite(node, &node->nodeLatch) != 0) return 1;
        inside->store(1);
        for (;;) pause();
    });
    while (inside->load() == 0) usleep(1000);
    kill(holder, SIGKILL);
    EXPECT_EQ(waitChild(holder), -SIGKILL);

    alarm(60);  // a survivor blocked for good fails the test instead of hanging it
    EXPECT_EQ(quorEnterCriticalSectionBeforeWrite(node, &node->nodeLatch), QUOR_RC_OK);
    EXPECT_EQ(counterValue(node->nodeLatch.writeCount), 2);
    EXPECT_EQ(quorExitCriticalSectionAfterWrite(node, &node->nodeLatch), QUOR_RC_OK);
    EXPECT_EQ(quorEnterCriticalSectionBeforeRead(node, &node->nodeLatch), QUOR_RC_OK);
    EXPECT_EQ(quorExitCriticalSectionAfterRead(node, &node->nodeLatch), QUOR_RC_OK);
    alarm(0);
}

TEST(NodeCondition, MasksAcceptWhatTheirBitsSay) {
    SNodeCB_t *node = makeTestNode();
    ASSERT_NE(node, nullptr);
    struct Case {
        uint32_t condition, mask, rc;
    } cases[] = {
        {3, 0, QUOR_RC_OK},
        {1, 0x2c, QUOR_RC_NODE_NOT_INITIALIZED},
        {1, 0x3e, QUOR_RC_OK},
        {2, 0x2c, QUOR_RC_OK},
        {2, 0x08, QUOR_RC_NODE_NOT_ACTIVE},
        {4, 0x2c, QUOR_RC_NODE_ABANDONED},
        {4, 0x38, QUOR_RC_OK},
        {5, 0x08, QUOR_RC_NODE_DISASSOCIATED},
        {5, 0x2c, QUOR_RC_OK},
        {0, 0xffffffff, QUOR_RC_BAD_NODE_CONDITION},
        {6, 0xffffffff, QUOR_RC_BAD_NODE_CONDITION},
    };
    for (const Case &c : cases) {
        node->NodeCondition = c.condition;
        EXPECT_EQ(quorCheckNodeCondition(node, c.mask), c.rc) << c.condition << " / " << c.mask;
    }
    EXPECT_EQ(quorCheckNodeCondition(nullptr, 0x3e), QUOR_RC_NULL_PARAMETER);
}

TEST(NodeCondition, ChangesAndActivationOfACreatedNode) {
    SNodeCB_t *node = makeTestNode(QUOR_CONCURRENCY_MODEL_LATCHED, QUOR_NODE_CREATED);
    ASSERT_NE(node, nullptr);
    SNodeCB_t *ref = node;
    EXPECT_EQ(quorActivateNode(&ref), QUOR_RC_NODE_NOT_ACTIVATABLE);
    EXPECT_EQ(node->NodeCondition, QUOR_NODE_CREATED);
    EXPECT_EQ(counterValue(node->nodeLatch.writerActive), 0) << "the section was left";
    node->NodeCondition = QUOR_NODE_INITIALIZED;
    EXPECT_EQ(quorActivateNode(&ref), QUOR_RC_OK);
    EXPECT_EQ(node->NodeCondition, QUOR_NODE_ACTIVE);
    EXPECT_EQ(quorAbandonNode(&ref), QUOR_RC_OK);
    EXPECT_EQ(node->NodeCondition, QUOR_NODE_ABANDONED);
    EXPECT_EQ(quorDisassociateNode(&ref), QUOR_RC_OK);
    EXPECT_EQ(node->NodeCondition, QUOR_NODE_DISASSOCIATED);
    EXPECT_EQ(quorActivateNode(&ref), QUOR_RC_OK);
    EXPECT_EQ(counterValue(node->nodeLatch.writeCount), 5);

    SNodeCB_t *none = nullptr;
    for (auto op : {quorActivateNode, quorAbandonNode, quorDisassociateNode}) {
        EXPECT_EQ(op(nullptr), QUOR_RC_NULL_PARAMETER);
        EXPECT_EQ(op(&none), QUOR_RC_NULL_PARAMETER);
    }
    uint32_t condition = 0;
    EXPECT_EQ(quorGetNodeCondition(node, &condition), QUOR_RC_OK);
    EXPECT_EQ(condition, QUOR_NODE_ACTIVE);
    EXPECT_EQ(quorGetNodeCondition(node, nullptr), QUOR_RC_NULL_PARAMETER);
}

// Options may store 8, 16 or 32 as a condition: no check accepts such a node.
TEST(NodeCondition, AnInvalidConditionIsRefusedByEveryCheck) {
    SNodeCB_t *node = makeTestNode(QUOR_CONCURRENCY_MODEL_LATCHED, 8);
    ASSERT_NE(node, nullptr);
    uint32_t condition = 0;
    EXPECT_EQ(quorGetNodeCondition(node, &condition), QUOR_RC_BAD_NODE_CONDITION);
    EXPECT_EQ(condition, 8u) << "the value still goes out";
    EXPECT_EQ(quorCheckNodeCondition(node, 0xffffffff), QUOR_RC_BAD_NODE_CONDITION);
    EXPECT_EQ(quorUpdateNodeStatus(node), QUOR_RC_BAD_NODE_CONDITION);
    SNodeWatcher_t watcher{};
    watcher.watchMode = QUOR_WATCH_COUNTER;
    EXPECT_EQ(quorIsStillBeingUpdated(node, &watcher), QUOR_RC_BAD_NODE_CONDITION);
    uint64_t size = 77;
    EXPECT_EQ(quorReturnRegisterSize(node, &size), QUOR_RC_BAD_NODE_CONDITION);
    EXPECT_EQ(size, 77u);
    EXPECT_EQ(counterValue(node->nodeLatch.writerActive), 0);
}

TEST(NodeCondition, RegisterSizeOnlyForUsableNodes) {
    SNodeCB_t *node = makeTestNode();
    ASSERT_NE(node, nullptr);
    struct Case {
        uint32_t condition, rc;
    } cases[] = {
        {1, QUOR_RC_NODE_NOT_INITIALIZED}, {4, QUOR_RC_NODE_ABANDONED}, {2, QUOR_RC_OK}, {5, QUOR_RC_OK}};
    for (const Case &c : cases) {
        node->NodeCondition = c.condition;
        uint64_t size = 77;
        EXPECT_EQ(quorReturnRegisterSize(node, &size), c.rc);
        EXPECT_EQ(size, c.rc == 0 ? 4u : 77u);
    }
    EXPECT_EQ(quorReturnRegisterSize(nullptr, nullptr), QUOR_RC_NULL_PARAMETER);
    EXPECT_EQ(quorReturnRegisterSize(node, nullptr), QUOR_RC_NULL_REGISTER_SIZE_OUTPUT);
}

TEST(UpdateStatus, RefusedOnNodesThatAreNotActive) {
    SNodeCB_t *node = makeTestNode();
    ASSERT_NE(node, nullptr);
    struct Case {
        uint32_t condition, rc;
    } cases[] = {{1, QUOR_RC_UPDATE_ON_CREATED_NODE},
                 {2, QUOR_RC_UPDATE_ON_INACTIVE_NODE},
                 {4, QUOR_RC_UPDATE_ON_ABANDONED_NODE},
                 {5, QUOR_RC_UPDATE_ON_DISASSOCIATED_NODE}};
    SNodeWatcher_t watcher{};
    watcher.watchMode = QUOR_WATCH_COUNTER;
    for (const Case &c : cases) {
        node->NodeCondition = c.condition;
        EXPECT_EQ(quorUpdateNodeStatus(node), c.rc);
        EXPECT_EQ(quorIsStillBeingUpdated(node, &watcher), c.rc);
    }
    EXPECT_EQ(counterValue(node->updateCounter), 0);
    node->NodeCondition = QUOR_NODE_ACTIVE;
    node->updateMode = 3;
    EXPECT_EQ(quorUpdateNodeStatus(node), QUOR_RC_BAD_WATCH_MODE);
    watcher.watchMode = 3;
    EXPECT_EQ(quorIsStillBeingUpdated(node, &watcher), QUOR_RC_BAD_WATCH_MODE);
    EXPECT_EQ(quorIsStillBeingUpdated(node, nullptr), QUOR_RC_NULL_WATCHER);
    EXPECT_EQ(quorUpdateNodeStatus(nullptr), QUOR_RC_NULL_PARAMETER);
}

TEST(UpdateStatus, CountedUpdatesSeenOnceByACounterWatcher) {
    SNodeCB_t *node = makeTestNode();
    ASSERT_NE(node, nullptr);
    SNodeWatcher_t watcher{};
    watcher.watchMode = QUOR_WATCH_COUNTER;
    EXPECT_EQ(quorIsStillBeingUpdated(node, &watcher), QUOR_RC_NOT_UPDATED);
    ASSERT_EQ(quorUpdateNodeStatus(node), QUOR_RC_OK);
    ASSERT_EQ(quorUpdateNodeStatus(node), QUOR_RC_OK);
    EXPECT_EQ(quorIsStillBeingUpdated(node, &watcher), QUOR_RC_OK);
    EXPECT_EQ(counterValue(watcher.lastCounterSeen), 2);
    EXPECT_EQ(quorIsStillBeingUpdated(node, &watcher), QUOR_RC_NOT_UPDATED);
}

uint64_t fakeNow = 0;
uint64_t fakeClock() { return fakeNow; }

class TimedUpdates : public ::testing::Test {
protected:
    void SetUp() override { hostTimeSetSource(fakeClock); }
    void TearDown() override { hostTimeSetSource(nullptr); }
};

TEST_F(TimedUpdates, CurrentForTwiceTheIntervalAndNoLonger) {
    SNodeCB_t *node = makeTestNode();
    ASSERT_NE(node, nullptr);
    node->updateMode = QUOR_NODE_UPDATE_TIMED;
    SNodeWatcher_t watcher{};
    watcher.watchMode = QUOR_WATCH_TIME;
    struct Case {
        uint64_t stamp, now, rc;
    } cases[] = {
        {1000, 1400, QUOR_RC_OK},
        {1000, 1401, QUOR_RC_UPDATE_OVERDUE},
        // Past the 16-bit wrap: 101 ms is fresh, not 65 s overdue.
        {65535, 65636, QUOR_RC_OK},
        {uint64_t{5} << 40, (uint64_t{5} << 40) + 400, QUOR_RC_OK},
        // A stamp ahead of the reader's clock counts as just updated.
        {5000, 4000, QUOR_RC_OK},
    };
    for (const Case &c : cases) {
        fakeNow = c.stamp;
        ASSERT_EQ(quorUpdateNodeStatus(node), QUOR_RC_OK);
        EXPECT_EQ(node->lastUpdate, c.stamp);
        fakeNow = c.now;
        watcher.lastTimeSeen = 0;
        EXPECT_EQ(quorIsStillBeingUpdated(node, &watcher), c.rc) << c.stamp << " -> " << c.now;
        EXPECT_EQ(watcher.lastTimeSeen, c.rc == 0 ? c.now : 0);
    }
}

TEST(ReconfigCounter, ReadSignExtended) {
    SNodeCB_t *node = makeTestNode();
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(hostAtomicInit(node->ReconfigCounter, -5, 1), QUOR_RC_OK);
    int64_t value = 0;
    EXPECT_EQ(quorGetNodeReconfigCounter(node, &value), QUOR_RC_OK);
    EXPECT_EQ(value, -5);
    EXPECT_EQ(quorGetNodeReconfigCounter(nullptr, &value), QUOR_RC_NULL_PARAMETER);
    EXPECT_EQ(quorGetNodeReconfigCounter(node, nullptr), QUOR_RC_NULL_PARAMETER);
}

}  // namespace
