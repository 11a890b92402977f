#include "host_faults.h"

#include <dlfcn.h>

#include <cstdlib>

#include "quor/host.h"

namespace quor::test {

HostFaults &hostFaults() {
    static HostFaults faults;
    return faults;
}

namespace {

template <class Fn>
Fn hostFunction(const char *name) {
    void *found = dlsym(RTLD_NEXT, name);
    if (found == nullptr) std::abort();
    return reinterpret_cast<Fn>(found);
}

bool strikes(bool &fault) {
    const bool armed = fault;
    fault = false;
    return armed;
}

}  // namespace
}  // namespace quor::test

extern "C" uint32_t hostAtomicMarkAndCount(void *markSlot, int32_t mark, void *countSlot) {
    static auto *real =
        quor::test::hostFunction<uint32_t (*)(void *, int32_t, void *)>("hostAtomicMarkAndCount");
    if (quor::test::strikes(quor::test::hostFaults().failNextMark)) return QUOR_RC_ATOMIC_FAILED;
    return real(markSlot, mark, countSlot);
}

extern "C" uint32_t hostAtomicStore(void *slot, int32_t value) {
    static auto *real = quor::test::hostFunction<uint32_t (*)(void *, int32_t)>("hostAtomicStore");
    if (quor::test::strikes(quor::test::hostFaults().failNextMark)) return QUOR_RC_ATOMIC_FAILED;
    return real(slot, value);
}

extern "C" uint32_t hostLatchRelease(void *latch) {
    static auto *real = quor::test::hostFunction<uint32_t (*)(void *)>("hostLatchRelease");
    const uint32_t rc = real(latch);
    if (quor::test::strikes(quor::test::hostFaults().failNextRelease)) return QUOR_RC_LATCH_FAILED;
    return rc;
}

// The writer's combined calls strike the same faults: the mark step fails
// without writing, and the release goes through the release above.
extern "C" uint32_t hostLatchAcquireAndRemark(void *latch, void *markSlot, int32_t mark, void *countSlot,
                                              int32_t *previousMark) {
    static auto *real = quor::test::hostFunction<uint32_t (*)(void *, void *, int32_t, void *, int32_t *)>(
        "hostLatchAcquireAndRemark");
    if (!quor::test::strikes(quor::test::hostFaults().failNextMark))
        return real(latch, markSlot, mark, countSlot, previousMark);
    if (const uint32_t rc = hostLatchAcquire(latch, nullptr); rc != 0) return rc;
    return hostLatchRelease(latch) != 0 ? QUOR_RC_LATCH_FAILED : QUOR_RC_ATOMIC_FAILED;
}

extern "C" uint32_t hostLatchClearAndRelease(void *latch, void *markSlot) {
    const uint32_t cleared = hostAtomicStore(markSlot, 0);
    const uint32_t released = hostLatchRelease(latch);
    return cleared != 0 ? cleared : released;
}
