// The shared records that lead from a status segment to its nodes, corrupted:
// the tree's words in the domain header (pool offset, top-node offset and tag),
// a node locator stored in a pool block, the segment descriptor it names and
// the top node's control block. The segment is this process's protected one in
// caller memory, so no operation maps anything new. Any return code is fine; a
// crash, a hang, an access outside the segment or a node address handed out
// that does not lie wholly inside the segment is a fault.
#include <array>

#include "frame/state.h"
#include "fuzz_support.h"

using namespace quor::fuzz;

namespace {

constexpr uint64_t kSize = 256 * 1024;
constexpr uint64_t kTag = 0x99;

// A byte range of the segment that the corruption may touch.
struct Target {
    uint64_t begin, length;
};

struct LocatorImage {
    unsigned char *segment = guardedMapping(kSize);
    std::vector<unsigned char> pristine;
    ShmSegInfo_t *seg = nullptr;
    SNodeInfo_t *stored = nullptr;  // the locator in its pool block
    std::vector<Target> targets;
    uint64_t liveBlocks = 0;  // private blocks the library holds between inputs
    Ranges keep;

    LocatorImage() {
        silenceStdout();
        require(QUOROneTimeOnlyInitialization(QUOR_EYECATCHER, QUOR_EYECATCHER) == 0, "library");
        std::memset(segment, 0, kSize);
        ShmDomainOptions_t options{};
        options.mode = QUOR_SHM_MODE_USER_MEMORY;
        require(quorGetProtectedStatusSegment(&seg, kSize, nullptr, segment, 0, &options, nullptr) == 0,
                "segment");

        std::array<uint64_t, 64> sizes{};
        uint64_t total = 0, offset = 0;
        require(quorCreateMaxSpaceArray(QUOR_KIND_ID, 0, 0, 0, 0, 0, 32, 1, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0,
                                        0, sizes.data(), &total) == 0,
                "sizes");
        SNodeCB_t *node = nullptr;
        require(quorCreateNode(seg, &node, QUOR_KIND_ID, sizes.data(), &total, &offset) == 0, "node");
        require(quorInitNode(&node, offset, 3, "top", nullptr, nullptr, 32, nullptr, nullptr, nullptr) == 0,
                "init");
        require(quorSetNodeTag(node, kTag, 0) == 0, "tag");
        require(quorActivateNode(&node) == 0, "activate");
        const uint64_t poolOffset = seg->poolHandle->poolHeapOffset;
        require(quorPutTopNodeInfoIntoDomainHeader(seg->domainHandle, kTag, offset, poolOffset) == 0,
                "record");

        SNodeInfo_t built{};
        require(quorAddStatusNodeInfo(&built, seg, seg, offset, kTag, 0, nullptr) == 0, "locator");
        void *block = nullptr;
        require(_quorAllocateShmBlock(&block, seg->poolHandle, sizeof built, 0, 0, __LINE__, "fuzz") == 0,
                "block");
        stored = static_cast<SNodeInfo_t *>(block);
        const uint64_t at = static_cast<unsigned char *>(block) - segment;
        *stored = built;
        stored->selfDisplacement = at;
        stored->segBase = 0;

        const uint64_t H = seg->domainHandle->heapOffset;
        const auto *header = reinterpret_cast<const HHeader_t *>(segment + H);
        const uint64_t tail = H + QUOR_HHEADER_FIXED_SIZE + QUOR_ROUND8(header->userAppAreaSize);
        targets = {
            {H + offsetof(HHeader_t, treePoolOffset), 8},
            {tail + offsetof(HHeaderTail_t, topNodeOffset), 16},
            {at, sizeof built},
            {built.segDescOffset, QUOR_SEG_INFO_DESC_SIZE},
            {offset, sizeof(SNodeCB_t)},
        };
        // The node's latches and its size word (see fuzz_node.cpp).
        for (uint64_t block : {offsetof(SNodeCB_t, nodeLatch), offsetof(SNodeCB_t, spareLatch)}) {
            for (uint64_t latch :
                 {offsetof(NodeLatchBlock_t, accessLatch), offsetof(NodeLatchBlock_t, spareAccessLatch)})
                keep.emplace_back(offset + block + latch, offset + block + latch + QUOR_HOST_LATCH_SIZE);
        }
        keep.emplace_back(offset + offsetof(SNodeCB_t, nodeSize), offset + offsetof(SNodeCB_t, nodeSize) + 8);
        pristine.assign(segment, segment + kSize);
        liveBlocks = hostMemLiveBlocks(nullptr);
    }

    // Overwrites the bytes or words the input names inside the targets.
    void corrupt(FuzzedDataProvider &in) {
        const size_t count = in.ConsumeIntegralInRange<size_t>(0, kMaxCorruptions);
        for (size_t i = 0; i < count && in.remaining_bytes() > 0; ++i) {
            const Target &target = targets[in.ConsumeIntegralInRange<size_t>(0, targets.size() - 1)];
            const bool word = in.ConsumeBool();
            uint64_t offset = target.begin + in.ConsumeIntegral<uint16_t>() % target.length;
            if (word) {
                offset &= ~uint64_t{7};
                if (offset < target.begin || offset + 8 > target.begin + target.length) continue;
                const uint64_t value = in.ConsumeIntegral<uint64_t>();
                if (!quor::fuzz::kept(keep, offset, 8)) std::memcpy(segment + offset, &value, 8);
            } else {
                const uint8_t value = in.ConsumeIntegral<uint8_t>();
                if (!quor::fuzz::kept(keep, offset, 1)) segment[offset] = value;
            }
        }
    }

    // A node address handed out must lie wholly inside the segment.
    void inside(const SNodeCB_t *node) const {
        const auto *p = reinterpret_cast<const unsigned char *>(node);
        if (p < segment || p > segment + kSize - sizeof(SNodeCB_t)) {
            std::fprintf(stderr, "node address outside the segment: %p\n", static_cast<const void *>(p));
            std::abort();
        }
    }

    uint32_t refCount() const {
        uint32_t count = 0;
        require(quorGetShmAttachRefCount(seg, &count) == 0, "count");
        return count;
    }
};

struct Run {
    LocatorImage &image;
    SNodeInfo_t copy{};  // a private copy of the stored locator, taken when asked

    // The stored locator, a private copy of it as it reads, or a private copy
    // in the form a caller builds (no self displacement, the segment's base).
    SNodeInfo_t *locator(FuzzedDataProvider &in) {
        const uint8_t form = in.ConsumeIntegralInRange<uint8_t>(0, 2);
        if (form == 0) return image.stored;
        copy = *image.stored;
        if (form == 2) {
            copy.selfDisplacement = 0;
            copy.segBase = reinterpret_cast<uintptr_t>(image.segment);
        }
        return &copy;
    }

    // True when the locator resolves without attaching a segment: the attach
    // operations then stay inside this process's protected segment.
    bool resolvesHere(SNodeInfo_t *info) {
        SNodeCB_t *node = nullptr;
        return quorGetControlBlockPtrFromSNodeInfo(info, &node) != QUOR_RC_SEGMENT_NOT_REGISTERED;
    }

    void step(FuzzedDataProvider &in) {
        ShmSegInfo_t *seg = image.seg;
        switch (in.ConsumeIntegralInRange<uint8_t>(0, 6)) {
            case 0: {
                uint64_t tag = 0, top = 0, pool = 0;
                quorGetTopNodeInfoFromDomainHeader(seg->domainHandle, &tag, &top, &pool);
                break;
            }
            case 1: {
                SNodeCB_t *node = nullptr;
                if (quorGetTopNodeCBPtrFromShmSegInfo(seg, &node) == 0) image.inside(node);
                break;
            }
            case 2: {
                ShmSegInfo_t *attached = nullptr;
                SNodeCB_t *node = nullptr;
                TopNodeInfo info{};
                ShmDomainOptions_t options{};
                options.mode = QUOR_SHM_MODE_USER_MEMORY;
                if (quorAttachToTopNode(&attached, &node, &info, nullptr, image.segment, &options, nullptr) ==
                    0) {
                    image.inside(node);
                    require(quorDetachFromTopNode(&attached, QUOR_DETACH_RELEASE) == 0, "detach");
                }
                break;
            }
            case 3: {
                SNodeCB_t *node = nullptr;
                if (quorGetControlBlockPtrFromSNodeInfo(locator(in), &node) == 0) image.inside(node);
                break;
            }
            case 4: {
                SNodeCB_t *node = nullptr;
                ShmSegInfo_t *found = nullptr;
                uint32_t differs = 0;
                const uint32_t options = in.ConsumeBool() ? QUOR_LOCATOR_COMPARE_SEGMENT : 0;
                ShmSegInfo_t *reference = in.ConsumeBool() ? seg : nullptr;
                if (quorGetShmSegInfoPtrUsingSNodeInfo(locator(in), &node, &found, reference, &differs,
                                                       options) == 0)
                    image.inside(node);
                break;
            }
            case 5: {
                SNodeInfo_t *info = locator(in);
                if (!resolvesHere(info)) break;
                SNodeCB_t *node = nullptr;
                ShmSegInfo_t *found = nullptr;
                uint32_t differs = 0;
                const uint32_t options = in.ConsumeBool() ? QUOR_LOCATOR_COMPARE_SEGMENT : 0;
                const uint32_t rc = in.ConsumeBool() ? quorAttachToNode(info, &node)
                                                     : quorAttachToNodeAndGetSegInfo(info, &node, &found, seg,
                                                                                     &differs, options);
                if (rc == 0) image.inside(node);
                break;
            }
            case 6: {
                // A detach through the locator drops the extra reference taken
                // here when it names the protected segment; the count is put
                // back when the input ends either way.
                require(quorUpdateShmAttachRefCount(seg, QUOR_REFCOUNT_INCREMENT) == 0, "reference");
                quorDetachFromNode(locator(in), QUOR_DETACH_RELEASE);
                break;
            }
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static LocatorImage image;
    FuzzedDataProvider in(data, size);
    std::memcpy(image.segment, image.pristine.data(), kSize);
    image.corrupt(in);
    Run run{image};
    for (size_t i = 0; i < kMaxOperations && in.remaining_bytes() > 0; ++i) run.step(in);
    // The registry is as it was for the next input: one reference, nothing else.
    while (image.refCount() > 1) require(quorUpdateShmAttachRefCount(image.seg, 2) == 0, "release");
    require(image.refCount() == 1 && quor::lib().attachInfoList->first == nullptr, "registry");
    require(hostMemLiveBlocks(nullptr) == image.liveBlocks, "private blocks");
    return 0;
}
