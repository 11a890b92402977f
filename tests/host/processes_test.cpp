// Processes by id and start time, and the signal that a latch was taken over
// from a dead holder.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "quor/host.h"
#include "support/process.h"

namespace quor::test {
namespace {

// A process is alive while it runs under the start time it was recorded with:
// not once it is a zombie or reaped, and never under another start time (the
// id handed out again).
TEST(Processes, AliveOnlyUnderTheStartTimeItWasRecordedWith) {
    uint32_t pid = 0;
    uint64_t start = 0;
    hostProcessSelf(&pid, &start);
    EXPECT_EQ(pid, static_cast<uint32_t>(getpid()));
    EXPECT_NE(start, 0u);
    EXPECT_NE(hostProcessAlive(pid, start), 0);
    EXPECT_EQ(hostProcessAlive(pid, start + 1), 0);
    EXPECT_EQ(hostProcessAlive(0, start), 0);

    auto *seen = static_cast<uint64_t *>(sharedScratch(2 * sizeof(uint64_t)));
    const pid_t child = spawn([&] {
        uint32_t childPid = 0;
        hostProcessSelf(&childPid, &seen[1]);  // a forked child looks itself up anew
        seen[0] = childPid;
        pause();
        return 0;
    });
    while (__atomic_load_n(&seen[0], __ATOMIC_SEQ_CST) == 0) usleep(100);
    EXPECT_EQ(seen[0], static_cast<uint64_t>(child));
    EXPECT_NE(hostProcessAlive(static_cast<uint32_t>(child), seen[1]), 0);
    kill(child, SIGKILL);
    while (hostProcessAlive(static_cast<uint32_t>(child), seen[1]) != 0) usleep(100);  // zombie: gone
    EXPECT_EQ(waitChild(child), -SIGKILL);
    EXPECT_EQ(hostProcessAlive(static_cast<uint32_t>(child), seen[1]), 0);
}

TEST(Latch, TakeoverFromADeadHolderIsSignalledToTheTaker) {
    void *latch = sharedScratch(HOST_LATCH_BYTES + 8);
    ASSERT_EQ(hostLatchInit(latch, 1), 0u);
    ASSERT_EQ(hostLatchGet(latch), 0u);
    EXPECT_EQ(hostLatchRecoveredDeadHolder(), 0);
    ASSERT_EQ(hostLatchRelease(latch), 0u);
    const pid_t child = spawn([&] { return hostLatchGet(latch) == 0 ? 0 : 1; });  // exits holding it
    ASSERT_EQ(waitChild(child), 0);
    ASSERT_EQ(hostLatchGet(latch), 0u);
    EXPECT_EQ(hostLatchRecoveredDeadHolder(), 1);
    ASSERT_EQ(hostLatchRelease(latch), 0u);
    ASSERT_EQ(hostLatchGet(latch), 0u);
    EXPECT_EQ(hostLatchRecoveredDeadHolder(), 0);
    ASSERT_EQ(hostLatchRelease(latch), 0u);

    // The caller's own signal: handed out, and the thread's record left alone.
    const pid_t again = spawn([&] { return hostLatchGet(latch) == 0 ? 0 : 1; });
    ASSERT_EQ(waitChild(again), 0);
    int recovered = 0;
    ASSERT_EQ(hostLatchAcquire(latch, &recovered), 0u);
    EXPECT_EQ(recovered, 1);
    EXPECT_EQ(hostLatchRecoveredDeadHolder(), 0);
    ASSERT_EQ(hostLatchRelease(latch), 0u);
    ASSERT_EQ(hostLatchAcquire(latch, &recovered), 0u);
    EXPECT_EQ(recovered, 0);
    ASSERT_EQ(hostLatchRelease(latch), 0u);
    const pid_t third = spawn([&] { return hostLatchGet(latch) == 0 ? 0 : 1; });
    ASSERT_EQ(waitChild(third), 0);
    ASSERT_EQ(hostLatchAcquire(latch, nullptr), 0u) << "no signal asked for";
    ASSERT_EQ(hostLatchRelease(latch), 0u);
    EXPECT_EQ(hostLatchAcquire(nullptr, &recovered), QUOR_RC_NULL_PARAMETER);
}

}  // namespace
}  // namespace quor::test
