// Property values across processes: what one process writes, another that
// attached the segment on its own reads; and two processes writing and reading
// the same properties at once never see a value torn from its size or its RC.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <new>
#include <string>

#include "props_fixture.h"
#include "tree/segment_fixture.h"

namespace quor::test {
namespace {

constexpr uint64_t kTag = 0x515;

// An active top node with a hashed R list and a flat V list, recorded in the
// segment's domain header.
SNodeCB_t *buildPropertyTop(ShmSegInfo_t *seg) {
    const uint64_t flags = QUOR_KIND_ID | QUOR_KIND_R | QUOR_KIND_V;
    Sizes sizes{};
    uint64_t total = 0, offset = 0;
    EXPECT_EQ(quorCreateMaxSpaceArray(flags, 8, 8, 0, 0, 0, 32, 1, kMaxV, 0, 0, 0, QUOR_LIST_HASHED,
                                      QUOR_LIST_FLAT, 0, 0, 0, 0, 0, 0, sizes.data(), &total),
              QUOR_RC_OK);
    SNodeCB_t *node = nullptr;
    EXPECT_EQ(quorCreateNode(seg, &node, flags, sizes.data(), &total, &offset), QUOR_RC_OK);
    if (node == nullptr) return nullptr;
    EXPECT_EQ(quorInitNode(&node, offset, 4, "root", nullptr, nullptr, 32, nullptr, nullptr, nullptr),
              QUOR_RC_OK);
    EXPECT_EQ(quorCreateRPropertyList(node, nullptr, nullptr, 0, 8, QUOR_LIST_HASHED, 0), QUOR_RC_OK);
    EXPECT_EQ(quorCreateVPropertyList(node, nullptr, nullptr, nullptr, kMaxV, 0, 8, QUOR_LIST_FLAT, 0),
              QUOR_RC_OK);
    EXPECT_EQ(quorSetNodeTag(node, kTag, 0), QUOR_RC_OK);
    EXPECT_EQ(quorActivateNode(&node), QUOR_RC_OK);
    EXPECT_EQ(
        quorPutTopNodeInfoIntoDomainHeader(seg->domainHandle, kTag, offset, seg->poolHandle->poolHeapOffset),
        QUOR_RC_OK);
    return node;
}

// The values one process writes are read by another that connected to the tree
// itself (its own mapping, at its own address), and its writes come back.
TEST_F(SegmentTest, AttachedProcessReadsAndWritesValues) {
    ShmSegInfo_t *seg = create("values");
    SNodeCB_t *mine = buildPropertyTop(seg);
    ASSERT_NE(mine, nullptr);
    ASSERT_EQ(quorAddRProperty(mine, 12, -7, 0), QUOR_RC_OK);
    ASSERT_EQ(quorAddVProperty(mine, 3, 5, "hello", 0), QUOR_RC_OK);
    ASSERT_EQ(quorSetRCForVProperty(mine, 3, 0xfeedface12345678, 0), QUOR_RC_OK);
    IpcResId id = segmentName("values");

    pid_t child = spawn([&] {
        freshLibrary();
        SNodeCB_t *top = nullptr;
        if (connectTree(id, &top) == nullptr || top == mine) return 1;
        int32_t value = 0;
        if (quorGetValueForRProperty(top, 12, &value, 0) != 0 || value != -7) return 2;
        char buffer[kMaxV];
        uint64_t size = 0, rc = 0;
        void *address = nullptr;
        if (quorGetValueForVProperty(top, 3, &size, &address, buffer, 0) != 0) return 3;
        if (std::string(buffer, size) != "hello" || address < static_cast<void *>(top)) return 4;
        if (quorGetRCForVProperty(top, 3, &rc, 0) != 0 || rc != 0xfeedface12345678) return 5;
        RPropertyRec_t *record = nullptr;
        if (quorGetAddressForRProperty(top, 12, &record) != 0) return 6;
        if (quorSetValueAndRCForRProperty(top, record, 99, 7, 0) != 0) return 7;
        if (quorSetValueForVProperty(top, 3, 3, "bye", 0) != 0) return 8;
        return 0;
    });
    ASSERT_EQ(waitChild(child), 0);
    int32_t value = 0;
    uint64_t rc = 0, size = 0;
    char buffer[kMaxV];
    void *address = nullptr;
    EXPECT_EQ(quorGetValueForRProperty(mine, 12, &value, 0), QUOR_RC_OK);
    EXPECT_EQ(value, 99);
    EXPECT_EQ(quorGetRCForRProperty(mine, 12, &rc, 0), QUOR_RC_OK);
    EXPECT_EQ(rc, 7u);
    ASSERT_EQ(quorGetValueForVProperty(mine, 3, &size, &address, buffer, 0), QUOR_RC_OK);
    EXPECT_EQ(std::string(buffer, size), "bye");
    remove(seg);
}

// A byte value whose every byte names its own size, and a 32-bit value whose
// RC is derived from it: a torn read shows as a mismatch. Values up to 1 KiB
// keep a copy long enough for the two processes to meet inside it.
constexpr uint64_t kBigV = 1024;
std::string patterned(uint64_t i) {
    const uint64_t size = i % kBigV + 1;
    return std::string(size, static_cast<char>('a' + size % 26));
}
bool patternHolds(const char *bytes, uint64_t size) {
    if (size == 0 || size > kBigV) return false;
    for (uint64_t i = 0; i < size; ++i)
        if (bytes[i] != static_cast<char>('a' + size % 26)) return false;
    return true;
}
uint64_t rcFor(int32_t value) { return ~static_cast<uint64_t>(static_cast<uint32_t>(value)) * 3; }

// Both processes write and read one R and one V property as fast as they can,
// by key and through the record; every read is whole.
int hammer(SNodeCB_t *node, int side, int rounds, std::atomic<int> *ready) {
    // Both sides start together, so that their rounds overlap.
    ready->fetch_add(1);
    while (ready->load() < 2) {
    }
    RPropertyRec_t *r = nullptr;
    VPropertyRec_t *v = nullptr;
    if (quorGetAddressForRProperty(node, 1, &r) != 0 || quorGetAddressForVProperty(node, 2, &v) != 0)
        return 10;
    for (int i = 0; i < rounds; ++i) {
        const int32_t mine = side == 0 ? i : -i;
        if (quorSetValueAndRCForRProperty(node, r, mine, rcFor(mine), 0) != 0) return 11;
        const std::string bytes = patterned(static_cast<uint64_t>(i) * 331 + side * 500);
        if (quorSetValueForVProperty(node, 2, bytes.size(), bytes.data(), 0) != 0) return 12;

        int32_t value = 0;
        uint64_t rc = 0, size = kBigV;
        if (quorGetValueAndRCForRProperty(node, r, &value, &rc, 0) != 0) return 13;
        if (rc != rcFor(value)) return 14;
        char buffer[kBigV];
        void *address = nullptr;
        if (quorGetValueForVProperty(node, 2, &size, &address, buffer, 0) != 0) return 15;
        if (!patternHolds(buffer, size)) return 16;
        size = kBigV;
        if (quorGetValueAndRCForVProperty(node, v, &size, &address, buffer, &rc, 0) != 0) return 17;
        if (!patternHolds(buffer, size)) return 18;
    }
    return 0;
}

TEST(ValuesAcrossProcesses, ConcurrentWritersAndReadersSeeWholeValues) {
    Sizes sizes{};
    uint64_t total = 0;
    ASSERT_EQ(
        quorCreateMaxSpaceArray(QUOR_KIND_R | QUOR_KIND_V, 4, 4, 0, 0, 0, 0, 1, kBigV, 0, 0, 0,
                                QUOR_LIST_FLAT, QUOR_LIST_HASHED, 0, 0, 0, 0, 0, 0, sizes.data(), &total),
        QUOR_RC_OK);
    SNodeCB_t *node = makePropsNode(sizes, QUOR_KIND_R | QUOR_KIND_V);
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(node->concurrencyModel, QUOR_CONCURRENCY_MODEL_LATCHED);
    ASSERT_EQ(quorCreateRPropertyList(node, nullptr, nullptr, 0, 4, QUOR_LIST_FLAT, 0), QUOR_RC_OK);
    ASSERT_EQ(quorCreateVPropertyList(node, nullptr, nullptr, nullptr, kBigV, 0, 4, QUOR_LIST_HASHED, 0),
              QUOR_RC_OK);
    ASSERT_EQ(quorAddRProperty(node, 1, 0, 0), QUOR_RC_OK);
    ASSERT_EQ(quorSetRCForRProperty(node, 1, rcFor(0), 0), QUOR_RC_OK);
    ASSERT_EQ(quorAddVProperty(node, 2, 1, "a", 0), QUOR_RC_OK);
    const int32_t counter = reconfig(node);

    constexpr int kRounds = 60000;
    auto *ready = new (sharedScratch(sizeof(std::atomic<int>))) std::atomic<int>(0);
    pid_t child = spawn([&] { return hammer(node, 1, kRounds, ready); });
    EXPECT_EQ(hammer(node, 0, kRounds, ready), 0);
    EXPECT_EQ(waitChild(child), 0);
    EXPECT_EQ(reconfig(node), counter);  // values never count as membership changes
}

}  // namespace
}  // namespace quor::test
