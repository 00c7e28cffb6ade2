// Ctrl-C, a hang-up or a termination during a transfer ends it through the failure path,
// so that its partial output or its ".det" file is removed. A second one while the first
// is being acted on ends the process at once.
#pragma once

#include <csignal>
#include <iterator>
#include <string>

namespace kelvol {

// While it lives, SIGINT, SIGTERM and SIGHUP are noted instead of ending the process, and a
// blocked read or write of the thread that made it returns (EINTR, or what it moved), so
// that the transfer loop sees them. Made by the thread that transfers.
class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard &) = delete;
    InterruptGuard &operator=(const InterruptGuard &) = delete;

    // Throws Failure(path, "interrupted by ...") once a signal came.
    static void check(const std::string &path);

private:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction saved_[std::size(kSignals)] {};
};

}  // namespace kelvol
