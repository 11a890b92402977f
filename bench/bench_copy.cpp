// Gathering a status tree into a new segment against copying its bytes.
//
// In one run, over a tree of 10 001 nodes (the top, 100 children, 99 below each)
// with 8 R and 2 V properties per node (flat lists, 16-byte IDs and values):
//   - quorCopyTreeIntoSingleShmSegment into a new segment (target mode 1), the
//     tree moving back and forth between two segment names, per node copied
//     and per byte of the new nodes;
//   - memcpy of the same number of bytes between two private buffers, per
//     byte: the practical limit of any copy;
// and prints the ratio of the two per byte.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "quor/host.h"
#include "quor/quor.h"
#include "time_reporter.h"

namespace {

constexpr uint64_t kChildren = 100, kGrandchildren = 99, kIdSize = 16, kValueSize = 16;
constexpr uint64_t kRProperties = 8, kVProperties = 2;
constexpr uint64_t kSegment = 128ull << 20;
volatile uint64_t sink;

void check(uint32_t rc, const char *what) {
    if (rc != 0) {
        std::fprintf(stderr, "%s failed: 0x%08x\n", what, rc);
        std::exit(1);
    }
}

std::string idOf(uint64_t index) {
    char id[kIdSize + 1];
    std::snprintf(id, sizeof id, "node-%011lu", static_cast<unsigned long>(index));
    return std::string(id, kIdSize);
}

struct Tree {
    std::array<IpcResId, 2> names{};
    unsigned current = 0;  // the name the tree lives under
    ShmSegInfo_t *seg = nullptr;
    SNodeCB_t *top = nullptr;
    uint64_t nodes = 0, bytes = 0;

    SNodeCB_t *node(const std::string &id, uint64_t capacity, SNodeCB_t *parent) {
        const uint64_t flags =
            QUOR_KIND_ID | QUOR_KIND_PARENT | QUOR_KIND_R | QUOR_KIND_V | QUOR_KIND_DEPENDENTS;
        std::array<uint64_t, 64> sizes{};
        uint64_t total = 0, offset = 0;
        check(quorCreateMaxSpaceArray(flags, kRProperties, kVProperties, 0, 0, capacity, kIdSize, 1,
                                      kValueSize, 0, 0, 1, QUOR_LIST_FLAT, QUOR_LIST_FLAT, 0, 0, 0, 0, 0, 0,
                                      sizes.data(), &total),
              "size");
        SNodeCB_t *n = nullptr;
        check(quorCreateNode(seg, &n, flags, sizes.data(), &total, &offset), "create node");
        SNodeInfo_t parentInfo{};
        char *parentId = nullptr;
        uint64_t parentIdLength = 0;
        if (parent != nullptr) {
            parentInfo = locator(parent);
            check(quorGetNodeID(parent, &parentId, &parentIdLength, 0), "parent id");
        }
        check(quorInitNode(&n, offset, id.size(), id.data(), &parentInfo, parentId, kIdSize, nullptr, nullptr,
                           nullptr),
              "init");
        check(quorSetNodeTag(n, 0x40 + nodes % 16, 0), "tag");
        check(quorCreateRPropertyList(n, nullptr, nullptr, 0, kRProperties, QUOR_LIST_FLAT, 0), "R list");
        check(quorCreateVPropertyList(n, nullptr, nullptr, nullptr, kValueSize, 0, kVProperties,
                                      QUOR_LIST_FLAT, 0),
              "V list");
        check(quorCreateDependentNodeList(n, nullptr, nullptr, nullptr, kIdSize, 0, 0), "list");
        check(quorActivateNode(&n), "activate");
        for (uint64_t r = 1; r <= kRProperties; ++r)
            check(quorAddRProperty(n, r, static_cast<int32_t>(nodes + r), 0), "R");
        for (uint64_t v = 1; v <= kVProperties; ++v) {
            const std::string value = idOf(nodes * 2 + v);
            check(quorAddVProperty(n, v, value.size(), value.data(), 0), "V");
        }
        if (parent != nullptr) {
            SNodeInfo_t info = locator(n);
            check(quorAddDependentNode(parent, &info, id.data(), id.size(), 0, 0), "link");
        }
        ++nodes;
        return n;
    }

    SNodeInfo_t locator(SNodeCB_t *n) const {
        SNodeInfo_t info{};
        const auto offset = static_cast<uint64_t>(reinterpret_cast<unsigned char *>(n) -
                                                  static_cast<unsigned char *>(seg->domainHandle->base));
        check(quorAddStatusNodeInfo(&info, seg, seg, offset, n->tag, kIdSize, nullptr), "locator");
        return info;
    }

    void build() {
        for (unsigned i = 0; i < names.size(); ++i) {
            std::snprintf(names[i].name, sizeof names[i].name, "quor-bench-copy-%d-%u",
                          static_cast<int>(getpid()), i);
        }
        check(quorGetProtectedStatusSegment(&seg, kSegment, &names[current], nullptr, 0, nullptr, nullptr),
              "segment");
        top = node(idOf(0), kChildren, nullptr);
        const auto offset = static_cast<uint64_t>(reinterpret_cast<unsigned char *>(top) -
                                                  static_cast<unsigned char *>(seg->domainHandle->base));
        check(quorPutTopNodeInfoIntoDomainHeader(seg->domainHandle, top->tag, offset,
                                                 seg->poolHandle->poolHeapOffset),
              "top");
        for (uint64_t c = 0; c < kChildren; ++c) {
            SNodeCB_t *child = node(idOf(nodes), kGrandchildren, top);
            for (uint64_t g = 0; g < kGrandchildren; ++g) node(idOf(nodes), 1, child);
        }
    }

    // Moves the tree to the other name; the byte count of the new nodes.
    void move() {
        const unsigned next = 1 - current;
        SNodeCB_t *newTop = nullptr;
        ShmSegInfo_t *target = nullptr;
        check(quorCopyTreeIntoSingleShmSegment(top, &newTop, &seg, &target, kSegment, &names[next], nullptr,
                                               QUOR_COPY_TARGET_NEW_SEGMENT, 0, &bytes),
              "copy");
        seg = target;
        top = newTop;
        current = next;
    }
};

struct Fixture {
    Tree tree;
    std::vector<unsigned char> from, to;

    Fixture() {
        check(QUOROneTimeOnlyInitialization(QUOR_EYECATCHER, QUOR_EYECATCHER), "initialise");
        tree.build();
        tree.move();  // learns the byte count, and warms both names
        from.assign(tree.bytes, 0x5a);
        to.assign(tree.bytes, 0);
    }
    ~Fixture() {
        (void)quorDeleteStatusSegment(&tree.seg, QUOR_POOL_FREE_FORCE, 2, QUOR_DETACH_ALL);
        (void)QUORCleanup(QUOR_CLEANUP_FORCE);
    }
};

Fixture &fixture() {
    static Fixture f;
    return f;
}

void CopyTree(benchmark::State &state) {
    Fixture &f = fixture();
    for (auto _ : state) f.tree.move();
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * f.tree.nodes));
    state.counters["bytes_per_node"] = static_cast<double>(f.tree.bytes) / static_cast<double>(f.tree.nodes);
    state.counters["ns_per_byte"] =
        benchmark::Counter(static_cast<double>(state.iterations() * f.tree.bytes),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(CopyTree)->Name("quor/copy_tree_per_node")->Unit(benchmark::kMillisecond)->UseRealTime();

void Memcpy(benchmark::State &state) {
    Fixture &f = fixture();
    for (auto _ : state) {
        std::memcpy(f.to.data(), f.from.data(), f.from.size());
        benchmark::ClobberMemory();
        sink = f.to[f.to.size() / 2];
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * f.from.size()));
}
BENCHMARK(Memcpy)->Name("memcpy/per_byte")->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    TimeReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto &t = reporter.times;
    Fixture &f = fixture();
    if (t.count("quor/copy_tree_per_node") != 0 && t.count("memcpy/per_byte") != 0) {
        const double perNode = t["quor/copy_tree_per_node"];
        const double perByte =
            perNode * static_cast<double>(f.tree.nodes) / static_cast<double>(f.tree.bytes);
        std::printf(
            "\n%lu nodes, %lu bytes copied (same run):\n  quor copy  %.1f ns/node  %.3f ns/byte\n"
            "  memcpy     %.3f ns/byte\n  ratio per byte (quor / memcpy)  %.1f\n",
            static_cast<unsigned long>(f.tree.nodes), static_cast<unsigned long>(f.tree.bytes), perNode,
            perByte, t["memcpy/per_byte"], perByte / t["memcpy/per_byte"]);
    }
    benchmark::Shutdown();
    return 0;
}
