// Where the bytes of a striped stream lie on the member devices. This is the one place
// that says it: the engine's transfers, the tests, the benchmark, the demo and the tools
// all place bytes through these functions.
//
// An extent recorded at per-member offset `extent_offset` holds one stream laid out
// round-robin in chunks of U = chunk_size bytes over S = members devices: chunk k of the
// stream (stream bytes [k*U, (k+1)*U)) lies on member k mod S, (k div S) * U bytes into
// that member's part of the extent. Member m's part begins on its device at byte
//     start_offset + member_offset(m) + extent_offset
// (the device table's start, the member's own offset in the table, the extent). So every
// extent starts its stream on member 0, and the members' parts are the chunks of their
// column, back to back.
//
// Numbers are bytes. The geometry's limits are the engine's: S >= 1, U >= 1 and S * U
// fits 32 bits; any U is allowed, a power of two or not.
#pragma once

#include "tio.h"

#include <algorithm>
#include <cstdint>

namespace tio {

struct StripeLayout {
    int32_t members = 1;                // S, the device table's stripe count
    int64_t chunk_size = 1;             // U
    int64_t start_offset = 0;           // the device table's start
    const DmDevice *devices = nullptr;  // `members` entries; null: every member offset is 0

    int64_t member_offset(int32_t member) const { return devices ? devices[member].offset : 0; }
    int64_t stripe_size() const { return chunk_size * members; }
};

// The layout of a configured volume; the record must outlive the result.
inline StripeLayout layout_of(const FsProps &props) {
    return StripeLayout{props.stripe_count, props.chunk_size, props.start_offset, props.devices};
}

// The member that holds chunk `chunk` of a stream, and the chunk's row: how many of that
// member's chunks come before it in the extent.
inline int32_t chunk_member(const StripeLayout &layout, int64_t chunk) {
    return static_cast<int32_t>(chunk % layout.members);
}
inline int64_t chunk_row(const StripeLayout &layout, int64_t chunk) { return chunk / layout.members; }

// A stripe's chunks taken from member `first` on: the place of member `member` among them
// (0 for `first` itself). A transfer that starts its stream at member `first` puts its
// chunk j on the member whose slot is j mod S.
inline int32_t stripe_slot(const StripeLayout &layout, int32_t member, int32_t first) {
    return (layout.members + member - first) % layout.members;
}

// Device byte of byte `member_byte` of member `member`'s part of the extent, in `position`;
// false when it does not fit 64 bits (an extent offset that no device can hold).
inline bool checked_device_position(const StripeLayout &layout, int32_t member, int64_t extent_offset,
                                    int64_t member_byte, int64_t &position) {
    return !__builtin_add_overflow(extent_offset, layout.member_offset(member), &position) &&
           !__builtin_add_overflow(position, layout.start_offset, &position) &&
           !__builtin_add_overflow(position, member_byte, &position);
}

// The same for positions known to fit.
inline int64_t device_position(const StripeLayout &layout, int32_t member, int64_t extent_offset,
                               int64_t member_byte) {
    int64_t position;
    checked_device_position(layout, member, extent_offset, member_byte, position);
    return position;
}

struct BytePlace {
    int32_t member;
    int64_t position;  // byte on the member's device
};

// Where byte `index` of the stream of the extent at `extent_offset` lies.
inline BytePlace place_byte(const StripeLayout &layout, int64_t extent_offset, int64_t index) {
    const int64_t chunk = index / layout.chunk_size;
    const int32_t member = chunk_member(layout, chunk);
    const int64_t member_byte = chunk_row(layout, chunk) * layout.chunk_size + index % layout.chunk_size;
    return BytePlace{member, device_position(layout, member, extent_offset, member_byte)};
}

// Bytes that member `member` holds of a stream of `length` bytes: its whole chunks of the
// full stripes, plus its piece of the last, partial stripe (a whole chunk, the stream's
// tail, or nothing).
inline int64_t member_share(const StripeLayout &layout, int64_t length, int32_t member) {
    const int64_t full_stripes = length / layout.stripe_size();
    const int64_t rest = length - full_stripes * layout.stripe_size();
    const int64_t before = static_cast<int64_t>(member) * layout.chunk_size;
    return full_stripes * layout.chunk_size + std::clamp<int64_t>(rest - before, 0, layout.chunk_size);
}

// Where the bytes of an extent of `length` bytes at `extent_offset` end on the members:
// after member 0's share, the largest. A negative length counts as 0; exact for any
// recorded values.
inline __int128 extent_end(const StripeLayout &layout, int64_t extent_offset, int64_t length) {
    return static_cast<__int128>(extent_offset) + member_share(layout, std::max<int64_t>(length, 0), 0);
}

// Where the space that the allocator keeps for such an extent ends on every member: its
// per-member span (the length over the members, rounded up) raised to a multiple of the
// chunk size; 0 for an extent that ends before the volume begins. Exact for any recorded
// values; members or a chunk size below 1 count as 1.
inline __int128 reserved_end(const StripeLayout &layout, int64_t extent_offset, int64_t length) {
    const int64_t members = std::max<int64_t>(layout.members, 1);
    const __int128 end = extent_offset + (static_cast<__int128>(length) + members - 1) / members;
    if (end <= 0) return 0;
    const int64_t unit = layout.chunk_size;
    return unit <= 1 ? end : (end + unit - 1) / unit * unit;
}

// Calls visit(member, device_position, stream_index, bytes) for the pieces of stream bytes
// [from, from + length) of the extent, in stream order; each piece lies within one chunk,
// so it is contiguous on its member. The caller keeps from + length within int64.
template <typename Visit>
void for_each_piece(const StripeLayout &layout, int64_t extent_offset, int64_t from, int64_t length,
                    Visit &&visit) {
    const int64_t end = from + length;
    for (int64_t index = from; index < end;) {
        const int64_t in_chunk = index % layout.chunk_size;
        const int64_t bytes = std::min(layout.chunk_size - in_chunk, end - index);
        const BytePlace place = place_byte(layout, extent_offset, index);
        visit(place.member, place.position, index, bytes);
        index += bytes;
    }
}

}  // namespace tio
