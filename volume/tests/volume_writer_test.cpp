// Volumes as the engine reads them back: the device table, the configuration file, the
// member files of a whole volume, and the refusals of what the engine could not use.
#include "engine_handle.h"
#include "system_error.h"
#include "temp_volume.h"
#include "volume_writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int64_t kKiB = 1024;
constexpr int64_t kMiB = 1024 * kKiB;

// A fresh directory under /tmp, removed with everything in it.
class ScratchDir {
public:
    ScratchDir() {
        char name[] = "/tmp/kel-volume-test-XXXXXX";
        if (mkdtemp(name) == nullptr) throw kel::SystemError("mkdtemp", name, errno);
        path_ = name;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    bool empty() const { return std::filesystem::is_empty(path_); }

private:
    std::string path_;
};

// tio_set_config's result for a configuration file, with the engine's output kept off
// the test's own.
int32_t engine_config_status(const std::string &config_path) {
    TioHandle *handle = tio_open();
    std::fflush(stdout);
    const int32_t status = tio_set_config(handle, config_path.c_str());
    std::fflush(stdout);
    tio_close(handle);
    return status;
}

kel::DeviceTable table_of(int members, int64_t chunk_sectors) {
    kel::DeviceTable table{0, 2048, chunk_sectors, {}};
    for (int m = 0; m < members; ++m) table.members.push_back({"/dev/member" + std::to_string(m), 0});
    return table;
}

TEST(VolumeWriter, EngineReadsBackTheTableAndTheConfiguration) {
    ScratchDir dir;
    const kel::DeviceTable table{24, 3 * 4096, 8, {{dir.file("a"), 3}, {dir.file("b"), 8}, {dir.file("c"), 13}}};
    kel::write_device_table(dir.file("t.table"), table);
    kel::VolumeConfig config;
    config.header_dir = dir.path();
    config.table_path = dir.file("t.table");
    config.threads = 5;
    kel::write_config_file(dir.file("t.conf"), config);
    EXPECT_EQ(engine_config_status(dir.file("t.conf")), 0);

    const kel::VolumeProps props = kel::read_volume_props(dir.file("t.conf"));
    EXPECT_EQ(props.start_offset, 24 * 512);
    EXPECT_EQ(props.volume_bytes, 3 * 4096 * 512);
    EXPECT_EQ(props.chunk_bytes, 8 * 512);
    EXPECT_EQ(props.members, 3);
    EXPECT_EQ(props.workers, 3) << "the engine caps the workers to the members";
    EXPECT_EQ(props.header_dir, dir.path());
    ASSERT_EQ(props.devices.size(), 3u);
    for (int m = 0; m < 3; ++m) {
        EXPECT_EQ(props.devices[m].path, table.members[m].path);
        EXPECT_EQ(props.devices[m].offset, table.members[m].offset_sectors * 512);
    }
    // The layout places bytes with the start and each member's own offset: byte 13000 of
    // an extent at 4096 is byte 712 of chunk 3, the second chunk of member 0.
    const tio::BytePlace place = tio::place_byte(props.layout(), 4096, 13000);
    EXPECT_EQ(place.member, 0);
    EXPECT_EQ(place.position, 24 * 512 + 3 * 512 + 4096 + 4096 + 712);
}

// The writer's stripe limit is the engine's: what one accepts the other accepts.
TEST(VolumeWriter, RefusesExactlyTheStripesTheEngineRefuses) {
    ScratchDir dir;
    kel::VolumeConfig config;
    config.header_dir = dir.path();
    config.table_path = dir.file("t.table");
    kel::write_config_file(dir.file("t.conf"), config);
    struct Case {
        int members;
        int64_t chunk_sectors;
        bool accepted;
    };
    const Case cases[] = {
        {1, 4194303, true},  {1, 4194304, false}, {2, 2097151, true},
        {2, 2097152, false}, {3, 1398101, true},  {3, 1398102, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.members) + " members of " + std::to_string(c.chunk_sectors) + " sectors");
        const kel::DeviceTable table = table_of(c.members, c.chunk_sectors);
        if (c.accepted) {
            kel::write_device_table(config.table_path, table);
            EXPECT_EQ(engine_config_status(dir.file("t.conf")), 0);
        } else {
            EXPECT_THROW(kel::device_table_text(table), std::invalid_argument);
            // The same table written by hand is refused by the engine.
            std::string line = "0 2048 striped " + std::to_string(c.members) + " " + std::to_string(c.chunk_sectors);
            for (const kel::TableMember &member : table.members) line += " " + member.path + " 0";
            kel::write_text_file(config.table_path, line + "\n");
            EXPECT_EQ(engine_config_status(dir.file("t.conf")), -5);
        }
    }
}

TEST(VolumeWriter, RefusesWhatTheEngineCouldNotReadBack) {
    const std::string long_path = "/" + std::string(4095, 'p');
    const auto with = [](const std::function<void(kel::DeviceTable &)> &change) {
        kel::DeviceTable table = table_of(2, 8);
        change(table);
        return [table] { kel::device_table_text(table); };
    };
    const auto config_with = [](const std::function<void(kel::VolumeConfig &)> &change) {
        kel::VolumeConfig config;
        config.header_dir = "/h";
        config.table_path = "/t";
        change(config);
        return [config] { kel::config_text(config); };
    };
    const std::pair<const char *, std::function<void()>> cases[] = {
        {"no members", with([](kel::DeviceTable &t) { t.members.clear(); })},
        {"a chunk of no sectors", with([](kel::DeviceTable &t) { t.chunk_sectors = 0; })},
        {"a negative start", with([](kel::DeviceTable &t) { t.start_sectors = -1; })},
        {"a length beyond 64-bit bytes", with([](kel::DeviceTable &t) { t.length_sectors = INT64_MAX / 256; })},
        {"a negative member offset", with([](kel::DeviceTable &t) { t.members[1].offset_sectors = -8; })},
        {"a member path with a space", with([](kel::DeviceTable &t) { t.members[0].path = "/my disk"; })},
        {"an empty member path", with([](kel::DeviceTable &t) { t.members[1].path = ""; })},
        {"a member path too long", with([&](kel::DeviceTable &t) { t.members[0].path = long_path; })},
        {"no worker", config_with([](kel::VolumeConfig &c) { c.threads = 0; })},
        {"an empty header directory", config_with([](kel::VolumeConfig &c) { c.header_dir = ""; })},
        {"a table path with a tab", config_with([](kel::VolumeConfig &c) { c.table_path = "/t\tx"; })},
        // "DMSETUP=" and the path together must fit one word of the engine.
        {"a table path too long", config_with([&](kel::VolumeConfig &c) { c.table_path = long_path.substr(0, 4090); })},
    };
    for (const auto &[name, write] : cases) EXPECT_THROW(write(), std::invalid_argument) << name;
    EXPECT_NO_THROW(config_with([&](kel::VolumeConfig &c) { c.table_path = long_path.substr(0, 4087); })());
}

std::string file_text(const std::string &path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(CreateVolume, MakesSparseMembersAndAVolumeTheEngineInitialises) {
    ScratchDir dir;
    const kel::VolumeGeometry geometry{3, 64 * kKiB, 2, 5 * 64 * kKiB};
    const kel::VolumeFiles files = kel::create_volume(dir.path(), geometry);
    EXPECT_EQ(files.config_path, dir.file("volume.conf"));
    EXPECT_EQ(files.table_path, dir.file("volume.table"));
    EXPECT_EQ(files.header_dir, dir.file("headers"));
    EXPECT_TRUE(std::filesystem::is_directory(files.header_dir));
    ASSERT_EQ(files.member_paths.size(), 3u);
    for (int m = 0; m < 3; ++m) {
        const std::string &path = files.member_paths[m];
        EXPECT_EQ(path, dir.file("members/m" + std::to_string(m)));
        struct stat info {};
        ASSERT_EQ(stat(path.c_str(), &info), 0) << path;
        EXPECT_EQ(info.st_size, 5 * 64 * kKiB) << path;
        EXPECT_EQ(info.st_blocks, 0) << path << " is sparse";
    }
    const std::string d = dir.path();
    EXPECT_EQ(file_text(files.table_path), "0 1920 striped 3 128 " + d + "/members/m0 0 " + d + "/members/m1 0 " + d +
                                               "/members/m2 0\n");
    EXPECT_EQ(file_text(files.config_path), "TYPE=RAID\nVKPATH=" + d + "/headers\nFUSEPATH=" + d + "/mnt\nDMSETUP=" +
                                                d + "/volume.table\nMAPPER=/none\nEXTEND=1G\nTHREADS=2\n");

    const kel::VolumeProps props = kel::read_volume_props(files.config_path);
    EXPECT_EQ(props.volume_bytes, 3 * 5 * 64 * kKiB);
    EXPECT_EQ(props.workers, 2);
    for (const kel::Direction direction : {kel::Direction::write, kel::Direction::read}) {
        kel::EngineHandle handle(files.config_path, direction);
        handle.close();
    }
}

// Existing members: the table names them as given, and they are neither made nor written.
TEST(CreateVolume, OnExistingMembersWritesOnlyTheVolumeFiles) {
    ScratchDir dir;
    const std::string a = dir.file("a"), b = dir.file("b");
    kel::write_text_file(a, std::string(4096, 'a'));
    kel::write_text_file(b, std::string(8192, 'b'));
    ASSERT_EQ(mkdir(dir.file("v").c_str(), 0755), 0);
    const kel::VolumeFiles files = kel::create_volume_on(dir.file("v"), {a, b}, kel::VolumeGeometry{7, 1024, 1, 4096});
    EXPECT_EQ(file_text(files.table_path), "0 16 striped 2 2 " + a + " 0 " + b + " 0\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("v/members")));
    EXPECT_EQ(file_text(a), std::string(4096, 'a'));
    EXPECT_EQ(file_text(b), std::string(8192, 'b'));
    EXPECT_EQ(kel::read_volume_props(files.config_path).members, 2);
}

TEST(TempVolume, RemovesItselfAndAddsConfigurations) {
    ScratchDir parent;
    std::string directory;
    {
        kel::TempVolume volume(parent.path(), "v-", kel::VolumeGeometry{2, 4 * kKiB, 1, 4 * kKiB});
        directory = volume.directory();
        EXPECT_EQ(directory.rfind(parent.file("v-"), 0), 0u) << directory;
        EXPECT_EQ(volume.member_paths().size(), 2u);
        const std::string four_workers = volume.add_config(4);
        EXPECT_EQ(kel::read_volume_props(volume.config_path()).workers, 1);
        EXPECT_EQ(kel::read_volume_props(four_workers).workers, 2) << "capped to the members";
        kel::write_text_file(volume.scratch_path("extra"), "x");
    }
    EXPECT_FALSE(std::filesystem::exists(directory));
    EXPECT_TRUE(parent.empty());
}

// Every refusal comes before the first file is made, and nothing is left behind.
TEST(TempVolume, RefusesUnusableGeometriesAndLeavesNothing) {
    ScratchDir scratch;
    const std::string plain = scratch.file("plain"), spaced = scratch.file("with space");
    ASSERT_EQ(mkdir(plain.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(spaced.c_str(), 0755), 0);
    struct Case {
        const char *name;
        std::string parent_dir;
        kel::VolumeGeometry geometry;
    };
    const Case cases[] = {
        {"no member", plain, {0, 4 * kKiB, 1, 4 * kKiB}},
        {"no worker", plain, {2, 4 * kKiB, 0, 4 * kKiB}},
        {"a chunk that is not whole sectors", plain, {2, 1000, 1, 1000}},
        {"members of part of a chunk", plain, {2, 4 * kKiB, 1, 6 * kKiB}},
        {"empty members", plain, {2, 4 * kKiB, 1, 0}},
        {"a stripe of 2 GiB", plain, {2, 1024 * kMiB, 1, 1024 * kMiB}},
        {"white space in the directory", spaced, {2, 4 * kKiB, 1, 4 * kKiB}},
    };
    for (const Case &c : cases) {
        EXPECT_THROW(kel::TempVolume(c.parent_dir, "v-", c.geometry), std::invalid_argument) << c.name;
        EXPECT_TRUE(std::filesystem::is_empty(c.parent_dir)) << c.name;
    }
    EXPECT_THROW(kel::TempVolume(scratch.file("missing"), "v-", kel::VolumeGeometry{2, 4 * kKiB, 1, 4 * kKiB}),
                 kel::SystemError);
}

}  // namespace
