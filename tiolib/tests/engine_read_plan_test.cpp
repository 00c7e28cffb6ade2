// tio_next_chunk_bytes: how many bytes the next chunk of a read sequence holds by its plan,
// as the sequence is consumed by tio_read calls of different sizes.
#include "handles.h"
#include "output_capture.h"
#include "striped_volume.h"

#include <gtest/gtest.h>

#include <vector>

using namespace tio_test;

namespace {

constexpr int64_t kChunk = 4096;  // the fixture's default geometry: 4 members, 2 workers

struct PlanCase {
    const char *name;
    int64_t total;               // of the read sequence
    std::vector<int64_t> reads;  // tio_read calls made before the question
    int64_t next_chunk_bytes;
};

TEST(NextChunkBytes, FollowsTheReadPlan) {
    const PlanCase cases[] = {
        {"whole stripes: first chunk", 8 * kChunk, {}, kChunk},
        {"whole stripes: last chunk", 8 * kChunk, {7 * kChunk}, kChunk},
        {"whole stripes: all read", 8 * kChunk, {8 * kChunk}, 0},
        {"tail: the chunk before it", 2 * kChunk + 100, {kChunk}, kChunk},
        {"tail: next", 2 * kChunk + 100, {2 * kChunk}, 100},
        {"tail: read", 2 * kChunk + 100, {2 * kChunk + 100}, 0},
        // A partial read consumes its last chunk whole.
        {"tail: a short read took it", 2 * kChunk + 100, {kChunk, 10}, 100},
        {"less than a chunk", 100, {}, 100},
        {"tail in the second row after several calls", 5 * kChunk + 7, {kChunk, 3 * kChunk, kChunk}, 7},
        {"several calls, next a whole chunk of the second row", 5 * kChunk + 7, {kChunk, 3 * kChunk}, kChunk},
        {"several calls, next on the last member", 5 * kChunk + 7, {kChunk, kChunk + 1}, kChunk},
        {"empty sequence", 0, {}, 0},
    };
    ScratchDir dir;
    StripedVolume volume(dir, Geometry{});
    // Members that hold every planned chunk: a chunk a member cannot deliver fails the read.
    for (int m = 0; m < Geometry{}.members; ++m) kel::make_sparse_file(volume.member_path(m), 1 << 20);
    for (const PlanCase &c : cases) {
        std::string why;
        Handle handle = open_engine(volume.config_path(), -1, &why);
        ASSERT_TRUE(handle) << why;
        EXPECT_EQ(tio_launch_read_threads(handle.get(), c.total), 0) << c.name;
        std::vector<uint8_t> buffer(static_cast<size_t>(c.total + kChunk));
        for (int64_t read : c.reads) EXPECT_EQ(tio_read(handle.get(), buffer.data(), read), read) << c.name;
        EXPECT_EQ(tio_next_chunk_bytes(handle.get()), c.next_chunk_bytes) << c.name;
        EXPECT_EQ(tio_join_threads(handle.get()), 0) << c.name;
        EXPECT_EQ(tio_next_chunk_bytes(handle.get()), 0) << c.name << ": after the sequence ended";
        EXPECT_EQ(handle.close(), 0) << c.name;
    }
}

TEST(NextChunkBytes, NothingWithoutASequenceAndTheHandleCheckOnABadHandle) {
    ScratchDir dir;
    StripedVolume volume(dir, Geometry{});
    std::string why;
    Handle reader = open_engine(volume.config_path(), -1, &why);
    ASSERT_TRUE(reader) << why;
    Handle writer = open_engine(volume.config_path(), 1, &why);
    ASSERT_TRUE(writer) << why;
    Handle unconfigured(tio_open());
    ASSERT_TRUE(unconfigured);
    StdoutCapture capture;
    EXPECT_EQ(tio_next_chunk_bytes(reader.get()), 0) << "before tio_launch_read_threads";
    EXPECT_EQ(tio_launch_read_threads(writer.get(), 8 * kChunk), 0);
    EXPECT_EQ(tio_next_chunk_bytes(writer.get()), 0) << "write mode";
    EXPECT_EQ(tio_next_chunk_bytes(unconfigured.get()), 0) << "not configured";
    EXPECT_EQ(tio_next_chunk_bytes(nullptr), -1);
    EXPECT_EQ(capture.finish(),
              "Error! Magic number doesn't match. Something has stomped on our memory block\n");
    EXPECT_EQ(unconfigured.close(), 0);
    EXPECT_EQ(writer.close(), 0);
    EXPECT_EQ(reader.close(), 0);
}

}  // namespace
