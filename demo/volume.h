// A striped volume made of ordinary member files in a fresh temporary directory, with
// the configuration file and device table that the engine reads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kel {

struct VolumeGeometry {
    int members = 4;
    int64_t chunk_bytes = 1 << 20;  // a multiple of the 512-byte sector
    int workers = 2;
    int64_t capacity_bytes = 0;     // the volume holds at least this many bytes
};

// Everything it made is removed when it goes out of scope.
class TempVolume {
public:
    // Makes "<parent_dir>/<prefix>XXXXXX" with mkdtemp; throws SystemError.
    TempVolume(const std::string &parent_dir, const std::string &prefix,
               const VolumeGeometry &geometry);
    ~TempVolume();
    TempVolume(const TempVolume &) = delete;
    TempVolume &operator=(const TempVolume &) = delete;

    const std::string &directory() const { return directory_; }
    const std::string &config_path() const { return config_path_; }
    // Writes one more configuration file for the same members with another worker count.
    std::string add_config(int workers);
    const std::vector<std::string> &member_paths() const { return member_paths_; }
    const VolumeGeometry &geometry() const { return geometry_; }
    // A path inside the directory, removed with it, for files other than the members.
    std::string scratch_path(const std::string &name) const { return directory_ + "/" + name; }

private:
    void write_device_table(const std::string &path) const;
    void write_config(const std::string &path, int workers) const;

    VolumeGeometry geometry_;
    std::string directory_;
    std::string table_path_;
    std::string header_dir_;
    std::string config_path_;
    std::vector<std::string> member_paths_;
};

// $TMPDIR when set and not empty, else /tmp.
std::string default_temp_parent();

// Bytes per member (whole chunks, at least one) needed to hold stream_bytes.
int64_t member_bytes_for(int64_t stream_bytes, int members, int64_t chunk_bytes);

}  // namespace kel
