// Property values against the shared-memory structures a program would use
// instead, in one run, through libquor.so as an application calls it:
//   - an R property read by number from a hashed list of 10 000 on one node
//     (read section included), against interprocess_mutex lock + map::find +
//     unlock over the same keys in a managed_shared_memory map;
//   - the same R read through a record address located once, against a robust
//     process-shared mutex lock + atomic load + unlock;
//   - an IR property read by (tag, 8-byte ID) among 16, against an
//     unordered_map keyed by the ID in shared memory under a mutex;
//   - a 64-byte V property written by number, against mutex + memcpy of 64
//     bytes;
//   - two processes taking turns at setting one R property, against the same
//     turn-taking under a bare robust mutex (handoffs per second).
// The ratios printed at the end are what to compare: absolute times on a shared
// machine move from run to run.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <boost/container_hash/hash.hpp>
#include <boost/interprocess/allocators/allocator.hpp>
#include <boost/interprocess/containers/map.hpp>
#include <boost/interprocess/containers/string.hpp>
#include <boost/interprocess/managed_shared_memory.hpp>
#include <boost/interprocess/sync/interprocess_mutex.hpp>
#include <boost/unordered_map.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "quor/host.h"
#include "quor/quor.h"
#include "time_reporter.h"
#include "two_processes.h"

namespace {

namespace bip = boost::interprocess;

constexpr uint64_t kRCount = 10000, kIRCount = 16, kVNumber = 5, kVSize = 64;
constexpr uint64_t kTag = 0x77;
volatile int64_t sink;  // results go here so the optimiser keeps every call

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "set-up failed: %s\n", what);
        std::abort();
    }
}

// The keys in the order every lookup benchmark visits them: a fixed shuffle.
std::vector<uint64_t> visitOrder(uint64_t count) {
    std::vector<uint64_t> keys(count);
    uint64_t x = 88172645463325252ull;
    for (uint64_t i = 0; i < count; ++i) keys[i] = i + 1;
    for (uint64_t i = count - 1; i > 0; --i) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        std::swap(keys[i], keys[x % (i + 1)]);
    }
    return keys;
}

// The 8-byte ID of IR property i (its tag is kTag + i % 4).
std::array<char, 8> irId(uint64_t i) {
    std::array<char, 8> id{};
    std::snprintf(id.data(), id.size(), "%07llu", static_cast<unsigned long long>(i * 7919));
    id[7] = 'x';
    return id;
}

// ---- our node: a status segment with one active node ----

struct Ours {
    ShmSegInfo_t *seg = nullptr;
    SNodeCB_t *node = nullptr;
    RPropertyRec_t *record = nullptr;  // of R property 1
    std::vector<uint64_t> order = visitOrder(kRCount);
};

Ours &ours() {
    static Ours *o = [] {
        auto *o = new Ours;
        check(QUOROneTimeOnlyInitialization(QUOR_EYECATCHER, QUOR_EYECATCHER) == 0, "init");
        IpcResId id{};
        std::snprintf(id.name, sizeof id.name, "quor-bench-values-%d", static_cast<int>(getpid()));
        check(quorGetProtectedStatusSegment(&o->seg, 16 << 20, &id, nullptr, 0, nullptr, nullptr) == 0,
              "segment");
        shm_unlink(("/" + std::string(id.name)).c_str());  // gone with the process
        const uint64_t flags = QUOR_KIND_ID | QUOR_KIND_R | QUOR_KIND_V | QUOR_KIND_IR;
        std::array<uint64_t, 64> sizes{};
        uint64_t total = 0, offset = 0;
        check(quorCreateMaxSpaceArray(flags, kRCount, 4, kIRCount, 0, 0, 32, 1, kVSize, 8, 0, 0,
                                      QUOR_LIST_HASHED, QUOR_LIST_FLAT, QUOR_LIST_HASHED, 0, 4, kIRCount, 0,
                                      0, sizes.data(), &total) == 0,
              "sizes");
        check(quorCreateNode(o->seg, &o->node, flags, sizes.data(), &total, &offset) == 0, "node");
        check(quorInitNode(&o->node, offset, 4, "root", nullptr, nullptr, 32, nullptr, nullptr, nullptr) == 0,
              "init node");
        SNodeCB_t *node = o->node;
        check(quorCreateRPropertyList(node, nullptr, nullptr, 0, kRCount, QUOR_LIST_HASHED, 0) == 0,
              "R list");
        check(quorCreateVPropertyList(node, nullptr, nullptr, nullptr, kVSize, 0, 4, QUOR_LIST_FLAT, 0) == 0,
              "V list");
        check(quorCreateIRPropertyList(node, nullptr, nullptr, nullptr, nullptr, 8, 0, 4, kIRCount, kIRCount,
                                       QUOR_LIST_HASHED, 0) == 0,
              "IR list");
        check(quorActivateNode(&o->node) == 0, "activate");
        for (uint64_t n = 1; n <= kRCount; ++n)
            check(quorAddRProperty(node, n, static_cast<int32_t>(n), 0) == 0, "add R");
        const char zeros[kVSize] = {};
        check(quorAddVProperty(node, kVNumber, kVSize, zeros, 0) == 0, "add V");
        for (uint64_t i = 0; i < kIRCount; ++i) {
            const auto id = irId(i);
            check(quorAddIRProperty(node, kTag + i % 4, 8, id.data(), static_cast<int32_t>(i), 0) == 0,
                  "add IR");
        }
        check(quorGetAddressForRProperty(node, 1, &o->record) == 0, "locate");
        return o;
    }();
    return *o;
}

// ---- the peers ----

using SegmentManager = bip::managed_shared_memory::segment_manager;
using MapAlloc = bip::allocator<std::pair<const uint64_t, int32_t>, SegmentManager>;
using ShmMap = bip::map<uint64_t, int32_t, std::less<uint64_t>, MapAlloc>;
using ShmString = bip::basic_string<char, std::char_traits<char>, bip::allocator<char, SegmentManager>>;
using UMapAlloc = bip::allocator<std::pair<const ShmString, int32_t>, SegmentManager>;
using ShmUMap =
    boost::unordered_map<ShmString, int32_t, boost::hash<ShmString>, std::equal_to<ShmString>, UMapAlloc>;

// Looks an ID up without building a shared string for it.
struct IdHash {
    size_t operator()(std::string_view s) const { return boost::hash_range(s.begin(), s.end()); }
};
struct IdEqual {
    bool operator()(std::string_view a, const ShmString &b) const {
        return a == std::string_view(b.data(), b.size());
    }
    bool operator()(const ShmString &b, std::string_view a) const { return (*this)(a, b); }
};

struct Peers {
    bip::managed_shared_memory segment;
    bip::interprocess_mutex *boostMutex = nullptr;
    ShmMap *map = nullptr;
    ShmUMap *umap = nullptr;
    struct Raw {
        pthread_mutex_t robust;
        alignas(64) int32_t counter;
        alignas(64) char bytes[kVSize];
        alignas(64) std::atomic<int> ready;
        int turn;
    } *raw = nullptr;
};

Peers &peers() {
    static Peers *p = [] {
        auto *p = new Peers;
        const std::string name = "quor-bench-values-peer-" + std::to_string(getpid());
        bip::shared_memory_object::remove(name.c_str());
        p->segment = bip::managed_shared_memory(bip::create_only, name.c_str(), 8 << 20);
        bip::shared_memory_object::remove(name.c_str());  // gone with the process
        p->boostMutex = p->segment.construct<bip::interprocess_mutex>("mutex")();
        p->map = p->segment.construct<ShmMap>("map")(std::less<uint64_t>(), p->segment.get_segment_manager());
        for (uint64_t n = 1; n <= kRCount; ++n) p->map->emplace(n, static_cast<int32_t>(n));
        p->umap = p->segment.construct<ShmUMap>("umap")(
            kIRCount, boost::hash<ShmString>(), std::equal_to<ShmString>(), p->segment.get_segment_manager());
        for (uint64_t i = 0; i < kIRCount; ++i) {
            const auto id = irId(i);
            p->umap->emplace(ShmString(id.data(), id.size(), p->segment.get_segment_manager()),
                             static_cast<int32_t>(i));
        }
        void *raw =
            mmap(nullptr, sizeof(Peers::Raw), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        check(raw != MAP_FAILED, "raw");
        p->raw = new (raw) Peers::Raw{};
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        pthread_mutex_init(&p->raw->robust, &attr);
        pthread_mutexattr_destroy(&attr);
        return p;
    }();
    return *p;
}

// ---- lookups by key ----

void OursRByNumber(benchmark::State &state) {
    Ours &o = ours();
    size_t i = 0;
    for (auto _ : state) {
        int32_t value = 0;
        sink = quorGetValueForRProperty(o.node, o.order[i], &value, 0);
        sink = value;
        i = i + 1 == o.order.size() ? 0 : i + 1;
    }
    state.SetItemsProcessed(state.iterations());
}

void BoostMapFind(benchmark::State &state) {
    Peers &p = peers();
    const std::vector<uint64_t> &order = ours().order;
    size_t i = 0;
    for (auto _ : state) {
        p.boostMutex->lock();
        auto it = p.map->find(order[i]);
        sink = it != p.map->end() ? it->second : -1;
        p.boostMutex->unlock();
        i = i + 1 == order.size() ? 0 : i + 1;
    }
    state.SetItemsProcessed(state.iterations());
}

// ---- through a record address ----

void OursRByRecord(benchmark::State &state) {
    Ours &o = ours();
    for (auto _ : state) {
        int32_t value = 0;
        uint64_t rc = 0;
        sink = quorGetValueAndRCForRProperty(o.node, o.record, &value, &rc, 0);
        sink = value;
    }
    state.SetItemsProcessed(state.iterations());
}

void RobustMutexLoad(benchmark::State &state) {
    Peers::Raw *raw = peers().raw;
    for (auto _ : state) {
        pthread_mutex_lock(&raw->robust);
        sink = __atomic_load_n(&raw->counter, __ATOMIC_ACQUIRE);
        pthread_mutex_unlock(&raw->robust);
    }
    state.SetItemsProcessed(state.iterations());
}

// ---- IR by tag and ID among 16 ----

void OursIRByTagAndId(benchmark::State &state) {
    Ours &o = ours();
    std::array<std::array<char, 8>, kIRCount> ids;
    for (uint64_t i = 0; i < kIRCount; ++i) ids[i] = irId(i);
    uint64_t i = 0;
    for (auto _ : state) {
        int32_t value = 0;
        sink = quorGetValueForIRProperty(o.node, kTag + i % 4, 8, ids[i].data(), &value, 0);
        sink = value;
        i = (i + 5) % kIRCount;
    }
    state.SetItemsProcessed(state.iterations());
}

void BoostUnorderedFind(benchmark::State &state) {
    Peers &p = peers();
    std::array<std::array<char, 8>, kIRCount> ids;
    for (uint64_t i = 0; i < kIRCount; ++i) ids[i] = irId(i);
    uint64_t i = 0;
    for (auto _ : state) {
        pthread_mutex_lock(&p.raw->robust);
        auto it = p.umap->find(std::string_view(ids[i].data(), 8), IdHash(), IdEqual());
        sink = it != p.umap->end() ? it->second : -1;
        pthread_mutex_unlock(&p.raw->robust);
        i = (i + 5) % kIRCount;
    }
    state.SetItemsProcessed(state.iterations());
}

// ---- a 64-byte V write ----

void OursVWrite(benchmark::State &state) {
    Ours &o = ours();
    char bytes[kVSize];
    std::memset(bytes, 'v', sizeof bytes);
    for (auto _ : state) {
        bytes[0] = static_cast<char>(state.iterations());
        sink = quorSetValueForVProperty(o.node, kVNumber, kVSize, bytes, 0);
    }
    state.SetItemsProcessed(state.iterations());
}

void MutexMemcpy(benchmark::State &state) {
    Peers::Raw *raw = peers().raw;
    char bytes[kVSize];
    std::memset(bytes, 'v', sizeof bytes);
    for (auto _ : state) {
        bytes[0] = static_cast<char>(state.iterations());
        pthread_mutex_lock(&raw->robust);
        std::memcpy(raw->bytes, bytes, kVSize);
        pthread_mutex_unlock(&raw->robust);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

// ---- two processes taking turns ----

// Process `me` sets the property to the next value whenever the value says it
// is its turn (even values are process 0's), `rounds` times; it polls by
// reading otherwise. Every counted set is a handoff to the other process. By
// key, and through the record located once, as a caller that updates one
// property often would.
void oursTurns(int me, int64_t rounds) {
    SNodeCB_t *node = ours().node;
    for (int64_t done = 0; done < rounds;) {
        int32_t value = 0;
        sink = quorGetValueForRProperty(node, 1, &value, 0);
        if ((value & 1) != me) continue;
        sink = quorSetValueForRProperty(node, 1, value + 1, 0);
        ++done;
    }
}

void oursTurnsByRecord(int me, int64_t rounds) {
    SNodeCB_t *node = ours().node;
    RPropertyRec_t *record = ours().record;
    for (int64_t done = 0; done < rounds;) {
        int32_t value = 0;
        uint64_t rc = 0;
        sink = quorGetValueAndRCForRProperty(node, record, &value, &rc, 0);
        if ((value & 1) != me) continue;
        sink = quorSetValueAndRCForRProperty(node, record, value + 1, rc, 0);
        ++done;
    }
}

void mutexTurns(int me, int64_t rounds) {
    Peers::Raw *raw = peers().raw;
    for (int64_t done = 0; done < rounds;) {
        pthread_mutex_lock(&raw->robust);
        const int32_t value = raw->counter;
        pthread_mutex_unlock(&raw->robust);
        if ((value & 1) != me) continue;
        pthread_mutex_lock(&raw->robust);
        raw->counter = value + 1;
        pthread_mutex_unlock(&raw->robust);
        ++done;
    }
}

template <void (*Turns)(int, int64_t)>
void TwoProcesses(benchmark::State &state) {
    Peers::Raw *raw = peers().raw;
    Ours &o = ours();
    const int64_t rounds = state.range(0);
    for (auto _ : state) {
        raw->counter = 0;
        check(quorSetValueForRProperty(o.node, 1, 0, 0) == 0, "reset");
        state.SetIterationTime(runTwoProcesses(&raw->ready, [&](int me) { Turns(me, rounds); }));
    }
    state.SetItemsProcessed(state.iterations() * 2 * rounds);
}

BENCHMARK(OursRByNumber)->Name("r_by_number/ours_hashed_10000");
BENCHMARK(BoostMapFind)->Name("r_by_number/boost_map_find");
BENCHMARK(OursRByRecord)->Name("r_by_record/ours_value_and_rc");
BENCHMARK(RobustMutexLoad)->Name("r_by_record/robust_mutex_load");
BENCHMARK(OursIRByTagAndId)->Name("ir_by_tag_id/ours_hashed_16");
BENCHMARK(BoostUnorderedFind)->Name("ir_by_tag_id/boost_unordered_map");
BENCHMARK(OursVWrite)->Name("v_write_64/ours");
BENCHMARK(MutexMemcpy)->Name("v_write_64/robust_mutex_memcpy");
constexpr int64_t kRounds = 5000;
BENCHMARK(TwoProcesses<oursTurns>)
    ->Name("two_processes/ours_set_r")
    ->Arg(kRounds)
    ->UseManualTime()
    ->Iterations(3);
BENCHMARK(TwoProcesses<oursTurnsByRecord>)
    ->Name("two_processes/ours_set_r_by_record")
    ->Arg(kRounds)
    ->UseManualTime()
    ->Iterations(3);
BENCHMARK(TwoProcesses<mutexTurns>)
    ->Name("two_processes/robust_mutex")
    ->Arg(kRounds)
    ->UseManualTime()
    ->Iterations(3);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    TimeReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto &t = reporter.times;
    auto ratio = [&](const char *label, const char *ours, const char *peer, const char *target) {
        if (t.count(ours) != 0 && t.count(peer) != 0)
            std::printf("  %-44s %.3f (%s)\n", label, t[ours] / t[peer], target);
    };
    std::printf("\nratios (same run; time per operation, ours / peer):\n");
    ratio("R by number / boost map find", "r_by_number/ours_hashed_10000", "r_by_number/boost_map_find",
          "target <= 0.30");
    ratio("R by record / robust mutex + load", "r_by_record/ours_value_and_rc",
          "r_by_record/robust_mutex_load", "target <= 1.30");
    ratio("IR by tag and ID / boost unordered_map", "ir_by_tag_id/ours_hashed_16",
          "ir_by_tag_id/boost_unordered_map", "target <= 1.00");
    ratio("V write 64 bytes / mutex + memcpy", "v_write_64/ours", "v_write_64/robust_mutex_memcpy",
          "target <= 1.50");
    for (const char *ours : {"two_processes/ours_set_r", "two_processes/ours_set_r_by_record"}) {
        if (t.count(ours) != 0 && t.count("two_processes/robust_mutex") != 0)
            std::printf("  %-44s %.3f (target >= 0.80)\n", ours + std::strlen("two_processes/"),
                        t["two_processes/robust_mutex"] / t[ours]);
    }
    benchmark::Shutdown();
    return 0;
}
