// The host's record of which processes hold references, and the signal that a
// latch was taken over from a dead holder.
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

TEST(Holders, ReferencesOfDeadProcessesAreReleasedOnce) {
    const uint64_t key = hostHolderNewKey(), other = hostHolderNewKey();
    ASSERT_NE(key, 0u);
    ASSERT_NE(key, other);
    ASSERT_EQ(hostHolderAdd(key, &key, 1, nullptr), 0u);  // this process: alive throughout
    const pid_t child = spawn([&] {
        if (hostHolderAdd(key, &key, 3, nullptr) != 0 || hostHolderAdd(key, &key, -1, nullptr) != 0) return 1;
        return hostHolderAdd(other, &other, 1, nullptr) == 0 ? 0 : 2;
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
    EXPECT_EQ(hostHolderAdd(0, nullptr, 1, nullptr), QUOR_RC_NULL_PARAMETER);
    EXPECT_EQ(hostHolderReleaseDead(key, nullptr), QUOR_RC_NULL_PARAMETER);
}

// A full table takes back the records of dead holders of objects that are gone
// (their segment removed, or in no segment and held by nobody alive), never the
// record of a dead holder of an object still in use. Runs in a process of its own
// over a table of its own, so the tests beside it keep the usual one.
TEST(Holders, AFullTableMakesRoomOnlyFromObjectsThatAreGone) {
    const pid_t scenario = spawn([] {
        const std::string table = "/quor-test-holders-" + std::to_string(getpid());
        setenv("QUOR_HOLDER_TABLE", table.c_str(), 1);
        const auto segment = [](IpcMemory &memory, const char *what) {
            IpcMemoryCreateParam param{1, {}, 4096, nullptr, 0};
            const std::string name = std::string("quor-test-") + what + "-" + std::to_string(getpid());
            std::strncpy(param.resId.name, name.c_str(), sizeof param.resId.name - 1);
            void *base = nullptr;
            return memory.create(param) == 0 && memory.getAddress(&base) == 0 ? base : nullptr;
        };
        IpcMemory live, gone;
        void *inLive = segment(live, "live"), *inGone = segment(gone, "gone");
        if (inLive == nullptr || inGone == nullptr) return 1;
        int privateObject = 0;
        const uint64_t used = hostHolderNewKey(), unheld = hostHolderNewKey();
        const pid_t holder = spawn([&] {
            return hostHolderAdd(used, inLive, 2, nullptr) == 0 &&
                           hostHolderAdd(unheld, &privateObject, 1, nullptr) == 0
                       ? 0
                       : 1;
        });
        if (waitChild(holder) != 0) return 2;
        // A live process fills every other slot with objects of the segment to be removed.
        const pid_t filler = spawn([&] {
            for (;;) {
                if (hostHolderAdd(hostHolderNewKey(), inGone, 1, nullptr) != 0) return 0;
            }
        });
        if (waitChild(filler) != 0) return 3;
        // Full, and nothing to take back while the segment exists.
        if (hostHolderAdd(hostHolderNewKey(), inLive, 1, nullptr) == 0) return 4;
        if (gone.destroy() != 0) return 5;
        if (hostHolderAdd(hostHolderNewKey(), inLive, 1, nullptr) != 0) return 6;
        uint64_t released = 0;
        if (hostHolderReleaseDead(used, &released) != 0 || released != 2) return 7;
        if (hostHolderReleaseDead(unheld, &released) != 0 || released != 0) return 8;
        live.destroy();
        shm_unlink(table.c_str());
        return 0;
    });
    EXPECT_EQ(waitChild(scenario), 0);
}

// Keys that share home slots (the table places a key by its low 14 bits), runs
// that wrap past the table's end, and slots freed in the middle of runs: every
// key still held is found, every key let go is gone.
TEST(Holders, KeysOfOneRunStayFoundWhileOthersComeAndGo) {
    const pid_t scenario = spawn([] {
        const std::string table = "/quor-test-runs-" + std::to_string(getpid());
        setenv("QUOR_HOLDER_TABLE", table.c_str(), 1);
        int object = 0;
        std::vector<uint64_t> keys;
        for (uint64_t i = 1; i <= 30; ++i) {
            for (uint64_t homeSlot : {16382u, 16383u, 0u, 7u, 8u}) keys.push_back(i << 14 | homeSlot);
        }
        for (uint64_t key : keys) {
            if (hostHolderAdd(key, &object, 1, nullptr) != 0) return 1;
        }
        for (size_t i = 0; i < keys.size(); i += 3) {
            if (hostHolderAdd(keys[i], &object, -1, nullptr) != 0) return 2;
        }
        for (size_t i = 0; i < keys.size(); ++i) {
            const bool held = i % 3 != 0;
            if ((hostHolderAdd(keys[i], &object, -1, nullptr) == 0) != held) return 3;
        }
        shm_unlink(table.c_str());
        return 0;
    });
    EXPECT_EQ(waitChild(scenario), 0);
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
