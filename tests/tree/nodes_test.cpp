// Node sizing, creation in private memory, initialisation and accessors, and
// the identifier operations.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "test_node.h"

// Cases name only the fields they are about; the rest are zero.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

constexpr uint32_t K = QUOR_EYECATCHER;
using Sizes = std::array<uint64_t, 64>;

struct Sizing {
    uint64_t flags = 0, r = 0, v = 0, ir = 0, iv = 0, deps = 0, maxId = 0, baseV = 1, vMax = 1, irMaxId = 0,
             ivMaxId = 0, ivMax = 1;
    uint32_t rHash = 0, vHash = 0, irHash = 0, ivHash = 0;
    uint64_t irTag = 0, irId = 0, ivTag = 0, ivId = 0;
    uint32_t run(Sizes &sizes, uint64_t &total) const {
        return quorCreateMaxSpaceArray(flags, r, v, ir, iv, deps, maxId, baseV, vMax, irMaxId, ivMaxId, ivMax,
                                       rHash, vHash, irHash, ivHash, irTag, irId, ivTag, ivId, sizes.data(),
                                       &total);
    }
};

TEST(Sizing, AreaSizesAndTotals) {
    struct Case {
        Sizing in;
        unsigned record;
        uint64_t size;
    } cases[] = {
        {{.flags = QUOR_KIND_DEPENDENTS, .deps = 3, .maxId = 13}, 10, 224},
        {{.flags = QUOR_KIND_ID, .maxId = 13}, 0, 32},
        {{.flags = QUOR_KIND_PARENT, .maxId = 8}, 3, 80},
        {{.flags = QUOR_KIND_RMX}, 2, 1056},
        {{.flags = QUOR_KIND_BASEV, .baseV = 5}, 5, 440},
        {{.flags = QUOR_KIND_R, .r = 10}, 6, 1448},
        {{.flags = QUOR_KIND_R, .r = 10, .rHash = 1}, 6, 11 * 160 + 24 + 88},
        {{.flags = QUOR_KIND_V, .v = 2, .vMax = 9, .vHash = 1}, 7, 3 * (16 + 440) + 32 + 24},
        {{.flags = QUOR_KIND_IR, .ir = 4, .irMaxId = 20, .irHash = 1, .irTag = 9, .irId = 25},
         8,
         5 * (24 + 600) + 48 + (5 + 11 + 29) * 8},
        {{.flags = QUOR_KIND_IV, .iv = 1, .ivMaxId = 8, .ivMax = 8}, 9, 8 + 8 + 440 + 24},
        {{.flags = QUOR_KIND_EXPORT_LIST}, 11, 240},
    };
    for (const Case &c : cases) {
        Sizes sizes;
        sizes.fill(7);
        uint64_t total = 0;
        ASSERT_EQ(c.in.run(sizes, total), QUOR_RC_OK) << std::hex << c.in.flags;
        EXPECT_EQ(sizes[c.record], c.size) << std::hex << c.in.flags;
        EXPECT_EQ(total, 0xB60 + c.size) << std::hex << c.in.flags;
        for (unsigned k = 0; k < 64; ++k) {
            EXPECT_EQ(sizes[k], k == c.record ? c.size : 0u) << k;
        }
    }
}

TEST(Sizing, LimitsRefuseAndWriteNothing) {
    struct Case {
        Sizing in;
        uint32_t rc;
    } cases[] = {
        {{.flags = QUOR_KIND_R, .r = 32769}, QUOR_RC_TOO_MANY_R_PROPERTIES},
        {{.flags = QUOR_KIND_V, .v = 32769}, QUOR_RC_TOO_MANY_V_PROPERTIES},
        {{.flags = QUOR_KIND_IR, .ir = 32769}, QUOR_RC_TOO_MANY_IR_PROPERTIES},
        {{.flags = QUOR_KIND_IV, .iv = 32769}, QUOR_RC_TOO_MANY_IV_PROPERTIES},
        {{.flags = QUOR_KIND_DEPENDENTS, .deps = 32769}, QUOR_RC_TOO_MANY_DEPENDENTS},
        {{.flags = QUOR_KIND_ID, .maxId = 4097}, QUOR_RC_MAX_ID_SIZE_TOO_LARGE},
        {{.flags = QUOR_KIND_IR, .irMaxId = 4097}, QUOR_RC_BAD_MAX_ID_SIZE},
        {{.flags = QUOR_KIND_BASEV, .baseV = 0}, QUOR_RC_MAX_V_SIZE_OUT_OF_RANGE},
        {{.flags = QUOR_KIND_V, .vMax = 0x3000001}, QUOR_RC_MAX_V_SIZE_OUT_OF_RANGE},
        {{.flags = QUOR_KIND_IV, .ivHash = 1, .ivTag = 0x100001}, QUOR_RC_TAG_TABLE_SIZE_TOO_LARGE},
        {{.flags = QUOR_KIND_IR, .irHash = 1, .irId = 0x100001}, QUOR_RC_ID_TABLE_SIZE_TOO_LARGE},
        {{.flags = QUOR_KIND_IR, .irHash = 1, .irTag = 100004}, QUOR_RC_HASH_TABLE_SIZE_OUT_OF_RANGE},
        {{.flags = QUOR_KIND_R, .rHash = 2}, QUOR_RC_BAD_HASH_MODE},
        // Limits of kinds the node does not have are not looked at.
        {{.flags = QUOR_KIND_ID, .r = 99999, .maxId = 8, .rHash = 7}, QUOR_RC_OK},
    };
    for (const Case &c : cases) {
        Sizes sizes;
        sizes.fill(7);
        uint64_t total = 7;
        EXPECT_EQ(c.in.run(sizes, total), c.rc) << std::hex << c.in.flags;
        if (c.rc != 0) {
            EXPECT_EQ(total, 7u);
            EXPECT_EQ(sizes[0], 7u);
        }
    }
    uint64_t total = 0;
    Sizes sizes{};
    EXPECT_EQ(
        quorCreateMaxSpaceArray(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, &total),
        QUOR_RC_NULL_MAX_SPACE_ARRAY);
    EXPECT_EQ(quorCreateMaxSpaceArray(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                      sizes.data(), nullptr),
              QUOR_RC_NULL_TOTAL_SIZE_OUTPUT);
}

// A node made in private memory, released by the fixture.
class NodeInPM : public ::testing::Test {
protected:
    uint32_t create(uint64_t flags, const Sizes &sizes) {
        uint64_t address = 0;
        return quorCreateNodeInPM(&node_, flags, sizes.data(), &total_, &address, K, K);
    }
    void TearDown() override {
        if (node_ != nullptr) {
            void *block = node_;
            EXPECT_EQ(hostMemFree(&block, 0, 0, "quor", __LINE__), QUOR_RC_OK);
        }
        EXPECT_EQ(hostMemLiveBlocks(nullptr), 0u);
    }
    SNodeCB_t *node_ = nullptr;
    uint64_t total_ = 0;
};

TEST_F(NodeInPM, ZeroSizesGiveABareControlBlock) {
    ASSERT_EQ(create(0, Sizes{}), QUOR_RC_OK);
    EXPECT_EQ(total_, 0xB60u);
    EXPECT_EQ(node_->nodeSize, 0xB60u);
    EXPECT_EQ(node_->NodeCondition, QUOR_NODE_CREATED);
    EXPECT_EQ(node_->concurrencyModel, QUOR_CONCURRENCY_MODEL_LATCHED);
    EXPECT_EQ(node_->nodeLatch.latchEyecatcher, K);
    EXPECT_EQ(node_->spareLatch.latchEyecatcher, K);
    for (const PExport &record : node_->areaDirectory) {
        EXPECT_EQ(record.areaOffset, 0xB60u);
        EXPECT_EQ(record.areaSize, 0u);
    }
}

TEST_F(NodeInPM, SizeLimitsAndArgumentChecks) {
    Sizes sizes{};
    sizes[3] = 0x4000000;
    sizes[9] = 0x4000000;  // each area at its limit, together above the node's
    uint64_t total = 0, address = 0;
    EXPECT_EQ(quorCreateNodeInPM(&node_, 0, sizes.data(), &total, &address, K, K), QUOR_RC_BAD_NODE_SIZE);
    sizes[9] = 8;
    SNodeCB_t *large = nullptr;
    ASSERT_EQ(quorCreateNodeInPM(&large, 0, sizes.data(), &total, &address, K, K), QUOR_RC_OK);
    EXPECT_EQ(total, 0xB60u + 0x4000000 + 8);
    EXPECT_EQ(large->areaDirectory[10].areaOffset, 0xB60u + 0x4000000 + 8);
    void *block = large;
    ASSERT_EQ(hostMemFree(&block, 0, 0, "quor", __LINE__), QUOR_RC_OK);
    sizes[3] = 0x4000001;
    EXPECT_EQ(quorCreateNodeInPM(&node_, 0, sizes.data(), &total, &address, K, K), QUOR_RC_AREA_TOO_LARGE);
    sizes = {};
    EXPECT_EQ(quorCreateNodeInPM(&node_, 0, nullptr, &total, &address, K, K), QUOR_RC_NULL_SIZE_ARRAY);
    EXPECT_EQ(quorCreateNodeInPM(&node_, 0, sizes.data(), nullptr, &address, K, K),
              QUOR_RC_NULL_NODE_SIZE_OUTPUT);
    EXPECT_EQ(quorCreateNodeInPM(&node_, 0, sizes.data(), &total, nullptr, K, K),
              QUOR_RC_NULL_NODE_OFFSET_OUTPUT);
    EXPECT_EQ(quorCreateNodeInPM(&node_, 0, sizes.data(), &total, &address, K + 1, K),
              QUOR_RC_BAD_EYECATCHER);
    // A bad latch key fails after allocation: the block is released.
    EXPECT_EQ(quorCreateNodeInPM(&node_, 0, sizes.data(), &total, &address, K, K + 1),
              QUOR_RC_LATCH_NOT_INITIALIZED);
    hostMemFailAfter(1, 0);
    EXPECT_EQ(quorCreateNodeInPM(&node_, 0, sizes.data(), &total, &address, K, K), QUOR_RC_NODE_ALLOC_FAILED);
    hostMemFailAfter(0, 0);
    EXPECT_EQ(node_, nullptr);
}

TEST_F(NodeInPM, InitialisationWritesDefaultsAndAreas) {
    const uint64_t flags = QUOR_KIND_ID | QUOR_KIND_TRIPLE | QUOR_KIND_PARENT | QUOR_KIND_EXPORT_LIST;
    Sizes sizes{};
    uint64_t total = 0;
    ASSERT_EQ((Sizing{.flags = flags, .maxId = 13}).run(sizes, total), QUOR_RC_OK);
    ASSERT_EQ(create(flags, sizes), QUOR_RC_OK);
    const uint64_t triple[3] = {1, 2, 3};
    SNodeInfo_t parent{.nodeOffset = 0x100, .tag = 7, .idSize = 3, .segBase = 0x5000};
    const SNodeInfo_t parentBefore = parent;
    ASSERT_EQ(quorInitNode(&node_, 0x2000, 5, "hello", &parent, "dad", 13, triple, nullptr, nullptr),
              QUOR_RC_OK);
    EXPECT_EQ(node_->NodeCondition, QUOR_NODE_INITIALIZED);
    EXPECT_EQ(node_->updateMode, QUOR_NODE_UPDATE_COUNTED);
    EXPECT_EQ(node_->interval1, 200u);
    EXPECT_EQ(node_->updateInterval, 200u);
    EXPECT_EQ(node_->concurrencyModel, QUOR_CONCURRENCY_MODEL_LATCHED);
    EXPECT_EQ(node_->magic, QUOR_NODE_MAGIC);
    EXPECT_EQ(node_->selfOffset, 0x2000u);
    EXPECT_EQ(std::memcmp(&parent, &parentBefore, sizeof parent), 0)
        << "the caller's locator is left as it was";

    char *id = nullptr;
    uint64_t length = 0;
    EXPECT_EQ(quorGetNodeID(node_, &id, &length, 0), QUOR_RC_NODE_NOT_ACTIVE)
        << "reading the ID needs 3, 4 or 5";
    SNodeCB_t *ref = node_;
    ASSERT_EQ(quorActivateNode(&ref), QUOR_RC_OK);
    ASSERT_EQ(quorGetNodeID(node_, &id, &length, 0), QUOR_RC_OK);
    EXPECT_EQ(std::string(id, length), "hello");
    uint64_t maxId = 0;
    EXPECT_EQ(quorGetMaxIDSizeForStatusNode(node_, QUOR_KIND_ID, &maxId), QUOR_RC_OK);
    EXPECT_EQ(maxId, 16u);
    const PExport &idRecord = node_->areaDirectory[0];
    EXPECT_EQ(idRecord.usedSize, 16u + 5);

    auto *bytes = reinterpret_cast<unsigned char *>(node_);
    const PExport &parentRecord = node_->areaDirectory[3];
    EXPECT_EQ(parentRecord.usedSize, 8u + 56 + 3);
    auto *stored = reinterpret_cast<SNodeInfo_t *>(bytes + parentRecord.areaOffset + 8);
    EXPECT_EQ(stored->tag, 7u);
    EXPECT_EQ(stored->selfDisplacement, 0x2000 + parentRecord.areaOffset + 8);
    EXPECT_EQ(std::memcmp(bytes + parentRecord.areaOffset + 64, "dad", 3), 0);
    EXPECT_EQ(std::memcmp(bytes + node_->areaDirectory[1].areaOffset, triple, 24), 0);
    EXPECT_EQ(*reinterpret_cast<uint64_t *>(bytes + node_->areaDirectory[11].areaOffset), flags);
    EXPECT_EQ(node_->areaDirectory[11].usedSize, 240u);

    // Tag accessors run in the section unless the caller holds it.
    EXPECT_EQ(quorSetNodeTag(node_, 0x100001, 0), QUOR_RC_SIZE_TOO_LARGE);
    EXPECT_EQ(quorSetNodeTag(node_, 0x42, 0), QUOR_RC_OK);
    ASSERT_EQ(quorEnterCriticalSectionBeforeRead(node_, &node_->nodeLatch), QUOR_RC_OK);
    uint64_t tag = 0, size = 0;
    EXPECT_EQ(quorGetNodeTag(node_, &tag, 1), QUOR_RC_OK);
    EXPECT_EQ(quorGetNodeSize(node_, &size, 1), QUOR_RC_OK);
    ASSERT_EQ(quorExitCriticalSectionAfterRead(node_, &node_->nodeLatch), QUOR_RC_OK);
    EXPECT_EQ(tag, 0x42u);
    EXPECT_EQ(size, total_);
    EXPECT_EQ(quorSetNodeID(node_, "longer-than-eight", 17, 9, 0), QUOR_RC_NODE_ID_TOO_LONG);
    EXPECT_EQ(quorSetNodeID(node_, "abc", 3, 8, 0), QUOR_RC_OK);
    ASSERT_EQ(quorGetNodeID(node_, &id, &length, 0), QUOR_RC_OK);
    EXPECT_EQ(std::string(id, length), "abc");
}

TEST_F(NodeInPM, InitialisationChecksRefuseBeforeAnythingIsWritten) {
    const uint64_t flags = QUOR_KIND_ID | QUOR_KIND_RMX | QUOR_KIND_TRIPLE | QUOR_KIND_PARENT;
    Sizes sizes{};
    uint64_t total = 0;
    ASSERT_EQ((Sizing{.flags = flags, .maxId = 16}).run(sizes, total), QUOR_RC_OK);
    ASSERT_EQ(create(flags, sizes), QUOR_RC_OK);
    const uint64_t triple[3] = {};
    static const char rmx[1056] = {};
    const auto *rmxRecord = reinterpret_cast<const RMXPathRec_t *>(rmx);
    SNodeInfo_t parent{.idSize = 3};
    SNodeOptions_t badCondition{.condition = 3}, badMode{.updateMode = 3}, badModel{.concurrencyModel = 6};
    struct Case {
        uint64_t idLength;
        const char *id;
        SNodeInfo_t *parent;
        const char *parentId;
        uint64_t maxId;
        const uint64_t *triple;
        const RMXPathRec_t *rmx;
        const SNodeOptions_t *options;
        uint32_t rc;
    } cases[] = {
        {1, "a", &parent, "dad", 4097, triple, rmxRecord, nullptr, QUOR_RC_MAX_ID_SIZE_TOO_LARGE},
        {1, nullptr, &parent, "dad", 16, triple, rmxRecord, nullptr, QUOR_RC_NULL_ID},
        {17, "a", &parent, "dad", 13, triple, rmxRecord, nullptr, QUOR_RC_ID_SIZE_TOO_LARGE},
        {1, "a", nullptr, "dad", 16, triple, rmxRecord, nullptr, QUOR_RC_NULL_NODE_INFO},
        {1, "a", &parent, nullptr, 16, triple, rmxRecord, nullptr, QUOR_RC_NULL_ID},
        {1, "a", &parent, "dad", 16, triple, nullptr, nullptr, QUOR_RC_NULL_RMX_RECORD},
        {1, "a", &parent, "dad", 16, nullptr, rmxRecord, nullptr, QUOR_RC_NULL_TRIPLE},
        {1, "a", &parent, "dad", 16, triple, rmxRecord, &badCondition, QUOR_RC_BAD_NODE_OPTION},
        {1, "a", &parent, "dad", 16, triple, rmxRecord, &badMode, QUOR_RC_BAD_UPDATE_MODE},
        {1, "a", &parent, "dad", 16, triple, rmxRecord, &badModel, QUOR_RC_BAD_CONCURRENCY_MODEL},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(quorInitNode(&node_, 0, c.idLength, c.id, c.parent, c.parentId, c.maxId, c.triple, c.rmx,
                               c.options),
                  c.rc);
        EXPECT_EQ(node_->NodeCondition, QUOR_NODE_CREATED);
        EXPECT_EQ(node_->magic, 0u);
    }
    EXPECT_EQ(quorInitNode(nullptr, 0, 0, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr),
              QUOR_RC_NULL_PARAMETER);
}

// Options may switch the node to an unlatched model inside the section they
// were written in: the section is still left by the model it was entered under.
TEST_F(NodeInPM, OptionsThatDropTheLatchedModelStillReleaseTheLatch) {
    ASSERT_EQ(create(0, Sizes{}), QUOR_RC_OK);
    SNodeOptions_t unlatched{.concurrencyModel = 2, .timeStamp = 99};
    ASSERT_EQ(quorInitNode(&node_, 0, 0, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &unlatched),
              QUOR_RC_OK);
    EXPECT_EQ(node_->concurrencyModel, 2u);
    EXPECT_EQ(node_->lastUpdate, 99u);
    node_->concurrencyModel = QUOR_CONCURRENCY_MODEL_LATCHED;
    alarm(60);
    ASSERT_EQ(quorEnterCriticalSectionBeforeWrite(node_, &node_->nodeLatch), QUOR_RC_OK);
    ASSERT_EQ(quorExitCriticalSectionAfterWrite(node_, &node_->nodeLatch), QUOR_RC_OK);
    alarm(0);
    ASSERT_EQ(quorSetNodeOptions(node_, nullptr), QUOR_RC_OK);
    EXPECT_EQ(node_->NodeCondition, QUOR_NODE_ACTIVE) << "changed options default to an active node";
}

TEST(Identifiers, CreateCompareAndDelete) {
    const char *parts[] = {"ab", "", "cde"};
    char *buffer = nullptr;
    uint64_t *lengths = nullptr;
    const uint32_t key = K, wrongKey = K + 1;
    ASSERT_EQ(quorCreateID(&buffer, &lengths, parts, 3, 3, QUOR_KIND_IR, &key), QUOR_RC_OK);
    EXPECT_EQ(std::string(buffer, 5), "abcde");
    EXPECT_EQ(lengths[0], 2u);
    EXPECT_EQ(lengths[1], 0u);
    EXPECT_EQ(lengths[2], 3u);
    EXPECT_EQ(quorDeleteID(buffer, lengths, &wrongKey), QUOR_RC_BAD_EYECATCHER);
    EXPECT_EQ(quorDeleteID(buffer, lengths, &key), QUOR_RC_OK);
    EXPECT_EQ(hostMemLiveBlocks(nullptr), 0u);
    // Blocks the host never handed out are refused by the host, and so here.
    EXPECT_EQ(quorDeleteID(nullptr, nullptr, &key), QUOR_RC_NULL_PARAMETER);

    struct Case {
        uint64_t maxLength, count;
        uint32_t kind, rc;
    } cases[] = {
        {2, 3, QUOR_KIND_IR, QUOR_RC_ID_TOO_LONG},
        {2, 3, QUOR_KIND_ID, QUOR_RC_ID_SIZE_TOO_LARGE},
        {4097, 3, QUOR_KIND_IV, QUOR_RC_BAD_MAX_ID_SIZE},
        {4097, 3, QUOR_KIND_DEPENDENTS, QUOR_RC_MAX_ID_SIZE_TOO_LARGE},
        {8, 0, QUOR_KIND_ID, QUOR_RC_BAD_ID_COUNT},
        {8, 0x8001, QUOR_KIND_ID, QUOR_RC_BAD_ID_COUNT},
        {8, 3, QUOR_KIND_R, QUOR_RC_BAD_PROPERTY_KIND},
        {8, 3, 0x2000, QUOR_RC_BAD_PROPERTY_KIND},
    };
    for (const Case &c : cases)
        EXPECT_EQ(quorCreateID(&buffer, &lengths, parts, c.maxLength, c.count, c.kind, &key), c.rc) << c.kind;
    const char *withNull[] = {"a", nullptr};
    EXPECT_EQ(quorCreateID(&buffer, &lengths, withNull, 8, 2, QUOR_KIND_ID, &key), QUOR_RC_NULL_ID_COMPONENT);
    for (uint64_t failing : {1u, 2u}) {
        hostMemFailAfter(failing, 0);
        EXPECT_EQ(quorCreateID(&buffer, &lengths, parts, 8, 3, QUOR_KIND_ID, &key), QUOR_RC_ID_ALLOC_FAILED);
        hostMemFailAfter(0, 0);
        EXPECT_EQ(hostMemLiveBlocks(nullptr), 0u) << "allocation " << failing;
    }

    struct Compare {
        const char *a;
        uint64_t la;
        const char *b;
        uint64_t lb;
        int64_t expected;
    } compares[] = {{"abc", 3, "abcd", 4, -1}, {"zzzz", 4, "abc", 3, 1}, {"abd", 3, "abc", 3, 1},
                    {"abc", 3, "abc", 3, 0},   {"\x80", 1, "a", 1, 1},   {"", 0, "", 0, 0}};
    for (const Compare &c : compares) {
        int64_t result = 99;
        EXPECT_EQ(quorCompareID(c.a, c.la, c.b, c.lb, QUOR_KIND_ID, &result), QUOR_RC_OK);
        EXPECT_EQ(result, c.expected) << c.a << " / " << c.b;
    }
    int64_t result = 0;
    for (uint32_t kind : {QUOR_KIND_PARENT, QUOR_KIND_IR, QUOR_KIND_IV, QUOR_KIND_DEPENDENTS})
        EXPECT_EQ(quorCompareID("a", 1, "b", 1, kind, &result), QUOR_RC_OK) << kind;
    // Only the listed values, not every kind that has one of their bits.
    for (uint32_t kind : {QUOR_KIND_R, 0x3u, 0x6u, 0x12u, 0x210u, 0u})
        EXPECT_EQ(quorCompareID("a", 1, "b", 1, kind, &result), QUOR_RC_BAD_PROPERTY_KIND) << kind;
    EXPECT_EQ(quorCompareID(nullptr, 1, "b", 1, QUOR_KIND_PARENT, &result), QUOR_RC_NULL_ID);
    EXPECT_EQ(quorCompareID("a", 4097, "b", 1, QUOR_KIND_ID, &result), QUOR_RC_BAD_ID_LENGTH);
    EXPECT_EQ(quorCompareID("a", 1, "b", 1, QUOR_KIND_ID, nullptr), QUOR_RC_NULL_COMPARE_OUTPUT);
}

TEST(Identifiers, TagIdOrderIsTagThenLengthThenBytes) {
    struct Case {
        uint64_t tag1;
        const char *a;
        uint64_t la;
        uint64_t tag2;
        const char *b;
        uint64_t lb;
        int64_t expected;
    } cases[] = {{1, "zz", 2, 2, "a", 1, -1},  {3, "a", 1, 2, "zz", 2, 1},  {5, "ab", 2, 5, "a", 1, 1},
                 {5, "\x80", 1, 5, "a", 1, 1}, {5, "ab", 2, 5, "ab", 2, 0}, {7, "", 0, 7, "", 0, 0}};
    for (const Case &c : cases) {
        for (uint32_t kind : {QUOR_KIND_IR, QUOR_KIND_IV, QUOR_KIND_ID, QUOR_KIND_DEPENDENTS}) {
            int64_t result = 99;
            EXPECT_EQ(quorCompareTagID(c.tag1, c.a, c.la, c.tag2, c.b, c.lb, kind, &result), QUOR_RC_OK);
            EXPECT_EQ(result, c.expected) << c.tag1 << "/" << c.a << " vs " << c.tag2 << "/" << c.b;
        }
    }
    int64_t result = 0;
    struct Bad {
        uint64_t tag1;
        const char *a;
        uint64_t la;
        uint64_t tag2;
        uint64_t lb;
        uint32_t kind;
        int64_t *out;
        uint32_t rc;
    } bad[] = {
        {1, "a", 1, 1, 1, 0, &result, QUOR_RC_BAD_PROPERTY_KIND},
        {1, "a", 1, 1, 1, QUOR_KIND_R, &result, QUOR_RC_BAD_PROPERTY_KIND},
        {1, "a", 1, 1, 1, QUOR_KIND_PARENT, &result, QUOR_RC_BAD_PROPERTY_KIND},
        {1, nullptr, 1, 1, 1, QUOR_KIND_IR, &result, QUOR_RC_NULL_ID},
        {QUOR_MAX_TAG + 1, nullptr, 1, 1, 1, QUOR_KIND_IR, &result, QUOR_RC_NULL_ID},
        {QUOR_MAX_TAG + 1, "a", 1, 1, 1, QUOR_KIND_IR, nullptr, QUOR_RC_NULL_COMPARE_OUTPUT},
        {1, "a", 4097, QUOR_MAX_TAG + 1, 1, QUOR_KIND_IR, &result, QUOR_RC_SIZE_TOO_LARGE},
        {1, "a", 4097, 1, 1, QUOR_KIND_DEPENDENTS, &result, QUOR_RC_BAD_ID_LENGTH},
        {1, "a", 1, 1, 4097, QUOR_KIND_ID, &result, QUOR_RC_BAD_ID_LENGTH},
    };
    for (const Bad &c : bad)
        EXPECT_EQ(quorCompareTagID(c.tag1, c.a, c.la, c.tag2, "b", c.lb, c.kind, c.out), c.rc) << c.kind;
}

TEST(Identifiers, PrintShowsPrintableBytesOnly) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(quorPrintID("A\nB\x7f~ ", 6), QUOR_RC_OK);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "A.B.~ ");
    EXPECT_EQ(quorPrintID(nullptr, 1), QUOR_RC_NULL_ID);
    EXPECT_EQ(quorPrintID("a", 4097), QUOR_RC_ID_TOO_LONG);
}

}  // namespace
