// The data stream: any slice can be generated on its own, a mismatch is found at its
// byte, and the bytes are varied enough to show a misplaced chunk.
#include "pattern.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

namespace {

constexpr uint64_t kSeed = 0x1234;
constexpr int64_t kMiB = 1 << 20;

TEST(Pattern, AnySliceEqualsThatPartOfTheWholeStream) {
    const std::vector<uint8_t> whole = kel::pattern_bytes(kSeed, 2 * kMiB + 100);
    const std::pair<int64_t, int64_t> slices[] = {{0, 1},  {1, 7},     {3, 5},   {7, 9},          {8, 8},
                                                  {9, 0},  {13, 4096}, {kMiB - 3, kMiB + 17}, {2 * kMiB, 100}};
    for (const auto &[offset, length] : slices) {
        std::vector<uint8_t> slice(static_cast<size_t>(length) + 2, 0xAB);
        kel::fill_pattern(kSeed, offset, slice.data() + 1, length);
        EXPECT_EQ(std::memcmp(slice.data() + 1, whole.data() + offset, static_cast<size_t>(length)), 0)
            << "offset " << offset << ", length " << length;
        EXPECT_EQ(slice.front(), 0xAB) << "nothing before the slice is written";
        EXPECT_EQ(slice.back(), 0xAB) << "nothing after the slice is written";
    }
}

TEST(Pattern, FirstMismatchIsFoundAtItsByte) {
    const int64_t length = 3 * kMiB + 5;
    const int64_t stream_offset = 77;
    std::vector<uint8_t> data(static_cast<size_t>(length));
    kel::fill_pattern(kSeed, stream_offset, data.data(), length);
    EXPECT_EQ(kel::first_pattern_mismatch(kSeed, stream_offset, data.data(), length), -1);
    EXPECT_EQ(kel::first_pattern_mismatch(kSeed + 1, stream_offset, data.data(), length), 0) << "another seed";
    EXPECT_EQ(kel::first_pattern_mismatch(kSeed, stream_offset + 1, data.data(), length), 0) << "shifted by a byte";
    for (const int64_t at : {int64_t(0), int64_t(1), kMiB - 1, kMiB, 2 * kMiB + 12345, length - 1}) {
        data[static_cast<size_t>(at)] ^= 0x40;
        EXPECT_EQ(kel::first_pattern_mismatch(kSeed, stream_offset, data.data(), length), at);
        data[static_cast<size_t>(at)] ^= 0x40;
    }
}

// A stream of repeated words would let a chunk written in the wrong place compare equal.
TEST(Pattern, WordsDoNotRepeatAndSeedsGiveOtherStreams) {
    const int64_t words = 64 * 1024;
    const std::vector<uint8_t> stream = kel::pattern_bytes(kSeed, words * 8);
    std::set<uint64_t> seen;
    for (int64_t w = 0; w < words; ++w) {
        uint64_t word;
        std::memcpy(&word, stream.data() + w * 8, sizeof word);
        seen.insert(word);
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(words));
    EXPECT_NE(kel::pattern_bytes(kSeed, 4096), kel::pattern_bytes(kSeed + 1, 4096));
}

}  // namespace
