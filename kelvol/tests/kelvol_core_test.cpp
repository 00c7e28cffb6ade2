// kelvol's model of a volume, in process: what check finds (and what repair may clear),
// the columns of the map, and df's numbers, on real header directories of a small volume.
#include "findings.h"
#include "repair.h"
#include "space.h"
#include "space_map.h"
#include "temp_volume.h"
#include "volume.h"
#include "writer_mark.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int64_t kKiB = 1024;
constexpr int64_t kChunk = 64 * kKiB;
constexpr int64_t kMember = 16 * kChunk;  // 1 MiB per member, 4 members

struct Entry {
    int64_t offset;
    int64_t length;
};

struct StoredDetFile {
    std::string name;     // in the header directory
    std::vector<Entry> entries;
    double age_seconds = 0;
};

// A volume of 4 members of 1 MiB with 64 KiB chunks, and its header directory.
class SmallVolume : public testing::Test {
protected:
    SmallVolume()
        : temp_(kel::default_temp_parent(), "kelvol-core-", kel::VolumeGeometry{4, kChunk, 2, kMember}),
          volume_(kelvol::open_volume(temp_.config_path())) {}

    std::string path(const std::string &name) const { return volume_.props.header_dir + "/" + name; }

    void write(const StoredDetFile &stored) {
        std::string bytes;
        for (const Entry &entry : stored.entries)
            for (const int64_t value : {entry.offset, entry.length})
                for (int b = 0; b < 8; ++b) bytes += static_cast<char>((static_cast<uint64_t>(value) >> (8 * b)) & 0xff);
        std::ofstream(path(stored.name), std::ios::binary) << bytes;
        age(stored.name, stored.age_seconds);
    }
    void age(const std::string &name, double seconds) {
        timespec times[2];
        clock_gettime(CLOCK_REALTIME, &times[0]);
        times[0].tv_sec -= static_cast<time_t>(seconds);
        times[1] = times[0];
        ASSERT_EQ(utimensat(AT_FDCWD, path(name).c_str(), times, 0), 0) << name;
    }

    kelvol::Findings findings(const kelvol::CheckLimits &limits = {}) {
        scan_ = kelvol::scan_volume(volume_);
        space_ = kelvol::space_of(volume_, scan_);
        return kelvol::check_volume(volume_, scan_, space_, limits);
    }

    kel::TempVolume temp_;
    kelvol::Volume volume_;
    kelvol::VolumeScan scan_;
    kelvol::SpaceModel space_;
};

// A pid that no process can have: one beyond the largest the kernel hands out.
int64_t pid_beyond_pid_max() {
    int64_t pid_max = 0;
    std::ifstream("/proc/sys/kernel/pid_max") >> pid_max;
    constexpr int64_t kPidMaxCeiling = int64_t{1} << 22;  // the most pid_max may be set to
    return (pid_max > 0 ? pid_max : kPidMaxCeiling) + 1;
}

std::string reservation_of(int64_t pid) { return "r_" + std::to_string(pid) + "000001000002.det"; }

struct Listed {
    std::string kind;
    std::string file;  // the path's last component
    bool problem;
    bool removable;
    auto operator<=>(const Listed &) const = default;
};

std::ostream &operator<<(std::ostream &out, const Listed &listed) {
    return out << "{" << listed.kind << " " << listed.file << (listed.problem ? " problem" : " in progress")
               << (listed.removable ? " removable" : "") << "}";
}

// The findings as a set: the order of files in a directory is not the point here.
std::set<Listed> listed(const kelvol::Findings &findings) {
    std::set<Listed> out;
    for (const bool problem : {true, false})
        for (const kelvol::Finding &f : problem ? findings.problems : findings.in_progress)
            out.insert({kelvol::kind_name(f.kind), f.path.substr(f.path.rfind('/') + 1), problem,
                        !f.removable_path.empty() || f.cleared_by_taking_lock});
    return out;
}

struct CheckCase {
    const char *name;
    std::vector<StoredDetFile> files;
    std::set<Listed> expected;
};

void PrintTo(const CheckCase &c, std::ostream *out) { *out << c.name; }

class Check : public SmallVolume, public testing::WithParamInterface<CheckCase> {};

TEST_P(Check, FindsWhatIsWrongOrLeftOver) {
    for (const StoredDetFile &stored : GetParam().files) write(stored);
    EXPECT_EQ(listed(findings()), GetParam().expected);
}

const int64_t kDead = pid_beyond_pid_max();
const int64_t kAlive = getpid();

TEST(WriterPids, TheDeadOneHasNoProcessAndTheLivingOneHas) {
    errno = 0;
    EXPECT_EQ(kill(static_cast<pid_t>(kDead), 0), -1);
    EXPECT_EQ(errno, ESRCH) << "pid " << kDead;
    EXPECT_EQ(kill(static_cast<pid_t>(kAlive), 0), 0);
}

// The mark of a recording by this very process, which is alive.
std::string live_mark() {
    return tio::format_writer_mark({false, kAlive, tio::process_start_ticks(kAlive).value_or(0), tio::current_boot_id()});
}

INSTANTIATE_TEST_SUITE_P(
    HeaderDirectories, Check,
    testing::Values(
        CheckCase{"Clean", {{"a.det", {{0, 512 * kKiB}}}, {"b.det", {{2 * kChunk, 512 * kKiB}}}, {"empty.det", {}}}, {}},
        // a holds member bytes [0, 128 KiB), b [64 KiB, 128 KiB): one finding names both.
        CheckCase{"Overlap",
                  {{"a.det", {{0, 512 * kKiB}}}, {"b.det", {{kChunk, 256 * kKiB}}}},
                  {{"overlap", "a.det", true, false}}},
        // The extent of an update in its reservation file and, already, in the data file.
        CheckCase{"ReservationRecordedTwiceIsNoOverlap",
                  {{"a.det", {{0, 512 * kKiB}}}, {"r_7.det", {{kChunk, 256 * kKiB}}}},
                  {{"reservation", "r_7.det", false, false}}},
        CheckCase{"BeyondEnd", {{"a.det", {{15 * kChunk, 512 * kKiB}}}}, {{"beyond-end", "a.det", true, false}}},
        CheckCase{"Misaligned", {{"a.det", {{1000, 4096}}}}, {{"misaligned", "a.det", true, false}}},
        CheckCase{"ProvisionalByAge",
                  {{"young.det", {{-kChunk, 256 * kKiB}}, 10},
                   {"old.det", {{-kChunk, 256 * kKiB}}, 700},
                   // Real extents besides a provisional one: not an abandoned allocation.
                   {"mixed.det", {{0, 256 * kKiB}, {-kChunk, 256 * kKiB}}, 700}},
                  {{"provisional", "mixed.det", true, false},
                   {"provisional", "old.det", true, true},
                   {"provisional", "young.det", false, false}}},
        // A dead writer's reservation after a minute, any after the limit; a writer in
        // another pid namespace looks dead, hence the minute.
        CheckCase{"ReservationsByWriterAndAge",
                  {{reservation_of(kDead), {{0, 256 * kKiB}}, 90},
                   {"r_" + std::to_string(kDead) + "000001000003.det", {{2 * kChunk, 256 * kKiB}}, 30},
                   {reservation_of(kAlive), {{4 * kChunk, 256 * kKiB}}, 90},
                   {"r_" + std::to_string(kAlive) + "000001000003.det", {{6 * kChunk, 256 * kKiB}}, 700},
                   {"r_42.det", {{8 * kChunk, 256 * kKiB}}, 90},
                   {"r_43.det", {{10 * kChunk, 256 * kKiB}}, 700}},
                  {{"reservation", reservation_of(kDead), true, true},
                   {"reservation", "r_43.det", true, true},
                   {"reservation", "r_" + std::to_string(kAlive) + "000001000003.det", false, false},
                   {"reservation", "r_" + std::to_string(kDead) + "000001000003.det", false, false},
                   {"reservation", reservation_of(kAlive), false, false},
                   {"reservation", "r_42.det", false, false}}}),
    [](const testing::TestParamInfo<CheckCase> &info) { return std::string(info.param.name); });

// Whatever the limit, a live writer's reservation, rewrite and allocation (its writer mark
// names it) are its own: repair with --stale-after 0 must not take them.
TEST_F(SmallVolume, LiveWritersFilesAtAnyAge) {
    write({reservation_of(kAlive), {{0, 256 * kKiB}}, 3600});
    write({".a.det." + std::to_string(kAlive) + ".0.tmp", {}, 3600});
    write({"p.det", {{-kChunk, 256 * kKiB}}, 3600});
    std::ofstream(path("p.det.writer")) << live_mark();
    kelvol::CheckLimits limits;
    limits.stale_after_seconds = 0;
    EXPECT_EQ(listed(findings(limits)), (std::set<Listed>{
                                            {"reservation", reservation_of(kAlive), false, false},
                                            {"temporary", ".a.det." + std::to_string(kAlive) + ".0.tmp", false, false},
                                            {"provisional", "p.det", false, false},
                                        }));
}

TEST_F(SmallVolume, TornUnreadableTemporariesAndTheLock) {
    std::ofstream(path("torn.det"), std::ios::binary) << std::string(17, 'x');
    // Too large to be a ".det" file: not read into memory.
    std::ofstream(path("huge.det")).close();
    ASSERT_EQ(truncate(path("huge.det").c_str(), int64_t{300} << 20), 0);
    std::ofstream(path(".a.det." + std::to_string(kDead) + ".0.tmp")).close();
    std::ofstream(path(".b.det." + std::to_string(kAlive) + ".1.tmp")).close();
    char lock[16];
    snprintf(lock, sizeof lock, "%08d\n", static_cast<int>(kDead));
    std::ofstream(path(".kellock")) << lock;
    ASSERT_EQ(chmod(path(".kellock").c_str(), 0644), 0);

    EXPECT_EQ(listed(findings()), (std::set<Listed>{
                                      {"torn", "torn.det", true, false},
                                      {"unreadable", "huge.det", true, false},
                                      {"temporary", ".a.det." + std::to_string(kDead) + ".0.tmp", true, true},
                                      {"stale-lock", ".kellock", true, true},
                                      {"lock-mode", ".kellock", true, false},
                                      {"temporary", ".b.det." + std::to_string(kAlive) + ".1.tmp", false, false},
                                  }));
}

// repair clears leftovers and what goes with them, never an overlap of data files.
TEST_F(SmallVolume, RepairPlanLeavesOverlapsOfDataFiles) {
    write({"a.det", {{0, 512 * kKiB}}});
    write({"b.det", {{kChunk, 256 * kKiB}}});          // overlaps a: stays
    write({"r_9.det", {{8 * kChunk, 256 * kKiB}}, 700});  // stale
    write({"c.det", {{9 * kChunk, 256 * kKiB}}});      // overlaps the stale reservation only
    ASSERT_EQ(chmod(path(".").c_str(), 0755), 0);
    std::ofstream(path(".kellock")) << "00000000\n";
    ASSERT_EQ(chmod(path(".kellock").c_str(), 0600), 0);

    const kelvol::RepairPlan plan = kelvol::plan_repair(findings());
    std::set<std::string> actions, remaining;
    for (const kelvol::Finding &f : plan.actions) actions.insert(std::string(kelvol::kind_name(f.kind)) + " " + f.path);
    for (const kelvol::Finding &f : plan.remaining) remaining.insert(std::string(kelvol::kind_name(f.kind)) + " " + f.path);
    EXPECT_TRUE(plan.takes_lock);
    // Taking the lock gives others read and write on it again.
    EXPECT_EQ(actions, (std::set<std::string>{"reservation " + path("r_9.det"), "lock-mode " + path(".kellock")}));
    EXPECT_EQ(remaining, (std::set<std::string>{"overlap " + path("a.det")}));
}

struct MapCase {
    const char *name;
    std::vector<StoredDetFile> files;
    int columns;
    std::string line;
};

void PrintTo(const MapCase &c, std::ostream *out) { *out << c.name; }

class Map : public SmallVolume, public testing::WithParamInterface<MapCase> {};

// With 16 columns each column is one chunk of every member.
TEST_P(Map, ColumnsPictureEachSliceOfTheMembers) {
    for (const StoredDetFile &stored : GetParam().files) write(stored);
    findings();
    const std::string line = kelvol::map_line(space_, GetParam().columns);
    EXPECT_EQ(line, GetParam().line);
    EXPECT_EQ(line.size(), static_cast<size_t>(GetParam().columns));
}

INSTANTIATE_TEST_SUITE_P(
    Volumes, Map,
    testing::Values(MapCase{"Empty", {}, 16, "................"},
                    // 256 KiB over 4 members is one chunk each; 1 byte still touches its column.
                    MapCase{"UsedAndProvisional",
                            {{"a.det", {{0, 256 * kKiB}, {5 * kChunk, 1}}}, {"r_1.det", {{2 * kChunk, 512 * kKiB}}}},
                            16, "#.~~.#.........."},
                    MapCase{"OverlapWins",
                            {{"a.det", {{0, 512 * kKiB}}}, {"b.det", {{kChunk, 512 * kKiB}}}}, 16, "#X#............."},
                    // 7 columns of 149796 or 149797 bytes: chunk 15 lies in the last one only.
                    MapCase{"ColumnsThatSplitChunks", {{"a.det", {{15 * kChunk, 256 * kKiB}}}}, 7, "......#"},
                    MapCase{"WholeVolume", {{"a.det", {{0, 4 * kMember}}}}, 3, "###"}),
    [](const testing::TestParamInfo<MapCase> &info) { return std::string(info.param.name); });

TEST_F(SmallVolume, UsageCountsDataFilesReservationsAndGaps) {
    write({"a.det", {{0, 256 * kKiB}, {4 * kChunk, 100}}});  // 100 bytes still hold a chunk
    write({"p.det", {{-kChunk, 256 * kKiB}}});                // provisional: no place yet
    write({"r_3.det", {{8 * kChunk, 512 * kKiB}}});           // two chunks
    scan_ = kelvol::scan_volume(volume_);
    const kelvol::Usage usage = kelvol::usage_of(volume_, scan_);
    EXPECT_EQ(usage.members, 4);
    EXPECT_EQ(usage.chunk_size, kChunk);
    EXPECT_EQ(usage.volume_size, 4 * kMember);
    EXPECT_EQ(usage.member_size, kMember);
    EXPECT_EQ(usage.used, 256 * kKiB + 100);
    EXPECT_EQ(usage.provisional, 256 * kKiB + 512 * kKiB);
    // Free chunks per member: 1-3, 5-7, 10-15.
    EXPECT_EQ(usage.free, (3 + 3 + 6) * kChunk * 4);
    EXPECT_EQ(usage.gaps, 3);
    EXPECT_EQ(usage.largest_request, 6 * kChunk * 4);
}

}  // namespace
