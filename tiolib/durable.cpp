// Syncs at the engine's commit points: members, ".det" files and their directories.
#include "durable.h"

#include "closing.h"
#include "internal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tio {

SyncCall member_sync = ::fdatasync;

namespace {

std::string directory_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// fsync of whatever path names (a file or a directory), opened read-only; the failing call
// and errno in *failed_call and the result.
int fsync_path(const std::string &path, const char **failed_call) {
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) {
        *failed_call = "open";
        return errno;
    }
    if (fsync(fd.get()) != 0) {
        *failed_call = "fsync";
        return errno;
    }
    return 0;
}

struct MemberSync {
    const TioDevice *device;
    int error;
};

// EINVAL: a member that cannot be synced at all (a character device such as /dev/full)
// keeps nothing that a sync could make durable.
void sync_member(MemberSync &sync) {
    sync.error = member_sync(fileno(sync.device->file)) == 0 || errno == EINVAL ? 0 : errno;
}

// Every member at once: the syncs of members on different disks overlap. Where a thread
// cannot be started its member is synced by the caller's thread.
void sync_all(std::vector<MemberSync> &syncs) {
    std::vector<std::thread> threads;
    for (size_t i = 1; i < syncs.size(); ++i) {
        try {
            threads.emplace_back(sync_member, std::ref(syncs[i]));
        } catch (const std::system_error &) {
            sync_member(syncs[i]);
        }
    }
    if (!syncs.empty()) sync_member(syncs[0]);
    for (std::thread &thread : threads) thread.join();
}

}  // namespace

bool sync_directory_of(const std::string &path) {
    const std::string directory = directory_of(path);
    const char *failed_call = nullptr;
    const int error = fsync_path(directory, &failed_call);
    if (error == 0) return true;
    report("Error! %s('%s') failed while committing '%s': %s", failed_call, directory.c_str(), path.c_str(),
           strerror(error));
    return false;
}

bool sync_file(const std::string &path) {
    const char *failed_call = nullptr;
    const int error = fsync_path(path, &failed_call);
    if (error == 0) return true;
    report("Error! %s('%s') failed: %s", failed_call, path.c_str(), strerror(error));
    return false;
}

bool sync_written_members(TioHandle *handle) {
    if (direction_of(*handle) != Direction::kWrite || handle->workers == nullptr || !handle->unsynced) return true;
    std::vector<MemberSync> syncs;
    for (int32_t w = 0; w < handle->worker_count; ++w) {
        const TioWorker &worker = handle->workers[w];
        for (int32_t d = 0; d < worker.devices_ready; ++d)
            if (worker.devices[d].file) syncs.push_back({&worker.devices[d], 0});
    }
    sync_all(syncs);
    handle->unsynced = 0;
    const MemberSync *first = nullptr;
    int failures = 0;
    for (const MemberSync &sync : syncs) {
        if (sync.error == 0) continue;
        if (!first) first = &sync;
        ++failures;
    }
    if (!first) return true;
    handle->failed |= kSyncFailed;
    const std::string others = failures > 1 ? " (and " + std::to_string(failures - 1) + " more failed syncs)" : "";
    report("Error! Could not sync device file %s: %s%s", first->device->path ? first->device->path : "?",
           strerror(first->error), others.c_str());
    return false;
}

bool handle_failed_before(const TioHandle *handle, int32_t kinds, const char *what) {
    if ((handle->failed & kinds) == 0) return false;
    report("Error! A %s of this handle failed earlier: %s cannot be committed",
           handle->failed & kSyncFailed ? "sync" : "device write", what);
    return true;
}

}  // namespace tio
