// The textual forms a user types and reads: byte strings with \xHH escapes, tags,
// node paths and property selectors.
//
// Byte strings (IDs, byte values) are written with printable ASCII as itself, a
// backslash as \\ and every other byte as \xHH; the same form appears in paths,
// in JSON tree files and in `get` output, so anything printed can be typed back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorctl {

std::string escapeBytes(std::string_view bytes);
// Throws a usage error naming `what` for a malformed escape.
std::string unescapeBytes(std::string_view text, std::string_view what);

// A tag or property number: decimal or 0x hex, at most QUOR_MAX_TAG.
uint64_t parseTag(std::string_view text, std::string_view what);
// Integers for values and RC words (decimal, 0x hex, optional minus for values).
int32_t parseInt32(std::string_view text, std::string_view what);
uint64_t parseUint64(std::string_view text, std::string_view what);

// One step of a node path: a node is named by its tag and its ID.
struct PathStep {
    uint64_t tag = 0;
    std::string id;
    bool operator==(const PathStep &) const = default;
};

// "/" is the top node; "/TAG:ID" names the top node too (and must match it);
// "/TAG:ID/TAG:ID/..." goes down the dependent lists from there. A '/' inside an
// ID is written \x2f; the ID is everything after the first ':' of its step.
struct NodePath {
    std::vector<PathStep> steps;  // empty: the top node, whatever it is called
};
NodePath parsePath(std::string_view text);
std::string formatPath(const std::vector<PathStep> &steps);

enum class Kind { R, V, IR, IV, BaseR, BaseV };
const char *kindName(Kind kind);  // "r", "v", "ir", "iv", "baser", "basev"
inline bool isInteger(Kind kind) { return kind == Kind::R || kind == Kind::IR || kind == Kind::BaseR; }
inline bool isTagged(Kind kind) { return kind == Kind::IR || kind == Kind::IV; }

// r:N, v:N, ir:TAG:ID, iv:TAG:ID, baser, basev (baser:N and basev:N name the base
// property's number too, which must then match).
struct PropertySelector {
    Kind kind = Kind::R;
    uint64_t number = 0;  // R, V; for the base kinds 0 = whatever number it carries
    uint64_t tag = 0;     // IR, IV
    std::string id;       // IR, IV
};
PropertySelector parseProperty(std::string_view text);
std::string formatProperty(const PropertySelector &selector);

}  // namespace quorctl
