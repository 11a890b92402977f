// Adding, deleting and locating, one suite over the four table kinds on flat and
// hashed areas.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "props_fixture.h"
#include "tree/access.h"

namespace quor::test {
namespace {

using props::IRKind, props::IVKind, props::RKind, props::VKind;

template <class A>
class Membership : public ::testing::Test {
protected:
    using Record = typename A::Kind::Record;
    static constexpr uint64_t kCount = 12;

    void SetUp() override {
        node = A::sizedNode(kCount);
        ASSERT_NE(node, nullptr);
        ASSERT_EQ(A::create(node, kCount), QUOR_RC_OK);
    }

    void expectConsistent(uint64_t liveExpected) {
        uint64_t live = 0;
        ASSERT_TRUE(consistent<typename A::Kind>(node, &live));
        EXPECT_EQ(live, liveExpected);
    }

    uint64_t used() const { return usedOf(node, A::Kind::bit); }

    SNodeCB_t *node = nullptr;
};

using Adapters = ::testing::Types<Adapter<RKind, QUOR_LIST_FLAT>, Adapter<RKind, QUOR_LIST_HASHED>,
                                  Adapter<VKind, QUOR_LIST_FLAT>, Adapter<VKind, QUOR_LIST_HASHED>,
                                  Adapter<IRKind, QUOR_LIST_FLAT>, Adapter<IRKind, QUOR_LIST_HASHED>,
                                  Adapter<IVKind, QUOR_LIST_FLAT>, Adapter<IVKind, QUOR_LIST_HASHED>>;
TYPED_TEST_SUITE(Membership, Adapters);

// Every add and delete moves usedSize by one unit and the counter by one; a
// duplicate and an absent key move neither; every property is found with its
// key and value.
TYPED_TEST(Membership, AddsDeletesAndLocates) {
    using A = TypeParam;
    using K = typename A::Kind;
    SNodeCB_t *node = this->node;
    const uint64_t empty = this->used();
    for (uint64_t key = 1; key <= this->kCount; ++key) {
        const int32_t before = reconfig(node);
        ASSERT_EQ(A::add(node, key), QUOR_RC_OK) << key;
        EXPECT_EQ(reconfig(node), before + 1);
        EXPECT_EQ(this->used(), empty + key * A::unit());
    }
    this->expectConsistent(this->kCount);

    const uint64_t full = this->used();
    const int32_t counter = reconfig(node);
    EXPECT_EQ(A::add(node, 7), K::codes.duplicate);
    EXPECT_EQ(A::remove(node, this->kCount + 5), A::hashed ? K::codes.notInHashTable : K::codes.notFound);
    EXPECT_EQ(this->used(), full);
    EXPECT_EQ(reconfig(node), counter);

    for (uint64_t key = 1; key <= this->kCount; ++key) {
        typename K::Record *record = nullptr;
        ASSERT_EQ(A::locate(node, key, &record), QUOR_RC_OK) << key;
        EXPECT_TRUE(A::holds(node, *record, key)) << key;
    }
    for (uint64_t key = 2; key <= this->kCount; key += 2) ASSERT_EQ(A::remove(node, key), QUOR_RC_OK) << key;
    EXPECT_EQ(reconfig(node), counter + static_cast<int32_t>(this->kCount / 2));
    this->expectConsistent(this->kCount / 2);
    typename K::Record *record = nullptr;
    EXPECT_EQ(A::locate(node, 4, &record), K::codes.notFound);
    EXPECT_EQ(A::locate(node, 5, &record), QUOR_RC_OK);

    // Re-adding fills the room the deletes gave back, and nothing else.
    for (uint64_t key = 2; key <= this->kCount; key += 2)
        ASSERT_EQ(A::add(node, key + 100), QUOR_RC_OK) << key;
    EXPECT_EQ(this->used(), full);
    this->expectConsistent(this->kCount);
}

// A node that is being defined (condition 2) takes its list but refuses
// changes and look-ups; an abandoned one refuses them too.
TYPED_TEST(Membership, ConditionGatesChangesNotCreation) {
    using A = TypeParam;
    SNodeCB_t *node = A::sizedNode(4, QUOR_NODE_INITIALIZED);
    ASSERT_EQ(A::create(node, 4), QUOR_RC_OK);
    typename A::Kind::Record *record = nullptr;
    EXPECT_EQ(A::add(node, 1), QUOR_RC_NODE_NOT_ACTIVE);
    EXPECT_EQ(A::remove(node, 1), QUOR_RC_NODE_NOT_ACTIVE);
    EXPECT_EQ(A::locate(node, 1, &record), QUOR_RC_NODE_NOT_ACTIVE);
    EXPECT_EQ(reconfig(node), 0);
    node->NodeCondition = QUOR_NODE_DISASSOCIATED;
    EXPECT_EQ(A::add(node, 1), QUOR_RC_OK);
    node->NodeCondition = QUOR_NODE_ABANDONED;
    EXPECT_EQ(A::remove(node, 1), QUOR_RC_NODE_ABANDONED);
}

// A caller that holds the node's write section adds and deletes without
// waiting for itself (the latched model would block a second entry).
TYPED_TEST(Membership, HolderOfTheSectionDoesNotLockAgainstItself) {
    using A = TypeParam;
    SNodeCB_t *node = this->node;
    ASSERT_EQ(node->concurrencyModel, QUOR_CONCURRENCY_MODEL_LATCHED);
    ASSERT_EQ(quorEnterCriticalSectionBeforeWrite(node, &node->nodeLatch), QUOR_RC_OK);
    EXPECT_EQ(A::add(node, 3, 1), QUOR_RC_OK);
    EXPECT_EQ(A::remove(node, 3, 1), QUOR_RC_OK);
    EXPECT_EQ(A::create(node, this->kCount, 1), QUOR_RC_OK);
    ASSERT_EQ(quorExitCriticalSectionAfterWrite(node, &node->nodeLatch), QUOR_RC_OK);
    this->expectConsistent(0);
}

// The area the sizing gives holds the list its creation plans for: every slot
// can be filled, and one more is refused without a change.
TYPED_TEST(Membership, SizedAreaHoldsItsPlannedCount) {
    using A = TypeParam;
    using K = typename A::Kind;
    for (uint64_t count : {0u, 1u, 2u}) {
        SNodeCB_t *node = A::sizedNode(count);
        ASSERT_EQ(A::create(node, count), QUOR_RC_OK) << count;
        uint64_t capacity = count;
        if constexpr (A::hashed) capacity = tree::primeAtLeast(count);  // a full table of LL nodes
        for (uint64_t key = 1; key <= capacity; ++key) ASSERT_EQ(A::add(node, key), QUOR_RC_OK) << count;
        const uint64_t used = usedOf(node, K::bit);
        const int32_t counter = reconfig(node);
        EXPECT_EQ(A::add(node, capacity + 1), A::hashed ? QUOR_RC_NO_FREE_SPACE : K::codes.listFull) << count;
        EXPECT_EQ(usedOf(node, K::bit), used);
        EXPECT_EQ(reconfig(node), counter);
    }
}


// A full table empties one delete at a time and fills again, in the area the
// sizing gives and in the smallest area its creation accepts. In the smallest
// one the memory stack has no room of its own: each freed entry lands in an
// LL node that is no longer live, so a delete whose entry would fall on a live
// node is refused whole, while the topmost live node can always be freed.
TYPED_TEST(Membership, FullTablesEmptyAndFillAgain) {
    using A = TypeParam;
    using K = typename A::Kind;
    constexpr uint64_t kPlanned = 10;
    const uint64_t capacity = A::hashed ? tree::primeAtLeast(kPlanned) : kPlanned;
    auto fill = [&](SNodeCB_t *node, uint64_t first) {
        for (uint64_t key = first; key < first + capacity; ++key) ASSERT_EQ(A::add(node, key), QUOR_RC_OK) << key;
        EXPECT_EQ(A::add(node, first + capacity), A::hashed ? QUOR_RC_NO_FREE_SPACE : K::codes.listFull);
        uint64_t live = 0;
        ASSERT_TRUE(consistent<K>(node, &live));
        EXPECT_EQ(live, capacity);
    };
    auto empty = [&](SNodeCB_t *node, const std::vector<uint64_t> &keys) {
        for (uint64_t key : keys) {
            ASSERT_EQ(A::remove(node, key), QUOR_RC_OK) << key;
            uint64_t live = 0;
            ASSERT_TRUE(consistent<K>(node, &live)) << key;
        }
        uint64_t live = 9;
        ASSERT_TRUE(consistent<K>(node, &live));
        EXPECT_EQ(live, 0u);
    };
    // The keys from first on, topmost record first.
    auto topDown = [&](SNodeCB_t *node, uint64_t first) {
        std::vector<std::pair<uintptr_t, uint64_t>> at;
        for (uint64_t key = first; key < first + capacity; ++key) {
            typename K::Record *record = nullptr;
            EXPECT_EQ(A::locate(node, key, &record), QUOR_RC_OK);
            at.emplace_back(reinterpret_cast<uintptr_t>(record), key);
        }
        std::sort(at.rbegin(), at.rend());
        std::vector<uint64_t> keys;
        for (auto &[address, key] : at) keys.push_back(key);
        return keys;
    };

    for (bool smallest : {false, true}) {
        if (smallest && !A::hashed) continue;
        for (bool bottomUp : {true, false}) {
            SNodeCB_t *node = nullptr;
            if (smallest) {
                const uint64_t t = capacity, buckets = K::tables == 3 ? t + tree::primeAtLeast(5) + t : t;
                node = nodeWithArea(K::bit, props::hashedRoom<K>(t, buckets, kMaxId, kMaxV));
            } else {
                node = A::sizedNode(kPlanned);
            }
            ASSERT_NE(node, nullptr);
            ASSERT_EQ(A::create(node, kPlanned), QUOR_RC_OK);
            fill(node, 1);
            std::vector<uint64_t> keys = topDown(node, 1);
            if (bottomUp) {
                std::reverse(keys.begin(), keys.end());
                if (smallest) {
                    // The lowest node's entry would fall on the topmost, still live.
                    const uint64_t used = usedOf(node, K::bit);
                    const int32_t counter = reconfig(node);
                    EXPECT_EQ(A::remove(node, keys.front()), QUOR_RC_NO_ROOM_FOR_FREED_ENTRY);
                    EXPECT_EQ(usedOf(node, K::bit), used);
                    EXPECT_EQ(reconfig(node), counter);
                    std::rotate(keys.rbegin(), keys.rbegin() + 1, keys.rend());  // the topmost first
                }
            }
            empty(node, keys);
            fill(node, 101);
            empty(node, topDown(node, 101));
            fill(node, 201);
        }
    }
}

}  // namespace
}  // namespace quor::test
