// Writing the writer marks of data files (see writer_mark.h), and the marks each handle has
// set and not yet finalised, which tio_close marks as closed.
#include "writer_mark.h"

#include "closing.h"
#include "durable.h"
#include "internal.h"
#include "mark_internal.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

namespace tio {

namespace {

const WriterMark &this_writer() {
    static const WriterMark self = [] {
        WriterMark mark;
        mark.pid = getpid();
        mark.start_ticks = process_start_ticks(mark.pid).value_or(0);
        mark.boot_id = current_boot_id();
        return mark;
    }();
    return self;
}

bool names_this_writer(const WriterMark &mark) {
    const WriterMark &self = this_writer();
    return mark.pid == self.pid && mark.start_ticks == self.start_ticks && mark.boot_id == self.boot_id;
}

// Writes content over the mark at mark_path (created when missing); with durable, its
// content is synced before the call returns. False after a line naming the mark.
bool write_mark(const std::string &mark_path, const std::string &content, bool durable) {
    Fd fd(open(mark_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666));
    const char *failed_call = nullptr;
    if (fd.get() < 0) failed_call = "open";
    else if (write(fd.get(), content.data(), content.size()) != static_cast<ssize_t>(content.size()))
        failed_call = "write";
    else if (durable && fdatasync(fd.get()) != 0) failed_call = "fdatasync";
    if (!failed_call) return true;
    report("Error! %s('%s') failed while marking a recording: %s", failed_call, mark_path.c_str(),
           errno ? strerror(errno) : "short write");
    return false;
}

std::mutex handle_marks_lock;
std::map<const TioHandle *, std::set<std::string>> handle_marks;

}  // namespace

bool set_writer_mark(const char *det_path) {
    WriterMark mark = this_writer();
    mark.closed = false;
    return write_mark(writer_mark_path(det_path), format_writer_mark(mark), true);
}

bool keep_writer_mark(const char *det_path, bool *marked_now) {
    const MarkFound found = read_writer_mark(det_path);
    *marked_now = false;
    if (found.reading == MarkReading::live && found.mark && names_this_writer(*found.mark)) return true;
    *marked_now = found.reading == MarkReading::absent;
    return set_writer_mark(det_path);
}

bool remove_writer_mark(const char *det_path) {
    const std::string mark_path = writer_mark_path(det_path);
    if (unlink(mark_path.c_str()) != 0) {
        if (errno == ENOENT) return true;
        report("Error! unlink('%s') failed while finalising '%s': %s", mark_path.c_str(), det_path, strerror(errno));
        return false;
    }
    return sync_directory_of(mark_path);
}

void note_handle_mark(const TioHandle *handle, const char *det_path) {
    try {
        const std::lock_guard<std::mutex> hold(handle_marks_lock);
        handle_marks[handle].insert(det_path);
    } catch (...) {
        // Without memory the mark stays "recording" until this process ends; it is read as
        // interrupted then, which is still true.
    }
}

void forget_handle_mark(const TioHandle *handle, const char *det_path) {
    const std::lock_guard<std::mutex> hold(handle_marks_lock);
    const auto marks = handle_marks.find(handle);
    if (marks == handle_marks.end()) return;
    marks->second.erase(det_path);
    if (marks->second.empty()) handle_marks.erase(marks);
}

void close_handle_marks(const TioHandle *handle) {
    std::set<std::string> paths;
    {
        const std::lock_guard<std::mutex> hold(handle_marks_lock);
        const auto marks = handle_marks.find(handle);
        if (marks == handle_marks.end()) return;
        paths.swap(marks->second);
        handle_marks.erase(marks);
    }
    // Not synced: after a power cut the mark names an earlier boot and reads as
    // interrupted anyway, as a torn one does.
    for (const std::string &path : paths) {
        const MarkFound found = read_writer_mark(path);
        if (!found.mark || !names_this_writer(*found.mark)) continue;  // finalised, or another writer's now
        WriterMark closed = *found.mark;
        closed.closed = true;
        Fd fd(open(writer_mark_path(path).c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        const std::string content = format_writer_mark(closed);
        if (fd.get() < 0) continue;
        const ssize_t written = write(fd.get(), content.data(), content.size());
        (void)written;  // a mark cut short reads as interrupted too
    }
}

}  // namespace tio
