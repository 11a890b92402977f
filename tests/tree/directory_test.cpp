// The area directory: which record a kind selects, the record checks and their
// order, and the location rule that bounds every address inside an area.
#include "tree/directory.h"

#include <gtest/gtest.h>

#include <cstring>

#include "test_node.h"

namespace {

using quor::test::makeTestNode;

uint64_t offsetIn(const SNodeCB_t *node, const void *p) {
    return static_cast<uint64_t>(static_cast<const unsigned char *>(p) -
                                 reinterpret_cast<const unsigned char *>(node));
}

TEST(AreaDirectory, KindSelectsItsRecord) {
    SNodeCB_t *node = makeTestNode();
    ASSERT_NE(node, nullptr);
    for (PExport &record : node->areaDirectory) record = {64, 0, QUOR_NODE_CB_SIZE};
    struct Case {
        uint64_t kind;
        int64_t recordOffset;  // -1: refused
    } cases[] = {
        {QUOR_KIND_ID, 0x560},
        {QUOR_KIND_TRIPLE, 0x578},
        {QUOR_KIND_DEPENDENTS, 0x650},
        {QUOR_KIND_EXPORT_LIST, 0x560 + 11 * 24},
        {0x2 | 0x800, 0x560},
        {0x30, 0x560 + 3 * 24},  // lowest set bit, bit 1 first
        {0x800 | 1, 0x650},
        {0x2000, -1},
        {0x1, -1},
        {0x0, -1},
        {uint64_t{1} << 40, -1},
        {0x80000000, -1},
    };
    for (const Case &c : cases) {
        PExport *out = nullptr;
        uint32_t rc = quorGetPExportPointer(&out, node, c.kind);
        if (c.recordOffset < 0) {
            EXPECT_EQ(rc, QUOR_RC_BAD_PROPERTY_KIND) << std::hex << c.kind;
            EXPECT_EQ(out, nullptr) << std::hex << c.kind;
        } else {
            EXPECT_EQ(rc, QUOR_RC_OK) << std::hex << c.kind;
            EXPECT_EQ(offsetIn(node, out), static_cast<uint64_t>(c.recordOffset)) << std::hex << c.kind;
        }
    }
}

TEST(AreaDirectory, RecordChecksInOrderAndTheAddressGoesOutAnyway) {
    SNodeCB_t *node = makeTestNode();
    ASSERT_NE(node, nullptr);
    struct Case {
        PExport record;
        uint32_t rc;
    } cases[] = {
        {{node->nodeSize - 0xB60, 0, 0xB60}, QUOR_RC_OK},
        {{node->nodeSize - 0xB60, node->nodeSize - 0xB60, 0xB60}, QUOR_RC_OK},
        {{0, 0, 0xB60}, QUOR_RC_OK},
        {{0x4000000, 0, 0xB60}, QUOR_RC_AREA_SIZE_OUT_OF_RANGE},  // beyond the node
        {{8, 0, 0x10}, QUOR_RC_AREA_SIZE_OUT_OF_RANGE},           // inside the control block
        {{8, 0, node->nodeSize}, QUOR_RC_AREA_SIZE_OUT_OF_RANGE},
        {{0x4000001, 0, 0xB60}, QUOR_RC_AREA_SIZE_OUT_OF_RANGE},
        {{~uint64_t{0}, 0, 0xB60}, QUOR_RC_AREA_SIZE_OUT_OF_RANGE},
        {{8, 9, 0xB60}, QUOR_RC_AREA_OVERFULL},
        {{64, 0, 0}, QUOR_RC_AREA_ABSENT},
        {{0x4000001, 0x4000002, 0}, QUOR_RC_AREA_ABSENT},  // absence is told first
        {{0x4000001, 0x4000002, 0xB60}, QUOR_RC_AREA_OVERFULL},
    };
    node->areaFlags = QUOR_KIND_DEPENDENTS;  // the flags do not decide absence
    for (const Case &c : cases) {
        node->areaDirectory[10] = c.record;
        PExport *out = nullptr;
        EXPECT_EQ(quorGetPExportPointer(&out, node, QUOR_KIND_DEPENDENTS), c.rc) << c.record.areaSize;
        EXPECT_EQ(out, &node->areaDirectory[10]);
        EXPECT_EQ(std::memcmp(&node->areaDirectory[10], &c.record, sizeof c.record), 0)
            << "the record is only read";
    }
}

TEST(AreaDirectory, NullArgumentsTouchNothing) {
    SNodeCB_t *node = makeTestNode();
    ASSERT_NE(node, nullptr);
    PExport sentinel{}, *out = &sentinel;
    EXPECT_EQ(quorGetPExportPointer(&out, nullptr, QUOR_KIND_ID), QUOR_RC_NULL_PARAMETER);
    EXPECT_EQ(out, &sentinel);
    EXPECT_EQ(quorGetPExportPointer(nullptr, node, QUOR_KIND_ID), QUOR_RC_NULL_PARAMETER);
}

TEST(AreaDirectory, LocationRuleIncludesBothEndsAndAccessStaysInside) {
    SNodeCB_t *node = makeTestNode(QUOR_CONCURRENCY_MODEL_LATCHED, QUOR_NODE_ACTIVE, 0x100);
    ASSERT_NE(node, nullptr);
    node->areaDirectory[6] = {64, 16, 0xB60 + 0x40};  // R area
    quor::tree::Area area;
    ASSERT_EQ(quor::tree::openArea(node, QUOR_KIND_R, &area), QUOR_RC_OK);
    auto *bytes = reinterpret_cast<unsigned char *>(node);
    EXPECT_FALSE(area.contains(bytes + 0xB60 + 0x3F));
    EXPECT_TRUE(area.contains(bytes + 0xB60 + 0x40));
    EXPECT_TRUE(area.contains(bytes + 0xB60 + 0x80));  // one past the end: where an append goes
    EXPECT_FALSE(area.contains(bytes + 0xB60 + 0x81));
    EXPECT_NE(area.at<uint64_t>(56), nullptr);
    EXPECT_EQ(area.at<uint64_t>(57), nullptr);
    EXPECT_EQ(area.at<uint64_t>(0, 9), nullptr);
    EXPECT_EQ(area.at<uint64_t>(~uint64_t{0} - 3), nullptr);

    // An area the checks of the record accept but that leaves the node, or
    // overlays the control block, is refused before anything is reached.
    for (PExport bad :
         {PExport{0x100, 0, 0xB60 + 8}, PExport{8, 0, 0x100}, PExport{8, 0, ~uint64_t{0} - 4}}) {
        node->areaDirectory[6] = bad;
        EXPECT_EQ(quor::tree::openArea(node, QUOR_KIND_R, &area), QUOR_RC_AREA_SIZE_OUT_OF_RANGE);
        EXPECT_EQ(area.node(), nullptr);
    }
    node->areaDirectory[6] = {0, 0, 0};
    EXPECT_EQ(quor::tree::openArea(node, QUOR_KIND_R, &area), QUOR_RC_AREA_ABSENT);
    EXPECT_EQ(quor::tree::openArea(node, 0x2000, &area), QUOR_RC_BAD_PROPERTY_KIND);
}

TEST(SegmentNames, CompareAsUnsignedBytesFromTheName) {
    auto id = [](const char *name, uint64_t flags = 0) {
        IpcResId r{};
        r.accessFlags = flags;
        std::strncpy(r.name, name, sizeof r.name - 1);
        return r;
    };
    struct Case {
        const char *a, *b;
        int64_t expected;
    } cases[] = {{"abc", "abd", -1}, {"abc", "ab", 1}, {"abc", "abc", 0}, {"\xff", "a", 1}, {"", "a", -1}};
    for (const Case &c : cases) {
        IpcResId a = id(c.a), b = id(c.b);
        int64_t result = 99;
        EXPECT_EQ(quorCompareSegID(&a, &b, QUOR_EYECATCHER, &result), QUOR_RC_OK);
        EXPECT_EQ(result, c.expected) << c.a << " / " << c.b;
    }
    IpcResId a = id("seg", 1), b = id("seg", 2);
    int64_t result = 99;
    EXPECT_EQ(quorCompareSegID(&a, &b, QUOR_EYECATCHER, &result), QUOR_RC_OK);
    EXPECT_EQ(result, 0) << "the leading 8 bytes are not part of the name";
    result = 99;
    EXPECT_EQ(quorCompareSegID(&a, &b, QUOR_EYECATCHER + 1, &result), QUOR_RC_BAD_EYECATCHER);
    EXPECT_EQ(result, 99);
    EXPECT_EQ(quorCompareSegID(nullptr, &b, QUOR_EYECATCHER, &result), QUOR_RC_NULL_PARAMETER);
    EXPECT_EQ(quorCompareSegID(&a, &b, QUOR_EYECATCHER, nullptr), QUOR_RC_NULL_PARAMETER);
}

}  // namespace
