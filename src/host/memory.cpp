// Private memory with per-source-file accounting and fault injection.
//
// Every block carries a small header naming the source file that allocated it, so
// that a free can be charged back and tests can see what each unit still holds.
// Fault injection fails the N-th allocation from the moment it is armed, once or
// persistently, so tests can sweep every allocation of an operation.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "quor/host.h"

namespace {

constexpr const char *kSources[] = {"quori", "quor", "quorshm", "quorll"};
constexpr int kSourceCount = 4;  // index kSourceCount counts every other caller
std::atomic<uint64_t> liveBlocks[kSourceCount + 1];

constexpr uint64_t kBlockMagic = 0x51554f52424c4b31ull;  // marks blocks of this allocator

struct alignas(16) BlockHeader {
    uint64_t magic;
    uint32_t source;
    uint32_t reserved;
};

std::atomic<uint64_t> failCountdown{0};
std::atomic<bool> failPersistent{false};
std::atomic<bool> failing{false};

int sourceIndex(const char *sourceFile) {
    if (sourceFile != nullptr) {
        for (int i = 0; i < kSourceCount; ++i) {
            if (std::strcmp(sourceFile, kSources[i]) == 0) return i;
        }
    }
    return kSourceCount;
}

bool injectFailure() {
    if (failing.load(std::memory_order_relaxed)) return true;
    uint64_t left = failCountdown.load(std::memory_order_relaxed);
    while (left != 0) {
        if (failCountdown.compare_exchange_weak(left, left - 1)) {
            if (left != 1) return false;
            if (failPersistent.load()) failing.store(true);
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" uint32_t hostMemAlloc(void **ptr, uint32_t, uint64_t size, uint32_t count,
                                 const char *sourceFile, uint32_t) {
    if (ptr == nullptr) return QUOR_RC_NULL_PARAMETER;
    if (count == 0 || size > (uint64_t{1} << 40) || injectFailure()) return QUOR_RC_NO_MEMORY;
    void *raw = std::calloc(1, sizeof(BlockHeader) + size * count);
    if (raw == nullptr) return QUOR_RC_NO_MEMORY;
    auto *header = static_cast<BlockHeader *>(raw);
    header->magic = kBlockMagic;
    header->source = static_cast<uint32_t>(sourceIndex(sourceFile));
    liveBlocks[header->source].fetch_add(1, std::memory_order_relaxed);
    *ptr = header + 1;
    return QUOR_RC_OK;
}

extern "C" uint32_t hostMemFree(void **ptr, uint32_t, uint32_t, const char *, uint32_t) {
    if (ptr == nullptr || *ptr == nullptr) return QUOR_RC_NULL_PARAMETER;
    auto *header = static_cast<BlockHeader *>(*ptr) - 1;
    if (header->magic != kBlockMagic || header->source > kSourceCount) return QUOR_RC_BAD_EYECATCHER;
    header->magic = 0;  // a second free of the same block is refused above
    liveBlocks[header->source].fetch_sub(1, std::memory_order_relaxed);
    std::free(header);
    *ptr = nullptr;
    return QUOR_RC_OK;
}

extern "C" void hostMemFailAfter(uint64_t n, int persistent) {
    failing.store(false);
    failPersistent.store(persistent != 0);
    failCountdown.store(n);
}

extern "C" uint64_t hostMemLiveBlocks(const char *sourceFile) {
    if (sourceFile == nullptr) {
        uint64_t total = 0;
        for (auto &count : liveBlocks) total += count.load();
        return total;
    }
    return liveBlocks[sourceIndex(sourceFile)].load();
}
