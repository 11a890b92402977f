// Properties shared between processes: what one adds another sees, and two
// writers on one node keep the table whole.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <string>

#include "props_fixture.h"
#include "tree/segment_fixture.h"

namespace quor::test {
namespace {

using props::IRKind, props::IVKind, props::RKind, props::VKind;
using RHashed = Adapter<RKind, QUOR_LIST_HASHED>;
using IVFlat = Adapter<IVKind, QUOR_LIST_FLAT>;

class SharedProperties : public SegmentTest {};

// The creator builds an active top node with a hashed R list and a flat IV list
// and fills both; an unrelated process connects and finds every property with
// its value where its own mapping puts it.
TEST_F(SharedProperties, SecondProcessSeesEveryProperty) {
    constexpr uint64_t kCount = 20;
    ShmSegInfo_t *seg = create("props-seen", 4 << 20);
    ASSERT_NE(seg, nullptr);
    const uint64_t flags = QUOR_KIND_ID | QUOR_KIND_R | QUOR_KIND_IV;
    Sizes sizes{};
    uint64_t total = 0, offset = 0;
    ASSERT_EQ(
        quorCreateMaxSpaceArray(flags, kCount, 0, 0, kCount, 0, 16, 1, 1, 0, kMaxId, kMaxV, QUOR_LIST_HASHED,
                                0, 0, QUOR_LIST_FLAT, 0, 0, 0, 0, sizes.data(), &total),
        QUOR_RC_OK);
    SNodeCB_t *node = nullptr;
    ASSERT_EQ(quorCreateNode(seg, &node, flags, sizes.data(), &total, &offset), QUOR_RC_OK);
    ASSERT_EQ(quorInitNode(&node, offset, 3, "top", nullptr, nullptr, 16, nullptr, nullptr, nullptr),
              QUOR_RC_OK);
    ASSERT_EQ(RHashed::create(node, kCount), QUOR_RC_OK);
    ASSERT_EQ(IVFlat::create(node, kCount), QUOR_RC_OK);
    ASSERT_EQ(quorActivateNode(&node), QUOR_RC_OK);
    ASSERT_EQ(quorSetNodeTag(node, 9, 0), QUOR_RC_OK);
    ASSERT_EQ(
        quorPutTopNodeInfoIntoDomainHeader(seg->domainHandle, 9, offset, seg->poolHandle->poolHeapOffset),
        QUOR_RC_OK);
    for (uint64_t key = 1; key <= kCount; ++key) {
        ASSERT_EQ(RHashed::add(node, key), QUOR_RC_OK);
        ASSERT_EQ(IVFlat::add(node, key), QUOR_RC_OK);
    }
    const IpcResId id = segmentName("props-seen");
    pid_t child = spawn([&] {
        freshLibrary();
        SNodeCB_t *top = nullptr;
        if (connectTree(id, &top) == nullptr || top == node) return 1;
        for (uint64_t key = 1; key <= kCount; ++key) {
            RPropertyRec_t *r = nullptr;
            IVPropertyRec_t *iv = nullptr;
            if (RHashed::locate(top, key, &r) != 0 || !RHashed::holds(top, *r, key)) return 2;
            if (IVFlat::locate(top, key, &iv) != 0 || !IVFlat::holds(top, *iv, key)) return 3;
        }
        return 0;
    });
    EXPECT_EQ(waitChild(child), 0);
    remove(seg);
}

// Two processes add and delete disjoint keys on one latched node at once; the
// table ends with exactly the keys each kept, the counter counts every change,
// and every chain, stack entry and usedSize byte adds up.
template <class A>
void twoWriters() {
    constexpr uint64_t kPerWriter = 40, kRounds = 1000;
    SNodeCB_t *node = A::sizedNode(2 * kPerWriter);
    ASSERT_EQ(A::create(node, 2 * kPerWriter), QUOR_RC_OK);
    // Both writers start together, or the first may be done before the second
    // is forked.
    auto *ready = static_cast<std::atomic<int> *>(sharedScratch(sizeof(std::atomic<int>)));
    auto writer = [&](uint64_t base) {
        ready->fetch_add(1);
        while (ready->load() < 2) {
        }
        for (uint64_t round = 0; round < kRounds; ++round) {
            for (uint64_t k = 0; k < kPerWriter; ++k)
                if (A::add(node, base + k) != 0) return 1;
            for (uint64_t k = 0; k < kPerWriter; k += round % 2 == 0 ? 1 : 2)
                if (A::remove(node, base + k) != 0) return 2;
            if (round % 2 == 1) {
                for (uint64_t k = 1; k < kPerWriter; k += 2)
                    if (A::remove(node, base + k) != 0) return 3;
            }
        }
        // Each writer keeps its even keys.
        for (uint64_t k = 0; k < kPerWriter; k += 2)
            if (A::add(node, base + k) != 0) return 4;
        return 0;
    };
    pid_t first = spawn([&] { return writer(1); });
    pid_t second = spawn([&] { return writer(1001); });
    ASSERT_EQ(waitChild(first), 0);
    ASSERT_EQ(waitChild(second), 0);
    uint64_t live = 0;
    ASSERT_TRUE(consistent<typename A::Kind>(node, &live));
    EXPECT_EQ(live, kPerWriter);
    EXPECT_EQ(reconfig(node), static_cast<int32_t>(2 * (kRounds * 2 * kPerWriter + kPerWriter / 2)));
    for (uint64_t base : {1, 1001}) {
        for (uint64_t k = 0; k < kPerWriter; ++k) {
            typename A::Kind::Record *record = nullptr;
            EXPECT_EQ(A::locate(node, base + k, &record), k % 2 == 0 ? 0u : A::Kind::codes.notFound)
                << base + k;
        }
    }
}

TEST(ConcurrentWriters, HashedIR) { twoWriters<Adapter<IRKind, QUOR_LIST_HASHED>>(); }
TEST(ConcurrentWriters, HashedR) { twoWriters<Adapter<RKind, QUOR_LIST_HASHED>>(); }
TEST(ConcurrentWriters, FlatV) { twoWriters<Adapter<VKind, QUOR_LIST_FLAT>>(); }

}  // namespace
}  // namespace quor::test
