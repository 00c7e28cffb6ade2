// Several processes allocate in one header directory at the same time: new ".det" files,
// updates of existing ones and finalisations, of varied sizes. Every call must succeed, and
// afterwards no two recorded extents may overlap on the devices. A reader process polls
// the ".det" files meanwhile and must never see a size that is not a multiple of 16.
#include "det_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <poll.h>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace det_fixture;

namespace {

constexpr int kWriters = 5;
constexpr int kFilesPerWriter = 5;
constexpr int kUpdatesPerWriter = 15;
constexpr int32_t kStripes = 4;
constexpr int32_t kChunk = 64 * KiB;
constexpr int64_t kVolume = int64_t(1) << 40;  // 1 TiB: nothing is written to it
constexpr auto kDeadline = std::chrono::seconds(240);

// Sizes that exercise every rounding: below one stripe, not a multiple of the stripe
// count, exactly one stripe, large.
constexpr int64_t kSizes[] = {1, 3, 4, 1000, 4 * 64 * KiB, 1000001, 5 * MiB + 7, 64 * MiB, 300 * MiB};

int fail(const char *what, const std::string &path, int64_t got) {
    fprintf(stderr, "writer %d: %s %s gave %lld\n", int(getpid()), what, path.c_str(), (long long)got);
    return 1;
}

// One writer process: creates its files, then updates and finalises them at random.
int runWriter(const std::string &dir, int writer) {
    auto props = makeProps(dir, kVolume, kChunk, kStripes);
    FakeHandle handle(props.get());
    std::mt19937_64 random(uint64_t(writer) * 7919 + 1);
    const auto pickSize = [&] { return kSizes[random() % std::size(kSizes)]; };
    std::vector<std::string> paths;
    std::vector<int64_t> totals;
    for (int f = 0; f < kFilesPerWriter; ++f) {
        paths.push_back(dir + "/w" + std::to_string(writer) + "_" + std::to_string(f) + ".det");
        totals.push_back(pickSize());
        const int64_t offset = tio_write_det(&handle.handle, paths.back().c_str(), totals.back());
        if (offset < 0 || offset % kChunk != 0) return fail("tio_write_det", paths.back(), offset);
    }
    for (int u = 0; u < kUpdatesPerWriter; ++u) {
        const size_t f = random() % paths.size();
        const int64_t size = pickSize();
        const int64_t offset = tio_update_det(&handle.handle, paths[f].c_str(), size);
        if (offset < 0 || offset % kChunk != 0) return fail("tio_update_det", paths[f], offset);
        totals[f] += size;
        // A rewrite that changes nothing still replaces the file while others search.
        const int64_t unchanged = tio_finalize_det(&handle.handle, paths[f].c_str(), totals[f]);
        if (unchanged != 0) return fail("tio_finalize_det", paths[f], unchanged);
    }
    for (size_t f = 0; f < paths.size(); ++f) {
        int64_t total = 0;
        if (accumDetSize(paths[f].c_str(), &total) != 0 || total != totals[f]) return fail("accumDetSize", paths[f], total);
        const int64_t shrunk = tio_finalize_det(&handle.handle, paths[f].c_str(), totals[f] - 1);
        if (shrunk != 1) return fail("tio_finalize_det", paths[f], shrunk);
    }
    return 0;
}

// The reader process: polls the sizes of the ".det" files until its pipe closes.
// Exit 0: samples taken and all whole; 1: a torn size was seen; 2: nothing was sampled.
int runReader(const std::string &dir, int stop_fd) {
    long samples = 0, torn = 0;
    for (;;) {
        struct pollfd stop = {stop_fd, POLLIN, 0};
        if (poll(&stop, 1, 0) > 0) break;
        DIR *listing = opendir(dir.c_str());
        if (!listing) return 3;
        while (const dirent *entry = readdir(listing)) {
            if (isExt(entry->d_name, ".det") <= 0) continue;
            struct stat info;
            if (stat((dir + "/" + entry->d_name).c_str(), &info) != 0) continue;  // just removed
            ++samples;
            if (info.st_size % 16 != 0) {
                ++torn;
                fprintf(stderr, "reader: %s has %lld bytes\n", entry->d_name, (long long)info.st_size);
            }
        }
        closedir(listing);
    }
    fprintf(stderr, "reader: %ld samples\n", samples);
    return torn ? 1 : samples ? 0 : 2;
}

struct Extent {
    int64_t begin, end;  // per-device bytes [begin, end)
    std::string file;
};

// Every entry of the directory's ".det" files is a real extent, aligned, inside the volume
// and disjoint on the devices from all others; nothing but the writers' files and the lock
// file is left.
void expectDisjointExtents(const HeaderDir &dir, int expected_files) {
    // Every entry is a real extent, aligned, inside the volume, and disjoint from all others.
    std::vector<Extent> extents;
    int det_files = 0;
    for (const std::string &name : dir.names()) {
        EXPECT_TRUE(name == ".kellock" || (isExt(name.c_str(), ".det") > 0 && name[0] == 'w')) << "left over: " << name;
        if (isExt(name.c_str(), ".det") <= 0) continue;
        ++det_files;
        const std::string path = dir.file(name);
        const int32_t count = getDetEntries(path.c_str());
        std::vector<int64_t> offsets(static_cast<size_t>(count)), lengths(static_cast<size_t>(count));
        ASSERT_EQ(readDet(path.c_str(), count, offsets.data(), lengths.data()), 0) << name;
        for (int32_t i = 0; i < count; ++i) {
            EXPECT_GE(offsets[i], 0) << name;
            EXPECT_EQ(offsets[i] % kChunk, 0) << name;
            // A last extent finalised to length 0 holds nothing and may share its offset.
            if (lengths[i] > 0) extents.push_back({offsets[i], offsets[i] + (lengths[i] + kStripes - 1) / kStripes, name});
        }
    }
    EXPECT_EQ(det_files, expected_files);
    EXPECT_EQ(readFile(dir.file(".kellock")), "00000000\n");
    std::sort(extents.begin(), extents.end(), [](const Extent &a, const Extent &b) { return a.begin < b.begin; });
    for (size_t i = 1; i < extents.size(); ++i)
        EXPECT_LE(extents[i - 1].end, extents[i].begin)
            << extents[i - 1].file << " [" << extents[i - 1].begin << ", " << extents[i - 1].end << ") overlaps "
            << extents[i].file << " [" << extents[i].begin << ", " << extents[i].end << ")";
    for (const Extent &extent : extents) EXPECT_LE(extent.end, kVolume / kStripes) << extent.file;
}

}  // namespace

TEST(AllocStress, ConcurrentProcessesNeverOverlap) {
    HeaderDir dir;
    int stop_pipe[2];
    ASSERT_EQ(pipe(stop_pipe), 0);
    fflush(nullptr);
    const pid_t reader = fork();
    ASSERT_GE(reader, 0);
    if (reader == 0) {
        close(stop_pipe[1]);
        _exit(runReader(dir.path(), stop_pipe[0]));
    }
    close(stop_pipe[0]);
    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; ++w) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(stop_pipe[1]);
            _exit(runWriter(dir.path(), w));
        }
        writers.push_back(child);
    }

    // Wait for the writers within the deadline; a writer still running then has hung.
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    std::vector<int> statuses(writers.size(), -1);
    for (size_t done = 0; done < writers.size();) {
        for (size_t w = 0; w < writers.size(); ++w) {
            if (statuses[w] != -1) continue;
            int status = 0;
            if (waitpid(writers[w], &status, WNOHANG) == writers[w]) statuses[w] = status, ++done;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            for (size_t w = 0; w < writers.size(); ++w)
                if (statuses[w] == -1) kill(writers[w], SIGKILL), waitpid(writers[w], nullptr, 0);
            ADD_FAILURE() << "writers still running after the deadline";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    close(stop_pipe[1]);
    int reader_status = 0;
    ASSERT_EQ(waitpid(reader, &reader_status, 0), reader);

    for (size_t w = 0; w < writers.size(); ++w)
        EXPECT_TRUE(WIFEXITED(statuses[w]) && WEXITSTATUS(statuses[w]) == 0) << "writer " << w << " status " << statuses[w];
    EXPECT_TRUE(WIFEXITED(reader_status) && WEXITSTATUS(reader_status) == 0) << "reader status " << reader_status;

    expectDisjointExtents(dir, kWriters * kFilesPerWriter);
}

// Threads of one process share its id in the lock file; their allocations must still
// never overlap.
TEST(AllocStress, ThreadsOfOneProcessNeverOverlap) {
    constexpr int kThreads = 8, kFiles = 4, kUpdates = 8;
    HeaderDir dir;
    auto props = makeProps(dir.path(), kVolume, kChunk, kStripes);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            std::mt19937_64 random(uint64_t(t) + 99);
            std::vector<std::string> paths;
            for (int f = 0; f < kFiles; ++f) {
                paths.push_back(dir.file("w" + std::to_string(t) + "_" + std::to_string(f) + ".det"));
                if (writeDetLock(props.get(), paths.back().c_str(), kSizes[random() % std::size(kSizes)]) < 0) ++failures;
            }
            for (int u = 0; u < kUpdates; ++u)
                if (updateDet(props.get(), paths[random() % paths.size()].c_str(), kSizes[random() % std::size(kSizes)]) < 0)
                    ++failures;
        });
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    expectDisjointExtents(dir, kThreads * kFiles);
}
