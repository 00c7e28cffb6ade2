// Preloaded into kelvol by the tests that look at its syncs:
//   KEL_TEST_SYNC_LOG=FILE        every fsync and fdatasync appends "CALL PATH\n" to FILE
//   KEL_TEST_FAIL_SYNC_UNDER=DIR  a sync of a file whose path begins with DIR fails (EIO)
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

using SyncCall = int (*)(int);

std::string path_of(int fd) {
    char link[64], target[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = ::readlink(link, target, sizeof target - 1);
    return length < 0 ? std::string("?") : std::string(target, static_cast<size_t>(length));
}

void log_call(const char *call, const std::string &path) {
    const char *log = std::getenv("KEL_TEST_SYNC_LOG");
    if (log == nullptr) return;
    const int fd = ::open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const std::string line = std::string(call) + " " + path + "\n";
    [[maybe_unused]] const ssize_t written = ::write(fd, line.data(), line.size());
    ::close(fd);
}

bool fails(const std::string &path) {
    const char *under = std::getenv("KEL_TEST_FAIL_SYNC_UNDER");
    return under != nullptr && *under != '\0' && path.compare(0, std::strlen(under), under) == 0;
}

int observed(const char *call, int fd) {
    const std::string path = path_of(fd);
    log_call(call, path);
    if (fails(path)) {
        errno = EIO;
        return -1;
    }
    const auto real = reinterpret_cast<SyncCall>(::dlsym(RTLD_NEXT, call));
    return real(fd);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int fsync(int fd) { return observed("fsync", fd); }
extern "C" __attribute__((visibility("default"))) int fdatasync(int fd) { return observed("fdatasync", fd); }
