// The tool's view of a status segment: attach by name, find nodes by path, read a
// node whole under one read section, build a tree from its description.
//
// Every read of a node happens inside that node's read critical section and takes
// only as long as copying the node's fields out; the tool never holds a section
// while it prints or sleeps, so the processes that own the tree are never kept
// waiting for long.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "names.hpp"
#include "quor/quor.hpp"
#include "tree_plan.hpp"

namespace quorctl {

using Library = quor::library;

// A status segment this process has attached; detached (one reference) when the
// object goes away, unless it was deleted.
class Segment {
public:
    // Attaches an existing segment with the default key words.
    static Segment attach(const std::string &name);
    // Creates a segment of `size` bytes whose tree pool takes what the domain leaves.
    static Segment create(const std::string &name, uint64_t size);

    ShmSegInfo_t *info() const { return segment_.get(); }
    quor::segment &layer() { return segment_; }
    const quor::segment &layer() const { return segment_; }
    const std::string &name() const { return name_; }
    unsigned char *base() const { return static_cast<unsigned char *>(info()->domainHandle->base); }
    // The top node recorded in the domain header.
    SNodeCB_t *top() const;
    // Marks the segment for deletion and deletes it; `force` frees the pool and the
    // domain even while other processes are connected.
    void destroy(bool force);

private:
    Segment(quor::segment segment, std::string name) : segment_(std::move(segment)), name_(std::move(name)) {}
    quor::segment segment_;
    std::string name_;
};

// A dependent-list entry as copied out of its parent.
struct ChildRef {
    SNodeInfo_t locator{};
    std::string id;
};

// Everything the tool shows about one node, copied out under one read section.
struct NodeSnapshot {
    NodePlan plan;  // tag, ID, condition, areas and properties (children left empty)
    uint64_t size = 0;
    uint64_t areaFlags = 0;
    int32_t updateCounter = 0;
    int64_t reconfigCounter = 0;
    uint64_t lastUpdate = 0;
    std::vector<ChildRef> children;
};

// Throws a Failure with kExitDamaged unless the node's control block and the
// areas it claims are whole and lie inside a segment this process has attached;
// every reader of a node calls it first.
void vouchForNode(SNodeCB_t *node);

NodeSnapshot readNode(SNodeCB_t *node);

// The node a path names, starting at the segment's top node; throws a library
// failure when a step matches no dependent node.
SNodeCB_t *findNode(const Segment &segment, const NodePath &path);
// A dependent node reached through its parent's entry (not necessarily active).
SNodeCB_t *resolveChild(const ChildRef &child);

// Property values.
struct PropertyValue {
    int32_t integer = 0;
    std::string bytes;
    uint64_t rc = 0;
    uint64_t number = 0;  // the base kinds report their number
};
PropertyValue getProperty(SNodeCB_t *node, const PropertySelector &selector);
void setPropertyValue(SNodeCB_t *node, const PropertySelector &selector, const std::string &value);
void setPropertyRc(SNodeCB_t *node, const PropertySelector &selector, uint64_t rc);

// Builds the tree in a fresh segment, activates it and records its top node.
void buildTree(Segment &segment, const TreePlan &tree);

}  // namespace quorctl
