#include "data_file_reader.h"

#include "saturate.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace kel {
namespace {

// Whether every member's part of the first stream_bytes bytes of the extent lies at
// device positions that 64 bits can hold.
bool extent_addressable(const tio::StripeLayout &layout, int64_t extent_offset, int64_t stream_bytes) {
    if (extent_offset < 0) return false;
    for (int32_t member = 0; member < layout.members; ++member) {
        int64_t end;
        if (!tio::checked_device_position(layout, member, extent_offset,
                                          tio::member_share(layout, stream_bytes, member), end))
            return false;
    }
    return true;
}

void add_piece(std::vector<ReadPiece> &pieces, const ReadPiece &piece) {
    if (!pieces.empty()) {
        ReadPiece &last = pieces.back();
        if (last.member == piece.member && last.position + last.bytes == piece.position) {
            last.bytes += piece.bytes;
            return;
        }
    }
    pieces.push_back(piece);
}

// Whether each member is, right now, long enough for every piece planned on it.
bool members_hold(const MemberDevices &members, const std::vector<ReadPiece> &pieces) {
    std::vector<int64_t> needed(static_cast<size_t>(members.count()), 0);
    for (const ReadPiece &piece : pieces)
        needed[piece.member] = std::max(needed[piece.member], piece.position + piece.bytes);
    for (int32_t member = 0; member < members.count(); ++member) {
        if (needed[member] == 0) continue;
        const int64_t size = members.size(member);
        if (size < needed[member]) return false;  // also when the size cannot be asked (-1)
    }
    return true;
}

bool read_piece(int fd, const ReadPiece &piece, uint8_t *destination) {
    int64_t done = 0;
    while (done < piece.bytes) {
        const ssize_t got = ::pread(fd, destination + done, static_cast<size_t>(piece.bytes - done),
                                    static_cast<off_t>(piece.position + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += got;
    }
    return true;
}

// 0 when the piece was moved whole, else -errno (-EIO for a read that fails or ends).
int splice_piece(int fd, const ReadPiece &piece, int pipe_fd) {
    loff_t position = piece.position;
    for (int64_t left = piece.bytes; left > 0;) {
        const ssize_t moved = ::splice(fd, &position, pipe_fd, nullptr, static_cast<size_t>(left),
                                       SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (moved < 0 && errno == EINTR) continue;
        if (moved < 0 && errno == EAGAIN) return -EAGAIN;
        if (moved <= 0) return -EIO;
        left -= moved;
    }
    return 0;
}

}  // namespace

DataFileExtents data_file_extents(std::vector<DetEntry> entries) {
    DataFileExtents file;
    file.extents = std::move(entries);
    __int128 held = 0, recorded = 0;
    for (const DetEntry &extent : file.extents) {
        held += std::max<int64_t>(extent.length, 0);
        recorded += extent.length;
        file.ends.push_back(tio::saturate<int64_t>(held));
    }
    file.size = std::clamp(tio::saturate<int64_t>(recorded), int64_t{0}, file.ends.empty() ? 0 : file.ends.back());
    return file;
}

int64_t plan_read(const MemberDevices &members, const DataFileExtents &file, int64_t offset, int64_t size,
                  std::vector<ReadPiece> &pieces) {
    pieces.clear();
    if (offset < 0 || size < 0) return -EINVAL;
    if (offset >= file.size) return 0;
    const tio::StripeLayout &layout = members.layout();
    const int64_t end = offset + std::min(size, file.size - offset);
    // The first extent that ends after offset; empty extents end where their predecessor does.
    size_t index = static_cast<size_t>(std::upper_bound(file.ends.begin(), file.ends.end(), offset) - file.ends.begin());
    for (int64_t at = offset; at < end; ++index) {
        const int64_t extent_start = index == 0 ? 0 : file.ends[index - 1];
        const int64_t from = at - extent_start;
        const int64_t length = std::min(end, file.ends[index]) - at;
        const int64_t extent_offset = file.extents[index].offset;
        if (!extent_addressable(layout, extent_offset, from + length)) return -EIO;
        tio::for_each_piece(layout, extent_offset, from, length,
                            [&](int32_t member, int64_t position, int64_t, int64_t bytes) {
                                add_piece(pieces, ReadPiece{member, position, bytes});
                            });
        at += length;
    }
    if (!members_hold(members, pieces)) return -EIO;
    return end - offset;
}

int64_t read_pieces(const MemberDevices &members, const std::vector<ReadPiece> &pieces, uint8_t *buffer) {
    int64_t done = 0;
    for (const ReadPiece &piece : pieces) {
        if (!read_piece(members.fd(piece.member), piece, buffer + done)) return -EIO;
        done += piece.bytes;
    }
    return done;
}

int64_t splice_pieces(const MemberDevices &members, const std::vector<ReadPiece> &pieces, int pipe_fd) {
    int64_t done = 0;
    for (const ReadPiece &piece : pieces) {
        const int result = splice_piece(members.fd(piece.member), piece, pipe_fd);
        if (result != 0) return result;
        done += piece.bytes;
    }
    return done;
}

int64_t read_data_file(const MemberDevices &members, const DataFileExtents &file, int64_t offset, int64_t size,
                       uint8_t *buffer) {
    std::vector<ReadPiece> pieces;
    const int64_t planned = plan_read(members, file, offset, size, pieces);
    return planned <= 0 ? planned : read_pieces(members, pieces, buffer);
}

}  // namespace kel
