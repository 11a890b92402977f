// Tree copy and node re-creation: trees with every property kind, flat and
// hashed, copied in each target mode and compared node by node and property by
// property; a second process connecting to the copy; allocation failures
// swept over one copy; re-creation with more room for dependents.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "frame/functions.h"
#include "props/locate.h"
#include "quor/host.h"
#include "quor/quor.h"
#include "segment_fixture.h"
#include "support/process.h"
#include "support/trace_recorder.h"
#include "test_node.h"
#include "tree/dependents.h"
#include "tree/locators.h"

namespace quor::test {
namespace {

constexpr uint64_t kAllKinds = QUOR_KIND_ID | QUOR_KIND_TRIPLE | QUOR_KIND_RMX | QUOR_KIND_PARENT |
                               QUOR_KIND_BASER | QUOR_KIND_BASEV | QUOR_KIND_R | QUOR_KIND_V | QUOR_KIND_IR |
                               QUOR_KIND_IV | QUOR_KIND_DEPENDENTS | QUOR_KIND_EXPORT_LIST;
constexpr uint64_t kMax = 16;  // every maximum ID and value size
constexpr uint64_t kTreeSegment = 16 << 20;

// ---- images: what a node holds, field by field ----

using Image = std::map<std::string, std::string>;
using TreeImage = std::map<std::string, Image>;  // by path of IDs from the top

std::string text(const void *p, uint64_t n) {
    return p == nullptr ? "<out>" : std::string(static_cast<const char *>(p), n);
}

template <class K>
void imageKind(SNodeCB_t *node, const std::string &name, Image &image) {
    if ((node->areaFlags & K::bit) == 0) return;
    props::PropertyArea<K> area;
    if (area.open(node) != 0) {
        image[name] = "unreadable";
        return;
    }
    auto add = [&](typename K::Record &r) {
        std::string key = std::to_string(props::keyWord(r));
        if constexpr (K::tagged) key += "/" + text(area.idBytes(r, r.idLength), r.idLength);
        std::string value;
        if constexpr (K::bytesValue) {
            value = text(area.valueBytes(r, r.valueSize), r.valueSize);
        } else {
            value = std::to_string(counterValue(r.value));
        }
        image[name + "[" + key + "]"] = value + " rc " + std::to_string(r.rc);
        return QUOR_RC_OK;
    };
    if constexpr (K::base) {
        if (auto *r = area.recordAt(K::header.flatSize); r != nullptr && r->number != 0) add(*r);
    } else {
        image[name + ".room"] = area.hashed() ? "hashed " + std::to_string(area.tableSize(0))
                                              : "flat " + std::to_string(area.flatCapacity());
        uint32_t rc = 0;
        if (area.hashed()) {
            rc = props::walkChains(area,
                                   [&](uint64_t, typename K::LLNode &ll, bool *) { return add(ll.record); });
        } else {
            props::FlatEnd end;
            rc = props::walkFlat(
                area, [&](uint64_t, typename K::Record &r, bool *) { return add(r); }, [](uint64_t) {}, &end);
        }
        if (rc != 0) image[name] = "walk failed";
    }
}

Image nodeImage(SNodeCB_t *node) {
    Image image;
    image["tag"] = std::to_string(node->tag);
    image["condition"] = std::to_string(node->NodeCondition);
    image["flags"] = std::to_string(node->areaFlags);
    image["options"] = std::to_string(node->optionFlags) + " " + std::to_string(node->updateMode) + " " +
                       std::to_string(node->interval1) + " " + std::to_string(node->concurrencyModel);
    image["counters"] = std::to_string(counterValue(node->updateCounter)) + " " +
                        std::to_string(counterValue(node->spareCounter1));
    for (uint64_t kind : {QUOR_KIND_ID, QUOR_KIND_TRIPLE, QUOR_KIND_RMX, QUOR_KIND_EXPORT_LIST}) {
        tree::Area area;
        if (tree::openArea(node, kind, &area) == 0)
            image["area " + std::to_string(kind)] =
                std::to_string(std::hash<std::string>{}(text(area.begin(), area.record()->usedSize)));
    }
    imageKind<props::BaseRKind>(node, "baseR", image);
    imageKind<props::BaseVKind>(node, "baseV", image);
    imageKind<props::RKind>(node, "R", image);
    imageKind<props::VKind>(node, "V", image);
    imageKind<props::IRKind>(node, "IR", image);
    imageKind<props::IVKind>(node, "IV", image);
    tree::DepList list;
    if ((node->areaFlags & QUOR_KIND_DEPENDENTS) != 0 && tree::openDependentList(node, &list) == 0)
        image["dependents"] = std::to_string(list.count) + " of " + std::to_string(list.capacity);
    return image;
}

// The tree below `node` as this process reaches it through the locators;
// abandoned nodes left out. Each node's parent locator must lead back to the
// node it was reached from.
void treeImage(SNodeCB_t *node, SNodeCB_t *parent, const std::string &path, TreeImage &out) {
    Image &image = out[path] = nodeImage(node);
    if (parent != nullptr) {
        SNodeInfo_t *info = nullptr;
        SNodeCB_t *named = nullptr;
        const bool found = tree::parentLocation(node, &info) == 0 && tree::resolveLocator(info, &named) == 0;
        image["parent"] = found && named == parent ? "found" : "lost";
        image["parent id"] = text(reinterpret_cast<char *>(info) + sizeof(SNodeInfo_t), info->idSize);
    }
    tree::DepList list;
    if ((node->areaFlags & QUOR_KIND_DEPENDENTS) == 0 || tree::openDependentList(node, &list) != 0) return;
    tree::DepCursor cursor(list);
    for (;;) {
        tree::DepEntry entry;
        bool done = false;
        if (cursor.next(&entry, &done) != 0 || done) return;
        SNodeCB_t *child = nullptr;
        if (tree::resolveLocator(entry.info, &child) != 0) {
            image["child " + text(entry.id, entry.idSize)] = "unresolved";
        } else if (child->NodeCondition != QUOR_NODE_ABANDONED) {
            treeImage(child, node, path + "/" + text(entry.id, entry.idSize), out);
        }
    }
}

TreeImage imageOf(SNodeCB_t *top) {
    TreeImage out;
    treeImage(top, nullptr, "", out);
    return out;
}

// Where two tree images differ, one line per field ("" when they are equal).
std::string differences(const TreeImage &got, const TreeImage &want) {
    std::string out;
    auto field = [&](const std::string &path, const Image &a, const Image &b) {
        for (const auto &[key, value] : a) {
            auto it = b.find(key);
            if (it == b.end() || it->second != value)
                out +=
                    path + " " + key + ": " + value + " / " + (it == b.end() ? "<none>" : it->second) + "\n";
        }
        for (const auto &[key, value] : b) {
            if (a.find(key) == a.end()) out += path + " " + key + ": <none> / " + value + "\n";
        }
    };
    for (const auto &[path, image] : got) {
        auto it = want.find(path);
        if (it == want.end()) {
            out += path + ": not wanted\n";
        } else {
            field(path, image, it->second);
        }
    }
    for (const auto &[path, image] : want) {
        if (got.find(path) == got.end()) out += path + ": missing\n";
    }
    return out;
}

// ---- trees with every property kind ----

struct PropertyTree {
    ShmSegInfo_t *seg = nullptr;
    uint64_t serial = 0;

    SNodeInfo_t locator(SNodeCB_t *n) const {
        char *id = nullptr;
        uint64_t length = 0;
        EXPECT_EQ(quorGetNodeID(n, &id, &length, 0), QUOR_RC_OK);
        const auto offset = static_cast<uint64_t>(reinterpret_cast<unsigned char *>(n) -
                                                  static_cast<unsigned char *>(seg->domainHandle->base));
        SNodeInfo_t info{};
        EXPECT_EQ(quorAddStatusNodeInfo(&info, seg, seg, offset, n->tag, length, nullptr), QUOR_RC_OK);
        return info;
    }

    // An active node with room for `fanout` dependents and four properties of
    // each table kind (three R, two of the others filled), hashed or flat in
    // turn, linked below `parent`.
    SNodeCB_t *node(const std::string &id, uint64_t fanout, SNodeCB_t *parent) {
        const uint64_t s = ++serial;
        const uint32_t mode = s % 2 == 0 ? QUOR_LIST_FLAT : QUOR_LIST_HASHED;
        const uint64_t flags = parent != nullptr ? kAllKinds : kAllKinds & ~uint64_t{QUOR_KIND_PARENT};
        std::array<uint64_t, 64> sizes{};
        uint64_t total = 0, offset = 0;
        EXPECT_EQ(
            quorCreateMaxSpaceArray(flags, 4, 4, 4, 4, fanout == 0 ? 1 : fanout, kMax, kMax, kMax, kMax, kMax,
                                    kMax, mode, mode, mode, mode, 5, 4, 5, 4, sizes.data(), &total),
            QUOR_RC_OK);
        SNodeCB_t *n = nullptr;
        EXPECT_EQ(quorCreateNode(seg, &n, flags, sizes.data(), &total, &offset), QUOR_RC_OK);
        if (n == nullptr) return nullptr;
        SNodeInfo_t parentInfo{};
        char *parentId = nullptr;
        uint64_t parentIdLength = 0;
        if (parent != nullptr) {
            parentInfo = locator(parent);
            EXPECT_EQ(quorGetNodeID(parent, &parentId, &parentIdLength, 0), QUOR_RC_OK);
        }
        const uint64_t triple[3] = {s, s * 2, s * 3};
        RMXPathRec_t module{};
        std::snprintf(module.path, sizeof module.path, "/opt/module-%llu",
                      static_cast<unsigned long long>(s));
        EXPECT_EQ(quorInitNode(&n, offset, id.size(), id.data(), parent != nullptr ? &parentInfo : nullptr,
                               parentId, kMax, triple, &module, nullptr),
                  QUOR_RC_OK);
        EXPECT_EQ(quorSetNodeTag(n, 0x20 + s % 7, 0), QUOR_RC_OK);
        EXPECT_EQ(quorCreateRPropertyList(n, nullptr, nullptr, 0, 4, mode, 0), QUOR_RC_OK);
        EXPECT_EQ(quorCreateVPropertyList(n, nullptr, nullptr, nullptr, kMax, 0, 4, mode, 0), QUOR_RC_OK);
        EXPECT_EQ(quorCreateIRPropertyList(n, nullptr, nullptr, nullptr, nullptr, kMax, 0, 5, 4, 4, mode, 0),
                  QUOR_RC_OK);
        EXPECT_EQ(quorCreateIVPropertyList(n, nullptr, nullptr, nullptr, kMax, nullptr, nullptr, kMax, 0, 5,
                                           4, 4, mode, 0),
                  QUOR_RC_OK);
        const std::string base = "base-" + std::to_string(s);
        EXPECT_EQ(quorCreateBaseRProperty(n, 7, static_cast<int32_t>(s), 0), QUOR_RC_OK);
        EXPECT_EQ(quorCreateBaseVProperty(n, 8, base.data(), base.size(), kMax, 0), QUOR_RC_OK);
        EXPECT_EQ(quorCreateDependentNodeList(n, nullptr, nullptr, nullptr, kMax, 0, 0), QUOR_RC_OK);
        EXPECT_EQ(quorActivateNode(&n), QUOR_RC_OK);
        EXPECT_EQ(quorSetRCForBaseRProperty(n, 7, s * 11, 0), QUOR_RC_OK);
        for (uint64_t k = 1; k <= 3; ++k) {
            const std::string id2 = "id" + std::to_string(k * s), value = "v" + std::to_string(k + s);
            EXPECT_EQ(quorAddRProperty(n, k * 10, static_cast<int32_t>(s * 100 + k), 0), QUOR_RC_OK);
            EXPECT_EQ(quorSetRCForRProperty(n, k * 10, s + k, 0), QUOR_RC_OK);
            if (k == 3) continue;
            EXPECT_EQ(quorAddVProperty(n, k, value.size(), value.data(), 0), QUOR_RC_OK);
            EXPECT_EQ(quorSetRCForVProperty(n, k, s * k, 0), QUOR_RC_OK);
            EXPECT_EQ(quorAddIRProperty(n, k, id2.size(), id2.data(), static_cast<int32_t>(-k), 0),
                      QUOR_RC_OK);
            EXPECT_EQ(quorAddIVProperty(n, k + 1, id2.size(), id2.data(), value.size(), value.data(), 0),
                      QUOR_RC_OK);
            EXPECT_EQ(quorSetRCForIVProperty(n, k + 1, id2.size(), id2.data(), k, 0), QUOR_RC_OK);
        }
        for (uint64_t u = 0; u < s % 3; ++u) EXPECT_EQ(quorUpdateNodeStatus(n), QUOR_RC_OK);
        if (parent != nullptr) {
            SNodeInfo_t info = locator(n);
            EXPECT_EQ(quorAddDependentNode(parent, &info, id.data(), id.size(), 0, 0), QUOR_RC_OK);
        }
        return n;
    }

    // `fanout` children per node below `top`, `levels` deep.
    void grow(SNodeCB_t *top, uint64_t fanout, uint64_t levels) {
        if (levels == 0) return;
        for (uint64_t i = 0; i < fanout; ++i) {
            SNodeCB_t *child = node("n" + std::to_string(i), levels > 1 ? fanout : 0, top);
            grow(child, fanout, levels - 1);
        }
    }
};

bool segmentExists(const IpcResId &id) { return access(("/dev/shm" + segmentPath(id)).c_str(), F_OK) == 0; }

class CopyTest : public SegmentTest {
protected:
    // A tree of 1 + fanout + fanout^2 + ... nodes in a new segment, plus one
    // abandoned child of the top, which no copy may take along.
    SNodeCB_t *buildTree(const std::string &label, uint64_t fanout, uint64_t levels, ShmSegInfo_t **seg) {
        *seg = create(label, kTreeSegment);
        PropertyTree tree{*seg};
        SNodeCB_t *top = tree.node("top", fanout + 1, nullptr);
        const auto offset = static_cast<uint64_t>(reinterpret_cast<unsigned char *>(top) -
                                                  static_cast<unsigned char *>((*seg)->domainHandle->base));
        EXPECT_EQ(quorPutTopNodeInfoIntoDomainHeader((*seg)->domainHandle, top->tag, offset,
                                                     (*seg)->poolHandle->poolHeapOffset),
                  QUOR_RC_OK);
        tree.grow(top, fanout, levels);
        SNodeCB_t *gone = tree.node("abandoned", 1, top);
        EXPECT_EQ(quorAbandonNode(&gone), QUOR_RC_OK);
        return top;
    }

    // What a copy of the tree below `top` holds: the same, less the abandoned
    // child of the top.
    static TreeImage copyOf(SNodeCB_t *top, uint64_t fanout) {
        TreeImage image = imageOf(top);
        image[""]["dependents"] = std::to_string(fanout) + " of " + std::to_string(fanout + 1);
        return image;
    }

    uint32_t copy(SNodeCB_t *top, ShmSegInfo_t **source, uint32_t mode, const IpcResId *newName,
                  SNodeCB_t **newTop, ShmSegInfo_t **target, uint64_t *bytes = nullptr) {
        uint64_t count = 0;
        return quorCopyTreeIntoSingleShmSegment(top, newTop, source, target, kTreeSegment, newName, nullptr,
                                                mode, 0, bytes != nullptr ? bytes : &count);
    }
};

TEST_F(CopyTest, EveryTargetModeGathersTheSameTreeIntoOneSegment) {
    for (uint32_t mode : {QUOR_COPY_TARGET_NEW_SEGMENT, QUOR_COPY_TARGET_VIA_PM, QUOR_COPY_TARGET_VIA_TEMP}) {
        SCOPED_TRACE(mode);
        const std::string m = std::to_string(mode);
        ShmSegInfo_t *source = nullptr;
        SNodeCB_t *top = buildTree("source" + m, 6, 3, &source);
        const IpcResId oldName = source->segName;
        const TreeImage expected = copyOf(top, 6);
        ASSERT_EQ(expected.size(), 1u + 6 + 36 + 216);

        IpcResId newName = name("new" + m);
        SNodeCB_t *newTop = nullptr;
        ShmSegInfo_t *target = nullptr;
        uint64_t bytes = 0;
        ASSERT_EQ(copy(top, &source, mode, mode == QUOR_COPY_TARGET_VIA_PM ? nullptr : &newName, &newTop,
                       &target, &bytes),
                  QUOR_RC_OK);
        EXPECT_EQ(source, nullptr);
        ASSERT_NE(target, nullptr);
        ASSERT_NE(newTop, nullptr);
        EXPECT_GT(bytes, expected.size() * QUOR_NODE_CB_SIZE);
        EXPECT_EQ(differences(imageOf(newTop), expected), "");

        // Where the new tree lives: a new name, or the old one (the temporary
        // segment gone again).
        const IpcResId &home = mode == QUOR_COPY_TARGET_NEW_SEGMENT ? newName : oldName;
        EXPECT_STREQ(target->segName.name, home.name);
        EXPECT_EQ(segmentExists(oldName), mode != QUOR_COPY_TARGET_NEW_SEGMENT);
        EXPECT_EQ(segmentExists(newName), mode == QUOR_COPY_TARGET_NEW_SEGMENT);

        // An unrelated process finds the same tree through the domain header.
        const pid_t child = spawn([&] {
            freshLibrary();
            SNodeCB_t *connected = nullptr;
            ShmSegInfo_t *seg = connectTree(home, &connected);
            return seg != nullptr && imageOf(connected) == expected ? 0 : 1;
        });
        EXPECT_EQ(waitChild(child), 0);
        remove(target);
    }
    EXPECT_EQ(hostMemLiveBlocks(nullptr), baseline);
}

TEST_F(CopyTest, FailedAllocationsLeaveACompleteTreeOrNothing) {
    for (uint32_t mode : {QUOR_COPY_TARGET_NEW_SEGMENT, QUOR_COPY_TARGET_VIA_PM}) {
        SCOPED_TRACE(mode);
        IpcResId newName = name("swept" + std::to_string(mode));
        uint64_t failures = 0;
        for (uint64_t n = 1;; ++n) {
            ASSERT_LT(n, 5000u);
            ShmSegInfo_t *source = nullptr;
            SNodeCB_t *top = buildTree("sweep", 3, 2, &source);
            const IpcResId oldName = source->segName;
            const TreeImage expected = copyOf(top, 3), untouched = imageOf(top);
            SNodeCB_t *newTop = nullptr;
            ShmSegInfo_t *target = nullptr;
            hostMemFailAfter(n, 0);
            const uint32_t rc = copy(top, &source, mode, mode == QUOR_COPY_TARGET_VIA_PM ? nullptr : &newName,
                                     &newTop, &target);
            hostMemFailAfter(0, 0);
            if (target != nullptr) {
                // Handed out means complete, whatever the old tree's fate.
                EXPECT_TRUE(rc == QUOR_RC_OK || rc == QUOR_RC_COPY_TREE_FINISH_FAILED) << n;
                EXPECT_EQ(differences(imageOf(newTop), expected), "") << n;
                remove(target);
            } else {
                ++failures;
                EXPECT_NE(rc, QUOR_RC_OK) << n;
                EXPECT_EQ(newTop, nullptr);
                EXPECT_FALSE(segmentExists(newName)) << n;
                if (source != nullptr) {
                    // Nothing of the old tree was changed, or, when its segment
                    // was already gone, it was rebuilt whole under its name.
                    SNodeCB_t *now = nullptr;
                    ASSERT_EQ(quorGetTopNodeCBPtrFromShmSegInfo(source, &now), QUOR_RC_OK) << n;
                    // (The rebuilt segment may be mapped where the old one was.)
                    const TreeImage image = imageOf(now);
                    EXPECT_TRUE(differences(image, untouched).empty() || differences(image, expected).empty())
                        << n << differences(image, untouched);
                } else {
                    EXPECT_FALSE(segmentExists(oldName)) << n;
                }
            }
            remove(source);
            EXPECT_EQ(hostMemLiveBlocks(nullptr), baseline) << n;
            if (rc == QUOR_RC_OK) break;
        }
        EXPECT_GT(failures, 2u);
    }
}

TEST_F(CopyTest, RecreationGivesMoreRoomAndTakesTheOldEntry) {
    ShmSegInfo_t *seg = create("recreate", kTreeSegment);
    PropertyTree tree{seg};
    SNodeCB_t *top = tree.node("top", 2, nullptr);
    SNodeCB_t *full = tree.node("full", 10, top);
    for (int i = 0; i < 10; ++i) tree.node("c" + std::to_string(i), 0, full);
    const TreeImage before = imageOf(top);
    const uint64_t blocks = [&] {
        ShmPoolInfo_t info{};
        EXPECT_EQ(quorGetShmPoolInfo(seg->poolHandle, &info), QUOR_RC_OK);
        return info.allocCount;
    }();

    struct Case {
        uint64_t wanted, room;
    };
    SNodeCB_t *current = full;
    for (const Case c : {Case{4, 10}, Case{25, 25}}) {
        SCOPED_TRACE(c.wanted);
        SNodeCB_t *old = current, *fresh = nullptr;
        ASSERT_EQ(quorRecreateNodeWithMoreDepNodes(&old, &fresh, seg, seg, c.wanted, nullptr), QUOR_RC_OK);
        ASSERT_NE(fresh, nullptr);
        uint64_t count = 0, room = 0;
        EXPECT_EQ(quorReturnNumberOfDependentNodes(fresh, &count, &room, 0), QUOR_RC_OK);
        EXPECT_EQ(count, 10u);
        EXPECT_EQ(room, c.room);
        EXPECT_EQ(old->NodeCondition, QUOR_NODE_DISASSOCIATED);
        EXPECT_EQ(old->optionFlags & QUOR_NODE_OPT_RECREATING, QUOR_NODE_OPT_RECREATING);
        EXPECT_EQ(fresh->NodeCondition, QUOR_NODE_ACTIVE);
        EXPECT_EQ(fresh->optionFlags & QUOR_NODE_OPT_RECREATING, 0u);
        // The parent's entry was overwritten, not added to, and now leads to the
        // copy; the tree reads as before but for the larger list.
        EXPECT_EQ(quorReturnNumberOfDependentNodes(top, &count, &room, 0), QUOR_RC_OK);
        EXPECT_EQ(count, 1u);
        SNodeInfo_t *entry = nullptr;
        SNodeCB_t *named = nullptr;
        ASSERT_EQ(quorFindDependentNode(&entry, top, fresh->tag, 4, "full", 0), QUOR_RC_OK);
        ASSERT_EQ(quorGetControlBlockPtrFromSNodeInfo(entry, &named), QUOR_RC_OK);
        EXPECT_EQ(named, fresh);
        TreeImage after = imageOf(top), expected = before;
        expected["/full"]["dependents"] = "10 of " + std::to_string(c.room);
        expected["/full"]["area 4096"] = after["/full"]["area 4096"];  // the wish was saved there
        EXPECT_EQ(differences(after, expected), "");
        // The caller gives the old block back once nobody uses the old node.
        EXPECT_EQ(quorDisclaimNode(&old, seg->poolHandle, QUOR_EYECATCHER), QUOR_RC_OK);
        current = fresh;
    }
    ShmPoolInfo_t info{};
    EXPECT_EQ(quorGetShmPoolInfo(seg->poolHandle, &info), QUOR_RC_OK);
    EXPECT_EQ(info.allocCount, blocks);
    remove(seg);
}

// A list entry that leads back to an ancestor ends the copy with a code: no new
// segment, no private memory, the old tree still in place.
TEST_F(CopyTest, CyclicTreeEndsTheCopyWithACode) {
    ShmSegInfo_t *source = create("cyclic", kTreeSegment);
    PropertyTree tree{source};
    SNodeCB_t *top = tree.node("top", 1, nullptr);
    const auto offset = static_cast<uint64_t>(reinterpret_cast<unsigned char *>(top) -
                                              static_cast<unsigned char *>(source->domainHandle->base));
    ASSERT_EQ(quorPutTopNodeInfoIntoDomainHeader(source->domainHandle, top->tag, offset,
                                                 source->poolHandle->poolHeapOffset),
              QUOR_RC_OK);
    SNodeCB_t *child = tree.node("child", 1, top);
    SNodeInfo_t back = tree.locator(top);
    ASSERT_EQ(quorAddDependentNode(child, &back, "top", 3, 0, 0), QUOR_RC_OK);
    const uint64_t live = hostMemLiveBlocks(nullptr);
    IpcResId newName = name("cyclic-new");
    SNodeCB_t *newTop = nullptr;
    ShmSegInfo_t *target = nullptr;
    EXPECT_EQ(copy(top, &source, QUOR_COPY_TARGET_NEW_SEGMENT, &newName, &newTop, &target),
              QUOR_RC_COPY_TREE_FAILED);
    EXPECT_EQ(target, nullptr);
    EXPECT_FALSE(segmentExists(newName));
    EXPECT_EQ(hostMemLiveBlocks(nullptr), live);
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(top->NodeCondition, QUOR_NODE_ACTIVE);
    remove(source);
}

// A tree copied into private memory and from there into a segment: a child
// that became abandoned in between is passed over with the skip marker, and a
// copied parent left without children carries no list bit.
TEST_F(CopyTest, PassedOverChildLeavesItsCopiedParentWithoutList) {
    ShmSegInfo_t *source = create("marker-source", kTreeSegment);
    ShmSegInfo_t *target = create("marker-target", kTreeSegment);
    PropertyTree tree{source};
    SNodeCB_t *top = tree.node("top", 2, nullptr);
    SNodeCB_t *middle = tree.node("middle", 1, top);
    tree.node("leaf", 0, middle);
    SNodeCB_t *saved = nullptr;
    uint32_t skipped = 0;
    uint64_t bytes = 0;
    ASSERT_EQ(quorCopyTreeRecursively(top, &saved, source, nullptr, source, QUOR_ACTION_UNCONDITIONAL,
                                      QUOR_COPY_CREATE_IN_PM, 0, 0, 0, 0, nullptr, &skipped, &bytes, 1, 0),
              QUOR_RC_OK);
    ASSERT_NE(saved, nullptr);
    EXPECT_EQ(skipped, 0u);
    tree::DepList list;
    ASSERT_EQ(tree::openDependentList(saved, &list), QUOR_RC_OK);
    auto *savedMiddle = reinterpret_cast<SNodeCB_t *>(static_cast<uintptr_t>(list.slot(0)->nodeOffset));
    ASSERT_EQ(tree::openDependentList(savedMiddle, &list), QUOR_RC_OK);
    auto *savedLeaf = reinterpret_cast<SNodeCB_t *>(static_cast<uintptr_t>(list.slot(0)->nodeOffset));
    savedLeaf->NodeCondition = QUOR_NODE_ABANDONED;

    SNodeCB_t *copy = nullptr;
    ASSERT_EQ(quorCopyTreeRecursively(saved, &copy, nullptr, target, nullptr, QUOR_ACTION_UNCONDITIONAL,
                                      QUOR_COPY_CREATE_FROM_PM, 0, 0, 0, 0, nullptr, &skipped, &bytes, 1, 0),
              QUOR_RC_OK);
    ASSERT_NE(copy, nullptr);
    const TreeImage image = imageOf(copy);
    ASSERT_EQ(image.count("/middle"), 1u);
    EXPECT_EQ(image.count("/middle/leaf"), 0u);
    EXPECT_EQ(std::stoull(image.at("/middle").at("flags")) & QUOR_KIND_DEPENDENTS, 0u);
    EXPECT_EQ(image.at("").at("dependents"), "1 of 2");

    // A top passed over hands back the marker and no copy.
    saved->NodeCondition = QUOR_NODE_ABANDONED;
    ASSERT_EQ(quorCopyTreeRecursively(saved, &copy, nullptr, target, nullptr, QUOR_ACTION_UNCONDITIONAL,
                                      QUOR_COPY_CREATE_FROM_PM, 0, 0, 0, 0, nullptr, &skipped, &bytes, 1, 0),
              QUOR_RC_OK);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(skipped, QUOR_COPY_SKIPPED);

    // The private tree is its maker's to give back.
    for (SNodeCB_t *node : {savedLeaf, savedMiddle, saved}) {
        void *block = node;
        EXPECT_EQ(hostMemFree(&block, 0, 0, src::tree, __LINE__), 0u);
    }
    remove(source);
    remove(target);
    EXPECT_EQ(hostMemLiveBlocks(nullptr), baseline);
}

// The operations a copy includes write their own records; a refused argument
// is reported as the copy's failure with its own code recorded as the cause.
TEST_F(CopyTest, IncludedOperationsWriteTheirRecordsAndCausesAreRecorded) {
    ShmSegInfo_t *source = nullptr;
    SNodeCB_t *top = buildTree("traced", 1, 1, &source);
    IpcResId newName = name("traced-new");
    SNodeCB_t *newTop = nullptr;
    ShmSegInfo_t *target = nullptr;
    TraceRecorder recorder;
    recorder.enable(true);
    ShmDomainOptions_t misaligned{};
    misaligned.heapOffset = 12;
    uint64_t bytes = 0;
    EXPECT_EQ(quorCopyTreeIntoSingleShmSegment(top, &newTop, &source, &target, kTreeSegment, &newName,
                                               &misaligned, QUOR_COPY_TARGET_NEW_SEGMENT, 0, &bytes),
              QUOR_RC_COPY_TREE_FAILED);
    bool causeRecorded = false;
    for (const TraceRecord &r : recorder.records()) {
        causeRecorded |= r.kind == TraceRecord::ErrorVar &&
                         r.functionId == static_cast<uint32_t>(Fn::quorCopyTreeIntoSingleShmSegment) &&
                         r.value == QUOR_RC_HEAP_OFFSET_NOT_ALIGNED;
    }
    EXPECT_TRUE(causeRecorded);

    recorder.clear();
    ASSERT_EQ(copy(top, &source, QUOR_COPY_TARGET_NEW_SEGMENT, &newName, &newTop, &target), QUOR_RC_OK);
    std::set<uint32_t> entered;
    for (const TraceRecord &r : recorder.records()) {
        if (r.kind == TraceRecord::Entry) entered.insert(r.functionId);
    }
    for (Fn fn :
         {Fn::quorGetProtectedStatusSegment, Fn::quorCopyTreeRecursively, Fn::quorCopyNode,
          Fn::quorCreateMaxSpaceArray, Fn::quorCreateNode, Fn::quorCopyNodeData, Fn::quorCreateRPropertyList,
          Fn::quorAddIVProperty, Fn::quorCreateBaseVProperty, Fn::quorAddDependentNode,
          Fn::quorPutTopNodeInfoIntoDomainHeader, Fn::quorAbandonNode, Fn::quorDeleteStatusSegment}) {
        EXPECT_EQ(entered.count(static_cast<uint32_t>(fn)), 1u) << static_cast<uint32_t>(fn);
    }
    remove(target);
}

TEST_F(CopyTest, BadInputIsRefusedAndChangesNothing) {
    ShmSegInfo_t *source = nullptr;
    SNodeCB_t *top = buildTree("bad", 2, 1, &source);
    // A node of the tree, and one with an ID area alone (no dependent list).
    SNodeCB_t *leaf = nullptr;
    {
        tree::DepList list;
        ASSERT_EQ(tree::openDependentList(top, &list), QUOR_RC_OK);
        tree::DepCursor cursor(list);
        tree::DepEntry entry;
        bool done = false;
        ASSERT_EQ(cursor.next(&entry, &done), QUOR_RC_OK);
        ASSERT_EQ(tree::resolveLocator(entry.info, &leaf), QUOR_RC_OK);
    }
    SNodeCB_t *withoutList = nullptr;
    const uint64_t offset = createIdNode(source, &withoutList);
    ASSERT_EQ(quorInitNode(&withoutList, offset, 5, "plain", nullptr, nullptr, 32, nullptr, nullptr, nullptr),
              QUOR_RC_OK);
    ASSERT_EQ(quorActivateNode(&withoutList), QUOR_RC_OK);
    const TreeImage expected = imageOf(top);
    const std::vector<std::string> names = registryNames();
    IpcResId newName = name("bad-new");
    ShmDomainOptions_t misaligned{}, oversized{};
    misaligned.heapOffset = 12;
    oversized.userAppAreaSize = kTreeSegment + 8;
    SNodeCB_t *newTop = nullptr;
    ShmSegInfo_t *target = nullptr, *none = nullptr;
    uint64_t bytes = 0;
    struct Case {
        const char *what;
        bool refused;  // with the expected code
    };
    auto into = [&](SNodeCB_t *from, SNodeCB_t **out, ShmSegInfo_t **src, const ShmDomainOptions_t *options,
                    uint32_t mode, uint64_t depth, uint64_t *count) {
        return quorCopyTreeIntoSingleShmSegment(from, out, src, &target, kTreeSegment, &newName, options,
                                                mode, depth, count);
    };
    const Case cases[] = {
        {"null source record", into(top, &newTop, &none, nullptr, 1, 0, &bytes) == QUOR_RC_NOT_ATTACHED},
        {"null new top", into(top, nullptr, &source, nullptr, 1, 0, &bytes) == QUOR_RC_NULL_PARAMETER},
        {"null byte count",
         into(top, &newTop, &source, nullptr, 1, 0, nullptr) == QUOR_RC_NULL_COPY_SIZE_OUTPUT},
        {"null top", into(nullptr, &newTop, &source, nullptr, 1, 0, &bytes) == QUOR_RC_NULL_PARAMETER},
        {"target mode", into(top, &newTop, &source, nullptr, 4, 0, &bytes) == QUOR_RC_COPY_TREE_FAILED},
        {"misaligned option",
         into(top, &newTop, &source, &misaligned, 1, 0, &bytes) == QUOR_RC_COPY_TREE_FAILED},
        {"oversized option",
         into(top, &newTop, &source, &oversized, 1, 0, &bytes) == QUOR_RC_COPY_TREE_FAILED},
        {"depth",
         into(top, &newTop, &source, nullptr, 1, QUOR_MAX_COUNT + 1, &bytes) == QUOR_RC_COPY_TREE_FAILED},
        {"top without list",
         into(withoutList, &newTop, &source, nullptr, 1, 0, &bytes) == QUOR_RC_COPY_TREE_FAILED},
    };
    for (const Case &c : cases) EXPECT_TRUE(c.refused) << c.what;

    SNodeCB_t *copyOut = nullptr;
    uint64_t size = 0;
    EXPECT_EQ(
        quorCopyNode(source, source, nullptr, &copyOut, 0, 0, 0, 0, nullptr, nullptr, &size, 3, 1, 0x11),
        QUOR_RC_NULL_PARAMETER);
    EXPECT_EQ(quorCopyNode(source, nullptr, leaf, &copyOut, 0, 0, 0, 0, nullptr, nullptr, &size, 2, 1, 0x11),
              QUOR_RC_NOT_ATTACHED);
    EXPECT_EQ(quorCopyNode(source, source, leaf, &copyOut, 0, 0, 0, 0, nullptr, nullptr, &size, 3, 3, 0x11),
              QUOR_RC_BAD_CAPACITY_MODE);
    EXPECT_EQ(quorCopyNode(source, source, leaf, &copyOut, 0, 0, 0, 0, nullptr, nullptr, &size, 4, 1, 0x11),
              QUOR_RC_BAD_CREATE_MODE);
    EXPECT_EQ(quorCopyNode(source, source, leaf, &copyOut, 0, 0, 0, 0, nullptr, nullptr, nullptr, 3, 1, 0x11),
              QUOR_RC_NULL_COPY_SIZE_OUTPUT);
    EXPECT_EQ(copyOut, nullptr);
    SNodeCB_t *old = nullptr, *fresh = nullptr;
    EXPECT_EQ(quorRecreateNodeWithMoreDepNodes(&old, &fresh, source, source, 4, nullptr),
              QUOR_RC_NULL_PARAMETER);
    old = leaf;
    EXPECT_EQ(quorRecreateNodeWithMoreDepNodes(&old, &fresh, nullptr, source, 4, nullptr),
              QUOR_RC_NOT_ATTACHED);
    EXPECT_EQ(quorRecreateNodeWithMoreDepNodes(&old, &fresh, source, source, QUOR_MAX_COUNT + 1, nullptr),
              QUOR_RC_TOO_MANY_DEPENDENTS);

    EXPECT_EQ(target, nullptr);
    EXPECT_FALSE(segmentExists(newName));
    EXPECT_EQ(registryNames(), names);
    EXPECT_EQ(differences(imageOf(top), expected), "");
    remove(source);
}

}  // namespace
}  // namespace quor::test
