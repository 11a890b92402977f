#include "support/process.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace quor::test {

pid_t spawn(const std::function<int()> &body) {
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) _exit(body() & 0xff);
    return child;
}

int waitChild(pid_t child) {
    int status = 0;
    if (waitpid(child, &status, 0) != child) return -1000;
    if (WIFSIGNALED(status)) return -WTERMSIG(status);
    return WEXITSTATUS(status);
}

int waitChildFor(pid_t child, int seconds) {
    for (int waited = 0; waited < seconds * 100; ++waited) {
        int status = 0;
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
        if (done != 0) return -1000;
        usleep(10000);
    }
    kill(child, SIGKILL);
    waitChild(child);
    return kChildHung;
}

void *sharedScratch(size_t bytes) {
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) std::abort();
    return p;
}

}  // namespace quor::test
