// Shared set-up of the C++ layer's suites: unique segment names that are
// unlinked whatever a test did, an initialised library, and trees built through
// the layer itself.
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "quor/host.h"
#include "quor/quor.hpp"
#include "support/process.h"

namespace quor_test {

inline constexpr uint64_t kSegmentSize = 1 << 20;

inline std::string segmentName(const std::string &label) {
    return "quor-cpp" + std::to_string(getpid()) + "-" + label;
}

// A node with an ID and the areas of `flags`, each with a little room.
inline quor::node_plan nodePlan(std::string_view id, uint64_t flags = 0) {
    quor::node_plan plan;
    NodeSpaceParams_t &s = plan.space;
    s.areaFlags = QUOR_KIND_ID | flags;
    s.maxIdSize = 32;
    s.rCount = s.vCount = s.irCount = s.ivCount = s.dependentCount = 8;
    s.vMaxVSize = s.ivMaxVSize = s.baseVMaxVSize = 32;
    s.irMaxIdSize = s.ivMaxIdSize = 16;
    plan.id = id;
    return plan;
}

// Runs body in a child process, killed after `seconds` (a section left held
// would block it for good); returns the child's status, -signal if it was killed.
inline int inChild(const std::function<int()> &body, unsigned seconds = 10) {
    return quor::test::waitChild(quor::test::spawn([&] {
        alarm(seconds);
        try {
            return body();
        } catch (const std::exception &e) {
            std::fprintf(stderr, "child: %s\n", e.what());
            return 100;
        }
    }));
}

// Runs body in a child that starts the library afresh, as an unrelated process
// would (the registry inherited from the parent is dropped, so the segment is
// mapped anew), and connects to the tree of segment `name`.
inline int inConnectedChild(const std::string &name, const std::function<int(const quor::node &top)> &body) {
    return inChild([&] {
        (void)QUORCleanup(QUOR_CLEANUP_FORCE);
        quor::library lib;
        quor::segment tree = quor::segment::connect(name);
        return body(tree.top());
    });
}

class CppTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (const std::string &n : names) shm_unlink(("/" + n).c_str());
    }

    std::string name(const std::string &label) {
        names.push_back(segmentName(label));
        return names.back();
    }

    // An active top node tagged `tag`, recorded as the segment's tree.
    static quor::node buildTop(quor::segment &seg, uint64_t tag, std::string_view id, uint64_t flags = 0) {
        quor::node top = seg.create_node(nodePlan(id, flags));
        top.set_tag(tag);
        top.activate();
        seg.set_top(top);
        return top;
    }

    quor::library lib;
    std::vector<std::string> names;
};

}  // namespace quor_test
