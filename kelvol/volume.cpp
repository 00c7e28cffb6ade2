#include "volume.h"

#include "failure.h"
#include "system_error.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvol {
namespace {

// The engine says only that a file could not be read; the system says why.
void require_readable_file(const std::string &path, const char *what) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) throw Failure(path, std::string("cannot open ") + what + ": " + std::strerror(errno));
    struct stat info {};
    const int stat_result = ::fstat(fd, &info);
    const int error = errno;
    ::close(fd);
    if (stat_result != 0) throw Failure(path, system_reason("fstat", error));
    if (!S_ISREG(info.st_mode)) throw Failure(path, std::string(what) + " is not a regular file");
}

}  // namespace

Volume open_volume(const std::string &config_path) {
    require_readable_file(config_path, "configuration file");
    Volume volume;
    volume.config_path = config_path;
    volume.handle.reset(tio_open());
    if (!volume.handle) throw Failure(config_path, "out of memory");
    take_engine_messages();
    const int32_t result = tio_set_config(volume.handle.get(), config_path.c_str());
    if (volume.handle->props == nullptr) throw Failure(config_path, with_engine_messages("unusable configuration"));
    const FsProps &record = *volume.handle->props;
    if (result == -1)
        throw Failure(config_path, "incomplete configuration: it needs TYPE=RAID, VKPATH=, FUSEPATH=, DMSETUP=, "
                                   "MAPPER=, EXTEND= (2 or more) and THREADS= (1 or more)");
    if (result == -2) {
        require_readable_file(record.dmsetup_path, "device table");
        throw Failure(record.dmsetup_path, with_engine_messages("cannot read device table"));
    }
    if (result != 0) throw Failure(record.dmsetup_path, with_engine_messages("unusable device table"));
    take_engine_messages();
    if (std::string(record.type) != "RAID" || record.devices == nullptr)
        throw Failure(config_path, "TYPE is not RAID: the volume has no device table");
    volume.props = kel::volume_props_of(record);
    return volume;
}

kel::HeaderDirScan scan_volume(const Volume &volume) {
    try {
        return kel::scan_header_dir(volume.props.header_dir);
    } catch (const kel::SystemError &error) {
        throw Failure(error.path(), system_reason(error.call().c_str(), error.error_number()));
    }
}

}  // namespace kelvol
