#include "failure.hpp"

#include "quor/quor.h"

namespace quorctl {

void usageError(const std::string &message) { throw Failure(kExitUsage, message); }

std::string describeCode(uint32_t code) {
    char text[QUOR_PRINTRC_BUFFER_SIZE] = {};
    quorPrintrc(code, text);
    return text;
}

void check(uint32_t rc, const std::string &what) {
    if (rc != QUOR_RC_OK) throw Failure(kExitLibrary, what + ": " + describeCode(rc));
}

}  // namespace quorctl
