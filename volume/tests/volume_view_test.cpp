// The view of a volume: a configuration it cannot use is refused with one line that says
// why (the engine's own message where it has one, nothing printed by the engine), the
// attributes of its directory and files, and the numbers of its files, each standing for
// one recording.
#include "volume_view.h"

#include "det_internal.h"
#include "files.h"
#include "output_capture.h"
#include "striped_volume.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using tio_test::Geometry;
using tio_test::ScratchDir;
using tio_test::StripedVolume;

const Geometry kGeometry{.members = 2, .chunk_sectors = 8, .workers = 1};

// The reason a view of the configuration is refused; "" when it is accepted.
std::string refusal(const std::string &config_path, std::string *printed) {
    tio_test::StdoutCapture capture;
    std::string reason;
    try {
        kel::VolumeView view(config_path, 0ms);
    } catch (const std::exception &error) {
        reason = error.what();
    }
    *printed = capture.finish();
    return reason;
}

// A volume of two member files of 1 MiB whose header directory is the scratch directory.
class VolumeViewTest : public testing::Test {
protected:
    VolumeViewTest() : volume(dir, kGeometry) {
        for (int m = 0; m < 2; ++m) kel::make_sparse_file(volume.member_path(m), 1 << 20);
    }
    ScratchDir dir;
    StripedVolume volume;
};

TEST_F(VolumeViewTest, RefusesAnUnusableConfigurationWithOneLineThatSaysWhy) {
    const std::string table = volume.table_path();
    const auto config_with = [&](const std::string &name, kel::VolumeConfig config) {
        const std::string path = dir.file(name);
        kel::write_config_file(path, config);
        return path;
    };
    const kel::VolumeConfig usable = tio_test::volume_config(dir.path(), table, 1);
    kel::VolumeConfig no_table = usable, not_raid = usable, no_headers = usable, bad_table = usable,
                      missing_member = usable;
    no_table.table_path = dir.file("no.table");
    not_raid.type = "RAMD";
    no_headers.header_dir = dir.file("no-headers");
    bad_table.table_path = dir.file("bad.table");
    kel::write_text_file(bad_table.table_path, "0 2048 striped 0 8\n");
    missing_member.table_path = dir.file("missing.table");
    kel::write_text_file(missing_member.table_path, "0 4096 striped 2 8 " + volume.member_path(0) + " 0 " +
                                                        dir.file("gone") + " 0\n");
    kel::write_text_file(dir.file("incomplete.conf"), "TYPE=RAID VKPATH=" + dir.path() + "\n");
    ASSERT_EQ(mkfifo(dir.file("fifo.conf").c_str(), 0644), 0);

    const struct {
        std::string config;
        std::string reason;
    } cases[] = {
        {dir.file("missing.conf"), dir.file("missing.conf") + ": Error! Error reading configuration file: " +
                                       dir.file("missing.conf") + "!"},
        {dir.file("incomplete.conf"), "Error! Missing field(s)! Configuration file must contain the following entries: "
                                      "TYPE=<RAMD|RAID> VKPATH="},
        {config_with("no-table.conf", no_table), ": Error! Could not open device table " + dir.file("no.table") +
                                                      ": No such file or directory"},
        {config_with("bad-table.conf", bad_table), ": Error! Unusable device table " + dir.file("bad.table")},
        {config_with("not-raid.conf", not_raid), "not-raid.conf: it names no member devices (its TYPE is not RAID)"},
        // The engine would wait for a writer for ever, and read a directory as empty.
        {dir.file("fifo.conf"), dir.file("fifo.conf") + ": configuration file is not a regular file"},
        {dir.path(), dir.path() + ": configuration file is not a regular file"},
        {config_with("missing-member.conf", missing_member), "open(" + dir.file("gone") +
                                                                 ") failed: No such file or directory"},
        {config_with("no-headers.conf", no_headers), "opendir(" + dir.file("no-headers") + ") failed"},
    };
    for (const auto &c : cases) {
        std::string printed;
        const std::string reason = refusal(c.config, &printed);
        EXPECT_NE(reason.find(c.reason), std::string::npos) << c.config << ": " << reason;
        EXPECT_EQ(reason.find('\n'), std::string::npos) << reason;
        EXPECT_EQ(printed, "") << "the engine's messages belong in the reason";
    }
    std::string printed;
    EXPECT_EQ(refusal(volume.config_path(), &printed), "");
}

TEST_F(VolumeViewTest, ShowsReadOnlyFilesOfTheRecordedSizeAndTheDetFilesTime) {
    const int64_t offsets[] = {0, 65536}, lengths[] = {4096, 100};
    ASSERT_EQ(writeDet(dir.file("movie.det").c_str(), 2, offsets, lengths), 0);
    kel::VolumeView view(volume.config_path(), 0ms);

    uint64_t number = 0;
    struct stat file;
    ASSERT_EQ(view.look_up("movie", number, file), 0);
    struct stat det;
    ASSERT_EQ(stat(dir.file("movie.det").c_str(), &det), 0);
    EXPECT_EQ(file.st_mode, S_IFREG | 0444);
    EXPECT_EQ(file.st_size, 4196);
    EXPECT_EQ(file.st_ino, number);
    EXPECT_NE(number, kel::VolumeView::kDirectory);
    EXPECT_EQ(file.st_mtim.tv_sec, det.st_mtim.tv_sec);
    EXPECT_EQ(file.st_mtim.tv_nsec, det.st_mtim.tv_nsec);
    struct stat directory;
    ASSERT_EQ(view.attributes(kel::VolumeView::kDirectory, directory), 0);
    EXPECT_EQ(directory.st_mode, S_IFDIR | 0555);
    EXPECT_EQ(directory.st_ino, kel::VolumeView::kDirectory);
    EXPECT_EQ(view.look_up("missing", number, file), -ENOENT);
}

// A number stands for one recording: it follows the recording as the engine grows it (a
// new ".det" file renamed over the old), and fails with ESTALE once the name holds another
// recording, which is looked up under a new number. Reads check afterwards that their
// recording was still there.
TEST_F(VolumeViewTest, ANumberServesItsRecordingOrFails) {
    const int64_t offsets[] = {0}, lengths[] = {4096};
    ASSERT_EQ(writeDet(dir.file("movie.det").c_str(), 1, offsets, lengths), 0);
    kel::VolumeView view(volume.config_path(), 0ms);
    uint64_t number = 0;
    struct stat attributes;
    ASSERT_EQ(view.look_up("movie", number, attributes), 0);
    std::shared_ptr<kel::Recording> recording;
    ASSERT_EQ(view.open(number, recording), 0);
    EXPECT_EQ(view.open(kel::VolumeView::kDirectory, recording), -EISDIR);
    ASSERT_EQ(view.open(number, recording), 0);

    ASSERT_EQ(tio::rewrite_det_atomic(dir.file("movie.det").c_str(), {{0, 4096}, {65536, 5000}}), 0);
    ASSERT_EQ(view.attributes(number, attributes), 0);
    EXPECT_EQ(attributes.st_size, 9096);
    uint64_t again = 0;
    ASSERT_EQ(view.look_up("movie", again, attributes), 0);
    EXPECT_EQ(again, number) << "grown, it is the same recording";
    const auto take_all = [](const std::vector<kel::ReadPiece> &, int64_t bytes) { return bytes; };
    EXPECT_EQ(view.read(*recording, 100, 20000, take_all), 8996);
    EXPECT_EQ(view.read(*recording, 9096, 10, take_all), 0);

    // Removed and recorded again at the same place while bytes are on their way.
    const auto replace_meanwhile = [&](const std::vector<kel::ReadPiece> &, int64_t bytes) {
        EXPECT_EQ(unlink(dir.file("movie.det").c_str()), 0);
        EXPECT_EQ(writeDet(dir.file("movie.det").c_str(), 1, offsets, lengths), 0);
        return bytes;
    };
    EXPECT_EQ(view.read(*recording, 0, 4096, replace_meanwhile), -ESTALE);
    EXPECT_EQ(view.read(*recording, 0, 10, take_all), -ESTALE);
    EXPECT_EQ(view.attributes(number, attributes), -ESTALE);
    EXPECT_EQ(view.open(number, recording), -ESTALE);
    uint64_t replacement = 0;
    ASSERT_EQ(view.look_up("movie", replacement, attributes), 0);
    EXPECT_GT(replacement, number) << "another recording, a number never given before";
    EXPECT_EQ(attributes.st_size, 4096);

    const auto failing = [](const std::vector<kel::ReadPiece> &, int64_t) -> int64_t { return -EIO; };
    ASSERT_EQ(view.open(replacement, recording), 0);
    EXPECT_EQ(view.read(*recording, 0, 4096, failing), -EIO);

    // A number lives while the kernel holds lookups of it.
    view.forget(number, 2);
    EXPECT_EQ(view.attributes(number, attributes), -ENOENT);
    view.forget(replacement, 1);
    EXPECT_EQ(view.attributes(replacement, attributes), -ENOENT);
    EXPECT_EQ(view.read(*recording, 0, 4096, take_all), 4096) << "an open file keeps its recording";
}

}  // namespace
