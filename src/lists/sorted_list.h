// Sorted singly linked lists of segment descriptors and module paths, written
// once for both list kinds and both places.
//
// A list kind (SegInfoKind, RmxKind in lists.cpp) says what a node stores: the
// record type, how two keys compare, how a stored record is printed, and which
// head words belong to it. A place says where the nodes live:
//  - SharedList: the head is a word of the domain header, nodes are blocks of the
//    tree pool linked by segment offsets, and the domain's heap latch is held for
//    the whole operation, so the lists of one domain change one operation at a
//    time across all processes;
//  - PrivateList: the head is part of this process's library state, nodes are
//    private memory linked by pointers; no lock, callers serialise.
//
// Invariants of every list:
//  1. Keys strictly descend from the head: a new node goes before the first node
//     whose key it exceeds, and a key equal to a stored one is refused.
//  2. A stored record keeps its address until its node is deleted; tree locators
//     hold its offset.
//  3. Delete-all clears the head before it frees anything, so a failure half-way
//     leaves an empty list, never a head that names freed blocks.
// Nothing in a shared list is trusted: every link must name a whole node inside
// the tree pool, and a walk that visits more nodes than the pool can hold is a
// loop. Both give QUOR_RC_LLIST_FAILED instead of a wild read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "frame/region.h"
#include "frame/state.h"
#include "frame/trace.h"
#include "quor/host.h"
#include "quor/quor.h"

namespace quor::lists {

enum class Op { Find, Insert, FindOrInsert, Delete, DeleteAll, Print };

// Allocation tags of shared blocks: the storage code may read up to 24 bytes of
// the caller's file name into a pad, so the name is padded to that length.
inline constexpr char kBlockSource[24] = "quorll";

// ---- places -------------------------------------------------------------------

// The outcome of a node allocation: the new node, or null with the failure's
// code in *rc.
template <class Node>
Node *allocated(Trace &trace, uint32_t code, void *block, uint32_t *rc) {
    if (code == 0 && block == nullptr) code = QUOR_RC_NO_MEMORY;
    *rc = code == 0 ? code : trace.fail(180, code);
    return code == 0 ? static_cast<Node *>(block) : nullptr;
}

// Nodes in this process's memory, linked by pointers.
template <class Kind>
class PrivateList {
public:
    using Node = typename Kind::PrivateNode;
    using Link = Node *;
    using Handle = std::nullptr_t;

    explicit PrivateList(Trace &trace) : trace_(trace) {}

    uint32_t open(Handle) { return QUOR_RC_OK; }
    uint32_t lock() { return QUOR_RC_OK; }
    uint32_t unlock() { return QUOR_RC_OK; }
    uint32_t locate() { return QUOR_RC_OK; }

    Link *head() { return &(lib().*Kind::privateHead); }
    uint32_t key() const { return lib().libraryKey; }
    uint32_t node(Link link, Node **out) {
        *out = link;
        return QUOR_RC_OK;
    }
    Link linkTo(Node *node) const { return node; }

    Node *allocate(uint32_t *rc) {
        void *block = nullptr;
        uint32_t code = hostMemAlloc(&block, 0, sizeof(Node), 1, src::lists, __LINE__);
        return allocated<Node>(trace_, code, block, rc);
    }
    uint32_t release(Node *node) {
        void *block = node;
        if (uint32_t rc = hostMemFree(&block, 0, 0, src::lists, __LINE__); rc != 0)
            return trace_.fail(190, rc);
        return QUOR_RC_OK;
    }

private:
    Trace &trace_;
};

// Nodes in blocks of the tree pool, linked by offsets from the domain segment
// base, under the domain's heap latch.
template <class Kind>
class SharedList {
public:
    using Node = typename Kind::SharedNode;
    using Link = uint64_t;
    using Handle = ShmPoolHandle_t *;

    explicit SharedList(Trace &trace) : trace_(trace) {}

    // The caller's handle must be present and mapped.
    uint32_t open(Handle handle) {
        if (handle == nullptr) return trace_.failLogged(10, QUOR_RC_NULL_POOL_HANDLE, 0);
        if (handle->base == nullptr) {
            return trace_.failLogged(20, QUOR_RC_NOT_MAPPED, reinterpret_cast<uintptr_t>(handle));
        }
        handle_ = handle;
        base_ = static_cast<unsigned char *>(handle->base);
        return QUOR_RC_OK;
    }

    // Takes the domain's heap latch; the handle's headers must be 8-aligned.
    uint32_t lock() {
        if (handle_->domainHeapOffset % 8 != 0) {
            return trace_.failWith(50, QUOR_RC_HANDLE_OFFSET_NOT_ALIGNED, handle_->domainHeapOffset);
        }
        if (handle_->poolHeapOffset % 8 != 0) {
            return trace_.failWith(60, QUOR_RC_POOL_OFFSET_NOT_ALIGNED, handle_->poolHeapOffset);
        }
        domain_ = reinterpret_cast<HHeader_t *>(base_ + handle_->domainHeapOffset);
        if (uint32_t rc = quorEnterELCriticalSection(&domain_->heapLatch); rc != 0)
            return trace_.fail(70, rc);
        return QUOR_RC_OK;
    }
    uint32_t unlock() {
        if (uint32_t rc = quorExitELCriticalSection(&domain_->heapLatch); rc != 0)
            return trace_.fail(200, rc);
        return QUOR_RC_OK;
    }

    // Under the latch: finds the head word behind the user area and the bounds of
    // the tree pool, all from header words that must agree with one another.
    uint32_t locate() {
        const uint64_t domainOffset = handle_->domainHeapOffset, poolOffset = handle_->poolHeapOffset;
        if (domain_->heapMagic != QUOR_DOMAIN_HEAP_MAGIC) {
            return trace_.failWith(80, QUOR_RC_BAD_DOMAIN_EYECATCHER, domain_->heapMagic);
        }
        const uint64_t heapSize = domain_->heapSize, userSize = domain_->userAppAreaSize;
        if (heapSize > UINT64_MAX - domainOffset || userSize > heapSize) {
            return trace_.failWith(90, QUOR_RC_DOMAIN_USER_APP_AREA_CORRUPT, userSize);
        }
        const Region domainHeap(base_, domainOffset + heapSize);
        auto *tail = domainHeap.at<HHeaderTail_t>(domainOffset + sizeof(HHeader_t) + (userSize + 7) / 8 * 8);
        if (tail == nullptr) return trace_.failWith(100, QUOR_RC_DOMAIN_USER_APP_AREA_CORRUPT, userSize);
        auto *pool = domainHeap.at<HHeader_t>(poolOffset);
        if (pool == nullptr || pool->heapMagic != QUOR_POOL_HEAP_MAGIC) {
            return trace_.failLogged(110, QUOR_RC_BAD_POOL_EYECATCHER, poolOffset);
        }
        const uint64_t poolSize = pool->heapSize;
        if (!domainHeap.contains(poolOffset, poolSize))
            return trace_.failLogged(120, QUOR_RC_LLIST_FAILED, poolSize);
        head_ = &(tail->*Kind::sharedHead);
        std::memcpy(&key_, &domain_->handleEyecatcher, sizeof key_);
        poolOffset_ = poolOffset;
        pool_ = Region(base_ + poolOffset, poolSize);
        capacity_ = poolSize / sizeof(Node);
        return QUOR_RC_OK;
    }

    Link *head() { return head_; }
    uint32_t key() const { return key_; }

    // The node a link names, if it lies wholly inside the pool and the walk has
    // not yet visited more nodes than the pool could hold.
    uint32_t node(Link link, Node **out) {
        if (++visited_ > capacity_) return trace_.failLogged(130, QUOR_RC_LLIST_FAILED, link);
        Node *node = link >= poolOffset_ ? pool_.at<Node>(link - poolOffset_) : nullptr;
        if (node == nullptr) return trace_.failLogged(140, QUOR_RC_LLIST_FAILED, link);
        *out = node;
        return QUOR_RC_OK;
    }
    Link linkTo(Node *node) const { return reinterpret_cast<unsigned char *>(node) - base_; }

    Node *allocate(uint32_t *rc) {
        void *block = nullptr;
        uint32_t code =
            _quorAllocateShmBlock(&block, handle_, sizeof(Node), 0, trace_.id(), __LINE__, kBlockSource);
        return allocated<Node>(trace_, code, block, rc);
    }
    uint32_t release(Node *node) {
        void *block = node;
        if (uint32_t rc = _quorFreeShmBlock(&block, handle_, trace_.id(), __LINE__, kBlockSource); rc != 0) {
            return trace_.fail(190, rc);
        }
        return QUOR_RC_OK;
    }

private:
    Trace &trace_;
    ShmPoolHandle_t *handle_ = nullptr;
    unsigned char *base_ = nullptr;
    HHeader_t *domain_ = nullptr;
    uint64_t *head_ = nullptr;
    uint32_t key_ = 0;
    uint64_t poolOffset_ = 0;
    Region pool_;
    uint64_t capacity_ = 0;
    uint64_t visited_ = 0;
};

// ---- the operations -----------------------------------------------------------

// Where a key belongs: `link` is the word that points at `node`, the first node
// whose key the given key is not below (null at the end); `order` compares the
// given key with that node's (0 equal, +1 above).
template <class List>
struct Position {
    typename List::Link *link;
    typename List::Node *node = nullptr;
    int64_t order;
};

template <class Kind, class List>
uint32_t seek(Trace &trace, List &list, const typename Kind::Input &record, Position<List> *at) {
    *at = {list.head(), nullptr, 1};
    while (*at->link != typename List::Link{}) {
        typename List::Node *node = nullptr;
        if (uint32_t rc = list.node(*at->link, &node); rc != 0) return rc;
        int64_t order = 0;
        if (Kind::compare(record, node->record, list.key(), &order) != 0) {
            return trace.fail(150, QUOR_RC_ATTACH_LIST_FAILED);
        }
        if (order >= 0) {
            at->node = node;
            at->order = order;
            return QUOR_RC_OK;
        }
        at->link = &node->next;
    }
    return QUOR_RC_OK;
}

template <class Kind, class List>
uint32_t find(Trace &trace, List &list, const typename Kind::Input &record, typename Kind::Record **out) {
    Position<List> at;
    if (uint32_t rc = seek<Kind>(trace, list, record, &at); rc != 0) return rc;
    *out = at.node != nullptr && at.order == 0 ? &at.node->record : nullptr;
    return QUOR_RC_OK;
}

// Links a new node holding `record` at the place `at` that seek found.
template <class Kind, class List>
uint32_t linkNew(List &list, const Position<List> &at, const typename Kind::Input &record,
                 typename Kind::Record **out) {
    uint32_t rc = QUOR_RC_OK;
    typename List::Node *node = list.allocate(&rc);
    if (node == nullptr) return rc;
    std::memcpy(&node->record, &record, sizeof node->record);
    node->next = *at.link;
    *at.link = list.linkTo(node);
    *out = &node->record;
    return QUOR_RC_OK;
}

template <class Kind, class List>
uint32_t insert(Trace &trace, List &list, const typename Kind::Input &record, typename Kind::Record **out) {
    Position<List> at;
    if (uint32_t rc = seek<Kind>(trace, list, record, &at); rc != 0) return rc;
    if (at.node != nullptr && at.order == 0) return trace.fail(160, QUOR_RC_LLIST_DUPLICATE);
    return linkNew<Kind>(list, at, record, out);
}

// The stored copy of `record`, linked first when there is none. The insertion
// writes the records of the insert operation `insertFn`.
template <class Kind, class List>
uint32_t findOrInsert(Trace &trace, List &list, const typename Kind::Input &record,
                      typename Kind::Record **out, Fn insertFn) {
    Position<List> at;
    if (uint32_t rc = seek<Kind>(trace, list, record, &at); rc != 0) return rc;
    if (at.node != nullptr && at.order == 0) {
        *out = &at.node->record;
        return QUOR_RC_OK;
    }
    return traced(insertFn, [&](Trace &) { return linkNew<Kind>(list, at, record, out); });
}

template <class Kind, class List>
uint32_t remove(Trace &trace, List &list, const typename Kind::Input &record) {
    Position<List> at;
    if (uint32_t rc = seek<Kind>(trace, list, record, &at); rc != 0) return rc;
    if (at.node == nullptr || at.order != 0) return trace.fail(170, QUOR_RC_LLIST_NODE_NOT_FOUND);
    *at.link = at.node->next;
    return list.release(at.node);
}

template <class List>
uint32_t removeAll(List &list) {
    typename List::Link link = *list.head();
    *list.head() = typename List::Link{};
    while (link != typename List::Link{}) {
        typename List::Node *node = nullptr;
        if (uint32_t rc = list.node(link, &node); rc != 0) return rc;
        link = node->next;
        if (uint32_t rc = list.release(node); rc != 0) return rc;
    }
    return QUOR_RC_OK;
}

template <class Kind, class List>
uint32_t print(List &list) {
    typename List::Link link = *list.head();
    if (link == typename List::Link{}) {
        std::puts("List is empty");
        return QUOR_RC_OK;
    }
    for (int number = 1; link != typename List::Link{}; ++number) {
        typename List::Node *node = nullptr;
        if (uint32_t rc = list.node(link, &node); rc != 0) return rc;
        Kind::print(number, node->record);
        link = node->next;
    }
    return QUOR_RC_OK;
}

// One list operation, from argument checks to the closing latch release. The
// record is needed by find, insert and delete; the output by find and insert.
// Find-or-insert runs as a find that, when it finds nothing, inserts under the
// same hold of the latch (writing the insert's records, `insertFn`).
template <class Kind, template <class> class Place>
uint32_t runWith(Fn fn, typename Place<Kind>::Handle handle, Op op, const typename Kind::Input *record,
                 typename Kind::Record **recordOut, Fn insertFn) {
    return traced(fn, [&](Trace &trace) -> uint32_t {
        Place<Kind> list(trace);
        if (uint32_t rc = list.open(handle); rc != 0) return rc;
        const bool stores = op == Op::Find || op == Op::Insert || op == Op::FindOrInsert;
        if (record == nullptr && (stores || op == Op::Delete)) {
            return trace.failLogged(30, QUOR_RC_LLIST_FAILED, 0);
        }
        if (recordOut == nullptr && stores) return trace.failLogged(40, QUOR_RC_NULL_PARAMETER, 0);
        if (uint32_t rc = list.lock(); rc != 0) return rc;
        Closing unlatch([&] { return list.unlock(); });
        uint32_t rc = list.locate();
        if (rc == 0) {
            switch (op) {
                case Op::Find:
                    rc = find<Kind>(trace, list, *record, recordOut);
                    break;
                case Op::Insert:
                    rc = insert<Kind>(trace, list, *record, recordOut);
                    break;
                case Op::FindOrInsert:
                    rc = findOrInsert<Kind>(trace, list, *record, recordOut, insertFn);
                    break;
                case Op::Delete:
                    rc = remove<Kind>(trace, list, *record);
                    break;
                case Op::DeleteAll:
                    rc = removeAll(list);
                    break;
                case Op::Print:
                    rc = print<Kind>(list);
                    break;
            }
        }
        return unlatch.close(rc);
    });
}
template <class Kind, template <class> class Place>
uint32_t run(Fn fn, typename Place<Kind>::Handle handle, Op op, const typename Kind::Input *record,
             typename Kind::Record **recordOut) {
    return runWith<Kind, Place>(fn, handle, op, record, recordOut, fn);
}

}  // namespace quor::lists
