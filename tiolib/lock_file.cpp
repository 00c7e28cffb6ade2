// The lock file ".kellock" of a header directory, which orders the extent allocations of
// several processes. It holds the holder's process id as "%08d\n"; "00000000\n" (or any
// content that is not a positive number) means free. Taking it never waits the holder out:
// after one 100 ms pause the taker writes its own id over the holder's, and a conflict is
// caught at release, when a process finds another id than its own and repeats its work.

#include "closing.h"
#include "header_names.h"
#include "internal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kLockContentSize = 9;  // "%08d\n": eight digits and the newline
constexpr uint64_t kHeldPauseMs = 100;

int64_t negate(int64_t value) {
    return static_cast<int64_t>(0 - static_cast<uint64_t>(value));
}

// Opens the lock file without ever waiting: a FIFO or a device in its place would block
// the open or the read, so anything but a regular file is refused (not_regular set).
int open_regular(const char *path, int flags, bool &not_regular) {
    const int fd = open(path, flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd < 0) {
        not_regular = errno == EISDIR;
        return -1;
    }
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) return fd;
    not_regular = true;
    close(fd);
    return -1;
}

}  // namespace

extern "C" {

TIO_API int32_t createLock(int32_t pid, const char *lock_path) {
    if (!lock_path) return -1;
    bool not_regular = false;
    tio::Fd lock(open_regular(lock_path, O_RDWR, not_regular));
    if (lock) {
        // Asking for one byte more than a well-formed lock holds tells a 9-byte file from a
        // longer one: only exactly 9 bytes are taken as the lock's content, and an empty,
        // short or longer file (not ours, or torn) is recreated.
        char content[kLockContentSize + 1] = {};
        if (pread(lock.get(), content, sizeof content, 0) == static_cast<ssize_t>(kLockContentSize)) {
            if (tio::lock_holder_of(std::string_view(content, kLockContentSize)) > 0)
                msleep(kHeldPauseMs);  // held: pause once
        } else {
            lock.reset();  // not our format: recreate it below
        }
    }
    if (!lock && !not_regular) lock.reset(open_regular(lock_path, O_WRONLY | O_CREAT | O_TRUNC, not_regular));
    if (not_regular) {
        tio::report("Error! Lock file %s is not a regular file!", lock_path);
        return -1;
    }
    if (!lock) {
        tio::report("Error! Cannot create lock file: %s! Make sure the folder exists and you have "
                    "appropriate privileges!",
                    lock_path);
        return -1;
    }
    char content[32];
    const int length = snprintf(content, sizeof content, "%08d\n", pid);
    const bool written = pwrite(lock.get(), content, static_cast<size_t>(length), 0) == length;
    const int error = errno;
    if (lock.close() != 0 || !written) {
        tio::report("Error! Cannot write lock file %s: %s!", lock_path, strerror(written ? errno : error));
        return -1;
    }
    // Processes of other users must be able to take the lock in turn.
    struct stat info;
    if (stat(lock_path, &info) == 0) chmod(lock_path, (info.st_mode & 07777) | 006);
    return pid;
}

TIO_API int64_t removeLock(int32_t pid, int64_t offset, int64_t size, const char *lock_path) {
    if (!lock_path) return -1;
    bool not_regular = false;
    tio::Fd lock(open_regular(lock_path, O_RDWR, not_regular));
    if (!lock) return -1;
    char text[32];  // more than any number "%d" could read
    const ssize_t got = pread(lock.get(), text, sizeof text, 0);
    if (got < 0) return -1;
    const std::optional<int64_t> holder = tio::lock_number_of(std::string_view(text, static_cast<size_t>(got)));
    if (!holder) return -1;
    if (*holder != pid) return negate(size);  // taken over meanwhile: the caller's work does not stand
    // Eight zeros without a newline: the newline of the take stays as the ninth byte. Should
    // the write fail, the lock still names us, and the next taker takes it over after its pause.
    [[maybe_unused]] const ssize_t released = pwrite(lock.get(), "00000000", 8, 0);
    return offset;
}

}  // extern "C"
