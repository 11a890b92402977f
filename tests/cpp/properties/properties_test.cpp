// Typed properties through the layer: one suite over the six kinds, then
// listings, sections and a second process.
#include <algorithm>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "cpp/cpp_fixture.h"

namespace quor_test {
namespace {

using quor::kind::BaseR;
using quor::kind::BaseV;
using quor::kind::IR;
using quor::kind::IV;
using quor::kind::R;
using quor::kind::V;

constexpr uint64_t kAllKinds =
    QUOR_KIND_R | QUOR_KIND_V | QUOR_KIND_IR | QUOR_KIND_IV | QUOR_KIND_BASER | QUOR_KIND_BASEV;

// Per kind: the property used, one that does not exist, two values and the
// kind's not-found code.
template <class K>
struct Sample;
template <>
struct Sample<R> {
    static auto of(const quor::node &n) { return n.r(5); }
    static auto absent(const quor::node &n) { return n.r(6); }
    static int32_t first() { return 7; }
    static int32_t second() { return -1; }
    static constexpr uint32_t notFound = QUOR_RC_R_NOT_FOUND;
};
template <>
struct Sample<BaseR> : Sample<R> {
    static auto of(const quor::node &n) { return n.base_r(5); }
    static auto absent(const quor::node &n) { return n.base_r(6); }
    static constexpr uint32_t notFound = QUOR_RC_BASER_NOT_FOUND;
};
template <>
struct Sample<IR> : Sample<R> {
    static auto of(const quor::node &n) { return n.ir(5, "ab"); }
    static auto absent(const quor::node &n) { return n.ir(5, "ac"); }
    static constexpr uint32_t notFound = QUOR_RC_IR_NOT_FOUND;
};
template <>
struct Sample<V> {
    static auto of(const quor::node &n) { return n.v(5); }
    static auto absent(const quor::node &n) { return n.v(6); }
    static std::string_view first() { return "abc"; }
    static std::string_view second() { return std::string_view("w\0xyz", 5); }  // bytes, not text
    static constexpr uint32_t notFound = QUOR_RC_V_NOT_FOUND;
};
template <>
struct Sample<BaseV> : Sample<V> {
    static auto of(const quor::node &n) { return n.base_v(5); }
    static auto absent(const quor::node &n) { return n.base_v(6); }
    static constexpr uint32_t notFound = QUOR_RC_BASEV_NOT_FOUND;
};
template <>
struct Sample<IV> : Sample<V> {
    static auto of(const quor::node &n) { return n.iv(5, "ab"); }
    static auto absent(const quor::node &n) { return n.iv(6, "ab"); }
    static constexpr uint32_t notFound = QUOR_RC_IV_NOT_FOUND;
};

// A segment whose active top node has every property area, every list formatted.
class PropertyTest : public CppTest {
protected:
    void SetUp() override {
        seg = quor::segment::create(name("props"), kSegmentSize);
        top = buildTop(seg, 1, "top", kAllKinds);
        top.create_r_list(8);
        top.create_v_list(8, 32);
        top.create_ir_list(8, 16);
        top.create_iv_list(8, 16, 32);
    }
    void TearDown() override {
        seg.remove(true);
        CppTest::TearDown();
    }

    template <class K>
    void make(const quor::node &n, typename quor::property<K>::argument_type value) {
        if constexpr (std::is_same_v<K, BaseV>) {
            n.create_base_v(5, value, 16);
        } else {
            Sample<K>::of(n).add(value);
        }
    }

    quor::segment seg;
    quor::node top;
};

template <class K>
class PropertyKinds : public PropertyTest {};
using Kinds = ::testing::Types<R, V, IR, IV, BaseR, BaseV>;
TYPED_TEST_SUITE(PropertyKinds, Kinds);

TYPED_TEST(PropertyKinds, ValueAndRcRoundTrip) {
    using S = Sample<TypeParam>;
    const quor::node &n = this->top;
    this->template make<TypeParam>(n, S::first());
    auto p = S::of(n);
    EXPECT_EQ(p.get(), S::first());
    p.set(S::second());
    EXPECT_EQ(p.get(), S::second());
    EXPECT_EQ(p.rc(), 0u);
    p.set_rc(~uint64_t{0});
    EXPECT_EQ(p.rc(), ~uint64_t{0});

    {
        // Value and RC together through the located record, under one section.
        quor::write_guard w(n);
        quor::record<TypeParam> rec = S::of(*w).locate();
        auto both = rec.read();
        EXPECT_EQ(both.value, S::second());
        EXPECT_EQ(both.rc, ~uint64_t{0});
        rec.write(S::first(), 3);
    }
    EXPECT_EQ(p.get(), S::first());
    EXPECT_EQ(p.rc(), 3u);

    std::error_code ec;
    (void)S::absent(n).get(ec);
    EXPECT_EQ(ec, quor::errc{S::notFound});
    p.remove();
    (void)p.rc(ec);
    EXPECT_EQ(ec, quor::errc{S::notFound});
}

TYPED_TEST(PropertyKinds, SectionsDecideWhatAHandleMayDo) {
    using S = Sample<TypeParam>;
    const quor::node &n = this->top;
    this->template make<TypeParam>(n, S::first());
    std::error_code ec;
    (void)S::of(n).locate(ec);  // a record is only meaningful under a section
    EXPECT_EQ(ec, std::errc::operation_not_permitted);
    quor::read_guard r(n);
    EXPECT_EQ(S::of(*r).get(), S::first());
    S::of(*r).set(S::second(), ec);
    EXPECT_EQ(ec, std::errc::operation_not_permitted);
    S::of(*r).set_rc(1, ec);
    EXPECT_EQ(ec, std::errc::operation_not_permitted);
    if constexpr (!quor::traits<TypeParam>::integer) {
        EXPECT_EQ(S::of(*r).view().str(), S::first());  // in place, under the guard
        (void)S::of(n).view(ec);
        EXPECT_EQ(ec, std::errc::operation_not_permitted);
    }
}

TEST_F(PropertyTest, ListsAndCountsInBothLayouts) {
    for (quor::list_layout layout : {quor::list_layout::flat, quor::list_layout::hashed}) {
        SCOPED_TRACE(static_cast<int>(layout));
        quor::node_plan plan = nodePlan("lists", kAllKinds);
        plan.space.rHashMode = plan.space.vHashMode = plan.space.irHashMode = static_cast<uint32_t>(layout);
        plan.space.irTagTableSize = 4;
        plan.space.irIdTableSize = 8;
        quor::node node = seg.create_node(plan);
        node.activate();
        node.create_r_list(8, layout);
        node.create_v_list(8, 32, layout);
        node.create_ir_list(8, 16, layout, 4, 8);
        EXPECT_TRUE(node.list<R>().empty());
        for (uint64_t number : {9, 5}) node.r(number).add(0);
        std::vector<uint64_t> numbers;
        for (const quor::listed_property &p : node.list<R>()) numbers.push_back(p.key);
        std::sort(numbers.begin(), numbers.end());
        EXPECT_EQ(numbers, (std::vector<uint64_t>{5, 9}));
        EXPECT_EQ(node.count<R>().count, 2u);
        EXPECT_GE(node.count<R>().capacity, 8u);
        EXPECT_EQ(node.count<R>(9), 1u);

        node.v(3).add("four");
        std::vector<quor::listed_property> values = node.list<V>();
        ASSERT_EQ(values.size(), 1u);
        EXPECT_EQ(values[0].key, 3u);
        EXPECT_EQ(values[0].value_size, 4u);

        node.ir(5, "a").add(1);
        node.ir(5, "bb").add(2);
        node.ir(6, "c").add(3);
        std::vector<std::string> ids;
        for (const quor::listed_property &p : node.list<IR>(5)) ids.push_back(p.id);
        std::sort(ids.begin(), ids.end());
        EXPECT_EQ(ids, (std::vector<std::string>{"a", "bb"}));
        EXPECT_EQ(node.count<IR>(6), 1u);
        EXPECT_EQ(node.list<IR>().size(), 3u);
    }
}

TEST_F(PropertyTest, SecondProcessReadsAndWritesProperties) {
    top.r(10).add(42);
    top.v(3).add("running");
    EXPECT_EQ(inConnectedChild(std::string(seg.name()),
                               [](const quor::node &node) {
                                   {
                                       quor::read_guard r(node);
                                       if (r->r(10).get() != 42 || r->v(3).get() != "running") return 1;
                                   }
                                   node.r(10).set(43);
                                   node.v(3).set("stopped");
                                   return 0;
                               }),
              0);
    EXPECT_EQ(top.r(10).get(), 43);
    EXPECT_EQ(top.v(3).get(), "stopped");
}

}  // namespace
}  // namespace quor_test
