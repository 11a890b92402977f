// Two processes released together on the same shared memory.
#pragma once

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>

// Forks; the child runs side(1) and the caller side(0), both starting once both
// are ready (`ready` lies in memory both share). Returns the seconds from the
// common start until both sides are done.
template <class Side>
double runTwoProcesses(std::atomic<int> *ready, Side side) {
    ready->store(0);
    pid_t child = fork();
    if (child == 0) {
        ready->fetch_add(1);
        while (ready->load() < 2) {
        }
        side(1);
        _exit(0);
    }
    while (ready->load() < 1) {
    }
    auto start = std::chrono::steady_clock::now();
    ready->fetch_add(1);
    side(0);
    int status = 0;
    waitpid(child, &status, 0);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
