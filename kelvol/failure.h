// How kelvol fails: one line "kelvol: PATH: reason" on standard error and exit status 1.
// The engine's own "Error!" lines are caught on the way (they would otherwise land on
// standard output, which export may be writing data to) and become the reason instead.
#pragma once

#include <stdexcept>
#include <string>

namespace kelvol {

// The operation failed on path.
class Failure : public std::runtime_error {
public:
    Failure(const std::string &path, const std::string &reason) : std::runtime_error(path + ": " + reason) {}
};

// The reason for a failed system call: "call: the system's error text".
std::string system_reason(const char *call, int error_number);

// From now on the engine's messages are kept here instead of being printed.
void capture_engine_messages();

// The messages captured since the last call, each without its "Error!"/"Error," prefix,
// joined into one line; "" when there were none.
std::string take_engine_messages();

// reason, followed by what the engine said about it, if anything.
std::string with_engine_messages(const std::string &reason);

}  // namespace kelvol
