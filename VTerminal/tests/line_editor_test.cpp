// The line editor on a real pseudo-terminal: keys typed into the master, every byte the
// editor wrote compared with what it must write, then the result, line and line_length,
// and the terminal's settings before, during and after the call.
#include "editor_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

namespace vt_test {
namespace {

constexpr char kPrompt[] = "> ";

struct EditCase {
    const char *name;
    int32_t mode;
    std::string text;      // pre-filled
    std::string keys;      // typed once the terminal is raw
    std::string written;   // every byte written after the prompt
    int32_t result;
    std::string line;      // the final text
    int32_t capacity = 16;
    bool cr_stays_cr = false;  // clear ICRNL, which otherwise turns a typed CR into LF
    bool then_hang_up = false; // the terminal hangs up after the keys: end of input
};

std::ostream &operator<<(std::ostream &out, const EditCase &c) { return out << c.name; }

const std::vector<EditCase> kEditCases = {
    // Ending a line.
    {"prefilled_then_enter", 0, "abc", "\r", "abc" + kNewLine, 0, "abc"},
    {"typed_then_line_feed", 0, "", "hi\n", "hi" + kNewLine, 0, "hi"},
    {"up_arrow_is_previous", 0, "abc", kUp, "abc" + kEraseLine, -1, "abc"},
    {"ctrl_b_is_previous", 0, "abc", "\x02", "abc" + kEraseLine, -1, "abc"},
    {"ctrl_p_is_previous", 0, "abc", "\x10", "abc" + kEraseLine, -1, "abc"},
    {"down_arrow_is_next", 0, "abc", kDown, "abc" + kEraseLine, 1, "abc"},
    {"ctrl_n_is_next", 0, "abc", "\x0e", "abc" + kEraseLine, 1, "abc"},
    {"previous_keeps_the_edited_text", 0, "ab", "c" + kUp, "abc" + kEraseLine, -1, "abc"},

    // Storing characters.
    {"insert_inside", 0, "ac", kLeft + "b\r", "ac\b" + kInsertBlank + "b" + kNewLine, 0, "abc"},
    {"overwrite_after_insert_key", 0, "abc", kInsertKey + "\x01X\r", "abc\b\b\bX" + kNewLine, 0,
     "Xbc"},
    {"insert_key_toggles_back", 0, "abc", kInsertKey + kInsertKey + "\x01X\r",
     "abc\b\b\b" + kInsertBlank + "X" + kNewLine, 0, "Xabc"},
    {"full_text_insert_rings", 0, "abc", "\x01X\r", "abc\b\b\b\a" + kNewLine, 0, "abc", 3},
    {"full_text_overwrite_then_end_rings", 0, "abc", kInsertKey + kLeft + "XY\r",
     "abc\bX\a" + kNewLine, 0, "abX", 3},
    {"append_past_capacity_rings", 0, "ab", "cd\r", "abc\a" + kNewLine, 0, "abc", 3},
    {"zero_capacity_rings", 0, "", "a\r", "\a" + kNewLine, 0, "", 0},

    // Moving and erasing; nothing happens (and no bell) where the key cannot act.
    {"no_ops_at_start", 0, "ab", "\x01\x08\x04" + kLeft + "\x17" + kHome + "\r",
     "ab\b\b" + kNewLine, 0, "ab"},
    {"no_ops_at_end", 0, "ab", kDeleteKey + kRight + "\x06\x05" + kEnd + "\r", "ab" + kNewLine, 0,
     "ab"},
    {"backspace_at_end", 0, "abc", "\x08\r", "abc\b \b" + kNewLine, 0, "ab"},
    {"del_byte_erases_like_backspace", 0, "abc", "\x7f\r", "abc\b \b" + kNewLine, 0, "ab"},
    {"backspace_inside", 0, "abcd", kLeft + kLeft + "\x08\r",
     "abcd\b\b\bcd \b\b\b" + kNewLine, 0, "acd"},
    {"delete_key_at_start", 0, "abcd", "\x01" + kDeleteKey + "\r",
     "abcd\b\b\b\bbcd \b\b\b\b" + kNewLine, 0, "bcd"},
    {"delete_last_byte", 0, "ab", kLeft + kDeleteKey + "\r", "ab\b \b" + kNewLine, 0, "a"},
    {"ctrl_keys_start_right_end", 0, "abc", "\x01\x06\x05\r", "abc\b\b\babc" + kNewLine, 0,
     "abc"},
    {"arrow_keys_home_right_end", 0, "abc", kHome + kRight + kEnd + "\r",
     "abc\b\b\babc" + kNewLine, 0, "abc"},
    {"ctrl_d_and_ctrl_f_move", 0, "abc", "\x04\x04\x06X\r",
     "abc\b\bb" + kInsertBlank + "X" + kNewLine, 0, "abXc"},

    // Redraw, clear, erase to cursor.
    {"ctrl_l_redraws", 0, "abc", kLeft + "\x0c\r",
     "abc\b" + kEraseLine + "> abc\b" + kNewLine, 0, "abc"},
    {"ctrl_r_redraws", 0, "abc", kLeft + "\x12\r",
     "abc\b" + kEraseLine + "> abc\b" + kNewLine, 0, "abc"},
    {"ctrl_u_clears", 0, "abc", "\x15x\r", "abc" + kEraseLine + "> x" + kNewLine, 0, "x"},
    {"ctrl_w_erases_to_cursor", 0, "hello world", repeat(kLeft, 5) + "\x17X\r",
     "hello world" + repeat("\b", 5) + kEraseLine + "> world" + repeat("\b", 5) + kInsertBlank +
         "X" + kNewLine,
     0, "Xworld"},

    // Escape decoding: every sequence is read whole. Home and End as the different
    // terminals send them; a key typed after them shows where the cursor went.
    {"csi_1_tilde_is_home", 0, "abc", "\x1b[1~X\r", "abc\b\b\b" + kInsertBlank + "X" + kNewLine, 0,
     "Xabc"},
    {"csi_7_tilde_is_home", 0, "abc", "\x1b[7~X\r", "abc\b\b\b" + kInsertBlank + "X" + kNewLine, 0,
     "Xabc"},
    {"ss3_h_is_home", 0, "abc", "\x1bOHX\r", "abc\b\b\b" + kInsertBlank + "X" + kNewLine, 0,
     "Xabc"},
    {"mode_1_csi_1_tilde_is_home", 1, "abc", "\x1b[1~X\r",
     "abc\b\b\b" + kInsertBlank + "X" + kNewLine, 0, "Xabc"},
    {"csi_4_tilde_is_end", 0, "abc", "\x01\x1b[4~X\r", "abc\b\b\babcX" + kNewLine, 0, "abcX"},
    {"csi_8_tilde_is_end", 0, "abc", "\x01\x1b[8~X\r", "abc\b\b\babcX" + kNewLine, 0, "abcX"},
    {"ss3_f_is_end", 0, "abc", "\x01\x1bOFX\r", "abc\b\b\babcX" + kNewLine, 0, "abcX"},
    // The cursor keys in application mode.
    {"ss3_up_is_previous", 0, "abc", "\x1bOA", "abc" + kEraseLine, -1, "abc"},
    {"ss3_down_is_next", 0, "abc", "\x1bOB", "abc" + kEraseLine, 1, "abc"},
    {"ss3_left_and_right", 0, "abc", "\x1bOD\x1bOD\x1bOCX\r",
     "abc\b\bb" + kInsertBlank + "X" + kNewLine, 0, "abXc"},
    // Keys that mean nothing here leave nothing behind.
    {"unknown_sequence_dropped", 0, "", "\x1b[Za\r", "a" + kNewLine, 0, "a"},
    {"page_up_dropped", 0, "ab", "\x1b[5~c\r", "abc" + kNewLine, 0, "abc"},
    {"page_down_dropped", 0, "ab", "\x1b[6~c\r", "abc" + kNewLine, 0, "abc"},
    {"ctrl_right_dropped", 0, "ab", "\x1b[1;5Cc\r", "abc" + kNewLine, 0, "abc"},
    {"ss3_f1_dropped", 0, "ab", "\x1bOPc\r", "abc" + kNewLine, 0, "abc"},
    {"f5_dropped", 0, "ab", "\x1b[15~c\r", "abc" + kNewLine, 0, "abc"},
    {"f12_dropped", 0, "ab", "\x1b[24~c\r", "abc" + kNewLine, 0, "abc"},
    {"console_f1_dropped", 0, "ab", "\x1b[[Ac\r", "abc" + kNewLine, 0, "abc"},
    {"long_parameters_dropped", 0, "ab", "\x1b[1;2;3;4;5;6~c\r", "abc" + kNewLine, 0, "abc"},
    // An intermediate byte makes it another sequence: not Insert, so 'X' is inserted.
    {"insert_with_intermediate_dropped", 0, "abc", "\x01\x1b[2 ~X\r",
     "abc\b\b\b" + kInsertBlank + "X" + kNewLine, 0, "Xabc"},
    // A control byte breaks the sequence off; both are dropped, and editing goes on.
    {"sequence_cut_by_control_byte", 0, "ab", "\x1b[1\rc\r", "abc" + kNewLine, 0, "abc"},
    {"csi_cut_by_end_of_input", 0, "xy", "\x1b[1;5", "xy", 0, "xy", 16, false, true},
    {"ss3_cut_by_end_of_input", 0, "xy", "\x1bO", "xy", 0, "xy", 16, false, true},
    {"mode_2_home_is_text", 2, "", "\x1b[1~\r", "[1~" + kNewLine, 0, "[1~"},
    {"mode_2_up_arrow_is_text", 2, "", kUp + "\r", "[A" + kNewLine, 0, "[A"},
    {"mode_3_decodes_like_mode_0", 3, "", "a\t" + kLeft + "b\r",
     "a\b" + kInsertBlank + "b" + kNewLine, 0, "ba"},

    // Tab and other control bytes.
    {"mode_1_tab_inserts_and_ends", 1, "abcd", kLeft + kLeft + "\t",
     "abcd\b\b" + kInsertBlank + "\t" + kNewLine, 0, "ab\tcd"},
    {"mode_1_tab_on_full_text_rings_and_ends", 1, "abcd", "\t", "abcd\a" + kNewLine, 0, "abcd", 4},
    {"mode_0_tab_ignored", 0, "", "a\tb\r", "ab" + kNewLine, 0, "ab"},
    {"mode_2_tab_ignored", 2, "", "a\tb\r", "ab" + kNewLine, 0, "ab"},
    {"unlisted_control_bytes_ignored", 0, "", "a\x07\x0b\x0f\x14\x16\x19\r", "a" + kNewLine, 0, "a"},

    // Single keys: no echo, the pre-filled text neither written nor kept.
    {"mode_minus_1_key", -1, "zzz", "q", "", 0, "q"},
    {"other_negative_mode_key", -7, "", "q", "", 0, "q"},
    {"mode_minus_2_erases_row", -2, "", "q", kEraseLine, 0, "q"},
    {"mode_minus_3_cr", -3, "", "ab\r", "\n", 0, "\r", 16, true},
    {"mode_minus_3_cr_arrives_as_lf", -3, "", "ab\r", "\n", 0, "\n"},
    {"enter_as_cr_without_icrnl", 0, "a", "b\r", "ab" + kNewLine, 0, "ab", 16, true},
    {"mode_minus_3_lf", -3, "", "ab\n", "\n", 0, "\n"},
    {"single_key_escape_not_decoded", -1, "", "\x1b", "", 0, "\x1b"},
    {"single_key_quit_char_is_plain", -1, "", "\x1c", "", 0, "\x1c"},
    {"single_key_del_is_plain", -1, "", "\x7f", "", 0, "\x7f"},
    {"single_key_zero_capacity_keeps_nothing", -1, "", "q", "", 0, "", 0},
};

class EditorKeys : public ::testing::TestWithParam<EditCase> {};

TEST_P(EditorKeys, WritesExactBytesAndLeavesLine) {
    const EditCase &c = GetParam();
    PtyOptions options;
    options.setup_terminal = [&](termios &terminal) {
        if (c.cr_stays_cr) terminal.c_iflag &= ~static_cast<tcflag_t>(ICRNL);
    };
    std::vector<Step> steps = {WaitRaw(), Type(c.keys)};
    if (c.then_hang_up) {
        steps.push_back(Pause(100));
        steps.push_back(HangUp());
    }
    PtyRun run = run_on_pty(
        [&] {
            if (c.then_hang_up) signal(SIGHUP, SIG_IGN);
            call_editor(kPrompt, c.text, c.mode, c.capacity);
        },
        steps, options);
    ASSERT_TRUE(exited_normally(run)) << visible(run.output);
    EXPECT_EQ(visible(kPrompt + c.written), visible(run.output));
    EXPECT_EQ(std::to_string(c.result), run.report["result"]);
    EXPECT_EQ(std::to_string(c.line.size()), run.report["length"]);
    EXPECT_EQ(visible(expected_buffer(c.line, c.capacity)), visible(run.report["buffer"]));
    expect_raw_mode(run.raw_seen, run.report["before"]);
    // A hung-up terminal cannot be read back.
    if (!c.then_hang_up) expect_same_terminal(run.report["before"], run.report["after"]);
}

INSTANTIATE_TEST_SUITE_P(Table, EditorKeys, ::testing::ValuesIn(kEditCases),
                         [](const auto &info) { return std::string(info.param.name); });

// An empty prompt and text write nothing before the first key; a prompt is written to
// exactly prompt_length bytes, NULs included; a negative length writes none.
struct PromptCase {
    const char *name;
    std::string prompt;
    int32_t prompt_length;
    std::string written;
};

class EditorPrompt : public ::testing::TestWithParam<PromptCase> {};

TEST_P(EditorPrompt, WritesPromptLengthBytes) {
    const PromptCase &c = GetParam();
    PtyRun run = run_on_pty(
        [&] {
            char line[4];
            int32_t length = 0;
            report("result", m_get_input(c.prompt.data(), line, &length, c.prompt_length, 4, 0));
        },
        {WaitRaw(), Type("x\r")});
    ASSERT_TRUE(exited_normally(run));
    EXPECT_EQ(visible(c.written + "x" + kNewLine), visible(run.output));
}

INSTANTIATE_TEST_SUITE_P(
    Table, EditorPrompt,
    ::testing::Values(PromptCase{"empty", "", 0, ""},
                      PromptCase{"with_nul", std::string("a\0b", 3), 3, std::string("a\0b", 3)},
                      PromptCase{"shorter_length", "prompt", 3, "pro"},
                      PromptCase{"negative_length", "prompt", -4, ""}),
    [](const auto &info) { return std::string(info.param.name); });

// Arguments that would make the editor read or write outside the caller's buffers.
TEST(EditorArguments, PrefilledLengthAboveCapacityIsClamped) {
    PtyRun run = run_on_pty(
        [] {
            std::string buffer = "abcdef" + kGuard;
            int32_t length = 6;
            report("result", m_get_input("> ", buffer.data(), &length, 2, 4, 0));
            report("length", length);
            report("buffer", buffer);
        },
        {WaitRaw(), Type("x" + kLeft + "\x08\r")});
    ASSERT_TRUE(exited_normally(run));
    // The text is the first four bytes; it is full, so 'x' rings; backspace works inside.
    EXPECT_EQ(visible("> abcd\a\b\bd \b\b" + kNewLine), visible(run.output));
    EXPECT_EQ("3", run.report["length"]);
    EXPECT_EQ("abd " + std::string("ef") + kGuard, run.report["buffer"]);
}

TEST(EditorArguments, NegativeLengthCountsAsEmpty) {
    PtyRun run = run_on_pty(
        [] {
            std::string buffer = "abcd" + kGuard;
            int32_t length = -3;
            report("result", m_get_input("> ", buffer.data(), &length, 2, 4, 0));
            report("length", length);
            report("buffer", buffer);
        },
        {WaitRaw(), Type("x\r")});
    ASSERT_TRUE(exited_normally(run));
    EXPECT_EQ(visible("> x" + kNewLine), visible(run.output));
    EXPECT_EQ("1", run.report["length"]);
    EXPECT_EQ("x   " + kGuard, run.report["buffer"]);
}

TEST(EditorArguments, NullPointersCountAsEmpty) {
    PtyRun run = run_on_pty(
        [] {
            // Null prompt with a length, null line with a capacity, null line_length.
            report("result", m_get_input(nullptr, nullptr, nullptr, 5, 8, 0));
            std::string buffer = "ab" + kGuard;
            report("second", m_get_input("> ", buffer.data(), nullptr, 2, 2, 0));
            report("buffer", buffer);
        },
        {WaitRaw(), Type("a\r"), WaitFor("> "), WaitRaw(), Type("c\r")});
    ASSERT_TRUE(exited_normally(run));
    EXPECT_EQ(visible("\a" + kNewLine + "> c" + kNewLine), visible(run.output));
    EXPECT_EQ("0", run.report["result"]);
    EXPECT_EQ("0", run.report["second"]);
    EXPECT_EQ("c " + kGuard, run.report["buffer"]);
}

// Nobody made stdout unbuffered (getInterrupt was never called): the prompt and the echo
// still reach the terminal before the editor waits for the next key.
TEST(EditorOutput, ShowsPromptAndEchoWithBufferedStdout) {
    PtyRun run = run_on_pty(
        [] {
            static char buffer[BUFSIZ];
            std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
            call_editor("> ", "", 0, 8);
        },
        {WaitFor("> "), Type("ab"), WaitFor("ab"), Type("\r")});
    ASSERT_TRUE(run.steps_done) << visible(run.output);
    ASSERT_TRUE(exited_normally(run));
    EXPECT_EQ(visible("> ab" + kNewLine), visible(run.output));
}

// The terminal's settings come back exactly, also non-default ones.
TEST(EditorTerminal, RestoresUnusualSettings) {
    PtyOptions options;
    options.setup_terminal = [](termios &terminal) {
        terminal.c_lflag &= ~static_cast<tcflag_t>(ECHO | IEXTEN);
        terminal.c_cc[VMIN] = 3;
        terminal.c_cc[VTIME] = 7;
        terminal.c_cc[VERASE] = 0x15;
    };
    PtyRun run = run_on_pty([] { call_editor("> ", "", 0, 8); }, {WaitRaw(), Type("ab\r")},
                            options);
    ASSERT_TRUE(exited_normally(run));
    termios before = termios_from(run.report["before"]);
    EXPECT_EQ(3, before.c_cc[VMIN]);
    EXPECT_EQ(7, before.c_cc[VTIME]);
    expect_raw_mode(run.raw_seen, run.report["before"]);
    expect_same_terminal(run.report["before"], run.report["after"]);
}

}  // namespace
}  // namespace vt_test
