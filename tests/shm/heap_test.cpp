// The storage heap: sizing, layout, best fit, coalescing, pads and the checks.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>

#include "heap_fixture.h"
#include "shm/layout.h"
#include "shm/pads.h"

namespace {

using quor::test::AssertCapture;
using quor::test::DomainFixture;
using namespace quor;

TEST(HeapSizing, TablesCapsAndHeaderSizes) {
    struct Case {
        uint64_t size;
        uint32_t kind;
        uint64_t capacity, level, userArea;
        uint64_t wantCapacity, wantLevel, wantHeader, wantSlHeader, wantSpace;
    };
    const Case cases[] = {
        {0x100000, 1, 0, 7, 0, 350, 7, 0x1E8, 720, 64776},  // q = 5729, 28 < 350
        {0x10000, 1, 0, 7, 13, 25, 7, 0x1F8, 720, 5296},    // below 1 MiB: max(s >> 15, 25)
        {0x100000, 1, 20000, 40, 0, 10000, 25, 0x1E8, 2016, shm::round8(2016 + 183 * 10000)},
        {0x40000, 2, 0, 10, 0, 50, 10, 0x1E8, 936,
         shm::round8(936 + 183 * 50)},  // pool: max(floor(1432 * 0.02), 50)
        {0x1000000, 2, 0, 10, 0, 1237, 10, 0x1E8, 936, shm::round8(936 + 183 * 1237)},
        {0x100000, 2, 300000, 10, 0, 250000, 10, 0x1E8, 936, shm::round8(936 + 183 * 250000)},
    };
    for (const Case &c : cases) {
        uint64_t capacity = c.capacity, level = c.level, header = 0, slHeader = 0, space = 0;
        ASSERT_EQ(
            quorGetHHeaderInfo(c.size, c.kind, &capacity, &level, c.userArea, &header, &slHeader, &space),
            QUOR_RC_OK);
        EXPECT_EQ(capacity, c.wantCapacity) << c.size;
        EXPECT_EQ(level, c.wantLevel);
        EXPECT_EQ(header, c.wantHeader);
        EXPECT_EQ(slHeader, c.wantSlHeader);
        EXPECT_EQ(space, c.wantSpace) << c.size;
    }
    uint64_t n = 0, l = 7, a, b, s;
    EXPECT_EQ(quorGetHHeaderInfo(0x100000, 3, &n, &l, 0, &a, &b, &s), QUOR_RC_BAD_HEAP_MODE);
    uint64_t size = 0;
    EXPECT_EQ(quorGetHHeaderSize(13, &size), QUOR_RC_OK);
    EXPECT_EQ(size, 0x1F8u);
    EXPECT_EQ(quorGetSLHeaderSize(7, &size), QUOR_RC_OK);
    EXPECT_EQ(size, 720u);
    EXPECT_EQ(quorGetUserAppAreaSize(nullptr, 0, &size), QUOR_RC_OK);
    EXPECT_EQ(size, 0u);
}

// Level draws: uniform over 0..32767 (every bit set and clear, half of them
// promoting), and a forked child draws afresh rather than repeat its parent.
TEST(LevelDraws, SpreadOverTheRangeAndForkedChildrenDrawTheirOwn) {
    uint32_t ones = 0, zeros = 0, promoting = 0;
    constexpr int kDraws = 40000;
    for (int i = 0; i < kDraws; ++i) {
        const uint32_t draw = shm::drawRandom();
        ASSERT_LT(draw, shm::kRandRange);
        ones |= draw;
        zeros |= ~draw & (shm::kRandRange - 1);
        promoting += draw < shm::kPromoteLimit;
    }
    EXPECT_EQ(ones, shm::kRandRange - 1);
    EXPECT_EQ(zeros, shm::kRandRange - 1);
    EXPECT_NEAR(double(promoting) / kDraws, 0.5, 0.02);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    uint32_t draws[16];
    for (uint32_t &d : draws) d = shm::drawRandom();
    if (child == 0) {
        const bool written = write(fds[1], draws, sizeof draws) == ssize_t(sizeof draws);
        _exit(written ? 0 : 1);
    }
    uint32_t childDraws[16] = {};
    EXPECT_EQ(read(fds[0], childDraws, sizeof childDraws), ssize_t(sizeof childDraws));
    int status = 0;
    waitpid(child, &status, 0);
    close(fds[0]);
    close(fds[1]);
    EXPECT_NE(std::memcmp(draws, childDraws, sizeof draws), 0);
}

class Heap : public DomainFixture {};

TEST_F(Heap, FreshDomainIsOneFreeChunkAndHeaderFieldsSitWhereTheUserAreaPutsThem) {
    const char data[13] = "twelve bytes";
    ShmDomainOptions_t options{};
    options.heapOffset = 64;
    options.userAppAreaSize = 13;
    options.userAppData = data;
    makeDomain(0x100000, options);
    const ShmDomainInfo_t i = info();
    EXPECT_EQ(i.refCount, 1u);
    EXPECT_EQ(i.nodeCapacity, 350u);
    EXPECT_EQ(i.granule, 4096u);
    EXPECT_EQ(i.maxLevel, 7u);
    EXPECT_EQ(i.slSpaceSize, 64776u);
    EXPECT_EQ(i.allocCount, 0u);
    EXPECT_EQ(i.freeCount, 1u);
    const uint64_t S = 64 + 0x1F8;
    EXPECT_EQ(i.freeBytes, 0x100000u - 0x1F8 - 64776);
    uint64_t node = 0, size = 0;
    ASSERT_EQ(quorFindFreeBlockInSList(memory_, 1, 64, S + 64776, &node, &size), QUOR_RC_OK);
    EXPECT_EQ(size, i.freeBytes);
    // The fields behind a 13-byte user area start 16 bytes in, at H + 0x108.
    auto *tail = reinterpret_cast<HHeaderTail_t *>(memory_ + 64 + 0x108);
    EXPECT_EQ(tail->debugInfo.padType, QUOR_PAD_TYPE_EEBC011A);
    EXPECT_EQ(tail->debugInfo.debugFlags, 11u);
    EXPECT_EQ(tail->debugInfo.frontGuards, 2u);
    EXPECT_EQ(tail->debugLatch.eyecatcher, QUOR_EYECATCHER);
    char back[16] = {};
    EXPECT_EQ(quorGetDomainUserAppData(handle_, &size, back), QUOR_RC_OK);
    EXPECT_EQ(size, 13u);
    EXPECT_STREQ(back, "twelve bytes");
    EXPECT_EQ(quorSetDomainUserAppData(handle_, 12, data), QUOR_RC_BAD_USER_APP_AREA_SIZE);
    expectConsistent();
}

TEST_F(Heap, RequestIsCutFromTheHighEndWithPadsAndMergesBackWhole) {
    makeDomain(0x100000);
    const ShmDomainInfo_t fresh = info();
    Chunk c;
    ASSERT_EQ(allocate(4096, &c), QUOR_RC_OK);
    EXPECT_EQ(c.size, 4128u);
    EXPECT_EQ(c.chunk, 0x100000u - 4128);
    EXPECT_EQ(c.user, c.chunk + 16);
    ShmPadEnd_t front, back;
    std::memcpy(&front, memory_ + c.user - 16, 16);
    std::memcpy(&back, memory_ + c.chunk + 4128 - 16, 16);
    EXPECT_EQ(front.mark, QUOR_PAD_FRONT_MARK);
    EXPECT_EQ(front.padType, QUOR_PAD_TYPE_EEBC011A);
    EXPECT_EQ(back.mark, QUOR_PAD_BACK_MARK);
    EXPECT_EQ(back.nodeOffset, front.nodeOffset);
    EXPECT_EQ(info().allocBytes, 4128u);
    expectConsistent();

    ASSERT_EQ(release(c), QUOR_RC_OK);
    const ShmDomainInfo_t after = info();
    EXPECT_EQ(after.freeCount, 1u);
    EXPECT_EQ(after.freeBytes, fresh.freeBytes);
    EXPECT_EQ(after.allocCount, 0u);
    expectConsistent();
}

TEST_F(Heap, ArgumentsAreTestedInOrder) {
    makeDomain(0x100000);
    Chunk c;
    uint64_t size = 4096, chunk, user;
    EXPECT_EQ(quorGetMemChunkFromShmHeap(nullptr, 1, 0, 1, 0, 0, &size, &chunk, &user, 0, 0, ""),
              QUOR_RC_NOT_MAPPED);
    EXPECT_EQ(quorGetMemChunkFromShmHeap(memory_, 3, 0, 1, 0, 0, &size, &chunk, &user, 0, 0, ""),
              QUOR_RC_BAD_HEAP_MODE);
    EXPECT_EQ(quorGetMemChunkFromShmHeap(memory_, 2, 0, 1, 0, 0, &size, &chunk, &user, 0, 0, ""),
              QUOR_RC_BAD_POOL_EYECATCHER);
    EXPECT_EQ(quorGetMemChunkFromShmHeap(memory_, 1, 0, 1, 7, 0, &size, &chunk, &user, 0, 0, ""),
              QUOR_RC_DOMAIN_RESERVED_ARG);
    EXPECT_EQ(quorGetMemChunkFromShmHeap(memory_, 1, 0, 1, 0, 0, nullptr, &chunk, &user, 0, 0, ""),
              QUOR_RC_NULL_CHUNK_SIZE_REF);
    EXPECT_EQ(allocate(4095, &c), QUOR_RC_DOMAIN_CHUNK_TOO_SMALL);
    EXPECT_EQ(allocate(0x100001, &c), QUOR_RC_DOMAIN_CHUNK_TOO_LARGE);
    EXPECT_EQ(allocate(0x100000 - 4096, &c), QUOR_RC_DOMAIN_OUT_OF_SPACE);
    EXPECT_EQ(quorCreateShmDomain(nullptr, memory_, 4095, nullptr, &handle_),
              QUOR_RC_DOMAIN_GRANULE_OUT_OF_RANGE);
    ShmDomainOptions_t tiny{};
    tiny.mode = QUOR_SHM_MODE_USER_MEMORY;
    ShmDomainHandle_t *other = nullptr;
    EXPECT_EQ(quorCreateShmDomain(nullptr, memory_, 8192, &tiny, &other), QUOR_RC_SEGMENT_TOO_SMALL);
    EXPECT_EQ(other, nullptr);
    expectConsistent();
}

// The caller's bytes and header must fit in what is carved, wrap-around included;
// a refused request changes nothing.
TEST_F(Heap, RequestWhoseCallerBytesExceedTheCarveIsRefused) {
    makeDomain(0x100000);
    const ShmDomainInfo_t before = info();
    struct Case {
        uint64_t userSize, extraSize;
    } cases[] = {{4097, 0}, {4000, 97}, {8, UINT64_MAX - 4}, {UINT64_MAX, 0}};
    for (const Case &c : cases) {
        uint64_t size = 4096, chunk = 0, user = 0;
        EXPECT_EQ(quorGetMemChunkFromShmHeap(memory_, 1, 0, c.userSize, 0, c.extraSize, &size, &chunk, &user,
                                             0, 0, "heap_test.cpp"),
                  QUOR_RC_DOMAIN_CHUNK_TOO_LARGE)
            << c.userSize << " + " << c.extraSize;
    }
    EXPECT_EQ(info().allocCount, before.allocCount);
    EXPECT_EQ(info().freeBytes, before.freeBytes);
    expectConsistent();
}

// A header size that does not match the user area puts the skip-list header in
// the wrong place: refused as a full node space, and the heap is never sealed.
TEST_F(Heap, HeaderSizeThatMissesTheUserAreaIsRefusedUnsealed) {
    size_ = 0x10000;
    memory_ = static_cast<unsigned char *>(std::aligned_alloc(4096, size_));
    uint64_t n = 0, L = 0, hs, sls, space;
    ASSERT_EQ(quorGetHHeaderInfo(size_, 2, &n, &L, 16, &hs, &sls, &space), QUOR_RC_OK);
    for (uint64_t header : {hs + 8, hs - 8}) {
        EXPECT_EQ(quorCreateInitStorageHeap(memory_, 2, size_, 0, n, L, header, sls, space, 8, 16, nullptr,
                                            QUOR_EYECATCHER, QUOR_EYECATCHER, QUOR_EYECATCHER, 0, 0),
                  QUOR_RC_SLIST_SPACE_FULL)
            << header;
        EXPECT_EQ(reinterpret_cast<HHeader_t *>(memory_)->heapMagic, 0u);
    }
}

// Four chunks side by side; each return meets a different pair of neighbours.
TEST_F(Heap, ReturnCoalescesInAllFourNeighbourCases) {
    makeDomain(0x100000);
    Chunk x[4];
    for (Chunk &c : x) ASSERT_EQ(allocate(4096, &c), QUOR_RC_OK);  // x[0] highest, x[3] lowest
    const uint64_t freeCount = info().freeCount;
    ASSERT_EQ(release(x[1]), QUOR_RC_OK);  // both neighbours allocated
    EXPECT_EQ(info().freeCount, freeCount + 1);
    ASSERT_EQ(release(x[2]), QUOR_RC_OK);  // only the higher neighbour free
    EXPECT_EQ(info().freeCount, freeCount + 1);
    uint64_t node, size;
    ASSERT_EQ(quorFindFreeBlockInSList(memory_, 1, 0, x[2].chunk, &node, &size), QUOR_RC_OK);
    EXPECT_EQ(size, 2 * 4128u);
    ASSERT_EQ(release(x[0]), QUOR_RC_OK);  // only the lower neighbour free
    EXPECT_EQ(info().freeCount, freeCount + 1);
    ASSERT_EQ(release(x[3]), QUOR_RC_OK);  // both neighbours free
    EXPECT_EQ(info().freeCount, 1u);
    expectConsistent();
}

TEST_F(Heap, OfEqualFreeChunksTheLaterReturnedIsFoundFirst) {
    makeDomain(0x100000);
    Chunk x[5];
    for (Chunk &c : x) ASSERT_EQ(allocate(8192, &c), QUOR_RC_OK);
    ASSERT_EQ(release(x[1]), QUOR_RC_OK);
    ASSERT_EQ(release(x[3]), QUOR_RC_OK);
    Chunk again;
    ASSERT_EQ(allocate(8192, &again), QUOR_RC_OK);
    EXPECT_EQ(again.chunk, x[3].chunk);
    ASSERT_EQ(allocate(8192, &again), QUOR_RC_OK);
    EXPECT_EQ(again.chunk, x[1].chunk);
    expectConsistent();
}

// A return between two allocated chunks places a free node, and taking the chunk
// again at once drops it: the last node placed gives its bytes back to the space
// above the high-water mark. The new chunk's node takes the bytes and the level
// of the node the return retired, so the pair then costs no node space at all.
TEST_F(Heap, AChunkTakenAgainAtOnceLeavesOnlyItsNewNodeInTheSpace) {
    makeDomain(0x100000);
    auto nodeOf = [&](const Chunk &c) {
        uint64_t node = 0;
        std::memcpy(&node, memory_ + c.user - 16, 8);
        return node;
    };
    Chunk x[2], cap;
    for (Chunk &c : x) ASSERT_EQ(allocate(4096, &c), QUOR_RC_OK);
    int reused = 0;
    for (int round = 0; round < 16; ++round) {
        ASSERT_EQ(allocate(4096, &cap), QUOR_RC_OK);
        const uint64_t high = heap().sl->slHighWater, used = heap().sl->slUsedBytes;
        const uint64_t retired = nodeOf(x[1]), retiredLevel = heap().allocNode(retired)->level,
                       retiredSize = shm::allocNodeSize(retiredLevel);
        const bool last = retired + retiredSize == heap().S + high;
        ASSERT_EQ(release(x[1]), QUOR_RC_OK);
        if (!last) {
            EXPECT_GT(heap().sl->slHighWater, high);
        }
        ASSERT_EQ(allocate(4096, &x[1]), QUOR_RC_OK);
        const uint64_t node = nodeOf(x[1]), size = shm::allocNodeSize(heap().allocNode(node)->level);
        EXPECT_EQ(heap().sl->slUsedBytes, used - retiredSize + size);
        // Nodes above level 6 (one in 128) are not kept.
        if (last) {
            EXPECT_EQ(heap().sl->slHighWater, high - retiredSize + size);
        } else if (retiredLevel <= 6) {
            ++reused;
            EXPECT_EQ(node, retired);
            EXPECT_EQ(size, retiredSize);
            EXPECT_EQ(heap().sl->slHighWater, high);
        } else {
            EXPECT_EQ(heap().sl->slHighWater, high + size);
        }
        expectConsistent();
    }
    EXPECT_GT(reused, 0);
}

// A rebuild lays live nodes over the bytes of retired ones: the node a return
// retired just before it must not be taken again by the next allocation.
TEST_F(Heap, ARetiredNodeIsNotTakenAgainOnceTheSpaceIsRebuilt) {
    makeDomain(0x100000);
    std::vector<Chunk> chunks(40);
    for (Chunk &c : chunks) ASSERT_EQ(allocate(4096, &c), QUOR_RC_OK);
    for (int round = 0; round < 8; ++round) {
        for (size_t i = round % 2; i < chunks.size(); i += 2) ASSERT_EQ(release(chunks[i]), QUOR_RC_OK);
        ASSERT_EQ(quorDefragmentSLInPlace(memory_, 1, 0), QUOR_RC_OK);
        for (size_t i = round % 2; i < chunks.size(); i += 2)
            ASSERT_EQ(allocate(4096, &chunks[i]), QUOR_RC_OK);
        expectConsistent();  // no node overlaps another
    }
}

TEST_F(Heap, AChunkReturnedTwiceIsReportedAndChangesNothing) {
    makeDomain(0x100000);
    Chunk a, b;
    ASSERT_EQ(allocate(4096, &a), QUOR_RC_OK);
    ASSERT_EQ(allocate(4096, &b), QUOR_RC_OK);
    ASSERT_EQ(release(a), QUOR_RC_OK);
    const ShmDomainInfo_t before = info();
    const std::vector<unsigned char> image(memory_, memory_ + size_);
    AssertCapture reports;
    EXPECT_NE(release(a), QUOR_RC_OK);
    ASSERT_EQ(AssertCapture::messages().size(), 1u);
    EXPECT_EQ(AssertCapture::messages()[0], "Freeing freed memory found at:");
    EXPECT_EQ(std::memcmp(image.data(), memory_, size_), 0);
    EXPECT_EQ(info().freeBytes, before.freeBytes);
    expectConsistent();
}

TEST_F(Heap, PadTypeLocksAfterTheFirstAllocation) {
    makeDomain(0x100000);
    EXPECT_EQ(quorSetShmDebug(memory_, 1, 0, 11, 0, 2, 2), QUOR_RC_OK);
    EXPECT_EQ(quorSetShmDebug(memory_, 1, 0, 11, QUOR_PAD_TYPE_EEBC011A, 2, 2), QUOR_RC_OK);
    EXPECT_EQ(quorSetShmDebug(memory_, 1, 0, 11, QUOR_PAD_TYPE_EEBC011A, 0, 2),
              QUOR_RC_BAD_FRONT_GUARD_COUNT);
    EXPECT_EQ(quorSetShmDebug(memory_, 1, 0, 11, QUOR_PAD_TYPE_EEBC011A, 2, 9), QUOR_RC_BAD_BACK_GUARD_COUNT);
    Chunk c;
    ASSERT_EQ(allocate(4096, &c), QUOR_RC_OK);
    EXPECT_EQ(quorSetShmDebug(memory_, 1, 0, 11, 0, 2, 2), QUOR_RC_PAD_TYPE_LOCKED);
    EXPECT_EQ(quorSetShmDebug(memory_, 1, 0, 11, QUOR_PAD_TYPE_A110CBEE, 2, 2), QUOR_RC_OK);
    Chunk guarded;
    ASSERT_EQ(allocate(4096, &guarded), QUOR_RC_OK);
    EXPECT_EQ(guarded.size, 4096u + 48 + 32);
    EXPECT_EQ(guarded.user - guarded.chunk, 8u * 2 + 32);
    EXPECT_EQ(quorSetShmDebug(memory_, 1, 0, 11, 0x1234, 2, 2), QUOR_RC_OK);
    Chunk refused;
    EXPECT_EQ(allocate(4096, &refused), QUOR_RC_BAD_PAD_TYPE);
    ASSERT_EQ(release(guarded), QUOR_RC_OK);  // pads carry their own type
    ASSERT_EQ(release(c), QUOR_RC_OK);
    expectConsistent();
}

// Allocations read the settings while another thread keeps changing them: every
// chunk gets whole guard counts (a front count from one setting and a back count
// from another would be reported as damage when it is returned).
TEST_F(Heap, SettingsChangedDuringAllocationsNeverTearTheGuardCounts) {
    makeDomain(4 << 20);
    ASSERT_EQ(quorSetShmDebug(memory_, 1, 0, 0, QUOR_PAD_TYPE_A110CBEE, 1, 1), QUOR_RC_OK);
    Chunk first;
    ASSERT_EQ(allocate(4096, &first), QUOR_RC_OK);  // from here on the settings are read without their latch
    AssertCapture reports;
    std::atomic<bool> done{false};
    std::thread changer([&] {
        for (uint32_t i = 0; !done.load(); ++i) {
            const uint32_t guards = i % 2 == 0 ? 3 : 1;
            quorSetShmDebug(memory_, 1, 0, 0, i % 4 < 2 ? QUOR_PAD_TYPE_78EC011A : QUOR_PAD_TYPE_A110CBEE,
                            guards, guards);
        }
    });
    std::vector<Chunk> live(64);
    for (Chunk &c : live) ASSERT_EQ(allocate(4096, &c), QUOR_RC_OK);
    for (int step = 0; step < 20000; ++step) {
        Chunk &c = live[step % live.size()];
        ASSERT_EQ(release(c), QUOR_RC_OK);
        ASSERT_EQ(allocate(4096 + step % 64, &c), QUOR_RC_OK);
    }
    done = true;
    changer.join();
    for (const Chunk &c : live) ASSERT_EQ(release(c), QUOR_RC_OK);
    ASSERT_EQ(release(first), QUOR_RC_OK);
    EXPECT_TRUE(AssertCapture::messages().empty()) << AssertCapture::messages().front();
    expectConsistent();
}

// Each corruption of a fully padded chunk gives its own report at the next return.
TEST_F(Heap, ChunkCheckReportsEachKindOfPadDamage) {
    struct Case {
        const char *what;
        int64_t fromUser;  // byte to damage, from the caller's bytes (negative: front pad)
        bool fromEnd;      // counted back from the chunk end instead
        std::vector<std::string> reports;
    };
    const uint64_t f = 2;
    const Case cases[] = {
        {"front guard", -int64_t(8 * f + 64), false, {"Front pad corruption found at:"}},
        {"front mark", -8, false, {"Front memory pad corruption found at:"}},
        {"front checksum",
         -24,
         false,
         {"Front memory pad checksum corruption found at:", "Back memory pad checksum corruption found at:"}},
        {"slack", 4097 + 3, false, {"Back memory pad aligned size corruption found at"}},
        {"back guard", 8 * 2 + 24, true, {"back pad corruption found at:"}},
        {"back mark", 8, true, {"Back memory pad corruption found at:"}},
        {"back node offset", 16, true, {"Memory pad node offset corruption found at:"}},
    };
    makeDomain(0x100000);
    ASSERT_EQ(quorSetShmDebug(memory_, 1, 0, 11, QUOR_PAD_TYPE_78EC011A, 2, 2), QUOR_RC_OK);
    for (const Case &c : cases) {
        Chunk chunk;
        // The caller's bytes hold an empty pool header: 488 bytes of it count as
        // the chunk's extra bytes, so 7 bytes of slack are checked.
        ASSERT_EQ(allocate(4097, &chunk, QUOR_HEAP_KIND_DOMAIN, 4104 + 0x1E8), QUOR_RC_OK);
        std::memset(memory_ + chunk.user, 0, 4097);
        char file[24] = {};
        ASSERT_EQ(_quorCheckAllocShmChunk(memory_, 1, 0, chunk.user, file, 0, 1, "t"), QUOR_RC_OK);
        EXPECT_STREQ(file, "heap_test.cpp");
        const uint64_t at = c.fromEnd ? chunk.chunk + chunk.size - c.fromUser : chunk.user + c.fromUser;
        unpoisonBytes(memory_ + at, 1);
        memory_[at] ^= 0x5a;
        AssertCapture reports;
        EXPECT_EQ(release(chunk), QUOR_RC_OK) << c.what;
        EXPECT_EQ(AssertCapture::messages(), c.reports) << c.what;
    }
    Chunk odd;
    ASSERT_EQ(quorSetShmDebug(memory_, 1, 0, 11, QUOR_PAD_TYPE_A110CBEE, 2, 3), QUOR_RC_OK);
    ASSERT_EQ(allocate(4096, &odd), QUOR_RC_OK);
    {
        AssertCapture reports;
        EXPECT_EQ(_quorCheckAllocShmChunk(memory_, 1, 0, odd.user, nullptr, 0, 1, "t"), QUOR_RC_OK);
        EXPECT_EQ(AssertCapture::messages(),
                  std::vector<std::string>{
                      "Allocation size does not match between front and back pad structures found at:"});
        const uint32_t bad = 0x1234;
        std::memcpy(memory_ + odd.user - 4, &bad, 4);
        AssertCapture::messages().clear();
        EXPECT_EQ(_quorCheckAllocShmChunk(memory_, 1, 0, odd.user, nullptr, 0, 1, "t"), QUOR_RC_OK);
        EXPECT_EQ(AssertCapture::messages(), std::vector<std::string>{"Invalid pad type (0x1234) found at:"});
    }
    EXPECT_EQ(_quorCheckAllocShmChunk(memory_, 1, 0, 8, nullptr, 0, 1, "t"),
              QUOR_RC_DOMAIN_ALLOC_CHUNK_NOT_FOUND);
}

TEST_F(Heap, UnfreedChunksAreListedLineByLine) {
    makeDomain(0x100000);
    testing::internal::CaptureStdout();
    EXPECT_EQ(_quorShmAllocSList(memory_, 1, 0, 0, 1, "t"), QUOR_RC_OK);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    Chunk plain, named;
    ASSERT_EQ(allocate(4096, &plain), QUOR_RC_OK);
    ASSERT_EQ(quorSetShmDebug(memory_, 1, 0, 11, QUOR_PAD_TYPE_A110CE87, 1, 1), QUOR_RC_OK);
    ASSERT_EQ(allocate(5000, &named), QUOR_RC_OK);
    testing::internal::CaptureStdout();
    EXPECT_EQ(_quorShmAllocSList(memory_, 1, 0, 0, 1, "t"), QUOR_RC_OK);
    char expected[512];
    std::snprintf(expected, sizeof expected,
                  "\r\nList of unfreed shared memory pools:\r\n%s\r\n"
                  "Address: %p, Size: 1388, Location: heap_test.cpp:quorReturnConcurrencyModel:42\r\n"
                  "Address: %p, Size: 1000, Location: quorReturnConcurrencyModel:42\r\n",
                  std::string(36, '~').c_str(), static_cast<void *>(memory_ + named.user),
                  static_cast<void *>(memory_ + plain.user));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
}

TEST_F(Heap, RebuildRepointsPadsAndTheSpaceGrowsAndShrinksAgainstTheChunkArea) {
    makeDomain(0x100000);
    std::vector<Chunk> chunks(40);
    for (Chunk &c : chunks) ASSERT_EQ(allocate(4096, &c), QUOR_RC_OK);
    for (size_t i = 0; i < chunks.size(); i += 2) ASSERT_EQ(release(chunks[i]), QUOR_RC_OK);
    const uint64_t highBefore = heap().sl->slHighWater;
    ASSERT_EQ(quorDefragmentSLInPlace(memory_, 1, 0), QUOR_RC_OK);
    EXPECT_LT(heap().sl->slHighWater, highBefore);
    EXPECT_EQ(heap().sl->slHighWater, heap().sl->slUsedBytes);
    expectConsistent();  // checks each pad names its node

    // Grow by P: the free chunk behind the space gives up the bytes.
    shm::HeapView h = heap();
    const uint64_t space = h.sl->slSpaceSize, boundary = h.spaceEnd;
    uint64_t node, freeSize;
    ASSERT_EQ(quorFindFreeBlockInSList(memory_, 1, 0, boundary, &node, &freeSize), QUOR_RC_OK);
    uint64_t pendingOffset = 0, pendingSize = 0;
    ASSERT_EQ(
        quorChangeSlistSpace(memory_, 1, 0, space + 4096, QUOR_SL_SPACE_GROW, &pendingOffset, &pendingSize),
        QUOR_RC_OK);
    ASSERT_EQ(quorFindFreeBlockInSList(memory_, 1, 0, boundary + 4096, &node, &freeSize), QUOR_RC_OK);
    EXPECT_EQ(heap().sl->defragCount, 0u);
    expectConsistent();
    ASSERT_EQ(quorChangeSlistSpace(memory_, 1, 0, space, QUOR_SL_SPACE_SHRINK, &pendingOffset, &pendingSize),
              QUOR_RC_OK);
    EXPECT_EQ(heap().sl->slSpaceSize, space);
    expectConsistent();
    EXPECT_EQ(quorChangeSlistSpace(memory_, 1, 0, space, 3, &pendingOffset, &pendingSize),
              QUOR_RC_BAD_SPACE_DIRECTION);

    // With an allocated chunk at the boundary, the bytes a shrink gives up become a
    // free chunk of their own; a shrink never goes below what the nodes need.
    for (Chunk low;;) {
        ASSERT_EQ(quorFindFreeBlockInSList(memory_, 1, 0, heap().spaceEnd, &node, &freeSize), QUOR_RC_OK);
        if (freeSize < 2 * 4128) {
            ASSERT_EQ(allocate(4096, &low, QUOR_HEAP_KIND_DOMAIN, freeSize - 32), QUOR_RC_OK);
            break;
        }
        ASSERT_EQ(allocate(4096, &low), QUOR_RC_OK);
    }
    ASSERT_NE(quorFindFreeBlockInSList(memory_, 1, 0, heap().spaceEnd, &node, &freeSize), QUOR_RC_OK);
    ASSERT_EQ(
        quorChangeSlistSpace(memory_, 1, 0, space - 8192, QUOR_SL_SPACE_SHRINK, &pendingOffset, &pendingSize),
        QUOR_RC_OK);
    expectConsistent();
    // With the chunk behind the space allocated, growth falls back to a rebuild
    // while one fits the rebuild allowance, and fails once rebuilds have run out.
    EXPECT_EQ(
        quorChangeSlistSpace(memory_, 1, 0, space + 80000, QUOR_SL_SPACE_GROW, &pendingOffset, &pendingSize),
        QUOR_RC_OK);
    // The bytes the shrink gave up lie free behind the space: smaller than the
    // growth, they are taken whole.
    ASSERT_EQ(quorFindFreeBlockInSList(memory_, 1, 0, heap().spaceEnd, &node, &freeSize), QUOR_RC_OK);
    const uint64_t before = heap().sl->slSpaceSize;
    heap().sl->defragCount = 4;
    EXPECT_EQ(
        quorChangeSlistSpace(memory_, 1, 0, before + 80000, QUOR_SL_SPACE_GROW, &pendingOffset, &pendingSize),
        QUOR_RC_OK);
    EXPECT_EQ(heap().sl->slSpaceSize, before + freeSize);
    expectConsistent();
    heap().sl->defragCount = 4;
    EXPECT_EQ(
        quorChangeSlistSpace(memory_, 1, 0, before + 80000, QUOR_SL_SPACE_GROW, &pendingOffset, &pendingSize),
        QUOR_RC_SLIST_SPACE_NOT_CHANGED);
    ASSERT_EQ(quorChangeSlistSpace(memory_, 1, 0, 1024, QUOR_SL_SPACE_SHRINK, &pendingOffset, &pendingSize),
              QUOR_RC_OK);
    EXPECT_GE(heap().room(), shm::placementReserve(7));
    expectConsistent();
}

// A corrupt segment gives codes, never a crash or a write outside the heap.
TEST_F(Heap, CorruptHeadersAndLinksGiveCodes) {
    makeDomain(0x100000);
    Chunk a, b;
    ASSERT_EQ(allocate(4096, &a), QUOR_RC_OK);
    ASSERT_EQ(allocate(4096, &b), QUOR_RC_OK);
    shm::HeapView h = heap();
    const std::vector<unsigned char> image(memory_, memory_ + size_);
    struct Damage {
        const char *what;
        uint64_t *word;
        uint64_t value;
    };
    SLFreeNode_t *first = h.freeNode(shm::HeapView::freeLinks(h.freeNode(h.freeHead), shm::kForwardO)[0]);
    const Damage damages[] = {
        {"heap size", &h.header->heapSize, UINT64_MAX - 5},
        {"space size", &h.sl->slSpaceSize, 0x7fffffff8},
        {"max level", &h.sl->maxLevel, 90},
        {"allocated link", &shm::HeapView::allocLinks(h.allocNode(h.allocHead))[0], 0x100000 * 4},
        {"free link", &shm::HeapView::freeLinks(first, shm::kForwardO)[0], 12345},
        {"free size link", &shm::HeapView::freeLinks(h.freeNode(h.freeHead), shm::kForwardS)[0], 0},
        {"node level", &first->level, 1000},
    };
    for (const Damage &d : damages) {
        std::memcpy(memory_, image.data(), size_);
        *d.word = d.value;
        Chunk c;
        shm::HeapCheck check;
        EXPECT_EQ(shm::checkHeap(memory_, 1, 0, &check), QUOR_RC_HEAP_CORRUPT) << d.what;
        EXPECT_FALSE(check.problem.empty());
        // An operation that walks the damaged part reports it; none goes astray.
        const uint32_t allocated = allocate(4096, &c), returned = release(b);
        EXPECT_TRUE(allocated != QUOR_RC_OK || returned != QUOR_RC_OK) << d.what;
    }
    std::memcpy(memory_, image.data(), size_);
    // A front pad that names a node outside the space stops the check with a code.
    const uint64_t wild = 0x100000 * 8;
    unpoisonBytes(memory_ + a.user - 16, 8);
    std::memcpy(memory_ + a.user - 16, &wild, 8);
    EXPECT_EQ(release(a), QUOR_RC_DOMAIN_ALLOC_CHUNK_NOT_FOUND);
    // A node recording a chunk that starts below the chunk area (ending where its
    // own does) or runs past the heap's end: the check stops with a code before
    // it reads a pad there, and the back pad is not taken to lead to the node.
    const uint64_t end = a.chunk + a.size, below = h.spaceEnd - 64;
    const struct {
        const char *what;
        uint64_t chunkOffset, chunkSize;
    } moves[] = {{"below the chunk area", below, end - below},
                 {"past the heap's end", a.chunk, h.end - a.chunk + 16}};
    for (const auto &m : moves) {
        std::memcpy(memory_, image.data(), size_);
        uint64_t nodeOffset = 0;
        std::memcpy(&nodeOffset, memory_ + a.user - 16, 8);
        SLAllocNode_t *node = h.allocNode(nodeOffset);
        ASSERT_NE(node, nullptr);
        node->chunkOffset = m.chunkOffset;
        node->chunkSize = m.chunkSize;
        EXPECT_EQ(shm::nodeOfChunkEndingAt(h, end), nullptr) << m.what;
        AssertCapture reports;
        EXPECT_EQ(release(a), QUOR_RC_DOMAIN_ALLOC_CHUNK_NOT_FOUND) << m.what;
        EXPECT_TRUE(AssertCapture::messages().empty()) << m.what;
    }
    std::memcpy(memory_, image.data(), size_);
    expectConsistent();
}

// Hundreds of thousands of mixed requests in a small heap force rebuilds and
// changes of the node space; the heap must stay consistent and end as one chunk.
struct RandomRun {
    uint32_t kind;
    uint64_t heapSize, minSize, maxSize, nodeCapacity, target;
    int steps;
};

class HeapRandom : public DomainFixture, public ::testing::WithParamInterface<RandomRun> {};

TEST_P(HeapRandom, LongMixedRunStaysConsistent) {
    const RandomRun run = GetParam();
    shm::setChunkPoisoning(true);
    if (run.kind == QUOR_HEAP_KIND_DOMAIN) {
        ShmDomainOptions_t options{};
        options.nodeCapacity = run.nodeCapacity;
        makeDomain(run.heapSize, options);
    } else {
        memory_ = static_cast<unsigned char *>(std::aligned_alloc(4096, run.heapSize));
        size_ = run.heapSize;
        uint64_t n = run.nodeCapacity, L = 0, hs, sls, space;
        ASSERT_EQ(quorGetHHeaderInfo(run.heapSize, 2, &n, &L, 0, &hs, &sls, &space), QUOR_RC_OK);
        ASSERT_EQ(quorCreateInitStorageHeap(memory_, 2, run.heapSize, 0, n, L, hs, sls, space, 8, 0, nullptr,
                                            QUOR_EYECATCHER, QUOR_EYECATCHER, QUOR_EYECATCHER, 0, 0),
                  QUOR_RC_OK);
    }
    std::mt19937_64 random(12345);
    std::vector<Chunk> live;
    uint64_t refused = 0, spaceChanges = 0, lastSpace = heap(run.kind).sl->slSpaceSize, lastDefrag = 0,
             rebuilds = 0;
    for (int step = 0; step < run.steps; ++step) {
        // The live count swings between a few and many chunks, so the node space
        // must grow and may shrink again.
        const uint64_t target = run.target * (1 + (step / 20000) % 4) / 4;
        const bool grow = live.empty() || random() % 100 < (live.size() < target ? 70 : 30);
        if (grow) {
            Chunk c;
            const uint64_t size = run.minSize + random() % (run.maxSize - run.minSize + 1);
            const uint32_t rc = allocate(size, &c, run.kind);
            if (rc == QUOR_RC_OK) {
                std::memset(memory_ + c.user, 0x11, size);
                live.push_back(c);
            } else {
                // A full heap: no fit, or a node space that cannot grow into the
                // chunk area any more.
                ASSERT_TRUE(rc == QUOR_RC_DOMAIN_NO_FIT || rc == QUOR_RC_POOL_NO_FIT ||
                            rc == QUOR_RC_DOMAIN_OUT_OF_SPACE || rc == QUOR_RC_POOL_OUT_OF_SPACE ||
                            rc == QUOR_RC_SLIST_SPACE_FULL || rc == QUOR_RC_SLIST_SPACE_NOT_CHANGED)
                    << std::hex << rc;
                ++refused;
            }
        } else {
            const size_t victim = random() % live.size();
            const uint32_t rc = release(live[victim], run.kind);
            if (rc == QUOR_RC_OK) {
                live[victim] = live.back();
                live.pop_back();
            } else {
                // Node space full of live nodes that cannot grow: the chunk stays.
                ASSERT_TRUE(rc == QUOR_RC_SLIST_SPACE_FULL || rc == QUOR_RC_SLIST_SPACE_NOT_CHANGED)
                    << std::hex << rc;
                ++refused;
            }
        }
        shm::HeapView h = heap(run.kind);
        if (h.sl->slSpaceSize != lastSpace) ++spaceChanges, lastSpace = h.sl->slSpaceSize;
        if (h.sl->defragCount > lastDefrag) ++rebuilds;
        lastDefrag = h.sl->defragCount;
        if (step % 4000 == 0) {
            shm::HeapCheck check;
            ASSERT_EQ(shm::checkHeap(memory_, run.kind, 0, &check), QUOR_RC_OK)
                << check.problem << " at " << step;
        }
    }
    for (int pass = 0; pass < 4 && !live.empty(); ++pass) {
        std::vector<Chunk> kept;
        for (const Chunk &c : live) {
            if (release(c, run.kind) != QUOR_RC_OK) kept.push_back(c);
        }
        live.swap(kept);
    }
    EXPECT_TRUE(live.empty());
    expectConsistent(run.kind);
    EXPECT_EQ(heap(run.kind).sl->freeCount, 1u);
    EXPECT_GT(rebuilds, 0u);
    EXPECT_GT(spaceChanges, 1u);
    EXPECT_LT(refused, uint64_t(run.steps) / 4);
    shm::setChunkPoisoning(false);
    unpoisonBytes(memory_, size_);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, HeapRandom,
    ::testing::Values(RandomRun{QUOR_HEAP_KIND_DOMAIN, 8 << 20, 4096, 40000, 60, 280, 200000},
                      RandomRun{QUOR_HEAP_KIND_POOL, 1 << 20, 1, 900, 60, 1600, 200000}),
    [](const auto &info) { return info.param.kind == QUOR_HEAP_KIND_DOMAIN ? "Domain" : "Pool"; });

}  // namespace

namespace {

using quor::test::DomainFixture;
using namespace quor;

class PadLocate : public DomainFixture {};
class HeapRandomPads : public DomainFixture {};

// Returns and allocations take their place in the allocated list from the back
// pads of the chunks right below when those lead there. Stale pads must never
// be taken for live ones: the bytes of returned chunks keep their old pads, a
// chunk with a front pad only ends in its caller's bytes, and here those bytes
// end in forged back pads naming returned (retired) and live nodes alike, while
// the pad type changes under a long churn.
TEST_F(HeapRandomPads, StalePadsNeverStandForLiveChunks) {
    makeDomain(8 << 20);
    std::mt19937_64 random(777);
    const uint32_t types[] = {QUOR_PAD_TYPE_EEBC011A, QUOR_PAD_TYPE_C0DE1D1E, QUOR_PAD_TYPE_A110CBAD,
                              QUOR_PAD_TYPE_C0DE1D1E, QUOR_PAD_TYPE_78EC011A};
    struct Live {
        Chunk c;
        uint64_t userSize;
    };
    std::vector<Live> live;
    std::vector<uint64_t> retired;  // nodes of returned chunks
    auto nodeOf = [&](const Chunk &c) {
        uint64_t node = 0;
        std::memcpy(&node, memory_ + c.user - 16, 8);
        return node;
    };
    for (int step = 0; step < 40000; ++step) {
        if (step % 700 == 0) {
            const uint32_t type = types[(step / 700) % 5];
            ASSERT_EQ(quorSetShmDebug(memory_, 1, 0, 0, type, 1 + step % 3, 2), QUOR_RC_OK);
        }
        if (live.size() < 300 || (live.size() < 900 && random() % 2 == 0)) {
            Live l;
            l.userSize = 4096 + random() % 2048;
            ASSERT_EQ(allocate(l.userSize, &l.c), QUOR_RC_OK) << step;
            // Caller bytes ending in back pads that name other nodes.
            ShmPadEnd_t forged{0, QUOR_PAD_BACK_MARK, QUOR_PAD_TYPE_EEBC011A};
            if (!retired.empty() && random() % 2 == 0) {
                forged.nodeOffset = retired[random() % retired.size()];
            } else if (!live.empty()) {
                forged.nodeOffset = nodeOf(live[random() % live.size()].c);
            }
            for (uint64_t at = 0; at + sizeof forged <= l.userSize; at += sizeof forged)
                std::memcpy(memory_ + l.c.user + l.userSize - sizeof forged - at, &forged, sizeof forged);
            live.push_back(l);
        } else {
            const size_t victim = random() % live.size();
            retired.push_back(nodeOf(live[victim].c));
            ASSERT_EQ(release(live[victim].c), QUOR_RC_OK) << step;
            live[victim] = live.back();
            live.pop_back();
        }
        if (step % 2000 == 0) expectConsistent();
    }
    expectConsistent();
    for (const Live &l : live) ASSERT_EQ(release(l.c), QUOR_RC_OK);
    expectConsistent();
    EXPECT_EQ(heap().sl->freeCount, 1u);
    EXPECT_EQ(heap().sl->allocCount, 0u);
}

// The chunk of a user offset is found from its front pad for every pad type.
TEST_F(PadLocate, ChunkOffsetFromEveryPadTypeAndRefusals) {
    makeDomain(0x100000);
    for (uint32_t type :
         {QUOR_PAD_TYPE_C0DE1D1E, QUOR_PAD_TYPE_EEBC011A, QUOR_PAD_TYPE_DABC011A, QUOR_PAD_TYPE_A110CBEE,
          QUOR_PAD_TYPE_A110CE87, QUOR_PAD_TYPE_A110CBAD, QUOR_PAD_TYPE_78EC011A, QUOR_PAD_TYPE_NONE}) {
        if (type == QUOR_PAD_TYPE_NONE) heap().tail->debugInfo.inUse = 0;  // only a fresh heap may switch
        ASSERT_EQ(quorSetShmDebug(memory_, 1, 0, 11, type, 3, 2), QUOR_RC_OK) << std::hex << type;
        Chunk c;
        ASSERT_EQ(allocate(4096, &c), QUOR_RC_OK);
        uint64_t found = 0;
        EXPECT_EQ(shm::chunkOffsetFromPad(heap(), 0, c.user, &found), QUOR_RC_OK) << std::hex << type;
        EXPECT_EQ(found, c.chunk) << std::hex << type;
        expectConsistent();
        ASSERT_EQ(release(c), QUOR_RC_OK);
        EXPECT_EQ(shm::chunkOffsetFromPad(heap(), 0, c.user, &found), QUOR_RC_BAD_PAD_TYPE);
    }
    Chunk c;
    heap().tail->debugInfo.inUse = 0;
    ASSERT_EQ(quorSetShmDebug(memory_, 1, 0, 11, QUOR_PAD_TYPE_A110CBEE, 2, 2), QUOR_RC_OK);
    ASSERT_EQ(allocate(4096, &c), QUOR_RC_OK);
    const uint32_t nine = 9;
    std::memcpy(memory_ + c.user - 24, &nine, 4);
    uint64_t found = 0;
    EXPECT_EQ(shm::chunkOffsetFromPad(heap(), 0, c.user, &found), QUOR_RC_BAD_FRONT_GUARD_COUNT);
    EXPECT_EQ(shm::chunkOffsetFromPad(heap(), c.user - 8, c.user, &found), QUOR_RC_BAD_PAD_TYPE);
}

}  // namespace
