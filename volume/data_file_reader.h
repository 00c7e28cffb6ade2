// Reading a data file's bytes from the member devices. A data file is its extents one
// after the other; each extent holds one stream laid out from member 0 at the extent's
// offset, and layout.h says where every byte of it lies. A read returns the recorded
// bytes or fails: a member that cannot be read, or that ends before the layout does,
// gives EIO, never zeros and never an early end of the file.
#pragma once

#include "member_devices.h"
#include "tio.h"

#include <cstdint>
#include <vector>

namespace kel {

struct DataFileExtents {
    std::vector<DetEntry> extents;  // in file order
    std::vector<int64_t> ends;      // the file offset just past extent i
    int64_t size = 0;               // bytes of the data file
};

// The data file that these entries record: extent i holds max(length, 0) bytes, and the
// file's size is the sum of the lengths (bytes reserved but not yet written included),
// never below 0 nor beyond what the extents hold.
DataFileExtents data_file_extents(std::vector<DetEntry> entries);

// A run of a read that lies contiguously on one member.
struct ReadPiece {
    int32_t member;
    int64_t position;  // its first byte on the member's device
    int64_t bytes;
};

// Where bytes [offset, offset + size) of the data file lie, cut at the file's end, in
// file order; pieces that continue each other on one member are joined. The number of
// bytes planned (0 at or past the end); -EINVAL for a negative offset or size; -EIO when
// a piece lies beyond its member's end (as the member is now) or beyond any device
// position.
int64_t plan_read(const MemberDevices &members, const DataFileExtents &file, int64_t offset, int64_t size,
                  std::vector<ReadPiece> &pieces);

// Reads the pieces one after the other into buffer. The bytes read, or -EIO when a
// member read fails or a member ends inside a piece.
int64_t read_pieces(const MemberDevices &members, const std::vector<ReadPiece> &pieces, uint8_t *buffer);

// Moves the pieces' bytes, one after the other, into the pipe at pipe_fd (its write end,
// non-blocking) by splice, without copying them through this process. The bytes moved;
// -EIO when a member read fails or a member ends inside a piece; -EAGAIN when the pipe
// has no room left for them. A failed call may leave bytes in the pipe.
int64_t splice_pieces(const MemberDevices &members, const std::vector<ReadPiece> &pieces, int pipe_fd);

// plan_read, then read_pieces: the bytes read (0 at or past the end), or -errno.
int64_t read_data_file(const MemberDevices &members, const DataFileExtents &file, int64_t offset, int64_t size,
                       uint8_t *buffer);

}  // namespace kel
