#include "repair.h"

#include "failure.h"
#include "header_names.h"
#include "output_file.h"
#include "printers.h"
#include "writer_mark.h"

#include <algorithm>
#include <cerrno>
#include <set>
#include <string_view>
#include <unistd.h>

namespace kelvol {
namespace {

Findings findings_now(const Volume &volume, const VolumeScan &scan, const CheckLimits &limits) {
    return check_volume(volume, scan, space_of(volume, scan), limits);
}

std::set<std::string> removable_paths(const RepairPlan &plan) {
    std::set<std::string> paths;
    for (const Finding &action : plan.actions)
        if (!action.removable_path.empty()) paths.insert(action.removable_path);
    return paths;
}

void remove_file(const std::string &path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw Failure(path, system_reason("unlink", errno));
}

// Removes a leftover, and the writer mark of a ".det" file with it (its writer is gone, or
// the file would not be a leftover); one that is gone already is cleared too.
void remove_leftover(const std::string &path) {
    remove_file(path);
    const size_t slash = path.rfind('/');
    if (tio::is_det_name(std::string_view(path).substr(slash == std::string::npos ? 0 : slash + 1)))
        remove_file(tio::writer_mark_path(path));
}

}  // namespace

RepairPlan plan_repair(const Findings &findings) {
    RepairPlan plan;
    for (const Finding &problem : findings.problems)
        if (!problem.removable_path.empty() || problem.cleared_by_taking_lock) plan.actions.push_back(problem);
    plan.takes_lock = !plan.actions.empty();
    const std::set<std::string> removed = removable_paths(plan);
    for (const Finding &problem : findings.problems) {
        if (!problem.removable_path.empty() || problem.cleared_by_taking_lock) continue;
        if (problem.kind == FindingKind::overlap && (removed.count(problem.path) || removed.count(problem.other_path)))
            continue;
        if (problem.kind == FindingKind::lock_mode && plan.takes_lock) {
            plan.actions.push_back(problem);
            continue;
        }
        plan.remaining.push_back(problem);
    }
    return plan;
}

std::string action_line(const Finding &finding) {
    if (finding.kind == FindingKind::stale_lock) return printable("free-lock " + finding.path + " " + finding.detail);
    if (finding.kind == FindingKind::lock_mode)
        return printable("chmod " + finding.path + " o+rw (taking the lock gives it), was " + finding.detail);
    return printable("remove " + finding.path + " " + kind_name(finding.kind) + ": " + finding.detail);
}

int repair_volume(const Volume &volume, const RepairOptions &options, FILE *out) {
    const RepairPlan plan = plan_repair(findings_now(volume, scan_volume(volume), options.limits));
    if (!options.dry_run && plan.takes_lock) {
        const std::string lock_path = volume.props.header_dir + "/" + std::string(tio::kLockFileName);
        const int32_t pid = static_cast<int32_t>(::getpid());
        take_engine_messages();
        if (createLock(pid, lock_path.c_str()) < 0)
            throw Failure(lock_path, with_engine_messages("cannot take the lock"));
        // Under the lock, only what is still stale goes: a writer may have finished meanwhile.
        const std::set<std::string> still_stale =
            removable_paths(plan_repair(findings_now(volume, scan_volume(volume), options.limits)));
        try {
            bool removed = false;
            for (const Finding &action : plan.actions) {
                if (!action.removable_path.empty()) {
                    if (!still_stale.count(action.removable_path)) continue;
                    remove_leftover(action.removable_path);
                    removed = true;
                }
                std::fprintf(out, "%s\n", action_line(action).c_str());
            }
            // The removals survive a crash: a writer that allocates in the space they free
            // must never find them undone.
            if (removed) sync_directory(volume.props.header_dir);
        } catch (...) {
            removeLock(pid, 0, 2, lock_path.c_str());
            throw;
        }
        // 0 when the lock still held our pid; another holder took it in between (which
        // costs it one repetition of its allocation) and keeps it.
        const int64_t released = removeLock(pid, 0, 2, lock_path.c_str());
        if (released == -1) throw Failure(lock_path, with_engine_messages("cannot read the lock back to release it"));
        if (released != 0)
            throw Failure(lock_path, "the lock was taken over by another process during the repair; only stale "
                                     "leftovers were removed: run repair again");
    } else {
        for (const Finding &action : plan.actions) std::fprintf(out, "%s\n", action_line(action).c_str());
    }
    for (const Finding &problem : plan.remaining) std::fprintf(out, "%s\n", finding_line(problem).c_str());
    if (plan.remaining.empty()) return 0;
    std::fflush(out);
    throw Failure(volume.props.header_dir,
                       std::to_string(plan.remaining.size()) + " problem(s) left that repair does not touch");
}

}  // namespace kelvol
