// What starting an extent costs a writer: tio_set_offset in write mode, timed alone and
// with the short write that follows it, over many short extents of a volume of tmpfs files.
// Each run opens a handle, positions and writes every extent once and closes; the table
// gives each run and the median.
//
// Usage: extent_bench [--extents N] [--extent-kib K] [--runs R] [--quick]
//        (defaults 2000 extents of 64 KiB, 5 runs; --quick: 50 extents, 1 run)

#include "engine_handle.h"
#include "program.h"
#include "temp_volume.h"
#include "timing.h"
#include "tio.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMembers = 4;
constexpr int64_t kChunk = 64 * 1024;
constexpr int kWorkers = 2;

struct Options {
    int64_t extents = 2000;
    int64_t extent_bytes = 64 * 1024;
    int runs = 5;
};

void print_usage(FILE *out) {
    std::fprintf(out, "usage: extent_bench [--extents N] [--extent-kib K] [--runs R] [--quick]\n");
}

int64_t parse_positive(const std::string &option, const char *text) {
    char *end = nullptr;
    const long long value = text ? std::strtoll(text, &end, 10) : 0;
    if (!text || *end != '\0' || value < 1) throw kel::UsageError(option + " needs a positive number");
    return value;
}

Options parse_options(int argc, char **argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--quick") {
            options.extents = 50;
            options.runs = 1;
            continue;
        }
        const char *value = i + 1 < argc ? argv[++i] : nullptr;
        if (option == "--extents") options.extents = parse_positive(option, value);
        else if (option == "--extent-kib") options.extent_bytes = parse_positive(option, value) * 1024;
        else if (option == "--runs") options.runs = static_cast<int>(parse_positive(option, value));
        else throw kel::UsageError("unknown option " + option);
    }
    return options;
}

struct RunResult {
    double set_offset_us = 0;  // per tio_set_offset
    double extent_us = 0;      // per tio_set_offset and its tio_write
};

// Per-member bytes of one extent: whole chunks.
int64_t extent_span(const Options &options) {
    return (options.extent_bytes + kMembers * kChunk - 1) / (kMembers * kChunk) * kChunk;
}

double microseconds(Clock::duration elapsed) { return std::chrono::duration<double, std::micro>(elapsed).count(); }

// One handle writing every extent once; extents lie one after the other on the members.
RunResult run_once(const std::string &config_path, const Options &options, const std::vector<char> &data) {
    kel::EngineHandle writer(config_path, kel::Direction::write);
    const int64_t span = extent_span(options);
    Clock::duration positioning{}, total{};
    for (int64_t e = 0; e < options.extents; ++e) {
        const Clock::time_point start = Clock::now();
        kel::expect_result(tio_set_offset(writer.get(), e * span), 0, "tio_set_offset");
        const Clock::time_point positioned = Clock::now();
        kel::expect_result(tio_write(writer.get(), data.data(), options.extent_bytes), options.extent_bytes,
                           "tio_write");
        const Clock::time_point written = Clock::now();
        positioning += positioned - start;
        total += written - start;
    }
    kel::expect_result(tio_wait_threads(writer.get()), 0, "tio_wait_threads");
    writer.close();
    const double extents = static_cast<double>(options.extents);
    return RunResult{microseconds(positioning) / extents, microseconds(total) / extents};
}

int run(const Options &options) {
    const int64_t member_bytes = extent_span(options) * options.extents;
    kel::TempVolume volume("/dev/shm", "extent-bench-", kel::VolumeGeometry{kMembers, kChunk, kWorkers, member_bytes});
    const std::vector<char> data(static_cast<size_t>(options.extent_bytes), 'x');
    std::printf("%lld extents of %lld KiB, %d members, %lld KiB chunks, %d workers, tmpfs members\n\n",
                static_cast<long long>(options.extents), static_cast<long long>(options.extent_bytes / 1024),
                kMembers, static_cast<long long>(kChunk / 1024), kWorkers);
    std::printf("| run | tio_set_offset (us) | extent: tio_set_offset + tio_write (us) |\n|--:|--:|--:|\n");
    std::vector<double> positioning, extents;
    for (int r = 0; r < options.runs; ++r) {
        const RunResult result = run_once(volume.config_path(), options, data);
        positioning.push_back(result.set_offset_us);
        extents.push_back(result.extent_us);
        std::printf("| %d | %.1f | %.1f |\n", r + 1, result.set_offset_us, result.extent_us);
    }
    std::printf("| median | %.1f | %.1f |\n", kel::spread_of(positioning).median, kel::spread_of(extents).median);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const kel::Program program{"extent_bench", print_usage};
    return kel::run_program(program, [&] { return run(parse_options(argc, argv)); });
}
