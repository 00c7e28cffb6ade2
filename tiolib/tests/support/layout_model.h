// The geometry of a test volume and the tests' own account of where a stream's bytes
// must land on its members, computed here without the engine's layout code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tio_test {

struct Geometry {
    int members = 4;
    int chunk_sectors = 8;                    // 4 KiB chunks
    int workers = 2;                          // "THREADS=" of the configuration
    int64_t start_sector = 24;                // the table line's start
    std::vector<int64_t> member_sectors{};    // each member's table offset; empty: defaults

    int64_t chunk_bytes() const { return int64_t(chunk_sectors) * 512; }
    int64_t stripe_bytes() const { return chunk_bytes() * members; }
    int64_t member_offset_bytes(int member) const;
};

// Where a stream byte lies: its member and the byte on that member's device.
struct ModelPlace {
    int member;
    int64_t position;
};

// Byte on member `member` where its part of the extent written from per-device position
// write_offset begins: the write offset, the member's table offset and the table's start.
int64_t member_part_start(const Geometry &geometry, int member, int64_t write_offset);

// Stream byte `index` of the extent: chunk k = index div U lies on member k mod S, at
// (k div S) x U past the start of that member's part.
ModelPlace model_place(const Geometry &geometry, int64_t write_offset, int64_t index);

// The contents every member must have after the stream was written from per-device
// position write_offset on zeroed members.
std::vector<std::vector<uint8_t>> expected_member_images(const Geometry &geometry,
                                                         int64_t write_offset,
                                                         const std::vector<uint8_t> &stream);

// Empty when actual starts with expected and holds only zeros after it; otherwise a
// description of the first difference.
std::string compare_image(const std::vector<uint8_t> &actual,
                          const std::vector<uint8_t> &expected);

}  // namespace tio_test
