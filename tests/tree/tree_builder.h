// Trees for the walk suites: nodes with an ID and a dependent-node list in a
// segment's pool, linked through locators, in whatever condition a test needs.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "quor/quor.h"
#include "segment_fixture.h"

namespace quor::test {

inline constexpr uint64_t kMaxId = 16;  // every list and ID of these trees

// "prefix" followed by n, built without the operator+ that some compilers
// warn about wrongly when optimising.
inline std::string numbered(const char *prefix, uint64_t n) {
    std::string text(prefix);
    text += std::to_string(n);
    return text;
}

// Builds nodes in one segment. Each node has an ID area and a list of room for
// `capacity` children, optionally a parent area; it is left active unless a
// condition is given.
struct TreeBuilder {
    ShmSegInfo_t *seg = nullptr;

    SNodeCB_t *node(uint64_t tag, const std::string &id, uint64_t capacity = 8,
                    uint32_t condition = QUOR_NODE_ACTIVE, const SNodeInfo_t *parent = nullptr,
                    const std::string &parentId = "") {
        uint64_t flags = QUOR_KIND_ID | QUOR_KIND_DEPENDENTS | (parent != nullptr ? QUOR_KIND_PARENT : 0);
        std::array<uint64_t, 64> sizes{};
        uint64_t total = 0, offset = 0;
        EXPECT_EQ(quorCreateMaxSpaceArray(flags, 0, 0, 0, 0, capacity, kMaxId, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                          0, 0, 0, sizes.data(), &total),
                  QUOR_RC_OK);
        SNodeCB_t *n = nullptr;
        EXPECT_EQ(quorCreateNode(seg, &n, flags, sizes.data(), &total, &offset), QUOR_RC_OK);
        if (n == nullptr) return nullptr;
        SNodeInfo_t parentInfo{};
        if (parent != nullptr) {
            parentInfo = *parent;
            parentInfo.idSize = parentId.size();
        }
        EXPECT_EQ(quorInitNode(&n, offset, id.size(), id.data(), parent != nullptr ? &parentInfo : nullptr,
                               parentId.data(), kMaxId, nullptr, nullptr, nullptr),
                  QUOR_RC_OK);
        EXPECT_EQ(quorSetNodeTag(n, tag, 0), QUOR_RC_OK);
        EXPECT_EQ(quorCreateDependentNodeList(n, nullptr, nullptr, nullptr, kMaxId, 0, 0), QUOR_RC_OK);
        setCondition(n, condition);
        return n;
    }

    static void setCondition(SNodeCB_t *n, uint32_t condition) {
        if (condition == QUOR_NODE_ACTIVE) {
            EXPECT_EQ(quorActivateNode(&n), QUOR_RC_OK);
        } else {
            n->NodeCondition = condition;
        }
    }

    // A locator of `n` with the node's ID length, to be stored in segment
    // `holder` (by default this one): its descriptor of this segment lies there.
    SNodeInfo_t locator(SNodeCB_t *n, ShmSegInfo_t *holder = nullptr) const {
        char *id = nullptr;
        uint64_t length = 0;
        const uint32_t condition = n->NodeCondition;
        n->NodeCondition = QUOR_NODE_ACTIVE;  // the ID is read of any node here
        EXPECT_EQ(quorGetNodeID(n, &id, &length, 0), QUOR_RC_OK);
        n->NodeCondition = condition;
        SNodeInfo_t info{};
        const uint64_t offset = static_cast<uint64_t>(reinterpret_cast<unsigned char *>(n) -
                                                      static_cast<unsigned char *>(seg->domainHandle->base));
        EXPECT_EQ(quorAddStatusNodeInfo(&info, holder != nullptr ? holder : seg, seg, offset, n->tag, length,
                                        nullptr),
                  QUOR_RC_OK);
        return info;
    }

    // Links `child` (of this or another builder's segment) below `parent`, a
    // node of this builder's segment.
    void link(SNodeCB_t *parent, const TreeBuilder &childTree, SNodeCB_t *child) const {
        SNodeInfo_t info = childTree.locator(child, seg);
        char *id = nullptr;
        uint64_t length = 0;
        const uint32_t condition = child->NodeCondition;
        child->NodeCondition = QUOR_NODE_ACTIVE;
        EXPECT_EQ(quorGetNodeID(child, &id, &length, 0), QUOR_RC_OK);
        child->NodeCondition = condition;
        EXPECT_EQ(quorAddDependentNode(parent, &info, id, length, 0, 0), QUOR_RC_OK);
    }
    void link(SNodeCB_t *parent, SNodeCB_t *child) const { link(parent, *this, child); }

    // A full tree below `top`: `fanout` children per node down to `levels`
    // levels; returns the number of nodes made below the top.
    uint64_t grow(SNodeCB_t *top, uint64_t fanout, uint64_t levels, uint64_t tag = 0x10) {
        if (levels == 0) return 0;
        uint64_t made = 0;
        for (uint64_t i = 0; i < fanout; ++i) {
            SNodeCB_t *child = node(tag + levels, numbered("n", i), fanout);
            link(top, child);
            made += 1 + grow(child, fanout, levels - 1, tag);
        }
        return made;
    }

    // Blocks allocated in the tree pool.
    uint64_t blocksInUse() const {
        ShmPoolInfo_t info{};
        EXPECT_EQ(quorGetShmPoolInfo(seg->poolHandle, &info), QUOR_RC_OK);
        return info.allocCount;
    }
};

// The entries a search returned, as node IDs.
inline std::string entryId(const SNodeInfo_t *entry) {
    return std::string(reinterpret_cast<const char *>(entry + 1), entry->idSize);
}

}  // namespace quor::test
