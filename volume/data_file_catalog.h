// The data files of a header directory that readers may open: every ".det" file that
// holds recorded data, under its data file's name. The listing is made again when it has
// grown older than a given age, so that new recordings appear and growing ones show their
// new size. A recording found under a name stays that recording: it follows its growth,
// and is given up once it is removed or replaced.
#pragma once

#include "data_file_reader.h"
#include "header_dir.h"
#include "header_dir_watch.h"

#include <chrono>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace kel {

struct DataFile {
    std::string name;  // the ".det" file's name without ".det"
    timespec mtime{};  // the ".det" file's modification time
    DataFileExtents extents;
    // The ".det" file it was read from.
    dev_t det_device = 0;
    ino_t det_inode = 0;
    int64_t det_bytes = 0;

    // Whether `later` is this recording grown or finalised: every extent but the last as
    // it was, the last where it was (its length may have changed), maybe more after it.
    bool continued_by(const DataFile &later) const;
};

struct DataFileListing {
    std::map<std::string, std::shared_ptr<const DataFile>, std::less<>> files;
    timespec directory_mtime{};  // the header directory's
};

// Whether a data file's name can be a file's name in a directory: "." and ".." cannot.
bool showable_name(std::string_view name);

// One listing of the header directory's data files. Throws SystemError when the directory
// cannot be listed.
std::shared_ptr<const DataFileListing> list_data_files(const std::string &header_dir);

// One recording of a data file, as it was when it was found: followed while it grows and
// is finalised, given up for good once it is removed or replaced. Safe to use from many
// threads at once.
class Recording {
public:
    Recording(const Recording &) = delete;
    Recording &operator=(const Recording &) = delete;

    // The recording as it stands now (as found, or grown or finalised since), or null once
    // it was removed or replaced, and from then on. The engine grows a recording by
    // renaming a new ".det" file over the old one; the header directory's notices tell
    // that from a replacement (see header_dir_watch.h). When notices were lost, a ".det"
    // file that changed at all counts as replaced.
    std::shared_ptr<const DataFile> current();
    // The recording as current() last saw it, without looking again; null once given up.
    std::shared_ptr<const DataFile> last_seen();

private:
    friend class DataFileCatalog;
    Recording(HeaderDirWatch &watch, std::string det_path, std::shared_ptr<const DataFile> file,
              HeaderDirWatch::Counts seen);
    std::shared_ptr<const DataFile> given_up();

    HeaderDirWatch &watch_;
    const std::string det_path_;
    const std::string name_;
    std::mutex mutex_;  // guards the two fields below
    std::shared_ptr<const DataFile> file_;  // null once given up
    HeaderDirWatch::Counts seen_;           // the watch's counts when file_ was read
};

// Safe to use from many threads at once.
class DataFileCatalog {
public:
    // Lists the directory once and watches it; throws SystemError when it cannot.
    DataFileCatalog(std::string header_dir, std::chrono::milliseconds max_age);

    // The listing, made again first when it is older than max_age. When that fails (the
    // directory removed or unreadable for a moment) the previous listing stays, and the
    // next call after max_age tries again.
    std::shared_ptr<const DataFileListing> listing();
    // The data file of that name in the listing, or null.
    std::shared_ptr<const DataFile> find(std::string_view name);
    // The recording that the data file of that name holds now (its ".det" file read
    // afresh); null when there is none.
    std::shared_ptr<Recording> recording(std::string_view name);

private:
    using Clock = std::chrono::steady_clock;

    std::shared_ptr<const DataFileListing> current(Clock::time_point &listed_at);

    const std::string header_dir_;
    const std::chrono::milliseconds max_age_;
    std::mutex relisting_;  // one thread lists while the others wait for its result
    std::mutex mutex_;      // guards the two fields below
    std::shared_ptr<const DataFileListing> listing_;
    Clock::time_point listed_at_;
    HeaderDirWatch watch_;  // made after the first listing, so that a missing directory says opendir
};

}  // namespace kel
