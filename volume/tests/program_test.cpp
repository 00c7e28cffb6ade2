// The frame of a program's main: exit statuses, the one line on standard error, and
// standard output flushed before it.
#include "program.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

void print_test_usage(FILE *out) { std::fputs("usage: prog [--size N]\n", out); }

// Runs the frame with standard output and standard error both sent to one file, so the
// file shows the order in which they reached the descriptors.
int run_captured(const kel::Program &program, const std::function<int()> &body, std::string *output) {
    char path[] = "/tmp/kel-program-test-XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    std::fflush(stdout);
    std::fflush(stderr);
    const int saved_out = dup(STDOUT_FILENO), saved_err = dup(STDERR_FILENO);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    const int status = kel::run_program(program, body);
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved_out, STDOUT_FILENO);
    dup2(saved_err, STDERR_FILENO);
    close(saved_out);
    close(saved_err);
    close(fd);
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    *output = text.str();
    unlink(path);
    return status;
}

TEST(RunProgram, StatusAndTheLineThatEndsIt) {
    struct Case {
        const char *name;
        kel::Program program;
        std::function<int()> body;
        int status;
        std::string output;
    };
    const Case cases[] = {
        {"the body's own status", {"prog"}, [] { return 3; }, 3, ""},
        {"a usage error, then the usage",
         {"prog", print_test_usage},
         []() -> int { throw kel::UsageError("--size needs a number"); },
         2,
         "prog: --size needs a number\nusage: prog [--size N]\n"},
        {"a usage error without a usage text",
         {"prog"},
         []() -> int { throw kel::UsageError("unknown option: -x"); },
         2,
         "prog: unknown option: -x\n"},
        {"a failure",
         {"prog", print_test_usage},
         []() -> int { throw std::runtime_error("open(/x) failed"); },
         1,
         "prog: FAILED: open(/x) failed\n"},
        {"a failure in a program that names no label",
         {"tool", nullptr, ""},
         []() -> int { throw std::runtime_error("/x: No such file or directory"); },
         1,
         "tool: /x: No such file or directory\n"},
        {"something that is not a std::exception",
         {"prog"},
         []() -> int { throw 42; },
         1,
         "prog: FAILED: an exception that is not a std::exception\n"},
        {"what was printed comes before the failure",
         {"prog"},
         []() -> int {
             std::printf("half a line");
             throw std::runtime_error("stopped");
         },
         1,
         "half a lineprog: FAILED: stopped\n"},
    };
    for (const Case &c : cases) {
        std::string output;
        EXPECT_EQ(run_captured(c.program, c.body, &output), c.status) << c.name;
        EXPECT_EQ(output, c.output) << c.name;
    }
}

}  // namespace
