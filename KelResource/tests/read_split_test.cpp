// The overhang path of array reads against a real read handle on a volume of member files.
// The array is a heap block of exactly its capacity, so that a copy past it is caught by
// AddressSanitizer, and the staging chunk starts out full of stale bytes.
#include "read_split.h"

#include "handles.h"
#include "layout.h"
#include "output_capture.h"
#include "pattern.h"
#include "striped_volume.h"

#include <gtest/gtest.h>

#include <memory>
#include <unistd.h>
#include <vector>

using namespace tio_test;

namespace {

constexpr int64_t kChunk = 4096;                         // the fixture's default geometry:
constexpr int64_t kStream = 6 * kChunk + 300;            // 4 members; the tail is on member 2
constexpr uint8_t kStale = 0xEE, kUntouched = 0x5A;

struct SplitCase {
    const char *name;
    std::vector<int64_t> reads_before;  // tio_read calls of the sequence before read_split
    int64_t length;
    int64_t capacity;
    int64_t member2_keeps;  // >= 0: member 2 is cut this many bytes into its part of the extent
    int32_t result;
    int64_t stream_bytes;  // the array then starts with this many bytes of the stream,
    int64_t zero_bytes;    // followed by this many zeros; the rest stays untouched
};

// A volume holding kStream bytes of a pattern written from offset 0.
std::vector<uint8_t> write_stream(const StripedVolume &volume) {
    const std::vector<uint8_t> stream = kel::pattern_bytes(17, kStream);
    std::string why;
    Handle writer = open_engine(volume.config_path(), 1, &why);
    EXPECT_TRUE(writer) << why;
    if (!writer) return stream;
    EXPECT_EQ(tio_set_offset(writer.get(), 0), 0);
    EXPECT_EQ(tio_write(writer.get(), stream.data(), kStream), kStream);
    EXPECT_EQ(tio_wait_threads(writer.get()), 0);
    EXPECT_EQ(writer.close(), 0);
    return stream;
}

void cut_member(const StripedVolume &volume, TioHandle *reader, int32_t member, int64_t keeps) {
    const int64_t part = tio::device_position(tio::layout_of(*reader->props), member, 0, 0);
    ASSERT_EQ(truncate(volume.member_path(member).c_str(), part + keeps), 0);
}

TEST(ReadSplit, CopiesWhatFitsOfTheLastChunk) {
    const SplitCase cases[] = {
        {"the last chunk fits", {}, 2 * kChunk + 100, 3 * kChunk, -1, 2 * kChunk + 100, 3 * kChunk, 0},
        {"the last chunk overhangs: bytes lost", {}, 2 * kChunk + 100, 2 * kChunk + 100, -1, -1,
         2 * kChunk + 100, 0},
        {"overhang after an earlier read", {kChunk}, kChunk + 1, kChunk + 1, -1, -1, kChunk + 1, 0},
        {"the sequence's shorter final chunk", {4 * kChunk}, 2 * kChunk + 300, 2 * kChunk + 300, -1,
         2 * kChunk + 300, 2 * kChunk + 300, 0},
        {"the final chunk, read in part, arrives whole", {4 * kChunk}, 2 * kChunk + 10, 3 * kChunk, -1,
         2 * kChunk + 10, 2 * kChunk + 300, 0},
        // The engine refuses a chunk that its member did not deliver whole: nothing of it
        // reaches the array, stale staging bytes least of all.
        {"a member that ends early fails the read", {}, 2 * kChunk + 100, 3 * kChunk, 1000, -1, 2 * kChunk, 0},
    };
    for (const SplitCase &c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        StripedVolume volume(dir, Geometry{});
        const std::vector<uint8_t> stream = write_stream(volume);
        std::string why;
        Handle reader = open_engine(volume.config_path(), -1, &why);
        ASSERT_TRUE(reader) << why;
        if (c.member2_keeps >= 0) cut_member(volume, reader.get(), 2, c.member2_keeps);
        ASSERT_EQ(tio_set_offset(reader.get(), 0), 0);
        ASSERT_EQ(tio_launch_read_threads(reader.get(), kStream), 0);
        int64_t from = 0;
        std::vector<uint8_t> before(kStream + kChunk);
        for (int64_t read : c.reads_before) {
            ASSERT_EQ(tio_read(reader.get(), before.data(), read), read);
            from += read;
        }

        std::unique_ptr<uint8_t[]> array(new uint8_t[c.capacity]);
        std::fill_n(array.get(), c.capacity, kUntouched);
        std::vector<uint8_t> staging(kChunk, kStale);
        EXPECT_EQ(kel::jni::read_split(reader.get(), array.get(), c.length, c.capacity, kChunk, staging.data()),
                  c.result);

        int64_t i = 0;
        for (; i < c.stream_bytes; ++i) ASSERT_EQ(array[i], stream[from + i]) << "array byte " << i;
        for (; i < c.stream_bytes + c.zero_bytes; ++i) ASSERT_EQ(array[i], 0) << "array byte " << i;
        for (; i < c.capacity; ++i) ASSERT_EQ(array[i], kUntouched) << "array byte " << i;
        EXPECT_EQ(tio_join_threads(reader.get()), 0);
        EXPECT_EQ(reader.close(), 0);
    }
}

// Without a chunk left in the sequence the engine refuses the read and nothing is copied.
TEST(ReadSplit, PastTheEndOfTheSequenceNothingIsCopied) {
    ScratchDir dir;
    StripedVolume volume(dir, Geometry{});
    write_stream(volume);
    Handle reader = open_at(volume.config_path(), -1, 0);
    ASSERT_TRUE(reader);
    ASSERT_EQ(tio_launch_read_threads(reader.get(), 2 * kChunk), 0);
    const int64_t capacity = 2 * kChunk + 10;
    std::unique_ptr<uint8_t[]> array(new uint8_t[capacity]);
    std::fill_n(array.get(), capacity, kUntouched);
    std::vector<uint8_t> staging(kChunk, kStale);
    StdoutCapture capture;
    EXPECT_EQ(kel::jni::read_split(reader.get(), array.get(), capacity, capacity, kChunk, staging.data()), -1);
    EXPECT_EQ(count_error_lines(capture.finish()), 1);
    for (int64_t i = 2 * kChunk; i < capacity; ++i) ASSERT_EQ(array[i], kUntouched) << "array byte " << i;
    EXPECT_EQ(tio_join_threads(reader.get()), 0);
    EXPECT_EQ(reader.close(), 0);
}

}  // namespace
