// A domain in the test's own memory, and helpers over the storage heap.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "quor/quor.h"
#include "shm/checker.h"
#include "shm/heap.h"

namespace quor::test {

// Captures the host's assertion reports for its lifetime.
class AssertCapture {
public:
    AssertCapture() {
        messages().clear();
        hostSetAssertHook([](const char *message, const char *, uint32_t) { messages().push_back(message); });
    }
    ~AssertCapture() { hostSetAssertHook(nullptr); }
    static std::vector<std::string> &messages() {
        static std::vector<std::string> m;
        return m;
    }
};

// A mode-3 domain over an aligned private buffer.
class DomainFixture : public ::testing::Test {
protected:
    void makeDomain(uint64_t size, ShmDomainOptions_t options = {}) {
        size_ = size;
        memory_ = static_cast<unsigned char *>(
            std::aligned_alloc(4096, (size + options.heapOffset + 4095) & ~4095ull));
        ASSERT_NE(memory_, nullptr);
        options.mode = QUOR_SHM_MODE_USER_MEMORY;
        ASSERT_EQ(quorCreateShmDomain(nullptr, memory_, size, &options, &handle_), QUOR_RC_OK);
        H_ = options.heapOffset;
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            EXPECT_EQ(quorFreeShmDomain(&handle_, QUOR_SHM_FREE_FORCE), QUOR_RC_OK);
        }
        std::free(memory_);
    }

    shm::HeapView heap(uint32_t kind = QUOR_HEAP_KIND_DOMAIN) {
        shm::HeapView h;
        EXPECT_EQ(h.open(memory_, kind, H_), QUOR_RC_OK);
        return h;
    }
    ShmDomainInfo_t info() {
        ShmDomainInfo_t i{};
        EXPECT_EQ(quorGetShmDomainInfo(handle_, &i), QUOR_RC_OK);
        return i;
    }
    void expectConsistent(uint32_t kind = QUOR_HEAP_KIND_DOMAIN) {
        shm::HeapCheck check;
        EXPECT_EQ(shm::checkHeap(memory_, kind, H_, &check), QUOR_RC_OK) << check.problem;
    }

    struct Chunk {
        uint64_t chunk = 0, user = 0, size = 0;
    };
    // carve: the bytes to carve (user bytes and slack); 0 means userSize.
    uint32_t allocate(uint64_t userSize, Chunk *out, uint32_t kind = QUOR_HEAP_KIND_DOMAIN,
                      uint64_t carve = 0) {
        out->size = carve != 0 ? carve : userSize;
        return quorGetMemChunkFromShmHeap(memory_, kind, H_, userSize, 0, 0, &out->size, &out->chunk,
                                          &out->user, 0x08220001, 42, "heap_test.cpp");
    }
    uint32_t release(const Chunk &c, uint32_t kind = QUOR_HEAP_KIND_DOMAIN) {
        return quorReturnMemChunkToShmHeap(memory_, kind, H_, c.chunk, c.user, 0, 0x08220001, 43,
                                           "heap_test.cpp");
    }

    unsigned char *memory_ = nullptr;
    uint64_t size_ = 0, H_ = 0;
    ShmDomainHandle_t *handle_ = nullptr;
};

}  // namespace quor::test
