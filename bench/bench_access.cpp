// Node critical sections against the locks they are built on.
//
// In one run, on memory shared the same way (an anonymous shared mapping):
//   - a bare robust process-shared pthread mutex, lock + unlock;
//   - Boost.Interprocess interprocess_mutex, lock + unlock;
//   - the two atomics a write section adds (swap + increment);
//   - a node's read section and write section under concurrency model 1,
//     enter + exit;
// each alone and with two processes contending for the same lock. The ratios
// printed at the end are what to compare: absolute times on a shared machine
// move from run to run.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <boost/interprocess/sync/interprocess_mutex.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <string>

#include "quor/host.h"
#include "quor/quor.h"
#include "time_reporter.h"
#include "two_processes.h"

namespace {

volatile uint32_t sink;  // results go here so the optimiser keeps every call

void *sharedBytes(size_t bytes) {
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) std::abort();
    return p;
}

struct Shared {
    pthread_mutex_t robust;
    alignas(64) boost::interprocess::interprocess_mutex boostMutex;
    alignas(64) int32_t atomics[64];
    alignas(64) std::atomic<int> ready;
    int turn;  // whose go it is; changed only under the lock being measured
    alignas(64) SNodeCB_t node;
};

Shared *shared() {
    static Shared *s = [] {
        auto *p = static_cast<Shared *>(sharedBytes(sizeof(Shared)));
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        pthread_mutex_init(&p->robust, &attr);
        pthread_mutexattr_destroy(&attr);
        new (&p->boostMutex) boost::interprocess::interprocess_mutex();
        p->node.concurrencyModel = QUOR_CONCURRENCY_MODEL_LATCHED;
        p->node.NodeCondition = QUOR_NODE_ACTIVE;
        if (quorInitializeLatches(&p->node, &p->node.nodeLatch, QUOR_EYECATCHER) != QUOR_RC_OK ||
            quorInitializeLatches(&p->node, &p->node.spareLatch, QUOR_EYECATCHER) != QUOR_RC_OK) {
            std::abort();
        }
        return p;
    }();
    return s;
}

// ---- one round of each contender ----
void robustRound(Shared *s) {
    sink = static_cast<uint32_t>(pthread_mutex_lock(&s->robust));
    sink = static_cast<uint32_t>(pthread_mutex_unlock(&s->robust));
}
void hostLatchRound(Shared *s) {
    sink = hostLatchGet(s->node.spareLatch.accessLatch);
    sink = hostLatchRelease(s->node.spareLatch.accessLatch);
}
void boostRound(Shared *s) {
    s->boostMutex.lock();
    s->boostMutex.unlock();
}
void atomicsRound(Shared *s) {
    int32_t old = 0;
    sink = hostAtomicSwap(&s->atomics[0], 1, &old);
    sink = hostAtomicIncrement(&s->atomics[32], &old);
}
void readRound(Shared *s) {
    sink = quorEnterCriticalSectionBeforeRead(&s->node, &s->node.nodeLatch);
    sink = quorExitCriticalSectionAfterRead(&s->node, &s->node.nodeLatch);
}
void writeRound(Shared *s) {
    sink = quorEnterCriticalSectionBeforeWrite(&s->node, &s->node.nodeLatch);
    sink = quorExitCriticalSectionAfterWrite(&s->node, &s->node.nodeLatch);
}

template <void (*Round)(Shared *)>
void Uncontended(benchmark::State &state) {
    Shared *s = shared();
    for (auto _ : state) Round(s);
    state.SetItemsProcessed(state.iterations());
}

// Two processes pass the lock back and forth: each takes it until it finds its
// own turn, then hands the turn over, `rounds` times. Every counted acquisition
// is thus a handoff between processes; the time runs from the common start until
// both are done.
template <void (*Round)(Shared *)>
void handOff(Shared *s, int me, int64_t rounds) {
    for (int64_t done = 0; done < rounds;) {
        Round(s);  // an empty section: the pure cost of taking and leaving the lock
        // The turn itself moves under the lock, with the same pair of calls
        // around it as the round above.
        bool mine = false;
        if constexpr (Round == robustRound) pthread_mutex_lock(&s->robust);
        if constexpr (Round == boostRound) s->boostMutex.lock();
        if constexpr (Round == readRound || Round == writeRound) {
            sink = Round == readRound ? quorEnterCriticalSectionBeforeRead(&s->node, &s->node.nodeLatch)
                                      : quorEnterCriticalSectionBeforeWrite(&s->node, &s->node.nodeLatch);
        }
        if (s->turn == me) {
            s->turn = 1 - me;
            mine = true;
        }
        if constexpr (Round == robustRound) pthread_mutex_unlock(&s->robust);
        if constexpr (Round == boostRound) s->boostMutex.unlock();
        if constexpr (Round == readRound || Round == writeRound) {
            sink = Round == readRound ? quorExitCriticalSectionAfterRead(&s->node, &s->node.nodeLatch)
                                      : quorExitCriticalSectionAfterWrite(&s->node, &s->node.nodeLatch);
        }
        done += mine ? 1 : 0;
    }
}

template <void (*Round)(Shared *)>
void TwoProcesses(benchmark::State &state) {
    Shared *s = shared();
    const int64_t rounds = state.range(0);
    for (auto _ : state) {
        s->turn = 0;
        state.SetIterationTime(runTwoProcesses(&s->ready, [&](int me) { handOff<Round>(s, me, rounds); }));
    }
    state.SetItemsProcessed(state.iterations() * 2 * rounds);
}

BENCHMARK(Uncontended<robustRound>)->Name("uncontended/robust_mutex");
BENCHMARK(Uncontended<hostLatchRound>)->Name("uncontended/host_latch");
BENCHMARK(Uncontended<boostRound>)->Name("uncontended/boost_interprocess_mutex");
BENCHMARK(Uncontended<atomicsRound>)->Name("uncontended/two_atomics");
BENCHMARK(Uncontended<readRound>)->Name("uncontended/read_section");
BENCHMARK(Uncontended<writeRound>)->Name("uncontended/write_section");
constexpr int64_t kRounds = 50000;
BENCHMARK(TwoProcesses<robustRound>)
    ->Name("two_processes/robust_mutex")
    ->Arg(kRounds)
    ->UseManualTime()
    ->Iterations(5);
BENCHMARK(TwoProcesses<boostRound>)
    ->Name("two_processes/boost_interprocess_mutex")
    ->Arg(kRounds)
    ->UseManualTime()
    ->Iterations(5);
BENCHMARK(TwoProcesses<readRound>)
    ->Name("two_processes/read_section")
    ->Arg(kRounds)
    ->UseManualTime()
    ->Iterations(5);
BENCHMARK(TwoProcesses<writeRound>)
    ->Name("two_processes/write_section")
    ->Arg(kRounds)
    ->UseManualTime()
    ->Iterations(5);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    TimeReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto &t = reporter.times;
    auto have = [&](const char *name) { return t.count(name) != 0; };
    std::printf("\nratios (same run):\n");
    if (have("uncontended/robust_mutex") && have("uncontended/read_section")) {
        double mutex = t["uncontended/robust_mutex"];
        std::printf("  read section / robust mutex                  %.3f (target <= 1.30)\n",
                    t["uncontended/read_section"] / mutex);
        if (have("uncontended/host_latch"))
            std::printf("  read section / host latch                    %.3f (the section's own share)\n",
                        t["uncontended/read_section"] / t["uncontended/host_latch"]);
        if (have("uncontended/write_section") && have("uncontended/two_atomics")) {
            double budget = 1.1 * mutex + t["uncontended/two_atomics"];
            std::printf("  write section / (1.1 x mutex + two atomics)  %.3f (target <= 1.00)\n",
                        t["uncontended/write_section"] / budget);
        }
        if (have("uncontended/host_latch"))
            std::printf("  host latch / robust mutex                    %.3f (the host layer's share)\n",
                        t["uncontended/host_latch"] / mutex);
        if (have("uncontended/boost_interprocess_mutex"))
            std::printf("  boost interprocess mutex / robust mutex      %.3f\n",
                        t["uncontended/boost_interprocess_mutex"] / mutex);
    }
    if (have("two_processes/robust_mutex")) {
        double mutexRate = 1 / t["two_processes/robust_mutex"];
        for (const char *name : {"two_processes/read_section", "two_processes/write_section",
                                 "two_processes/boost_interprocess_mutex"}) {
            if (have(name))
                std::printf(
                    "  %-40s handoffs/s vs robust mutex %.3f%s\n", name, (1 / t[name]) / mutexRate,
                    std::string(name).find("section") != std::string::npos ? " (target >= 0.80)" : "");
        }
    }
    benchmark::Shutdown();
    return 0;
}
