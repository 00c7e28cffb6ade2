// Runs code in a child process on a fresh pseudo-terminal, types into it from the
// master side and collects every byte the child wrote to the terminal.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vt_test {

// One thing the parent does while the child runs.
struct Step {
    enum Kind { kWaitRaw, kWaitOutput, kType, kSignal, kHangUp, kPause } kind;
    std::string text;  // kWaitOutput: what to wait for; kType: the bytes to type
    int number = 0;    // kSignal: the signal; kPause: milliseconds
};

// Waits until the child's terminal has canonical input off (the editor is in raw mode).
Step WaitRaw();
// Waits until `text` appears in the output after the previous match.
Step WaitFor(std::string text);
Step Type(std::string keys);
Step Signal(int signal_number);
// Closes the master: the child's terminal hangs up.
Step HangUp();
Step Pause(int milliseconds);

struct PtyOptions {
    unsigned short columns = 80;
    unsigned short rows = 24;
    // Change the child's terminal before the body runs (OPOST is already off, so that
    // every byte arrives as written).
    std::function<void(termios &)> setup_terminal;
    std::chrono::milliseconds time_limit{10000};
};

// What the child sent back through report() (key to value).
using Report = std::map<std::string, std::string>;

struct PtyRun {
    std::string output;    // every byte the child wrote to the terminal
    Report report;
    int wait_status = 0;
    bool timed_out = false;
    bool steps_done = false;
    termios raw_seen{};    // the terminal as the last kWaitRaw saw it
    // The terminal as the master side saw it when it closed: after the child ended (its
    // last settings, even when a signal killed it) or at a kHangUp.
    termios final_terminal{};
    bool final_terminal_seen = false;
};

// Child side: send one value back to the parent (any bytes).
void report(const std::string &key, const std::string &value);
void report(const std::string &key, long value);

// Forks a child on a new pty whose body runs `child`, then performs `steps`, then waits
// for the child to exit (killing it at the time limit).
PtyRun run_on_pty(const std::function<void()> &child, const std::vector<Step> &steps,
                  const PtyOptions &options = {});

// Bytes shown readably in failure messages: \r, \n, \e, \xNN.
std::string visible(const std::string &bytes);

bool exited_normally(const PtyRun &run);

}  // namespace vt_test
