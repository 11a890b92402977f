// Corrupt property areas and bad arguments: each gives its code, writes nothing,
// and nothing reads or writes outside the area.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "props_fixture.h"

namespace quor::test {
namespace {

using props::IRKind, props::RKind;

// A hashed R area (7 buckets) and a hashed IR area holding a few properties.
struct Corruptible {
    using RA = Adapter<RKind, QUOR_LIST_HASHED>;
    using IRA = Adapter<IRKind, QUOR_LIST_HASHED>;

    SNodeCB_t *node = nullptr;
    unsigned char *r = nullptr, *ir = nullptr;  // the two areas
    uint64_t rSize = 0, irSize = 0;

    Corruptible() {
        Sizes sizes{};
        uint64_t total = 0;
        EXPECT_EQ(quorCreateMaxSpaceArray(QUOR_KIND_R | QUOR_KIND_IR, 6, 0, 6, 0, 0, 0, 1, 1, kMaxId, 0, 1,
                                          QUOR_LIST_HASHED, 0, QUOR_LIST_HASHED, 0, 5, 6, 0, 0, sizes.data(),
                                          &total),
                  QUOR_RC_OK);
        node = makePropsNode(sizes, QUOR_KIND_R | QUOR_KIND_IR);
        EXPECT_EQ(RA::create(node, 6), QUOR_RC_OK);
        EXPECT_EQ(IRA::create(node, 6), QUOR_RC_OK);
        for (uint64_t key = 1; key <= 4; ++key) {
            EXPECT_EQ(RA::add(node, key), QUOR_RC_OK);
            EXPECT_EQ(IRA::add(node, key), QUOR_RC_OK);
        }
        r = reinterpret_cast<unsigned char *>(node) + node->areaDirectory[6].areaOffset;
        rSize = node->areaDirectory[6].areaSize;
        ir = reinterpret_cast<unsigned char *>(node) + node->areaDirectory[8].areaOffset;
        irSize = node->areaDirectory[8].areaSize;
    }

    uint64_t &word(unsigned char *area, uint64_t at) { return *reinterpret_cast<uint64_t *>(area + at); }
    // The first LL node of the R table's first non-empty bucket.
    uint64_t firstRNode() {
        for (uint64_t b = 0; b < 7; ++b)
            if (word(r, 8 + 8 * b) != 0) return word(r, 8 + 8 * b);
        return 0;
    }
    unsigned char *at(uint64_t nodeOffset) { return reinterpret_cast<unsigned char *>(node) + nodeOffset; }
    // Each live IR LL node: the four were laid down one after another behind
    // the 7 + 5 + 7 buckets.
    void forEachIrNode(const std::function<void(unsigned char *)> &fn) {
        const uint64_t size = props::llNodeSize<IRKind>(kMaxId, 0);
        for (uint64_t k = 0; k < 4; ++k) fn(ir + 32 + 8 * (7 + 5 + 7) + k * size);
    }
};

TEST(Corruption, CodesAndNothingWritten) {
    struct Case {
        const char *what;
        std::function<void(Corruptible &)> corrupt;
        std::function<uint32_t(SNodeCB_t *)> op;
        uint32_t rc;
    } cases[] = {
        {"table size above the limit", [](Corruptible &c) { c.word(c.r, 0) = 100005; },
         [](SNodeCB_t *n) { return quorAddRProperty(n, 9, 0, 0); }, QUOR_RC_HASH_TABLE_SIZE_OUT_OF_RANGE},
        {"table size above the area", [](Corruptible &c) { c.word(c.r, 0) = c.rSize / 8; },
         [](SNodeCB_t *n) { return quorDeleteRProperty(n, 1, 0); }, QUOR_RC_HASH_TABLE_SIZE_OUT_OF_RANGE},
        {"freed count above the limit", [](Corruptible &c) { c.word(c.r, c.rSize - 8) = 32769; },
         [](SNodeCB_t *n) { return quorAddRProperty(n, 9, 0, 0); }, QUOR_RC_BAD_FREED_COUNT},
        {"stack larger than the area", [](Corruptible &c) { c.word(c.r, c.rSize - 8) = c.rSize / 8; },
         [](SNodeCB_t *n) { return quorDeleteRProperty(n, 2, 0); }, QUOR_RC_BAD_FREED_COUNT},
        {"bucket outside the area",
         [](Corruptible &c) {
             for (uint64_t b = 0; b < 7; ++b) c.word(c.r, 8 + 8 * b) = 0x7fff0000;
         },
         [](SNodeCB_t *n) {
             RPropertyRec_t *rec = nullptr;
             return quorFindRPropertyInHashTable(n, 1001, &rec);
         },
         QUOR_RC_R_OUT_OF_AREA},
        {"link off the node lattice",
         [](Corruptible &c) { c.word(c.at(c.firstRNode()), 0) = c.firstRNode() + 4; },
         [](SNodeCB_t *n) {
             RPropertyRec_t *rec = nullptr;
             for (uint64_t k = 1; k < 40; ++k)
                 if (uint32_t rc = quorGetAddressForRProperty(n, 10 + k, &rec); rc != QUOR_RC_R_NOT_FOUND)
                     return rc;
             return 0u;
         },
         QUOR_RC_R_OUT_OF_AREA},
        {"chain loops back", [](Corruptible &c) { c.word(c.at(c.firstRNode()), 0) = c.firstRNode(); },
         [](SNodeCB_t *n) {
             RPropertyRec_t *rec = nullptr;
             for (uint64_t k = 1; k < 40; ++k)
                 if (uint32_t rc = quorFindRPropertyInHashTable(n, 1000 + k, &rec);
                     rc != QUOR_RC_R_NOT_IN_HASH_TABLE)
                     return rc;
             return 0u;
         },
         QUOR_RC_R_OUT_OF_AREA},
        {"next free offset past the stack",
         [](Corruptible &c) {
             c.word(c.r, c.rSize - 16) = c.node->areaDirectory[6].areaOffset + c.rSize - 8;
         },
         [](SNodeCB_t *n) { return quorAddRProperty(n, 9, 0, 0); }, QUOR_RC_BAD_FREE_SPACE_OFFSET},
        {"stored maximum ID size", [](Corruptible &c) { c.word(c.ir, 0) = 4097; },
         [](SNodeCB_t *n) { return Corruptible::IRA::add(n, 9); }, QUOR_RC_BAD_MAX_ID_SIZE},
        {"stored ID length beyond its room",
         [](Corruptible &c) {
             c.forEachIrNode([](unsigned char *ll) { *reinterpret_cast<uint64_t *>(ll + 64) = 4000; });
         },
         [](SNodeCB_t *n) { return Corruptible::IRA::remove(n, 3); }, QUOR_RC_ID_OUT_OF_AREA},
        {"tag chain prev names the header",
         [](Corruptible &c) {
             const uint64_t header = c.node->areaDirectory[8].areaOffset;
             c.forEachIrNode([&](unsigned char *ll) { *reinterpret_cast<uint64_t *>(ll + 16) = header; });
         },
         [](SNodeCB_t *n) { return Corruptible::IRA::remove(n, 3); }, QUOR_RC_IR_OUT_OF_AREA},
        {"area beyond the node", [](Corruptible &c) { c.node->areaDirectory[6].areaSize += 0x10000; },
         [](SNodeCB_t *n) { return quorAddRProperty(n, 9, 0, 0); }, QUOR_RC_AREA_SIZE_OUT_OF_RANGE},
        {"flat usedSize beyond its records",
         [](Corruptible &c) {
             c.word(c.r, 0) = 0;
             c.node->areaDirectory[6].usedSize = c.rSize;
         },
         [](SNodeCB_t *n) { return quorAddRProperty(n, 9, 0, 0); }, QUOR_RC_R_OUT_OF_AREA},
    };
    for (const Case &c : cases) {
        Corruptible area;
        c.corrupt(area);
        // The directory and the areas: the latch block moves with every section.
        auto *bytes = reinterpret_cast<unsigned char *>(area.node);
        const std::vector<unsigned char> before(bytes + QUOR_AREA_DIRECTORY_OFFSET,
                                                bytes + area.node->nodeSize);
        const int32_t counter = reconfig(area.node);
        EXPECT_EQ(c.op(area.node), c.rc) << c.what;
        EXPECT_EQ(std::memcmp(before.data(), bytes + QUOR_AREA_DIRECTORY_OFFSET, before.size()), 0) << c.what;
        EXPECT_EQ(reconfig(area.node), counter) << c.what;
    }
}

TEST(BadInput, ArgumentsRefused) {
    Corruptible c;
    SNodeCB_t *node = c.node;
    RPropertyRec_t *rec = nullptr;
    const uint64_t used = usedOf(node, QUOR_KIND_R);
    struct Case {
        uint32_t got, rc;
    } cases[] = {
        {quorAddRProperty(nullptr, 1, 0, 0), QUOR_RC_NULL_PARAMETER},
        {quorAddRProperty(node, 0x100001, 0, 0), QUOR_RC_SIZE_TOO_LARGE},
        {quorAddIRProperty(node, 1, kMaxId + 1, "0123456789abcdefg", 0, 0), QUOR_RC_ID_TOO_LONG},
        {quorAddIRProperty(node, 1, 1, nullptr, 0, 0), QUOR_RC_NULL_ID},
        {quorAddVProperty(node, 1, 1, "a", 0), QUOR_RC_NO_V_AREA},
        {quorAddVProperty(node, 1, 2, "ab", 0), QUOR_RC_BAD_VALUE_SIZE},
        {quorDeleteIVProperty(node, 1, 0, "", 0), QUOR_RC_NO_IV_AREA},
        {quorGetAddressForRProperty(node, 1, nullptr), QUOR_RC_NULL_PARAMETER},
        {quorGetAddressForRProperty(node, 77, &rec), QUOR_RC_R_NOT_FOUND},
        {quorCreateRPropertyList(nullptr, nullptr, nullptr, 0, 0, 0, 0), QUOR_RC_NULL_PARAMETER},
        {quorCreateVPropertyList(node, nullptr, nullptr, nullptr, 8, 0, 0, 0, 0), QUOR_RC_NO_V_AREA},
        {quorCreateBaseRProperty(node, 1, 0, 0), QUOR_RC_NO_BASER_AREA},
        {quorGetHashTableSizeForRVProperties(node, QUOR_KIND_IR, nullptr), QUOR_RC_NULL_HT_SIZE_OUT},
        {quorGetNumberOfFreedLListNodes(node, QUOR_KIND_R, nullptr), QUOR_RC_NULL_FREED_COUNT_OUT},
        {quorGetMaxIDSizeForIRProperties(node, nullptr), QUOR_RC_NULL_MAX_ID_OUT},
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].got, cases[i].rc) << i;
    // An area moved off the word grid holds no header: creation writes none.
    node->areaDirectory[6].areaOffset += 4;
    EXPECT_EQ(quorCreateRPropertyList(node, nullptr, nullptr, 0, 0, QUOR_LIST_FLAT, 0), QUOR_RC_R_OUT_OF_AREA);
    EXPECT_EQ(quorCreateRPropertyList(node, nullptr, nullptr, 0, 2, QUOR_LIST_HASHED, 0), QUOR_RC_R_OUT_OF_AREA);
    node->areaDirectory[6].areaOffset -= 4;
    EXPECT_EQ(usedOf(node, QUOR_KIND_R), used);
    EXPECT_EQ(reconfig(node), 8);
}

}  // namespace
}  // namespace quor::test
