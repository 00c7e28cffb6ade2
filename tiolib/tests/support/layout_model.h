// The geometry of a test volume, the engine's layout unit applied to it, and the member
// images a stream must leave behind.
#pragma once

#include "layout.h"
#include "tio.h"

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

// The layout of a geometry's volume; the member offsets it points to live in this object.
class VolumeLayout {
public:
    explicit VolumeLayout(const Geometry &geometry);
    VolumeLayout(const VolumeLayout &) = delete;
    VolumeLayout &operator=(const VolumeLayout &) = delete;

    const tio::StripeLayout &get() const { return layout_; }

private:
    std::vector<DmDevice> devices_;
    tio::StripeLayout layout_;
};

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
