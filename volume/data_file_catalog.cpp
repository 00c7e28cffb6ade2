#include "data_file_catalog.h"

#include "header_dir.h"
#include "system_error.h"

#include <cerrno>
#include <sys/stat.h>

namespace kel {

bool DataFile::same_recording(const DataFile &later) const {
    if (extents.extents.empty() || later.extents.extents.empty()) return true;
    return extents.extents.front().offset == later.extents.extents.front().offset;
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
        auto file = std::make_shared<DataFile>();
        file->name = det.name;
        file->mtime = det.mtime;
        file->extents = data_file_extents(std::move(det.entries));
        listing->files.emplace(file->name, std::move(file));
    }
    return listing;
}

DataFileCatalog::DataFileCatalog(std::string header_dir, std::chrono::milliseconds max_age)
    : header_dir_(std::move(header_dir)), max_age_(max_age), listing_(list_data_files(header_dir_)),
      listed_at_(Clock::now()) {}

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

}  // namespace kel
