// The segments this process has mapped, for the host's own use: which segment
// an address lies in, named by the device and inode of its shared-memory object.
#pragma once

#include <cstdint>

namespace quor::host {

struct SegmentIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;  // 0: the address lies in no segment this process mapped
};

void noteMapped(const void *base, uint64_t size, uint64_t device, uint64_t inode);
void noteUnmapped(const void *base);
SegmentIdentity segmentOf(const void *address);

}  // namespace quor::host
