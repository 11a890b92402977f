// Status segments: create, attach and connect across processes, the registry,
// reference counts, marking and deleting, the tree record, and every failure
// path leaving the registry and private memory as they were.
#include <fcntl.h>
#include <sys/mman.h>

#include <algorithm>

#include "segment_fixture.h"

namespace quor::test {
namespace {

constexpr uint64_t kTag = 0x4711;

bool segmentExists(const IpcResId &id) {
    int fd = shm_open(segmentPath(id).c_str(), O_RDONLY, 0);
    if (fd >= 0) close(fd);
    return fd >= 0;
}

TEST_F(SegmentTest, SecondProcessConnectsAndReadsTheTopNode) {
    ShmSegInfo_t *seg = create("tree");
    SNodeCB_t *mine = nullptr;
    const uint64_t offset = buildTopNode(seg, kTag, "root-id", &mine);
    IpcResId id = segmentName("tree");

    pid_t child = spawn([&] {
        freshLibrary();
        ShmSegInfo_t *other = nullptr;
        SNodeCB_t *top = nullptr;
        TopNodeInfo info{};
        if (quorConnectToATree(&other, &top, &info, &id, nullptr, nullptr, nullptr) != QUOR_RC_OK) return 1;
        if (info.topNodeTag != kTag || info.topNodeOffset != offset || top == mine) return 2;
        uint64_t tag = 0, length = 0;
        char *bytes = nullptr;
        if (quorGetNodeTag(top, &tag, 0) != 0 || tag != kTag) return 3;
        if (quorGetNodeID(top, &bytes, &length, 0) != 0 || std::string(bytes, length) != "root-id") return 4;
        if (registryNames() != std::vector<std::string>{id.name}) return 5;
        if (quorDetachStatusSegment(&other, QUOR_DETACH_RELEASE) != 0 || other != nullptr) return 6;
        return registryNames().empty() ? 0 : 7;
    });
    EXPECT_EQ(waitChild(child), 0);
    remove(seg);
    EXPECT_FALSE(segmentExists(id));
    EXPECT_EQ(hostMemLiveBlocks(nullptr), baseline);
}

TEST_F(SegmentTest, AttachingANameTwiceMapsItOnceAndCounts) {
    ShmSegInfo_t *seg = create("twice");
    IpcResId id = segmentName("twice");
    ShmSegInfo_t *again = nullptr;
    ASSERT_EQ(quorAttachStatusSegment(&again, &id, nullptr, 0, 0, nullptr, nullptr), QUOR_RC_OK);
    EXPECT_EQ(again, seg);
    EXPECT_EQ(refCountOf(seg), 2u);
    ASSERT_EQ(quorUpdateShmAttachRefCount(seg, QUOR_REFCOUNT_INCREMENT), QUOR_RC_OK);
    EXPECT_EQ(refCountOf(seg), 3u);
    EXPECT_EQ(quorUpdateShmAttachRefCount(seg, 3), QUOR_RC_BAD_REFCOUNT_OP);
    for (uint32_t expected : {2u, 1u}) {
        ShmSegInfo_t *handle = seg;
        ASSERT_EQ(quorDetachStatusSegment(&handle, QUOR_DETACH_RELEASE), QUOR_RC_OK);
        EXPECT_EQ(handle, seg);
        EXPECT_EQ(refCountOf(seg), expected);
    }
    EXPECT_EQ(quorUpdateShmAttachRefCount(seg, QUOR_REFCOUNT_DECREMENT), QUOR_RC_OK);
    EXPECT_EQ(refCountOf(seg), 1u);  // never below 1
    EXPECT_EQ(quorDetachStatusSegment(&seg, 3), QUOR_RC_BAD_DETACH_MODE);
    remove(seg);
    EXPECT_TRUE(registryNames().empty());
}

TEST_F(SegmentTest, RegistryDescendsWhateverTheAttachOrder) {
    std::array<std::string, 3> order{"b", "a", "c"};
    std::sort(order.begin(), order.end());
    do {
        std::vector<ShmSegInfo_t *> made;
        for (const std::string &label : order) made.push_back(create(label));
        EXPECT_EQ(registryNames(), (std::vector<std::string>{segmentName("c").name, segmentName("b").name,
                                                             segmentName("a").name}));
        for (ShmSegInfo_t *seg : made) remove(seg);
    } while (std::next_permutation(order.begin(), order.end()));
    EXPECT_EQ(hostMemLiveBlocks(nullptr), baseline);
}

TEST_F(SegmentTest, ConnectWithoutATreeFailsAndDetachesAgain) {
    ShmSegInfo_t *seg = create("bare");
    IpcResId id = segmentName("bare");
    pid_t child = spawn([&] {
        freshLibrary();
        const uint64_t before = hostMemLiveBlocks(nullptr);
        ShmSegInfo_t *other = nullptr;
        SNodeCB_t *top = nullptr;
        TopNodeInfo info{};
        if (quorConnectToATree(&other, &top, &info, &id, nullptr, nullptr, nullptr) != QUOR_RC_CONNECT_FAILED)
            return 1;
        if (other != nullptr || top != nullptr || !registryNames().empty()) return 2;
        return hostMemLiveBlocks(nullptr) == before ? 0 : 3;
    });
    EXPECT_EQ(waitChild(child), 0);
    // In this process the failed connect drops the reference it added.
    ShmSegInfo_t *other = nullptr;
    SNodeCB_t *top = nullptr;
    TopNodeInfo info{};
    EXPECT_EQ(quorConnectToATree(&other, &top, &info, &id, nullptr, nullptr, nullptr),
              QUOR_RC_CONNECT_FAILED);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(refCountOf(seg), 1u);
    remove(seg);
}

TEST_F(SegmentTest, MarkedSegmentRefusesNewReferences) {
    ShmSegInfo_t *seg = create("marked");
    buildTopNode(seg, kTag, "x");
    IpcResId id = segmentName("marked");
    ASSERT_EQ(quorMarkStatusSegmentForDeletion(seg), QUOR_RC_OK);
    ShmSegInfo_t *out = reinterpret_cast<ShmSegInfo_t *>(0x1234);
    EXPECT_EQ(quorAttachStatusSegment(&out, &id, nullptr, 0, 0, nullptr, nullptr),
              QUOR_RC_DOMAIN_MARKED_FOR_DELETION);
    EXPECT_EQ(out, reinterpret_cast<ShmSegInfo_t *>(0x1234));
    EXPECT_EQ(refCountOf(seg), 1u);
    pid_t child = spawn([&] {
        freshLibrary();
        ShmSegInfo_t *other = nullptr;
        uint32_t rc = quorAttachStatusSegment(&other, &id, nullptr, 0, 0, nullptr, nullptr);
        return rc == QUOR_RC_DOMAIN_MARKED_FOR_DELETION && registryNames().empty() ? 0 : 1;
    });
    EXPECT_EQ(waitChild(child), 0);
    remove(seg);
    EXPECT_FALSE(segmentExists(id));
}

TEST_F(SegmentTest, NormalDeleteWaitsForOtherProcesses) {
    ShmSegInfo_t *seg = create("shared");
    buildTopNode(seg, kTag, "x");
    IpcResId id = segmentName("shared");
    int *gate = static_cast<int *>(sharedScratch(sizeof(int)));
    pid_t child = spawn([&] {
        freshLibrary();
        ShmSegInfo_t *other = nullptr;
        SNodeCB_t *top = nullptr;
        TopNodeInfo info{};
        if (quorConnectToATree(&other, &top, &info, &id, nullptr, nullptr, nullptr) != 0) return 1;
        __atomic_store_n(gate, 1, __ATOMIC_SEQ_CST);
        while (__atomic_load_n(gate, __ATOMIC_SEQ_CST) != 2) usleep(1000);
        return quorDetachStatusSegment(&other, QUOR_DETACH_RELEASE) == 0 ? 0 : 2;
    });
    while (__atomic_load_n(gate, __ATOMIC_SEQ_CST) != 1) usleep(1000);
    ShmSegInfo_t *handle = seg;
    EXPECT_EQ(quorDeleteStatusSegment(&handle, QUOR_POOL_FREE_NORMAL, QUOR_DELETE_POOL_AS_GIVEN,
                                      QUOR_DETACH_RELEASE),
              QUOR_RC_POOL_IN_USE);
    EXPECT_EQ(handle, seg);  // still attached, tree intact
    SNodeCB_t *top = nullptr;
    EXPECT_EQ(quorGetTopNodeCBPtrFromShmSegInfo(seg, &top), QUOR_RC_OK);
    __atomic_store_n(gate, 2, __ATOMIC_SEQ_CST);
    EXPECT_EQ(waitChild(child), 0);
    EXPECT_EQ(
        quorDeleteStatusSegment(&seg, QUOR_POOL_FREE_NORMAL, QUOR_DELETE_POOL_AS_GIVEN, QUOR_DETACH_RELEASE),
        QUOR_RC_OK);
    EXPECT_EQ(seg, nullptr);
    EXPECT_FALSE(segmentExists(id));
}

TEST_F(SegmentTest, TreeRecordRangesAndCorruption) {
    ShmSegInfo_t *seg = create("record");
    const uint64_t offset = buildTopNode(seg, kTag, "x");
    ShmDomainHandle_t *domain = seg->domainHandle;
    const uint64_t pool = seg->poolHandle->poolHeapOffset;
    uint64_t tag = 0, top = 0, poolOffset = 0;
    ASSERT_EQ(quorGetTopNodeInfoFromDomainHeader(domain, &tag, &top, &poolOffset), QUOR_RC_OK);
    EXPECT_EQ(tag, kTag);
    EXPECT_EQ(top, offset);
    EXPECT_EQ(poolOffset, pool);

    struct Case {
        uint64_t tag, top, pool;
        uint32_t rc;
    } cases[] = {
        {QUOR_MAX_TAG + 1, offset, pool, QUOR_RC_SIZE_TOO_LARGE},
        {kTag, kSegmentSize, pool, QUOR_RC_TOP_NODE_OFFSET_OUT_OF_RANGE},
        {kTag, offset, UINT64_MAX, QUOR_RC_POOL_OFFSET_OUT_OF_RANGE},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(quorPutTopNodeInfoIntoDomainHeader(domain, c.tag, c.top, c.pool), c.rc);
        ASSERT_EQ(quorGetTopNodeInfoFromDomainHeader(domain, &tag, &top, &poolOffset), QUOR_RC_OK);
        EXPECT_EQ(top, offset);  // unchanged
    }
    EXPECT_EQ(quorPutTopNodeInfoIntoDomainHeader(nullptr, kTag, offset, pool), QUOR_RC_NULL_DOMAIN_HANDLE);
    EXPECT_EQ(quorGetTopNodeInfoFromDomainHeader(domain, nullptr, &top, &poolOffset),
              QUOR_RC_NULL_TOP_SIZE_OUTPUT);

    // A record another writer left pointing outside the heap is refused, with
    // the stored values reported, and a connection to it fails cleanly.
    auto *tail = reinterpret_cast<HHeaderTail_t *>(static_cast<unsigned char *>(domain->base) +
                                                   domain->heapOffset + QUOR_HHEADER_FIXED_SIZE);
    tail->topNodeOffset = kSegmentSize - 8;
    EXPECT_EQ(quorGetTopNodeInfoFromDomainHeader(domain, &tag, &top, &poolOffset), QUOR_RC_OK);
    SNodeCB_t *node = nullptr;
    EXPECT_EQ(quorGetTopNodeCBPtrFromShmSegInfo(seg, &node), QUOR_RC_TOP_NODE_OFFSET_OUT_OF_RANGE);
    tail->topNodeOffset = UINT64_MAX - 4;
    EXPECT_EQ(quorGetTopNodeInfoFromDomainHeader(domain, &tag, &top, &poolOffset),
              QUOR_RC_TOP_NODE_OFFSET_OUT_OF_RANGE);
    EXPECT_EQ(top, UINT64_MAX - 4);
    IpcResId id = segmentName("record");
    ShmSegInfo_t *other = nullptr;
    TopNodeInfo info{};
    EXPECT_EQ(quorConnectToATree(&other, &node, &info, &id, nullptr, nullptr, nullptr),
              QUOR_RC_CONNECT_FAILED);
    EXPECT_EQ(refCountOf(seg), 1u);
    tail->topNodeOffset = offset;
    tail->topNodeTag = kTag + 1;
    EXPECT_EQ(quorConnectToATree(&other, &node, &info, &id, nullptr, nullptr, nullptr),
              QUOR_RC_TOP_NODE_TAG_MISMATCH);
    EXPECT_EQ(refCountOf(seg), 1u);
    remove(seg);
}

TEST_F(SegmentTest, BadInputChangesNothing) {
    ShmSegInfo_t *seg = create("kept");
    IpcResId empty{}, tooLong{}, unterminated{};
    std::memset(tooLong.name, 'x', 201);
    std::memset(unterminated.name, 'y', sizeof unterminated.name);
    ShmSegInfo_t *out = nullptr;
    for (const IpcResId *bad : {&empty, &tooLong, &unterminated}) {
        EXPECT_EQ(quorGetProtectedStatusSegment(&out, kSegmentSize, bad, nullptr, 0, nullptr, nullptr),
                  QUOR_RC_HOST_BAD_SEGMENT_NAME);
        EXPECT_EQ(quorAttachStatusSegment(&out, bad, nullptr, 0, 0, nullptr, nullptr),
                  QUOR_RC_HOST_BAD_SEGMENT_NAME);
    }
    IpcResId small = name("small");
    EXPECT_EQ(quorGetProtectedStatusSegment(&out, 4096, &small, nullptr, 0, nullptr, nullptr),
              QUOR_RC_SEGMENT_TOO_SMALL);
    EXPECT_EQ(quorGetProtectedStatusSegment(&out, 0, &small, nullptr, 0, nullptr, nullptr),
              QUOR_RC_ZERO_SEGMENT_SIZE);
    EXPECT_EQ(quorGetProtectedStatusSegment(&out, kSegmentSize, &small, nullptr, kSegmentSize + 1, nullptr,
                                            nullptr),
              QUOR_RC_POOL_TOO_LARGE);
    ShmPoolOptions_t wideUserArea{};
    wideUserArea.userAppAreaSize = kSegmentSize + 1;
    EXPECT_EQ(quorGetProtectedStatusSegment(&out, kSegmentSize, &small, nullptr, 0, nullptr, &wideUserArea),
              QUOR_RC_BAD_USER_APP_AREA_SIZE);
    EXPECT_FALSE(segmentExists(small));
    IpcResId kept = segmentName("kept");
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(registryNames(), std::vector<std::string>{kept.name});
    EXPECT_EQ(refCountOf(seg), 1u);
    EXPECT_EQ(quorAuthorizeStatusSegment(seg, nullptr), QUOR_RC_NULL_AUTHORIZATION);
    EXPECT_EQ(quorAuthorizeStatusSegment(seg, seg), QUOR_RC_OK);
    remove(seg);
    EXPECT_EQ(hostMemLiveBlocks(nullptr), baseline);
}

// The registry and the library state are consulted before the tests that only
// a new attachment or the last reference needs: a registered segment is
// re-referenced whatever pool offset comes with it, a delete that is not the
// last reference ignores the delete mode, and a detach or delete of a segment
// that is not registered says so whatever its mode.
TEST_F(SegmentTest, LookupsComeBeforeTheTestsOnlyAFreshOrLastReferenceNeeds) {
    ShmSegInfo_t *seg = create("order");
    buildTopNode(seg, kTag, "x");
    IpcResId id = segmentName("order");
    ShmSegInfo_t *again = nullptr;
    EXPECT_EQ(quorAttachStatusSegment(&again, &id, nullptr, 4, 0, nullptr, nullptr), QUOR_RC_OK);
    EXPECT_EQ(again, seg);
    EXPECT_EQ(refCountOf(seg), 2u);
    pid_t child = spawn([&] {
        freshLibrary();
        const uint64_t before = hostMemLiveBlocks(nullptr);
        ShmSegInfo_t *other = nullptr;
        uint32_t rc = quorAttachStatusSegment(&other, &id, nullptr, 4, 0, nullptr, nullptr);
        if (rc != QUOR_RC_POOL_OFFSET_NOT_ALIGNED) return 1;
        return other == nullptr && registryNames().empty() && hostMemLiveBlocks(nullptr) == before ? 0 : 2;
    });
    EXPECT_EQ(waitChild(child), 0);

    ShmSegInfo_t *handle = seg;
    EXPECT_EQ(quorDeleteStatusSegment(&handle, QUOR_POOL_FREE_FORCE, 0, QUOR_DETACH_RELEASE), QUOR_RC_OK);
    EXPECT_EQ(refCountOf(seg), 1u);
    EXPECT_EQ(quorDeleteStatusSegment(&handle, QUOR_POOL_FREE_FORCE, 0, QUOR_DETACH_RELEASE),
              QUOR_RC_BAD_FREE_MODE);
    EXPECT_EQ(handle, seg) << "a refused last delete leaves the segment attached";
    EXPECT_EQ(refCountOf(seg), 1u);

    ShmSegInfo_t stranger = *seg;
    std::snprintf(stranger.segName.name, sizeof stranger.segName.name, "quor-never-registered");
    ShmSegInfo_t *strangerRef = &stranger;
    EXPECT_EQ(quorDetachStatusSegment(&strangerRef, 5), QUOR_RC_SEGMENT_NOT_REGISTERED);
    EXPECT_EQ(quorDeleteStatusSegment(&strangerRef, QUOR_POOL_FREE_FORCE, 2, 5),
              QUOR_RC_SEGMENT_NOT_REGISTERED);
    EXPECT_EQ(quorDetachStatusSegment(&handle, 5), QUOR_RC_BAD_DETACH_MODE);
    EXPECT_EQ(quorDeleteStatusSegment(&handle, QUOR_POOL_FREE_FORCE, 2, 5), QUOR_RC_BAD_DELETE_REF_MODE);

    // The tree record: the handle and its header are tested before the outputs.
    ShmDomainHandle_t unmapped = *seg->domainHandle;
    unmapped.base = nullptr;
    EXPECT_EQ(quorGetTopNodeInfoFromDomainHeader(&unmapped, nullptr, nullptr, nullptr), QUOR_RC_NOT_MAPPED);
    auto *header = inSegment<HHeader_t>(seg, seg->domainHandle->heapOffset);
    const uint64_t magic = header->heapMagic;
    header->heapMagic = 0;
    EXPECT_EQ(quorGetTopNodeInfoFromDomainHeader(seg->domainHandle, nullptr, nullptr, nullptr),
              QUOR_RC_BAD_DOMAIN_EYECATCHER);
    header->heapMagic = magic;
    remove(seg);
    EXPECT_EQ(hostMemLiveBlocks(nullptr), baseline);

    // Without the library, attach and create say so before they look at names,
    // pool options or sizes.
    ASSERT_EQ(QUORCleanup(QUOR_CLEANUP_FORCE), QUOR_RC_OK);
    ShmSegInfo_t *out = nullptr;
    EXPECT_EQ(quorAttachStatusSegment(&out, nullptr, nullptr, 4, 0, nullptr, nullptr),
              QUOR_RC_LIBRARY_NOT_INITIALIZED);
    ShmPoolOptions_t wideUserArea{};
    wideUserArea.userAppAreaSize = kSegmentSize + 1;
    IpcResId fresh = name("fresh");
    EXPECT_EQ(quorGetProtectedStatusSegment(&out, kSegmentSize, &fresh, nullptr, 0, nullptr, &wideUserArea),
              QUOR_RC_LIBRARY_NOT_INITIALIZED);
    EXPECT_EQ(quorGetProtectedStatusSegment(&out, kSegmentSize, &fresh, nullptr, kSegmentSize + 1, nullptr,
                                            nullptr),
              QUOR_RC_LIBRARY_NOT_INITIALIZED);
}

// Whether this process still maps a segment of that name.
bool mapsSegment(const IpcResId &id) {
    FILE *maps = std::fopen("/proc/self/maps", "r");
    if (maps == nullptr) return false;
    char line[512];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, maps) != nullptr)
        found = std::strstr(line, id.name) != nullptr;
    std::fclose(maps);
    return found;
}

// A registered segment whose domain another process freed refuses a new
// reference as marked for deletion. Its record can still be given up: the
// domain cannot be disconnected any more (nor one whose header eyecatcher is
// spoiled), yet the record, its handles and the segment mapping all go.
TEST_F(SegmentTest, DomainFreedElsewhereOrSpoiledStillLetsGoOfTheRecord) {
    ShmSegInfo_t *seg = create("freed");
    buildTopNode(seg, kTag, "x");
    IpcResId id = segmentName("freed");
    pid_t child = spawn([&] {
        freshLibrary();
        ShmSegInfo_t *other = nullptr;
        if (quorAttachStatusSegment(&other, &id, nullptr, 0, 0, nullptr, nullptr) != 0) return 1;
        return quorDeleteStatusSegment(&other, QUOR_POOL_FREE_FORCE, 2, 2) == 0 ? 0 : 2;
    });
    ASSERT_EQ(waitChild(child), 0);
    ShmSegInfo_t *out = reinterpret_cast<ShmSegInfo_t *>(0x1234);
    EXPECT_EQ(quorAttachStatusSegment(&out, &id, nullptr, 0, 0, nullptr, nullptr),
              QUOR_RC_DOMAIN_MARKED_FOR_DELETION);
    EXPECT_EQ(out, reinterpret_cast<ShmSegInfo_t *>(0x1234));
    EXPECT_EQ(refCountOf(seg), 1u);
    EXPECT_NE(quorDetachStatusSegment(&seg, QUOR_DETACH_ALL), QUOR_RC_OK);
    EXPECT_EQ(seg, nullptr);

    seg = create("spoiled");
    IpcResId spoiled = segmentName("spoiled");
    inSegment<HHeader_t>(seg, seg->domainHandle->heapOffset)->handleEyecatcher = 0;
    EXPECT_EQ(quorDetachStatusSegment(&seg, QUOR_DETACH_RELEASE), QUOR_RC_BAD_EYECATCHER);
    EXPECT_EQ(seg, nullptr);

    EXPECT_TRUE(registryNames().empty());
    EXPECT_EQ(hostMemLiveBlocks(nullptr), baseline);
    EXPECT_FALSE(mapsSegment(id));
    EXPECT_FALSE(mapsSegment(spoiled));
}

// Every private allocation of create, attach and connect fails in turn: each
// gives a code and leaves no block, no registry entry and no new segment.
TEST_F(SegmentTest, EveryAllocationFailingInTurnLeavesNothingBehind) {
    IpcResId id = name("sweep");
    unsigned failures = 0;
    for (uint64_t n = 1;; ++n) {
        ShmSegInfo_t *seg = nullptr;
        hostMemFailAfter(n, 0);
        uint32_t rc = quorGetProtectedStatusSegment(&seg, kSegmentSize, &id, nullptr, 0, nullptr, nullptr);
        hostMemFailAfter(0, 0);
        if (rc == QUOR_RC_OK) {
            buildTopNode(seg, kTag, "x");
            break;
        }
        ++failures;
        EXPECT_EQ(seg, nullptr) << n;
        EXPECT_TRUE(registryNames().empty()) << n;
        EXPECT_EQ(hostMemLiveBlocks(nullptr), baseline) << n;
        EXPECT_FALSE(segmentExists(id)) << n;
    }
    EXPECT_GE(failures, 3u);  // node, record, domain handle, pool handle

    pid_t child = spawn([&] {
        freshLibrary();
        const uint64_t before = hostMemLiveBlocks(nullptr);
        for (uint64_t n = 1; n < 64; ++n) {
            ShmSegInfo_t *other = nullptr;
            SNodeCB_t *top = nullptr;
            TopNodeInfo info{};
            hostMemFailAfter(n, 0);
            uint32_t rc = quorConnectToATree(&other, &top, &info, &id, nullptr, nullptr, nullptr);
            hostMemFailAfter(0, 0);
            if (rc == QUOR_RC_OK) return n > 2 && quorDetachStatusSegment(&other, 1) == 0 ? 0 : 1;
            if (other != nullptr || !registryNames().empty() || hostMemLiveBlocks(nullptr) != before)
                return 2;
        }
        return 3;
    });
    EXPECT_EQ(waitChild(child), 0);
    ShmSegInfo_t *seg = nullptr;
    ASSERT_EQ(quorAttachStatusSegment(&seg, &id, nullptr, 0, 0, nullptr, nullptr), QUOR_RC_OK);
    ASSERT_EQ(quorDetachStatusSegment(&seg, QUOR_DETACH_RELEASE), QUOR_RC_OK);
    EXPECT_NE(seg, nullptr);  // the creator's reference remains
    remove(seg);
    EXPECT_EQ(hostMemLiveBlocks(nullptr), baseline);
}

TEST_F(SegmentTest, RegistryListOperations) {
    ShmSegInfo_t *seg = create("listed");
    IpcResId id = segmentName("listed"), unknown = segmentName("unknown");
    AttachInfo *node = nullptr;
    ASSERT_EQ(quorFindAttachInfoNodeInLList(&id, &node), QUOR_RC_OK);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->segInfo, seg);
    ASSERT_EQ(quorFindAttachInfoNodeInLList(&unknown, &node), QUOR_RC_OK);
    EXPECT_EQ(node, nullptr);
    // A second node of a registered name would be shadowed: refused.
    AttachInfo duplicate{};
    EXPECT_EQ(quorInsertAttachInfoNodeIntoLList(seg, &duplicate), QUOR_RC_ATTACH_LIST_FAILED);
    EXPECT_EQ(quorDeleteAttachInfoNodeInLList(&unknown), QUOR_RC_SEGMENT_NOT_REGISTERED);
    testing::internal::CaptureStdout();
    EXPECT_EQ(quorPrintAttachInfoNodeLList(), QUOR_RC_OK);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Linked list node #1 stores segment name = \"" + std::string(id.name) + "\"\r\n");
    remove(seg);
    QUORCleanup(QUOR_CLEANUP_FORCE);
    EXPECT_EQ(quorFindAttachInfoNodeInLList(&id, &node), QUOR_RC_LIBRARY_NOT_INITIALIZED);
    ShmSegInfo_t *out = nullptr;
    EXPECT_EQ(quorAttachStatusSegment(&out, &id, nullptr, 0, 0, nullptr, nullptr),
              QUOR_RC_LIBRARY_NOT_INITIALIZED);
}

}  // namespace
}  // namespace quor::test

namespace quor::test {
namespace {

// The protected segment lives in the caller's memory and in the static record.
TEST_F(SegmentTest, ProtectedSegmentInCallerMemory) {
    void *memory = sharedScratch(kSegmentSize);
    ShmDomainOptions_t options{};
    options.mode = QUOR_SHM_MODE_USER_MEMORY;
    ShmSegInfo_t *seg = nullptr, *again = nullptr;
    ASSERT_EQ(quorGetProtectedStatusSegment(&seg, kSegmentSize, nullptr, memory, 0, &options, nullptr),
              QUOR_RC_OK);
    EXPECT_EQ(seg, &lib().protectedSegInfo);
    EXPECT_EQ(quorGetProtectedStatusSegment(&again, kSegmentSize, nullptr, memory, 0, &options, nullptr),
              QUOR_RC_SEGMENT_EXISTS);
    SNodeCB_t *built = nullptr, *top = nullptr;
    buildTopNode(seg, kTag, "protected", &built);
    ASSERT_EQ(quorAttachStatusSegment(&again, nullptr, memory, 0, 0, &options, nullptr), QUOR_RC_OK);
    EXPECT_EQ(again, seg);
    EXPECT_EQ(refCountOf(seg), 2u);
    ASSERT_EQ(quorGetTopNodeCBPtrFromShmSegInfo(seg, &top), QUOR_RC_OK);
    EXPECT_EQ(top, built);
    EXPECT_TRUE(registryNames().empty());
    ASSERT_EQ(quorDetachStatusSegment(&again, QUOR_DETACH_RELEASE), QUOR_RC_OK);
    ASSERT_EQ(quorDetachStatusSegment(&seg, QUOR_DETACH_RELEASE), QUOR_RC_OK);
    EXPECT_EQ(seg, nullptr);
    EXPECT_EQ(lib().protectedSegState, QUOR_PROTSEG_INVALID);
    seg = &lib().protectedSegInfo;
    EXPECT_EQ(quorDetachStatusSegment(&seg, QUOR_DETACH_RELEASE), QUOR_RC_SEGMENT_NOT_ATTACHED);
    EXPECT_EQ(hostMemLiveBlocks(nullptr), baseline);
}

TEST_F(SegmentTest, DisclaimGivesTheNodeBlockBackToThePool) {
    ShmSegInfo_t *seg = create("disclaim");
    ASSERT_NE(seg, nullptr);
    ShmPoolInfo_t before{}, after{};
    ASSERT_EQ(quorGetShmPoolInfo(seg->poolHandle, &before), QUOR_RC_OK);
    SNodeCB_t *node = nullptr;
    buildTopNode(seg, 7, "gone", &node);
    ASSERT_NE(node, nullptr);

    SNodeCB_t *none = nullptr;
    const struct {
        SNodeCB_t **node;
        ShmPoolHandle_t *pool;
        uint32_t key, rc;
    } refusals[] = {
        {nullptr, seg->poolHandle, QUOR_EYECATCHER, QUOR_RC_NULL_PARAMETER},
        {&none, seg->poolHandle, QUOR_EYECATCHER, QUOR_RC_NULL_PARAMETER},
        {&node, nullptr, QUOR_EYECATCHER, QUOR_RC_NULL_POOL_HANDLE},
        {&node, seg->poolHandle, 0, QUOR_RC_BAD_EYECATCHER},
    };
    for (const auto &r : refusals) EXPECT_EQ(quorDisclaimNode(r.node, r.pool, r.key), r.rc);

    SNodeCB_t *copy = node;
    EXPECT_EQ(quorDisclaimNode(&node, seg->poolHandle, QUOR_EYECATCHER), QUOR_RC_OK);
    EXPECT_EQ(node, nullptr);
    ASSERT_EQ(quorGetShmPoolInfo(seg->poolHandle, &after), QUOR_RC_OK);
    EXPECT_EQ(after.allocCount, before.allocCount);
    EXPECT_EQ(after.freeBytes, before.freeBytes);
    // A second disclaim of the same block is the pool's double free.
    EXPECT_EQ(quorDisclaimNode(&copy, seg->poolHandle, QUOR_EYECATCHER), QUOR_RC_BAD_PAD_TYPE);
    remove(seg);
}

}  // namespace
}  // namespace quor::test
