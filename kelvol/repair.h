// What repair clears: only what check calls stale, under the lock file by the writers'
// own protocol.
#pragma once

#include "findings.h"

#include <cstdio>
#include <string>
#include <vector>

namespace kelvol {

struct RepairPlan {
    std::vector<Finding> actions;    // stale leftovers to clear
    std::vector<Finding> remaining;  // problems repair does not touch, or that it leaves behind
    bool takes_lock = false;
};

// The plan for these findings. An overlap with a leftover that is removed goes with it;
// taking the lock also gives others read and write permission on it again.
RepairPlan plan_repair(const Findings &findings);

// The line of an action, the same whether it is done or only shown; printable.
std::string action_line(const Finding &finding);

struct RepairOptions {
    CheckLimits limits;
    bool dry_run = false;
};

// Prints one line per action on out (and the problems left), does them unless dry_run,
// and returns the exit status: 0 when nothing is left, 1 otherwise. Throws Failure.
int repair_volume(const Volume &volume, const RepairOptions &options, FILE *out);

}  // namespace kelvol
