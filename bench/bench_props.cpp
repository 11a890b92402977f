// Adding and deleting R properties on a hashed node, against the keyed peer: a
// Boost.Interprocess map in managed shared memory under an interprocess mutex.
//
// One iteration adds 10 000 properties (numbers in a fixed random order, each
// with its value) and then deletes them all in another order. Both sides take
// their lock per operation, as concurrent processes would need: ours the node's
// latch (the latched concurrency model), the peer an interprocess_mutex in its
// segment. Times are per add+delete pair; the ratio is printed at the end.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <boost/interprocess/allocators/allocator.hpp>
#include <boost/interprocess/containers/map.hpp>
#include <boost/interprocess/managed_shared_memory.hpp>
#include <boost/interprocess/sync/interprocess_mutex.hpp>
#include <boost/interprocess/sync/scoped_lock.hpp>
#include <cstdio>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "quor/host.h"
#include "quor/quor.h"
#include "time_reporter.h"

namespace {

namespace bip = boost::interprocess;

constexpr uint64_t kCount = 10000;

struct Keys {
    std::vector<uint64_t> addOrder, deleteOrder;
};

Keys makeKeys() {
    Keys k;
    k.addOrder.resize(kCount);
    std::iota(k.addOrder.begin(), k.addOrder.end(), uint64_t{1});
    std::mt19937_64 random(42);
    std::shuffle(k.addOrder.begin(), k.addOrder.end(), random);
    k.deleteOrder = k.addOrder;
    std::shuffle(k.deleteOrder.begin(), k.deleteOrder.end(), random);
    return k;
}

void fail(const char *what, uint32_t rc) {
    std::fprintf(stderr, "%s: 0x%x\n", what, rc);
    std::abort();
}

// An active node sized by the library for a hashed R list of kCount.
class QuorNode {
public:
    QuorNode() {
        if (uint32_t rc = QUOROneTimeOnlyInitialization(QUOR_EYECATCHER, QUOR_EYECATCHER)) fail("init", rc);
        std::array<uint64_t, 64> sizes{};
        uint64_t total = 0, address = 0;
        const uint64_t flags = QUOR_KIND_ID | QUOR_KIND_R;
        if (uint32_t rc =
                quorCreateMaxSpaceArray(flags, kCount, 0, 0, 0, 0, 16, 1, 1, 0, 0, 1, QUOR_LIST_HASHED, 0, 0,
                                        0, 0, 0, 0, 0, sizes.data(), &total))
            fail("sizes", rc);
        if (uint32_t rc = quorCreateNodeInPM(&node_, flags, sizes.data(), &total, &address, QUOR_EYECATCHER,
                                             QUOR_EYECATCHER))
            fail("node", rc);
        if (uint32_t rc =
                quorInitNode(&node_, 0x1000, 5, "bench", nullptr, nullptr, 16, nullptr, nullptr, nullptr))
            fail("init node", rc);
        if (uint32_t rc = quorCreateRPropertyList(node_, nullptr, nullptr, 0, kCount, QUOR_LIST_HASHED, 0))
            fail("list", rc);
        if (uint32_t rc = quorActivateNode(&node_)) fail("activate", rc);
    }
    ~QuorNode() {
        void *block = node_;
        hostMemFree(&block, 0, 1, "bench", __LINE__);
        QUORCleanup(QUOR_CLEANUP_FORCE);
    }
    void add(uint64_t number) {
        if (uint32_t rc = quorAddRProperty(node_, number, static_cast<int32_t>(number), 0)) fail("add", rc);
    }
    void remove(uint64_t number) {
        if (uint32_t rc = quorDeleteRProperty(node_, number, 0)) fail("delete", rc);
    }

private:
    SNodeCB_t *node_ = nullptr;
};

class BoostMap {
    using Value = std::pair<const uint64_t, int32_t>;
    using Allocator = bip::allocator<Value, bip::managed_shared_memory::segment_manager>;
    using Map = bip::map<uint64_t, int32_t, std::less<uint64_t>, Allocator>;

public:
    BoostMap() : name_("quor_bench_props_" + std::to_string(getpid())) {
        bip::shared_memory_object::remove(name_.c_str());
        segment_ = bip::managed_shared_memory(bip::create_only, name_.c_str(), 8 << 20);
        mutex_ = segment_.construct<bip::interprocess_mutex>("mutex")();
        map_ =
            segment_.construct<Map>("map")(std::less<uint64_t>(), Allocator(segment_.get_segment_manager()));
    }
    ~BoostMap() {
        segment_ = bip::managed_shared_memory();
        bip::shared_memory_object::remove(name_.c_str());
    }
    void add(uint64_t number) {
        bip::scoped_lock<bip::interprocess_mutex> lock(*mutex_);
        if (!map_->emplace(number, static_cast<int32_t>(number)).second) fail("boost add", 0);
    }
    void remove(uint64_t number) {
        bip::scoped_lock<bip::interprocess_mutex> lock(*mutex_);
        if (map_->erase(number) != 1) fail("boost erase", 0);
    }

private:
    std::string name_;
    bip::managed_shared_memory segment_;
    bip::interprocess_mutex *mutex_ = nullptr;
    Map *map_ = nullptr;
};

template <class Table>
void addThenDelete(benchmark::State &state) {
    const Keys keys = makeKeys();
    Table table;
    for (auto _ : state) {
        for (uint64_t number : keys.addOrder) table.add(number);
        for (uint64_t number : keys.deleteOrder) table.remove(number);
    }
    state.SetItemsProcessed(state.iterations() * kCount);  // one item = one add and one delete
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::RegisterBenchmark("quor/hashed_R", addThenDelete<QuorNode>)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("boost/map", addThenDelete<BoostMap>)->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    TimeReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto ours = reporter.times.find("quor/hashed_R"), theirs = reporter.times.find("boost/map");
    if (ours != reporter.times.end() && theirs != reporter.times.end()) {
        std::printf("\nns per add+delete: quor %.1f, boost %.1f; quor / boost %.3f (target <= 0.5)\n",
                    ours->second, theirs->second, ours->second / theirs->second);
    }
    benchmark::Shutdown();
    return 0;
}
