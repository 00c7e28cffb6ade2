// The data files a reader may open: only ".det" files in state ok whose names can be file
// names, listed again once the listing is older than its age, the previous listing kept
// while the directory cannot be listed; a recording is followed as the engine grows it
// and given up once it is removed or replaced.
#include "data_file_catalog.h"

#include "det_fixture.h"
#include "files.h"
#include "system_error.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using tio_test::ScratchDir;

using det_fixture::writeEntries;

std::vector<std::string> names(const kel::DataFileListing &listing) {
    std::vector<std::string> result;
    for (const auto &entry : listing.files) result.push_back(entry.first);
    return result;
}

TEST(DataFileCatalog, ListsOnlyDataFilesInStateOkUnderNamesAFileCanHave) {
    ScratchDir dir;
    writeEntries(dir.file("movie.det"), {{0, 1000}, {65536, 24}});
    writeEntries(dir.file("empty.det"), {});
    writeEntries(dir.file("growing.det"), {{0, 100}, {-6, 24}});  // an allocation in progress
    writeEntries(dir.file("r_1234000001000002.det"), {{131072, 100}});
    writeEntries(dir.file("torn.det"), {{0, 100}});
    std::ofstream(dir.file("torn.det"), std::ios::app) << "x";
    writeEntries(dir.file("..det"), {{0, 10}});   // its data file would be "."
    writeEntries(dir.file("...det"), {{0, 10}});  // and ".."
    writeEntries(dir.file(".movie.det.77.1.tmp"), {{0, 10}});
    ASSERT_EQ(mkdir(dir.file("folder.det").c_str(), 0755), 0);

    kel::DataFileCatalog catalog(dir.path(), 1h);
    const auto listing = catalog.listing();
    EXPECT_EQ(names(*listing), (std::vector<std::string>{"empty", "movie"}));
    const auto movie = catalog.find("movie");
    ASSERT_TRUE(movie);
    EXPECT_EQ(movie->extents.size, 1024);
    struct stat info;
    ASSERT_EQ(stat(dir.file("movie.det").c_str(), &info), 0);
    EXPECT_EQ(movie->mtime.tv_sec, info.st_mtim.tv_sec);
    EXPECT_EQ(movie->mtime.tv_nsec, info.st_mtim.tv_nsec);
    EXPECT_EQ(catalog.find("empty")->extents.size, 0);
    for (const char *hidden : {"growing", "r_1234000001000002", "torn", ".", "..", "folder", "movie.det", ""})
        EXPECT_FALSE(catalog.find(hidden)) << hidden;
}

TEST(DataFileCatalog, ListsAgainOnlyOnceTheListingIsOlderThanItsAge) {
    ScratchDir dir;
    writeEntries(dir.file("first.det"), {{0, 10}});
    kel::DataFileCatalog patient(dir.path(), 1h), eager(dir.path(), 0ms);
    writeEntries(dir.file("second.det"), {{65536, 10}});
    writeEntries(dir.file("first.det"), {{0, 10}, {131072, 5}});
    EXPECT_FALSE(patient.find("second")) << "listed less than an hour ago";
    EXPECT_EQ(patient.find("first")->extents.size, 10);
    ASSERT_TRUE(eager.find("second"));
    EXPECT_EQ(eager.find("first")->extents.size, 15);
}

TEST(DataFileCatalog, KeepsThePreviousListingWhileTheDirectoryCannotBeListed) {
    ScratchDir dir;
    const std::string headers = dir.file("headers");
    ASSERT_EQ(mkdir(headers.c_str(), 0755), 0);
    writeEntries(headers + "/kept.det", {{0, 10}});
    kel::DataFileCatalog catalog(headers, 0ms);
    ASSERT_EQ(std::rename(headers.c_str(), dir.file("away").c_str()), 0);
    EXPECT_EQ(names(*catalog.listing()), std::vector<std::string>{"kept"});
    ASSERT_EQ(std::rename(dir.file("away").c_str(), headers.c_str()), 0);
    writeEntries(headers + "/new.det", {{65536, 10}});
    EXPECT_EQ(names(*catalog.listing()), (std::vector<std::string>{"kept", "new"}));

    EXPECT_THROW(kel::DataFileCatalog(dir.file("missing"), 0ms), kel::SystemError);
}

TEST(DataFile, IsContinuedByItsGrowthAndFinalisationOnly) {
    const auto file = [](std::vector<DetEntry> entries) {
        return kel::DataFile{"movie", {}, kel::data_file_extents(std::move(entries))};
    };
    const kel::DataFile opened = file({{65536, 100}});
    EXPECT_TRUE(opened.continued_by(file({{65536, 100}, {131072, 100}})));
    EXPECT_TRUE(opened.continued_by(file({{65536, 40}})));
    EXPECT_FALSE(opened.continued_by(file({{0, 100}})));

    const kel::DataFile grown = file({{0, 100}, {65536, 100}});
    const struct {
        const char *what;
        std::vector<DetEntry> later;
        bool continued;
    } cases[] = {
        {"unchanged", {{0, 100}, {65536, 100}}, true},
        {"the last extent merged with a new one", {{0, 100}, {65536, 300}}, true},
        {"finalised shorter", {{0, 100}, {65536, 7}}, true},
        {"an extent added", {{0, 100}, {65536, 100}, {262144, 50}}, true},
        {"the last extent dropped", {{0, 100}}, false},
        {"an earlier extent changed", {{0, 90}, {65536, 100}}, false},
        {"the last extent moved", {{0, 100}, {131072, 100}}, false},
        {"empty", {}, false},
    };
    for (const auto &c : cases) EXPECT_EQ(grown.continued_by(file(c.later)), c.continued) << c.what;
    EXPECT_TRUE(file({}).continued_by(grown)) << "an empty file is continued by anything";
}

// Recordings found in a header directory whose ".det" files the engine itself writes: a
// volume of 4 members with 64 KiB chunks, 64 MiB each.
class RecordingTest : public testing::Test {
protected:
    RecordingTest() : props(det_fixture::makeProps(dir.path())), catalog(dir.path(), 0ms) {}

    std::string det(const std::string &name) const { return dir.file(name + ".det"); }
    int64_t record(const std::string &name, int64_t size) { return writeDetLock(props.get(), det(name).c_str(), size); }
    int64_t size_of(kel::Recording &file) { return file.current() ? file.current()->extents.size : -1; }

    ScratchDir dir;
    std::unique_ptr<FsProps> props;
    kel::DataFileCatalog catalog;
};

TEST_F(RecordingTest, FollowsItsRecordingAsTheEngineGrowsAndFinalisesIt) {
    ASSERT_EQ(record("movie", 1 << 20), 0);
    const auto movie = catalog.recording("movie");
    ASSERT_TRUE(movie);
    EXPECT_EQ(size_of(*movie), 1 << 20);
    ASSERT_GE(updateDet(props.get(), det("movie").c_str(), 1 << 20), 0);  // an extent added in place
    EXPECT_EQ(size_of(*movie), 2 << 20);
    ASSERT_GE(updateDet(props.get(), det("movie").c_str(), 4 << 20), 0);
    ASSERT_GE(finalizeDet(props.get(), det("movie").c_str(), (6 << 20) - 5), 0);
    EXPECT_EQ(size_of(*movie), (6 << 20) - 5);
    // Another recording coming and going changes nothing for it.
    ASSERT_GE(record("other", 1000), 0);
    ASSERT_EQ(unlink(det("other").c_str()), 0);
    EXPECT_EQ(size_of(*movie), (6 << 20) - 5);

    EXPECT_FALSE(catalog.recording("missing"));
    EXPECT_FALSE(catalog.recording("../movie"));
    ASSERT_EQ(mkfifo(det("fifo").c_str(), 0644), 0);
    EXPECT_FALSE(catalog.recording("fifo"));
}

TEST_F(RecordingTest, IsGivenUpOnceItsRecordingIsRemovedOrReplaced) {
    const auto remove = [&] { ASSERT_EQ(unlink(det("movie").c_str()), 0); };
    const struct {
        const char *what;
        std::function<void()> change;
    } cases[] = {
        {"removed", remove},
        {"removed and recorded again in its place", [&] { remove(); ASSERT_EQ(record("movie", 3 << 20), 0); }},
        {"recorded again over its .det file", [&] { ASSERT_EQ(record("movie", 3 << 20), 0); }},
        // The engine adds an update's extent in place: a write in place that keeps the
        // earlier extents is growth, one that does not is another recording.
        {"written again in place elsewhere", [&] { writeEntries(det("movie"), {{4 << 20, 1 << 20}}); }},
        {"another .det file renamed over it",
         [&] {
             ASSERT_GE(record("other", 1 << 20), 0);
             ASSERT_EQ(rename(det("other").c_str(), det("movie").c_str()), 0);
         }},
        {"renamed away and back", [&] {
             ASSERT_EQ(rename(det("movie").c_str(), det("away").c_str()), 0);
             ASSERT_EQ(rename(det("away").c_str(), det("movie").c_str()), 0);
         }},
    };
    for (const auto &c : cases) {
        unlink(det("movie").c_str());
        ASSERT_EQ(record("movie", 1 << 20), 0) << c.what;
        const auto movie = catalog.recording("movie");
        ASSERT_TRUE(movie) << c.what;
        ASSERT_EQ(size_of(*movie), 1 << 20) << c.what;
        c.change();
        EXPECT_EQ(movie->current(), nullptr) << c.what;
        if (access(det("movie").c_str(), F_OK) != 0) {
            ASSERT_GE(record("movie", 1 << 20), 0) << c.what;
        }
        ASSERT_GE(updateDet(props.get(), det("movie").c_str(), 1 << 20), 0) << c.what;
        EXPECT_EQ(movie->current(), nullptr) << c.what << ": given up for good";
        const auto again = catalog.recording("movie");
        ASSERT_TRUE(again) << c.what;
        EXPECT_TRUE(again->current()) << c.what << ": the name's new recording";
    }
}

TEST_F(RecordingTest, AfterLostNoticesOnlyAnUntouchedFileIsStillItsRecording) {
    ASSERT_EQ(record("still", 1 << 20), 0);
    ASSERT_GE(record("grown", 1 << 20), 0);
    const auto still = catalog.recording("still"), grown = catalog.recording("grown");
    ASSERT_TRUE(still && grown);
    ASSERT_GE(updateDet(props.get(), det("grown").c_str(), 1 << 20), 0);
    // More notices than the kernel queues for a watch (fs.inotify.max_queued_events).
    int64_t queued = 16384;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queued;
    for (int64_t i = 0; i < queued / 2 + 1; ++i) {
        const std::string path = dir.file("scratch" + std::to_string(i));
        std::ofstream{path};
        ASSERT_EQ(unlink(path.c_str()), 0);
    }
    EXPECT_EQ(size_of(*still), 1 << 20);
    EXPECT_EQ(grown->current(), nullptr) << "grown while notices were lost: it cannot be told from a replacement";
    const auto reopened = catalog.recording("grown");
    ASSERT_TRUE(reopened);
    EXPECT_EQ(size_of(*reopened), 2 << 20);
}

}  // namespace
