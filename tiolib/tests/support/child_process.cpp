#include "child_process.h"

#include "files.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace tio_test {

ChildResult run_in_child(const std::function<int()> &body, unsigned seconds) {
    ChildResult result;
    const std::string out_path = temp_file_path("tio_child");
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = ::open(out_path.c_str(), O_WRONLY | O_TRUNC);
        ::dup2(fd, STDOUT_FILENO);
        ::close(fd);
        alarm(seconds);
        int code = kEscapedException;
        // An exception must not unwind into the test program's own code in the child.
        try {
            code = body();
        } catch (...) {
        }
        std::fflush(stdout);
        _exit(code);
    }
    int status = 0;
    pid_t waited = pid;
    if (pid > 0) {
        while ((waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
        }
    }
    if (waited < 0) {
        // No child ran (or it cannot be waited for): never a success.
        result.stdout_text = errno_text(pid < 0 ? "fork" : "waitpid", "child");
        ::unlink(out_path.c_str());
        return result;
    }
    result.exited = WIFEXITED(status);
    result.exit_code = result.exited ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    std::vector<uint8_t> bytes = read_all(out_path);
    result.stdout_text.assign(bytes.begin(), bytes.end());
    ::unlink(out_path.c_str());
    return result;
}

}  // namespace tio_test
