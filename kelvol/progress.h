// The progress line of long transfers: on standard error, only when it is a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace kelvol {

class Progress {
public:
    // total < 0: unknown (a stream). Shows nothing unless enabled.
    Progress(std::string label, int64_t total, bool enabled);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    // Bytes done so far; redraws at most a few times a second.
    void update(int64_t done);
    // Clears the line.
    void finish();

    // Whether standard error is a terminal and the user did not ask for quiet.
    static bool wanted(bool quiet);

private:
    std::string label_;
    int64_t total_;
    bool enabled_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_draw_;
};

// "12.3 MiB of 1.0 GiB (1%), 456.7 MiB/s, 0:02 left", or without the total and time left.
std::string progress_text(int64_t done, int64_t total, double seconds);

}  // namespace kelvol
