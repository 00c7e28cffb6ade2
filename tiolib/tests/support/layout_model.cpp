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

int64_t member_part_start(const Geometry &geometry, int member, int64_t write_offset) {
    return write_offset + geometry.member_offset_bytes(member) + geometry.start_sector * 512;
}

ModelPlace model_place(const Geometry &geometry, int64_t write_offset, int64_t index) {
    const int64_t unit = geometry.chunk_bytes();
    const int64_t chunk = index / unit;
    const int member = int(chunk % geometry.members);
    const int64_t row = chunk / geometry.members;
    return ModelPlace{member, member_part_start(geometry, member, write_offset) + row * unit + index % unit};
}

std::vector<std::vector<uint8_t>> expected_member_images(const Geometry &geometry,
                                                         int64_t write_offset,
                                                         const std::vector<uint8_t> &stream) {
    std::vector<std::vector<uint8_t>> images(geometry.members);
    for (int64_t index = 0; index < int64_t(stream.size()); ++index) {
        const ModelPlace place = model_place(geometry, write_offset, index);
        std::vector<uint8_t> &image = images[place.member];
        if (int64_t(image.size()) <= place.position) image.resize(place.position + 1, 0);
        image[place.position] = stream[index];
    }
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
