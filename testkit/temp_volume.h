// A striped volume of member files in a fresh temporary directory, removed with
// everything in it when it goes out of scope.
#pragma once

#include "layout.h"
#include "volume_writer.h"

#include <string>
#include <vector>

namespace kel {

class TempVolume {
public:
    // Makes "<parent_dir>/<prefix>XXXXXX" with mkdtemp and a volume in it (create_volume);
    // throws SystemError or std::invalid_argument, leaving nothing behind.
    TempVolume(const std::string &parent_dir, const std::string &prefix, const VolumeGeometry &geometry);
    ~TempVolume();
    TempVolume(const TempVolume &) = delete;
    TempVolume &operator=(const TempVolume &) = delete;

    const std::string &directory() const { return directory_; }
    const std::string &config_path() const { return files_.config_path; }
    // Writes one more configuration file for the same members with another worker count.
    std::string add_config(int workers);
    const std::vector<std::string> &member_paths() const { return files_.member_paths; }
    const VolumeGeometry &geometry() const { return geometry_; }
    // Where the stream of an extent lies: the members start at offset 0 of a table
    // that starts at 0.
    tio::StripeLayout layout() const;
    // A path inside the directory, removed with it, for files other than the members.
    std::string scratch_path(const std::string &name) const { return directory_ + "/" + name; }

private:
    VolumeGeometry geometry_;
    std::string directory_;
    VolumeFiles files_;
};

// $TMPDIR when set and not empty, else /tmp.
std::string default_temp_parent();

}  // namespace kel
