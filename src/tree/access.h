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

#include "frame/trace.h"
#include "quor/quor.h"

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
    CriticalSection(SNodeCB_t *node, Access access, uint32_t inCriticalSection = 0,
                    NodeLatchBlock_t *block = nullptr);
    CriticalSection(const CriticalSection &) = delete;
    CriticalSection &operator=(const CriticalSection &) = delete;

    uint32_t entered() const { return enterRc_; }
    uint32_t close(uint32_t rc) { return leave_.close(rc); }

private:
    struct Target {
        SNodeCB_t *node;
        NodeLatchBlock_t *block;
        Access access;
        uint32_t model;  // the model the section was entered under
    };
    struct Leave {
        const Target *target;
        uint32_t operator()() const {
            return exitSectionAs(target->node, target->block, target->access, target->model);
        }
    };
    uint32_t enterRc_ = 0;
    Target target_;
    Closing<Leave> leave_;
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
