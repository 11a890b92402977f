// Parent, children and searches through the layer, over the tree
//   A(1) -> B(2) -> D(3)
//        -> C(3)
#include <iterator>
#include <string>
#include <vector>

#include "cpp/cpp_fixture.h"

namespace quor_test {
namespace {

class WalksTest : public CppTest {
protected:
    void SetUp() override {
        seg = quor::segment::create(name("walks"), kSegmentSize);
        a = buildTop(seg, 1, "A", QUOR_KIND_DEPENDENTS);
        b = addChild(a, 2, "B");
        c = addChild(a, 3, "C");
        d = addChild(b, 3, "D");
    }
    void TearDown() override {
        seg.remove(true);
        CppTest::TearDown();
    }

    quor::node addChild(const quor::node &parent, uint64_t tag, const std::string &id) {
        SNodeInfo_t up = seg.locator(parent);
        quor::node_plan plan = nodePlan(id, QUOR_KIND_DEPENDENTS | QUOR_KIND_PARENT);
        plan.parent = &up;
        plan.parent_id = parent.id();
        quor::node child = seg.create_node(plan);
        child.set_tag(tag);
        child.activate();
        SNodeInfo_t down = seg.locator(child);
        parent.add_child(down, id);
        return child;
    }

    static std::vector<std::string> ids(const quor::dependents &list) {
        std::vector<std::string> out;
        for (const quor::entry &e : list) out.emplace_back(e.id());
        return out;
    }

    quor::segment seg;
    quor::node a, b, c, d;
};

TEST_F(WalksTest, ChildrenAreTheDependentListInOrderWithHolesSkipped) {
    quor::dependents children = a.children();
    EXPECT_EQ(ids(children), (std::vector<std::string>{"B", "C"}));
    EXPECT_EQ(children.size(), 2u);
    EXPECT_EQ(children.begin()->attach().get(), b.get());
    EXPECT_TRUE(d.children().empty());

    a.remove_child(2, "B");  // leaves a hole before C
    EXPECT_EQ(ids(a.children()), (std::vector<std::string>{"C"}));
    SNodeInfo_t again = seg.locator(b);
    a.add_child(again, "B");  // fills the hole
    EXPECT_EQ(ids(a.children()), (std::vector<std::string>{"B", "C"}));

    std::error_code ec;
    a.add_child(again, "B", false, ec);
    EXPECT_EQ(ec, quor::errc{QUOR_RC_DUPLICATE_DEPENDENT});
    {
        quor::read_guard r(a);  // a stable list while walking it
        EXPECT_EQ(ids(r->children()), (std::vector<std::string>{"B", "C"}));
        r->add_child(again, "B", true, ec);
        EXPECT_EQ(ec, std::errc::operation_not_permitted);
    }
}

TEST_F(WalksTest, AnEntryWhoseIdRunsOffItsListEndsTheWalkWithACode) {
    quor::dependents children = a.children();
    SNodeInfo_t *second = std::next(children.begin())->locator();
    second->idSize = QUOR_MAX_ID_SIZE + 1;
    std::error_code ec;
    std::vector<std::string> seen;
    for (const quor::entry &e : a.children(ec)) seen.emplace_back(e.id());
    EXPECT_EQ(seen, (std::vector<std::string>{"B"}));
    EXPECT_EQ(ec, quor::errc{QUOR_RC_ID_OUT_OF_AREA});
    try {
        for (const quor::entry &e : a.children()) (void)e;
        ADD_FAILURE() << "no exception";
    } catch (const std::system_error &e) {
        EXPECT_EQ(e.code(), quor::errc{QUOR_RC_ID_OUT_OF_AREA});
    }
}

TEST_F(WalksTest, ParentLeadsBack) {
    quor::entry up = d.parent();
    EXPECT_EQ(up.id(), "B");
    EXPECT_EQ(up.tag(), 2u);
    EXPECT_EQ(up.attach().get(), b.get());
}

TEST_F(WalksTest, SearchesFindByPathTagAndId) {
    EXPECT_EQ(a.find({{2, "B"}, {3, "D"}}).attach().get(), d.get());
    EXPECT_EQ(a.find({{3, ""}}).id(), "C");  // an empty ID matches on the tag alone
    // Depth-first: B's subtree comes before C.
    EXPECT_EQ(a.find_soft(3).id(), "D");
    EXPECT_EQ(a.find_soft(3, "C").id(), "C");
    EXPECT_EQ(a.find_soft(3, {}, 1).id(), "C");  // depth 1: children only

    quor::tag_matches tagged = a.find_by_tag(3, 1);
    EXPECT_EQ(tagged.total, 2u);
    ASSERT_EQ(tagged.found.size(), 1u);
    EXPECT_EQ(tagged.found[0].id(), "D");

    std::error_code ec;
    EXPECT_FALSE(a.find({{2, "B"}, {3, "X"}}, ec));
    EXPECT_EQ(ec, quor::errc{QUOR_RC_NODE_NOT_FOUND});
    (void)a.find_soft(1, {}, 0, ec);  // the start node is never reported
    EXPECT_EQ(ec, quor::errc{QUOR_RC_NODE_NOT_FOUND});
    {
        quor::read_guard r(a);  // the searches take the start node's section themselves
        (void)r->find_soft(3, {}, 0, ec);
        EXPECT_EQ(ec, std::errc::resource_deadlock_would_occur);
    }
}

TEST_F(WalksTest, PathTheLibraryBuildsIsFollowedAndReleased) {
    const uint64_t before = hostMemLiveBlocks(nullptr);
    {
        quor::search_path path(seg, {{2, "B"}, {3, "D"}});
        EXPECT_EQ(path.size(), 2u);
        quor::search_path moved = std::move(path);
        EXPECT_EQ(path.size(), 0u);
        EXPECT_EQ(a.find(moved).attach().get(), d.get());
        std::error_code ec;
        EXPECT_FALSE(a.find(path, ec));  // moved from: no path left
        EXPECT_EQ(ec, quor::errc{QUOR_RC_NULL_PATH});
    }
    EXPECT_EQ(hostMemLiveBlocks(nullptr), before);
    std::error_code ec;
    quor::search_path tooLong(seg, {{2, "B"}}, QUOR_MAX_ID_SIZE + 1, ec);
    EXPECT_EQ(ec, quor::errc{QUOR_RC_MAX_ID_SIZE_TOO_LARGE});
    EXPECT_EQ(hostMemLiveBlocks(nullptr), before);
}

TEST_F(WalksTest, TotalsCountTheSubtreeByCondition) {
    const uint64_t bytes = a.size() + b.size() + c.size() + d.size(), abandoned = c.size();
    c.abandon();
    quor::tree_totals all = a.totals(seg, 3);
    EXPECT_EQ(all.all.nodes, 4u);
    EXPECT_EQ(all.all.bytes, bytes);
    EXPECT_EQ(all.active.nodes, 3u);
    EXPECT_EQ(all[quor::node_condition::abandoned].nodes, 1u);
    EXPECT_EQ(all.abandoned.bytes, abandoned);
    EXPECT_EQ(all.nodes_with_tag, 2u);
    EXPECT_EQ(a.totals(seg, 0, 1).all.nodes, 1u);  // depth 1: the node alone
}

TEST_F(WalksTest, SecondProcessWalksTheTree) {
    EXPECT_EQ(inConnectedChild(std::string(seg.name()),
                               [](const quor::node &top) {
                                   std::vector<std::string> seen;
                                   for (const quor::entry &e : top.children())
                                       seen.emplace_back(e.attach().id());
                                   if (seen != std::vector<std::string>{"B", "C"}) return 1;
                                   quor::node found = top.find({{2, "B"}, {3, "D"}}).attach();
                                   if (found.id() != "D" || found.parent().attach().id() != "B") return 2;
                                   return 0;
                               }),
              0);
}

}  // namespace
}  // namespace quor_test
