#include "volume_view.h"

#include "data_file_reader.h"
#include "engine_messages.h"

#include <cerrno>
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

int VolumeView::look_up(std::string_view name, uint64_t &number, struct stat &attributes) {
    const ViewFiles::Found found = files_.look_up(name);
    if (found.number == 0) return -ENOENT;
    number = found.number;
    attributes = file_attributes(*found.file, number);
    return 0;
}

int VolumeView::attributes(uint64_t number, struct stat &attributes) {
    if (number == kDirectory) {
        attributes = directory_attributes(*listing());
        return 0;
    }
    std::shared_ptr<Recording> recording;
    if (const int opened = open(number, recording); opened != 0) return opened;
    const std::shared_ptr<const DataFile> file = recording->current();
    if (!file) return -ESTALE;
    attributes = file_attributes(*file, number);
    return 0;
}

int VolumeView::open(uint64_t number, std::shared_ptr<Recording> &recording) {
    if (number == kDirectory) return -EISDIR;
    recording = files_.recording(number);
    if (!recording) return -ENOENT;
    return recording->current() ? 0 : -ESTALE;
}

int64_t VolumeView::read(Recording &recording, int64_t offset, int64_t size, const PieceMover &move) const {
    // The kernel knows no size but those this view told it, each from a look at the
    // recording: the recording as last seen holds every byte the kernel may ask for. The
    // look after the read is the one that vouches for the bytes.
    const std::shared_ptr<const DataFile> file = recording.last_seen();
    if (!file) return -ESTALE;
    std::vector<ReadPiece> pieces;
    const int64_t bytes = plan_read(members_, file->extents, offset, size, pieces);
    if (bytes <= 0) return bytes;
    const int64_t moved = move(pieces, bytes);
    if (moved < 0) return moved;
    return recording.current() ? moved : -ESTALE;
}

struct stat directory_attributes(const DataFileListing &listing) {
    struct stat attributes = owned_attributes(S_IFDIR | 0555, listing.directory_mtime);
    attributes.st_ino = VolumeView::kDirectory;
    attributes.st_nlink = 2;
    return attributes;
}

struct stat file_attributes(const DataFile &file, uint64_t number) {
    struct stat attributes = owned_attributes(S_IFREG | 0444, file.mtime);
    attributes.st_ino = number;
    attributes.st_nlink = 1;
    attributes.st_size = file.extents.size;
    attributes.st_blocks = (file.extents.size + 511) / 512;
    return attributes;
}

}  // namespace kel
