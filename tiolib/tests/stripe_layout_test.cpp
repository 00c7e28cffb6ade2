// The layout unit: worked placements, member shares and pieces, checked against a model
// that deals the chunks out one by one.
#include "layout.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr int64_t kMiB = 1 << 20;

// Members' table offsets, as DmDevice records (paths do not matter here).
std::vector<DmDevice> devices_at(const std::vector<int64_t> &offsets) {
    std::vector<DmDevice> devices(offsets.size());
    for (size_t m = 0; m < offsets.size(); ++m) devices[m].offset = offsets[m];
    return devices;
}

// Four members, 1 MiB chunks, no offsets: the examples of the transfer documentation.
const tio::StripeLayout kFourByOneMiB{4, kMiB, 0, nullptr};

// Three members of 1536-byte chunks (not a power of two), a table start and uneven member
// offsets, so that a position taken from the wrong member or without an offset shows.
const std::vector<DmDevice> kUnevenDevices = devices_at({3 * 512, 8 * 512, 13 * 512});
const tio::StripeLayout kUneven{3, 1536, 24 * 512, kUnevenDevices.data()};

struct PlaceCase {
    const char *name;
    const tio::StripeLayout *layout;
    int64_t extent_offset;
    int64_t index;
    int32_t member;
    int64_t position;
};

TEST(PlaceByte, WorkedExamples) {
    const PlaceCase cases[] = {
        {"first byte", &kFourByOneMiB, 0, 0, 0, 0},
        {"second chunk", &kFourByOneMiB, 0, kMiB, 1, 0},
        {"middle of the third chunk", &kFourByOneMiB, 0, 2 * kMiB + kMiB / 2, 2, kMiB / 2},
        {"second stripe starts on member 0", &kFourByOneMiB, 0, 4 * kMiB, 0, kMiB},
        {"last byte of the second stripe", &kFourByOneMiB, 0, 8 * kMiB - 1, 3, 2 * kMiB - 1},
        {"extent offset added on every member", &kFourByOneMiB, 64 * kMiB, 5 * kMiB + 7, 1, 65 * kMiB + 7},
        // chunk 3 = bytes 4608..6143: member 0, row 1.
        {"uneven: row 1 of member 0", &kUneven, 0, 5000, 0, 24 * 512 + 3 * 512 + 1536 + 392},
        // chunk 2 = bytes 3072..4607: member 2, row 0.
        {"uneven: member 2", &kUneven, 3072, 3072, 2, 24 * 512 + 13 * 512 + 3072},
        {"uneven: member 1 last byte of its first chunk", &kUneven, 0, 3071, 1, 24 * 512 + 8 * 512 + 1535},
    };
    for (const PlaceCase &c : cases) {
        const tio::BytePlace place = tio::place_byte(*c.layout, c.extent_offset, c.index);
        EXPECT_EQ(place.member, c.member) << c.name;
        EXPECT_EQ(place.position, c.position) << c.name;
    }
}

TEST(MemberShare, WholeChunksOfFullStripesAndThePieceOfTheLastOne) {
    struct Case {
        int64_t length;
        std::vector<int64_t> shares;
    };
    const Case cases[] = {
        {0, {0, 0, 0, 0}},
        {1, {1, 0, 0, 0}},
        {kMiB - 1, {kMiB - 1, 0, 0, 0}},
        {2 * kMiB + kMiB / 2, {kMiB, kMiB, kMiB / 2, 0}},
        {4 * kMiB, {kMiB, kMiB, kMiB, kMiB}},
        {4 * kMiB + 1, {kMiB + 1, kMiB, kMiB, kMiB}},
        {8 * kMiB, {2 * kMiB, 2 * kMiB, 2 * kMiB, 2 * kMiB}},
        {10 * kMiB + kMiB / 2, {3 * kMiB, 3 * kMiB, 2 * kMiB + kMiB / 2, 2 * kMiB}},
    };
    for (const Case &c : cases) {
        for (int32_t m = 0; m < 4; ++m)
            EXPECT_EQ(tio::member_share(kFourByOneMiB, c.length, m), c.shares[m]) << c.length << " member " << m;
    }
}

TEST(DevicePosition, RefusesPositionsBeyond64Bits) {
    int64_t position = 0;
    EXPECT_TRUE(tio::checked_device_position(kUneven, 2, 100, 7, position));
    EXPECT_EQ(position, tio::device_position(kUneven, 2, 100, 7));
    EXPECT_EQ(position, 24 * 512 + 13 * 512 + 100 + 7);
    // The member's offset and the table's start push an extent near the top past the end.
    EXPECT_FALSE(tio::checked_device_position(kUneven, 2, INT64_MAX - 24 * 512, 0, position));
    EXPECT_FALSE(tio::checked_device_position(kFourByOneMiB, 0, INT64_MAX, 1, position));
    EXPECT_TRUE(tio::checked_device_position(kFourByOneMiB, 0, INT64_MAX, 0, position));
    EXPECT_EQ(position, INT64_MAX);
}

TEST(StripeSlot, CountsFromTheFirstMemberAndWraps) {
    EXPECT_EQ(tio::stripe_slot(kFourByOneMiB, 2, 2), 0);
    EXPECT_EQ(tio::stripe_slot(kFourByOneMiB, 3, 2), 1);
    EXPECT_EQ(tio::stripe_slot(kFourByOneMiB, 0, 2), 2);
    EXPECT_EQ(tio::stripe_slot(kFourByOneMiB, 1, 2), 3);
}

// The model: deal chunk after chunk to member 0, 1, ..., S-1, 0, ..., each member's
// chunks stacked in its part of the extent, and record where every stream byte went.
struct DealtByte {
    int32_t member;
    int64_t position;
};
std::vector<DealtByte> deal_stream(const tio::StripeLayout &layout, int64_t extent_offset, int64_t length) {
    std::vector<DealtByte> bytes;
    std::vector<int64_t> filled(static_cast<size_t>(layout.members), 0);
    for (int64_t chunk_start = 0; chunk_start < length; chunk_start += layout.chunk_size) {
        const int32_t member = static_cast<int32_t>((chunk_start / layout.chunk_size) % layout.members);
        const int64_t base = layout.start_offset + layout.member_offset(member) + extent_offset;
        for (int64_t i = 0; i < layout.chunk_size && chunk_start + i < length; ++i)
            bytes.push_back({member, base + filled[member]++});
    }
    return bytes;
}

TEST(Layout, AgreesWithDealingTheChunksOut) {
    const std::vector<DmDevice> five = devices_at({0, 512, 1024, 4096, 7 * 512});
    const tio::StripeLayout layouts[] = {tio::StripeLayout{4, 64, 0, nullptr}, kUneven,
                                         tio::StripeLayout{5, 1000, 512, five.data()},
                                         tio::StripeLayout{1, 7, 0, nullptr}};
    for (const tio::StripeLayout &layout : layouts) {
        const int64_t extent_offset = 3 * layout.chunk_size;
        const int64_t length = 3 * layout.stripe_size() + layout.chunk_size + 5;
        const std::vector<DealtByte> dealt = deal_stream(layout, extent_offset, length);

        std::vector<int64_t> shares(static_cast<size_t>(layout.members), 0);
        for (int64_t i = 0; i < length; ++i) {
            const tio::BytePlace place = tio::place_byte(layout, extent_offset, i);
            ASSERT_EQ(place.member, dealt[i].member) << "byte " << i << " of S" << layout.members;
            ASSERT_EQ(place.position, dealt[i].position) << "byte " << i << " of S" << layout.members;
            ++shares[place.member];
        }
        for (int32_t m = 0; m < layout.members; ++m)
            EXPECT_EQ(tio::member_share(layout, length, m), shares[m]) << "member " << m;

        // Pieces of a range that starts and ends inside chunks: contiguous, in stream
        // order, never crossing a chunk, each byte where place_byte puts it.
        const int64_t from = layout.chunk_size / 2 + 1, range = length - from - 2;
        int64_t next = from;
        tio::for_each_piece(layout, extent_offset, from, range,
                            [&](int32_t member, int64_t position, int64_t index, int64_t bytes) {
                                ASSERT_EQ(index, next);
                                ASSERT_GT(bytes, 0);
                                ASSERT_EQ(index / layout.chunk_size, (index + bytes - 1) / layout.chunk_size);
                                for (int64_t b = 0; b < bytes; ++b) {
                                    ASSERT_EQ(dealt[index + b].member, member);
                                    ASSERT_EQ(dealt[index + b].position, position + b);
                                }
                                next += bytes;
                            });
        EXPECT_EQ(next, from + range);
    }
}

}  // namespace
