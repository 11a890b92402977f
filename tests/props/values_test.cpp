// Values, RC words, counts and listings: one suite over the four table kinds on
// flat and hashed areas, then the Base kinds, the byte-value bounds, corrupt
// records and the export list.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "props/reading.h"
#include "value_ops.h"

namespace quor::test {
namespace {

using props::BaseRKind, props::BaseVKind, props::IRKind, props::IVKind, props::RKind, props::VKind;

// Runs calls() while another thread holds the node's write section. The holder
// leaves only once calls() has returned, so a call that waited for the section
// would never come back: argument errors must be answered without it.
template <class Calls>
void whileAnotherThreadHoldsTheSection(SNodeCB_t *node, Calls calls) {
    ASSERT_EQ(node->concurrencyModel, QUOR_CONCURRENCY_MODEL_LATCHED);
    std::atomic<int> stage{0};  // 1: the section is held; 2: leave it
    std::thread holder([&] {
        EXPECT_EQ(quorEnterCriticalSectionBeforeWrite(node, &node->nodeLatch), QUOR_RC_OK);
        stage = 1;
        stage.notify_all();
        for (int seen = 1; seen != 2; seen = stage.load()) stage.wait(seen);
        EXPECT_EQ(quorExitCriticalSectionAfterWrite(node, &node->nodeLatch), QUOR_RC_OK);
    });
    for (int seen = 0; seen != 1; seen = stage.load()) stage.wait(seen);
    calls();
    stage = 2;
    stage.notify_all();
    holder.join();
}

template <class A>
class Values : public ::testing::Test {
protected:
    using Ops = ValueOps<A>;
    using K = typename A::Kind;
    using Record = typename K::Record;
    static constexpr uint64_t kCount = 12;

    void SetUp() override {
        node = A::sizedNode(kCount);
        ASSERT_NE(node, nullptr);
        ASSERT_EQ(A::create(node, kCount), QUOR_RC_OK);
    }

    void addKeys(uint64_t from, uint64_t to) {
        for (uint64_t key = from; key <= to; ++key) ASSERT_EQ(A::add(node, key), QUOR_RC_OK) << key;
    }

    Record *locate(uint64_t key) {
        Record *record = nullptr;
        EXPECT_EQ(A::locate(node, key, &record), QUOR_RC_OK) << key;
        return record;
    }

    // Every listed key, in listing order; the entries past them must be zeros
    // up to the capacity and untouched beyond it.
    std::vector<uint64_t> listed(uint64_t value, uint64_t capacity, uint32_t *rc) {
        typename Ops::Listing out(capacity);
        *rc = Ops::list(node, value, capacity, &out);
        std::vector<uint64_t> keys;
        uint64_t i = 0;
        for (; i < capacity && out.keys[i] != 0 && out.keys[i] != Ops::kSentinel; ++i) {
            keys.push_back(out.keyAt(i));
            if constexpr (K::bytesValue) {
                EXPECT_EQ(out.valueSizes[i], valueOf(keys.back()).size());
            }
        }
        if (*rc == 0) {
            for (; i < capacity; ++i) EXPECT_EQ(out.keys[i], 0u) << i;
        }
        EXPECT_EQ(out.keys[capacity], Ops::kSentinel);
        return keys;
    }

    SNodeCB_t *node = nullptr;
};

using Adapters = ::testing::Types<Adapter<RKind, QUOR_LIST_FLAT>, Adapter<RKind, QUOR_LIST_HASHED>,
                                  Adapter<VKind, QUOR_LIST_FLAT>, Adapter<VKind, QUOR_LIST_HASHED>,
                                  Adapter<IRKind, QUOR_LIST_FLAT>, Adapter<IRKind, QUOR_LIST_HASHED>,
                                  Adapter<IVKind, QUOR_LIST_FLAT>, Adapter<IVKind, QUOR_LIST_HASHED>>;
TYPED_TEST_SUITE(Values, Adapters);

// Values and RCs read back what was written, by key and through the record,
// and leave the key, usedSize and the ReconfigCounter alone.
TYPED_TEST(Values, ValuesAndRCsRoundTrip) {
    using Ops = typename TestFixture::Ops;
    using Value = typename Ops::Value;
    using K = typename TestFixture::K;
    SNodeCB_t *node = this->node;
    this->addKeys(1, 6);
    const int32_t counter = reconfig(node);
    const uint64_t used = usedOf(node, K::bit);

    for (uint64_t key = 1; key <= 6; ++key) {
        Value value{};
        uint64_t rc = 1;
        ASSERT_EQ(Ops::get(node, key, &value), QUOR_RC_OK) << key;
        EXPECT_EQ(value, Ops::initial(key));
        ASSERT_EQ(Ops::getRC(node, key, &rc), QUOR_RC_OK);
        EXPECT_EQ(rc, 0u);  // a new property's RC

        ASSERT_EQ(Ops::set(node, key, Ops::sample(key)), QUOR_RC_OK);
        ASSERT_EQ(Ops::setRC(node, key, ~uint64_t{0} - key), QUOR_RC_OK);
        ASSERT_EQ(Ops::get(node, key, &value), QUOR_RC_OK);
        EXPECT_EQ(value, Ops::sample(key));
        ASSERT_EQ(Ops::getRC(node, key, &rc), QUOR_RC_OK);
        EXPECT_EQ(rc, ~uint64_t{0} - key);

        // Through the record: the same value and RC, and a write seen by key.
        typename TestFixture::Record *record = this->locate(key);
        ASSERT_NE(record, nullptr);
        ASSERT_EQ(Ops::getViaRecord(node, record, &value, &rc), QUOR_RC_OK);
        EXPECT_EQ(value, Ops::sample(key));
        EXPECT_EQ(rc, ~uint64_t{0} - key);
        ASSERT_EQ(Ops::setViaRecord(node, record, Ops::sample(key + 40), key), QUOR_RC_OK);
        ASSERT_EQ(Ops::get(node, key, &value), QUOR_RC_OK);
        EXPECT_EQ(value, Ops::sample(key + 40));
        ASSERT_EQ(Ops::getRC(node, key, &rc), QUOR_RC_OK);
        EXPECT_EQ(rc, key);

        void *address = nullptr;
        ASSERT_EQ(Ops::valueAddress(node, key, &address), QUOR_RC_OK);
        const uint64_t valueAt = K::bytesValue ? props::valueAt<K>(kMaxId) : (K::tagged ? 32 : 16);
        EXPECT_EQ(address, reinterpret_cast<char *>(record) + valueAt);
    }
    EXPECT_EQ(reconfig(node), counter);
    EXPECT_EQ(usedOf(node, K::bit), used);

    // An absent key is not found by any family and changes nothing.
    Value value{};
    uint64_t rc = 0;
    void *address = nullptr;
    EXPECT_EQ(Ops::get(node, 99, &value), K::codes.notFound);
    EXPECT_EQ(Ops::set(node, 99, Ops::sample(1)), K::codes.notFound);
    EXPECT_EQ(Ops::getRC(node, 99, &rc), K::codes.notFound);
    EXPECT_EQ(Ops::setRC(node, 99, 5), K::codes.notFound);
    EXPECT_EQ(Ops::valueAddress(node, 99, &address), K::codes.notFound);
}

// A node in condition 2 or 4 refuses every family, through a record too; a
// disassociated one is served.
TYPED_TEST(Values, ConditionGatesEveryFamily) {
    using Ops = typename TestFixture::Ops;
    SNodeCB_t *node = this->node;
    this->addKeys(1, 1);
    typename TestFixture::Record *record = this->locate(1);
    typename Ops::Value value{};
    uint64_t rc = 0, count = 0;
    void *address = nullptr;
    for (auto [condition, expected] : {std::pair{QUOR_NODE_INITIALIZED, QUOR_RC_NODE_NOT_ACTIVE},
                                       std::pair{QUOR_NODE_ABANDONED, QUOR_RC_NODE_ABANDONED},
                                       std::pair{QUOR_NODE_DISASSOCIATED, QUOR_RC_OK}}) {
        node->NodeCondition = condition;
        EXPECT_EQ(Ops::get(node, 1, &value), expected);
        EXPECT_EQ(Ops::set(node, 1, Ops::sample(3)), expected);
        EXPECT_EQ(Ops::getRC(node, 1, &rc), expected);
        EXPECT_EQ(Ops::setRC(node, 1, 3), expected);
        EXPECT_EQ(Ops::valueAddress(node, 1, &address), expected);
        EXPECT_EQ(Ops::getViaRecord(node, record, &value, &rc), expected);
        EXPECT_EQ(Ops::setViaRecord(node, record, Ops::sample(3), 3), expected);
        EXPECT_EQ(Ops::checkedCount(node, 0, &count), expected);
    }
}

// The null arguments each family refuses, with the kind's own codes, before
// anything is read or written.
TYPED_TEST(Values, NullArgumentsAreRefused) {
    using Ops = typename TestFixture::Ops;
    using K = typename TestFixture::K;
    constexpr props::ReadCodes codes = props::readCodes<K>;
    SNodeCB_t *node = this->node;
    this->addKeys(1, 1);
    auto *record = this->locate(1);
    typename Ops::Value value{};
    uint64_t rc = 0, count = 0, capacity = 0;
    EXPECT_EQ(Ops::get(nullptr, 1, &value), QUOR_RC_NULL_PARAMETER);
    EXPECT_EQ(Ops::getViaRecord(nullptr, record, &value, &rc), QUOR_RC_NULL_PARAMETER);
    EXPECT_EQ(Ops::getViaRecord(node, nullptr, &value, &rc), codes.nullRecord);
    EXPECT_EQ(Ops::setViaRecord(node, nullptr, Ops::sample(1), 1), codes.nullRecord);
    EXPECT_EQ(Ops::getViaRecord(node, record, &value, nullptr), QUOR_RC_NULL_RC_OUT);
    EXPECT_EQ(Ops::getRC(node, 1, nullptr), QUOR_RC_NULL_RC_OUT);
    EXPECT_EQ(Ops::valueAddress(node, 1, nullptr), QUOR_RC_NULL_PARAMETER);
    EXPECT_EQ(Ops::countAll(node, nullptr, &capacity), codes.nullCountOut);
    EXPECT_EQ(Ops::countAll(node, &count, nullptr), codes.nullCapacityOut);
    EXPECT_EQ(Ops::countWith(node, 1, nullptr), codes.nullCountOut);
    EXPECT_EQ(Ops::checkedCount(node, 1, nullptr), QUOR_RC_NULL_COUNT_ARG);
    const std::string id = idOf(1);
    if constexpr (K::bytesValue) {
        void *address = nullptr;
        char buffer[kMaxV];
        uint64_t size = 0;
        const bool v = Ops::isV;
        auto getBytes = [&](uint64_t *sizeOut, void **addressOut) {
            return v ? quorGetValueForVProperty(node, 1, sizeOut, addressOut, buffer, 0)
                     : quorGetValueForIVProperty(node, tagOf(1), id.size(), id.data(), sizeOut, addressOut,
                                                 buffer, 0);
        };
        EXPECT_EQ(getBytes(nullptr, &address), QUOR_RC_NULL_VALUE_SIZES);
        EXPECT_EQ(getBytes(&size, nullptr), QUOR_RC_NULL_PARAMETER);
        EXPECT_EQ(v ? quorSetValueForVProperty(node, 1, 4, nullptr, 0)
                    : quorSetValueForIVProperty(node, tagOf(1), id.size(), id.data(), 4, nullptr, 0),
                  codes.nullValueBytes);
        EXPECT_EQ(v ? quorSetValueAndRCForVProperty(node, reinterpret_cast<VPropertyRec_t *>(record), 4,
                                                    nullptr, 0, 0)
                    : quorSetValueAndRCForIVProperty(node, reinterpret_cast<IVPropertyRec_t *>(record), 4,
                                                     nullptr, 0, 0),
                  codes.nullValueBytes);
        uint64_t inSize = 4;
        EXPECT_EQ(v ? quorGetValueAndRCForVProperty(node, reinterpret_cast<VPropertyRec_t *>(record), nullptr,
                                                    &address, buffer, &rc, 0)
                    : quorGetValueAndRCForIVProperty(node, reinterpret_cast<IVPropertyRec_t *>(record),
                                                     nullptr, &address, buffer, &rc, 0),
                  QUOR_RC_NULL_VALUE_SIZES);
        EXPECT_EQ(v ? quorGetValueAndRCForVProperty(node, reinterpret_cast<VPropertyRec_t *>(record), &inSize,
                                                    nullptr, buffer, &rc, 0)
                    : quorGetValueAndRCForIVProperty(node, reinterpret_cast<IVPropertyRec_t *>(record),
                                                     &inSize, nullptr, buffer, &rc, 0),
                  QUOR_RC_NULL_PARAMETER);
    } else {
        EXPECT_EQ(Ops::isR ? quorGetValueForRProperty(node, 1, nullptr, 0)
                           : quorGetValueForIRProperty(node, tagOf(1), id.size(), id.data(), nullptr, 0),
                  codes.nullValueOut);
        EXPECT_EQ(Ops::getViaRecord(node, record, nullptr, &rc), codes.nullValueOut);
    }
    typename Ops::Value after{};
    ASSERT_EQ(Ops::get(node, 1, &after), QUOR_RC_OK);
    EXPECT_EQ(after, Ops::initial(1));
}

// Argument errors of the keyed families need no shared data and are answered
// before the node's section is entered: while another thread holds it, each
// comes back at once with its own code.
TYPED_TEST(Values, ArgumentErrorsDoNotWaitForTheSection) {
    using Ops = typename TestFixture::Ops;
    using K = typename TestFixture::K;
    constexpr props::ReadCodes codes = props::readCodes<K>;
    SNodeCB_t *node = this->node;
    this->addKeys(1, 1);
    const std::string id = idOf(1);
    whileAnotherThreadHoldsTheSection(node, [&] {
        EXPECT_EQ(Ops::getRC(node, 1, nullptr), QUOR_RC_NULL_RC_OUT);
        if constexpr (K::bytesValue) {
            void *address = nullptr;
            char buffer[kMaxV];
            EXPECT_EQ(Ops::isV ? quorGetValueForVProperty(node, 1, nullptr, &address, buffer, 0)
                               : quorGetValueForIVProperty(node, tagOf(1), id.size(), id.data(), nullptr,
                                                           &address, buffer, 0),
                      QUOR_RC_NULL_VALUE_SIZES);
            EXPECT_EQ(Ops::isV ? quorSetValueForVProperty(node, 1, 0, "x", 0)
                               : quorSetValueForIVProperty(node, tagOf(1), id.size(), id.data(), 0, "x", 0),
                      QUOR_RC_BAD_VALUE_SIZE);
            EXPECT_EQ(Ops::isV ? quorSetValueForVProperty(node, 1, 2, nullptr, 0)
                               : quorSetValueForIVProperty(node, tagOf(1), id.size(), id.data(), 2, nullptr, 0),
                      codes.nullValueBytes);
        } else {
            EXPECT_EQ(Ops::isR ? quorGetValueForRProperty(node, 1, nullptr, 0)
                               : quorGetValueForIRProperty(node, tagOf(1), id.size(), id.data(), nullptr, 0),
                      codes.nullValueOut);
        }
        if constexpr (K::tagged) {
            uint64_t rc = 0;
            EXPECT_EQ(K::bytesValue ? quorGetRCForIVProperty(node, tagOf(1), 2, nullptr, &rc, 0)
                                    : quorSetValueForIRProperty(node, tagOf(1), 2, nullptr, 5, 0),
                      QUOR_RC_NULL_ID);
        }
    });
    typename Ops::Value after{};
    ASSERT_EQ(Ops::get(node, 1, &after), QUOR_RC_OK);
    EXPECT_EQ(after, Ops::initial(1));
}

// A record address is taken only when it names a record in use: a deleted
// one, one off the record lattice and the area's own header or buckets are
// refused and nothing is written; the live records stay reachable, also once
// freed nodes are recorded. (A slot that a later add reuses is that new
// property's record again.)
TYPED_TEST(Values, StaleAndMisplacedRecordAddressesAreRefused) {
    using Ops = typename TestFixture::Ops;
    using K = typename TestFixture::K;
    using Record = typename TestFixture::Record;
    SNodeCB_t *node = this->node;
    this->addKeys(1, 3);
    Record *two = this->locate(2), *three = this->locate(3);
    ASSERT_EQ(TypeParam::remove(node, 2), QUOR_RC_OK);
    auto *start = reinterpret_cast<Record *>(reinterpret_cast<char *>(node) +
                                             node->areaDirectory[tree::areaBitNumber(K::bit) - 1].areaOffset);
    auto *offLattice = reinterpret_cast<Record *>(reinterpret_cast<char *>(three) + 8);
    const uint64_t areaSize = node->areaDirectory[tree::areaBitNumber(K::bit) - 1].areaSize;
    const std::vector<unsigned char> before(reinterpret_cast<unsigned char *>(start),
                                            reinterpret_cast<unsigned char *>(start) + areaSize);
    typename Ops::Value value{};
    uint64_t rc = 0;
    for (Record *bad : {two, start, offLattice}) {
        EXPECT_EQ(Ops::getViaRecord(node, bad, &value, &rc), QUOR_RC_NOT_A_LIVE_RECORD);
        EXPECT_EQ(Ops::setViaRecord(node, bad, Ops::sample(9), 0x4242), QUOR_RC_NOT_A_LIVE_RECORD);
    }
    EXPECT_TRUE(std::equal(before.begin(), before.end(), reinterpret_cast<unsigned char *>(start)));
    ASSERT_EQ(Ops::setViaRecord(node, three, Ops::sample(3), 3), QUOR_RC_OK);
    ASSERT_EQ(Ops::getViaRecord(node, this->locate(1), &value, &rc), QUOR_RC_OK);
    EXPECT_EQ(value, Ops::initial(1));
    uint64_t live = 0;
    EXPECT_TRUE(consistent<K>(node, &live));
    EXPECT_EQ(live, 2u);
    ASSERT_EQ(TypeParam::add(node, 7), QUOR_RC_OK);  // takes the freed slot
    EXPECT_EQ(this->locate(7), two);
    EXPECT_EQ(Ops::getViaRecord(node, two, &value, &rc), QUOR_RC_OK);
}

// In a table large enough that a keyed operation hashes its key before taking
// the section, a key that fails its checks is refused with its code: a null ID,
// and an ID longer than the maximum (its bytes are never read).
TEST(LargeTaggedTables, KeysFailingTheirChecksAreNeverHashed) {
    using A = Adapter<IRKind, QUOR_LIST_HASHED>;
    constexpr uint64_t kCount = 2048;
    SNodeCB_t *node = A::sizedNode(kCount);
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(A::create(node, kCount), QUOR_RC_OK);
    ASSERT_EQ(A::add(node, 1), QUOR_RC_OK);
    const char shortId[2] = {'i', '3'};
    int32_t value = 0;
    uint64_t rc = 0;
    EXPECT_EQ(quorGetValueForIRProperty(node, tagOf(1), 4, nullptr, &value, 0), QUOR_RC_NULL_ID);
    EXPECT_EQ(quorSetValueForIRProperty(node, tagOf(1), 4, nullptr, 5, 0), QUOR_RC_NULL_ID);
    EXPECT_EQ(quorGetRCForIRProperty(node, tagOf(1), kMaxId + 1, shortId, &rc, 0), QUOR_RC_ID_TOO_LONG);
    EXPECT_EQ(quorSetRCForIRProperty(node, tagOf(1), 1u << 20, shortId, 7, 0), QUOR_RC_ID_TOO_LONG);
    const std::string id = idOf(1);
    ASSERT_EQ(quorGetValueForIRProperty(node, tagOf(1), id.size(), id.data(), &value, 0), QUOR_RC_OK);
    EXPECT_EQ(value, 1);
}

// Counts and listings over a list with holes: every live key once, in a count
// that matches the listing, zeros behind it, and the room the area has.
TYPED_TEST(Values, CountsAndListingsSeeEveryLiveProperty) {
    using A = TypeParam;
    using Ops = typename TestFixture::Ops;
    using K = typename TestFixture::K;
    SNodeCB_t *node = this->node;
    uint32_t rc = 0;
    uint64_t count = 7, capacity = 7;

    // An empty list: nothing counted, nothing to list.
    ASSERT_EQ(Ops::countAll(node, &count, &capacity), QUOR_RC_OK);
    EXPECT_EQ(count, 0u);
    const uint64_t room = capacity;
    EXPECT_GE(room, this->kCount);
    EXPECT_TRUE(this->listed(0, 4, &rc).empty());
    EXPECT_EQ(rc, K::codes.notInHashTable);

    this->addKeys(1, this->kCount);
    for (uint64_t key = 2; key <= this->kCount; key += 3) ASSERT_EQ(A::remove(node, key), QUOR_RC_OK);
    std::set<uint64_t> live;
    for (uint64_t key = 1; key <= this->kCount; ++key)
        if (key % 3 != 2) live.insert(key);

    ASSERT_EQ(Ops::countAll(node, &count, &capacity), QUOR_RC_OK);
    EXPECT_EQ(count, live.size());
    EXPECT_EQ(capacity, room);
    ASSERT_EQ(Ops::checkedCount(node, 0, &count), QUOR_RC_OK);
    EXPECT_EQ(count, live.size());

    std::vector<uint64_t> all = this->listed(0, live.size() + 2, &rc);
    ASSERT_EQ(rc, QUOR_RC_OK);
    EXPECT_EQ(std::set<uint64_t>(all.begin(), all.end()), live);
    EXPECT_EQ(all.size(), live.size());
    // A short array takes the first entries and nothing more.
    std::vector<uint64_t> two = this->listed(0, 2, &rc);
    ASSERT_EQ(rc, QUOR_RC_OK);
    EXPECT_EQ(two, std::vector<uint64_t>(all.begin(), all.begin() + 2));
    if (!A::hashed) {
        EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));  // flat lists go by address
    }

    // By number or tag: counted and listed alike.
    for (uint64_t key : {1u, 2u, 3u}) {
        const uint64_t selector = Ops::selector(key);
        uint64_t expected = 0;
        for (uint64_t k : live) expected += Ops::selector(k) == selector;
        const uint32_t absentCode = A::hashed && !K::tagged && expected == 0 ? K::codes.notInHashTable : 0;
        EXPECT_EQ(Ops::countWith(node, selector, &count), absentCode) << key;
        EXPECT_EQ(count, expected) << key;
        EXPECT_EQ(Ops::checkedCount(node, selector, &count), absentCode) << key;
        EXPECT_EQ(count, expected) << key;
        std::vector<uint64_t> some = this->listed(selector, this->kCount, &rc);
        EXPECT_EQ(some.size(), expected) << key;
        for (uint64_t k : some) EXPECT_EQ(Ops::selector(k), selector) << key;
        EXPECT_EQ(rc, expected == 0 && (A::hashed || live.empty()) ? K::codes.notInHashTable : 0u) << key;
    }
}

// A hashed list churned by interleaved adds and deletes lists every live key
// exactly once.
TYPED_TEST(Values, ListingAfterChurnHoldsEachLiveKeyOnce) {
    using A = TypeParam;
    using Ops = typename TestFixture::Ops;
    SNodeCB_t *node = this->node;
    std::mt19937 random(12);
    std::set<uint64_t> live;
    for (int step = 0; step < 300; ++step) {
        const uint64_t key = random() % 20 + 1;
        if (live.count(key) != 0) {
            ASSERT_EQ(A::remove(node, key), QUOR_RC_OK);
            live.erase(key);
        } else if (live.size() < this->kCount) {
            ASSERT_EQ(A::add(node, key), QUOR_RC_OK);
            live.insert(key);
        }
        if (step % 25 != 0 || live.empty()) continue;
        uint32_t rc = 0;
        std::vector<uint64_t> all = this->listed(0, QUOR_MAX_COUNT, &rc);
        ASSERT_EQ(rc, QUOR_RC_OK) << step;
        std::multiset<uint64_t> seen(all.begin(), all.end());
        EXPECT_EQ(std::set<uint64_t>(seen.begin(), seen.end()), live) << step;
        EXPECT_EQ(seen.size(), live.size()) << step;
        uint64_t count = 0, capacity = 0;
        ASSERT_EQ(Ops::countAll(node, &count, &capacity), QUOR_RC_OK);
        EXPECT_EQ(count, live.size()) << step;
    }
}

// ---- byte values ----

class ByteValues : public ::testing::Test {
protected:
    void SetUp() override {
        node = Adapter<VKind, QUOR_LIST_FLAT>::sizedNode(4);
        ASSERT_EQ((Adapter<VKind, QUOR_LIST_FLAT>::create(node, 4)), QUOR_RC_OK);
        ASSERT_EQ(quorAddVProperty(node, 5, 10, "0123456789", 0), QUOR_RC_OK);
        ASSERT_EQ(quorGetAddressForVProperty(node, 5, &record), QUOR_RC_OK);
    }
    SNodeCB_t *node = nullptr;
    VPropertyRec_t *record = nullptr;
};

// Sizes 1..maximum are written and read back exactly; 0 and maximum + 1 are
// refused and change nothing.
TEST_F(ByteValues, SizesWithinTheMaximumOnly) {
    char buffer[kMaxV + 8];
    uint64_t size = 0;
    void *address = nullptr;
    ASSERT_EQ(quorSetValueForVProperty(node, 5, 3, "abc", 0), QUOR_RC_OK);
    std::memset(buffer, '#', sizeof buffer);
    ASSERT_EQ(quorGetValueForVProperty(node, 5, &size, &address, buffer, 0), QUOR_RC_OK);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(std::string(buffer, 4), "abc#");
    EXPECT_EQ(address, reinterpret_cast<char *>(record) + QUOR_V_VALUE_OFFSET);

    const std::string longest(kMaxV, 'z'), tooLong(kMaxV + 1, 'y');
    for (auto [bytes, expected] : {std::pair{longest, QUOR_RC_OK}, std::pair{tooLong, QUOR_RC_BAD_VALUE_SIZE},
                                   std::pair{std::string(), QUOR_RC_BAD_VALUE_SIZE}}) {
        EXPECT_EQ(quorSetValueForVProperty(node, 5, bytes.size(), bytes.data(), 0), expected) << bytes.size();
        EXPECT_EQ(quorSetValueAndRCForVProperty(node, record, bytes.size(), bytes.data(), 9, 0), expected);
    }
    EXPECT_EQ(record->valueSize, kMaxV);
    EXPECT_EQ(record->rc, 9u);
}

// A read through the record copies what the caller's size says, never past the
// value room, and reports the stored size.
TEST_F(ByteValues, RecordReadCopiesWhatTheCallerHolds) {
    char buffer[64];
    void *address = nullptr;
    uint64_t rc = 1;
    for (auto [inSize, copied] : {std::pair<uint64_t, uint64_t>{4, 4}, {0, 0}, {1000, kMaxV}}) {
        std::memset(buffer, '#', sizeof buffer);
        uint64_t size = inSize;
        ASSERT_EQ(quorGetValueAndRCForVProperty(node, record, &size, &address, buffer, &rc, 0), QUOR_RC_OK);
        EXPECT_EQ(size, 10u) << inSize;
        EXPECT_EQ(rc, 0u);
        EXPECT_EQ(std::string(buffer, std::min<uint64_t>(copied, 10)),
                  std::string("0123456789", std::min<uint64_t>(copied, 10)));
        EXPECT_EQ(buffer[copied], '#') << inSize;
    }
    // No buffer: size and address only.
    uint64_t size = 4;
    ASSERT_EQ(quorGetValueAndRCForVProperty(node, record, &size, &address, nullptr, &rc, 0), QUOR_RC_OK);
    EXPECT_EQ(size, 10u);
}

// A stored size outside 1..room is corrupt: reads refuse it and copy nothing.
TEST_F(ByteValues, CorruptStoredSizeIsRefused) {
    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    void *address = nullptr;
    uint64_t size = 0, rc = 0;
    for (uint64_t stored : {uint64_t{0}, uint64_t{kMaxV + 1}, ~uint64_t{0}}) {
        record->valueSize = stored;
        EXPECT_EQ(quorGetValueForVProperty(node, 5, &size, &address, buffer, 0), QUOR_RC_BAD_VALUE_SIZE);
        size = 64;
        EXPECT_EQ(quorGetValueAndRCForVProperty(node, record, &size, &address, buffer, &rc, 0),
                  QUOR_RC_BAD_VALUE_SIZE);
        EXPECT_EQ(buffer[0], '#');
    }
}

// A record address that does not lie wholly inside the kind's area is refused.
TEST_F(ByteValues, RecordOutsideItsAreaIsRefused) {
    int32_t value = 0;
    uint64_t rc = 0;
    uint64_t size = 4;
    void *address = nullptr;
    char buffer[8];
    auto *past = reinterpret_cast<VPropertyRec_t *>(reinterpret_cast<char *>(node) + node->nodeSize - 16);
    EXPECT_EQ(quorGetValueAndRCForVProperty(node, past, &size, &address, buffer, &rc, 0),
              QUOR_RC_V_OUT_OF_AREA);
    EXPECT_EQ(quorSetValueAndRCForVProperty(node, past, 2, "ab", 1, 0), QUOR_RC_V_OUT_OF_AREA);
    // A V record is no R record: the node has no R area at all.
    EXPECT_EQ(quorGetValueAndRCForRProperty(node, reinterpret_cast<RPropertyRec_t *>(record), &value, &rc, 0),
              QUOR_RC_NO_R_AREA);
    auto *control = reinterpret_cast<VPropertyRec_t *>(node);
    EXPECT_EQ(quorSetValueAndRCForVProperty(node, control, 2, "ab", 1, 0), QUOR_RC_V_OUT_OF_AREA);
}

// ---- Base properties ----

class BaseValues : public ::testing::Test {
protected:
    // BaseR and BaseV (room for 8 bytes) beside a V area whose maximum is 16.
    void SetUp() override {
        Sizes sizes{};
        sizes[tree::areaBitNumber(QUOR_KIND_BASER) - 1] = 144;
        sizes[tree::areaBitNumber(QUOR_KIND_BASEV) - 1] = 8 + 432;
        sizes[tree::areaBitNumber(QUOR_KIND_V) - 1] = 16 + 2 * (424 + kMaxV);
        node = makePropsNode(sizes, QUOR_KIND_BASER | QUOR_KIND_BASEV | QUOR_KIND_V);
        ASSERT_NE(node, nullptr);
        ASSERT_EQ(quorCreateVPropertyList(node, nullptr, nullptr, nullptr, kMaxV, 0, 2, QUOR_LIST_FLAT, 0),
                  QUOR_RC_OK);
        ASSERT_EQ(quorCreateBaseRProperty(node, 7, 70, 0), QUOR_RC_OK);
        ASSERT_EQ(quorCreateBaseVProperty(node, 8, "base", 4, 8, 0), QUOR_RC_OK);
    }
    SNodeCB_t *node = nullptr;
};

TEST_F(BaseValues, ValuesRCsAndRecordsOfTheStoredNumber) {
    int32_t value = 0;
    uint64_t rc = 5, number = 0, size = 0;
    EXPECT_EQ(quorGetValueForBaseRProperty(node, 7, &value, 0), QUOR_RC_OK);
    EXPECT_EQ(value, 70);
    EXPECT_EQ(quorSetValueForBaseRProperty(node, 7, -1, 0), QUOR_RC_OK);
    EXPECT_EQ(quorSetRCForBaseRProperty(node, 7, ~uint64_t{0}, 0), QUOR_RC_OK);
    RPropertyRec_t *baseR = nullptr;
    ASSERT_EQ(quorGetAddressForBaseRProperty(node, 7, &baseR), QUOR_RC_OK);
    ASSERT_EQ(quorGetValueAndRCForBaseRProperty(node, baseR, &value, &rc, 0), QUOR_RC_OK);
    EXPECT_EQ(value, -1);
    EXPECT_EQ(rc, ~uint64_t{0});
    void *address = nullptr;
    ASSERT_EQ(quorGetAddressForBaseRPropertyValue(node, 7, &address), QUOR_RC_OK);
    EXPECT_EQ(address, baseR->value);

    char buffer[16] = {};
    ASSERT_EQ(quorGetValueForBaseVProperty(node, 8, &size, &address, buffer, 0), QUOR_RC_OK);
    EXPECT_EQ(std::string(buffer, size), "base");
    VPropertyRec_t *baseV = nullptr;
    ASSERT_EQ(quorGetAddressForBaseVProperty(node, 8, &baseV), QUOR_RC_OK);
    EXPECT_EQ(address, reinterpret_cast<char *>(baseV) + QUOR_V_VALUE_OFFSET);
    ASSERT_EQ(quorSetValueAndRCForBaseVProperty(node, baseV, 8, "12345678", 3, 0), QUOR_RC_OK);
    ASSERT_EQ(quorGetRCForBaseVProperty(node, 8, &rc, 0), QUOR_RC_OK);
    EXPECT_EQ(rc, 3u);

    ASSERT_EQ(quorReturnBaseRProperty(node, &number, 0), QUOR_RC_OK);
    EXPECT_EQ(number, 7u);
    ASSERT_EQ(quorReturnBaseVProperty(node, &number, &size, 0), QUOR_RC_OK);
    EXPECT_EQ(number, 8u);
    EXPECT_EQ(size, 8u);

    // Another number is not the Base property, whatever the family.
    EXPECT_EQ(quorGetValueForBaseRProperty(node, 6, &value, 0), QUOR_RC_BASER_NOT_FOUND);
    EXPECT_EQ(quorSetRCForBaseVProperty(node, 9, 1, 0), QUOR_RC_BASEV_NOT_FOUND);
    EXPECT_EQ(quorGetAddressForBaseVPropertyValue(node, 9, &address), QUOR_RC_BASEV_NOT_FOUND);
    EXPECT_EQ(quorReturnBaseVProperty(node, &number, nullptr, 0), QUOR_RC_NULL_VALUE_SIZES);
    EXPECT_EQ(quorReturnBaseRProperty(node, nullptr, 0), QUOR_RC_NULL_NUMBER_OUTPUT);
}

// The room the BaseV record was created with bounds its writes, whatever the
// V area's maximum: 9..16 bytes fit the V area's and not the record's.
TEST_F(BaseValues, BaseVWriteStaysInsideItsRoom) {
    VPropertyRec_t *baseV = nullptr;
    ASSERT_EQ(quorGetAddressForBaseVProperty(node, 8, &baseV), QUOR_RC_OK);
    const std::string nine(9, 'n'), seventeen(17, 's');
    EXPECT_EQ(quorSetValueForBaseVProperty(node, 8, 9, nine.data(), 0), QUOR_RC_BAD_VALUE_SIZE);
    EXPECT_EQ(quorSetValueAndRCForBaseVProperty(node, baseV, 9, nine.data(), 1, 0), QUOR_RC_BAD_VALUE_SIZE);
    EXPECT_EQ(quorSetValueForBaseVProperty(node, 8, 17, seventeen.data(), 0), QUOR_RC_BAD_VALUE_SIZE);
    EXPECT_EQ(baseV->valueSize, 4u);
    EXPECT_EQ(baseV->rc, 0u);
    EXPECT_EQ(quorSetValueForBaseVProperty(node, 8, 3, nullptr, 0), QUOR_RC_NULL_BASEV_VALUE);
}

// A BaseV value is bounded by its own record alone: without a V area, and
// beside a V area whose list was never created, it is read, written up to its
// room and deleted. Its argument errors do not wait for the section either.
TEST(BaseVRoom, OwnRoomWithoutAnyVArea) {
    for (bool unformattedV : {false, true}) {
        Sizes sizes{};
        sizes[tree::areaBitNumber(QUOR_KIND_BASEV) - 1] = 8 + 432 + 8;
        uint64_t flags = QUOR_KIND_BASEV;
        if (unformattedV) {
            sizes[tree::areaBitNumber(QUOR_KIND_V) - 1] = 16 + 440;
            flags |= QUOR_KIND_V;
        }
        SNodeCB_t *node = makePropsNode(sizes, flags);
        ASSERT_NE(node, nullptr);
        if (unformattedV) {
            const PExport &v = node->areaDirectory[tree::areaBitNumber(QUOR_KIND_V) - 1];
            std::memset(reinterpret_cast<char *>(node) + v.areaOffset, 0xff, v.areaSize);
        }
        ASSERT_EQ(quorCreateBaseVProperty(node, 1, "abcdef", 6, 16, 0), QUOR_RC_OK);
        const std::string sixteen(16, 's');
        EXPECT_EQ(quorSetValueForBaseVProperty(node, 1, 2, "ab", 0), QUOR_RC_OK);
        EXPECT_EQ(quorSetValueForBaseVProperty(node, 1, 16, sixteen.data(), 0), QUOR_RC_OK);
        EXPECT_EQ(quorSetValueForBaseVProperty(node, 1, 17, (sixteen + "x").data(), 0), QUOR_RC_BAD_VALUE_SIZE);
        VPropertyRec_t *record = nullptr;
        ASSERT_EQ(quorGetAddressForBaseVProperty(node, 1, &record), QUOR_RC_OK);
        EXPECT_EQ(quorSetValueAndRCForBaseVProperty(node, record, 3, "xyz", 4, 0), QUOR_RC_OK);
        char buffer[16];
        uint64_t size = 0;
        void *address = nullptr;
        ASSERT_EQ(quorGetValueForBaseVProperty(node, 1, &size, &address, buffer, 0), QUOR_RC_OK);
        EXPECT_EQ(std::string(buffer, size), "xyz");
        whileAnotherThreadHoldsTheSection(node, [&] {
            EXPECT_EQ(quorSetValueForBaseVProperty(node, 1, 0, "x", 0), QUOR_RC_BAD_VALUE_SIZE);
            EXPECT_EQ(quorSetValueForBaseVProperty(node, 1, 2, nullptr, 0), QUOR_RC_NULL_BASEV_VALUE);
            EXPECT_EQ(quorGetValueForBaseVProperty(node, 1, nullptr, &address, buffer, 0),
                      QUOR_RC_NULL_VALUE_SIZES);
        });
        EXPECT_EQ(quorDeleteBaseVProperty(node, 1, 0), QUOR_RC_OK) << unformattedV;
    }
}

// A deleted Base property is found by no number, 0 (its emptied mark)
// included, and its old record address is refused.
TEST_F(BaseValues, DeletedBasePropertyIsFoundByNoNumber) {
    RPropertyRec_t *baseR = nullptr;
    VPropertyRec_t *baseV = nullptr;
    ASSERT_EQ(quorGetAddressForBaseRProperty(node, 7, &baseR), QUOR_RC_OK);
    ASSERT_EQ(quorGetAddressForBaseVProperty(node, 8, &baseV), QUOR_RC_OK);
    ASSERT_EQ(quorDeleteBaseRProperty(node, 7, 0), QUOR_RC_OK);
    ASSERT_EQ(quorDeleteBaseVProperty(node, 8, 0), QUOR_RC_OK);
    int32_t value = 0;
    uint64_t rc = 0, size = 8;
    void *address = nullptr;
    char buffer[8];
    for (uint64_t number : {0u, 7u, 8u}) {
        EXPECT_EQ(quorGetValueForBaseRProperty(node, number, &value, 0), QUOR_RC_BASER_NOT_FOUND) << number;
        EXPECT_EQ(quorSetRCForBaseRProperty(node, number, 1, 0), QUOR_RC_BASER_NOT_FOUND) << number;
        EXPECT_EQ(quorGetAddressForBaseRPropertyValue(node, number, &address), QUOR_RC_BASER_NOT_FOUND);
        EXPECT_EQ(quorDeleteBaseRProperty(node, number, 0), QUOR_RC_BASER_NOT_FOUND) << number;
        EXPECT_EQ(quorGetValueForBaseVProperty(node, number, &size, &address, buffer, 0),
                  QUOR_RC_BASEV_NOT_FOUND);
        EXPECT_EQ(quorDeleteBaseVProperty(node, number, 0), QUOR_RC_BASEV_NOT_FOUND) << number;
    }
    EXPECT_EQ(quorGetValueAndRCForBaseRProperty(node, baseR, &value, &rc, 0), QUOR_RC_NOT_A_LIVE_RECORD);
    EXPECT_EQ(quorSetValueAndRCForBaseVProperty(node, baseV, 2, "ab", 1, 0), QUOR_RC_NOT_A_LIVE_RECORD);
    // Created again, it answers to its new number.
    ASSERT_EQ(quorCreateBaseRProperty(node, 0, 5, 0), QUOR_RC_OK);
    EXPECT_EQ(quorGetValueForBaseRProperty(node, 0, &value, 0), QUOR_RC_OK);
    EXPECT_EQ(value, 5);
}

// ---- corrupt areas ----

// Listings refuse a record whose fields a crash or a stray write damaged, and a
// chain that loops ends with a code instead of running forever.
TEST(CorruptListings, DamagedFieldsAndLoopsGiveCodes) {
    using IR = Adapter<IRKind, QUOR_LIST_FLAT>;
    SNodeCB_t *node = IR::sizedNode(4);
    ASSERT_EQ(IR::create(node, 4), QUOR_RC_OK);
    ASSERT_EQ(IR::add(node, 1), QUOR_RC_OK);
    IRPropertyRec_t *ir = nullptr;
    ASSERT_EQ(IR::locate(node, 1, &ir), QUOR_RC_OK);
    uint64_t tags[2], lengths[2];
    char ids[2 * kMaxId];
    ir->idLength = kMaxId + 1;
    EXPECT_EQ(quorReturnIRProperties(node, tags, lengths, ids, 0, 2, kMaxId, 0), QUOR_RC_ID_TOO_LONG);
    ir->idLength = 2;
    ir->tag = QUOR_MAX_TAG + 1;
    EXPECT_EQ(quorReturnIRProperties(node, tags, lengths, ids, 0, 2, kMaxId, 0), QUOR_RC_SIZE_TOO_LARGE);

    using V = Adapter<VKind, QUOR_LIST_FLAT>;
    node = V::sizedNode(2);
    ASSERT_EQ(V::create(node, 2), QUOR_RC_OK);
    ASSERT_EQ(V::add(node, 1), QUOR_RC_OK);
    VPropertyRec_t *v = nullptr;
    ASSERT_EQ(V::locate(node, 1, &v), QUOR_RC_OK);
    uint64_t numbers[2], sizes[2];
    const uint64_t offset = v->valueOffset;
    v->valueOffset = node->nodeSize + 8;
    EXPECT_EQ(quorReturnVProperties(node, numbers, sizes, 0, 2, 0), QUOR_RC_V_VALUE_OUT_OF_AREA);
    v->valueOffset = offset;
    v->valueSize = kMaxV + 1;
    EXPECT_EQ(quorReturnVProperties(node, numbers, sizes, 0, 2, 0), QUOR_RC_BAD_VALUE_SIZE);

    using HR = Adapter<RKind, QUOR_LIST_HASHED>;
    node = HR::sizedNode(4);
    ASSERT_EQ(HR::create(node, 4), QUOR_RC_OK);
    ASSERT_EQ(HR::add(node, 1), QUOR_RC_OK);
    RPropertyRec_t *r = nullptr;
    ASSERT_EQ(HR::locate(node, 1, &r), QUOR_RC_OK);
    auto *ll = reinterpret_cast<RPropertyLLNode_t *>(reinterpret_cast<char *>(r) - 8);
    ll->next =
        static_cast<uint64_t>(reinterpret_cast<char *>(ll) - reinterpret_cast<char *>(node));  // a loop
    uint64_t count = 0;
    EXPECT_EQ(quorReturnRProperties(node, numbers, 0, 2, 0), QUOR_RC_R_OUT_OF_AREA);
    // 6 shares the bucket of 1 and sorts behind it, so its search meets the loop.
    EXPECT_EQ(quorGetRPropertiesNoForGivenTag(node, 6, &count, 0), QUOR_RC_R_OUT_OF_AREA);

    // A tag chain bent back on itself: 6 then 1 share tag 2, and 1 leads to 6 again.
    using HIR = Adapter<IRKind, QUOR_LIST_HASHED>;
    node = HIR::sizedNode(4);
    ASSERT_EQ(HIR::create(node, 4), QUOR_RC_OK);
    ASSERT_EQ(HIR::add(node, 1), QUOR_RC_OK);
    ASSERT_EQ(HIR::add(node, 6), QUOR_RC_OK);
    IRPropertyRec_t *first = nullptr, *second = nullptr;
    ASSERT_EQ(HIR::locate(node, 6, &first), QUOR_RC_OK);
    ASSERT_EQ(HIR::locate(node, 1, &second), QUOR_RC_OK);
    auto llOf = [&](IRPropertyRec_t *record) {
        return reinterpret_cast<IRPropertyLLNode_t *>(reinterpret_cast<char *>(record) - 40);
    };
    auto offsetOf = [&](IRPropertyRec_t *record) {
        return static_cast<uint64_t>(reinterpret_cast<char *>(llOf(record)) - reinterpret_cast<char *>(node));
    };
    ASSERT_EQ(llOf(first)->tagNext, offsetOf(second) + 8);  // 6 leads to 1
    llOf(second)->tagNext = offsetOf(first) + 8;            // and now 1 leads back to 6
    uint64_t irTags[8], irLengths[8];
    char irIds[8 * kMaxId];
    EXPECT_EQ(quorGetIRPropertiesNoForGivenTag(node, tagOf(1), &count, 0), QUOR_RC_IR_OUT_OF_AREA);
    EXPECT_EQ(quorReturnIRProperties(node, irTags, irLengths, irIds, tagOf(1), 8, kMaxId, 0),
              QUOR_RC_IR_OUT_OF_AREA);
}

// The null checks of a listing come in their documented order, and the counts'
// limits on capacity and slots.
TEST(ListingArguments, CheckedInOrder) {
    using IV = Adapter<IVKind, QUOR_LIST_FLAT>;
    SNodeCB_t *node = IV::sizedNode(2);
    ASSERT_EQ(IV::create(node, 2), QUOR_RC_OK);
    uint64_t tags[2], lengths[2], sizes[2];
    char ids[2 * kMaxId];
    struct Case {
        SNodeCB_t *node;
        uint64_t *tags, *lengths;
        char *ids;
        uint64_t *sizes, tag, capacity, slot;
        uint32_t expected;
    } cases[] = {
        {nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, 0, QUOR_RC_NULL_PARAMETER},
        {node, nullptr, nullptr, nullptr, nullptr, 0, 0, 0, QUOR_RC_NULL_ID_SIZES},
        {node, nullptr, lengths, nullptr, nullptr, 0, 0, 0, QUOR_RC_NULL_ID},
        {node, nullptr, lengths, ids, nullptr, 0, 0, 0, QUOR_RC_NULL_NUMBERS},
        {node, tags, lengths, ids, nullptr, 0, 0, 0, QUOR_RC_NULL_VALUE_SIZES},
        {node, tags, lengths, ids, sizes, 0, 0, 0, QUOR_RC_TOO_MANY_IV_PROPERTIES},
        {node, tags, lengths, ids, sizes, 0, QUOR_MAX_COUNT + 1, 0, QUOR_RC_TOO_MANY_IV_PROPERTIES},
        {node, tags, lengths, ids, sizes, QUOR_MAX_TAG + 1, 2, 0, QUOR_RC_SIZE_TOO_LARGE},
        {node, tags, lengths, ids, sizes, 0, 2, kMaxId + 1, QUOR_RC_ID_SLOT_TOO_LARGE},
        {node, tags, lengths, ids, sizes, 0, 2, kMaxId, QUOR_RC_IV_NOT_IN_HASH_TABLE},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(
            quorReturnIVProperties(c.node, c.tags, c.lengths, c.ids, c.sizes, c.tag, c.capacity, c.slot, 0),
            c.expected);
    }
    uint64_t numbers[1];
    EXPECT_EQ(quorReturnRProperties(node, numbers, 0, 0, 0), QUOR_RC_TOO_MANY_R_PROPERTIES);
    EXPECT_EQ(quorReturnRProperties(node, nullptr, 0, 1, 0), QUOR_RC_NULL_NUMBERS);
    EXPECT_EQ(quorReturnRProperties(node, numbers, 0, 1, 0), QUOR_RC_NO_R_AREA);
}

// A flat area holding nothing counts 0 with its whole room, and has nothing to
// list.
TEST(FlatCounts, EmptyAreaReportsItsRoom) {
    SNodeCB_t *node = nodeWithArea(QUOR_KIND_R, 8 + 10 * 144);
    ASSERT_EQ(quorCreateRPropertyList(node, nullptr, nullptr, 0, 0, QUOR_LIST_FLAT, 0), QUOR_RC_OK);
    uint64_t count = 9, capacity = 0, numbers[3];
    ASSERT_EQ(quorGetNumberOfRProperties(node, &count, &capacity, 0), QUOR_RC_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(capacity, 10u);
    EXPECT_EQ(quorReturnRProperties(node, numbers, 0, 3, 0), QUOR_RC_R_NOT_IN_HASH_TABLE);
}

// ---- the export list ----

TEST(ExportList, StoresGivenEntriesAfterAllChecks) {
    SNodeCB_t *node = nodeWithArea(QUOR_KIND_EXPORT_LIST, sizeof(ExportList_t));
    node->areaFlags |= QUOR_KIND_R;  // as if the node had further areas
    auto *list =
        reinterpret_cast<ExportList_t *>(reinterpret_cast<char *>(node) + node->areaDirectory[11].areaOffset);
    for (uint32_t i = 0; i < QUOR_EXPORT_LIST_ENTRIES; ++i) list->entries[i] = 100 + i;
    uint32_t changes[QUOR_EXPORT_LIST_ENTRIES] = {};
    changes[QUOR_EXPORT_DEPENDENTS] = 40;
    changes[57] = 7;
    ASSERT_EQ(quorExportListOfChangedProperties(node, nullptr, changes), QUOR_RC_OK);
    EXPECT_EQ(list->areaFlags, node->areaFlags);
    for (uint32_t i = 0; i < QUOR_EXPORT_LIST_ENTRIES; ++i) {
        const uint32_t expected = i == QUOR_EXPORT_DEPENDENTS ? 40 : i == 57 ? 7 : 100 + i;
        EXPECT_EQ(list->entries[i], expected) << i;
    }

    // A limit broken anywhere among the first five entries writes nothing.
    const ExportList_t before = *list;
    node->areaFlags |= QUOR_KIND_V;
    const uint32_t limitCodes[] = {QUOR_RC_TOO_MANY_R_PROPERTIES, QUOR_RC_TOO_MANY_V_PROPERTIES,
                                   QUOR_RC_TOO_MANY_IR_PROPERTIES, QUOR_RC_TOO_MANY_IV_PROPERTIES,
                                   QUOR_RC_TOO_MANY_DEPENDENTS};
    for (uint32_t i = 0; i < 5; ++i) {
        uint32_t bad[QUOR_EXPORT_LIST_ENTRIES] = {};
        bad[i] = 40000;
        EXPECT_EQ(quorExportListOfChangedProperties(node, nullptr, bad), limitCodes[i]) << i;
    }
    node->NodeCondition = QUOR_NODE_ABANDONED;
    EXPECT_EQ(quorExportListOfChangedProperties(node, nullptr, changes), QUOR_RC_NODE_ABANDONED);
    EXPECT_EQ(std::memcmp(&before, list, sizeof before), 0);
    EXPECT_EQ(quorExportListOfChangedProperties(node, nullptr, nullptr), QUOR_RC_NULL_CHANGED_LIST);
    node->areaFlags &= ~uint64_t{QUOR_KIND_EXPORT_LIST};
    EXPECT_EQ(quorExportListOfChangedProperties(node, nullptr, changes), QUOR_RC_NO_EXPORT_AREA);
}

TEST(ExportList, ReturnsTheNodesAreas) {
    SNodeCB_t *node = nodeWithArea(QUOR_KIND_EXPORT_LIST, sizeof(ExportList_t));
    node->areaFlags = 0x812 | QUOR_KIND_EXPORT_LIST;
    uint64_t flags = 0;
    ASSERT_EQ(quorReturnExports(node, &flags), QUOR_RC_OK);
    EXPECT_EQ(flags, 0x812u | QUOR_KIND_EXPORT_LIST);
    EXPECT_EQ(quorReturnExports(node, nullptr), QUOR_RC_NULL_EXPORTS_OUTPUT);
    node->NodeCondition = QUOR_NODE_INITIALIZED;
    EXPECT_EQ(quorReturnExports(node, &flags), QUOR_RC_NODE_NOT_ACTIVE);
}

}  // namespace
}  // namespace quor::test
