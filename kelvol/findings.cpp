#include "findings.h"

#include "file_identity.h"
#include "header_names.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

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

std::string writer_text(int64_t pid) {
    return pid > 0 ? "writer " + std::to_string(pid) : "an unknown writer";
}

class Checker {
public:
    Checker(const Volume &volume, const CheckLimits &limits) : volume_(volume), limits_(limits) {}

    // Every member must be there, readable, one file of its own, and hold what the device
    // table places on it.
    void members() {
        std::vector<MemberFile> files;
        for (const DmDevice &device : volume_.props.devices) files.push_back(inspect_member(device.path));
        for (size_t i = 0; i < files.size(); ++i) {
            const std::string problem = member_problem(i, files);
            if (!problem.empty()) add(true, finding(FindingKind::member, volume_.props.devices[i].path, problem));
        }
    }

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
        case DetState::ok: return;
        case DetState::recording:
            add(false, finding(FindingKind::recording, file.path, "being recorded by " + writer_text(file.writer_pid)));
            return;
        case DetState::interrupted:
            // Its recorded lengths may count reserved bytes that were never written; the bytes
            // up to the cut are the user's, so repair leaves it.
            add(true, finding(FindingKind::interrupted, file.path,
                       "the recording by " + writer_text(file.writer_pid) +
                           " ended before it was finalised: its size of " + std::to_string(file.size) +
                           " bytes may count bytes that were never written"));
            return;
        case DetState::torn:
            add(true, finding(FindingKind::torn, file.path,
                       !file.error.empty() ? file.error
                                           : "size " + std::to_string(file.file_bytes) +
                                                 " bytes is not a multiple of 16"));
            return;
        case DetState::unreadable: add(true, finding(FindingKind::unreadable, file.path, file.error)); return;
        case DetState::provisional: {
            // A live writer's allocation is in progress however long it takes.
            const bool stale = age > limits_.stale_after_seconds && !file.writer_live;
            // A data file with real extents besides is not an abandoned allocation.
            const bool removable = stale && only_provisional_entries(file);
            add(stale, finding(FindingKind::provisional, file.path,
                        "allocation of " + std::to_string(file.size) + " bytes not completed, " + age_text(age) +
                            (file.writer_live ? ", " + writer_text(file.writer_pid) + " alive" : "") +
                            (stale && !removable ? "; it also records real extents" : ""),
                        removable ? file.path : ""));
            return;
        }
        case DetState::reservation: {
            const bool writer_known = file.writer_pid > 0;
            const bool writer_alive = writer_known && tio::process_alive(file.writer_pid);
            const bool stale = !writer_alive &&
                               (age > limits_.stale_after_seconds ||
                                (writer_known && age > limits_.dead_writer_grace_seconds));
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

    void orphan_mark(const kel::OrphanMark &mark) {
        const std::string what = "writer mark of " + mark.det_name + ", which does not exist, by " +
                                 writer_text(mark.pid);
        if (mark.writer_live) add(false, finding(FindingKind::orphan_mark, mark.path, what + ", still recording"));
        else add(true, finding(FindingKind::orphan_mark, mark.path, what + ", gone", mark.path));
    }

    void alias(const Alias &alias) {
        add(true, finding(FindingKind::alias, alias.path,
                   "another name of " + alias.of_path + ": the same data file, counted once"));
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
    // What is wrong with member i; "" when nothing is.
    std::string member_problem(size_t i, const std::vector<MemberFile> &files) const {
        const DmDevice &device = volume_.props.devices[i];
        const MemberFile &file = files[i];
        const std::string member = "member " + std::to_string(i);
        if (file.open_error == ENOENT) return member + " is missing";
        if (file.open_error != 0) return member + " cannot be opened: " + std::strerror(file.open_error);
        if (!file.usable_type) return member + " is not a block device or regular file";
        const __int128 needed = static_cast<__int128>(device.offset) + volume_.member_size();
        if (file.bytes >= 0 && file.bytes < needed)
            return member + " holds " + std::to_string(file.bytes) + " bytes, the device table needs " +
                   std::to_string(static_cast<int64_t>(needed)) + " (from offset " + std::to_string(device.offset) +
                   ")";
        for (size_t j = 0; j < i; ++j)
            if (files[j].open_error == 0 && files[j].usable_type && files[j].identity == file.identity)
                return member + " is the same file as " + std::string(volume_.props.devices[j].path) + " (member " +
                       std::to_string(j) + ")";
        return "";
    }

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
    case FindingKind::member: return "member";
    case FindingKind::overlap: return "overlap";
    case FindingKind::beyond_end: return "beyond-end";
    case FindingKind::misaligned: return "misaligned";
    case FindingKind::torn: return "torn";
    case FindingKind::unreadable: return "unreadable";
    case FindingKind::alias: return "alias";
    case FindingKind::interrupted: return "interrupted";
    case FindingKind::provisional: return "provisional";
    case FindingKind::reservation: return "reservation";
    case FindingKind::temporary: return "temporary";
    case FindingKind::orphan_mark: return "orphan-mark";
    case FindingKind::stale_lock: return "stale-lock";
    case FindingKind::lock_mode: return "lock-mode";
    case FindingKind::recording: return "recording";
    }
    return "unknown";
}

Findings check_volume(const Volume &volume, const VolumeScan &scan, const SpaceModel &space,
                      const CheckLimits &limits) {
    Checker checker(volume, limits);
    checker.members();
    checker.placement(space);
    for (const DetFile &file : scan.det_files) checker.file_state(file);
    for (const Alias &alias : scan.aliases) checker.alias(alias);
    for (const kel::TemporaryFile &file : scan.temporaries) checker.temporary(file);
    for (const kel::OrphanMark &mark : scan.orphan_marks) checker.orphan_mark(mark);
    checker.lock(scan.lock);
    return checker.take();
}

}  // namespace kelvol
