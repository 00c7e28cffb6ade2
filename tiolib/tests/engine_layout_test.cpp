// Where a written stream lands on the member devices, and that it reads back whole.
#include "files.h"
#include "handles.h"
#include "output_capture.h"
#include "pattern.h"
#include "streams.h"
#include "watchdog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sys/mman.h>
#include <unistd.h>

using namespace tio_test;

namespace {

struct StreamCase {
    int members;
    int workers;
    int chunk_sectors;
    size_t plan;
};

std::string case_name(const testing::TestParamInfo<StreamCase> &info) {
    const StreamCase &c = info.param;
    return "S" + std::to_string(c.members) + "_T" + std::to_string(c.workers) + "_U" +
           std::to_string(c.chunk_sectors) + "_" + piece_plans()[c.plan].name;
}

std::vector<StreamCase> all_cases(std::vector<int> chunk_sectors, std::vector<size_t> plans) {
    std::vector<StreamCase> cases;
    for (int sectors : chunk_sectors)
        for (int members : {4, 5})
            for (int workers : {1, 2, 3})
                for (size_t plan : plans) cases.push_back({members, workers, sectors, plan});
    return cases;
}

class StreamLayout : public testing::TestWithParam<StreamCase> {};

TEST_P(StreamLayout, LandsRoundRobinOnEveryMemberAndReadsBack) {
    const StreamCase &c = GetParam();
    ScratchDir dir;
    const Geometry geometry{.members = c.members, .chunk_sectors = c.chunk_sectors, .workers = c.workers};
    StripedVolume volume(dir, geometry);
    const int64_t unit = geometry.chunk_bytes();
    const std::vector<int64_t> pieces = piece_plans()[c.plan].pieces(unit, c.members);
    check_stream_round_trip(volume, pieces, 2 * unit + 1024, 1000 + c.plan);
}

INSTANTIATE_TEST_SUITE_P(SmallChunks, StreamLayout, testing::ValuesIn(all_cases({8}, {0, 1, 2, 3, 4})),
                         case_name);
INSTANTIATE_TEST_SUITE_P(LargeChunks, StreamLayout, testing::ValuesIn(all_cases({128}, {0, 3})),
                         case_name);

// A four-member volume with two workers, as in the usual examples.
class FourMembers : public testing::Test {
protected:
    void SetUp() override { volume_ = std::make_unique<StripedVolume>(dir_, geometry_); }
    int64_t unit() const { return geometry_.chunk_bytes(); }

    ScratchDir dir_;
    const Geometry geometry_{.members = 4, .workers = 2};
    std::unique_ptr<StripedVolume> volume_;
};

int64_t queued(const TioHandle *handle, int worker) {
    return __atomic_load_n(&handle->workers[worker].chunks_queued, __ATOMIC_ACQUIRE);
}
int64_t done(const TioHandle *handle, int worker) {
    return __atomic_load_n(&handle->workers[worker].chunks_done, __ATOMIC_ACQUIRE);
}

// Whole-chunk calls: each call's bytes are on the members when it returns, the rotation
// moves by the chunks beyond whole stripes, and a whole number of stripes leaves it where
// it was. The engine's calls keep no hand-over counts (those are the described steps').
TEST_F(FourMembers, WholeChunkCallsAreWrittenOnReturnAndKeepTheirRotation) {
    struct Call {
        int64_t chunks;
        int32_t phase_after;
    };
    const std::vector<Call> calls = {
        {3, 3},  // devices 0, 1, 2 take a chunk
        {8, 3},  // two whole stripes
        {1, 0},  // the device after the last one
        {4, 0},  // one whole stripe
        {6, 2},
    };
    Watchdog watchdog(std::chrono::seconds(60), "whole-chunk writes");
    std::string why;
    Handle handle = open_engine(volume_->config_path(), 1, &why);
    ASSERT_TRUE(handle) << why;
    ASSERT_EQ(handle->worker_count, 2);
    int64_t total = 0;
    for (const Call &call : calls) total += call.chunks * unit();
    const std::vector<uint8_t> stream = kel::pattern_bytes(7, total);
    ASSERT_EQ(tio_set_offset(handle.get(), 0), 0);

    int64_t written = 0;
    for (const Call &call : calls) {
        const int64_t length = call.chunks * unit();
        ASSERT_EQ(tio_write(handle.get(), stream.data() + written, length), int32_t(length));
        written += length;
        expect_stream_on_members(*volume_, 0, std::vector<uint8_t>(stream.begin(), stream.begin() + written));
        EXPECT_EQ(handle->stripe_phase, call.phase_after) << call.chunks;
        EXPECT_EQ(handle->chunk_fill, 0);
    }
    ASSERT_EQ(tio_wait_threads(handle.get()), 0);
    EXPECT_EQ(done(handle.get(), 0), queued(handle.get(), 0));
    EXPECT_EQ(done(handle.get(), 1), queued(handle.get(), 1));
    ASSERT_EQ(handle.close(), 0);

    expect_stream_on_members(*volume_, 0, stream);
}

// tio_close drains the disk threads: what was handed over is on the devices afterwards,
// also without tio_wait_threads.
TEST_F(FourMembers, CloseRightAfterWriteStillWritesEveryChunk) {
    const std::vector<int64_t> pieces = {unit() * 5 / 2, 9 * unit() + 11, unit() - 11, 17 * unit()};
    int64_t total = 0;
    for (int64_t piece : pieces) total += piece;
    const std::vector<uint8_t> stream = kel::pattern_bytes(11, total);
    Watchdog watchdog(std::chrono::seconds(60), "close after write");
    std::string why;
    Handle handle = open_at(volume_->config_path(), 1, unit());
    ASSERT_TRUE(handle);
    ASSERT_TRUE(write_in_pieces(handle.get(), stream, pieces, &why)) << why;
    ASSERT_EQ(handle.close(), 0);

    expect_stream_on_members(*volume_, unit(), stream);
}

// Moving to a new extent right after writing (no wait in between) keeps what was handed
// over at the old extent; the stream then continues at the new one.
TEST_F(FourMembers, NewOffsetRightAfterWritingKeepsEarlierChunksInPlace) {
    const int64_t stripe = 4 * unit();
    const std::vector<uint8_t> first = kel::pattern_bytes(15, 3 * stripe);
    const std::vector<uint8_t> second = kel::pattern_bytes(16, 2 * stripe + unit() / 2 + 10);
    const int64_t first_offset = unit(), second_offset = 9 * unit();
    Watchdog watchdog(std::chrono::seconds(60), "moving to a new extent");
    std::string why;
    Handle handle = open_at(volume_->config_path(), 1, first_offset);
    ASSERT_TRUE(handle);
    ASSERT_TRUE(write_in_pieces(handle.get(), first, {stripe + unit() / 3, 2 * stripe - unit() / 3}, &why)) << why;
    ASSERT_EQ(tio_set_offset(handle.get(), second_offset), 0);
    ASSERT_TRUE(write_in_pieces(handle.get(), second, {unit() * 5 / 2, int64_t(second.size()) - unit() * 5 / 2}, &why))
        << why;
    ASSERT_EQ(tio_wait_threads(handle.get()), 0);
    ASSERT_EQ(handle.close(), 0);

    auto expected = expected_member_images(geometry_, first_offset, first);
    const auto later = expected_member_images(geometry_, second_offset, second);
    for (int m = 0; m < 4; ++m) {
        ASSERT_LE(expected[m].size(), later[m].size());
        for (size_t i = 0; i < later[m].size(); ++i)
            if (i >= expected[m].size() || later[m][i] != 0) {
                expected[m].resize(std::max(expected[m].size(), i + 1), 0);
                expected[m][i] = later[m][i];
            }
    }
    expect_members_hold(*volume_, expected);
}

// Every extent is a stream of its own: tio_set_offset starts it on member 0 even when
// the previous extent ended inside a chunk, so each reads back as one read sequence. A
// later write-mode handle opens the members without truncating them, so the extents of
// earlier data files stay.
TEST_F(FourMembers, ExtentsStartOnMemberZeroAndLaterHandlesKeepEarlierOnes) {
    struct Extent {
        int64_t offset;
        std::vector<uint8_t> bytes;
    };
    const std::vector<Extent> extents = {{unit(), kel::pattern_bytes(21, unit() * 5 / 2 + 7)},
                                         {6 * unit(), kel::pattern_bytes(22, 9 * unit() + 333)},
                                         {12 * unit(), kel::pattern_bytes(23, 3 * unit() + 1)}};
    Watchdog watchdog(std::chrono::seconds(60), "extents of several handles");
    std::string why;
    Handle first = open_engine(volume_->config_path(), 1, &why);
    ASSERT_TRUE(first) << why;
    for (size_t e = 0; e < 2; ++e) {
        ASSERT_EQ(tio_set_offset(first.get(), extents[e].offset), 0);
        EXPECT_EQ(first->stripe_phase, 0);
        EXPECT_EQ(first->chunk_fill, 0);
        ASSERT_TRUE(write_in_pieces(first.get(), extents[e].bytes, {unit() + 5, int64_t(extents[e].bytes.size()) - unit() - 5},
                                    &why)) << why;
    }
    ASSERT_EQ(first.close(), 0);
    Handle second = open_at(volume_->config_path(), 1, extents[2].offset);
    ASSERT_TRUE(second);
    ASSERT_TRUE(write_in_pieces(second.get(), extents[2].bytes, {int64_t(extents[2].bytes.size())}, &why)) << why;
    ASSERT_EQ(second.close(), 0);

    std::vector<std::vector<uint8_t>> expected(4);
    for (const Extent &extent : extents) {
        const auto image = expected_member_images(geometry_, extent.offset, extent.bytes);
        for (int m = 0; m < 4; ++m) {
            if (expected[m].size() < image[m].size()) expected[m].resize(image[m].size(), 0);
            for (size_t i = 0; i < image[m].size(); ++i)
                if (image[m][i] != 0) expected[m][i] = image[m][i];
        }
    }
    expect_members_hold(*volume_, expected);

    Handle reader = open_engine(volume_->config_path(), -1, &why);
    ASSERT_TRUE(reader) << why;
    for (const Extent &extent : extents) {
        const int64_t length = int64_t(extent.bytes.size());
        std::vector<uint8_t> back(size_t((length + unit() - 1) / unit() * unit()), 0);
        ASSERT_EQ(tio_set_offset(reader.get(), extent.offset), 0);
        ASSERT_EQ(tio_launch_read_threads(reader.get(), length), 0);
        ASSERT_EQ(tio_read(reader.get(), back.data(), length), int32_t(length));
        ASSERT_EQ(tio_join_threads(reader.get()), 0);
        EXPECT_TRUE(std::equal(extent.bytes.begin(), extent.bytes.end(), back.begin())) << "extent at " << extent.offset;
    }
    ASSERT_EQ(reader.close(), 0);
}

// The engine keeps no state outside its handles: two handles on two volumes, used in
// turns, each produce their own stream.
TEST(SideBySide, TwoHandlesInTurnsKeepTheirOwnStreams) {
    ScratchDir dir_a, dir_b;
    const Geometry a{.members = 4, .workers = 2};
    const Geometry b{.members = 5, .chunk_sectors = 16, .workers = 3};
    StripedVolume volume_a(dir_a, a), volume_b(dir_b, b);
    const std::vector<uint8_t> stream_a = kel::pattern_bytes(17, 23 * a.chunk_bytes() + 7);
    const std::vector<uint8_t> stream_b = kel::pattern_bytes(18, 17 * b.chunk_bytes() + 300);
    Watchdog watchdog(std::chrono::seconds(60), "two handles");
    Handle writer_a = open_at(volume_a.config_path(), 1, 0);
    ASSERT_TRUE(writer_a);
    Handle writer_b = open_at(volume_b.config_path(), 1, 0);
    ASSERT_TRUE(writer_b);
    size_t done_a = 0, done_b = 0;
    for (int turn = 0; done_a < stream_a.size() || done_b < stream_b.size(); ++turn) {
        const size_t piece_a = std::min(stream_a.size() - done_a, size_t(3000 + 1111 * (turn % 5)));
        const size_t piece_b = std::min(stream_b.size() - done_b, size_t(7000 + 777 * (turn % 3)));
        ASSERT_EQ(tio_write(writer_a.get(), stream_a.data() + done_a, int64_t(piece_a)), int32_t(piece_a));
        ASSERT_EQ(tio_write(writer_b.get(), stream_b.data() + done_b, int64_t(piece_b)), int32_t(piece_b));
        done_a += piece_a;
        done_b += piece_b;
    }
    ASSERT_EQ(writer_b.close(), 0);
    ASSERT_EQ(writer_a.close(), 0);
    expect_members_hold(volume_a, expected_member_images(a, 0, stream_a), {}, "volume a, ");
    expect_members_hold(volume_b, expected_member_images(b, 0, stream_b), {}, "volume b, ");
}

// tio_seek moves every device by whole stripes and returns the rest: a read after it
// starts that many stripes into the stream.
TEST_F(FourMembers, SeekSkipsWholeStripesAndReturnsTheRest) {
    const int64_t stripe = 4 * unit();
    const std::vector<uint8_t> stream = kel::pattern_bytes(5, 6 * stripe);
    Watchdog watchdog(std::chrono::seconds(60), "seek");
    std::string why;
    Handle writer = open_at(volume_->config_path(), 1, 0);
    ASSERT_TRUE(writer);
    ASSERT_TRUE(write_in_pieces(writer.get(), stream, {6 * stripe}, &why)) << why;
    ASSERT_EQ(tio_wait_threads(writer.get()), 0);
    ASSERT_EQ(writer.close(), 0);

    struct Seek {
        int64_t offset;     // in the stream
        int32_t rest;       // the part below one stripe
        int64_t first_byte; // stream byte that the next read delivers first
    };
    const std::vector<Seek> seeks = {
        {2 * stripe + unit() * 3 / 2, int32_t(unit() * 3 / 2), 2 * stripe},
        {3 * unit(), int32_t(3 * unit()), 0},
        {stripe, 0, stripe},
    };
    for (const Seek &seek : seeks) {
        Handle reader = open_at(volume_->config_path(), -1, 0);
        ASSERT_TRUE(reader);
        EXPECT_EQ(tio_seek(reader.get(), seek.offset), seek.rest) << seek.offset;
        // Then back: a negative offset moves back by whole stripes, truncating toward zero.
        if (seek.first_byte >= stripe) {
            ASSERT_EQ(tio_seek(reader.get(), -(stripe + unit() / 2)), -int32_t(unit() / 2));
            ASSERT_EQ(tio_seek(reader.get(), stripe), 0);
        }
        const int64_t length = 2 * stripe;
        std::vector<uint8_t> buffer(length);
        ASSERT_EQ(tio_launch_read_threads(reader.get(), length), 0);
        ASSERT_EQ(tio_read(reader.get(), buffer.data(), length), int32_t(length));
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), stream.begin() + seek.first_byte))
            << "after seeking to " << seek.offset;
        EXPECT_EQ(tio_join_threads(reader.get()), 0);
        ASSERT_EQ(reader.close(), 0);
    }
    // A move before the start of the devices fails.
    Handle reader = open_at(volume_->config_path(), -1, 0);
    ASSERT_TRUE(reader);
    EXPECT_EQ(tio_seek(reader.get(), -100 * stripe), -1);
    EXPECT_EQ(reader.close(), 0);
}

// A page the engine may not touch: reading or writing it ends the test with a fault.
struct ForbiddenPage {
    ForbiddenPage() {
        address = mmap(nullptr, size_t(getpagesize()), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    }
    ~ForbiddenPage() { munmap(address, size_t(getpagesize())); }
    void *address;
};

// Empty and negative calls do nothing: no byte of the caller's buffer is touched, the
// rotation and the fill stay, and the stream around them lands as if they never were.
TEST_F(FourMembers, EmptyAndNegativeCallsTouchNothing) {
    ForbiddenPage forbidden;
    ASSERT_NE(forbidden.address, MAP_FAILED);
    const std::vector<uint8_t> stream = kel::pattern_bytes(13, 7 * unit() + 100);
    Watchdog watchdog(std::chrono::seconds(60), "empty calls");
    Handle writer = open_at(volume_->config_path(), 1, 0);
    ASSERT_TRUE(writer);
    const int64_t first = 2 * unit() + 100;
    ASSERT_EQ(tio_write(writer.get(), stream.data(), first), int32_t(first));
    const int64_t queued_before = queued(writer.get(), 0) + queued(writer.get(), 1);
    EXPECT_EQ(tio_write(writer.get(), forbidden.address, 0), 0);
    EXPECT_EQ(tio_write(writer.get(), nullptr, 0), 0);
    {
        StdoutCapture capture;
        EXPECT_EQ(tio_write(writer.get(), forbidden.address, -1), -1);
        EXPECT_EQ(tio_write(writer.get(), forbidden.address, -int64_t(unit()) * 3), -1);
        capture.finish();
    }
    EXPECT_EQ(writer->stripe_phase, 2);
    EXPECT_EQ(writer->chunk_fill, 100);
    EXPECT_EQ(queued(writer.get(), 0) + queued(writer.get(), 1), queued_before);
    const int64_t rest = int64_t(stream.size()) - first;
    ASSERT_EQ(tio_write(writer.get(), stream.data() + first, rest), int32_t(rest));
    ASSERT_EQ(tio_wait_threads(writer.get()), 0);
    ASSERT_EQ(writer.close(), 0);
    expect_stream_on_members(*volume_, 0, stream);

    Handle reader = open_at(volume_->config_path(), -1, 0);
    ASSERT_TRUE(reader);
    ASSERT_EQ(tio_launch_read_threads(reader.get(), int64_t(stream.size())), 0);
    std::vector<uint8_t> back(8 * unit());
    ASSERT_EQ(tio_read(reader.get(), back.data(), unit()), int32_t(unit()));
    EXPECT_EQ(tio_read(reader.get(), forbidden.address, 0), 0);
    EXPECT_EQ(tio_read(reader.get(), nullptr, 0), 0);
    {
        StdoutCapture capture;
        EXPECT_EQ(tio_read(reader.get(), forbidden.address, -5), -1);
        capture.finish();
    }
    EXPECT_EQ(reader->stripe_phase, 1);
    const int64_t rest_back = int64_t(stream.size()) - unit();
    ASSERT_EQ(tio_read(reader.get(), back.data() + unit(), rest_back), int32_t(rest_back));
    EXPECT_TRUE(std::equal(stream.begin(), stream.end(), back.begin()));
    EXPECT_EQ(tio_join_threads(reader.get()), 0);
    ASSERT_EQ(reader.close(), 0);
}

// A call whose chunk count does not fit 32 bits is refused before anything is copied
// (the buffer is a forbidden page; the length is never backed by memory).
TEST(HugeCalls, ChunkCountBeyond32BitsIsRefused) {
    ScratchDir dir;
    const Geometry geometry{.members = 2, .chunk_sectors = 1, .workers = 1};  // 512-byte chunks
    StripedVolume volume(dir, geometry);
    ForbiddenPage forbidden;
    const int64_t huge = (int64_t(1) << 31) * 512 + 3 * 512;  // 2^31 + 3 chunks
    Watchdog watchdog(std::chrono::seconds(60), "huge calls");
    std::string why;

    Handle writer = open_engine(volume.config_path(), 1, &why);
    ASSERT_TRUE(writer) << why;
    StdoutCapture capture;
    const int32_t write_rc = tio_write(writer.get(), forbidden.address, huge);
    const std::string printed = capture.finish();
    EXPECT_EQ(write_rc, -1);
    EXPECT_EQ(count_error_lines(printed), 1) << printed;
    EXPECT_EQ(writer->stripe_phase, 0);
    EXPECT_EQ(tio_wait_threads(writer.get()), 0);
    EXPECT_EQ(writer.close(), 0);

    Handle reader = open_engine(volume.config_path(), -1, &why);
    ASSERT_TRUE(reader) << why;
    ASSERT_EQ(tio_launch_read_threads(reader.get(), 4 * 512), 0);
    StdoutCapture read_capture;
    const int32_t read_rc = tio_read(reader.get(), forbidden.address, huge);
    const std::string read_printed = read_capture.finish();
    EXPECT_EQ(read_rc, -1);
    EXPECT_GE(count_error_lines(read_printed), 1) << read_printed;
    EXPECT_EQ(reader->stripe_phase, 0);
    EXPECT_EQ(reader.close(), 0);
}

}  // namespace
