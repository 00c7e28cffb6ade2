// Writers killed at random moments: processes that create ".det" files and add extents to
// them in one header directory, with a search slowed past the lock file's 100 ms pause so
// that locks are taken over all the time, are killed with SIGKILL and replaced again and
// again. Whatever moment a kill hits, no file a writer leaves behind may claim an extent
// that another writer was given.
#include "det_fixture.h"
#include "alloc_internal.h"
#include "header_dir.h"
#include "header_names.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace det_fixture;

namespace {

constexpr int kWriters = 3;
constexpr int kKills = 150;
constexpr int kMeanKillIntervalMs = 120;
constexpr auto kTimeBudget = std::chrono::seconds(40);
constexpr int kSearchMs = 130;  // longer than the 100 ms pause of a held lock
constexpr int32_t kStripes = 4;
constexpr int32_t kChunk = 64 * KiB;
constexpr int64_t kVolume = int64_t(1) << 40;  // 1 TiB: nothing is written to it

// Sizes of at least kStripes bytes: smaller ones have a provisional offset of 0, which
// would look like a real extent at the start of the volume.
constexpr int64_t kSizes[] = {4, 1000, 4 * 64 * KiB, 1000001, 5 * MiB + 7, 64 * MiB};

// Counts kept by the writers in memory shared with the test, so that it can tell that the
// kills met allocations and lost locks, not idle writers.
struct Counts {
    std::atomic<long> allocations{0};
    std::atomic<long> lost_locks{0};
};

Counts *counts = nullptr;

void slow_search(int, const char *) { std::this_thread::sleep_for(std::chrono::milliseconds(kSearchMs)); }

void count_loss(int, const char *) { ++counts->lost_locks; }

// A writer process: new ".det" files with one to three extents each, until it is killed.
[[noreturn]] void runWriter(const std::string &dir) {
    const int quiet = open("/dev/null", O_WRONLY);  // refusals after repeated losses print
    if (quiet >= 0) dup2(quiet, STDOUT_FILENO);
    tio::after_search_hook = slow_search;
    tio::after_loss_hook = count_loss;
    auto props = makeProps(dir, kVolume, kChunk, kStripes);
    std::mt19937_64 random(uint64_t(getpid()) * 7919);
    const auto size = [&] { return kSizes[random() % std::size(kSizes)]; };
    for (int file = 0;; ++file) {
        const std::string path = dir + "/w" + std::to_string(getpid()) + "_" + std::to_string(file) + ".det";
        if (writeDetLock(props.get(), path.c_str(), size()) < 0) continue;
        ++counts->allocations;
        for (int more = int(random() % 3); more > 0; --more)
            if (updateDet(props.get(), path.c_str(), size()) >= 0) ++counts->allocations;
    }
}

// The running writers; whatever way the test ends, they are killed and reaped.
class Writers {
public:
    explicit Writers(std::string dir) : dir_(std::move(dir)) {}
    ~Writers() {
        for (pid_t writer : pids_) kill(writer, SIGKILL), waitpid(writer, nullptr, 0);
    }
    Writers(const Writers &) = delete;
    Writers &operator=(const Writers &) = delete;

    bool start() {
        fflush(nullptr);
        const pid_t child = fork();
        if (child == 0) runWriter(dir_);
        if (child > 0) pids_.push_back(child);
        return child > 0;
    }
    // Kills writer i and starts another in its place.
    bool replace(size_t i) {
        kill(pids_[i], SIGKILL);
        waitpid(pids_[i], nullptr, 0);
        pids_.erase(pids_.begin() + long(i));
        return start();
    }
    size_t size() const { return pids_.size(); }

private:
    std::string dir_;
    std::vector<pid_t> pids_;
};

struct Claim {
    int64_t begin, end;  // per-device bytes [begin, end)
    int64_t writer;
    std::string file;
};

// The writer that made a file: "wPID_N.det" for data files, the pid in the name of a
// reservation file.
int64_t writerOf(const std::string &name) {
    if (tio::is_reservation_name(name)) return tio::reservation_writer_pid(name);
    return name.size() > 1 && name[0] == 'w' ? std::stoll(name.substr(1)) : -1;
}

// Every extent recorded with a real (non-negative) offset, with its per-device span.
std::vector<Claim> claimsIn(const std::string &dir) {
    std::vector<Claim> claims;
    for (const kel::DetFile &file : kel::scan_header_dir(dir).det_files) {
        const std::string name = file.path.substr(file.path.rfind('/') + 1);
        for (const DetEntry &entry : file.entries)
            if (entry.offset >= 0 && entry.length > 0)
                claims.push_back({entry.offset, entry.offset + (entry.length + kStripes - 1) / kStripes,
                                  writerOf(name), name});
    }
    return claims;
}

// Pairs of claims of different writers that overlap on the devices. A writer's own files
// may repeat one of its extents (a reservation file whose update stood, left by a kill
// before its removal).
std::vector<std::string> overlapsBetweenWriters(std::vector<Claim> claims) {
    std::sort(claims.begin(), claims.end(), [](const Claim &a, const Claim &b) { return a.begin < b.begin; });
    std::vector<std::string> overlaps;
    for (size_t i = 0; i < claims.size(); ++i)
        for (size_t j = i + 1; j < claims.size() && claims[j].begin < claims[i].end; ++j)
            if (claims[i].writer != claims[j].writer)
                overlaps.push_back(claims[i].file + " [" + std::to_string(claims[i].begin) + ", " +
                                   std::to_string(claims[i].end) + ") and " + claims[j].file + " [" +
                                   std::to_string(claims[j].begin) + ", " + std::to_string(claims[j].end) + ")");
    return overlaps;
}

}  // namespace

TEST(AllocKill, KilledWritersNeverClaimAnotherWritersExtent) {
    HeaderDir dir;
    void *shared = mmap(nullptr, sizeof(Counts), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    counts = new (shared) Counts;

    int kills = 0;
    {
        Writers writers(dir.path());
        for (int w = 0; w < kWriters; ++w) ASSERT_TRUE(writers.start()) << "fork: " << strerror(errno);
        std::mt19937_64 random(4242);
        const auto deadline = std::chrono::steady_clock::now() + kTimeBudget;
        for (; kills < kKills && std::chrono::steady_clock::now() < deadline; ++kills) {
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % (2 * kMeanKillIntervalMs)));
            ASSERT_TRUE(writers.replace(random() % writers.size())) << "fork: " << strerror(errno);
        }
    }  // every writer killed and reaped

    const std::vector<std::string> overlaps = overlapsBetweenWriters(claimsIn(dir.path()));
    EXPECT_TRUE(overlaps.empty()) << overlaps.size() << " overlapping pairs after " << kills
                                  << " kills, the first: " << overlaps.front();
    // The kills met writers at work, and many of their allocations were repeated.
    EXPECT_EQ(kills, kKills) << "time budget exhausted";
    EXPECT_GE(counts->allocations.load(), 10);
    EXPECT_GE(counts->lost_locks.load(), 30);
    printf("%d kills, %ld allocations, %ld lost locks\n", kills, counts->allocations.load(),
           counts->lost_locks.load());
    munmap(shared, sizeof(Counts));
}
