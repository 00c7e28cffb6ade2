#include "volume_writer.h"

#include "system_error.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace kel {
namespace {

// The engine reads both files as whitespace-separated words of at most this many bytes
// and skips longer ones.
constexpr size_t kMaxWordBytes = 4095;

// An open descriptor, closed on every path; close() reports a failed close.
class WriteFd {
public:
    WriteFd(const std::string &path, int flags) : path_(path), fd_(::open(path.c_str(), flags | O_CLOEXEC, 0644)) {
        if (fd_ < 0) throw SystemError("open", path, errno);
    }
    ~WriteFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    WriteFd(const WriteFd &) = delete;
    WriteFd &operator=(const WriteFd &) = delete;

    int get() const { return fd_; }
    void close() {
        const int fd = fd_;
        fd_ = -1;
        // Not retried after EINTR: the descriptor is released either way on Linux.
        if (::close(fd) != 0) throw SystemError("close", path_, errno);
    }

private:
    std::string path_;
    int fd_;
};

void write_whole(int fd, const std::string &text, const std::string &path) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) throw SystemError("write", path, errno);
        done += static_cast<size_t>(written);
    }
}

void make_directory(const std::string &path) {
    if (::mkdir(path.c_str(), 0755) != 0) throw SystemError("mkdir", path, errno);
}

// A word of one of the engine's files: it must come back from the file as it went in.
void require_word(const std::string &what, const std::string &word, size_t prefix_bytes = 0) {
    if (word.empty()) throw std::invalid_argument(what + " is empty");
    if (word.find_first_of(" \t\r\n\v\f") != std::string::npos)
        throw std::invalid_argument("path contains white space, which the configuration "
                                    "file cannot hold: " + word);
    if (prefix_bytes + word.size() > kMaxWordBytes)
        throw std::invalid_argument(what + " is longer than " + std::to_string(kMaxWordBytes - prefix_bytes) +
                                    " bytes: " + word.substr(0, 64) + "...");
}

// The engine reads sector counts into bytes in 64 bits.
void require_sectors(const std::string &what, int64_t sectors) {
    if (sectors < 0 || sectors > INT64_MAX / kSectorBytes)
        throw std::invalid_argument(what + " is not a sector count from 0 to " +
                                    std::to_string(INT64_MAX / kSectorBytes) + ": " + std::to_string(sectors));
}

}  // namespace

void make_sparse_file(const std::string &path, int64_t size) {
    WriteFd file(path, O_WRONLY | O_CREAT | O_TRUNC);
    if (::ftruncate(file.get(), size) != 0) throw SystemError("ftruncate", path, errno);
    file.close();
}

void write_text_file(const std::string &path, const std::string &text) {
    WriteFd file(path, O_WRONLY | O_CREAT | O_TRUNC);
    write_whole(file.get(), text, path);
    file.close();
}

std::string device_table_text(const DeviceTable &table) {
    if (table.members.empty()) throw std::invalid_argument("a volume needs at least one member");
    if (table.chunk_sectors < 1) throw std::invalid_argument("a chunk needs at least one 512-byte sector");
    // The engine keeps a stripe's size in 32 bits.
    if (table.chunk_sectors > INT32_MAX / kSectorBytes / static_cast<int64_t>(table.members.size()))
        throw std::invalid_argument("a stripe (chunk times members) must stay below 2 GiB");
    require_sectors("the table's start", table.start_sectors);
    require_sectors("the table's length", table.length_sectors);
    std::ostringstream line;
    line << table.start_sectors << ' ' << table.length_sectors << " striped " << table.members.size() << ' '
         << table.chunk_sectors;
    for (const TableMember &member : table.members) {
        require_word("a member path", member.path);
        require_sectors("the offset of " + member.path, member.offset_sectors);
        line << ' ' << member.path << ' ' << member.offset_sectors;
    }
    line << '\n';
    return line.str();
}

void write_device_table(const std::string &path, const DeviceTable &table) {
    write_text_file(path, device_table_text(table));
}

std::string config_text(const VolumeConfig &config) {
    if (config.threads < 1) throw std::invalid_argument("a volume needs at least one worker thread");
    const std::pair<const char *, const std::string *> entries[] = {
        {"TYPE=", &config.type},       {"VKPATH=", &config.header_dir},    {"FUSEPATH=", &config.fuse_path},
        {"DMSETUP=", &config.table_path}, {"MAPPER=", &config.mapper_path}, {"EXTEND=", &config.extend},
    };
    std::string text;
    for (const auto &[key, value] : entries) {
        require_word(std::string(key) + " value", *value, std::strlen(key));
        text += key + *value + '\n';
    }
    return text + "THREADS=" + std::to_string(config.threads) + '\n';
}

void write_config_file(const std::string &path, const VolumeConfig &config) {
    write_text_file(path, config_text(config));
}

int64_t member_bytes_for(int64_t stream_bytes, int members, int64_t chunk_bytes) {
    const int64_t stripe_bytes = members * chunk_bytes;
    const int64_t stripes = (stream_bytes + stripe_bytes - 1) / stripe_bytes;
    return std::max<int64_t>(stripes, 1) * chunk_bytes;
}

namespace {

// Writes the table, the header directory and the configuration file of a volume whose
// members are member_paths; make_members (when set) makes the member files first.
VolumeFiles write_volume(const std::string &directory, const std::vector<std::string> &member_paths,
                         const VolumeGeometry &geometry, bool make_members) {
    if (member_paths.empty() || geometry.workers < 1)
        throw std::invalid_argument("a volume needs at least one member and one worker");
    const int64_t members = static_cast<int64_t>(member_paths.size());
    if (geometry.chunk_bytes < kSectorBytes || geometry.chunk_bytes % kSectorBytes != 0)
        throw std::invalid_argument("the chunk size must be a multiple of 512 bytes");
    if (geometry.member_bytes < geometry.chunk_bytes || geometry.member_bytes % geometry.chunk_bytes != 0)
        throw std::invalid_argument("every member must hold whole chunks, at least one");
    if (geometry.member_bytes > INT64_MAX / members)
        throw std::invalid_argument("the volume's size does not fit 64 bits");

    VolumeFiles files;
    files.table_path = directory + "/volume.table";
    files.config_path = directory + "/volume.conf";
    files.header_dir = directory + "/headers";
    files.member_paths = member_paths;
    DeviceTable table;
    table.length_sectors = members * (geometry.member_bytes / kSectorBytes);
    table.chunk_sectors = geometry.chunk_bytes / kSectorBytes;
    for (const std::string &member : member_paths) table.members.push_back({member, 0});
    files.config = VolumeConfig{"RAID", files.header_dir, directory + "/mnt", files.table_path, "/none", "1G",
                                geometry.workers};
    // Everything is checked before the first file is made.
    const std::string table_text = device_table_text(table);
    const std::string configuration = config_text(files.config);

    if (make_members) {
        make_directory(directory + "/members");
        for (const std::string &member : member_paths) make_sparse_file(member, geometry.member_bytes);
    }
    make_directory(files.header_dir);
    write_text_file(files.table_path, table_text);
    write_text_file(files.config_path, configuration);
    return files;
}

}  // namespace

VolumeFiles create_volume(const std::string &directory, const VolumeGeometry &geometry) {
    if (geometry.members < 1) throw std::invalid_argument("a volume needs at least one member and one worker");
    std::vector<std::string> member_paths;
    for (int m = 0; m < geometry.members; ++m) member_paths.push_back(directory + "/members/m" + std::to_string(m));
    return write_volume(directory, member_paths, geometry, true);
}

VolumeFiles create_volume_on(const std::string &directory, const std::vector<std::string> &member_paths,
                             VolumeGeometry geometry) {
    geometry.members = static_cast<int>(member_paths.size());
    return write_volume(directory, member_paths, geometry, false);
}

}  // namespace kel
