#include "header_dir.h"

#include "closing.h"
#include "det_internal.h"
#include "header_names.h"
#include "saturate.h"
#include "system_error.h"
#include "writer_mark.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace kel {
namespace {

constexpr int64_t kRecordBytes = tio::kDetRecordSize;
constexpr int kReadAttempts = 3;
// Far beyond any real data file (16 million extents); a larger file is not read into memory.
constexpr int64_t kLargestDetFile = int64_t{256} << 20;

// Reads exactly size bytes from offset 0; false (errno set, 0 for an early end) otherwise.
bool read_exactly(int fd, unsigned char *buffer, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, buffer + done, size - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            if (got == 0) errno = 0;
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}

int64_t saturated_sum(const std::vector<DetEntry> &entries) {
    __int128 sum = 0;
    for (const DetEntry &entry : entries) sum += entry.length;
    return tio::saturate<int64_t>(sum);
}

DetState state_of_entries(const std::vector<DetEntry> &entries) {
    for (const DetEntry &entry : entries)
        if (entry.offset < 0) return DetState::provisional;
    return DetState::ok;
}

std::string base_name(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Fills entries, file_bytes and mtime from an open descriptor; false with error set when
// the file could not be read whole.
bool read_records(int fd, DetFile &file) {
    std::vector<unsigned char> bytes;
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        struct stat info;
        if (::fstat(fd, &info) != 0) {
            file.error = strerror(errno);
            return false;
        }
        file.file_bytes = info.st_size;
        file.mtime = info.st_mtim;
        file.device = info.st_dev;
        file.inode = info.st_ino;
        if (info.st_size > kLargestDetFile) {
            file.error = "it is too large to be a .det file";
            return false;
        }
        bytes.resize(static_cast<size_t>(info.st_size / kRecordBytes * kRecordBytes));
        if (!read_exactly(fd, bytes.data(), bytes.size())) {
            if (errno != 0) {
                file.error = strerror(errno);
                return false;
            }
            continue;  // shrank while it was read: a writer is at work; try again
        }
        file.entries.clear();
        for (size_t at = 0; at < bytes.size(); at += kRecordBytes)
            file.entries.push_back(tio::decode_det_entry(&bytes[at]));
        return true;
    }
    file.error = "it changed while it was read";
    return false;
}

bool is_regular(const std::string &path, unsigned char dirent_type) {
    if (dirent_type == DT_REG) return true;
    if (dirent_type != DT_LNK && dirent_type != DT_UNKNOWN) return false;
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

TemporaryFile temporary_file(const std::string &path, const tio::TemporaryName &name) {
    TemporaryFile file{path, std::string(name.det_name), name.pid, {}};
    struct stat info;
    if (::lstat(path.c_str(), &info) == 0) file.mtime = info.st_mtim;
    return file;
}

// A negative length is no extent at all: no writer of the protocol records one, so the file
// was damaged, and it holds no data to read.
void judge_lengths(DetFile &file) {
    for (size_t i = 0; i < file.entries.size(); ++i) {
        const DetEntry &entry = file.entries[i];
        if (entry.length >= 0) continue;
        file.state = DetState::torn;
        file.error = "extent " + std::to_string(i) + " (offset " + std::to_string(entry.offset) + ", length " +
                     std::to_string(entry.length) + ") has a negative length";
        return;
    }
}

// What the writer mark beside a data file's ".det" file says of its recording.
void apply_writer_mark(DetFile &file) {
    const tio::MarkFound found = tio::read_writer_mark(file.path);
    if (found.reading == tio::MarkReading::absent) return;
    file.marked = true;
    file.writer_live = found.reading == tio::MarkReading::live;
    if (found.mark) file.writer_pid = found.mark->pid;
    if (file.state == DetState::ok) file.state = file.writer_live ? DetState::recording : DetState::interrupted;
}

OrphanMark orphan_mark(const std::string &path, std::string_view det_name) {
    OrphanMark orphan{path, std::string(det_name), -1, false, {}};
    const std::string det_path = path.substr(0, path.size() - tio::kWriterMarkSuffix.size());
    const tio::MarkFound found = tio::read_writer_mark(det_path);
    if (found.mark) orphan.pid = found.mark->pid;
    orphan.writer_live = found.reading == tio::MarkReading::live;
    struct stat info;
    if (::lstat(path.c_str(), &info) == 0) orphan.mtime = info.st_mtim;
    return orphan;
}

}  // namespace

const char *state_name(DetState state) {
    switch (state) {
    case DetState::ok: return "ok";
    case DetState::provisional: return "provisional";
    case DetState::reservation: return "reservation";
    case DetState::torn: return "torn";
    case DetState::unreadable: return "unreadable";
    case DetState::recording: return "recording";
    case DetState::interrupted: return "interrupted";
    }
    return "unreadable";
}

bool holds_recorded_data(DetState state) {
    return state == DetState::ok || state == DetState::recording || state == DetState::interrupted;
}

DetFile read_det_file(const std::string &path) {
    DetFile file;
    file.path = path;
    const std::string file_name = base_name(path);
    file.name = std::string(tio::data_file_name(file_name));
    file.writer_pid = tio::reservation_writer_pid(file_name);
    // O_NONBLOCK: a FIFO given by path must not block the reader.
    tio::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    const bool readable = fd.get() >= 0 ? read_records(fd.get(), file) : (file.error = strerror(errno), false);
    if (tio::is_reservation_name(file_name)) file.state = DetState::reservation;
    else if (!readable) file.state = DetState::unreadable;
    else if (file.file_bytes % kRecordBytes != 0) file.state = DetState::torn;
    else file.state = state_of_entries(file.entries);
    file.size = saturated_sum(file.entries);
    if (file.state == DetState::ok || file.state == DetState::provisional) judge_lengths(file);
    if (file.state == DetState::ok || file.state == DetState::provisional) apply_writer_mark(file);
    return file;
}

LockFileState read_lock_file(const std::string &directory) {
    LockFileState lock;
    lock.path = directory + "/" + std::string(tio::kLockFileName);
    struct stat info;
    if (::stat(lock.path.c_str(), &info) != 0) return lock;
    lock.present = true;
    lock.mode = info.st_mode & 07777;
    tio::Fd fd(::open(lock.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    char content[64];
    const ssize_t got = fd.get() >= 0 ? ::pread(fd.get(), content, sizeof content, 0) : -1;
    if (got < 0) {
        lock.error = strerror(errno);
        return lock;
    }
    lock.content.assign(content, static_cast<size_t>(got));
    lock.holder = std::max<int64_t>(0, tio::lock_holder_of(lock.content));
    return lock;
}

HeaderDirScan scan_header_dir(const std::string &directory) {
    std::unique_ptr<DIR, int (*)(DIR *)> dir(::opendir(directory.c_str()), &::closedir);
    if (!dir) throw SystemError("opendir", directory, errno);
    HeaderDirScan scan;
    scan.directory = directory;
    std::string path;
    errno = 0;
    while (const struct dirent *entry = ::readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        path.assign(directory).append("/").append(name);
        if (tio::is_det_name(name)) {
            if (is_regular(path, entry->d_type)) scan.det_files.push_back(read_det_file(path));
        } else if (const auto temporary = tio::parse_temporary_name(name)) {
            scan.temporaries.push_back(temporary_file(path, *temporary));
        } else if (tio::is_writer_mark_name(name)) {
            const std::string det_path = path.substr(0, path.size() - tio::kWriterMarkSuffix.size());
            struct stat info;
            if (::lstat(det_path.c_str(), &info) != 0 && errno == ENOENT)
                scan.orphan_marks.push_back(orphan_mark(path, tio::marked_det_name(name)));
        }
        errno = 0;
    }
    if (errno != 0) throw SystemError("readdir", directory, errno);
    std::sort(scan.det_files.begin(), scan.det_files.end(),
              [](const DetFile &a, const DetFile &b) { return a.name < b.name; });
    std::sort(scan.temporaries.begin(), scan.temporaries.end(),
              [](const TemporaryFile &a, const TemporaryFile &b) { return a.path < b.path; });
    std::sort(scan.orphan_marks.begin(), scan.orphan_marks.end(),
              [](const OrphanMark &a, const OrphanMark &b) { return a.path < b.path; });
    scan.lock = read_lock_file(directory);
    return scan;
}

std::string det_path_of(const std::string &directory, const std::string &name) {
    if (name.find('/') != std::string::npos) return name;
    return directory + "/" + name + std::string(tio::kDetExtension);
}

double age_seconds(const timespec &t) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec - t.tv_sec) + static_cast<double>(now.tv_nsec - t.tv_nsec) * 1e-9;
}

}  // namespace kel
