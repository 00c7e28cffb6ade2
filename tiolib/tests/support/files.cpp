#include "files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>

namespace tio_test {

std::string errno_text(const std::string &call, const std::string &path) {
    return call + "(" + path + "): " + std::strerror(errno);
}

ScratchDir::ScratchDir(const std::string &parent) {
    std::string templ = parent + "/tio_engine_XXXXXX";
    if (!mkdtemp(templ.data())) throw std::runtime_error(errno_text("mkdtemp", templ));
    path_ = templ;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<uint8_t> read_all(const std::string &path, int64_t limit) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    std::vector<uint8_t> data;
    uint8_t block[65536];
    while (limit < 0 || int64_t(data.size()) < limit) {
        size_t want = sizeof block;
        if (limit >= 0) want = std::min<int64_t>(want, limit - int64_t(data.size()));
        ssize_t got = ::read(fd, block, want);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        data.insert(data.end(), block, block + got);
    }
    ::close(fd);
    return data;
}

std::string temp_file_path(const char *stem) {
    std::string templ = std::string("/tmp/") + stem + "_XXXXXX";
    int fd = mkstemp(templ.data());
    if (fd < 0) throw std::runtime_error(errno_text("mkstemp", templ));
    ::close(fd);
    return templ;
}

namespace {

// Entries of a /proc directory, "." and ".." not counted.
int proc_entries(const char *path) {
    int count = 0;
    DIR *dir = opendir(path);
    if (!dir) return -1;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count;
}

}  // namespace

int open_fd_count() {
    return proc_entries("/proc/self/fd") - 1;  // the descriptor of the listing itself
}

int thread_count() { return proc_entries("/proc/self/task"); }

}  // namespace tio_test
