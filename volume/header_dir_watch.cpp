#include "header_dir_watch.h"

#include "header_names.h"
#include "system_error.h"

#include <cerrno>
#include <sys/inotify.h>
#include <unistd.h>

namespace kel {
namespace {

constexpr uint32_t kNotices =
    IN_CREATE | IN_DELETE | IN_MODIFY | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// A rename's two notices come one after the other; more remembered halves mean lost ones.
constexpr size_t kMostPendingRenames = 64;

// The data file whose ".det" file has this name; empty for every other file (reservations,
// temporaries, the lock file).
std::string_view data_file_of(std::string_view file_name) {
    if (!tio::is_det_name(file_name) || tio::is_reservation_name(file_name)) return {};
    return tio::data_file_name(file_name);
}

// Whether a temporary made for the ".det" file temporary_for is the engine's rewrite of
// target, whose name the engine may have cut in the temporary's.
bool is_rewrite_of(std::string_view temporary_for, std::string_view target) {
    return temporary_for == tio::temporary_det_name(target);
}

}  // namespace

HeaderDirWatch::HeaderDirWatch(std::string directory) : directory_(std::move(directory)) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) throw SystemError("inotify_init1", directory_, errno);
    watch_ = ::inotify_add_watch(fd_, directory_.c_str(), kNotices);
    if (watch_ < 0) {
        const int error = errno;
        ::close(fd_);
        throw SystemError("inotify_add_watch", directory_, error);
    }
}

HeaderDirWatch::~HeaderDirWatch() { ::close(fd_); }

HeaderDirWatch::Counts HeaderDirWatch::counts(std::string_view name) {
    std::lock_guard<std::mutex> lock(mutex_);
    take_notices();
    Counts counts;
    if (const auto found = counts_.find(name); found != counts_.end()) counts = found->second;
    counts.missed = missed_;
    return counts;
}

void HeaderDirWatch::watch_again() {
    watch_ = ::inotify_add_watch(fd_, directory_.c_str(), kNotices);
    // Whatever happened while the directory was away went unnoticed.
    if (watch_ >= 0) ++missed_;
}

void HeaderDirWatch::take_notices() {
    if (watch_ < 0) watch_again();
    alignas(inotify_event) char buffer[16 * 1024];
    for (;;) {
        const ssize_t got = ::read(fd_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno != EAGAIN) ++missed_;
        if (got <= 0) return;
        for (const char *at = buffer; at < buffer + got;) {
            const auto *event = reinterpret_cast<const inotify_event *>(at);
            take(*event);
            at += sizeof(inotify_event) + event->len;
        }
    }
}

void HeaderDirWatch::take(const inotify_event &event) {
    if (event.mask & IN_Q_OVERFLOW) {
        ++missed_;
        return;
    }
    if (event.wd != watch_) return;  // the last notices of a watch given up
    if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
        // The path may name another directory from now on; it is watched anew when it can be.
        if (!(event.mask & IN_IGNORED)) ::inotify_rm_watch(fd_, watch_);
        watch_ = -1;
        ++missed_;
        return;
    }
    if (event.len == 0) return;
    const std::string_view name(event.name);  // padded with NULs
    if (event.mask & IN_MOVED_FROM) {
        if (const auto temporary = tio::parse_temporary_name(name)) {
            if (temporary->creates) return;  // a new file under the name: its arrival ends the recording
            if (moved_from_.size() >= kMostPendingRenames) moved_from_.clear();
            moved_from_[event.cookie] = std::string(temporary->det_name);
            return;
        }
    }
    const std::string_view data_file = data_file_of(name);
    if (data_file.empty()) return;
    auto entry = counts_.find(data_file);
    if (entry == counts_.end()) entry = counts_.emplace(std::string(data_file), Counts{}).first;
    if (event.mask & IN_MODIFY) {
        // The engine adds an update's extent in place; whether the earlier extents are
        // still there decides between growth and a new recording.
        ++entry->second.rewritten;
        return;
    }
    if (event.mask & IN_MOVED_TO) {
        const auto from = moved_from_.find(event.cookie);
        const bool rewrite = from != moved_from_.end() && is_rewrite_of(from->second, name);
        if (from != moved_from_.end()) moved_from_.erase(from);
        if (rewrite) {
            ++entry->second.rewritten;
            return;
        }
    }
    ++entry->second.replaced;
}

}  // namespace kel
