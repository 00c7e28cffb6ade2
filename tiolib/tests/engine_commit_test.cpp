// The commit points of a recording: what tio_finalize_det and tio_close make durable, that a
// failed sync is never turned into a success, the writer marks that name a recording until
// its finalisation commits, and members that are never created or taken twice.
#include "durable.h"
#include "handles.h"
#include "header_dir.h"
#include "output_capture.h"
#include "pattern.h"
#include "striped_volume.h"
#include "writer_mark.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace tio_test;

namespace {

// Replaces the engine's member sync for one test: counts the members synced and makes the
// sync of chosen members fail with EIO. Only descriptors of the members are seen.
class SyncSpy {
public:
    SyncSpy() {
        instance_ = this;
        tio::member_sync = &SyncSpy::sync;
    }
    ~SyncSpy() {
        tio::member_sync = ::fdatasync;
        instance_ = nullptr;
    }
    void fail_member(const std::string &path) { failing_.insert(identity(path)); }
    void heal() { failing_.clear(); }
    int synced() const { return synced_.load(); }
    void reset_count() { synced_ = 0; }

private:
    static std::pair<dev_t, ino_t> identity(const std::string &path) {
        struct stat info {};
        stat(path.c_str(), &info);
        return {info.st_dev, info.st_ino};
    }
    static int sync(int fd) {
        struct stat info {};
        fstat(fd, &info);
        ++instance_->synced_;
        if (instance_->failing_.count({info.st_dev, info.st_ino})) {
            errno = EIO;
            return -1;
        }
        return ::fdatasync(fd);
    }
    static inline SyncSpy *instance_ = nullptr;
    std::set<std::pair<dev_t, ino_t>> failing_;
    std::atomic<int> synced_{0};
};

// A recording in progress on a four-member volume: its ".det" file allocated, positioned,
// and `bytes` of a pattern written.
struct Recording {
    Recording(const ScratchDir &dir, int64_t bytes)
        : volume(dir, Geometry{.members = 4, .workers = 2}), det_path(dir.file("rec.det")),
          stream(kel::pattern_bytes(7, bytes)) {
        std::string why;
        handle = open_engine(volume.config_path(), 1, &why);
        EXPECT_TRUE(handle) << why;
        if (!handle) return;
        offset = tio_write_det(handle.get(), det_path.c_str(), bytes);
        EXPECT_GE(offset, 0);
        EXPECT_EQ(tio_set_offset(handle.get(), offset), 0);
        EXPECT_EQ(tio_write(handle.get(), stream.data(), bytes), bytes);
    }
    StripedVolume volume;
    std::string det_path;
    std::vector<uint8_t> stream;
    Handle handle;
    int64_t offset = -1;
};

std::string read_text(const std::string &path) {
    const std::vector<uint8_t> bytes = read_all(path);
    return std::string(bytes.begin(), bytes.end());
}

kel::DetState state_of(const std::string &det_path) { return kel::read_det_file(det_path).state; }

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

}  // namespace

TEST(Commit, FinalisationSyncsEveryWrittenMemberAndRemovesTheMark) {
    ScratchDir dir;
    SyncSpy spy;
    Recording recording(dir, 3 * 4096 * 4 + 100);
    ASSERT_TRUE(recording.handle);
    const std::string mark = tio::writer_mark_path(recording.det_path);
    const auto written = tio::parse_writer_mark(read_text(mark));
    ASSERT_TRUE(written) << read_text(mark);
    EXPECT_EQ(written->pid, getpid());
    EXPECT_FALSE(written->closed);
    EXPECT_EQ(state_of(recording.det_path), kel::DetState::recording);
    EXPECT_EQ(spy.synced(), 0) << "tio_write and tio_wait_threads do not sync";
    EXPECT_EQ(tio_wait_threads(recording.handle.get()), 0);
    EXPECT_EQ(spy.synced(), 0);

    EXPECT_EQ(tio_finalize_det(recording.handle.get(), recording.det_path.c_str(), 1000), 3 * 4096 * 4 + 100 - 1000);
    EXPECT_EQ(spy.synced(), 4);
    EXPECT_FALSE(exists(mark));
    EXPECT_EQ(state_of(recording.det_path), kel::DetState::ok);
    // Nothing written since: a second finalisation and the close sync nothing again.
    EXPECT_GE(tio_finalize_det(recording.handle.get(), recording.det_path.c_str(), 900), 0);
    EXPECT_EQ(recording.handle.close(), 0);
    EXPECT_EQ(spy.synced(), 4);
}

TEST(Commit, CloseSyncsWhatWasNotFinalisedAndLeavesTheRecordingInterrupted) {
    ScratchDir dir;
    SyncSpy spy;
    Recording recording(dir, 5 * 4096);
    ASSERT_TRUE(recording.handle);
    EXPECT_EQ(recording.handle.close(), 0);
    EXPECT_EQ(spy.synced(), 4);
    const auto closed = tio::parse_writer_mark(read_text(tio::writer_mark_path(recording.det_path)));
    ASSERT_TRUE(closed);
    EXPECT_TRUE(closed->closed);
    EXPECT_EQ(state_of(recording.det_path), kel::DetState::interrupted);
}

// Linux reports a failed writeback once: the sync that follows succeeds although the data
// never reached the disk. The handle must not be fooled by that second sync.
TEST(Commit, AFailedSyncFailsEveryLaterFinalisationAndTheClose) {
    ScratchDir dir;
    SyncSpy spy;
    Recording recording(dir, 9 * 4096);
    ASSERT_TRUE(recording.handle);
    const std::vector<uint8_t> det_before = read_all(recording.det_path);
    spy.fail_member(recording.volume.member_path(2));

    StdoutCapture capture;
    const int64_t first = tio_finalize_det(recording.handle.get(), recording.det_path.c_str(), 9 * 4096);
    std::string printed = capture.finish();
    EXPECT_LT(first, 0);
    EXPECT_EQ(count_error_lines(printed), 1) << printed;
    EXPECT_NE(printed.find(recording.volume.member_path(2)), std::string::npos) << printed;
    EXPECT_NE(printed.find(strerror(EIO)), std::string::npos) << printed;
    EXPECT_EQ(read_all(recording.det_path), det_before);
    EXPECT_TRUE(exists(tio::writer_mark_path(recording.det_path)));

    spy.heal();
    StdoutCapture again;
    EXPECT_LT(tio_finalize_det(recording.handle.get(), recording.det_path.c_str(), 9 * 4096), 0);
    printed = again.finish();
    EXPECT_EQ(count_error_lines(printed), 1) << printed;
    EXPECT_EQ(read_all(recording.det_path), det_before);
    StdoutCapture closing;
    EXPECT_EQ(recording.handle.close(), -1);
    EXPECT_EQ(count_error_lines(closing.finish()), 1);
    EXPECT_EQ(state_of(recording.det_path), kel::DetState::interrupted);
}

TEST(Commit, AFailedSyncAtCloseFailsTheClose) {
    ScratchDir dir;
    SyncSpy spy;
    Recording recording(dir, 2 * 4096);
    ASSERT_TRUE(recording.handle);
    spy.fail_member(recording.volume.member_path(0));
    StdoutCapture capture;
    EXPECT_EQ(recording.handle.close(), -1);
    const std::string printed = capture.finish();
    EXPECT_EQ(count_error_lines(printed), 1) << printed;
    EXPECT_NE(printed.find(recording.volume.member_path(0)), std::string::npos) << printed;
}

TEST(Marks, UpdatesKeepTheMarkAndAFailedAllocationLeavesNone) {
    ScratchDir dir;
    StripedVolume volume(dir, Geometry{.members = 4, .workers = 2});
    std::string why;
    Handle handle = open_engine(volume.config_path(), 1, &why);
    ASSERT_TRUE(handle) << why;
    const std::string det = dir.file("grown.det");
    ASSERT_GE(tio_write_det(handle.get(), det.c_str(), 4 * 4096), 0);
    ASSERT_GE(tio_finalize_det(handle.get(), det.c_str(), 4 * 4096), 0);
    EXPECT_FALSE(exists(tio::writer_mark_path(det)));
    // Growing a finalised recording marks it again until its next finalisation.
    ASSERT_GE(tio_update_det(handle.get(), det.c_str(), 4 * 4096), 0);
    EXPECT_EQ(state_of(det), kel::DetState::recording);
    ASSERT_GE(tio_finalize_det(handle.get(), det.c_str(), 8 * 4096), 0);
    EXPECT_EQ(state_of(det), kel::DetState::ok);

    const std::string too_big = dir.file("too_big.det");
    StdoutCapture capture;
    EXPECT_EQ(tio_write_det(handle.get(), too_big.c_str(), int64_t(1) << 40), -1);
    capture.finish();
    EXPECT_FALSE(exists(tio::writer_mark_path(too_big)));
    EXPECT_EQ(handle.close(), 0);
}

TEST(Members, AMissingMemberIsRefusedAndNeverCreated) {
    ScratchDir dir;
    StripedVolume volume(dir, Geometry{.members = 4, .workers = 2});
    ASSERT_EQ(unlink(volume.member_path(2).c_str()), 0);
    for (int direction : {1, -1}) {
        Handle handle(tio_open());
        ASSERT_EQ(tio_set_config(handle.get(), volume.config_path().c_str()), 0);
        ASSERT_EQ(tio_set_dir(handle.get(), direction), 0);
        StdoutCapture capture;
        EXPECT_EQ(tio_init(handle.get()), -1);
        const std::string printed = capture.finish();
        EXPECT_EQ(count_error_lines(printed), 1) << printed;
        EXPECT_NE(printed.find(volume.member_path(2)), std::string::npos) << printed;
        EXPECT_FALSE(exists(volume.member_path(2)));
    }
}

TEST(Members, OneFileUnderTwoNamesIsRefused) {
    ScratchDir dir;
    const std::string real = dir.file("real");
    kel::make_sparse_file(real, 0);
    struct Alias {
        const char *what;
        int (*make)(const char *, const char *);
    };
    const Alias aliases[] = {{"symbolic link", ::symlink}, {"hard link", ::link}};
    for (const Alias &alias : aliases) {
        SCOPED_TRACE(alias.what);
        const std::string name = dir.file(std::string("alias_") + (alias.make == ::link ? "hard" : "soft"));
        ASSERT_EQ(alias.make(real.c_str(), name.c_str()), 0);
        std::vector<std::string> members{real, dir.file("m1"), name, dir.file("m3")};
        kel::make_sparse_file(members[1], 0);
        kel::make_sparse_file(members[3], 0);
        StripedVolume volume(dir, Geometry{.members = 4, .workers = 2}, members);
        Handle handle(tio_open());
        StdoutCapture capture;
        EXPECT_EQ(tio_set_config(handle.get(), volume.config_path().c_str()), -5);
        const std::string printed = capture.finish();
        EXPECT_NE(printed.find("one file under two names"), std::string::npos) << printed;
        EXPECT_EQ(count_error_lines(printed), 1) << printed;
    }
}

TEST(Configuration, AFifoIsRefusedAtOnce) {
    ScratchDir dir;
    const std::string fifo = dir.file("volume.conf");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    std::atomic<bool> returned{false};
    int32_t result = 0;
    std::thread caller([&] {
        Handle handle(tio_open());
        StdoutCapture capture;
        result = tio_set_config(handle.get(), fifo.c_str());
        capture.finish();
        returned = true;
    });
    for (int waited = 0; waited < 100 && !returned; ++waited) usleep(50 * 1000);
    const bool returned_in_time = returned.load();
    // A caller still blocked in the open is released by a writer, so that the test ends.
    for (int tries = 0; !returned && tries < 100; ++tries) {
        const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0) close(writer);
        usleep(10 * 1000);
    }
    caller.join();
    EXPECT_TRUE(returned_in_time) << "tio_set_config waited on a FIFO";
    EXPECT_EQ(result, -1);
}
