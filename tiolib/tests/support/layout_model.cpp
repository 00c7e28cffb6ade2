#include "layout_model.h"

#include <algorithm>
#include <sstream>

namespace tio_test {

int64_t Geometry::member_offset_bytes(int member) const {
    if (!member_sectors.empty()) return member_sectors.at(member) * 512;
    // Different, non-zero and not chunk-aligned, so a position taken from the wrong
    // member or without its offset shows.
    return int64_t(3 + 5 * member) * 512;
}

VolumeLayout::VolumeLayout(const Geometry &geometry) : devices_(size_t(geometry.members)) {
    for (int m = 0; m < geometry.members; ++m) devices_[m].offset = geometry.member_offset_bytes(m);
    layout_ = tio::StripeLayout{geometry.members, geometry.chunk_bytes(), geometry.start_sector * 512,
                                devices_.data()};
}

std::vector<std::vector<uint8_t>> expected_member_images(const Geometry &geometry,
                                                         int64_t write_offset,
                                                         const std::vector<uint8_t> &stream) {
    std::vector<std::vector<uint8_t>> images(geometry.members);
    const VolumeLayout layout(geometry);
    tio::for_each_piece(layout.get(), write_offset, 0, int64_t(stream.size()),
                        [&](int32_t member, int64_t position, int64_t index, int64_t bytes) {
                            std::vector<uint8_t> &image = images[member];
                            if (int64_t(image.size()) < position + bytes) image.resize(position + bytes, 0);
                            std::copy_n(stream.begin() + index, bytes, image.begin() + position);
                        });
    return images;
}

std::string compare_image(const std::vector<uint8_t> &actual,
                          const std::vector<uint8_t> &expected) {
    const size_t common = std::min(actual.size(), expected.size());
    for (size_t i = 0; i < common; ++i) {
        if (actual[i] != expected[i]) {
            std::ostringstream text;
            text << "byte at position " << i << " is " << int(actual[i]) << ", expected "
                 << int(expected[i]);
            return text.str();
        }
    }
    for (size_t i = common; i < expected.size(); ++i) {
        if (expected[i] != 0) {
            std::ostringstream text;
            text << "only " << actual.size() << " bytes, expected " << expected.size();
            return text.str();
        }
    }
    for (size_t i = common; i < actual.size(); ++i) {
        if (actual[i] != 0) {
            std::ostringstream text;
            text << "unexpected data at position " << i << " past the written region (ends at "
                 << expected.size() << ")";
            return text.str();
        }
    }
    return "";
}

}  // namespace tio_test
