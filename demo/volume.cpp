#include "volume.h"

#include "system_error.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace kel {

SystemError::SystemError(const std::string &call, const std::string &path, int error_number)
    : std::runtime_error(call + "(" + path + ") failed: " + std::strerror(error_number) +
                         " (errno " + std::to_string(error_number) + ")") {}

EngineError::EngineError(const std::string &call, long long result, const std::string &context)
    : std::runtime_error(call + " returned " + std::to_string(result) +
                         (context.empty() ? "" : " (" + context + ")")) {}

namespace {

constexpr int64_t kSectorBytes = 512;

void write_whole(int fd, const std::string &text, const std::string &path) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) throw SystemError("write", path, errno);
        done += static_cast<size_t>(written);
    }
}

// Creates (or empties) path and writes text into it.
void write_text_file(const std::string &path, const std::string &text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw SystemError("open", path, errno);
    try {
        write_whole(fd, text, path);
    } catch (...) {
        ::close(fd);
        throw;
    }
    if (::close(fd) != 0) throw SystemError("close", path, errno);
}

void make_directory(const std::string &path) {
    if (::mkdir(path.c_str(), 0755) != 0) throw SystemError("mkdir", path, errno);
}

// The configuration file is a list of whitespace-separated tokens, so a path with
// white space in it cannot be named there.
void require_token_safe(const std::string &path) {
    if (path.find_first_of(" \t\r\n\v\f") != std::string::npos)
        throw std::runtime_error("path contains white space, which the configuration "
                                 "file cannot hold: " + path);
}

}  // namespace

TempVolume::TempVolume(const std::string &parent_dir, const std::string &prefix,
                       const VolumeGeometry &geometry)
    : geometry_(geometry) {
    if (geometry.members < 1 || geometry.workers < 1 || geometry.chunk_bytes < kSectorBytes ||
        geometry.chunk_bytes % kSectorBytes != 0)
        throw std::runtime_error("volume needs at least one member and one worker and a "
                                 "chunk size that is a multiple of 512 bytes");
    std::string name_template = parent_dir + "/" + prefix + "XXXXXX";
    require_token_safe(name_template);
    if (::mkdtemp(name_template.data()) == nullptr)
        throw SystemError("mkdtemp", name_template, errno);
    directory_ = name_template;
    try {
        header_dir_ = directory_ + "/headers";
        make_directory(header_dir_);
        for (int i = 0; i < geometry.members; ++i) {
            member_paths_.push_back(directory_ + "/member" + std::to_string(i) + ".img");
            write_text_file(member_paths_.back(), "");
        }
        table_path_ = directory_ + "/volume.table";
        write_device_table(table_path_);
        config_path_ = directory_ + "/volume.conf";
        write_config(config_path_, geometry.workers);
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
        throw;
    }
}

TempVolume::~TempVolume() {
    std::error_code error;
    std::filesystem::remove_all(directory_, error);
    // A destructor cannot fail; leaving a temporary directory behind deserves a word.
    if (error) std::fprintf(stderr, "could not remove %s: %s\n", directory_.c_str(),
                            error.message().c_str());
}

// One striped line: start, length, target, members, chunk, then path and offset of each
// member; every number counts 512-byte sectors.
void TempVolume::write_device_table(const std::string &path) const {
    const int64_t member_bytes =
        member_bytes_for(geometry_.capacity_bytes, geometry_.members, geometry_.chunk_bytes);
    std::ostringstream line;
    line << 0 << ' ' << geometry_.members * member_bytes / kSectorBytes << " striped "
         << geometry_.members << ' ' << geometry_.chunk_bytes / kSectorBytes;
    for (const std::string &member : member_paths_) line << ' ' << member << ' ' << 0;
    line << '\n';
    write_text_file(path, line.str());
}

void TempVolume::write_config(const std::string &path, int workers) const {
    std::ostringstream text;
    text << "TYPE=RAID\n"
         << "VKPATH=" << header_dir_ << '\n'
         << "FUSEPATH=/none\n"
         << "DMSETUP=" << table_path_ << '\n'
         << "MAPPER=/none\n"
         << "EXTEND=1G\n"
         << "THREADS=" << workers << '\n';
    write_text_file(path, text.str());
}

std::string TempVolume::add_config(int workers) {
    const std::string path = directory_ + "/volume-" + std::to_string(workers) + "-workers.conf";
    write_config(path, workers);
    return path;
}

std::string default_temp_parent() {
    const char *tmpdir = std::getenv("TMPDIR");
    return (tmpdir != nullptr && tmpdir[0] != '\0') ? tmpdir : "/tmp";
}

int64_t member_bytes_for(int64_t stream_bytes, int members, int64_t chunk_bytes) {
    const int64_t stripe_bytes = members * chunk_bytes;
    const int64_t stripes = (stream_bytes + stripe_bytes - 1) / stripe_bytes;
    return std::max<int64_t>(stripes, 1) * chunk_bytes;
}

}  // namespace kel
