// What became of the data files' ".det" files in a header directory, from the kernel's
// notices (inotify). It tells a recording that may have grown from one that was replaced
// under the same name: the engine finalises a data file by renaming its own temporary
// ".NAME.det.PID.N.tmp" over "NAME.det" and grows it by a write into the file itself,
// either of which is growth when the earlier extents are still there; a removal, a rename
// away, a file created anew or another file renamed over it ends the recording.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

struct inotify_event;

namespace kel {

class HeaderDirWatch {
public:
    // Counts since the watch began; a count that moved tells that something happened.
    struct Counts {
        uint64_t replaced = 0;   // the data file's ".det" file replaced or removed
        uint64_t rewritten = 0;  // its own temporary renamed over it, or written in place
        uint64_t missed = 0;     // notices lost (for every name): what happened meanwhile is unknown
    };

    // Starts watching; throws SystemError when the kernel refuses.
    explicit HeaderDirWatch(std::string directory);
    ~HeaderDirWatch();
    HeaderDirWatch(const HeaderDirWatch &) = delete;
    HeaderDirWatch &operator=(const HeaderDirWatch &) = delete;

    // The counts of the data file `name` once every notice the kernel has given so far is
    // taken in. Safe to call from many threads at once.
    Counts counts(std::string_view name);

private:
    void take_notices();
    void take(const inotify_event &event);
    void watch_again();

    const std::string directory_;
    std::mutex mutex_;  // guards everything below
    int fd_ = -1;
    int watch_ = -1;    // -1 while the directory is not watched (it was removed or moved)
    uint64_t missed_ = 0;
    std::map<std::string, Counts, std::less<>> counts_;  // by data file name
    std::map<uint32_t, std::string> moved_from_;         // rename cookie -> the ".det" file a temporary was for
};

}  // namespace kel
