#include "output_file.h"

#include "failure.h"
#include "file_identity.h"
#include "interrupts.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvol {
namespace {

// The file an output path writes: the target of a symbolic link, so that the link stays.
std::string written_file(const std::string &path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    char *resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return path;
    const std::string target = resolved;
    std::free(resolved);
    return target;
}

}  // namespace

std::string directory_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

void sync_directory(const std::string &directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw Failure(directory, system_reason("open", errno));
    const int synced = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    if (synced != 0) throw Failure(directory, system_reason("fsync", error));
}

void refuse_volume_file(const Volume &volume, const std::string &out) {
    const std::string target = written_file(out);
    const auto directory = identity_of(directory_of(target));
    if (directory && directory == identity_of(volume.props.header_dir))
        throw Failure(out, "it lies in the volume's header directory " + volume.props.header_dir);
    const auto written = identity_of(target);
    if (!written) return;  // a new file, outside the header directory
    for (size_t i = 0; i < volume.props.devices.size(); ++i)
        if (written == identity_of(volume.props.devices[i].path))
            throw Failure(out, "it is member " + std::to_string(i) + " of the volume, " +
                                   volume.props.devices[i].path + ": it holds the recordings");
    if (written == identity_of(volume.config_path)) throw Failure(out, "it is the volume's configuration file");
    if (written == identity_of(volume.record()->dmsetup_path)) throw Failure(out, "it is the volume's device table");
    // A hard link elsewhere to a file of the header directory.
    std::unique_ptr<DIR, int (*)(DIR *)> headers(::opendir(volume.props.header_dir.c_str()), &::closedir);
    while (headers) {
        const dirent *entry = ::readdir(headers.get());
        if (entry == nullptr) break;
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = volume.props.header_dir + "/" + entry->d_name;
        if (written == identity_of(path)) throw Failure(out, "it is " + path + " of the volume's header directory");
    }
}

OutputFile::OutputFile(const std::string &path) : path_(path) {
    if (path == "-") {
        fd_ = STDOUT_FILENO;
        return;
    }
    target_ = written_file(path);
    struct stat existing {};
    const bool exists = ::stat(target_.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (fd_ < 0) throw Failure(path, system_reason("open", errno));
        return;
    }
    open_temporary();
    if (exists && ::fchmod(fd_, existing.st_mode & 07777) != 0) {
        const int error = errno;
        discard();
        throw Failure(path, system_reason("fchmod", error));
    }
}

OutputFile::~OutputFile() {
    if (path_ != "-" && fd_ >= 0) ::close(fd_);
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

void OutputFile::write(const uint8_t *data, int64_t bytes) {
    while (bytes > 0) {
        const ssize_t written = ::write(fd_, data, static_cast<size_t>(bytes));
        if (written < 0 && errno != EINTR) throw Failure(path_, system_reason("write", errno));
        if (written > 0) {
            data += written;
            bytes -= written;
        }
        // A write cut short by a signal returns what it wrote: the signal counts all the same.
        InterruptGuard::check(path_);
    }
}

void OutputFile::commit() {
    if (path_ == "-") return;
    if (!temporary_.empty() && ::fsync(fd_) != 0) throw Failure(path_, system_reason("fsync", errno));
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw Failure(path_, system_reason("close", errno));
    if (temporary_.empty()) return;
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) throw Failure(path_, system_reason("rename", errno));
    temporary_.clear();
    sync_directory(directory_of(target_));
}

// ".NAME.kelvol-PID.N.tmp" beside the file.
void OutputFile::open_temporary() {
    const std::string directory = directory_of(target_);
    const size_t slash = target_.rfind('/');
    const std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
    for (int attempt = 0; fd_ < 0; ++attempt) {
        temporary_ = directory + "/." + base + ".kelvol-" + std::to_string(::getpid()) + "." +
                     std::to_string(attempt) + ".tmp";
        fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd_ < 0 && (errno != EEXIST || attempt == 99)) {
            const int error = errno;
            temporary_.clear();
            throw Failure(path_, "cannot make a temporary file beside it: " + system_reason("open", error));
        }
    }
}

void OutputFile::discard() {
    ::close(fd_);
    fd_ = -1;
    ::unlink(temporary_.c_str());
    temporary_.clear();
}

}  // namespace kelvol
