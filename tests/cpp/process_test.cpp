// The layer used as a host product uses it: one process builds the tree, another
// connects and reads it.
#include "cpp_fixture.h"

namespace quor_test {
namespace {

using ProcessTest = CppTest;

TEST_F(ProcessTest, SecondProcessConnectsAndReads) {
    const std::string n = name("tree");
    quor::segment seg = quor::segment::create(n, kSegmentSize);
    quor::node top = buildTop(seg, 42, "plant");

    EXPECT_EQ(inConnectedChild(n,
                               [&](const quor::node &mine) {
                                   {
                                       quor::read_guard r(mine);
                                       if (r->tag() != 42 || r->id() != "plant") return 2;
                                   }
                                   mine.set_id("plant-seen", 32);
                                   return 0;
                               }),
              0);
    EXPECT_EQ(top.id(), "plant-seen");
    seg.remove();
}

}  // namespace
}  // namespace quor_test
