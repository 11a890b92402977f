// Tracing, diagnostic-log and closing-step idioms shared by every operation.
//
// Each exported operation runs its body inside `traced(Fn::name, ...)`: the entry
// record is written first, the exit record on every path, and failure points
// record themselves through the Trace they are handed. With tracing off each
// record costs one pointer test and one 32-bit test.
#pragma once

#include <cstdint>
#include <utility>

#include "frame/functions.h"
#include "quor/host.h"

namespace quor {

inline bool tracingOn() {
    const HostTraceControlBlock *block = hostTraceControlBlock;
    return __builtin_expect(block != nullptr, 0) && block->enable != 0;
}

// The record writers run only with tracing on: kept out of line and cold so that
// an operation's own path holds nothing of them but the two tests above (no
// frame slot for a widened code, no argument set-up).
[[gnu::cold, gnu::noinline]] inline void writeEntryRecord(uint32_t id) {
    hostTraceEntry(hostThreadId(), id, 0, 1000000);
}
[[gnu::cold, gnu::noinline]] inline void writeExitRecord(uint32_t id, uint32_t rc) {
    uint64_t wide = rc;
    hostTraceExit(hostThreadId(), id, &wide, 0);
}
// `value` holds the recorded variable: 4 bytes (a code) or 8 (an offending value).
[[gnu::cold, gnu::noinline]] inline void writeVarRecord(uint32_t id, uint32_t probe, uint64_t value,
                                                        uint32_t size) {
    if (size == sizeof(uint32_t)) {
        const uint32_t narrow = static_cast<uint32_t>(value);
        hostTraceErrorVar(hostThreadId(), id, probe, 4, 0, 1, 0, size, &narrow);
    } else {
        hostTraceErrorVar(hostThreadId(), id, probe, 4, 0, 1, 0, size, &value);
    }
}

class Trace {
public:
    explicit Trace(Fn fn) : id_(static_cast<uint32_t>(fn)) {
        if (tracingOn()) writeEntryRecord(id_);
    }
    Trace(const Trace &) = delete;
    Trace &operator=(const Trace &) = delete;

    uint32_t id() const { return id_; }

    // A failure point: records the code just set and returns it.
    uint32_t fail(uint32_t probe, uint32_t rc) const {
        if (tracingOn()) writeVarRecord(id_, probe, rc, sizeof rc);
        return rc;
    }
    // A failure point that records the offending 8-byte value (a null pointer, a
    // wrong key widened) instead of the code.
    uint32_t failWith(uint32_t probe, uint32_t rc, uint64_t offending) const {
        if (tracingOn()) writeVarRecord(id_, probe, offending, sizeof offending);
        return rc;
    }
    // A failed handle or pointer test of a storage operation: also written to the
    // diagnostic log, whether or not tracing is on.
    uint32_t failLogged(uint32_t probe, uint32_t rc, uint64_t offending) const {
        hostLog(0, id_, rc, probe, 3, 1, &offending, 8, 0);
        return failWith(probe, rc, offending);
    }
    uint32_t exit(uint32_t rc) const {
        if (tracingOn()) writeExitRecord(id_, rc);
        return rc;
    }

private:
    uint32_t id_;
};

// Runs `body(trace)` between the entry and exit records of operation `fn`.
template <class Body>
uint32_t traced(Fn fn, Body &&body) {
    Trace trace(fn);
    return trace.exit(std::forward<Body>(body)(trace));
}

// The code of an operation whose closing step ran after its main work: the main
// work's failure wins; otherwise the closing step's code stands.
constexpr uint32_t merged(uint32_t mainRc, uint32_t closeRc) { return mainRc != 0 ? mainRc : closeRc; }

// A closing step (leave a section, release a latch, free a block) bound at the
// point where what it closes was opened. close(rc) runs it once and returns the
// merged code; if a path never calls close, the destructor still runs the step so
// nothing stays held, but its code is lost: every path that returns a code should
// call close.
template <class Step>
class Closing {
public:
    explicit Closing(Step step) : step_(std::move(step)) {}
    Closing(const Closing &) = delete;
    Closing &operator=(const Closing &) = delete;
    ~Closing() {
        if (armed_) (void)step_();
    }
    uint32_t close(uint32_t rc) {
        if (!armed_) return rc;
        armed_ = false;
        return merged(rc, step_());
    }
    // For the path on which the opened thing is handed on instead of closed.
    void dismiss() { armed_ = false; }

private:
    Step step_;
    bool armed_ = true;
};

}  // namespace quor
