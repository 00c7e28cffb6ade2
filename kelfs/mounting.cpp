#include "mounting.h"

#include "closing.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace kelfs {
namespace {

std::runtime_error path_error(const std::string &path, const std::string &reason) {
    return std::runtime_error(path + ": " + reason);
}

bool directory_is_empty(const std::string &path) {
    tio::Dir dir(::opendir(path.c_str()));
    if (!dir) throw path_error(path, std::strerror(errno));
    while (const dirent *entry = ::readdir(dir.get())) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) return false;
    }
    return true;
}

// Mount-table fields escape space, tab, newline and backslash as three octal digits.
std::string unescaped(const std::string &field) {
    std::string text;
    for (size_t i = 0; i < field.size(); ++i) {
        const std::string digits = field.substr(i + 1, 3);
        if (field[i] == '\\' && digits.size() == 3 && digits.find_first_not_of("01234567") == std::string::npos) {
            text.push_back(static_cast<char>(std::strtol(digits.c_str(), nullptr, 8)));
            i += 3;
        } else {
            text.push_back(field[i]);
        }
    }
    return text;
}

struct MountEntry {
    std::string point;   // unescaped
    std::string device;  // "MAJOR:MINOR"
    std::string type;
};

// This process's mount table, oldest mount first.
std::vector<MountEntry> mount_table() {
    std::ifstream table("/proc/self/mountinfo");
    std::vector<MountEntry> mounts;
    std::string line;
    while (std::getline(table, line)) {
        // ID PARENT MAJOR:MINOR ROOT MOUNT-POINT OPTIONS [OPTIONAL...] - TYPE SOURCE ...
        std::istringstream fields(line);
        std::string id, parent, numbers, root, point, field;
        if (!(fields >> id >> parent >> numbers >> root >> point)) continue;
        while (fields >> field && field != "-") {
        }
        std::string type;
        fields >> type;
        mounts.push_back({unescaped(point), numbers, type});
    }
    return mounts;
}

// "MAJOR:MINOR" of the newest FUSE mount at mount_point, "" when there is none.
std::string fuse_mount_device(const std::string &mount_point) {
    std::string device;
    for (const MountEntry &mount : mount_table())
        if (mount.point == mount_point && mount.type.rfind("fuse", 0) == 0) device = mount.device;
    return device;
}

bool is_mount_point(const std::string &path) {
    for (const MountEntry &mount : mount_table())
        if (mount.point == path) return true;
    return false;
}

}  // namespace

std::string usable_mount_point(const std::string &path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) throw path_error(path, std::strerror(errno));
    struct stat info;
    if (::stat(resolved, &info) != 0) throw path_error(path, std::strerror(errno));
    if (!S_ISDIR(info.st_mode)) throw path_error(path, std::strerror(ENOTDIR));
    // Mounting there again would stack a second view over the first (or over another
    // file system): an empty view passes the emptiness check below.
    if (is_mount_point(resolved)) throw path_error(path, "something is already mounted there");
    if (!directory_is_empty(resolved)) throw path_error(path, "the mount point is not empty");
    return resolved;
}

void require_fuse_device() {
    const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error(std::string("fuse: cannot open /dev/fuse: ") + std::strerror(errno));
    ::close(fd);
}

StderrCapture::StderrCapture() {
    std::fflush(stderr);
    capture_ = ::memfd_create("kelfs-stderr", MFD_CLOEXEC);
    saved_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    if (capture_ < 0 || saved_ < 0 || ::dup2(capture_, STDERR_FILENO) < 0)
        throw std::runtime_error(std::string("cannot capture standard error: ") + std::strerror(errno));
}

StderrCapture::~StderrCapture() { finish(); }

std::string StderrCapture::finish() {
    if (saved_ < 0) return text_;
    std::fflush(stderr);
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    saved_ = -1;
    std::string raw;
    char buffer[4096];
    for (off_t at = 0;;) {
        const ssize_t got = ::pread(capture_, buffer, sizeof buffer, at);
        if (got <= 0) break;
        raw.append(buffer, static_cast<size_t>(got));
        at += got;
    }
    ::close(capture_);
    std::istringstream lines(raw);
    for (std::string line; std::getline(lines, line);) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.rfind("fuse: ", 0) == 0) line.erase(0, 6);
        if (line.empty()) continue;
        text_.append(text_.empty() ? "" : "; ").append(line);
    }
    return text_;
}

std::string first_answer(const std::string &mount_point) {
    const tio::Dir root(::opendir(mount_point.c_str()));
    if (!root) return "opendir(" + mount_point + "): " + std::strerror(errno);
    errno = 0;
    if (::readdir(root.get()) == nullptr && errno != 0) return "readdir(" + mount_point + "): " + std::strerror(errno);
    struct stat info;
    if (::fstat(::dirfd(root.get()), &info) != 0) return "fstat(" + mount_point + "): " + std::strerror(errno);
    const std::string answered = std::to_string(major(info.st_dev)) + ":" + std::to_string(minor(info.st_dev));
    if (fuse_mount_device(mount_point) != answered) return mount_point + ": another mount answered";
    return "";
}

std::string read_ahead_setting(const std::string &mount_point) {
    const std::string device = fuse_mount_device(mount_point);
    return device.empty() ? "" : "/sys/class/bdi/" + device + "/read_ahead_kb";
}

bool set_read_ahead(const std::string &setting, int kib) {
    std::ofstream file(setting);
    file << kib << '\n';
    file.flush();
    return static_cast<bool>(file);
}

}  // namespace kelfs
