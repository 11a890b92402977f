// Segment and module lists: the two list kinds, and the exported operations as
// one-line shims onto the shared algorithms of sorted_list.h.
#include "lists/lists.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "frame/export.h"
#include "lists/sorted_list.h"
#include "tree/records.h"

namespace quor::lists {

// Stored list formats: every attached process reads them.
static_assert(sizeof(AttachSegInfo_t) == QUOR_SEG_INFO_DESC_SIZE);
static_assert(offsetof(AttachSegInfo_t, segName) == offsetof(ShmSegInfo_t, segName));
static_assert(offsetof(AttachSegInfo_t, attached) == offsetof(ShmSegInfo_t, attached));
static_assert(offsetof(AttachSegInfo_t, segName) + offsetof(IpcResId, name) == 0x18);
static_assert(sizeof(RMXPathRec_t) == QUOR_RMX_PATH_RECORD_SIZE);
static_assert(offsetof(AttachSegInfoNode_t, record) == 8 && sizeof(AttachSegInfoNode_t) == 304);
static_assert(offsetof(RMXNode_t, record) == 8 && sizeof(RMXNode_t) == 1064);
static_assert(offsetof(AttachSegInfoPMNode_t, record) == 8 && sizeof(AttachSegInfoPMNode_t) == 0x130);
static_assert(offsetof(RMXPMNode_t, record) == 8 && sizeof(RMXPMNode_t) == 0x428);
static_assert(offsetof(HHeaderTail_t, segInfoListHead) == 0x10 &&
              offsetof(HHeaderTail_t, rmxListHead) == 0x18);

// Segment descriptors, sorted by segment name. The caller hands in a whole
// ShmSegInfo_t (or a stored descriptor); only its leading descriptor bytes are
// read and stored.
struct SegInfoKind {
    using Input = ShmSegInfo_t;
    using Record = AttachSegInfo_t;
    using SharedNode = AttachSegInfoNode_t;
    using PrivateNode = AttachSegInfoPMNode_t;
    static constexpr uint64_t HHeaderTail_t::*sharedHead = &HHeaderTail_t::segInfoListHead;
    static constexpr PrivateNode *LibraryState::*privateHead = &LibraryState::segInfoPMList;

    static uint32_t compare(const Input &given, const Record &stored, uint32_t key, int64_t *order) {
        if (key != QUOR_EYECATCHER) return QUOR_RC_BAD_EYECATCHER;
        *order = tree::compareSegmentNames(given.segName, stored.segName);
        return QUOR_RC_OK;
    }
    static void print(int number, const Record &stored) {
        std::printf("Linked list node #%d stores segment name = \"%.*s\"\r\n", number,
                    static_cast<int>(sizeof stored.segName.name), stored.segName.name);
    }
};

// RMX module-path records, sorted by path.
struct RmxKind {
    using Input = RMXPathRec_t;
    using Record = RMXPathRec_t;
    using SharedNode = RMXNode_t;
    using PrivateNode = RMXPMNode_t;
    static constexpr uint64_t HHeaderTail_t::*sharedHead = &HHeaderTail_t::rmxListHead;
    static constexpr PrivateNode *LibraryState::*privateHead = &LibraryState::rmxPMList;

    // Unsigned bytes up to the first difference, a terminating zero, or the
    // comparison limit.
    static uint32_t compare(const Input &given, const Record &stored, uint32_t, int64_t *order) {
        *order = 0;
        for (size_t i = 0; i < QUOR_RMX_PATH_MAX; ++i) {
            const auto a = static_cast<unsigned char>(given.path[i]),
                       b = static_cast<unsigned char>(stored.path[i]);
            if (a != b) {
                *order = a < b ? -1 : 1;
                break;
            }
            if (a == 0) break;
        }
        return QUOR_RC_OK;
    }
    static void print(int number, const Record &stored) {
        std::printf("Linked list node #%d stores RMX module path = \"%.*s\"\r\n", number,
                    static_cast<int>(QUOR_RMX_PATH_MAX), stored.path);
    }
};

}  // namespace quor::lists

using quor::Fn;
using quor::lists::Op;

namespace {
constexpr auto segShared = quor::lists::run<quor::lists::SegInfoKind, quor::lists::SharedList>;
constexpr auto rmxShared = quor::lists::run<quor::lists::RmxKind, quor::lists::SharedList>;
constexpr auto segPrivate = quor::lists::run<quor::lists::SegInfoKind, quor::lists::PrivateList>;
constexpr auto rmxPrivate = quor::lists::run<quor::lists::RmxKind, quor::lists::PrivateList>;
}  // namespace

uint32_t quor::lists::findOrInsertSegInfo(ShmPoolHandle_t *pool, const ShmSegInfo_t *record,
                                          AttachSegInfo_t **stored) {
    return runWith<SegInfoKind, SharedList>(Fn::quorFindAttachSegInfoNodeInLList, pool, Op::FindOrInsert,
                                            record, stored, Fn::quorInsertAttachSegInfoNodeIntoLList);
}

uint32_t quor::lists::findOrInsertRmx(ShmPoolHandle_t *pool, const RMXPathRec_t *record,
                                      RMXPathRec_t **stored) {
    return runWith<RmxKind, SharedList>(Fn::quorFindRMXNodeInLList, pool, Op::FindOrInsert, record, stored,
                                        Fn::quorInsertRMXNodeIntoLList);
}

// ---- shared AttachSegInfo list ----

QUOR_EXPORT uint32_t quorFindAttachSegInfoNodeInLList(ShmPoolHandle_t *poolHandle, const ShmSegInfo_t *record,
                                                      AttachSegInfo_t **recordOut) {
    return segShared(Fn::quorFindAttachSegInfoNodeInLList, poolHandle, Op::Find, record, recordOut);
}
QUOR_EXPORT uint32_t quorInsertAttachSegInfoNodeIntoLList(ShmPoolHandle_t *poolHandle,
                                                          const ShmSegInfo_t *record,
                                                          AttachSegInfo_t **recordOut) {
    return segShared(Fn::quorInsertAttachSegInfoNodeIntoLList, poolHandle, Op::Insert, record, recordOut);
}
QUOR_EXPORT uint32_t quorDeleteAttachSegInfoNodeFromLList(ShmPoolHandle_t *poolHandle,
                                                          const ShmSegInfo_t *record) {
    return segShared(Fn::quorDeleteAttachSegInfoNodeFromLList, poolHandle, Op::Delete, record, nullptr);
}
QUOR_EXPORT uint32_t quorDeleteAttachSegInfoLList(ShmPoolHandle_t *poolHandle) {
    return segShared(Fn::quorDeleteAttachSegInfoLList, poolHandle, Op::DeleteAll, nullptr, nullptr);
}
QUOR_EXPORT uint32_t quorPrintAttachSegInfoNodeLList(ShmPoolHandle_t *poolHandle) {
    return segShared(Fn::quorPrintAttachSegInfoNodeLList, poolHandle, Op::Print, nullptr, nullptr);
}

// ---- shared RMX list ----

QUOR_EXPORT uint32_t quorFindRMXNodeInLList(ShmPoolHandle_t *poolHandle, const RMXPathRec_t *record,
                                            RMXPathRec_t **recordOut) {
    return rmxShared(Fn::quorFindRMXNodeInLList, poolHandle, Op::Find, record, recordOut);
}
QUOR_EXPORT uint32_t quorInsertRMXNodeIntoLList(ShmPoolHandle_t *poolHandle, const RMXPathRec_t *record,
                                                RMXPathRec_t **recordOut) {
    return rmxShared(Fn::quorInsertRMXNodeIntoLList, poolHandle, Op::Insert, record, recordOut);
}
QUOR_EXPORT uint32_t quorDeleteRMXNodeFromLList(ShmPoolHandle_t *poolHandle, const RMXPathRec_t *record) {
    return rmxShared(Fn::quorDeleteRMXNodeFromLList, poolHandle, Op::Delete, record, nullptr);
}
QUOR_EXPORT uint32_t quorDeleteRMXLList(ShmPoolHandle_t *poolHandle) {
    return rmxShared(Fn::quorDeleteRMXLList, poolHandle, Op::DeleteAll, nullptr, nullptr);
}
QUOR_EXPORT uint32_t quorPrintRMXNodeLList(ShmPoolHandle_t *poolHandle) {
    return rmxShared(Fn::quorPrintRMXNodeLList, poolHandle, Op::Print, nullptr, nullptr);
}

// ---- private AttachSegInfo list ----

QUOR_EXPORT uint32_t quorFindAttachSegInfoNodeInPMLList(const ShmSegInfo_t *record,
                                                        AttachSegInfo_t **recordOut) {
    return segPrivate(Fn::quorFindAttachSegInfoNodeInPMLList, nullptr, Op::Find, record, recordOut);
}
QUOR_EXPORT uint32_t quorInsertAttachSegInfoNodeIntoPMLList(const ShmSegInfo_t *record,
                                                            AttachSegInfo_t **recordOut) {
    return segPrivate(Fn::quorInsertAttachSegInfoNodeIntoPMLList, nullptr, Op::Insert, record, recordOut);
}
QUOR_EXPORT uint32_t quorDeleteAttachSegInfoNodeFromPMLList(const ShmSegInfo_t *record) {
    return segPrivate(Fn::quorDeleteAttachSegInfoNodeFromPMLList, nullptr, Op::Delete, record, nullptr);
}
uint32_t quor::lists::deletePrivateLists() {
    if (uint32_t rc = segPrivate(Fn::quorDeleteAttachSegInfoPMLList, nullptr, Op::DeleteAll, nullptr, nullptr);
        rc != 0)
        return rc;
    return rmxPrivate(Fn::quorDeleteRMXPMLList, nullptr, Op::DeleteAll, nullptr, nullptr);
}

QUOR_EXPORT uint32_t quorDeleteAttachSegInfoPMLList(void) {
    return segPrivate(Fn::quorDeleteAttachSegInfoPMLList, nullptr, Op::DeleteAll, nullptr, nullptr);
}
QUOR_EXPORT uint32_t quorPrintAttachSegInfoNodePMLList(void) {
    return segPrivate(Fn::quorPrintAttachSegInfoNodePMLList, nullptr, Op::Print, nullptr, nullptr);
}

// ---- private RMX list ----

QUOR_EXPORT uint32_t quorFindRMXNodeInPMLList(const RMXPathRec_t *record, RMXPathRec_t **recordOut) {
    return rmxPrivate(Fn::quorFindRMXNodeInPMLList, nullptr, Op::Find, record, recordOut);
}
QUOR_EXPORT uint32_t quorInsertRMXNodeIntoPMLList(const RMXPathRec_t *record, RMXPathRec_t **recordOut) {
    return rmxPrivate(Fn::quorInsertRMXNodeIntoPMLList, nullptr, Op::Insert, record, recordOut);
}
QUOR_EXPORT uint32_t quorDeleteRMXNodeFromPMLList(const RMXPathRec_t *record) {
    return rmxPrivate(Fn::quorDeleteRMXNodeFromPMLList, nullptr, Op::Delete, record, nullptr);
}
QUOR_EXPORT uint32_t quorDeleteRMXPMLList(void) {
    return rmxPrivate(Fn::quorDeleteRMXPMLList, nullptr, Op::DeleteAll, nullptr, nullptr);
}
QUOR_EXPORT uint32_t quorPrintRMXNodePMLList(void) {
    return rmxPrivate(Fn::quorPrintRMXNodePMLList, nullptr, Op::Print, nullptr, nullptr);
}
