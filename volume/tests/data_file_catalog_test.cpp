// The data files a reader may open: only ".det" files in state ok whose names can be file
// names, listed again once the listing is older than its age, the previous listing kept
// while the directory cannot be listed, and a recording told from a new one of the same
// name.
#include "data_file_catalog.h"

#include "det_fixture.h"
#include "files.h"
#include "system_error.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sys/stat.h>

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

TEST(DataFile, AGrownRecordingIsTheSameAndANewOneOfTheSameNameIsNot) {
    const auto file = [](std::vector<DetEntry> entries) {
        return kel::DataFile{"movie", {}, kel::data_file_extents(std::move(entries))};
    };
    const kel::DataFile opened = file({{65536, 100}});
    EXPECT_TRUE(opened.same_recording(file({{65536, 100}, {131072, 100}})));
    EXPECT_TRUE(opened.same_recording(file({{65536, 40}})));
    EXPECT_FALSE(opened.same_recording(file({{0, 100}})));
}

}  // namespace
