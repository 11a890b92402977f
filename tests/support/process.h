// Child processes for multi-process tests.
#pragma once

#include <sys/types.h>

#include <functional>

namespace quor::test {

// Forks; the child runs `body` and exits with its result (0..255) without
// running the parent's atexit handlers or test framework.
pid_t spawn(const std::function<int()> &body);
// Waits for the child and returns its exit status, or -signal if it was killed.
int waitChild(pid_t child);
// waitChild for at most `seconds`: a child still running then is killed and
// kChildHung returned, so a hang fails the test instead of stalling the suite.
constexpr int kChildHung = -2000;
int waitChildFor(pid_t child, int seconds);

// A few bytes of anonymous shared memory that parent and children see alike.
void *sharedScratch(size_t bytes);

}  // namespace quor::test
