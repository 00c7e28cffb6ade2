// Where the recorded extents lie on the members, and what that leaves: the one model of a
// volume's space behind df, map and check.
#pragma once

#include "header_dir.h"
#include "volume.h"

#include <cstdint>
#include <vector>

namespace kelvol {

// One extent with a real (non-negative) offset, as bytes of every member: it begins at
// `begin` and holds bytes up to `end` on member 0, the member with the largest share.
struct PlacedExtent {
    const kel::DetFile *file;
    size_t index;      // its entry in the file
    int64_t begin;
    int64_t end;
    bool held_for_writer() const;  // a provisional or reservation file's, not a data file's
};

// Two extents that share member bytes [begin, end).
struct Overlap {
    const PlacedExtent *first;
    const PlacedExtent *second;
    int64_t begin;
    int64_t end;
};

struct SpaceModel {
    int64_t member_size = 0;
    std::vector<PlacedExtent> extents;  // by begin
    std::vector<Overlap> overlaps;
};

// The extents of the files whose entries the allocator counts (ok, provisional and
// reservation files), with the pairs of them that share bytes. A reservation lying inside
// an extent of another file is that extent recorded twice while an update ends (or was cut
// short), not an overlap. The scan must outlive the model.
SpaceModel space_of(const Volume &volume, const kel::HeaderDirScan &scan);

// df's numbers; sizes in bytes over all members unless named per member.
struct Usage {
    int members = 0;
    int64_t chunk_size = 0;
    int64_t volume_size = 0;
    int64_t member_size = 0;
    int64_t used = 0;             // lengths of the ok data files
    int64_t provisional = 0;      // lengths in provisional and reservation files
    int64_t free = 0;             // member bytes no extent covers (to its chunk-aligned end), all members
    int64_t largest_request = 0;  // what tio_write_det grants now; -1 nothing
    int64_t gaps = 0;             // free stretches of the members
};

// Throws Failure when the allocator cannot look at the header directory.
Usage usage_of(const Volume &volume, const kel::HeaderDirScan &scan);

}  // namespace kelvol
