// The lock file ".kellock" of a header directory, which orders the extent allocations of
// several processes. It holds the holder's process id as "%08d\n"; "00000000\n" (or any
// content that is not a positive number) means free. Taking it never waits the holder out:
// after one 100 ms pause the taker writes its own id over the holder's, and a conflict is
// caught at release, when a process finds another id than its own and repeats its work.

#include "closing.h"
#include "internal.h"
#include "saturate.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace {

constexpr size_t kLockContentSize = 9;  // "%08d\n": eight digits and the newline
constexpr uint64_t kHeldPauseMs = 100;

// Reads a decimal number the way fscanf's "%d" does (leading white space, an optional
// sign, at least one digit), clamping values that do not fit instead of overflowing.
bool read_decimal(FILE *file, int32_t *value) {
    char text[32];
    const size_t got = fread(text, 1, sizeof text - 1, file);
    text[got] = '\0';
    size_t position = 0;
    while (position < got && isspace(static_cast<unsigned char>(text[position]))) ++position;
    size_t digits = position;
    if (digits < got && (text[digits] == '+' || text[digits] == '-')) ++digits;
    if (digits >= got || !isdigit(static_cast<unsigned char>(text[digits]))) return false;
    const long long number = strtoll(text + position, nullptr, 10);
    *value = tio::saturate<int32_t>(number);
    return true;
}

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
            if (strtol(content, nullptr, 10) > 0) msleep(kHeldPauseMs);  // held: pause once
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
    int32_t holder = 0;
    if (!read_decimal(lock.get(), &holder)) return -1;
    if (holder != pid) return negate(size);  // taken over meanwhile: the caller's work does not stand
    // Eight zeros without a newline: the newline of the take stays as the ninth byte.
    fseek(lock.get(), 0, SEEK_SET);
    fprintf(lock.get(), "%08d", 0);
    return offset;
}

}  // extern "C"
