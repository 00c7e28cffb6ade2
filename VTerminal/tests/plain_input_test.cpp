// Standard input that is not a terminal: the failure is reported, the process lives on
// and input is read without editing; end of input and read errors end every call.
#include "editor_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace vt_test {
namespace {

const std::string kNotATerminal =
    "tcgetattr: Couldn't read the terminal: Inappropriate ioctl for device\n";

// Child side: standard input becomes a pipe holding `input`, then closed for writing.
void stdin_from(const std::string &input) {
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) _exit(3);
    if (write(pipe_ends[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        _exit(3);
    close(pipe_ends[1]);
    dup2(pipe_ends[0], STDIN_FILENO);
    close(pipe_ends[0]);
}

struct PlainCall {
    int32_t mode;
    std::string text;     // pre-filled
    int32_t capacity;
    std::string written;  // after the message and the prompt
    std::string line;
};

// Runs the calls one after another on one input and checks each.
void expect_calls(const std::string &input, const std::vector<PlainCall> &calls) {
    PtyRun run = run_on_pty(
        [&] {
            stdin_from(input);
            for (size_t i = 0; i < calls.size(); ++i) {
                const PlainCall &c = calls[i];
                std::string buffer = c.text + std::string(c.capacity - c.text.size(), '.') + kGuard;
                int32_t length = static_cast<int32_t>(c.text.size());
                int32_t result =
                    m_get_input("> ", buffer.data(), &length, 2, c.capacity, c.mode);
                std::string key = std::to_string(i);
                report("result" + key, result);
                report("buffer" + key, buffer);
                report("length" + key, length);
            }
        },
        {});
    ASSERT_TRUE(exited_normally(run)) << "timed out: " << run.timed_out << " "
                                      << visible(run.output);
    std::string written;
    for (size_t i = 0; i < calls.size(); ++i) {
        const PlainCall &c = calls[i];
        std::string key = std::to_string(i);
        written += kNotATerminal + "> " + c.written;
        EXPECT_EQ("0", run.report["result" + key]) << "call " << i;
        EXPECT_EQ(std::to_string(c.line.size()), run.report["length" + key]) << "call " << i;
        EXPECT_EQ(visible(expected_buffer(c.line, c.capacity)), visible(run.report["buffer" + key]))
            << "call " << i;
    }
    EXPECT_EQ(visible(written), visible(run.output));
}

TEST(PlainInput, LinesEndAtCrLfOrEndOfInput) {
    expect_calls("hello\rab\n\x1b[A\tz",
                 {
                     {0, "", 8, kNewLine, "hello"},
                     {0, "pre-", 8, "pre-" + kNewLine, "pre-ab"},  // typed after the text
                     {1, "", 8, "", "\x1b[A\tz"},                  // no editing: bytes as read
                     {0, "", 8, "", ""},                           // end of input
                     {0, "kept", 8, "kept", "kept"},
                 });
}

TEST(PlainInput, BytesBeyondCapacityAreDropped) {
    expect_calls("abcdefg\nh\n", {{0, "", 4, kNewLine, "abcd"}, {0, "", 4, kNewLine, "h"}});
}

TEST(PlainInput, SingleKeyModesReadOneByte) {
    expect_calls("xyz", {
                            {-1, "pre", 4, "", "x"},
                            {-3, "", 4, "\n", "y"},
                            {-2, "", 4, kEraseLine, "z"},
                            {-1, "", 4, "", ""},  // end of input: no key
                            {-3, "", 4, "", ""},
                        });
}

// A read error (standard input is a directory) ends each call at once.
TEST(PlainInput, ReadErrorEndsEveryCall) {
    PtyRun run = run_on_pty(
        [] {
            int directory = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            dup2(directory, STDIN_FILENO);
            for (int32_t mode : {0, 1, -1, -3}) {
                std::string buffer = "ab.." + kGuard;
                int32_t length = 2;
                report("result" + std::to_string(mode),
                       m_get_input("", buffer.data(), &length, 0, 4, mode));
                report("buffer" + std::to_string(mode), buffer);
            }
        },
        {});
    ASSERT_TRUE(exited_normally(run)) << "timed out: " << run.timed_out;
    for (int32_t mode : {0, 1}) {
        EXPECT_EQ("0", run.report["result" + std::to_string(mode)]);
        EXPECT_EQ("ab  " + kGuard, run.report["buffer" + std::to_string(mode)]);
    }
    for (int32_t mode : {-1, -3}) {
        EXPECT_EQ("0", run.report["result" + std::to_string(mode)]);
        EXPECT_EQ("    " + kGuard, run.report["buffer" + std::to_string(mode)]);
    }
    EXPECT_EQ(visible(kNotATerminal + "ab" + kNotATerminal + "ab" + kNotATerminal + kNotATerminal),
              visible(run.output));
}

}  // namespace
}  // namespace vt_test
