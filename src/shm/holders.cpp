// The processes that hold connections on a heap.
#include "shm/holders.h"

#include <algorithm>

#include "frame/trace.h"

namespace quor::shm {

namespace {

uint64_t &keyWord(HHeaderTail_t *tail) { return tail->reserved[0]; }

// The heap's key, made when the heap has none yet (one made before keys were
// kept); 0 when the layout cannot be read.
uint64_t keyOf(HeapView &h) {
    if (h.tail == nullptr && h.bindLayout() != QUOR_RC_OK) return 0;
    uint64_t &key = keyWord(h.tail);
    if (key == 0) key = hostHolderNewKey();
    return key;
}

}  // namespace

void recordCreator(HHeaderTail_t *tail) {
    keyWord(tail) = hostHolderNewKey();
    (void)hostHolderAdd(keyWord(tail), tail, 1, nullptr);
}

namespace {

// Takes `released` dead holders' counts off refCount; the live connections never
// go: at least the caller's stays counted.
void dropCounts(HeapView &h, uint64_t released) {
    const uint64_t count = h.header->refCount;
    h.header->refCount = count - std::min(released, count > 0 ? count - 1 : 0);
}

}  // namespace

uint64_t releaseDeadHolders(HeapView &h) {
    const uint64_t key = keyOf(h);
    uint64_t released = 0;
    if (key == 0 || hostHolderReleaseDead(key, &released) != QUOR_RC_OK) return 0;
    dropCounts(h, released);
    return released;
}

void noteConnection(HeapView &h, int32_t delta) {
    const uint64_t key = keyOf(h);
    uint64_t released = 0;
    if (key == 0) return;
    (void)hostHolderAdd(key, h.header, delta, delta > 0 ? &released : nullptr);
    dropCounts(h, released);
}

uint32_t releaseDeadHoldersLatched(void *base, uint32_t kind, uint64_t heapOffset) {
    HeapView h;
    if (uint32_t rc = h.open(base, kind, heapOffset); rc != 0) return rc;
    if (uint32_t rc = enterEL(&h.header->heapLatch); rc != 0) return rc;
    releaseDeadHolders(h);
    return exitEL(&h.header->heapLatch);
}

void forgetHolders(void *base, uint32_t kind, uint64_t heapOffset) {
    HeapView h;
    if (h.attach(base, kind, heapOffset) != QUOR_RC_OK || h.bindLayout() != QUOR_RC_OK) return;
    if (keyWord(h.tail) != 0) (void)hostHolderForget(keyWord(h.tail));
}

}  // namespace quor::shm
