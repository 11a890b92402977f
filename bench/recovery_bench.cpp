// What a survivor pays when a latch holder died: the consistency walk of a heap
// of 10 000 chunks (7 500 allocated, 2 500 free), and the repair that relists
// them from the chunk area and the pads, next to the heap's own in-place rebuild
// of its node space (the nearest peer: it too reinserts every chunk). Prints the
// ratios at the end.
#include <benchmark/benchmark.h>
#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "quor/quor.h"
#include "shm/checker.h"
#include "shm/heap.h"
#include "shm/recovery.h"
#include "time_reporter.h"

namespace {

constexpr uint64_t kBytes = 16 << 20;
constexpr uint64_t kChunks = 10000;

// A pool heap in private memory with kChunks chunks, every fourth one free,
// and a pristine copy to restore before each timed step.
class Fixture {
public:
    Fixture() {
        memory_ = static_cast<unsigned char *>(
            mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        ShmDomainOptions_t options{};
        options.mode = QUOR_SHM_MODE_USER_MEMORY;
        ShmDomainHandle_t *domain = nullptr;
        ok_ = quorCreateShmDomain(nullptr, memory_, kBytes, &options, &domain) == QUOR_RC_OK;
        ShmPoolOptions_t poolOptions{};
        poolOptions.maxLevel = 14;
        ShmPoolHandle_t *pool = nullptr;
        ok_ = ok_ && _quorCreateShmPool(&pool, domain, 8 << 20, &poolOptions, 0, 1, "bench") == QUOR_RC_OK;
        at_ = ok_ ? pool->poolHeapOffset : 0;
        std::mt19937_64 random(11);
        std::vector<void *> live;
        for (uint64_t i = 0; ok_ && i < kChunks; ++i) {
            void *block = nullptr;
            ok_ = _quorAllocateShmBlock(&block, pool, 64 + random() % 512, 0, 0, 1, "bench") == QUOR_RC_OK;
            live.push_back(block);
        }
        for (uint64_t i = 0; ok_ && i < live.size(); i += 4)
            ok_ = _quorFreeShmBlock(&live[i], pool, 0, 1, "bench") == QUOR_RC_OK;
        pristine_.assign(memory_, memory_ + kBytes);
    }
    ~Fixture() { munmap(memory_, kBytes); }
    bool ok() const { return ok_; }
    unsigned char *memory() { return memory_; }
    uint64_t at() const { return at_; }

    void restore() { std::memcpy(memory_, pristine_.data(), kBytes); }
    // Restores the heap as a holder left it that died inside a return: the
    // allocated list no longer holds a chunk that no free list holds yet.
    void restoreBroken() {
        restore();
        quor::shm::HeapView h;
        h.open(memory_, 2, at_);
        uint64_t link = quor::shm::HeapView::allocLinks(h.allocNode(h.allocHead))[0];
        for (int i = 0; i < 100; ++i) link = quor::shm::HeapView::allocLinks(h.allocNode(link - 0x30))[0];
        uint64_t size = 0;
        quor::shm::deleteAllocChunk(h, h.allocNode(link - 0x30)->chunkOffset, quor::shm::kAnyUserOffset,
                                    &size);
    }

private:
    unsigned char *memory_ = nullptr;
    std::vector<unsigned char> pristine_;
    uint64_t at_ = 0;  // the pool heap
    bool ok_ = false;
};

Fixture &fixture() {
    static Fixture instance;
    return instance;
}

void walk(benchmark::State &state) {
    Fixture &f = fixture();
    f.restore();
    for (auto _ : state) {
        if (quor::shm::checkHeap(f.memory(), 2, f.at()) != QUOR_RC_OK) state.SkipWithError("walk");
    }
}

void repair(benchmark::State &state) {
    Fixture &f = fixture();
    for (auto _ : state) {
        state.PauseTiming();
        f.restoreBroken();
        state.ResumeTiming();
        if (quor::shm::repairHeap(f.memory(), 2, f.at(), nullptr) != QUOR_RC_OK)
            state.SkipWithError("repair");
    }
    if (quor::shm::checkHeap(f.memory(), 2, f.at()) != QUOR_RC_OK) state.SkipWithError("repaired heap");
}

// What the survivor runs in all: the walk that finds the damage, the repair and
// the walk that confirms it.
void recovery(benchmark::State &state) {
    Fixture &f = fixture();
    for (auto _ : state) {
        state.PauseTiming();
        f.restoreBroken();
        state.ResumeTiming();
        quor::shm::RepairReport report;
        bool repaired = false;
        if (quor::shm::validateOrRepair(f.memory(), 2, f.at(), &report, &repaired) != QUOR_RC_OK || !repaired)
            state.SkipWithError("recovery");
    }
}

void rebuild(benchmark::State &state) {
    Fixture &f = fixture();
    for (auto _ : state) {
        state.PauseTiming();
        f.restore();
        quor::shm::HeapView h;
        h.open(f.memory(), 2, f.at());
        state.ResumeTiming();
        if (quor::shm::rebuildInPlace(h, 0) != QUOR_RC_OK) state.SkipWithError("rebuild");
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (!fixture().ok()) {
        std::fprintf(stderr, "heap of %llu chunks not built\n", static_cast<unsigned long long>(kChunks));
        return 1;
    }
    benchmark::RegisterBenchmark("walk/10000", walk)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("repair/10000", repair)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("recovery/10000", recovery)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("rebuild_in_place/10000", rebuild)->Unit(benchmark::kMicrosecond);
    benchmark::Initialize(&argc, argv);
    TimeReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double peer = reporter.times["rebuild_in_place/10000"];
    std::printf("\nheap of 10000 chunks, against the in-place rebuild (%.1f us):\n", peer);
    for (const char *name : {"walk/10000", "repair/10000", "recovery/10000"}) {
        std::printf("  %-16s %9.1f us  ratio %.2f\n", name, reporter.times[name],
                    peer > 0 ? reporter.times[name] / peer : 0.0);
    }
    benchmark::Shutdown();
    return 0;
}
