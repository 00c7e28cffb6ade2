// Which file a path names, whatever the name: members, and the files an export must never
// write, are told apart by identity, so that a symbolic or hard link is the file it names.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

namespace kelvol {

// A block device is its device number (two nodes of one disk are one member); any other
// file is its file system and inode.
struct FileIdentity {
    bool block_device = false;
    dev_t device = 0;
    ino_t inode = 0;
    auto operator<=>(const FileIdentity &) const = default;
};

FileIdentity identity_of(const struct stat &info);

// The identity of the file path names, symbolic links followed; none when it cannot be
// looked at (errno tells why).
std::optional<FileIdentity> identity_of(const std::string &path);

// What a member path holds, looked at without writing: opened read-only and non-blocking.
struct MemberFile {
    int open_error = 0;       // errno of a failed open; 0 when it opened
    bool usable_type = false; // a regular file or a block device
    int64_t bytes = -1;       // its size or capacity; -1 when unknown
    FileIdentity identity;
};

MemberFile inspect_member(const std::string &path);

}  // namespace kelvol
