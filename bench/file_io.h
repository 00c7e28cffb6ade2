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

// A loop device over a backing file, attached with losetup (which reads the backing file
// with direct I/O, so the backing file's pages stay out of the page cache) and detached
// when dropped. Throws std::runtime_error when it cannot be attached.
class LoopDevice {
public:
    explicit LoopDevice(const std::string &backing_file);
    ~LoopDevice();
    LoopDevice(const LoopDevice &) = delete;
    LoopDevice &operator=(const LoopDevice &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// The page cache's size now, block devices' pages included ("Buffers:" + "Cached:" of
// /proc/meminfo), in bytes.
int64_t page_cache_bytes();

// Bytes of the files (or block devices) that sit in the page cache now, by mincore.
int64_t resident_bytes(const std::vector<std::string> &paths);

// Writes back and then evicts the files' pages, so that the next read comes from the device.
void drop_cached_pages(const std::vector<std::string> &paths);
// fdatasync of every file, opened afresh by path.
void sync_paths(const std::vector<std::string> &paths);

}  // namespace kel
