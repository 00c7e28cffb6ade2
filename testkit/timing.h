// A small timing harness for the benchmarks: wall-clock and CPU time of a run, the
// fastest or the median of several runs, ratios of alternated pairs and their spread,
// and the phases of one engine transfer.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <sys/resource.h>
#include <vector>

namespace kel {

inline double cpu_seconds() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval &t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Wall-clock time of a run and the CPU time of all the process's threads during it.
struct Timing {
    double wall = 0;
    double cpu = 0;
};

inline Timing time_run(const std::function<void()> &body) {
    const double cpu_start = cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    body();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return {wall, cpu_seconds() - cpu_start};
}

inline double time_seconds(const std::function<void()> &body) { return time_run(body).wall; }

// The fastest run: other work on a shared machine only ever slows a run down.
inline double fastest(const std::vector<double> &seconds) {
    return *std::min_element(seconds.begin(), seconds.end());
}

inline Timing fastest(const std::vector<Timing> &runs) {
    return *std::min_element(runs.begin(), runs.end(),
                             [](const Timing &a, const Timing &b) { return a.wall < b.wall; });
}

// The median of a set of measurements and the range they cover.
struct Spread {
    double median = 0;
    double low = 0;
    double high = 0;
};
// All zero for no values.
Spread spread_of(std::vector<double> values);

// Runs `pairs` pairs of a candidate and a reference that return the seconds they took,
// the reference first in every other pair so that neither always runs warm, and returns
// reference / candidate of each pair: the candidate's speed relative to the reference's.
// Both see the same noise of a shared machine within a pair, so the ratios scatter less
// than the times do.
std::vector<double> alternated_ratios(int pairs, const std::function<double()> &candidate,
                                      const std::function<double()> &reference);

inline long minor_faults() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

// Where an engine transfer spent its time: the transfer calls, the wait for the disk
// threads, and the close (plus fdatasync on the disk); the process's CPU time over all
// threads and its minor page faults in the same span.
struct EnginePhases {
    double calls = 0, wait = 0, close = 0;
    double cpu = 0;
    long faults = 0;
    double total() const { return calls + wait + close; }
};

class PhaseClock {
public:
    PhaseClock() : cpu_start_(cpu_seconds()), faults_start_(minor_faults()), last_(now()) {}
    // Seconds since the previous lap (or the start).
    double lap() {
        const auto current = now();
        const double seconds = std::chrono::duration<double>(current - last_).count();
        last_ = current;
        return seconds;
    }
    void finish(EnginePhases &phases) const {
        phases.cpu = cpu_seconds() - cpu_start_;
        phases.faults = minor_faults() - faults_start_;
    }

private:
    static std::chrono::steady_clock::time_point now() { return std::chrono::steady_clock::now(); }
    double cpu_start_;
    long faults_start_;
    std::chrono::steady_clock::time_point last_;
};

}  // namespace kel
