// Going into the background. The daemon is a child process; the process that was started
// waits for its word and ends with status 0 only once the daemon says that its mount
// answers. Otherwise it passes on what the daemon said (one line) and ends with status 1
// once the daemon has ended and been reaped. SIGINT, SIGTERM and SIGHUP given to the
// waiting process are passed on to the daemon.
#pragma once

namespace kelfs {

class Background {
public:
    // Forks. Returns in the daemon only: in a session of its own, in "/", with standard
    // input and output on /dev/null and standard error going to the waiting process. The
    // process that was started never returns from it. Throws std::runtime_error when it
    // cannot fork.
    static Background start();

    // In the daemon, once its mount answers: the waiting process ends with status 0, and
    // standard error goes to /dev/null from now on.
    void answered();

private:
    explicit Background(int word_fd) : word_fd_(word_fd) {}
    int word_fd_;
};

}  // namespace kelfs
