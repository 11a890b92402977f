// Text of a return code: the host owns the texts.
#include "frame/export.h"
#include "frame/trace.h"

using namespace quor;

QUOR_EXPORT uint32_t quorPrintrc(uint32_t rc, char *buffer, uint64_t bufferSize) {
    return traced(Fn::quorPrintrc, [&](Trace &) { return hostErrorGetDescription(rc, buffer, bufferSize); });
}
