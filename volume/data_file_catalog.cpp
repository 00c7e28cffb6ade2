#include "data_file_catalog.h"

#include "header_names.h"
#include "system_error.h"

#include <cerrno>
#include <sys/stat.h>

namespace kel {
namespace {

bool same_time(const timespec &a, const timespec &b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

std::shared_ptr<const DataFile> data_file_of(DetFile &&det) {
    auto file = std::make_shared<DataFile>();
    file->name = std::move(det.name);
    file->mtime = det.mtime;
    file->extents = data_file_extents(std::move(det.entries));
    file->det_device = det.device;
    file->det_inode = det.inode;
    file->det_bytes = det.file_bytes;
    return file;
}

// The data file that the ".det" file at det_path records; null unless it is a regular file
// that holds recorded data.
std::shared_ptr<const DataFile> data_file_at(const std::string &det_path) {
    struct stat info;
    if (::stat(det_path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
    DetFile det = read_det_file(det_path);
    if (!holds_recorded_data(det.state)) return nullptr;
    return data_file_of(std::move(det));
}

}  // namespace

bool DataFile::continued_by(const DataFile &later) const {
    const std::vector<DetEntry> &mine = extents.extents, &theirs = later.extents.extents;
    if (mine.empty()) return true;
    if (theirs.size() < mine.size()) return false;
    for (size_t i = 0; i + 1 < mine.size(); ++i)
        if (mine[i].offset != theirs[i].offset || mine[i].length != theirs[i].length) return false;
    return mine.back().offset == theirs[mine.size() - 1].offset;
}

bool showable_name(std::string_view name) { return !name.empty() && name != "." && name != ".."; }

std::shared_ptr<const DataFileListing> list_data_files(const std::string &header_dir) {
    auto listing = std::make_shared<DataFileListing>();
    HeaderDirScan scan = scan_header_dir(header_dir);
    struct stat info;
    if (::stat(header_dir.c_str(), &info) != 0) throw SystemError("stat", header_dir, errno);
    listing->directory_mtime = info.st_mtim;
    for (DetFile &det : scan.det_files) {
        if (!holds_recorded_data(det.state) || !showable_name(det.name)) continue;
        std::shared_ptr<const DataFile> file = data_file_of(std::move(det));
        listing->files.emplace(file->name, std::move(file));
    }
    return listing;
}

Recording::Recording(HeaderDirWatch &watch, std::string det_path, std::shared_ptr<const DataFile> file,
                     HeaderDirWatch::Counts seen)
    : watch_(watch), det_path_(std::move(det_path)), name_(file->name), file_(std::move(file)), seen_(seen) {}

std::shared_ptr<const DataFile> Recording::given_up() {
    file_.reset();
    return nullptr;
}

std::shared_ptr<const DataFile> Recording::current() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!file_) return nullptr;
    struct stat info;
    const bool present = ::stat(det_path_.c_str(), &info) == 0 && S_ISREG(info.st_mode);
    // Asked after the look at the file: a rename that the look saw is noticed by now.
    const HeaderDirWatch::Counts counts = watch_.counts(name_);
    if (!present || counts.replaced != seen_.replaced) return given_up();
    const bool unchanged = info.st_dev == file_->det_device && info.st_ino == file_->det_inode &&
                           info.st_size == file_->det_bytes && same_time(info.st_mtim, file_->mtime);
    if (unchanged) {
        seen_.missed = counts.missed;
        return file_;
    }
    if (counts.missed != seen_.missed || counts.rewritten == seen_.rewritten) return given_up();
    std::shared_ptr<const DataFile> later = data_file_at(det_path_);
    if (!later || !file_->continued_by(*later)) return given_up();
    file_ = std::move(later);
    seen_ = counts;
    return file_;
}

std::shared_ptr<const DataFile> Recording::last_seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return file_;
}

DataFileCatalog::DataFileCatalog(std::string header_dir, std::chrono::milliseconds max_age)
    : header_dir_(std::move(header_dir)), max_age_(max_age), listing_(list_data_files(header_dir_)),
      listed_at_(Clock::now()), watch_(header_dir_) {}

std::shared_ptr<const DataFileListing> DataFileCatalog::current(Clock::time_point &listed_at) {
    std::lock_guard<std::mutex> lock(mutex_);
    listed_at = listed_at_;
    return listing_;
}

std::shared_ptr<const DataFileListing> DataFileCatalog::listing() {
    Clock::time_point listed_at;
    std::shared_ptr<const DataFileListing> known = current(listed_at);
    if (Clock::now() - listed_at < max_age_) return known;
    std::lock_guard<std::mutex> relisting(relisting_);
    known = current(listed_at);  // another thread may have listed meanwhile
    const Clock::time_point started = Clock::now();
    if (started - listed_at < max_age_) return known;
    std::shared_ptr<const DataFileListing> fresh = known;
    try {
        fresh = list_data_files(header_dir_);
    } catch (const SystemError &) {
        // Keep what was listed: a directory that cannot be listed now may be back soon.
    }
    std::lock_guard<std::mutex> lock(mutex_);
    listing_ = fresh;
    listed_at_ = started;
    return fresh;
}

std::shared_ptr<const DataFile> DataFileCatalog::find(std::string_view name) {
    const std::shared_ptr<const DataFileListing> files = listing();
    const auto found = files->files.find(name);
    return found == files->files.end() ? nullptr : found->second;
}

std::shared_ptr<Recording> DataFileCatalog::recording(std::string_view name) {
    if (!showable_name(name) || name.find('/') != std::string_view::npos) return nullptr;
    const std::string det_path = header_dir_ + "/" + std::string(name) + std::string(tio::kDetExtension);
    // Counted before the ".det" file is read: a change while it is read shows at the next look.
    const HeaderDirWatch::Counts seen = watch_.counts(name);
    std::shared_ptr<const DataFile> file = data_file_at(det_path);
    if (!file) return nullptr;
    return std::shared_ptr<Recording>(new Recording(watch_, det_path, std::move(file), seen));
}

}  // namespace kel
