// Initialisation, clean-up and the per-node concurrency-model queries.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "frame/state.h"
#include "quor/host.h"

namespace {

constexpr uint32_t K = QUOR_EYECATCHER;

TEST(Lifecycle, CountsUsersAndTearsDownOnTheLast) {
    ASSERT_EQ(QUOROneTimeOnlyInitialization(K, K), QUOR_RC_OK);
    ASSERT_EQ(QUOROneTimeOnlyInitialization(K, K), QUOR_RC_OK);
    EXPECT_EQ(quor::lib().initCount, 2u);
    EXPECT_EQ(QUORCleanup(QUOR_CLEANUP_RELEASE), QUOR_RC_OK);
    EXPECT_EQ(quor::lib().libraryMagic, QUOR_LIB_INITIALIZED);
    EXPECT_EQ(quor::lib().initCount, 1u);
    EXPECT_EQ(QUORCleanup(QUOR_CLEANUP_RELEASE), QUOR_RC_OK);
    EXPECT_EQ(quor::lib().libraryMagic, QUOR_LIB_NOT_INITIALIZED);
    EXPECT_EQ(QUORCleanup(QUOR_CLEANUP_RELEASE), QUOR_RC_LIBRARY_NOT_INITIALIZED);
    EXPECT_EQ(hostMemLiveBlocks(nullptr), 0u);
}

TEST(Lifecycle, ForcedCleanupTearsDownAtOnceAndInitialisationStartsAfresh) {
    for (int i = 0; i < 3; ++i) ASSERT_EQ(QUOROneTimeOnlyInitialization(K, K), QUOR_RC_OK);
    EXPECT_EQ(QUORCleanup(QUOR_CLEANUP_FORCE), QUOR_RC_OK);
    EXPECT_EQ(quor::lib().initCount, 0u);
    ASSERT_EQ(QUOROneTimeOnlyInitialization(K, K), QUOR_RC_OK);
    EXPECT_EQ(quor::lib().initCount, 1u);
    ASSERT_NE(quor::lib().attachInfoList, nullptr);
    EXPECT_EQ(quor::lib().attachInfoList->first, nullptr);
    EXPECT_EQ(QUORCleanup(QUOR_CLEANUP_FORCE), QUOR_RC_OK);
}

TEST(Lifecycle, WrongKeysLeaveTheLibraryUninitialised) {
    EXPECT_EQ(QUOROneTimeOnlyInitialization(K, K + 1), QUOR_RC_LATCH_NOT_INITIALIZED);
    EXPECT_EQ(QUOROneTimeOnlyInitialization(K + 1, K), QUOR_RC_BAD_EYECATCHER);
    EXPECT_EQ(quor::lib().initCount, 0u);
    EXPECT_EQ(quor::lib().libraryMagic, QUOR_LIB_NOT_INITIALIZED);
    EXPECT_EQ(quor::lib().registryLock, 0) << "the registry lock is released on the failure path";
    EXPECT_EQ(QUORCleanup(QUOR_CLEANUP_RELEASE), QUOR_RC_LIBRARY_NOT_INITIALIZED);
    // Keys are only checked by a first initialisation.
    ASSERT_EQ(QUOROneTimeOnlyInitialization(K, K), QUOR_RC_OK);
    EXPECT_EQ(QUOROneTimeOnlyInitialization(0, 0), QUOR_RC_OK);
    EXPECT_EQ(QUORCleanup(QUOR_CLEANUP_FORCE), QUOR_RC_OK);
}

TEST(Lifecycle, BadCleanupModeChangesNothing) {
    ASSERT_EQ(QUOROneTimeOnlyInitialization(K, K), QUOR_RC_OK);
    for (uint32_t mode : {0u, 3u}) {
        EXPECT_EQ(QUORCleanup(mode), QUOR_RC_BAD_CLEANUP_MODE);
        EXPECT_EQ(quor::lib().initCount, 1u);
        EXPECT_EQ(quor::lib().libraryMagic, QUOR_LIB_INITIALIZED);
    }
    EXPECT_EQ(quor::lib().initLock, 0);
    EXPECT_EQ(quor::lib().registryLock, 0);
    EXPECT_EQ(QUORCleanup(QUOR_CLEANUP_RELEASE), QUOR_RC_OK);
}

TEST(Lifecycle, RefusedListHeadMakesTheFirstInitialisationFail) {
    hostMemFailAfter(1, 0);
    EXPECT_EQ(QUOROneTimeOnlyInitialization(K, K), QUOR_RC_NO_MEMORY);
    EXPECT_EQ(quor::lib().initCount, 0u);
    EXPECT_EQ(quor::lib().libraryMagic, QUOR_LIB_NOT_INITIALIZED);
    EXPECT_EQ(hostMemLiveBlocks(nullptr), 0u);
    // The next call is a first initialisation again, and succeeds.
    EXPECT_EQ(QUOROneTimeOnlyInitialization(K, K), QUOR_RC_OK);
    EXPECT_EQ(QUORCleanup(QUOR_CLEANUP_RELEASE), QUOR_RC_OK);
}

TEST(Lifecycle, CleanupReleasesEveryRegistryRecord) {
    ASSERT_EQ(QUOROneTimeOnlyInitialization(K, K), QUOR_RC_OK);
    // Hand-made registry: two valid records with handles, one foreign record that
    // cleanup must leave alone.
    std::vector<void *> foreign;
    quor::AttachInfo **link = &quor::lib().attachInfoList->first;
    for (int i = 0; i < 3; ++i) {
        void *node = nullptr, *info = nullptr, *domain = nullptr, *pool = nullptr;
        ASSERT_EQ(hostMemAlloc(&node, 0, sizeof(quor::AttachInfo), 1, "quor", __LINE__), 0u);
        ASSERT_EQ(hostMemAlloc(&info, 0, sizeof(ShmSegInfo_t), 1, "quor", __LINE__), 0u);
        auto *seg = static_cast<ShmSegInfo_t *>(info);
        if (i == 1) {
            foreign = {node, info};
        } else {
            seg->eyecatcher = K;
            ASSERT_EQ(hostMemAlloc(&domain, 0, 64, 1, "quorshm", __LINE__), 0u);
            ASSERT_EQ(hostMemAlloc(&pool, 0, 64, 1, "quorshm", __LINE__), 0u);
            seg->domainHandle = static_cast<ShmDomainHandle_t *>(domain);
            seg->poolHandle = static_cast<ShmPoolHandle_t *>(pool);
        }
        auto *attach = static_cast<quor::AttachInfo *>(node);
        attach->segInfo = seg;
        *link = attach;
        link = &attach->next;
    }
    EXPECT_EQ(QUORCleanup(QUOR_CLEANUP_RELEASE), QUOR_RC_OK);
    EXPECT_EQ(hostMemLiveBlocks("quorshm"), 0u);
    EXPECT_EQ(hostMemLiveBlocks("quor"), 2u) << "only the foreign record stays";
    for (void *p : foreign) hostMemFree(&p, 0, 0, "quor", __LINE__);
}

TEST(Lifecycle, TearDownReleasesThePrivateLists) {
    ASSERT_EQ(QUOROneTimeOnlyInitialization(K, K), QUOR_RC_OK);
    RMXPathRec_t path{};
    RMXPathRec_t *stored = nullptr;
    for (const char *name : {"b", "a"}) {
        std::snprintf(path.path, sizeof path.path, "%s", name);
        ASSERT_EQ(quorInsertRMXNodeIntoPMLList(&path, &stored), QUOR_RC_OK);
    }
    ShmSegInfo_t segment{};
    AttachSegInfo_t *storedSegment = nullptr;
    std::snprintf(segment.segName.name, sizeof segment.segName.name, "seg");
    ASSERT_EQ(quorInsertAttachSegInfoNodeIntoPMLList(&segment, &storedSegment), QUOR_RC_OK);
    EXPECT_EQ(hostMemLiveBlocks("quorll"), 3u);

    EXPECT_EQ(QUORCleanup(QUOR_CLEANUP_RELEASE), QUOR_RC_OK);
    EXPECT_EQ(hostMemLiveBlocks("quorll"), 0u);
    EXPECT_EQ(quor::lib().rmxPMList, nullptr);
    EXPECT_EQ(quor::lib().segInfoPMList, nullptr);
}

struct FakeNode {
    alignas(8) unsigned char bytes[0xB60] = {};
    uint32_t &model() { return *reinterpret_cast<uint32_t *>(bytes + 0x558); }
};

TEST(ConcurrencyModel, SetAndReturn) {
    FakeNode node;
    uint32_t model = 99;
    auto *cb = reinterpret_cast<SNodeCB_t *>(node.bytes);
    EXPECT_EQ(quorSetConcurrencyModel(cb, 5), QUOR_RC_OK);
    EXPECT_EQ(quorReturnConcurrencyModel(cb, &model), QUOR_RC_OK);
    EXPECT_EQ(model, 5u);
    EXPECT_EQ(quorSetConcurrencyModel(cb, 6), QUOR_RC_BAD_CONCURRENCY_MODEL);
    EXPECT_EQ(node.model(), 5u);
    node.model() = 7;
    EXPECT_EQ(quorReturnConcurrencyModel(cb, &model), QUOR_RC_BAD_CONCURRENCY_MODEL);
    EXPECT_EQ(model, 7u) << "the value is copied out before it is tested";
    EXPECT_EQ(quorReturnConcurrencyModel(nullptr, &model), QUOR_RC_NULL_PARAMETER);
    EXPECT_EQ(quorReturnConcurrencyModel(cb, nullptr), QUOR_RC_NULL_CONCURRENCY_MODEL_OUTPUT);
    EXPECT_EQ(quorSetConcurrencyModel(nullptr, 1), QUOR_RC_NULL_PARAMETER);
}

}  // namespace
