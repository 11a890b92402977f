// Cross-process latches and one-byte spin locks.
//
// A latch is a robust, process-shared pthread mutex placed at the first 8-byte
// aligned address inside the latch bytes of a shared record. When the holder dies
// the next taker gets EOWNERDEAD: it marks the mutex consistent, logs the
// recovery and keeps the latch, so survivors are never blocked by a dead process.
//
// The latch bytes are shared memory that any process (or a stray write) can
// damage, and glibc trusts them: a lock word naming a thread that does not exist
// is waited on for ever, a type word with the priority-inheritance bits set can
// abort the caller, an owner word saying "not recoverable" fails every take. So
// a taker never hands the bytes to pthread blind:
//  - the type word must be the one hostLatchInit writes, checked before every
//    take; a latch with any other type word is rebuilt (below);
//  - a waiter never sleeps unbounded: every kLatchCheckSlice it looks at the
//    lock word. A holder taken the ordinary way has its thread id in both the
//    lock word and the owner word (glibc writes the owner right after the lock
//    word) and is alive. A lock word naming no live thread other than the
//    waiter's own, unchanged over a whole slice, or naming a live thread the
//    owner word disagrees with for kSuspectSlices slices in a row, is marked as the kernel marks the latch of a thread that died (owner
//    died, no owner), and the waiters are woken: the next taker gets EOWNERDEAD
//    and goes through the dead-holder recovery of its caller, which checks what
//    the latch guards;
//  - a rebuild is claimed by swapping the type word for a claim mark (one CAS,
//    so one rebuilder), writes a fresh mutex whose lock word says "owner died"
//    and stores the right type word last. A claim left behind by a rebuilder
//    that died is taken over once it has stood for kLatchCheckSlice.
// A latch held by a live thread that keeps it is waited for, as before: a
// holder may keep a node section as long as it likes.
#include <errno.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>

#include "quor/host.h"

namespace {

static_assert(sizeof(pthread_mutex_t) + 7 <= HOST_LATCH_BYTES, "latch bytes too small");

pthread_mutex_t *mutexIn(void *latch) {
    auto at = reinterpret_cast<uintptr_t>(latch);
    return reinterpret_cast<pthread_mutex_t *>((at + 7) & ~uintptr_t{7});
}

constexpr uint32_t kLatchFunctionId = 0x0822ff01;  // host-internal identifier for log records
constexpr uint32_t kProbeDeadHolder = 10;          // log probes: the holder died inside
constexpr uint32_t kProbeInvalidOwner = 20;        // the lock word named no live holder
constexpr uint32_t kProbeRebuilt = 30;             // the mutex bytes were rebuilt

// How long a waiter sleeps before it looks at the latch's bytes again.
constexpr long kLatchCheckSliceNs = 10'000'000;

// Whether this thread's latest hostLatchGet took the latch over from a dead holder.
// Initial-exec: reached as one thread-pointer-relative word, not through a call
// into the dynamic linker on every get. The library is loaded with its program
// (or by dlopen, which the static TLS reserve covers for one byte).
__attribute__((tls_model("initial-exec"))) thread_local bool lastGetRecovered = false;

int initMutex(pthread_mutex_t *mutex) {
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) return EINVAL;
    int err = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    if (err == 0) err = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    if (err == 0) err = pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    return err;
}

void logLatch(void *latch, uint32_t probe) {
    uint64_t where = reinterpret_cast<uintptr_t>(latch);
    hostLog(0, kLatchFunctionId, QUOR_RC_OK, probe, 3, 1, &where, 8, 0);
}

#if defined(__GLIBC__)
// The words of glibc's mutex that say who holds it and what it is.
constexpr int kOwnerDiedBit = FUTEX_OWNER_DIED;
constexpr int kWaitersBit = static_cast<int>(FUTEX_WAITERS);
constexpr int kTidMask = FUTEX_TID_MASK;
constexpr int kNotRecoverableOwner = INT_MAX;  // glibc's owner word of a latch given up
constexpr int kInconsistentOwner = INT_MIN;    // between EOWNERDEAD and the consistent mark

std::atomic_ref<int> lockWord(pthread_mutex_t *m) { return std::atomic_ref<int>(m->__data.__lock); }
std::atomic_ref<int> ownerWord(pthread_mutex_t *m) { return std::atomic_ref<int>(m->__data.__owner); }
std::atomic_ref<int> kindWord(pthread_mutex_t *m) { return std::atomic_ref<int>(m->__data.__kind); }

int probeKind() {
    pthread_mutex_t probe;
    if (initMutex(&probe) != 0) return -1;
    const int kind = probe.__data.__kind;
    pthread_mutex_destroy(&probe);
    return kind;
}
// The type word hostLatchInit writes, learnt from this process's own glibc.
const int kLatchKind = probeKind();
// A rebuild's claim: a type word no mutex has (the top bit), with the claimant.
int claimMark() { return static_cast<int>(0x80000000u | (static_cast<uint32_t>(gettid()) & 0x3fffffffu)); }
bool isClaim(int kind) { return kind != kLatchKind && (static_cast<uint32_t>(kind) & 0xc0000000u) == 0x80000000u; }

bool threadExists(int tid) {
    if (tid <= 0) return false;
    // kill with a thread's id reaches its process: ESRCH means no such thread.
    return kill(tid, 0) == 0 || errno != ESRCH;
}

void wakeAll(pthread_mutex_t *m) {
    syscall(SYS_futex, &m->__data.__lock, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

uint64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(now.tv_nsec);
}

// Writes a fresh mutex over one whose type or owner word is not valid. The
// caller has seen `seenKind` in the type word; whoever swaps it for a claim
// rebuilds, everyone else waits for the type word to come right.
void rebuildLatch(void *latch, int seenKind) {
    pthread_mutex_t *m = mutexIn(latch);
    const int claim = claimMark();
    int expected = seenKind;
    if (!kindWord(m).compare_exchange_strong(expected, claim, std::memory_order_acq_rel)) return;
    pthread_mutex_t fresh;
    if (initMutex(&fresh) != 0) {
        kindWord(m).store(seenKind, std::memory_order_release);
        return;
    }
    // Owner died, no owner: the next taker recovers it as from a dead holder and
    // its caller checks what the latch guards.
    fresh.__data.__lock = kOwnerDiedBit;
    fresh.__data.__owner = 0;
    const int kind = fresh.__data.__kind;
    fresh.__data.__kind = claim;
    const auto *from = reinterpret_cast<const unsigned char *>(&fresh);
    auto *to = reinterpret_cast<unsigned char *>(m);
    // Every byte but the lock word, which waiters read as a whole word.
    static_assert(offsetof(__pthread_mutex_s, __lock) == 0);
    for (size_t i = sizeof(int); i < sizeof fresh; ++i) to[i] = from[i];
    lockWord(m).store(fresh.__data.__lock, std::memory_order_relaxed);
    kindWord(m).store(kind, std::memory_order_release);
    logLatch(latch, kProbeRebuilt);
    wakeAll(m);
}

// The type word is valid, or has been made so (or another taker is at it).
[[gnu::cold, gnu::noinline]] void repairKind(void *latch, int seenKind) {
    pthread_mutex_t *m = mutexIn(latch);
    uint64_t claimSeen = 0;
    for (int kind = seenKind; kind != kLatchKind; kind = kindWord(m).load(std::memory_order_acquire)) {
        if (!isClaim(kind)) {
            rebuildLatch(latch, kind);
            continue;
        }
        // Another taker is rebuilding: that takes microseconds, unless it died.
        const uint64_t now = monotonicNs();
        if (claimSeen == 0) claimSeen = now;
        if (now - claimSeen > static_cast<uint64_t>(kLatchCheckSliceNs)) {
            rebuildLatch(latch, kind);
            claimSeen = 0;
            continue;
        }
        sched_yield();
    }
}

bool kindIsValid(void *latch) {
    const int kind = kindWord(mutexIn(latch)).load(std::memory_order_acquire);
    if (kind == kLatchKind) [[likely]]
        return true;
    repairKind(latch, kind);
    return false;
}

// What a waiter that slept a whole slice on `seenLock` makes of the lock word.
enum class Holder { Valid, Suspect, Invalid };

Holder judgeHolder(pthread_mutex_t *m, int seenLock) {
    if (seenLock == 0 || (seenLock & kOwnerDiedBit) != 0) return Holder::Valid;
    if (lockWord(m).load(std::memory_order_acquire) != seenLock) return Holder::Valid;  // it moved
    const int tid = seenLock & kTidMask;
    if (tid == gettid() || !threadExists(tid)) return Holder::Invalid;
    const int owner = ownerWord(m).load(std::memory_order_acquire);
    // glibc writes the owner word just after the lock word: a live thread caught
    // between the two (preempted, stopped) looks the same for a moment.
    return owner == tid || owner == kInconsistentOwner ? Holder::Valid : Holder::Suspect;
}

// How many slices in a row a live thread may stand in the lock word without being
// named in the owner word before the lock word is taken for damage.
constexpr unsigned kSuspectSlices = 50;

// Marks a lock word that names no holder as a dead holder's and wakes everyone.
void takeOverLockWord(void *latch, int seenLock) {
    pthread_mutex_t *m = mutexIn(latch);
    int expected = seenLock;
    if (!lockWord(m).compare_exchange_strong(expected, (seenLock & kWaitersBit) | kOwnerDiedBit,
                                             std::memory_order_acq_rel))
        return;
    logLatch(latch, kProbeInvalidOwner);
    wakeAll(m);
}

// Sleeps on the latch a slice at a time, looking at its bytes between slices.
int sleepForLatch(void *latch) {
    pthread_mutex_t *m = mutexIn(latch);
    int suspectLock = 0;
    unsigned suspectSlices = 0;
    for (;;) {
        if (!kindIsValid(latch)) {
            const int err = pthread_mutex_trylock(m);
            if (err != EBUSY) return err;
        }
        const int seenLock = lockWord(m).load(std::memory_order_acquire);
        timespec until{};
        clock_gettime(CLOCK_MONOTONIC, &until);
        until.tv_nsec += kLatchCheckSliceNs;
        if (until.tv_nsec >= 1'000'000'000) {
            until.tv_nsec -= 1'000'000'000;
            until.tv_sec += 1;
        }
        const int err = pthread_mutex_clocklock(m, CLOCK_MONOTONIC, &until);
        if (err != ETIMEDOUT) return err;
        switch (judgeHolder(m, seenLock)) {
        case Holder::Valid:
            suspectSlices = 0;
            break;
        case Holder::Suspect:
            suspectSlices = seenLock == suspectLock ? suspectSlices + 1 : 1;
            suspectLock = seenLock;
            if (suspectSlices < kSuspectSlices) break;
            [[fallthrough]];
        case Holder::Invalid:
            takeOverLockWord(latch, seenLock);
            suspectSlices = 0;
            break;
        }
    }
}

// A latch glibc calls given up (no one marked it consistent after a holder
// died) is rebuilt rather than failed for ever.
[[gnu::cold, gnu::noinline]] int afterNotRecoverable(void *latch) {
    pthread_mutex_t *m = mutexIn(latch);
    if (ownerWord(m).load(std::memory_order_acquire) == kNotRecoverableOwner) rebuildLatch(latch, kLatchKind);
    return EBUSY;
}
#else
bool kindIsValid(void *) { return true; }
int sleepForLatch(void *latch) { return pthread_mutex_lock(mutexIn(latch)); }
int afterNotRecoverable(void *) { return ENOTRECOVERABLE; }
#endif

}  // namespace

extern "C" uint32_t hostLatchInit(void *latch, uint32_t count) {
    if (latch == nullptr) return QUOR_RC_NULL_PARAMETER;
    if (count != 1) return QUOR_RC_LATCH_FAILED;
    return initMutex(mutexIn(latch)) == 0 ? QUOR_RC_OK : QUOR_RC_LATCH_FAILED;
}

namespace {

// The previous holder died inside the latch. What it guarded may be half written;
// the callers' own records (eyecatchers, magics, counts) are checked on every
// use, so hand the latch over rather than fence it off. Kept out of line: the
// common taking of a latch carries nothing of it but one compare.
[[gnu::cold, gnu::noinline]] int recoverLatch(void *latch) {
    const int err = pthread_mutex_consistent(mutexIn(latch));
    logLatch(latch, kProbeDeadHolder);
    return err;
}

}  // namespace

// A latch another process holds is usually given back within a few hundred
// nanoseconds (a node section is a handful of reads or writes), far sooner than
// a sleeping taker is woken again: try again briefly before blocking. Robust
// mutexes do no such spinning of their own.
inline void spinPause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

[[gnu::cold, gnu::noinline]] int waitForLatch(void *latch) {
    pthread_mutex_t *mutex = mutexIn(latch);
    for (unsigned attempts = 0; attempts < 4; ++attempts) {
        int err = EBUSY;
        for (unsigned tries = 0; tries < 200 && err == EBUSY; ++tries) {
            spinPause();
            if (kindIsValid(latch)) err = pthread_mutex_trylock(mutex);
        }
        if (err == EBUSY) err = sleepForLatch(latch);
        if (err != ENOTRECOVERABLE) return err;
        afterNotRecoverable(latch);
    }
    return ENOTRECOVERABLE;
}

extern "C" __attribute__((hot)) uint32_t hostLatchAcquire(void *latch, int *recoveredDeadHolder) {
    if (latch == nullptr) [[unlikely]]
        return QUOR_RC_NULL_PARAMETER;
    pthread_mutex_t *mutex = mutexIn(latch);
    int err = EBUSY;
    if (kindIsValid(latch)) [[likely]]
        err = pthread_mutex_trylock(mutex);
    if (err != 0) [[unlikely]]
        if (err == EBUSY || err == ENOTRECOVERABLE) err = waitForLatch(latch);
    if (recoveredDeadHolder != nullptr) *recoveredDeadHolder = err == EOWNERDEAD ? 1 : 0;
    if (err == EOWNERDEAD) [[unlikely]]
        err = recoverLatch(latch);
    return err == 0 ? QUOR_RC_OK : QUOR_RC_LATCH_FAILED;
}

extern "C" uint32_t hostLatchGet(void *latch) {
    int recovered = 0;
    const uint32_t rc = hostLatchAcquire(latch, &recovered);
    lastGetRecovered = recovered != 0;
    return rc;
}

extern "C" int hostLatchRecoveredDeadHolder(void) { return lastGetRecovered ? 1 : 0; }

extern "C" __attribute__((hot)) uint32_t hostLatchRelease(void *latch) {
    if (latch == nullptr) [[unlikely]]
        return QUOR_RC_NULL_PARAMETER;
    return pthread_mutex_unlock(mutexIn(latch)) == 0 ? QUOR_RC_OK : QUOR_RC_LATCH_FAILED;
}

// ---- spin locks ----

namespace {
std::atomic_ref<uint8_t> spinByte(uint8_t *lock) { return std::atomic_ref<uint8_t>(*lock); }
}  // namespace

extern "C" uint32_t hostSpinLockExchange(uint8_t *lock) {
    return spinByte(lock).exchange(1, std::memory_order_acquire) != 0 ? 1u : 0u;
}

extern "C" void hostSpinLockWaitConflict(uint8_t *lock) {
    auto byte = spinByte(lock);
    for (unsigned spins = 0;; ++spins) {
        if (byte.load(std::memory_order_relaxed) == 0 && byte.exchange(1, std::memory_order_acquire) == 0) {
            return;
        }
        if (spins >= 64) sched_yield();
    }
}

extern "C" void hostSpinLockRelease(uint8_t *lock) { spinByte(lock).store(0, std::memory_order_release); }

// ---- AtomicSigned32 ----

namespace {
std::atomic_ref<int32_t> counterIn(void *slot) {
    return std::atomic_ref<int32_t>(*static_cast<int32_t *>(slot));
}
bool badSlot(const void *slot) { return slot == nullptr || (reinterpret_cast<uintptr_t>(slot) & 3) != 0; }
static_assert(std::atomic_ref<int32_t>::is_always_lock_free, "counters must be lock-free");
}  // namespace

extern "C" uint32_t hostAtomicInit(void *slot, int32_t value, uint32_t count) {
    if (badSlot(slot) || count != 1) return QUOR_RC_ATOMIC_FAILED;
    counterIn(slot).store(value, std::memory_order_release);
    return QUOR_RC_OK;
}

extern "C" uint32_t hostAtomicIncrement(void *slot, int32_t *old) { return hostAtomicAdd(slot, 1, old); }

extern "C" __attribute__((hot)) uint32_t hostAtomicAdd(void *slot, int32_t delta, int32_t *old) {
    if (badSlot(slot) || old == nullptr) [[unlikely]]
        return QUOR_RC_ATOMIC_FAILED;
    // An add of 0 is how counters and 32-bit values are read: it changes
    // nothing, so a load gives the same value without taking the cache line
    // for writing (a locked add would, on every read of a value).
    // The fence keeps the caller's earlier reads before this one, as the locked
    // add did (a reader that checks a count after reading what it guards relies
    // on that); on x86 it costs nothing.
    if (delta == 0) {
        std::atomic_thread_fence(std::memory_order_acquire);
        *old = counterIn(slot).load(std::memory_order_seq_cst);
        return QUOR_RC_OK;
    }
    // Wrap like the 32-bit hardware counter instead of overflowing a signed int.
    *old = counterIn(slot).fetch_add(delta, std::memory_order_acq_rel);
    return QUOR_RC_OK;
}

extern "C" uint32_t hostAtomicSwap(void *slot, int32_t value, int32_t *old) {
    if (badSlot(slot) || old == nullptr) return QUOR_RC_ATOMIC_FAILED;
    *old = counterIn(slot).exchange(value, std::memory_order_acq_rel);
    return QUOR_RC_OK;
}

extern "C" __attribute__((hot)) uint32_t hostAtomicMarkAndCount(void *markSlot, int32_t mark,
                                                                void *countSlot) {
    if (badSlot(markSlot) || badSlot(countSlot)) [[unlikely]]
        return QUOR_RC_ATOMIC_FAILED;
    // Only the holder of the latch that guards both slots changes them, so no
    // second writer can come between the count's load and store; each word is
    // still stored whole for readers outside the latch.
    counterIn(markSlot).store(mark, std::memory_order_release);
    auto count = counterIn(countSlot);
    // Wraps like the counters' hardware add, not as a signed overflow.
    const auto next = static_cast<uint32_t>(count.load(std::memory_order_relaxed)) + 1u;
    count.store(static_cast<int32_t>(next), std::memory_order_release);
    // What the holder writes next must not be seen before the mark and the
    // count, as with the locked operations this call replaces (free on x86).
    std::atomic_thread_fence(std::memory_order_release);
    return QUOR_RC_OK;
}

extern "C" __attribute__((hot)) uint32_t hostAtomicStore(void *slot, int32_t value) {
    if (badSlot(slot)) [[unlikely]]
        return QUOR_RC_ATOMIC_FAILED;
    counterIn(slot).store(value, std::memory_order_release);
    return QUOR_RC_OK;
}

// The writer's steps in one call: a section in the library crosses into this
// library once to enter and once to leave, not twice each way.
extern "C" __attribute__((hot)) uint32_t hostLatchAcquireAndMark(void *latch, void *markSlot, int32_t mark,
                                                                 void *countSlot) {
    if (const uint32_t rc = hostLatchAcquire(latch, nullptr); rc != 0) [[unlikely]]
        return rc;
    if (hostAtomicMarkAndCount(markSlot, mark, countSlot) != 0) [[unlikely]]
        return hostLatchRelease(latch) != 0 ? QUOR_RC_LATCH_FAILED : QUOR_RC_ATOMIC_FAILED;
    return QUOR_RC_OK;
}

extern "C" __attribute__((hot)) uint32_t hostLatchAcquireAndRemark(void *latch, void *markSlot, int32_t mark,
                                                                   void *countSlot, int32_t *previousMark) {
    if (const uint32_t rc = hostLatchAcquire(latch, nullptr); rc != 0) [[unlikely]]
        return rc;
    if (badSlot(markSlot)) [[unlikely]]
        return hostLatchRelease(latch) != 0 ? QUOR_RC_LATCH_FAILED : QUOR_RC_ATOMIC_FAILED;
    const int32_t previous = counterIn(markSlot).load(std::memory_order_relaxed);
    if (hostAtomicMarkAndCount(markSlot, mark, countSlot) != 0) [[unlikely]]
        return hostLatchRelease(latch) != 0 ? QUOR_RC_LATCH_FAILED : QUOR_RC_ATOMIC_FAILED;
    if (previousMark != nullptr) *previousMark = previous;
    return QUOR_RC_OK;
}

extern "C" __attribute__((hot)) uint32_t hostLatchClearAndRelease(void *latch, void *markSlot) {
    const uint32_t cleared = hostAtomicStore(markSlot, 0);
    const uint32_t released = hostLatchRelease(latch);
    return cleared != 0 ? cleared : released;
}
