// Function identifiers of the exported operations (0x0822NNNN), from the one table
// in functions.def that also gives the host its function names.
#pragma once

#include <cstdint>

namespace quor {

enum class Fn : uint32_t {
#define QUOR_FN(name, number, implemented) name = 0x08220000u | (number),
#include "frame/functions.def"
#undef QUOR_FN
};

}  // namespace quor
