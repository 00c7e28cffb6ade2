#include "background.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace kelfs {
namespace {

// What the daemon writes once its mount answers; anything else is its reason to fail.
constexpr char kAnswered[] = "kelfs: the mount answers\n";

volatile sig_atomic_t daemon_pid = 0;

void pass_on(int signal) { ::kill(daemon_pid, signal); }

// The signals that end kelfs reach the daemon, which unmounts and says so; a signal the
// process was started to ignore stays ignored.
void pass_signals_on() {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = pass_on;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
    }
}

std::string how_it_ended(int status) {
    if (WIFSIGNALED(status)) return std::string("killed by ") + ::strsignal(WTERMSIG(status));
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

void write_all(int fd, const std::string &text) {
    for (size_t done = 0; done < text.size();) {
        const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return;
        done += static_cast<size_t>(put);
    }
}

// The process that was started: waits for the daemon's word, never returns. _exit: what
// this process holds (the view's descriptors) belongs to the daemon now.
[[noreturn]] void wait_for_word(pid_t daemon, int word_fd) {
    daemon_pid = daemon;
    pass_signals_on();
    std::string said;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(word_fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        said.append(buffer, static_cast<size_t>(got));
    }
    constexpr size_t kAnsweredLength = sizeof kAnswered - 1;
    if (said.size() >= kAnsweredLength && said.compare(said.size() - kAnsweredLength, kAnsweredLength, kAnswered) == 0)
        ::_exit(0);
    int status = 0;
    while (::waitpid(daemon, &status, 0) < 0 && errno == EINTR) {
    }
    if (said.empty()) said = "kelfs: the daemon ended before its mount answered (" + how_it_ended(status) + ")\n";
    write_all(STDERR_FILENO, said);
    ::_exit(1);
}

}  // namespace

Background Background::start() {
    int word[2];
    if (::pipe2(word, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("cannot go into the background: pipe2: ") + std::strerror(errno));
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t daemon = ::fork();
    if (daemon < 0)
        throw std::runtime_error(std::string("cannot go into the background: fork: ") + std::strerror(errno));
    if (daemon > 0) {
        ::close(word[1]);
        wait_for_word(daemon, word[0]);
    }
    ::close(word[0]);
    ::setsid();
    if (::chdir("/") != 0) {
        // Nothing depends on the directory: every path kelfs keeps is absolute.
    }
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
    ::dup2(word[1], STDERR_FILENO);
    return Background(word[1]);
}

void Background::answered() {
    std::fflush(stderr);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDERR_FILENO);
        ::close(null);
    }
    write_all(word_fd_, kAnswered);
    ::close(word_fd_);
    word_fd_ = -1;
}

}  // namespace kelfs
