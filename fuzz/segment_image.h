// A caller-memory domain with one pool and a few blocks, built once per pad
// layout and copied back over the guarded segment before every input.
#pragma once

#include <array>

#include "fuzz_support.h"

namespace quor::fuzz {

inline constexpr uint64_t kSegmentSize = 256 * 1024;
inline constexpr uint64_t kPoolSize = 48 * 1024;
inline constexpr uint32_t kCaller = 0x0822fe01;
inline constexpr char kFile[24] = "fuzz";
inline constexpr size_t kBlocks = 8;

// One valid segment and the handles and addresses that reach into it. The
// handles are private memory and stay valid across inputs: the segment is
// always mapped at the same place.
struct SegmentImage {
    std::vector<unsigned char> pristine;
    ShmDomainHandle_t *domain = nullptr;
    ShmPoolHandle_t *pool = nullptr;
    std::array<void *, kBlocks> blocks{};  // null where the block was freed
    uint64_t chunk = 0, chunkUser = 0;     // a domain chunk carved outside any pool
    Ranges latches;
};

// Builds the structure in `segment`: a mode-3 domain, a pool whose heap uses
// `poolPad` pads (domain chunks use `domainPad`), eight blocks of which two are
// freed again, and one raw domain chunk. Leaves the bytes in image.pristine.
inline void buildSegment(unsigned char *segment, uint32_t domainPad, uint32_t poolPad, SegmentImage *image) {
    std::memset(segment, 0, kSegmentSize);
    ShmDomainOptions_t options{};
    options.mode = QUOR_SHM_MODE_USER_MEMORY;
    require(quorCreateShmDomain(nullptr, segment, kSegmentSize, &options, &image->domain) == 0, "domain");
    const uint64_t H = image->domain->heapOffset;
    require(
        quorSetShmDebug(segment, QUOR_HEAP_KIND_DOMAIN, H, QUOR_DEBUG_DEFAULT_FLAGS, domainPad, 3, 2) == 0,
        "domain pads");
    require(_quorCreateShmPool(&image->pool, image->domain, kPoolSize, nullptr, kCaller, 1, kFile) == 0,
            "pool");
    const uint64_t P = image->pool->poolHeapOffset;
    require(quorSetShmDebug(segment, QUOR_HEAP_KIND_POOL, P, QUOR_DEBUG_DEFAULT_FLAGS, poolPad, 2, 3) == 0,
            "pool pads");
    for (size_t i = 0; i < kBlocks; ++i) {
        require(_quorAllocateShmBlock(&image->blocks[i], image->pool, 16 + 40 * i, 0, kCaller, 2, kFile) == 0,
                "block");
    }
    for (size_t i : {2, 5})
        require(_quorFreeShmBlock(&image->blocks[i], image->pool, kCaller, 3, kFile) == 0, "free");
    uint64_t size = 4096;
    require(quorGetMemChunkFromShmHeap(segment, QUOR_HEAP_KIND_DOMAIN, H, 4096, 0, 0, &size, &image->chunk,
                                       &image->chunkUser, kCaller, 4, kFile) == 0,
            "chunk");
    keepHeapLatches(image->latches, segment, H);
    keepHeapLatches(image->latches, segment, P);
    image->pristine.assign(segment, segment + kSegmentSize);
}

// The segment and both images (default pads; pads with guards, checksums and
// file names), built on first use.
struct Segments {
    unsigned char *segment = guardedMapping(kSegmentSize);
    std::array<SegmentImage, 2> images;

    Segments() {
        silenceStdout();
        buildSegment(segment, QUOR_PAD_TYPE_EEBC011A, QUOR_PAD_TYPE_EEBC011A, &images[0]);
        buildSegment(segment, QUOR_PAD_TYPE_A110CBAD, QUOR_PAD_TYPE_78EC011A, &images[1]);
    }

    // Restores the image the input selects and corrupts it as the input says.
    SegmentImage &prepare(FuzzedDataProvider &in) {
        SegmentImage &image = images[in.ConsumeBool() ? 1 : 0];
        std::memcpy(segment, image.pristine.data(), kSegmentSize);
        corrupt(in, segment, kSegmentSize, image.latches);
        return image;
    }
};

}  // namespace quor::fuzz
