// A volume as kelvol opens it: the configuration file read by the engine, its geometry,
// and the engine's record kept for questions only the allocator can answer.
#pragma once

#include "engine_handle.h"
#include "header_dir.h"
#include "tio.h"

#include <memory>
#include <string>

namespace kelvol {

struct Volume {
    std::string config_path;
    kel::VolumeProps props;
    std::unique_ptr<TioHandle, int32_t (*)(TioHandle *)> handle{nullptr, tio_close};  // configured only

    int64_t member_size() const { return props.volume_bytes / props.members; }
    FsProps *record() const { return handle->props; }
};

// Reads the configuration file and its device table; throws Failure naming the file that
// cannot be used and why.
Volume open_volume(const std::string &config_path);

// Lists the volume's header directory; throws Failure when it cannot be listed.
kel::HeaderDirScan scan_volume(const Volume &volume);

}  // namespace kelvol
