// Searches, totals and path arrays over trees of one or two segments.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <string>
#include <vector>

#include "quor/quor.h"
#include "segment_fixture.h"
#include "tree_builder.h"

namespace quor::test {
namespace {

constexpr uint64_t kSame = 0x77;

// A -> (B -> D, C); A, C and D carry the same tag.
class SearchTest : public SegmentTest {
protected:
    void SetUp() override {
        SegmentTest::SetUp();
        tree.seg = create("search", 4 << 20);
        ASSERT_NE(tree.seg, nullptr);
        a = tree.node(kSame, "A");
        b = tree.node(0x50, "B");
        c = tree.node(kSame, "C");
        d = tree.node(kSame, "D");
        tree.link(a, b);
        tree.link(a, c);
        tree.link(b, d);
    }
    void TearDown() override {
        remove(tree.seg);
        SegmentTest::TearDown();
    }

    std::vector<std::string> byTag(uint64_t tag, uint64_t maxDepth, uint64_t maxResults = 8,
                                   uint32_t expected = QUOR_RC_OK, uint64_t *matchesOut = nullptr) {
        std::vector<SNodeInfo_t *> results(maxResults);
        uint64_t stored = 0, matches = 0;
        EXPECT_EQ(quorFindNodesByTag(a, tag, maxDepth, maxResults, results.data(), &stored, &matches),
                  expected);
        if (matchesOut != nullptr) *matchesOut = matches;
        std::vector<std::string> ids;
        for (uint64_t i = 0; i < stored; ++i) ids.push_back(entryId(results[i]));
        return ids;
    }
    std::string soft(uint64_t tag, const std::string &id, uint64_t maxDepth = 0) {
        SNodeInfo_t *entry = nullptr;
        const uint32_t rc = quorFindNodeSoft(&entry, a, tag, id.size(), id.data(), maxDepth);
        return rc == 0 ? entryId(entry) : numbered("rc ", rc);
    }
    TreeInfo_t totals(uint64_t tag, uint64_t maxDepth, uint32_t options = 0) {
        TreeInfo_t info{};
        EXPECT_EQ(quorGetTreeInfo(a, tree.seg, options, tag, maxDepth, &info), QUOR_RC_OK);
        return info;
    }

    // Records `top` as the tree of its segment, so that other processes can
    // connect to it or attach the segment through locators.
    static void recordTop(const TreeBuilder &in, SNodeCB_t *top) {
        const uint64_t offset =
            static_cast<uint64_t>(reinterpret_cast<unsigned char *>(top) -
                                  static_cast<unsigned char *>(in.seg->domainHandle->base));
        ASSERT_EQ(quorPutTopNodeInfoIntoDomainHeader(in.seg->domainHandle, top->tag, offset,
                                                     in.seg->poolHandle->poolHeapOffset),
                  QUOR_RC_OK);
    }

    TreeBuilder tree;
    SNodeCB_t *a = nullptr, *b = nullptr, *c = nullptr, *d = nullptr;
};

const std::string notFound = numbered("rc ", QUOR_RC_NODE_NOT_FOUND);

TEST_F(SearchTest, PreOrderDepthFirstAndDepthLimits) {
    EXPECT_EQ(byTag(kSame, 0), (std::vector<std::string>{"D", "C"}));  // A itself is never reported
    EXPECT_EQ(soft(kSame, ""), "D");
    EXPECT_EQ(soft(kSame, "C"), "C");
    EXPECT_EQ(byTag(kSame, 1), (std::vector<std::string>{"C"}));
    EXPECT_EQ(soft(kSame, "D", 1), notFound);
    EXPECT_EQ(soft(kSame, "D", 2), "D");
    EXPECT_EQ(soft(0x50, "A"), notFound);
    byTag(0x51, 0, 8, QUOR_RC_NODE_NOT_FOUND);
}

TEST_F(SearchTest, TagSearchCountsEveryMatchBeyondItsCapacity) {
    for (int i = 0; i < 3; ++i) tree.link(c, tree.node(kSame, numbered("c", i)));
    uint64_t matches = 0;
    EXPECT_EQ(byTag(kSame, 0, 2, QUOR_RC_OK, &matches), (std::vector<std::string>{"D", "C"}));
    EXPECT_EQ(matches, 5u);
}

TEST_F(SearchTest, InitialisedChildIsSkippedBySearchesButCountedInTotals) {
    TreeBuilder::setCondition(b, QUOR_NODE_INITIALIZED);
    EXPECT_EQ(byTag(kSame, 0), (std::vector<std::string>{"C"}));
    EXPECT_EQ(soft(kSame, "D"), notFound);

    const TreeInfo_t all = totals(kSame, 0);
    EXPECT_EQ(all.nodesTotal, 4u);
    EXPECT_EQ(all.nodesCondition2, 1u);
    EXPECT_EQ(all.nodesCondition3, 3u);
    EXPECT_EQ(all.nodesWithTag, 3u);
    EXPECT_EQ(all.bytesTotal, a->nodeSize + b->nodeSize + c->nodeSize + d->nodeSize);
    EXPECT_EQ(all.bytesCondition2, b->nodeSize);

    const TreeInfo_t top = totals(0, 1);
    EXPECT_EQ(top.nodesTotal, 1u);
    EXPECT_EQ(top.nodesWithTag, 0u);
    EXPECT_EQ(totals(kSame, 2).nodesTotal, 3u);
}

TEST_F(SearchTest, DisassociatedChildIsSearchedUnlessBeingRecreated) {
    TreeBuilder::setCondition(b, QUOR_NODE_DISASSOCIATED);
    EXPECT_EQ(soft(kSame, "D"), "D");
    b->optionFlags |= QUOR_NODE_OPT_RECREATING;
    EXPECT_EQ(soft(kSame, "D"), numbered("rc ", QUOR_RC_NODE_BEING_RECREATED));
    uint64_t matches = 0;
    byTag(kSame, 0, 8, QUOR_RC_NODE_NOT_FOUND, &matches);  // stopped before any match
}

TEST_F(SearchTest, HardSearchFollowsThePath) {
    const uint64_t tags[] = {0x50, kSame};
    const char *ids[] = {"B", "D"};
    TraverseInfo_t *path = nullptr;
    ASSERT_EQ(quorCreateTraverseInfoArray(&path, tags, ids, kMaxId, 2, tree.seg), QUOR_RC_OK);
    SNodeInfo_t *entry = nullptr;
    ASSERT_EQ(quorFindNodeHard(&entry, a, 2, path, 2), QUOR_RC_OK);
    EXPECT_EQ(entryId(entry), "D");
    EXPECT_EQ(quorFindNodeHard(&entry, a, 1, path, 0), QUOR_RC_PATH_TOO_LONG);
    EXPECT_EQ(quorFindNodeHard(&entry, a, 0, path, 0), QUOR_RC_NODE_NOT_FOUND);
    EXPECT_EQ(quorFindNodeHard(&entry, a, 2, path, 1), QUOR_RC_PATH_TOO_LONG);
    path[1].idLength = 1;
    path[1].id[0] = 'C';
    EXPECT_EQ(quorFindNodeHard(&entry, a, 2, path, 2), QUOR_RC_NODE_NOT_FOUND);
    path[0].tag = kSame;
    path[0].id[0] = 'C';
    EXPECT_EQ(quorFindNodeHard(&entry, a, 1, path, 2), QUOR_RC_OK);
    EXPECT_EQ(entryId(entry), "C");
    EXPECT_EQ(quorFindNodeHard(&entry, a, 2, path, 2), QUOR_RC_NODE_NOT_FOUND);  // C has no children

    // Every entry scanned before the match is checked: a sibling under
    // re-creation or with a stale locator ends the search.
    TreeBuilder::setCondition(b, QUOR_NODE_DISASSOCIATED);
    b->optionFlags |= QUOR_NODE_OPT_RECREATING;
    EXPECT_EQ(quorFindNodeHard(&entry, a, 1, path, 2), QUOR_RC_NODE_BEING_RECREATED);
    b->optionFlags = 0;
    TreeBuilder::setCondition(b, QUOR_NODE_INITIALIZED);
    EXPECT_EQ(quorFindNodeHard(&entry, a, 1, path, 2), QUOR_RC_OK);
    b->tag = 0x51;
    EXPECT_EQ(quorFindNodeHard(&entry, a, 1, path, 2), QUOR_RC_STALE_NODE_INFO);
    b->tag = 0x50;
    EXPECT_EQ(quorDeleteTraverseInfoArray(&path, 2, tree.seg), QUOR_RC_OK);
    EXPECT_EQ(path, nullptr);
}

TEST_F(SearchTest, BadArgumentsGiveTheirCodes) {
    SNodeInfo_t *entry = nullptr;
    std::array<SNodeInfo_t *, 2> results{};
    uint64_t stored = 0, matches = 0;
    TreeInfo_t info{};
    TraverseInfo_t step{0x50, 1, const_cast<char *>("B")};
    EXPECT_EQ(quorFindNodeSoft(&entry, nullptr, kSame, 0, nullptr, 0), QUOR_RC_NULL_PARAMETER);
    EXPECT_EQ(quorFindNodeSoft(&entry, a, QUOR_MAX_TAG + 1, 0, nullptr, 0), QUOR_RC_SIZE_TOO_LARGE);
    EXPECT_EQ(quorFindNodeSoft(&entry, a, kSame, 4097, "x", 0), QUOR_RC_ID_SIZE_TOO_LARGE);
    EXPECT_EQ(quorFindNodeSoft(&entry, a, kSame, 1, nullptr, 0), QUOR_RC_NULL_ID);
    EXPECT_EQ(quorFindNodeSoft(&entry, a, kSame, 0, nullptr, 32769), QUOR_RC_DEPTH_TOO_LARGE);
    EXPECT_EQ(quorFindNodesByTag(a, kSame, 0, 2, results.data(), nullptr, &matches),
              QUOR_RC_NULL_STORED_COUNT_OUTPUT);
    EXPECT_EQ(quorFindNodesByTag(a, kSame, 0, 2, results.data(), &stored, nullptr),
              QUOR_RC_NULL_MATCH_COUNT_OUTPUT);
    EXPECT_EQ(quorFindNodesByTag(a, kSame, 0, 0, results.data(), &stored, &matches), QUOR_RC_BAD_MAX_RESULTS);
    EXPECT_EQ(quorFindNodeHard(&entry, a, 1, nullptr, 1), QUOR_RC_NULL_PATH);
    EXPECT_EQ(quorFindNodeHard(&entry, a, 1, &step, 32769), QUOR_RC_DEPTH_TOO_LARGE);
    EXPECT_EQ(quorGetTreeInfo(a, nullptr, 0, 0, 0, &info), QUOR_RC_NOT_ATTACHED);
    EXPECT_EQ(quorGetTreeInfo(a, tree.seg, 0, 0, 0, nullptr), QUOR_RC_NULL_TREE_INFO);
    EXPECT_EQ(quorSearchForNodeHard(nullptr, nullptr, nullptr, nullptr, 0, 0, nullptr),
              QUOR_RC_NULL_NODE_INFO);
    TreeBuilder::setCondition(a, QUOR_NODE_ABANDONED);
    EXPECT_EQ(quorFindNodesByTag(a, kSame, 0, 2, results.data(), &stored, &matches), QUOR_RC_NODE_ABANDONED);
}

TEST_F(SearchTest, PathArraysAreReleasedOnEveryFailure) {
    const std::string longId(4097, 'x');
    const uint64_t tags[] = {1, 2};
    const char *ids[] = {"", longId.c_str()};
    const uint64_t before = hostMemLiveBlocks("quori");
    TraverseInfo_t *path = nullptr;
    EXPECT_EQ(quorCreateTraverseInfoArray(&path, tags, ids, 8, 2, tree.seg), QUOR_RC_ID_SIZE_TOO_LARGE);
    EXPECT_EQ(hostMemLiveBlocks("quori"), before);
    ASSERT_EQ(quorCreateTraverseInfoArray(&path, tags, ids, 8, 1, tree.seg), QUOR_RC_OK);
    EXPECT_EQ(path[0].idLength, 0);
    EXPECT_EQ(hostMemLiveBlocks("quori"), before + 2);  // the array and a one-byte copy
    EXPECT_EQ(quorDeleteTraverseInfoArray(&path, 1, tree.seg), QUOR_RC_OK);

    const char *two[] = {"ab", "cd"};
    for (uint32_t n = 1; n <= 3; ++n) {
        hostMemFailAfter(n, 0);
        const uint32_t rc = quorCreateTraverseInfoArray(&path, tags, two, 8, 2, tree.seg);
        hostMemFailAfter(0, 0);
        EXPECT_EQ(rc, QUOR_RC_ID_ALLOC_FAILED) << n;
        EXPECT_EQ(hostMemLiveBlocks("quori"), before) << n;
    }
    EXPECT_EQ(quorCreateTraverseInfoArray(&path, tags, two, 8, 0, tree.seg), QUOR_RC_BAD_TRAVERSE_COUNT);
    EXPECT_EQ(quorCreateTraverseInfoArray(&path, nullptr, two, 8, 2, tree.seg), QUOR_RC_NULL_NUMBERS);
    ShmSegInfo_t forged{};
    EXPECT_EQ(quorCreateTraverseInfoArray(&path, tags, two, 8, 2, &forged), QUOR_RC_BAD_EYECATCHER);
}

// A locator that leads back to an ancestor makes the tree endless: every walk
// ends with a code.
TEST_F(SearchTest, CyclicTreeEndsEveryWalkWithACode) {
    SNodeInfo_t up = tree.locator(a);
    ASSERT_EQ(quorAddDependentNode(d, &up, "A", 1, 0, 0), QUOR_RC_OK);
    SNodeInfo_t *entry = nullptr;
    EXPECT_EQ(quorFindNodeSoft(&entry, a, 0x99, 0, nullptr, 0), QUOR_RC_DEPTH_TOO_LARGE);
    TreeInfo_t info{};
    EXPECT_EQ(quorGetTreeInfo(a, tree.seg, 0, 0, 0, &info), QUOR_RC_DEPTH_TOO_LARGE);
    SNodeCB_t *top = a;
    EXPECT_EQ(quorSetNodeStatusRecursively(&top, tree.seg, tree.seg, 0, QUOR_ACTION_UPDATE, 0x8, 1, 0),
              QUOR_RC_DEPTH_TOO_LARGE);
    // With a depth limit the walk never reaches the loop.
    EXPECT_EQ(quorFindNodeSoft(&entry, a, kSame, 1, "C", 3), QUOR_RC_OK);
}

// A chain deeper than the frames a walk keeps in place.
TEST_F(SearchTest, DeepChainIsWalkedToItsEnd) {
    SNodeCB_t *last = c;
    for (int i = 0; i < 100; ++i) {
        SNodeCB_t *next = tree.node(0x30, numbered("chain", i), 1);
        tree.link(last, next);
        last = next;
    }
    EXPECT_EQ(soft(0x30, "chain99"), "chain99");
    EXPECT_EQ(totals(0, 0).nodesTotal, 104u);
    SNodeCB_t *top = a;
    ASSERT_EQ(quorSetNodeStatusRecursively(&top, tree.seg, tree.seg, 0, QUOR_ACTION_DISASSOCIATE, 1, 1, 0),
              QUOR_RC_OK);
    EXPECT_EQ(last->NodeCondition, static_cast<uint32_t>(QUOR_NODE_DISASSOCIATED));
}

// Two segments: the walks attach the second one on their own and count, find
// and free its nodes there.
TEST_F(SearchTest, TreeSpanningTwoSegments) {
    TreeBuilder far;
    far.seg = create("search-far", 2 << 20);
    ASSERT_NE(far.seg, nullptr);
    SNodeCB_t *e = far.node(0x60, "E"), *f = far.node(kSame, "F");
    tree.link(c, far, e);
    far.link(e, f);
    const uint64_t farBlocks = far.blocksInUse();

    EXPECT_EQ(soft(kSame, "F"), "F");
    EXPECT_EQ(byTag(kSame, 0), (std::vector<std::string>{"D", "C", "F"}));
    EXPECT_EQ(totals(kSame, 0).nodesTotal, 6u);
    EXPECT_EQ(totals(kSame, 0, QUOR_LOCATOR_COMPARE_SEGMENT).nodesTotal, 4u);  // the other segment left out

    // A process that connects to the first segment only attaches the second
    // when a walk reaches it.
    recordTop(tree, a);
    recordTop(far, e);
    const IpcResId nearId = segmentName("search");
    const pid_t walker = spawn([&] {
        freshLibrary();
        SNodeCB_t *top = nullptr;
        ShmSegInfo_t *seg = connectTree(nearId, &top);
        if (seg == nullptr || registryNames().size() != 1) return 2;
        SNodeInfo_t *found = nullptr;
        if (quorFindNodeSoft(&found, top, kSame, 1, "F", 0) != QUOR_RC_OK || entryId(found) != "F") return 3;
        if (registryNames().size() != 2) return 4;
        TreeInfo_t info{};
        if (quorGetTreeInfo(top, seg, 0, 0, 0, &info) != QUOR_RC_OK || info.nodesTotal != 6) return 5;
        return 0;
    });
    EXPECT_EQ(waitChild(walker), 0);

    SNodeInfo_t *entry = nullptr;
    ASSERT_EQ(quorFindDependentNode(&entry, c, 0x60, 1, "E", 0), QUOR_RC_OK);
    const uint64_t nearBlocks = tree.blocksInUse();
    ASSERT_EQ(quorDeleteDependentNodeAndSubtree(c, entry, tree.seg, 0, QUOR_ACTION_UNCONDITIONAL),
              QUOR_RC_OK);
    EXPECT_EQ(far.blocksInUse(), farBlocks - 2);
    EXPECT_EQ(tree.blocksInUse(), nearBlocks);
    EXPECT_EQ(totals(kSame, 0).nodesTotal, 4u);

    // A child whose segment is gone ends a walk with a code and changes nothing.
    tree.link(c, far, far.node(0x61, "G"));
    remove(far.seg);
    const std::string result = soft(kSame, "nothing");
    EXPECT_NE(result, notFound);
    EXPECT_EQ(result.rfind("rc ", 0), 0u);
    uint64_t n = 0, max = 0;
    ASSERT_EQ(quorReturnNumberOfDependentNodes(c, &n, &max, 0), QUOR_RC_OK);
    EXPECT_EQ(n, 1u);
}

// One process changes the tree (links and unlinks children, replaces entries)
// while another searches it: the searcher never crashes and everything it
// reports is an entry of the wanted tag, or one that was freed since.
TEST_F(SearchTest, SearchWhileAnotherProcessChangesTheTree) {
    std::vector<SNodeCB_t *> spare;
    for (int i = 0; i < 6; ++i) spare.push_back(tree.node(kSame, numbered("s", i)));
    auto *go = static_cast<volatile int *>(sharedScratch(sizeof(int)));
    *go = 0;
    const IpcResId id = segmentName("search");
    recordTop(tree, a);
    const pid_t searcher = spawn([&] {
        freshLibrary();
        SNodeCB_t *top = nullptr;
        ShmSegInfo_t *seg = connectTree(id, &top);
        if (seg == nullptr) return 2;
        auto *base = static_cast<unsigned char *>(seg->domainHandle->base);
        const uint64_t size = 4 << 20;
        std::array<SNodeInfo_t *, 16> results{};
        uint64_t found = 0;
        for (int round = 0; *go != 2 && round < 1000000; ++round) {
            uint64_t stored = 0, matches = 0;
            const uint32_t rc =
                quorFindNodesByTag(top, kSame, 0, results.size(), results.data(), &stored, &matches);
            for (uint64_t i = 0; rc == 0 && i < stored; ++i) {
                auto *at = reinterpret_cast<unsigned char *>(results[i]);
                if (at < base || at + sizeof(SNodeInfo_t) > base + size) return 3;
                const uint64_t tag = results[i]->tag;
                if (tag != kSame && tag != 0) return 4;
                ++found;
            }
            SNodeInfo_t *entry = nullptr;
            (void)quorFindNodeSoft(&entry, top, kSame, 2, "s3", 0);
            if (round == 10 && *go == 0) *go = 1;
        }
        return found != 0 ? 0 : 5;
    });
    for (int wait = 0; *go == 0 && wait < 20000; ++wait) usleep(100);
    SNodeCB_t *holders[] = {b, c, d};
    for (int round = 0; round < 300; ++round) {
        SNodeCB_t *holder = holders[round % 3];
        SNodeCB_t *kid = spare[round % spare.size()];
        tree.link(holder, kid);
        SNodeInfo_t replacement = tree.locator(spare[(round + 1) % spare.size()]);
        std::string kidId = numbered("s", round % spare.size());
        ASSERT_EQ(quorAddDependentNode(holder, &replacement, kidId.data(), kidId.size(), QUOR_DEP_REPLACE, 0),
                  QUOR_RC_OK);
        SNodeInfo_t probe{};
        probe.tag = kSame;
        probe.idSize = kidId.size();
        ASSERT_EQ(quorDeleteDependentNode(holder, &probe, kidId.data(), 0), QUOR_RC_OK);
    }
    *go = 2;
    EXPECT_EQ(waitChild(searcher), 0);
}

}  // namespace
}  // namespace quor::test
