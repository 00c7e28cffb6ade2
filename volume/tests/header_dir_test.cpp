// The header-directory model: the state of every kind of ".det" file, the names of
// reservations, temporary files and the lock file, and what a scan passes over.
#include "header_dir.h"
#include "header_names.h"
#include "system_error.h"
#include "writer_mark.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class Directory {
public:
    Directory() {
        char pattern[] = "/tmp/kel_header_dir_XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~Directory() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A ".det" file written by the engine itself, so that the model reads the engine's format.
void write_entries(const std::string &path, const std::vector<DetEntry> &entries) {
    std::vector<int64_t> offsets, lengths;
    for (const DetEntry &entry : entries) {
        offsets.push_back(entry.offset);
        lengths.push_back(entry.length);
    }
    ASSERT_EQ(writeDet(path.c_str(), static_cast<int32_t>(entries.size()), offsets.data(), lengths.data()), 0);
}

void append_bytes(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::app | std::ios::binary) << bytes;
}

const kel::DetFile *find(const kel::HeaderDirScan &scan, const std::string &name) {
    for (const kel::DetFile &file : scan.det_files)
        if (file.name == name) return &file;
    return nullptr;
}

TEST(HeaderDirScan, StatesOfEveryKindOfDetFile) {
    Directory dir;
    write_entries(dir.file("empty.det"), {});
    write_entries(dir.file("two.det"), {{0, 1 << 20}, {1 << 20, 5}});
    write_entries(dir.file("half.det"), {{0, 100}, {-25, 100}});
    write_entries(dir.file("cut.det"), {{65536, 7}});
    append_bytes(dir.file("cut.det"), "x");
    write_entries(dir.file("r_1234000001000002.det"), {{-25, 100}});
    write_entries(dir.file("r_987654.det"), {{131072, 100}});

    struct Expected {
        const char *name;
        kel::DetState state;
        size_t entries;
        int64_t size;
        int64_t writer_pid;
    };
    const Expected expected[] = {
        {"empty", kel::DetState::ok, 0, 0, -1},
        {"two", kel::DetState::ok, 2, (1 << 20) + 5, -1},
        {"half", kel::DetState::provisional, 2, 200, -1},
        {"cut", kel::DetState::torn, 1, 7, -1},
        {"r_1234000001000002", kel::DetState::reservation, 1, 100, 1234},
        {"r_987654", kel::DetState::reservation, 1, 100, -1},
    };
    const kel::HeaderDirScan scan = kel::scan_header_dir(dir.path());
    ASSERT_EQ(scan.det_files.size(), std::size(expected));
    for (const Expected &e : expected) {
        const kel::DetFile *file = find(scan, e.name);
        ASSERT_NE(file, nullptr) << e.name;
        EXPECT_EQ(file->state, e.state) << e.name;
        EXPECT_EQ(file->entries.size(), e.entries) << e.name;
        EXPECT_EQ(file->size, e.size) << e.name;
        EXPECT_EQ(file->writer_pid, e.writer_pid) << e.name;
        EXPECT_EQ(file->path, dir.file(std::string(e.name) + ".det"));
        EXPECT_GT(file->mtime.tv_sec, 0) << e.name;
    }
    EXPECT_EQ(find(scan, "two")->entries[1].offset, 1 << 20);
    EXPECT_EQ(find(scan, "cut")->file_bytes, 17);
    EXPECT_STREQ(kel::state_name(kel::DetState::provisional), "provisional");
}

// A pid that no process holds: a child that was reaped.
int64_t reaped_pid() {
    const pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    return child;
}

TEST(HeaderDirScan, WriterMarksNameRecordingsAndInterruptedOnes) {
    Directory dir;
    const int64_t self = getpid();
    const uint64_t start = tio::process_start_ticks(self).value();
    const std::string boot = tio::current_boot_id();
    ASSERT_FALSE(boot.empty());
    const std::string other_boot = std::string(boot.size(), '0');
    const auto mark = [](const char *state, int64_t pid, uint64_t ticks, const std::string &boot_id) {
        return std::string(state) + " " + std::to_string(pid) + " " + std::to_string(ticks) + " " + boot_id + "\n";
    };
    struct Case {
        const char *name;
        std::string mark;  // empty: no mark
        kel::DetState state;
        int64_t writer_pid;
    };
    const Case cases[] = {
        {"unmarked", "", kel::DetState::ok, -1},
        {"live", mark("recording", self, start, boot), kel::DetState::recording, self},
        {"closed", mark("closed", self, start, boot), kel::DetState::interrupted, self},
        {"earlier_boot", mark("recording", self, start, other_boot), kel::DetState::interrupted, self},
        {"pid_reused", mark("recording", self, start + 1, boot), kel::DetState::interrupted, self},
        {"writer_gone", mark("recording", reaped_pid(), start, boot), kel::DetState::interrupted, -2},
        {"torn_mark", "recording 12", kel::DetState::interrupted, -1},
        {"empty_mark", "\n", kel::DetState::interrupted, -1},
    };
    for (const Case &c : cases) {
        write_entries(dir.file(std::string(c.name) + ".det"), {{0, 100}});
        if (!c.mark.empty()) append_bytes(dir.file(std::string(c.name) + ".det.writer"), c.mark);
    }
    append_bytes(dir.file("gone.det.writer"), mark("recording", self, start, boot));
    const kel::HeaderDirScan scan = kel::scan_header_dir(dir.path());
    ASSERT_EQ(scan.det_files.size(), std::size(cases));
    for (const Case &c : cases) {
        const kel::DetFile *file = find(scan, c.name);
        ASSERT_NE(file, nullptr) << c.name;
        EXPECT_EQ(file->state, c.state) << c.name;
        EXPECT_EQ(file->marked, !c.mark.empty()) << c.name;
        if (c.writer_pid != -2) {
            EXPECT_EQ(file->writer_pid, c.writer_pid) << c.name;
        }
    }
    // A mark without its ".det" file is listed on its own, with its writer.
    ASSERT_EQ(scan.orphan_marks.size(), 1u);
    EXPECT_EQ(scan.orphan_marks[0].det_name, "gone.det");
    EXPECT_EQ(scan.orphan_marks[0].pid, self);
    EXPECT_TRUE(scan.orphan_marks[0].writer_live);
    EXPECT_TRUE(kel::holds_recorded_data(kel::DetState::interrupted));
    EXPECT_FALSE(kel::holds_recorded_data(kel::DetState::provisional));
}

TEST(HeaderDirScan, PassesOverWhatIsNotARegularDetFileAndNeverBlocksOnAFifo) {
    Directory dir;
    write_entries(dir.file("real.det"), {{0, 10}});
    ASSERT_EQ(mkdir(dir.file("folder.det").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(dir.file("pipe.det").c_str(), 0644), 0);
    write_entries(dir.file("notes.txt"), {{0, 10}});
    write_entries(dir.file(".det"), {{0, 10}});
    ASSERT_EQ(symlink(dir.file("real.det").c_str(), dir.file("link.det").c_str()), 0);

    const kel::HeaderDirScan scan = kel::scan_header_dir(dir.path());
    std::vector<std::string> names;
    for (const kel::DetFile &file : scan.det_files) names.push_back(file.name);
    EXPECT_EQ(names, (std::vector<std::string>{"link", "real"}));
    EXPECT_TRUE(scan.temporaries.empty());
    EXPECT_FALSE(scan.lock.present);
}

TEST(HeaderDirScan, ADetFileThatCannotBeReadIsUnreadableWithTheSystemsReason) {
    Directory dir;
    write_entries(dir.file("secret.det"), {{0, 10}});
    ASSERT_EQ(chmod(dir.file("secret.det").c_str(), 0), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    // Root reads any file, so the scan runs as an unprivileged user in a child.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(getuid() == 0 ? 3 : 4);
        const kel::DetFile file = kel::read_det_file(dir.file("secret.det"));
        _exit(file.state == kel::DetState::unreadable && file.error == strerror(EACCES) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 3 || geteuid() != 0) GTEST_SKIP() << "cannot drop privileges here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(HeaderDirScan, FindsTemporaryRewriteFilesAndTheLockFile) {
    Directory dir;
    write_entries(dir.file(".rec.det.4321.7.tmp"), {{0, 10}});
    write_entries(dir.file(".rec.det.x.7.tmp"), {{0, 10}});
    std::ofstream(dir.file(".kellock")) << "00004321\n";
    ASSERT_EQ(chmod(dir.file(".kellock").c_str(), 0644), 0);

    const kel::HeaderDirScan scan = kel::scan_header_dir(dir.path());
    ASSERT_EQ(scan.temporaries.size(), 1u);
    EXPECT_EQ(scan.temporaries[0].path, dir.file(".rec.det.4321.7.tmp"));
    EXPECT_EQ(scan.temporaries[0].det_name, "rec.det");
    EXPECT_EQ(scan.temporaries[0].pid, 4321);
    EXPECT_TRUE(scan.det_files.empty());
    EXPECT_TRUE(scan.lock.present);
    EXPECT_EQ(scan.lock.holder, 4321);
    EXPECT_EQ(scan.lock.mode, 0644u);
    EXPECT_EQ(scan.lock.content, "00004321\n");
}

TEST(HeaderDirScan, ADirectoryThatCannotBeListedIsAnErrorNamingIt) {
    try {
        kel::scan_header_dir("/nonexistent/headers");
        FAIL() << "no error";
    } catch (const kel::SystemError &error) {
        EXPECT_NE(std::string(error.what()).find("/nonexistent/headers"), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find(strerror(ENOENT)), std::string::npos) << error.what();
    }
}

TEST(HeaderDirNames, DataFileNamesAndPaths) {
    EXPECT_EQ(kel::det_path_of("/h", "rec"), "/h/rec.det");
    EXPECT_EQ(kel::det_path_of("/h", "./rec.det"), "./rec.det");
    EXPECT_EQ(kel::det_path_of("/h", "/other/x.det"), "/other/x.det");
    EXPECT_EQ(tio::data_file_name("rec.det"), "rec");
    EXPECT_FALSE(tio::is_det_name(".det"));
    EXPECT_TRUE(tio::is_det_name("a.det"));
}

TEST(HeaderDirNames, ReservationWritersAreKnownOnlyFromThisEnginesNames) {
    const struct {
        const char *name;
        int64_t pid;
    } cases[] = {
        {"r_1000001000002.det", 1},            // pid 1, then 12 digits
        {"r_4194304123456654321.det", 4194304},
        {"r_000001000002.det", -1},            // 12 digits: no pid
        {"r_12345.det", -1},                   // a plain number
        {"r_0123456789012.det", -1},           // pid 0 is nobody
        {"r_12a456789012345.det", -1},
        {"x_1234123456123456.det", -1},
        {"r_1234123456123456.tmp", -1},
    };
    for (const auto &c : cases) EXPECT_EQ(tio::reservation_writer_pid(c.name), c.pid) << c.name;
    EXPECT_EQ(tio::reservation_name(4321, 1765000123, 1000007), "r_4321000123000007.det");
    EXPECT_EQ(tio::reservation_writer_pid(tio::reservation_name(4321, 7, 8)), 4321);
}

TEST(HeaderDirNames, TemporaryNamesCarryTheDetFileAndThePid) {
    const std::string name = tio::temporary_name("rec.det", 77, 3);
    const auto parsed = tio::parse_temporary_name(name);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->det_name, "rec.det");
    EXPECT_EQ(parsed->pid, 77);
    for (const char *name : {"rec.det.77.3.tmp", ".rec.det.77.tmp", "..77.3.tmp", ".rec.det.0.3.tmp", ".rec.det.77.3"})
        EXPECT_FALSE(tio::parse_temporary_name(name).has_value()) << name;
    EXPECT_EQ(tio::temporary_name(std::string(300, 'a'), 1, 2).size(), 1 + 128 + 4 + 4);
}

TEST(HeaderDirNames, LockHoldersAsTheProtocolReadsThem) {
    const struct {
        const char *content;
        int64_t holder;
    } cases[] = {{"00001234\n", 1234}, {"00000000\n", 0}, {"", 0},          {"  42", 42},
                 {"-0000017\n", -17},  {"garbage", 0},    {"+7\n", 7}};
    for (const auto &c : cases) EXPECT_EQ(tio::lock_holder_of(c.content), c.holder) << c.content;
    EXPECT_TRUE(tio::process_alive(getpid()));
    EXPECT_FALSE(tio::process_alive(0));
    EXPECT_FALSE(tio::process_alive(-5));
}

}  // namespace
