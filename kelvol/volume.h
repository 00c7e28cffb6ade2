// A volume as kelvol opens it: the configuration file read by the engine, its geometry,
// and the engine's record kept for questions only the allocator can answer.
#pragma once

#include "engine_handle.h"
#include "header_dir.h"
#include "tio.h"

#include <memory>
#include <string>
#include <vector>

namespace kelvol {

struct Volume {
    std::string config_path;
    kel::VolumeProps props;
    kel::HandlePointer handle{nullptr, tio_close};  // configured only

    int64_t member_size() const { return props.volume_bytes / props.members; }
    FsProps *record() const { return handle->props; }
};

// Reads the configuration file and its device table; throws Failure naming the file that
// cannot be used and why.
Volume open_volume(const std::string &config_path);

// A ".det" file that is another name of a data file listed under its own name: a symbolic
// or hard link. It names no data file of its own.
struct Alias {
    std::string path;
    std::string of_path;
};

// The header directory as kelvol judges it: each data file once, however many names it
// has, and a data file that records a negative length is torn (no extent can be read).
struct VolumeScan : kel::HeaderDirScan {
    std::vector<Alias> aliases;
};

// Lists the volume's header directory; throws Failure when it cannot be listed.
VolumeScan scan_volume(const Volume &volume);

}  // namespace kelvol
