// What the other families may do with a domain handle besides the exported
// domain operations.
#pragma once

#include <cstdint>

#include "quor/quor.h"

namespace quor::shm {

// Gives up a handle whose domain could not be disconnected or freed (a header
// that no longer passes its checks): the segment object the handle owns is
// deleted, which unmaps the segment in this process (the segment itself stays),
// and the handle block is released. The shared header is not read or written.
// *handleRef becomes null on success; a null handle is nothing to do.
uint32_t dropDomainHandle(ShmDomainHandle_t **handleRef);

}  // namespace quor::shm
