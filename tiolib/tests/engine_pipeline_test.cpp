// The read sequence and the thread life cycle: misuse is refused at once instead of
// waiting for ever, early closes end promptly, and short device reads copy exactly what
// the device delivered.
#include "handles.h"
#include "output_capture.h"
#include "pattern.h"
#include "striped_volume.h"
#include "watchdog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <unistd.h>

using namespace tio_test;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Four member files of 64 chunks each, two workers.
class ReadSequence : public testing::Test {
protected:
    void SetUp() override {
        volume_ = std::make_unique<StripedVolume>(dir_, geometry_);
        for (int m = 0; m < 4; ++m)
            kel::write_text_file(volume_->member_path(m), std::string(size_t(80 * unit()), char('A' + m)));
    }
    int64_t unit() const { return geometry_.chunk_bytes(); }
    Handle reader() { return open_at(volume_->config_path(), -1, 0); }

    ScratchDir dir_;
    const Geometry geometry_{.members = 4, .workers = 2};
    std::unique_ptr<StripedVolume> volume_;
};

// A read that would ask some device for a chunk the plan does not give it would wait for
// ever; it is refused at once with an error line, and the handle still closes.
TEST_F(ReadSequence, ReadsBeyondThePlanAreRefusedAtOnce) {
    struct Case {
        const char *name;
        int64_t planned;                 // bytes of the read sequence
        std::vector<int64_t> good_reads; // accepted calls before the refused one
        int64_t refused;                 // the call asking too much
    };
    const int64_t u = unit();
    const std::vector<Case> cases = {
        {"half the devices planned", 2 * u, {}, 4 * u},
        {"one stripe, then one chunk more", 4 * u, {4 * u}, u},
        {"ends in a tail, then the next device", 10 * u + u / 2, {3 * u, 8 * u}, u},
        {"nothing planned", 0, {}, u},
        {"no launch at all", -1, {}, u},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Watchdog watchdog(std::chrono::seconds(30), c.name);
        Handle handle = reader();
        ASSERT_TRUE(handle);
        if (c.planned >= 0) {
            ASSERT_EQ(tio_launch_read_threads(handle.get(), c.planned), 0);
        }
        std::vector<uint8_t> buffer(16 * u);
        for (int64_t length : c.good_reads) ASSERT_EQ(tio_read(handle.get(), buffer.data(), length), int32_t(length));
        StdoutCapture capture;
        const Clock::time_point start = Clock::now();
        const int32_t rc = tio_read(handle.get(), buffer.data(), c.refused);
        const double took = seconds_since(start);
        const std::string printed = capture.finish();
        EXPECT_EQ(rc, -1);
        EXPECT_LT(took, 5.0);
        EXPECT_GE(count_error_lines(printed), 1) << printed;
        EXPECT_EQ(handle.close(), 0);
    }
}

TEST_F(ReadSequence, LaunchTotals) {
    Watchdog watchdog(std::chrono::seconds(30), "launching read sequences");
    Handle handle = reader();
    ASSERT_TRUE(handle);
    StdoutCapture capture;
    EXPECT_EQ(tio_launch_read_threads(handle.get(), -1), -1);
    capture.finish();
    EXPECT_EQ(tio_launch_read_threads(handle.get(), 0), 0);
    EXPECT_EQ(tio_read(handle.get(), nullptr, 0), 0);
    EXPECT_EQ(tio_join_threads(handle.get()), 0);
    EXPECT_EQ(handle.close(), 0);

    // A write-mode handle plans nothing and starts nothing.
    std::string why;
    Handle writer = open_engine(volume_->config_path(), 1, &why);
    ASSERT_TRUE(writer) << why;
    EXPECT_EQ(tio_launch_read_threads(writer.get(), 8 * unit()), 0);
    EXPECT_EQ(tio_wait_threads(writer.get()), 0);
    EXPECT_EQ(writer.close(), 0);
}

// tio_join_threads waits for each disk thread once: a second call, the shutdown after it
// and a call before any launch find nothing to wait for.
TEST_F(ReadSequence, JoinWaitsForEachThreadOnce) {
    Watchdog watchdog(std::chrono::seconds(30), "joining read threads");
    Handle handle = reader();
    ASSERT_TRUE(handle);
    EXPECT_EQ(tio_join_threads(handle.get()), 0) << "no read sequence was launched";
    ASSERT_EQ(tio_launch_read_threads(handle.get(), 6 * unit()), 0);
    std::vector<uint8_t> buffer(6 * unit());
    ASSERT_EQ(tio_read(handle.get(), buffer.data(), 6 * unit()), int32_t(6 * unit()));
    for (int64_t k = 0; k < 6; ++k) EXPECT_EQ(buffer[k * unit()], 'A' + k % 4) << "chunk " << k;
    EXPECT_EQ(tio_join_threads(handle.get()), 0);
    EXPECT_EQ(tio_join_threads(handle.get()), 0);
    EXPECT_EQ(handle.close(), 0);
}

TEST_F(ReadSequence, JoinIsRefusedAtOnceInWriteMode) {
    Watchdog watchdog(std::chrono::seconds(30), "joining write-mode threads");
    std::string why;
    Handle writer = open_engine(volume_->config_path(), 1, &why);
    ASSERT_TRUE(writer) << why;
    const std::vector<uint8_t> data = kel::pattern_bytes(3, 5 * unit());
    ASSERT_EQ(tio_write(writer.get(), data.data(), int64_t(data.size())), int32_t(data.size()));
    const Clock::time_point start = Clock::now();
    StdoutCapture capture;
    EXPECT_EQ(tio_join_threads(writer.get()), -1);
    capture.finish();
    EXPECT_LT(seconds_since(start), 5.0);
    EXPECT_EQ(tio_wait_threads(writer.get()), 0);
    EXPECT_EQ(writer.close(), 0);
}

// Transfers in the direction the handle was not opened for would wait for ever for the
// other side's thread; they are refused at once.
TEST_F(ReadSequence, TransfersAgainstTheDirectionAreRefused) {
    Watchdog watchdog(std::chrono::seconds(30), "transfers against the direction");
    const std::vector<uint8_t> data = kel::pattern_bytes(9, 16 * unit());
    std::vector<uint8_t> buffer(16 * unit());
    std::string why;
    Handle writer = open_engine(volume_->config_path(), 1, &why);
    ASSERT_TRUE(writer) << why;
    {
        StdoutCapture capture;
        EXPECT_EQ(tio_read(writer.get(), buffer.data(), 16 * unit()), -1);
        capture.finish();
    }
    EXPECT_EQ(tio_wait_threads(writer.get()), 0);
    EXPECT_EQ(writer.close(), 0);

    Handle handle = reader();
    ASSERT_TRUE(handle);
    ASSERT_EQ(tio_launch_read_threads(handle.get(), 16 * unit()), 0);
    {
        StdoutCapture capture;
        EXPECT_EQ(tio_write(handle.get(), data.data(), 16 * unit()), -1);
        capture.finish();
    }
    EXPECT_EQ(tio_read(handle.get(), buffer.data(), 16 * unit()), int32_t(16 * unit()));
    EXPECT_EQ(buffer[5 * unit()], 'B');
    EXPECT_EQ(tio_join_threads(handle.get()), 0);
    EXPECT_EQ(handle.close(), 0);
}

// One handle, two read sequences: the second starts where it is positioned and reads its
// own plan from the first device on.
TEST_F(ReadSequence, ASecondSequenceOnTheSameHandle) {
    for (int m = 0; m < 4; ++m) {
        std::vector<uint8_t> content = kel::pattern_bytes(60 + m, 80 * unit());
        kel::write_text_file(volume_->member_path(m), std::string(content.begin(), content.end()));
    }
    Watchdog watchdog(std::chrono::seconds(30), "two read sequences");
    Handle handle = reader();
    ASSERT_TRUE(handle);
    const std::vector<uint8_t> stream_at_0 = [&] {
        std::vector<uint8_t> out;
        std::string why;
        EXPECT_TRUE(read_back(volume_->config_path(), 0, 24 * unit(), {24 * unit()}, &out, &why)) << why;
        return out;
    }();
    ASSERT_EQ(stream_at_0.size(), size_t(24 * unit()));
    // The first sequence stops half-way through a stripe, the second starts one stripe
    // row further on every device.
    std::vector<uint8_t> first(6 * unit()), second(8 * unit());
    ASSERT_EQ(tio_launch_read_threads(handle.get(), 6 * unit()), 0);
    ASSERT_EQ(tio_read(handle.get(), first.data(), 6 * unit()), int32_t(6 * unit()));
    ASSERT_EQ(tio_join_threads(handle.get()), 0);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), stream_at_0.begin()));
    ASSERT_EQ(tio_set_offset(handle.get(), 3 * unit()), 0);
    ASSERT_EQ(tio_launch_read_threads(handle.get(), 8 * unit()), 0);
    ASSERT_EQ(tio_read(handle.get(), second.data(), 3 * unit()), int32_t(3 * unit()));
    ASSERT_EQ(tio_read(handle.get(), second.data() + 3 * unit(), 5 * unit()), int32_t(5 * unit()));
    ASSERT_EQ(tio_join_threads(handle.get()), 0);
    EXPECT_TRUE(std::equal(second.begin(), second.end(), stream_at_0.begin() + 12 * unit()));
    EXPECT_EQ(handle.close(), 0);
}

// The caller stops early: the disk threads still have planned chunks (and wait for empty
// buffers); tio_close ends them and returns promptly.
TEST_F(ReadSequence, CloseWhileDiskThreadsStillHaveChunks) {
    for (int chunks_read : {0, 1, 5}) {
        SCOPED_TRACE(std::to_string(chunks_read) + " chunks read before closing");
        Watchdog watchdog(std::chrono::seconds(30), "closing an unfinished read sequence");
        Handle handle = reader();
        ASSERT_TRUE(handle);
        ASSERT_EQ(tio_launch_read_threads(handle.get(), 64 * unit()), 0);
        std::vector<uint8_t> buffer(8 * unit());
        if (chunks_read > 0) {
            ASSERT_EQ(tio_read(handle.get(), buffer.data(), chunks_read * unit()), int32_t(chunks_read * unit()));
        }
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(handle.close(), 0);
        EXPECT_LT(seconds_since(start), 5.0);
    }
}

// A device that ends inside a chunk delivers fewer bytes than the read plan holds: the
// tio_read that takes such a chunk fails with one line naming the member, exactly the
// delivered bytes are copied, the rest of that chunk's room in the caller's buffer is left
// alone, and every other chunk still lands at its own place. A read past the end delivers
// nothing. Calls whose chunks all arrive whole succeed.
TEST(ShortDeviceReads, CopyExactlyTheDeliveredBytes) {
    ScratchDir dir;
    const Geometry geometry{.members = 4, .workers = 2, .start_sector = 0, .member_sectors = {0, 0, 0, 0}};
    StripedVolume volume(dir, geometry);
    const int64_t unit = geometry.chunk_bytes();
    const std::vector<int64_t> member_sizes = {3 * unit, unit + unit / 2 + 100, 3 * unit, 2 * unit + 1};
    std::vector<std::vector<uint8_t>> contents;
    for (int m = 0; m < 4; ++m) {
        contents.push_back(kel::pattern_bytes(40 + m, member_sizes[m]));
        kel::write_text_file(volume.member_path(m), std::string(contents[m].begin(), contents[m].end()));
    }
    const int64_t total = 12 * unit;
    const uint8_t poison = 0xEE;
    Watchdog watchdog(std::chrono::seconds(60), "short reads");

    for (const std::vector<int> &cutting : std::vector<std::vector<int>>{{12}, {1}, {5, 3}}) {
        SCOPED_TRACE("calls of " + std::to_string(cutting[0]) + " chunks first");
        Handle handle = open_at(volume.config_path(), -1, 0);
        ASSERT_TRUE(handle);
        ASSERT_EQ(tio_launch_read_threads(handle.get(), total), 0);
        std::vector<uint8_t> buffer(total, poison);
        int64_t done = 0;
        for (int64_t piece : read_pieces(total, unit, cutting)) {
            bool whole = true;  // every chunk of the call arrives whole
            std::string short_member;
            for (int64_t k = done / unit; k < (done + piece) / unit; ++k) {
                if (member_sizes[k % 4] >= (k / 4 + 1) * unit) continue;
                if (whole) short_member = volume.member_path(int(k % 4));
                whole = false;
            }
            StdoutCapture capture;
            const int32_t got = tio_read(handle.get(), buffer.data() + done, piece);
            const std::string printed = capture.finish();
            EXPECT_EQ(got, whole ? int32_t(piece) : -1) << "call at chunk " << done / unit;
            EXPECT_EQ(count_error_lines(printed), whole ? 0 : 1) << printed;
            EXPECT_NE(printed.find(short_member), std::string::npos) << printed;
            done += piece;
        }
        EXPECT_EQ(tio_join_threads(handle.get()), 0);
        EXPECT_EQ(handle.close(), 0);

        for (int64_t k = 0; k < 12; ++k) {
            const int member = int(k % 4);
            const int64_t from = (k / 4) * unit;
            const int64_t delivered = std::clamp<int64_t>(member_sizes[member] - from, 0, unit);
            const uint8_t *got = buffer.data() + k * unit;
            EXPECT_TRUE(std::equal(got, got + delivered, contents[member].begin() + from)) << "chunk " << k;
            EXPECT_TRUE(std::all_of(got + delivered, got + unit, [&](uint8_t b) { return b == poison; }))
                << "chunk " << k << " holds " << delivered << " delivered bytes and nothing more";
        }
    }
}


// A member truncated after the stream was written holds less than the read plan expects:
// every tio_read that takes one of its missing chunks fails with one line naming it, copies
// what arrived and leaves the rest of its buffer alone; the other calls succeed. The read
// sequence's own final, shorter chunk is not short.
TEST(TruncatedMember, FailsTheReadsThatMissBytes) {
    const Geometry geometry{.members = 4, .workers = 2};
    const int64_t unit = geometry.chunk_bytes();
    const int64_t total = 10 * unit + 100;  // chunk 10, the last, is 100 bytes on member 2
    struct Case {
        const char *name;
        int member;                // truncated so that its part of the extent keeps
        int64_t keeps;             // this many bytes; -1: not truncated
        std::vector<int> cutting;  // chunks per tio_read
    };
    const std::vector<Case> cases = {
        {"untouched, in one call", 0, -1, {11}},
        {"untouched, chunk by chunk", 0, -1, {1}},
        {"the final chunk cut short", 2, 2 * unit + 90, {1}},
        {"cut inside a whole chunk, in one call", 1, unit + 1000, {11}},
        {"cut inside a whole chunk, in pieces", 1, unit + 1000, {3, 2}},
        {"cut at a chunk boundary", 3, unit, {4}},
        {"emptied", 0, 0, {2, 5}},
    };
    const std::vector<uint8_t> stream = kel::pattern_bytes(61, total);
    const uint8_t poison = 0xA7;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        StripedVolume volume(dir, geometry);
        Watchdog watchdog(std::chrono::seconds(60), c.name);
        {
            Handle writer = open_at(volume.config_path(), 1, 0);
            ASSERT_TRUE(writer);
            std::string why;
            ASSERT_TRUE(write_in_pieces(writer.get(), stream, {total}, &why)) << why;
            ASSERT_EQ(tio_wait_threads(writer.get()), 0);
            ASSERT_EQ(writer.close(), 0);
        }
        const int64_t part_start = member_part_start(geometry, c.member, 0);
        if (c.keeps >= 0) {
            ASSERT_EQ(truncate(volume.member_path(c.member).c_str(), part_start + c.keeps), 0);
        }
        // What each chunk of the stream delivers: all it holds unless its member was cut.
        auto delivered = [&](int64_t k) {
            const int64_t planned = std::min(unit, total - k * unit);
            if (c.keeps < 0 || k % 4 != c.member) return planned;
            return std::clamp<int64_t>(c.keeps - (k / 4) * unit, 0, planned);
        };

        Handle reader = open_at(volume.config_path(), -1, 0);
        ASSERT_TRUE(reader);
        ASSERT_EQ(tio_launch_read_threads(reader.get(), total), 0);
        std::vector<uint8_t> back(11 * unit, poison);
        int64_t done = 0;
        for (int64_t piece : read_pieces(total, unit, c.cutting)) {
            bool whole = true;
            for (int64_t k = done / unit; k * unit < done + piece; ++k) {
                if (delivered(k) < std::min(unit, total - k * unit)) whole = false;
            }
            StdoutCapture capture;
            const int32_t got = tio_read(reader.get(), back.data() + done, piece);
            const std::string printed = capture.finish();
            EXPECT_EQ(got, whole ? int32_t(piece) : -1) << "call at chunk " << done / unit;
            EXPECT_EQ(count_error_lines(printed), whole ? 0 : 1) << printed;
            if (!whole) {
                EXPECT_NE(printed.find(volume.member_path(c.member)), std::string::npos) << printed;
            }
            done += piece;
        }
        EXPECT_EQ(tio_join_threads(reader.get()), 0);
        EXPECT_EQ(reader.close(), 0);

        for (int64_t k = 0; k * unit < total; ++k) {
            const uint8_t *chunk = back.data() + k * unit;
            const int64_t arrived = delivered(k);
            EXPECT_TRUE(std::equal(chunk, chunk + arrived, stream.begin() + k * unit)) << "chunk " << k;
            EXPECT_TRUE(std::all_of(chunk + arrived, chunk + unit, [&](uint8_t b) { return b == poison; }))
                << "chunk " << k << ": " << arrived << " bytes arrived and nothing more was written";
        }
    }
}

}  // namespace
