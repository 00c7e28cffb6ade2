// The configuration file, the device table, the record built from them and what a
// handle does with a configuration that cannot be used.
#include "files.h"
#include "handles.h"
#include "output_capture.h"
#include "striped_volume.h"
#include "watchdog.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>

using namespace tio_test;

namespace {

const char kUsage[] =
    "\nError! Missing field(s)! Configuration file must contain the following entries:\n"
    "TYPE=<RAMD|RAID>\n"
    "VKPATH=<path_to_tolva_header_files\n"
    "FUSEPATH=<path_to_fuse_mount_point\n"
    "DMSETUP=<path_to_dmsetup_file>\n"
    "MAPPER=<path_to_dev_mapper_entry>\n"
    "EXTEND=<tolva_file_extend_size>\n"
    "THREADS=<num_threads>\n"
    "VKUSER=<user_name>\n"
    "\n";

// What read_config leaves in its destinations, which start out holding "old".
struct ConfigFields {
    char type[TIO_TYPE_SIZE] = "old";
    char header_dir[TIO_PATH_SIZE] = "old";
    char fuse_path[TIO_PATH_SIZE] = "old";
    char dmsetup_path[TIO_PATH_SIZE] = "old";
    char mapper_path[TIO_PATH_SIZE] = "old";
    int64_t extend_size = -7;
    int32_t thread_count = -7;
};

int32_t read_into(const std::string &path, ConfigFields *fields) {
    return read_config(path.c_str(), fields->type, fields->header_dir, fields->fuse_path,
                       fields->dmsetup_path, fields->mapper_path, &fields->extend_size,
                       &fields->thread_count);
}

struct ConfigCase {
    const char *name;
    std::string text;
    int32_t result;
    std::string header_dir = "/hdr";
    int64_t extend_size = 2;
    int32_t thread_count = 3;
    std::string type = "RAID";
};

// A configuration file with the given entries for type, directory, extend and threads.
std::string entries(const std::string &extend = "EXTEND=2", const std::string &threads = "THREADS=3",
                    const std::string &type = "TYPE=RAID", const std::string &dir = "VKPATH=/hdr") {
    return type + " " + dir + " FUSEPATH=/fuse DMSETUP=/table MAPPER=/map " + extend + " " + threads;
}

TEST(ReadConfig, EntriesBitsAndUsage) {
    const std::vector<ConfigCase> cases = {
        {"complete", entries(), 0},
        {"unknown tokens and VKUSER are ignored", "junk VKUSER=me\n" + entries() + "\nVK=1 TYPEX=2 #x", 0},
        {"line breaks carry no meaning",
         "TYPE=RAID\nVKPATH=/hdr\n\n\tFUSEPATH=/fuse DMSETUP=/table\nMAPPER=/map\nEXTEND=2\nTHREADS=3\n", 0},
        {"EXTEND=1 is refused", entries("EXTEND=1"), -1, "/hdr", 1},
        {"EXTEND=1k", entries("EXTEND=1k"), 0, "/hdr", 1024},
        {"EXTEND=1.5G", entries("EXTEND=1.5G"), 0, "/hdr", 1610612736},
        {"empty EXTEND is refused", entries("EXTEND="), -1, "/hdr", 0},
        {"a refused EXTEND after an accepted one keeps the bit", entries("EXTEND=2 EXTEND=0"), 0, "/hdr", 0},
        {"THREADS=0", entries("EXTEND=2", "THREADS=0"), -1, "/hdr", 2, 0},
        {"THREADS=2147483647", entries("EXTEND=2", "THREADS=2147483647"), -1, "/hdr", 2, 2147483647},
        {"THREADS=2147483646", entries("EXTEND=2", "THREADS=2147483646"), 0, "/hdr", 2, 2147483646},
        {"THREADS=1", entries("EXTEND=2", "THREADS=1"), 0, "/hdr", 2, 1},
        {"THREADS takes the low 32 bits", entries("EXTEND=2", "THREADS=4294967301"), 0, "/hdr", 2, 5},
        {"THREADS stops at a non-digit", entries("EXTEND=2", "THREADS=+12abc"), 0, "/hdr", 2, 12},
        {"THREADS without digits", entries("EXTEND=2", "THREADS=x"), -1, "/hdr", 2, 0},
        {"a refused THREADS after an accepted one keeps the bit", entries("EXTEND=2", "THREADS=3 THREADS=0"), 0,
         "/hdr", 2, 0},
        {"spaces around = split the entry", entries("EXTEND=2", "THREADS=3", "TYPE = RAID"), -1, "/hdr", 2, 3, "old"},
        {"empty TYPE leaves the field", entries("EXTEND=2", "THREADS=3", "TYPE="), -1, "/hdr", 2, 3, "old"},
        {"lower-case type is just a type", entries("EXTEND=2", "THREADS=3", "TYPE=raid"), 0, "/hdr", 2, 3, "raid"},
        {"VERSION stands in for VKPATH", entries("EXTEND=2", "THREADS=3", "TYPE=RAID", "VERSION=1.0"), 0, "BOG"},
        {"VERSION after VKPATH", entries("EXTEND=2", "THREADS=3", "TYPE=RAID", "VKPATH=/hdr VERSION=12345678"), 0,
         "BOGUS"},
        {"VKPATH after VERSION", entries("EXTEND=2", "THREADS=3", "TYPE=RAID", "VERSION=12345678 VKPATH=/hdr"), 0,
         "/hdr"},
        {"nothing at all", "", -1, "old", -7, -7, "old"},
    };
    ScratchDir dir;
    const std::string path = dir.file("tio.conf");
    for (const ConfigCase &c : cases) {
        SCOPED_TRACE(c.name);
        kel::write_text_file(path, c.text);
        ConfigFields fields;
        StdoutCapture capture;
        const int32_t rc = read_into(path, &fields);
        const std::string printed = capture.finish();
        EXPECT_EQ(rc, c.result);
        EXPECT_EQ(printed, c.result == 0 ? "" : kUsage);
        EXPECT_STREQ(fields.type, c.type.c_str());
        EXPECT_STREQ(fields.header_dir, c.header_dir.c_str());
        EXPECT_EQ(fields.extend_size, c.extend_size);
        EXPECT_EQ(fields.thread_count, c.thread_count);
    }
}

TEST(ReadConfig, MissingFileIsReportedWithItsPath) {
    ScratchDir dir;
    const std::string path = dir.file("absent.conf");
    ConfigFields fields;
    StdoutCapture capture;
    EXPECT_EQ(read_into(path, &fields), -1);
    EXPECT_EQ(capture.finish(), "Error! Error reading configuration file: " + path +
                                    "! Make sure file exists with correct permissions!\n");
    EXPECT_STREQ(fields.header_dir, "old");
}

// Values too long for their fields are cut or refused, never written past the field.
TEST(ReadConfig, OverlongValuesStayInTheirFields) {
    ScratchDir dir;
    const std::string path = dir.file("long.conf");
    const std::string long_dir = "/" + std::string(6000, 'd');
    kel::write_text_file(path, "FUSEPATH=/f VKPATH=" + long_dir + " TYPE=RAIDRAIDRAIDRAIDRAID DMSETUP=/t MAPPER=/m "
                               "EXTEND=2 THREADS=3");
    ConfigFields fields;
    std::memset(fields.fuse_path, 'z', sizeof fields.fuse_path);
    fields.fuse_path[sizeof fields.fuse_path - 1] = '\0';
    StdoutCapture capture;
    read_into(path, &fields);
    capture.finish();
    EXPECT_LT(strnlen(fields.type, sizeof fields.type), sizeof fields.type);
    EXPECT_LT(strnlen(fields.header_dir, sizeof fields.header_dir), sizeof fields.header_dir);
    EXPECT_STREQ(fields.fuse_path, "/f");
    EXPECT_STREQ(fields.dmsetup_path, "/t");
    EXPECT_EQ(fields.thread_count, 3);
}

TEST(ConfigField, CopiesTheRangeOrNothing) {
    char dest[16] = "untouched";
    EXPECT_EQ(setConfField(dest, "VKPATH=/data", 7, 12, 2), 2);
    EXPECT_STREQ(dest, "/data");
    std::strcpy(dest, "untouched");
    EXPECT_EQ(setConfField(dest, "VKPATH=", 7, 7, 2), 0);
    EXPECT_EQ(setConfField(dest, "VKPATH=", 7, 3, 2), 0);
    EXPECT_STREQ(dest, "untouched");
}

TEST(ParseNum, SizeTexts) {
    const std::vector<std::pair<const char *, int64_t>> cases = {
        {"1.5G", 1610612736},   {"2k", 2048},    {"100", 100},        {"0.7", 0},
        {"-3M", -3145728},      {"K", 0},        {"10KB", 10},        {"", 0},
        {"1t", 1099511627776},  {"3m", 3145728}, {"1e3K", 1024000},   {" 7", 7},
        {"abc", 0},             {"2G", 2147483648}, {"0.5k", 512},
    };
    for (const auto &[text, bytes] : cases) EXPECT_EQ(parseNum(text), bytes) << '"' << text << '"';
}

// ---- The record -----------------------------------------------------------------------

struct RecordFixture : testing::Test {
    FsProps *build(const std::string &type, const std::string &table, int threads) {
        kel::write_text_file(dir.file("t.table"), table);
        kel::write_config_file(dir.file("t.conf"), volume_config(dir.path(), dir.file("t.table"), threads, type));
        StdoutCapture capture;
        FsProps *props = open_fs_props(dir.file("t.conf").c_str());
        capture.finish();
        return props;
    }
    ScratchDir dir;
};

TEST_F(RecordFixture, RaidReadsTheDeviceTable) {
    FsProps *props = build("RAID", "2048 4096 striped 4 128 /dev/a 8 /dev/b 16\n/dev/c 0 /dev/d 2048\n", 8);
    ASSERT_NE(props, nullptr);
    EXPECT_EQ(props->start_offset, 1048576);
    EXPECT_EQ(props->device_size, 2097152);
    EXPECT_EQ(props->chunk_size, 65536);
    EXPECT_EQ(props->stripe_count, 4);
    EXPECT_EQ(props->thread_count, 4) << "capped to the stripes";
    EXPECT_EQ(props->extend_size, int64_t(1) << 30);
    EXPECT_STREQ(props->type, "RAID");
    EXPECT_EQ(props->header_dir, dir.path());
    ASSERT_NE(props->devices, nullptr);
    const std::pair<const char *, int64_t> members[] = {{"/dev/a", 4096}, {"/dev/b", 8192}, {"/dev/c", 0},
                                                        {"/dev/d", 1048576}};
    for (int m = 0; m < 4; ++m) {
        EXPECT_STREQ(props->devices[m].path, members[m].first);
        EXPECT_EQ(props->devices[m].offset, members[m].second);
    }
    EXPECT_EQ(close_fs_props(props), 0);

    std::string sixteen = "0 2048 striped 16 8";
    for (int m = 0; m < 16; ++m) sixteen += " /dev/m" + std::to_string(m) + " 0";
    props = build("RAID", sixteen, 8);
    ASSERT_NE(props, nullptr);
    EXPECT_EQ(props->thread_count, 8);
    EXPECT_EQ(close_fs_props(props), 0);
}

TEST_F(RecordFixture, OtherTypesGetTheDefaults) {
    for (const char *type : {"raid", "RAID1", "RAMD"}) {
        SCOPED_TRACE(type);
        FsProps *props = build(type, "2048 4096 striped 4 128 /dev/a 8 /dev/b 16 /dev/c 0 /dev/d 2048", 8);
        ASSERT_NE(props, nullptr);
        EXPECT_EQ(props->device_size, 38411436032);
        EXPECT_EQ(props->start_offset, 0);
        EXPECT_EQ(props->stripe_count, 1);
        EXPECT_EQ(props->chunk_size, 1);
        EXPECT_EQ(props->thread_count, 1);
        EXPECT_EQ(props->devices, nullptr);
        EXPECT_STREQ(props->type, type);
        EXPECT_EQ(close_fs_props(props), 0);
    }
}

// Words too long for their buffers in the table are cut or refused, never written past.
TEST_F(RecordFixture, OverlongTableWordsStayInTheirFields) {
    const std::string long_path = "/" + std::string(5000, 'p');
    const std::string long_target(700, 't');
    FsProps *props = build("RAID", "0 2048 " + long_target + " 2 8 " + long_path + " 1 /dev/b 2", 2);
    ASSERT_NE(props, nullptr);
    EXPECT_GE(props->stripe_count, 1);
    if (props->devices) {
        for (int m = 0; m < props->stripe_count; ++m)
            EXPECT_LT(strnlen(props->devices[m].path, TIO_PATH_SIZE), size_t(TIO_PATH_SIZE));
    }
    EXPECT_EQ(close_fs_props(props), 0);
}

TEST(Accessors, PerDeviceSizesAndNullRecords) {
    FsProps props{};
    props.stripe_count = 4;
    props.chunk_size = 65536;
    props.device_size = 1 << 30;
    EXPECT_EQ(getRelativeSize(&props, 9), 3);
    EXPECT_EQ(getRelativeSize(&props, 8), 2);
    EXPECT_EQ(getRelativeSize(&props, 0), 0);
    EXPECT_EQ(getAdjustedSize(&props, 9), 2);
    EXPECT_EQ(getAdjustedSize(&props, -9), -2);
    EXPECT_EQ(getDeviceSize(&props), 1 << 30);
    EXPECT_EQ(getStripeSize(&props), 65536);
    int64_t size = 0, per_device = 0, chunk = 0;
    EXPECT_EQ(getDeviceProps(&props, &size, &per_device, &chunk), 0);
    EXPECT_EQ(size, 1 << 30);
    EXPECT_EQ(per_device, 1 << 28);
    EXPECT_EQ(chunk, 65536);

    EXPECT_EQ(getDeviceSize(nullptr), -1);
    EXPECT_EQ(getStripeSize(nullptr), -1);
    EXPECT_EQ(getAdjustedSize(nullptr, 9), -1);
    EXPECT_EQ(getRelativeSize(nullptr, 9), -1);
    EXPECT_EQ(close_fs_props(nullptr), 0);
}

// ---- A configuration that cannot be used --------------------------------------------------

// tio_set_config passes the failure on with one line that names the file and the reason,
// yet installs a record the rest of the engine can live with; a record without member
// devices fails tio_init with one error line, and the handle still closes without leaving
// anything behind. A table that is no regular file is refused at once, a FIFO without a
// writer included, and so is a table that names one member path twice (the two members
// would read and write each other's chunks).
TEST(UnusableConfiguration, IsReportedAndKeptSafe) {
    enum class Table { kText, kDirectory, kFifo };
    struct Case {
        const char *name;
        std::string config;  // "@" stands for the table's path
        std::string table;   // empty: no table file
        int32_t result;
        std::string reason;  // in the one error line, which names the table for -2 and -5
        Table kind = Table::kText;
    };
    const std::string good_config = "TYPE=RAID VKPATH=/tmp FUSEPATH=/f DMSETUP=@ MAPPER=/m EXTEND=1G THREADS=3";
    const std::string long_path = "/" + std::string(5000, 'p');
    const std::vector<Case> cases = {
        {"incomplete file", "TYPE=RAID VKPATH=/tmp FUSEPATH=/f DMSETUP=@ MAPPER=/m EXTEND=1G",
         "0 2048 striped 2 8 @0 0 @1 0", -1, "Missing field(s)"},
        {"no configuration file", "", "", -1, "Error reading configuration file"},
        {"device table missing", good_config, "", -2, "No such file or directory"},
        {"no stripes", good_config, "0 2048 striped 0 8", -5, "0 stripes"},
        {"negative stripes", good_config, "0 2048 striped -3 8", -5, "-3 stripes"},
        {"fewer members than announced", good_config, "0 2048 striped 4 8 @0 0 @1 0 @2 0", -5,
         "member 3 of 4 is missing"},
        {"chunk of 2^31 bytes", good_config, "0 2048 striped 2 4194304 @0 0 @1 0", -5, "does not fit 32 bits"},
        {"stripe of 2^31 bytes", good_config, "0 2048 striped 2 2097152 @0 0 @1 0", -5, "do not fit 32 bits"},
        {"header cut short", good_config, "0 2048 striped", -5, "number of stripes is missing"},
        {"chunk of no bytes", good_config, "0 2048 striped 2 0 @0 0 @1 0", -5, "chunk of 0 sectors"},
        {"negative chunk", good_config, "0 2048 striped 2 -8 @0 0 @1 0", -5, "chunk of -8 sectors"},
        {"start not a number", good_config, "start 2048 striped 2 8 @0 0 @1 0", -5, "the start is"},
        {"length not a number", good_config, "0 big striped 2 8 @0 0 @1 0", -5, "the length is"},
        {"stripes not a number", good_config, "0 2048 striped two 8 @0 0 @1 0", -5, "number of stripes"},
        {"member offset not a number", good_config, "0 2048 striped 2 8 @0 0 @1 far", -5,
         "offset of member 1 of 2"},
        {"member path too long", good_config, "0 2048 striped 2 8 @0 0 " + long_path + " 0", -5,
         "path of member 1 of 2 is longer than 4095"},
        {"one member path twice", good_config, "0 2048 striped 3 8 @0 0 @1 0 @0 16", -5,
         "members 0 and 2 are the same path"},
        {"table is a directory", good_config, "", -5, "not a regular file", Table::kDirectory},
        {"table is a FIFO", good_config, "", -5, "not a regular file", Table::kFifo},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        const std::string table_path = dir.file("t.table");
        auto substitute = [&](std::string text) {
            for (size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, table_path);
            return text;
        };
        for (int m = 0; m < 4; ++m) kel::make_sparse_file(table_path + std::to_string(m), 0);
        if (!c.table.empty()) kel::write_text_file(table_path, substitute(c.table));
        if (c.kind == Table::kDirectory) {
            ASSERT_EQ(mkdir(table_path.c_str(), 0755), 0);
        } else if (c.kind == Table::kFifo) {
            ASSERT_EQ(mkfifo(table_path.c_str(), 0644), 0);
        }
        const std::string config_path = dir.file("t.conf");
        if (!c.config.empty()) kel::write_text_file(config_path, substitute(c.config));

        Watchdog watchdog(std::chrono::seconds(30), c.name);
        const int descriptors = open_fd_count();
        Handle handle(tio_open());
        ASSERT_TRUE(handle);
        StdoutCapture config_capture;
        const int32_t rc = tio_set_config(handle.get(), config_path.c_str());
        const std::string config_printed = config_capture.finish();
        EXPECT_EQ(rc, c.result);
        EXPECT_EQ(count_error_lines(config_printed), 1) << config_printed;
        EXPECT_NE(config_printed.find(c.reason), std::string::npos) << config_printed;
        if (c.result != -1) {
            EXPECT_NE(config_printed.find(table_path + ": "), std::string::npos) << config_printed;
        }
        ASSERT_NE(handle->props, nullptr);
        const FsProps &props = *handle->props;
        EXPECT_GE(props.stripe_count, 1);
        EXPECT_GE(props.thread_count, 1);
        EXPECT_LE(props.thread_count, props.stripe_count);
        EXPECT_GE(props.chunk_size, 1);
        EXPECT_LE(int64_t(props.chunk_size) * props.stripe_count, int64_t(INT32_MAX));
        ASSERT_EQ(tio_set_dir(handle.get(), 1), 0);
        StdoutCapture init_capture;
        const int32_t initialised = tio_init(handle.get());
        const std::string printed = init_capture.finish();
        if (props.devices == nullptr) {
            EXPECT_EQ(initialised, -1);
            EXPECT_EQ(count_error_lines(printed), 1) << printed;
        }
        EXPECT_EQ(handle.close(), 0);
        EXPECT_EQ(open_fd_count(), descriptors);
    }
}

}  // namespace
