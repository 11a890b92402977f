// Block allocation at steady state against a shared-memory allocator peer.
//
// Each run keeps about 10 000 blocks live; one iteration frees a block chosen at
// random and allocates a replacement of the run's size (fixed, or 16 B..4 KiB
// mixed). Both allocators see the same sizes and the same free order. After the
// runs the ratio of our time to the peer's is printed per size, and each run
// reports the bytes of metadata it spends per live block.
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

constexpr size_t kLive = 10000;
constexpr size_t kSteps = 1 << 16;  // length of the precomputed free order and size list
constexpr uint64_t kPoolSize = 96ull << 20;
constexpr uint64_t kSegmentSize = 128ull << 20;

volatile uintptr_t sink;  // keeps every allocation observable

struct Workload {
    std::vector<uint64_t> sizes;    // per step
    std::vector<uint32_t> victims;  // per step: which live slot is freed
    std::vector<uint64_t> initial;  // sizes of the first kLive blocks
};

Workload makeWorkload(uint64_t fixedSize) {
    std::mt19937_64 random(42);
    std::uniform_int_distribution<uint64_t> mixed(16, 4096);
    std::uniform_int_distribution<uint32_t> slot(0, kLive - 1);
    Workload w;
    auto draw = [&] { return fixedSize != 0 ? fixedSize : mixed(random); };
    for (size_t i = 0; i < kLive; ++i) w.initial.push_back(draw());
    for (size_t i = 0; i < kSteps; ++i) {
        w.sizes.push_back(draw());
        w.victims.push_back(slot(random));
    }
    return w;
}

// Our side: a caller-memory domain holding one pool with production debug
// settings (default pads, no fill of new blocks).
class QuorHeap {
public:
    QuorHeap() {
        memory_ = mmap(nullptr, kSegmentSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        ShmDomainOptions_t domainOptions{};
        domainOptions.mode = QUOR_SHM_MODE_USER_MEMORY;
        ShmPoolOptions_t poolOptions{};
        poolOptions.nodeCapacity = 3 * kLive;
        if (memory_ == MAP_FAILED ||
            quorCreateShmDomain(nullptr, memory_, kSegmentSize, &domainOptions, &domain_) != 0 ||
            _quorCreateShmPool(&pool_, domain_, kPoolSize, &poolOptions, 0, __LINE__, "bench_blocks.cpp") !=
                0 ||
            quorSetShmDebug(memory_, QUOR_HEAP_KIND_POOL, pool_->poolHeapOffset, 0, QUOR_PAD_TYPE_EEBC011A, 2,
                            2) != 0) {
            std::fprintf(stderr, "cannot set up the pool\n");
            std::abort();
        }
    }
    ~QuorHeap() {
        _quorFreeShmPool(&pool_, QUOR_POOL_FREE_FORCE, 0, __LINE__, "bench_blocks.cpp");
        munmap(memory_, kSegmentSize);
    }
    void *allocate(uint64_t size) {
        void *block = nullptr;
        if (_quorAllocateShmBlock(&block, pool_, size, 0, 0, __LINE__, "bench_blocks.cpp") != 0) std::abort();
        return block;
    }
    void release(void *block) {
        if (_quorFreeShmBlock(&block, pool_, 0, __LINE__, "bench_blocks.cpp") != 0) std::abort();
    }
    // Pads and slack of the chunks plus the list nodes beyond the list header.
    double metadataPerBlock(uint64_t requested, size_t live) const {
        ShmPoolInfo_t info{};
        quorGetShmPoolInfo(pool_, &info);
        uint64_t headerSize = 0;
        quorGetSLHeaderSize(info.maxLevel, &headerSize);
        return double(info.allocBytes - requested + info.slUsedBytes - headerSize) / double(live);
    }

private:
    void *memory_ = nullptr;
    ShmDomainHandle_t *domain_ = nullptr;
    ShmPoolHandle_t *pool_ = nullptr;
};

class BoostHeap {
public:
    BoostHeap() : name_("quor_bench_" + std::to_string(getpid())) {
        bip::shared_memory_object::remove(name_.c_str());
        segment_ = bip::managed_shared_memory(bip::create_only, name_.c_str(), kSegmentSize);
        baseline_ = segment_.get_free_memory();
    }
    ~BoostHeap() {
        segment_ = bip::managed_shared_memory();
        bip::shared_memory_object::remove(name_.c_str());
    }
    void *allocate(uint64_t size) { return segment_.allocate(size); }
    void release(void *block) { segment_.deallocate(block); }
    double metadataPerBlock(uint64_t requested, size_t live) const {
        return double(baseline_ - segment_.get_free_memory() - requested) / double(live);
    }

private:
    std::string name_;
    bip::managed_shared_memory segment_;
    size_t baseline_ = 0;
};

template <class Heap>
void steadyState(benchmark::State &state, uint64_t fixedSize) {
    const Workload w = makeWorkload(fixedSize);
    Heap heap;
    std::vector<void *> live(kLive);
    std::vector<uint64_t> liveSize(w.initial);
    uint64_t requested = 0;
    for (size_t i = 0; i < kLive; ++i) {
        live[i] = heap.allocate(w.initial[i]);
        requested += w.initial[i];
    }
    size_t step = 0;
    for (auto _ : state) {
        const uint32_t victim = w.victims[step];
        const uint64_t size = w.sizes[step];
        heap.release(live[victim]);
        live[victim] = heap.allocate(size);
        sink = reinterpret_cast<uintptr_t>(live[victim]);
        requested += size - liveSize[victim];
        liveSize[victim] = size;
        step = (step + 1) % kSteps;
    }
    state.counters["metadata_B_per_block"] = heap.metadataPerBlock(requested, kLive);
    for (void *block : live) heap.release(block);
}

}  // namespace

int main(int argc, char **argv) {
    const std::vector<std::pair<std::string, uint64_t>> sizes = {
        {"64B", 64}, {"1KiB", 1024}, {"4KiB", 4096}, {"mixed", 0}};
    std::vector<std::string> names;
    for (const auto &[name, size] : sizes) {
        names.push_back(name);
        benchmark::RegisterBenchmark(("quor/" + name).c_str(), steadyState<QuorHeap>, size);
        benchmark::RegisterBenchmark(("boost/" + name).c_str(), steadyState<BoostHeap>, size);
    }
    benchmark::Initialize(&argc, argv);
    TimeReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nquor / boost time ratio (below 1: quor is faster)\n");
    for (const std::string &size : names) {
        auto ours = reporter.times.find("quor/" + size), theirs = reporter.times.find("boost/" + size);
        if (ours != reporter.times.end() && theirs != reporter.times.end())
            std::printf("  %-8s %.3f\n", size.c_str(), ours->second / theirs->second);
    }
    benchmark::Shutdown();
    return 0;
}
