#include "support/trace_recorder.h"

#include <cstring>

namespace quor::test {
namespace {

std::vector<TraceRecord> recorded;

uint64_t widen(const void *value, uint32_t size) {
    uint64_t wide = 0;
    if (value != nullptr && size <= sizeof wide) std::memcpy(&wide, value, size);
    return wide;
}

const HostTraceHooks kHooks = {
    [](uint64_t, uint32_t fn) { recorded.push_back({TraceRecord::Entry, fn, 0, 0, 0, 0}); },
    [](uint64_t, uint32_t fn, uint64_t rc) { recorded.push_back({TraceRecord::Exit, fn, 0, rc, 0, 0}); },
    [](uint64_t, uint32_t fn, uint32_t probe, uint32_t size, const void *value) {
        recorded.push_back({TraceRecord::ErrorVar, fn, probe, widen(value, size), size, 0});
    },
    [](uint32_t fn, uint32_t code, uint32_t probe, const void *value, uint32_t size) {
        recorded.push_back({TraceRecord::Log, fn, probe, widen(value, size), size, code});
    },
};

}  // namespace

TraceRecorder::TraceRecorder() {
    recorded.clear();
    control_.enable = 1;
    hostTraceControlBlock = &control_;
    hostSetTraceHooks(&kHooks);
}

TraceRecorder::~TraceRecorder() {
    hostTraceControlBlock = nullptr;
    hostSetTraceHooks(nullptr);
    recorded.clear();
}

const std::vector<TraceRecord> &TraceRecorder::records() const { return recorded; }
void TraceRecorder::clear() { recorded.clear(); }

ExitHook::ExitHook(void (*onExit)(uint64_t, uint32_t, uint64_t)) {
    const HostTraceHooks hooks{nullptr, onExit, nullptr, nullptr};
    control_.enable = 1;
    hostTraceControlBlock = &control_;
    hostSetTraceHooks(&hooks);
}

ExitHook::~ExitHook() {
    hostTraceControlBlock = nullptr;
    hostSetTraceHooks(nullptr);
}

}  // namespace quor::test
