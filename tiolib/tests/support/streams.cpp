#include "streams.h"

#include "handles.h"
#include "pattern.h"
#include "watchdog.h"

#include <gtest/gtest.h>

namespace tio_test {
namespace {

uint64_t splitmix64(uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

}  // namespace

const std::vector<PiecePlan> &piece_plans() {
    static const std::vector<PiecePlan> plans = {
        {"HalfChunks",
         [](int64_t u, int) { return std::vector<int64_t>{u * 5 / 2, u * 5 / 2, u * 5 / 2, u / 2}; }},
        {"WholeStripes",
         [](int64_t u, int s) { return std::vector<int64_t>{s * u, 2 * s * u, s * u}; }},
        {"TinyPieces",
         [](int64_t u, int s) {
             return std::vector<int64_t>{1, 7, 500, u - 508, u, 3, 2 * u + 1, 13, s * u - 1, 2};
         }},
        {"Mixed",
         [](int64_t u, int s) {
             return std::vector<int64_t>{u * 5 / 2, s * u, 1,           u - 1,  3 * u + 17,
                                         2 * s * u + u / 2, 5, u / 2 - 5, (s - 1) * u, 4 * s * u + 3};
         }},
        {"RandomPieces",
         [](int64_t u, int s) {
             // 150 calls of 0 to 3 chunks and a bit, the same every run.
             std::vector<int64_t> pieces;
             for (uint64_t i = 0; i < 150; ++i) {
                 const uint64_t draw = splitmix64(i * 7919 + uint64_t(s));
                 pieces.push_back(draw % 16 == 0 ? 0 : int64_t(draw % uint64_t(3 * u + 1)));
             }
             return pieces;
         }},
    };
    return plans;
}

void check_stream_round_trip(const StripedVolume &volume, const std::vector<int64_t> &pieces,
                             int64_t write_offset, uint64_t seed) {
    const Geometry &geometry = volume.geometry();
    const int64_t unit = geometry.chunk_bytes();
    int64_t total = 0;
    for (int64_t piece : pieces) total += piece;
    const std::vector<uint8_t> stream = kel::pattern_bytes(seed, total);
    Watchdog watchdog(std::chrono::seconds(120), "writing and reading back a stream");

    Handle writer = open_at(volume.config_path(), 1, write_offset);
    ASSERT_TRUE(writer);
    int64_t written = 0;
    for (int64_t piece : pieces) {
        ASSERT_EQ(tio_write(writer.get(), stream.data() + written, piece), int32_t(piece))
            << "piece of " << piece << " bytes at stream byte " << written;
        written += piece;
        // The next byte of the stream belongs to chunk written / U; its device is where
        // the next call starts, and the part of that chunk already written is the fill.
        EXPECT_EQ(writer->stripe_phase, int32_t((written / unit) % geometry.members))
            << "after " << written << " bytes";
        EXPECT_EQ(writer->chunk_fill, int32_t(written % unit)) << "after " << written << " bytes";
    }
    EXPECT_EQ(tio_wait_threads(writer.get()), 0);
    ASSERT_EQ(writer.close(), 0);

    expect_stream_on_members(volume, write_offset, stream);

    const std::vector<std::vector<int>> read_cuttings = {{1, 3, geometry.members, 2 * geometry.members + 1},
                                                        {1 << 20}};
    for (const std::vector<int> &cutting : read_cuttings) {
        std::vector<uint8_t> back;
        std::string why;
        const std::vector<int64_t> read_sizes = read_pieces(total, unit, cutting);
        ASSERT_TRUE(read_back(volume.config_path(), write_offset, total, read_sizes, &back, &why))
            << why;
        ASSERT_EQ(back.size(), stream.size());
        size_t first_difference = 0;
        while (first_difference < back.size() && back[first_difference] == stream[first_difference])
            ++first_difference;
        EXPECT_EQ(first_difference, stream.size())
            << "read back in " << read_sizes.size() << " calls differs first at stream byte "
            << first_difference;
    }
}

}  // namespace tio_test
