// Configuration file and saved striped-volume table: parsing into FsProps, and the
// accessors that convert between whole-volume and per-device sizes.
#include "closing.h"
#include "internal.h"
#include "saturate.h"

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr int32_t kAllEntries = 127;
constexpr size_t kMaxToken = TIO_PATH_SIZE - 1;
constexpr size_t kMaxType = TIO_TYPE_SIZE - 1;
constexpr size_t kMaxTargetWord = 511;
constexpr int64_t kDefaultDeviceSize = 38411436032LL;

// Reads the next whitespace-separated token as scanf's "%s" would. A token longer than
// `limit` is consumed whole and reported as too long, so it can never overrun a field.
enum class Token { kOk, kTooLong, kEnd };

Token next_token(FILE *file, std::string &token, size_t limit) {
    token.clear();
    int c;
    while ((c = getc(file)) != EOF && isspace(c)) {
    }
    if (c == EOF) return Token::kEnd;
    bool too_long = false;
    for (; c != EOF && !isspace(c); c = getc(file)) {
        if (token.size() < limit) token.push_back(static_cast<char>(c));
        else too_long = true;
    }
    return too_long ? Token::kTooLong : Token::kOk;
}

bool starts_with(const std::string &token, const char *key) {
    return token.compare(0, strlen(key), key) == 0;
}

int32_t to_int32_low_bits(long value) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long>(value)));
}

// One message of several lines: it opens with an empty line and ends with one.
void print_usage() {
    tio::report("\nError! Missing field(s)! Configuration file must contain the following entries:\n"
                "TYPE=<RAMD|RAID>\n"
                "VKPATH=<path_to_tolva_header_files\n"
                "FUSEPATH=<path_to_fuse_mount_point\n"
                "DMSETUP=<path_to_dmsetup_file>\n"
                "MAPPER=<path_to_dev_mapper_entry>\n"
                "EXTEND=<tolva_file_extend_size>\n"
                "THREADS=<num_threads>\n"
                "VKUSER=<user_name>\n");
}

// Reads an int64 sector count and converts it to bytes; false when absent or too big.
bool read_sectors(FILE *file, int64_t &bytes) {
    int64_t sectors;
    if (fscanf(file, "%" SCNd64, &sectors) != 1) return false;
    return !__builtin_mul_overflow(sectors, int64_t{512}, &bytes);
}

bool read_int32(FILE *file, int32_t &value) { return fscanf(file, "%" SCNd32, &value) == 1; }

// A record the rest of the engine can use whatever went wrong: at least one stripe,
// a chunk of at least one byte and 1 .. stripe_count workers.
void make_safe(FsProps *props) {
    if (props->stripe_count < 1) props->stripe_count = 1;
    if (props->chunk_size < 1) props->chunk_size = 1;
    if (props->thread_count > props->stripe_count) props->thread_count = props->stripe_count;
    if (props->thread_count < 1) props->thread_count = 1;
}

void set_defaults(FsProps *props) {
    props->device_size = kDefaultDeviceSize;
    props->start_offset = 0;
    props->stripe_count = 1;
    props->thread_count = 1;
    props->chunk_size = 1;
}

// Why a device table was refused, in the words of the line that reports it.
int32_t refuse(std::string &reason, int32_t status, std::string why) {
    reason = std::move(why);
    return status;
}

// Whether two existing paths name one member: one file (device and inode), or one device
// (its number) under two device nodes. Paths that cannot be looked up are told apart by
// name only; opening them fails later.
bool same_member(const char *a, const char *b) {
    struct stat first, second;
    if (stat(a, &first) != 0 || stat(b, &second) != 0) return false;
    const bool devices = (S_ISBLK(first.st_mode) && S_ISBLK(second.st_mode)) ||
                         (S_ISCHR(first.st_mode) && S_ISCHR(second.st_mode));
    if (devices) return first.st_rdev == second.st_rdev;
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// Two members that are one file would read and write each other's chunks, whether the
// table names it twice or under two names (a link, a second device node).
int32_t find_repeated_member(const DmDevice *devices, int32_t count, std::string &reason) {
    for (int32_t i = 1; i < count; ++i) {
        for (int32_t j = 0; j < i; ++j) {
            const std::string pair = "members " + std::to_string(j) + " and " + std::to_string(i);
            if (strcmp(devices[i].path, devices[j].path) == 0)
                return refuse(reason, -5, pair + " are the same path " + devices[i].path);
            if (same_member(devices[i].path, devices[j].path))
                return refuse(reason, -5, pair + " are one file under two names: " + devices[j].path + " and " +
                                              devices[i].path);
        }
    }
    return 0;
}

int32_t read_members(FILE *table, FsProps *props, std::string &reason) {
    const int32_t count = props->stripe_count;
    auto *devices = static_cast<DmDevice *>(calloc(static_cast<size_t>(count), sizeof(DmDevice)));
    if (devices == nullptr) return refuse(reason, -5, "no memory for its member table");
    std::string path;
    int32_t status = 0;
    for (int32_t i = 0; i < count && status == 0; ++i) {
        const std::string which = "member " + std::to_string(i) + " of " + std::to_string(count);
        const Token kind = next_token(table, path, kMaxToken);
        if (kind == Token::kEnd) {
            status = refuse(reason, -5, which + " is missing");
        } else if (kind == Token::kTooLong) {
            status = refuse(reason, -5, "the path of " + which + " is longer than " + std::to_string(kMaxToken) +
                                            " characters");
        } else if (!read_sectors(table, devices[i].offset)) {
            status = refuse(reason, -5, "the offset of " + which + " is missing, not a number or too large");
        } else {
            memcpy(devices[i].path, path.c_str(), path.size() + 1);
        }
    }
    if (status == 0) status = find_repeated_member(devices, count, reason);
    if (status != 0) {
        free(devices);
        return status;
    }
    props->devices = devices;
    return 0;
}

int32_t parse_table(FILE *table, FsProps *props, std::string &reason) {
    int64_t start_bytes, length_bytes;
    int32_t stripes, chunk_sectors, chunk_bytes, stripe_bytes;
    std::string target;
    if (!read_sectors(table, start_bytes)) return refuse(reason, -5, "the start is missing, not a number or too large");
    if (!read_sectors(table, length_bytes)) return refuse(reason, -5, "the length is missing, not a number or too large");
    if (next_token(table, target, kMaxTargetWord) != Token::kOk) {
        return refuse(reason, -5, "the target type is missing or longer than " + std::to_string(kMaxTargetWord) +
                                      " characters");
    }
    if (!read_int32(table, stripes)) return refuse(reason, -5, "the number of stripes is missing or not a number");
    if (!read_int32(table, chunk_sectors)) return refuse(reason, -5, "the chunk size is missing or not a number");
    if (__builtin_mul_overflow(chunk_sectors, 512, &chunk_bytes)) {
        return refuse(reason, -5, "a chunk of " + std::to_string(chunk_sectors) + " sectors does not fit 32 bits");
    }
    props->start_offset = start_bytes;
    props->device_size = length_bytes;
    props->chunk_size = chunk_bytes;
    if (stripes <= 0) return refuse(reason, -5, std::to_string(stripes) + " stripes, at least 1 is needed");
    if (chunk_bytes <= 0) {
        return refuse(reason, -5, "a chunk of " + std::to_string(chunk_sectors) + " sectors, at least 1 is needed");
    }
    if (__builtin_mul_overflow(stripes, chunk_bytes, &stripe_bytes)) {
        return refuse(reason, -5, std::to_string(stripes) + " stripes of " + std::to_string(chunk_bytes) +
                                      " bytes do not fit 32 bits");
    }
    props->stripe_count = stripes;
    const int32_t status = read_members(table, props, reason);
    if (status != 0) return status;
    if (props->thread_count > props->stripe_count) props->thread_count = props->stripe_count;
    return 0;
}

// Opens the device table for reading. Non-blocking, so that a FIFO without a writer does
// not block the open, and only a regular file is read: reading a FIFO, a terminal or a
// device as a table would wait for input or read something that is no table.
int32_t open_table(const char *path, tio::File &table, std::string &reason) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return refuse(reason, -2, strerror(errno));
    table.reset(fdopen(fd, "r"));
    if (!table) {
        const int error = errno;
        close(fd);
        return refuse(reason, -2, strerror(error));
    }
    struct stat info;
    if (fstat(fd, &info) != 0) return refuse(reason, -2, strerror(errno));
    if (!S_ISREG(info.st_mode)) return refuse(reason, -5, "not a regular file");
    return 0;
}

// The configuration file for reading, or null. Like the table, only a regular file is
// read, and a FIFO does not block the open.
FILE *open_config(const char *path) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return nullptr;
    struct stat info;
    FILE *file = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? fdopen(fd, "r") : nullptr;
    if (!file) close(fd);
    return file;
}

// parse_dm_full with the reason of a failure.
int32_t read_device_table(FsProps *props, std::string &reason) {
    tio::File table;
    const int32_t status = open_table(props->dmsetup_path, table, reason);
    return status != 0 ? status : parse_table(table.get(), props, reason);
}

// read_config, and the optional "DIRECTIO=" entry into *direct_io when it is not null: 1
// for the value 1 exactly, 0 for any other value or none (the last entry counts). The
// entry is none of the seven, so files with or without it read as before.
int32_t read_config_entries(const char *config_path, char *type, char *header_dir, char *fuse_path,
                            char *dmsetup_path, char *mapper_path, int64_t *extend_size, int32_t *thread_count,
                            int32_t *direct_io) {
    if (direct_io) *direct_io = 0;
    tio::File file(config_path ? open_config(config_path) : nullptr);
    if (!file) {
        tio::report("Error! Error reading configuration file: %s! Make sure file exists with correct permissions!",
                    config_path ? config_path : "(null)");
        return -1;
    }
    struct Field {
        const char *key;
        char *dest;
        int32_t bit;
    };
    const Field text_fields[] = {{"VKPATH=", header_dir, 2},
                                 {"FUSEPATH=", fuse_path, 4},
                                 {"DMSETUP=", dmsetup_path, 8},
                                 {"MAPPER=", mapper_path, 16}};
    int32_t bits = 0;
    std::string token;
    for (Token kind; (kind = next_token(file.get(), token, kMaxToken)) != Token::kEnd;) {
        if (kind == Token::kTooLong) continue;  // refused: it would not fit any field
        const int32_t length = static_cast<int32_t>(token.size());
        if (starts_with(token, "TYPE=")) {
            if (token.size() - 5 <= kMaxType) bits |= setConfField(type, token.c_str(), 5, length, 1);
        } else if (starts_with(token, "VERSION=")) {
            // Historic quirk kept for old configuration files: the value is replaced by BOGUS.
            bits |= setConfField(header_dir, "VERSION=BOGUS", 8, length, 2);
        } else if (starts_with(token, "EXTEND=")) {
            *extend_size = parseNum(token.c_str() + 7);
            if (*extend_size >= 2) bits |= 32;
        } else if (starts_with(token, "THREADS=")) {
            *thread_count = to_int32_low_bits(strtol(token.c_str() + 8, nullptr, 10));
            if (*thread_count >= 1 && *thread_count <= 2147483646) bits |= 64;
        } else if (starts_with(token, "DIRECTIO=")) {
            if (direct_io) *direct_io = token == "DIRECTIO=1" ? 1 : 0;
        } else {
            for (const Field &field : text_fields) {
                if (!starts_with(token, field.key)) continue;
                bits |= setConfField(field.dest, token.c_str(), static_cast<int32_t>(strlen(field.key)),
                                     length, field.bit);
                break;
            }
        }
    }
    if (bits == kAllEntries) return 0;
    print_usage();
    return -1;
}

// Builds a record; status receives the first failure (-1, -2 or -5) or 0.
FsProps *build_fs_props(const char *config_path, int32_t *status) {
    auto *props = static_cast<FsProps *>(calloc(1, sizeof(FsProps)));
    if (props == nullptr) {
        *status = -1;
        return nullptr;
    }
    *status = read_config_entries(config_path, props->type, props->header_dir, props->fuse_path,
                                  props->dmsetup_path, props->mapper_path, &props->extend_size,
                                  &props->thread_count, &props->direct_io);
    if (strcmp(props->type, "RAID") == 0) {
        std::string reason;
        const int32_t table_status = read_device_table(props, reason);
        // An incomplete configuration file was reported already; its table is no news.
        if (*status == 0 && table_status != 0) {
            *status = table_status;
            const char *what = table_status == -2 ? "Could not open" : "Unusable";
            tio::report("Error! %s device table %s: %s", what, props->dmsetup_path, reason.c_str());
        }
    } else {
        set_defaults(props);
    }
    make_safe(props);
    return props;
}

// The stripe count as a divisor; a record is never left with fewer than one stripe, but
// the accessors also take records built by callers.
int64_t stripe_divisor(const FsProps *props) { return props->stripe_count < 1 ? 1 : props->stripe_count; }

}  // namespace

extern "C" {

TIO_API int32_t setConfField(char *dest, const char *src, int32_t start, int32_t end, int32_t bit) {
    if (end - start < 1) return 0;
    int32_t out = 0;
    // Stops at the source's end: a caller may pass an end index beyond it.
    for (int32_t i = start; i < end && src[i] != '\0'; ++i) dest[out++] = src[i];
    dest[out] = '\0';
    return bit;
}

TIO_API int64_t parseNum(const char *text) {
    if (text == nullptr) return 0;
    const size_t length = strlen(text);
    if (length == 0) return 0;
    double multiplier = 1.0;
    switch (toupper(static_cast<unsigned char>(text[length - 1]))) {
        case 'K': multiplier = 1024.0; break;
        case 'M': multiplier = 1048576.0; break;
        case 'G': multiplier = 1073741824.0; break;
        case 'T': multiplier = 1099511627776.0; break;
        default: break;
    }
    const std::string number(text, multiplier == 1.0 ? length : length - 1);
    return tio::saturate_truncated(strtod(number.c_str(), nullptr) * multiplier);
}

TIO_API int32_t read_config(const char *config_path, char *type, char *header_dir, char *fuse_path,
                            char *dmsetup_path, char *mapper_path, int64_t *extend_size,
                            int32_t *thread_count) {
    return read_config_entries(config_path, type, header_dir, fuse_path, dmsetup_path, mapper_path, extend_size,
                               thread_count, nullptr);
}

TIO_API int32_t parse_dm_full(FsProps *props) {
    if (props == nullptr) return -5;
    std::string reason;
    return read_device_table(props, reason);
}

TIO_API FsProps *open_fs_props(const char *config_path) {
    int32_t status;
    return build_fs_props(config_path, &status);
}

TIO_API int32_t close_fs_props(FsProps *props) {
    if (props == nullptr) return 0;
    free(props->devices);
    free(props);
    return 0;
}

TIO_API int32_t tio_set_config(TioHandle *handle, const char *config_path) {
    const tio::HandleCall call(handle);
    if (!call) return -1;
    if (handle->initialized) {
        tio::report("Error! The configuration cannot change after init");
        return -1;
    }
    int32_t status;
    FsProps *props = build_fs_props(config_path, &status);
    if (props == nullptr) return -1;
    close_fs_props(handle->props);
    handle->props = props;
    return status;
}

TIO_API int64_t getDeviceSize(FsProps *props) { return props ? props->device_size : -1; }

TIO_API int64_t getStripeSize(FsProps *props) { return props ? static_cast<int64_t>(props->chunk_size) : -1; }

TIO_API int64_t getAdjustedSize(FsProps *props, int64_t size) {
    return props ? size / stripe_divisor(props) : -1;
}

TIO_API int64_t getRelativeSize(FsProps *props, int64_t size) {
    if (props == nullptr) return -1;
    const int64_t stripes = stripe_divisor(props);
    // Same value as (size + stripes - 1) / stripes, without overflowing near INT64_MAX.
    if (size > 0) return size / stripes + (size % stripes != 0 ? 1 : 0);
    return (size + stripes - 1) / stripes;
}

TIO_API int32_t getDeviceProps(FsProps *props, int64_t *device_size, int64_t *per_device_size,
                               int64_t *chunk_size) {
    if (props == nullptr) return -1;
    if (device_size) *device_size = props->device_size;
    if (per_device_size) *per_device_size = props->device_size / stripe_divisor(props);
    if (chunk_size) *chunk_size = props->chunk_size;
    return 0;
}

}  // extern "C"
