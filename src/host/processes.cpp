// Processes by id and start time (field 22 of /proc/<pid>/stat, in clock ticks
// since boot): an id the system hands out again names a different process.
#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "quor/host.h"

namespace {

// The start time of a process, or 0 when it does not exist or is a zombie.
uint64_t startTimeOf(pid_t pid) {
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE *file = std::fopen(path, "re");
    if (file == nullptr) return 0;
    char line[1024];
    const size_t n = std::fread(line, 1, sizeof line - 1, file);
    std::fclose(file);
    line[n] = '\0';
    // The command name may hold spaces and parentheses: fields start after the last ')'.
    const char *at = std::strrchr(line, ')');
    if (at == nullptr) return 0;
    at += 1;
    char state = 0;
    uint64_t start = 0;
    int field = 2;
    for (const char *p = at; *p != '\0' && field < 22;) {
        while (*p == ' ') ++p;
        ++field;
        if (field == 3) state = *p;
        if (field == 22) start = std::strtoull(p, nullptr, 10);
        while (*p != ' ' && *p != '\0') ++p;
    }
    return state == 'Z' || state == 'X' ? 0 : start;
}

// The calling process as last looked up; a forked child finds another pid here
// and looks itself up anew. Readers may race with a writer: both write the same
// values for the same pid.
std::atomic<uint32_t> selfPid{0};
std::atomic<uint64_t> selfStart{0};

}  // namespace

extern "C" void hostProcessSelf(uint32_t *pid, uint64_t *startTime) {
    const auto now = static_cast<uint32_t>(getpid());
    if (selfPid.load(std::memory_order_acquire) != now) {
        selfStart.store(startTimeOf(static_cast<pid_t>(now)), std::memory_order_relaxed);
        selfPid.store(now, std::memory_order_release);
    }
    if (pid != nullptr) *pid = now;
    if (startTime != nullptr) *startTime = selfStart.load(std::memory_order_relaxed);
}

extern "C" int hostProcessIdInUse(uint32_t pid) {
    if (pid == 0 || pid > static_cast<uint32_t>(INT32_MAX)) return 0;
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH ? 1 : 0;
}

extern "C" int hostProcessAlive(uint32_t pid, uint64_t startTime) {
    if (pid == 0 || pid > static_cast<uint32_t>(INT32_MAX)) return 0;
    // A process that is gone needs no look at /proc.
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return 0;
    return startTimeOf(static_cast<pid_t>(pid)) == startTime ? 1 : 0;
}
