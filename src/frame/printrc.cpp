// Text of a return code: the host owns the texts.
#include "frame/export.h"
#include "frame/trace.h"

using namespace quor;

QUOR_EXPORT uint32_t quorPrintrc(uint32_t returnCode, char *textOut) {
    return traced(Fn::quorPrintrc, [&](Trace &t) {
        const uint32_t rc = hostErrorGetDescription(returnCode, textOut, QUOR_PRINTRC_BUFFER_SIZE);
        return rc == 0 ? rc : t.fail(10, rc);
    });
}
