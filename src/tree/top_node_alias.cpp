// The top-node lookup under its C++-linkage name, for callers built against the
// C++ declaration. Deliberately free of the public header: the two records are
// only named here, with the same tags, so that the mangled name is the one those
// callers link against.
#include <cstdint>

struct ShmSegInfo_t;
struct SNodeCB_t;

namespace quor::tree {
uint32_t topNodeFromSegInfo(ShmSegInfo_t *segInfo, SNodeCB_t **node);
}

__attribute__((visibility("default"))) uint32_t quorGetTopNodeCBPtrFromShmSegInfo(ShmSegInfo_t *segInfo,
                                                                                  SNodeCB_t **node) {
    return quor::tree::topNodeFromSegInfo(segInfo, node);
}
