#include "create.h"

#include "failure.h"
#include "file_identity.h"
#include "program.h"
#include "system_error.h"
#include "units.h"
#include "volume_writer.h"

#include <cerrno>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <utility>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvol {
namespace {

// An absolute path for the configuration file, which is read from anywhere; symbolic
// links are kept (a device's stable name must stay that name).
std::string absolute(const std::string &path) {
    if (!path.empty() && path[0] == '/') return path;
    char here[PATH_MAX];
    if (::getcwd(here, sizeof here) == nullptr) throw Failure(path, system_reason("getcwd", errno));
    return std::string(here) + "/" + path;
}

// The directory of the new volume: made (true), or existing and empty (false).
bool prepare_directory(const std::string &directory) {
    std::error_code error;
    if (std::filesystem::create_directories(directory, error)) return true;
    if (error) throw Failure(directory, "mkdir: " + error.message());
    DIR *dir = ::opendir(directory.c_str());
    if (dir == nullptr) throw Failure(directory, system_reason("opendir", errno));
    bool empty = true;
    while (const dirent *entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") empty = false;
    }
    ::closedir(dir);
    if (!empty) throw Failure(directory, "the directory is not empty");
    return false;
}

// Takes back what a failed create made: the directory, or what it put in the empty one.
void undo_create(const std::string &directory, bool made_directory) {
    std::error_code ignored;
    if (made_directory) {
        std::filesystem::remove_all(directory, ignored);
        return;
    }
    for (const auto &entry : std::filesystem::directory_iterator(directory, ignored))
        std::filesystem::remove_all(entry.path(), ignored);
}

// The bytes a member device or file holds; nothing is written to it. A member that is
// one of the earlier ones under another name (a link, or the same path twice) is refused:
// two members writing one file would overwrite each other's stripes.
int64_t member_capacity(const std::string &path, std::vector<std::pair<FileIdentity, std::string>> &earlier) {
    const MemberFile member = inspect_member(path);
    if (member.open_error != 0) throw Failure(path, system_reason("open", member.open_error));
    if (!member.usable_type || member.bytes < 0) throw Failure(path, "not a block device or regular file");
    for (const auto &[identity, earlier_path] : earlier)
        if (identity == member.identity) throw Failure(path, "the same file as " + earlier_path + ", a member already");
    earlier.emplace_back(member.identity, path);
    return member.bytes;
}

}  // namespace

std::string create_volume(const CreateOptions &options) {
    kel::VolumeGeometry geometry;
    geometry.chunk_bytes = options.chunk_kib * kel::kKiB;
    geometry.workers = options.threads;
    std::vector<std::string> devices;
    if (options.devices.empty()) {
        if (options.member_mib > INT64_MAX / kel::kMiB)
            throw kel::UsageError("create: --member-mib is too large: " + std::to_string(options.member_mib));
        geometry.members = options.members;
        geometry.member_bytes = options.member_mib * kel::kMiB;
        if (geometry.member_bytes % geometry.chunk_bytes != 0 || geometry.member_bytes < geometry.chunk_bytes)
            throw kel::UsageError("create: a member of " + std::to_string(options.member_mib) +
                                  " MiB does not hold whole chunks of " + std::to_string(options.chunk_kib) + " KiB");
    } else {
        // Every member counts as the smallest one, in whole chunks.
        int64_t smallest = INT64_MAX;
        std::vector<std::pair<FileIdentity, std::string>> identities;
        for (const std::string &device : options.devices) {
            devices.push_back(absolute(device));
            smallest = std::min(smallest, member_capacity(device, identities));
        }
        geometry.member_bytes = smallest / geometry.chunk_bytes * geometry.chunk_bytes;
        if (geometry.member_bytes < geometry.chunk_bytes)
            throw Failure(options.devices.front(), "the smallest member holds less than one chunk of " +
                                                       std::to_string(options.chunk_kib) + " KiB");
    }
    const std::string directory = absolute(options.directory);
    try {
        // Refusals of the geometry come before anything is made.
        kel::DeviceTable table;
        table.chunk_sectors = geometry.chunk_bytes / kel::kSectorBytes;
        table.members.resize(devices.empty() ? static_cast<size_t>(std::max(geometry.members, 0)) : devices.size(),
                             kel::TableMember{"/m", 0});
        if (geometry.members < 1 && devices.empty()) throw std::invalid_argument("--members must be 1 or more");
        if (geometry.workers < 1) throw std::invalid_argument("--threads must be 1 or more");
        kel::device_table_text(table);
        if (geometry.member_bytes > INT64_MAX / static_cast<int64_t>(table.members.size()) / 2)
            throw std::invalid_argument("the volume's size does not fit 64 bits");
    } catch (const std::invalid_argument &error) {
        throw kel::UsageError(std::string("create: ") + error.what());
    }
    const bool made_directory = prepare_directory(directory);
    try {
        const kel::VolumeFiles files = devices.empty() ? kel::create_volume(directory, geometry)
                                                       : kel::create_volume_on(directory, devices, geometry);
        return files.config_path;
    } catch (const kel::SystemError &error) {
        undo_create(directory, made_directory);
        throw Failure(error.path(), system_reason(error.call().c_str(), error.error_number()));
    } catch (const std::invalid_argument &error) {
        undo_create(directory, made_directory);
        throw Failure(directory, error.what());
    }
}

}  // namespace kelvol
