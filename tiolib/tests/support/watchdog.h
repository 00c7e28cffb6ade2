// A time limit for a part of a test that could hang.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace tio_test {

// Ends the whole test program with a message when it is still alive after the limit, so
// a hang fails at once instead of blocking until the harness gives up.
class Watchdog {
public:
    Watchdog(std::chrono::seconds limit, std::string what);
    ~Watchdog();
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace tio_test
