// Storage heaps, pools and blocks over a corrupted segment: chunks carved and
// returned, blocks allocated, checked and freed, the node space rebuilt, the
// lists dumped and the whole heap checked. Any return code is fine; a crash,
// a hang or an access outside the segment is a fault.
#include <algorithm>

#include "segment_image.h"
#include "shm/checker.h"

using namespace quor::fuzz;

namespace {

enum Operation : uint8_t {
    kGetChunk,
    kReturnChunk,
    kAllocateBlock,
    kFreeBlock,
    kCheckBlock,
    kCheckChunk,
    kCheckPool,
    kDump,
    kListAllocated,
    kCheckHeap,
    kInfo,
    kRebuild,
    kResize,
    kSetDebug,
    kUserData,
    kLatch,
    kOperationCount
};

struct Run {
    unsigned char *base;
    SegmentImage &image;
    std::vector<void *> blocks;
    std::vector<std::pair<uint64_t, uint64_t>> chunks;  // chunk and user offsets, domain heap

    uint32_t kind(FuzzedDataProvider &in) const {
        return in.ConsumeBool() ? QUOR_HEAP_KIND_POOL : QUOR_HEAP_KIND_DOMAIN;
    }
    uint64_t heapOf(uint32_t kind) const {
        return kind == QUOR_HEAP_KIND_POOL ? image.pool->poolHeapOffset : image.domain->heapOffset;
    }
    void *&block(FuzzedDataProvider &in) {
        return blocks[in.ConsumeIntegralInRange<size_t>(0, blocks.size() - 1)];
    }

    void step(FuzzedDataProvider &in) {
        switch (in.ConsumeIntegralInRange<uint8_t>(0, kOperationCount - 1)) {
            case kGetChunk: {
                const uint32_t k = kind(in);
                uint64_t size = fuzzSize(in), chunk = 0, user = 0;
                if (quorGetMemChunkFromShmHeap(base, k, heapOf(k), size, 0, 0, &size, &chunk, &user, kCaller,
                                               10, kFile) == 0 &&
                    k == QUOR_HEAP_KIND_DOMAIN) {
                    chunks.emplace_back(chunk, user);
                }
                break;
            }
            case kReturnChunk: {
                const auto [chunk, user] = chunks[in.ConsumeIntegralInRange<size_t>(0, chunks.size() - 1)];
                quorReturnMemChunkToShmHeap(base, QUOR_HEAP_KIND_DOMAIN, image.domain->heapOffset, chunk,
                                            user, 0, kCaller, 11, kFile);
                break;
            }
            case kAllocateBlock: {
                void *address = nullptr;
                if (_quorAllocateShmBlock(&address, image.pool, fuzzSize(in), 0, kCaller, 12, kFile) == 0)
                    blocks.push_back(address);
                break;
            }
            case kFreeBlock:
                _quorFreeShmBlock(&block(in), image.pool, kCaller, 13, kFile);
                break;
            case kCheckBlock:
                _quorCheckAllocShmBlock(&block(in), image.pool, kCaller, 14, kFile);
                break;
            case kCheckChunk: {
                const uint32_t k = kind(in);
                char name[QUOR_PAD_FILE_NAME_SIZE];
                const uint64_t user =
                    k == QUOR_HEAP_KIND_DOMAIN
                        ? chunks[in.ConsumeIntegralInRange<size_t>(0, chunks.size() - 1)].second
                        : static_cast<uint64_t>(static_cast<unsigned char *>(block(in)) - base);
                _quorCheckAllocShmChunk(base, k, heapOf(k), user, name, kCaller, 15, kFile);
                break;
            }
            case kCheckPool:
                _quorCheckAllocShmPool(image.domain, image.pool->poolHeapOffset, kCaller, 16, kFile);
                break;
            case kDump:
                quorPrintOutSkipLists(image.pool, kind(in), in.ConsumeIntegralInRange<uint32_t>(0, 5));
                break;
            case kListAllocated: {
                const uint32_t k = kind(in);
                _quorShmAllocSList(base, k, heapOf(k), kCaller, 17, kFile);
                break;
            }
            case kCheckHeap: {
                const uint32_t k = kind(in);
                quor::shm::HeapCheck report;
                quor::shm::checkHeap(base, k, heapOf(k), &report);
                break;
            }
            case kInfo: {
                ShmPoolInfo_t pool{};
                ShmDomainInfo_t domain{};
                quorGetShmPoolInfo(image.pool, &pool);
                quorGetShmDomainInfo(image.domain, &domain);
                break;
            }
            case kRebuild: {
                const uint32_t k = kind(in);
                quorDefragmentSLInPlace(base, k, heapOf(k));
                break;
            }
            case kResize: {
                const uint32_t k = kind(in);
                const uint32_t direction = in.ConsumeBool() ? QUOR_SL_SPACE_GROW : QUOR_SL_SPACE_SHRINK;
                uint64_t offset = 0, size = 0;
                quorChangeSlistSpace(base, k, heapOf(k), fuzzSize(in) * 8, direction, &offset, &size);
                break;
            }
            case kSetDebug: {
                const uint32_t k = kind(in);
                static constexpr uint32_t kPads[] = {QUOR_PAD_TYPE_C0DE1D1E, QUOR_PAD_TYPE_EEBC011A,
                                                     QUOR_PAD_TYPE_DABC011A, QUOR_PAD_TYPE_A110CBEE,
                                                     QUOR_PAD_TYPE_A110CBAD, QUOR_PAD_TYPE_A110CE87,
                                                     QUOR_PAD_TYPE_78EC011A};
                quorSetShmDebug(base, k, heapOf(k), in.ConsumeIntegral<uint8_t>(),
                                kPads[in.ConsumeIntegralInRange<size_t>(0, std::size(kPads) - 1)],
                                in.ConsumeIntegralInRange<uint32_t>(1, 8),
                                in.ConsumeIntegralInRange<uint32_t>(1, 8));
                break;
            }
            case kUserData: {
                // The area is copied whole into a buffer the caller sizes from the
                // stored size; both kinds go through the same checked copy.
                const uint32_t k = kind(in);
                uint64_t stored = 0;
                quorGetUserAppAreaSize(base, heapOf(k), &stored);
                std::vector<unsigned char> buffer(std::min<uint64_t>(stored, kSegmentSize) + 1);
                uint64_t size = 0;
                if (k == QUOR_HEAP_KIND_POOL) {
                    if (quorGetPoolUserAppData(image.pool, &size, buffer.data()) == 0)
                        quorSetPoolUserAppData(image.pool, size, buffer.data());
                } else if (quorGetDomainUserAppData(image.domain, &size, buffer.data()) == 0) {
                    quorSetDomainUserAppData(image.domain, size, buffer.data());
                }
                break;
            }
            case kLatch:
                if (quorLatchShmPool(image.pool) == 0) quorUnlatchShmPool(image.pool);
                if (quorLatchShmDomain(image.domain) == 0) quorUnlatchShmDomain(image.domain);
                break;
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Segments segments;
    FuzzedDataProvider in(data, size);
    SegmentImage &image = segments.prepare(in);
    Run run{segments.segment, image, {}, {}};
    for (void *address : image.blocks)
        if (address != nullptr) run.blocks.push_back(address);
    run.chunks.emplace_back(image.chunk, image.chunkUser);
    for (size_t i = 0; i < kMaxOperations && in.remaining_bytes() > 0; ++i) run.step(in);
    return 0;
}
