// Reading data files from the members: data recorded through the engine in uneven calls
// over several extents (one of them merged into its predecessor) reads back byte for byte
// at any offset and size, on geometries with member offsets, a table start and chunk
// sizes that are not powers of two; members that fail or are too short give EIO.
#include "data_file_reader.h"
#include "data_file_recorder.h"
#include "files.h"
#include "header_dir.h"
#include "loop_device.h"
#include "pattern.h"
#include "striped_volume.h"
#include "system_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <linux/fs.h>
#include <random>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using tio_test::Geometry;
using tio_test::ScratchDir;
using tio_test::StripedVolume;

kel::VolumeProps props_of(const StripedVolume &volume) { return kel::read_volume_props(volume.config_path()); }

kel::DataFileExtents extents_of(const std::string &det_path) {
    return kel::data_file_extents(kel::read_det_file(det_path).entries);
}

// A data file "movie" of `size` pattern bytes in three recorded extents: the first
// (size / 3, not whole stripes), then one of whole stripes placed after another data
// file's extent so that it stands apart, then the rest, which continues it and is merged
// into it. The ".det" file's path.
std::string record_movie(const StripedVolume &volume, int64_t size, uint64_t seed) {
    const std::string header_dir = props_of(volume).header_dir;
    const std::string det_path = header_dir + "/movie.det";
    const int64_t stripe = volume.geometry().stripe_bytes();
    const std::vector<uint8_t> data = kel::pattern_bytes(seed, size);
    const std::vector<uint8_t> other = kel::pattern_bytes(seed + 1, stripe);
    const int64_t first = size / 3;
    const int64_t second = (size - first) / 2 / stripe * stripe;
    kel::DataFileRecorder recorder(volume.config_path(), {volume.geometry().chunk_bytes() * 3 / 2, 1, 4097, 777});
    recorder.add_extent(det_path, true, first, data.data(), first);
    recorder.add_extent(header_dir + "/other.det", true, stripe, other.data(), stripe);
    recorder.add_extent(det_path, false, second, data.data() + first, second);
    recorder.add_extent(det_path, false, size - first - second, data.data() + first + second, size - first - second);
    recorder.finalize(det_path, size);
    recorder.close();
    return det_path;
}

struct GeometryCase {
    const char *name;
    Geometry geometry;
};

const GeometryCase kGeometries[] = {
    {"four_members_4k", Geometry{.members = 4, .chunk_sectors = 8, .workers = 2}},
    {"three_members_1536_bytes", Geometry{.members = 3, .chunk_sectors = 3, .workers = 3, .start_sector = 7}},
    {"one_member_512_bytes", Geometry{.members = 1, .chunk_sectors = 1, .workers = 1}},
};

class RecordedDataFile : public testing::TestWithParam<GeometryCase> {};

TEST_P(RecordedDataFile, ReadsBackAtEveryOffsetAndSize) {
    ScratchDir dir;
    const StripedVolume volume(dir, GetParam().geometry);
    const int64_t chunk = volume.geometry().chunk_bytes(), stripe = volume.geometry().stripe_bytes();
    const int64_t size = 40 * stripe + chunk / 2 + 3;
    const std::string det_path = record_movie(volume, size, 7);
    const kel::DataFileExtents file = extents_of(det_path);
    ASSERT_EQ(file.extents.size(), 2u) << "the third extent merges into the second";
    ASSERT_EQ(file.size, size);
    const std::vector<uint8_t> expected = kel::pattern_bytes(7, size);
    const kel::MemberDevices members(props_of(volume));

    const int64_t extent_end = file.ends[0];
    struct Read {
        int64_t offset, size;
    };
    std::vector<Read> reads = {
        {0, size},          {0, 1},           {chunk - 1, 2},   {stripe - 1, 2},  {extent_end - 1, 2},
        {extent_end, chunk}, {size - 1, 1},   {size - 5, 100},  {size, 10},       {size + 1000, 1},
        {3, 0},             {0, INT64_MAX},   {chunk + 1, 5 * stripe + 3},
    };
    std::mt19937_64 random(11);
    for (int i = 0; i < 200; ++i) {
        const int64_t offset = static_cast<int64_t>(random() % static_cast<uint64_t>(size + 50));
        reads.push_back({offset, static_cast<int64_t>(random() % static_cast<uint64_t>(3 * stripe))});
    }
    std::vector<uint8_t> buffer;
    for (const Read &read : reads) {
        const int64_t wanted = read.offset >= size ? 0 : std::min(read.size, size - read.offset);
        buffer.assign(static_cast<size_t>(wanted) + 1, 0xee);
        ASSERT_EQ(kel::read_data_file(members, file, read.offset, read.size, buffer.data()), wanted)
            << "read of " << read.size << " at " << read.offset;
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + wanted, expected.begin() + read.offset))
            << "read of " << read.size << " at " << read.offset;
        EXPECT_EQ(buffer[static_cast<size_t>(wanted)], 0xee) << "wrote past the bytes read";
    }
}

INSTANTIATE_TEST_SUITE_P(Geometries, RecordedDataFile, testing::ValuesIn(kGeometries),
                         [](const testing::TestParamInfo<GeometryCase> &info) { return info.param.name; });

// A volume of `members` empty member files and a hand-made data file; the members are
// filled as the test needs.
struct HandMadeVolume {
    explicit HandMadeVolume(const Geometry &geometry) : volume(dir, geometry) {}
    kel::DataFileExtents file(const std::vector<DetEntry> &entries) const { return kel::data_file_extents(entries); }
    ScratchDir dir;
    StripedVolume volume;
};

TEST(ReadPlan, JoinsWhatIsContiguousOnAMemberAndNothingElse) {
    const Geometry one{.members = 1, .chunk_sectors = 8, .workers = 1, .start_sector = 0, .member_sectors = {0}};
    const Geometry four{.members = 4, .chunk_sectors = 8, .workers = 1, .start_sector = 0,
                        .member_sectors = {0, 0, 0, 0}};
    HandMadeVolume single(one), striped(four);
    for (const auto *made : {&single, &striped})
        for (int m = 0; m < made->volume.geometry().members; ++m)
            kel::make_sparse_file(made->volume.member_path(m), 1 << 20);
    const kel::MemberDevices single_members(props_of(single.volume)), striped_members(props_of(striped.volume));
    std::vector<kel::ReadPiece> pieces;

    const kel::DataFileExtents long_file = single.file({{8192, 100000}});
    ASSERT_EQ(kel::plan_read(single_members, long_file, 10, 50000, pieces), 50000);
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0].position, 8192 + 10);

    const kel::DataFileExtents striped_file = striped.file({{4096, 65536}});
    ASSERT_EQ(kel::plan_read(striped_members, striped_file, 100, 200, pieces), 200);
    EXPECT_EQ(pieces.size(), 1u) << "inside one chunk";
    ASSERT_EQ(kel::plan_read(striped_members, striped_file, 4096 - 1, 4 * 4096 + 2, pieces), 4 * 4096 + 2);
    ASSERT_EQ(pieces.size(), 6u) << "the end of a chunk, a whole stripe, the start of a chunk";
    EXPECT_EQ(pieces[0].member, 0);
    EXPECT_EQ(pieces[1].member, 1);
    EXPECT_EQ(pieces[4].member, 0);
    EXPECT_EQ(pieces[5].member, 1);
    EXPECT_EQ(pieces[5].position, 4096 + 4096) << "member 1's second chunk";
}

TEST(DataFileExtents, SizeIsTheRecordedSumAndEveryExtentHoldsItsLength) {
    struct Case {
        std::vector<DetEntry> entries;
        std::vector<int64_t> ends;
        int64_t size;
    };
    const Case cases[] = {
        {{}, {}, 0},
        {{{0, 0}}, {0}, 0},
        {{{0, 300}, {4096, 200}}, {300, 500}, 500},
        // A last length finalised below zero: the file ends inside the first extent.
        {{{0, 300}, {4096, -100}}, {300, 300}, 200},
        {{{0, -5}}, {0}, 0},
        {{{0, INT64_MAX}, {4096, INT64_MAX}}, {INT64_MAX, INT64_MAX}, INT64_MAX},
    };
    for (const Case &c : cases) {
        const kel::DataFileExtents file = kel::data_file_extents(c.entries);
        EXPECT_EQ(file.ends, c.ends);
        EXPECT_EQ(file.size, c.size);
    }
}

TEST(ReadFaults, MembersTooShortOrExtentsOutOfReachGiveEio) {
    HandMadeVolume made(Geometry{.members = 4, .chunk_sectors = 8, .workers = 1});
    for (int m = 0; m < 4; ++m) kel::make_sparse_file(made.volume.member_path(m), 1 << 20);
    const kel::MemberDevices members(props_of(made.volume));
    uint8_t buffer[3 * 4096];

    const kel::DataFileExtents file = made.file({{0, 64 * 4096}});
    EXPECT_EQ(kel::read_data_file(members, file, 0, sizeof buffer, buffer), int64_t{sizeof buffer});
    ASSERT_EQ(truncate(made.volume.member_path(2).c_str(), 4096), 0);  // shorter than its offset + a chunk
    EXPECT_EQ(kel::read_data_file(members, file, 0, sizeof buffer, buffer), -EIO) << "member 2 is cut short";
    std::vector<kel::ReadPiece> pieces;
    EXPECT_EQ(kel::plan_read(members, file, 0, sizeof buffer, pieces), -EIO)
        << "a plan handed on for splicing must not promise bytes a member no longer has";
    EXPECT_EQ(kel::read_data_file(members, file, 0, 2 * 4096, buffer), 2 * 4096) << "members 0 and 1 still serve";

    const struct {
        const char *what;
        std::vector<DetEntry> entries;
    } unreachable[] = {
        {"beyond the members' end", {{1 << 20, 4096}}},
        {"beyond any device position", {{INT64_MAX - 4096, 4096}}},
        {"a negative offset", {{-4096, 4096}}},
    };
    for (const auto &c : unreachable)
        EXPECT_EQ(kel::read_data_file(members, made.file(c.entries), 0, 4096, buffer), -EIO) << c.what;
    EXPECT_EQ(kel::read_data_file(members, file, -1, 10, buffer), -EINVAL);
    EXPECT_EQ(kel::read_data_file(members, file, 0, -1, buffer), -EINVAL);
}

// The bytes a pipe holds, read until it is empty (its read end is non-blocking).
std::vector<uint8_t> drain(int fd) {
    std::vector<uint8_t> bytes;
    uint8_t block[65536];
    for (ssize_t got; (got = read(fd, block, sizeof block)) > 0;) bytes.insert(bytes.end(), block, block + got);
    return bytes;
}

TEST(SplicedRead, MovesThePlannedBytesIntoAPipeOrSaysWhyNot) {
    HandMadeVolume made(Geometry{.members = 4, .chunk_sectors = 8, .workers = 1});
    for (int m = 0; m < 4; ++m) {
        const std::vector<uint8_t> member = kel::pattern_bytes(20 + m, 1 << 20);
        FILE *out = fopen(made.volume.member_path(m).c_str(), "wb");
        ASSERT_EQ(fwrite(member.data(), 1, member.size(), out), member.size());
        fclose(out);
    }
    const kel::MemberDevices members(props_of(made.volume));
    const kel::DataFileExtents file = made.file({{8192, 40 * 4096 + 5}});
    int pipe_fds[2];
    ASSERT_EQ(pipe2(pipe_fds, O_NONBLOCK | O_CLOEXEC), 0);
    ASSERT_GE(fcntl(pipe_fds[1], F_SETPIPE_SZ, 1 << 20), 1 << 20);

    std::vector<kel::ReadPiece> pieces;
    std::vector<uint8_t> expected(40 * 4096);
    ASSERT_EQ(kel::plan_read(members, file, 4095, 30 * 4096 + 9, pieces), 30 * 4096 + 9);
    ASSERT_EQ(kel::read_data_file(members, file, 4095, 30 * 4096 + 9, expected.data()), 30 * 4096 + 9);
    expected.resize(30 * 4096 + 9);
    EXPECT_EQ(kel::splice_pieces(members, pieces, pipe_fds[1]), 30 * 4096 + 9);
    EXPECT_EQ(drain(pipe_fds[0]), expected);

    ASSERT_EQ(fcntl(pipe_fds[1], F_SETPIPE_SZ, 4 * 4096), 4 * 4096);
    EXPECT_EQ(kel::splice_pieces(members, pieces, pipe_fds[1]), -EAGAIN) << "no room in the pipe";
    drain(pipe_fds[0]);
    ASSERT_EQ(fcntl(pipe_fds[1], F_SETPIPE_SZ, 1 << 20), 1 << 20);
    ASSERT_EQ(truncate(made.volume.member_path(3).c_str(), 12288 + 18 * 512 + 8192 + 4096), 0);
    EXPECT_EQ(kel::splice_pieces(members, pieces, pipe_fds[1]), -EIO) << "member 3 ends inside its second chunk";
    close(pipe_fds[0]);
    close(pipe_fds[1]);
}

TEST(ReadFaults, AMemberThatFailsReadsGivesEio) {
    const std::string unavailable = tio_test::LoopDevice::unavailable_reason();
    if (!unavailable.empty()) GTEST_SKIP() << "loop devices unavailable: " << unavailable;
    ScratchDir dir;
    const std::string backing = dir.file("backing");
    kel::make_sparse_file(backing, 1 << 20);
    tio_test::LoopDevice failing(backing);
    ASSERT_TRUE(failing.attached()) << failing.error();
    std::vector<std::string> paths = {dir.file("m0"), failing.path()};
    kel::make_sparse_file(paths[0], 1 << 20);
    const StripedVolume volume(dir, Geometry{.members = 2, .chunk_sectors = 8, .workers = 1}, paths);
    // The loop device keeps its size, but reads past its backing file's end fail.
    ASSERT_EQ(truncate(backing.c_str(), 0), 0);
    const kel::MemberDevices members(props_of(volume));
    ASSERT_EQ(ioctl(members.fd(1), BLKFLSBUF, 0), 0);
    const kel::DataFileExtents file = kel::data_file_extents({{0, 8 * 4096}});
    uint8_t buffer[2 * 4096];
    EXPECT_EQ(kel::read_data_file(members, file, 0, 4096, buffer), 4096) << "member 0 reads";
    EXPECT_EQ(kel::read_data_file(members, file, 0, sizeof buffer, buffer), -EIO);
}

TEST(MemberDevices, RefusesMembersThatCannotHoldAStripe) {
    ScratchDir dir;
    ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0644), 0);
    kel::make_sparse_file(dir.file("m0"), 1 << 20);
    const struct {
        std::string member;
        std::string reason;
    } cases[] = {
        {dir.file("missing"), "open(" + dir.file("missing") + ") failed: No such file or directory"},
        {dir.file("folder"), dir.file("folder") + ": a member must be a regular file or a block device"},
        {dir.file("pipe"), dir.file("pipe") + ": a member must be a regular file or a block device"},
    };
    for (const auto &c : cases) {
        const StripedVolume volume(dir, Geometry{.members = 2, .chunk_sectors = 8, .workers = 1},
                                   {dir.file("m0"), c.member});
        try {
            const kel::MemberDevices members(props_of(volume));
            ADD_FAILURE() << c.member << " was accepted";
        } catch (const std::runtime_error &error) {
            EXPECT_NE(std::string(error.what()).find(c.reason), std::string::npos) << error.what();
        }
    }
}

}  // namespace
