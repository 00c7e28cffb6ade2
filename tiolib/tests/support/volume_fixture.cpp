#include "volume_fixture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <linux/loop.h>
#include <sstream>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tio_test {

namespace {

std::string errno_text(const std::string &call, const std::string &path) {
    return call + "(" + path + "): " + std::strerror(errno);
}

uint64_t splitmix64(uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

std::vector<uint8_t> read_fd_all(int fd, int64_t limit) {
    std::vector<uint8_t> data;
    uint8_t block[65536];
    while (limit < 0 || int64_t(data.size()) < limit) {
        size_t want = sizeof block;
        if (limit >= 0) want = std::min<int64_t>(want, limit - int64_t(data.size()));
        ssize_t got = ::read(fd, block, want);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        data.insert(data.end(), block, block + got);
    }
    return data;
}

std::string temp_file_path(const char *stem) {
    std::string templ = std::string("/tmp/") + stem + "_XXXXXX";
    int fd = mkstemp(templ.data());
    if (fd < 0) throw std::runtime_error(errno_text("mkstemp", templ));
    ::close(fd);
    return templ;
}

}  // namespace

// ---- Files ---------------------------------------------------------------------------

ScratchDir::ScratchDir() {
    std::string templ = "/tmp/tio_engine_XXXXXX";
    if (!mkdtemp(templ.data())) throw std::runtime_error(errno_text("mkdtemp", templ));
    path_ = templ;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void write_text(const std::string &path, const std::string &text) {
    FILE *file = std::fopen(path.c_str(), "we");
    if (!file) throw std::runtime_error(errno_text("fopen", path));
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

std::vector<uint8_t> read_all(const std::string &path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    std::vector<uint8_t> data = read_fd_all(fd, -1);
    ::close(fd);
    return data;
}

void make_sparse(const std::string &path, int64_t size) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error(errno_text("open", path));
    if (::ftruncate(fd, size) != 0) {
        ::close(fd);
        throw std::runtime_error(errno_text("ftruncate", path));
    }
    ::close(fd);
}

int open_fd_count() {
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (!dir) return -1;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count - 1;  // the descriptor of the listing itself
}

// ---- Volume geometry and the round-robin model ---------------------------------------

int64_t Geometry::member_offset_bytes(int member) const {
    if (!member_sectors.empty()) return member_sectors.at(member) * 512;
    // Different, non-zero and not chunk-aligned, so a position taken from the wrong
    // member or without its offset shows.
    return int64_t(3 + 5 * member) * 512;
}

Placement place_stream_byte(const Geometry &geometry, int64_t write_offset, int64_t index) {
    const int64_t unit = geometry.chunk_bytes();
    const int64_t chunk = index / unit;
    const int member = int(chunk % geometry.members);
    const int64_t row = chunk / geometry.members;
    return {member, geometry.start_sector * 512 + geometry.member_offset_bytes(member) +
                        write_offset + row * unit + index % unit};
}

std::vector<std::vector<uint8_t>> expected_member_images(const Geometry &geometry,
                                                         int64_t write_offset,
                                                         const std::vector<uint8_t> &stream) {
    std::vector<std::vector<uint8_t>> images(geometry.members);
    for (size_t i = 0; i < stream.size(); ++i) {
        Placement where = place_stream_byte(geometry, write_offset, int64_t(i));
        std::vector<uint8_t> &image = images[where.member];
        if (int64_t(image.size()) <= where.position) image.resize(where.position + 1, 0);
        image[where.position] = stream[i];
    }
    return images;
}

std::string compare_image(const std::vector<uint8_t> &actual,
                          const std::vector<uint8_t> &expected) {
    const size_t common = std::min(actual.size(), expected.size());
    for (size_t i = 0; i < common; ++i) {
        if (actual[i] != expected[i]) {
            std::ostringstream text;
            text << "byte at position " << i << " is " << int(actual[i]) << ", expected "
                 << int(expected[i]);
            return text.str();
        }
    }
    for (size_t i = common; i < expected.size(); ++i) {
        if (expected[i] != 0) {
            std::ostringstream text;
            text << "only " << actual.size() << " bytes, expected " << expected.size();
            return text.str();
        }
    }
    for (size_t i = common; i < actual.size(); ++i) {
        if (actual[i] != 0) {
            std::ostringstream text;
            text << "unexpected data at position " << i << " past the written region (ends at "
                 << expected.size() << ")";
            return text.str();
        }
    }
    return "";
}

std::vector<uint8_t> pattern_bytes(size_t count, uint64_t seed) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; i += 8) {
        uint64_t word = splitmix64(seed * 0x100000001b3ull + i);
        for (size_t j = 0; j < 8 && i + j < count; ++j) bytes[i + j] = uint8_t(word >> (8 * j));
    }
    return bytes;
}

// ---- A striped volume ------------------------------------------------------------------

std::string config_text(const std::string &header_dir, const std::string &table_path,
                        int threads, const std::string &type) {
    std::ostringstream text;
    text << "TYPE=" << type << "\nVKPATH=" << header_dir << "\nFUSEPATH=/mnt/fuse\nDMSETUP="
         << table_path << "\nMAPPER=/dev/mapper/volume\nEXTEND=1G\nTHREADS=" << threads
         << "\nVKUSER=tester\n";
    return text.str();
}

StripedVolume::StripedVolume(const ScratchDir &dir, const Geometry &geometry,
                             std::vector<std::string> member_paths)
    : geometry_(geometry), members_(std::move(member_paths)) {
    if (members_.empty()) {
        for (int m = 0; m < geometry.members; ++m) {
            members_.push_back(dir.file("member" + std::to_string(m)));
            make_sparse(members_.back(), 0);
        }
    }
    table_path_ = dir.file("volume.table");
    config_path_ = dir.file("volume.conf");
    std::ostringstream table;
    table << geometry.start_sector << " " << int64_t(geometry.members) * 2048 << " striped "
          << geometry.members << " " << geometry.chunk_sectors;
    for (int m = 0; m < geometry.members; ++m)
        table << " " << members_[m] << " " << geometry.member_offset_bytes(m) / 512;
    table << "\n";
    write_text(table_path_, table.str());
    write_text(config_path_, config_text(dir.path(), table_path_, geometry.workers));
}

std::vector<std::vector<uint8_t>> StripedVolume::read_members(int64_t limit) const {
    std::vector<std::vector<uint8_t>> contents;
    for (const std::string &path : members_) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        contents.push_back(fd < 0 ? std::vector<uint8_t>{} : read_fd_all(fd, limit));
        if (fd >= 0) ::close(fd);
    }
    return contents;
}

// ---- Handles ---------------------------------------------------------------------------

TioHandle *open_engine(const std::string &config_path, int dir, std::string *why) {
    TioHandle *handle = tio_open();
    if (!handle) {
        *why = "tio_open returned null";
        return nullptr;
    }
    int rc = tio_set_config(handle, config_path.c_str());
    if (rc != 0) {
        *why = "tio_set_config returned " + std::to_string(rc);
    } else if ((rc = tio_set_dir(handle, dir)) != 0) {
        *why = "tio_set_dir returned " + std::to_string(rc);
    } else if ((rc = tio_init(handle)) != 0) {
        *why = "tio_init returned " + std::to_string(rc);
    } else {
        return handle;
    }
    tio_close(handle);
    return nullptr;
}

bool write_in_pieces(TioHandle *handle, const std::vector<uint8_t> &stream,
                     const std::vector<int64_t> &pieces, std::string *why) {
    int64_t done = 0;
    for (int64_t piece : pieces) {
        int32_t rc = tio_write(handle, stream.data() + done, piece);
        if (rc != int32_t(piece)) {
            *why = "tio_write of " + std::to_string(piece) + " bytes at stream byte " +
                   std::to_string(done) + " returned " + std::to_string(rc);
            return false;
        }
        done += piece;
    }
    if (done != int64_t(stream.size())) {
        *why = "pieces add up to " + std::to_string(done) + ", not the stream's size";
        return false;
    }
    return true;
}

std::vector<int64_t> read_pieces(int64_t total, int64_t chunk,
                                 const std::vector<int> &chunk_counts) {
    std::vector<int64_t> pieces;
    int64_t left = total;
    for (size_t i = 0; left > 0; ++i) {
        int64_t piece = std::min<int64_t>(left, chunk * chunk_counts[i % chunk_counts.size()]);
        pieces.push_back(piece);
        left -= piece;
    }
    return pieces;
}

bool read_back(const std::string &config_path, int64_t write_offset, int64_t total,
               const std::vector<int64_t> &pieces, std::vector<uint8_t> *out, std::string *why) {
    TioHandle *handle = open_engine(config_path, -1, why);
    if (!handle) return false;
    const int64_t unit = handle->props->chunk_size;
    bool ok = false;
    int rc = 0;
    out->clear();
    if ((rc = tio_set_offset(handle, write_offset)) != 0) {
        *why = "tio_set_offset returned " + std::to_string(rc);
    } else if ((rc = tio_launch_read_threads(handle, total)) != 0) {
        *why = "tio_launch_read_threads returned " + std::to_string(rc);
    } else {
        ok = true;
        for (int64_t piece : pieces) {
            // Room for whole chunks: a read call copies every chunk whole.
            std::vector<uint8_t> buffer((piece + unit - 1) / unit * unit, 0);
            rc = tio_read(handle, buffer.data(), piece);
            if (rc != int32_t(piece)) {
                *why = "tio_read of " + std::to_string(piece) + " bytes at stream byte " +
                       std::to_string(out->size()) + " returned " + std::to_string(rc);
                ok = false;
                break;
            }
            out->insert(out->end(), buffer.begin(), buffer.begin() + piece);
        }
        if (ok && (rc = tio_join_threads(handle)) != 0) {
            *why = "tio_join_threads returned " + std::to_string(rc);
            ok = false;
        }
    }
    if ((rc = tio_close(handle)) != 0 && ok) {
        *why = "tio_close returned " + std::to_string(rc);
        ok = false;
    }
    return ok;
}

// ---- Streams written in pieces -------------------------------------------------------

const std::vector<PiecePlan> &piece_plans() {
    static const std::vector<PiecePlan> plans = {
        {"HalfChunks",
         [](int64_t u, int) { return std::vector<int64_t>{u * 5 / 2, u * 5 / 2, u * 5 / 2, u / 2}; }},
        {"WholeStripes",
         [](int64_t u, int s) { return std::vector<int64_t>{s * u, 2 * s * u, s * u}; }},
        {"TinyPieces",
         [](int64_t u, int s) {
             return std::vector<int64_t>{1, 7, 500, u - 508, u, 3, 2 * u + 1, 13, s * u - 1, 2};
         }},
        {"Mixed",
         [](int64_t u, int s) {
             return std::vector<int64_t>{u * 5 / 2, s * u, 1,           u - 1,  3 * u + 17,
                                         2 * s * u + u / 2, 5, u / 2 - 5, (s - 1) * u, 4 * s * u + 3};
         }},
        {"RandomPieces",
         [](int64_t u, int s) {
             // 150 calls of 0 to 3 chunks and a bit, the same every run.
             std::vector<int64_t> pieces;
             for (uint64_t i = 0; i < 150; ++i) {
                 const uint64_t draw = splitmix64(i * 7919 + uint64_t(s));
                 pieces.push_back(draw % 16 == 0 ? 0 : int64_t(draw % uint64_t(3 * u + 1)));
             }
             return pieces;
         }},
    };
    return plans;
}

void check_stream_round_trip(const StripedVolume &volume, const std::vector<int64_t> &pieces,
                             int64_t write_offset, uint64_t seed) {
    const Geometry &geometry = volume.geometry();
    const int64_t unit = geometry.chunk_bytes();
    int64_t total = 0;
    for (int64_t piece : pieces) total += piece;
    const std::vector<uint8_t> stream = pattern_bytes(size_t(total), seed);
    Watchdog watchdog(std::chrono::seconds(120), "writing and reading back a stream");

    std::string why;
    TioHandle *writer = open_engine(volume.config_path(), 1, &why);
    ASSERT_NE(writer, nullptr) << why;
    ASSERT_EQ(tio_set_offset(writer, write_offset), 0);
    int64_t written = 0;
    for (int64_t piece : pieces) {
        ASSERT_EQ(tio_write(writer, stream.data() + written, piece), int32_t(piece))
            << "piece of " << piece << " bytes at stream byte " << written;
        written += piece;
        // The next byte of the stream belongs to chunk written / U; its device is where
        // the next call starts, and the part of that chunk already written is the fill.
        EXPECT_EQ(writer->stripe_phase, int32_t((written / unit) % geometry.members))
            << "after " << written << " bytes";
        EXPECT_EQ(writer->chunk_fill, int32_t(written % unit)) << "after " << written << " bytes";
    }
    EXPECT_EQ(tio_wait_threads(writer), 0);
    ASSERT_EQ(tio_close(writer), 0);

    const std::vector<std::vector<uint8_t>> expected =
        expected_member_images(geometry, write_offset, stream);
    const std::vector<std::vector<uint8_t>> actual = volume.read_members();
    for (int m = 0; m < geometry.members; ++m)
        EXPECT_EQ(compare_image(actual[m], expected[m]), "") << "member " << m;

    const std::vector<std::vector<int>> read_cuttings = {{1, 3, geometry.members, 2 * geometry.members + 1},
                                                        {1 << 20}};
    for (const std::vector<int> &cutting : read_cuttings) {
        std::vector<uint8_t> back;
        const std::vector<int64_t> read_sizes = read_pieces(total, unit, cutting);
        ASSERT_TRUE(read_back(volume.config_path(), write_offset, total, read_sizes, &back, &why))
            << why;
        ASSERT_EQ(back.size(), stream.size());
        size_t first_difference = 0;
        while (first_difference < back.size() && back[first_difference] == stream[first_difference])
            ++first_difference;
        EXPECT_EQ(first_difference, stream.size())
            << "read back in " << read_sizes.size() << " calls differs first at stream byte "
            << first_difference;
    }
}

// ---- Output, hangs and children --------------------------------------------------------

StdoutCapture::StdoutCapture() {
    path_ = temp_file_path("tio_stdout");
    std::fflush(stdout);
    saved_fd_ = ::dup(STDOUT_FILENO);
    int fd = ::open(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    ::dup2(fd, STDOUT_FILENO);
    ::close(fd);
}

StdoutCapture::~StdoutCapture() { finish(); }

std::string StdoutCapture::finish() {
    if (done_) return text_;
    done_ = true;
    std::fflush(stdout);
    ::dup2(saved_fd_, STDOUT_FILENO);
    ::close(saved_fd_);
    std::vector<uint8_t> bytes = read_all(path_);
    ::unlink(path_.c_str());
    text_.assign(bytes.begin(), bytes.end());
    return text_;
}

int count_error_lines(const std::string &text) {
    int count = 0;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("Error!", 0) == 0) ++count;
    }
    return count;
}

Watchdog::Watchdog(std::chrono::seconds limit, std::string what) {
    thread_ = std::thread([this, limit, what = std::move(what)] {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!wake_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr, "\nHANG: %s did not finish within %lld s\n", what.c_str(),
                         static_cast<long long>(limit.count()));
            std::fflush(stderr);
            _exit(3);
        }
    });
}

Watchdog::~Watchdog() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

ChildResult run_in_child(const std::function<int()> &body, unsigned seconds) {
    ChildResult result;
    const std::string out_path = temp_file_path("tio_child");
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = ::open(out_path.c_str(), O_WRONLY | O_TRUNC);
        ::dup2(fd, STDOUT_FILENO);
        ::close(fd);
        alarm(seconds);
        int code = body();
        std::fflush(stdout);
        _exit(code);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exited = WIFEXITED(status);
    result.exit_code = result.exited ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    std::vector<uint8_t> bytes = read_all(out_path);
    result.stdout_text.assign(bytes.begin(), bytes.end());
    ::unlink(out_path.c_str());
    return result;
}

// ---- Loop devices ----------------------------------------------------------------------

std::string LoopDevice::unavailable_reason() {
    if (geteuid() != 0) return "not running as root";
    int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (control < 0) return errno_text("open", "/dev/loop-control");
    ::close(control);
    ScratchDir dir;
    make_sparse(dir.file("probe"), 1 << 20);
    LoopDevice probe(dir.file("probe"));
    return probe.attached() ? "" : probe.error();
}

LoopDevice::LoopDevice(const std::string &backing_file) {
    int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (control < 0) {
        error_ = errno_text("open", "/dev/loop-control");
        return;
    }
    int backing = ::open(backing_file.c_str(), O_RDWR | O_CLOEXEC);
    if (backing < 0) {
        error_ = errno_text("open", backing_file);
        ::close(control);
        return;
    }
    // Other programs may claim the same free device between the query and the attach.
    for (int attempt = 0; attempt < 50 && fd_ < 0; ++attempt) {
        int number = ::ioctl(control, LOOP_CTL_GET_FREE);
        if (number < 0) {
            error_ = errno_text("ioctl LOOP_CTL_GET_FREE", "/dev/loop-control");
            break;
        }
        std::string path = "/dev/loop" + std::to_string(number);
        struct stat info;
        if (::stat(path.c_str(), &info) != 0)
            ::mknod(path.c_str(), S_IFBLK | 0660, makedev(7, number));
        int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            error_ = errno_text("open", path);
            continue;
        }
        if (::ioctl(fd, LOOP_SET_FD, backing) != 0) {
            error_ = errno_text("ioctl LOOP_SET_FD", path);
            ::close(fd);
            continue;
        }
        // Detached by the kernel on the last close, also when the test dies.
        loop_info64 info64{};
        info64.lo_flags = LO_FLAGS_AUTOCLEAR;
        ::ioctl(fd, LOOP_SET_STATUS64, &info64);
        fd_ = fd;
        path_ = path;
        error_.clear();
    }
    ::close(backing);
    ::close(control);
}

LoopDevice::~LoopDevice() {
    if (fd_ < 0) return;
    ::fsync(fd_);
    ::ioctl(fd_, LOOP_CLR_FD, 0);
    ::close(fd_);
}

}  // namespace tio_test
