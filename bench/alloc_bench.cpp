// How long one extent allocation (tio_write_det) takes against the number of extents the
// header directory already records, laid out as one extent per ".det" file and as 100
// extents per file. Every allocation scans and reads the whole directory, so its time
// grows with the number of files first and with the number of extents second.
//
// Usage: alloc_bench [--quick]     (--quick: 100 and 1,000 extents, a smoke run)

#include "program.h"
#include "system_error.h"
#include "timing.h"
#include "tio.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <memory>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int32_t kStripes = 4;
constexpr int32_t kChunk = 64 * 1024;
constexpr int64_t kVolume = int64_t(1) << 42;  // 4 TiB: room for 100,000 spaced extents

double millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// A fresh header directory, removed with its ".det" files however the measurement ends.
class ScratchHeaderDir {
public:
    ScratchHeaderDir() {
        char pattern[] = "/tmp/tio-alloc-bench-XXXXXX";
        if (!mkdtemp(pattern)) throw kel::SystemError("mkdtemp", pattern, errno);
        path_ = pattern;
    }
    ~ScratchHeaderDir() {
        nftw(
            path_.c_str(), [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); }, 64,
            FTW_DEPTH | FTW_PHYS);
    }
    ScratchHeaderDir(const ScratchHeaderDir &) = delete;
    ScratchHeaderDir &operator=(const ScratchHeaderDir &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// Writes `extents` extents of one stripe each, one chunk apart on every device, into
// ".det" files of `per_file` extents.
void populate(const std::string &dir, int64_t extents, int64_t per_file) {
    std::vector<int64_t> offsets, lengths;
    for (int64_t first = 0, file = 0; first < extents; first += per_file, ++file) {
        offsets.clear();
        lengths.clear();
        for (int64_t i = first; i < std::min(extents, first + per_file); ++i) {
            offsets.push_back(i * 2 * kChunk);
            lengths.push_back(int64_t(kStripes) * kChunk);
        }
        const std::string path = dir + "/d" + std::to_string(file) + ".det";
        if (writeDet(path.c_str(), int32_t(offsets.size()), offsets.data(), lengths.data()) != 0)
            throw std::runtime_error("writeDet could not write " + path);
    }
}

struct Row {
    int64_t extents, files;
    double allocate_ms, search_ms;
};

Row measure(int64_t extents, int64_t per_file, int repetitions) {
    const ScratchHeaderDir scratch;
    const std::string &dir = scratch.path();
    FsProps props;
    std::memset(&props, 0, sizeof props);
    props.device_size = kVolume;
    props.chunk_size = kChunk;
    props.stripe_count = kStripes;
    props.thread_count = 1;
    snprintf(props.header_dir, sizeof props.header_dir, "%s", dir.c_str());
    // A live handle that carries the record; the record stays this function's.
    auto close_keeping_props = [](TioHandle *open) {
        open->props = nullptr;
        tio_close(open);
    };
    const std::unique_ptr<TioHandle, decltype(close_keeping_props)> handle(tio_open(), close_keeping_props);
    if (!handle) throw std::runtime_error("tio_open failed");
    handle->props = &props;

    populate(dir, extents, per_file);
    std::vector<double> allocate, search;
    for (int r = 0; r < repetitions; ++r) {
        const std::string path = dir + "/new.det";
        auto start = std::chrono::steady_clock::now();
        const int64_t offset = tio_write_det(handle.get(), path.c_str(), int64_t(kStripes) * kChunk);
        allocate.push_back(millisecondsSince(start));
        unlink(path.c_str());  // keep the directory at the same number of extents
        start = std::chrono::steady_clock::now();
        const int64_t searched = determineOffset(&props, int64_t(kStripes) * kChunk);
        search.push_back(millisecondsSince(start));
        if (offset < 0 || searched < 0)
            throw std::runtime_error("allocation failed with " + std::to_string(extents) + " extents");
    }
    return Row{extents, (extents + per_file - 1) / per_file, kel::spread_of(allocate).median,
               kel::spread_of(search).median};
}

int run(int argc, char **argv) {
    const bool quick = argc > 1 && strcmp(argv[1], "--quick") == 0;
    const std::vector<int64_t> counts = quick ? std::vector<int64_t>{100, 1000} : std::vector<int64_t>{100, 10000, 100000};
    printf("Allocation time of tio_write_det against the extents already in the header directory\n");
    printf("(4 members, 64 KiB chunks; median of several allocations; no other process holds the lock)\n\n");
    printf("%10s  %9s  %18s  %24s\n", "extents", "files", "tio_write_det (ms)", "search alone (ms)");
    for (const int64_t extents : counts) {
        for (const int64_t per_file : {int64_t(1), int64_t(100)}) {
            const int repetitions = extents >= 100000 ? 5 : quick ? 3 : 15;
            const Row row = measure(extents, per_file, repetitions);
            printf("%10lld  %9lld  %18.3f  %24.3f\n", (long long)row.extents, (long long)row.files, row.allocate_ms,
                   row.search_ms);
            fflush(stdout);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    return kel::run_program({"alloc_bench"}, [&] { return run(argc, argv); });
}
