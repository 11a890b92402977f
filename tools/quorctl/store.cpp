#include "store.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "failure.hpp"
#include "quor/host.h"
#include "tree/directory.h"

namespace quorctl {

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

// Calls f with the layer's kind tag for `kind`, so each operation below is
// written once for all six kinds.
template <class F>
decltype(auto) withKind(Kind kind, F &&f) {
    switch (kind) {
        case Kind::R:
            return f(quor::kind::R{});
        case Kind::V:
            return f(quor::kind::V{});
        case Kind::IR:
            return f(quor::kind::IR{});
        case Kind::IV:
            return f(quor::kind::IV{});
        case Kind::BaseR:
            return f(quor::kind::BaseR{});
        case Kind::BaseV:
            break;
    }
    return f(quor::kind::BaseV{});
}

template <class K>
constexpr bool kTagged = std::is_same_v<typename quor::traits<K>::key, quor::tagged_key>;

template <class K>
quor::property<K> propertyOf(const quor::node &node, const PropertySelector &selector) {
    if constexpr (kTagged<K>) {
        return {node, quor::tagged_key{selector.tag, selector.id}};
    } else {
        return {node, quor::number_key{selector.number}};
    }
}

// The base kinds are addressed by their number; 0 when the node's base area
// holds no property.
uint64_t storedBaseNumber(const quor::node &held, Kind kind) {
    uint64_t number = 0, size = 0;
    if (kind == Kind::BaseR) {
        check(quorReturnBaseRProperty(held.get(), &number, 1), "read the baser property's number");
    } else {
        check(quorReturnBaseVProperty(held.get(), &number, &size, 1), "read the basev property's number");
    }
    return number;
}

// Resolves the number a base-kind selector stands for: the stored one, which must
// match the selector's number when it names one.
PropertySelector keyOf(const quor::node &held, const PropertySelector &selector) {
    if (selector.kind != Kind::BaseR && selector.kind != Kind::BaseV) return selector;
    PropertySelector key = selector;
    key.number = storedBaseNumber(held, selector.kind);
    if (key.number == 0 || (selector.number != 0 && selector.number != key.number)) {
        throw Failure(kExitLibrary, "no property " + formatProperty(selector) + " on this node");
    }
    return key;
}

// Reads one property's value and RC; `held` holds the node's read section.
PropertyValue readValue(const quor::node &held, const PropertySelector &key) {
    return described("read property " + formatProperty(key), [&] {
        return withKind(key.kind, [&](auto k) {
            using K = decltype(k);
            const quor::property<K> p = propertyOf<K>(held, key);
            PropertyValue out;
            if constexpr (quor::traits<K>::integer) {
                out.integer = p.get();
            } else {
                out.bytes = p.get();
            }
            out.rc = p.rc();
            out.number = key.number;
            return out;
        });
    });
}

uint64_t areaOf(Kind kind) {
    return withKind(kind, [](auto k) { return quor::traits<decltype(k)>::area; });
}

// The area's maximum ID and value sizes, where its kind has them.
void readMaxima(SNodeCB_t *node, Kind kind, PropertyArea &area) {
    switch (kind) {
        case Kind::V:
            check(quorGetMaxVSizeForVProperties(node, &area.maxValueSize), "read the v area");
            break;
        case Kind::IR:
            check(quorGetMaxIDSizeForIRProperties(node, &area.maxIdSize), "read the ir area");
            break;
        case Kind::IV:
            check(quorGetMaxIDVSizeForIVProperties(node, &area.maxIdSize, &area.maxValueSize),
                  "read the iv area");
            break;
        case Kind::BaseV: {
            // The BaseV area begins with its maximum value size.
            quor::tree::Area basev;
            check(quor::tree::openArea(node, QUOR_KIND_BASEV, &basev), "find the basev area");
            const uint64_t *maxValueSize = basev.at<uint64_t>(0);
            if (maxValueSize == nullptr) check(QUOR_RC_HEAP_CORRUPT, "read the basev area");
            area.maxValueSize = *maxValueSize;
            break;
        }
        default:
            break;
    }
}

// A hashed area holds room for more properties than were planned for it (its
// tables and free list round up). Nodes this tool makes keep the planned number
// in their export list; for others, the smallest number that sizes the area as
// large as it is serves to create it again.
uint64_t plannedCapacity(SNodeCB_t *node, Kind kind, const PropertyArea &area) {
    const uint32_t index = kind == Kind::R    ? QUOR_EXPORT_R_CAPACITY
                           : kind == Kind::V  ? QUOR_EXPORT_V_CAPACITY
                           : kind == Kind::IR ? QUOR_EXPORT_IR_CAPACITY
                                              : QUOR_EXPORT_IV_CAPACITY;
    quor::tree::Area list;
    if ((node->areaFlags & QUOR_KIND_EXPORT_LIST) &&
        quor::tree::openArea(node, QUOR_KIND_EXPORT_LIST, &list) == QUOR_RC_OK) {
        if (const ExportList_t *exported = list.at<ExportList_t>(0);
            exported != nullptr && exported->entries[index] != 0 && exported->entries[index] <= area.capacity) {
            return exported->entries[index];
        }
    }
    const uint64_t areaKind = areaOf(kind);
    PExport *record = nullptr;
    check(quorGetPExportPointer(&record, node, areaKind), "find the node's area");
    const uint64_t slot = static_cast<uint64_t>(__builtin_ctzll(areaKind)) - 1;
    const uint64_t maxId = area.maxIdSize, maxValue = std::max<uint64_t>(area.maxValueSize, 1);
    for (uint64_t planned = 1; planned <= area.capacity; ++planned) {
        const uint64_t r = kind == Kind::R ? planned : 0, v = kind == Kind::V ? planned : 0;
        const uint64_t ir = kind == Kind::IR ? planned : 0, iv = kind == Kind::IV ? planned : 0;
        uint64_t sizes[QUOR_MAX_SPACE_ARRAY_SIZE] = {}, total = 0;
        const uint32_t rc = quorCreateMaxSpaceArray(
            areaKind, r, v, ir, iv, 0, 0, 1, maxValue, maxId, maxId, maxValue, QUOR_LIST_HASHED,
            QUOR_LIST_HASHED, QUOR_LIST_HASHED, QUOR_LIST_HASHED, ir, ir, iv, iv, sizes, &total);
        if (rc == QUOR_RC_OK && sizes[slot] == record->areaSize) return planned;
    }
    return area.capacity;
}

// One numbered or tagged kind: its area's shape and every property in it.
template <class K>
void readTable(const quor::node &held, Kind kind, NodePlan &plan) {
    SNodeCB_t *node = held.get();
    PropertyArea area;
    const quor::property_counts counts =
        described(std::string("count ") + kindName(kind) + " properties", [&] { return held.count<K>(); });
    area.capacity = counts.capacity;
    uint64_t table = 0, tagTable = 0, idTable = 0;
    if constexpr (kTagged<K>) {
        check(quorGetHashTableSizeForIRVProperties(node, areaOf(kind), &table, &tagTable, &idTable),
              "read a hash table size");
    } else {
        check(quorGetHashTableSizeForRVProperties(node, areaOf(kind), &table), "read a hash table size");
    }
    area.hashed = table != 0;
    readMaxima(node, kind, area);
    if (area.hashed) area.capacity = plannedCapacity(node, kind, area);
    const auto listed =
        described(std::string("list ") + kindName(kind) + " properties", [&] { return held.list<K>(); });
    for (const quor::listed_property &l : listed) {
        const PropertySelector key{kind, kTagged<K> ? 0 : l.key, kTagged<K> ? l.key : 0, l.id};
        const PropertyValue value = readValue(held, key);
        plan.properties.push_back({kind, key.number, key.tag, key.id, value.integer, value.bytes, value.rc});
    }
    (kind == Kind::R ? plan.r : kind == Kind::V ? plan.v : kind == Kind::IR ? plan.ir : plan.iv) = area;
}

void readBase(const quor::node &held, Kind kind, NodePlan &plan) {
    PropertyArea area;
    readMaxima(held.get(), kind, area);
    (kind == Kind::BaseR ? plan.baser : plan.basev) = area;
    const uint64_t number = storedBaseNumber(held, kind);
    if (number == 0) return;
    const PropertyValue value = readValue(held, {kind, number, 0, {}});
    plan.properties.push_back({kind, number, 0, {}, value.integer, value.bytes, value.rc});
}

// Copies of the dependent-list entries that resolve on their own, wherever kept.
void readChildren(SNodeCB_t *node, NodeSnapshot &out) {
    uint64_t count = 0, capacity = 0, maxId = 0, returned = 0, total = 0;
    check(quorReturnNumberOfDependentNodes(node, &count, &capacity, 1), "count dependent nodes");
    check(quorGetMaxIDSizeForDependentNode(node, QUOR_KIND_DEPENDENTS, &maxId), "read the dependent list");
    if (count > capacity || capacity > QUOR_MAX_COUNT || maxId > QUOR_MAX_ID_SIZE) {
        check(QUOR_RC_HEAP_CORRUPT, "count dependent nodes");
    }
    out.plan.dependents = capacity;
    if (count == 0) return;
    std::vector<SNodeInfo_t> entries(count);
    std::string ids(count * std::max<uint64_t>(maxId, 1), '\0');
    check(quorReturnDependentNodes(node, entries.data(), ids.data(), &returned, &total, count, maxId, 1),
          "list dependent nodes");
    for (uint64_t i = 0; i < returned && i < count; ++i) {
        if (entries[i].idSize > maxId) check(QUOR_RC_HEAP_CORRUPT, "list dependent nodes");
        out.children.push_back({entries[i], std::string(ids.data() + i * maxId, entries[i].idSize)});
    }
}

}  // namespace

Segment Segment::attach(const std::string &name) {
    try {
        return Segment(quor::segment::attach(name), name);
    } catch (const std::system_error &e) {
        throw Failure(kExitLibrary, "segment " + name + ": " + quor::segment::cause_of(e.code()).message());
    }
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

void vouchForNode(SNodeCB_t *node) {
    uint64_t kind = 0;
    if (const uint32_t rc = quor::tree::checkNodeBytes(node, &kind); rc != 0) {
        char area[40] = "";
        if (kind != 0) std::snprintf(area, sizeof area, " (area 0x%llx)", static_cast<unsigned long long>(kind));
        throw Failure(kExitDamaged, std::string("damaged node") + area + ": " + describeCode(rc));
    }
}

NodeSnapshot readNode(SNodeCB_t *cb) {
    NodeSnapshot out;
    vouchForNode(cb);
    described("read a node", [&] {
        quor::read_guard guard{quor::node(cb)};
        const quor::node &held = *guard;
        out.plan.tag = held.tag();
        out.plan.condition = static_cast<uint32_t>(held.condition());
        out.size = held.size();
        out.areaFlags = cb->areaFlags;
        if (out.areaFlags & QUOR_KIND_ID) {
            out.plan.id = std::string(held.id());
            check(quorGetMaxIDSizeForStatusNode(cb, QUOR_KIND_ID, &out.plan.maxIdSize),
                  "read the node's ID size");
        }
        out.reconfigCounter = held.reconfig_counter();
        check(hostAtomicAdd(cb->updateCounter, 0, &out.updateCounter), "read the node's update counter");
        out.lastUpdate = cb->lastUpdate;
        if (out.areaFlags & QUOR_KIND_R) readTable<quor::kind::R>(held, Kind::R, out.plan);
        if (out.areaFlags & QUOR_KIND_V) readTable<quor::kind::V>(held, Kind::V, out.plan);
        if (out.areaFlags & QUOR_KIND_IR) readTable<quor::kind::IR>(held, Kind::IR, out.plan);
        if (out.areaFlags & QUOR_KIND_IV) readTable<quor::kind::IV>(held, Kind::IV, out.plan);
        if (out.areaFlags & QUOR_KIND_BASER) readBase(held, Kind::BaseR, out.plan);
        if (out.areaFlags & QUOR_KIND_BASEV) readBase(held, Kind::BaseV, out.plan);
        if (out.areaFlags & QUOR_KIND_DEPENDENTS) readChildren(cb, out);
        guard.unlock();
    });
    sortProperties(out.plan.properties);
    return out;
}

SNodeCB_t *resolveChild(const ChildRef &child) {
    SNodeInfo_t locator = child.locator;
    SNodeCB_t *node = nullptr;
    check(quorGetControlBlockPtrFromSNodeInfo(&locator, &node),
          "follow the locator of dependent node " + formatPath({{child.locator.tag, child.id}}).substr(1));
    return node;
}

SNodeCB_t *findNode(const Segment &segment, const NodePath &path) {
    SNodeCB_t *node = segment.top();
    std::vector<PathStep> walked;
    for (size_t i = 0; i < path.steps.size(); ++i) {
        const PathStep &step = path.steps[i];
        const NodeSnapshot at = readNode(node);
        if (i == 0) {
            if (at.plan.tag != step.tag || at.plan.id != step.id) {
                throw Failure(kExitLibrary, "no node " + formatPath({step}) + ": the top node is " +
                                                formatPath({{at.plan.tag, at.plan.id}}));
            }
        } else {
            const auto match = std::find_if(
                at.children.begin(), at.children.end(),
                [&](const ChildRef &child) { return child.locator.tag == step.tag && child.id == step.id; });
            if (match == at.children.end()) {
                throw Failure(kExitLibrary, "no node " + formatPath({step}) + " below " + formatPath(walked));
            }
            node = resolveChild(*match);
        }
        walked.push_back(step);
    }
    return node;
}

PropertyValue getProperty(SNodeCB_t *node, const PropertySelector &selector) {
    vouchForNode(node);
    return described("read property " + formatProperty(selector), [&] {
        quor::read_guard guard{quor::node(node)};
        PropertyValue value = readValue(*guard, keyOf(*guard, selector));
        guard.unlock();
        return value;
    });
}

void setPropertyValue(SNodeCB_t *node, const PropertySelector &selector, const std::string &text) {
    vouchForNode(node);
    described("set property " + formatProperty(selector), [&] {
        quor::write_guard guard{quor::node(node)};
        const PropertySelector key = keyOf(*guard, selector);
        withKind(key.kind, [&](auto k) {
            using K = decltype(k);
            if constexpr (quor::traits<K>::integer) {
                propertyOf<K>(*guard, key).set(parseInt32(text, "value"));
            } else {
                propertyOf<K>(*guard, key).set(unescapeBytes(text, "value"));
            }
        });
        guard.unlock();
    });
}

void setPropertyRc(SNodeCB_t *node, const PropertySelector &selector, uint64_t rc) {
    vouchForNode(node);
    described("set the RC of property " + formatProperty(selector), [&] {
        quor::write_guard guard{quor::node(node)};
        const PropertySelector key = keyOf(*guard, selector);
        withKind(key.kind, [&](auto k) { propertyOf<decltype(k)>(*guard, key).set_rc(rc); });
        guard.unlock();
    });
}

}  // namespace quorctl
