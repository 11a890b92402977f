// The one way the tree walks go down dependent-node lists.
//
// Searches, totals, status changes and subtree deletion all visit a node's
// children through the list's cursor (dependents.h: holes skipped, every slot
// and ID checked) and go down with an explicit stack rather than one call per
// tree level, so that a deep tree cannot exhaust the caller's thread stack.
//
// Rules:
//   1. A frame is pushed for every node the walk goes into, and popped once its
//      cursor is exhausted; the visitor's leave() runs then, so a walk is
//      pre-order through child() and post-order through leave().
//   2. A walk ends with QUOR_RC_DEPTH_TOO_LARGE when it would walk the children
//      of a node already on its stack (a locator that leads back to an
//      ancestor) or go deeper than 32768 levels, and with QUOR_RC_TOO_MANY_DEPENDENTS after 2^24
//      visited entries (a corrupt list that names the same subtree many times):
//      a cyclic or corrupt tree ends with a code, never endlessly.
//   3. A child whose visit fails while its entry is being changed (rule 5 of
//      dependents.h) is passed over; the walk fails only on entries that held
//      still.
//   4. Frames beyond the first 32 live in private memory that the walk
//      releases on every path; failing to get more gives QUOR_RC_NO_MEMORY.
#pragma once

#include <cstdint>
#include <cstring>

#include "frame/state.h"
#include "tree/dependents.h"

namespace quor::tree {

inline constexpr uint64_t kWalkDepthLimit = QUOR_MAX_COUNT;
inline constexpr uint64_t kWalkVisitLimit = uint64_t{1} << 24;

// What a visitor decides about one child.
enum class ChildStep {
    Skip,     // leave the child and its subtree out
    Descend,  // push the frame the visitor filled in
    Stop,     // end the walk with code 0
};

// A stack of walk frames (trivially copyable): the first ones in place, which
// is all most trees need, the rest in private memory.
template <class Frame>
class WalkStack {
public:
    WalkStack() = default;
    WalkStack(const WalkStack &) = delete;
    WalkStack &operator=(const WalkStack &) = delete;
    ~WalkStack() {
        if (spilled_ != nullptr) (void)freePrivate(&spilled_, src::tree);
    }

    uint32_t push(const Frame &frame) {
        if (size_ == capacity_) {
            const uint64_t grown = capacity_ * 2;
            Frame *more = nullptr;
            if (allocPrivate(&more, src::tree, grown) != 0) return QUOR_RC_NO_MEMORY;
            std::memcpy(static_cast<void *>(more), frames_, size_ * sizeof(Frame));
            if (spilled_ != nullptr) (void)freePrivate(&spilled_, src::tree);
            frames_ = spilled_ = more;
            capacity_ = grown;
        }
        frames_[size_++] = frame;
        return QUOR_RC_OK;
    }
    Frame &top() { return frames_[size_ - 1]; }
    Frame pop() { return frames_[--size_]; }
    uint64_t size() const { return size_; }
    bool holds(const SNodeCB_t *node) const {
        for (uint64_t i = 0; i < size_; ++i) {
            if (frames_[i].node == node) return true;
        }
        return false;
    }

private:
    static constexpr uint64_t kInPlace = 32;
    Frame inPlace_[kInPlace];
    Frame *frames_ = inPlace_;
    Frame *spilled_ = nullptr;
    uint64_t size_ = 0, capacity_ = kInPlace;
};

// Runs a walk from `root`. The visitor provides:
//   using Frame = ...;  // trivially copyable, with `SNodeCB_t *node` and
//                       // `DepCursor cursor`
//   uint32_t child(Frame &parent, const DepEntry &entry, Frame *next, ChildStep *step);
//   uint32_t leave(Frame &frame, bool root);
// A non-zero code from either ends the walk with that code.
template <class Visitor>
uint32_t walkTree(const typename Visitor::Frame &root, Visitor &visitor) {
    using Frame = typename Visitor::Frame;
    WalkStack<Frame> stack;
    if (uint32_t rc = stack.push(root); rc != 0) return rc;
    uint64_t visits = 0;
    while (stack.size() != 0) {
        DepEntry entry;
        bool done = false;
        if (uint32_t rc = stack.top().cursor.next(&entry, &done); rc != 0) return rc;
        if (done) {
            Frame frame = stack.pop();
            if (uint32_t rc = visitor.leave(frame, stack.size() == 0); rc != 0) return rc;
            continue;
        }
        if (++visits > kWalkVisitLimit) return QUOR_RC_TOO_MANY_DEPENDENTS;
        Frame next{};
        ChildStep step = ChildStep::Skip;
        if (uint32_t rc = visitor.child(stack.top(), entry, &next, &step); rc != 0) {
            // A child being moved is passed over, as a walk that came a moment
            // later would have passed it; only an entry that held still fails.
            if (entry.moved()) continue;
            return rc;
        }
        if (step == ChildStep::Stop) return QUOR_RC_OK;
        if (step == ChildStep::Skip) continue;
        // A node whose children are not walked cannot lead the walk round a loop.
        if (!next.cursor.exhausted() && (stack.size() > kWalkDepthLimit || stack.holds(next.node)))
            return QUOR_RC_DEPTH_TOO_LARGE;
        if (uint32_t rc = stack.push(next); rc != 0) return rc;
    }
    return QUOR_RC_OK;
}

// quorSetStatusForEachNodeInATree as other operations run it: its checks and
// trace records.
uint32_t setStatusForEachNode(SNodeCB_t *top, ShmSegInfo_t *segInfo, uint64_t maxDepth, uint32_t action,
                              uint32_t mask);

}  // namespace quor::tree
