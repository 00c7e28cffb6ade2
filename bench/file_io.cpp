#include "file_io.h"

#include "system_error.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <stdexcept>
#include <sys/mman.h>
#include <unistd.h>

namespace kel {

File::File(const std::string &path, int flags) : path_(path) {
    fd_ = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd_ < 0) throw SystemError("open", path, errno);
}

File::~File() {
    if (fd_ >= 0) ::close(fd_);
}

File::File(File &&other) noexcept : path_(std::move(other.path_)), fd_(other.fd_) {
    other.fd_ = -1;
}

void File::close() {
    const int fd = fd_;
    fd_ = -1;
    // Not retried after EINTR: the descriptor is released either way on Linux.
    if (::close(fd) != 0) throw SystemError("close", path_, errno);
}

std::vector<File> open_files(const std::vector<std::string> &paths, int flags) {
    std::vector<File> files;
    files.reserve(paths.size());
    for (const std::string &path : paths) files.emplace_back(path, flags);
    return files;
}

void write_all(const File &file, const uint8_t *data, int64_t length) {
    for (int64_t done = 0; done < length;) {
        const ssize_t written = ::write(file.fd(), data + done, static_cast<size_t>(length - done));
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) throw SystemError("write", file.path(), errno);
        done += written;
    }
}

void pwrite_all(const File &file, const uint8_t *data, int64_t length, int64_t position) {
    for (int64_t done = 0; done < length;) {
        const ssize_t written = ::pwrite(file.fd(), data + done, static_cast<size_t>(length - done),
                                         position + done);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) throw SystemError("pwrite", file.path(), errno);
        done += written;
    }
}

void read_all(const File &file, uint8_t *data, int64_t length) {
    for (int64_t done = 0; done < length;) {
        const ssize_t got = ::read(file.fd(), data + done, static_cast<size_t>(length - done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw SystemError("read", file.path(), errno);
        if (got == 0) throw SystemError("read (file ends early)", file.path(), EIO);
        done += got;
    }
}

void pread_all(const File &file, uint8_t *data, int64_t length, int64_t position) {
    for (int64_t done = 0; done < length;) {
        const ssize_t got = ::pread(file.fd(), data + done, static_cast<size_t>(length - done),
                                    position + done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw SystemError("pread", file.path(), errno);
        if (got == 0) throw SystemError("pread (file ends early)", file.path(), EIO);
        done += got;
    }
}

void sync_data(const File &file) {
    if (::fdatasync(file.fd()) != 0) throw SystemError("fdatasync", file.path(), errno);
}

void pwrite_striped(const std::vector<File> &members, const tio::StripeLayout &layout, const uint8_t *stream,
                    int64_t position, int64_t length) {
    tio::for_each_piece(layout, 0, position, length, [&](int32_t member, int64_t at, int64_t index, int64_t bytes) {
        pwrite_all(members[static_cast<size_t>(member)], stream + index, bytes, at);
    });
}

void pread_striped(const std::vector<File> &members, const tio::StripeLayout &layout, uint8_t *stream,
                   int64_t position, int64_t length) {
    tio::for_each_piece(layout, 0, position, length, [&](int32_t member, int64_t at, int64_t index, int64_t bytes) {
        pread_all(members[static_cast<size_t>(member)], stream + index, bytes, at);
    });
}

LoopDevice::LoopDevice(const std::string &backing_file) {
    const std::string command = "losetup --direct-io=on --find --show '" + backing_file + "' 2>&1";
    FILE *pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) throw SystemError("popen", command, errno);
    char line[4096] = "";
    const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
    const int status = ::pclose(pipe);
    std::string output = read ? line : "";
    while (!output.empty() && (output.back() == '\n' || output.back() == ' ')) output.pop_back();
    if (status != 0 || output.rfind("/dev/", 0) != 0)
        throw std::runtime_error("could not attach a loop device to " + backing_file + ": " + output);
    path_ = output;
}

LoopDevice::~LoopDevice() {
    const std::string command = "losetup -d '" + path_ + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not detach %s\n", path_.c_str());
}

int64_t page_cache_bytes() {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    int64_t kib = 0, total_kib = 0;
    std::string unit;
    int found = 0;
    while (meminfo >> key >> kib >> unit) {
        if (key != "Buffers:" && key != "Cached:") continue;
        total_kib += kib;
        ++found;
    }
    if (found != 2) throw std::runtime_error("no Buffers: and Cached: lines in /proc/meminfo");
    return total_kib * 1024;
}

int64_t resident_bytes(const std::vector<std::string> &paths) {
    const int64_t page = ::sysconf(_SC_PAGESIZE);
    int64_t resident = 0;
    for (const std::string &path : paths) {
        File file(path, O_RDONLY);
        const off_t size = ::lseek(file.fd(), 0, SEEK_END);  // a block device's size too
        if (size < 0) throw SystemError("lseek", path, errno);
        if (size == 0) continue;
        void *map = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_SHARED, file.fd(), 0);
        if (map == MAP_FAILED) throw SystemError("mmap", path, errno);
        std::vector<unsigned char> pages(static_cast<size_t>((size + page - 1) / page));
        const int error = ::mincore(map, static_cast<size_t>(size), pages.data()) == 0 ? 0 : errno;
        ::munmap(map, static_cast<size_t>(size));
        if (error != 0) throw SystemError("mincore", path, error);
        for (unsigned char flags : pages) resident += (flags & 1) ? page : 0;
        file.close();
    }
    return resident;
}

void drop_cached_pages(const std::vector<std::string> &paths) {
    for (const std::string &path : paths) {
        File file(path, O_RDONLY);
        sync_data(file);  // dirty pages cannot be dropped
        const int error = ::posix_fadvise(file.fd(), 0, 0, POSIX_FADV_DONTNEED);
        if (error != 0) throw SystemError("posix_fadvise", path, error);
        file.close();
    }
}

void sync_paths(const std::vector<std::string> &paths) {
    for (const std::string &path : paths) {
        File file(path, O_RDONLY);
        sync_data(file);
        file.close();
    }
}

}  // namespace kel
