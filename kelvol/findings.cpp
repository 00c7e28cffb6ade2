#include "findings.h"

#include "header_names.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kelvol {
namespace {

using kel::DetFile;
using kel::DetState;

std::string age_text(double seconds) {
    return std::to_string(static_cast<long long>(std::floor(std::max(seconds, 0.0)))) + " s old";
}

std::string extent_text(const PlacedExtent &extent) {
    const DetEntry &entry = extent.file->entries[extent.index];
    return "extent " + std::to_string(extent.index) + " (offset " + std::to_string(entry.offset) + ", length " +
           std::to_string(entry.length) + ")";
}

std::string octal_mode(mode_t mode) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

Finding finding(FindingKind kind, std::string path, std::string detail, std::string removable_path = "",
                bool cleared_by_taking_lock = false, std::string other_path = "") {
    return Finding{kind, std::move(path), std::move(detail), std::move(removable_path), cleared_by_taking_lock,
                   std::move(other_path)};
}

bool only_provisional_entries(const DetFile &file) {
    return std::all_of(file.entries.begin(), file.entries.end(), [](const DetEntry &e) { return e.offset < 0; });
}

class Checker {
public:
    Checker(const Volume &volume, const CheckLimits &limits) : volume_(volume), limits_(limits) {}

    void placement(const SpaceModel &space) {
        for (const Overlap &overlap : space.overlaps)
            add(true, finding(FindingKind::overlap, overlap.first->file->path,
                       extent_text(*overlap.first) + " shares member bytes " + std::to_string(overlap.begin) + ".." +
                           std::to_string(overlap.end) + " with " + overlap.second->file->path + " " +
                           extent_text(*overlap.second),
                       "", false, overlap.second->file->path));
        for (const PlacedExtent &extent : space.extents)
            if (extent.end > space.member_size)
                add(true, finding(FindingKind::beyond_end, extent.file->path,
                           extent_text(extent) + " ends at member byte " + std::to_string(extent.end) +
                               ", past the member size " + std::to_string(space.member_size)));
        for (const PlacedExtent &extent : space.extents)
            if (extent.begin % volume_.props.chunk_bytes != 0)
                add(true, finding(FindingKind::misaligned, extent.file->path,
                           extent_text(extent) + " does not begin on a chunk boundary (chunk size " +
                               std::to_string(volume_.props.chunk_bytes) + ")"));
    }

    void file_state(const DetFile &file) {
        const double age = kel::age_seconds(file.mtime);
        switch (file.state) {
        case DetState::ok:
        case DetState::recording:
        case DetState::interrupted: return;
        case DetState::torn:
            add(true, finding(FindingKind::torn, file.path,
                       "size " + std::to_string(file.file_bytes) + " bytes is not a multiple of 16"));
            return;
        case DetState::unreadable: add(true, finding(FindingKind::unreadable, file.path, file.error)); return;
        case DetState::provisional: {
            const bool stale = age > limits_.stale_after_seconds;
            // A data file with real extents besides is not an abandoned allocation.
            const bool removable = stale && only_provisional_entries(file);
            add(stale, finding(FindingKind::provisional, file.path,
                        "allocation of " + std::to_string(file.size) + " bytes not completed, " + age_text(age) +
                            (stale && !removable ? "; it also records real extents" : ""),
                        removable ? file.path : ""));
            return;
        }
        case DetState::reservation: {
            const bool writer_known = file.writer_pid > 0;
            const bool writer_alive = writer_known && tio::process_alive(file.writer_pid);
            const bool stale = age > limits_.stale_after_seconds ||
                               (writer_known && !writer_alive && age > limits_.dead_writer_grace_seconds);
            std::string writer = !writer_known  ? "writer unknown"
                                 : writer_alive ? "writer " + std::to_string(file.writer_pid) + " alive"
                                                : "writer " + std::to_string(file.writer_pid) + " gone";
            add(stale, finding(FindingKind::reservation, file.path,
                        "reservation of " + std::to_string(file.size) + " bytes, " + writer + ", " + age_text(age),
                        stale ? file.path : ""));
            return;
        }
        }
    }

    void temporary(const kel::TemporaryFile &file) {
        const bool alive = tio::process_alive(file.pid);
        add(!alive, finding(FindingKind::temporary, file.path,
                     "rewrite of " + file.det_name + " by process " + std::to_string(file.pid) +
                         (alive ? ", still running" : ", which no longer exists"),
                     alive ? "" : file.path));
    }

    void lock(const kel::LockFileState &lock) {
        if (!lock.present) return;
        if (lock.holder > 0 && !tio::process_alive(lock.holder))
            add(true, finding(FindingKind::stale_lock, lock.path,
                       "held by process " + std::to_string(lock.holder) + ", which no longer exists", "", true));
        if ((lock.mode & 006) != 006)
            add(true, finding(FindingKind::lock_mode, lock.path,
                       "mode " + octal_mode(lock.mode) + ": other users cannot read and write it"));
    }

    Findings take() {
        std::stable_sort(findings_.problems.begin(), findings_.problems.end(),
                         [](const Finding &a, const Finding &b) { return a.kind < b.kind; });
        return std::move(findings_);
    }

private:
    void add(bool problem, Finding finding) {
        (problem ? findings_.problems : findings_.in_progress).push_back(std::move(finding));
    }

    const Volume &volume_;
    const CheckLimits &limits_;
    Findings findings_;
};

}  // namespace

const char *kind_name(FindingKind kind) {
    switch (kind) {
    case FindingKind::overlap: return "overlap";
    case FindingKind::beyond_end: return "beyond-end";
    case FindingKind::misaligned: return "misaligned";
    case FindingKind::torn: return "torn";
    case FindingKind::unreadable: return "unreadable";
    case FindingKind::provisional: return "provisional";
    case FindingKind::reservation: return "reservation";
    case FindingKind::temporary: return "temporary";
    case FindingKind::stale_lock: return "stale-lock";
    case FindingKind::lock_mode: return "lock-mode";
    }
    return "unknown";
}

Findings check_volume(const Volume &volume, const kel::HeaderDirScan &scan, const SpaceModel &space,
                      const CheckLimits &limits) {
    Checker checker(volume, limits);
    checker.placement(space);
    for (const DetFile &file : scan.det_files) checker.file_state(file);
    for (const kel::TemporaryFile &file : scan.temporaries) checker.temporary(file);
    checker.lock(scan.lock);
    return checker.take();
}

}  // namespace kelvol
