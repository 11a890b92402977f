// The node access protocol: critical sections on a node's latch block.
//
// Rules every caller keeps:
//   1. The node's concurrencyModel decides: under model 1 a section takes the
//      access latch of the latch block (normally the node's own nodeLatch);
//      under models 0 and 2..5 entering and leaving do nothing and return 0;
//      a model of 6 or more is refused with QUOR_RC_BAD_CONCURRENCY_MODEL.
//   2. Readers and writers exclude each other and one another (one latch).
//   3. Sections are not re-entrant. An operation handed a non-zero
//      `inCriticalSection` relies on its caller's section and neither enters
//      nor leaves one.
//   4. A writer's entry marks writerActive 1 and counts writeCount; its exit
//      clears writerActive. Both change only while the latch is held.
//   5. Leaving always runs once the section was entered, and the main work's
//      failure wins over the exit's (CriticalSection::close). It follows the
//      model the entry went by, not the model word as it reads at the exit.
// Each enter and exit writes the trace records of the exported operation of the
// same name, whoever calls it.
#pragma once

#include <cstdint>
#include <type_traits>

#include "frame/trace.h"
#include "quor/host.h"
#include "quor/quor.h"
#include "tree/records.h"
#include "tree/repair.h"

namespace quor::tree {

enum class Access { Read, Write };

// The four sections, with their exported operations' checks and trace records.
// An entry reads the node's model word once; *modelUsed (when given) receives
// the model it went by, which is what the matching exit must follow.
uint32_t enterSection(SNodeCB_t *node, NodeLatchBlock_t *block, Access access, uint32_t *modelUsed = nullptr);
uint32_t exitSection(SNodeCB_t *node, NodeLatchBlock_t *block, Access access);
// Leaves a section by the concurrency model it was entered under, whatever the
// node's model word says now: the word may be rewritten while the section is
// held (by the holder's own option change, or by quorSetConcurrencyModel, which
// takes no latch), and the latch taken must still be released, and only it.
uint32_t exitSectionAs(SNodeCB_t *node, NodeLatchBlock_t *block, Access access, uint32_t model);

// The steps of a section, inline so that the operations built on sections run
// them without a call of their own while tracing is off.
namespace sections {

constexpr Fn sectionFn(bool enter, Access access) {
    if (access == Access::Read)
        return enter ? Fn::quorEnterCriticalSectionBeforeRead : Fn::quorExitCriticalSectionAfterRead;
    return enter ? Fn::quorEnterCriticalSectionBeforeWrite : Fn::quorExitCriticalSectionAfterWrite;
}

// Stands in for the trace guard while tracing is off: failure points only hand
// their code back, and the section runs without a guard's frame around it.
struct Untraced {
    uint32_t fail(uint32_t, uint32_t rc) const { return rc; }
    uint32_t failWith(uint32_t, uint32_t rc, uint64_t) const { return rc; }
};

// The argument checks shared by the sections and the latch initialisation.
// Sets *latched when the node's model takes latches.
// The failure branches are marked unlikely: the sections are the hottest path of
// the library, and the taken path should run straight through.
// `model` is in-out: a section being left is given the model its entry went by;
// otherwise the node's model word is read, once, and handed back so that the
// exit can follow the same model whatever the word holds by then.
template <class Recorder>
uint32_t checkSectionArguments(const Recorder &t, SNodeCB_t *node, NodeLatchBlock_t *block, uint32_t *model,
                               bool modelGiven, bool *latched) {
    if (node == nullptr) [[unlikely]]
        return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
    if (block == nullptr) [[unlikely]]
        return t.failWith(20, QUOR_RC_NULL_LATCH_BLOCK, 0);
    if (!modelGiven) *model = __atomic_load_n(&node->concurrencyModel, __ATOMIC_RELAXED);
    if (*model >= kModelLimit) [[unlikely]]
        return t.failWith(30, QUOR_RC_BAD_CONCURRENCY_MODEL, *model);
    *latched = *model == QUOR_CONCURRENCY_MODEL_LATCHED;
    return QUOR_RC_OK;
}

template <class Recorder>
uint32_t exitLatched(const Recorder &t, NodeLatchBlock_t *block, Access access);

// The last step of every entry, with the latch held: a writer's mark left set
// says that a writer died inside a section of this node, which is repaired now
// (repair.h); a fenced node is refused. Either refusal leaves the section.
template <class Recorder>
[[gnu::always_inline]] inline uint32_t admit(const Recorder &t, SNodeCB_t *node, NodeLatchBlock_t *block,
                                             Access access, bool deadWriter) {
    uint32_t rc = QUOR_RC_OK;
    if (deadWriter) [[unlikely]] {
        rc = repairAfterDeadWriter(node);
    } else if (fenced(node)) [[unlikely]] {
        rc = QUOR_RC_NODE_DAMAGED;
    }
    if (rc == 0) [[likely]]
        return rc;
    (void)exitLatched(t, block, access);
    return t.fail(80, rc);
}

template <class Recorder>
uint32_t enterLatched(const Recorder &t, SNodeCB_t *node, NodeLatchBlock_t *block, Access access) {
    // Untraced, a writer enters in one host call, which also hands back the mark
    // it found: the failures it can give are the codes of the steps below, which
    // only the trace records tell apart.
    if constexpr (std::is_same_v<Recorder, Untraced>) {
        if (access == Access::Write) {
            int32_t previous = 0;
            const uint32_t rc = hostLatchAcquireAndRemark(block->accessLatch, block->writerActive, 1,
                                                          block->writeCount, &previous);
            if (rc != 0) [[unlikely]]
                return rc;
            return admit(t, node, block, access, previous != 0);
        }
    }
    // The host fails a latch with QUOR_RC_LATCH_FAILED; passing its code on as it
    // is lets an untraced read section end in the host's own call. Only a latch
    // taken over from a dead holder can find a writer's mark left set, so the
    // mark is read (and cleared, by a reader) only then.
    int recovered = 0;
    if (const uint32_t rc = hostLatchAcquire(block->accessLatch, &recovered); rc != 0) [[unlikely]]
        return t.fail(50, rc);
    int32_t previous = 0;
    if (recovered != 0) [[unlikely]]
        (void)hostAtomicSwap(block->writerActive, 0, &previous);
    if (access == Access::Read) return admit(t, node, block, access, previous != 0);
    // Mark and count change only under this latch: one host call, no locked
    // instructions.
    if (hostAtomicMarkAndCount(block->writerActive, 1, block->writeCount) != 0) [[unlikely]] {
        // A writer that cannot be counted does not keep the latch; a latch that
        // cannot be given back is the graver fault, and its code is the result.
        if (hostLatchRelease(block->accessLatch) != 0) [[unlikely]] {
            (void)t.fail(60, QUOR_RC_ATOMIC_FAILED);
            return t.fail(70, QUOR_RC_LATCH_FAILED);
        }
        return t.fail(60, QUOR_RC_ATOMIC_FAILED);
    }
    return admit(t, node, block, access, previous != 0);
}

template <class Recorder>
uint32_t exitLatched(const Recorder &t, NodeLatchBlock_t *block, Access access) {
    if constexpr (std::is_same_v<Recorder, Untraced>) {
        if (access == Access::Write) return hostLatchClearAndRelease(block->accessLatch, block->writerActive);
    }
    uint32_t rc = QUOR_RC_OK;
    if (access == Access::Write) {
        if (hostAtomicStore(block->writerActive, 0) != 0) [[unlikely]]
            rc = t.fail(50, QUOR_RC_ATOMIC_FAILED);
    }
    // The latch is released whatever became of the writer mark.
    if (const uint32_t released = hostLatchRelease(block->accessLatch); released != 0) [[unlikely]]
        rc = merged(rc, t.fail(60, released));
    return rc;
}

template <class Recorder>
[[gnu::always_inline]] inline uint32_t section(const Recorder &t, SNodeCB_t *node, NodeLatchBlock_t *block,
                                               bool enter, Access access, uint32_t *model, bool modelGiven) {
    bool latched = false;
    const uint32_t rc = checkSectionArguments(t, node, block, model, modelGiven, &latched);
    if (rc != 0 || !latched) [[unlikely]]
        return rc;
    if (block->latchEyecatcher != QUOR_EYECATCHER) [[unlikely]] {
        return t.failWith(40, QUOR_RC_LATCH_NOT_INITIALIZED, block->latchEyecatcher);
    }
    return enter ? enterLatched(t, node, block, access) : exitLatched(t, block, access);
}

// The section with its trace records, for when tracing is on: kept out of line,
// out of the way of the untraced path, which then needs no frame of its own.
[[gnu::cold, gnu::noinline]] uint32_t tracedSection(SNodeCB_t *node, NodeLatchBlock_t *block, bool enter,
                                                    Access access, uint32_t *model, bool modelGiven);

// With tracing off a section is its checks and the host latch, run straight
// through.
template <Access access>
[[gnu::always_inline]] inline uint32_t step(SNodeCB_t *node, NodeLatchBlock_t *block, bool enter,
                                            uint32_t *model, bool modelGiven) {
    if (tracingOn()) [[unlikely]]
        return tracedSection(node, block, enter, access, model, modelGiven);
    return section(Untraced{}, node, block, enter, access, model, modelGiven);
}

template <Access access>
[[gnu::always_inline]] inline uint32_t enterStep(SNodeCB_t *node, NodeLatchBlock_t *block) {
    uint32_t model = 0;
    return step<access>(node, block, true, &model, false);
}

template <Access access>
[[gnu::always_inline]] inline uint32_t exitStep(SNodeCB_t *node, NodeLatchBlock_t *block) {
    uint32_t model = 0;
    return step<access>(node, block, false, &model, false);
}

}  // namespace sections

// A section held for the length of a scope.
//
//   CriticalSection section(node, Access::Write, inCriticalSection);
//   if (uint32_t rc = section.entered(); rc != 0) return t.fail(30, rc);
//   uint32_t rc = ...main work...;
//   return section.close(rc);
//
// entered() is the entry's code; on failure nothing is held and close(rc)
// returns rc. With `inCriticalSection` non-zero the guard neither enters nor
// leaves. close(rc) leaves once and returns merged(rc, exit code); a guard that
// goes out of scope unclosed still leaves (its code is then lost, so close on
// every path that returns a code).
class CriticalSection {
public:
    [[gnu::always_inline]] CriticalSection(SNodeCB_t *node, Access access, uint32_t inCriticalSection = 0,
                                           NodeLatchBlock_t *block = nullptr)
        : node_(node),
          block_(block != nullptr || node == nullptr ? block : &node->nodeLatch),
          access_(access) {
        if (inCriticalSection != 0) return;
        // The exit follows the model this entry went by: the model word may change
        // while the section is held (quorSetConcurrencyModel takes no latch, and
        // option changes rewrite it inside the section), and leaving by the new word
        // would keep a latch for good or release one never taken.
        enterRc_ = access == Access::Read ? sections::step<Access::Read>(node, block_, true, &model_, false)
                                          : sections::step<Access::Write>(node, block_, true, &model_, false);
        held_ = enterRc_ == 0;
    }
    CriticalSection(const CriticalSection &) = delete;
    CriticalSection &operator=(const CriticalSection &) = delete;
    [[gnu::always_inline]] ~CriticalSection() {
        if (held_) [[unlikely]]
            (void)leave();
    }

    uint32_t entered() const { return enterRc_; }
    [[gnu::always_inline]] uint32_t close(uint32_t rc) {
        if (!held_) return rc;
        held_ = false;
        return merged(rc, leave());
    }

private:
    [[gnu::always_inline]] uint32_t leave() {
        return access_ == Access::Read ? sections::step<Access::Read>(node_, block_, false, &model_, true)
                                       : sections::step<Access::Write>(node_, block_, false, &model_, true);
    }

    SNodeCB_t *node_;
    NodeLatchBlock_t *block_;
    Access access_;
    uint32_t model_ = 0;  // the model the section was entered under
    uint32_t enterRc_ = 0;
    bool held_ = false;
};

// Runs `body()` (returning a code) inside the node's own section, unless the
// caller holds it, and returns the merged code; a failed entry is recorded at
// `probe` and returned without running the body.
template <class Body>
uint32_t inSection(Trace &t, uint32_t probe, SNodeCB_t *node, Access access, uint32_t inCriticalSection,
                   Body body) {
    CriticalSection section(node, access, inCriticalSection);
    if (uint32_t rc = section.entered(); rc != 0) return t.fail(probe, rc);
    return section.close(body());
}

// The node's condition against `mask` (0 or the condition's code), with the
// checks and trace records of quorCheckNodeCondition: the operations that check
// a condition inside their section run it, so its records show there too.
uint32_t checkNodeCondition(SNodeCB_t *node, uint32_t mask);

// Initialises a latch block under model 1 (both latches, both counters, then
// the eyecatcher = key); nothing under the other models. The checks and trace
// records of quorInitializeLatches.
uint32_t initializeLatches(SNodeCB_t *node, NodeLatchBlock_t *block, uint32_t key);

// quorActivateNode (condition 3), quorAbandonNode (4) or quorDisassociateNode
// (5), and quorUpdateNodeStatus, with their checks and trace records.
uint32_t setNodeCondition(SNodeCB_t **node, uint32_t condition);
uint32_t updateNodeStatus(SNodeCB_t *node);

// The host clock value of update time stamps: the 64-bit millisecond count.
uint64_t hostClockValue();

}  // namespace quor::tree
