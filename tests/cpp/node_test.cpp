// Node handles, section guards and watchers over a tree in one segment.
#include <stdexcept>

#include "cpp_fixture.h"

namespace quor_test {
namespace {

using NodeTest = CppTest;

TEST_F(NodeTest, HandleReadsAndWritesTheNode) {
    quor::segment seg = quor::segment::create(name("handle"), kSegmentSize);
    quor::node top = buildTop(seg, 7, "top");
    EXPECT_EQ(top.tag(), 7u);
    EXPECT_EQ(top.id(), "top");
    EXPECT_EQ(top.condition(), quor::node_condition::active);
    EXPECT_EQ(top.size(), top.get()->nodeSize);
    EXPECT_EQ(seg.top().get(), top.get());

    top.set_id("renamed", 32);
    EXPECT_EQ(top.id(), "renamed");
    std::error_code ec;
    top.set_tag(QUOR_MAX_TAG + 1, ec);
    EXPECT_EQ(ec, quor::errc{QUOR_RC_SIZE_TOO_LARGE});
    EXPECT_EQ(top.tag(), 7u);

    // A locator of the node leads back to it.
    SNodeInfo_t locator = seg.locator(top);
    EXPECT_EQ(locator.tag, 7u);
    EXPECT_EQ(locator.idSize, 7u);
    EXPECT_EQ(quor::entry(&locator, "renamed").attach().get(), top.get());

    top.abandon();
    EXPECT_EQ(top.condition(), quor::node_condition::abandoned);
    quor::entry(&locator, "renamed").attach(ec);
    EXPECT_EQ(ec, quor::errc{QUOR_RC_NODE_ABANDONED});
    seg.remove();
}

TEST_F(NodeTest, NodeWhoseInitialisationFailsIsFreedAgain) {
    quor::segment seg = quor::segment::create(name("init"), kSegmentSize);
    ShmPoolInfo_t before{}, after{};
    ASSERT_EQ(quorGetShmPoolInfo(seg.get()->poolHandle, &before), QUOR_RC_OK);
    SNodeOptions_t options{};
    options.condition = 7;  // not one of the accepted condition options
    quor::node_plan plan = nodePlan("x");
    plan.options = &options;
    std::error_code ec;
    quor::node n = seg.create_node(plan, ec);
    EXPECT_EQ(ec, quor::errc{QUOR_RC_BAD_NODE_OPTION});
    EXPECT_FALSE(n);
    ASSERT_EQ(quorGetShmPoolInfo(seg.get()->poolHandle, &after), QUOR_RC_OK);
    EXPECT_EQ(after.allocCount, before.allocCount);
    EXPECT_EQ(after.freeBytes, before.freeBytes);
    seg.remove();
}

// Calls through a guard's handle pass inCriticalSection: under the latched model
// entering the section again would block, so these run in a child with a time limit.
TEST_F(NodeTest, GuardHandlesRunInsideTheSection) {
    quor::segment seg = quor::segment::create(name("guard"), kSegmentSize);
    quor::node top = buildTop(seg, 7, "top");
    ASSERT_EQ(top.get()->concurrencyModel, QUOR_CONCURRENCY_MODEL_LATCHED);
    EXPECT_EQ(inChild([&] {
                  {
                      quor::write_guard w(top);
                      if (!w->holds_section() || top.holds_section()) return 1;
                      w->set_tag(9);
                      if (w->tag() != 9 || w->id() != "top") return 2;
                  }
                  quor::read_guard r(top);
                  std::error_code ec;
                  r->set_tag(10, ec);  // a write under a read section
                  if (ec != std::errc::operation_not_permitted || r->tag() != 9) return 3;
                  quor::read_guard again(*r, ec);  // sections are not re-entrant
                  if (ec != std::errc::resource_deadlock_would_occur || again) return 4;
                  r->activate(ec);  // enters the write section itself
                  if (ec != std::errc::resource_deadlock_would_occur) return 5;
                  return 0;
              }),
              0);
    seg.remove();
}

TEST_F(NodeTest, GuardsReleaseOnExceptionsMovesAndUnlock) {
    quor::segment seg = quor::segment::create(name("release"), kSegmentSize);
    quor::node top = buildTop(seg, 7, "top");
    try {
        quor::write_guard w(top);
        throw std::runtime_error("work failed half-way");
    } catch (const std::runtime_error &) {
    }
    {
        quor::read_guard first(top);
        quor::read_guard moved = std::move(first);
        EXPECT_FALSE(first);
        EXPECT_TRUE(moved);
        moved.unlock();
        EXPECT_FALSE(moved);
    }
    // Another process takes the write section: it would block on a section left held.
    EXPECT_EQ(inChild([&] {
                  quor::write_guard w(top);
                  return w ? 0 : 1;
              }),
              0);
    std::error_code ec;
    quor::read_guard none;
    none.unlock(ec);  // nothing held, nothing to leave
    EXPECT_FALSE(ec);
    seg.remove();
}

TEST_F(NodeTest, WatcherSeesAnnouncedUpdates) {
    quor::segment seg = quor::segment::create(name("watch"), kSegmentSize);
    quor::node top = buildTop(seg, 7, "top");
    quor::watcher watch;
    top.mark_updated();
    EXPECT_TRUE(watch.current(top));
    EXPECT_FALSE(watch.current(top));  // nothing new since the last look
    top.mark_updated();
    EXPECT_TRUE(watch.current(top));

    top.disassociate();
    std::error_code ec;
    top.mark_updated(ec);
    EXPECT_EQ(ec, quor::errc{QUOR_RC_UPDATE_ON_DISASSOCIATED_NODE});
    EXPECT_FALSE(watch.current(top, ec));
    EXPECT_EQ(ec, quor::errc{QUOR_RC_UPDATE_ON_DISASSOCIATED_NODE});
    seg.remove();
}

}  // namespace
}  // namespace quor_test
