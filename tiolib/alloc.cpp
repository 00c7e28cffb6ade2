// Extent allocation: best-fit search for a gap among the extents that all ".det" files of
// the header directory record, and the reservation protocol around it (provisional entry,
// lock file, recording before release, repetition when the lock was lost).

#include "alloc_internal.h"
#include "closing.h"
#include "det_internal.h"
#include "durable.h"
#include "header_names.h"
#include "mark_internal.h"
#include "writer_mark.h"
#include "internal.h"
#include "layout.h"
#include "saturate.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace tio {

AttemptHook after_search_hook = nullptr;
AttemptHook before_release_hook = nullptr;
AttemptHook after_loss_hook = nullptr;

namespace {

constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
constexpr uint64_t kBackoffFloorMs = 10;
constexpr uint64_t kBackoffCapMs = 500;
// A reservation whose writer has gone is given up once nothing has written it for this
// long. Reservations live for the length of one update, far less than this, so the age
// keeps safe a writer that exists but cannot be seen: one in another pid namespace that
// shares the directory.
constexpr double kAbandonedAfterSeconds = 60;

// Checks what the search divides by and where it looks; prints why it cannot allocate.
bool allocation_props_ok(const FsProps *props) {
    if (!props) {
        report("Error! No configuration: call tio_set_config before allocating extents!");
    } else if (props->stripe_count < 1 || props->chunk_size < 1) {
        report("Error! Unusable volume geometry for allocation: stripe_count %d, chunk_size %d!",
               props->stripe_count, props->chunk_size);
    } else if (props->header_dir[0] == '\0') {
        report("Error! No header directory configured (VKPATH=)!");
    } else {
        return true;
    }
    return false;
}

// value raised to a multiple of unit, exactly; 0 for a value of 0 or less.
__int128 raised_to_unit(__int128 value, int64_t unit) {
    if (value <= 0) return 0;
    return unit <= 1 ? value : (value + unit - 1) / unit * unit;
}

// The provisional entry of a request (or a real extent too small to tell from one) ends
// at most one byte into the volume.
bool looks_provisional(FsProps *props, const DetEntry &entry) {
    return entry.offset <= 0 && static_cast<__int128>(entry.offset) + getRelativeSize(props, entry.length) <= 1;
}

// A reservation file of this engine's naming whose writer no longer exists and that has
// not been written for kAbandonedAfterSeconds. Reservations named otherwise (a plain
// number) cannot tell their writer and never count as abandoned.
bool is_abandoned_reservation(const std::string &path) {
    const size_t slash = path.rfind('/');
    const std::string_view name = std::string_view(path).substr(slash == std::string::npos ? 0 : slash + 1);
    const int64_t writer = reservation_writer_pid(name);
    if (writer < 0 || process_alive(writer)) return false;
    struct stat info;
    timespec now;
    if (lstat(path.c_str(), &info) != 0 || clock_gettime(CLOCK_REALTIME, &now) != 0) return false;
    const double age = double(now.tv_sec - info.st_mtim.tv_sec) + (now.tv_nsec - info.st_mtim.tv_nsec) / 1e9;
    return age > kAbandonedAfterSeconds;
}

// What a search does with an abandoned reservation besides leaving it out: only a search
// under the lock removes it.
enum class Abandoned { leave, remove };

// Why a search found no extent.
enum class NoExtent { too_large, no_gap, unlistable, out_of_memory };

struct Search {
    int64_t offset;    // -1: none, for the reason below
    NoExtent reason;
    int error;         // unlistable: errno of the listing
};

// determineOffset's search; a search under the lock passes Abandoned::remove.
Search search_offset(FsProps *props, int64_t size, Abandoned abandoned) {
    if (!fits_the_volume(props, size)) return {-1, NoExtent::too_large, 0};
    try {
        // One pass over the directory gathers what is there now; counting first and
        // reading after would race with files that appear or vanish in between.
        std::vector<DetEntry> entries;
        const bool listed = gather_dets(props->header_dir, entries, [abandoned](const std::string &path) {
            if (!is_abandoned_reservation(path)) return false;
            if (abandoned == Abandoned::remove) unlink(path.c_str());
            return true;
        });
        if (!listed) return {-1, NoExtent::unlistable, errno};  // never 0 over unseen data
        sort_det_entries(entries);
        return {choose_offset(props, entries, size), NoExtent::no_gap, 0};
    } catch (...) {
        return {-1, NoExtent::out_of_memory, 0};
    }
}

// The one line that says why no extent of size bytes was allocated for the ".det" file
// for_file.
void report_no_extent(FsProps *props, const Search &search, const char *for_file, int64_t size) {
    const long long bytes = size;
    switch (search.reason) {
    case NoExtent::too_large:
        report("Error! Cannot allocate %lld bytes for '%s': more than the volume can hold (%lld bytes per device)!",
               bytes, for_file, static_cast<long long>(getAdjustedSize(props, getDeviceSize(props))));
        break;
    case NoExtent::no_gap:
        report("Error! Cannot allocate %lld bytes for '%s': no free extent of %lld bytes per device is left on "
               "the volume!",
               bytes, for_file, static_cast<long long>(getRelativeSize(props, size)));
        break;
    case NoExtent::unlistable:
        report("Error! Cannot allocate %lld bytes for '%s': cannot list header directory %s: %s!", bytes, for_file,
               props->header_dir, strerror(search.error));
        break;
    case NoExtent::out_of_memory:
        report("Error! Cannot allocate %lld bytes for '%s': out of memory while searching the header directory!",
               bytes, for_file);
        break;
    }
}

std::string lock_file_path(const FsProps *props) {
    return std::string(props->header_dir) + "/" + std::string(kLockFileName);
}

int64_t provisional_offset(const FsProps *props, int64_t size) {
    return props->stripe_count < 1 ? -size : -(size / props->stripe_count);
}

bool write_record(FILE *file, int64_t offset, int64_t length, size_t bytes = kDetRecordSize) {
    unsigned char record[kDetRecordSize];
    encode_det_entry(offset, length, record);
    return fseek(file, 0, SEEK_SET) == 0 && fwrite(record, 1, bytes, file) == bytes;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Before repeating a lost allocation, wait a random time that grows with every loss and
// with the length of a search, so that processes that keep taking the lock from each other
// (each search longer than the 100 ms pause) fall out of step and one of them completes.
void back_off(int attempt, double search_seconds) {
    thread_local std::minstd_rand generator(static_cast<unsigned>(
        getpid() ^ std::chrono::steady_clock::now().time_since_epoch().count() ^
        reinterpret_cast<uintptr_t>(&generator)));
    const uint64_t base = std::max<uint64_t>(kBackoffFloorMs, static_cast<uint64_t>(search_seconds * 1000));
    const uint64_t ceiling = std::min<uint64_t>(kBackoffCapMs, base << std::min(attempt - 1, 16));
    msleep(std::uniform_int_distribution<uint64_t>(0, ceiling)(generator));
}

// Gives a recorded extent up: the provisional offset goes back over the entry's first 8
// bytes (its length is the size throughout), in one write. Callers cannot do more when it
// fails; a repeated attempt recreates the file anyway.
bool put_back_provisional(const char *path, int64_t provisional) {
    unsigned char record[kDetRecordSize];
    encode_det_entry(provisional, 0, record);
    Fd det(open(path, O_WRONLY | O_CLOEXEC));
    return det.get() >= 0 && pwrite(det.get(), record, 8, 0) == 8;
}

enum class Attempt { stands, lost, unreadable, failed };

struct AttemptResult {
    Attempt outcome;
    int64_t offset;
    double search_seconds;
};

// What an allocation does with its extent while it still holds the lock, before the extent
// is recorded in the allocation's own file: nothing for a new ".det" file; for an update,
// writing the extent into the data file's ".det" file. When the extent cannot be recorded
// or the lock turns out to have been lost, rollback undoes it.
struct Commit {
    std::function<bool(int64_t offset)> apply;  // false: give up the allocation
    std::function<void()> rollback;
};

// One pass of the protocol: provisional entry, lock, search, commit, record, release.
AttemptResult attempt_allocation(FsProps *props, const char *path, const char *for_file, int64_t size,
                                const std::string &lock_path, int attempt, const Commit &commit) {
    const AttemptResult failed{Attempt::failed, -1, 0};
    const int64_t provisional = provisional_offset(props, size);
    // In place before the lock is taken, so that a concurrent search counts this request;
    // whole and synced before it has its name, so that no power cut leaves it empty.
    const int created = create_det_file(path, {DetEntry{provisional, size}});
    File det(created >= 0 ? fdopen(created, "r+b") : nullptr);
    if (!det) {
        if (created >= 0) close(created);
        report("Error, cannot create '%s'. Do you have correct permissions on the directory?", path);
        return failed;
    }
    const int32_t pid = getpid();
    // getAllocation, taken apart: a lock not taken and a search without result end differently.
    if (createLock(pid, lock_path.c_str()) < 0) return failed;
    const auto search_start = std::chrono::steady_clock::now();
    const Search search = search_offset(props, size, Abandoned::remove);
    const int64_t offset = search.offset;
    if (after_search_hook) after_search_hook(attempt, lock_path.c_str());
    const double search_seconds = seconds_since(search_start);
    if (offset < 0) {
        removeLock(pid, offset, size, lock_path.c_str());
        report_no_extent(props, search, for_file, size);
        return failed;
    }
    if (commit.apply && !commit.apply(offset)) {
        removeLock(pid, offset, size, lock_path.c_str());
        return failed;
    }
    // Recorded before the release, so that the next holder's search sees the extent, and
    // as the last step before it: a writer killed after the record and before the release
    // of a lock taken over leaves the extent claimed twice, so that moment is kept short.
    // Only the entry's first 8 bytes (its offset) are written over the provisional entry,
    // whose length already is the size: the file keeps its 16 bytes throughout, so a search
    // in another process reading it meanwhile finds the provisional or the chosen offset,
    // never a file that is empty or torn (which it would count as holding no entries).
    const bool recorded = write_record(det.get(), offset, size, 8);
    const int error = errno;
    if (det.close() != 0 || !recorded) {
        put_back_provisional(path, provisional);
        if (commit.rollback) commit.rollback();
        removeLock(pid, offset, size, lock_path.c_str());
        report("Error! write('%s') failed: %s", path, strerror(error));
        return failed;
    }
    if (before_release_hook) before_release_hook(attempt, lock_path.c_str());
    const int64_t released = removeLock(pid, offset, size, lock_path.c_str());
    if (released == offset) return {Attempt::stands, offset, search_seconds};
    // The allocation did not stand, and the process that took the lock over may be given
    // this very extent. Every file that records it gives it up before anything else, so
    // that a writer killed from here on leaves only provisional entries behind.
    put_back_provisional(path, provisional);
    if (commit.rollback) commit.rollback();
    if (after_loss_hook) after_loss_hook(attempt, lock_path.c_str());
    return {released == -1 ? Attempt::unreadable : Attempt::lost, offset, search_seconds};
}

// The new extent of a data file's ".det" file, added in place while the lock is held: the
// last entry's length (a merge) or one more entry (an append), each in one write, so that a
// concurrent search reads the old entries or the new ones. Nothing of it is synced under
// the lock: a claim that the release finds lost is undone before any sync could carry it
// past a power cut (a rename would be carried by any other writer's directory sync), and
// the hold stays short. Once the allocation stands, the file is synced.
class DetAddition {
public:
    bool add(const char *path, const std::vector<DetEntry> &before, const std::vector<DetEntry> &after) {
        det_.reset(open(path, O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
        if (det_.get() < 0) return fail("open", path);
        entries_before_ = before.size();
        last_before_ = before.back();
        appended_ = after.size() > before.size();
        if (!write_entry(after.back())) return fail("write", path);
        added_ = true;
        return true;
    }

    void undo() {
        if (!added_) return;
        added_ = false;
        if (appended_) {
            if (ftruncate(det_.get(), static_cast<off_t>(entries_before_ * kDetRecordSize)) != 0) return;
        } else {
            write_entry(last_before_);
        }
    }

    bool make_durable(const char *path) { return fsync(det_.get()) == 0 || fail("fsync", path); }

private:
    // The appended entry whole, or the last entry's length only (its offset stays).
    bool write_entry(const DetEntry &entry) {
        unsigned char record[kDetRecordSize];
        encode_det_entry(entry.offset, entry.length, record);
        const size_t index = appended_ ? entries_before_ : entries_before_ - 1;
        const size_t skip = appended_ ? 0 : 8;
        const ssize_t length = static_cast<ssize_t>(kDetRecordSize - skip);
        return pwrite(det_.get(), record + skip, static_cast<size_t>(length),
                      static_cast<off_t>(index * kDetRecordSize + skip)) == length;
    }

    bool fail(const char *call, const char *path) {
        report("Error! %s('%s') failed while adding an extent: %s", call, path, strerror(errno));
        return false;
    }

    Fd det_;
    size_t entries_before_ = 0;
    DetEntry last_before_{};
    bool appended_ = false;
    bool added_ = false;
};

// Threads of one process write the same id into the lock file, so the lock cannot tell
// them apart; they take turns here instead.
std::mutex process_allocation_lock;

// The protocol with its bounded repetition, for the ".det" file at path; messages name
// for_file, the file the caller asked for (for an update, the data file's ".det" file).
int64_t allocate_extent(FsProps *props, const char *path, const char *for_file, int64_t size,
                        const Commit &commit) {
    const std::string lock_path = lock_file_path(props);
    std::lock_guard<std::mutex> one_thread_at_a_time(process_allocation_lock);
    AttemptResult last{Attempt::failed, -1, 0};
    for (int attempt = 1; attempt <= kMaxAllocationAttempts; ++attempt) {
        if (attempt > 1) back_off(attempt - 1, last.search_seconds);
        last = attempt_allocation(props, path, for_file, size, lock_path, attempt, commit);
        if (last.outcome == Attempt::stands) return last.offset;
        if (last.outcome == Attempt::failed) return -1;
    }
    if (last.outcome == Attempt::unreadable)
        report("Error! Cannot read back lock file: %s! No extent allocated for '%s' after %d attempts.",
               lock_path.c_str(), for_file, kMaxAllocationAttempts);
    else
        report("Error! Lock file %s was taken over by other processes %d times in a row! "
               "No extent allocated for '%s'.",
               lock_path.c_str(), kMaxAllocationAttempts, for_file);
    return -1;
}

// Adds the extent (offset, size) to the entries of a data file: merged into the last one
// when it continues it on every device, appended otherwise.
void add_extent(std::vector<DetEntry> &entries, int32_t stripe_count, int64_t offset, int64_t size) {
    DetEntry &last = entries.back();
    int64_t merged_length = 0;
    if (isDetContinuous(stripe_count, last.offset, last.length, offset) > 0 &&
        !__builtin_add_overflow(last.length, size, &merged_length))
        last.length = merged_length;
    else
        entries.push_back(DetEntry{offset, size});
}

std::atomic<uint32_t> reservation_counter{0};

}  // namespace

bool fits_the_volume(FsProps *props, int64_t size) {
    const int64_t need = getRelativeSize(props, size);
    return size >= 0 && need <= getAdjustedSize(props, getDeviceSize(props)) &&
           raised_to_unit(need, getStripeSize(props)) <= kInt64Max;
}

int64_t choose_offset(FsProps *props, const std::vector<DetEntry> &sorted, int64_t size) {
    if (!fits_the_volume(props, size)) return -1;
    // With the caller's own provisional entry alone (or nothing) the volume starts free.
    if (sorted.empty() || (sorted.size() == 1 && looks_provisional(props, sorted[0]))) return 0;

    // Walk upwards; the gap after an entry runs from the furthest reserved end of all
    // entries sorted at or before it to the next entry's offset (capped at the end of the
    // volume). The smallest gap that holds the need wins, among equal gaps the highest. The
    // arithmetic is exact: recorded values near the limits of 64 bits neither wrap nor
    // saturate into an unaligned or overlapping start.
    const int64_t limit = getAdjustedSize(props, getDeviceSize(props));
    const StripeLayout layout = layout_of(*props);
    const int64_t need = getRelativeSize(props, size);
    const __int128 reserved_need = raised_to_unit(need, getStripeSize(props));
    __int128 best = std::numeric_limits<__int128>::max();
    int64_t result = -1;
    __int128 furthest = 0;
    for (size_t i = 0; i < sorted.size(); ++i) {
        furthest = std::max(furthest, reserved_end(layout, sorted[i].offset, sorted[i].length));
        const int64_t next = i + 1 < sorted.size() ? std::min(sorted[i + 1].offset, limit) : limit;
        const __int128 gap = next - furthest;
        // The extent's own reserved end must be representable too.
        if (gap >= need && gap <= best && furthest + reserved_need <= kInt64Max) {
            best = gap;
            result = static_cast<int64_t>(furthest);  // <= next <= limit
        }
    }
    return result;
}

int64_t largest_grantable_request(FsProps *props) {
    if (!allocation_props_ok(props)) return -1;
    std::vector<DetEntry> found;
    if (!gather_dets(props->header_dir, found)) return -1;
    sort_det_entries(found);
    // What determineOffset would sort for a request of size: the directory plus the
    // request's own provisional entry, which sorts first among equal offsets.
    std::vector<DetEntry> entries;
    auto granted = [&](int64_t size) {
        const DetEntry own{provisional_offset(props, size), size};
        entries = found;
        const auto at = std::lower_bound(entries.begin(), entries.end(), own,
                                         [](const DetEntry &a, const DetEntry &b) { return a.offset < b.offset; });
        entries.insert(at, own);
        return choose_offset(props, entries, size) >= 0;
    };
    // The provisional entry ends at 0 for a multiple of stripe_count and one chunk in for any
    // other size, so the two kinds of request see different gaps at the start of the volume.
    // Within one kind a request is granted when its per-device need fits some gap, so the
    // largest granted need of each kind is found by bisection.
    const int64_t stripes = props->stripe_count;
    const int64_t limit = getAdjustedSize(props, getDeviceSize(props));
    auto largest_of_kind = [&](int64_t lowest_need, int64_t size_less) -> int64_t {
        auto size_of = [&](int64_t need) { return need * stripes - size_less; };
        if (lowest_need > limit || !granted(size_of(lowest_need))) return -1;
        int64_t low = lowest_need, high = limit;  // granted(low); the answer lies in [low, high]
        while (low < high) {
            const int64_t middle = low + (high - low + 1) / 2;
            if (granted(size_of(middle))) low = middle;
            else high = middle - 1;
        }
        return size_of(low);
    };
    const int64_t multiple = largest_of_kind(0, 0);
    const int64_t other = stripes > 1 ? largest_of_kind(1, 1) : -1;
    return std::max(multiple, other);
}

std::string reservation_path(const char *directory) {
    return std::string(directory) + "/" + reservation_name(getpid(), time(nullptr), reservation_counter.fetch_add(1));
}

}  // namespace tio

extern "C" {

TIO_API int64_t stripeAlign(int64_t value, int64_t unit) {
    if (unit <= 0) return value;
    const __int128 raised = (static_cast<__int128>(value) + unit - 1) / unit * unit;
    return tio::saturate<int64_t>(raised);
}

TIO_API int64_t isDetContinuous(int32_t stripe_count, int64_t last_offset, int64_t last_length,
                        int64_t new_offset) {
    if (stripe_count < 1) return -1;
    const int64_t share = last_length / stripe_count;
    const __int128 share_up = (static_cast<__int128>(last_length) + stripe_count - 1) / stripe_count;
    if (share != share_up) return -1;
    const __int128 end = static_cast<__int128>(last_offset) + share;
    return end == new_offset ? new_offset : -1;
}

TIO_API int32_t getRandom(void) {
    srand(static_cast<unsigned>(time(nullptr)));
    return rand();
}

TIO_API int64_t determineOffset(FsProps *props, int64_t size) {
    if (!tio::allocation_props_ok(props) || size < 0) return -1;
    return tio::search_offset(props, size, tio::Abandoned::leave).offset;
}

TIO_API int64_t getAllocation(FsProps *props, int32_t pid, int64_t size, const char *lock_path) {
    if (createLock(pid, lock_path) < 0) return -1;
    if (!tio::allocation_props_ok(props) || size < 0) return -1;  // the lock is still held
    return tio::search_offset(props, size, tio::Abandoned::remove).offset;
}

TIO_API int64_t writeDetLock(FsProps *props, const char *path, int64_t size) {
    if (!path || size < 0 || !tio::allocation_props_ok(props)) return -1;
    try {
        const int64_t offset = tio::allocate_extent(props, path, path, size, tio::Commit{});
        if (offset < 0) return -1;
        // The extent is the data file's only once its ".det" file and the entries of the
        // file and its mark are durable: data written there before could be lost to a power
        // cut along with the claim, and another writer given the same bytes.
        if (!tio::sync_file(path) || !tio::sync_directory_of(path)) {
            tio::put_back_provisional(path, tio::provisional_offset(props, size));
            return -1;
        }
        return offset;
    } catch (...) {
        return -1;
    }
}

TIO_API int64_t updateDet(FsProps *props, const char *path, int64_t size) {
    if (!path || size < 0 || !tio::allocation_props_ok(props)) return -1;
    try {
        // The new extent is allocated through a reservation file, which records it until
        // the reservation is removed. The data file's ".det" file gains it while the lock
        // is still held: a search that read the data file before and looks for the
        // reservation file after its removal would miss the extent, and such a search can
        // only belong to a process whose hold overlapped ours, which the release catches.
        const std::string reservation = tio::reservation_path(props->header_dir);
        tio::DetAddition addition;
        tio::Commit commit;
        commit.apply = [&](int64_t offset) {
            std::vector<DetEntry> entries;
            std::string why;
            if (tio::read_det_file(path, entries, &why) != tio::DetReadStatus::ok) {
                tio::report("Error! Cannot add an extent to '%s': %s!", path, why.c_str());
                return false;
            }
            const std::vector<DetEntry> before = entries;
            tio::add_extent(entries, props->stripe_count, offset, size);
            return addition.add(path, before, entries);
        };
        commit.rollback = [&] { addition.undo(); };
        const int64_t offset = tio::allocate_extent(props, reservation.c_str(), path, size, commit);
        if (offset < 0 || !addition.make_durable(path)) {
            if (offset >= 0) addition.undo();
            unlink(reservation.c_str());  // gives up the extent, if one was recorded
            return -1;
        }
        if (unlink(reservation.c_str()) != 0) {
            tio::report("Error! unlink('%s') failed: %s; '%s' holds the extent already", reservation.c_str(),
                        strerror(errno), path);
            return -1;
        }
        return offset;
    } catch (...) {
        return -1;
    }
}

// A handle's recordings carry a writer mark from their first extent until their
// finalisation commits. It is written before the allocation, whose directory sync makes
// its entry durable along with the ".det" file's.
TIO_API int64_t tio_write_det(TioHandle *handle, const char *path, int64_t size) {
    const tio::HandleCall call(handle);
    if (!call) return -1;
    if (!path || size < 0 || !tio::allocation_props_ok(handle->props)) return -1;
    if (!tio::set_writer_mark(path)) return -1;
    const int64_t offset = writeDetLock(handle->props, path, size);
    if (offset < 0) {
        unlink(tio::writer_mark_path(path).c_str());  // nothing is being recorded
        return -1;
    }
    tio::note_handle_mark(handle, path);
    return offset;
}

TIO_API int64_t tio_update_det(TioHandle *handle, const char *path, int64_t size) {
    const tio::HandleCall call(handle);
    if (!call) return -1;
    if (!path || size < 0 || !tio::allocation_props_ok(handle->props)) return -1;
    bool marked_now = false;
    if (!tio::keep_writer_mark(path, &marked_now)) return -1;
    const int64_t offset = updateDet(handle->props, path, size);
    if (offset < 0) {
        if (marked_now) unlink(tio::writer_mark_path(path).c_str());
        return -1;
    }
    tio::note_handle_mark(handle, path);
    return offset;
}

}  // extern "C"
