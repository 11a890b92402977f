// Connecting to a status tree against opening a managed shared-memory segment.
//
// In one run, on segments of the same size:
//   - quorConnectToATree + quorDetachStatusSegment by a process that has not
//     attached the segment: map the domain, connect to the tree pool, read the
//     tree record, verify the top node under its read section, and undo it all;
//   - the same while the process already holds the segment (registry hit:
//     count up, deletion check, top node check, count down);
//   - Boost.Interprocess managed_shared_memory open_only + find of a named
//     object, and the segment unmapped again;
// and prints the ratios at the end. Absolute times move from run to run on a
// shared machine; the ratios measured in one run are what to compare.
#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <boost/interprocess/managed_shared_memory.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "quor/host.h"
#include "quor/quor.h"
#include "time_reporter.h"

namespace {

namespace bip = boost::interprocess;

constexpr uint64_t kSegmentSize = 1 << 20;
constexpr uint64_t kTag = 0x51;
volatile uint64_t sink;  // results go here so the optimiser keeps every call

IpcResId treeName() {
    IpcResId id{};
    std::snprintf(id.name, sizeof id.name, "quor-bench-tree-%d", static_cast<int>(getpid()));
    return id;
}
std::string boostName() { return "quor-bench-peer-" + std::to_string(getpid()); }

void check(uint32_t rc, const char *what) {
    if (rc != 0) {
        std::fprintf(stderr, "%s failed: 0x%08x\n", what, rc);
        std::exit(1);
    }
}

// The tree is made by a child that exits without detaching, so that this
// process meets the segment as a stranger would.
void makeTree(const IpcResId &id) {
    pid_t child = fork();
    if (child == 0) {
        check(QUOROneTimeOnlyInitialization(QUOR_EYECATCHER, QUOR_EYECATCHER), "initialise");
        ShmSegInfo_t *seg = nullptr;
        check(quorGetProtectedStatusSegment(&seg, kSegmentSize, &id, nullptr, 0, nullptr, nullptr), "create");
        std::array<uint64_t, 64> sizes{};
        uint64_t total = 0, offset = 0;
        check(quorCreateMaxSpaceArray(QUOR_KIND_ID, 0, 0, 0, 0, 0, 32, 1, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0,
                                      sizes.data(), &total),
              "size");
        SNodeCB_t *node = nullptr;
        check(quorCreateNode(seg, &node, QUOR_KIND_ID, sizes.data(), &total, &offset), "create node");
        check(quorInitNode(&node, offset, 4, "root", nullptr, nullptr, 32, nullptr, nullptr, nullptr),
              "init");
        check(quorSetNodeTag(node, kTag, 0), "tag");
        check(quorActivateNode(&node), "activate");
        check(quorPutTopNodeInfoIntoDomainHeader(seg->domainHandle, kTag, offset,
                                                 seg->poolHandle->poolHeapOffset),
              "record");
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::exit(1);
}

struct Fixture {
    IpcResId tree = treeName();
    std::string peer = boostName();
    Fixture() {
        check(QUOROneTimeOnlyInitialization(QUOR_EYECATCHER, QUOR_EYECATCHER), "initialise");
        makeTree(tree);
        bip::shared_memory_object::remove(peer.c_str());
        bip::managed_shared_memory segment(bip::create_only, peer.c_str(), kSegmentSize);
        segment.construct<uint64_t>("top")(kTag);
    }
    ~Fixture() {
        ShmSegInfo_t *seg = nullptr;
        if (quorAttachStatusSegment(&seg, &tree, nullptr, 0, 0, nullptr, nullptr) == 0) {
            (void)quorDeleteStatusSegment(&seg, QUOR_POOL_FREE_FORCE, QUOR_DELETE_POOL_FORCE,
                                          QUOR_DETACH_ALL);
        }
        (void)QUORCleanup(QUOR_CLEANUP_FORCE);
        bip::shared_memory_object::remove(peer.c_str());
    }
};

Fixture &fixture() {
    static Fixture f;
    return f;
}

void connectAndDetach(const IpcResId &id) {
    ShmSegInfo_t *seg = nullptr;
    SNodeCB_t *top = nullptr;
    TopNodeInfo info{};
    check(quorConnectToATree(&seg, &top, &info, &id, nullptr, nullptr, nullptr), "connect");
    sink = top->tag;
    check(quorDetachStatusSegment(&seg, QUOR_DETACH_RELEASE), "detach");
}

void ConnectFresh(benchmark::State &state) {
    Fixture &f = fixture();
    for (auto _ : state) connectAndDetach(f.tree);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ConnectFresh)->Name("quor/connect_and_detach");

void ConnectHeld(benchmark::State &state) {
    Fixture &f = fixture();
    ShmSegInfo_t *held = nullptr;
    check(quorAttachStatusSegment(&held, &f.tree, nullptr, 0, 0, nullptr, nullptr), "hold");
    for (auto _ : state) connectAndDetach(f.tree);
    check(quorDetachStatusSegment(&held, QUOR_DETACH_RELEASE), "release");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ConnectHeld)->Name("quor/connect_and_detach_held");

void BoostOpenFind(benchmark::State &state) {
    Fixture &f = fixture();
    for (auto _ : state) {
        bip::managed_shared_memory segment(bip::open_only, f.peer.c_str());
        auto found = segment.find<uint64_t>("top");
        if (found.first == nullptr) std::exit(1);
        sink = *found.first;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BoostOpenFind)->Name("boost/open_and_find");

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    TimeReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto &t = reporter.times;
    if (t.count("boost/open_and_find") != 0) {
        const double peer = t["boost/open_and_find"];
        std::printf("\nratios (same run):\n");
        for (const char *name : {"quor/connect_and_detach", "quor/connect_and_detach_held"}) {
            if (t.count(name) != 0) std::printf("  %-30s / boost open+find  %.3f\n", name, t[name] / peer);
        }
    }
    benchmark::Shutdown();
    return 0;
}
