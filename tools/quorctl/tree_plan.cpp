#include "tree_plan.hpp"

#include <algorithm>
#include <set>
#include <tuple>

#include "failure.hpp"
#include "quor/quor.h"

namespace quorctl {

using nlohmann::json;

namespace {

constexpr uint32_t kDocumentVersion = 1;
// A tree deeper than this is surely a mistake, and the builder recurses over it.
constexpr size_t kMaxDepth = 256;

const char *const kConditionNames[] = {"", "created", "initialized", "active", "abandoned", "disassociated"};

// Walks a document, naming the member it reads in every complaint.
class Reader {
public:
    Reader(const std::string &source) : source_(source) {}

    [[noreturn]] void fail(const std::string &where, const std::string &why) const {
        usageError(source_ + ": " + where + ": " + why);
    }

    void onlyKeys(const json &object, const std::string &where, const std::vector<const char *> &keys) const {
        if (!object.is_object()) fail(where, "expected an object");
        for (const auto &[key, value] : object.items()) {
            (void)value;
            if (std::none_of(keys.begin(), keys.end(), [&](const char *k) { return key == k; })) {
                fail(where, "unknown member \"" + key + "\"");
            }
        }
    }

    uint64_t unsignedAt(const json &object, const char *key, const std::string &where, uint64_t limit,
                        std::optional<uint64_t> fallback = std::nullopt) const {
        if (!object.contains(key)) {
            if (fallback) return *fallback;
            fail(where, std::string("missing \"") + key + "\"");
        }
        const json &value = object.at(key);
        if (!value.is_number_unsigned() || value.get<uint64_t>() > limit) {
            fail(where + "." + key, "expected an integer from 0 to " + std::to_string(limit));
        }
        return value.get<uint64_t>();
    }

    std::string bytesAt(const json &object, const char *key, const std::string &where) const {
        if (!object.contains(key)) fail(where, std::string("missing \"") + key + "\"");
        const json &value = object.at(key);
        if (!value.is_string()) fail(where + "." + key, "expected a string (bytes as \\xHH escapes)");
        try {
            return unescapeBytes(value.get<std::string>(), key);
        } catch (const Failure &e) {
            fail(where + "." + key, e.what());
        }
    }

    PropertyArea area(const json &object, const std::string &where, Kind kind) const {
        PropertyArea a;
        const bool numbered = kind == Kind::R || kind == Kind::V;
        const bool keyed = numbered || isTagged(kind);
        const bool ids = isTagged(kind), values = kind == Kind::V || kind == Kind::IV || kind == Kind::BaseV;
        std::vector<const char *> keys;
        if (keyed) keys = {"capacity", "layout"};
        if (ids) keys.push_back("max_id_size");
        if (values) keys.push_back("max_value_size");
        onlyKeys(object, where, keys);
        if (keyed) {
            a.capacity = unsignedAt(object, "capacity", where, QUOR_MAX_COUNT);
            if (a.capacity == 0) fail(where + ".capacity", "must be at least 1");
            const std::string layout = object.value("layout", std::string("flat"));
            if (layout != "flat" && layout != "hashed")
                fail(where + ".layout", "expected \"flat\" or \"hashed\"");
            a.hashed = layout == "hashed";
        }
        if (ids) {
            a.maxIdSize = unsignedAt(object, "max_id_size", where, QUOR_MAX_ID_SIZE);
            if (a.maxIdSize == 0) fail(where + ".max_id_size", "must be at least 1");
        }
        if (values) {
            a.maxValueSize = unsignedAt(object, "max_value_size", where, QUOR_MAX_V_SIZE);
            if (a.maxValueSize == 0) fail(where + ".max_value_size", "must be at least 1");
        }
        return a;
    }

    Property property(const json &object, const std::string &where, const NodePlan &node) const {
        if (!object.is_object() || !object.contains("kind") || !object.at("kind").is_string()) {
            fail(where, "expected an object with a \"kind\" (r, v, ir, iv, baser, basev)");
        }
        Property p;
        const std::string kind = object.at("kind").get<std::string>();
        const Kind kinds[] = {Kind::R, Kind::V, Kind::IR, Kind::IV, Kind::BaseR, Kind::BaseV};
        const Kind *found =
            std::find_if(std::begin(kinds), std::end(kinds), [&](Kind k) { return kind == kindName(k); });
        if (found == std::end(kinds)) fail(where + ".kind", "unknown kind \"" + kind + "\"");
        p.kind = *found;
        if (isTagged(p.kind)) {
            onlyKeys(object, where, {"kind", "tag", "id", "value", "rc"});
            p.tag = unsignedAt(object, "tag", where, QUOR_MAX_TAG);
            if (p.tag == 0) fail(where + ".tag", "property tags start at 1");
            p.id = bytesAt(object, "id", where);
        } else {
            onlyKeys(object, where, {"kind", "number", "value", "rc"});
            p.number = unsignedAt(object, "number", where, QUOR_MAX_TAG);
            if (p.number == 0) fail(where + ".number", "property numbers start at 1");
        }
        p.rc = unsignedAt(object, "rc", where, UINT64_MAX, 0);
        const auto &area = node.area(p.kind);
        if (!area) fail(where, std::string("the node has no \"") + kindName(p.kind) + "\" area");
        if (isTagged(p.kind) && (p.id.empty() || p.id.size() > area->maxIdSize)) {
            fail(where + ".id", "length must be 1 to the area's max_id_size");
        }
        if (!object.contains("value")) fail(where, "missing \"value\"");
        const json &value = object.at("value");
        if (isInteger(p.kind)) {
            if (!value.is_number_integer() || value.get<int64_t>() < INT32_MIN ||
                value.get<int64_t>() > INT32_MAX) {
                fail(where + ".value", "expected a 32-bit signed integer");
            }
            p.integer = static_cast<int32_t>(value.get<int64_t>());
        } else {
            p.bytes = bytesAt(object, "value", where);
            if (p.bytes.empty() || p.bytes.size() > area->maxValueSize) {
                fail(where + ".value", "length must be 1 to the area's max_value_size");
            }
        }
        return p;
    }

    NodePlan node(const json &object, const std::string &where, size_t depth) const {
        if (depth > kMaxDepth) fail(where, "tree deeper than " + std::to_string(kMaxDepth) + " levels");
        onlyKeys(object, where, {"tag", "id", "max_id_size", "condition", "areas", "properties", "children"});
        NodePlan n;
        n.tag = unsignedAt(object, "tag", where, QUOR_MAX_TAG);
        n.id = object.contains("id") ? bytesAt(object, "id", where) : std::string();
        n.maxIdSize = unsignedAt(object, "max_id_size", where, QUOR_MAX_ID_SIZE, (n.id.size() + 7) & ~7ull);
        if (n.id.size() > n.maxIdSize) fail(where + ".id", "longer than max_id_size");
        const std::string condition = object.value("condition", std::string("active"));
        n.condition = 0;
        for (uint32_t c = QUOR_NODE_INITIALIZED; c <= QUOR_NODE_DISASSOCIATED; ++c) {
            if (condition == kConditionNames[c]) n.condition = c;
        }
        if (n.condition == 0) {
            fail(where + ".condition",
                 "expected \"initialized\", \"active\", \"abandoned\" or \"disassociated\"");
        }
        if (object.contains("areas")) {
            const json &areas = object.at("areas");
            const std::string at = where + ".areas";
            onlyKeys(areas, at, {"r", "v", "ir", "iv", "baser", "basev", "dependents"});
            const std::pair<Kind, std::optional<PropertyArea> NodePlan::*> slots[] = {
                {Kind::R, &NodePlan::r},   {Kind::V, &NodePlan::v},         {Kind::IR, &NodePlan::ir},
                {Kind::IV, &NodePlan::iv}, {Kind::BaseR, &NodePlan::baser}, {Kind::BaseV, &NodePlan::basev}};
            for (const auto &[kind, slot] : slots) {
                if (areas.contains(kindName(kind))) {
                    n.*slot = area(areas.at(kindName(kind)), at + "." + kindName(kind), kind);
                }
            }
            if (areas.contains("dependents")) {
                onlyKeys(areas.at("dependents"), at + ".dependents", {"capacity"});
                n.dependents =
                    unsignedAt(areas.at("dependents"), "capacity", at + ".dependents", QUOR_MAX_COUNT);
            }
        }
        if (object.contains("properties")) {
            const json &list = object.at("properties");
            if (!list.is_array()) fail(where + ".properties", "expected an array");
            for (size_t i = 0; i < list.size(); ++i) {
                n.properties.push_back(
                    property(list[i], where + ".properties[" + std::to_string(i) + "]", n));
            }
            propertyCounts(n, where);
        }
        if (object.contains("children")) {
            const json &list = object.at("children");
            if (!list.is_array()) fail(where + ".children", "expected an array");
            if (!list.empty() && (!n.dependents || list.size() > *n.dependents)) {
                fail(where + ".children", "more children than areas.dependents.capacity");
            }
            std::set<std::pair<uint64_t, std::string>> seen;
            for (size_t i = 0; i < list.size(); ++i) {
                const std::string at = where + ".children[" + std::to_string(i) + "]";
                NodePlan child = node(list[i], at, depth + 1);
                if (child.id.size() > n.maxIdSize) fail(at + ".id", "longer than the parent's max_id_size");
                // A child keeps its parent's ID in its own parent area.
                if (n.id.size() > child.maxIdSize) fail(at + ".max_id_size", "too small for the parent's ID");
                if (child.tag == 0) fail(at + ".tag", "a dependent node's tag must not be 0");
                if (!seen.insert({child.tag, child.id}).second)
                    fail(at, "two children with the same tag and ID");
                n.children.push_back(std::move(child));
            }
        }
        return n;
    }

private:
    void propertyCounts(NodePlan &n, const std::string &where) const {
        std::set<std::tuple<Kind, uint64_t, uint64_t, std::string>> keys;
        size_t count[6] = {};
        for (const Property &p : n.properties) {
            if (!keys.insert({p.kind, p.number, p.tag, p.id}).second) {
                fail(where + ".properties", std::string("duplicate ") + kindName(p.kind) + " property");
            }
            ++count[static_cast<int>(p.kind)];
        }
        for (Kind kind : {Kind::R, Kind::V, Kind::IR, Kind::IV}) {
            if (count[static_cast<int>(kind)] > n.area(kind)->capacity) {
                fail(where + ".properties",
                     std::string("more ") + kindName(kind) + " properties than its capacity");
            }
        }
        if (count[static_cast<int>(Kind::BaseR)] > 1 || count[static_cast<int>(Kind::BaseV)] > 1) {
            fail(where + ".properties", "a node has at most one baser and one basev property");
        }
        sortProperties(n.properties);
    }

    std::string source_;
};

json areaToJson(Kind kind, const PropertyArea &a) {
    json out = json::object();
    if (kind == Kind::R || kind == Kind::V || isTagged(kind)) {
        out["capacity"] = a.capacity;
        out["layout"] = a.hashed ? "hashed" : "flat";
    }
    if (isTagged(kind)) out["max_id_size"] = a.maxIdSize;
    if (kind == Kind::V || kind == Kind::IV || kind == Kind::BaseV) out["max_value_size"] = a.maxValueSize;
    return out;
}

}  // namespace

const std::optional<PropertyArea> &NodePlan::area(Kind kind) const {
    switch (kind) {
        case Kind::R:
            return r;
        case Kind::V:
            return v;
        case Kind::IR:
            return ir;
        case Kind::IV:
            return iv;
        case Kind::BaseR:
            return baser;
        case Kind::BaseV:
            return basev;
    }
    return r;
}

const char *conditionName(uint32_t condition) {
    return condition >= 1 && condition <= 5 ? kConditionNames[condition] : "invalid";
}

void sortProperties(std::vector<Property> &properties) {
    std::sort(properties.begin(), properties.end(), [](const Property &a, const Property &b) {
        return std::tie(a.kind, a.number, a.tag, a.id) < std::tie(b.kind, b.number, b.tag, b.id);
    });
}

TreePlan treeFromJson(const json &document, const std::string &source) {
    Reader reader(source);
    reader.onlyKeys(document, "document", {"quor_tree", "top"});
    if (reader.unsignedAt(document, "quor_tree", "document", UINT32_MAX) != kDocumentVersion) {
        reader.fail("document.quor_tree", "unsupported version (this quorctl reads version 1)");
    }
    if (!document.contains("top")) reader.fail("document", "missing \"top\"");
    TreePlan tree;
    tree.top = reader.node(document.at("top"), "top", 0);
    return tree;
}

json nodeToJson(const NodePlan &n) {
    json out = {{"tag", n.tag},
                {"id", escapeBytes(n.id)},
                {"max_id_size", n.maxIdSize},
                {"condition", conditionName(n.condition)}};
    json areas = json::object();
    for (Kind kind : {Kind::R, Kind::V, Kind::IR, Kind::IV, Kind::BaseR, Kind::BaseV}) {
        if (n.area(kind)) areas[kindName(kind)] = areaToJson(kind, *n.area(kind));
    }
    if (n.dependents) areas["dependents"] = {{"capacity", *n.dependents}};
    out["areas"] = areas;
    json properties = json::array();
    for (const Property &p : n.properties) {
        json item = {{"kind", kindName(p.kind)}};
        if (isTagged(p.kind)) {
            item["tag"] = p.tag;
            item["id"] = escapeBytes(p.id);
        } else {
            item["number"] = p.number;
        }
        if (isInteger(p.kind)) {
            item["value"] = p.integer;
        } else {
            item["value"] = escapeBytes(p.bytes);
        }
        item["rc"] = p.rc;
        properties.push_back(item);
    }
    out["properties"] = properties;
    json children = json::array();
    for (const NodePlan &child : n.children) children.push_back(nodeToJson(child));
    out["children"] = children;
    return out;
}

json treeToJson(const TreePlan &tree) {
    return {{"quor_tree", kDocumentVersion}, {"top", nodeToJson(tree.top)}};
}

}  // namespace quorctl
