// A volume as a read-only file system shows it: one directory holding a regular file per
// data file that is shown (see data_file_catalog.h), named as the data file, mode 0444, its
// size the sum of its recorded lengths and its time that of its ".det" file; its bytes read
// from the member devices by the layout. Files are known to the kernel by number (see
// view_files.h): a number serves its recording as that grows, and fails with ESTALE once
// the recording was removed or replaced. Every decision about the files and their bytes
// is made here; a file-system layer only translates requests.
#pragma once

#include "data_file_catalog.h"
#include "engine_handle.h"
#include "member_devices.h"
#include "view_files.h"

#include <chrono>
#include <cstdint>
#include <functional>
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

    static constexpr uint64_t kDirectory = ViewFiles::kDirectory;

    std::shared_ptr<const DataFileListing> listing() { return catalog_.listing(); }
    // The data file of that name as listed, or null.
    std::shared_ptr<const DataFile> find(std::string_view name) { return catalog_.find(name); }

    // Looks up a data file: 0 with its number (the kernel holds one more lookup of it) and
    // attributes, or -ENOENT.
    int look_up(std::string_view name, uint64_t &number, struct stat &attributes);
    // The kernel forgets that many lookups of a number.
    void forget(uint64_t number, uint64_t lookups) { files_.forget(number, lookups); }
    // 0 with the attributes of the directory or of a data file's number; -ESTALE when its
    // recording was removed or replaced; -ENOENT for a number not known.
    int attributes(uint64_t number, struct stat &attributes);
    // 0 with the recording a data file's number stands for, to read from; -EISDIR for the
    // directory, else as attributes.
    int open(uint64_t number, std::shared_ptr<Recording> &recording);

    // Moves the bytes of a read's pieces somewhere; bytes is their sum. Returns bytes, or
    // -errno.
    using PieceMover = std::function<int64_t(const std::vector<ReadPiece> &pieces, int64_t bytes)>;

    // Reads from a recording: plans the read on it as last seen (every size the kernel
    // knows was seen so), has move take the bytes, and checks afterwards that the
    // recording is still there (its extents may be another's once it is removed). The
    // bytes moved (0 at or past the end, move not called then); -ESTALE when the recording
    // was removed or replaced, and what move took must be thrown away; else -errno of the
    // plan (see data_file_reader.h) or of move.
    int64_t read(Recording &recording, int64_t offset, int64_t size, const PieceMover &move) const;

private:
    VolumeProps volume_;
    MemberDevices members_;
    DataFileCatalog catalog_;
    ViewFiles files_{catalog_};
};

// The attributes of the directory and of a data file in it, owned by the viewing user;
// st_ino the number.
struct stat directory_attributes(const DataFileListing &listing);
struct stat file_attributes(const DataFile &file, uint64_t number);

}  // namespace kel
