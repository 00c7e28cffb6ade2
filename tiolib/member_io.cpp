// Transfers between memory and a member device at explicit positions. Several threads
// move chunks of the same member at once, so nothing here uses the stream's own position.
// With direct I/O every transfer is whole blocks at block positions from aligned memory:
// what does not fit goes through the member's staging buffers.
#include "internal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tio {

namespace {

int64_t round_up(int64_t value, int64_t unit) { return (value + unit - 1) / unit * unit; }
int64_t round_down(int64_t value, int64_t unit) { return value / unit * unit; }

bool aligned(const void *pointer, int64_t unit) {
    return reinterpret_cast<uintptr_t>(pointer) % static_cast<uintptr_t>(unit) == 0;
}

// One write of a piece that direct I/O splits into several: the data bytes it moved and
// the error that stopped it.
struct PieceResult {
    int64_t moved = 0;
    int32_t error = 0;
    bool whole = true;
};

// Writes member bytes [begin, end) from source; `data_bytes` of them are the stream's (the
// rest is padding), and only those count as moved.
void put(const TioDevice &device, const uint8_t *source, int64_t begin, int64_t end, int64_t data_bytes,
         int64_t chunk_start, PieceResult &result) {
    if (!result.whole) return;  // after a failure the rest of the piece is not attempted
    const Moved moved = write_at(fileno(device.file), source, end - begin, chunk_start + begin);
    if (moved.bytes == end - begin) {
        result.moved += data_bytes;
        return;
    }
    result.moved += std::min(moved.bytes, data_bytes);
    result.error = moved.error;
    result.whole = false;
}

// Direct I/O: chunk bytes [from, to) from `bytes`, in whole blocks. A block that the piece
// fills only in part is assembled in the chunk's image in staging buffer 0 (which keeps the
// block's earlier bytes from the piece before) and written padded with zeros; the next
// piece rewrites it whole. Padding stays inside the chunk, since the chunk is whole blocks.
PieceResult write_blocks(TioDevice &device, const uint8_t *bytes, int64_t from, int64_t to, int64_t chunk_start) {
    const int64_t block = device.block_size;
    uint8_t *image = device.buffers[0].data;
    PieceResult result;
    int64_t at = from;
    auto write_partial_block = [&](int64_t end) {
        const int64_t first = round_down(at, block), padded = round_up(end, block);
        memcpy(image + at, bytes + (at - from), static_cast<size_t>(end - at));
        memset(image + end, 0, static_cast<size_t>(padded - end));
        put(device, image + first, first, padded, end - at, chunk_start, result);
        at = end;
    };
    if (at % block != 0) write_partial_block(std::min(to, round_down(at, block) + block));
    const int64_t whole_end = round_down(to, block);
    if (at < whole_end) {
        const uint8_t *source = bytes + (at - from);
        if (!aligned(source, block)) {
            memcpy(image + at, source, static_cast<size_t>(whole_end - at));
            source = image + at;
        }
        put(device, source, at, whole_end, whole_end - at, chunk_start, result);
        at = whole_end;
    }
    if (at < to) write_partial_block(to);
    return result;
}

}  // namespace

Moved write_at(int fd, const uint8_t *data, int64_t length, int64_t position) {
    Moved moved{0, 0};
    while (moved.bytes < length) {
        const ssize_t written = pwrite(fd, data + moved.bytes, static_cast<size_t>(length - moved.bytes),
                                       static_cast<off_t>(position + moved.bytes));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            moved.error = written < 0 ? errno : 0;
            break;
        }
        moved.bytes += written;
    }
    return moved;
}

Moved read_at(int fd, uint8_t *data, int64_t length, int64_t position) {
    Moved moved{0, 0};
    while (moved.bytes < length) {
        const ssize_t got = pread(fd, data + moved.bytes, static_cast<size_t>(length - moved.bytes),
                                  static_cast<off_t>(position + moved.bytes));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) moved.error = errno;
        if (got <= 0) break;  // an error, or the end of the member
        moved.bytes += got;
    }
    return moved;
}

void write_chunk_part(TioDevice &device, const uint8_t *bytes, int64_t from, int64_t to, int64_t chunk_start,
                      TioFailure &failure) {
    if (to <= from) return;
    PieceResult result;
    if (device.block_size > 0) {
        result = write_blocks(device, bytes, from, to, chunk_start);
    } else {
        const Moved moved = write_at(fileno(device.file), bytes, to - from, chunk_start + from);
        result = PieceResult{moved.bytes, moved.error, moved.bytes == to - from};
    }
    if (!result.whole) note_failure(failure, device.path, to - from, result.moved, result.error);
}

Moved read_chunk(TioDevice &device, uint8_t *destination, int64_t length, int64_t position, bool room_for_blocks) {
    const int64_t block = device.block_size;
    if (block == 0 || (length % block == 0 && aligned(destination, block))) {
        return read_at(fileno(device.file), destination, length, position);
    }
    if (room_for_blocks && aligned(destination, block)) {
        Moved moved = read_at(fileno(device.file), destination, round_up(length, block), position);
        moved.bytes = std::min(moved.bytes, length);
        return moved;
    }
    // Whole blocks into staging buffer 1 (page-aligned, a whole number of blocks long),
    // and only the planned bytes on to the destination.
    uint8_t *bounce = device.buffers[1].data;
    Moved moved = read_at(fileno(device.file), bounce, round_up(length, block), position);
    moved.bytes = std::min(moved.bytes, length);
    memcpy(destination, bounce, static_cast<size_t>(moved.bytes));
    return moved;
}

Moved write_staged(TioDevice &device, uint8_t *data, int64_t length, int64_t position) {
    const int64_t block = device.block_size;
    const int64_t padded = block > 0 ? round_up(length, block) : length;
    memset(data + length, 0, static_cast<size_t>(padded - length));
    Moved moved = write_at(fileno(device.file), data, padded, position);
    moved.bytes = std::min(moved.bytes, length);
    return moved;
}

int32_t direct_io_block_size(int fd) {
    struct statx info {};
    if (statx(fd, "", AT_EMPTY_PATH, STATX_TYPE | STATX_DIOALIGN, &info) != 0) return -1;
    if ((info.stx_mask & STATX_DIOALIGN) != 0 && info.stx_dio_offset_align > 0) {
        return static_cast<int32_t>(std::max(info.stx_dio_offset_align, info.stx_dio_mem_align));
    }
    if (S_ISBLK(info.stx_mode)) {
        int logical = 0;
        if (ioctl(fd, BLKSSZGET, &logical) == 0 && logical > 0) return logical;
    }
    // A file system that does not say (tmpfs): its block size, which every transfer of a
    // page-aligned chunk respects.
    return info.stx_blksize > 0 ? static_cast<int32_t>(info.stx_blksize) : 4096;
}

}  // namespace tio
