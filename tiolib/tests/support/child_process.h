// Running part of a test in a forked child: for process-wide limits (file size, address
// space) and for a body that may be killed.
#pragma once

#include <functional>
#include <string>

namespace tio_test {

struct ChildResult {
    bool exited = false;     // false: killed by a signal (the alarm included)
    int exit_code = -1;
    int signal = 0;
    std::string stdout_text; // what the child wrote to standard output
};

// The child's exit code when body threw.
constexpr int kEscapedException = 125;

// Runs body in a forked child under alarm(seconds); body's result is the exit code. When
// no child can be started, the result is not exited and stdout_text says why.
ChildResult run_in_child(const std::function<int()> &body, unsigned seconds);

}  // namespace tio_test
