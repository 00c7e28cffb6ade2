// The terminal's interrupt and quit characters, recognised by the editor itself and sent
// to the process group, observed by the child's own handlers; the interrupt count reset;
// reads interrupted by signals.
#include "editor_support.h"
#include "jni_methods.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace vt_test {
namespace {

// Child-side observations made inside the handlers.
volatile sig_atomic_t g_interrupts = 0;
volatile sig_atomic_t g_quits = 0;
tcflag_t g_lflag_at_interrupt = 0;
tcflag_t g_lflag_at_quit = 0;

tcflag_t local_flags_now() {
    termios now{};
    tcgetattr(STDIN_FILENO, &now);
    return now.c_lflag;
}

// The editor must have restored the terminal before this runs.
void on_interrupt(int) {
    g_interrupts = g_interrupts + 1;
    g_lflag_at_interrupt = local_flags_now();
    write(STDOUT_FILENO, "<INT>", 5);
}

// The editor must have restored the terminal and written CR LF before this runs.
void on_quit(int) {
    g_quits = g_quits + 1;
    g_lflag_at_quit = local_flags_now();
    write(STDOUT_FILENO, "<QUIT>", 6);
}

void install(int signal_number, void (*handler)(int), int flags) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    sigaction(signal_number, &action, nullptr);
}

void install_observers() {
    install(SIGINT, on_interrupt, SA_RESTART);
    install(SIGQUIT, on_quit, SA_RESTART);
}

void report_observations() {
    report("interrupts", g_interrupts);
    report("quits", g_quits);
    report("lflag_at_interrupt", static_cast<long>(g_lflag_at_interrupt));
    report("lflag_at_quit", static_cast<long>(g_lflag_at_quit));
}

constexpr int kKeep = -1;  // leave the terminal's character as it is (^C, ^\)

struct SignalCase {
    const char *name;
    int interrupt_char;
    int quit_char;
    int32_t mode;
    std::string text;
    std::string keys;
    std::string written;  // after the prompt, handler marks included
    int32_t result;
    std::string line;
    int interrupts;
    int quits;
};

std::ostream &operator<<(std::ostream &out, const SignalCase &c) { return out << c.name; }

const std::vector<SignalCase> kSignalCases = {
    {"interrupt_while_editing", kKeep, kKeep, 0, "ab", "c\x03", "abc<INT>", 0, "abc", 1, 0},
    {"interrupt_after_moving", kKeep, kKeep, 0, "abc", kLeft + "\x03", "abc\b<INT>", 0, "abc", 1,
     0},
    {"interrupt_in_mode_2", kKeep, kKeep, 2, "", "x\x03", "x<INT>", 0, "x", 1, 0},
    {"quit_restores_then_new_line_then_signal", kKeep, kKeep, 0, "ab", "c\x1c",
     "abc" + kNewLine + "<QUIT>", 0, "abc", 0, 1},
    {"interrupt_key_mode_minus_1", kKeep, kKeep, -1, "", "\x03", "<INT>", 0, "\n", 1, 0},
    {"interrupt_key_mode_minus_2", kKeep, kKeep, -2, "", "\x03", kEraseLine + "<INT>", 0, "\n", 1,
     0},
    {"interrupt_ends_mode_minus_3", kKeep, kKeep, -3, "", "xy\x03", "\n<INT>", 0, "\n", 1, 0},
    {"del_erases_when_interrupt_is_del", 0x7f, kKeep, 0, "", "ab\x7f\r", "ab\b \b" + kNewLine, 0,
     "a", 0, 0},
    {"del_interrupts_when_interrupt_is_bs", 0x08, kKeep, 0, "", "ab\x7f", "ab<INT>", 0, "ab", 1, 0},
    {"ctrl_h_interrupts_when_interrupt_is_bs", 0x08, kKeep, 0, "", "ab\x08", "ab<INT>", 0, "ab", 1,
     0},
    {"del_quits_when_quit_is_bs", kKeep, 0x08, 0, "", "ab\x7f", "ab" + kNewLine + "<QUIT>", 0, "ab",
     0, 1},
    {"ctrl_c_toggles_insert_when_not_interrupt", 0x18, kKeep, 0, "abc", "\x01\x03X\r",
     "abc\b\b\bX" + kNewLine, 0, "Xbc", 0, 0},
    {"new_interrupt_char_recognised", 0x18, kKeep, 0, "", "a\x18", "a<INT>", 0, "a", 1, 0},
    {"disabled_interrupt_ignores_nul", _POSIX_VDISABLE, kKeep, 0, "", std::string("a\0\r", 3),
     "a" + kNewLine, 0, "a", 0, 0},
    {"interrupt_char_above_7f_never_matches", 0xe9, kKeep, 0, "", "a\xe9\r", "a" + kNewLine, 0, "a",
     0, 0},
    {"escape_codes_not_compared_with_interrupt", 'A', kKeep, 0, "ab", kUp, "ab" + kEraseLine, -1,
     "ab", 0, 0},
    {"quit_char_esc_wins_over_decoding", kKeep, 0x1b, 0, "ab", kUp, "ab" + kNewLine + "<QUIT>", 0,
     "ab", 0, 1},
};

class EditorSignals : public ::testing::TestWithParam<SignalCase> {};

TEST_P(EditorSignals, SendsSignalsToTheProcessGroup) {
    const SignalCase &c = GetParam();
    PtyOptions options;
    options.setup_terminal = [&](termios &terminal) {
        if (c.interrupt_char != kKeep) terminal.c_cc[VINTR] = static_cast<cc_t>(c.interrupt_char);
        if (c.quit_char != kKeep) terminal.c_cc[VQUIT] = static_cast<cc_t>(c.quit_char);
    };
    PtyRun run = run_on_pty(
        [&] {
            install_observers();
            call_editor("> ", c.text, c.mode, 8);
            report_observations();
        },
        {WaitRaw(), Type(c.keys)}, options);
    ASSERT_TRUE(exited_normally(run)) << visible(run.output);
    EXPECT_EQ(visible("> " + c.written), visible(run.output));
    EXPECT_EQ(std::to_string(c.result), run.report["result"]);
    EXPECT_EQ(visible(expected_buffer(c.line, 8)), visible(run.report["buffer"]));
    EXPECT_EQ(std::to_string(c.interrupts), run.report["interrupts"]);
    EXPECT_EQ(std::to_string(c.quits), run.report["quits"]);
    expect_same_terminal(run.report["before"], run.report["after"]);
    termios before = termios_from(run.report["before"]);
    if (c.interrupts > 0) {
        EXPECT_EQ(std::to_string(before.c_lflag), run.report["lflag_at_interrupt"]);
    }
    if (c.quits > 0) {
        EXPECT_EQ(std::to_string(before.c_lflag), run.report["lflag_at_quit"]);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, EditorSignals, ::testing::ValuesIn(kSignalCases),
                         [](const auto &info) { return std::string(info.param.name); });

// A process whose SIGINT action ends it (the default, or the counting handler after two
// interrupts) dies of the interrupt character with its terminal as it was before the call.
struct FatalInterruptCase {
    const char *name;
    int32_t mode;
    std::string keys;
    bool counting_handler_spent;  // getInterrupt, then two SIGINTs: the default is back
};

std::ostream &operator<<(std::ostream &out, const FatalInterruptCase &c) { return out << c.name; }

class EditorFatalInterrupt : public ::testing::TestWithParam<FatalInterruptCase> {};

TEST_P(EditorFatalInterrupt, DiesWithTheTerminalRestored) {
    const FatalInterruptCase &c = GetParam();
    PtyRun run = run_on_pty(
        [&] {
            termios before{};
            tcgetattr(STDIN_FILENO, &before);
            report("before", termios_bytes(before));
            if (c.counting_handler_spent) {
                get_interrupt();
                raise(SIGINT);
                raise(SIGINT);
            }
            char line[8];
            int32_t length = 0;
            m_get_input("> ", line, &length, 2, sizeof line, c.mode);
            report("survived", "yes");
        },
        {WaitRaw(), Type(c.keys)});
    ASSERT_FALSE(run.timed_out) << visible(run.output);
    ASSERT_TRUE(WIFSIGNALED(run.wait_status)) << visible(run.output);
    EXPECT_EQ(SIGINT, WTERMSIG(run.wait_status));
    EXPECT_EQ(0u, run.report.count("survived"));
    ASSERT_TRUE(run.final_terminal_seen);
    termios before = termios_from(run.report["before"]);
    EXPECT_EQ(before.c_lflag, run.final_terminal.c_lflag);
    EXPECT_EQ(before.c_cc[VMIN], run.final_terminal.c_cc[VMIN]);
    EXPECT_EQ(before.c_cc[VTIME], run.final_terminal.c_cc[VTIME]);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EditorFatalInterrupt,
    ::testing::Values(FatalInterruptCase{"line_editing_default_action", 0, "ab\x03", false},
                      FatalInterruptCase{"line_editing_third_ctrl_c", 0, "ab\x03", true},
                      FatalInterruptCase{"single_key_default_action", -1, "\x03", false},
                      FatalInterruptCase{"single_key_third_ctrl_c", -2, "\x03", true},
                      FatalInterruptCase{"wait_for_enter_default_action", -3, "x\x03", false}),
    [](const auto &info) { return std::string(info.param.name); });

// A positive count is reset to 0 when a call starts; -1 (not installed) and 0 stay.
class EditorCountReset : public ::testing::TestWithParam<std::pair<int32_t, int32_t>> {};

TEST_P(EditorCountReset, ResetsOnlyPositiveCounts) {
    auto [before, after] = GetParam();
    PtyRun run = run_on_pty(
        [&] {
            nsignals = before;
            call_editor("> ", "", 0, 8);
        },
        {WaitRaw(), Type("\r")});
    ASSERT_TRUE(exited_normally(run));
    EXPECT_EQ(std::to_string(after), run.report["nsignals"]);
}

INSTANTIATE_TEST_SUITE_P(Table, EditorCountReset,
                         ::testing::Values(std::pair{1, 0}, std::pair{2, 0}, std::pair{7, 0},
                                           std::pair{0, 0}, std::pair{-1, -1},
                                           std::pair{-5, -5}));

// The count is reset at the start, so an interrupt typed during the call counts as 1.
TEST(EditorCountReset, InterruptDuringCallCountsFromZero) {
    PtyRun run = run_on_pty(
        [] {
            install_observers();
            nsignals = 2;
            call_editor("> ", "", 0, 8);
            report("after_call", nsignals);
        },
        {WaitRaw(), Type("\x03")});
    ASSERT_TRUE(exited_normally(run));
    EXPECT_EQ("0", run.report["after_call"]);  // the child's handler does not count
    EXPECT_EQ("> <INT>", run.output);
}

// A handler installed without SA_RESTART interrupts the read; the editor goes on waiting.
volatile sig_atomic_t g_alarms = 0;
void on_alarm(int) { g_alarms = g_alarms + 1; }

TEST(EditorReads, RetriesReadInterruptedBySignal) {
    PtyRun run = run_on_pty(
        [] {
            install(SIGUSR1, on_alarm, 0);
            call_editor("> ", "", 0, 8);
            report("alarms", g_alarms);
        },
        {WaitFor("> "), Pause(50), Signal(SIGUSR1), Pause(100), Type("ok\r")});
    ASSERT_TRUE(exited_normally(run));
    EXPECT_EQ("1", run.report["alarms"]);
    EXPECT_EQ(visible("> ok" + kNewLine), visible(run.output));
    EXPECT_EQ(visible(expected_buffer("ok", 8)), visible(run.report["buffer"]));
}

// The terminal hangs up while the editor waits: the call ends with the text as it stood
// instead of reading forever.
// Child side: standard error goes to a pipe; returns what was written to it.
template <typename Body> std::string capture_stderr(Body body) {
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) _exit(3);
    dup2(pipe_ends[1], STDERR_FILENO);
    close(pipe_ends[1]);
    body();
    close(STDERR_FILENO);
    std::string captured;
    char buffer[512];
    for (ssize_t got; (got = read(pipe_ends[0], buffer, sizeof buffer)) > 0;)
        captured.append(buffer, static_cast<size_t>(got));
    return captured;
}

TEST(EditorReads, HangUpEndsTheCall) {
    PtyRun run = run_on_pty(
        [] {
            signal(SIGHUP, SIG_IGN);
            report("stderr", capture_stderr([] {
                       call_editor("> ", "", 0, 8);
                       // A later call finds no terminal: reported, and it ends at once.
                       char line[4];
                       int32_t length = 0;
                       report("later_result", m_get_input("> ", line, &length, 2, 4, 0));
                       report("later_length", length);
                   }));
        },
        {WaitRaw(), Type("ab"), WaitFor("> ab"), HangUp()});
    ASSERT_TRUE(exited_normally(run)) << "timed out: " << run.timed_out;
    EXPECT_EQ("0", run.report["result"]);
    EXPECT_EQ("2", run.report["length"]);
    EXPECT_EQ(visible(expected_buffer("ab", 8)), visible(run.report["buffer"]));
    // A hung-up terminal cannot take its settings back: reported, and the call still ends.
    EXPECT_EQ("tcsetattr: Couldn't restore the terminal: Input/output error\n"
              "tcgetattr: Couldn't read the terminal: Input/output error\n",
              run.report["stderr"]);
    EXPECT_EQ("0", run.report["later_result"]);
    EXPECT_EQ("0", run.report["later_length"]);
}

TEST(EditorReads, HangUpInsideEscapeSequenceEndsTheCall) {
    PtyRun run = run_on_pty(
        [] {
            signal(SIGHUP, SIG_IGN);
            call_editor("> ", "xy", 0, 8);
        },
        {WaitRaw(), Type("\x1b["), Pause(100), HangUp()});
    ASSERT_TRUE(exited_normally(run)) << "timed out: " << run.timed_out;
    EXPECT_EQ("0", run.report["result"]);
    EXPECT_EQ(visible(expected_buffer("xy", 8)), visible(run.report["buffer"]));
}

TEST(EditorReads, HangUpBeforeSingleKeyLeavesNoKey) {
    PtyRun run = run_on_pty(
        [] {
            signal(SIGHUP, SIG_IGN);
            call_editor("> ", "xy", -3, 8);
        },
        {WaitRaw(), Type("ab"), Pause(100), HangUp()});
    ASSERT_TRUE(exited_normally(run)) << "timed out: " << run.timed_out;
    EXPECT_EQ("0", run.report["result"]);
    EXPECT_EQ("0", run.report["length"]);
    EXPECT_EQ(visible(expected_buffer("", 8)), visible(run.report["buffer"]));
}

}  // namespace
}  // namespace vt_test
