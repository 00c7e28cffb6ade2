// The names of the files in a header directory, in one place: the engine makes them and
// the tools read them back. Internal to the project; not part of the public header.
//
//   NAME.det                  a data file's extents (any name longer than ".det")
//   r_NUMBER.det              a reservation of an extent that is being added to a data
//                             file; this engine's NUMBER is the writer's pid followed by 12
//                             digits (6 of the time, 6 of a per-process counter). Other
//                             processes of the protocol may write a plain number.
//   .NAME.det.PID.N.tmp       a rewrite of NAME.det in progress (renamed over it when done)
//   .NAME.det.PID.N.new.tmp   a new NAME.det being created (renamed into place when whole)
//   .kellock                  the lock file
#pragma once

#include <cerrno>
#include <cstdint>
#include <optional>
#include <signal.h>
#include <string>
#include <string_view>

namespace tio {

inline constexpr std::string_view kDetExtension = ".det";
inline constexpr std::string_view kReservationPrefix = "r_";
inline constexpr std::string_view kTemporarySuffix = ".tmp";
inline constexpr std::string_view kLockFileName = ".kellock";
// Digits after the pid in this engine's reservation numbers.
inline constexpr size_t kReservationSerialDigits = 12;

namespace names_detail {
inline bool all_digits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}
// A decimal number of at most 18 digits, so that it always fits; -1 otherwise.
inline int64_t small_number(std::string_view digits) {
    if (!all_digits(digits) || digits.size() > 18) return -1;
    int64_t value = 0;
    for (char c : digits) value = value * 10 + (c - '0');
    return value;
}
}  // namespace names_detail

// A ".det" file's name: ends in ".det" and is longer than it.
inline bool is_det_name(std::string_view name) {
    return name.size() > kDetExtension.size() && name.substr(name.size() - kDetExtension.size()) == kDetExtension;
}

// The data file's name of a ".det" file's name: the name without ".det".
inline std::string_view data_file_name(std::string_view det_name) {
    return is_det_name(det_name) ? det_name.substr(0, det_name.size() - kDetExtension.size()) : det_name;
}

// "r_" ... ".det": a reservation file, whoever wrote it.
inline bool is_reservation_name(std::string_view name) {
    return is_det_name(name) && name.substr(0, kReservationPrefix.size()) == kReservationPrefix;
}

// The pid of the writer of a reservation named by this engine, -1 when the name does not
// carry one (a plain number, as other writers of the protocol may use, or not a number).
inline int64_t reservation_writer_pid(std::string_view name) {
    if (!is_reservation_name(name)) return -1;
    const std::string_view number =
        name.substr(kReservationPrefix.size(), name.size() - kReservationPrefix.size() - kDetExtension.size());
    if (!names_detail::all_digits(number) || number.size() <= kReservationSerialDigits) return -1;
    const int64_t pid = names_detail::small_number(number.substr(0, number.size() - kReservationSerialDigits));
    return pid > 0 ? pid : -1;
}

// The name of a new reservation file of process pid; time_part and counter are taken
// modulo 10^6, so the serial is always 12 digits.
inline std::string reservation_name(int64_t pid, int64_t time_part, uint64_t counter) {
    auto six_digits = [](uint64_t value) {
        std::string text = std::to_string(value % 1000000);
        return std::string(6 - text.size(), '0') + text;
    };
    return std::string(kReservationPrefix) + std::to_string(pid) +
           six_digits(static_cast<uint64_t>(time_part < 0 ? -time_part : time_part)) + six_digits(counter) +
           std::string(kDetExtension);
}

// A temporary rewrite file: the ".det" file it replaces (its name, cut to the length the
// engine keeps) and the pid of the rewriting process.
struct TemporaryName {
    std::string_view det_name;
    int64_t pid;
    bool creates = false;  // it makes a new file under the name rather than rewriting it
};

inline constexpr std::string_view kCreationMarker = ".new";

inline std::optional<TemporaryName> parse_temporary_name(std::string_view name) {
    if (name.size() < 2 || name[0] != '.' || name.size() <= kTemporarySuffix.size() ||
        name.substr(name.size() - kTemporarySuffix.size()) != kTemporarySuffix)
        return std::nullopt;
    std::string_view rest = name.substr(1, name.size() - 1 - kTemporarySuffix.size());  // NAME.det.PID.N[.new]
    const bool creates = rest.size() > kCreationMarker.size() &&
                         rest.substr(rest.size() - kCreationMarker.size()) == kCreationMarker;
    if (creates) rest.remove_suffix(kCreationMarker.size());
    const size_t counter_dot = rest.rfind('.');
    if (counter_dot == std::string_view::npos || !names_detail::all_digits(rest.substr(counter_dot + 1)))
        return std::nullopt;
    rest = rest.substr(0, counter_dot);
    const size_t pid_dot = rest.rfind('.');
    if (pid_dot == std::string_view::npos || pid_dot == 0) return std::nullopt;
    const int64_t pid = names_detail::small_number(rest.substr(pid_dot + 1));
    if (pid <= 0) return std::nullopt;
    return TemporaryName{rest.substr(0, pid_dot), pid, creates};
}

// A ".det" file's name as the name of its temporary rewrite files keeps it: cut to 128
// bytes, so that the whole name stays short.
inline std::string_view temporary_det_name(std::string_view det_name) { return det_name.substr(0, 128); }

// The name of a temporary file of det_name by process pid: a rewrite, or the file's
// creation.
inline std::string temporary_name(std::string_view det_name, int64_t pid, uint64_t counter, bool creates = false) {
    return "." + std::string(temporary_det_name(det_name)) + "." + std::to_string(pid) + "." +
           std::to_string(counter) + std::string(creates ? kCreationMarker : "") + std::string(kTemporarySuffix);
}

// The lock file holds its holder's pid as "%08d\n"; content that is not a positive number
// (the released "00000000\n" among them) means free.
inline constexpr std::string_view kFreeLockContent = "00000000\n";

// The number at the start of the lock file's content, read as fscanf's "%d" would: leading
// white space, an optional sign, digits. None when there are no digits.
inline std::optional<int64_t> lock_number_of(std::string_view content) {
    size_t at = 0;
    while (at < content.size() && (content[at] == ' ' || (content[at] >= '\t' && content[at] <= '\r'))) ++at;
    bool negative = false;
    if (at < content.size() && (content[at] == '+' || content[at] == '-')) negative = content[at++] == '-';
    size_t end = at;
    while (end < content.size() && end - at < 18 && content[end] >= '0' && content[end] <= '9') ++end;
    const int64_t value = names_detail::small_number(content.substr(at, end - at));
    if (value < 0) return std::nullopt;
    return negative ? -value : value;
}

// The holder the content names; 0 when it holds no number.
inline int64_t lock_holder_of(std::string_view content) { return lock_number_of(content).value_or(0); }

// Whether a process with this pid exists (in this pid namespace). A process of another
// user counts: kill then fails with EPERM.
inline bool process_alive(int64_t pid) {
    if (pid <= 0 || pid > INT32_MAX) return false;
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace tio
