#include "striped_volume.h"

#include <gtest/gtest.h>

#include <fstream>

namespace tio_test {

kel::VolumeConfig volume_config(const std::string &header_dir, const std::string &table_path, int threads,
                                const std::string &type) {
    return kel::VolumeConfig{type, header_dir, "/mnt/fuse", table_path, "/dev/mapper/volume", "1G", threads};
}

StripedVolume::StripedVolume(const ScratchDir &dir, const Geometry &geometry,
                             std::vector<std::string> member_paths)
    : geometry_(geometry), members_(std::move(member_paths)) {
    if (members_.empty()) {
        for (int m = 0; m < geometry.members; ++m) {
            members_.push_back(dir.file("member" + std::to_string(m)));
            kel::make_sparse_file(members_.back(), 0);
        }
    }
    table_path_ = dir.file("volume.table");
    config_path_ = dir.file("volume.conf");
    kel::DeviceTable table{geometry.start_sector, int64_t(geometry.members) * 2048, geometry.chunk_sectors, {}};
    for (int m = 0; m < geometry.members; ++m)
        table.members.push_back({members_[m], geometry.member_offset_bytes(m) / 512});
    kel::write_device_table(table_path_, table);
    kel::write_config_file(config_path_, volume_config(dir.path(), table_path_, geometry.workers));
}

std::vector<std::vector<uint8_t>> StripedVolume::read_members(int64_t limit) const {
    std::vector<std::vector<uint8_t>> contents;
    for (const std::string &path : members_) contents.push_back(read_all(path, limit));
    return contents;
}

void enable_direct_io(const std::string &config_path) {
    std::ofstream config(config_path, std::ios::app);
    config << "DIRECTIO=1\n";
    if (!config) ADD_FAILURE() << "could not append DIRECTIO=1 to " << config_path;
}

void expect_members_hold(const StripedVolume &volume, const std::vector<std::vector<uint8_t>> &expected,
                         const std::vector<int> &only, const std::string &label) {
    std::vector<int> members = only;
    if (members.empty())
        for (int m = 0; m < int(expected.size()); ++m) members.push_back(m);
    for (int m : members)
        EXPECT_EQ(compare_image(read_all(volume.member_path(m)), expected[m]), "") << label << "member " << m;
}

void expect_stream_on_members(const StripedVolume &volume, int64_t write_offset,
                              const std::vector<uint8_t> &stream) {
    expect_members_hold(volume, expected_member_images(volume.geometry(), write_offset, stream));
}

}  // namespace tio_test
