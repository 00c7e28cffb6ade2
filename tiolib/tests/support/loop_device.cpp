#include "loop_device.h"

#include "files.h"
#include "volume_writer.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace tio_test {

std::string LoopDevice::unavailable_reason() {
    if (geteuid() != 0) return "not running as root";
    int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (control < 0) return errno_text("open", "/dev/loop-control");
    ::close(control);
    ScratchDir dir;
    kel::make_sparse_file(dir.file("probe"), 1 << 20);
    LoopDevice probe(dir.file("probe"));
    return probe.attached() ? "" : probe.error();
}

LoopDevice::LoopDevice(const std::string &backing_file) {
    int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (control < 0) {
        error_ = errno_text("open", "/dev/loop-control");
        return;
    }
    int backing = ::open(backing_file.c_str(), O_RDWR | O_CLOEXEC);
    if (backing < 0) {
        error_ = errno_text("open", backing_file);
        ::close(control);
        return;
    }
    // Other programs may claim the same free device between the query and the attach.
    for (int attempt = 0; attempt < 50 && fd_ < 0; ++attempt) {
        int number = ::ioctl(control, LOOP_CTL_GET_FREE);
        if (number < 0) {
            error_ = errno_text("ioctl LOOP_CTL_GET_FREE", "/dev/loop-control");
            break;
        }
        std::string path = "/dev/loop" + std::to_string(number);
        struct stat info;
        if (::stat(path.c_str(), &info) != 0)
            ::mknod(path.c_str(), S_IFBLK | 0660, makedev(7, number));
        int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            error_ = errno_text("open", path);
            continue;
        }
        if (::ioctl(fd, LOOP_SET_FD, backing) != 0) {
            error_ = errno_text("ioctl LOOP_SET_FD", path);
            ::close(fd);
            continue;
        }
        // Detached by the kernel on the last close, also when the test dies.
        loop_info64 info64{};
        info64.lo_flags = LO_FLAGS_AUTOCLEAR;
        ::ioctl(fd, LOOP_SET_STATUS64, &info64);
        fd_ = fd;
        path_ = path;
        error_.clear();
    }
    ::close(backing);
    ::close(control);
}

LoopDevice::~LoopDevice() {
    if (fd_ < 0) return;
    ::fsync(fd_);
    ::ioctl(fd_, LOOP_CLR_FD, 0);
    ::close(fd_);
}

}  // namespace tio_test
