// Trace records of operations that include another operation's steps: the
// included operation writes its own records under its own identifier, and each
// failure point of an operation records its own probe.
#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "frame/functions.h"
#include "segment_fixture.h"
#include "support/trace_recorder.h"
#include "test_node.h"

namespace quor::test {
namespace {

constexpr uint32_t id(Fn fn) { return static_cast<uint32_t>(fn); }

std::vector<uint32_t> entries(const TraceRecorder &recorder) {
    std::vector<uint32_t> ids;
    for (const TraceRecord &r : recorder.records())
        if (r.kind == TraceRecord::Entry) ids.push_back(r.functionId);
    return ids;
}

bool entered(const TraceRecorder &recorder, Fn fn) {
    const std::vector<uint32_t> ids = entries(recorder);
    return std::find(ids.begin(), ids.end(), id(fn)) != ids.end();
}

// The (function, probe) of every error-variable record.
std::vector<std::pair<uint32_t, uint32_t>> probes(const TraceRecorder &recorder) {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (const TraceRecord &r : recorder.records())
        if (r.kind == TraceRecord::ErrorVar) out.emplace_back(r.functionId, r.probe);
    return out;
}

TEST_F(SegmentTest, IncludedOperationsWriteTheirOwnRecords) {
    ShmSegInfo_t *seg = create("traced");
    SNodeCB_t *top = nullptr;
    const uint64_t offset = buildTopNode(seg, 0x51, "top", &top);
    IpcResId name = segmentName("traced");
    TraceRecorder recorder;

    // The condition check inside an accessor and inside the register-size query.
    SNodeCB_t *created = makeTestNode(QUOR_CONCURRENCY_MODEL_LATCHED, QUOR_NODE_CREATED);
    ASSERT_NE(created, nullptr);
    uint64_t size = 0;
    for (auto call : {+[](SNodeCB_t *n, uint64_t *out) { return quorGetNodeSize(n, out, 0); },
                      +[](SNodeCB_t *n, uint64_t *out) { return quorReturnRegisterSize(n, out); }}) {
        recorder.clear();
        EXPECT_EQ(call(created, &size), QUOR_RC_NODE_NOT_INITIALIZED);
        const auto seen = probes(recorder);
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0], std::make_pair(id(Fn::quorCheckNodeCondition), 20u));
        EXPECT_EQ(seen[1].second, 40u) << "the accessor's own record of the refused condition";
    }

    // The area lookups of initialisation: one directory lookup per area.
    SNodeCB_t *node = nullptr;
    const uint64_t nodeOffset = createIdNode(seg, &node);
    ASSERT_NE(node, nullptr);
    recorder.clear();
    ASSERT_EQ(quorInitNode(&node, nodeOffset, 2, "id", nullptr, nullptr, 32, nullptr, nullptr, nullptr),
              QUOR_RC_OK);
    EXPECT_TRUE(entered(recorder, Fn::quorGetPExportPointer));

    // The top-node attach inside a tree connection, and its condition check.
    recorder.clear();
    ShmSegInfo_t *connected = nullptr;
    SNodeCB_t *found = nullptr;
    TopNodeInfo info{};
    ASSERT_EQ(quorConnectToATree(&connected, &found, &info, &name, nullptr, nullptr, nullptr), QUOR_RC_OK);
    EXPECT_TRUE(entered(recorder, Fn::quorAttachToTopNode));
    EXPECT_TRUE(entered(recorder, Fn::quorAttachStatusSegment));
    EXPECT_TRUE(entered(recorder, Fn::quorCheckNodeCondition));
    ASSERT_EQ(quorDetachStatusSegment(&connected, QUOR_DETACH_RELEASE), QUOR_RC_OK);

    // The translation inside each attach through a locator.
    SNodeInfo_t locator{};
    ASSERT_EQ(quorAddStatusNodeInfo(&locator, seg, seg, offset, 0x51, 0, nullptr), QUOR_RC_OK);
    recorder.clear();
    ASSERT_EQ(quorAttachToNode(&locator, &found), QUOR_RC_OK);
    EXPECT_TRUE(entered(recorder, Fn::quorGetControlBlockPtrFromSNodeInfo));
    recorder.clear();
    uint32_t differs = 0;
    ASSERT_EQ(quorAttachToNodeAndGetSegInfo(&locator, &found, &connected, nullptr, &differs, 0), QUOR_RC_OK);
    EXPECT_TRUE(entered(recorder, Fn::quorGetShmSegInfoPtrUsingSNodeInfo));
    EXPECT_EQ(found, top);
    remove(seg);
}

// Failure points that used to share a probe, or to take the number kept for a
// second variable at one point, and a failure that wrote no record at all.
TEST_F(SegmentTest, EachFailurePointRecordsItsOwnProbe) {
    ShmSegInfo_t *seg = create("probes");
    buildTopNode(seg, 0x52, "top");
    TraceRecorder recorder;
    auto only = [&](Fn fn) {
        std::vector<uint32_t> out;
        for (const auto &[function, probe] : probes(recorder))
            if (function == id(fn)) out.push_back(probe);
        return out;
    };

    SNodeCB_t *node = nullptr;
    EXPECT_EQ(quorGetTopNodeCBPtrFromShmSegInfo(nullptr, &node), QUOR_RC_NOT_ATTACHED);
    ShmSegInfo_t noDomain = *seg;
    noDomain.domainHandle = nullptr;
    EXPECT_EQ(quorGetTopNodeCBPtrFromShmSegInfo(&noDomain, &node), QUOR_RC_NULL_DOMAIN_HANDLE);
    const auto topProbes = only(Fn::quorGetTopNodeCBPtrFromShmSegInfo);
    ASSERT_EQ(topProbes.size(), 2u);
    EXPECT_NE(topProbes[0], topProbes[1]);

    recorder.clear();
    char *idOut = nullptr;
    EXPECT_EQ(quorGetNodeID(node, &idOut, nullptr, 0), QUOR_RC_NULL_PARAMETER);  // node null
    SNodeCB_t *top = nullptr;
    ASSERT_EQ(quorGetTopNodeCBPtrFromShmSegInfo(seg, &top), QUOR_RC_OK);
    EXPECT_EQ(quorGetNodeID(top, nullptr, nullptr, 0), QUOR_RC_NULL_PARAMETER);
    EXPECT_EQ(quorGetNodeID(top, &idOut, nullptr, 0), QUOR_RC_NULL_ID_SIZES);
    EXPECT_EQ(only(Fn::quorGetNodeID), (std::vector<uint32_t>{10, 20, 30}));

    recorder.clear();
    ShmSegInfo_t *handle = seg;
    EXPECT_EQ(quorDeleteStatusSegment(&handle, QUOR_POOL_FREE_FORCE, 7, QUOR_DETACH_ALL),
              QUOR_RC_BAD_FREE_MODE);
    ShmSegInfo_t stranger = *seg;
    std::strcpy(stranger.segName.name, "quor-not-registered");
    handle = &stranger;
    EXPECT_EQ(quorDeleteStatusSegment(&handle, QUOR_POOL_FREE_FORCE, 2, 1), QUOR_RC_SEGMENT_NOT_REGISTERED);
    stranger.kind = 9;
    EXPECT_EQ(quorDeleteStatusSegment(&handle, QUOR_POOL_FREE_FORCE, 2, 1), QUOR_RC_BAD_SHM_MODE);
    const auto deleteProbes = only(Fn::quorDeleteStatusSegment);
    ASSERT_EQ(deleteProbes.size(), 3u);
    for (uint32_t probe : deleteProbes) EXPECT_EQ(probe % 10, 0u) << probe;
    EXPECT_NE(deleteProbes[1], deleteProbes[2]);

    recorder.clear();
    EXPECT_EQ(quorPrintrc(QUOR_RC_POOL_IN_USE, nullptr), QUOR_RC_NULL_PARAMETER);
    EXPECT_EQ(only(Fn::quorPrintrc), std::vector<uint32_t>{10});
    remove(seg);
}

}  // namespace
}  // namespace quor::test
