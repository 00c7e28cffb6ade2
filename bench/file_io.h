// Plain POSIX file transfers for the benchmark's reference rows; every failure names the
// call, the path and errno.
#pragma once

#include "layout.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kel {

// An open file descriptor, closed when dropped; close() reports a failed close.
class File {
public:
    File(const std::string &path, int flags);
    ~File();
    File(File &&other) noexcept;
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    int fd() const { return fd_; }
    const std::string &path() const { return path_; }
    void close();

private:
    std::string path_;
    int fd_ = -1;
};

std::vector<File> open_files(const std::vector<std::string> &paths, int flags);

void write_all(const File &file, const uint8_t *data, int64_t length);
void pwrite_all(const File &file, const uint8_t *data, int64_t length, int64_t position);
void read_all(const File &file, uint8_t *data, int64_t length);
void pread_all(const File &file, uint8_t *data, int64_t length, int64_t position);
void sync_data(const File &file);

// Stream bytes [position, position + length) of an extent at offset 0 to (or from) the
// places the layout gives them on the members, one call per piece within a chunk.
void pwrite_striped(const std::vector<File> &members, const tio::StripeLayout &layout, const uint8_t *stream,
                    int64_t position, int64_t length);
void pread_striped(const std::vector<File> &members, const tio::StripeLayout &layout, uint8_t *stream,
                   int64_t position, int64_t length);

// Writes back and then evicts the files' pages, so that the next read comes from the device.
void drop_cached_pages(const std::vector<std::string> &paths);
// fdatasync of every file, opened afresh by path.
void sync_paths(const std::vector<std::string> &paths);

}  // namespace kel
