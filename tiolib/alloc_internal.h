// Internals of the extent allocation shared by alloc.cpp and its tests; not exported.
#pragma once

#include "tio.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tio {

// Allocation attempts of one writeDetLock call; each further attempt follows a lost or
// unreadable lock at release.
constexpr int kMaxAllocationAttempts = 16;

// Whether a request of size bytes could ever be placed: not negative, its per-device need
// within the volume, and that need raised to chunk_size representable in 64 bits.
bool fits_the_volume(FsProps *props, int64_t size);

// Chooses the start of the extent for a request of size bytes among entries already sorted
// by sort_det_entries: best fit, aligned to chunk_size, never inside a recorded extent and
// never past the end of the volume. -1 when nothing fits.
int64_t choose_offset(FsProps *props, const std::vector<DetEntry> &sorted, int64_t size);

// The largest size that tio_write_det would be granted now, by the search above over the
// header directory's ".det" files as they are plus the caller's own provisional entry for
// that size: a request of exactly this size is granted, one byte more is refused. -1 when
// no request is granted (not even 0), the directory cannot be listed or the record is
// unusable (message). Reads only; takes no lock.
int64_t largest_grantable_request(FsProps *props);

// Path of a new temporary reservation file in directory: "r_", a decimal number, ".det".
// The number joins the process id, the time and a per-process counter, so names differ
// between processes and threads that reserve at the same moment.
std::string reservation_path(const char *directory);

// Test seams: when set, called during every allocation attempt with the attempt number
// (from 1) and the lock-file path: after the search, while the lock is held (a hook that
// sleeps there stands for a slow search); after the extent is recorded and before the
// lock is released; and when the release found the lock lost, once the extent has been
// given up again and before the attempt is repeated.
using AttemptHook = void (*)(int attempt, const char *lock_path);
extern AttemptHook after_search_hook;
extern AttemptHook before_release_hook;
extern AttemptHook after_loss_hook;

}  // namespace tio
