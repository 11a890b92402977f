// The host's record of which processes hold references, and the signal that a
// latch was taken over from a dead holder.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include "quor/host.h"
#include "support/process.h"

namespace quor::test {
namespace {

TEST(Holders, ReferencesOfDeadProcessesAreReleasedOnce) {
    const uint64_t key = hostHolderNewKey(), other = hostHolderNewKey();
    ASSERT_NE(key, 0u);
    ASSERT_NE(key, other);
    ASSERT_EQ(hostHolderAdd(key, 1, nullptr), 0u);  // this process: alive throughout
    const pid_t child = spawn([&] {
        if (hostHolderAdd(key, 3, nullptr) != 0 || hostHolderAdd(key, -1, nullptr) != 0) return 1;
        return hostHolderAdd(other, 1, nullptr) == 0 ? 0 : 2;
    });
    // Exited but not yet waited for: a zombie holds nothing.
    while (kill(child, 0) == 0) {
        uint64_t released = 0;
        ASSERT_EQ(hostHolderReleaseDead(key, &released), 0u);
        if (released != 0) {
            EXPECT_EQ(released, 2u);
            break;
        }
        usleep(100);
    }
    EXPECT_EQ(waitChild(child), 0);
    uint64_t released = 0;
    ASSERT_EQ(hostHolderReleaseDead(key, &released), 0u);
    EXPECT_EQ(released, 0u);  // released once; this process's reference stays
    ASSERT_EQ(hostHolderReleaseDead(other, &released), 0u);
    EXPECT_EQ(released, 1u);

    // Forgetting drops every record of the key, live holders' too.
    ASSERT_EQ(hostHolderForget(key), 0u);
    const pid_t second = spawn([&] {
        uint64_t freed = 0;
        return hostHolderReleaseDead(key, &freed) == 0 && freed == 0 ? 0 : 1;
    });
    EXPECT_EQ(waitChild(second), 0);
    EXPECT_EQ(hostHolderAdd(0, 1, nullptr), QUOR_RC_NULL_PARAMETER);
    EXPECT_EQ(hostHolderReleaseDead(key, nullptr), QUOR_RC_NULL_PARAMETER);
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
