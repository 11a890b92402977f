// Nodes with property areas, one adapter per (kind, layout) that drives the
// exported operations by an integer key, and a checker that walks an area end
// to end and proves its bookkeeping.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "props/locate.h"
#include "props/table.h"
#include "quor/host.h"
#include "quor/quor.h"
#include "support/process.h"
#include "tree/sizing.h"

namespace quor::test {

using Sizes = std::array<uint64_t, 64>;

// A node laid out like a created one, in anonymous shared memory (forked
// children see the same bytes), with the given area sizes and condition.
inline SNodeCB_t *makePropsNode(const Sizes &sizes, uint64_t flags, uint32_t condition = QUOR_NODE_ACTIVE) {
    uint64_t total = 0;
    if (tree::nodeTotalSize(sizes.data(), &total) != 0) return nullptr;
    auto *node = static_cast<SNodeCB_t *>(sharedScratch(total));
    if (tree::layOutNode(node, total, flags, sizes.data(), QUOR_EYECATCHER) != 0) return nullptr;
    node->NodeCondition = condition;
    return node;
}

// A node with one area of `kind` of exactly `areaSize` bytes.
inline SNodeCB_t *nodeWithArea(uint64_t kind, uint64_t areaSize, uint32_t condition = QUOR_NODE_ACTIVE) {
    Sizes sizes{};
    sizes[tree::areaBitNumber(kind) - 1] = areaSize;
    return makePropsNode(sizes, kind, condition);
}

inline int32_t reconfig(SNodeCB_t *node) {
    int32_t value = 0;
    hostAtomicAdd(node->ReconfigCounter, 0, &value);
    return value;
}

inline uint64_t usedOf(SNodeCB_t *node, uint64_t kind) {
    return node->areaDirectory[tree::areaBitNumber(kind) - 1].usedSize;
}

// ---- the kinds, driven by an integer key ----

// Maxima every adapter formats its area with.
inline constexpr uint64_t kMaxId = 16, kMaxV = 16;

// A key's ID for the tagged kinds: tags repeat every 5 keys, so tag chains hold
// several nodes, and ID lengths vary.
inline std::string idOf(uint64_t key) { return "i" + std::to_string(key * 37); }
inline uint64_t tagOf(uint64_t key) { return key % 5 + 1; }
inline std::string valueOf(uint64_t key) { return "value-" + std::to_string(key); }

template <class K, uint32_t Mode>
struct Adapter {
    using Kind = K;
    static constexpr uint32_t mode = Mode;
    static constexpr bool hashed = Mode == QUOR_LIST_HASHED;

    // The area the library sizes for `count` properties.
    static SNodeCB_t *sizedNode(uint64_t count, uint32_t condition = QUOR_NODE_ACTIVE) {
        Sizes sizes{};
        uint64_t total = 0;
        const uint64_t r = std::is_same_v<K, props::RKind> ? count : 0,
                       v = std::is_same_v<K, props::VKind> ? count : 0;
        const uint64_t ir = std::is_same_v<K, props::IRKind> ? count : 0;
        const uint64_t iv = std::is_same_v<K, props::IVKind> ? count : 0;
        EXPECT_EQ(quorCreateMaxSpaceArray(K::bit, r, v, ir, iv, 0, 0, 1, kMaxV, kMaxId, kMaxId, kMaxV, Mode,
                                          Mode, Mode, Mode, 5, count, 5, count, sizes.data(), &total),
                  QUOR_RC_OK);
        return makePropsNode(sizes, K::bit, condition);
    }

    static uint32_t create(SNodeCB_t *node, uint64_t maxCount, uint32_t inCs = 0) {
        if constexpr (std::is_same_v<K, props::RKind>)
            return quorCreateRPropertyList(node, nullptr, nullptr, 0, maxCount, Mode, inCs);
        else if constexpr (std::is_same_v<K, props::VKind>)
            return quorCreateVPropertyList(node, nullptr, nullptr, nullptr, kMaxV, 0, maxCount, Mode, inCs);
        else if constexpr (std::is_same_v<K, props::IRKind>)
            return quorCreateIRPropertyList(node, nullptr, nullptr, nullptr, nullptr, kMaxId, 0, 5, maxCount,
                                            maxCount, Mode, inCs);
        else
            return quorCreateIVPropertyList(node, nullptr, nullptr, nullptr, kMaxId, nullptr, nullptr, kMaxV,
                                            0, 5, maxCount, maxCount, Mode, inCs);
    }

    static uint32_t add(SNodeCB_t *node, uint64_t key, uint32_t inCs = 0) {
        const std::string id = idOf(key), value = valueOf(key);
        if constexpr (std::is_same_v<K, props::RKind>)
            return quorAddRProperty(node, key, static_cast<int32_t>(key * 3), inCs);
        else if constexpr (std::is_same_v<K, props::VKind>)
            return quorAddVProperty(node, key, value.size(), value.data(), inCs);
        else if constexpr (std::is_same_v<K, props::IRKind>)
            return quorAddIRProperty(node, tagOf(key), id.size(), id.data(), static_cast<int32_t>(key), inCs);
        else
            return quorAddIVProperty(node, tagOf(key), id.size(), id.data(), value.size(), value.data(),
                                     inCs);
    }

    static uint32_t remove(SNodeCB_t *node, uint64_t key, uint32_t inCs = 0) {
        const std::string id = idOf(key);
        if constexpr (std::is_same_v<K, props::RKind>)
            return quorDeleteRProperty(node, key, inCs);
        else if constexpr (std::is_same_v<K, props::VKind>)
            return quorDeleteVProperty(node, key, inCs);
        else if constexpr (std::is_same_v<K, props::IRKind>)
            return quorDeleteIRProperty(node, tagOf(key), id.size(), id.data(), inCs);
        else
            return quorDeleteIVProperty(node, tagOf(key), id.size(), id.data(), inCs);
    }

    static uint32_t locate(SNodeCB_t *node, uint64_t key, typename K::Record **out) {
        const std::string id = idOf(key);
        if constexpr (std::is_same_v<K, props::RKind>)
            return quorGetAddressForRProperty(node, key, out);
        else if constexpr (std::is_same_v<K, props::VKind>)
            return quorGetAddressForVProperty(node, key, out);
        else if constexpr (std::is_same_v<K, props::IRKind>)
            return quorGetAddressForIRProperty(node, tagOf(key), id.size(), id.data(), out);
        else
            return quorGetAddressForIVProperty(node, tagOf(key), id.size(), id.data(), out);
    }

    // The record carries the key's number or (tag, ID) and value.
    static bool holds(SNodeCB_t *node, const typename K::Record &record, uint64_t key) {
        const auto *base = reinterpret_cast<const char *>(node);
        if constexpr (K::tagged) {
            const std::string id = idOf(key);
            if (record.tag != tagOf(key) || record.idLength != id.size()) return false;
            if (std::memcmp(base + record.idOffset, id.data(), id.size()) != 0) return false;
        } else {
            if (record.number != key) return false;
        }
        if constexpr (K::bytesValue) {
            const std::string value = valueOf(key);
            return record.valueSize == value.size() &&
                   std::memcmp(base + record.valueOffset, value.data(), value.size()) == 0;
        } else {
            int32_t value = 0;
            hostAtomicAdd(const_cast<uint8_t *>(record.value), 0, &value);
            return value == static_cast<int32_t>(std::is_same_v<K, props::RKind> ? key * 3 : key);
        }
    }

    // What one more property adds to usedSize.
    static uint64_t unit() {
        return hashed ? props::llNodeSize<K>(kMaxId, kMaxV) : props::recordSize<K>(kMaxId, kMaxV);
    }
};

// ---- the checker ----

// Walks an area and proves: every chain sorted, each record in the bucket its
// key hashes to, the tag and ID chains doubly linked and holding exactly the
// live nodes, the memory stack naming only dead LL nodes below the next free
// offset, and usedSize equal to header + buckets + stack + live nodes (hashed)
// or header + live records (flat). *live receives the live count.
template <class K>
::testing::AssertionResult consistent(SNodeCB_t *node, uint64_t *live) {
    using props::Key;
    props::PropertyArea<K> area;
    if (uint32_t rc = area.open(node); rc != 0)
        return ::testing::AssertionFailure() << "open " << std::hex << rc;
    *live = 0;
    if (!area.hashed()) {
        props::FlatEnd end;
        uint32_t rc = props::walkFlat(
            area, [&](uint64_t, typename K::Record &, bool *) { return ++*live, 0u; }, [](uint64_t) {}, &end);
        if (rc != 0) return ::testing::AssertionFailure() << "flat walk " << std::hex << rc;
        if (area.used() != K::header.flatSize + *live * area.recordSize())
            return ::testing::AssertionFailure() << "flat usedSize " << area.used() << " for " << *live;
        return ::testing::AssertionSuccess();
    }
    std::set<uint64_t> nodes;
    auto keyOf = [&](const typename K::Record &r) {
        if constexpr (K::tagged)
            return Key{r.tag, r.idLength, area.idBytes(r, r.idLength)};
        else
            return Key{r.number};
    };
    uint64_t previousBucket = ~uint64_t{0};
    Key previous;
    std::string failure;
    uint32_t rc = props::walkChains(area, [&](uint64_t at, typename K::LLNode &ll, bool *) {
        const Key key = keyOf(ll.record);
        const uint64_t b = props::keyBucket(area, key);
        if (!nodes.insert(at).second) failure = "node twice";
        if (b == previousBucket) {
            int order = 0;
            props::compareRecord(area, ll.record, previous, &order);
            if (order <= 0) failure = "chain not sorted";
        }
        previousBucket = b, previous = key;
        if (*area.bucket(0, b) == 0) failure = "record in an empty bucket";
        return 0u;
    });
    if (rc != 0) return ::testing::AssertionFailure() << "chain walk " << std::hex << rc;
    if (!failure.empty()) return ::testing::AssertionFailure() << failure;
    *live = nodes.size();
    if constexpr (K::tagged) {
        for (const auto &chain : {props::kTagChain<K>, props::kIdChain<K>}) {
            uint64_t seen = 0;
            for (uint64_t b = 0; b < area.tableSize(chain.table); ++b) {
                uint64_t field = area.bucketOffset(chain.table, b);
                for (uint64_t pair = *area.bucket(chain.table, b); pair != 0; ++seen) {
                    auto *ll = props::pairOwner(area, chain, pair);
                    if (ll == nullptr || nodes.count(pair - chain.pairAt) == 0 || seen > nodes.size())
                        return ::testing::AssertionFailure() << "side chain names a dead node";
                    if (ll->*chain.prev != field) return ::testing::AssertionFailure() << "side chain prev";
                    field = pair;
                    pair = ll->*chain.next;
                }
            }
            if (seen != nodes.size()) return ::testing::AssertionFailure() << "side chain holds " << seen;
        }
    }
    props::MemoryStack<K> stack(area);
    if (stack.read() != 0) return ::testing::AssertionFailure() << "freed count";
    const uint64_t nextFree = *area.nextFreeWord();
    for (uint64_t i = 0; i < stack.count(); ++i) {
        const uint64_t freed = *area.freedEntry(i);
        if (nodes.count(freed) != 0 || area.llNode(freed) == nullptr || freed >= nextFree)
            return ::testing::AssertionFailure() << "stack entry " << i;
    }
    for (uint64_t at : nodes) {
        if (at >= nextFree) return ::testing::AssertionFailure() << "node above the next free offset";
    }
    const uint64_t expected =
        K::header.hashedSize + 8 * area.bucketCount() + stack.size() + nodes.size() * area.llNodeSize();
    if (area.used() != expected)
        return ::testing::AssertionFailure()
               << "hashed usedSize " << area.used() << ", expected " << expected;
    return ::testing::AssertionSuccess();
}

}  // namespace quor::test
