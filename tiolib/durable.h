// What makes the engine's work survive a power cut: the syncs at its commit points. A
// ".det" file is committed by rewrite_det_atomic (det.cpp) or by syncing it and its
// directory here; a recording's bytes by syncing the members it was written to. A failed
// sync is reported once and remembered by the handle: Linux reports a failed writeback
// once and then forgets it, so a later sync that succeeds proves nothing.
#pragma once

#include "tio.h"

#include <string>

namespace tio {

// TioHandle.failed: what failed on the handle.
constexpr int32_t kWriteFailed = 1;
constexpr int32_t kSyncFailed = 2;

// The call that makes a member's written bytes durable; tests replace it to make it fail.
using SyncCall = int (*)(int fd);
extern SyncCall member_sync;

// fsync of the directory that holds path; false after a line naming it and why.
bool sync_directory_of(const std::string &path);

// fsync of the file at path (its content and size); false after a line naming it and why.
bool sync_file(const std::string &path);

// Write mode: makes durable every member written since the handle last synced them, all
// at once. False after one line naming the first member that failed (and counting the
// others); the handle then remembers the failure.
bool sync_written_members(TioHandle *handle);

// Whether an earlier failure of one of the kinds (kWriteFailed, kSyncFailed) happened on
// the handle; if so, prints one line saying that `what` cannot be committed.
bool handle_failed_before(const TioHandle *handle, int32_t kinds, const char *what);

}  // namespace tio
