// What check finds in a volume's header directory, and what repair may clear of it.
#pragma once

#include "header_dir.h"
#include "space.h"
#include "volume.h"

#include <string>
#include <vector>

namespace kelvol {

enum class FindingKind {
    member, overlap, beyond_end, misaligned, torn, unreadable, alias, interrupted, provisional, reservation,
    temporary, orphan_mark, stale_lock, lock_mode, recording
};

// "member", "overlap", "beyond-end", "misaligned", "torn", "unreadable", "alias",
// "interrupted", "provisional", "reservation", "temporary", "orphan-mark", "stale-lock",
// "lock-mode", "recording".
const char *kind_name(FindingKind kind);

struct Finding {
    FindingKind kind;
    std::string path;
    std::string detail;
    // What clearing it takes: the file to remove (provisional, reservation, temporary,
    // orphan-mark), or taking the lock (stale-lock). Empty for what repair never touches:
    // a live writer's files among them, whatever their age.
    std::string removable_path;
    bool cleared_by_taking_lock = false;
    std::string other_path;  // overlap: the second file
};

struct Findings {
    std::vector<Finding> problems;
    std::vector<Finding> in_progress;  // recordings, allocations and rewrites of live writers
};

struct CheckLimits {
    double stale_after_seconds = 600;  // a provisional entry or reservation older than this is left over
    double dead_writer_grace_seconds = 60;  // a reservation of a writer that looks dead, once older than this
};

// Every finding of the members and the scanned directory, problems in the order of the
// kinds above.
Findings check_volume(const Volume &volume, const VolumeScan &scan, const SpaceModel &space,
                      const CheckLimits &limits);

}  // namespace kelvol
