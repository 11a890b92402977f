// A caller-memory domain with one pool, shared by the pool, block and dump suites.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "quor/host.h"
#include "quor/quor.h"
#include "shm/pool.h"
#include "support/process.h"

namespace quor::test {

inline constexpr uint64_t kDomainSize = 1 << 20;
inline constexpr uint64_t kPoolSize = 64 * 1024;
inline constexpr uint32_t kCaller = 0x08220099;
inline const char kFile[24] = "pool_tests.cpp";

// Collects the reports of the pad checks.
class AssertRecorder {
public:
    AssertRecorder() {
        messages().clear();
        hostSetAssertHook(
            [](const char *message, const char *, uint32_t) { messages().emplace_back(message); });
    }
    ~AssertRecorder() { hostSetAssertHook(nullptr); }
    static std::vector<std::string> &messages() {
        static std::vector<std::string> recorded;
        return recorded;
    }
    bool saw(const std::string &text) const {
        for (const std::string &message : messages())
            if (message.find(text) != std::string::npos) return true;
        return false;
    }
};

// Writes a byte where a sanitizer build may have poisoned it: stands for a stray
// writer (another process, a wild pointer) that the sanitizer does not see.
__attribute__((no_sanitize_address, noinline)) inline void strayWrite(void *at, const void *bytes,
                                                                      size_t count) {
    for (size_t i = 0; i < count; ++i)
        static_cast<volatile unsigned char *>(at)[i] = static_cast<const unsigned char *>(bytes)[i];
}
inline void strayWrite(void *at, unsigned char value) { strayWrite(at, &value, 1); }
__attribute__((no_sanitize_address, noinline)) inline void strayRead(void *out, const void *at,
                                                                     size_t count) {
    for (size_t i = 0; i < count; ++i)
        static_cast<unsigned char *>(out)[i] = static_cast<const volatile unsigned char *>(at)[i];
}
template <class T>
T strayRead(const void *at) {
    T value;
    strayRead(&value, at, sizeof value);
    return value;
}

class PoolFixture : public ::testing::Test {
protected:
    void SetUp() override {
        memory = static_cast<unsigned char *>(sharedScratch(kDomainSize));
        ShmDomainOptions_t options{};
        options.mode = QUOR_SHM_MODE_USER_MEMORY;
        ASSERT_EQ(quorCreateShmDomain(nullptr, memory, kDomainSize, &options, &domain), 0u);
    }

    // Releases whatever handles a test left open.
    void TearDown() override {
        for (ShmPoolHandle_t *&pool : pools) {
            if (pool != nullptr) {
                EXPECT_EQ(quorDestroyShmPoolHandle(&pool), 0u);
            }
        }
        if (domain != nullptr) {
            EXPECT_EQ(quorDestroyShmDomainHandle(&domain), 0u);
        }
    }

    // A pool of `size` bytes with `options` (null: defaults). The handle lives in
    // the fixture: bind it by reference so that a free or disconnect that clears
    // it is seen at tear-down.
    ShmPoolHandle_t *&makePool(const ShmPoolOptions_t *options = nullptr, uint64_t size = kPoolSize) {
        ShmPoolHandle_t *&pool = pools.emplace_back(nullptr);
        EXPECT_EQ(_quorCreateShmPool(&pool, domain, size, options, kCaller, __LINE__, kFile), 0u);
        return pool;
    }

    HHeader_t *header(uint64_t offset) const { return reinterpret_cast<HHeader_t *>(memory + offset); }
    HHeaderTail_t *tail(uint64_t offset) const {
        return reinterpret_cast<HHeaderTail_t *>(memory + offset + QUOR_HHEADER_FIXED_SIZE +
                                                 QUOR_ROUND8(header(offset)->userAppAreaSize));
    }
    SLHeader_t *lists(uint64_t offset) const {
        return reinterpret_cast<SLHeader_t *>(memory + offset +
                                              QUOR_HHEADER_SIZE(header(offset)->userAppAreaSize));
    }
    HHeader_t *domainHeader() const { return header(domain->heapOffset); }

    // The allocated-list node of the chunk whose caller bytes are at `user`, found
    // through the node offset at the end of its front pad.
    const SLAllocNode_t *nodeOf(const void *user) const {
        const auto *end = static_cast<const unsigned char *>(user) - sizeof(ShmPadEnd_t);
        return reinterpret_cast<const SLAllocNode_t *>(memory + strayRead<uint64_t>(end));
    }

    ShmPoolInfo_t info(ShmPoolHandle_t *pool) const {
        ShmPoolInfo_t out{};
        EXPECT_EQ(quorGetShmPoolInfo(pool, &out), 0u);
        return out;
    }

    unsigned char *memory = nullptr;
    ShmDomainHandle_t *domain = nullptr;
    std::deque<ShmPoolHandle_t *> pools;
};

// The fields of a heap that any change to its lists would move.
inline std::vector<uint64_t> listState(const ShmPoolInfo_t &info) {
    return {info.freeBytes, info.allocBytes, info.allocCount, info.freeCount, info.slUsedBytes};
}

}  // namespace quor::test
