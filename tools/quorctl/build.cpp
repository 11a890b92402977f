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
    Columns(const NodeSpec &spec, Kind kind, uint64_t valueStride) {
        for (const Property &p : spec.properties) {
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
void createLists(SNodeCB_t *node, const NodeSpec &spec) {
    if (spec.r) {
        Columns c(spec, Kind::R, 0);
        check(quorCreateRPropertyList(node, c.keys.data(), c.integers.data(), c.keys.size(), spec.r->capacity,
                                      layout(spec.r), 0),
              "create the r property list");
    }
    if (spec.v) {
        Columns c(spec, Kind::V, QUOR_ROUND8(spec.v->maxValueSize));
        check(
            quorCreateVPropertyList(node, c.keys.data(), c.values.data(), c.valueSizes.data(),
                                    spec.v->maxValueSize, c.keys.size(), spec.v->capacity, layout(spec.v), 0),
            "create the v property list");
    }
    if (spec.ir) {
        Columns c(spec, Kind::IR, 0);
        check(quorCreateIRPropertyList(node, c.keys.data(), c.integers.data(), c.idLengths.data(),
                                       c.ids.data(), spec.ir->maxIdSize, c.keys.size(), spec.ir->capacity,
                                       spec.ir->capacity, spec.ir->capacity, layout(spec.ir), 0),
              "create the ir property list");
    }
    if (spec.iv) {
        Columns c(spec, Kind::IV, QUOR_ROUND8(spec.iv->maxValueSize));
        check(quorCreateIVPropertyList(node, c.keys.data(), c.idLengths.data(), c.ids.data(),
                                       spec.iv->maxIdSize, c.values.data(), c.valueSizes.data(),
                                       spec.iv->maxValueSize, c.keys.size(), spec.iv->capacity,
                                       spec.iv->capacity, spec.iv->capacity, layout(spec.iv), 0),
              "create the iv property list");
    }
    for (const Property &p : spec.properties) {
        if (p.kind == Kind::BaseR) {
            check(quorCreateBaseRProperty(node, p.number, p.integer, 0), "create the baser property");
        } else if (p.kind == Kind::BaseV) {
            check(quorCreateBaseVProperty(node, p.number, p.bytes.data(), p.bytes.size(),
                                          spec.basev->maxValueSize, 0),
                  "create the basev property");
        }
    }
}

NodeSpaceParams_t spaceFor(const NodeSpec &spec, bool hasParent) {
    NodeSpaceParams_t space{};
    // The export list keeps the planned capacities, which a hashed area's size
    // alone does not tell exactly.
    space.areaFlags = QUOR_KIND_ID | QUOR_KIND_EXPORT_LIST;
    if (hasParent) space.areaFlags |= QUOR_KIND_PARENT;
    if (spec.r) space.areaFlags |= QUOR_KIND_R;
    if (spec.v) space.areaFlags |= QUOR_KIND_V;
    if (spec.ir) space.areaFlags |= QUOR_KIND_IR;
    if (spec.iv) space.areaFlags |= QUOR_KIND_IV;
    if (spec.baser) space.areaFlags |= QUOR_KIND_BASER;
    if (spec.basev) space.areaFlags |= QUOR_KIND_BASEV;
    if (spec.dependents) space.areaFlags |= QUOR_KIND_DEPENDENTS;
    // Value sizes of absent areas are still range-checked by the sizing; 1 passes.
    auto maxValue = [](const std::optional<PropertyArea> &a) {
        return a ? std::max<uint64_t>(a->maxValueSize, 1) : 1;
    };
    auto table = [](const std::optional<PropertyArea> &a) { return a && a->hashed ? a->capacity : 0; };
    space.rCount = capacity(spec.r);
    space.vCount = capacity(spec.v);
    space.irCount = capacity(spec.ir);
    space.ivCount = capacity(spec.iv);
    space.dependentCount = spec.dependents.value_or(0);
    space.maxIdSize = spec.maxIdSize;
    space.baseVMaxVSize = maxValue(spec.basev);
    space.vMaxVSize = maxValue(spec.v);
    space.irMaxIdSize = spec.ir ? spec.ir->maxIdSize : 0;
    space.ivMaxIdSize = spec.iv ? spec.iv->maxIdSize : 0;
    space.ivMaxVSize = maxValue(spec.iv);
    space.rHashMode = layout(spec.r);
    space.vHashMode = layout(spec.v);
    space.irHashMode = layout(spec.ir);
    space.ivHashMode = layout(spec.iv);
    space.irTagTableSize = space.irIdTableSize = table(spec.ir);
    space.ivTagTableSize = space.ivIdTableSize = table(spec.iv);
    return space;
}

quor::node buildNode(Segment &segment, const NodeSpec &spec, const SNodeInfo_t *parent,
                     const std::string *parentId) {
    const std::string name = formatPath({{spec.tag, spec.id}});
    quor::node node;
    described("create node " + name, [&] {
        quor::node_spec made;
        made.space = spaceFor(spec, parent != nullptr);
        made.id = spec.id;
        made.parent = parent;
        if (parentId != nullptr) made.parent_id = *parentId;
        node = segment.layer().create_node(made);
        node.set_tag(spec.tag);
    });
    createLists(node.get(), spec);
    if (spec.dependents) {
        check(quorCreateDependentNodeList(node.get(), nullptr, nullptr, nullptr, spec.maxIdSize, 0, 0),
              "create the dependent list of " + name);
    }
    if (spec.condition != QUOR_NODE_INITIALIZED) described("activate node " + name, [&] { node.activate(); });
    uint32_t planned[QUOR_EXPORT_LIST_ENTRIES] = {};
    planned[QUOR_EXPORT_R_CAPACITY] = static_cast<uint32_t>(capacity(spec.r));
    planned[QUOR_EXPORT_V_CAPACITY] = static_cast<uint32_t>(capacity(spec.v));
    planned[QUOR_EXPORT_IR_CAPACITY] = static_cast<uint32_t>(capacity(spec.ir));
    planned[QUOR_EXPORT_IV_CAPACITY] = static_cast<uint32_t>(capacity(spec.iv));
    planned[QUOR_EXPORT_DEPENDENTS] = static_cast<uint32_t>(spec.dependents.value_or(0));
    check(quorExportListOfChangedProperties(node.get(), nullptr, planned),
          "record the capacities of " + name);
    // RC words are written through the property operations, which want an active node.
    for (const Property &p : spec.properties) {
        if (p.rc != 0) setPropertyRc(node.get(), {p.kind, p.number, p.tag, p.id}, p.rc);
    }
    if (!spec.children.empty()) {
        SNodeInfo_t self{};
        described("build a locator of " + name, [&] { self = segment.layer().locator(node); });
        for (const NodeSpec &childSpec : spec.children) {
            const quor::node child = buildNode(segment, childSpec, &self, &spec.id);
            described("link " + formatPath({{childSpec.tag, childSpec.id}}) + " below " + name, [&] {
                SNodeInfo_t entry = segment.layer().locator(child);
                node.add_child(entry, childSpec.id);
            });
        }
    }
    if (spec.condition == QUOR_NODE_ABANDONED) described("abandon node " + name, [&] { node.abandon(); });
    if (spec.condition == QUOR_NODE_DISASSOCIATED) {
        described("disassociate node " + name, [&] { node.disassociate(); });
    }
    return node;
}

}  // namespace

void buildTree(Segment &segment, const TreeSpec &tree) {
    const quor::node top = buildNode(segment, tree.top, nullptr, nullptr);
    described("record the top node", [&] { segment.layer().set_top(top); });
}

}  // namespace quorctl
