// The one comparison of segment names, shared by the attach registry and the
// segment lists.
#include "tree/records.h"

#include "frame/export.h"
#include "frame/trace.h"

namespace quor::tree {

// Byte by byte as unsigned characters up to the first difference or the
// terminating zero. A name that fills its whole field without a terminator ends
// at the field's end rather than running into what follows.
int64_t compareSegmentNames(const IpcResId &a, const IpcResId &b) {
    for (size_t i = 0; i < sizeof a.name; ++i) {
        const auto x = static_cast<unsigned char>(a.name[i]), y = static_cast<unsigned char>(b.name[i]);
        if (x != y) return x < y ? -1 : 1;
        if (x == 0) break;
    }
    return 0;
}

}  // namespace quor::tree

using namespace quor;

QUOR_EXPORT uint32_t quorCompareSegID(const IpcResId *id1, const IpcResId *id2, uint32_t key,
                                      int64_t *result) {
    return traced(Fn::quorCompareSegID, [&](Trace &t) {
        if (id1 == nullptr) return t.failWith(10, QUOR_RC_NULL_PARAMETER, 0);
        if (id2 == nullptr) return t.failWith(20, QUOR_RC_NULL_PARAMETER, 0);
        if (result == nullptr) return t.failWith(30, QUOR_RC_NULL_PARAMETER, 0);
        if (key != QUOR_EYECATCHER) return t.failWith(40, QUOR_RC_BAD_EYECATCHER, key);
        *result = tree::compareSegmentNames(*id1, *id2);
        return QUOR_RC_OK;
    });
}
