// Searching a status tree against finding a named object in a managed segment.
//
// In one run, over a tree of 11 111 nodes (10 children per node, four levels
// below the top, 16-byte IDs) in one status segment and 10 000 named objects
// (16-byte names) in one managed shared-memory segment:
//   - quorFindNodeHard along a four-step path to a node on the last level,
//     the paths taken in turn from a fixed random set (about 5.5 entries
//     scanned and attached per level, 22 per search);
//   - managed_shared_memory::find of a name taken in turn from a random set;
//   - quorGetTreeInfo over the whole tree, per node counted;
//   - quorFindNodeSoft for a tag no node carries, per node visited;
// and prints the ratio of the hard search to the peer's find.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <array>
#include <boost/interprocess/managed_shared_memory.hpp>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "quor/host.h"
#include "quor/quor.h"
#include "time_reporter.h"

namespace {

namespace bip = boost::interprocess;

constexpr uint64_t kFanout = 10, kLevels = 4, kIdSize = 16, kTopTag = 0x51, kTag = 0x60;
constexpr uint64_t kTreeSegment = 96ull << 20, kPeerSegment = 16ull << 20, kPeerObjects = 10000;
constexpr size_t kPaths = 64;
volatile uint64_t sink;

void check(uint32_t rc, const char *what) {
    if (rc != 0) {
        std::fprintf(stderr, "%s failed: 0x%08x\n", what, rc);
        std::exit(1);
    }
}

std::string idOf(uint64_t level, uint64_t index) {
    char id[kIdSize + 1];
    std::snprintf(id, sizeof id, "L%lu-%012lu", static_cast<unsigned long>(level),
                  static_cast<unsigned long>(index));
    return std::string(id, kIdSize);
}

struct Tree {
    IpcResId name{};
    ShmSegInfo_t *seg = nullptr;
    SNodeCB_t *top = nullptr;
    uint64_t nodes = 0;

    SNodeCB_t *node(uint64_t tag, const std::string &id) {
        std::array<uint64_t, 64> sizes{};
        uint64_t total = 0, offset = 0;
        const uint64_t flags = QUOR_KIND_ID | QUOR_KIND_DEPENDENTS;
        check(quorCreateMaxSpaceArray(flags, 0, 0, 0, 0, kFanout, kIdSize, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                      0, sizes.data(), &total),
              "size");
        SNodeCB_t *n = nullptr;
        check(quorCreateNode(seg, &n, flags, sizes.data(), &total, &offset), "create node");
        check(quorInitNode(&n, offset, id.size(), id.data(), nullptr, nullptr, kIdSize, nullptr, nullptr,
                           nullptr),
              "init");
        check(quorSetNodeTag(n, tag, 0), "tag");
        check(quorCreateDependentNodeList(n, nullptr, nullptr, nullptr, kIdSize, 0, 0), "list");
        check(quorActivateNode(&n), "activate");
        ++nodes;
        return n;
    }
    void link(SNodeCB_t *parent, SNodeCB_t *child, const std::string &id) {
        SNodeInfo_t info{};
        const uint64_t offset = static_cast<uint64_t>(reinterpret_cast<unsigned char *>(child) -
                                                      static_cast<unsigned char *>(seg->domainHandle->base));
        check(quorAddStatusNodeInfo(&info, seg, seg, offset, child->tag, id.size(), nullptr), "locator");
        check(quorAddDependentNode(parent, &info, id.data(), id.size(), 0, 0), "link");
    }
    void grow(SNodeCB_t *parent, uint64_t level, uint64_t first) {
        if (level > kLevels) return;
        for (uint64_t i = 0; i < kFanout; ++i) {
            const uint64_t index = first * kFanout + i;
            const std::string id = idOf(level, index);
            SNodeCB_t *child = node(kTag + level, id);
            link(parent, child, id);
            grow(child, level + 1, index);
        }
    }
};

struct Fixture {
    Tree tree;
    std::string peer = std::string("quor-bench-walks-peer-").append(std::to_string(getpid()));
    std::vector<std::array<TraverseInfo_t, kLevels>> paths;
    std::vector<std::string> pathIds;
    std::vector<std::string> names;
    bip::managed_shared_memory *segment = nullptr;

    Fixture() {
        check(QUOROneTimeOnlyInitialization(QUOR_EYECATCHER, QUOR_EYECATCHER), "initialise");
        std::snprintf(tree.name.name, sizeof tree.name.name, "quor-bench-walks-%d",
                      static_cast<int>(getpid()));
        check(
            quorGetProtectedStatusSegment(&tree.seg, kTreeSegment, &tree.name, nullptr, 0, nullptr, nullptr),
            "segment");
        tree.top = tree.node(kTopTag, idOf(0, 0));
        tree.grow(tree.top, 1, 0);

        std::mt19937_64 random(42);
        pathIds.reserve(kPaths * kLevels);
        for (size_t p = 0; p < kPaths; ++p) {
            const uint64_t leaf = random() % 10000;  // index on the last level
            std::array<TraverseInfo_t, kLevels> path{};
            for (uint64_t level = kLevels; level >= 1; --level) {
                uint64_t index = leaf;
                for (uint64_t up = level; up < kLevels; ++up) index /= kFanout;
                pathIds.push_back(idOf(level, index));
                path[level - 1] = TraverseInfo_t{static_cast<uint32_t>(kTag + level),
                                                 static_cast<int32_t>(kIdSize), pathIds.back().data()};
            }
            paths.push_back(path);
        }

        bip::shared_memory_object::remove(peer.c_str());
        segment = new bip::managed_shared_memory(bip::create_only, peer.c_str(), kPeerSegment);
        for (uint64_t i = 0; i < kPeerObjects; ++i) segment->construct<uint64_t>(idOf(9, i).c_str())(i);
        for (size_t p = 0; p < kPaths; ++p) names.push_back(idOf(9, random() % kPeerObjects));
    }
    ~Fixture() {
        delete segment;
        bip::shared_memory_object::remove(peer.c_str());
        (void)quorDeleteStatusSegment(&tree.seg, QUOR_POOL_FREE_FORCE, 2, QUOR_DETACH_ALL);
        (void)QUORCleanup(QUOR_CLEANUP_FORCE);
    }
};

Fixture &fixture() {
    static Fixture f;
    return f;
}

void HardSearch(benchmark::State &state) {
    Fixture &f = fixture();
    size_t next = 0;
    for (auto _ : state) {
        SNodeInfo_t *entry = nullptr;
        check(quorFindNodeHard(&entry, f.tree.top, kLevels, f.paths[next].data(), kLevels), "hard search");
        sink = entry->nodeOffset;
        next = (next + 1) % kPaths;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(HardSearch)->Name("quor/find_node_hard");

void BoostFind(benchmark::State &state) {
    Fixture &f = fixture();
    size_t next = 0;
    for (auto _ : state) {
        auto found = f.segment->find<uint64_t>(f.names[next].c_str());
        if (found.first == nullptr) std::exit(1);
        sink = *found.first;
        next = (next + 1) % kPaths;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BoostFind)->Name("boost/find");

void TreeTotals(benchmark::State &state) {
    Fixture &f = fixture();
    for (auto _ : state) {
        TreeInfo_t info{};
        check(quorGetTreeInfo(f.tree.top, f.tree.seg, 0, kTag, 0, &info), "totals");
        sink = info.nodesTotal;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * f.tree.nodes));
}
BENCHMARK(TreeTotals)->Name("quor/get_tree_info_per_node")->Unit(benchmark::kMicrosecond);

void SoftSearchMiss(benchmark::State &state) {
    Fixture &f = fixture();
    for (auto _ : state) {
        SNodeInfo_t *entry = nullptr;
        if (quorFindNodeSoft(&entry, f.tree.top, 0x7777, 0, nullptr, 0) != QUOR_RC_NODE_NOT_FOUND)
            std::exit(1);
    }
    // Every node below the top is visited once.
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * (f.tree.nodes - 1)));
}
BENCHMARK(SoftSearchMiss)->Name("quor/find_node_soft_per_visited_node")->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    TimeReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto &t = reporter.times;
    if (t.count("boost/find") != 0 && t.count("quor/find_node_hard") != 0) {
        std::printf("\nratios (same run):\n  quor/find_node_hard / boost/find  %.3f\n",
                    t["quor/find_node_hard"] / t["boost/find"]);
    }
    benchmark::Shutdown();
    return 0;
}
