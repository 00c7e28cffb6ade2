// Extent allocation: the best-fit search over the header directory, the provisional entry,
// the lock file and its take-over protocol, updates that merge or append, and the faults
// that must end in -1 instead of a wrong extent or an endless repetition.
#include "alloc_internal.h"
#include "det_fixture.h"
#include "det_internal.h"
#include "header_names.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <climits>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace det_fixture;

namespace {

constexpr const char *kFreeLock = "00000000\n";

std::string lockText(int pid) {
    char text[16];
    snprintf(text, sizeof text, "%08d\n", pid);
    return text;
}

double secondsOf(const std::function<void()> &work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int countLines(const std::string &text, const std::string &prefix) {
    int lines = 0;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        if (text.compare(at, prefix.size(), prefix) == 0) ++lines;
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

class Alloc : public testing::Test {
protected:
    void SetUp() override { props = makeProps(dir.path()); }
    void TearDown() override {
        tio::after_search_hook = nullptr;
        tio::before_release_hook = nullptr;
        tio::after_loss_hook = nullptr;
    }
    std::string lock() const { return dir.file(".kellock"); }

    HeaderDir dir;
    std::unique_ptr<FsProps> props;
};

}  // namespace

// ---- The search ------------------------------------------------------------------------

struct AllocationCase {
    const char *name;
    std::map<std::string, std::vector<Entry>> files;  // other ".det" files of the directory
    int64_t size;
    int64_t offset;  // expected result
};

class Allocation : public Alloc, public testing::WithParamInterface<AllocationCase> {};

// writeDetLock on the examples of a 64 MiB volume of 4 members with 64 KiB chunks: the
// result, new.det's exact bytes afterwards (the extent, or the provisional entry when
// nothing fits) and a free lock file.
TEST_P(Allocation, ChoosesTheBestFittingGap) {
    const AllocationCase &c = GetParam();
    for (const auto &[name, entries] : c.files) writeEntries(dir.file(name), entries);
    const std::string path = dir.file("new.det");

    EXPECT_EQ(writeDetLock(props.get(), path.c_str(), c.size), c.offset);
    const int64_t recorded = c.offset >= 0 ? c.offset : -(c.size / 4);
    EXPECT_EQ(readFile(path), recordBytes({{recorded, c.size}}));
    EXPECT_EQ(readFile(lock()), kFreeLock);
    EXPECT_EQ(modeOf(lock()) & 006, 006u);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, Allocation,
    testing::Values(
        AllocationCase{"BestFit", {{"a.det", {{0, 1000 * KiB}}}, {"b.det", {{512 * KiB, 1024 * KiB}, {2048 * KiB, 400 * KiB}}}},
                       1024 * KiB, 256 * KiB},
        AllocationCase{"TieGoesToTheHigherGap",
                       {{"a.det", {{0, 1024 * KiB}}}, {"b.det", {{512 * KiB, 1024 * KiB}}}, {"c.det", {{1024 * KiB, 1024 * KiB}}}},
                       1024 * KiB, 768 * KiB},
        AllocationCase{"OnlyOwnProvisional", {}, 1024 * KiB, 0},
        AllocationCase{"OnlyOwnProvisionalWholeVolume", {}, 64 * MiB, 0},
        // Fewer than two entries and a per-device need above the volume: refused, not 0.
        AllocationCase{"OnlyOwnProvisionalTooLarge", {}, 64 * MiB + 4, -1},
        AllocationCase{"NoGapFits", {{"a.det", {{0, 60 * MiB}}}}, 8 * MiB, -1},
        AllocationCase{"StartOfVolumeAfterRaisedProvisional", {{"a.det", {{4096 * KiB, 1024 * KiB}}}}, 1000001, 64 * KiB},
        AllocationCase{"StartOfVolume", {{"a.det", {{4096 * KiB, 1024 * KiB}}}}, 1000000, 0},
        // Every entry provisional: the gap from their end to the end of the volume is taken.
        AllocationCase{"AllProvisional", {{"other.det", {{-256 * KiB, 1024 * KiB}}}}, 1024 * KiB, 0},
        AllocationCase{"AllProvisionalWholeVolume", {{"other.det", {{-256 * KiB, 1024 * KiB}}}}, 64 * MiB, 0},
        AllocationCase{"ExtentAtZero", {{"a.det", {{0, 1024 * KiB}}}}, 1024 * KiB, 256 * KiB}),
    [](const testing::TestParamInfo<AllocationCase> &info) { return std::string(info.param.name); });

struct WalkCase {
    const char *name;
    std::vector<Entry> sorted;
    int64_t size;
    int64_t offset;
};

// The walk itself, on sorted entries given directly: where entries overlap, the gap after
// an entry starts at the furthest end of all entries before it, so no extent is handed
// out inside another; gaps past the end of the volume are not used.
TEST_F(Alloc, WalkNeverLandsInsideARecordedExtent) {
    const std::vector<WalkCase> cases = {
        // A 3-byte request's provisional entry (0, 3) sorted after a real extent at 0: the
        // entry's own end is 64 KiB, inside the extent that runs to 256 KiB.
        {"ProvisionalAfterExtentAtZero", {{0, 1024 * KiB}, {0, 3}}, 3, 256 * KiB},
        {"ProvisionalBeforeExtentAtZero", {{0, 3}, {0, 1024 * KiB}}, 3, 256 * KiB},
        // A long extent spans a short one that starts later.
        {"NestedExtent", {{-256 * KiB, 1024 * KiB}, {0, 4096 * KiB}, {128 * KiB, 64 * KiB}, {2048 * KiB, 64 * KiB}},
         64 * KiB, 1024 * KiB},
        // An entry recorded beyond the end of this volume: the gap before it ends at the volume's end.
        {"EntryBeyondTheVolume", {{-256 * KiB, 1024 * KiB}, {0, 60 * MiB}, {20 * MiB, 4}}, 8 * MiB, -1},
        // A single real extent (the caller's own ".det" file kept elsewhere): never 0 inside it.
        {"SingleRealExtent", {{0, 1024 * KiB}}, 1024 * KiB, 256 * KiB},
        {"SingleProvisional", {{-256 * KiB, 1024 * KiB}}, 1024 * KiB, 0},
        {"NegativeSize", {{-256 * KiB, 1024 * KiB}, {0, 64}}, -4, -1},
    };
    for (const WalkCase &c : cases) {
        std::vector<DetEntry> entries;
        for (const Entry &e : c.sorted) entries.push_back({e.offset, e.length});
        EXPECT_EQ(tio::choose_offset(props.get(), entries, c.size), c.offset) << c.name;
    }
}

// Entries that cannot be taken are passed over: a directory and a FIFO named like ".det"
// files, a file of odd size, and a file that reads short.
TEST_F(Alloc, SearchPassesOverEntriesItCannotTake) {
    writeEntries(dir.file("a.det"), {{0, 1000 * KiB}});
    writeEntries(dir.file("b.det"), {{512 * KiB, 1024 * KiB}, {2048 * KiB, 400 * KiB}});
    ASSERT_EQ(mkdir(dir.file("sub.det").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(dir.file("pipe.det").c_str(), 0644), 0);
    writeFile(dir.file("odd.det"), recordBytes({{256 * KiB, 4}}) + "odd");
    const std::string short_reading = shortReadingFile();
    if (!short_reading.empty()) {
        ASSERT_EQ(symlink(short_reading.c_str(), dir.file("sys.det").c_str()), 0);
    }

    EXPECT_EQ(writeDetLock(props.get(), dir.file("new.det").c_str(), 1024 * KiB), 256 * KiB);
}

TEST_F(Alloc, UnlistableDirectoryGivesNoAllocation) {
    auto missing = makeProps(dir.file("missing"));
    EXPECT_EQ(determineOffset(missing.get(), 1024), -1);
    // The lock can be taken (it lives elsewhere), the directory still cannot be listed.
    EXPECT_EQ(getAllocation(missing.get(), getpid(), 1024, lock().c_str()), -1);
    EXPECT_EQ(readFile(lock()), lockText(getpid()));
}

// Runs body in a child process as a user that permissions bind (nobody, when run as root)
// and returns its exit code; 77 when privileges cannot be dropped.
int runUnprivileged(const std::function<int()> &body) {
    fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        if (geteuid() == 0 && setuid(65534) != 0) _exit(77);
        _exit(body());
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// A directory that can be written but not listed.
TEST(AllocUnprivileged, UnreadableDirectoryGivesNoAllocation) {
    const int code = runUnprivileged([] {
        HeaderDir own;
        auto own_props = makeProps(own.path());
        writeEntries(own.file("a.det"), {{0, 1000 * KiB}});
        int result = 0;
        StdoutCapture output;
        if (chmod(own.path().c_str(), 0333) != 0) result = 3;
        else if (writeDetLock(own_props.get(), own.file("new.det").c_str(), 1024 * KiB) != -1) result = 1;
        chmod(own.path().c_str(), 0777);
        // One line, which says why.
        const std::string text = output.finish();
        if (result == 0 && (tio_test::count_error_lines(text) != 1 ||
                            text.find("cannot list header directory " + own.path() + ": Permission denied") ==
                                std::string::npos))
            result = 2;
        return result;
    });
    if (code == 77) GTEST_SKIP() << "cannot drop privileges";
    EXPECT_EQ(code, 0);
}

// A lock file its owner may write but not read: taken every time, never read back. The
// allocation ends with one "Error!" line and -1.
TEST(AllocUnprivileged, WriteOnlyLockFileEndsWithOneError) {
    const int code = runUnprivileged([] {
        HeaderDir own;
        auto own_props = makeProps(own.path());
        writeFile(own.file(".kellock"), kFreeLock);
        if (chmod(own.file(".kellock").c_str(), 0200) != 0) return 3;
        StdoutCapture output;
        const int64_t offset = writeDetLock(own_props.get(), own.file("new.det").c_str(), 1024 * KiB);
        const std::string text = output.finish();
        if (offset != -1) return 1;
        if (countLines(text, "Error!") != 1 || countLines(text, "Error! Cannot read back lock file: ") != 1) return 2;
        return readFile(own.file("new.det")) == recordBytes({{-256 * KiB, 1024 * KiB}}) ? 0 : 4;
    });
    if (code == 77) GTEST_SKIP() << "cannot drop privileges";
    EXPECT_EQ(code, 0);
}

// ---- Sizes at the limits of 64 bits ----------------------------------------------------

struct ExtremeCase {
    const char *name;
    int32_t stripes;
    int32_t chunk;
    int64_t device_size;
    std::vector<Entry> others;  // held by other.det
    int64_t size;
    int64_t offset;  // expected result
};

// Requests and recorded extents near the limits of 64 bits: a per-device need that does
// not fit the volume, or whose reserved end (raised to the chunk) does not fit 64 bits, is
// refused; recorded values of any size are measured without wrapping around.
TEST_F(Alloc, ExtremeSizesAreRefusedOrPlacedExactly) {
    const int64_t top = INT64_MAX - (64 * KiB - 1);  // 2^63 - 64 KiB, the last aligned start
    const std::vector<ExtremeCase> cases = {
        {"MaxSizeOneMember", 1, 64 * KiB, 64 * MiB, {}, INT64_MAX, -1},
        {"MaxSizeFourMembers", 4, 64 * KiB, 64 * MiB, {}, INT64_MAX, -1},
        {"MaxSizeMaxVolume", 1, 64 * KiB, INT64_MAX, {}, INT64_MAX, -1},
        {"LargestAlignedOnMaxVolume", 1, 64 * KiB, INT64_MAX, {}, top, 0},
        {"NoAlignedRoomAtTheTop", 1, 64 * KiB, INT64_MAX, {{0, top}}, 1, -1},
        {"RecordedValuesAtTheLimits", 4, 64 * KiB, 64 * MiB,
         {{INT64_MAX, INT64_MAX}, {INT64_MIN, INT64_MIN}, {INT64_MIN, INT64_MAX}, {INT64_MAX - 5, 100}}, MiB, 0},
        {"RecordedExtentCoversTheVolume", 4, 64 * KiB, 64 * MiB, {{0, INT64_MAX}}, MiB, -1},
    };
    for (const ExtremeCase &c : cases) {
        HeaderDir own;
        auto geometry = makeProps(own.path(), c.device_size, c.chunk, c.stripes);
        if (!c.others.empty()) writeEntries(own.file("other.det"), c.others);
        EXPECT_EQ(writeDetLock(geometry.get(), own.file("new.det").c_str(), c.size), c.offset) << c.name;
    }
}

// Two requests of INT64_MAX bytes on a one-member volume: neither is given offset 0 (the
// per-device span once wrapped around to a tiny extent), and the space stays free.
TEST_F(Alloc, TwoMaximalRequestsNeverShareAnOffset) {
    auto one_member = makeProps(dir.path(), 64 * MiB, 64 * KiB, 1);
    EXPECT_EQ(writeDetLock(one_member.get(), dir.file("a.det").c_str(), INT64_MAX), -1);
    EXPECT_EQ(writeDetLock(one_member.get(), dir.file("b.det").c_str(), INT64_MAX), -1);
    EXPECT_EQ(readFile(dir.file("b.det")), recordBytes({{-INT64_MAX, INT64_MAX}}));
    EXPECT_EQ(writeDetLock(one_member.get(), dir.file("c.det").c_str(), MiB), 0);
}

namespace {

// Per-device bytes an entry of this length claims, computed apart from the engine.
__int128 modelSpan(int64_t length, int32_t stripes) {
    return length > 0 ? (static_cast<__int128>(length) + stripes - 1) / stripes : 0;
}

}  // namespace

// The walk on random geometries and entries drawn from the values at the limits and
// ordinary ones: whatever it returns is aligned, inside the volume, representable with its
// chunk-raised end, and clear of every recorded extent.
TEST(AllocFuzz, ChosenExtentIsAlignedInsideAndClearOfEveryEntry) {
    std::mt19937_64 random(20240611);
    const int32_t stripe_choices[] = {1, 2, 3, 4, 7, 64, INT32_MAX};
    const int32_t chunk_choices[] = {1, 512, 64 * KiB, INT32_MAX};
    const int64_t device_choices[] = {0, 1, 64 * MiB, int64_t(1) << 40, INT64_MAX - 1, INT64_MAX};
    long placed = 0;
    for (int round = 0; round < 20000; ++round) {
        const int32_t stripes = stripe_choices[random() % std::size(stripe_choices)];
        const int32_t chunk = chunk_choices[random() % std::size(chunk_choices)];
        const int64_t device_size = device_choices[random() % std::size(device_choices)];
        auto props = makeProps("/nonexistent", device_size, chunk, stripes);
        const int64_t limit = device_size / stripes;
        const auto pick = [&](bool offset) -> int64_t {
            const int64_t near_limit[] = {INT64_MIN, -1, 0, 1, chunk, limit - 1, limit, INT64_MAX - 1, INT64_MAX};
            if (random() % 2) return near_limit[random() % std::size(near_limit)];
            const int64_t bound = std::max<int64_t>(1, offset ? limit : device_size);
            const int64_t value = int64_t(random() % uint64_t(bound));
            return offset ? value / chunk * chunk : value;
        };
        std::vector<DetEntry> entries(random() % 7);
        for (DetEntry &entry : entries) entry = {pick(true), pick(false)};
        const int64_t size = pick(false);
        std::vector<DetEntry> sorted = entries;
        tio::sort_det_entries(sorted);

        const int64_t offset = tio::choose_offset(props.get(), sorted, size);
        if (offset < 0) {
            ASSERT_EQ(offset, -1);
            continue;
        }
        ++placed;
        const __int128 need = modelSpan(size, stripes);
        const std::string where = "round " + std::to_string(round) + ": offset " + std::to_string(offset) +
                                  " size " + std::to_string(size) + " stripes " + std::to_string(stripes) +
                                  " chunk " + std::to_string(chunk) + " device " + std::to_string(device_size);
        ASSERT_GE(size, 0) << where;
        ASSERT_EQ(offset % chunk, 0) << where;
        ASSERT_LE(offset + need, limit) << where;
        ASSERT_LE(offset + (need + chunk - 1) / chunk * chunk, INT64_MAX) << where;
        // The caller's own provisional entry, alone, does not count against the start.
        const bool lone_provisional = entries.size() == 1 && entries[0].offset <= 0 &&
                                      entries[0].offset + modelSpan(entries[0].length, stripes) <= 1;
        if (lone_provisional || need == 0) continue;
        for (const DetEntry &entry : entries) {
            const __int128 begin = entry.offset, end = begin + modelSpan(entry.length, stripes);
            if (end <= begin) continue;
            ASSERT_TRUE(offset + need <= begin || end <= offset)
                << where << " overlaps (" << entry.offset << ", " << entry.length << ")";
        }
    }
    EXPECT_GT(placed, 1000);  // the invariants were checked on real placements
}

// ---- Updates -----------------------------------------------------------------------------

struct UpdateCase {
    const char *name;
    std::vector<Entry> b;  // b.det, which decides where the update lands
    int64_t offset;
    std::vector<Entry> after;  // new.det afterwards
};

// new.det holds (256 KiB, 1024 KiB) from the best-fit example; an update of 1024 KiB that
// lands at 512 KiB continues it, one that lands at 768 KiB is appended.
TEST_F(Alloc, UpdateMergesOrAppends) {
    const std::vector<UpdateCase> cases = {
        {"Merge", {{2048 * KiB, 400 * KiB}}, 512 * KiB, {{256 * KiB, 2048 * KiB}}},
        {"Append", {{512 * KiB, 1024 * KiB}, {2048 * KiB, 400 * KiB}}, 768 * KiB,
         {{256 * KiB, 1024 * KiB}, {768 * KiB, 1024 * KiB}}},
    };
    for (const UpdateCase &c : cases) {
        writeEntries(dir.file("a.det"), {{0, 1000 * KiB}});
        writeEntries(dir.file("b.det"), c.b);
        writeEntries(dir.file("new.det"), {{256 * KiB, 1024 * KiB}});
        EXPECT_EQ(updateDet(props.get(), dir.file("new.det").c_str(), 1024 * KiB), c.offset) << c.name;
        EXPECT_EQ(readFile(dir.file("new.det")), recordBytes(c.after)) << c.name;
        EXPECT_EQ(dir.names(), (std::vector<std::string>{".kellock", "a.det", "b.det", "new.det"})) << c.name;
    }
}

TEST_F(Alloc, UpdateOfAFileWithoutEntriesFails) {
    for (const std::string &content : {std::string(), std::string(20, 'x')}) {
        writeFile(dir.file("new.det"), content);
        EXPECT_EQ(updateDet(props.get(), dir.file("new.det").c_str(), 1024), -1);
        EXPECT_EQ(readFile(dir.file("new.det")), content);
    }
    EXPECT_EQ(updateDet(props.get(), dir.file("none.det").c_str(), 1024), -1);
    // The reservation file that held the extent is gone again.
    EXPECT_EQ(dir.names(), (std::vector<std::string>{".kellock", "new.det"}));
}

TEST(AllocArithmetic, AlignmentContinuationAndRandom) {
    struct Align {
        int64_t value, unit, result;
    };
    for (const Align &a : {Align{0, 64, 0}, Align{1, 64, 64}, Align{128, 64, 128}, Align{129, 64, 192},
                           Align{INT64_MAX, 64, INT64_MAX}})
        EXPECT_EQ(stripeAlign(a.value, a.unit), a.result) << a.value;

    struct Continuation {
        int32_t stripes;
        int64_t last_offset, last_length, new_offset, result;
    };
    for (const Continuation &c : {Continuation{4, 256 * KiB, 1024 * KiB, 512 * KiB, 512 * KiB},
                                  Continuation{4, 256 * KiB, 1024 * KiB, 768 * KiB, -1},
                                  Continuation{4, 256 * KiB, 1000001, 256 * KiB + 250000, -1},
                                  Continuation{4, 0, 0, 0, 0}, Continuation{0, 0, 4, 1, -1}})
        EXPECT_EQ(isDetContinuous(c.stripes, c.last_offset, c.last_length, c.new_offset), c.result);

    // Reseeded with the time in seconds: equal within one second.
    const time_t second = time(nullptr);
    const int32_t a = getRandom(), b = getRandom();
    EXPECT_GE(a, 0);
    if (time(nullptr) == second) {
        EXPECT_EQ(a, b);
    }
}

// Reservation file names are "r_", a decimal number and ".det", and differ between the
// threads of a process and between processes reserving in the same second.
TEST(AllocReservation, NamesAreUniqueAcrossThreadsAndProcesses) {
    constexpr int kThreads = 4, kProcesses = 4, kNames = 500;
    int pipes[kProcesses][2];
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        ASSERT_EQ(pipe(pipes[p]), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::string names;
            for (int i = 0; i < kNames; ++i) names += tio::reservation_path("/h") + "\n";
            _exit(write(pipes[p][1], names.data(), names.size()) == ssize_t(names.size()) ? 0 : 1);
        }
        close(pipes[p][1]);
        children.push_back(child);
    }
    std::vector<std::string> names;
    std::mutex names_lock;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kNames; ++i) {
                std::string name = tio::reservation_path("/h");
                std::lock_guard<std::mutex> hold(names_lock);
                names.push_back(std::move(name));
            }
        });
    for (auto &thread : threads) thread.join();
    for (int p = 0; p < kProcesses; ++p) {
        std::string text;
        char buffer[4096];
        for (ssize_t got; (got = read(pipes[p][0], buffer, sizeof buffer)) > 0;) text.append(buffer, size_t(got));
        close(pipes[p][0]);
        for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
            names.push_back(text.substr(at, end - at));
        int status = 0;
        waitpid(children[size_t(p)], &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    ASSERT_EQ(names.size(), size_t((kThreads + kProcesses) * kNames));
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size());
    const std::regex form("/h/r_[0-9]+\\.det");
    for (const std::string &name : names) ASSERT_TRUE(std::regex_match(name, form)) << name;
}

// ---- Reservations of writers that are gone -----------------------------------------------

namespace {

// A pid that no process has now: a child that has exited and been reaped.
pid_t deadPid() {
    fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    return child;
}

void makeOlder(const std::string &path, int seconds) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const timespec times[2] = {{now.tv_sec - seconds, now.tv_nsec}, {now.tv_sec - seconds, now.tv_nsec}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

enum class Writer { dead, alive, unknown };

struct LeftoverCase {
    const char *name;
    Writer writer;       // the writer its name carries; unknown: a plain number
    int age_seconds;
    Entry entry;
    int64_t offset;      // where a request of 1024 KiB then lands
    bool kept;
};

std::string leftoverName(Writer writer, int serial) {
    switch (writer) {
    case Writer::dead: return tio::reservation_name(deadPid(), time(nullptr), uint64_t(serial));
    case Writer::alive: return tio::reservation_name(getpid(), time(nullptr), uint64_t(serial));
    case Writer::unknown: break;
    }
    return "r_" + std::to_string(12345 + serial) + ".det";
}

}  // namespace

// The engine's reservation names carry the writer's pid, which is what lets a search tell
// a reservation whose writer has gone.
TEST(AllocReservation, NamesCarryTheWritersPid) {
    const std::string path = tio::reservation_path("/h");
    EXPECT_EQ(tio::reservation_writer_pid(path.substr(3)), getpid()) << path;
}

// Reservation files left in the directory, each holding an extent at the start of the
// volume. One of this engine's naming whose writer is gone and that is older than a minute
// is not counted, and the search removes it while it holds the lock; every other is
// counted and kept: young ones, a live writer's, plain numbers, provisional ".det" files.
TEST_F(Alloc, ReservationsOfGoneWritersAreGivenUp) {
    static std::string leftover_path, lock_path;
    static bool gone_under_the_lock;
    const std::vector<LeftoverCase> cases = {
        {"GoneWriterOld", Writer::dead, 120, {0, 1024 * KiB}, 0, false},
        {"GoneWriterYoung", Writer::dead, 0, {0, 1024 * KiB}, 256 * KiB, true},
        {"GoneWriterUnderAMinute", Writer::dead, 50, {0, 1024 * KiB}, 256 * KiB, true},
        {"LiveWriterOld", Writer::alive, 120, {0, 1024 * KiB}, 256 * KiB, true},
        {"PlainNumberOld", Writer::unknown, 120, {0, 1024 * KiB}, 256 * KiB, true},
        // Killed before its extent was chosen: its provisional entry no longer counts either.
        {"GoneWriterProvisional", Writer::dead, 120, {-250000, 1000001}, 0, false},
    };
    int serial = 0;
    for (const LeftoverCase &c : cases) {
        HeaderDir own;
        auto own_props = makeProps(own.path());
        leftover_path = own.file(leftoverName(c.writer, ++serial));
        lock_path = own.file(".kellock");
        writeEntries(leftover_path, {c.entry});
        makeOlder(leftover_path, c.age_seconds);
        tio::after_search_hook = [](int, const char *) {
            gone_under_the_lock = !exists(leftover_path) && readFile(lock_path) == lockText(getpid());
        };
        gone_under_the_lock = false;
        EXPECT_EQ(writeDetLock(own_props.get(), own.file("new.det").c_str(), 1024 * KiB), c.offset) << c.name;
        EXPECT_EQ(exists(leftover_path), c.kept) << c.name;
        EXPECT_EQ(gone_under_the_lock, !c.kept) << c.name;
    }
    // A provisional ".det" file cannot tell its writer: counted, however old.
    writeEntries(dir.file("killed.det"), {{-250000, 1000001}});
    makeOlder(dir.file("killed.det"), 3600);
    EXPECT_EQ(writeDetLock(props.get(), dir.file("new.det").c_str(), 1024 * KiB), 64 * KiB);
    EXPECT_TRUE(exists(dir.file("killed.det")));
}

// determineOffset without the lock leaves such a reservation out but in place;
// getAllocation, which takes the lock, removes it.
TEST_F(Alloc, OnlyASearchUnderTheLockRemovesAGoneWritersReservation) {
    const std::string leftover = dir.file(leftoverName(Writer::dead, 1));
    writeEntries(leftover, {{0, 1024 * KiB}});
    makeOlder(leftover, 120);
    EXPECT_EQ(determineOffset(props.get(), 1024 * KiB), 0);
    EXPECT_TRUE(exists(leftover));
    EXPECT_EQ(getAllocation(props.get(), getpid(), 1024 * KiB, lock().c_str()), 0);
    EXPECT_FALSE(exists(leftover));
    EXPECT_EQ(removeLock(getpid(), 0, 1024 * KiB, lock().c_str()), 0);
}

// ---- The lock file -------------------------------------------------------------------------

struct TakeCase {
    const char *name;
    std::string before;  // "" with missing = true: no lock file
    bool missing;
    bool pauses;
};

TEST_F(Alloc, CreateLockTakesTheLock) {
    const int32_t pid = 4321;
    const std::vector<TakeCase> cases = {
        {"Missing", "", true, false},
        {"Free", kFreeLock, false, false},
        {"HeldByOther", lockText(99), false, true},
        {"HeldBySelf", lockText(pid), false, true},
        {"Garbage", "abcdefgh\n", false, false},
        {"Empty", "", false, false},
        {"TenBytes", "000000099\n", false, false},
    };
    for (const TakeCase &c : cases) {
        unlink(lock().c_str());
        if (!c.missing) {
            writeFile(lock(), c.before);
            chmod(lock().c_str(), 0600);
        }
        int32_t result = 0;
        const double seconds = secondsOf([&] { result = createLock(pid, lock().c_str()); });
        EXPECT_EQ(result, pid) << c.name;
        EXPECT_EQ(readFile(lock()), lockText(pid)) << c.name;
        EXPECT_EQ(seconds >= 0.1, c.pauses) << c.name << ": " << seconds << " s";
        EXPECT_EQ(modeOf(lock()), c.missing ? modeOf(lock()) | 006 : 0606u) << c.name;
    }
}

TEST_F(Alloc, RemoveLockReleasesOnlyItsOwnLock) {
    writeFile(lock(), lockText(4321));
    EXPECT_EQ(removeLock(1234, 64, 1000, lock().c_str()), -1000);
    EXPECT_EQ(readFile(lock()), lockText(4321));
    EXPECT_EQ(removeLock(4321, 64, 1000, lock().c_str()), 64);
    EXPECT_EQ(readFile(lock()), kFreeLock);
    EXPECT_EQ(removeLock(4321, 64, 1000, lock().c_str()), -1000);  // free: zeros are not ours
    writeFile(lock(), "garbage\n");
    EXPECT_EQ(removeLock(4321, 64, 1000, lock().c_str()), -1);
    EXPECT_EQ(removeLock(4321, 64, 1000, dir.file("none").c_str()), -1);
}

// A holds the lock; B finds A's id, pauses and writes its own; A's release then finds B
// and leaves the file alone; B's release frees it.
TEST_F(Alloc, TakeOverIsCaughtAtRelease) {
    const int32_t a = 1111, b = 2222;
    ASSERT_EQ(createLock(a, lock().c_str()), a);
    double seconds = 0;
    seconds = secondsOf([&] { EXPECT_EQ(createLock(b, lock().c_str()), b); });
    EXPECT_GE(seconds, 0.1);
    EXPECT_EQ(removeLock(a, 64 * KiB, 4096, lock().c_str()), -4096);
    EXPECT_EQ(readFile(lock()), lockText(b));
    EXPECT_EQ(removeLock(b, 128 * KiB, 4096, lock().c_str()), 128 * KiB);
    EXPECT_EQ(readFile(lock()), kFreeLock);
}

// writeDetLock repeats an allocation whose lock was taken over: the second attempt pauses
// for the other holder, records the extent again and stands.
TEST_F(Alloc, LostLockRepeatsTheAllocation) {
    static int attempts;
    static std::string det_path, det_during_first, det_after_loss;
    attempts = 0;
    det_path = dir.file("new.det");
    tio::before_release_hook = [](int attempt, const char *lock_path) {
        attempts = attempt;
        if (attempt > 1) return;
        det_during_first = readFile(det_path);
        writeFile(lock_path, lockText(getpid() + 1));  // another process takes the lock
    };
    // What a writer killed during the back-off would leave: the extent given up again.
    tio::after_loss_hook = [](int, const char *) { det_after_loss = readFile(det_path); };
    writeEntries(dir.file("a.det"), {{0, 1000 * KiB}});
    writeEntries(dir.file("b.det"), {{512 * KiB, 1024 * KiB}, {2048 * KiB, 400 * KiB}});
    int64_t offset = 0;
    const double seconds = secondsOf([&] { offset = writeDetLock(props.get(), dir.file("new.det").c_str(), 1024 * KiB); });

    EXPECT_EQ(offset, 256 * KiB);
    EXPECT_EQ(attempts, 2);
    EXPECT_GE(seconds, 0.1);  // the second take found the other id
    EXPECT_EQ(det_during_first, recordBytes({{256 * KiB, 1024 * KiB}}));  // recorded before release
    EXPECT_EQ(det_after_loss, recordBytes({{-256 * KiB, 1024 * KiB}}));
    EXPECT_EQ(readFile(dir.file("new.det")), recordBytes({{256 * KiB, 1024 * KiB}}));
    EXPECT_EQ(readFile(lock()), kFreeLock);
}

// An update writes the extent into the data file before it releases the lock; when the
// lock was lost, that rewrite is undone before the update is repeated, so the extent is
// added once.
TEST_F(Alloc, LostLockDuringUpdateIsRolledBack) {
    static int attempts;
    static std::string det_path, det_during_first, det_after_loss;
    static std::vector<std::string> reservations_after_loss;
    static const HeaderDir *header_dir;
    attempts = 0;
    det_path = dir.file("new.det");
    header_dir = &dir;
    tio::before_release_hook = [](int attempt, const char *lock_path) {
        attempts = attempt;
        if (attempt > 1) return;
        det_during_first = readFile(det_path);
        writeFile(lock_path, lockText(getpid() + 1));
    };
    // Neither the data file nor the reservation file may still claim the extent once the
    // loss is known: a writer killed during the back-off would leave them so.
    tio::after_loss_hook = [](int, const char *) {
        det_after_loss = readFile(det_path);
        for (const std::string &name : header_dir->names())
            if (name.rfind("r_", 0) == 0) reservations_after_loss.push_back(readFile(header_dir->file(name)));
    };
    writeEntries(dir.file("a.det"), {{0, 1000 * KiB}});
    writeEntries(dir.file("b.det"), {{2048 * KiB, 400 * KiB}});
    writeEntries(det_path, {{256 * KiB, 1024 * KiB}});

    EXPECT_EQ(updateDet(props.get(), det_path.c_str(), 1024 * KiB), 512 * KiB);
    EXPECT_EQ(attempts, 2);
    EXPECT_EQ(det_during_first, recordBytes({{256 * KiB, 2048 * KiB}}));  // rewritten before release
    EXPECT_EQ(det_after_loss, recordBytes({{256 * KiB, 1024 * KiB}}));
    EXPECT_EQ(reservations_after_loss, (std::vector<std::string>{recordBytes({{-256 * KiB, 1024 * KiB}})}));
    EXPECT_EQ(readFile(det_path), recordBytes({{256 * KiB, 2048 * KiB}}));
    EXPECT_EQ(dir.names(), (std::vector<std::string>{".kellock", "a.det", "b.det", "new.det"}));
}

struct EndlessCase {
    const char *name;
    const char *lock_content;  // written into the lock file at every release
    const char *message_start;
};

// A lock taken over at every release, or one that cannot be read back, ends after a bounded
// number of attempts with one "Error!" line and -1; the ".det" file is left provisional.
TEST_F(Alloc, RepeatedLossEndsWithOneError) {
    static std::string content;
    static int attempts;
    const std::vector<EndlessCase> cases = {
        {"TakenOver", "00000001\n", "Error! Lock file "},
        {"Unreadable", "xxxxxxxx\n", "Error! Cannot read back lock file: "},
    };
    for (const EndlessCase &c : cases) {
        content = c.lock_content;
        attempts = 0;
        tio::before_release_hook = [](int attempt, const char *lock_path) {
            attempts = attempt;
            writeFile(lock_path, content);
        };
        StdoutCapture output;
        EXPECT_EQ(writeDetLock(props.get(), dir.file("new.det").c_str(), 1000), -1) << c.name;
        const std::string text = output.finish();
        EXPECT_EQ(attempts, tio::kMaxAllocationAttempts) << c.name;
        EXPECT_EQ(countLines(text, "Error!"), 1) << c.name << ": " << text;
        EXPECT_EQ(countLines(text, c.message_start), 1) << c.name << ": " << text;
        EXPECT_EQ(text.back(), '\n');
        EXPECT_EQ(readFile(dir.file("new.det")), recordBytes({{-250, 1000}})) << c.name;
    }
}

// ---- Messages and handles ------------------------------------------------------------------

TEST_F(Alloc, FailuresPrintTheirMessage) {
    {
        StdoutCapture output;
        const std::string path = dir.file("missing/new.det");
        EXPECT_EQ(writeDetLock(props.get(), path.c_str(), 1024), -1);
        EXPECT_EQ(output.finish(), "Error, cannot create '" + path + "'. Do you have correct permissions on the directory?\n");
    }
    {
        // The ".det" file lies elsewhere; the header directory is missing, so is its lock.
        auto missing = makeProps(dir.file("missing"));
        const std::string lock_path = dir.file("missing/.kellock");
        StdoutCapture output;
        EXPECT_EQ(writeDetLock(missing.get(), dir.file("new.det").c_str(), 1024), -1);
        EXPECT_EQ(output.finish(), "Error! Cannot create lock file: " + lock_path +
                                     "! Make sure the folder exists and you have appropriate privileges!\n");
        EXPECT_EQ(readFile(dir.file("new.det")), recordBytes({{-256, 1024}}));  // stays provisional
    }
    {
        StdoutCapture output;
        EXPECT_EQ(writeDetLock(props.get(), dir.file("neg.det").c_str(), -5), -1);
        EXPECT_EQ(output.finish(), "");
    }
}

struct RefusalCase {
    const char *name;
    std::map<std::string, std::string> files;  // name -> content, before the call
    bool update;                               // updateDet, else writeDetLock
    int32_t stripes;
    int64_t size;
    const char *reason;                        // what the line must say
};

// Every refusal of an allocation prints exactly one line, starting "Error!", that names
// the ".det" file the caller gave (for an update, the data file, not the reservation) and
// says why; the data file is left as it was.
TEST_F(Alloc, EveryRefusalSaysWhyOnce) {
    const std::string full = recordBytes({{0, 60 * MiB}});
    const std::string own = recordBytes({{0, 1024 * KiB}});
    const std::vector<RefusalCase> cases = {
        {"NoGap", {{"a.det", full}}, false, 4, 8 * MiB, "no free extent of 2097152 bytes per device"},
        {"LargerThanTheVolume", {}, false, 4, 64 * MiB + 4, "more than the volume can hold (16777216 bytes per device)"},
        {"MaxSizeOneMember", {}, false, 1, INT64_MAX, "more than the volume can hold (67108864 bytes per device)"},
        {"UpdateNoGap", {{"a.det", recordBytes({{256 * KiB, 60 * MiB}})}, {"new.det", own}}, true, 4, 8 * MiB,
         "no free extent of 2097152 bytes per device"},
        {"UpdateOfAMissingFile", {}, true, 4, 1024, "No such file or directory"},
        {"UpdateOfAnEmptyFile", {{"new.det", ""}}, true, 4, 1024, "the file is empty"},
        {"UpdateOfATornFile", {{"new.det", std::string(20, 'x')}}, true, 4, 1024,
         "its size, 20 bytes, is not a whole number of 16-byte entries"},
    };
    for (const RefusalCase &c : cases) {
        HeaderDir own_dir;
        auto geometry = makeProps(own_dir.path(), 64 * MiB, 64 * KiB, c.stripes);
        for (const auto &[name, content] : c.files) writeFile(own_dir.file(name), content);
        const std::string path = own_dir.file("new.det");
        const std::string before = readFile(path);
        StdoutCapture output;
        const int64_t offset = c.update ? updateDet(geometry.get(), path.c_str(), c.size)
                                        : writeDetLock(geometry.get(), path.c_str(), c.size);
        const std::string text = output.finish();
        EXPECT_EQ(offset, -1) << c.name;
        EXPECT_EQ(tio_test::count_error_lines(text), 1) << c.name << ": " << text;
        EXPECT_EQ(text.find('\n'), text.size() - 1) << c.name << ": " << text;
        EXPECT_NE(text.find("'" + path + "'"), std::string::npos) << c.name << ": " << text;
        EXPECT_NE(text.find(c.reason), std::string::npos) << c.name << ": " << text;
        if (c.update) {
            EXPECT_EQ(readFile(path), before) << c.name;
        }
    }
}

TEST_F(Alloc, HandleOperationsCheckTheHandle) {
    FakeHandle good(props.get());
    EXPECT_EQ(tio_write_det(&good.handle, dir.file("new.det").c_str(), 1024 * KiB), 0);
    EXPECT_EQ(tio_update_det(&good.handle, dir.file("new.det").c_str(), 1024 * KiB), 256 * KiB);
    EXPECT_EQ(readFile(dir.file("new.det")), recordBytes({{0, 2048 * KiB}}));
    EXPECT_EQ(tio_finalize_det(&good.handle, dir.file("new.det").c_str(), 1500 * KiB), 548 * KiB);
    EXPECT_EQ(readFile(dir.file("new.det")), recordBytes({{0, 1500 * KiB}}));

    FakeHandle stomped(props.get());
    stomped.handle.magic = 0;
    FakeHandle unconfigured(nullptr);
    StdoutCapture output;
    EXPECT_EQ(tio_write_det(&stomped.handle, dir.file("x.det").c_str(), 1024), -1);
    EXPECT_EQ(tio_update_det(&stomped.handle, dir.file("new.det").c_str(), 1024), -1);
    EXPECT_EQ(tio_write_det(&unconfigured.handle, dir.file("x.det").c_str(), 1024), -1);
    const std::string magic = "Error! Magic number doesn't match. Something has stomped on our memory block\n";
    EXPECT_EQ(output.finish(), magic + magic + "Error! No configuration: call tio_set_config before allocating extents!\n");
    EXPECT_FALSE(exists(dir.file("x.det")));
}
