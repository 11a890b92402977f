// A status tree as a plain description: what `create --from` builds and what
// `show --json` prints. The JSON form is documented in SCHEMA.md; reading it
// validates everything the library would otherwise refuse half-way through a build.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "names.hpp"

namespace quorctl {

struct PropertyArea {
    uint64_t capacity = 0;  // records (flat) or planned properties (hashed)
    bool hashed = false;
    uint64_t maxIdSize = 0;     // IR, IV
    uint64_t maxValueSize = 0;  // V, IV, BaseV
};

struct Property {
    Kind kind = Kind::R;
    uint64_t number = 0;  // R, V, BaseR, BaseV
    uint64_t tag = 0;     // IR, IV
    std::string id;       // IR, IV
    int32_t integer = 0;  // R, IR, BaseR
    std::string bytes;    // V, IV, BaseV
    uint64_t rc = 0;
};

struct NodePlan {
    uint64_t tag = 0;
    std::string id;
    uint64_t maxIdSize = 0;  // room for this node's ID and for its children's IDs
    uint32_t condition = 3;  // QUOR_NODE_*
    std::optional<PropertyArea> r, v, ir, iv, baser, basev;
    std::optional<uint64_t> dependents;  // capacity of the dependent list
    std::vector<Property> properties;    // kept in canonical order
    std::vector<NodePlan> children;

    const std::optional<PropertyArea> &area(Kind kind) const;
};

struct TreePlan {
    NodePlan top;
};

// Reads and validates a tree document; `source` names it in error messages.
// Malformed input is a usage error naming the offending member.
TreePlan treeFromJson(const nlohmann::json &document, const std::string &source);
nlohmann::json treeToJson(const TreePlan &tree);
nlohmann::json nodeToJson(const NodePlan &node);

// Canonical property order: by kind (r, v, ir, iv, baser, basev), then key.
void sortProperties(std::vector<Property> &properties);

// Condition names as JSON and outlines show them.
const char *conditionName(uint32_t condition);

}  // namespace quorctl
