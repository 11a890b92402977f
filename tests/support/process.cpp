#include "support/process.h"

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

void *sharedScratch(size_t bytes) {
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) std::abort();
    return p;
}

}  // namespace quor::test
