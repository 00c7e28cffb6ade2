#include "transfer.h"

#include "aligned_buffer.h"
#include "failure.h"
#include "free_space.h"
#include "header_names.h"
#include "header_dir.h"
#include "interrupts.h"
#include "layout.h"
#include "output_file.h"
#include "printers.h"
#include "progress.h"
#include "system_error.h"
#include "writer_mark.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvol {
namespace {

constexpr int64_t kTransferBuffer = int64_t{4} << 20;

// A transfer buffer of whole stripes, at least one.
int64_t buffer_bytes(const kel::VolumeProps &props) {
    const int64_t stripe = props.chunk_bytes * props.members;
    return std::max<int64_t>(1, kTransferBuffer / stripe) * stripe;
}

kel::EngineHandle open_handle(const Volume &volume, kel::Direction direction) {
    take_engine_messages();
    try {
        return kel::EngineHandle(volume.config_path, direction);
    } catch (const std::exception &) {
        throw Failure(volume.config_path,
                      with_engine_messages(direction == kel::Direction::read ? "cannot open the members for reading"
                                                                             : "cannot open the members for writing"));
    }
}

// The data file's ".det" file, read whole and ready to be read back.
kel::DetFile exportable_data_file(const Volume &volume, const std::string &name) {
    const std::string det_path = kel::det_path_of(volume.props.header_dir, name);
    struct stat info {};
    if (::stat(det_path.c_str(), &info) != 0)
        throw Failure(det_path, errno == ENOENT ? "no such data file" : system_reason("stat", errno));
    kel::DetFile file = kel::read_det_file(det_path);
    if (file.state == kel::DetState::unreadable) throw Failure(det_path, "unreadable: " + file.error);
    if (!kel::holds_recorded_data(file.state))
        throw Failure(det_path, std::string("the data file is ") + kel::state_name(file.state) +
                                    (file.error.empty() ? ", not ok" : ": " + file.error));
    const tio::StripeLayout layout = volume.props.layout();
    for (size_t i = 0; i < file.entries.size(); ++i) {
        const DetEntry &entry = file.entries[i];
        if (entry.length < 0 || tio::extent_end(layout, entry.offset, entry.length) > volume.member_size())
            throw Failure(det_path, "extent " + std::to_string(i) + " (offset " + std::to_string(entry.offset) +
                                        ", length " + std::to_string(entry.length) + ") runs past the members' end");
    }
    return file;
}

// The ".det" file of a new data file. It must lie in the header directory and be named as
// a data file, or the allocator would never count its extents (and repair would take an
// "r_" file for a reservation).
std::string importable_det_path(const Volume &volume, const std::string &name) {
    const std::string det_path = kel::det_path_of(volume.props.header_dir, name);
    const size_t slash = det_path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : det_path.substr(0, slash + 1);
    const std::string file_name = det_path.substr(slash + 1);
    if (name.empty() || !tio::is_det_name(file_name))
        throw Failure(det_path, "not a data file's name: a NAME, or a path ending in NAME.det");
    if (tio::is_reservation_name(file_name))
        throw Failure(det_path, "a name that begins with r_ is a reservation's, not a data file's");
    char *here = ::realpath(directory.c_str(), nullptr);
    char *headers = ::realpath(volume.props.header_dir.c_str(), nullptr);
    const bool inside = here != nullptr && headers != nullptr && std::string(here) == headers;
    std::free(here);
    std::free(headers);
    if (!inside) throw Failure(det_path, "not in the volume's header directory " + volume.props.header_dir);
    return det_path;
}

int64_t total_length(const kel::DetFile &file) {
    int64_t total = 0;
    for (const DetEntry &entry : file.entries) total += entry.length;
    return total;
}

// Where a name is claimed for an import: the ".det" file, created empty so that a second
// import of the same name is refused, and removed with its writer mark unless the import
// succeeds.
class ClaimedName {
public:
    explicit ClaimedName(const std::string &det_path) : path_(det_path) {
        const int fd = ::open(det_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd < 0) throw Failure(det_path, errno == EEXIST ? "the data file exists" : system_reason("create", errno));
        ::close(fd);
    }
    ~ClaimedName() {
        if (kept_) return;
        ::unlink(path_.c_str());
        ::unlink(tio::writer_mark_path(path_).c_str());
    }
    ClaimedName(const ClaimedName &) = delete;
    ClaimedName &operator=(const ClaimedName &) = delete;
    void keep() { kept_ = true; }

private:
    std::string path_;
    bool kept_ = false;
};

class InputFile {
public:
    explicit InputFile(const std::string &path) : path_(path) {
        fd_ = path == "-" ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (fd_ < 0) throw Failure(path, system_reason("open", errno));
        struct stat info {};
        if (::fstat(fd_, &info) != 0) throw Failure(path, system_reason("fstat", errno));
        if (S_ISDIR(info.st_mode)) throw Failure(path, std::strerror(EISDIR));
        // A file of the proc and sys file systems says it holds 0 bytes and has content:
        // it is read to its end, like a stream.
        if (S_ISREG(info.st_mode) && info.st_size > 0) {
            const off_t at = ::lseek(fd_, 0, SEEK_CUR);
            size_ = info.st_size - std::max<off_t>(at, 0);
        }
    }
    ~InputFile() {
        if (fd_ != STDIN_FILENO) ::close(fd_);
    }
    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;

    // The bytes a regular file holds; nullopt for a stream, or a file that does not tell.
    std::optional<int64_t> size() const { return size_; }

    // Up to `bytes` bytes, as one read delivers them; 0 at the end.
    int64_t read(uint8_t *buffer, int64_t bytes) {
        for (;;) {
            const ssize_t got = ::read(fd_, buffer, static_cast<size_t>(bytes));
            if (got >= 0) return got;
            if (errno != EINTR) throw Failure(path_, system_reason("read", errno));
            InterruptGuard::check(path_);
        }
    }

private:
    std::string path_;
    int fd_ = -1;
    std::optional<int64_t> size_;
};

// Writes the input into the data file's extents as they are reserved: the first when the
// first bytes arrive (so that a stream that never delivers holds no space), of first_bytes,
// then extents of extent_bytes.
class ExtentWriter {
public:
    ExtentWriter(TioHandle *handle, const std::string &det_path, int64_t first_bytes, int64_t extent_bytes)
        : handle_(handle), det_path_(det_path), first_bytes_(first_bytes), extent_bytes_(extent_bytes) {}

    void write(const uint8_t *data, int64_t bytes) {
        while (bytes > 0) {
            if (room_ == 0) reserve(reserved_ ? extent_bytes_ : first_bytes_);
            const int64_t piece = std::min(bytes, room_);
            take_engine_messages();
            if (tio_write(handle_, data, piece) != piece)
                throw Failure(det_path_, with_engine_messages("writing to the members failed"));
            data += piece;
            bytes -= piece;
            room_ -= piece;
            written_ += piece;
        }
    }

    // An input that delivered nothing is recorded as an empty data file.
    void finish() {
        if (!reserved_) reserve(0);
    }

    int64_t written() const { return written_; }

private:
    void reserve(int64_t bytes) {
        take_engine_messages();
        const int64_t offset = reserved_ ? tio_update_det(handle_, det_path_.c_str(), bytes)
                                         : tio_write_det(handle_, det_path_.c_str(), bytes);
        if (offset < 0) throw Failure(det_path_, reservation_failure(bytes));
        reserved_ = true;
        if (tio_set_offset(handle_, offset) != 0)
            throw Failure(det_path_, with_engine_messages("cannot position the members at the new extent"));
        room_ = bytes;
    }

    // Why no extent was reserved: no room only when the volume indeed has no gap that
    // large; otherwise what the engine said (a lock file or a file system that failed).
    std::string reservation_failure(int64_t bytes) {
        const std::string said = take_engine_messages();
        const int64_t largest = kel::largest_grantable_request(handle_->props);
        take_engine_messages();
        const std::string extent = "an extent of " + std::to_string(bytes) + " bytes";
        if (largest >= 0 && largest < bytes)
            return "no room on the volume for " + extent + (said.empty() ? "" : " (" + said + ")");
        return "cannot reserve " + extent + ": " + (said.empty() ? "the engine gave no reason" : said);
    }

    TioHandle *handle_;
    std::string det_path_;
    int64_t first_bytes_;
    int64_t extent_bytes_;
    bool reserved_ = false;
    int64_t room_ = 0;
    int64_t written_ = 0;
};

// What an export of an interrupted recording says besides its bytes.
std::string interrupted_note(const kel::DetFile &file) {
    const std::string writer = file.writer_pid > 0 ? "writer " + std::to_string(file.writer_pid) : "its writer";
    return "kelvol: " + file.path + ": an interrupted recording (" + writer +
           " ended before finalising it): the bytes after the cut may never have been written";
}

}  // namespace

void export_data_file(const Volume &volume, const ExportOptions &options) {
    const InterruptGuard interrupts;
    const kel::DetFile file = exportable_data_file(volume, options.name);
    if (options.out != "-") refuse_volume_file(volume, options.out);
    OutputFile out(options.out);
    kel::EngineHandle reader = open_handle(volume, kel::Direction::read);
    const int64_t chunk = volume.props.chunk_bytes;
    kel::AlignedBuffer buffer(buffer_bytes(volume.props));
    Progress progress("export " + printable(file.name), total_length(file), Progress::wanted(options.quiet));
    int64_t done = 0;
    for (const DetEntry &entry : file.entries) {
        if (entry.length == 0) continue;
        take_engine_messages();
        if (tio_set_offset(reader.get(), entry.offset) != 0 || tio_launch_read_threads(reader.get(), entry.length) != 0)
            throw Failure(file.path, with_engine_messages("cannot start reading extent at offset " +
                                                          std::to_string(entry.offset)));
        for (int64_t left = entry.length; left > 0;) {
            InterruptGuard::check(options.out);
            // Whole chunks, but the extent's last one.
            const int64_t piece = std::min(left, buffer.size() / chunk * chunk);
            if (tio_read(reader.get(), buffer.data(), piece) != piece)
                throw Failure(file.path, with_engine_messages("reading the members failed at data byte " +
                                                              std::to_string(done)));
            out.write(buffer.data(), piece);
            left -= piece;
            done += piece;
            progress.update(done);
        }
        if (tio_join_threads(reader.get()) != 0) throw Failure(file.path, with_engine_messages("reading ended badly"));
    }
    try {
        reader.close();
    } catch (const std::exception &) {
        throw Failure(file.path, with_engine_messages("closing the members failed"));
    }
    progress.finish();
    out.commit();
    if (file.state == kel::DetState::interrupted) std::fprintf(stderr, "%s\n", printable(interrupted_note(file)).c_str());
}

void import_data_file(const Volume &volume, const ImportOptions &options) {
    const InterruptGuard interrupts;
    if (options.extent_bytes < 1) throw Failure(options.in, "an extent needs at least one byte");
    const std::string det_path = importable_det_path(volume, options.name);
    struct stat existing {};
    if (::lstat(det_path.c_str(), &existing) == 0) throw Failure(det_path, "the data file exists");
    InputFile in(options.in);
    ClaimedName claim(det_path);
    kel::EngineHandle writer = open_handle(volume, kel::Direction::write);

    const std::optional<int64_t> size = in.size();
    ExtentWriter extents(writer.get(), det_path, size.value_or(options.extent_bytes), options.extent_bytes);
    kel::AlignedBuffer buffer(buffer_bytes(volume.props));
    Progress progress("import " + printable(options.name), size.value_or(-1), Progress::wanted(options.quiet));
    for (;;) {
        InterruptGuard::check(options.in);
        const int64_t wanted = size ? std::min(buffer.size(), *size - extents.written()) : buffer.size();
        if (wanted == 0) break;
        const int64_t got = in.read(buffer.data(), wanted);
        if (got == 0) {
            if (size) throw Failure(options.in, "it ended after " + std::to_string(extents.written()) +
                                                    " of its " + std::to_string(*size) + " bytes");
            break;
        }
        extents.write(buffer.data(), got);
        progress.update(extents.written());
    }
    extents.finish();
    take_engine_messages();
    if (tio_wait_threads(writer.get()) != 0)
        throw Failure(det_path, with_engine_messages("writing to the members failed"));
    // The last extent of a stream was reserved whole; its recorded length becomes exact.
    int64_t recorded = -1;
    if (tio_finalize_det(writer.get(), det_path.c_str(), extents.written()) < 0 ||
        accumDetSize(det_path.c_str(), &recorded) != 0 || recorded != extents.written())
        throw Failure(det_path, with_engine_messages("cannot record the data file's final size"));
    try {
        writer.close();
    } catch (const std::exception &) {
        throw Failure(det_path, with_engine_messages("writing to the members failed"));
    }
    progress.finish();
    claim.keep();
}

}  // namespace kelvol
