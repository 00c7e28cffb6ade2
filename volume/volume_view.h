// A volume as a read-only file system shows it: one directory holding a regular file per
// data file in state ok, named as the data file, mode 0444, its size the sum of its
// recorded lengths and its time that of its ".det" file; its bytes read from the member
// devices by the layout. Every decision about the files and their bytes is made here; a
// file-system layer only translates requests.
#pragma once

#include "data_file_catalog.h"
#include "engine_handle.h"
#include "member_devices.h"

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

namespace kel {

class VolumeView {
public:
    // Reads the configuration as the engine does, opens every member read-only and lists
    // the header directory. Throws std::runtime_error (SystemError among them) whose text
    // is the one-line reason. Data files are listed again when the listing is older than
    // max_age.
    VolumeView(const std::string &config_path, std::chrono::milliseconds max_age);

    const VolumeProps &volume() const { return volume_; }
    const MemberDevices &members() const { return members_; }

    std::shared_ptr<const DataFileListing> listing() { return catalog_.listing(); }
    // The data file of that name, or null.
    std::shared_ptr<const DataFile> find(std::string_view name) { return catalog_.find(name); }
    // The state now of a data file opened earlier: as listed now while it is the same
    // recording, else as it was when opened (a reader keeps what it opened).
    std::shared_ptr<const DataFile> latest(const std::shared_ptr<const DataFile> &opened);

    // The bytes of a read (0 at or past the end), or -errno; see data_file_reader.h.
    int64_t plan_read(const DataFile &file, int64_t offset, int64_t size, std::vector<ReadPiece> &pieces) const;
    int64_t read(const DataFile &file, int64_t offset, int64_t size, uint8_t *buffer) const;

private:
    VolumeProps volume_;
    MemberDevices members_;
    DataFileCatalog catalog_;
};

// The attributes of the directory and of a data file in it, owned by the viewing user.
struct stat directory_attributes(const DataFileListing &listing);
struct stat file_attributes(const DataFile &file);

}  // namespace kel
