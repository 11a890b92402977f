// The skip-list dump of a small pool heap, line by line at two verbosities.
//
// A pool with one level makes the lists deterministic: every node has level 0 and
// nodes are placed one after another in the node space, so every offset below
// follows from the layout.
#include <sstream>

#include "pool_fixture.h"

namespace quor::test {
namespace {

class DumpTest : public PoolFixture {
protected:
    void SetUp() override {
        PoolFixture::SetUp();
        ShmPoolOptions_t options{};
        options.maxLevel = 1;
        pool = makePool(&options);
        // Two 8-byte blocks carved from the top, the upper one freed again: one
        // allocated chunk and two free ones.
        void *upper = nullptr, *lower = nullptr;
        ASSERT_EQ(_quorAllocateShmBlock(&upper, pool, 8, 0, kCaller, 1, kFile), 0u);
        ASSERT_EQ(_quorAllocateShmBlock(&lower, pool, 8, 0, kCaller, 1, kFile), 0u);
        ASSERT_EQ(_quorFreeShmBlock(&upper, pool, kCaller, 1, kFile), 0u);
    }

    std::string dump(uint32_t kind, uint32_t verbosity) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(quorPrintOutSkipLists(pool, kind, verbosity), 0u);
        return testing::internal::GetCapturedStdout();
    }

    ShmPoolHandle_t *pool = nullptr;
};

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

void expectLines(const std::string &got, const std::string &want) {
    const std::vector<std::string> g = lines(got), w = lines(want);
    for (size_t i = 0; i < std::max(g.size(), w.size()); ++i)
        EXPECT_EQ(i < g.size() ? g[i] : "<missing>", i < w.size() ? w[i] : "<extra>") << "line " << i + 1;
}

TEST_F(DumpTest, PoolHeapAtTwoVerbosities) {
    const ShmPoolInfo_t got = info(pool);
    const uint64_t s = pool->poolHeapOffset + QUOR_HHEADER_SIZE(0);  // skip-list header
    const uint64_t chunks = s + got.slSpaceSize, end = pool->poolHeapOffset + got.heapSize;
    const uint64_t head = s + 128, tail = s + 208;  // sentinels for one level
    // Node placements: the first free node at 288 stays put (a cut resizes it in
    // place); then 56 per allocated node and 80 per new free node, in the order
    // the carving and freeing made them: the upper block's node at 368 (gone with
    // its free), the lower block's at 424, the upper free chunk's at 480.
    const uint64_t lowFree = s + 288, allocated = s + 424, upperFree = s + 480;
    auto n = [](uint64_t v) { return std::to_string(v); };
    const std::string lowEntry = "  Free block #1 has offset = " + n(chunks) +
                                 ", max level = 0, size = " + n(end - 80 - chunks) + "\r\n";
    const std::string upperEntry = "has offset = " + n(end - 40) + ", max level = 0, size = 40\r\n";

    expectLines(dump(QUOR_HEAP_KIND_POOL, 1),
                "\r\n"
                "       SKIP LIST CONSISTING OF 1 ALLOCATED BLOCKS ORDERED BY OFFSETS\r\n"
                "  Allocated block #1 has offset = " +
                    n(end - 64) +
                    ", max level = 0, size = 8\r\n"
                    "       SKIP LIST CONSISTING OF 2 FREE BLOCKS ORDERED BY OFFSETS\r\n" +
                    lowEntry + "  Free block #2 " + upperEntry +
                    "       SKIP LIST CONSISTING OF 2 FREE BLOCKS ORDERED BY SIZES\r\n"
                    "  Free block #1 " +
                    upperEntry + "  Free block #2 has offset = " + n(chunks) +
                    ", max level = 0, size = " + n(end - 80 - chunks) + "\r\n");

    auto freeLinks = [&](uint64_t fo, uint64_t bo, uint64_t fs, uint64_t bs) {
        return "     Forward (O) link at level 0points to offset " + n(fo) + "\r\n" +
               "     Backward(O) link at level 0points to offset " + n(bo) + "\r\n" +
               "     Forward (S) link at level 0points to offset " + n(fs) + "\r\n" +
               "     Backward(S) link at level 0points to offset " + n(bs) + "\r\n";
    };
    const std::string lowLinks = freeLinks(upperFree, head, tail, upperFree);
    const std::string upperLinks = freeLinks(tail, lowFree, lowFree, head);
    expectLines(
        dump(QUOR_HEAP_KIND_POOL, 5),
        "\r\n"
        "       SKIP LIST CONSISTING OF 1 ALLOCATED BLOCKS ORDERED BY OFFSETS\r\n"
        "  Allocated block #1 has offset = " +
            n(end - 64) + ", max level = 0, size = 8\r\n" +
            "  Actual    block #1 has offset = " + n(end - 80) + ", max level = 0, size = 40\r\n" +
            "  Allocated block #1 at node offset " + n(allocated) + "\r\n" +
            "     Forward link at level 0 points to offset 0\r\n"
            "       SKIP LIST CONSISTING OF 2 FREE BLOCKS ORDERED BY OFFSETS\r\n"
            "  Head node offset for free blocks SLHead = " +
            n(head) + "\r\n" +
            "  Head blocks offset = 0, size = 0, max level = 0\r\n"
            "   Forward (O) link at level 0 points to offset " +
            n(lowFree) + "\r\n" + "   Backward(O) link at level 0 points to offset " + n(tail) + "\r\n" +
            "   Forward (S) link at level 0 points to offset " + n(upperFree) + "\r\n" +
            "   Backward(S) link at level 0 points to offset " + n(tail) + "\r\n" +
            "  Free block #1 at node offset " + n(lowFree) + "\r\n" + lowEntry + lowLinks +
            "  Free block #2 at node offset " + n(upperFree) + "\r\n" + "  Free block #2 " + upperEntry +
            upperLinks + "       SKIP LIST CONSISTING OF 2 FREE BLOCKS ORDERED BY SIZES\r\n" +
            "  Free block #1 at node offset " + n(upperFree) + "\r\n" + "  Free block #1 " + upperEntry +
            upperLinks + "  Free block #2 at node offset " + n(lowFree) + "\r\n" +
            "  Free block #2 has offset = " + n(chunks) + ", max level = 0, size = " + n(end - 80 - chunks) +
            "\r\n" + lowLinks + "  Tail node offset for free blocks SLTail = " + n(tail) + "\r\n");
}

TEST_F(DumpTest, DomainHeapNamesPoolsAndVerbosityZeroPrintsNothing) {
    EXPECT_EQ(dump(QUOR_HEAP_KIND_POOL, 0), "");
    const std::vector<std::string> domainLines = lines(dump(QUOR_HEAP_KIND_DOMAIN, 1));
    ASSERT_GE(domainLines.size(), 3u);
    EXPECT_EQ(domainLines[1], "       SKIP LIST CONSISTING OF 1 ALLOCATED POOLS ORDERED BY OFFSETS\r");
    EXPECT_EQ(domainLines[2],
              "  Allocated pool #1 has offset = " + std::to_string(pool->poolHeapOffset) +
                  ", max level = " + std::to_string(nodeOf(memory + pool->poolHeapOffset)->level) +
                  ", size = " + std::to_string(kPoolSize) + "\r");

    EXPECT_EQ(quorPrintOutSkipLists(nullptr, QUOR_HEAP_KIND_POOL, 1), QUOR_RC_NULL_POOL_HANDLE);
    EXPECT_EQ(quorPrintOutSkipLists(pool, 3, 1), QUOR_RC_BAD_HEAP_MODE);
}

TEST_F(DumpTest, CorruptLinkEndsTheDumpWithACode) {
    // The allocated head's only link, pointed outside the node space.
    const uint64_t s = pool->poolHeapOffset + QUOR_HHEADER_SIZE(0);
    *reinterpret_cast<uint64_t *>(memory + s + QUOR_SL_ALLOC_HEAD_OFFSET + 0x30) = 8;
    testing::internal::CaptureStdout();
    EXPECT_EQ(quorPrintOutSkipLists(pool, QUOR_HEAP_KIND_POOL, 5), QUOR_RC_HEAP_CORRUPT);
    testing::internal::GetCapturedStdout();
}

}  // namespace
}  // namespace quor::test
