// Node locators: building them, translating them in this and other processes,
// attaching a segment through a locator and detaching it again.
#include <cstring>

#include "frame/functions.h"
#include "segment_fixture.h"
#include "support/trace_recorder.h"

namespace quor::test {
namespace {

constexpr uint64_t kTag = 0x99;

class LocatorTest : public SegmentTest {
protected:
    void SetUp() override {
        SegmentTest::SetUp();
        holder = create("holder");
        target = create("target");
        buildTopNode(holder, 1, "holder");
        targetOffset = buildTopNode(target, kTag, "target", &targetNode);
    }
    void TearDown() override {
        remove(holder);
        remove(target);
        SegmentTest::TearDown();
    }

    // A locator of the target's top node whose descriptor is kept in the
    // holder's lists, stored inside a block of the holder's pool so that it
    // reads alike in every process that maps the holder.
    SNodeInfo_t *storedLocator(uint64_t *blockOffset) {
        SNodeInfo_t built{};
        EXPECT_EQ(quorAddStatusNodeInfo(&built, holder, target, targetOffset, kTag, 0, nullptr), QUOR_RC_OK);
        void *block = nullptr;
        EXPECT_EQ(_quorAllocateShmBlock(&block, holder->poolHandle, sizeof built, 0, 0, __LINE__, "test"),
                  QUOR_RC_OK);
        auto *stored = static_cast<SNodeInfo_t *>(block);
        *blockOffset =
            static_cast<unsigned char *>(block) - static_cast<unsigned char *>(holder->domainHandle->base);
        *stored = built;
        stored->selfDisplacement = *blockOffset;
        stored->segBase = 0;
        return stored;
    }

    ShmSegInfo_t *holder = nullptr, *target = nullptr;
    SNodeCB_t *targetNode = nullptr;
    uint64_t targetOffset = 0;
};

TEST_F(LocatorTest, BuiltLocatorTranslatesAndChecks) {
    SNodeInfo_t info{};
    ASSERT_EQ(quorAddStatusNodeInfo(&info, holder, target, targetOffset, kTag, 6, nullptr), QUOR_RC_OK);
    EXPECT_EQ(info.segBase, reinterpret_cast<uintptr_t>(holder->domainHandle->base));
    SNodeInfo_t twice{};
    ASSERT_EQ(quorAddStatusNodeInfo(&twice, holder, target, targetOffset, kTag, 6, nullptr), QUOR_RC_OK);
    EXPECT_EQ(twice.segDescOffset, info.segDescOffset);  // one stored descriptor per segment
    EXPECT_EQ(twice.rmxPathOffset, info.rmxPathOffset);

    SNodeCB_t *node = nullptr;
    ASSERT_EQ(quorGetControlBlockPtrFromSNodeInfo(&info, &node), QUOR_RC_OK);
    EXPECT_EQ(node, targetNode);
    node = nullptr;
    ASSERT_EQ(quorAttachToNode(&info, &node), QUOR_RC_OK);
    EXPECT_EQ(node, targetNode);
    EXPECT_EQ(refCountOf(target), 1u);  // registered already: no new reference

    ShmSegInfo_t *found = nullptr;
    uint32_t differs = 7;
    ASSERT_EQ(quorGetShmSegInfoPtrUsingSNodeInfo(&info, &node, &found, holder, &differs,
                                                 QUOR_LOCATOR_COMPARE_SEGMENT),
              QUOR_RC_OK);
    EXPECT_EQ(found, target);
    EXPECT_EQ(differs, 1u);
    ASSERT_EQ(quorGetShmSegInfoPtrUsingSNodeInfo(&info, &node, &found, target, &differs,
                                                 QUOR_LOCATOR_COMPARE_SEGMENT),
              QUOR_RC_OK);
    EXPECT_EQ(differs, 0u);
    EXPECT_EQ(quorGetShmSegInfoPtrUsingSNodeInfo(&info, &node, &found, nullptr, &differs,
                                                 QUOR_LOCATOR_COMPARE_SEGMENT),
              QUOR_RC_NOT_ATTACHED);
    EXPECT_EQ(quorGetShmSegInfoPtrUsingSNodeInfo(&info, &node, &found, nullptr, nullptr, 0),
              QUOR_RC_NULL_SEGMENT_FLAG_OUTPUT);

    SNodeInfo_t inPM{};
    inPM.nodeOffset = reinterpret_cast<uintptr_t>(targetNode);
    ASSERT_EQ(quorGetControlBlockPtrFromSNodeInfoInPM(&inPM, &node), QUOR_RC_OK);
    EXPECT_EQ(node, targetNode);
}

// A peer stores the same descriptor while a locator is built (the trace hook
// that runs as the build's lookup returns stands in for it): the build ends with
// the one stored copy, not with a duplicate refused.
ShmSegInfo_t *racingHolder = nullptr;
const ShmSegInfo_t *racingDescriptor = nullptr;

void storeSameDescriptorAfterLookup(uint64_t, uint32_t fn, uint64_t) {
    if (fn != static_cast<uint32_t>(Fn::quorFindAttachSegInfoNodeInLList) || racingHolder == nullptr) return;
    ShmSegInfo_t *peer = racingHolder;
    racingHolder = nullptr;
    AttachSegInfo_t *stored = nullptr;
    (void)quorInsertAttachSegInfoNodeIntoLList(peer->poolHandle, racingDescriptor, &stored);
}

TEST_F(LocatorTest, DescriptorStoredByAPeerMeanwhileIsTheOneUsed) {
    racingHolder = holder;
    racingDescriptor = target;
    SNodeInfo_t info{};
    {
        ExitHook hook(storeSameDescriptorAfterLookup);
        EXPECT_EQ(quorAddStatusNodeInfo(&info, holder, target, targetOffset, kTag, 0, nullptr), QUOR_RC_OK);
    }

    AttachSegInfo_t *stored = nullptr;
    ASSERT_EQ(quorFindAttachSegInfoNodeInLList(holder->poolHandle, target, &stored), QUOR_RC_OK);
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(info.segDescOffset,
              static_cast<uint64_t>(reinterpret_cast<unsigned char *>(stored) -
                                    static_cast<unsigned char *>(holder->domainHandle->base)));
    SNodeCB_t *node = nullptr;
    EXPECT_EQ(quorGetControlBlockPtrFromSNodeInfo(&info, &node), QUOR_RC_OK);
    EXPECT_EQ(node, targetNode);
}

TEST_F(LocatorTest, WrongLocatorsGiveTheirCodes) {
    SNodeInfo_t good{};
    ASSERT_EQ(quorAddStatusNodeInfo(&good, holder, target, targetOffset, kTag, 0, nullptr), QUOR_RC_OK);
    ShmSegInfo_t unknown = *target;
    std::strcpy(unknown.segName.name, segmentName("unknown").name);
    SNodeInfo_t elsewhere{};
    ASSERT_EQ(quorAddStatusNodeInfo(&elsewhere, holder, &unknown, targetOffset, kTag, 0, nullptr),
              QUOR_RC_OK);
    labels.push_back("unknown");

    struct Case {
        const char *what;
        SNodeInfo_t info;
        uint32_t translate, attach;
    } cases[] = {
        {"stale tag", good, QUOR_RC_OK, QUOR_RC_STALE_NODE_INFO},
        {"offset outside the heap", good, QUOR_RC_STALE_NODE_INFO, QUOR_RC_STALE_NODE_INFO},
        {"unknown segment", elsewhere, QUOR_RC_SEGMENT_NOT_REGISTERED, QUOR_RC_SEGMENT_ATTACH_FAILED},
        {"descriptor outside every segment", good, QUOR_RC_NULL_NODE_INFO, QUOR_RC_NULL_NODE_INFO},
    };
    cases[0].info.tag = kTag + 1;
    cases[1].info.nodeOffset = kSegmentSize - 16;
    cases[3].info.segDescOffset = kSegmentSize * 4;
    const auto before = registryNames();
    for (Case &c : cases) {
        SNodeCB_t *node = nullptr;
        EXPECT_EQ(quorGetControlBlockPtrFromSNodeInfo(&c.info, &node), c.translate) << c.what;
        node = nullptr;
        EXPECT_EQ(quorAttachToNode(&c.info, &node), c.attach) << c.what;
        EXPECT_EQ(node, nullptr) << c.what;
        EXPECT_EQ(registryNames(), before) << c.what;
    }
    EXPECT_EQ(quorAddStatusNodeInfo(&good, holder, target, 0, QUOR_MAX_TAG + 1, 0, nullptr),
              QUOR_RC_SIZE_TOO_LARGE);
    EXPECT_EQ(quorAddStatusNodeInfo(&good, holder, target, 0, 1, QUOR_MAX_ID_SIZE + 1, nullptr),
              QUOR_RC_ID_SIZE_TOO_LARGE);
    EXPECT_EQ(quorAttachToNode(nullptr, nullptr), QUOR_RC_NULL_NODE_INFO);
    // A segment this process never attached: nothing to detach.
    EXPECT_EQ(quorDetachFromNode(&elsewhere, QUOR_DETACH_RELEASE), QUOR_RC_OK);
    EXPECT_EQ(registryNames(), before);
}

// A locator stored in one segment names a node of another; a process that maps
// only the first attaches the second through the locator, at its own address.
TEST_F(LocatorTest, LocatorResolvesInAnotherProcessAndAttachesItsSegment) {
    uint64_t blockOffset = 0;
    storedLocator(&blockOffset);
    IpcResId holderName = segmentName("holder"), targetName = segmentName("target");
    pid_t child = spawn([&] {
        freshLibrary();
        ShmSegInfo_t *seg = connectTree(holderName);
        if (seg == nullptr) return 1;
        auto *locator = inSegment<SNodeInfo_t>(seg, blockOffset);
        SNodeCB_t *node = nullptr;
        if (quorGetControlBlockPtrFromSNodeInfo(locator, &node) != QUOR_RC_SEGMENT_NOT_REGISTERED) return 2;
        if (quorAttachToNode(locator, &node) != 0 || node == nullptr || node == targetNode) return 3;
        uint64_t tag = 0;
        if (quorGetNodeTag(node, &tag, 0) != 0 || tag != kTag) return 4;
        if (registryNames() != std::vector<std::string>{targetName.name, holderName.name}) return 5;
        if (quorDetachFromNode(locator, QUOR_DETACH_RELEASE) != 0) return 6;
        if (registryNames() != std::vector<std::string>{holderName.name}) return 7;
        return quorDetachStatusSegment(&seg, QUOR_DETACH_RELEASE) == 0 ? 0 : 8;
    });
    EXPECT_EQ(waitChild(child), 0);
}

TEST_F(LocatorTest, InactiveNodeIsRefusedAndTheAttachUndone) {
    uint64_t blockOffset = 0;
    storedLocator(&blockOffset);
    ASSERT_EQ(quorAbandonNode(&targetNode), QUOR_RC_OK);
    IpcResId holderName = segmentName("holder");
    pid_t child = spawn([&] {
        freshLibrary();
        ShmSegInfo_t *seg = connectTree(holderName);
        if (seg == nullptr) return 1;
        auto *locator = inSegment<SNodeInfo_t>(seg, blockOffset);
        SNodeCB_t *node = nullptr;
        if (quorAttachToNode(locator, &node) != QUOR_RC_NODE_ABANDONED || node != nullptr) return 2;
        return registryNames() == std::vector<std::string>{holderName.name} ? 0 : 3;
    });
    EXPECT_EQ(waitChild(child), 0);
}

}  // namespace
}  // namespace quor::test
