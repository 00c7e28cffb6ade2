// What kelfs checks and adjusts around the mount itself: the mount point, the FUSE
// device, what libfuse and fusermount3 say while mounting, whether the mount answers, and
// the mount's read-ahead.
#pragma once

#include <string>

namespace kelfs {

// The mount point as an absolute path. Throws std::runtime_error "PATH: reason" when it
// does not exist, is not a directory, is already a mount point or is not empty.
std::string usable_mount_point(const std::string &path);

// Throws std::runtime_error "fuse: ..." when the FUSE device cannot be opened.
void require_fuse_device();

// Everything written to standard error while it lives (libfuse's messages and those of
// the fusermount3 it may run) is kept instead, so that a failed mount can be reported as
// one line of its own.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();  // standard error is restored
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    // Restores standard error and returns what was written, as one line (lines joined
    // by "; ", each without a leading "fuse: ").
    std::string finish();

private:
    int saved_ = -1;
    int capture_ = -1;
    std::string text_;
};

// Waits for the FUSE mount at mount_point (absolute) to answer its first requests, the
// opening and reading of its root directory; "" once it has, and it is the newest mount
// there, else why not (the mount of a daemon that failed answers with an error once its
// connection is gone).
std::string first_answer(const std::string &mount_point);

// The read-ahead setting (in sysfs) of the newest FUSE mount at mount_point (absolute),
// found in this process's mount table; "" when there is none. The kernel lowers it to
// what the file system answers at its start, so it is written after that.
std::string read_ahead_setting(const std::string &mount_point);

// Writes kib to a read-ahead setting; false when it cannot.
bool set_read_ahead(const std::string &setting, int kib);

}  // namespace kelfs
