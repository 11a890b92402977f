// Host calls of the tree suite that a test can make fail: this suite's program
// defines hostAtomicMarkAndCount, hostAtomicStore and hostLatchRelease itself,
// and the writer's combined hostLatchAcquireAndRemark and hostLatchClearAndRelease
// over them (the library's objects are linked into it, so their calls land here),
// and hands every call on to the host library unless a failure was asked for.
#pragma once

namespace quor::test {

struct HostFaults {
    // The next change of a writer mark (set with the count, or cleared) fails
    // without writing.
    bool failNextMark = false;
    // The next release releases, then reports a failure.
    bool failNextRelease = false;
};

// The faults asked for; each is cleared when it has struck.
HostFaults &hostFaults();

}  // namespace quor::test
