#include "file_io.h"

#include "system_error.h"

#include <cerrno>
#include <fcntl.h>
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
