// Status segments for the tree suites: unique names, a creator that builds an
// active top node and records it, and a registry walk. Every segment a test
// makes is unlinked when the test ends, whatever happened.
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "frame/state.h"
#include "quor/host.h"
#include "quor/quor.h"
#include "support/process.h"

namespace quor::test {

inline constexpr uint64_t kSegmentSize = 1 << 20;

inline IpcResId segmentName(const std::string &label) {
    IpcResId id{};
    std::snprintf(id.name, sizeof id.name, "quor-t%d-%s", static_cast<int>(getpid()), label.c_str());
    return id;
}

// The host's shared-memory path of a segment name. Appended, not built with
// "/" + string: g++ 12 at -O3 reports a false overlap (-Wrestrict) for that
// insert at the front.
inline std::string segmentPath(const IpcResId &id) {
    std::string path(1, '/');
    path.append(id.name);
    return path;
}

// The registry's names, first to last.
inline std::vector<std::string> registryNames() {
    std::vector<std::string> names;
    for (AttachInfo *node = lib().attachInfoList->first; node != nullptr; node = node->next) {
        names.emplace_back(node->segInfo->segName.name);
    }
    return names;
}

inline uint32_t refCountOf(ShmSegInfo_t *seg) {
    uint32_t count = 0;
    EXPECT_EQ(quorGetShmAttachRefCount(seg, &count), QUOR_RC_OK);
    return count;
}

// Creates a node with a 32-byte ID area in the segment's pool, not yet
// initialised. Returns the node's offset (the node is null on failure).
inline uint64_t createIdNode(ShmSegInfo_t *seg, SNodeCB_t **node) {
    std::array<uint64_t, 64> sizes{};
    uint64_t total = 0, offset = 0;
    EXPECT_EQ(quorCreateMaxSpaceArray(QUOR_KIND_ID, 0, 0, 0, 0, 0, 32, 1, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0,
                                      sizes.data(), &total),
              QUOR_RC_OK);
    *node = nullptr;
    EXPECT_EQ(quorCreateNode(seg, node, QUOR_KIND_ID, sizes.data(), &total, &offset), QUOR_RC_OK);
    return offset;
}

// Builds an active top node with an ID area, tagged `tag`, in the segment's
// pool and records it in the domain header. Returns the node's offset.
inline uint64_t buildTopNode(ShmSegInfo_t *seg, uint64_t tag, const char *id, SNodeCB_t **nodeOut = nullptr) {
    SNodeCB_t *node = nullptr;
    const uint64_t offset = createIdNode(seg, &node);
    if (node == nullptr) return 0;
    EXPECT_EQ(
        quorInitNode(&node, offset, std::strlen(id), id, nullptr, nullptr, 32, nullptr, nullptr, nullptr),
        QUOR_RC_OK);
    EXPECT_EQ(quorSetNodeTag(node, tag, 0), QUOR_RC_OK);
    EXPECT_EQ(quorActivateNode(&node), QUOR_RC_OK);
    EXPECT_EQ(
        quorPutTopNodeInfoIntoDomainHeader(seg->domainHandle, tag, offset, seg->poolHandle->poolHeapOffset),
        QUOR_RC_OK);
    if (nodeOut != nullptr) *nodeOut = node;
    return offset;
}

// An initialised library and the segments a test makes; TearDown unlinks them
// and tears the library down even when a test failed half-way.
class SegmentTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(QUOROneTimeOnlyInitialization(QUOR_EYECATCHER, QUOR_EYECATCHER), QUOR_RC_OK);
        baseline = hostMemLiveBlocks(nullptr);
    }
    void TearDown() override {
        hostMemFailAfter(0, 0);
        (void)QUORCleanup(QUOR_CLEANUP_FORCE);
        for (const std::string &label : labels) shm_unlink(segmentPath(segmentName(label)).c_str());
    }

    IpcResId name(const std::string &label) {
        labels.push_back(label);
        return segmentName(label);
    }

    ShmSegInfo_t *create(const std::string &label, uint64_t size = kSegmentSize) {
        IpcResId id = name(label);
        ShmSegInfo_t *seg = nullptr;
        EXPECT_EQ(quorGetProtectedStatusSegment(&seg, size, &id, nullptr, 0, nullptr, nullptr), QUOR_RC_OK);
        return seg;
    }

    // Deletes a segment this process holds, whatever its count.
    static void remove(ShmSegInfo_t *&seg) {
        if (seg != nullptr) {
            EXPECT_EQ(quorDeleteStatusSegment(&seg, QUOR_POOL_FREE_FORCE, 2, 2), QUOR_RC_OK);
        }
    }

    std::vector<std::string> labels;
    uint64_t baseline = 0;
};

// Connects to the tree of segment `id`; null on failure.
inline ShmSegInfo_t *connectTree(const IpcResId &id, SNodeCB_t **topOut = nullptr) {
    ShmSegInfo_t *seg = nullptr;
    SNodeCB_t *top = nullptr;
    TopNodeInfo info{};
    if (quorConnectToATree(&seg, &top, &info, &id, nullptr, nullptr, nullptr) != QUOR_RC_OK) return nullptr;
    if (topOut != nullptr) *topOut = top;
    return seg;
}

// The address in this process of the record at `offset` of a segment.
template <class T>
T *inSegment(ShmSegInfo_t *seg, uint64_t offset) {
    return reinterpret_cast<T *>(static_cast<unsigned char *>(seg->domainHandle->base) + offset);
}

// A child process that starts the library afresh, as an unrelated process would:
// the registry it inherited is dropped (its mappings stay, so a new attach maps
// the segment at another address).
inline void freshLibrary() {
    (void)QUORCleanup(QUOR_CLEANUP_FORCE);
    (void)QUOROneTimeOnlyInitialization(QUOR_EYECATCHER, QUOR_EYECATCHER);
}

}  // namespace quor::test
