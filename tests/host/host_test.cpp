// The host services: latches across processes, spin locks, atomic counters,
// private memory and shared-memory segments.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "quor/host.h"
#include "support/process.h"

namespace {

using namespace std::chrono_literals;
using quor::test::sharedScratch;
using quor::test::spawn;
using quor::test::waitChild;
using quor::test::waitChildFor;

// A latch area laid out as in the shared records: 4 bytes off 8-byte alignment.
struct SharedLatch {
    alignas(8) uint32_t eyecatcher;
    unsigned char latch[HOST_LATCH_BYTES];
    int32_t counter;
    std::atomic<int32_t> stage;
};

TEST(Latch, TwoProcessesKeepASharedCounterExact) {
    auto *shared = new (sharedScratch(sizeof(SharedLatch))) SharedLatch{};
    ASSERT_EQ(hostLatchInit(shared->latch, 1), QUOR_RC_OK);
    constexpr int kRounds = 20000;
    auto work = [shared] {
        for (int i = 0; i < kRounds; ++i) {
            if (hostLatchGet(shared->latch) != 0) return 1;
            int32_t seen = shared->counter;
            shared->counter = seen + 1;
            if (hostLatchRelease(shared->latch) != 0) return 2;
        }
        return 0;
    };
    pid_t child = spawn(work);
    EXPECT_EQ(work(), 0);
    EXPECT_EQ(waitChild(child), 0);
    EXPECT_EQ(shared->counter, 2 * kRounds);
}

TEST(Latch, HolderKilledInsideIsRecoveredAndLogged) {
    static int recoveries;
    recoveries = 0;
    HostTraceHooks hooks{};
    hooks.log = [](uint32_t, uint32_t, uint32_t, const void *, uint32_t) { ++recoveries; };
    hostSetTraceHooks(&hooks);

    auto *shared = new (sharedScratch(sizeof(SharedLatch))) SharedLatch{};
    ASSERT_EQ(hostLatchInit(shared->latch, 1), QUOR_RC_OK);
    pid_t child = spawn([shared] {
        hostLatchGet(shared->latch);
        shared->stage = 1;
        for (;;) pause();
        return 0;
    });
    while (shared->stage.load() != 1) std::this_thread::sleep_for(1ms);
    kill(child, SIGKILL);
    EXPECT_EQ(waitChild(child), -SIGKILL);

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(hostLatchGet(shared->latch), QUOR_RC_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(recoveries, 1);
    EXPECT_EQ(hostLatchRelease(shared->latch), QUOR_RC_OK);
    // Recovered for good: the next take is an ordinary one.
    EXPECT_EQ(hostLatchGet(shared->latch), QUOR_RC_OK);
    EXPECT_EQ(hostLatchRelease(shared->latch), QUOR_RC_OK);
    EXPECT_EQ(recoveries, 1);
    hostSetTraceHooks(nullptr);
}

// Bytes a stray write could leave in a latch, as 32-bit words at offsets into
// glibc's mutex (lock word 0, owner word 8, type word 16), or whole fills.
struct LatchDamage {
    const char *what;
    std::vector<std::pair<size_t, uint32_t>> words;
    int fill = -1;  // every byte of the mutex, before the words; -2: seeded random bytes
    int takeovers = 1;
};

unsigned char *mutexBytes(SharedLatch *shared) {
    auto at = reinterpret_cast<uintptr_t>(shared->latch);
    return reinterpret_cast<unsigned char *>((at + 7) & ~uintptr_t{7});
}

void damage(SharedLatch *shared, const LatchDamage &d) {
    unsigned char *m = mutexBytes(shared);
    if (d.fill >= 0) std::memset(m, d.fill, sizeof(pthread_mutex_t));
    if (d.fill == -2) {
        unsigned seed = 26;
        for (size_t i = 0; i < sizeof(pthread_mutex_t); ++i) m[i] = static_cast<unsigned char>(rand_r(&seed));
    }
    for (auto [offset, word] : d.words) std::memcpy(m + offset, &word, 4);
}

// Two processes take a damaged latch in turn: neither hangs, the first taker is
// told the holder is gone (so its caller checks what the latch guards), and from
// then on the latch excludes as before.
TEST(Latch, DamagedBytesAreTakenOverWithoutHanging) {
    const uint32_t liveThread = static_cast<uint32_t>(getpid());
    const LatchDamage cases[] = {
        {"lock word naming no thread", {{0, 0x12345678u}}},
        {"waiters bit, no owner", {{0, 0x80000000u}}},
        {"lock word naming a live thread the owner word does not", {{0, liveThread}}},
        {"priority-inheritance type word", {{16, 0xb0u}, {0, 0x12345678u}}},
        {"type word all ones", {{16, 0xffffffffu}}},
        // A free lock word is taken as it is, and the owner word rewritten.
        {"owner word saying not recoverable", {{8, 0x7fffffffu}}, -1, 0},
        {"every byte 0xff", {}, 0xff},
        {"random bytes", {}, -2},
    };
    constexpr int kRounds = 300;
    for (const LatchDamage &d : cases) {
        SCOPED_TRACE(d.what);
        auto *shared = new (sharedScratch(sizeof(SharedLatch))) SharedLatch{};
        ASSERT_EQ(hostLatchInit(shared->latch, 1), QUOR_RC_OK);
        damage(shared, d);
        auto work = [shared] {
            for (int i = 0; i < kRounds; ++i) {
                if (hostLatchGet(shared->latch) != 0) return 1;
                if (hostLatchRecoveredDeadHolder() != 0) shared->stage.fetch_add(1);
                int32_t seen = shared->counter;
                shared->counter = seen + 1;
                if (hostLatchRelease(shared->latch) != 0) return 2;
            }
            return 0;
        };
        const pid_t first = spawn(work), second = spawn(work);
        EXPECT_EQ(waitChildFor(first, 30), 0);
        EXPECT_EQ(waitChildFor(second, 30), 0);
        EXPECT_EQ(shared->counter, 2 * kRounds);
        EXPECT_EQ(shared->stage.load(), d.takeovers) << "takeovers reported";
    }
}

// A holder that keeps a latch a long while is waited for, never taken over.
TEST(Latch, LiveHolderKeepsTheLatchAsLongAsItLikes) {
    auto *shared = new (sharedScratch(sizeof(SharedLatch))) SharedLatch{};
    ASSERT_EQ(hostLatchInit(shared->latch, 1), QUOR_RC_OK);
    const pid_t holder = spawn([shared] {
        if (hostLatchGet(shared->latch) != 0) return 1;
        shared->stage = 1;
        std::this_thread::sleep_for(800ms);
        shared->counter = 1;
        return hostLatchRelease(shared->latch) != 0 ? 2 : 0;
    });
    while (shared->stage.load() != 1) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(hostLatchGet(shared->latch), QUOR_RC_OK);
    EXPECT_EQ(shared->counter, 1) << "taken while the holder still held it";
    EXPECT_EQ(hostLatchRecoveredDeadHolder(), 0);
    EXPECT_EQ(hostLatchRelease(shared->latch), QUOR_RC_OK);
    EXPECT_EQ(waitChildFor(holder, 30), 0);
}

TEST(Latch, BadArguments) {
    unsigned char bytes[HOST_LATCH_BYTES];
    EXPECT_NE(hostLatchInit(nullptr, 1), QUOR_RC_OK);
    EXPECT_NE(hostLatchInit(bytes, 2), QUOR_RC_OK);
    EXPECT_NE(hostLatchGet(nullptr), QUOR_RC_OK);
    EXPECT_NE(hostLatchRelease(nullptr), QUOR_RC_OK);
}

TEST(SpinLock, ExchangeReportsAHeldLockAndWaitersGetItInTurn) {
    uint8_t lock = 0;
    EXPECT_EQ(hostSpinLockExchange(&lock), 0u);
    EXPECT_NE(hostSpinLockExchange(&lock), 0u);
    hostSpinLockRelease(&lock);

    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 50000; ++i) {
            if (hostSpinLockExchange(&lock) != 0) hostSpinLockWaitConflict(&lock);
            ++counter;
            hostSpinLockRelease(&lock);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 100000);
}

TEST(Atomic, InitIncrementAddSwap) {
    alignas(8) unsigned char slot[HOST_ATOMIC_SLOT_BYTES];
    int32_t old = 0;
    ASSERT_EQ(hostAtomicInit(slot, 41, 1), QUOR_RC_OK);
    EXPECT_EQ(hostAtomicIncrement(slot, &old), QUOR_RC_OK);
    EXPECT_EQ(old, 41);
    EXPECT_EQ(hostAtomicAdd(slot, 0, &old), QUOR_RC_OK);
    EXPECT_EQ(old, 42);
    EXPECT_EQ(hostAtomicSwap(slot, INT32_MAX, &old), QUOR_RC_OK);
    EXPECT_EQ(hostAtomicIncrement(slot, &old), QUOR_RC_OK);
    EXPECT_EQ(hostAtomicAdd(slot, 0, &old), QUOR_RC_OK);
    EXPECT_EQ(old, INT32_MIN) << "the counter wraps like a 32-bit register";
    EXPECT_EQ(hostAtomicIncrement(slot, nullptr), QUOR_RC_ATOMIC_FAILED);
    EXPECT_EQ(hostAtomicIncrement(slot + 1, &old), QUOR_RC_ATOMIC_FAILED) << "misaligned slot";
}

TEST(Atomic, StoreAndTheLatchHoldersMarkAndCount) {
    alignas(8) unsigned char mark[HOST_ATOMIC_SLOT_BYTES], count[HOST_ATOMIC_SLOT_BYTES];
    int32_t old = 0;
    ASSERT_EQ(hostAtomicInit(mark, 0, 1), QUOR_RC_OK);
    ASSERT_EQ(hostAtomicInit(count, INT32_MAX, 1), QUOR_RC_OK);
    EXPECT_EQ(hostAtomicMarkAndCount(mark, 1, count), QUOR_RC_OK);
    EXPECT_EQ(hostAtomicAdd(mark, 0, &old), QUOR_RC_OK);
    EXPECT_EQ(old, 1);
    EXPECT_EQ(hostAtomicAdd(count, 0, &old), QUOR_RC_OK);
    EXPECT_EQ(old, INT32_MIN) << "the count wraps like the counters";
    EXPECT_EQ(hostAtomicStore(mark, 0), QUOR_RC_OK);
    EXPECT_EQ(hostAtomicAdd(mark, 0, &old), QUOR_RC_OK);
    EXPECT_EQ(old, 0);
    // A bad slot on either side writes neither.
    EXPECT_EQ(hostAtomicMarkAndCount(mark, 1, count + 1), QUOR_RC_ATOMIC_FAILED);
    EXPECT_EQ(hostAtomicMarkAndCount(nullptr, 1, count), QUOR_RC_ATOMIC_FAILED);
    EXPECT_EQ(hostAtomicAdd(mark, 0, &old), QUOR_RC_OK);
    EXPECT_EQ(old, 0);
    EXPECT_EQ(hostAtomicAdd(count, 0, &old), QUOR_RC_OK);
    EXPECT_EQ(old, INT32_MIN);
    EXPECT_EQ(hostAtomicStore(mark + 2, 1), QUOR_RC_ATOMIC_FAILED);
}

// The writer's entry and exit in one call: the latch is held between them, and
// given back by a failed entry and by an exit whose mark fails.
TEST(Atomic, WriterEntryAndExitWithTheLatch) {
    alignas(8) unsigned char latch[HOST_LATCH_BYTES], mark[HOST_ATOMIC_SLOT_BYTES],
        count[HOST_ATOMIC_SLOT_BYTES];
    int32_t old = 0;
    ASSERT_EQ(hostLatchInit(latch, 1), QUOR_RC_OK);
    ASSERT_EQ(hostAtomicInit(mark, 0, 1), QUOR_RC_OK);
    ASSERT_EQ(hostAtomicInit(count, 5, 1), QUOR_RC_OK);
    auto latchIsFree = [&] {
        std::thread other([&] {
            if (hostLatchAcquire(latch, nullptr) == 0) {
                old = 99;
                (void)hostLatchRelease(latch);
            }
        });
        other.join();
        const bool taken = old == 99;
        old = 0;
        return taken;
    };
    ASSERT_EQ(hostLatchAcquireAndMark(latch, mark, 1, count), QUOR_RC_OK);
    EXPECT_EQ(hostAtomicAdd(mark, 0, &old), QUOR_RC_OK);
    EXPECT_EQ(old, 1);
    EXPECT_EQ(hostAtomicAdd(count, 0, &old), QUOR_RC_OK);
    EXPECT_EQ(old, 6);
    EXPECT_EQ(hostLatchClearAndRelease(latch, mark), QUOR_RC_OK);
    EXPECT_EQ(hostAtomicAdd(mark, 0, &old), QUOR_RC_OK);
    EXPECT_EQ(old, 0);
    EXPECT_TRUE(latchIsFree());

    EXPECT_EQ(hostLatchAcquireAndMark(latch, mark, 1, count + 1), QUOR_RC_ATOMIC_FAILED);
    EXPECT_TRUE(latchIsFree()) << "a failed entry gives the latch back";
    EXPECT_EQ(hostAtomicAdd(count, 0, &old), QUOR_RC_OK);
    EXPECT_EQ(old, 6) << "and counts nothing";
    ASSERT_EQ(hostLatchAcquireAndMark(latch, mark, 1, count), QUOR_RC_OK);
    EXPECT_EQ(hostLatchClearAndRelease(latch, mark + 2), QUOR_RC_ATOMIC_FAILED);
    EXPECT_TRUE(latchIsFree()) << "released whatever the mark gave";
    EXPECT_EQ(hostLatchAcquireAndMark(nullptr, mark, 1, count), QUOR_RC_NULL_PARAMETER);

    // The remarking entry hands back the mark it found: 0 after a clean exit,
    // the old mark when a holder left it set.
    ASSERT_EQ(hostAtomicStore(mark, 0), QUOR_RC_OK);  // the failed clear above left it set
    int32_t previous = 7;
    ASSERT_EQ(hostLatchAcquireAndRemark(latch, mark, 1, count, &previous), QUOR_RC_OK);
    EXPECT_EQ(previous, 0);
    ASSERT_EQ(hostLatchRelease(latch), QUOR_RC_OK);  // the mark stays set
    ASSERT_EQ(hostLatchAcquireAndRemark(latch, mark, 1, count, &previous), QUOR_RC_OK);
    EXPECT_EQ(previous, 1);
    EXPECT_EQ(hostLatchClearAndRelease(latch, mark), QUOR_RC_OK);
    EXPECT_EQ(hostLatchAcquireAndRemark(latch, mark, 1, count + 1, &previous), QUOR_RC_ATOMIC_FAILED);
    EXPECT_TRUE(latchIsFree());
}

TEST(PrivateMemory, CountsPerSourceAndFailsOnRequest) {
    void *a = nullptr, *b = nullptr, *c = nullptr;
    ASSERT_EQ(hostMemAlloc(&a, 0, 10, 1, "quorll", 1), QUOR_RC_OK);
    EXPECT_EQ(hostMemLiveBlocks("quorll"), 1u);
    EXPECT_EQ(static_cast<unsigned char *>(a)[9], 0) << "blocks come zeroed";

    hostMemFailAfter(2, 0);  // the second allocation from now fails, once
    EXPECT_EQ(hostMemAlloc(&b, 0, 10, 1, "quor", 2), QUOR_RC_OK);
    EXPECT_EQ(hostMemAlloc(&c, 0, 10, 1, "quor", 3), QUOR_RC_NO_MEMORY);
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(hostMemAlloc(&c, 0, 10, 1, "quor", 4), QUOR_RC_OK);

    hostMemFailAfter(1, 1);  // from the next one on, every allocation fails
    void *d = nullptr;
    EXPECT_EQ(hostMemAlloc(&d, 0, 10, 1, "quor", 5), QUOR_RC_NO_MEMORY);
    EXPECT_EQ(hostMemAlloc(&d, 0, 10, 1, "quor", 6), QUOR_RC_NO_MEMORY);
    hostMemFailAfter(0, 0);

    EXPECT_EQ(hostMemLiveBlocks("quor"), 2u);
    for (void **p : {&a, &b, &c}) {
        EXPECT_EQ(hostMemFree(p, 0, 0, "quor", 7), QUOR_RC_OK);
        EXPECT_EQ(*p, nullptr);
    }
    EXPECT_EQ(hostMemLiveBlocks(nullptr), 0u);
    EXPECT_EQ(hostMemFree(&a, 0, 0, "quor", 8), QUOR_RC_NULL_PARAMETER);
}

IpcResId resId(const std::string &name) {
    IpcResId id{};
    std::strncpy(id.name, name.c_str(), sizeof id.name - 1);
    return id;
}

std::string uniqueName(const char *what) { return std::string("quor-test-") + what + "-" + std::to_string(getpid()); }

TEST(IpcMemory, CreateInOneProcessAttachInAnother) {
    IpcMemoryCreateParam param{1, resId(uniqueName("seg")), 1 << 16, nullptr, 0};
    IpcMemory creator;
    ASSERT_EQ(creator.create(param), QUOR_RC_OK);
    void *base = nullptr;
    ASSERT_EQ(creator.getAddress(&base), QUOR_RC_OK);
    std::strcpy(static_cast<char *>(base) + 100, "hello");

    struct stat st{};
    std::string path = "/dev/shm/" + std::string(param.resId.name);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "owner-only by default";

    pid_t child = spawn([&] {
        IpcMemory other;
        void *at = nullptr;
        if (other.attach(param.resId, nullptr) != 0 || other.getAddress(&at) != 0) return 1;
        if (std::strcmp(static_cast<char *>(at) + 100, "hello") != 0) return 2;
        std::strcpy(static_cast<char *>(at) + 200, "world");
        return other.detach() == 0 ? 0 : 3;
    });
    EXPECT_EQ(waitChild(child), 0);
    EXPECT_STREQ(static_cast<char *>(base) + 200, "world");

    IpcMemory again;
    EXPECT_EQ(again.create(param), QUOR_RC_HOST_SEGMENT_EXISTS);
    EXPECT_EQ(creator.destroy(), QUOR_RC_OK);
    EXPECT_FALSE(creator.isAttached());
    IpcMemory late;
    EXPECT_EQ(late.attach(param.resId, nullptr), QUOR_RC_SEGMENT_ATTACH_FAILED);
}

TEST(IpcMemory, AttachRefusesASegmentOpenWiderThanAllowed) {
    IpcMemoryCreateParam param{1, resId(uniqueName("wide")), 4096, nullptr,
                               IPC_DEFAULT_FLAGS | IPC_OTHERS_READ_WRITE};
    IpcMemory creator;
    ASSERT_EQ(creator.create(param), QUOR_RC_OK);
    IpcMemory strict;
    EXPECT_EQ(strict.attach(resId(param.resId.name), nullptr), QUOR_RC_SEGMENT_ATTACH_FAILED);
    IpcResId allowing = resId(param.resId.name);
    allowing.accessFlags = IPC_OTHERS_READ_WRITE;
    IpcMemory lenient;
    EXPECT_EQ(lenient.attach(allowing, nullptr), QUOR_RC_OK);
    EXPECT_EQ(creator.destroy(), QUOR_RC_OK);
}

TEST(IpcMemory, NamesAreValidated) {
    IpcResId unterminated{};
    std::memset(unterminated.name, 'a', sizeof unterminated.name);
    const IpcResId bad[] = {resId(""), resId("a/b"), resId(".."), resId(std::string(201, 'x')),
                            resId("sp ace"), unterminated};
    for (const IpcResId &id : bad) {
        IpcMemory memory;
        EXPECT_EQ(memory.create({1, id, 4096, nullptr, 0}), QUOR_RC_HOST_BAD_SEGMENT_NAME);
        EXPECT_EQ(memory.attach(id, nullptr), QUOR_RC_HOST_BAD_SEGMENT_NAME);
    }
    EXPECT_TRUE(IpcMemory::validName(resId(std::string(200, 'x'))));
}

TEST(Clock, SixtyFourBitMillisecondsAndATestSource) {
    HostUtcTime t{};
    ASSERT_EQ(hostTimeGetUTC(&t), QUOR_RC_OK);
    EXPECT_GT(t.milliseconds, 1700000000000ull) << "milliseconds since the epoch, not a wrapping field";
    hostTimeSetSource([]() -> uint64_t { return 0x123456789ull; });
    ASSERT_EQ(hostTimeGetUTC(&t), QUOR_RC_OK);
    EXPECT_EQ(t.milliseconds, 0x123456789ull);
    EXPECT_EQ(t.legacyMilliseconds, 0x6789);
    hostTimeSetSource(nullptr);
    EXPECT_EQ(hostTimeGetUTC(nullptr), QUOR_RC_NULL_PARAMETER);
}

TEST(Assert, ReportsReachTheHookAndReturn) {
    static std::string seen;
    hostSetAssertHook([](const char *message, const char *file, uint32_t line) {
        seen = std::string(message) + "@" + file + ":" + std::to_string(line);
    });
    hostAssertFailed("chunk corrupt", "heap.cpp", 12);
    EXPECT_EQ(seen, "chunk corrupt@heap.cpp:12");
    hostSetAssertHook(nullptr);
}

}  // namespace
