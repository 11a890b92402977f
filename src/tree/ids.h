// Orderings of identifiers shared by the property tables, the dependent lists
// and the searches.
#pragma once

#include <cstdint>

namespace quor::tree {

// Three-way order of two (tag, ID) pairs: by tag, then by ID length, then by
// the ID bytes as unsigned bytes. Requires both IDs readable for their lengths
// (already bounded by the caller); returns -1, 0 or +1.
int compareTagId(uint64_t tag1, const char *id1, uint64_t length1, uint64_t tag2, const char *id2,
                 uint64_t length2);

}  // namespace quor::tree
