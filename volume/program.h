// The outer frame of every program of the project: whatever stops it is reported as
// one line on standard error and an exit status.
#pragma once

#include <cstdio>
#include <functional>
#include <stdexcept>

namespace kel {

// A command line that cannot be used: exit status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Program {
    const char *name;                          // begins every error line: "name: ..."
    void (*print_usage)(FILE *out) = nullptr;  // printed after the line of a usage error
    const char *failure_label = "FAILED: ";    // between the name and the reason of a failure
};

// Runs body and returns its exit status. A UsageError is reported as "name: reason"
// (followed by the usage) with status 2; any other exception as "name: FAILED: reason"
// with status 1. Standard output is flushed first, so that what the program (and the
// engine, whose "Error!" lines go there) printed comes before the line that ends it.
int run_program(const Program &program, const std::function<int()> &body);

}  // namespace kel
