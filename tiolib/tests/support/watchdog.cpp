#include "watchdog.h"

#include <cstdio>
#include <unistd.h>

namespace tio_test {

Watchdog::Watchdog(std::chrono::seconds limit, std::string what) {
    thread_ = std::thread([this, limit, what = std::move(what)] {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!wake_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr, "\nHANG: %s did not finish within %lld s\n", what.c_str(),
                         static_cast<long long>(limit.count()));
            std::fflush(stderr);
            _exit(3);
        }
    });
}

Watchdog::~Watchdog() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

}  // namespace tio_test
