// Building a tree from its description: each node is sized for the areas its
// description asks for, filled, activated and linked into its parent.
#include <algorithm>

#include "failure.hpp"
#include "store.hpp"

namespace quorctl {

namespace {

template <class Fn>
void described(const std::string &what, Fn &&fn) {
    try {
        fn();
    } catch (const std::system_error &e) {
        throw Failure(kExitLibrary, what + ": " + e.code().message());
    }
}

uint32_t layout(const std::optional<PropertyArea> &area) {
    return area && area->hashed ? QUOR_LIST_HASHED : QUOR_LIST_FLAT;
}

uint64_t capacity(const std::optional<PropertyArea> &area) { return area ? area->capacity : 0; }

// Flat arrays of one kind's keys, values, IDs and byte values, as list creation
// takes them (byte values at a stride of the maximum value size).
struct Columns {
    std::vector<uint64_t> keys, idLengths, valueSizes;
    std::vector<int32_t> integers;
    std::string ids, values;
    Columns(const NodePlan &plan, Kind kind, uint64_t valueStride) {
        for (const Property &p : plan.properties) {
            if (p.kind != kind) continue;
            keys.push_back(isTagged(kind) ? p.tag : p.number);
            integers.push_back(p.integer);
            idLengths.push_back(p.id.size());
            ids += p.id;
            valueSizes.push_back(p.bytes.size());
            std::string slot = p.bytes;
            slot.resize(valueStride, '\0');
            values += slot;
        }
    }
};

// The lists are made with their properties in one step while the node is only
// initialised: adding them one by one would need an active node and count a
// reconfiguration each.
void createLists(SNodeCB_t *node, const NodePlan &plan) {
    if (plan.r) {
        Columns c(plan, Kind::R, 0);
        check(quorCreateRPropertyList(node, c.keys.data(), c.integers.data(), c.keys.size(), plan.r->capacity,
                                      layout(plan.r), 0),
              "create the r property list");
    }
    if (plan.v) {
        Columns c(plan, Kind::V, QUOR_ROUND8(plan.v->maxValueSize));
        check(
            quorCreateVPropertyList(node, c.keys.data(), c.values.data(), c.valueSizes.data(),
                                    plan.v->maxValueSize, c.keys.size(), plan.v->capacity, layout(plan.v), 0),
            "create the v property list");
    }
    if (plan.ir) {
        Columns c(plan, Kind::IR, 0);
        check(quorCreateIRPropertyList(node, c.keys.data(), c.integers.data(), c.idLengths.data(),
                                       c.ids.data(), plan.ir->maxIdSize, c.keys.size(), plan.ir->capacity,
                                       plan.ir->capacity, plan.ir->capacity, layout(plan.ir), 0),
              "create the ir property list");
    }
    if (plan.iv) {
        Columns c(plan, Kind::IV, QUOR_ROUND8(plan.iv->maxValueSize));
        check(quorCreateIVPropertyList(node, c.keys.data(), c.idLengths.data(), c.ids.data(),
                                       plan.iv->maxIdSize, c.values.data(), c.valueSizes.data(),
                                       plan.iv->maxValueSize, c.keys.size(), plan.iv->capacity,
                                       plan.iv->capacity, plan.iv->capacity, layout(plan.iv), 0),
              "create the iv property list");
    }
    for (const Property &p : plan.properties) {
        if (p.kind == Kind::BaseR) {
            check(quorCreateBaseRProperty(node, p.number, p.integer, 0), "create the baser property");
        } else if (p.kind == Kind::BaseV) {
            check(quorCreateBaseVProperty(node, p.number, p.bytes.data(), p.bytes.size(),
                                          plan.basev->maxValueSize, 0),
                  "create the basev property");
        }
    }
}

NodeSpaceParams_t spaceFor(const NodePlan &plan, bool hasParent) {
    NodeSpaceParams_t space{};
    // The export list keeps the planned capacities, which a hashed area's size
    // alone does not tell exactly.
    space.areaFlags = QUOR_KIND_ID | QUOR_KIND_EXPORT_LIST;
    if (hasParent) space.areaFlags |= QUOR_KIND_PARENT;
    if (plan.r) space.areaFlags |= QUOR_KIND_R;
    if (plan.v) space.areaFlags |= QUOR_KIND_V;
    if (plan.ir) space.areaFlags |= QUOR_KIND_IR;
    if (plan.iv) space.areaFlags |= QUOR_KIND_IV;
    if (plan.baser) space.areaFlags |= QUOR_KIND_BASER;
    if (plan.basev) space.areaFlags |= QUOR_KIND_BASEV;
    if (plan.dependents) space.areaFlags |= QUOR_KIND_DEPENDENTS;
    // Value sizes of absent areas are still range-checked by the sizing; 1 passes.
    auto maxValue = [](const std::optional<PropertyArea> &a) {
        return a ? std::max<uint64_t>(a->maxValueSize, 1) : 1;
    };
    auto table = [](const std::optional<PropertyArea> &a) { return a && a->hashed ? a->capacity : 0; };
    space.rCount = capacity(plan.r);
    space.vCount = capacity(plan.v);
    space.irCount = capacity(plan.ir);
    space.ivCount = capacity(plan.iv);
    space.dependentCount = plan.dependents.value_or(0);
    space.maxIdSize = plan.maxIdSize;
    space.baseVMaxVSize = maxValue(plan.basev);
    space.vMaxVSize = maxValue(plan.v);
    space.irMaxIdSize = plan.ir ? plan.ir->maxIdSize : 0;
    space.ivMaxIdSize = plan.iv ? plan.iv->maxIdSize : 0;
    space.ivMaxVSize = maxValue(plan.iv);
    space.rHashMode = layout(plan.r);
    space.vHashMode = layout(plan.v);
    space.irHashMode = layout(plan.ir);
    space.ivHashMode = layout(plan.iv);
    space.irTagTableSize = space.irIdTableSize = table(plan.ir);
    space.ivTagTableSize = space.ivIdTableSize = table(plan.iv);
    return space;
}

quor::node buildNode(Segment &segment, const NodePlan &plan, const SNodeInfo_t *parent,
                     const std::string *parentId) {
    const std::string name = formatPath({{plan.tag, plan.id}});
    quor::node node;
    described("create node " + name, [&] {
        quor::node_plan made;
        made.space = spaceFor(plan, parent != nullptr);
        made.id = plan.id;
        made.parent = parent;
        if (parentId != nullptr) made.parent_id = *parentId;
        node = segment.layer().create_node(made);
        node.set_tag(plan.tag);
    });
    createLists(node.get(), plan);
    if (plan.dependents) {
        check(quorCreateDependentNodeList(node.get(), nullptr, nullptr, nullptr, plan.maxIdSize, 0, 0),
              "create the dependent list of " + name);
    }
    if (plan.condition != QUOR_NODE_INITIALIZED) described("activate node " + name, [&] { node.activate(); });
    uint32_t planned[QUOR_EXPORT_LIST_ENTRIES] = {};
    planned[QUOR_EXPORT_R_CAPACITY] = static_cast<uint32_t>(capacity(plan.r));
    planned[QUOR_EXPORT_V_CAPACITY] = static_cast<uint32_t>(capacity(plan.v));
    planned[QUOR_EXPORT_IR_CAPACITY] = static_cast<uint32_t>(capacity(plan.ir));
    planned[QUOR_EXPORT_IV_CAPACITY] = static_cast<uint32_t>(capacity(plan.iv));
    planned[QUOR_EXPORT_DEPENDENTS] = static_cast<uint32_t>(plan.dependents.value_or(0));
    check(quorExportListOfChangedProperties(node.get(), nullptr, planned),
          "record the capacities of " + name);
    // RC words are written through the property operations, which want an active node.
    for (const Property &p : plan.properties) {
        if (p.rc != 0) setPropertyRc(node.get(), {p.kind, p.number, p.tag, p.id}, p.rc);
    }
    if (!plan.children.empty()) {
        SNodeInfo_t self{};
        described("build a locator of " + name, [&] { self = segment.layer().locator(node); });
        for (const NodePlan &childPlan : plan.children) {
            const quor::node child = buildNode(segment, childPlan, &self, &plan.id);
            described("link " + formatPath({{childPlan.tag, childPlan.id}}) + " below " + name, [&] {
                SNodeInfo_t entry = segment.layer().locator(child);
                node.add_child(entry, childPlan.id);
            });
        }
    }
    if (plan.condition == QUOR_NODE_ABANDONED) described("abandon node " + name, [&] { node.abandon(); });
    if (plan.condition == QUOR_NODE_DISASSOCIATED) {
        described("disassociate node " + name, [&] { node.disassociate(); });
    }
    return node;
}

}  // namespace

void buildTree(Segment &segment, const TreePlan &tree) {
    const quor::node top = buildNode(segment, tree.top, nullptr, nullptr);
    described("record the top node", [&] { segment.layer().set_top(top); });
}

}  // namespace quorctl
