// Cross-process latches and one-byte spin locks.
//
// A latch is a robust, process-shared pthread mutex placed at the first 8-byte
// aligned address inside the latch bytes of a shared record. When the holder dies
// the next taker gets EOWNERDEAD: it marks the mutex consistent, logs the
// recovery and keeps the latch, so survivors are never blocked by a dead process.
#include <errno.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cstdint>

#include "quor/host.h"

namespace {

static_assert(sizeof(pthread_mutex_t) + 7 <= HOST_LATCH_BYTES, "latch bytes too small");

pthread_mutex_t *mutexIn(void *latch) {
    auto at = reinterpret_cast<uintptr_t>(latch);
    return reinterpret_cast<pthread_mutex_t *>((at + 7) & ~uintptr_t{7});
}

constexpr uint32_t kLatchFunctionId = 0x0822ff01;  // host-internal identifier for log records

// Whether this thread's latest hostLatchGet took the latch over from a dead holder.
// Initial-exec: reached as one thread-pointer-relative word, not through a call
// into the dynamic linker on every get. The library is loaded with its program
// (or by dlopen, which the static TLS reserve covers for one byte).
__attribute__((tls_model("initial-exec"))) thread_local bool lastGetRecovered = false;

}  // namespace

extern "C" uint32_t hostLatchInit(void *latch, uint32_t count) {
    if (latch == nullptr) return QUOR_RC_NULL_PARAMETER;
    if (count != 1) return QUOR_RC_LATCH_FAILED;
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) return QUOR_RC_LATCH_FAILED;
    uint32_t rc = QUOR_RC_OK;
    if (pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) != 0 ||
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) != 0 ||
        pthread_mutex_init(mutexIn(latch), &attr) != 0) {
        rc = QUOR_RC_LATCH_FAILED;
    }
    pthread_mutexattr_destroy(&attr);
    return rc;
}

namespace {

// The previous holder died inside the latch. What it guarded may be half written;
// the callers' own records (eyecatchers, magics, counts) are checked on every
// use, so hand the latch over rather than fence it off. Kept out of line: the
// common taking of a latch carries nothing of it but one compare.
[[gnu::cold, gnu::noinline]] int recoverLatch(void *latch) {
    const int err = pthread_mutex_consistent(mutexIn(latch));
    uint64_t where = reinterpret_cast<uintptr_t>(latch);
    hostLog(0, kLatchFunctionId, QUOR_RC_OK, 10, 3, 1, &where, 8, 0);
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

[[gnu::cold, gnu::noinline]] int waitForLatch(pthread_mutex_t *mutex) {
    for (unsigned tries = 0; tries < 200; ++tries) {
        spinPause();
        const int err = pthread_mutex_trylock(mutex);
        if (err != EBUSY) return err;
    }
    return pthread_mutex_lock(mutex);
}

extern "C" __attribute__((hot)) uint32_t hostLatchAcquire(void *latch, int *recoveredDeadHolder) {
    if (latch == nullptr) [[unlikely]]
        return QUOR_RC_NULL_PARAMETER;
    pthread_mutex_t *mutex = mutexIn(latch);
    int err = pthread_mutex_trylock(mutex);
    if (err == EBUSY) [[unlikely]]
        err = waitForLatch(mutex);
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

extern "C" __attribute__((hot)) uint32_t hostLatchClearAndRelease(void *latch, void *markSlot) {
    const uint32_t cleared = hostAtomicStore(markSlot, 0);
    const uint32_t released = hostLatchRelease(latch);
    return cleared != 0 ? cleared : released;
}
