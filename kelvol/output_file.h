// Where an export goes, and the durable replacement of a file: a temporary file beside it,
// synced, renamed over it, and the directory synced.
#pragma once

#include "volume.h"

#include <cstdint>
#include <string>

namespace kelvol {

// "." for a bare name, "/" for a name in the root.
std::string directory_of(const std::string &path);

// Makes the directory's entries (a rename, a removal) durable; throws Failure.
void sync_directory(const std::string &directory);

// Refuses an output that is one of the volume's own files, by identity: a member (its
// recordings), a file of the header directory (another data file), the configuration file
// or the device table. A new file in the header directory is refused too. Throws Failure.
void refuse_volume_file(const Volume &volume, const std::string &out);

// Where an export goes: standard output ("-"), a device or FIFO written directly, or a
// regular file (new or existing) replaced whole. The bytes go into a temporary file beside
// it, which is synced and renamed over it, and the directory synced, only at commit: a
// failed export leaves the file as it was. A symbolic link stays; the file it names is
// replaced, with its permissions kept.
class OutputFile {
public:
    explicit OutputFile(const std::string &path);
    ~OutputFile();  // without commit: the temporary file is removed
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // Writes all of it; a signal noted by the InterruptGuard ends it. Throws Failure.
    void write(const uint8_t *data, int64_t bytes);
    // Everything was written: the file takes its place durably. Throws Failure.
    void commit();

private:
    void open_temporary();
    void discard();

    std::string path_;
    std::string target_;     // the file a symbolic link path names, else path
    std::string temporary_;  // while the bytes go into a temporary file
    int fd_ = -1;
};

}  // namespace kelvol
