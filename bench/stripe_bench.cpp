// Throughput of the striped engine against plain references on the same files: one
// thread writing the same striped layout with pwrite (and reading it with pread), one
// sequential stream to a single file, and memcpy of the same bytes. Prints markdown.
#include "aligned_buffer.h"
#include "engine_handle.h"
#include "file_io.h"
#include "pattern.h"
#include "program.h"
#include "system_error.h"
#include "temp_volume.h"
#include "timing.h"
#include "units.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace {

using kel::Direction;
using kel::EngineHandle;
using kel::File;
using kel::kKiB;
using kel::kMiB;
using kel::mib_per_second;

constexpr uint64_t kSeed = 0x6b656c2d62656e63ull;

// ---- Options -----------------------------------------------------------------------

struct FileSystem {
    std::string name;       // "tmpfs" or "disk"
    std::string directory;
    bool sync_and_drop;     // writes timed to fdatasync; reads start from evicted pages
};

struct Options {
    int64_t cell_bytes = 256 * kMiB;
    int repetitions = 4;
    int warmup_runs = 1;  // untimed runs per cell before the timed ones
    int64_t call_bytes = 8 * kMiB;
    int64_t small_call_total = 64 * kMiB;
    int64_t small_call_bytes = 64 * kKiB;
    std::string tmpfs_dir = "/dev/shm";
    std::string disk_dir = "/var/tmp";
    bool disk_cached = false;
    bool breakdown = false;
    bool prefault_staging = false;
    int pairs = 11;           // alternated engine/(a) pairs per row of the pairs table
    bool pairs_only = false;
    bool direct_io_only = false;
    int64_t recording_bytes = 1280 * kMiB;  // of the buffered/direct table: more than 1 GiB
    std::vector<int64_t> members = {1, 4, 8};
    std::vector<int64_t> workers = {1, 2, 4};
    std::vector<int64_t> chunks_kib = {64, 1024};
    std::vector<std::string> filesystems = {"tmpfs", "disk"};
};

void print_usage(FILE *out) {
    std::fprintf(out,
        "usage: kel_bench [--quick] [--size-mib M] [--reps N] [--call-mib C] [--small-mib S]\n"
        "                 [--members LIST] [--workers LIST] [--chunks-kib LIST] [--fs LIST]\n"
        "                 [--tmpfs-dir DIR] [--disk-dir DIR] [--disk-cached] [--breakdown]\n"
        "                 [--prefault-staging] [--pairs N] [--pairs-only] [--direct-io]\n"
        "                 [--recording-mib R]\n"
        "  --size-mib M      bytes moved per measurement (default 256)\n"
        "  --reps N          timed runs per measurement after one untimed warm-up run;\n"
        "                    the fastest is printed (default 4)\n"
        "  --call-mib C      bytes per transfer call, rounded up to whole chunks (default 8)\n"
        "  --small-mib S     bytes written in 64 KiB calls for the call-rate rows (default 64)\n"
        "  --members LIST    comma-separated member counts (default 1,4,8)\n"
        "  --workers LIST    worker counts, capped at the members (default 1,2,4)\n"
        "  --chunks-kib LIST chunk sizes in KiB (default 64,1024)\n"
        "  --fs LIST         tmpfs, disk or both (default tmpfs,disk)\n"
        "  --tmpfs-dir DIR   directory on tmpfs (default /dev/shm)\n"
        "  --disk-dir DIR    directory on the disk (default /var/tmp)\n"
        "  --disk-cached     disk rows without fdatasync and page eviction\n"
        "  --breakdown       also print where the engine's time goes (phases, CPU, faults)\n"
        "  --prefault-staging  touch the engine's staging buffers after tio_init, untimed:\n"
        "                    the engine without the page faults of its first transfer\n"
        "  --pairs N         alternated engine/(a) pairs per row of the pairs table: 4 members,\n"
        "                    2 workers, 1 MiB chunks on tmpfs (default 11)\n"
        "  --pairs-only      print only the pairs table\n"
        "  --direct-io       print only the table of buffered against direct I/O (DIRECTIO=1):\n"
        "                    a recording of R MiB on loop devices and on files on the disk\n"
        "  --recording-mib R bytes of that recording (default 1280)\n"
        "  --quick           tiny sizes, one run: a smoke test of every path\n");
}

int64_t parse_count(const std::string &option, const std::string &text, int64_t maximum) {
    char *end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || text.empty() || *end != '\0' || value < 1 || value > maximum)
        throw kel::UsageError(option + " needs whole numbers from 1 to " +
                              std::to_string(maximum) + ", not '" + text + "'");
    return value;
}

std::vector<std::string> split_list(const std::string &text) {
    std::vector<std::string> items;
    std::stringstream stream(text);
    for (std::string item; std::getline(stream, item, ',');) items.push_back(item);
    return items;
}

std::vector<int64_t> parse_count_list(const std::string &option, const std::string &text,
                                      int64_t maximum) {
    std::vector<int64_t> values;
    for (const std::string &item : split_list(text)) values.push_back(parse_count(option, item, maximum));
    if (values.empty()) throw kel::UsageError(option + " needs at least one value");
    return values;
}

void apply_quick(Options &options) {
    options.cell_bytes = 16 * kMiB;
    options.repetitions = 1;
    options.warmup_runs = 0;
    options.small_call_total = 4 * kMiB;
    options.pairs = 1;
    options.recording_bytes = 16 * kMiB;
}

Options parse_options(int argc, char **argv) {
    Options options;
    std::vector<std::string> arguments(argv + 1, argv + argc);
    // --quick first, so that explicit sizes given with it still apply.
    if (std::find(arguments.begin(), arguments.end(), "--quick") != arguments.end()) apply_quick(options);
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string &option = arguments[i];
        if (option == "--help" || option == "-h") {
            print_usage(stdout);
            std::exit(0);
        }
        if (option == "--quick") continue;
        if (option == "--disk-cached") options.disk_cached = true;
        else if (option == "--breakdown") options.breakdown = true;
        else if (option == "--prefault-staging") options.prefault_staging = true;
        else if (option == "--pairs-only") options.pairs_only = true;
        else if (option == "--direct-io") options.direct_io_only = true;
        if (option == "--disk-cached" || option == "--breakdown" || option == "--prefault-staging" ||
            option == "--pairs-only" || option == "--direct-io")
            continue;
        if (i + 1 >= arguments.size()) throw kel::UsageError("unknown option or missing value: " + option);
        const std::string &value = arguments[++i];
        if (option == "--size-mib") options.cell_bytes = parse_count(option, value, 64 * kKiB) * kMiB;
        else if (option == "--reps") options.repetitions = static_cast<int>(parse_count(option, value, 100));
        else if (option == "--pairs") options.pairs = static_cast<int>(parse_count(option, value, 1000));
        else if (option == "--recording-mib") options.recording_bytes = parse_count(option, value, 64 * kKiB) * kMiB;
        else if (option == "--call-mib") options.call_bytes = parse_count(option, value, 1024) * kMiB;
        else if (option == "--small-mib") options.small_call_total = parse_count(option, value, 64 * kKiB) * kMiB;
        else if (option == "--members") options.members = parse_count_list(option, value, 256);
        else if (option == "--workers") options.workers = parse_count_list(option, value, 256);
        else if (option == "--chunks-kib") options.chunks_kib = parse_count_list(option, value, 256 * kKiB);
        else if (option == "--fs") options.filesystems = split_list(value);
        else if (option == "--tmpfs-dir") options.tmpfs_dir = value;
        else if (option == "--disk-dir") options.disk_dir = value;
        else throw kel::UsageError("unknown option: " + option);
    }
    for (const std::string &name : options.filesystems)
        if (name != "tmpfs" && name != "disk") throw kel::UsageError("--fs takes tmpfs and/or disk, not " + name);
    return options;
}

using kel::EnginePhases;
using kel::fastest;
using kel::PhaseClock;
using kel::time_run;
using kel::time_seconds;
using kel::Timing;

// ---- One cell: a volume, its files and the measurements on them ---------------------

struct Cell {
    const FileSystem *file_system;
    int members;
    int workers;
    int64_t chunk_bytes;
};

// The stream written and read in every measurement, and where reads land.
struct Buffers {
    kel::AlignedBuffer source;
    kel::AlignedBuffer destination;  // whole chunks: an engine read copies whole chunks
};

class CellRunner {
public:
    // Moves `bytes` in calls of `call_bytes` (the last call takes what is left).
    CellRunner(const Cell &cell, const Options &options, kel::TempVolume &volume,
               const std::string &config_path, Buffers &buffers, int64_t bytes, int64_t call_bytes)
        : cell_(cell), options_(options), volume_(volume), config_path_(config_path),
          buffers_(buffers), layout_(volume.layout()), bytes_(bytes), call_bytes_(call_bytes),
          single_file_(volume.scratch_path("single.img")) {}

    EnginePhases engine_write();
    EnginePhases engine_read();
    Timing striped_pwrite();
    Timing striped_pread();
    double sequential_write();
    double sequential_read();
    double copy_in_memory();

private:
    int64_t bytes() const { return bytes_; }
    int64_t next_call(int64_t done) const { return std::min(call_bytes_, bytes() - done); }
    bool sync_and_drop() const { return cell_.file_system->sync_and_drop; }
    const std::vector<std::string> &members() const { return volume_.member_paths(); }
    void prepare_read(const std::vector<std::string> &paths);
    void check_read(const char *what) const;

    const Cell &cell_;
    const Options &options_;
    kel::TempVolume &volume_;
    const std::string &config_path_;
    Buffers &buffers_;
    const tio::StripeLayout layout_;  // of the members, for (a)
    const int64_t bytes_;
    const int64_t call_bytes_;
    const std::string single_file_;
};

// A fresh handle's staging buffers are new memory: the first transfer page-faults every
// page of them. Touching them here, untimed, shows the engine without that cost.
void prefault_staging(const TioHandle &handle, int64_t chunk_bytes) {
    for (int32_t w = 0; w < handle.worker_count; ++w) {
        const TioWorker &worker = handle.workers[w];
        for (int32_t d = 0; d < worker.device_count; ++d)
            for (const TioBuffer &buffer : worker.devices[d].buffers)
                std::memset(buffer.data, 0, static_cast<size_t>(chunk_bytes));
    }
}

// Timed from the first tio_write until tio_close has flushed and closed the member
// streams (and, on the disk, until fdatasync of every member returned).
EnginePhases CellRunner::engine_write() {
    // The engine opens the members without truncating them, as (a) does: both overwrite
    // the pages the runs before them wrote.
    EngineHandle writer(config_path_, Direction::write);
    kel::expect_result(tio_set_offset(writer.get(), 0), 0, "tio_set_offset");
    // No transfer has started, so the disk threads are waiting for their first buffer.
    if (options_.prefault_staging) prefault_staging(*writer.get(), cell_.chunk_bytes);
    const uint8_t *source = buffers_.source.data();
    EnginePhases phases;
    PhaseClock clock;
    for (int64_t done = 0; done < bytes();) {
        const int64_t length = next_call(done);
        kel::expect_result(tio_write(writer.get(), source + done, length), length, "tio_write");
        done += length;
    }
    phases.calls = clock.lap();
    kel::expect_result(tio_wait_threads(writer.get()), 0, "tio_wait_threads");
    phases.wait = clock.lap();
    writer.close();
    if (sync_and_drop()) kel::sync_paths(members());
    phases.close = clock.lap();
    clock.finish(phases);
    return phases;
}

EnginePhases CellRunner::engine_read() {
    prepare_read(members());
    EngineHandle reader(config_path_, Direction::read);
    kel::expect_result(tio_set_offset(reader.get(), 0), 0, "tio_set_offset");
    if (options_.prefault_staging) prefault_staging(*reader.get(), cell_.chunk_bytes);
    uint8_t *destination = buffers_.destination.data();
    EnginePhases phases;
    PhaseClock clock;
    kel::expect_result(tio_launch_read_threads(reader.get(), bytes()), 0, "tio_launch_read_threads");
    for (int64_t done = 0; done < bytes();) {
        const int64_t length = next_call(done);
        kel::expect_result(tio_read(reader.get(), destination + done, length), length, "tio_read");
        done += length;
    }
    phases.calls = clock.lap();
    kel::expect_result(tio_join_threads(reader.get()), 0, "tio_join_threads");
    phases.wait = clock.lap();
    reader.close();
    phases.close = clock.lap();
    clock.finish(phases);
    check_read("engine read");
    return phases;
}

// Reference (a): the same layout, written by the caller's thread straight from its buffer.
// No truncation: like the engine, it overwrites what the runs before it wrote, so neither
// side pays for allocating the files' pages afresh.
Timing CellRunner::striped_pwrite() {
    std::vector<File> files = kel::open_files(members(), O_WRONLY | O_CREAT);
    const uint8_t *source = buffers_.source.data();
    return time_run([&] {
        for (int64_t done = 0; done < bytes();) {
            const int64_t length = next_call(done);
            kel::pwrite_striped(files, layout_, source, done, length);
            done += length;
        }
        for (File &file : files) {
            if (sync_and_drop()) kel::sync_data(file);
            file.close();
        }
    });
}

Timing CellRunner::striped_pread() {
    prepare_read(members());
    std::vector<File> files = kel::open_files(members(), O_RDONLY);
    uint8_t *destination = buffers_.destination.data();
    const Timing timing = time_run([&] {
        for (int64_t done = 0; done < bytes();) {
            const int64_t length = next_call(done);
            kel::pread_striped(files, layout_, destination, done, length);
            done += length;
        }
        for (File &file : files) file.close();
    });
    check_read("striped pread");
    return timing;
}

// Reference (b): the same bytes as one sequential stream to a single file.
double CellRunner::sequential_write() {
    File file(single_file_, O_WRONLY | O_CREAT);
    const uint8_t *source = buffers_.source.data();
    return time_seconds([&] {
        for (int64_t done = 0; done < bytes();) {
            const int64_t length = next_call(done);
            kel::write_all(file, source + done, length);
            done += length;
        }
        if (sync_and_drop()) kel::sync_data(file);
        file.close();
    });
}

double CellRunner::sequential_read() {
    prepare_read({single_file_});
    File file(single_file_, O_RDONLY);
    uint8_t *destination = buffers_.destination.data();
    const double seconds = time_seconds([&] {
        for (int64_t done = 0; done < bytes();) {
            const int64_t length = next_call(done);
            kel::read_all(file, destination + done, length);
            done += length;
        }
        file.close();
    });
    check_read("sequential read");
    return seconds;
}

// Reference (c): memcpy of the same bytes in the same calls.
double CellRunner::copy_in_memory() {
    std::memset(buffers_.destination.data(), 0, static_cast<size_t>(bytes()));
    const double seconds = time_seconds([&] {
        for (int64_t done = 0; done < bytes();) {
            const int64_t length = next_call(done);
            std::memcpy(buffers_.destination.data() + done, buffers_.source.data() + done,
                        static_cast<size_t>(length));
            done += length;
        }
    });
    check_read("memcpy");
    return seconds;
}

// Untimed: clears the destination (so a read that moved nothing cannot pass the check)
// and, on the disk, evicts the files so that the read comes from the device.
void CellRunner::prepare_read(const std::vector<std::string> &paths) {
    std::memset(buffers_.destination.data(), 0, static_cast<size_t>(bytes()));
    if (sync_and_drop()) kel::drop_cached_pages(paths);
}

void CellRunner::check_read(const char *what) const {
    if (std::memcmp(buffers_.destination.data(), buffers_.source.data(), static_cast<size_t>(bytes())) == 0)
        return;
    const int64_t mismatch = kel::first_pattern_mismatch(kSeed, 0, buffers_.destination.data(), bytes());
    throw std::runtime_error(std::string(what) + " returned wrong data from stream byte " +
                             std::to_string(mismatch) + " on (members " + std::to_string(cell_.members) +
                             ", workers " + std::to_string(cell_.workers) + ", chunk " +
                             std::to_string(cell_.chunk_bytes) + ")");
}

// ---- Results -----------------------------------------------------------------------

struct CellResult {
    Cell cell;
    double engine_write = 0, striped_pwrite = 0, sequential_write = 0;  // MiB/s
    double engine_read = 0, striped_pread = 0, sequential_read = 0;
    double memcpy_rate = 0;
    EnginePhases write_phases, read_phases;  // of the fastest engine runs
    Timing pwrite_run, pread_run;            // of the fastest (a) runs
};

void keep_fastest(EnginePhases &best, const EnginePhases &run) {
    if (best.total() == 0 || run.total() < best.total()) best = run;
}

// Fastest of the repetitions; each repetition runs every measurement once, writes
// first. The engine writes last so that the reads (engine first, then pread) read the
// engine's output and the pread check confirms its layout independently.
CellResult measure_cell(const Cell &cell, const Options &options, kel::TempVolume &volume,
                        const std::string &config_path, Buffers &buffers) {
    const int64_t call_bytes = (options.call_bytes + cell.chunk_bytes - 1) / cell.chunk_bytes * cell.chunk_bytes;
    CellRunner runner(cell, options, volume, config_path, buffers, options.cell_bytes, call_bytes);
    std::vector<Timing> pwrite_s, pread_s;
    std::vector<double> sequential_write_s, sequential_read_s, memcpy_s;
    for (int warmup = 0; warmup < options.warmup_runs; ++warmup) {
        runner.striped_pwrite();
        runner.engine_write();
        runner.engine_read();
        runner.striped_pread();
    }
    CellResult result{};
    result.cell = cell;
    for (int rep = 0; rep < options.repetitions; ++rep) {
        pwrite_s.push_back(runner.striped_pwrite());
        sequential_write_s.push_back(runner.sequential_write());
        keep_fastest(result.write_phases, runner.engine_write());
        keep_fastest(result.read_phases, runner.engine_read());
        pread_s.push_back(runner.striped_pread());
        sequential_read_s.push_back(runner.sequential_read());
        memcpy_s.push_back(runner.copy_in_memory());
    }
    auto rate = [&](double seconds) { return mib_per_second(options.cell_bytes, seconds); };
    result.pwrite_run = fastest(pwrite_s);
    result.pread_run = fastest(pread_s);
    result.striped_pwrite = rate(result.pwrite_run.wall);
    result.sequential_write = rate(fastest(sequential_write_s));
    result.engine_write = rate(result.write_phases.total());
    result.engine_read = rate(result.read_phases.total());
    result.striped_pread = rate(result.pread_run.wall);
    result.sequential_read = rate(fastest(sequential_read_s));
    result.memcpy_rate = rate(fastest(memcpy_s));
    return result;
}

std::string chunk_label(int64_t chunk_bytes) {
    return chunk_bytes >= kMiB && chunk_bytes % kMiB == 0 ? std::to_string(chunk_bytes / kMiB) + " MiB"
                                                          : std::to_string(chunk_bytes / kKiB) + " KiB";
}

double ratio(double engine, double reference) { return reference > 0 ? engine / reference : 0.0; }

void print_table_head() {
    std::printf("| fs | members | workers | chunk | engine W | (a) pwrite W | (b) seq W | W engine/(a) "
                "| engine R | (a) pread R | (b) seq R | R engine/(a) | (c) memcpy |\n");
    std::printf("|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n");
}

void print_row(const CellResult &r) {
    std::printf("| %s | %d | %d | %s | %.0f | %.0f | %.0f | %.2f | %.0f | %.0f | %.0f | %.2f | %.0f |\n",
                r.cell.file_system->name.c_str(), r.cell.members, r.cell.workers,
                chunk_label(r.cell.chunk_bytes).c_str(), r.engine_write, r.striped_pwrite,
                r.sequential_write, ratio(r.engine_write, r.striped_pwrite), r.engine_read,
                r.striped_pread, r.sequential_read, ratio(r.engine_read, r.striped_pread),
                r.memcpy_rate);
    std::fflush(stdout);
}

void print_target(const std::vector<CellResult> &results) {
    for (const CellResult &r : results) {
        if (r.cell.members != 4 || r.cell.workers != 2 || r.cell.chunk_bytes != kMiB) continue;
        const double write_ratio = ratio(r.engine_write, r.striped_pwrite);
        const double read_ratio = ratio(r.engine_read, r.striped_pread);
        std::printf("target on %s (4 members, 2 workers, 1 MiB chunks): write %.2fx of (a) %s, "
                    "read %.2fx of (a) %s (target 0.90x)\n",
                    r.cell.file_system->name.c_str(), write_ratio, write_ratio >= 0.9 ? "met" : "MISSED",
                    read_ratio, read_ratio >= 0.9 ? "met" : "MISSED");
    }
}

void print_phase_row(const CellResult &r, const char *direction, const EnginePhases &p,
                     const Timing &reference) {
    std::printf("| %s | %d | %d | %s | %s | %.1f | %.1f | %.1f | %.1f | %.1f | %.2f | %ld | %.1f | %.1f "
                "| %.2f |\n",
                r.cell.file_system->name.c_str(), r.cell.members, r.cell.workers,
                chunk_label(r.cell.chunk_bytes).c_str(), direction, p.calls * 1e3, p.wait * 1e3,
                p.close * 1e3, p.total() * 1e3, p.cpu * 1e3, p.total() > 0 ? p.cpu / p.total() : 0.0,
                p.faults, reference.wall * 1e3, reference.cpu * 1e3, ratio(p.cpu, reference.cpu));
}

// The fastest engine run of each cell, split into its phases.
void print_breakdown(const std::vector<CellResult> &results) {
    std::printf("\nEngine breakdown (fastest run; wait = tio_wait_threads or tio_join_threads; close = "
                "tio_close, plus fdatasync on a synced disk; CPU = all threads of the process; the last "
                "three columns are the fastest (a) run and the CPU ratio engine/(a))\n\n");
    std::printf("| fs | members | workers | chunk | dir | calls ms | wait ms | close ms | total ms "
                "| CPU ms | cores busy | minor faults | (a) ms | (a) CPU ms | CPU engine/(a) |\n");
    std::printf("|---|--:|--:|--:|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n");
    for (const CellResult &r : results) {
        print_phase_row(r, "write", r.write_phases, r.pwrite_run);
        print_phase_row(r, "read", r.read_phases, r.pread_run);
    }
}

// Other work on the machine slows every row down; the load average says how much there was.
std::string load_average() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    if (!(file >> one >> five >> fifteen)) return "unknown";
    return one + " " + five + " " + fifteen;
}

// ---- Small calls -------------------------------------------------------------------

struct SmallCallResult {
    int64_t chunk_bytes;
    double engine_calls_per_second;
    double pwrite_calls_per_second;
};

// 64 KiB tio_write calls against (a) with 64 KiB calls, on 4 members and 2 workers.
SmallCallResult measure_small_calls(const FileSystem &file_system, int64_t chunk_bytes,
                                    const Options &options, const uint8_t *source) {
    const kel::VolumeGeometry geometry{4, chunk_bytes, 2, kel::member_bytes_for(options.small_call_total, 4, chunk_bytes)};
    kel::TempVolume volume(file_system.directory, "kel-bench-", geometry);
    const tio::StripeLayout layout = volume.layout();
    const int64_t calls = options.small_call_total / options.small_call_bytes;
    std::vector<double> engine_seconds, pwrite_seconds;
    for (int rep = 0; rep < options.repetitions; ++rep) {
        std::vector<File> files = kel::open_files(volume.member_paths(), O_WRONLY | O_CREAT);
        pwrite_seconds.push_back(time_seconds([&] {
            for (int64_t call = 0; call < calls; ++call)
                kel::pwrite_striped(files, layout, source, call * options.small_call_bytes,
                                    options.small_call_bytes);
            for (File &file : files) file.close();
        }));
        EngineHandle writer(volume.config_path(), Direction::write);
        kel::expect_result(tio_set_offset(writer.get(), 0), 0, "tio_set_offset");
        engine_seconds.push_back(time_seconds([&] {
            for (int64_t call = 0; call < calls; ++call)
                kel::expect_result(tio_write(writer.get(), source + call * options.small_call_bytes,
                                             options.small_call_bytes),
                                   options.small_call_bytes, "tio_write");
            kel::expect_result(tio_wait_threads(writer.get()), 0, "tio_wait_threads");
            writer.close();
        }));
    }
    return {chunk_bytes, static_cast<double>(calls) / fastest(engine_seconds),
            static_cast<double>(calls) / fastest(pwrite_seconds)};
}

void print_small_calls(const FileSystem &file_system, const std::vector<SmallCallResult> &results,
                       const Options &options) {
    std::printf("\nSmall calls on %s: %lld KiB per call, %lld MiB in all, 4 members, 2 workers "
                "(timed until the files are closed)\n\n",
                file_system.name.c_str(), static_cast<long long>(options.small_call_bytes / kKiB),
                static_cast<long long>(options.small_call_total / kMiB));
    std::printf("| chunk | engine calls/s | (a) pwrite calls/s | engine MiB/s | (a) MiB/s | engine/(a) |\n");
    std::printf("|--:|--:|--:|--:|--:|--:|\n");
    const double mib_per_call = static_cast<double>(options.small_call_bytes) / kMiB;
    for (const SmallCallResult &r : results)
        std::printf("| %s | %.0f | %.0f | %.0f | %.0f | %.2f |\n", chunk_label(r.chunk_bytes).c_str(),
                    r.engine_calls_per_second, r.pwrite_calls_per_second,
                    r.engine_calls_per_second * mib_per_call, r.pwrite_calls_per_second * mib_per_call,
                    ratio(r.engine_calls_per_second, r.pwrite_calls_per_second));
}


// ---- Alternated pairs ----------------------------------------------------------------

// One row of the pairs table: the engine and (a) moving the same bytes in the same calls.
struct PairRow {
    const char *what;
    bool write;
    int64_t call_bytes;
    int64_t bytes;
};

struct PairResult {
    PairRow row;
    kel::Spread ratio;           // engine speed / (a) speed, per pair
    double engine_rate = 0;      // MiB/s, median
    double reference_rate = 0;
};

// Pairs of engine and (a) runs on the same files, alternating which goes first; a noisy
// machine slows both runs of a pair alike, so their ratio is steadier than either time.
PairResult measure_pair_row(const PairRow &row, const Options &options, kel::TempVolume &volume,
                            const std::string &config_path, Buffers &buffers, const Cell &cell) {
    CellRunner runner(cell, options, volume, config_path, buffers, row.bytes, row.call_bytes);
    std::vector<double> engine_seconds, reference_seconds;
    auto engine = [&] {
        const double seconds = row.write ? runner.engine_write().total() : runner.engine_read().total();
        engine_seconds.push_back(seconds);
        return seconds;
    };
    auto reference = [&] {
        const double seconds = row.write ? runner.striped_pwrite().wall : runner.striped_pread().wall;
        reference_seconds.push_back(seconds);
        return seconds;
    };
    for (int warmup = 0; warmup < options.warmup_runs; ++warmup) {
        engine();
        reference();
    }
    engine_seconds.clear();
    reference_seconds.clear();
    PairResult result{row, kel::spread_of(kel::alternated_ratios(options.pairs, engine, reference))};
    result.engine_rate = mib_per_second(row.bytes, kel::spread_of(engine_seconds).median);
    result.reference_rate = mib_per_second(row.bytes, kel::spread_of(reference_seconds).median);
    return result;
}

std::string call_label(int64_t bytes) {
    if (bytes % kMiB == 0) return std::to_string(bytes / kMiB) + " MiB";
    if (bytes % (kMiB / 2) == 0) return std::to_string(bytes / kMiB) + ".5 MiB";
    return std::to_string(bytes / kKiB) + " KiB";
}

// The rows the engine is held to: 4 members, 2 workers, 1 MiB chunks on tmpfs.
void run_pairs(const Options &options, const FileSystem &file_system, Buffers &buffers) {
    const int64_t chunk = kMiB;
    const std::vector<PairRow> rows = {
        {"write", true, 5 * chunk / 2, options.cell_bytes},
        {"write", true, 8 * chunk, options.cell_bytes},
        {"read", false, 2 * chunk, options.cell_bytes},
        {"read", false, 8 * chunk, options.cell_bytes},
        {"write", true, options.small_call_bytes, options.small_call_total},
    };
    const int64_t largest = std::max(options.cell_bytes, options.small_call_total);
    const kel::VolumeGeometry geometry{4, chunk, 2, kel::member_bytes_for(largest, 4, chunk)};
    kel::TempVolume volume(file_system.directory, "kel-bench-", geometry);
    const Cell cell{&file_system, 4, 2, chunk};
    std::printf("\nAlternated pairs on %s: 4 members, 2 workers, 1 MiB chunks; %d pairs per row, which side "
                "runs first alternating; both sides overwrite the members the runs before wrote; "
                "engine/(a) is (a)'s time over the engine's in each pair (above 1: the engine is faster)\n\n",
                file_system.name.c_str(), options.pairs);
    std::printf("| direction | call | MiB moved | engine MiB/s (median) | (a) MiB/s (median) | engine/(a) median "
                "| engine/(a) min-max |\n");
    std::printf("|---|--:|--:|--:|--:|--:|--:|\n");
    for (const PairRow &row : rows) {
        const PairResult r = measure_pair_row(row, options, volume, volume.config_path(), buffers, cell);
        std::printf("| %s | %s | %lld | %.0f | %.0f | %.2f | %.2f-%.2f |\n", row.what,
                    call_label(row.call_bytes).c_str(), static_cast<long long>(row.bytes / kMiB), r.engine_rate,
                    r.reference_rate, r.ratio.median, r.ratio.low, r.ratio.high);
        std::fflush(stdout);
    }
}

// ---- Buffered against direct I/O ------------------------------------------------------

// One recording written through the engine and replayed, with what it cost.
struct Recording {
    Timing write, read;
    int64_t write_cache_growth = 0, read_cache_growth = 0;  // bytes the page cache grew by
    int64_t write_resident = 0, read_resident = 0;          // bytes of the members cached then
};

Timing operator+(const Timing &a, const Timing &b) { return {a.wall + b.wall, a.cpu + b.cpu}; }

// The recording's calls: (bytes done before, length) of every 8 MiB call, the last shorter.
void for_each_call(int64_t bytes, const std::function<void(int64_t, int64_t)> &call) {
    const int64_t call_bytes = 8 * kMiB;
    for (int64_t done = 0; done < bytes; done += call_bytes) call(done, std::min(call_bytes, bytes - done));
}

// Writes `bytes` in 8 MiB calls, timed until the members are synced and closed, then reads
// them back from evicted members, checked byte for byte (untimed). The members' pages are
// evicted first, so that buffered writes cannot hide in pages that are cached already. The
// page cache is measured while the handle is still open: the last close of a block device
// writes back and drops its pages, which would hide what the recording cached.
Recording record_and_replay(const std::string &config_path, const std::vector<std::string> &members,
                            const uint8_t *source, uint8_t *destination, int64_t bytes) {
    Recording recording;
    kel::drop_cached_pages(members);
    {
        EngineHandle writer(config_path, Direction::write);
        kel::expect_result(tio_set_offset(writer.get(), 0), 0, "tio_set_offset");
        const int64_t cache_before = kel::page_cache_bytes();
        const Timing calls = time_run([&] {
            for_each_call(bytes, [&](int64_t done, int64_t length) {
                kel::expect_result(tio_write(writer.get(), source + done, length), length, "tio_write");
            });
            kel::expect_result(tio_wait_threads(writer.get()), 0, "tio_wait_threads");
        });
        recording.write_cache_growth = kel::page_cache_bytes() - cache_before;
        recording.write_resident = kel::resident_bytes(members);
        recording.write = calls + time_run([&] {
            writer.close();
            kel::sync_paths(members);
        });
    }
    kel::drop_cached_pages(members);
    std::memset(destination, 0, static_cast<size_t>(bytes));
    {
        EngineHandle reader(config_path, Direction::read);
        kel::expect_result(tio_set_offset(reader.get(), 0), 0, "tio_set_offset");
        const int64_t cache_before = kel::page_cache_bytes();
        const Timing calls = time_run([&] {
            kel::expect_result(tio_launch_read_threads(reader.get(), bytes), 0, "tio_launch_read_threads");
            for_each_call(bytes, [&](int64_t done, int64_t length) {
                kel::expect_result(tio_read(reader.get(), destination + done, length), length, "tio_read");
            });
            kel::expect_result(tio_join_threads(reader.get()), 0, "tio_join_threads");
        });
        recording.read_cache_growth = kel::page_cache_bytes() - cache_before;
        recording.read_resident = kel::resident_bytes(members);
        recording.read = calls + time_run([&] { reader.close(); });
    }
    if (std::memcmp(source, destination, static_cast<size_t>(bytes)) != 0)
        throw std::runtime_error("the recording read back from " + config_path + " differs from what was written");
    return recording;
}

// The volume's configuration file once more, with "DIRECTIO=1".
std::string direct_io_config(const std::string &config_path) {
    std::ifstream in(config_path);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string path = config_path + ".direct";
    kel::write_text_file(path, text + "DIRECTIO=1\n");
    return path;
}

// A directory of the disk with loop devices over backing files in it, all gone when
// dropped (the devices first).
class LoopVolume {
public:
    LoopVolume(const std::string &parent, const kel::VolumeGeometry &geometry) {
        std::string name = parent + "/kel-bench-loop-XXXXXX";
        if (::mkdtemp(name.data()) == nullptr) throw kel::SystemError("mkdtemp", name, errno);
        directory_ = name;
        try {
            std::vector<std::string> paths;
            for (int m = 0; m < geometry.members; ++m) {
                const std::string backing = directory_ + "/backing" + std::to_string(m);
                kel::make_sparse_file(backing, geometry.member_bytes);
                devices_.push_back(std::make_unique<kel::LoopDevice>(backing));
                paths.push_back(devices_.back()->path());
            }
            files_ = kel::create_volume_on(directory_, paths, geometry);
        } catch (...) {
            release();
            throw;
        }
    }
    ~LoopVolume() { release(); }
    const kel::VolumeFiles &files() const { return files_; }

private:
    void release() {
        devices_.clear();
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
    std::string directory_;
    std::vector<std::unique_ptr<kel::LoopDevice>> devices_;
    kel::VolumeFiles files_;
};

void print_recording_row(const char *members, const char *mode, const Recording &r, int64_t bytes) {
    const double gib = static_cast<double>(bytes) / (1024.0 * kMiB);
    auto growth = [&](int64_t grown) {
        char text[64];
        std::snprintf(text, sizeof text, "%lld MiB (%.1f%%)", static_cast<long long>(grown / kMiB),
                      100.0 * static_cast<double>(grown) / static_cast<double>(bytes));
        return std::string(text);
    };
    std::printf("| %s | %s | %.0f | %.2f | %s | %s | %.0f | %.2f | %s | %s |\n", members, mode,
                mib_per_second(bytes, r.write.wall), r.write.cpu / gib, growth(r.write_cache_growth).c_str(),
                growth(r.write_resident).c_str(), mib_per_second(bytes, r.read.wall), r.read.cpu / gib,
                growth(r.read_cache_growth).c_str(), growth(r.read_resident).c_str());
    std::fflush(stdout);
}

// Buffered and direct alternately, `repetitions` times each; the fastest write and the
// fastest read of each mode are printed with their own page-cache growth.
void compare_buffered_and_direct(const char *members, const kel::VolumeFiles &files, const Options &options,
                                 const uint8_t *source, uint8_t *destination) {
    const std::string configs[2] = {files.config_path, direct_io_config(files.config_path)};
    Recording best[2];
    for (int rep = 0; rep < options.repetitions; ++rep) {
        for (int mode = 0; mode < 2; ++mode) {
            const Recording r =
                record_and_replay(configs[mode], files.member_paths, source, destination, options.recording_bytes);
            if (rep == 0 || r.write.wall < best[mode].write.wall) {
                best[mode].write = r.write;
                best[mode].write_cache_growth = r.write_cache_growth;
                best[mode].write_resident = r.write_resident;
            }
            if (rep == 0 || r.read.wall < best[mode].read.wall) {
                best[mode].read = r.read;
                best[mode].read_cache_growth = r.read_cache_growth;
                best[mode].read_resident = r.read_resident;
            }
        }
    }
    print_recording_row(members, "buffered", best[0], options.recording_bytes);
    print_recording_row(members, "direct (DIRECTIO=1)", best[1], options.recording_bytes);
}

// ---- What a commit costs ----------------------------------------------------------

// Seconds of a recording's writes and of its commit (the sync that makes it durable).
struct CommitTimes {
    double writes = 0;
    double commit = 0;
};

// A data file recorded through the engine in 8 MiB calls, then committed by
// tio_finalize_det, which syncs every member.
CommitTimes engine_commit(const kel::VolumeFiles &files, const std::string &config_path, const uint8_t *source,
                          int64_t bytes) {
    kel::drop_cached_pages(files.member_paths);
    const std::string det_path = files.header_dir + "/commit.det";
    CommitTimes times;
    {
        EngineHandle writer(config_path, Direction::write);
        const int64_t offset = tio_write_det(writer.get(), det_path.c_str(), bytes);
        if (offset < 0) throw std::runtime_error("tio_write_det refused a recording of the commit table");
        kel::expect_result(tio_set_offset(writer.get(), offset), 0, "tio_set_offset");
        times.writes = time_run([&] {
            for_each_call(bytes, [&](int64_t done, int64_t length) {
                kel::expect_result(tio_write(writer.get(), source + done, length), length, "tio_write");
            });
            kel::expect_result(tio_wait_threads(writer.get()), 0, "tio_wait_threads");
        }).wall;
        times.commit = time_run([&] {
            if (tio_finalize_det(writer.get(), det_path.c_str(), bytes) < 0)
                throw std::runtime_error("tio_finalize_det failed in the commit table");
        }).wall;
    }
    ::unlink(det_path.c_str());
    return times;
}

// The same bytes written to one file in the same directory in 8 MiB calls and then
// fdatasynced, as `dd bs=8M conv=fdatasync` (with oflag=direct for direct I/O) does.
CommitTimes plain_commit(const std::string &path, const uint8_t *source, int64_t bytes, bool direct) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (direct ? O_DIRECT : 0), 0644);
    if (fd < 0) throw kel::SystemError("open", path, errno);
    kel::drop_cached_pages({path});
    CommitTimes times;
    times.writes = time_run([&] {
        for_each_call(bytes, [&](int64_t done, int64_t length) {
            if (::pwrite(fd, source + done, static_cast<size_t>(length), done) != length)
                throw kel::SystemError("pwrite", path, errno);
        });
    }).wall;
    times.commit = time_run([&] {
        if (::fdatasync(fd) != 0) throw kel::SystemError("fdatasync", path, errno);
    }).wall;
    ::close(fd);
    return times;
}

void print_commit_row(const char *mode, const std::vector<CommitTimes> &engine,
                      const std::vector<CommitTimes> &plain, int64_t bytes) {
    auto spread = [](const std::vector<CommitTimes> &runs, double CommitTimes::*field) {
        std::vector<double> values;
        for (const CommitTimes &run : runs) values.push_back(run.*field);
        return kel::spread_of(values);
    };
    auto total_rate = [&](const std::vector<CommitTimes> &runs) {
        std::vector<double> totals;
        for (const CommitTimes &run : runs) totals.push_back(run.writes + run.commit);
        return mib_per_second(bytes, kel::spread_of(totals).median);
    };
    const kel::Spread engine_commit = spread(engine, &CommitTimes::commit);
    const kel::Spread plain_commit = spread(plain, &CommitTimes::commit);
    // Each run of the engine against the dd run next to it: the same noise for both.
    std::vector<double> ratios;
    for (size_t i = 0; i < engine.size() && i < plain.size(); ++i) ratios.push_back(engine[i].commit / plain[i].commit);
    const kel::Spread ratio = kel::spread_of(ratios);
    std::printf("| %s | %.2f | %.2f (%.2f-%.2f) | %.0f | %.2f | %.2f (%.2f-%.2f) | %.0f | %.2f (%.2f-%.2f) |\n", mode,
                spread(engine, &CommitTimes::writes).median, engine_commit.median, engine_commit.low,
                engine_commit.high, total_rate(engine), spread(plain, &CommitTimes::writes).median,
                plain_commit.median, plain_commit.low, plain_commit.high, total_rate(plain), ratio.median,
                ratio.low, ratio.high);
    std::fflush(stdout);
}

// tio_finalize_det after a recording against the fdatasync at the end of dd, buffered and
// direct, the four runs alternating.
void run_commit_cost(const Options &options, const kel::VolumeFiles &files, const uint8_t *source) {
    const int64_t bytes = options.recording_bytes;
    const std::string configs[2] = {files.config_path, direct_io_config(files.config_path)};
    const std::string single_file = options.disk_dir + "/kel-bench-commit-" + std::to_string(::getpid());
    std::vector<CommitTimes> engine[2], plain[2];
    try {
        for (int rep = 0; rep < options.repetitions; ++rep) {
            for (int mode = 0; mode < 2; ++mode) {
                engine[mode].push_back(engine_commit(files, configs[mode], source, bytes));
                plain[mode].push_back(plain_commit(single_file, source, bytes, mode == 1));
            }
        }
    } catch (...) {
        ::unlink(single_file.c_str());
        throw;
    }
    ::unlink(single_file.c_str());
    std::printf("\nWhat a commit costs: a recording of %lld MiB in 8 MiB calls on files on the disk (4 members, 2 "
                "workers, 1 MiB chunks), then tio_finalize_det, which syncs every member before it rewrites the .det "
                "file; against the same bytes written to one file in the same directory and fdatasynced (as dd bs=8M "
                "conv=fdatasync, with oflag=direct for direct I/O). Seconds, median (min-max) of %d alternated runs; "
                "the members' pages evicted before each run.\n\n",
                static_cast<long long>(bytes / kMiB), options.repetitions);
    std::printf("| I/O | engine writes s | tio_finalize_det s | engine MiB/s in all | dd writes s | dd fdatasync s | "
                "dd MiB/s in all | finalise/fdatasync, pairs |\n|---|--:|--:|--:|--:|--:|--:|--:|\n");
    print_commit_row("buffered", engine[0], plain[0], bytes);
    print_commit_row("direct (DIRECTIO=1)", engine[1], plain[1], bytes);
}

void run_direct_io(const Options &options) {
    const int64_t bytes = options.recording_bytes;
    const kel::VolumeGeometry geometry{4, kMiB, 2, kel::member_bytes_for(bytes, 4, kMiB)};
    kel::AlignedBuffer source(bytes), destination(bytes);
    kel::fill_pattern(kSeed, 0, source.data(), bytes);
    std::printf("\nBuffered against direct I/O: a recording of %lld MiB in 8 MiB calls, 4 members, 2 workers, "
                "1 MiB chunks, members under %s; fastest of %d run(s) each, the modes alternating. Writes are timed "
                "until fdatasync of every member returned; before every write and read the members' pages are "
                "evicted (posix_fadvise DONTNEED). CPU is the process's, all threads; the page cache is \"Buffers:\" + "
                "\"Cached:\" of /proc/meminfo (other work on the machine moves it too), its growth taken from before "
                "the first call to after the last one, the handle still open, and the members' own pages in it then are "
                "counted with mincore. The loop "
                "devices read their backing files with direct I/O (losetup --direct-io=on), so only the devices' own "
                "pages count.\n\n",
                static_cast<long long>(bytes / kMiB), options.disk_dir.c_str(), options.repetitions);
    std::printf("| members | engine I/O | write MiB/s | write CPU s/GiB | page cache growth, write | members cached "
                "at the end of the write | read MiB/s | read CPU s/GiB | page cache growth, read | members cached at the end of the read |\n");
    std::printf("|---|---|--:|--:|--:|--:|--:|--:|--:|--:|\n");
    try {
        LoopVolume loops(options.disk_dir, geometry);
        compare_buffered_and_direct("loop devices", loops.files(), options, source.data(), destination.data());
    } catch (const std::runtime_error &error) {
        std::printf("| loop devices | skipped: %s | | | | | | | | |\n", error.what());
    }
    kel::TempVolume files(options.disk_dir, "kel-bench-", geometry);
    kel::VolumeFiles volume_files;
    volume_files.config_path = files.config_path();
    volume_files.member_paths = files.member_paths();
    compare_buffered_and_direct("files on the disk", volume_files, options, source.data(), destination.data());
    volume_files.header_dir = files.directory() + "/headers";
    run_commit_cost(options, volume_files, source.data());
}

// ---- The run -----------------------------------------------------------------------

// Empty when the directory has room for the members, the single file and some slack;
// otherwise a note saying why its rows are skipped.
std::string lack_of_room(const FileSystem &file_system, int64_t cell_bytes) {
    struct statvfs info {};
    const std::string rows = "note: skipping the " + file_system.name + " rows: ";
    if (::statvfs(file_system.directory.c_str(), &info) != 0)
        return rows + "statvfs(" + file_system.directory + ") failed: " + std::strerror(errno);
    const double available = static_cast<double>(info.f_bavail) * static_cast<double>(info.f_frsize);
    if (available < 3.0 * static_cast<double>(cell_bytes))
        return rows + file_system.directory + " has " + std::to_string(static_cast<long long>(available / kMiB)) +
               " MiB free, " + std::to_string(3 * cell_bytes / kMiB) + " MiB needed";
    return "";
}

std::vector<FileSystem> chosen_file_systems(const Options &options, std::vector<std::string> &notes) {
    std::vector<FileSystem> chosen;
    for (const std::string &name : options.filesystems) {
        FileSystem file_system = name == "tmpfs" ? FileSystem{"tmpfs", options.tmpfs_dir, false}
                                                 : FileSystem{"disk", options.disk_dir, !options.disk_cached};
        const std::string note = lack_of_room(file_system, options.cell_bytes);
        if (note.empty()) chosen.push_back(file_system);
        else notes.push_back(note);
    }
    return chosen;
}

void print_preamble(const Options &options, const std::vector<FileSystem> &file_systems,
                    const std::vector<std::string> &notes) {
    std::printf("## Striped engine throughput (MiB/s, higher is better)\n\n");
    for (const std::string &note : notes) std::printf("%s\n", note.c_str());
    std::printf("%lld MiB per measurement in calls of %lld MiB (rounded up to whole chunks), fastest of %d "
                "run(s) after %d untimed warm-up run(s); the same files for the engine and (a); (b) is one file in the same directory.\n",
                static_cast<long long>(options.cell_bytes / kMiB),
                static_cast<long long>(options.call_bytes / kMiB), options.repetitions, options.warmup_runs);
    std::printf("Nobody truncates: the engine, (a) and (b) all overwrite what the runs before them wrote; "
                "writes are timed until the files are closed; reads are checked byte for byte (untimed).\n");
    std::printf("%ld CPUs online; load average at start %s.\n", sysconf(_SC_NPROCESSORS_ONLN),
                load_average().c_str());
    if (options.prefault_staging)
        std::printf("--prefault-staging: the engine's staging buffers are touched after tio_init, outside "
                    "the timing; the engine rows leave out the page faults of a fresh handle.\n");
    for (const FileSystem &fs : file_systems) {
        if (fs.name == "tmpfs") {
            std::printf("- tmpfs (%s): memory only.\n", fs.directory.c_str());
        } else if (fs.sync_and_drop) {
            std::printf("- disk (%s): writes timed until fdatasync of every file returned; before each read "
                        "the files are evicted from this machine's page cache (posix_fadvise DONTNEED), so "
                        "reads come from the block device (a virtual disk may still be cached by its host).\n",
                        fs.directory.c_str());
        } else {
            std::printf("- disk (%s, --disk-cached): no fdatasync and no eviction: writes end in the page "
                        "cache and reads are served from it; this measures the file system's CPU cost.\n",
                        fs.directory.c_str());
        }
    }
    std::printf("\n");
}

std::vector<Cell> cells_for(const FileSystem &file_system, int members, int64_t chunk_bytes,
                            const Options &options) {
    std::vector<Cell> cells;
    for (int64_t workers : options.workers)
        if (workers <= members) cells.push_back({&file_system, members, static_cast<int>(workers), chunk_bytes});
    return cells;
}

int run(const Options &options) {
    if (options.direct_io_only) {
        std::printf("## Striped engine: buffered against direct I/O\n\n%ld CPUs online; load average at start %s.\n",
                    sysconf(_SC_NPROCESSORS_ONLN), load_average().c_str());
        run_direct_io(options);
        std::printf("\nload average at end %s\n", load_average().c_str());
        return 0;
    }
    std::vector<std::string> notes;
    const std::vector<FileSystem> file_systems = chosen_file_systems(options, notes);
    print_preamble(options, file_systems, notes);
    if (file_systems.empty()) throw std::runtime_error("no directory to measure in");
    // The pairs table reads in 1 MiB chunks whatever the cells use.
    const int64_t largest_chunk =
        std::max(*std::max_element(options.chunks_kib.begin(), options.chunks_kib.end()) * kKiB, kMiB);
    Buffers buffers{kel::AlignedBuffer(std::max(options.cell_bytes, options.small_call_total)),
                    kel::AlignedBuffer((options.cell_bytes + largest_chunk - 1) / largest_chunk * largest_chunk)};
    kel::fill_pattern(kSeed, 0, buffers.source.data(), buffers.source.size());

    const auto tmpfs = std::find_if(file_systems.begin(), file_systems.end(),
                                    [](const FileSystem &fs) { return fs.name == "tmpfs"; });
    if (options.pairs_only) {
        if (tmpfs == file_systems.end()) throw kel::UsageError("--pairs-only needs the tmpfs rows");
        run_pairs(options, *tmpfs, buffers);
        return 0;
    }
    std::vector<CellResult> results;
    print_table_head();
    for (const FileSystem &file_system : file_systems) {
        for (int64_t members : options.members) {
            for (int64_t chunk_kib : options.chunks_kib) {
                const kel::VolumeGeometry geometry{
                    static_cast<int>(members), chunk_kib * kKiB, 1,
                    kel::member_bytes_for(options.cell_bytes, static_cast<int>(members), chunk_kib * kKiB)};
                kel::TempVolume volume(file_system.directory, "kel-bench-", geometry);
                for (const Cell &cell : cells_for(file_system, static_cast<int>(members), chunk_kib * kKiB, options)) {
                    const std::string config_path = volume.add_config(cell.workers);
                    results.push_back(measure_cell(cell, options, volume, config_path, buffers));
                    print_row(results.back());
                }
            }
        }
    }
    std::printf("\n");
    print_target(results);
    if (options.breakdown) print_breakdown(results);

    std::vector<SmallCallResult> small;
    for (int64_t chunk_kib : options.chunks_kib)
        small.push_back(measure_small_calls(file_systems.front(), chunk_kib * kKiB, options,
                                            buffers.source.data()));
    print_small_calls(file_systems.front(), small, options);
    if (tmpfs != file_systems.end()) run_pairs(options, *tmpfs, buffers);
    std::printf("\nload average at end %s\n", load_average().c_str());
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    return kel::run_program({"kel_bench", print_usage}, [&] { return run(parse_options(argc, argv)); });
}
