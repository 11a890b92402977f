// List and Base creation, the input check, and the flat-area behaviours that
// creation sets up.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "props_fixture.h"

namespace quor::test {
namespace {

using props::IRKind, props::IVKind, props::RKind, props::VKind;

TEST(CreateList, HashedTableSizesAndRoom) {
    // A table for 10 has 11 buckets; an area one byte short of a full table is
    // refused before anything is written.
    const uint64_t room = 8 + 8 * 11 + 16 + 11 * 152;
    SNodeCB_t *node = nodeWithArea(QUOR_KIND_R, room - 1);
    EXPECT_EQ(quorCreateRPropertyList(node, nullptr, nullptr, 0, 10, QUOR_LIST_HASHED, 0),
              QUOR_RC_R_TABLE_AREA_TOO_SMALL);
    EXPECT_EQ(usedOf(node, QUOR_KIND_R), 0u);
    node = nodeWithArea(QUOR_KIND_R, room);
    ASSERT_EQ(quorCreateRPropertyList(node, nullptr, nullptr, 0, 10, QUOR_LIST_HASHED, 0), QUOR_RC_OK);
    uint64_t htSize = 0;
    ASSERT_EQ(quorGetHashTableSizeForRVProperties(node, QUOR_KIND_R, &htSize), QUOR_RC_OK);
    EXPECT_EQ(htSize, 11u);
    EXPECT_EQ(usedOf(node, QUOR_KIND_R), 8u + 8 * 11 + 16);

    const uint64_t numbers[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const int32_t values[12] = {};
    EXPECT_EQ(quorCreateRPropertyList(node, numbers, values, 12, 10, QUOR_LIST_HASHED, 0),
              QUOR_RC_TABLE_SMALLER_THAN_COUNT);
    EXPECT_EQ(quorCreateRPropertyList(node, numbers, values, 2, 10, 2, 0), QUOR_RC_BAD_HASH_MODE);
    EXPECT_EQ(quorCreateRPropertyList(node, nullptr, nullptr, 0, UINT64_MAX, QUOR_LIST_HASHED, 0),
              QUOR_RC_HASH_TABLE_SIZE_OUT_OF_RANGE);
    // A repeated number stops the hashed creation there; those before it stay.
    const uint64_t repeated[3] = {4, 9, 4};
    EXPECT_EQ(quorCreateRPropertyList(node, repeated, values, 3, 10, QUOR_LIST_HASHED, 0),
              QUOR_RC_DUPLICATE_R);
    uint64_t live = 0;
    EXPECT_TRUE(consistent<RKind>(node, &live));
    EXPECT_EQ(live, 2u);
}

TEST(CreateList, HashedTaggedRoomCountsAllBuckets) {
    // IR: tag+ID table 11 (maxCount 10), tag table 3, ID table 5.
    const uint64_t room = 32 + 8 * (11 + 3 + 5) + 16 + 11 * (592 + 8);
    for (uint64_t size : {room - 1, room}) {
        SNodeCB_t *node = nodeWithArea(QUOR_KIND_IR, size);
        EXPECT_EQ(quorCreateIRPropertyList(node, nullptr, nullptr, nullptr, nullptr, 5, 0, 3, 5, 10,
                                           QUOR_LIST_HASHED, 0),
                  size == room ? QUOR_RC_OK : QUOR_RC_IR_TABLE_AREA_TOO_SMALL);
    }
    SNodeCB_t *node = nodeWithArea(QUOR_KIND_IR, room);
    EXPECT_EQ(quorCreateIRPropertyList(node, nullptr, nullptr, nullptr, nullptr, 5, 0, 0x100001, 5, 10,
                                       QUOR_LIST_HASHED, 0),
              QUOR_RC_TAG_TABLE_SIZE_TOO_LARGE);
    EXPECT_EQ(quorCreateIRPropertyList(node, nullptr, nullptr, nullptr, nullptr, 5, 0, 3, 0x100001, 10,
                                       QUOR_LIST_HASHED, 0),
              QUOR_RC_ID_TABLE_SIZE_TOO_LARGE);
    EXPECT_EQ(quorCreateIRPropertyList(node, nullptr, nullptr, nullptr, nullptr, 5, 0, 3, 5, 32769,
                                       QUOR_LIST_HASHED, 0),
              QUOR_RC_TOO_MANY_IR_PROPERTIES);
    EXPECT_EQ(quorCreateIRPropertyList(node, nullptr, nullptr, nullptr, nullptr, 4097, 0, 3, 5, 10,
                                       QUOR_LIST_HASHED, 0),
              QUOR_RC_BAD_MAX_ID_SIZE);
}

// Every flat and Base room test at exactly its size and one byte short.
TEST(CreateList, RoomLimitsOneByteShort) {
    const uint64_t one[1] = {1}, size4[1] = {4};
    const int32_t value[1] = {1};
    const char bytes[16] = "abcd";
    struct Case {
        uint64_t kind, room;
        uint32_t tooSmall;
        std::function<uint32_t(SNodeCB_t *)> create;
    } cases[] = {
        {QUOR_KIND_R, 8 + 144, QUOR_RC_R_AREA_TOO_SMALL,
         [&](SNodeCB_t *n) { return quorCreateRPropertyList(n, one, value, 1, 1, QUOR_LIST_FLAT, 0); }},
        {QUOR_KIND_V, 16 + 424 + 8, QUOR_RC_V_AREA_TOO_SMALL,
         [&](SNodeCB_t *n) {
             return quorCreateVPropertyList(n, one, bytes, size4, 5, 1, 1, QUOR_LIST_FLAT, 0);
         }},
        {QUOR_KIND_IR, 16 + 552 + 8, QUOR_RC_IR_AREA_TOO_SMALL,
         [&](SNodeCB_t *n) {
             return quorCreateIRPropertyList(n, one, value, size4, "abcd", 4, 1, 0, 0, 1, QUOR_LIST_FLAT, 0);
         }},
        {QUOR_KIND_IV, 24 + 440 + 8 + 8, QUOR_RC_IV_AREA_TOO_SMALL,
         [&](SNodeCB_t *n) {
             return quorCreateIVPropertyList(n, one, size4, "abcd", 4, bytes, size4, 8, 1, 0, 0, 1,
                                             QUOR_LIST_FLAT, 0);
         }},
        {QUOR_KIND_BASER, 144, QUOR_RC_BASER_AREA_TOO_SMALL,
         [&](SNodeCB_t *n) { return quorCreateBaseRProperty(n, 1, 1, 0); }},
        {QUOR_KIND_BASEV, 8 + 424 + 8, QUOR_RC_BASEV_AREA_TOO_SMALL,
         [&](SNodeCB_t *n) { return quorCreateBaseVProperty(n, 1, bytes, 4, 8, 0); }},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.create(nodeWithArea(c.kind, c.room - 1)), c.tooSmall) << std::hex << c.kind;
        SNodeCB_t *node = nodeWithArea(c.kind, c.room);
        EXPECT_EQ(c.create(node), QUOR_RC_OK) << std::hex << c.kind;
        EXPECT_EQ(usedOf(node, c.kind), c.room) << std::hex << c.kind;
    }
}

// Numbers (5, 0, 7) with room for 4: four slots laid down, two counted, the
// counter raised once per given entry.
TEST(CreateList, FlatPrefillAndFreeSlots) {
    SNodeCB_t *node = nodeWithArea(QUOR_KIND_R, 8 + 4 * 144);
    const uint64_t numbers[3] = {5, 0, 7};
    const int32_t values[3] = {50, 0, 70};
    ASSERT_EQ(quorCreateRPropertyList(node, numbers, values, 3, 4, QUOR_LIST_FLAT, 0), QUOR_RC_OK);
    EXPECT_EQ(usedOf(node, QUOR_KIND_R), 8u + 2 * 144);
    EXPECT_EQ(reconfig(node), 3);
    RPropertyRec_t *first = nullptr;
    uint64_t count = 0, capacity = 0;
    ASSERT_EQ(quorGetFirstRPropertyLocation(node, &first, &count, &capacity), QUOR_RC_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(capacity, 4u);
    EXPECT_EQ(first[0].number, 5u);
    EXPECT_EQ(first[1].number, 0u);
    EXPECT_EQ(first[3].number, 0u);

    // The free slot between 5 and 7 takes the next add; a second add of the
    // same number is a duplicate.
    ASSERT_EQ(quorAddRProperty(node, 9, 90, 0), QUOR_RC_OK);
    EXPECT_EQ(first[1].number, 9u);
    EXPECT_EQ(quorAddRProperty(node, 9, 90, 0), QUOR_RC_DUPLICATE_R);
    ASSERT_EQ(quorAddRProperty(node, 11, 0, 0), QUOR_RC_OK);
    EXPECT_EQ(first[3].number, 11u);
    EXPECT_EQ(quorAddRProperty(node, 12, 0, 0), QUOR_RC_R_LIST_FULL);
    // Number 0 is a free slot's mark: no flat property carries it.
    EXPECT_EQ(quorAddRProperty(node, 0, 0, 0), QUOR_RC_ZERO_KEY_IN_FLAT_AREA);
    ASSERT_EQ(quorDeleteRProperty(node, 7, 0), QUOR_RC_OK);
    ASSERT_EQ(quorAddRProperty(node, 12, 0, 0), QUOR_RC_OK);
    EXPECT_EQ(first[2].number, 12u);

    // Walking with the next-record operation stops at the area's end.
    RPropertyRec_t *walk = first;
    PExport *pExport = &node->areaDirectory[6];
    for (int i = 0; i < 4; ++i) ASSERT_EQ(quorGetNextRPropertyLocation(node, pExport, &walk), QUOR_RC_OK);
    EXPECT_EQ(quorGetNextRPropertyLocation(node, pExport, &walk), QUOR_RC_R_OUT_OF_AREA);
}

TEST(CreateList, FlatChecksWriteNothing) {
    SNodeCB_t *node = nodeWithArea(QUOR_KIND_R, 8 + 4 * 144);
    const int32_t values[3] = {};
    const uint64_t twice[2] = {5, 5}, free[2] = {0, 0}, large[2] = {1, 0x100001};
    EXPECT_EQ(quorCreateRPropertyList(node, twice, values, 2, 2, QUOR_LIST_FLAT, 0), QUOR_RC_DUPLICATE_R);
    EXPECT_EQ(quorCreateRPropertyList(node, large, values, 2, 2, QUOR_LIST_FLAT, 0), QUOR_RC_SIZE_TOO_LARGE);
    EXPECT_EQ(quorCreateRPropertyList(node, free, nullptr, 2, 2, QUOR_LIST_FLAT, 0), QUOR_RC_NULL_VALUES);
    EXPECT_EQ(quorCreateRPropertyList(node, nullptr, values, 2, 2, QUOR_LIST_FLAT, 0), QUOR_RC_NULL_NUMBERS);
    EXPECT_EQ(quorCreateRPropertyList(node, free, values, 5, 5, QUOR_LIST_FLAT, 0), QUOR_RC_R_AREA_TOO_SMALL);
    EXPECT_EQ(usedOf(node, QUOR_KIND_R), 0u);
    EXPECT_EQ(reconfig(node), 0);
    ASSERT_EQ(quorCreateRPropertyList(node, free, values, 2, 2, QUOR_LIST_FLAT, 0), QUOR_RC_OK);
    EXPECT_EQ(usedOf(node, QUOR_KIND_R), 8u);
    // An empty flat list is its header alone.
    ASSERT_EQ(quorCreateRPropertyList(node, nullptr, nullptr, 0, 4, QUOR_LIST_FLAT, 0), QUOR_RC_OK);
    EXPECT_EQ(usedOf(node, QUOR_KIND_R), 8u);
    ASSERT_EQ(quorAddRProperty(node, 3, 0, 0), QUOR_RC_OK);
    ASSERT_EQ(quorDeleteRProperty(node, 3, 0), QUOR_RC_OK);
    EXPECT_EQ(usedOf(node, QUOR_KIND_R), 8u);
}

// Values sit in the buffer at the rounded maximum's stride; IDs are packed.
TEST(CreateList, BufferConventions) {
    SNodeCB_t *node = nodeWithArea(QUOR_KIND_V, 16 + 2 * (424 + 16));
    const uint64_t numbers[2] = {1, 2}, sizes[2] = {3, 13};
    char buffer[32] = {};
    std::memcpy(buffer, "abc", 3);
    std::memcpy(buffer + 16, "0123456789abc", 13);
    ASSERT_EQ(quorCreateVPropertyList(node, numbers, buffer, sizes, 13, 2, 2, QUOR_LIST_FLAT, 0), QUOR_RC_OK);
    uint64_t maxV = 0;
    ASSERT_EQ(quorGetMaxVSizeForVProperties(node, &maxV), QUOR_RC_OK);
    EXPECT_EQ(maxV, 16u);
    VPropertyRec_t *record = nullptr;
    ASSERT_EQ(quorGetAddressForVProperty(node, 2, &record), QUOR_RC_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(node) + record->valueOffset, record->valueSize),
              "0123456789abc");

    SNodeCB_t *irNode = nodeWithArea(QUOR_KIND_IR, 16 + 2 * (552 + 8));
    const uint64_t tags[2] = {1, 1}, lengths[2] = {3, 5};
    const int32_t values[2] = {10, 20};
    ASSERT_EQ(
        quorCreateIRPropertyList(irNode, tags, values, lengths, "abcdefgh", 5, 2, 0, 0, 2, QUOR_LIST_FLAT, 0),
        QUOR_RC_OK);
    // An ID length no buffer could hold is refused, never read.
    const uint64_t wild[2] = {5, uint64_t{1} << 62};
    EXPECT_EQ(
        quorCreateIRPropertyList(irNode, tags, values, wild, "abcdefgh", 5, 2, 0, 0, 2, QUOR_LIST_FLAT, 0),
        QUOR_RC_ID_TOO_LONG);
    ASSERT_EQ(
        quorCreateIRPropertyList(irNode, tags, values, lengths, "abcdefgh", 5, 2, 0, 0, 2, QUOR_LIST_FLAT, 0),
        QUOR_RC_OK);
    IRPropertyRec_t *ir = nullptr;
    EXPECT_EQ(quorGetAddressForIRProperty(irNode, 1, 3, "abc", &ir), QUOR_RC_OK);
    EXPECT_EQ(quorGetAddressForIRProperty(irNode, 1, 5, "defgh", &ir), QUOR_RC_OK);
    EXPECT_EQ(quorGetAddressForIRProperty(irNode, 1, 5, "abcde", &ir), QUOR_RC_IR_NOT_FOUND);
}

TEST(BaseProperties, CreateAndDelete) {
    Sizes sizes{};
    sizes[4] = 144;
    sizes[5] = 8 + 424 + 8;
    SNodeCB_t *node = makePropsNode(sizes, QUOR_KIND_BASER | QUOR_KIND_BASEV);
    ASSERT_EQ(quorCreateBaseRProperty(node, 42, -7, 0), QUOR_RC_OK);
    EXPECT_EQ(usedOf(node, QUOR_KIND_BASER), 144u);
    EXPECT_EQ(quorCreateBaseVProperty(node, 43, "x", 1, 1, 0), QUOR_RC_OK);
    EXPECT_EQ(usedOf(node, QUOR_KIND_BASEV), 440u);
    EXPECT_EQ(quorCreateBaseVProperty(node, 43, "123456789", 9, 8, 0), QUOR_RC_BAD_VALUE_SIZE);
    EXPECT_EQ(quorCreateBaseVProperty(node, 43, nullptr, 1, 8, 0), QUOR_RC_NULL_BASEV_VALUE);
    EXPECT_EQ(quorCreateBaseVProperty(node, 43, "x", 1, 9, 0), QUOR_RC_BASEV_AREA_TOO_SMALL);
    VPropertyRec_t *baseV = nullptr;
    ASSERT_EQ(quorGetBaseVPropertyLocation(node, &baseV), QUOR_RC_OK);
    EXPECT_EQ(baseV->valueOffset, node->areaDirectory[5].areaOffset + 432);
    EXPECT_EQ(reinterpret_cast<char *>(node)[baseV->valueOffset], 'x');
    EXPECT_EQ(reconfig(node), 2);

    EXPECT_EQ(quorDeleteBaseRProperty(node, 41, 0), QUOR_RC_BASER_NOT_FOUND);
    EXPECT_EQ(usedOf(node, QUOR_KIND_BASER), 144u);
    ASSERT_EQ(quorDeleteBaseRProperty(node, 42, 0), QUOR_RC_OK);
    EXPECT_EQ(usedOf(node, QUOR_KIND_BASER), 0u);
    ASSERT_EQ(quorDeleteBaseVProperty(node, 43, 0), QUOR_RC_OK);
    EXPECT_EQ(usedOf(node, QUOR_KIND_BASEV), 0u);
    EXPECT_EQ(reconfig(node), 4);
    EXPECT_EQ(quorDeleteBaseVProperty(node, 0, 0), QUOR_RC_BASEV_NOT_FOUND);
    EXPECT_EQ(reconfig(node), 4);
}

// The argument check every property operation runs, kind by kind.
TEST(CheckInput, KindsAndLimits) {
    Sizes sizes{};
    sizes[7] = 16 + 424 + 8;
    SNodeCB_t *node = makePropsNode(sizes, QUOR_KIND_V);
    ASSERT_EQ(quorCreateVPropertyList(node, nullptr, nullptr, nullptr, 8, 0, 1, QUOR_LIST_FLAT, 0),
              QUOR_RC_OK);
    uint64_t maxId = 1, maxV = 1;
    struct Case {
        uint32_t kind;
        uint64_t number, idLength;
        const char *id;
        uint64_t valueSize;
        uint32_t rc;
    } cases[] = {
        {QUOR_KIND_R, 0x100001, 0, nullptr, 0, QUOR_RC_SIZE_TOO_LARGE},
        {QUOR_KIND_R, 0x100000, 0, nullptr, 0, QUOR_RC_OK},
        {QUOR_KIND_V, 1, 0, nullptr, 8, QUOR_RC_OK},
        {QUOR_KIND_V, 1, 0, nullptr, 9, QUOR_RC_BAD_VALUE_SIZE},
        {QUOR_KIND_V, 1, 0, nullptr, 0, QUOR_RC_BAD_VALUE_SIZE},
        // BaseV is bounded by its own record's room (none here), not by the V area.
        {QUOR_KIND_BASEV, 1, 0, nullptr, 8, QUOR_RC_BAD_VALUE_SIZE},
        {QUOR_KIND_BASEV, 1, 0, nullptr, 1, QUOR_RC_OK},
        {QUOR_KIND_IR, 1, 0, "", 1, QUOR_RC_OK},  // no IR area: maximum 0
        {QUOR_KIND_IR, 1, 1, "a", 1, QUOR_RC_ID_TOO_LONG},
        {QUOR_KIND_IR, 1, 0, nullptr, 1, QUOR_RC_NULL_ID},
        {QUOR_KIND_IV, 1, 0, "", 2, QUOR_RC_BAD_VALUE_SIZE},
        {QUOR_KIND_DEPENDENTS, 1, 0, "", 1, QUOR_RC_BAD_PROPERTY_KIND},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(
            quorCheckInputParameters(c.kind, node, c.number, c.idLength, c.id, c.valueSize, &maxId, &maxV),
            c.rc)
            << std::hex << c.kind << " " << c.valueSize;
    }
    EXPECT_EQ(quorCheckInputParameters(QUOR_KIND_V, node, 1, 0, nullptr, 1, &maxId, &maxV), QUOR_RC_OK);
    EXPECT_EQ(maxV, 8u);
    EXPECT_EQ(quorCheckInputParameters(QUOR_KIND_V, node, 1, 0, nullptr, 1, &maxId, nullptr),
              QUOR_RC_NULL_MAX_V_OUT);
    EXPECT_EQ(quorCheckInputParameters(QUOR_KIND_R, nullptr, 1, 0, nullptr, 1, nullptr, nullptr),
              QUOR_RC_NULL_PARAMETER);
}

// A null value pointer is refused before anything is copied or counted.
TEST(AddProperty, NullValueRefused) {
    using A = Adapter<VKind, QUOR_LIST_HASHED>;
    SNodeCB_t *node = A::sizedNode(2);
    ASSERT_EQ(A::create(node, 2), QUOR_RC_OK);
    const uint64_t used = usedOf(node, QUOR_KIND_V);
    EXPECT_EQ(quorAddVProperty(node, 1, 4, nullptr, 0), QUOR_RC_NULL_VALUE_BUFFER);
    EXPECT_EQ(quorAddVPropertyToHashTable(node, 1, 4, nullptr, 0), QUOR_RC_NULL_VALUE_BUFFER);
    SNodeCB_t *iv = Adapter<IVKind, QUOR_LIST_FLAT>::sizedNode(2);
    ASSERT_EQ((Adapter<IVKind, QUOR_LIST_FLAT>::create(iv, 2)), QUOR_RC_OK);
    EXPECT_EQ(quorAddIVProperty(iv, 1, 1, "a", 4, nullptr, 0), QUOR_RC_NULL_VALUE_BUFFER);
    EXPECT_EQ(usedOf(node, QUOR_KIND_V), used);
    EXPECT_EQ(reconfig(node) + reconfig(iv), 0);
}

}  // namespace
}  // namespace quor::test
