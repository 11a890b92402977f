// Orderings of identifiers shared by the property tables, the dependent lists
// and the searches.
#pragma once

#include <bit>
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
    if (length1 > 64) {
        const int order = std::memcmp(id1, id2, length1);
        return order < 0 ? -1 : (order > 0 ? 1 : 0);
    }
    // IDs are short: eight bytes at a time in place costs less than a call. Read
    // most significant byte first, a word orders as its bytes do.
    for (; length1 >= 8; length1 -= 8, id1 += 8, id2 += 8) {
        uint64_t a = 0, b = 0;
        std::memcpy(&a, id1, 8);
        std::memcpy(&b, id2, 8);
        if (a != b) {
            if constexpr (std::endian::native == std::endian::little) {
                a = __builtin_bswap64(a);
                b = __builtin_bswap64(b);
            }
            return a < b ? -1 : 1;
        }
    }
    for (uint64_t i = 0; i < length1; ++i) {
        const auto a = static_cast<unsigned char>(id1[i]), b = static_cast<unsigned char>(id2[i]);
        if (a != b) return a < b ? -1 : 1;
    }
    return 0;
}

}  // namespace quor::tree
