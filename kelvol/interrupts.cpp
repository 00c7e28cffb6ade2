#include "interrupts.h"

#include "failure.h"

#include <atomic>
#include <cstring>
#include <pthread.h>

namespace kelvol {
namespace {

std::atomic<int> interrupting_signal{0};
pthread_t transferring_thread;

void note_signal(int signal) {
    // The engine's threads may be given the signal; the thread that transfers is the one
    // whose blocked read or write must return.
    if (!pthread_equal(pthread_self(), transferring_thread)) {
        pthread_kill(transferring_thread, signal);
        return;
    }
    if (interrupting_signal.exchange(signal) != 0) {
        ::signal(signal, SIG_DFL);
        ::raise(signal);
    }
}

}  // namespace

InterruptGuard::InterruptGuard() {
    transferring_thread = pthread_self();
    struct sigaction action {};
    action.sa_handler = note_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: a blocked read or write returns, and the loop sees the signal
    for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &action, &saved_[i]);
}

InterruptGuard::~InterruptGuard() {
    for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &saved_[i], nullptr);
}

void InterruptGuard::check(const std::string &path) {
    if (const int signal = interrupting_signal.load())
        throw Failure(path, std::string("interrupted by ") + strsignal(signal));
}

}  // namespace kelvol
