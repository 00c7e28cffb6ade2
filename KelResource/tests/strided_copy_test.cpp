// The strided copy between native buffers: which bytes move and which stay.
#include "strided_copy.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <numeric>
#include <ostream>
#include <vector>

namespace {

struct StridedCase {
    const char *name;
    int32_t source_offset, source_stride, destination_offset, destination_stride;
    int32_t element_length, total;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const StridedCase &c, std::ostream *os) { *os << c.name; }

constexpr size_t kBlock = 256;
constexpr int32_t kBase = 64;  // addresses handed over lie 64 bytes in, so offsets may be negative
constexpr uint8_t kUntouched = 0xee;

// The copy rule written out element by element, independently of the implementation.
std::vector<uint8_t> expected_copy(const std::vector<uint8_t> &source, const StridedCase &c) {
    std::vector<uint8_t> result(kBlock, kUntouched);
    if (c.element_length < 1) return result;
    int64_t element = 0;
    for (int64_t copied = 0; copied < c.total; copied += c.element_length, ++element) {
        for (int32_t b = 0; b < c.element_length; ++b) {
            result[kBase + c.destination_offset + element * c.destination_stride + b] =
                source[kBase + c.source_offset + element * c.source_stride + b];
        }
    }
    return result;
}

class StridedCopy : public testing::TestWithParam<StridedCase> {};

TEST_P(StridedCopy, MovesWholeElementsAndNothingElse) {
    const StridedCase &c = GetParam();
    std::vector<uint8_t> source(kBlock);
    std::iota(source.begin(), source.end(), uint8_t{1});
    std::vector<uint8_t> destination(kBlock, kUntouched);

    EXPECT_EQ(0, p2ps(source.data() + kBase, c.source_offset, c.source_stride,
                      destination.data() + kBase, c.destination_offset, c.destination_stride,
                      c.element_length, c.total));
    EXPECT_EQ(expected_copy(source, c), destination);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StridedCopy,
    testing::Values(
        StridedCase{"TenBytesInFoursCopiesThreeElements", 0, 4, 0, 4, 4, 10},
        StridedCase{"ContiguousWhenStridesEqualTheElement", 0, 4, 0, 4, 4, 64},
        StridedCase{"ZeroTotalCopiesNothing", 0, 4, 0, 4, 4, 0},
        StridedCase{"NegativeTotalCopiesNothing", 0, 4, 0, 4, 4, -9},
        StridedCase{"GathersEveryOtherElement", 0, 8, 0, 4, 4, 16},
        StridedCase{"ScattersElements", 0, 3, 40, 6, 3, 12},
        StridedCase{"NegativeOffsetsAndStrides", -8, 4, 16, -4, 4, 12},
        StridedCase{"ZeroElementLengthCopiesNothing", 0, 4, 0, 4, 0, 12},
        StridedCase{"NegativeElementLengthCopiesNothing", 0, 4, 0, 4, -3, 12}),
    [](const testing::TestParamInfo<StridedCase> &info) { return info.param.name; });

TEST(StridedCopyAddresses, NullSourceOrDestinationCopiesNothing) {
    std::array<uint8_t, 16> block{};
    block.fill(kUntouched);
    EXPECT_EQ(0, p2ps(nullptr, 0, 4, block.data(), 0, 4, 4, 16));
    EXPECT_EQ(0, p2ps(block.data(), 0, 4, nullptr, 0, 4, 4, 16));
    for (uint8_t byte : block) EXPECT_EQ(kUntouched, byte);
}

// A running 32-bit byte count would wrap past 2^31 and the copy would never end.
TEST(StridedElementCount, CountsWithoutWrappingNearTheLimit) {
    EXPECT_EQ(3, kel::jni::strided_element_count(10, 4));
    EXPECT_EQ(2, kel::jni::strided_element_count(INT32_MAX, 1 << 30));
    EXPECT_EQ(1, kel::jni::strided_element_count(INT32_MAX, INT32_MAX));
    EXPECT_EQ(0, kel::jni::strided_element_count(16, 0));
}

TEST(Dummy, ReturnsOne) { EXPECT_EQ(1, dummy()); }

}  // namespace
