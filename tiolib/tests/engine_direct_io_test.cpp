// Direct I/O ("DIRECTIO=1"): the members are opened with O_DIRECT and every transfer is
// whole blocks at block positions, yet streams stay byte-exact in calls of any size, on
// tmpfs and on the disk's file system; members or geometries that cannot take it are
// refused by tio_init.
#include "files.h"
#include "handles.h"
#include "output_capture.h"
#include "pattern.h"
#include "streams.h"
#include "watchdog.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>

using namespace tio_test;

namespace {

// Where the members live: /dev/shm is tmpfs, /var/tmp the disk's file system.
struct Place {
    const char *name;
    const char *parent;
};
const Place kPlaces[] = {{"tmpfs", "/dev/shm"}, {"disk", "/var/tmp"}};

// A geometry that every member can align: the start and the member offsets on 4 KiB.
Geometry aligned_geometry(int members, int workers, int chunk_sectors) {
    Geometry geometry{.members = members, .chunk_sectors = chunk_sectors, .workers = workers, .start_sector = 16};
    for (int m = 0; m < members; ++m) geometry.member_sectors.push_back(8 * (m + 1));
    return geometry;
}

// ---- The configuration entry ------------------------------------------------------------

TEST(DirectIoEntry, OnlyTheValueOneTurnsItOn) {
    struct Case {
        const char *entries;
        int32_t direct_io;
    };
    const Case cases[] = {
        {"", 0},
        {"DIRECTIO=1", 1},
        {"DIRECTIO=0", 0},
        {"DIRECTIO=yes", 0},
        {"DIRECTIO=", 0},
        {"DIRECTIO=11", 0},
        {"DIRECTIO=1 DIRECTIO=0", 0},
        {"DIRECTIO=0 DIRECTIO=1", 1},
        {"directio=1", 0},
    };
    ScratchDir dir;
    StripedVolume volume(dir, Geometry{});
    std::string plain;
    {
        std::ifstream in(volume.config_path());
        plain.assign(std::istreambuf_iterator<char>(in), {});
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("entries \"") + c.entries + "\"");
        kel::write_text_file(volume.config_path(), plain + c.entries + "\n");
        Handle handle(tio_open());
        ASSERT_TRUE(handle);
        StdoutCapture capture;
        EXPECT_EQ(tio_set_config(handle.get(), volume.config_path().c_str()), 0);
        EXPECT_EQ(capture.finish(), "") << "the entry is optional and never refused";
        EXPECT_EQ(handle->props->direct_io, c.direct_io);
        EXPECT_EQ(handle.close(), 0);
    }
}

// ---- Streams ------------------------------------------------------------------------------

struct DirectCase {
    size_t place;
    int members;
    int workers;
    int chunk_sectors;
    size_t plan;
};

class DirectIoStream : public testing::TestWithParam<DirectCase> {};

// The same round trip as the buffered streams: odd call sizes from an unaligned buffer,
// byte for byte on every member, read back in two cuttings.
TEST_P(DirectIoStream, LandsRoundRobinAndReadsBack) {
    const DirectCase &c = GetParam();
    ScratchDir dir(kPlaces[c.place].parent);
    const Geometry geometry = aligned_geometry(c.members, c.workers, c.chunk_sectors);
    StripedVolume volume(dir, geometry);
    enable_direct_io(volume.config_path());
    {
        std::string why;
        Handle probe = open_engine(volume.config_path(), 1, &why);
        ASSERT_TRUE(probe) << why;
        EXPECT_GT(probe->workers[0].devices[0].block_size, 0) << "the members are open for direct I/O";
    }
    const int64_t unit = geometry.chunk_bytes();
    check_stream_round_trip(volume, piece_plans()[c.plan].pieces(unit, c.members), 4 * unit, 500 + c.plan);
}

std::vector<DirectCase> direct_cases() {
    std::vector<DirectCase> cases;
    for (size_t place = 0; place < std::size(kPlaces); ++place) {
        for (auto [members, workers] : {std::pair{4, 2}, {5, 3}, {4, 1}})
            for (size_t plan : {0, 2, 3, 4}) cases.push_back({place, members, workers, 8, plan});
        for (size_t plan : {0, 3}) cases.push_back({place, 4, 2, 128, plan});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Members, DirectIoStream, testing::ValuesIn(direct_cases()),
                         [](const testing::TestParamInfo<DirectCase> &info) {
                             const DirectCase &c = info.param;
                             return std::string(kPlaces[c.place].name) + "_S" + std::to_string(c.members) + "_T" +
                                    std::to_string(c.workers) + "_U" + std::to_string(c.chunk_sectors) + "_" +
                                    piece_plans()[c.plan].name;
                         });

// A block-aligned buffer of the engine's allocator.
struct AlignedBytes {
    explicit AlignedBytes(int64_t size) : data(static_cast<uint8_t *>(tio_malloc(int32_t(size)))) {}
    ~AlignedBytes() { tio_free(data); }
    uint8_t *data;
};

// Calls from a block-aligned buffer go straight to the members where they can, partial
// blocks through the staging buffers. The members held other bytes before: the stream
// replaces exactly its own bytes, zeros pad at most the rest of the chunk its tail lies
// in, and nothing beyond a chunk the stream touches changes. Reading back into a poisoned
// buffer copies the stream's bytes and nothing after its end.
TEST(DirectIoStream, PaddingStaysInsideTheTailsChunk) {
    for (const Place &place : kPlaces) {
        SCOPED_TRACE(place.name);
        ScratchDir dir(place.parent);
        const Geometry geometry = aligned_geometry(4, 2, 128);
        const int64_t unit = geometry.chunk_bytes();
        const int64_t member_size = 64 * unit;
        const uint8_t marker = 0xAB;
        StripedVolume volume(dir, geometry);
        for (int m = 0; m < 4; ++m) kel::write_text_file(volume.member_path(m), std::string(size_t(member_size), char(marker)));
        enable_direct_io(volume.config_path());
        // Whole blocks, a partial block inside a chunk, then calls that continue it.
        const std::vector<int64_t> pieces = {5 * unit / 2, 8 * unit, 4096 + 100, unit - 100, 7, 3 * unit + 1000};
        int64_t total = 0;
        for (int64_t piece : pieces) total += piece;
        const std::vector<uint8_t> stream = kel::pattern_bytes(81, total);
        const int64_t write_offset = 2 * unit;
        Watchdog watchdog(std::chrono::seconds(60), "direct writes from an aligned buffer");
        {
            AlignedBytes source(total + unit);
            std::copy(stream.begin(), stream.end(), source.data);
            Handle writer = open_at(volume.config_path(), 1, write_offset);
            ASSERT_TRUE(writer);
            int64_t done = 0;
            for (int64_t piece : pieces) {
                ASSERT_EQ(tio_write(writer.get(), source.data + done, piece), int32_t(piece));
                done += piece;
            }
            ASSERT_EQ(tio_wait_threads(writer.get()), 0);
            ASSERT_EQ(writer.close(), 0);
        }

        std::vector<std::vector<int>> expected(4, std::vector<int>(size_t(member_size), marker));  // -1: 0 or marker
        for (int64_t i = 0; i < total; ++i) {
            const ModelPlace place = model_place(geometry, write_offset, i);
            expected[place.member][place.position] = stream[i];
        }
        // The rest of the stream's last chunk may hold the zeros that padded its last block.
        for (int64_t i = total; i % unit != 0; ++i) {
            const ModelPlace place = model_place(geometry, write_offset, i);
            expected[place.member][place.position] = -1;
        }
        for (int m = 0; m < 4; ++m) {
            const std::vector<uint8_t> image = read_all(volume.member_path(m));
            ASSERT_EQ(int64_t(image.size()), member_size) << "member " << m;
            int64_t wrong = -1;
            for (int64_t i = 0; i < member_size && wrong < 0; ++i) {
                const int want = expected[m][i];
                if (want >= 0 ? image[i] != want : image[i] != 0 && image[i] != marker) wrong = i;
            }
            EXPECT_EQ(wrong, -1) << "member " << m << " byte " << wrong;
        }

        const uint8_t poison = 0x5C;
        const int64_t room = (total / unit + 2) * unit;
        AlignedBytes back(room);
        std::fill(back.data, back.data + room, poison);
        Handle reader = open_at(volume.config_path(), -1, write_offset);
        ASSERT_TRUE(reader);
        ASSERT_EQ(tio_launch_read_threads(reader.get(), total), 0);
        const int64_t first = 3 * unit;  // a call that ends on a chunk boundary, then the rest
        ASSERT_EQ(tio_read(reader.get(), back.data, first), int32_t(first));
        ASSERT_EQ(tio_read(reader.get(), back.data + first, total - first), int32_t(total - first));
        EXPECT_EQ(tio_join_threads(reader.get()), 0);
        EXPECT_EQ(reader.close(), 0);
        EXPECT_TRUE(std::equal(stream.begin(), stream.end(), back.data));
        EXPECT_TRUE(std::all_of(back.data + total, back.data + room, [&](uint8_t b) { return b == poison; }))
            << "only the stream's bytes are copied";
    }
}

// ---- Refusals -----------------------------------------------------------------------------

// A member that refuses O_DIRECT, or a geometry whose chunks cannot start on the member's
// blocks, fails tio_init with one line naming the member and the reason; nothing stays
// open. tmpfs does not report a direct-I/O alignment, so its 4 KiB blocks count there.
TEST(DirectIoRefusals, NameTheMemberAndTheReason) {
    struct Case {
        const char *name;
        Geometry geometry;
        int odd_member;           // -1: every member a file of the directory
        std::string odd_path;
        const char *reason;
    };
    const Geometry good = aligned_geometry(4, 2, 8);
    Geometry small_chunk = good, odd_offset = good, odd_start = good;
    small_chunk.chunk_sectors = 1;
    odd_offset.member_sectors[2] = 9;
    odd_start.start_sector = 17;
    const std::vector<Case> cases = {
        {"a member that refuses O_DIRECT", good, 1, "/dev/null", "refuses direct I/O"},
        {"a chunk smaller than a block", small_chunk, -1, "", "the chunk size (512 bytes)"},
        {"a member offset off the blocks", odd_offset, -1, "", "its offset in the device table (4608 bytes)"},
        {"a start off the blocks", odd_start, -1, "", "the table's start (8704 bytes)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir("/dev/shm");
        std::vector<std::string> paths;
        for (int m = 0; m < c.geometry.members; ++m) {
            paths.push_back(m == c.odd_member ? c.odd_path : dir.file("member" + std::to_string(m)));
            if (m != c.odd_member) kel::make_sparse_file(paths.back(), 0);
        }
        StripedVolume volume(dir, c.geometry, paths);
        enable_direct_io(volume.config_path());
        const int descriptors = open_fd_count();
        for (int dir_at_init : {1, -1}) {
            Handle handle(tio_open());
            ASSERT_TRUE(handle);
            ASSERT_EQ(tio_set_config(handle.get(), volume.config_path().c_str()), 0);
            ASSERT_EQ(tio_set_dir(handle.get(), dir_at_init), 0);
            StdoutCapture capture;
            const int32_t initialised = tio_init(handle.get());
            const std::string printed = capture.finish();
            EXPECT_EQ(initialised, -1);
            EXPECT_EQ(count_error_lines(printed), 1) << printed;
            const std::string member = c.odd_member >= 0 ? c.odd_path : paths[c.geometry.member_sectors[2] == 9 ? 2 : 0];
            EXPECT_EQ(printed.rfind("Error! Device file " + member + " ", 0), 0u) << printed;
            EXPECT_NE(printed.find(c.reason), std::string::npos) << printed;
            EXPECT_EQ(handle.close(), 0);
            EXPECT_EQ(open_fd_count(), descriptors);
        }
    }
}

// Every extent starts on a block of every member: a position that is not one is refused.
TEST(DirectIoRefusals, AnOffsetOffTheBlocks) {
    ScratchDir dir("/var/tmp");
    StripedVolume volume(dir, aligned_geometry(4, 2, 8));
    enable_direct_io(volume.config_path());
    std::string why;
    Handle writer = open_engine(volume.config_path(), 1, &why);
    ASSERT_TRUE(writer) << why;
    StdoutCapture capture;
    EXPECT_EQ(tio_set_offset(writer.get(), 100), -1);
    EXPECT_EQ(capture.finish(), "Error! Couldn't perform seek\n");
    EXPECT_EQ(tio_set_offset(writer.get(), 4096), 0);
    EXPECT_EQ(writer.close(), 0);
}

}  // namespace
