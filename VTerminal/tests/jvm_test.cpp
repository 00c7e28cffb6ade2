// vek.sys.lib.VTerminal in a real JVM (with -Xcheck:jni) on a pseudo-terminal: the test
// script class and the example program are started with `java`, and keys are typed once
// each prompt is on the screen and the terminal is raw.
#include "editor_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace vt_test {
namespace {

const std::string kMessage = "**** Exiting... Press CTRL-C twice to interrupt immediately. ****\n";

// Child side: replaces the child with the JVM running `main_class` with `arguments`.
[[noreturn]] void exec_java(const std::string &main_class, const std::vector<std::string> &arguments) {
    unsetenv("JAVA_TOOL_OPTIONS");
    unsetenv("_JAVA_OPTIONS");
    unsetenv("JDK_JAVA_OPTIONS");
    std::vector<std::string> words = {VT_JAVA, "-Xcheck:jni", "-XX:+UseSerialGC", "-Xmx64m",
                                      "-Djava.library.path=" VT_LIBRARY_DIR, "-cp", VT_CLASS_PATH,
                                      main_class};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

class ResultsFile {
public:
    ResultsFile() {
        char name[] = "/tmp/vterminal_jvm_XXXXXX";
        int fd = mkstemp(name);
        if (fd >= 0) close(fd);
        path_ = name;
    }
    ~ResultsFile() { unlink(path_.c_str()); }
    const std::string &path() const { return path_; }

    std::map<std::string, std::string> read() const {
        std::map<std::string, std::string> values;
        std::ifstream in(path_);
        for (std::string line; std::getline(in, line);) {
            size_t equals = line.find('=');
            if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
        }
        return values;
    }

private:
    std::string path_;
};

PtyOptions jvm_options(unsigned short columns, unsigned short rows) {
    PtyOptions options;
    options.columns = columns;
    options.rows = rows;
    options.time_limit = std::chrono::seconds(20);
    return options;
}

// Keys for one getInput call, typed once its prompt is shown.
struct Prompted {
    std::string prompt;
    std::string keys;
};

std::vector<Step> steps_for(const std::vector<Prompted> &calls) {
    std::vector<Step> steps;
    for (const Prompted &call : calls) {
        steps.push_back(WaitFor(call.prompt));
        steps.push_back(WaitRaw());
        steps.push_back(Type(call.keys));
    }
    return steps;
}

void expect_no_jvm_complaints(const std::string &output) {
    EXPECT_EQ(std::string::npos, output.find("WARNING")) << output;
    EXPECT_EQ(std::string::npos, output.find("FATAL")) << output;
    EXPECT_EQ(std::string::npos, output.find("Exception")) << output;
}

TEST(Jvm, ScriptOfCallsUnderPty) {
    ResultsFile results;
    std::vector<Prompted> calls = {
        {"<hello><>", ""},
        {"t1> ", "hello\r"},
        {"t2> ", repeat(kLeft, 5) + "\x17\r"},
        {"t3> ", kUp},
        {"t4> ", "\x10"},
        {"t5> ", "\x02"},
        {"t6> ", kDown},
        {"t7> ", "\x0e"},
        {"t8> ", "  \r"},
        {"k1> ", "q"},
        {"k2> ", "xy\r"},
        {"k3> ", "\x03"},
        {"t9> ", "\r"},
        {"m1> ", kLeft + kLeft + "\t"},
        {"m2> ", kUp + "\r"},
        {"u1> ", "\x7f\r"},
        {"u2> ", "\r"},
        {"l1> ", "\r"},
        {"<n>", "k"},
    };
    PtyRun run = run_on_pty(
        [&] { exec_java("vek.sys.lib.test.VTerminalScript", {"script", results.path()}); },
        steps_for(calls), jvm_options(100, 30));
    ASSERT_TRUE(run.steps_done) << visible(run.output);
    ASSERT_TRUE(exited_normally(run)) << visible(run.output);

    std::map<std::string, std::string> expected = {
        {"interrupt_first", "0"},
        {"columns", "100"},
        {"rows", "30"},
        {"typed", "hello"},
        {"erase_to_cursor", "world"},
        {"up_arrow", "!LAST"},
        {"ctrl_p", "!LAST"},
        {"ctrl_b", "!LAST"},
        {"down_arrow", "!NEXT"},
        {"ctrl_n", "!NEXT"},
        {"trailing_spaces", "ab  "},
        {"single_key", "q"},
        {"wait_for_enter", "\\u000a"},  // the terminal maps CR to LF (ICRNL)
        {"interrupt_key", "\\u000a"},
        {"interrupt_after_key", "1"},
        {"after_reset", ""},
        {"interrupt_after_reset", "0"},
        {"tab_mode_1", "ab\\u0009cd"},
        {"arrow_mode_2", "[A"},
        {"split_character", "n?"},
        {"whole_character", "\\u00e9t\\u00e9"},
        {"long_text", "1024"},
        {"null_strings", "k"},
        {"done", "yes"},
    };
    EXPECT_EQ(expected, results.read());

    const std::string &out = run.output;
    // print adds nothing; an empty prompt and text write nothing around the key.
    EXPECT_NE(std::string::npos, out.find("<hello><>t1> hello\r\n")) << visible(out);
    EXPECT_NE(std::string::npos, out.find("<n></n>")) << visible(out);
    EXPECT_NE(std::string::npos,
              out.find("t2> hello world" + repeat("\b", 5) + kEraseLine + "t2> world" +
                       repeat("\b", 5) + kNewLine))
        << visible(out);
    EXPECT_NE(std::string::npos, out.find("t3> abc" + kEraseLine + "t4> ")) << visible(out);
    EXPECT_NE(std::string::npos, out.find("k3> " + kMessage + "t9> ")) << visible(out);
    EXPECT_EQ(1u, [&] {
        size_t count = 0;
        for (size_t at = out.find(kMessage); at != std::string::npos; at = out.find(kMessage, at + 1))
            ++count;
        return count;
    }());
    expect_no_jvm_complaints(out);
}

TEST(Jvm, ZeroWindowSizeFallsBack) {
    ResultsFile results;
    PtyRun run = run_on_pty(
        [&] { exec_java("vek.sys.lib.test.VTerminalScript", {"size", results.path()}); }, {},
        jvm_options(0, 0));
    ASSERT_TRUE(exited_normally(run)) << visible(run.output);
    std::map<std::string, std::string> expected = {
        {"columns", "80"}, {"rows", "24"}, {"done", "yes"}};
    EXPECT_EQ(expected, results.read());
}

// The example for people: lines, the history walked with the arrows, an empty line ends.
TEST(Jvm, HistoryExample) {
    std::vector<Prompted> calls = {
        {"history> ", "one\r"},
        {"history> ", "two\r"},
        {"history> ", kUp},
        {"history> two", kUp},
        {"history> one", kUp},  // stays on the oldest line
        {"history> one", kDown},
        {"history> two", "!\r"},
        {"[3] two!\nhistory> ", kDown},  // below the newest line: empty
        {"history> ", kUp},
        {"history> two!", "\x15\r"},  // cleared: an empty line ends
    };
    PtyRun run = run_on_pty([] { exec_java("vek.sys.lib.example.HistoryPrompt", {}); },
                            steps_for(calls), jvm_options(100, 30));
    ASSERT_TRUE(run.steps_done) << visible(run.output);
    ASSERT_TRUE(exited_normally(run)) << visible(run.output);
    EXPECT_NE(std::string::npos, run.output.find("Terminal of 100 x 30.")) << visible(run.output);
    EXPECT_NE(std::string::npos, run.output.find("[1] one\n")) << visible(run.output);
    EXPECT_NE(std::string::npos, run.output.find("[2] two\n")) << visible(run.output);
    EXPECT_NE(std::string::npos, run.output.find("bye\n")) << visible(run.output);
    expect_no_jvm_complaints(run.output);
}

TEST(Jvm, HistoryExampleEndsOnCtrlC) {
    PtyRun run = run_on_pty([] { exec_java("vek.sys.lib.example.HistoryPrompt", {}); },
                            steps_for({{"history> ", "half\x03"}}), jvm_options(80, 24));
    ASSERT_TRUE(run.steps_done) << visible(run.output);
    ASSERT_TRUE(exited_normally(run)) << visible(run.output);
    EXPECT_NE(std::string::npos, run.output.find("history> half" + kMessage + "bye\n"))
        << visible(run.output);
}

}  // namespace
}  // namespace vt_test
