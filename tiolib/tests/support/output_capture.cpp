#include "output_capture.h"

#include "files.h"

#include <cstdio>
#include <fcntl.h>
#include <sstream>
#include <unistd.h>
#include <vector>

namespace tio_test {

StdoutCapture::StdoutCapture() {
    path_ = temp_file_path("tio_stdout");
    std::fflush(stdout);
    saved_fd_ = ::dup(STDOUT_FILENO);
    int fd = ::open(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    ::dup2(fd, STDOUT_FILENO);
    ::close(fd);
}

StdoutCapture::~StdoutCapture() { finish(); }

std::string StdoutCapture::finish() {
    if (done_) return text_;
    done_ = true;
    std::fflush(stdout);
    ::dup2(saved_fd_, STDOUT_FILENO);
    ::close(saved_fd_);
    std::vector<uint8_t> bytes = read_all(path_);
    ::unlink(path_.c_str());
    text_.assign(bytes.begin(), bytes.end());
    return text_;
}

int count_error_lines(const std::string &text) {
    int count = 0;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("Error!", 0) == 0) ++count;
    }
    return count;
}

}  // namespace tio_test
