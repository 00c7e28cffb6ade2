// Detached-header (".det") files: a data file's extents as 16-byte little-endian records
// (offset, length), with no header or terminator. Reading, writing, counting, scanning a
// header directory, sorting and finalising.

#include "closing.h"
#include "det_internal.h"
#include "durable.h"
#include "header_names.h"
#include "mark_internal.h"
#include "internal.h"
#include "layout.h"
#include "saturate.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace tio {

void encode_det_entry(int64_t offset, int64_t length, unsigned char out[kDetRecordSize]) {
    const uint64_t fields[2] = {static_cast<uint64_t>(offset), static_cast<uint64_t>(length)};
    for (int field = 0; field < 2; ++field)
        for (int byte = 0; byte < 8; ++byte)
            out[field * 8 + byte] = static_cast<unsigned char>(fields[field] >> (8 * byte));
}

DetEntry decode_det_entry(const unsigned char in[kDetRecordSize]) {
    uint64_t fields[2] = {0, 0};
    for (int field = 0; field < 2; ++field)
        for (int byte = 7; byte >= 0; --byte)
            fields[field] = (fields[field] << 8) | in[field * 8 + byte];
    return DetEntry{static_cast<int64_t>(fields[0]), static_cast<int64_t>(fields[1])};
}

namespace {

// Entries announced by a file size: size / 16, or 0 when the size is not a multiple of 16
// (a file being written) or too large to count in 32 bits.
int32_t entries_for_size(int64_t size) {
    if (size < 0 || (size & (kDetRecordSize - 1)) != 0) return 0;
    const int64_t entries = size / kDetRecordSize;
    return entries > INT32_MAX ? 0 : static_cast<int32_t>(entries);
}

// Reads exactly size bytes at offset 0; false when the file ends (or fails) earlier.
bool read_exactly(int fd, unsigned char *buffer, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t got = pread(fd, buffer + done, size - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

// The scans select by name; a name that ends in ".det" may still be a directory, a FIFO
// (opening it could block) or a device, which are passed over.
bool is_regular_file(const std::string &path, unsigned char dirent_type) {
    if (dirent_type == DT_REG) return true;
    if (dirent_type != DT_LNK && dirent_type != DT_UNKNOWN) return false;
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Calls visit(path) for every regular file in directory whose name ends in extension and
// is longer than it, in listing order, until visit returns false. False when the directory
// cannot be listed.
template <typename Visit>
bool for_each_det_file(const char *directory, const char *extension, Visit &&visit) {
    Dir dir(opendir(directory));
    if (!dir) return false;
    std::string path;
    while (const struct dirent *entry = readdir(dir.get())) {
        if (isExt(entry->d_name, extension) <= 0) continue;
        path.assign(directory).append("/").append(entry->d_name);
        if (!is_regular_file(path, entry->d_type)) continue;
        if (!visit(path)) break;
    }
    return true;
}

constexpr int kReadAttempts = 3;

std::atomic<uint64_t> rewrite_counter{0};

// Where a rewrite of path has to happen: the file a symbolic link points at, so that the
// rename replaces the data rather than the link.
std::string rewrite_target(const char *path) {
    struct stat info;
    if (lstat(path, &info) == 0 && S_ISLNK(info.st_mode)) {
        std::unique_ptr<char, decltype(&free)> resolved(realpath(path, nullptr), &free);
        if (resolved) return resolved.get();
    }
    return path;
}

// A new name beside target for its next content: hidden, and ending in ".tmp", so that no
// scan ever takes it for a ".det" file; the process id and a counter keep concurrent
// rewrites apart, the name stays short. A creation's name says so, so that a reader that
// watches the directory can tell a new file under the name from a rewrite of the old one.
std::string temporary_path_for(const std::string &target, bool creates) {
    const size_t slash = target.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : target.substr(0, slash);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    return directory + "/" + temporary_name(base, getpid(), rewrite_counter.fetch_add(1), creates);
}

bool write_all(int fd, const unsigned char *data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t put = write(fd, data + done, size - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += static_cast<size_t>(put);
    }
    return true;
}

std::vector<DetEntry> zip_entries(int32_t count, const int64_t *offsets, const int64_t *lengths) {
    std::vector<DetEntry> entries(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) entries[i] = DetEntry{offsets[i], lengths[i]};
    return entries;
}

// The order sortDets prescribes, done the slow way; used only when memory runs out.
void insertion_sort(int32_t count, int64_t *offsets, int64_t *lengths) {
    for (int32_t i = 1; i < count; ++i) {
        const int64_t offset = offsets[i];
        const int64_t length = lengths[i];
        int32_t p = 0;
        while (p < i && offsets[p] < offset) ++p;
        std::memmove(offsets + p + 1, offsets + p, sizeof(int64_t) * static_cast<size_t>(i - p));
        std::memmove(lengths + p + 1, lengths + p, sizeof(int64_t) * static_cast<size_t>(i - p));
        offsets[p] = offset;
        lengths[p] = length;
    }
}

int64_t wrapping_sum(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

// The longest the last extent may become: as much as the space reserved for it holds, its
// per-device span raised to the chunk, on every device. Without a usable geometry that
// space is unknown, and the extent may only shrink.
__int128 longest_last_length(FsProps *props, const DetEntry &last) {
    if (!props || props->stripe_count < 1 || props->chunk_size < 1) return last.length;
    const __int128 reserved = tio::reserved_end(tio::layout_of(*props), last.offset, last.length) - last.offset;
    return std::max<__int128>(last.length, reserved * props->stripe_count);
}

// Whether finalising the entries to final_size leaves a last extent that holds no more than
// was reserved for it and no less than nothing; prints why not.
bool last_extent_can_hold(FsProps *props, const char *path, const std::vector<DetEntry> &entries,
                          int64_t final_size) {
    const long long final_bytes = final_size;
    if (final_size < 0) {
        report("Error! Cannot finalise '%s' to %lld bytes: a size cannot be negative!", path, final_bytes);
        return false;
    }
    __int128 before_last = 0;
    for (size_t i = 0; i + 1 < entries.size(); ++i) before_last += entries[i].length;
    const __int128 last_length = final_size - before_last;
    if (last_length < 0) {
        report("Error! Cannot finalise '%s' to %lld bytes: the extents before the last already hold %lld bytes!",
               path, final_bytes, static_cast<long long>(saturate<int64_t>(before_last)));
        return false;
    }
    const __int128 longest = longest_last_length(props, entries.back());
    if (last_length > longest) {
        report("Error! Cannot finalise '%s' to %lld bytes: its last extent would hold %lld bytes, more than the "
               "%lld reserved for it!",
               path, final_bytes, static_cast<long long>(saturate<int64_t>(last_length)),
               static_cast<long long>(saturate<int64_t>(longest)));
        return false;
    }
    return true;
}

}  // namespace

DetReadStatus read_det_file(const std::string &path, std::vector<DetEntry> &out, std::string *why) {
    const auto fails = [why](DetReadStatus status, std::string reason) {
        if (why) *why = std::move(reason);
        return status;
    };
    // O_NONBLOCK: a FIFO that slipped past the name check must not block the scan.
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) return fails(DetReadStatus::no_entries, strerror(errno));
    std::vector<unsigned char> bytes;
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        struct stat info;
        if (fstat(fd.get(), &info) != 0) return fails(DetReadStatus::no_entries, strerror(errno));
        if (!S_ISREG(info.st_mode)) return fails(DetReadStatus::no_entries, "not a regular file");
        const int32_t count = entries_for_size(info.st_size);
        if (info.st_size == 0) return fails(DetReadStatus::no_entries, "the file is empty");
        if (count == 0)
            return fails(DetReadStatus::no_entries,
                         "its size, " + std::to_string(info.st_size) + " bytes, " +
                             (info.st_size % kDetRecordSize ? "is not a whole number of 16-byte entries"
                                                            : "is more than the entries that can be counted"));
        bytes.resize(static_cast<size_t>(count) * kDetRecordSize);
        if (!read_exactly(fd.get(), bytes.data(), bytes.size())) continue;  // truncated meanwhile
        for (int32_t i = 0; i < count; ++i) out.push_back(decode_det_entry(&bytes[i * kDetRecordSize]));
        return DetReadStatus::ok;
    }
    return fails(DetReadStatus::short_read, "it shrank each time it was read");
}

bool gather_dets(const char *directory, std::vector<DetEntry> &out,
                 const std::function<bool(const std::string &path)> &leave_out) {
    return for_each_det_file(directory, ".det", [&](const std::string &path) {
        if (!leave_out || !leave_out(path)) read_det_file(path, out);
        return true;
    });
}

void sort_det_entries(std::vector<DetEntry> &entries) {
    // A stable sort of the reversed input keeps equal offsets in reverse input order.
    std::reverse(entries.begin(), entries.end());
    std::stable_sort(entries.begin(), entries.end(),
                     [](const DetEntry &a, const DetEntry &b) { return a.offset < b.offset; });
}

namespace {

// The content goes to a temporary file beside the target, is synced and then renamed over
// it: whoever opens the name, now or after a power cut, finds the old content or the whole
// new one, never an empty or partial file. The descriptor stays open on the new file (-1
// after a message saying what it was `doing`, unless doing is null).
int replace_content(const char *path, const std::vector<DetEntry> &entries, const char *doing, bool creates) {
    const std::string target = rewrite_target(path);
    const std::string temporary = temporary_path_for(target, creates);

    std::vector<unsigned char> bytes(entries.size() * kDetRecordSize);
    for (size_t i = 0; i < entries.size(); ++i)
        encode_det_entry(entries[i].offset, entries[i].length, &bytes[i * kDetRecordSize]);

    Fd fd(open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.get() < 0) {
        if (doing) report("Error! open('%s') failed while %s '%s': %s", temporary.c_str(), doing, path, strerror(errno));
        return -1;
    }
    // Keep the permissions the file had; the owner is that of the rewriting process.
    struct stat old_info;
    if (stat(target.c_str(), &old_info) == 0) fchmod(fd.get(), old_info.st_mode & 07777);
    const char *failed_call = nullptr;
    if (!write_all(fd.get(), bytes.data(), bytes.size())) failed_call = "write";
    else if (fsync(fd.get()) != 0) failed_call = "fsync";
    else if (rename(temporary.c_str(), target.c_str()) != 0) failed_call = "rename";
    if (failed_call) {
        const int error = errno;
        unlink(temporary.c_str());
        if (doing)
            report("Error! %s('%s') failed while %s '%s': %s", failed_call, temporary.c_str(), doing, path,
                   strerror(error));
        return -1;
    }
    return fd.release();
}

}  // namespace

int create_det_file(const char *path, const std::vector<DetEntry> &entries) {
    return replace_content(path, entries, nullptr, true);
}

int32_t rewrite_det_atomic(const char *path, const std::vector<DetEntry> &entries) {
    const int fd = replace_content(path, entries, "rewriting", false);
    if (fd < 0) return -1;
    close(fd);
    // The rename is durable only once the directory is: until then a power cut may bring
    // back the old content.
    return sync_directory_of(rewrite_target(path)) ? 0 : -1;
}

}  // namespace tio

using tio::DetReadStatus;

extern "C" {

TIO_API int32_t writeDet(const char *path, int32_t count, const int64_t *offsets, const int64_t *lengths) {
    if (!path) return -1;
    tio::File file(fopen(path, "wbe"));
    if (!file) return -1;
    bool written = true;
    for (int32_t i = 0; i < count && offsets && lengths; ++i) {
        unsigned char record[tio::kDetRecordSize];
        tio::encode_det_entry(offsets[i], lengths[i], record);
        written = fwrite(record, sizeof record, 1, file.get()) == 1 && written;
    }
    // A full disk shows up at the flush; a file that lost entries must not count as written.
    return file.close() == 0 && written ? 0 : -1;
}

TIO_API int32_t readDet(const char *path, int32_t count, int64_t *offsets, int64_t *lengths) {
    if (!path) return -5;
    tio::File file(fopen(path, "rbe"));
    if (!file) return -5;
    for (int32_t i = 0; i < count; ++i) {
        unsigned char record[tio::kDetRecordSize];
        if (fread(record, sizeof record, 1, file.get()) != 1) return -5;
        const DetEntry entry = tio::decode_det_entry(record);
        offsets[i] = entry.offset;
        lengths[i] = entry.length;
    }
    return 0;
}

TIO_API int64_t getFileSize(const char *path) {
    struct stat info;
    if (!path || stat(path, &info) != 0) return -1;
    return info.st_size;
}

TIO_API int32_t getDetEntries(const char *path) { return tio::entries_for_size(getFileSize(path)); }

TIO_API int32_t accumDetSize(const char *path, int64_t *total) {
    if (!total) return -5;
    *total = 0;
    if (!path) return -5;
    tio::File file(fopen(path, "rbe"));
    if (!file) return -5;
    const int32_t count = getDetEntries(path);
    for (int32_t i = 0; i < count; ++i) {
        unsigned char record[tio::kDetRecordSize];
        if (fread(record, sizeof record, 1, file.get()) != 1) return -5;
        *total = tio::wrapping_sum(*total, tio::decode_det_entry(record).length);
    }
    return 0;
}

TIO_API int32_t isExt(const char *name, const char *extension) {
    if (!name || !extension) return -1;
    const size_t name_length = strlen(name);
    const size_t extension_length = strlen(extension);
    if (name_length < extension_length || name_length - extension_length > INT32_MAX) return -1;
    const size_t start = name_length - extension_length;
    return memcmp(name + start, extension, extension_length) == 0 ? static_cast<int32_t>(start) : -1;
}

TIO_API int32_t countDir(const char *directory, const char *extension) {
    if (!directory || !extension) return -1;
    int64_t total = 0;
    const bool listed = tio::for_each_det_file(directory, extension, [&](const std::string &path) {
        total += getDetEntries(path.c_str());
        return total < INT32_MAX;
    });
    if (!listed) return -1;
    return tio::saturate<int32_t>(total);
}

TIO_API int32_t getAllDets(const char *directory, int32_t capacity, int64_t *offsets, int64_t *lengths) {
    if (!directory || (capacity > 0 && (!offsets || !lengths))) return -1;
    try {
        int32_t stored = 0;
        int32_t result = 0;
        std::vector<DetEntry> entries;
        const bool listed = tio::for_each_det_file(directory, ".det", [&](const std::string &path) {
            if (stored >= capacity) {
                result = -5;
                return false;
            }
            entries.clear();
            tio::read_det_file(path, entries);  // a file that cannot be read whole adds nothing
            if (static_cast<int64_t>(entries.size()) > static_cast<int64_t>(capacity) - stored) {
                result = -5;
                return false;
            }
            for (const DetEntry &entry : entries) {
                offsets[stored] = entry.offset;
                lengths[stored] = entry.length;
                ++stored;
            }
            return true;
        });
        return listed ? result : -1;
    } catch (...) {
        return -1;
    }
}

TIO_API int32_t sortDets(int32_t count, int64_t *offsets, int64_t *lengths) {
    if (count <= 1 || !offsets || !lengths) return 0;
    try {
        std::vector<DetEntry> entries = tio::zip_entries(count, offsets, lengths);
        tio::sort_det_entries(entries);
        for (int32_t i = 0; i < count; ++i) {
            offsets[i] = entries[i].offset;
            lengths[i] = entries[i].length;
        }
    } catch (...) {
        tio::insertion_sort(count, offsets, lengths);
    }
    return 0;
}

TIO_API int64_t finalizeDet(FsProps *props, const char *path, int64_t final_size) {
    if (!path) return -1;
    try {
        std::vector<DetEntry> entries;
        // Nothing is rewritten from entries that were never read: a file without entries
        // gives -1, one that could not be read whole -5.
        switch (tio::read_det_file(path, entries)) {
        case DetReadStatus::ok: break;
        case DetReadStatus::no_entries: return -1;
        case DetReadStatus::short_read: return -5;
        }
        if (!tio::last_extent_can_hold(props, path, entries, final_size)) return -1;
        int64_t total = 0;
        for (const DetEntry &entry : entries) total = tio::wrapping_sum(total, entry.length);
        const int64_t change = static_cast<int64_t>(static_cast<uint64_t>(final_size) -
                                                    static_cast<uint64_t>(total));
        entries.back().length = tio::wrapping_sum(entries.back().length, change);
        if (tio::rewrite_det_atomic(path, entries) != 0) return -1;
        if (!tio::remove_writer_mark(path)) return -1;
        return static_cast<int64_t>(static_cast<uint64_t>(total) - static_cast<uint64_t>(final_size));
    } catch (...) {
        return -1;
    }
}

// The commit of a recording: every byte handed over is written and synced to the members
// before the ".det" file says the data is there.
TIO_API int64_t tio_finalize_det(TioHandle *handle, const char *path, int64_t final_size) {
    const tio::HandleCall call(handle);
    if (!call) return -1;
    // Every tio_write has written its bytes when it returned: only failures are left to hear of.
    if (tio::direction_of(*handle) == tio::Direction::kWrite && handle->workers != nullptr) {
        if (!tio::report_write_failures(handle) || !tio::sync_written_members(handle)) return -1;
    }
    if (tio::handle_failed_before(handle, tio::kWriteFailed | tio::kSyncFailed, path ? path : "the data file")) return -1;
    const int64_t result = finalizeDet(handle->props, path, final_size);
    if (result != -1 && result != -5 && path) tio::forget_handle_mark(handle, path);
    return result;
}

}  // extern "C"
