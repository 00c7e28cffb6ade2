// The file-system operations of the view: a small table of libfuse's low-level requests,
// answered from the volume view by the numbers it gives its files; every change is refused
// with EROFS.
#pragma once

#include "fuse_version.h"
#include "volume_view.h"

#include <fuse_lowlevel.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace kelfs {

// The largest read request: libfuse splices a reply through a pipe of this size, and a
// pipe larger than 1 MiB (fs.pipe-max-size) is refused to unprivileged processes, which
// would make it fall back to copying without a word.
constexpr unsigned kMaxReadBytes = 512 * 1024;

// How long the kernel may keep what it was told, in seconds.
struct CacheTimes {
    double attributes = 0;
    double entries = 0;
    double missing_entries = 0;
};

// An open file or directory, as the kernel holds it.
struct Handle {
    virtual ~Handle() = default;
};

// The handles the kernel holds, each until its release; those it never released (the
// session ended first) are freed with the table. Safe to use from many threads at once:
// a request that found a handle keeps it while the kernel releases it.
class HandleTable {
public:
    // The handle's number for the kernel.
    uint64_t add(std::shared_ptr<Handle> handle);
    // The handle of that number; null for none.
    std::shared_ptr<Handle> find(uint64_t number);
    void remove(uint64_t number);

private:
    std::mutex mutex_;
    std::unordered_map<uint64_t, std::shared_ptr<Handle>> handles_;
};

// What the operations share; the session's user data.
struct Context {
    kel::VolumeView *view = nullptr;
    fuse_conn_info_opts *connection_options = nullptr;  // from the command line, applied last
    unsigned max_read = kMaxReadBytes;                  // the mount's; init must say the same
    CacheTimes cache_times{};
    std::string read_ahead_setting{};                   // the mount's, set at the first open; "" none
    int read_ahead_kib = 0;
    std::once_flag read_ahead_set{};
    // Called once, by the first request on the root directory that is answered, before
    // its reply is sent.
    std::function<void()> root_answered;
    std::once_flag root_answered_once{};
    HandleTable handles{};
};

// The table; every request is answered with a reply or an errno.
const fuse_lowlevel_ops &operations();

}  // namespace kelfs
