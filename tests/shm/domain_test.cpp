// Domains: the three modes, connection counting across processes, freeing,
// marking, latching and the argument tests.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "heap_fixture.h"
#include "support/process.h"
#include "support/trace_recorder.h"

namespace {

using namespace quor;
using quor::test::DomainFixture;

IpcResId segmentName(const char *tag) {
    IpcResId id{};
    std::snprintf(id.name, sizeof id.name, "quor-domain-%s-%d", tag, int(getpid()));
    return id;
}

TEST(Domain, SecondProcessConnectsAndTheCountsAndDeletionMarkHold) {
    const IpcResId id = segmentName("fork");
    ShmDomainHandle_t *creator = nullptr;
    ASSERT_EQ(quorCreateShmDomain(&id, nullptr, 0x100000, nullptr, &creator), QUOR_RC_OK);
    EXPECT_EQ(creator->mode, QUOR_SHM_MODE_CREATE);
    ShmDomainHandle_t *again = nullptr;
    EXPECT_EQ(quorCreateShmDomain(&id, nullptr, 0x100000, nullptr, &again), QUOR_RC_SEGMENT_EXISTS);
    EXPECT_EQ(again, nullptr);

    auto *step = static_cast<volatile int *>(quor::test::sharedScratch(sizeof(int) * 2));
    const pid_t child = quor::test::spawn([&] {
        ShmDomainHandle_t *handle = nullptr;
        if (quorConnectToShmDomain(&id, nullptr, nullptr, &handle) != QUOR_RC_OK) return 1;
        ShmDomainInfo_t info{};
        if (quorGetShmDomainInfo(handle, &info) != QUOR_RC_OK || info.refCount != 2) return 2;
        step[0] = 1;
        while (step[1] == 0) usleep(1000);
        return quorDisconnectFromShmDomain(&handle) == QUOR_RC_OK && handle == nullptr ? 0 : 3;
    });
    while (step[0] == 0) usleep(1000);
    EXPECT_EQ(quorFreeShmDomain(&creator, QUOR_SHM_FREE_NORMAL), QUOR_RC_DOMAIN_IN_USE);
    ASSERT_NE(creator, nullptr);
    step[1] = 1;
    EXPECT_EQ(quor::test::waitChild(child), 0);
    ShmDomainInfo_t info{};
    ASSERT_EQ(quorGetShmDomainInfo(creator, &info), QUOR_RC_OK);
    EXPECT_EQ(info.refCount, 1u);

    ASSERT_EQ(quorMarkShmDomainForDeletion(creator), QUOR_RC_OK);
    const pid_t refused = quor::test::spawn([&] {
        ShmDomainHandle_t *handle = nullptr;
        return quorConnectToShmDomain(&id, nullptr, nullptr, &handle) == QUOR_RC_DOMAIN_MARKED_FOR_DELETION &&
                       handle == nullptr
                   ? 0
                   : 1;
    });
    EXPECT_EQ(quor::test::waitChild(refused), 0);
    ASSERT_EQ(quorGetShmDomainInfo(creator, &info), QUOR_RC_OK);
    EXPECT_EQ(info.refCount, 1u);
    EXPECT_EQ(quorFreeShmDomain(&creator, QUOR_SHM_FREE_NORMAL), QUOR_RC_OK);
    EXPECT_EQ(creator, nullptr);
    ShmDomainHandle_t *late = nullptr;
    EXPECT_EQ(quorConnectToShmDomain(&id, nullptr, nullptr, &late), QUOR_RC_SEGMENT_ATTACH_FAILED);
    EXPECT_EQ(hostMemLiveBlocks("quorshm"), 0u);
}

class DomainCalls : public DomainFixture {};

TEST_F(DomainCalls, ConnectFreeAndHandleLifecycleInCallerMemory) {
    makeDomain(0x100000);
    ShmDomainOptions_t options{};
    options.mode = QUOR_SHM_MODE_USER_MEMORY;
    ShmDomainHandle_t *second = nullptr;
    ASSERT_EQ(quorConnectToShmDomain(nullptr, memory_, &options, &second), QUOR_RC_OK);
    EXPECT_EQ(info().refCount, 2u);
    EXPECT_EQ(quorLatchShmDomain(second), QUOR_RC_OK);
    EXPECT_EQ(quorUnlatchShmDomain(second), QUOR_RC_OK);
    EXPECT_EQ(quorDestroyShmDomainHandle(&second), QUOR_RC_OK);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(quorFreeShmDomain(&handle_, QUOR_SHM_FREE_NORMAL), QUOR_RC_DOMAIN_IN_USE);
    EXPECT_EQ(quorFreeShmDomain(&handle_, 7), QUOR_RC_BAD_FREE_MODE);
    ASSERT_EQ(quorFreeShmDomain(&handle_, QUOR_SHM_FREE_FORCE), QUOR_RC_OK);
    // Freed: the magic is gone, later operations and connections fail.
    EXPECT_EQ(quorConnectToShmDomain(nullptr, memory_, &options, &second), QUOR_RC_BAD_DOMAIN_EYECATCHER);
    EXPECT_EQ(second, nullptr);
    Chunk c;
    EXPECT_EQ(allocate(4096, &c), QUOR_RC_BAD_DOMAIN_EYECATCHER);
    EXPECT_EQ(hostMemLiveBlocks("quorshm"), 0u);
}

TEST_F(DomainCalls, BadArgumentsGiveTheirCodesAndNullsAreLogged) {
    makeDomain(0x100000);
    quor::test::TraceRecorder recorder;
    ShmDomainHandle_t *h = nullptr;
    ShmDomainInfo_t info{};
    uint64_t size = 0;
    char buffer[8];
    ShmDomainHandle_t noBase{nullptr, 3, 0, 0, nullptr};
    ShmDomainHandle_t misaligned{memory_, 3, 0, 4, nullptr};
    ShmDomainHandle_t wrongOffset{memory_, 3, 0, 8, nullptr};
    ShmDomainOptions_t o{};
    const struct {
        const char *what;
        uint32_t got, want;
    } cases[] = {
        {"null handle info", quorGetShmDomainInfo(nullptr, &info), QUOR_RC_NULL_DOMAIN_HANDLE},
        {"null info", quorGetShmDomainInfo(handle_, nullptr), QUOR_RC_NULL_DOMAIN_INFO},
        {"no base", quorLatchShmDomain(&noBase), QUOR_RC_NOT_MAPPED},
        {"offset mismatch", quorLatchShmDomain(&wrongOffset), QUOR_RC_BAD_DOMAIN_EYECATCHER},
        {"misaligned mark", quorMarkShmDomainForDeletion(&misaligned), QUOR_RC_HANDLE_OFFSET_NOT_ALIGNED},
        {"null ref", quorDisconnectFromShmDomain(nullptr), QUOR_RC_NULL_DOMAIN_HANDLE},
        {"null data", quorSetDomainUserAppData(handle_, 0, nullptr), QUOR_RC_NULL_DOMAIN_USER_APP_DATA},
        {"null size", quorGetDomainUserAppData(handle_, nullptr, buffer), QUOR_RC_NULL_DOMAIN_USER_APP_DATA},
        {"connect without name", quorConnectToShmDomain(nullptr, nullptr, nullptr, &h), QUOR_RC_NOT_ATTACHED},
        {"create without name", quorCreateShmDomain(nullptr, nullptr, 0x100000, nullptr, &h),
         QUOR_RC_NOT_ATTACHED},
        {"null latch", quorEnterELCriticalSection(nullptr), QUOR_RC_NULL_SHM_LATCH},
        {"kind", quorConnectToStorageHeap(memory_, 9, 0), QUOR_RC_BAD_HEAP_MODE},
        {"pool magic", quorConnectToStorageHeap(memory_, 2, 0), QUOR_RC_BAD_POOL_EYECATCHER},
        {"user area size", quorGetUserAppAreaSize(memory_, 0, &size), QUOR_RC_OK},
    };
    for (const auto &c : cases) EXPECT_EQ(c.got, c.want) << c.what;
    // Option tests run in order.
    const struct {
        uint64_t ShmDomainOptions_t::*field;
        uint64_t value;
        uint32_t want;
    } options[] = {
        {&ShmDomainOptions_t::heapOffset, 4, QUOR_RC_HEAP_OFFSET_NOT_ALIGNED},
        {&ShmDomainOptions_t::userAppAreaSize, 0x100001, QUOR_RC_BAD_USER_APP_AREA_SIZE},
        {&ShmDomainOptions_t::handleEyecatcher, 5, QUOR_RC_BAD_EYECATCHER},
        {&ShmDomainOptions_t::latchEyecatcher, 5, QUOR_RC_LATCH_NOT_INITIALIZED},
        {&ShmDomainOptions_t::eyecatcher0, 5, QUOR_RC_BAD_STORAGE_EYECATCHER},
        {&ShmDomainOptions_t::granule, 7, QUOR_RC_DOMAIN_GRANULE_OUT_OF_RANGE},
        {&ShmDomainOptions_t::granule, 4100, QUOR_RC_DOMAIN_GRANULE_NOT_ALIGNED},
    };
    for (const auto &c : options) {
        o = ShmDomainOptions_t{};
        o.mode = QUOR_SHM_MODE_USER_MEMORY;
        o.*c.field = c.value;
        EXPECT_EQ(quorCreateShmDomain(nullptr, memory_, 0x100000, &o, &h), c.want) << c.value;
    }
    o = ShmDomainOptions_t{};
    o.mode = 5;
    EXPECT_EQ(quorCreateShmDomain(nullptr, memory_, 0x100000, &o, &h), QUOR_RC_BAD_SHM_MODE);
    EXPECT_EQ(h, nullptr);
    bool logged = false;
    for (const auto &r : recorder.records()) {
        logged |= r.kind == quor::test::TraceRecord::Log && r.code == QUOR_RC_NULL_DOMAIN_HANDLE;
    }
    EXPECT_TRUE(logged);
}

// A domain connection refuses a header that would reach past its mapping.
TEST(Domain, ConnectRefusesAHeapLargerThanItsSegment) {
    const IpcResId id = segmentName("bounds");
    ShmDomainHandle_t *creator = nullptr;
    ASSERT_EQ(quorCreateShmDomain(&id, nullptr, 0x100000, nullptr, &creator), QUOR_RC_OK);
    auto *header = static_cast<HHeader_t *>(creator->base);
    header->heapSize = 0x10000000;
    ShmDomainHandle_t *other = nullptr;
    EXPECT_EQ(quorConnectToShmDomain(&id, nullptr, nullptr, &other), QUOR_RC_BAD_DOMAIN_EYECATCHER);
    header->heapSize = 0x100000;
    EXPECT_EQ(quorFreeShmDomain(&creator, QUOR_SHM_FREE_FORCE), QUOR_RC_OK);
}

}  // namespace
