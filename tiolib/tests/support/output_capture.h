// What the engine prints: its "Error!" lines go to standard output.
#pragma once

#include <string>

namespace tio_test {

// Captures what this process writes to standard output (fd 1) while it lives.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;
    // Ends the capture (if still running) and returns what was written.
    std::string finish();

private:
    int saved_fd_ = -1;
    std::string path_;
    std::string text_;
    bool done_ = false;
};

// Lines of text that start with "Error!" (a leading newline of a line is ignored).
int count_error_lines(const std::string &text);

}  // namespace tio_test
