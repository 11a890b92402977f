// Clock, tracing, diagnostic log, error texts, function names and consistency
// reports of the host services.
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "quor/host.h"

// ---- clock ----

namespace {
std::atomic<uint64_t (*)()> clockSource{nullptr};

uint64_t realClock() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}
}  // namespace

extern "C" uint32_t hostTimeGetUTC(HostUtcTime *time) {
    if (time == nullptr) return QUOR_RC_NULL_PARAMETER;
    auto source = clockSource.load(std::memory_order_acquire);
    uint64_t ms = source != nullptr ? source() : realClock();
    std::memset(time, 0, sizeof *time);
    time->milliseconds = ms;
    time->legacyMilliseconds = static_cast<uint16_t>(ms);
    return QUOR_RC_OK;
}

extern "C" void hostTimeSetSource(uint64_t (*source)(void)) {
    clockSource.store(source, std::memory_order_release);
}

// ---- tracing and log ----

HostTraceControlBlock *hostTraceControlBlock = nullptr;

namespace {
HostTraceHooks traceHooks{};  // all null: records dropped
}  // namespace

extern "C" void hostSetTraceHooks(const HostTraceHooks *hooks) {
    traceHooks = hooks != nullptr ? *hooks : HostTraceHooks{};
}

extern "C" uint64_t hostThreadId(void) { return static_cast<uint64_t>(pthread_self()); }

extern "C" void hostTraceEntry(uint64_t thread, uint32_t functionId, uint32_t, uint32_t) {
    if (traceHooks.entry != nullptr) traceHooks.entry(thread, functionId);
}

extern "C" void hostTraceExit(uint64_t thread, uint32_t functionId, const uint64_t *rc, uint32_t) {
    if (traceHooks.exit != nullptr) traceHooks.exit(thread, functionId, rc != nullptr ? *rc : 0);
}

extern "C" void hostTraceErrorVar(uint64_t thread, uint32_t functionId, uint32_t probe, uint32_t, uint32_t,
                                  uint32_t, uint32_t, uint32_t size, const void *address) {
    if (traceHooks.errorVar != nullptr) traceHooks.errorVar(thread, functionId, probe, size, address);
}

extern "C" void hostLog(uint32_t, uint32_t functionId, uint32_t code, uint32_t probe, uint32_t, uint32_t,
                        const void *value, uint32_t valueSize, uint32_t) {
    if (traceHooks.log != nullptr) traceHooks.log(functionId, code, probe, value, valueSize);
}

// ---- error texts ----

namespace {
struct CodeName {
    uint32_t value;
    const char *name;
};
constexpr CodeName kCodes[] = {
#define QUOR_RC(name, value) {value, #name},
#define QUOR_RC_ALIAS(name, value)
#include "frame/return_codes.def"
#undef QUOR_RC
#undef QUOR_RC_ALIAS
};
}  // namespace

extern "C" uint32_t hostErrorGetDescription(uint32_t code, char *buffer, uint64_t bufferSize) {
    if (buffer == nullptr || bufferSize == 0) return QUOR_RC_NULL_PARAMETER;
    const char *name = nullptr;
    for (const CodeName &entry : kCodes) {
        if (entry.value == code) name = entry.name;
    }
    if (name == nullptr) {
        std::snprintf(buffer, bufferSize, "0x%08x: unknown return code", code);
        return QUOR_RC_OK;
    }
    // The text is the name read as words: QUOR_RC_POOL_IN_USE -> "pool in use".
    char words[128];
    size_t n = 0;
    for (const char *p = name + std::strlen("QUOR_RC_"); *p != '\0' && n + 1 < sizeof words; ++p) {
        words[n++] = *p == '_' ? ' ' : static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    }
    words[n] = '\0';
    std::snprintf(buffer, bufferSize, "0x%08x %s: %s", code, name, words);
    return QUOR_RC_OK;
}

// ---- function names ----

namespace {
struct FunctionName {
    uint32_t id;
    const char *name;
};
constexpr FunctionName kFunctions[] = {
#define QUOR_FN(name, number, implemented) {0x08220000u | (number), #name},
#include "frame/functions.def"
#undef QUOR_FN
};
}  // namespace

extern "C" const char *hostGetFunctionName(uint32_t functionId) {
    for (const FunctionName &entry : kFunctions) {
        if (entry.id == functionId) return entry.name;
    }
    return "unknown";
}

// ---- consistency reports ----

namespace {
std::atomic<void (*)(const char *, const char *, uint32_t)> assertHook{nullptr};
std::atomic<bool> assertAborts{false};
}  // namespace

extern "C" void hostSetAssertHook(void (*hook)(const char *, const char *, uint32_t)) {
    assertHook.store(hook);
}

extern "C" void hostSetAssertAbort(int abortOnFailure) { assertAborts.store(abortOnFailure != 0); }

extern "C" void hostAssertFailed(const char *message, const char *file, uint32_t line) {
    if (auto hook = assertHook.load(); hook != nullptr) {
        hook(message != nullptr ? message : "", file != nullptr ? file : "", line);
    } else {
        std::fprintf(stderr, "quor: check failed: %s (%s:%u)\n", message != nullptr ? message : "",
                     file != nullptr ? file : "?", line);
    }
    if (assertAborts.load()) std::abort();
}
