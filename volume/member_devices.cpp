#include "member_devices.h"

#include "system_error.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/stat.h>

namespace kel {
namespace {

// O_NONBLOCK: a FIFO named as a member must not hang the open; it is refused below.
int open_member(const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) throw SystemError("open", path, errno);
    return fd;
}

bool is_block_device(int fd, const std::string &path) {
    struct stat info;
    if (::fstat(fd, &info) != 0) throw SystemError("fstat", path, errno);
    if (S_ISBLK(info.st_mode)) return true;
    if (S_ISREG(info.st_mode)) return false;
    throw std::runtime_error(path + ": a member must be a regular file or a block device");
}

void clear_nonblocking(int fd, const std::string &path) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) throw SystemError("fcntl", path, errno);
}

}  // namespace

MemberDevices::MemberDevices(const VolumeProps &volume)
    : devices_(volume.devices), fds_(new tio::Fd[volume.devices.size()]) {
    if (devices_.empty() || static_cast<int64_t>(devices_.size()) != volume.members)
        throw std::runtime_error("the configuration names no member devices (its TYPE is not RAID)");
    for (size_t m = 0; m < devices_.size(); ++m) {
        paths_.emplace_back(devices_[m].path);
        fds_[m].reset(open_member(paths_[m]));
        block_device_.push_back(is_block_device(fds_[m].get(), paths_[m]));
        clear_nonblocking(fds_[m].get(), paths_[m]);
    }
    layout_ = tio::StripeLayout{volume.members, volume.chunk_bytes, volume.start_offset, devices_.data()};
}

int64_t MemberDevices::size(int32_t member) const {
    const int fd = fds_[member].get();
    if (block_device_[member]) {
        uint64_t bytes = 0;
        if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0) return -1;
        return static_cast<int64_t>(bytes);
    }
    struct stat info;
    if (::fstat(fd, &info) != 0) return -1;
    return info.st_size;
}

}  // namespace kel
