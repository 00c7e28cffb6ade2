#include "pty_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

namespace vt_test {

namespace {

int g_report_fd = -1;  // child side of the report pipe

using Clock = std::chrono::steady_clock;

void write_all(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t count = write(fd, bytes.data() + done, bytes.size() - done);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return;
        done += static_cast<size_t>(count);
    }
}

// Report records: key, '\n', value length, '\n', value bytes.
Report parse_report(const std::string &bytes) {
    Report parsed;
    size_t at = 0;
    while (at < bytes.size()) {
        size_t key_end = bytes.find('\n', at);
        size_t size_end = bytes.find('\n', key_end + 1);
        if (key_end == std::string::npos || size_end == std::string::npos) break;
        std::string key = bytes.substr(at, key_end - at);
        size_t size = std::stoul(bytes.substr(key_end + 1, size_end - key_end - 1));
        parsed[key] = bytes.substr(size_end + 1, size);
        at = size_end + 1 + size;
    }
    return parsed;
}

// The parent's view of the running child.
class Session {
public:
    Session(int master, int report_fd, pid_t child, Clock::time_point deadline)
        : master_(master), report_fd_(report_fd), child_(child), deadline_(deadline) {}

    // Reads whatever the child has written, waiting at most `wait_ms` for it.
    void drain(int wait_ms) {
        pollfd fds[2];
        nfds_t count = 0;
        if (master_ >= 0) fds[count++] = pollfd{master_, POLLIN, 0};
        if (report_fd_ >= 0) fds[count++] = pollfd{report_fd_, POLLIN, 0};
        if (count == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
            return;
        }
        if (poll(fds, count, wait_ms) <= 0) return;
        for (nfds_t i = 0; i < count; ++i) {
            if (fds[i].revents == 0) continue;
            bool is_master = fds[i].fd == master_;
            char buffer[4096];
            ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                (is_master ? run.output : report_bytes).append(buffer, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                // EIO on the master: the child's side of the terminal is closed.
                if (is_master) {
                    close_master();
                } else {
                    close(report_fd_);
                    report_fd_ = -1;
                }
            }
        }
    }

    bool perform(const Step &step) {
        switch (step.kind) {
        case Step::kWaitRaw:
            return wait_until([&] {
                termios now{};
                if (master_ < 0 || tcgetattr(master_, &now) != 0) return false;
                run.raw_seen = now;
                return (now.c_lflag & ICANON) == 0;
            });
        case Step::kWaitOutput:
            return wait_until([&] {
                size_t found = run.output.find(step.text, matched_);
                if (found == std::string::npos) return false;
                matched_ = found + step.text.size();
                return true;
            });
        case Step::kType:
            if (master_ < 0) return false;
            write_all(master_, step.text);
            return true;
        case Step::kSignal: return kill(child_, step.number) == 0;
        case Step::kHangUp:
            close_master();
            return true;
        case Step::kPause: {
            auto until = Clock::now() + std::chrono::milliseconds(step.number);
            while (Clock::now() < until) drain(5);
            return true;
        }
        }
        return false;
    }

    void wait_for_exit() {
        for (;;) {
            pid_t done = waitpid(child_, &run.wait_status, WNOHANG);
            if (done == child_) break;
            if (Clock::now() >= deadline_) {
                run.timed_out = true;
                kill(child_, SIGKILL);
                waitpid(child_, &run.wait_status, 0);
                break;
            }
            drain(10);
        }
        // What the child wrote before it ended is still readable.
        auto until = Clock::now() + std::chrono::milliseconds(2000);
        while ((master_ >= 0 || report_fd_ >= 0) && Clock::now() < until) drain(10);
        close_master();
        if (report_fd_ >= 0) close(report_fd_);
        run.report = parse_report(report_bytes);
    }

    PtyRun run;

private:
    // The settings outlive the child's side: the master still reads them.
    void close_master() {
        if (master_ < 0) return;
        run.final_terminal_seen = tcgetattr(master_, &run.final_terminal) == 0;
        close(master_);
        master_ = -1;
    }

    template <typename Ready> bool wait_until(Ready ready) {
        while (!ready()) {
            if (Clock::now() >= deadline_) return false;
            drain(2);
        }
        return true;
    }

    int master_;
    int report_fd_;
    pid_t child_;
    Clock::time_point deadline_;
    size_t matched_ = 0;
    std::string report_bytes;
};

void start_child(int report_fd, const std::function<void()> &child, const PtyOptions &options) {
    g_report_fd = report_fd;
    termios terminal{};
    tcgetattr(STDIN_FILENO, &terminal);
    terminal.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    if (options.setup_terminal) options.setup_terminal(terminal);
    tcsetattr(STDIN_FILENO, TCSANOW, &terminal);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    child();
    std::fflush(stdout);
    _exit(0);
}

}  // namespace

Step WaitRaw() { return Step{Step::kWaitRaw, {}, 0}; }
Step WaitFor(std::string text) { return Step{Step::kWaitOutput, std::move(text), 0}; }
Step Type(std::string keys) { return Step{Step::kType, std::move(keys), 0}; }
Step Signal(int signal_number) { return Step{Step::kSignal, {}, signal_number}; }
Step HangUp() { return Step{Step::kHangUp, {}, 0}; }
Step Pause(int milliseconds) { return Step{Step::kPause, {}, milliseconds}; }

void report(const std::string &key, const std::string &value) {
    write_all(g_report_fd, key + "\n" + std::to_string(value.size()) + "\n" + value);
}

void report(const std::string &key, long value) { report(key, std::to_string(value)); }

PtyRun run_on_pty(const std::function<void()> &child, const std::vector<Step> &steps,
                  const PtyOptions &options) {
    int report_pipe[2];
    if (pipe2(report_pipe, O_CLOEXEC) != 0) {
        std::perror("pipe2");
        return PtyRun{};
    }
    winsize size{};
    size.ws_row = options.rows;
    size.ws_col = options.columns;
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    if (pid < 0) {
        std::perror("forkpty");
        close(report_pipe[0]);
        close(report_pipe[1]);
        return PtyRun{};
    }
    if (pid == 0) {
        close(report_pipe[0]);
        start_child(report_pipe[1], child, options);
    }
    close(report_pipe[1]);
    fcntl(master, F_SETFD, FD_CLOEXEC);

    Session session(master, report_pipe[0], pid, Clock::now() + options.time_limit);
    session.run.steps_done = true;
    for (const Step &step : steps) {
        if (!session.perform(step)) {
            session.run.steps_done = false;
            break;
        }
    }
    session.wait_for_exit();
    return session.run;
}

std::string visible(const std::string &bytes) {
    std::string shown;
    for (unsigned char byte : bytes) {
        if (byte == '\r') {
            shown += "\\r";
        } else if (byte == '\n') {
            shown += "\\n";
        } else if (byte == 0x1b) {
            shown += "\\e";
        } else if (byte == '\\') {
            shown += "\\\\";
        } else if (byte < 0x20 || byte >= 0x7f) {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02x", byte);
            shown += code;
        } else {
            shown += static_cast<char>(byte);
        }
    }
    return shown;
}

bool exited_normally(const PtyRun &run) {
    return !run.timed_out && WIFEXITED(run.wait_status) && WEXITSTATUS(run.wait_status) == 0;
}

}  // namespace vt_test
