// The writer mark of a data file being recorded: a companion file "NAME.det.writer" beside
// its ".det" file, from the allocation of its first extent until its finalisation commits.
// A mark whose writer is gone names an interrupted recording: its ".det" file still counts
// the reserved bytes that were never written. The engine writes marks (writer_mark.cpp);
// the engine and the tools read them through the inline functions here.
//
// Content, one line: "STATE PID START BOOT\n". STATE is "recording", or "closed" once the
// writer's handle was closed without finalising; START is the writer's start time in clock
// ticks after boot (field 22 of /proc/PID/stat), which tells the writer from a later
// process that reuses its pid; BOOT is the boot id, which tells it from a process of an
// earlier boot.
//
// A companion file rather than an extended attribute: it works on every file system a
// header directory may live on (tmpfs, NFS, FUSE), survives copies of the directory made
// without attribute support, and is made durable by the same directory fsync as the
// ".det" file. Its name does not end in ".det", so no scan of other processes sees it.
#pragma once

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>

#include "header_names.h"

namespace tio {

inline constexpr std::string_view kWriterMarkSuffix = ".writer";
inline constexpr std::string_view kMarkRecording = "recording";
inline constexpr std::string_view kMarkClosed = "closed";

struct WriterMark {
    bool closed = false;       // the writer's handle was closed without finalising
    int64_t pid = 0;
    uint64_t start_ticks = 0;
    std::string boot_id;
};

// The mark of the ".det" file at det_path.
inline std::string writer_mark_path(std::string_view det_path) {
    return std::string(det_path) + std::string(kWriterMarkSuffix);
}

// "NAME.det.writer": a mark's name, for scans of the header directory.
inline bool is_writer_mark_name(std::string_view name) {
    return name.size() > kWriterMarkSuffix.size() &&
           name.substr(name.size() - kWriterMarkSuffix.size()) == kWriterMarkSuffix &&
           is_det_name(name.substr(0, name.size() - kWriterMarkSuffix.size()));
}

// The ".det" file's name of a mark's name.
inline std::string_view marked_det_name(std::string_view mark_name) {
    return is_writer_mark_name(mark_name) ? mark_name.substr(0, mark_name.size() - kWriterMarkSuffix.size())
                                          : std::string_view();
}

inline std::string format_writer_mark(const WriterMark &mark) {
    return std::string(mark.closed ? kMarkClosed : kMarkRecording) + " " + std::to_string(mark.pid) + " " +
           std::to_string(mark.start_ticks) + " " + mark.boot_id + "\n";
}

namespace mark_detail {
// Splits off the next space-separated word of text.
inline std::string_view next_word(std::string_view &text) {
    const size_t end = text.find(' ');
    const std::string_view word = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    return word;
}

// Reads a small file whole (up to 4 KiB); none when it cannot be opened or read.
inline std::optional<std::string> read_small_file(const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    std::string content(4096, '\0');
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t got = ::read(fd, content.data() + done, content.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<size_t>(got);
    }
    ::close(fd);
    content.resize(done);
    return content;
}
}  // namespace mark_detail

// The mark a content holds; none when it is not one whole line of the form above (a mark
// torn by a crash, or foreign content).
inline std::optional<WriterMark> parse_writer_mark(std::string_view content) {
    if (content.empty() || content.back() != '\n') return std::nullopt;
    content.remove_suffix(1);
    WriterMark mark;
    const std::string_view state = mark_detail::next_word(content);
    if (state != kMarkRecording && state != kMarkClosed) return std::nullopt;
    mark.closed = state == kMarkClosed;
    mark.pid = names_detail::small_number(mark_detail::next_word(content));
    const int64_t start = names_detail::small_number(mark_detail::next_word(content));
    const std::string_view boot = mark_detail::next_word(content);
    if (mark.pid <= 0 || start < 0 || boot.empty() || !content.empty()) return std::nullopt;
    mark.start_ticks = static_cast<uint64_t>(start);
    mark.boot_id.assign(boot);
    return mark;
}

// The id of the running boot; empty when it cannot be read.
inline std::string current_boot_id() {
    std::string id = mark_detail::read_small_file("/proc/sys/kernel/random/boot_id").value_or("");
    while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
    return id;
}

// The start time of process pid in clock ticks after boot; none when it does not exist.
inline std::optional<uint64_t> process_start_ticks(int64_t pid) {
    if (pid <= 0) return std::nullopt;
    const auto stat = mark_detail::read_small_file("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return std::nullopt;
    // The command name (field 2) may hold spaces and parentheses: count from its last ')'.
    const size_t name_end = stat->rfind(')');
    if (name_end == std::string::npos) return std::nullopt;
    std::string_view rest = std::string_view(*stat).substr(name_end + 1);
    if (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    for (int field = 3; field < 22; ++field) mark_detail::next_word(rest);  // fields 3..21
    const int64_t start = names_detail::small_number(mark_detail::next_word(rest));
    if (start < 0) return std::nullopt;
    return static_cast<uint64_t>(start);
}

// Whether the mark's writer is still recording: it was not closed, it belongs to this boot,
// and its pid is held by the very process that wrote it.
inline bool writer_is_live(const WriterMark &mark) {
    if (mark.closed || mark.boot_id.empty() || mark.boot_id != current_boot_id()) return false;
    const auto start = process_start_ticks(mark.pid);
    return start && *start == mark.start_ticks;
}

// What the mark of the ".det" file at det_path says: absent (no mark: nothing is being
// recorded, or another program of the protocol wrote the file), live, or gone.
enum class MarkReading { absent, live, gone };

struct MarkFound {
    MarkReading reading = MarkReading::absent;
    std::optional<WriterMark> mark;  // when the content could be read as a mark
};

inline MarkFound read_writer_mark(const std::string &det_path) {
    const std::string path = writer_mark_path(det_path);
    const auto content = mark_detail::read_small_file(path);
    if (!content) {
        // A mark that exists but cannot be read still says that a recording was not finished.
        return MarkFound{::access(path.c_str(), F_OK) == 0 ? MarkReading::gone : MarkReading::absent, std::nullopt};
    }
    MarkFound found;
    found.mark = parse_writer_mark(*content);
    found.reading = found.mark && writer_is_live(*found.mark) ? MarkReading::live : MarkReading::gone;
    return found;
}

}  // namespace tio
