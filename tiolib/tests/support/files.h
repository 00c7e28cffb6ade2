// Files of the engine tests: a scratch directory, whole-file reads, temporary files and
// the counts of this process's open descriptors and threads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tio_test {

// A fresh directory under /tmp (or the given parent), removed with everything in it.
class ScratchDir {
public:
    explicit ScratchDir(const std::string &parent = "/tmp");
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The file's bytes (at most limit of them when limit >= 0); empty when it cannot be opened.
std::vector<uint8_t> read_all(const std::string &path, int64_t limit = -1);
// A new empty file "/tmp/<stem>_XXXXXX"; the caller removes it.
std::string temp_file_path(const char *stem);
// Number of open descriptors of this process.
int open_fd_count();
// Number of threads of this process.
int thread_count();
// "call(path): strerror(errno)".
std::string errno_text(const std::string &call, const std::string &path);

}  // namespace tio_test
