#include "progress.h"

#include "printers.h"
#include "units.h"

#include <cstdio>
#include <unistd.h>

namespace kelvol {

Progress::Progress(std::string label, int64_t total, bool enabled)
    : label_(std::move(label)), total_(total), enabled_(enabled), start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {}

Progress::~Progress() { finish(); }

bool Progress::wanted(bool quiet) { return !quiet && ::isatty(STDERR_FILENO) == 1; }

void Progress::update(int64_t done) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - last_draw_ < std::chrono::milliseconds(250)) return;
    last_draw_ = now;
    drawn_ = true;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    std::fprintf(stderr, "\r\033[K%s: %s", label_.c_str(), progress_text(done, total_, seconds).c_str());
    std::fflush(stderr);
}

void Progress::finish() {
    if (!drawn_) return;
    drawn_ = false;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
}

std::string progress_text(int64_t done, int64_t total, double seconds) {
    const double rate = kel::mib_per_second(done, seconds);
    char text[160];
    if (total < 0) {
        std::snprintf(text, sizeof text, "%s, %.1f MiB/s", human_size(done).c_str(), rate);
        return text;
    }
    const int percent = total > 0 ? static_cast<int>(100.0 * static_cast<double>(done) / static_cast<double>(total)) : 100;
    std::string left = "?";
    if (rate > 0) {
        const auto remaining = static_cast<long long>(static_cast<double>(total - done) / kel::kMiB / rate);
        char time_left[32];
        std::snprintf(time_left, sizeof time_left, "%lld:%02lld", remaining / 60, remaining % 60);
        left = time_left;
    }
    std::snprintf(text, sizeof text, "%s of %s (%d%%), %.1f MiB/s, %s left", human_size(done).c_str(),
                  human_size(total).c_str(), percent, rate, left.c_str());
    return text;
}

}  // namespace kelvol
