// Hash-table sizing and hashing, chain order, the tag and ID chains, and the
// memory stack of hashed areas.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "props_fixture.h"

namespace quor::test {
namespace {

using props::IRKind, props::RKind;

TEST(Hashing, PrimesKeysAndBuckets) {
    for (auto [n, p] : {std::pair<uint64_t, uint64_t>{0, 1},
                        {1, 1},
                        {2, 3},
                        {3, 3},
                        {8, 11},
                        {9, 11},
                        {25, 29},
                        {100000, 100003}}) {
        uint64_t out = 0;
        EXPECT_EQ(quorGetPrimeNumber(n, &out), QUOR_RC_OK);
        EXPECT_EQ(out, p) << n;
    }
    EXPECT_EQ(quorGetPrimeNumber(9, nullptr), QUOR_RC_OK);
    // Near the top of the 64-bit range: no divisor wraps, squares of primes are
    // no primes, and past the largest 64-bit prime (2^64 - 59) there is none.
    const uint64_t square = 4294967291ull * 4294967291ull;  // the largest 32-bit prime, squared
    for (auto [n, p] : {std::pair<uint64_t, uint64_t>{uint64_t{1} << 32, 4294967311ull},
                        {uint64_t{1} << 63, 9223372036854775837ull},
                        {UINT64_MAX - 81, UINT64_MAX - 58},  // 2^64 - 83 is the prime below
                        {UINT64_MAX - 58, UINT64_MAX - 58}}) {
        uint64_t out = 0;
        EXPECT_EQ(quorGetPrimeNumber(n, &out), QUOR_RC_OK) << n;
        EXPECT_EQ(out, p) << n;
    }
    uint64_t above = 0;
    ASSERT_EQ(quorGetPrimeNumber(square, &above), QUOR_RC_OK);
    EXPECT_GT(above, square);
    for (uint64_t n : {UINT64_MAX - 57, UINT64_MAX - 1, UINT64_MAX}) {
        uint64_t out = 7;
        EXPECT_EQ(quorGetPrimeNumber(n, &out), QUOR_RC_NO_PRIME_AT_OR_ABOVE) << n;
        EXPECT_EQ(out, 7u);
    }

    char key[QUOR_MAX_NUMBER_KEY_LEN] = {};
    uint64_t length = 0;
    ASSERT_EQ(quorConvertNumberToKey(0, key, &length), QUOR_RC_OK);
    EXPECT_EQ(std::string(key, length), "0");
    ASSERT_EQ(quorConvertNumberToKey(1234, key, &length), QUOR_RC_OK);
    EXPECT_EQ(std::string(key, length), "4321");
    ASSERT_EQ(quorConvertNumberToKey(UINT64_MAX, key, &length), QUOR_RC_OK);
    EXPECT_EQ(length, 20u);
    char bytes[] = "abcde";
    ASSERT_EQ(quorReverseByteSequence(bytes, 5), QUOR_RC_OK);
    EXPECT_STREQ(bytes, "edcba");

    EXPECT_EQ(props::hashNumber(0), 0x31u);
    EXPECT_EQ(props::hashNumber(7), 0x38u);
    EXPECT_EQ(props::hashNumber(12), 0xa48u);
    uint64_t index = 9;
    ASSERT_EQ(quorGetHTIndexForTag(12, 7, &index), QUOR_RC_OK);
    EXPECT_EQ(index, 0u);
    uint64_t tagId = 0, tag = 0, id = 0;
    ASSERT_EQ(quorGetHTIndex(5, "", 0, 101, 7, 3, &tagId, &tag, &id), QUOR_RC_OK);
    EXPECT_EQ(tagId, 5u);  // an empty ID hashes to its tag
    ASSERT_EQ(quorGetHTIndex(5, "", 0, 3, 7, 3, &tagId, &tag, &id), QUOR_RC_OK);
    EXPECT_EQ(tagId, 2u);
    // A table of no buckets can not be hashed into.
    EXPECT_EQ(quorGetHTIndexForTag(12, 0, &index), QUOR_RC_HASH_TABLE_SIZE_OUT_OF_RANGE);
    EXPECT_EQ(quorGetHTIndex(5, "ab", 2, 3, 0, 3, &tagId, &tag, &id), QUOR_RC_HASH_TABLE_SIZE_OUT_OF_RANGE);
}

// The hash is a shared format: however it is computed, it must stay the
// byte-by-byte recurrence, for every length and every byte value.
TEST(Hashing, BytesHashAsTheByteByByteRecurrence) {
    auto byteByByte = [](uint64_t seed, const unsigned char *bytes, uint64_t length) {
        uint64_t x = seed, a = seed, p = seed;
        for (uint64_t i = 0; i < length; ++i) {
            x ^= bytes[i];
            a += bytes[i];
            p = (p + 1) * (bytes[i] + uint64_t{1});
        }
        return x ^ a ^ p;
    };
    unsigned char bytes[40];
    uint64_t state = 0x9e3779b97f4a7c15u;
    for (int round = 0; round < 200; ++round) {
        for (unsigned char &b : bytes) {
            state = state * 6364136223846793005u + 1442695040888963407u;
            b = static_cast<unsigned char>(state >> 56);
        }
        if (round == 0) std::memset(bytes, 0xff, sizeof bytes);
        for (uint64_t length = 0; length <= sizeof bytes; ++length) {
            const uint64_t seed = state ^ length;
            ASSERT_EQ(props::hashBytes(seed, reinterpret_cast<const char *>(bytes), length),
                      byteByByte(seed, bytes, length))
                << "round " << round << ", length " << length;
        }
    }
}

// Bucket indexes and the LL-node lattice check take shortcuts around their
// divisions; both must agree with the remainder for every divisor, near its
// multiples and far beyond the shortcut's range.
TEST(Hashing, ShortcutsAgreeWithTheRemainder) {
    std::vector<uint64_t> values = {
        0, 1, UINT32_MAX, uint64_t{UINT32_MAX} + 1, UINT64_MAX, 0x9e3779b97f4a7c15u};
    for (uint64_t divisor = 1; divisor <= 1100; ++divisor) {
        for (uint64_t k : {uint64_t{1}, uint64_t{2}, uint64_t{3}, uint64_t{977}, uint64_t{4194301}}) {
            for (uint64_t near : {k * divisor - 1, k * divisor, k * divisor + 1}) values.push_back(near);
        }
        for (uint64_t value : values) {
            ASSERT_EQ(props::wholeStrides(value, divisor), value % divisor == 0) << value << " / " << divisor;
        }
        values.resize(6);
    }
    // Sizes alternate from hash to hash, as lookups in different tables do.
    const uint64_t sizes[] = {1,         2, 3, 7, 16, 1024, 10000, 65536, 99991, 100003, uint64_t{1} << 40,
                              UINT64_MAX};
    uint64_t state = 0x2545f4914f6cdd1du;
    for (int round = 0; round < 2000; ++round) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        values.push_back(state);
    }
    for (uint64_t size : sizes) {
        for (uint64_t near : {size - 1, size, size + 1, UINT64_MAX - UINT64_MAX % size})
            values.push_back(near);
    }
    for (uint64_t hash : values) {
        for (uint64_t size : sizes)
            ASSERT_EQ(props::bucketOf(hash, size), hash % size) << hash << " % " << size;
    }
}

TEST(Hashing, NumbersHashAsTheirDigitKeys) {
    std::vector<uint64_t> numbers = {0, UINT64_MAX, UINT64_MAX - 1};
    for (uint64_t power = 1; power <= 1000000000000000000u; power *= 10) {
        for (uint64_t n : {power - 1, power, power + 1, 7 * power, 10 * power - 1}) numbers.push_back(n);
    }
    for (uint64_t n = 0; n < 2000; ++n) numbers.push_back(n);
    for (uint64_t n = 1, i = 0; i < 41; n *= 3, ++i) numbers.push_back(n);
    char key[QUOR_MAX_NUMBER_KEY_LEN];
    for (uint64_t n : numbers) {
        ASSERT_EQ(props::hashNumber(n), props::hashBytes(0, key, props::digitKey(n, key))) << n;
    }
}

TEST(Hashing, TagIdOrder) {
    struct Case {
        uint64_t tag1;
        const char *id1;
        uint64_t tag2;
        const char *id2;
        int64_t order;
    } cases[] = {{5, "zz", 6, "a", -1},
                 {5, "ab", 5, "z", 1},
                 {5, "ab", 5, "ac", -1},
                 {5, "\x80", 5, "\x7f", 1},
                 {5, "", 5, "", 0}};
    for (const Case &c : cases) {
        int64_t order = 9;
        ASSERT_EQ(quorCompareTagID(c.tag1, c.id1, std::strlen(c.id1), c.tag2, c.id2, std::strlen(c.id2),
                                   QUOR_KIND_IR, &order),
                  QUOR_RC_OK);
        EXPECT_EQ(order, c.order) << c.id1 << " " << c.id2;
    }
    // IDs of one length that differ in one byte, at every place of IDs up to
    // and past the word-wise compare: the first differing byte decides, as an
    // unsigned byte.
    for (uint64_t length : {1, 7, 8, 9, 15, 16, 17, 40, 64, 65, 100}) {
        for (uint64_t at = 0; at < length; ++at) {
            std::string low(length, 'm'), high(length, 'm');
            low[at] = '\x01';
            high[at] = '\x80';
            if (at + 1 < length) low[at + 1] = '\xff';  // bytes behind the first difference do not count
            int64_t order = 9;
            ASSERT_EQ(quorCompareTagID(5, low.data(), length, 5, high.data(), length, QUOR_KIND_IR, &order),
                      QUOR_RC_OK);
            EXPECT_EQ(order, -1) << length << " " << at;
            ASSERT_EQ(quorCompareTagID(5, high.data(), length, 5, low.data(), length, QUOR_KIND_IR, &order),
                      QUOR_RC_OK);
            EXPECT_EQ(order, 1) << length << " " << at;
            ASSERT_EQ(quorCompareTagID(5, low.data(), length, 5, low.data(), length, QUOR_KIND_IR, &order),
                      QUOR_RC_OK);
            EXPECT_EQ(order, 0) << length << " " << at;
        }
    }
}

// A one-bucket R table: the chain reads in ascending order whatever the
// insertion order, and a duplicate changes nothing.
TEST(HashedChains, SortedAndDuplicateFree) {
    SNodeCB_t *node = nodeWithArea(QUOR_KIND_R, 8 + 8 + 16 + 4 * 152);
    ASSERT_EQ(quorCreateRPropertyList(node, nullptr, nullptr, 0, 0, QUOR_LIST_HASHED, 0), QUOR_RC_OK);
    uint64_t htSize = 0;
    ASSERT_EQ(quorGetHashTableSizeForRVProperties(node, QUOR_KIND_R, &htSize), QUOR_RC_OK);
    ASSERT_EQ(htSize, 1u);
    for (uint64_t n : {30, 10, 20}) ASSERT_EQ(quorAddRPropertyToHashTable(node, n, 0, 0), QUOR_RC_OK);
    const uint64_t used = usedOf(node, QUOR_KIND_R);
    const int32_t counter = reconfig(node);
    EXPECT_EQ(quorAddRPropertyToHashTable(node, 20, 0, 0), QUOR_RC_DUPLICATE_R);
    EXPECT_EQ(usedOf(node, QUOR_KIND_R), used);
    EXPECT_EQ(reconfig(node), counter);

    props::PropertyArea<RKind> area;
    ASSERT_EQ(area.open(node), QUOR_RC_OK);
    std::vector<uint64_t> chain;
    ASSERT_EQ(props::walkChains(area,
                                [&](uint64_t, RPropertyLLNode_t &ll, bool *) {
                                    chain.push_back(ll.record.number);
                                    return 0u;
                                }),
              QUOR_RC_OK);
    EXPECT_EQ(chain, (std::vector<uint64_t>{10, 20, 30}));
    RPropertyRec_t *record = nullptr;
    EXPECT_EQ(quorFindRPropertyInHashTable(node, 25, &record), QUOR_RC_R_NOT_IN_HASH_TABLE);
    ASSERT_EQ(quorFindRPropertyInHashTable(node, 20, &record), QUOR_RC_OK);
    EXPECT_EQ(record->number, 20u);
}

// Two IR properties of one tag: the newer heads the tag chain; removing it
// makes the older the head again, its prev naming the bucket entry.
TEST(HashedChains, TagAndIdChainsRelink) {
    using A = Adapter<IRKind, QUOR_LIST_HASHED>;
    SNodeCB_t *node = A::sizedNode(8);
    ASSERT_EQ(A::create(node, 8), QUOR_RC_OK);
    ASSERT_EQ(quorAddIRPropertyToHashTable(node, 4, 1, "A", 1, 0), QUOR_RC_OK);
    ASSERT_EQ(quorAddIRPropertyToHashTable(node, 4, 1, "B", 2, 0), QUOR_RC_OK);
    props::PropertyArea<IRKind> area;
    ASSERT_EQ(area.open(node), QUOR_RC_OK);
    const uint64_t tagBucket = props::numberBucket(4, area.tableSize(1));
    auto headOfTag = [&] {
        return props::pairOwner(area, props::kTagChain<IRKind>, *area.bucket(1, tagBucket));
    };
    ASSERT_NE(headOfTag(), nullptr);
    EXPECT_EQ(std::string(area.idBytes(headOfTag()->record, 1), 1), "B");
    IRPropertyLLNode_t *b = headOfTag();
    IRPropertyLLNode_t *a = props::pairOwner(area, props::kTagChain<IRKind>, b->tagNext);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(std::string(area.idBytes(a->record, 1), 1), "A");

    ASSERT_EQ(quorDeleteIRPropertyFromHashTable(node, 4, 1, "B"), QUOR_RC_OK);
    EXPECT_EQ(headOfTag(), a);
    EXPECT_EQ(a->tagPrev, area.bucketOffset(1, tagBucket));
    uint64_t live = 0;
    EXPECT_TRUE(consistent<IRKind>(node, &live));
    EXPECT_EQ(live, 1u);
}

// Freed LL nodes are reused last-freed-first, before fresh space; each push
// and pop moves usedSize by 8.
TEST(MemoryStack, LastFreedFirstReuse) {
    SNodeCB_t *node = nodeWithArea(QUOR_KIND_R, 8 + 8 * 7 + 16 + 7 * 152);
    ASSERT_EQ(quorCreateRPropertyList(node, nullptr, nullptr, 0, 6, QUOR_LIST_HASHED, 0), QUOR_RC_OK);
    for (uint64_t n = 1; n <= 4; ++n) ASSERT_EQ(quorAddRProperty(node, n, 0, 0), QUOR_RC_OK);
    RPropertyRec_t *two = nullptr, *three = nullptr;
    ASSERT_EQ(quorFindRPropertyInHashTable(node, 2, &two), QUOR_RC_OK);
    ASSERT_EQ(quorFindRPropertyInHashTable(node, 3, &three), QUOR_RC_OK);

    auto freed = [&] {
        uint64_t count = 99, size = 0;
        EXPECT_EQ(quorGetNumberOfFreedLListNodes(node, QUOR_KIND_R, &count), QUOR_RC_OK);
        EXPECT_EQ(quorGetMemoryStackSizeForHashTable(node, QUOR_KIND_R, &size), QUOR_RC_OK);
        EXPECT_EQ(size, 8 * count + 16);
        return count;
    };
    const uint64_t used = usedOf(node, QUOR_KIND_R);
    ASSERT_EQ(quorDeleteRProperty(node, 2, 0), QUOR_RC_OK);
    ASSERT_EQ(quorDeleteRProperty(node, 3, 0), QUOR_RC_OK);
    EXPECT_EQ(freed(), 2u);
    EXPECT_EQ(usedOf(node, QUOR_KIND_R), used - 2 * 152 + 2 * 8);

    RPropertyRec_t *record = nullptr;
    ASSERT_EQ(quorAddRProperty(node, 9, 0, 0), QUOR_RC_OK);
    ASSERT_EQ(quorFindRPropertyInHashTable(node, 9, &record), QUOR_RC_OK);
    EXPECT_EQ(record, three);  // the last freed
    EXPECT_EQ(freed(), 1u);
    EXPECT_EQ(usedOf(node, QUOR_KIND_R), used - 152 + 8);
    ASSERT_EQ(quorAddRProperty(node, 8, 0, 0), QUOR_RC_OK);
    ASSERT_EQ(quorFindRPropertyInHashTable(node, 8, &record), QUOR_RC_OK);
    EXPECT_EQ(record, two);
    EXPECT_EQ(freed(), 0u);
    EXPECT_EQ(usedOf(node, QUOR_KIND_R), used);
    uint64_t live = 0;
    EXPECT_TRUE(consistent<RKind>(node, &live));
}

// With fewer unused bytes than one LL node, fresh space is refused, but a freed
// LL node is still taken.
TEST(MemoryStack, FullAreaReusesFreedNodes) {
    SNodeCB_t *node = nodeWithArea(QUOR_KIND_R, 8 + 8 * 3 + 16 + 3 * 152 + 8);
    ASSERT_EQ(quorCreateRPropertyList(node, nullptr, nullptr, 0, 3, QUOR_LIST_HASHED, 0), QUOR_RC_OK);
    for (uint64_t n = 1; n <= 3; ++n) ASSERT_EQ(quorAddRProperty(node, n, 0, 0), QUOR_RC_OK);
    const int32_t counter = reconfig(node);
    EXPECT_EQ(quorAddRProperty(node, 4, 0, 0), QUOR_RC_NO_FREE_SPACE);
    EXPECT_EQ(reconfig(node), counter);
    ASSERT_EQ(quorDeleteRProperty(node, 2, 0), QUOR_RC_OK);
    EXPECT_EQ(quorAddRProperty(node, 4, 0, 0), QUOR_RC_OK);
    uint64_t live = 0;
    EXPECT_TRUE(consistent<RKind>(node, &live));
    EXPECT_EQ(live, 3u);
}

// A freed entry never lands on an LL node. Freed nodes keep their place, so
// unused bytes need not lie at the tail: with room for one entry behind a full
// table, a second delete is refused whole rather than writing its entry over
// the value bytes of the topmost node.
TEST(MemoryStack, EntriesNeverOverlapNodes) {
    const uint64_t ll = 432 + 16;
    SNodeCB_t *node = nodeWithArea(QUOR_KIND_V, 16 + 8 * 3 + 16 + 3 * ll + 8);
    ASSERT_EQ(quorCreateVPropertyList(node, nullptr, nullptr, nullptr, 16, 0, 3, QUOR_LIST_HASHED, 0),
              QUOR_RC_OK);
    const char value[] = "0123456789abcdef";
    for (uint64_t n = 1; n <= 3; ++n) ASSERT_EQ(quorAddVProperty(node, n, 16, value, 0), QUOR_RC_OK);
    ASSERT_EQ(quorDeleteVProperty(node, 1, 0), QUOR_RC_OK);
    const int32_t counter = reconfig(node);
    EXPECT_EQ(quorDeleteVProperty(node, 2, 0), QUOR_RC_NO_ROOM_FOR_FREED_ENTRY);
    EXPECT_EQ(reconfig(node), counter);
    uint64_t live = 0;
    EXPECT_TRUE(consistent<props::VKind>(node, &live));
    EXPECT_EQ(live, 2u);
    VPropertyRec_t *top = nullptr;
    ASSERT_EQ(quorGetAddressForVProperty(node, 3, &top), QUOR_RC_OK);
    EXPECT_EQ(std::memcmp(reinterpret_cast<char *>(node) + top->valueOffset, value, 16), 0);
    // Taking the freed node back makes room again.
    ASSERT_EQ(quorAddVProperty(node, 4, 16, value, 0), QUOR_RC_OK);
    EXPECT_EQ(quorDeleteVProperty(node, 2, 0), QUOR_RC_OK);
}

// The exported stack primitives: fresh space moves the next free offset, a
// recorded offset comes back first, and offsets that name no LL node are
// refused.
TEST(MemoryStack, ExportedPrimitives) {
    SNodeCB_t *node = nodeWithArea(QUOR_KIND_R, 8 + 8 + 16 + 2 * 152);
    ASSERT_EQ(quorCreateRPropertyList(node, nullptr, nullptr, 0, 1, QUOR_LIST_HASHED, 0), QUOR_RC_OK);
    const uint64_t start = node->areaDirectory[6].areaOffset + 16;
    uint64_t at = 0;
    ASSERT_EQ(quorGetFreeSpaceOffsetForProperty(node, QUOR_KIND_R, &at), QUOR_RC_OK);
    EXPECT_EQ(at, start);
    uint64_t bogus = start + 4;
    EXPECT_EQ(quorUpdateListOfFreedLLNodes(node, QUOR_KIND_R, &bogus), QUOR_RC_BAD_FREE_SPACE_OFFSET);
    ASSERT_EQ(quorUpdateListOfFreedLLNodes(node, QUOR_KIND_R, &at), QUOR_RC_OK);
    uint64_t again = 0;
    ASSERT_EQ(quorGetFreeSpaceOffsetForProperty(node, QUOR_KIND_R, &again), QUOR_RC_OK);
    EXPECT_EQ(again, at);
    EXPECT_EQ(quorGetFreeSpaceOffsetForProperty(node, QUOR_KIND_BASER, &again), QUOR_RC_BAD_PROPERTY_KIND);
}

// Hashing operations given a flat area fail with a code, never divide by zero;
// the IR table-size query of a flat area leaves the other two outputs alone.
TEST(FlatAreas, RefuseHashingOperations) {
    SNodeCB_t *node = nodeWithArea(QUOR_KIND_IR, 16 + 4 * (552 + 8));
    ASSERT_EQ(
        quorCreateIRPropertyList(node, nullptr, nullptr, nullptr, nullptr, 8, 0, 0, 0, 4, QUOR_LIST_FLAT, 0),
        QUOR_RC_OK);
    IRPropertyRec_t *record = nullptr;
    uint64_t count = 0;
    EXPECT_EQ(quorAddIRPropertyToHashTable(node, 1, 1, "a", 0, 0), QUOR_RC_HASH_TABLE_SIZE_OUT_OF_RANGE);
    EXPECT_EQ(quorFindIRPropertyInHashTable(node, 1, 1, "a", &record), QUOR_RC_HASH_TABLE_SIZE_OUT_OF_RANGE);
    EXPECT_EQ(quorDeleteIRPropertyFromHashTable(node, 1, 1, "a"), QUOR_RC_HASH_TABLE_SIZE_OUT_OF_RANGE);
    EXPECT_EQ(quorGetNumberOfFreedLListNodes(node, QUOR_KIND_IR, &count),
              QUOR_RC_HASH_TABLE_SIZE_OUT_OF_RANGE);
    uint64_t tagId = 7, tag = 7, id = 7;
    ASSERT_EQ(quorGetHashTableSizeForIRVProperties(node, QUOR_KIND_IR, &tagId, &tag, &id), QUOR_RC_OK);
    EXPECT_EQ(tagId, 0u);
    EXPECT_EQ(tag, 7u);
    EXPECT_EQ(id, 7u);
}

}  // namespace
}  // namespace quor::test
