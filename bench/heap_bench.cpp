// One chunk return plus one allocation at steady state, with a random victim among
// many live chunks: the storage heap next to Boost.Interprocess's
// managed_shared_memory (its default best-fit allocator) on the same sizes and
// the same victim sequence. Prints each pair's time ratio at the end.
#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <unistd.h>

#include <boost/interprocess/managed_shared_memory.hpp>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "quor/quor.h"
#include "time_reporter.h"

namespace {

namespace bip = boost::interprocess;

struct Load {
    uint64_t minSize, maxSize, live;
};

// Sizes and victims drawn once per load so both sides see the same sequence.
struct Draws {
    std::vector<uint64_t> sizes, victims;
    explicit Draws(const Load &load) {
        std::mt19937_64 random(7);
        sizes.resize(1 << 16);
        victims.resize(1 << 16);
        for (auto &s : sizes) s = load.minSize + random() % (load.maxSize - load.minSize + 1);
        for (auto &v : victims) v = random() % load.live;
    }
};

uint64_t regionBytes(const Load &load) {
    return load.live * (load.maxSize + load.minSize) / 2 * 3 / 2 + (64 << 20);
}

volatile uint64_t sink;

void quorHeap(benchmark::State &state, Load load) {
    const uint64_t bytes = regionBytes(load);
    void *memory =
        mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ShmDomainOptions_t options{};
    options.mode = QUOR_SHM_MODE_USER_MEMORY;
    // Levels for this many chunks: the domain default of 7 suits a domain that
    // holds a few pools, not a hundred thousand chunks.
    options.maxLevel = 20;
    ShmDomainHandle_t *domain = nullptr;
    if (quorCreateShmDomain(nullptr, memory, bytes, &options, &domain) != QUOR_RC_OK) {
        state.SkipWithError("domain");
        return;
    }
    struct Live {
        uint64_t chunk, user;
    };
    std::vector<Live> live(load.live);
    const Draws draws(load);
    auto allocate = [&](uint64_t size, Live &out) {
        uint64_t carve = size;
        return quorGetMemChunkFromShmHeap(memory, 1, 0, size, 0, 0, &carve, &out.chunk, &out.user, 0, 1,
                                          "bench");
    };
    for (uint64_t i = 0; i < load.live; ++i) {
        if (allocate(draws.sizes[i & 0xffff], live[i]) != QUOR_RC_OK) {
            state.SkipWithError("fill");
            return;
        }
    }
    uint64_t step = 0;
    for (auto _ : state) {
        Live &victim = live[draws.victims[step & 0xffff]];
        uint32_t rc = quorReturnMemChunkToShmHeap(memory, 1, 0, victim.chunk, victim.user, 0, 0, 1, "bench");
        rc |= allocate(draws.sizes[step & 0xffff], victim);
        sink = victim.user;
        if (rc != 0) {
            state.SkipWithError("steady state");
            break;
        }
        ++step;
    }
    ShmDomainInfo_t info{};
    quorGetShmDomainInfo(domain, &info);
    state.counters["rebuilds"] = double(info.defragCount);
    quorFreeShmDomain(&domain, QUOR_SHM_FREE_FORCE);
    munmap(memory, bytes);
}

void boostHeap(benchmark::State &state, Load load) {
    const std::string name = "quor-bench-boost-" + std::to_string(getpid());
    bip::shared_memory_object::remove(name.c_str());
    {
        bip::managed_shared_memory segment(bip::create_only, name.c_str(), regionBytes(load));
        std::vector<void *> live(load.live);
        const Draws draws(load);
        for (uint64_t i = 0; i < load.live; ++i) live[i] = segment.allocate(draws.sizes[i & 0xffff]);
        uint64_t step = 0;
        for (auto _ : state) {
            void *&victim = live[draws.victims[step & 0xffff]];
            segment.deallocate(victim);
            victim = segment.allocate(draws.sizes[step & 0xffff]);
            sink = reinterpret_cast<uintptr_t>(victim);
            ++step;
        }
    }
    bip::shared_memory_object::remove(name.c_str());
}

const std::pair<const char *, Load> kLoads[] = {
    {"fixed4K/10000", {4096, 4096, 10000}},      {"fixed16K/10000", {16384, 16384, 10000}},
    {"mixed4-64K/10000", {4096, 65536, 10000}},  {"fixed4K/100000", {4096, 4096, 100000}},
    {"fixed16K/100000", {16384, 16384, 100000}}, {"mixed4-64K/100000", {4096, 65536, 100000}},
};

}  // namespace

int main(int argc, char **argv) {
    for (const auto &[name, load] : kLoads) {
        benchmark::RegisterBenchmark((std::string("quor/") + name).c_str(), quorHeap, load);
        benchmark::RegisterBenchmark((std::string("boost/") + name).c_str(), boostHeap, load);
    }
    benchmark::Initialize(&argc, argv);
    TimeReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nquor / boost time per return + allocation:\n");
    for (const auto &[name, load] : kLoads) {
        auto ours = reporter.times.find(std::string("quor/") + name);
        auto theirs = reporter.times.find(std::string("boost/") + name);
        if (ours != reporter.times.end() && theirs != reporter.times.end() && theirs->second > 0) {
            std::printf("  %-20s %8.1f ns vs %8.1f ns  ratio %.2f\n", name, ours->second, theirs->second,
                        ours->second / theirs->second);
        }
    }
    for (const char *shape : {"fixed4K", "fixed16K", "mixed4-64K"}) {
        auto small = reporter.times.find(std::string("quor/") + shape + "/10000");
        auto large = reporter.times.find(std::string("quor/") + shape + "/100000");
        if (small != reporter.times.end() && large != reporter.times.end() && small->second > 0) {
            std::printf("  quor %-12s 100000 vs 10000 live: x%.2f\n", shape, large->second / small->second);
        }
    }
    benchmark::Shutdown();
    return 0;
}
