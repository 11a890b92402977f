// One test face for all four lists: a list kind (SegInfo, Rmx) in a place
// (Private, Shared). A place opens a fresh list, reaches its head, counts its
// live nodes, and knows a sound way to make one node's release fail.
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "frame/state.h"
#include "quor/host.h"
#include "quor/quor.h"
#include "support/process.h"

namespace quor::test {

// ---- list kinds ----

struct SegInfo {
    using Input = ShmSegInfo_t;
    using Record = AttachSegInfo_t;
    static constexpr const char *kLine = "stores segment name";
    static inline Record sentinel{};

    static Input make(const char *name) {
        Input record{};
        record.eyecatcher = record.key1 = record.key2 = QUOR_EYECATCHER;
        record.kind = QUOR_SHM_MODE_CREATE;
        std::strncpy(record.segName.name, name, sizeof record.segName.name - 1);
        return record;
    }
    static const char *keyOf(const Record &stored) { return stored.segName.name; }

    static constexpr auto privateHead = &LibraryState::segInfoPMList;
    static constexpr auto sharedHead = &HHeaderTail_t::segInfoListHead;
    struct PrivateOps {
        static constexpr auto find = &quorFindAttachSegInfoNodeInPMLList;
        static constexpr auto insert = &quorInsertAttachSegInfoNodeIntoPMLList;
        static constexpr auto remove = &quorDeleteAttachSegInfoNodeFromPMLList;
        static constexpr auto removeAll = &quorDeleteAttachSegInfoPMLList;
        static constexpr auto print = &quorPrintAttachSegInfoNodePMLList;
    };
    struct SharedOps {
        static constexpr auto find = &quorFindAttachSegInfoNodeInLList;
        static constexpr auto insert = &quorInsertAttachSegInfoNodeIntoLList;
        static constexpr auto remove = &quorDeleteAttachSegInfoNodeFromLList;
        static constexpr auto removeAll = &quorDeleteAttachSegInfoLList;
        static constexpr auto print = &quorPrintAttachSegInfoNodeLList;
    };
};

struct Rmx {
    using Input = RMXPathRec_t;
    using Record = RMXPathRec_t;
    static constexpr const char *kLine = "stores RMX module path";
    static inline Record sentinel{};

    static Input make(const char *path) {
        Input record{};
        std::strncpy(record.path, path, sizeof record.path - 1);
        return record;
    }
    static const char *keyOf(const Record &stored) { return stored.path; }

    static constexpr auto privateHead = &LibraryState::rmxPMList;
    static constexpr auto sharedHead = &HHeaderTail_t::rmxListHead;
    struct PrivateOps {
        static constexpr auto find = &quorFindRMXNodeInPMLList;
        static constexpr auto insert = &quorInsertRMXNodeIntoPMLList;
        static constexpr auto remove = &quorDeleteRMXNodeFromPMLList;
        static constexpr auto removeAll = &quorDeleteRMXPMLList;
        static constexpr auto print = &quorPrintRMXNodePMLList;
    };
    struct SharedOps {
        static constexpr auto find = &quorFindRMXNodeInLList;
        static constexpr auto insert = &quorInsertRMXNodeIntoLList;
        static constexpr auto remove = &quorDeleteRMXNodeFromLList;
        static constexpr auto removeAll = &quorDeleteRMXLList;
        static constexpr auto print = &quorPrintRMXNodeLList;
    };
};

// The node that holds a stored record (both places put the link word first).
inline unsigned char *nodeOf(const void *record) {
    return static_cast<unsigned char *>(const_cast<void *>(record)) - 8;
}

// The keys of printed node lines, in order; a line of another form ends up as
// an empty key so that the comparison fails visibly.
inline std::vector<std::string> printedKeys(const std::string &out, const char *kind) {
    std::vector<std::string> keys;
    std::istringstream lines(out);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        const std::string prefix = "Linked list node #" + std::to_string(number) + " " + kind + " = \"";
        const bool ok = line.rfind(prefix, 0) == 0 && line.size() >= prefix.size() + 2 &&
                        line.compare(line.size() - 2, 2, "\"\r") == 0;
        keys.push_back(ok ? line.substr(prefix.size(), line.size() - prefix.size() - 2) : "");
    }
    return keys;
}

// Calls shared by both places, written over the place's operation table.
template <class K, class Ops, class Place>
struct ListCalls {
    using Kind = K;
    using Input = typename K::Input;
    using Record = typename K::Record;

    uint32_t insert(const char *key, Record **out = nullptr) {
        Record *ignored = nullptr;
        const Input record = K::make(key);
        return self().insertRaw(&record, out != nullptr ? out : &ignored);
    }
    uint32_t find(const char *key, Record **out) {
        const Input record = K::make(key);
        return self().findRaw(&record, out);
    }
    uint32_t remove(const char *key) {
        const Input record = K::make(key);
        return self().removeRaw(&record);
    }

private:
    Place &self() { return static_cast<Place &>(*this); }
};

// ---- private memory ----

template <class K>
struct Private : ListCalls<K, typename K::PrivateOps, Private<K>> {
    using Ops = typename K::PrivateOps;
    using Input = typename K::Input;
    using Record = typename K::Record;
    static constexpr uint32_t kSpoiledReleaseCode = QUOR_RC_BAD_EYECATCHER;
    static constexpr uint32_t kFailedAllocationCode = QUOR_RC_NO_MEMORY;

    bool open() { return QUOROneTimeOnlyInitialization(QUOR_EYECATCHER, QUOR_EYECATCHER) == QUOR_RC_OK; }
    void close() {
        EXPECT_EQ(removeAll(), QUOR_RC_OK);
        EXPECT_EQ(hostMemLiveBlocks(src::lists), 0u);
        EXPECT_EQ(QUORCleanup(QUOR_CLEANUP_FORCE), QUOR_RC_OK);
    }

    uint32_t findRaw(const Input *record, Record **out) { return Ops::find(record, out); }
    uint32_t insertRaw(const Input *record, Record **out) { return Ops::insert(record, out); }
    uint32_t removeRaw(const Input *record) { return Ops::remove(record); }
    uint32_t removeAll() { return Ops::removeAll(); }
    uint32_t print() { return Ops::print(); }

    uint64_t head() { return reinterpret_cast<uintptr_t>(lib().*K::privateHead); }
    uint64_t liveNodes() { return hostMemLiveBlocks(src::lists); }
    uint32_t releaseNode(Record *record) {
        void *node = nodeOf(record);
        return hostMemFree(&node, 0, 0, src::lists, __LINE__);
    }

    // The host allocator keeps a marker word in the 16 bytes ahead of each block
    // and refuses a block whose marker is gone; it is put back before the block
    // is released.
    void spoilRelease(Record *record) {
        std::memcpy(&savedMarker, nodeOf(record) - 16, 8);
        std::memset(nodeOf(record) - 16, 0, 8);
    }
    void repairRelease(Record *record) { std::memcpy(nodeOf(record) - 16, &savedMarker, 8); }
    void failNextAllocation() { hostMemFailAfter(1, 0); }
    void allowAllocation() { hostMemFailAfter(0, 0); }
    // Private lists compare under the library key of the first initialisation.
    void spoilKey() { lib().libraryKey = 0; }
    void repairKey() { lib().libraryKey = QUOR_EYECATCHER; }

    uint64_t savedMarker = 0;
};

// ---- shared memory: a caller-memory domain with a tree pool ----

inline constexpr char kTestSource[24] = "liststest";

template <class K>
struct Shared : ListCalls<K, typename K::SharedOps, Shared<K>> {
    using Ops = typename K::SharedOps;
    using Input = typename K::Input;
    using Record = typename K::Record;
    static constexpr uint32_t kSpoiledReleaseCode = QUOR_RC_BAD_PAD_TYPE;
    static constexpr uint32_t kFailedAllocationCode = QUOR_RC_POOL_GRANULE_OUT_OF_RANGE;
    static constexpr uint64_t kDomainSize = 1 << 20, kPoolSize = 128 << 10;

    // In anonymous shared memory, so that forked children share the lists.
    bool open(uint64_t userAppAreaSize = 13) {
        memory = sharedScratch(kDomainSize);
        ShmDomainOptions_t options{};
        options.mode = QUOR_SHM_MODE_USER_MEMORY;
        options.userAppAreaSize = userAppAreaSize;
        if (quorCreateShmDomain(nullptr, memory, kDomainSize, &options, &domain) != QUOR_RC_OK) return false;
        ShmPoolOptions_t poolOptions{};
        poolOptions.nodeCapacity = 400;  // room to track a few hundred blocks
        return _quorCreateShmPool(&pool, domain, kPoolSize, &poolOptions, 0, __LINE__, kTestSource) ==
               QUOR_RC_OK;
    }
    void close() {
        if (pool != nullptr) {
            EXPECT_EQ(removeAll(), QUOR_RC_OK);
            EXPECT_EQ(liveNodes(), 0u);
            EXPECT_EQ(_quorFreeShmPool(&pool, QUOR_POOL_FREE_FORCE, 0, __LINE__, kTestSource), QUOR_RC_OK);
        }
        if (domain != nullptr) {
            EXPECT_EQ(quorFreeShmDomain(&domain, QUOR_SHM_FREE_FORCE), QUOR_RC_OK);
        }
        munmap(memory, kDomainSize);
    }

    uint32_t findRaw(const Input *record, Record **out) { return Ops::find(pool, record, out); }
    uint32_t insertRaw(const Input *record, Record **out) { return Ops::insert(pool, record, out); }
    uint32_t removeRaw(const Input *record) { return Ops::remove(pool, record); }
    uint32_t removeAll() { return Ops::removeAll(pool); }
    uint32_t print() { return Ops::print(pool); }

    unsigned char *base() const { return static_cast<unsigned char *>(memory); }
    HHeader_t *domainHeader() const { return reinterpret_cast<HHeader_t *>(base() + pool->domainHeapOffset); }
    HHeader_t *poolHeader() const { return reinterpret_cast<HHeader_t *>(base() + pool->poolHeapOffset); }
    HHeaderTail_t *tail() const {
        const uint64_t user = (domainHeader()->userAppAreaSize + 7) / 8 * 8;
        return reinterpret_cast<HHeaderTail_t *>(reinterpret_cast<unsigned char *>(domainHeader()) +
                                                 sizeof(HHeader_t) + user);
    }
    uint64_t &headWord() { return tail()->*K::sharedHead; }
    uint64_t head() { return headWord(); }
    uint64_t liveNodes() {
        ShmPoolInfo_t info{};
        EXPECT_EQ(quorGetShmPoolInfo(pool, &info), QUOR_RC_OK);
        return info.allocCount;
    }
    uint32_t releaseNode(Record *record) {
        void *node = nodeOf(record);
        return _quorFreeShmBlock(&node, pool, 0, __LINE__, kTestSource);
    }

    // The last word of a block's front pad names its pad type; the pool refuses
    // to take back a block whose pad it cannot read.
    void spoilRelease(Record *record) {
        std::memcpy(&savedPadType, nodeOf(record) - 4, 4);
        const uint32_t unknown = 0x1234;
        std::memcpy(nodeOf(record) - 4, &unknown, 4);
    }
    void repairRelease(Record *record) { std::memcpy(nodeOf(record) - 4, &savedPadType, 4); }
    void failNextAllocation() {
        savedGranule = poolHeader()->granule;
        poolHeader()->granule = 0;
    }
    void allowAllocation() { poolHeader()->granule = savedGranule; }
    // Shared lists compare under the low word of the domain's handle eyecatcher.
    void spoilKey() { domainHeader()->handleEyecatcher = uint64_t{QUOR_EYECATCHER} << 32; }
    void repairKey() { domainHeader()->handleEyecatcher = QUOR_EYECATCHER; }

    void *memory = nullptr;
    ShmDomainHandle_t *domain = nullptr;
    ShmPoolHandle_t *pool = nullptr;
    uint32_t savedPadType = 0;
    uint64_t savedGranule = 0;
};

}  // namespace quor::test
