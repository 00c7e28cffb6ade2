// A striped volume of the engine tests: its configuration file and device table written
// by the volume library, members that are files of the scratch directory or given paths
// (loop devices, /dev/full, a directory), and checks of what the members hold.
#pragma once

#include "files.h"
#include "layout_model.h"
#include "volume_writer.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tio_test {

class StripedVolume {
public:
    // Member files are made empty in the directory unless member paths are given.
    StripedVolume(const ScratchDir &dir, const Geometry &geometry,
                  std::vector<std::string> member_paths = {});

    const Geometry &geometry() const { return geometry_; }
    const std::string &config_path() const { return config_path_; }
    const std::string &table_path() const { return table_path_; }
    const std::string &member_path(int member) const { return members_.at(member); }

    // Reads every member (whole files; for block devices limit bytes each).
    std::vector<std::vector<uint8_t>> read_members(int64_t limit = -1) const;

private:
    Geometry geometry_;
    std::vector<std::string> members_;
    std::string config_path_;
    std::string table_path_;
};

// The configuration of a test volume: all seven entries.
kel::VolumeConfig volume_config(const std::string &header_dir, const std::string &table_path, int threads,
                                const std::string &type = "RAID");

// Appends "DIRECTIO=1" to a configuration file: its members are then opened with O_DIRECT.
void enable_direct_io(const std::string &config_path);

// Expects each member (all of them, or those listed) to hold its image as compare_image
// defines it; a failure names the member after the label.
void expect_members_hold(const StripedVolume &volume, const std::vector<std::vector<uint8_t>> &expected,
                         const std::vector<int> &only = {}, const std::string &label = "");
// The same for the images a stream written from write_offset leaves on zeroed members.
void expect_stream_on_members(const StripedVolume &volume, int64_t write_offset,
                              const std::vector<uint8_t> &stream);

}  // namespace tio_test
