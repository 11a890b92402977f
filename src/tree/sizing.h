// Sizing of nodes: from counts and maxima to the 64 area sizes, and from the
// area sizes to a node's total size and directory.
#pragma once

#include <cstdint>

#include "quor/quor.h"

namespace quor::tree {

constexpr uint64_t round8(uint64_t n) { return (n + 7) & ~uint64_t{7}; }

// Smallest odd number p >= n with no odd divisor in 3..floor(sqrt(p)); 0 and 1
// give 1. Hash tables are sized with it.
uint64_t primeAtLeast(uint64_t n);

// The sum of the 64 area sizes plus the control block, with the limits every
// node creation applies: an area above 0x4000000 bytes gives
// QUOR_RC_AREA_TOO_LARGE, a total above 0x8000000 QUOR_RC_BAD_NODE_SIZE.
uint32_t nodeTotalSize(const uint64_t *sizes, uint64_t *total);

}  // namespace quor::tree
