// The data files of a header directory that readers may open: every ".det" file in state
// ok, under its data file's name. The listing is made again when it has grown older than
// a given age, so that new recordings appear and growing ones show their new size.
#pragma once

#include "data_file_reader.h"

#include <chrono>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace kel {

struct DataFile {
    std::string name;  // the ".det" file's name without ".det"
    timespec mtime{};  // the ".det" file's modification time
    DataFileExtents extents;

    // Whether `later` is this recording as it stands now (grown or finalised since): its
    // first extent lies where this one's does. A data file removed and recorded again
    // under the same name is another recording.
    bool same_recording(const DataFile &later) const;
};

struct DataFileListing {
    std::map<std::string, std::shared_ptr<const DataFile>, std::less<>> files;
    timespec directory_mtime{};  // the header directory's
};

// Whether a data file's name can be a file's name in a directory: "." and ".." cannot.
bool showable_name(std::string_view name);

// One listing of the header directory's data files in state ok. Throws SystemError when
// the directory cannot be listed.
std::shared_ptr<const DataFileListing> list_data_files(const std::string &header_dir);

// Safe to use from many threads at once.
class DataFileCatalog {
public:
    // Lists the directory once; throws SystemError when it cannot be listed.
    DataFileCatalog(std::string header_dir, std::chrono::milliseconds max_age);

    // The listing, made again first when it is older than max_age. When that fails (the
    // directory removed or unreadable for a moment) the previous listing stays, and the
    // next call after max_age tries again.
    std::shared_ptr<const DataFileListing> listing();
    // The data file of that name in the listing, or null.
    std::shared_ptr<const DataFile> find(std::string_view name);

private:
    using Clock = std::chrono::steady_clock;

    std::shared_ptr<const DataFileListing> current(Clock::time_point &listed_at);

    const std::string header_dir_;
    const std::chrono::milliseconds max_age_;
    std::mutex relisting_;  // one thread lists while the others wait for its result
    std::mutex mutex_;      // guards the two fields below
    std::shared_ptr<const DataFileListing> listing_;
    Clock::time_point listed_at_;
};

}  // namespace kel
