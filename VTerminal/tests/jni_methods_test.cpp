// getInput and print through a JNI function table of our own: the strings lent and
// given back, the text cut at 1024 bytes, null strings, the result mapping, and what
// reaches NewStringUTF. The editor underneath runs on a real pty.
#include "editor_support.h"
#include "jni_methods.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace vt_test {
namespace {

// A Java string as this fake JVM keeps it: its modified UTF-8 bytes.
struct FakeString {
    std::string bytes;
    bool refuse_bytes = false;  // GetStringUTFChars fails (out of memory)
};

// What the fake JVM saw, in order.
struct JvmLog {
    std::vector<std::string> calls;
    std::vector<std::unique_ptr<FakeString>> created;
};
JvmLog g_log;

FakeString *fake(jstring string) { return reinterpret_cast<FakeString *>(string); }
jstring as_jstring(FakeString *string) { return reinterpret_cast<jstring>(string); }

const char *JNICALL get_chars(JNIEnv *, jstring string, jboolean *is_copy) {
    g_log.calls.push_back("get " + fake(string)->bytes + (is_copy ? " is_copy" : ""));
    if (fake(string)->refuse_bytes) return nullptr;
    return fake(string)->bytes.c_str();
}

void JNICALL release_chars(JNIEnv *, jstring string, const char *bytes) {
    bool same = bytes == fake(string)->bytes.c_str();
    g_log.calls.push_back("release " + fake(string)->bytes + (same ? "" : " WRONG POINTER"));
}

jstring JNICALL new_string(JNIEnv *, const char *bytes) {
    g_log.calls.push_back("new");
    g_log.created.push_back(std::make_unique<FakeString>(FakeString{bytes}));
    return as_jstring(g_log.created.back().get());
}

JNIEnv *fake_env() {
    static JNINativeInterface_ table = [] {
        JNINativeInterface_ functions{};
        functions.GetStringUTFChars = get_chars;
        functions.ReleaseStringUTFChars = release_chars;
        functions.NewStringUTF = new_string;
        return functions;
    }();
    static JNIEnv env{&table};
    return &env;
}

// Child side: one getInput call; reports the string returned and the JVM calls.
void call_get_input(FakeString *prompt, FakeString *text, jint mode) {
    jstring answer = Java_vek_sys_lib_VTerminal_getInput(fake_env(), nullptr, as_jstring(prompt),
                                                         as_jstring(text), mode);
    report("answer", answer == nullptr ? "<null>" : fake(answer)->bytes);
    std::string calls;
    for (const std::string &call : g_log.calls) calls += call + ";";
    report("calls", calls);
}

struct InputCase {
    const char *name;
    std::string text;
    jint mode;
    std::string keys;
    std::string answer;
};

std::ostream &operator<<(std::ostream &out, const InputCase &c) { return out << c.name; }

const std::string k1100 = std::string(1100, 'a');
const std::string k1024 = std::string(1024, 'a');
const std::string kEAcute = "\xc3\xa9";

const std::vector<InputCase> kInputCases = {
    {"line", "", 0, "hello\r", "hello"},
    {"line_keeps_typed_trailing_spaces", "ab", 0, "  \r", "ab  "},
    {"up_arrow_is_last", "abc", 0, kUp, "!LAST"},
    {"ctrl_b_is_last", "", 0, "\x02", "!LAST"},
    {"ctrl_p_is_last", "", 0, "\x10", "!LAST"},
    {"down_arrow_is_next", "x", 0, kDown, "!NEXT"},
    {"ctrl_n_is_next", "", 0, "\x0e", "!NEXT"},
    {"single_key", "zzz", -1, "q", "q"},
    {"interrupt_key_is_line_feed", "", -1, "\x03", "\n"},
    {"text_cut_to_1024_bytes", k1100, 0, "\r", k1024},
    {"text_cut_before_a_split_character", std::string(1023, 'a') + kEAcute, 0, "\r",
     std::string(1023, 'a')},
    {"full_text_rings_and_stays", k1024, 0, "b\r", k1024},
    {"whole_characters_pass", "n" + kEAcute, 0, "\r", "n" + kEAcute},
    {"split_character_becomes_question_mark", "n" + kEAcute, 0, "\x7f\r", "n?"},
    {"nul_key_is_java_nul", "", -1, std::string(1, '\0'), "\xc0\x80"},
    {"byte_above_7f_key_is_question_mark", "", -1, "\xff", "?"},
};

class GetInput : public ::testing::TestWithParam<InputCase> {};

TEST_P(GetInput, ReturnsTheLineOrRequest) {
    const InputCase &c = GetParam();
    PtyRun run = run_on_pty(
        [&] {
            signal(SIGINT, SIG_IGN);
            FakeString prompt{"> "};
            FakeString text{c.text};
            call_get_input(&prompt, &text, c.mode);
        },
        {WaitRaw(), Type(c.keys)});
    ASSERT_TRUE(exited_normally(run)) << visible(run.output);
    EXPECT_EQ(visible(c.answer), visible(run.report["answer"]));
    // Both strings lent without asking for a copy flag, released prompt first, and only
    // then the answer made.
    EXPECT_EQ("get > ;get " + c.text + ";release > ;release " + c.text + ";new;",
              run.report["calls"]);
}

INSTANTIATE_TEST_SUITE_P(Table, GetInput, ::testing::ValuesIn(kInputCases),
                         [](const auto &info) { return std::string(info.param.name); });

// The editor sees at most 1024 bytes: only those are written back to the terminal.
TEST(GetInputText, EditorGetsTheCutText) {
    PtyRun run = run_on_pty(
        [] {
            FakeString prompt{"> "};
            FakeString text{k1100};
            call_get_input(&prompt, &text, 0);
        },
        {WaitRaw(), Type("\r")});
    ASSERT_TRUE(exited_normally(run));
    EXPECT_EQ("> " + k1024 + kNewLine, run.output);
}

// Null strings count as empty: nothing is written before the first key.
TEST(GetInputText, NullStringsCountAsEmpty) {
    PtyRun run = run_on_pty([] { call_get_input(nullptr, nullptr, 0); },
                            {WaitRaw(), Type("x\r")});
    ASSERT_TRUE(exited_normally(run));
    EXPECT_EQ("x" + kNewLine, run.output);
    EXPECT_EQ("x", run.report["answer"]);
    EXPECT_EQ("new;", run.report["calls"]);
}

// When the JVM cannot supply a string's bytes its exception is pending: the call returns
// null at once, without touching the terminal, and releases what it got.
TEST(GetInputText, RefusedBytesReturnNull) {
    PtyRun run = run_on_pty(
        [] {
            FakeString prompt{"> "};
            FakeString text{"abc", true};
            call_get_input(&prompt, &text, 0);
        },
        {});
    ASSERT_TRUE(exited_normally(run)) << "timed out: " << run.timed_out;
    EXPECT_EQ("<null>", run.report["answer"]);
    EXPECT_EQ("get > ;get abc;release > ;", run.report["calls"]);
    EXPECT_EQ("", run.output);
}

TEST(Print, WritesBytesWithoutNewLine) {
    PtyRun run = run_on_pty(
        [] {
            // Fully buffered stdout: print still shows its text at once.
            static char buffer[BUFSIZ];
            std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
            FakeString hello{"<hello " + kEAcute + ">"};
            FakeString empty{""};
            FakeString refused{"no", true};
            Java_vek_sys_lib_VTerminal_print(fake_env(), nullptr, as_jstring(&hello));
            write(STDOUT_FILENO, "|", 1);
            Java_vek_sys_lib_VTerminal_print(fake_env(), nullptr, as_jstring(&empty));
            Java_vek_sys_lib_VTerminal_print(fake_env(), nullptr, nullptr);
            Java_vek_sys_lib_VTerminal_print(fake_env(), nullptr, as_jstring(&refused));
            write(STDOUT_FILENO, "|", 1);
            std::string calls;
            for (const std::string &call : g_log.calls) calls += call + ";";
            report("calls", calls);
        },
        {});
    ASSERT_TRUE(exited_normally(run));
    EXPECT_EQ("<hello " + kEAcute + ">||", run.output);
    EXPECT_EQ("get <hello " + kEAcute + ">;release <hello " + kEAcute + ">;get ;release ;get no;",
              run.report["calls"]);
}

}  // namespace
}  // namespace vt_test
