// An engine handle opened on a configuration file and initialised in one direction.
#pragma once

#include "layout.h"
#include "tio.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kel {

enum class Direction { write, read };

// The volume as the engine sees it after reading the configuration file.
struct VolumeProps {
    int64_t chunk_bytes = 0;
    int members = 0;
    int workers = 0;
    int64_t volume_bytes = 0;
    std::string header_dir;         // where the data files' ".det" files live
    int64_t start_offset = 0;       // the device table's start, in bytes
    std::vector<DmDevice> devices;  // the members' paths and offsets
    std::string fuse_path;          // FUSEPATH: where a view of the data files is mounted

    // Where the bytes of an extent's stream lie; valid while this record lives.
    tio::StripeLayout layout() const {
        return tio::StripeLayout{members, chunk_bytes, start_offset, devices.empty() ? nullptr : devices.data()};
    }
};

// The entries a usable configuration file has, as a reason names them.
inline constexpr const char *kConfigurationEntries =
    "TYPE=RAID, VKPATH=, FUSEPATH=, DMSETUP=, MAPPER=, EXTEND= (2 or more) and THREADS= (1 or more)";

using HandlePointer = std::unique_ptr<TioHandle, int32_t (*)(TioHandle *)>;

// A handle that read a configuration file, and what tio_set_config returned (0: usable).
struct ConfiguredHandle {
    HandlePointer handle{nullptr, tio_close};  // null only when tio_open found no memory
    int32_t result = -1;
};

// tio_open and tio_set_config on the configuration file; the caller judges the result.
ConfiguredHandle configure_handle(const std::string &config_path);

// Reads the configuration file through a handle that is never initialised; throws
// EngineError when the engine cannot use it.
VolumeProps read_volume_props(const std::string &config_path);

// The volume that a configured record describes.
VolumeProps volume_props_of(const FsProps &props);

class EngineHandle {
public:
    // tio_open, tio_set_config, tio_set_dir, tio_init; throws EngineError.
    EngineHandle(const std::string &config_path, Direction direction);
    // Closes a handle that close() did not; its result has nobody to go to then.
    ~EngineHandle();
    EngineHandle(const EngineHandle &) = delete;
    EngineHandle &operator=(const EngineHandle &) = delete;

    TioHandle *get() const { return handle_; }
    // tio_close; throws EngineError when it reports a failure (an unreported write error).
    void close();

private:
    TioHandle *handle_ = nullptr;
};

// Throws EngineError(call, result, context) unless result == expected.
void expect_result(int64_t result, int64_t expected, const char *call,
                   const std::string &context = "");

}  // namespace kel
