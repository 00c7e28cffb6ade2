#include "volume_view.h"

#include "data_file_reader.h"
#include "engine_messages.h"

#include <filesystem>
#include <stdexcept>
#include <unistd.h>

namespace kel {
namespace {

struct stat owned_attributes(mode_t mode, const timespec &time) {
    struct stat attributes {};
    attributes.st_mode = mode;
    attributes.st_uid = ::getuid();
    attributes.st_gid = ::getgid();
    attributes.st_atim = attributes.st_mtim = attributes.st_ctim = time;
    return attributes;
}

// A configuration whose type is not "RAID" gets the engine's defaults, without members.
VolumeProps load_striped_volume(const std::string &config_path) {
    VolumeProps volume = load_volume_props(config_path);
    if (volume.devices.empty())
        throw std::runtime_error(config_path + ": it names no member devices (its TYPE is not RAID)");
    return volume;
}

}  // namespace

VolumeView::VolumeView(const std::string &config_path, std::chrono::milliseconds max_age)
    : volume_(load_striped_volume(config_path)),
      members_(volume_),
      // Absolute: a program that serves the view may change its directory.
      catalog_(std::filesystem::absolute(volume_.header_dir).string(), max_age) {}

std::shared_ptr<const DataFile> VolumeView::latest(const std::shared_ptr<const DataFile> &opened) {
    std::shared_ptr<const DataFile> now = catalog_.find(opened->name);
    return now && opened->same_recording(*now) ? now : opened;
}

int64_t VolumeView::plan_read(const DataFile &file, int64_t offset, int64_t size,
                              std::vector<ReadPiece> &pieces) const {
    return kel::plan_read(members_, file.extents, offset, size, pieces);
}

int64_t VolumeView::read(const DataFile &file, int64_t offset, int64_t size, uint8_t *buffer) const {
    return read_data_file(members_, file.extents, offset, size, buffer);
}

struct stat directory_attributes(const DataFileListing &listing) {
    struct stat attributes = owned_attributes(S_IFDIR | 0555, listing.directory_mtime);
    attributes.st_nlink = 2;
    return attributes;
}

struct stat file_attributes(const DataFile &file) {
    struct stat attributes = owned_attributes(S_IFREG | 0444, file.mtime);
    attributes.st_nlink = 1;
    attributes.st_size = file.extents.size;
    attributes.st_blocks = (file.extents.size + 511) / 512;
    return attributes;
}

}  // namespace kel
