#include "volume.h"

#include "failure.h"
#include "file_identity.h"
#include "system_error.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
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

bool is_symbolic_link(const std::string &path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

// Names that lead to one file are one data file: it keeps the name that is no symbolic
// link (the first such in name order, or the first name), the others become aliases.
void merge_aliases(VolumeScan &scan) {
    std::map<FileIdentity, std::vector<size_t>> names;
    for (size_t i = 0; i < scan.det_files.size(); ++i)
        if (const auto identity = identity_of(scan.det_files[i].path)) names[*identity].push_back(i);
    std::vector<bool> alias(scan.det_files.size(), false);
    for (const auto &[identity, indices] : names) {
        if (indices.size() < 2) continue;
        size_t kept = indices.front();
        for (const size_t i : indices)
            if (!is_symbolic_link(scan.det_files[i].path)) {
                kept = i;
                break;
            }
        for (const size_t i : indices) {
            if (i == kept) continue;
            alias[i] = true;
            scan.aliases.push_back({scan.det_files[i].path, scan.det_files[kept].path});
        }
    }
    std::vector<kel::DetFile> kept;
    for (size_t i = 0; i < scan.det_files.size(); ++i)
        if (!alias[i]) kept.push_back(std::move(scan.det_files[i]));
    scan.det_files = std::move(kept);
    std::sort(scan.aliases.begin(), scan.aliases.end(),
              [](const Alias &a, const Alias &b) { return a.path < b.path; });
}

}  // namespace

Volume open_volume(const std::string &config_path) {
    require_readable_file(config_path, "configuration file");
    Volume volume;
    volume.config_path = config_path;
    take_engine_messages();
    kel::ConfiguredHandle configured = kel::configure_handle(config_path);
    volume.handle = std::move(configured.handle);
    if (!volume.handle) throw Failure(config_path, "out of memory");
    const int32_t result = configured.result;
    if (volume.handle->props == nullptr) throw Failure(config_path, with_engine_messages("unusable configuration"));
    const FsProps &record = *volume.handle->props;
    if (result == -1)
        throw Failure(config_path, std::string("incomplete configuration: it needs ") + kel::kConfigurationEntries);
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

VolumeScan scan_volume(const Volume &volume) {
    VolumeScan scan;
    try {
        static_cast<kel::HeaderDirScan &>(scan) = kel::scan_header_dir(volume.props.header_dir);
    } catch (const kel::SystemError &error) {
        throw Failure(error.path(), system_reason(error.call().c_str(), error.error_number()));
    }
    merge_aliases(scan);
    return scan;
}

}  // namespace kelvol
