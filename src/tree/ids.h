// Orderings of identifiers shared by the property tables, the dependent lists
// and the searches.
#pragma once

#include <cstdint>
#include <cstring>

namespace quor::tree {

// Three-way order of two (tag, ID) pairs: by tag, then by ID length, then by
// the ID bytes as unsigned bytes. Requires both IDs readable for their lengths
// (already bounded by the caller); returns -1, 0 or +1. Inline: every step of
// a tagged chain walk asks it, and most steps end at the tag or the length.
inline int compareTagId(uint64_t tag1, const char *id1, uint64_t length1, uint64_t tag2, const char *id2,
                        uint64_t length2) {
    if (tag1 != tag2) return tag1 < tag2 ? -1 : 1;
    if (length1 != length2) return length1 < length2 ? -1 : 1;
    const int order = length1 != 0 ? std::memcmp(id1, id2, length1) : 0;
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

}  // namespace quor::tree
