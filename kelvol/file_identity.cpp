#include "file_identity.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvol {

FileIdentity identity_of(const struct stat &info) {
    if (S_ISBLK(info.st_mode)) return FileIdentity{true, info.st_rdev, 0};
    return FileIdentity{false, info.st_dev, info.st_ino};
}

std::optional<FileIdentity> identity_of(const std::string &path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return identity_of(info);
}

MemberFile inspect_member(const std::string &path) {
    MemberFile member;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        member.open_error = errno;
        return member;
    }
    struct stat info {};
    uint64_t device_bytes = 0;
    if (::fstat(fd, &info) == 0) {
        member.identity = identity_of(info);
        if (S_ISREG(info.st_mode)) {
            member.usable_type = true;
            member.bytes = info.st_size;
        } else if (S_ISBLK(info.st_mode)) {
            member.usable_type = true;
            if (::ioctl(fd, BLKGETSIZE64, &device_bytes) == 0) member.bytes = static_cast<int64_t>(device_bytes);
        }
    }
    ::close(fd);
    return member;
}

}  // namespace kelvol
