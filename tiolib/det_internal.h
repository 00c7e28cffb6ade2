// Internals of the ".det" files shared by det.cpp, alloc.cpp and their tests; not exported.
#pragma once

#include "tio.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tio {

constexpr int64_t kDetRecordSize = 16;

// One record in its on-disk form: offset then length, both little-endian.
void encode_det_entry(int64_t offset, int64_t length, unsigned char out[kDetRecordSize]);
DetEntry decode_det_entry(const unsigned char in[kDetRecordSize]);

// How reading one ".det" file whole went.
enum class DetReadStatus {
    ok,          // every announced entry was read (possibly none)
    no_entries,  // missing, not a regular file, empty, or size not a multiple of 16
    short_read,  // the file shrank while it was read, every time it was tried
};

// Appends the entries of the ".det" file at path to out. The size and the bytes come from
// one open descriptor, so a file replaced by rename is read whole, old or new; a file
// truncated while it is read is read again a few times and otherwise left out (out is then
// unchanged). When it is not ok and why is given, *why says what was wrong with the file.
DetReadStatus read_det_file(const std::string &path, std::vector<DetEntry> &out, std::string *why = nullptr);

// Appends the entries of every regular file in directory whose name ends in ".det" (and is
// more than ".det") to out, in listing order, except those of files for which leave_out
// (when given) returns true; it sees each file's path before the file is read. Returns
// false when the directory cannot be listed. Entries of files that could not be read whole
// are not taken.
bool gather_dets(const char *directory, std::vector<DetEntry> &out,
                 const std::function<bool(const std::string &path)> &leave_out = {});

// Orders entries by ascending offset; entries with equal offsets end in the reverse of
// their input order (the order of an insertion sort that inserts before the first entry
// with an equal or greater offset). O(n log n).
void sort_det_entries(std::vector<DetEntry> &entries);

// Replaces the ".det" file at path with the given entries so that a concurrent reader sees
// either the old or the new content: the entries go to a temporary file in the same
// directory (its name does not end in ".det"), which is synced and then renamed over path,
// and the directory is synced: on return the new content survives a power cut.
// 0, or -1 with a message naming the failing call, the path and errno.
int32_t rewrite_det_atomic(const char *path, const std::vector<DetEntry> &entries);

// Creates (or replaces) the ".det" file at path with the given entries, as
// rewrite_det_atomic does but without syncing the directory: the file appears whole, its
// content already durable. A descriptor open for reading and writing on it, or -1 (the
// caller says why).
int create_det_file(const char *path, const std::vector<DetEntry> &entries);

}  // namespace tio
