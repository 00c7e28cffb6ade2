// The file-system operations of the view: a small table that answers FUSE requests from
// the volume view and refuses every change with EROFS.
#pragma once

#include "fuse_version.h"
#include "volume_view.h"

#include <fuse.h>

#include <mutex>
#include <string>

namespace kelfs {

// The largest read request: libfuse splices a reply through a pipe of this size, and a
// pipe larger than 1 MiB (fs.pipe-max-size) is refused to unprivileged processes, which
// would make it fall back to copying without a word.
constexpr unsigned kMaxReadBytes = 512 * 1024;

// What the operations share; fuse_new's user data.
struct Context {
    kel::VolumeView *view;
    fuse_conn_info_opts *connection_options;  // from the command line, applied last
    std::string read_ahead_setting;           // the mount's, set at the first open; "" none
    int read_ahead_kib = 0;
    std::once_flag read_ahead_set;
};

// The table; every operation returns 0 or -errno.
const fuse_operations &operations();

}  // namespace kelfs
