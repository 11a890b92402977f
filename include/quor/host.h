// host.h - the host services that Quor runs on.
//
// Quor does no operating-system work of its own: latches, spin locks, atomic
// counters, private memory, shared-memory segments, the clock, the diagnostic log,
// tracing, error texts and function names all come through this interface. The
// implementation shipped with Quor (libquorhost) is written over POSIX; a host
// product may replace it with its own as long as every contract below holds.
//
// Unless said otherwise a function returns 0 on success and a QUOR_RC_* code on
// failure. Every function may be called from any thread.
#ifndef QUOR_HOST_H
#define QUOR_HOST_H

#include <quor/quor.h>

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// ---- Latches ------------------------------------------------------------------
// A latch is a run of reserved bytes inside a shared record (at least
// HOST_LATCH_BYTES, any alignment). It works across processes; a latch whose
// holder died is recovered by the next taker, reported through hostLog, and
// handed over, so a crashed process never blocks the others.
#define HOST_LATCH_BYTES 64u

// Prepares the latch bytes. `count` must be 1. Requires: nobody uses the latch.
uint32_t hostLatchInit(void *latch, uint32_t count);
// Blocks until the caller holds the latch. Not re-entrant.
uint32_t hostLatchGet(void *latch);
// Releases a latch the calling thread holds.
uint32_t hostLatchRelease(void *latch);
// Both fail with QUOR_RC_LATCH_FAILED (QUOR_RC_NULL_PARAMETER for a null latch):
// node sections hand that code on as it is.
// Non-zero when the calling thread's latest hostLatchGet took the latch over from
// a holder that had died: whatever the latch guards may be half written. Reset by
// every hostLatchGet of the thread.
int hostLatchRecoveredDeadHolder(void);
// hostLatchGet that hands the dead-holder signal to the caller instead: 1 or 0 in
// *recoveredDeadHolder (nothing written when it is null), and the thread's
// record read by hostLatchRecoveredDeadHolder left as it was. Same codes.
uint32_t hostLatchAcquire(void *latch, int *recoveredDeadHolder);

// ---- Processes ----------------------------------------------------------------
// A process is named by its id and its start time (clock ticks since boot), so
// that an id the system hands out again is not taken for a process that died.
// The library records the holders of a segment's connections under these names
// inside the segment and takes back the connections of processes that are gone.

// The calling process's id and start time (looked up again after a fork).
void hostProcessSelf(uint32_t *pid, uint64_t *startTime);
// Non-zero while the process named (pid, startTime) runs; 0 once it has ended
// (a zombie has ended) or when pid is 0.
int hostProcessAlive(uint32_t pid, uint64_t startTime);
// Non-zero while some process (a zombie included) has the id pid, for records
// that keep no start time: an id handed out again reads as alive, so a caller
// may wait longer than it had to, never act on a live process as a dead one.
int hostProcessIdInUse(uint32_t pid);

// ---- One-byte spin locks (private to one process) ----------------------------
// Tries to take the lock; returns non-zero when it was already held.
uint32_t hostSpinLockExchange(uint8_t *lock);
// Returns once the caller holds the lock (spins briefly, then yields).
void hostSpinLockWaitConflict(uint8_t *lock);
void hostSpinLockRelease(uint8_t *lock);

// ---- AtomicSigned32 -----------------------------------------------------------
// A 32-bit signed counter at the start of a 128-byte slot in shared memory,
// 4-byte aligned, lock-free. `old` receives the value before the operation.
#define HOST_ATOMIC_SLOT_BYTES 128u
uint32_t hostAtomicInit(void *slot, int32_t value, uint32_t count);
uint32_t hostAtomicIncrement(void *slot, int32_t *old);
uint32_t hostAtomicAdd(void *slot, int32_t delta, int32_t *old);
uint32_t hostAtomicSwap(void *slot, int32_t value, int32_t *old);
// Stores `value` (no old value is handed back).
uint32_t hostAtomicStore(void *slot, int32_t value);
// A latch holder's mark and count in one call: stores `mark` in markSlot, then
// adds 1 to countSlot. Requires: both slots are changed only by the holder of
// one latch, which the caller holds (two callers at once could lose a count);
// readers outside the latch see each word old or new, never torn. Fails with
// QUOR_RC_ATOMIC_FAILED, nothing written, when either slot is bad.
uint32_t hostAtomicMarkAndCount(void *markSlot, int32_t mark, void *countSlot);
// A writer's entry and exit in one call each, for the latch that guards the two
// slots. hostLatchAcquireAndMark: hostLatchAcquire (no dead-holder signal; its
// code on failure), then hostAtomicMarkAndCount; when the mark fails the latch
// is given back and the result is QUOR_RC_ATOMIC_FAILED, or QUOR_RC_LATCH_FAILED
// when that release fails too. hostLatchClearAndRelease: stores 0 in markSlot,
// then releases the latch whatever the store gave; the store's failure
// (QUOR_RC_ATOMIC_FAILED) wins over the release's.
uint32_t hostLatchAcquireAndMark(void *latch, void *markSlot, int32_t mark, void *countSlot);
uint32_t hostLatchClearAndRelease(void *latch, void *markSlot);
// hostLatchAcquireAndMark that also hands back, in *previousMark, the value the
// mark slot held when the latch was taken (before the new mark): a mark still
// set then was left by a writer that died inside its section. Same codes;
// *previousMark is written only on success.
uint32_t hostLatchAcquireAndRemark(void *latch, void *markSlot, int32_t mark, void *countSlot,
                                   int32_t *previousMark);

// ---- Private memory -----------------------------------------------------------
// Allocates `size` zeroed bytes (`flags` 0, `count` 1) and stores the block in
// *ptr. `sourceFile` names the caller's unit ("quori", "quor", "quorshm",
// "quorll"), `line` the calling line; live blocks are counted per source file.
uint32_t hostMemAlloc(void **ptr, uint32_t flags, uint64_t size, uint32_t count,
                      const char *sourceFile, uint32_t line);
// Releases the block whose address is in *ptr and clears *ptr.
uint32_t hostMemFree(void **ptr, uint32_t flags, uint32_t count, const char *sourceFile,
                     uint32_t line);

// Fault injection for tests: fail the allocation `n` calls from now (1 = the next
// one); with `persistent` non-zero every allocation from then on fails. n = 0
// turns injection off.
void hostMemFailAfter(uint64_t n, int persistent);
// Live blocks allocated with `sourceFile` (null: all files).
uint64_t hostMemLiveBlocks(const char *sourceFile);

// ---- Clock ----------------------------------------------------------------------
// UTC time record. The library reads `milliseconds`, a 64-bit count that never
// wraps in practice; `legacyMilliseconds` keeps the old 16-bit field at byte 8.
typedef struct HostUtcTime {
    uint64_t milliseconds;
    uint16_t legacyMilliseconds;
    uint8_t reserved[6];
} HostUtcTime;
uint32_t hostTimeGetUTC(HostUtcTime *time);
// Tests may replace the clock: `source` returns milliseconds (null restores the
// real clock).
void hostTimeSetSource(uint64_t (*source)(void));

// ---- Diagnostic log and tracing ------------------------------------------------
// Trace control block: tracing is on while hostTraceControlBlock is non-null and
// its enable word (offset 12) is non-zero.
typedef struct HostTraceControlBlock {
    uint32_t reserved[3];
    uint32_t enable;
} HostTraceControlBlock;
extern HostTraceControlBlock *hostTraceControlBlock;

uint64_t hostThreadId(void);
void hostTraceEntry(uint64_t thread, uint32_t functionId, uint32_t a, uint32_t b);
void hostTraceExit(uint64_t thread, uint32_t functionId, const uint64_t *rc, uint32_t a);
void hostTraceErrorVar(uint64_t thread, uint32_t functionId, uint32_t probe, uint32_t a,
                       uint32_t b, uint32_t count, uint32_t c, uint32_t size, const void *address);
void hostLog(uint32_t level, uint32_t functionId, uint32_t code, uint32_t probe, uint32_t a,
             uint32_t count, const void *value, uint32_t valueSize, uint32_t b);

// Where trace and log records go. Any hook may be null (that record is dropped).
// `value` points at the recorded bytes for the duration of the call only.
typedef struct HostTraceHooks {
    void (*entry)(uint64_t thread, uint32_t functionId);
    void (*exit)(uint64_t thread, uint32_t functionId, uint64_t rc);
    void (*errorVar)(uint64_t thread, uint32_t functionId, uint32_t probe, uint32_t size,
                     const void *value);
    void (*log)(uint32_t functionId, uint32_t code, uint32_t probe, const void *value,
                uint32_t size);
} HostTraceHooks;
// Installs hooks (copied); null restores the defaults (log records to standard
// error, trace records dropped).
void hostSetTraceHooks(const HostTraceHooks *hooks);

// ---- Texts and reports ------------------------------------------------------------
// Writes the text of a return code into buffer (always zero-terminated).
// Unknown codes get a text too. A null buffer or zero size gives
// QUOR_RC_NULL_PARAMETER.
uint32_t hostErrorGetDescription(uint32_t code, char *buffer, uint64_t bufferSize);
// The name of an operation from its function identifier, or "unknown".
const char *hostGetFunctionName(uint32_t functionId);

// Reports a failed consistency check. Returns to the caller unless the host was
// told to abort; a hook set by hostSetAssertHook receives the report instead of
// standard error.
void hostAssertFailed(const char *message, const char *file, uint32_t line);
void hostSetAssertHook(void (*hook)(const char *message, const char *file, uint32_t line));
void hostSetAssertAbort(int abortOnFailure);

#ifdef __cplusplus
}  // extern "C"

// ---- Shared-memory segments -------------------------------------------------------
// Creation parameters of a segment.
struct IpcMemoryCreateParam {
    uint32_t version;  // 1
    IpcResId resId;
    uint64_t size;
    void *address;  // preferred mapping address, a hint only
    uint64_t flags;  // IPC_* bits below; 0 means IPC_DEFAULT_FLAGS
};

// Creation flags. The default (51) creates exclusively with owner-only access.
enum : uint64_t {
    IPC_CREATE = 0x01,
    IPC_EXCLUSIVE = 0x02,
    IPC_OWNER_READ_WRITE = 0x10,
    IPC_KEEP = 0x20,         // the segment outlives its creator's mapping
    IPC_GROUP_READ_WRITE = 0x40,
    IPC_OTHERS_READ_WRITE = 0x80,
    IPC_DEFAULT_FLAGS = 51,
};

// One POSIX shared-memory segment as mapped by this process. Not thread-safe: one
// object per mapping, used by one thread at a time.
class IpcMemory {
public:
    IpcMemory() = default;
    ~IpcMemory();  // unmaps, never unlinks
    IpcMemory(const IpcMemory &) = delete;
    IpcMemory &operator=(const IpcMemory &) = delete;

    // Creates and maps a new segment. Returns QUOR_RC_HOST_SEGMENT_EXISTS when the
    // name is taken and IPC_EXCLUSIVE is set.
    uint32_t create(const IpcMemoryCreateParam &param);
    // Maps an existing segment, refusing one owned by another user or open wider
    // than resId.accessFlags allow.
    uint32_t attach(const IpcResId &resId, void *address);
    uint32_t getAddress(void **address) const;
    bool isAttached() const { return base_ != nullptr; }
    uint64_t size() const { return size_; }
    // Unmaps the segment; the segment itself stays.
    uint32_t detach();
    // Unmaps and removes the segment.
    uint32_t destroy();

    // Checks a segment name: 1..200 characters of [A-Za-z0-9._-], zero-terminated
    // within the identifier.
    static bool validName(const IpcResId &resId);

private:
    void *base_ = nullptr;
    uint64_t size_ = 0;
    char path_[208] = {};
};
#endif

#endif  // QUOR_HOST_H
