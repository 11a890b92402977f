// How quorctl fails: every failure is one line on standard error and a documented
// exit status, so scripts can tell a typo from a damaged segment.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace quorctl {

// Exit statuses (also listed in `quorctl --help`).
enum Exit : int {
    kExitOk = 0,
    kExitLibrary = 1,  // a library operation returned a failure code
    kExitUsage = 2,    // bad command line, PATH, PROPERTY, VALUE or JSON
    kExitDamaged = 3,  // check found damage
};

class Failure : public std::runtime_error {
public:
    Failure(int exitCode, const std::string &message) : std::runtime_error(message), exitCode_(exitCode) {}
    int exitCode() const { return exitCode_; }

private:
    int exitCode_;
};

// A malformed argument or input file.
[[noreturn]] void usageError(const std::string &message);

// The return code's value, name and words, e.g. "0x900000b0 QUOR_RC_NO_TOP_NODE: no top node".
std::string describeCode(uint32_t code);

// Throws a library failure naming what was attempted, unless rc is 0.
void check(uint32_t rc, const std::string &what);

}  // namespace quorctl
