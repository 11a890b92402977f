// Building a tree from its description: each node is sized for the areas its
// description asks for, filled, activated and linked into its parent.
#include <algorithm>

#include "failure.hpp"
#include "pending_ops.hpp"
#include "store.hpp"

namespace quorctl {

namespace {

constexpr const char *kDependents = "dependent-node lists";
constexpr const char *kProperties = "node properties";

struct Built {
    SNodeCB_t *node = nullptr;
    uint64_t offset = 0;
};

uint32_t layout(const std::optional<PropertyArea> &area) {
    return area && area->hashed ? QUOR_LIST_HASHED : QUOR_LIST_FLAT;
}

std::vector<const Property *> ofKind(const NodeSpec &spec, Kind kind) {
    std::vector<const Property *> out;
    for (const Property &p : spec.properties) {
        if (p.kind == kind) out.push_back(&p);
    }
    return out;
}

// Flat arrays of the kind's keys, values, IDs and byte values, as the list
// creation takes them.
struct Columns {
    std::vector<uint64_t> keys, idLengths, valueSizes;
    std::vector<int32_t> integers;
    std::string ids, values;
    Columns(const std::vector<const Property *> &list, uint64_t valueStride) {
        for (const Property *p : list) {
            keys.push_back(isTagged(p->kind) ? p->tag : p->number);
            integers.push_back(p->integer);
            idLengths.push_back(p->id.size());
            ids += p->id;
            valueSizes.push_back(p->bytes.size());
            std::string slot = p->bytes;
            slot.resize(valueStride, '\0');
            values += slot;
        }
    }
};

void createLists(SNodeCB_t *node, const NodeSpec &spec) {
    if (spec.r) {
        require(quorCreateRPropertyList, kProperties);
        Columns c(ofKind(spec, Kind::R), 0);
        check(quorCreateRPropertyList(node, c.keys.data(), c.integers.data(), c.keys.size(), spec.r->capacity,
                                      layout(spec.r), 0),
              "create the r property list");
    }
    if (spec.v) {
        require(quorCreateVPropertyList, kProperties);
        Columns c(ofKind(spec, Kind::V), QUOR_ROUND8(spec.v->maxValueSize));
        check(
            quorCreateVPropertyList(node, c.keys.data(), c.values.data(), c.valueSizes.data(),
                                    spec.v->maxValueSize, c.keys.size(), spec.v->capacity, layout(spec.v), 0),
            "create the v property list");
    }
    if (spec.ir) {
        require(quorCreateIRPropertyList, kProperties);
        Columns c(ofKind(spec, Kind::IR), 0);
        check(quorCreateIRPropertyList(node, c.keys.data(), c.integers.data(), c.idLengths.data(),
                                       c.ids.data(), spec.ir->maxIdSize, c.keys.size(), spec.ir->capacity,
                                       spec.ir->capacity, spec.ir->capacity, layout(spec.ir), 0),
              "create the ir property list");
    }
    if (spec.iv) {
        require(quorCreateIVPropertyList, kProperties);
        Columns c(ofKind(spec, Kind::IV), QUOR_ROUND8(spec.iv->maxValueSize));
        check(quorCreateIVPropertyList(node, c.keys.data(), c.idLengths.data(), c.ids.data(),
                                       spec.iv->maxIdSize, c.values.data(), c.valueSizes.data(),
                                       spec.iv->maxValueSize, c.keys.size(), spec.iv->capacity,
                                       spec.iv->capacity, spec.iv->capacity, layout(spec.iv), 0),
              "create the iv property list");
    }
    for (const Property *p : ofKind(spec, Kind::BaseR)) {
        require(quorCreateBaseRProperty, kProperties);
        check(quorCreateBaseRProperty(node, p->number, p->integer, 0), "create the baser property");
    }
    for (const Property *p : ofKind(spec, Kind::BaseV)) {
        require(quorCreateBaseVProperty, kProperties);
        check(quorCreateBaseVProperty(node, p->number, p->bytes.data(), p->bytes.size(),
                                      spec.basev->maxValueSize, 0),
              "create the basev property");
    }
}

Built buildNode(Segment &segment, const NodeSpec &spec, SNodeInfo_t *parent, const std::string *parentId) {
    // The export list keeps the planned capacities, which a hashed area's size
    // alone does not tell exactly.
    uint64_t flags = QUOR_KIND_ID | QUOR_KIND_EXPORT_LIST;
    if (parent != nullptr) flags |= QUOR_KIND_PARENT;
    if (spec.r) flags |= QUOR_KIND_R;
    if (spec.v) flags |= QUOR_KIND_V;
    if (spec.ir) flags |= QUOR_KIND_IR;
    if (spec.iv) flags |= QUOR_KIND_IV;
    if (spec.baser) flags |= QUOR_KIND_BASER;
    if (spec.basev) flags |= QUOR_KIND_BASEV;
    if (spec.dependents) flags |= QUOR_KIND_DEPENDENTS;
    auto cap = [](const std::optional<PropertyArea> &a) { return a ? a->capacity : 0; };
    auto maxId = [](const std::optional<PropertyArea> &a) { return a ? a->maxIdSize : 0; };
    // Value sizes of absent areas are still range-checked by the sizing; 1 passes.
    auto maxValue = [](const std::optional<PropertyArea> &a) {
        return a ? std::max<uint64_t>(a->maxValueSize, 1) : 1;
    };
    auto table = [](const std::optional<PropertyArea> &a) { return a && a->hashed ? a->capacity : 0; };
    uint64_t sizes[QUOR_MAX_SPACE_ARRAY_SIZE] = {}, total = 0;
    check(quorCreateMaxSpaceArray(
              flags, cap(spec.r), cap(spec.v), cap(spec.ir), cap(spec.iv), spec.dependents.value_or(0),
              spec.maxIdSize, maxValue(spec.basev), maxValue(spec.v), maxId(spec.ir), maxId(spec.iv),
              maxValue(spec.iv), layout(spec.r), layout(spec.v), layout(spec.ir), layout(spec.iv),
              table(spec.ir), table(spec.ir), table(spec.iv), table(spec.iv), sizes, &total),
          "size node " + formatPath({{spec.tag, spec.id}}));
    Built built;
    check(quorCreateNode(segment.info(), &built.node, flags, sizes, &total, &built.offset),
          "create node " + formatPath({{spec.tag, spec.id}}));
    check(quorInitNode(&built.node, built.offset, spec.id.size(), spec.id.data(), parent,
                       parentId != nullptr ? parentId->data() : nullptr, spec.maxIdSize, nullptr, nullptr,
                       nullptr),
          "initialise node " + formatPath({{spec.tag, spec.id}}));
    check(quorSetNodeTag(built.node, spec.tag, 0), "tag node " + formatPath({{spec.tag, spec.id}}));
    createLists(built.node, spec);
    if (spec.dependents) {
        require(quorCreateDependentNodeList, kDependents);
        check(quorCreateDependentNodeList(built.node, nullptr, nullptr, nullptr, spec.maxIdSize, 0, 0),
              "create the dependent list of " + formatPath({{spec.tag, spec.id}}));
    }
    if (spec.condition != QUOR_NODE_INITIALIZED) {
        check(quorActivateNode(&built.node), "activate node " + formatPath({{spec.tag, spec.id}}));
    }
    uint32_t planned[QUOR_EXPORT_LIST_ENTRIES] = {};
    planned[QUOR_EXPORT_R_CAPACITY] = static_cast<uint32_t>(cap(spec.r));
    planned[QUOR_EXPORT_V_CAPACITY] = static_cast<uint32_t>(cap(spec.v));
    planned[QUOR_EXPORT_IR_CAPACITY] = static_cast<uint32_t>(cap(spec.ir));
    planned[QUOR_EXPORT_IV_CAPACITY] = static_cast<uint32_t>(cap(spec.iv));
    planned[QUOR_EXPORT_DEPENDENTS] = static_cast<uint32_t>(spec.dependents.value_or(0));
    check(quorExportListOfChangedProperties(built.node, nullptr, planned),
          "record the planned capacities of " + formatPath({{spec.tag, spec.id}}));
    // RC words are kept per property and can be written once the node is active.
    for (const Property &p : spec.properties) {
        if (p.rc != 0) setPropertyRc(built.node, {p.kind, p.number, p.tag, p.id}, p.rc);
    }
    if (!spec.children.empty()) {
        SNodeInfo_t self{};
        check(quorAddStatusNodeInfo(&self, segment.info(), segment.info(), built.offset, spec.tag,
                                    spec.id.size(), nullptr),
              "build a locator of " + formatPath({{spec.tag, spec.id}}));
        for (const NodeSpec &childSpec : spec.children) {
            const Built child = buildNode(segment, childSpec, &self, &spec.id);
            SNodeInfo_t entry{};
            check(quorAddStatusNodeInfo(&entry, segment.info(), segment.info(), child.offset, childSpec.tag,
                                        childSpec.id.size(), nullptr),
                  "build a locator of " + formatPath({{childSpec.tag, childSpec.id}}));
            require(quorAddDependentNode, kDependents);
            check(quorAddDependentNode(built.node, &entry, childSpec.id.data(), childSpec.id.size(), 0, 0),
                  "link " + formatPath({{childSpec.tag, childSpec.id}}) + " below " +
                      formatPath({{spec.tag, spec.id}}));
        }
    }
    if (spec.condition == QUOR_NODE_ABANDONED) check(quorAbandonNode(&built.node), "abandon node");
    if (spec.condition == QUOR_NODE_DISASSOCIATED)
        check(quorDisassociateNode(&built.node), "disassociate node");
    return built;
}

}  // namespace

void buildTree(Segment &segment, const TreeSpec &tree) {
    const Built top = buildNode(segment, tree.top, nullptr, nullptr);
    check(quorPutTopNodeInfoIntoDomainHeader(segment.info()->domainHandle, tree.top.tag, top.offset,
                                             segment.info()->poolHandle->poolHeapOffset),
          "record the top node");
}

}  // namespace quorctl
