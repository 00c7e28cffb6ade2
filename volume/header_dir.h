// The header directory of a volume as the tools see it: every ".det" file with its state,
// the temporary files of interrupted rewrites, and the lock file. Read-only: nothing here
// changes the directory.
#pragma once

#include "tio.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kel {

// What a ".det" file is, in the order the checks are made:
//   reservation  an "r_" file: an extent being added to a data file (or left behind);
//   unreadable   it cannot be opened or read whole;
//   torn         its size is not a multiple of 16 (a write cut short), or an entry has a
//                negative length (error says which);
//   provisional  an entry has a negative offset: an allocation in progress, or abandoned;
//   ok           a data file whose every extent was allocated (an empty file is ok, size 0);
//   recording    as ok, and its writer mark names a writer that is still recording;
//   interrupted  as ok, and its writer mark names a writer that ended before finalising
//                (killed, crashed, cut off by a power failure, or closed without finalising):
//                its recorded lengths may count reserved bytes that were never written.
enum class DetState { ok, provisional, reservation, torn, unreadable, recording, interrupted };

// "ok", "provisional", "reservation", "torn", "unreadable", "recording", "interrupted".
const char *state_name(DetState state);

// ok, recording and interrupted: a data file whose extents are all allocated, so that its
// bytes can be read (up to where an interrupted recording was cut off).
bool holds_recorded_data(DetState state);

struct DetFile {
    std::string name;                 // the data file's name: the file's name without ".det"
    std::string path;                 // the ".det" file
    DetState state = DetState::unreadable;
    std::vector<DetEntry> entries;    // the whole records it holds (none when unreadable)
    int64_t size = 0;                 // sum of the recorded lengths, saturated to int64
    int64_t file_bytes = 0;           // size of the ".det" file itself
    timespec mtime{};                 // modification time of the ".det" file
    dev_t device = 0;                 // the ".det" file's device and inode (0 when unreadable)
    ino_t inode = 0;
    std::string error;                // unreadable: why (the system's error text)
    int64_t writer_pid = -1;          // a reservation named by this engine, or the writer a
                                      // writer mark names: its pid
    bool marked = false;              // a writer mark lies beside it
    bool writer_live = false;         // marked, and its writer is still recording
};

// A writer mark "NAME.det.writer" whose ".det" file does not exist (left by a writer cut off
// before it created the ".det" file, or by a removal that was not finished).
struct OrphanMark {
    std::string path;
    std::string det_name;
    int64_t pid = -1;          // -1 when the mark cannot be read
    bool writer_live = false;
    timespec mtime{};
};

// A temporary rewrite file ".NAME.det.PID.N.tmp" of a ".det" file.
struct TemporaryFile {
    std::string path;
    std::string det_name;  // the ".det" file it was to replace (possibly cut short)
    int64_t pid = -1;      // the rewriting process
    timespec mtime{};
};

// The lock file ".kellock".
struct LockFileState {
    std::string path;
    bool present = false;
    std::string content;   // its first bytes (at most 64)
    int64_t holder = 0;    // the pid it holds; 0 when free
    mode_t mode = 0;       // permission bits
    std::string error;     // present but unreadable: why
};

struct HeaderDirScan {
    std::string directory;
    std::vector<DetFile> det_files;         // sorted by name
    std::vector<TemporaryFile> temporaries; // sorted by path
    std::vector<OrphanMark> orphan_marks;   // sorted by path
    LockFileState lock;
};

// Reads one ".det" file. Its size and bytes come from one descriptor, so a file that a
// writer replaces by rename is read whole, old or new; a file that shrinks while it is
// read is tried again a few times and then reported unreadable.
DetFile read_det_file(const std::string &path);

// Lists the directory once: every regular ".det" file (directories, FIFOs and devices with
// such a name are passed over and never opened), the temporary rewrite files and the lock
// file. Throws SystemError when the directory cannot be listed.
HeaderDirScan scan_header_dir(const std::string &directory);

LockFileState read_lock_file(const std::string &directory);

// The ".det" file of a data file NAME: NAME itself when it contains "/", else
// directory/NAME.det.
std::string det_path_of(const std::string &directory, const std::string &name);

// Seconds from t to now (wall clock), negative when t lies in the future.
double age_seconds(const timespec &t);

}  // namespace kel
