// The lock file ".kellock" of a header directory, which orders the extent allocations of
// several processes. It holds the holder's process id as "%08d\n"; "00000000\n" (or any
// content that is not a positive number) means free. Taking it never waits the holder out:
// after one 100 ms pause the taker writes its own id over the holder's, and a conflict is
// caught at release, when a process finds another id than its own and repeats its work.

#include "closing.h"
#include "header_names.h"
#include "internal.h"

#include <cstdio>
#include <string_view>
#include <sys/stat.h>

namespace {

constexpr size_t kLockContentSize = 9;  // "%08d\n": eight digits and the newline
constexpr uint64_t kHeldPauseMs = 100;

int64_t negate(int64_t value) {
    return static_cast<int64_t>(0 - static_cast<uint64_t>(value));
}

}  // namespace

extern "C" {

TIO_API int32_t createLock(int32_t pid, const char *lock_path) {
    if (!lock_path) return -1;
    tio::File lock(fopen(lock_path, "r+be"));
    if (lock) {
        // Asking for one byte more than a well-formed lock holds tells a 9-byte file from a
        // longer one: only exactly 9 bytes are taken as the lock's content, and an empty,
        // short or longer file (not ours, or torn) is recreated.
        char content[kLockContentSize + 2] = {};
        if (fread(content, 1, kLockContentSize + 1, lock.get()) == kLockContentSize) {
            if (tio::lock_holder_of(std::string_view(content, kLockContentSize)) > 0)
                msleep(kHeldPauseMs);  // held: pause once
        } else {
            lock.reset();  // not our format: recreate it below
        }
    }
    if (!lock) {
        lock.reset(fopen(lock_path, "wbe"));
        if (!lock) {
            tio::report("Error! Cannot create lock file: %s! Make sure the folder exists and you have "
                        "appropriate privileges!",
                        lock_path);
            return -1;
        }
    }
    fseek(lock.get(), 0, SEEK_SET);
    fprintf(lock.get(), "%08d\n", pid);
    lock.reset();
    // Processes of other users must be able to take the lock in turn.
    struct stat info;
    if (stat(lock_path, &info) == 0) chmod(lock_path, (info.st_mode & 07777) | 006);
    return pid;
}

TIO_API int64_t removeLock(int32_t pid, int64_t offset, int64_t size, const char *lock_path) {
    if (!lock_path) return -1;
    tio::File lock(fopen(lock_path, "r+be"));
    if (!lock) return -1;
    char text[32];  // more than any number "%d" could read
    const size_t got = fread(text, 1, sizeof text, lock.get());
    const std::optional<int64_t> holder = tio::lock_number_of(std::string_view(text, got));
    if (!holder) return -1;
    if (*holder != pid) return negate(size);  // taken over meanwhile: the caller's work does not stand
    // Eight zeros without a newline: the newline of the take stays as the ninth byte.
    fseek(lock.get(), 0, SEEK_SET);
    fprintf(lock.get(), "%08d", 0);
    return offset;
}

}  // extern "C"
