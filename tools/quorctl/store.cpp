#include "store.hpp"

#include <algorithm>
#include <cstring>

#include "failure.hpp"
#include "pending_ops.hpp"
#include "quor/host.h"

namespace quorctl {

namespace {

constexpr const char *kDependents = "dependent-node lists";
constexpr const char *kProperties = "node properties";
constexpr uint32_t kInSection = 1;

// The node's read section for as long as the object lives. close() reports a
// failure to leave; the destructor leaves quietly when an earlier failure is
// already on its way out.
class ReadSection {
public:
    explicit ReadSection(SNodeCB_t *node) : node_(node) {
        check(quorEnterCriticalSectionBeforeRead(node_, &node_->nodeLatch), "enter the node's read section");
    }
    ~ReadSection() {
        if (node_ != nullptr) quorExitCriticalSectionAfterRead(node_, &node_->nodeLatch);
    }
    void close() {
        SNodeCB_t *node = node_;
        node_ = nullptr;
        check(quorExitCriticalSectionAfterRead(node, &node->nodeLatch), "leave the node's read section");
    }

private:
    SNodeCB_t *node_;
};

std::string what(const char *verb, const PropertySpec &spec) {
    return std::string(verb) + " property " + formatProperty(spec);
}

// The base kinds are addressed by their number; without one on the command line
// the number the node's base property carries is used.
uint64_t baseNumber(SNodeCB_t *node, const PropertySpec &spec) {
    if (spec.number != 0) return spec.number;
    uint64_t number = 0, size = 0;
    if (spec.kind == Kind::BaseR) {
        require(quorReturnBaseRProperty, kProperties);
        check(quorReturnBaseRProperty(node, &number, kInSection), "read the baser property's number");
    } else {
        require(quorReturnBaseVProperty, kProperties);
        check(quorReturnBaseVProperty(node, &number, &size, kInSection), "read the basev property's number");
    }
    return number;
}

uint64_t areaHeaderWord(SNodeCB_t *node, uint64_t kind, uint64_t index) {
    PExport *record = nullptr;
    check(quorGetPExportPointer(&record, node, kind), "find the node's area");
    if (record->areaSize < 8 * (index + 1)) check(QUOR_RC_AREA_TOO_LARGE, "read the area's header");
    uint64_t word = 0;
    std::memcpy(&word, reinterpret_cast<unsigned char *>(node) + record->areaOffset + 8 * index, sizeof word);
    return word;
}

// Reads one property's value and RC; the caller holds the node's read section.
PropertyValue readValue(SNodeCB_t *node, const PropertySpec &spec, uint64_t maxValueSize) {
    PropertyValue out;
    const uint64_t idLength = spec.id.size();
    const char *id = spec.id.data();
    std::string buffer(maxValueSize, '\0');
    uint64_t size = 0;
    void *address = nullptr;
    uint32_t rc = QUOR_RC_OK;
    require(quorGetRCForBaseVProperty, kProperties);
    switch (spec.kind) {
        case Kind::R:
            rc = quorGetValueForRProperty(node, spec.number, &out.integer, kInSection);
            if (rc == QUOR_RC_OK) rc = quorGetRCForRProperty(node, spec.number, &out.rc, kInSection);
            break;
        case Kind::IR:
            rc = quorGetValueForIRProperty(node, spec.tag, idLength, id, &out.integer, kInSection);
            if (rc == QUOR_RC_OK)
                rc = quorGetRCForIRProperty(node, spec.tag, idLength, id, &out.rc, kInSection);
            break;
        case Kind::BaseR:
            rc = quorGetValueForBaseRProperty(node, spec.number, &out.integer, kInSection);
            if (rc == QUOR_RC_OK) rc = quorGetRCForBaseRProperty(node, spec.number, &out.rc, kInSection);
            break;
        case Kind::V:
            rc = quorGetValueForVProperty(node, spec.number, &size, &address, buffer.data(), kInSection);
            if (rc == QUOR_RC_OK) rc = quorGetRCForVProperty(node, spec.number, &out.rc, kInSection);
            break;
        case Kind::IV:
            rc = quorGetValueForIVProperty(node, spec.tag, idLength, id, &size, &address, buffer.data(),
                                           kInSection);
            if (rc == QUOR_RC_OK)
                rc = quorGetRCForIVProperty(node, spec.tag, idLength, id, &out.rc, kInSection);
            break;
        case Kind::BaseV:
            rc = quorGetValueForBaseVProperty(node, spec.number, &size, &address, buffer.data(), kInSection);
            if (rc == QUOR_RC_OK) rc = quorGetRCForBaseVProperty(node, spec.number, &out.rc, kInSection);
            break;
    }
    check(rc, what("read", spec));
    if (size > maxValueSize)
        check(QUOR_RC_HEAP_CORRUPT, what("read", spec) + ": value longer than its area allows");
    out.bytes.assign(buffer.data(), size);
    out.number = spec.number;
    return out;
}

uint64_t maxValueSize(SNodeCB_t *node, Kind kind) {
    uint64_t maxId = 0, maxValue = 0;
    switch (kind) {
        case Kind::V:
            require(quorGetMaxVSizeForVProperties, kProperties);
            check(quorGetMaxVSizeForVProperties(node, &maxValue), "read the v area's value size");
            return maxValue;
        case Kind::IV:
            require(quorGetMaxIDVSizeForIVProperties, kProperties);
            check(quorGetMaxIDVSizeForIVProperties(node, &maxId, &maxValue), "read the iv area's sizes");
            return maxValue;
        case Kind::BaseV:
            return areaHeaderWord(node, QUOR_KIND_BASEV, 0);
        default:
            return 0;
    }
}

// A hashed area holds room for more properties than were planned for it (its
// tables and free list round up). Without a record of the planned number, the
// smallest one that sizes the area as large as it is serves to create it again.
uint64_t plannedCapacity(SNodeCB_t *node, Kind kind, uint32_t areaKind, const PropertyArea &area) {
    if (node->areaFlags & QUOR_KIND_EXPORT_LIST) {
        // A node that recorded what it was planned for says so exactly.
        PExport *list = nullptr;
        if (quorGetPExportPointer(&list, node, QUOR_KIND_EXPORT_LIST) == QUOR_RC_OK &&
            list->areaSize >= sizeof(ExportList_t)) {
            ExportList_t exported;
            std::memcpy(&exported, reinterpret_cast<unsigned char *>(node) + list->areaOffset,
                        sizeof exported);
            const uint32_t entry = exported.entries[kind == Kind::R    ? QUOR_EXPORT_R_CAPACITY
                                                    : kind == Kind::V  ? QUOR_EXPORT_V_CAPACITY
                                                    : kind == Kind::IR ? QUOR_EXPORT_IR_CAPACITY
                                                                       : QUOR_EXPORT_IV_CAPACITY];
            if (entry != 0 && entry <= area.capacity) return entry;
        }
    }
    PExport *record = nullptr;
    check(quorGetPExportPointer(&record, node, areaKind), "find the node's area");
    const uint64_t index = static_cast<uint64_t>(__builtin_ctz(areaKind)) - 1;
    const uint64_t maxId = area.maxIdSize, maxValue = std::max<uint64_t>(area.maxValueSize, 1);
    for (uint64_t planned = 1; planned <= area.capacity; ++planned) {
        const uint64_t r = kind == Kind::R ? planned : 0, v = kind == Kind::V ? planned : 0;
        const uint64_t ir = kind == Kind::IR ? planned : 0, iv = kind == Kind::IV ? planned : 0;
        uint64_t sizes[QUOR_MAX_SPACE_ARRAY_SIZE] = {}, total = 0;
        const uint32_t rc = quorCreateMaxSpaceArray(
            areaKind, r, v, ir, iv, 0, 0, 1, maxValue, maxId, maxId, maxValue, QUOR_LIST_HASHED,
            QUOR_LIST_HASHED, QUOR_LIST_HASHED, QUOR_LIST_HASHED, ir, ir, iv, iv, sizes, &total);
        if (rc == QUOR_RC_OK && sizes[index] == record->areaSize) return planned;
    }
    return area.capacity;
}

// Lists the keys of one numbered or tagged kind and reads each property.
void readArea(SNodeCB_t *node, Kind kind, NodeSpec &spec) {
    require(quorReturnIVProperties, kProperties);
    PropertyArea area;
    uint64_t count = 0, capacity = 0, table = 0, tagTable = 0, idTable = 0, maxId = 0;
    const uint32_t areaKind = kind == Kind::R    ? QUOR_KIND_R
                              : kind == Kind::V  ? QUOR_KIND_V
                              : kind == Kind::IR ? QUOR_KIND_IR
                                                 : QUOR_KIND_IV;
    switch (kind) {
        case Kind::R:
            check(quorGetNumberOfRProperties(node, &count, &capacity, kInSection), "count r properties");
            break;
        case Kind::V:
            check(quorGetNumberOfVProperties(node, &count, &capacity, kInSection), "count v properties");
            break;
        case Kind::IR:
            check(quorGetNumberOfIRProperties(node, &count, &capacity, kInSection), "count ir properties");
            break;
        default:
            check(quorGetNumberOfIVProperties(node, &count, &capacity, kInSection), "count iv properties");
            break;
    }
    if (count > capacity || capacity > QUOR_MAX_COUNT) check(QUOR_RC_HEAP_CORRUPT, "count properties");
    if (isTagged(kind)) {
        check(quorGetHashTableSizeForIRVProperties(node, areaKind, &table, &tagTable, &idTable),
              "read a hash table size");
    } else {
        check(quorGetHashTableSizeForRVProperties(node, areaKind, &table), "read a hash table size");
    }
    area.capacity = capacity;
    area.hashed = table != 0;
    area.maxValueSize = maxValueSize(node, kind);
    if (kind == Kind::IR) check(quorGetMaxIDSizeForIRProperties(node, &maxId), "read the ir area's ID size");
    if (kind == Kind::IV)
        check(quorGetMaxIDVSizeForIVProperties(node, &maxId, &area.maxValueSize), "read the iv area's sizes");
    area.maxIdSize = maxId;
    if (area.hashed) area.capacity = plannedCapacity(node, kind, areaKind, area);
    (kind == Kind::R ? spec.r : kind == Kind::V ? spec.v : kind == Kind::IR ? spec.ir : spec.iv) = area;

    std::vector<uint64_t> keys(capacity), lengths(capacity), sizes(capacity);
    std::string ids(capacity * maxId, '\0');
    switch (kind) {
        case Kind::R:
            check(quorReturnRProperties(node, keys.data(), 0, capacity, kInSection), "list r properties");
            break;
        case Kind::V:
            check(quorReturnVProperties(node, keys.data(), sizes.data(), 0, capacity, kInSection),
                  "list v properties");
            break;
        case Kind::IR:
            check(quorReturnIRProperties(node, keys.data(), lengths.data(), ids.data(), 0, capacity, maxId,
                                         kInSection),
                  "list ir properties");
            break;
        default:
            check(quorReturnIVProperties(node, keys.data(), lengths.data(), ids.data(), sizes.data(), 0,
                                         capacity, maxId, kInSection),
                  "list iv properties");
            break;
    }
    for (uint64_t i = 0; i < capacity; ++i) {
        if (keys[i] == 0) continue;
        PropertySpec key{kind, isTagged(kind) ? 0 : keys[i], isTagged(kind) ? keys[i] : 0, {}};
        if (isTagged(kind)) {
            if (lengths[i] > maxId) check(QUOR_RC_HEAP_CORRUPT, "list properties");
            key.id.assign(ids.data() + i * maxId, lengths[i]);
        }
        const PropertyValue value = readValue(node, key, area.maxValueSize);
        spec.properties.push_back({kind, key.number, key.tag, key.id, value.integer, value.bytes, value.rc});
    }
}

void readBase(SNodeCB_t *node, Kind kind, NodeSpec &spec) {
    PropertyArea area;
    if (kind == Kind::BaseV) area.maxValueSize = maxValueSize(node, kind);
    (kind == Kind::BaseR ? spec.baser : spec.basev) = area;
    const PropertySpec key{kind, baseNumber(node, PropertySpec{kind, 0, 0, {}}), 0, {}};
    if (key.number == 0) return;  // the area holds no property
    const PropertyValue value = readValue(node, key, area.maxValueSize);
    spec.properties.push_back({kind, key.number, 0, {}, value.integer, value.bytes, value.rc});
}

void readChildren(SNodeCB_t *node, NodeSnapshot &out) {
    require(quorReturnDependentNodes, kDependents);
    uint64_t count = 0, capacity = 0, maxId = 0, returned = 0, total = 0;
    check(quorReturnNumberOfDependentNodes(node, &count, &capacity, kInSection), "count dependent nodes");
    check(quorGetMaxIDSizeForDependentNode(node, QUOR_KIND_DEPENDENTS, &maxId), "read the dependent list");
    if (count > capacity || capacity > QUOR_MAX_COUNT || maxId > QUOR_MAX_ID_SIZE) {
        check(QUOR_RC_HEAP_CORRUPT, "count dependent nodes");
    }
    out.spec.dependents = capacity;
    std::vector<SNodeInfo_t> entries(count);
    std::string ids(count * (maxId ? maxId : 1), '\0');
    if (count != 0) {
        check(quorReturnDependentNodes(node, entries.data(), ids.data(), &returned, &total, count, maxId,
                                       kInSection),
              "list dependent nodes");
    }
    for (uint64_t i = 0; i < returned && i < count; ++i) {
        if (entries[i].idSize > maxId) check(QUOR_RC_HEAP_CORRUPT, "list dependent nodes");
        out.children.push_back({entries[i], std::string(ids.data() + i * maxId, entries[i].idSize)});
    }
}

}  // namespace

namespace {

// The layer's errors carry the operation's name; the tool's messages say what it
// was doing, with the code's name and words.
template <class Fn>
auto described(const std::string &what, Fn &&fn) {
    try {
        return fn();
    } catch (const std::system_error &e) {
        throw Failure(kExitLibrary, what + ": " + e.code().message());
    }
}

}  // namespace

Segment Segment::attach(const std::string &name) {
    return described("attach segment " + name, [&] { return Segment(quor::segment::attach(name), name); });
}

Segment Segment::create(const std::string &name, uint64_t size) {
    return described("create segment " + name,
                     [&] { return Segment(quor::segment::create(name, size), name); });
}

SNodeCB_t *Segment::top() const {
    uint64_t tag = 0, offset = 0, pool = 0;
    // The header record's own code says why there is no tree; the layer's top()
    // reports only that the pointer could not be made.
    check(quorGetTopNodeInfoFromDomainHeader(info()->domainHandle, &tag, &offset, &pool),
          "read the top node record");
    return described("find the top node", [&] { return segment_.top().get(); });
}

void Segment::destroy(bool force) {
    described("delete segment " + name_ +
                  (force ? "" : " (other processes may be connected; --force frees it anyway)"),
              [&] { segment_.remove(force); });
}

NodeSnapshot readNode(SNodeCB_t *node) {
    NodeSnapshot out;
    ReadSection section(node);
    uint64_t tag = 0, idLength = 0, maxId = 0;
    char *id = nullptr;
    check(quorGetNodeTag(node, &tag, kInSection), "read the node's tag");
    check(quorGetNodeCondition(node, &out.spec.condition), "read the node's condition");
    check(quorGetNodeSize(node, &out.size, kInSection), "read the node's size");
    out.areaFlags = node->areaFlags;
    if (out.areaFlags & QUOR_KIND_ID) {
        check(quorGetNodeID(node, &id, &idLength, kInSection), "read the node's ID");
        check(quorGetMaxIDSizeForStatusNode(node, QUOR_KIND_ID, &maxId), "read the node's ID size");
        if (idLength > maxId) check(QUOR_RC_HEAP_CORRUPT, "read the node's ID");
    }
    out.spec.tag = tag;
    out.spec.id.assign(id != nullptr ? id : "", idLength);
    out.spec.maxIdSize = maxId;
    check(quorGetNodeReconfigCounter(node, &out.reconfigCounter), "read the node's reconfiguration counter");
    check(hostAtomicAdd(node->updateCounter, 0, &out.updateCounter), "read the node's update counter");
    out.lastUpdate = node->lastUpdate;
    for (Kind kind : {Kind::R, Kind::V, Kind::IR, Kind::IV}) {
        const uint64_t bit = kind == Kind::R    ? QUOR_KIND_R
                             : kind == Kind::V  ? QUOR_KIND_V
                             : kind == Kind::IR ? QUOR_KIND_IR
                                                : QUOR_KIND_IV;
        if (out.areaFlags & bit) readArea(node, kind, out.spec);
    }
    if (out.areaFlags & QUOR_KIND_BASER) readBase(node, Kind::BaseR, out.spec);
    if (out.areaFlags & QUOR_KIND_BASEV) readBase(node, Kind::BaseV, out.spec);
    if (out.areaFlags & QUOR_KIND_DEPENDENTS) readChildren(node, out);
    section.close();
    sortProperties(out.spec.properties);
    return out;
}

SNodeCB_t *resolveChild(const ChildRef &child) {
    SNodeInfo_t locator = child.locator;
    SNodeCB_t *node = nullptr;
    check(quorGetControlBlockPtrFromSNodeInfo(&locator, &node), "follow the locator of dependent node " +
                                                                    std::to_string(child.locator.tag) + ":" +
                                                                    escapeBytes(child.id));
    return node;
}

SNodeCB_t *findNode(const Segment &segment, const NodePath &path) {
    SNodeCB_t *node = segment.top();
    if (path.steps.empty()) return node;
    std::vector<PathStep> walked;
    for (size_t i = 0; i < path.steps.size(); ++i) {
        const PathStep &step = path.steps[i];
        if (i == 0) {
            const NodeSnapshot top = readNode(node);
            if (top.spec.tag != step.tag || top.spec.id != step.id) {
                throw Failure(kExitLibrary, "no node " + formatPath({step}) + ": the top node is " +
                                                formatPath({{top.spec.tag, top.spec.id}}));
            }
            walked.push_back(step);
            continue;
        }
        uint64_t idLength = 0;
        (void)idLength;
        const NodeSnapshot parent = readNode(node);
        const ChildRef *match = nullptr;
        for (const ChildRef &child : parent.children) {
            if (child.locator.tag == step.tag && child.id == step.id) match = &child;
        }
        if (match == nullptr) {
            throw Failure(kExitLibrary, "no node " + formatPath({step}) + " below " + formatPath(walked));
        }
        node = resolveChild(*match);
        walked.push_back(step);
    }
    return node;
}

PropertyValue getProperty(SNodeCB_t *node, const PropertySpec &spec) {
    require(quorGetValueForBaseVProperty, kProperties);
    ReadSection section(node);
    PropertySpec key = spec;
    if (key.kind == Kind::BaseR || key.kind == Kind::BaseV) {
        const uint64_t stored = baseNumber(node, PropertySpec{spec.kind, 0, 0, {}});
        if (stored == 0 || (spec.number != 0 && spec.number != stored)) {
            throw Failure(kExitLibrary, "no property " + formatProperty(spec) + " on this node");
        }
        key.number = stored;
    }
    PropertyValue value = readValue(node, key, isInteger(key.kind) ? 0 : maxValueSize(node, key.kind));
    section.close();
    return value;
}

void setPropertyValue(SNodeCB_t *node, const PropertySpec &spec, const std::string &text) {
    require(quorSetValueForBaseVProperty, kProperties);
    PropertySpec key = spec;
    if (key.kind == Kind::BaseR || key.kind == Kind::BaseV) key.number = getProperty(node, spec).number;
    const uint64_t idLength = key.id.size();
    const char *id = key.id.data();
    uint32_t rc = QUOR_RC_OK;
    if (isInteger(key.kind)) {
        const int32_t value = parseInt32(text, "value");
        rc = key.kind == Kind::R    ? quorSetValueForRProperty(node, key.number, value, 0)
             : key.kind == Kind::IR ? quorSetValueForIRProperty(node, key.tag, idLength, id, value, 0)
                                    : quorSetValueForBaseRProperty(node, key.number, value, 0);
    } else {
        const std::string bytes = unescapeBytes(text, "value");
        rc = key.kind == Kind::V ? quorSetValueForVProperty(node, key.number, bytes.size(), bytes.data(), 0)
             : key.kind == Kind::IV
                 ? quorSetValueForIVProperty(node, key.tag, idLength, id, bytes.size(), bytes.data(), 0)
                 : quorSetValueForBaseVProperty(node, key.number, bytes.size(), bytes.data(), 0);
    }
    check(rc, what("set", spec));
}

void setPropertyRc(SNodeCB_t *node, const PropertySpec &spec, uint64_t value) {
    require(quorSetRCForBaseVProperty, kProperties);
    PropertySpec key = spec;
    if (key.kind == Kind::BaseR || key.kind == Kind::BaseV) key.number = getProperty(node, spec).number;
    const uint64_t idLength = key.id.size();
    const char *id = key.id.data();
    uint32_t rc = QUOR_RC_OK;
    switch (key.kind) {
        case Kind::R:
            rc = quorSetRCForRProperty(node, key.number, value, 0);
            break;
        case Kind::V:
            rc = quorSetRCForVProperty(node, key.number, value, 0);
            break;
        case Kind::IR:
            rc = quorSetRCForIRProperty(node, key.tag, idLength, id, value, 0);
            break;
        case Kind::IV:
            rc = quorSetRCForIVProperty(node, key.tag, idLength, id, value, 0);
            break;
        case Kind::BaseR:
            rc = quorSetRCForBaseRProperty(node, key.number, value, 0);
            break;
        case Kind::BaseV:
            rc = quorSetRCForBaseVProperty(node, key.number, value, 0);
            break;
    }
    check(rc, what("set the RC of", spec));
}

}  // namespace quorctl
