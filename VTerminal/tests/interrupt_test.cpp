// The interrupt count and the counting handler, each state sequence in its own child
// process; the window size under a pty of a chosen size.
#include "editor_support.h"
#include "jni_methods.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <type_traits>
#include <unistd.h>

namespace vt_test {
namespace {

static_assert(std::is_same_v<decltype(nsignals), int32_t>, "nsignals is a signed 32-bit int");

const std::string kMessage = "**** Exiting... Press CTRL-C twice to interrupt immediately. ****\n";

// Child side: which action SIGINT has now.
std::string interrupt_action() {
    struct sigaction current {};
    sigaction(SIGINT, nullptr, &current);
    if (current.sa_handler == SIG_DFL) return "default";
    if (current.sa_handler == SIG_IGN) return "ignore";
    if (current.sa_handler == ctrl_C)
        return (current.sa_flags & SA_RESTART) && !(current.sa_flags & SA_RESETHAND)
                   ? "counting"
                   : "counting-with-wrong-flags";
    return "other";
}

TEST(InterruptCount, FirstGetInterruptInstallsOnce) {
    PtyRun run = run_on_pty(
        [] {
            report("initial", nsignals);
            report("first", get_interrupt());
            report("action_after_first", interrupt_action());
            signal(SIGINT, SIG_IGN);  // a later call must not install again
            report("second", get_interrupt());
            report("action_after_second", interrupt_action());
        },
        {});
    ASSERT_TRUE(exited_normally(run));
    EXPECT_EQ("-1", run.report["initial"]);
    EXPECT_EQ("0", run.report["first"]);
    EXPECT_EQ("counting", run.report["action_after_first"]);
    EXPECT_EQ("0", run.report["second"]);
    EXPECT_EQ("ignore", run.report["action_after_second"]);
}

// Output held in a fully buffered stdout comes out when the handler is installed; from
// then on stdout is unbuffered.
TEST(InterruptCount, InstallMakesStdoutUnbuffered) {
    PtyRun run = run_on_pty(
        [] {
            static char buffer[BUFSIZ];
            std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
            std::printf("A");
            write(STDOUT_FILENO, "1", 1);
            get_interrupt();
            std::printf("B");
            write(STDOUT_FILENO, "2", 1);
        },
        {});
    ASSERT_TRUE(exited_normally(run));
    EXPECT_EQ("1AB2", run.output);
}

TEST(InterruptCount, StatesOfTheHandler) {
    PtyRun run = run_on_pty(
        [] {
            get_interrupt();
            raise(SIGINT);
            report("after_one", get_interrupt());
            report("action_after_one", interrupt_action());
            raise(SIGINT);
            report("after_two", get_interrupt());
            report("action_after_two", interrupt_action());
            set_interrupt(-1);
            report("reinstalled", get_interrupt());
            report("action_reinstalled", interrupt_action());
            raise(SIGINT);
            report("after_reinstall_one", get_interrupt());
            set_interrupt(5);
            report("set_five", get_interrupt());
            report("action_set_five", interrupt_action());
        },
        {});
    ASSERT_TRUE(exited_normally(run));
    EXPECT_EQ("1", run.report["after_one"]);
    EXPECT_EQ("counting", run.report["action_after_one"]);
    EXPECT_EQ("2", run.report["after_two"]);
    EXPECT_EQ("default", run.report["action_after_two"]);
    EXPECT_EQ("0", run.report["reinstalled"]);
    EXPECT_EQ("counting", run.report["action_reinstalled"]);
    EXPECT_EQ("1", run.report["after_reinstall_one"]);
    EXPECT_EQ("5", run.report["set_five"]);
    EXPECT_EQ("counting", run.report["action_set_five"]);
    EXPECT_EQ(kMessage + kMessage, run.output);  // once per installation
}

TEST(InterruptCount, ThirdInterruptEndsTheProcess) {
    PtyRun run = run_on_pty(
        [] {
            get_interrupt();
            raise(SIGINT);
            raise(SIGINT);
            raise(SIGINT);
            report("survived", "yes");
        },
        {});
    ASSERT_FALSE(run.timed_out);
    ASSERT_TRUE(WIFSIGNALED(run.wait_status));
    EXPECT_EQ(SIGINT, WTERMSIG(run.wait_status));
    EXPECT_EQ(0u, run.report.count("survived"));
    EXPECT_EQ(kMessage, run.output);
}

// The message goes straight to descriptor 1 (async-signal-safe), not through stdio: it
// overtakes text waiting in a buffered stdout, and errno survives the handler.
TEST(InterruptCount, HandlerWritesWithoutStdio) {
    PtyRun run = run_on_pty(
        [] {
            get_interrupt();
            static char buffer[BUFSIZ];
            std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
            std::printf("P");
            errno = EDOM;
            raise(SIGINT);
            report("errno", errno);
        },
        {});
    ASSERT_TRUE(exited_normally(run));
    EXPECT_EQ(kMessage + "P", run.output);
    EXPECT_EQ(std::to_string(EDOM), run.report["errno"]);
}

// A line editor call resets the count but leaves the action alone: after the default was
// restored, the next SIGINT still ends the process.
TEST(InterruptCount, EditorResetsCountButNotAction) {
    PtyRun run = run_on_pty(
        [] {
            get_interrupt();
            raise(SIGINT);
            raise(SIGINT);
            call_editor("> ", "", 0, 8);
            report("action", interrupt_action());
            report("after_call", get_interrupt());
        },
        {WaitRaw(), Type("\r")});
    ASSERT_TRUE(exited_normally(run));
    EXPECT_EQ("0", run.report["nsignals"]);
    EXPECT_EQ("0", run.report["after_call"]);
    EXPECT_EQ("default", run.report["action"]);
}

// SIGINT from outside while the editor waits: counted, and the read restarts.
TEST(InterruptCount, EditorKeepsWaitingAfterCountedInterrupt) {
    PtyRun run = run_on_pty(
        [] {
            get_interrupt();
            call_editor("> ", "", 0, 8);
        },
        {WaitFor("> "), Signal(SIGINT), WaitFor(kMessage), Type("ok\r")});
    ASSERT_TRUE(exited_normally(run));
    EXPECT_EQ("> " + kMessage + "ok" + kNewLine, run.output);
    EXPECT_EQ("1", run.report["nsignals"]);
    EXPECT_EQ(expected_buffer("ok", 8), run.report["buffer"]);
}

// The interrupt character in the editor drives the same table as a typed Ctrl-C.
TEST(InterruptCount, InterruptCharacterIsCounted) {
    PtyRun run = run_on_pty(
        [] {
            get_interrupt();
            call_editor("> ", "", -1, 8);
            report("count", get_interrupt());
        },
        {WaitRaw(), Type("\x03")});
    ASSERT_TRUE(exited_normally(run));
    EXPECT_EQ("> " + kMessage, run.output);
    EXPECT_EQ("1", run.report["count"]);
    EXPECT_EQ(expected_buffer("\n", 8), run.report["buffer"]);
}

struct SizeCase {
    unsigned short columns, rows;
    int expected_columns, expected_rows;
};

class WindowSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(WindowSize, ReportsTerminalSizeOrFallback) {
    const SizeCase &c = GetParam();
    PtyOptions options;
    options.columns = c.columns;
    options.rows = c.rows;
    PtyRun run = run_on_pty(
        [] {
            report("columns", m_window_columns_());
            report("rows", m_window_rows_());
            report("col_count", Java_vek_sys_lib_VTerminal_getColCount(nullptr, nullptr));
            report("row_count", Java_vek_sys_lib_VTerminal_getRowCount(nullptr, nullptr));
        },
        {}, options);
    ASSERT_TRUE(exited_normally(run));
    EXPECT_EQ(std::to_string(c.expected_columns), run.report["columns"]);
    EXPECT_EQ(std::to_string(c.expected_rows), run.report["rows"]);
    EXPECT_EQ(run.report["columns"], run.report["col_count"]);
    EXPECT_EQ(run.report["rows"], run.report["row_count"]);
}

INSTANTIATE_TEST_SUITE_P(Table, WindowSize,
                         ::testing::Values(SizeCase{100, 30, 100, 30}, SizeCase{0, 0, 80, 24},
                                           SizeCase{132, 0, 132, 24}, SizeCase{0, 50, 80, 50},
                                           SizeCase{65535, 65535, 65535, 65535}));

TEST(WindowSizeNoTerminal, FallsBackTo80By24) {
    PtyRun run = run_on_pty(
        [] {
            int pipe_ends[2];
            if (pipe(pipe_ends) != 0) _exit(3);
            dup2(pipe_ends[0], STDIN_FILENO);
            report("columns", m_window_columns_());
            report("rows", m_window_rows_());
        },
        {});
    ASSERT_TRUE(exited_normally(run));
    EXPECT_EQ("80", run.report["columns"]);
    EXPECT_EQ("24", run.report["rows"]);
}

}  // namespace
}  // namespace vt_test
