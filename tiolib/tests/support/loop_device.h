// Loop devices over sparse files: members that are real block devices.
#pragma once

#include <string>

namespace tio_test {

// A loop device over a backing file, detached on destruction.
class LoopDevice {
public:
    // Empty when loop devices can be attached here; otherwise why not.
    static std::string unavailable_reason();

    explicit LoopDevice(const std::string &backing_file);
    ~LoopDevice();
    LoopDevice(const LoopDevice &) = delete;
    LoopDevice &operator=(const LoopDevice &) = delete;

    bool attached() const { return fd_ >= 0; }
    const std::string &path() const { return path_; }
    const std::string &error() const { return error_; }

private:
    int fd_ = -1;
    std::string path_;
    std::string error_;
};

}  // namespace tio_test
