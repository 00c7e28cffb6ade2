// Sequential reading of one recorded data file through a kelfs mount (dd to /dev/null
// with 1 MiB and 4 MiB blocks, and two dd at once) against the same bytes read without
// the mount: through the engine's read path, and by pread of the layout's pieces, in one
// run, alternated pair by pair, on members in tmpfs. Prints markdown.
#include "aligned_buffer.h"
#include "data_file_reader.h"
#include "data_file_recorder.h"
#include "engine_handle.h"
#include "header_dir.h"
#include "member_devices.h"
#include "pattern.h"
#include "program.h"
#include "temp_volume.h"
#include "timing.h"
#include "units.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using kel::kKiB;
using kel::kMiB;

constexpr int kSkipped = 77;
constexpr int64_t kExtentBytes = 64 * kMiB;  // recorded in extents of this size
constexpr int64_t kCallBytes = 4 * kMiB;      // reads of the references

struct Options {
    int64_t file_bytes = 1024 * kMiB;
    int pairs = 7;
    int members = 4;
    int64_t chunk_bytes = 1024 * kKiB;
    std::string tmpfs_dir = "/dev/shm";
    std::string kelfs = KELFS_PROGRAM;
    std::string mount_options;  // passed to kelfs -o besides auto_unmount
    int read_ahead_kib = 0;     // 0: as kelfs sets it
};

// The options; null when --help was asked for and printed.
std::unique_ptr<Options> parse_options(int argc, char **argv) {
    auto options = std::make_unique<Options>();
    bool quick = false;
    int64_t size_mib = options->file_bytes / kMiB, chunk_kib = options->chunk_bytes / kKiB;
    CLI::App app("Sequential reads through a kelfs mount against the engine and pread of the layout.",
                 "kelfs_bench");
    const CLI::Range positive(1, 1 << 20);
    app.add_flag("--quick", quick, "64 MiB, one pair: a smoke run of every path");
    app.add_option("--size-mib", size_mib, "size of the data file (default 1024)")->check(positive);
    app.add_option("--pairs", options->pairs, "alternated pairs per row (default 7)")->check(positive);
    app.add_option("--members", options->members, "member files (default 4)")->check(positive);
    app.add_option("--chunk-kib", chunk_kib, "chunk size (default 1024)")->check(positive);
    app.add_option("--tmpfs-dir", options->tmpfs_dir, "directory on tmpfs (default /dev/shm)");
    app.add_option("--kelfs", options->kelfs, "the kelfs program");
    app.add_option("--mount-options", options->mount_options, "more kelfs -o options, e.g. no_splice_write");
    app.add_option("--read-ahead-kib", options->read_ahead_kib, "the mount's read-ahead, set after kelfs set its own")
        ->check(positive);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        std::fputs(app.help().c_str(), stdout);
        return nullptr;
    } catch (const CLI::ParseError &error) {
        throw kel::UsageError(error.what());
    }
    options->file_bytes = (quick ? 64 : size_mib) * kMiB;
    options->chunk_bytes = chunk_kib * kKiB;
    if (quick) options->pairs = 1;
    return options;
}

// Runs a program and waits for it; throws unless it exits with 0.
pid_t spawn(const std::vector<std::string> &args, bool quiet) {
    const pid_t child = fork();
    if (child < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (child == 0) {
        std::vector<char *> argv;
        for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        if (quiet) {
            std::freopen("/dev/null", "w", stderr);
        }
        std::freopen("/dev/null", "r", stdin);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return child;
}

void expect_success(pid_t child, const std::string &what) {
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(what + " failed");
}

// Records the data file through the engine in extents of kExtentBytes, the first
// reserved with tio_write_det and the others with tio_update_det.
void record(const std::string &config, const std::string &det_path, int64_t size) {
    kel::DataFileRecorder recorder(config, {kCallBytes});
    std::vector<uint8_t> extent(static_cast<size_t>(kExtentBytes));
    for (int64_t done = 0; done < size;) {
        const int64_t bytes = std::min(kExtentBytes, size - done);
        kel::fill_pattern(1, done, extent.data(), bytes);
        recorder.add_extent(det_path, done == 0, bytes, extent.data(), bytes);
        done += bytes;
    }
    recorder.finalize(det_path, size);
    recorder.close();
}

// kelfs serving the volume in the foreground; unmounted and reaped on every way out.
class MountedView {
public:
    MountedView(const Options &options, const std::string &config, const std::string &mount_point,
                const std::string &file)
        : mount_point_(mount_point) {
        std::string mount_options = "auto_unmount";
        if (!options.mount_options.empty()) mount_options += "," + options.mount_options;
        daemon_ = spawn({options.kelfs, config, mount_point, "-f", "-o", mount_options}, false);
        for (int wait = 0; wait < 500; ++wait) {
            struct stat info;
            if (::stat(file.c_str(), &info) == 0) return;
            int status;
            if (waitpid(daemon_, &status, WNOHANG) == daemon_) {
                daemon_ = -1;
                throw std::runtime_error("kelfs did not mount " + mount_point);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        stop();
        throw std::runtime_error("kelfs did not mount " + mount_point + " within 5 s");
    }
    ~MountedView() { stop(); }
    MountedView(const MountedView &) = delete;
    MountedView &operator=(const MountedView &) = delete;

    // The mount's read-ahead setting in sysfs.
    std::string read_ahead_setting() const {
        struct stat info;
        if (::stat(mount_point_.c_str(), &info) != 0) return "";
        return "/sys/class/bdi/" + std::to_string(major(info.st_dev)) + ":" + std::to_string(minor(info.st_dev)) +
               "/read_ahead_kb";
    }

private:
    void stop() {
        if (daemon_ < 0) return;
        spawn_and_wait({"fusermount3", "-u", mount_point_});
        int status;
        waitpid(daemon_, &status, 0);
        daemon_ = -1;
    }
    static void spawn_and_wait(const std::vector<std::string> &args) {
        int status;
        waitpid(spawn(args, true), &status, 0);
    }
    std::string mount_point_;
    pid_t daemon_ = -1;
};

double seconds_of(const std::function<void()> &body) { return kel::time_seconds(body); }

// Drops what the page cache holds of the mounted file, so that each run reads through the
// mount and does not pay for dropping the previous run's pages at its open.
void drop_cached_pages(const std::string &file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) != 0)
        throw std::runtime_error("cannot drop the cached pages of " + file);
    ::close(fd);
}

// dd of the whole file to /dev/null, `readers` of them at once.
double dd_seconds(const std::string &file, const char *block, int readers) {
    drop_cached_pages(file);
    return seconds_of([&] {
        std::vector<pid_t> children;
        for (int r = 0; r < readers; ++r)
            children.push_back(spawn({"dd", "if=" + file, "of=/dev/null", std::string("bs=") + block}, true));
        for (pid_t child : children) expect_success(child, "dd of " + file);
    });
}

// The engine's read path: one read sequence per extent, kCallBytes per tio_read.
double engine_seconds(const std::string &config, const std::vector<DetEntry> &extents, kel::AlignedBuffer &buffer) {
    kel::EngineHandle reader(config, kel::Direction::read);
    const double seconds = seconds_of([&] {
        for (const DetEntry &extent : extents) {
            kel::expect_result(tio_set_offset(reader.get(), extent.offset), 0, "tio_set_offset");
            kel::expect_result(tio_launch_read_threads(reader.get(), extent.length), 0, "tio_launch_read_threads");
            for (int64_t done = 0; done < extent.length;) {
                const int64_t length = std::min(kCallBytes, extent.length - done);
                kel::expect_result(tio_read(reader.get(), buffer.data(), length), length, "tio_read");
                done += length;
            }
            kel::expect_result(tio_join_threads(reader.get()), 0, "tio_join_threads");
        }
    });
    reader.close();
    return seconds;
}

// pread of the layout's pieces, kCallBytes at a time, by `readers` threads at once.
double pread_seconds(const kel::MemberDevices &members, const kel::DataFileExtents &file, int readers) {
    return seconds_of([&] {
        std::vector<std::thread> threads;
        std::vector<int> failures(static_cast<size_t>(readers), 0);
        for (int r = 0; r < readers; ++r)
            threads.emplace_back([&, r] {
                kel::AlignedBuffer buffer(kCallBytes);
                for (int64_t at = 0; at < file.size; at += kCallBytes)
                    if (kel::read_data_file(members, file, at, kCallBytes, buffer.data()) <= 0) failures[r] = 1;
            });
        for (std::thread &thread : threads) thread.join();
        if (std::count(failures.begin(), failures.end(), 1) != 0) throw std::runtime_error("a pread failed");
    });
}

void check_bytes_through_mount(const std::string &file, int64_t size) {
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> data(static_cast<size_t>(std::min<int64_t>(size, 8 * kMiB)));
    in.seekg(size - static_cast<int64_t>(data.size()));
    in.read(reinterpret_cast<char *>(data.data()), static_cast<std::streamsize>(data.size()));
    if (in.gcount() != static_cast<std::streamsize>(data.size()) ||
        kel::first_pattern_mismatch(1, size - static_cast<int64_t>(data.size()), data.data(),
                                    static_cast<int64_t>(data.size())) != -1)
        throw std::runtime_error("the mount does not show the recorded bytes");
}

std::string read_text(const std::string &path) {
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    return text;
}

void print_row(const char *reader, const char *reference, const std::vector<double> &ratios,
               const std::vector<double> &candidate_seconds, int64_t bytes) {
    const kel::Spread ratio = kel::spread_of(ratios);
    const kel::Spread seconds = kel::spread_of(candidate_seconds);
    std::printf("| %-22s | %-22s | %8.0f | %5.2f× | %5.2f–%.2f× |\n", reader, reference,
                kel::mib_per_second(bytes, seconds.median), ratio.median, ratio.low, ratio.high);
}

int run(const Options &options) {
    if (geteuid() != 0 || ::access("/dev/fuse", R_OK | W_OK) != 0) {
        std::printf("kelfs_bench skipped: needs root and /dev/fuse\n");
        return kSkipped;
    }
    kel::VolumeGeometry geometry;
    geometry.members = options.members;
    geometry.chunk_bytes = options.chunk_bytes;
    geometry.workers = std::min(options.members, 4);
    geometry.member_bytes = kel::member_bytes_for(options.file_bytes + kExtentBytes, options.members,
                                                  options.chunk_bytes);
    kel::TempVolume volume(options.tmpfs_dir, "kelfs_bench_", geometry);
    const kel::VolumeProps props = kel::read_volume_props(volume.config_path());
    const std::string det_path = props.header_dir + "/data.det";
    record(volume.config_path(), det_path, options.file_bytes);
    const std::vector<DetEntry> extents = kel::read_det_file(det_path).entries;
    const kel::DataFileExtents file = kel::data_file_extents(extents);
    const kel::MemberDevices members(props);

    const std::string mount_point = volume.scratch_path("mnt");
    if (::mkdir(mount_point.c_str(), 0755) != 0) throw std::runtime_error("mkdir " + mount_point);
    const std::string mounted_file = mount_point + "/data";
    MountedView view(options, volume.config_path(), mount_point, mounted_file);
    check_bytes_through_mount(mounted_file, options.file_bytes);  // also the first open
    if (options.read_ahead_kib > 0) {
        std::ofstream(view.read_ahead_setting()) << options.read_ahead_kib << '\n';
    }

    kel::AlignedBuffer engine_buffer(kCallBytes + options.chunk_bytes);
    const int64_t bytes = options.file_bytes;
    const auto engine = [&] { return engine_seconds(volume.config_path(), extents, engine_buffer); };
    const auto pread_one = [&] { return pread_seconds(members, file, 1); };
    const auto pread_two = [&] { return pread_seconds(members, file, 2); };
    const auto pread_twice = [&] { return pread_one() + pread_one(); };

    std::printf("Sequential read of a %lld MiB data file (%zu extents) on %d tmpfs members, %lld KiB chunks\n",
                static_cast<long long>(bytes / kMiB), extents.size(), options.members,
                static_cast<long long>(options.chunk_bytes / kKiB));
    std::printf("mount options: auto_unmount%s%s; read-ahead %s KiB; %d alternated pairs per row\n\n",
                options.mount_options.empty() ? "" : ",", options.mount_options.c_str(),
                read_text(view.read_ahead_setting()).c_str(), options.pairs);
    std::printf("| %-22s | %-22s | %8s | %6s | %11s |\n", "through the mount", "against", "MiB/s", "ratio",
                "range");
    std::printf("|%s|%s|%s|%s|%s|\n", std::string(24, '-').c_str(), std::string(24, '-').c_str(),
                std::string(10, '-').c_str(), std::string(8, '-').c_str(), std::string(13, '-').c_str());
    struct Row {
        const char *reader;
        const char *block;
        int readers;
        const char *reference_name;
        std::function<double()> reference;
    };
    const Row rows[] = {
        {"dd bs=1M", "1M", 1, "pread of the layout", pread_one},
        {"dd bs=1M", "1M", 1, "engine read", engine},
        {"dd bs=4M", "4M", 1, "pread of the layout", pread_one},
        {"dd bs=4M", "4M", 1, "engine read", engine},
        {"two dd bs=1M at once", "1M", 2, "two preads at once", pread_two},
        {"two dd bs=1M at once", "1M", 2, "one pread, both bytes", pread_twice},
    };
    for (const Row &row : rows) {
        std::vector<double> candidate_seconds;
        const auto candidate = [&] {
            candidate_seconds.push_back(dd_seconds(mounted_file, row.block, row.readers));
            return candidate_seconds.back();
        };
        const std::vector<double> ratios = kel::alternated_ratios(options.pairs, candidate, row.reference);
        print_row(row.reader, row.reference_name, ratios, candidate_seconds, bytes * row.readers);
        std::fflush(stdout);
    }
    std::printf("\nratio: the reference's time over the mount's (1.00× = as fast), median and range of the "
                "pairs; MiB/s: the mount's median.\n");
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    return kel::run_program(kel::Program{"kelfs_bench"}, [&] {
        const std::unique_ptr<Options> options = parse_options(argc, argv);
        return options ? run(*options) : 0;
    });
}
