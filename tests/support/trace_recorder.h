// Records what the library writes to the host's trace and log hooks.
#pragma once

#include <cstdint>
#include <vector>

#include "quor/host.h"

namespace quor::test {

struct TraceRecord {
    enum Kind { Entry, Exit, ErrorVar, Log } kind;
    uint32_t functionId;
    uint32_t probe;  // error variables and log records
    uint64_t value;  // exit: the code; error variable and log: the recorded value
    uint32_t size;   // error variable and log: bytes recorded
    uint32_t code;   // log: the failure's code
};

// Installs recording hooks and a trace control block for its lifetime. Tracing is
// on while `enabled` is true; the log is recorded either way.
class TraceRecorder {
public:
    TraceRecorder();
    ~TraceRecorder();
    void enable(bool on) { control_.enable = on ? 1u : 0u; }
    void removeControlBlock() { hostTraceControlBlock = nullptr; }
    const std::vector<TraceRecord> &records() const;
    void clear();

private:
    HostTraceControlBlock control_{};
};

// Calls `onExit` for every exit record while it lives, with tracing on: a test
// makes something happen at the moment an operation, or a step it includes,
// returns.
class ExitHook {
public:
    explicit ExitHook(void (*onExit)(uint64_t thread, uint32_t functionId, uint64_t rc));
    ~ExitHook();
    ExitHook(const ExitHook &) = delete;
    ExitHook &operator=(const ExitHook &) = delete;

private:
    HostTraceControlBlock control_{};
};

}  // namespace quor::test
