// The C++ layer against the C call it wraps: an R property read on the same node
// in the same run, through libquor.so as an application calls it.
//   - c/get_r            quorGetValueForRProperty, the call taking the read section
//   - cpp/get_r          node.r(n).get(), the throwing form
//   - cpp/get_r_ec       node.r(n).get(ec), the error_code form
//   - c/get_r_held       the C call with inCriticalSection, inside a read section
//   - cpp/get_r_held     a read_guard's handle, the same call underneath
// The layer is meant to be free: each C++ time over its C peer should stay at or
// below 1.05.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "quor/quor.hpp"
#include "time_reporter.h"

namespace {

volatile int32_t sink;  // results go here so the optimiser keeps every call
constexpr uint64_t kNumber = 5;

struct Tree {
    quor::library lib;
    quor::segment seg;
    quor::node top;
};

Tree &tree() {
    static Tree *t = [] {
        auto *made = new Tree;
        made->seg = quor::segment::create("quor-bench-cpp-" + std::to_string(getpid()), 1 << 20);
        quor::node_plan plan;
        plan.space.areaFlags = QUOR_KIND_ID | QUOR_KIND_R;
        plan.space.maxIdSize = 16;
        plan.space.rCount = 8;
        plan.id = "bench";
        made->top = made->seg.create_node(plan);
        made->top.create_r_list(8);
        made->top.activate();
        for (uint64_t number = 1; number <= 8; ++number)
            made->top.r(number).add(static_cast<int32_t>(number));
        std::atexit([] { tree().seg.remove(true); });
        return made;
    }();
    return *t;
}

void CGetR(benchmark::State &state) {
    SNodeCB_t *node = tree().top.get();
    for (auto _ : state) {
        int32_t value = 0;
        if (quorGetValueForRProperty(node, kNumber, &value, 0) != QUOR_RC_OK)
            state.SkipWithError("read failed");
        sink = value;
    }
    state.SetItemsProcessed(state.iterations());
}

void CppGetR(benchmark::State &state) {
    const quor::node node = tree().top;
    for (auto _ : state) sink = node.r(kNumber).get();
    state.SetItemsProcessed(state.iterations());
}

void CppGetREc(benchmark::State &state) {
    const quor::node node = tree().top;
    std::error_code ec;
    for (auto _ : state) {
        sink = node.r(kNumber).get(ec);
        if (ec) state.SkipWithError("read failed");
    }
    state.SetItemsProcessed(state.iterations());
}

void CGetRHeld(benchmark::State &state) {
    SNodeCB_t *node = tree().top.get();
    if (quorEnterCriticalSectionBeforeRead(node, &node->nodeLatch) != QUOR_RC_OK)
        state.SkipWithError("section");
    for (auto _ : state) {
        int32_t value = 0;
        if (quorGetValueForRProperty(node, kNumber, &value, 1) != QUOR_RC_OK)
            state.SkipWithError("read failed");
        sink = value;
    }
    (void)quorExitCriticalSectionAfterRead(node, &node->nodeLatch);
    state.SetItemsProcessed(state.iterations());
}

void CppGetRHeld(benchmark::State &state) {
    quor::read_guard section(tree().top);
    const quor::node &node = *section;
    for (auto _ : state) sink = node.r(kNumber).get();
    state.SetItemsProcessed(state.iterations());
}

// Each pair alternates, repeated, so that drift on a shared machine touches both.
constexpr int kRepetitions = 10;
BENCHMARK(CGetR)->Name("c/get_r")->Repetitions(kRepetitions);
BENCHMARK(CppGetR)->Name("cpp/get_r")->Repetitions(kRepetitions);
BENCHMARK(CppGetREc)->Name("cpp/get_r_ec")->Repetitions(kRepetitions);
BENCHMARK(CGetRHeld)->Name("c/get_r_held")->Repetitions(kRepetitions);
BENCHMARK(CppGetRHeld)->Name("cpp/get_r_held")->Repetitions(kRepetitions);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    (void)tree();
    TimeReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto &t = reporter.times;
    std::printf("\nratios (same run):\n");
    const char *pairs[][2] = {
        {"cpp/get_r", "c/get_r"}, {"cpp/get_r_ec", "c/get_r"}, {"cpp/get_r_held", "c/get_r_held"}};
    for (auto &pair : pairs) {
        if (t.count(pair[0]) != 0 && t.count(pair[1]) != 0)
            std::printf("  %-16s / %-14s %.3f (target <= 1.05)\n", pair[0], pair[1], t[pair[0]] / t[pair[1]]);
    }
    benchmark::Shutdown();
    return 0;
}
