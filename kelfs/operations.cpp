#include "operations.h"

#include "mounting.h"
#include "reply_pipe.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace kelfs {
namespace {

using kel::VolumeView;

// What readdir gives as an entry's inode number when it has none yet: the kernel looks
// the name up for the real one.
constexpr ino_t kUnknownInode = 0xffffffff;

Context &context(fuse_req_t req) { return *static_cast<Context *>(fuse_req_userdata(req)); }
VolumeView &view(fuse_req_t req) { return *context(req).view; }

// A data file opened for reading: the recording its number stood for.
struct OpenFile : Handle {
    explicit OpenFile(std::shared_ptr<kel::Recording> opened) : recording(std::move(opened)) {}
    std::shared_ptr<kel::Recording> recording;
};

// The directory opened for reading: its listing then, so that the kernel's successive
// readdir requests see one listing.
struct OpenDirectory : Handle {
    explicit OpenDirectory(std::shared_ptr<const kel::DataFileListing> listed) : listing(std::move(listed)) {}
    std::shared_ptr<const kel::DataFileListing> listing;
};

// The handle a request names; the kernel names only handles it holds.
template <class Kind>
std::shared_ptr<Kind> handle(fuse_req_t req, const fuse_file_info *info) {
    return std::static_pointer_cast<Kind>(context(req).handles.find(info->fh));
}

// Answers an open with a new handle, which stays only when the kernel got it; 0 then, else
// -errno.
template <class Kind, class... Arguments>
int reply_open(fuse_req_t req, fuse_file_info *info, Arguments &&...arguments) {
    HandleTable &handles = context(req).handles;
    std::shared_ptr<Kind> opened;
    try {
        opened = std::make_shared<Kind>(std::forward<Arguments>(arguments)...);
    } catch (const std::bad_alloc &) {
        fuse_reply_err(req, ENOMEM);
        return -ENOMEM;
    }
    info->fh = handles.add(std::move(opened));
    const int replied = fuse_reply_open(req, info);
    if (replied != 0) handles.remove(info->fh);  // never released by the kernel
    return replied;
}

void note_root_answered(Context &shared) {
    std::call_once(shared.root_answered_once, [&] {
        if (shared.root_answered) shared.root_answered();
    });
}

// The kernel has applied what init answered by the time any other request comes, so the
// mount's read-ahead set here stays.
void raise_read_ahead(Context &shared) {
    std::call_once(shared.read_ahead_set, [&] {
        if (!shared.read_ahead_setting.empty()) set_read_ahead(shared.read_ahead_setting, shared.read_ahead_kib);
    });
}

void init(void *user_data, fuse_conn_info *connection) {
    Context &shared = *static_cast<Context *>(user_data);
    connection->max_read = shared.max_read;
    if (connection->capable & FUSE_CAP_SPLICE_WRITE) connection->want |= FUSE_CAP_SPLICE_WRITE;
    fuse_apply_conn_info_opts(shared.connection_options, connection);
}

// The request is gone once it is answered: what is needed afterwards is taken before.
void lookup(fuse_req_t req, fuse_ino_t parent, const char *name) {
    Context &shared = context(req);
    const CacheTimes &times = shared.cache_times;
    fuse_entry_param entry{};
    uint64_t number = 0;
    const int found = parent == VolumeView::kDirectory ? shared.view->look_up(name, number, entry.attr) : -ENOENT;
    if (found == -ENOENT && times.missing_entries > 0) {
        entry.entry_timeout = times.missing_entries;  // number 0: the kernel keeps that it is missing
        fuse_reply_entry(req, &entry);
        return;
    }
    if (found != 0) {
        fuse_reply_err(req, -found);
        return;
    }
    entry.ino = number;
    entry.attr_timeout = times.attributes;
    entry.entry_timeout = times.entries;
    // A lookup whose reply did not arrive (the request was interrupted) is not held.
    if (fuse_reply_entry(req, &entry) == -ENOENT) shared.view->forget(number, 1);
}

void forget(fuse_req_t req, fuse_ino_t number, uint64_t lookups) {
    view(req).forget(number, lookups);
    fuse_reply_none(req);
}

void forget_multi(fuse_req_t req, size_t count, fuse_forget_data *forgets) {
    for (size_t i = 0; i < count; ++i) view(req).forget(forgets[i].ino, forgets[i].nlookup);
    fuse_reply_none(req);
}

void getattr(fuse_req_t req, fuse_ino_t number, fuse_file_info *) {
    Context &shared = context(req);
    struct stat attributes;
    const int result = shared.view->attributes(number, attributes);
    if (result != 0) {
        fuse_reply_err(req, -result);
        return;
    }
    if (number == VolumeView::kDirectory) note_root_answered(shared);
    fuse_reply_attr(req, &attributes, shared.cache_times.attributes);
}

void opendir(fuse_req_t req, fuse_ino_t number, fuse_file_info *info) {
    Context &shared = context(req);
    if (number != VolumeView::kDirectory) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    note_root_answered(shared);
    reply_open<OpenDirectory>(req, info, shared.view->listing());
}

// Entries from index `from` on, as many as fit in size bytes: ".", "..", then the listing's
// files. Each entry's offset is the index of the next.
void readdir(fuse_req_t req, fuse_ino_t, size_t size, off_t from, fuse_file_info *info) {
    const std::shared_ptr<OpenDirectory> directory = handle<OpenDirectory>(req, info);
    if (!directory) {
        fuse_reply_err(req, EBADF);
        return;
    }
    const kel::DataFileListing &listing = *directory->listing;
    std::vector<char> buffer(size);
    size_t used = 0;
    const auto add = [&](const char *name, mode_t mode, ino_t inode, off_t next) {
        struct stat attributes {};
        attributes.st_mode = mode;
        attributes.st_ino = inode;
        const size_t needed = fuse_add_direntry(req, buffer.data() + used, size - used, name, &attributes, next);
        if (needed > size - used) return false;
        used += needed;
        return true;
    };
    off_t index = std::max<off_t>(from, 0);
    bool room = true;
    if (index == 0) room = add(".", S_IFDIR, VolumeView::kDirectory, ++index);
    if (room && index == 1) room = add("..", S_IFDIR, VolumeView::kDirectory, ++index);
    if (room && static_cast<size_t>(index - 2) < listing.files.size()) {
        for (auto file = std::next(listing.files.begin(), index - 2); file != listing.files.end(); ++file)
            if (!add(file->first.c_str(), S_IFREG, kUnknownInode, ++index)) break;
    }
    fuse_reply_buf(req, buffer.data(), used);
}

void release(fuse_req_t req, fuse_ino_t, fuse_file_info *info) {
    context(req).handles.remove(info->fh);
    fuse_reply_err(req, 0);
}

void open(fuse_req_t req, fuse_ino_t number, fuse_file_info *info) {
    Context &shared = context(req);
    raise_read_ahead(shared);
    if ((info->flags & O_ACCMODE) != O_RDONLY || (info->flags & O_TRUNC) != 0) {
        fuse_reply_err(req, EROFS);
        return;
    }
    std::shared_ptr<kel::Recording> recording;
    if (const int opened = shared.view->open(number, recording); opened != 0) {
        fuse_reply_err(req, -opened);
        return;
    }
    // The page cache is dropped at every open: reserved bytes may have been written since.
    info->keep_cache = 0;
    reply_open<OpenFile>(req, info, std::move(recording));
}

// Replies smaller than this, or cut into more pieces, are copied: splicing them costs more
// than it saves (libfuse copies replies below two pages anyway).
constexpr int64_t kSmallestSplicedReply = 2 * 4096;
constexpr size_t kMostSplicedPieces = 64;

thread_local ReplyPipe reply_pipe;

fuse_bufvec *new_reply() { return static_cast<fuse_bufvec *>(std::calloc(1, sizeof(fuse_bufvec))); }

// The bytes gathered in this thread's pipe, for libfuse to splice on to the kernel; null
// when they could not be gathered there, -EIO in *error when a member failed.
fuse_bufvec *spliced_reply(VolumeView &view, const std::vector<kel::ReadPiece> &pieces, int64_t bytes, int *error) {
    if (bytes < kSmallestSplicedReply || pieces.size() > kMostSplicedPieces || !reply_pipe.ready()) return nullptr;
    const int64_t moved = kel::splice_pieces(view.members(), pieces, reply_pipe.write_fd());
    if (moved != bytes) {
        reply_pipe.drain();
        if (moved == -EIO) *error = -EIO;
        return nullptr;
    }
    fuse_bufvec *reply = new_reply();
    if (reply == nullptr) {
        reply_pipe.drain();
        *error = -ENOMEM;
        return nullptr;
    }
    reply->count = 1;
    reply->buf[0].size = static_cast<size_t>(bytes);
    reply->buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_RETRY);
    reply->buf[0].fd = reply_pipe.read_fd();
    return reply;
}

// The bytes read into memory. On an error *reply stays null.
int copied_reply(VolumeView &view, const std::vector<kel::ReadPiece> &pieces, int64_t bytes, fuse_bufvec **reply) {
    std::unique_ptr<void, decltype(&std::free)> data(std::malloc(static_cast<size_t>(std::max<int64_t>(bytes, 1))),
                                                     &std::free);
    if (data == nullptr) return -ENOMEM;
    const int64_t read = kel::read_pieces(view.members(), pieces, static_cast<uint8_t *>(data.get()));
    if (read != bytes) return read < 0 ? static_cast<int>(read) : -EIO;
    fuse_bufvec *copied = new_reply();
    if (copied == nullptr) return -ENOMEM;
    copied->count = 1;
    copied->buf[0].size = static_cast<size_t>(bytes);
    copied->buf[0].mem = data.release();
    *reply = copied;
    return 0;
}

// The pieces' bytes gathered into *reply, spliced or copied; bytes, or -errno.
int64_t gather_reply(VolumeView &view, const std::vector<kel::ReadPiece> &pieces, int64_t bytes,
                     fuse_bufvec **reply) {
    int error = 0;
    *reply = spliced_reply(view, pieces, bytes, &error);
    if (*reply != nullptr) return bytes;
    if (error != 0) return error;
    const int copied = copied_reply(view, pieces, bytes, reply);
    return copied == 0 ? bytes : copied;
}

// Frees a reply; what is left of its bytes in this thread's pipe is thrown away when the
// pipe is next used.
void free_reply(fuse_bufvec *reply) {
    if (reply == nullptr) return;
    if (!(reply->buf[0].flags & FUSE_BUF_IS_FD)) std::free(reply->buf[0].mem);
    std::free(reply);
}

// A read answers with all its bytes or with an error, never with fewer bytes than the
// file holds there: the kernel takes a short reply for the end of the file.
void read(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info *info) {
    VolumeView &volume = view(req);
    const std::shared_ptr<OpenFile> file = handle<OpenFile>(req, info);
    if (!file) {
        fuse_reply_err(req, EBADF);
        return;
    }
    fuse_bufvec *reply = nullptr;
    const int64_t bytes = volume.read(
        *file->recording, offset, static_cast<int64_t>(size),
        [&](const std::vector<kel::ReadPiece> &pieces, int64_t count) { return gather_reply(volume, pieces, count, &reply); });
    if (bytes < 0) {
        if (reply != nullptr && (reply->buf[0].flags & FUSE_BUF_IS_FD)) reply_pipe.drain();
        free_reply(reply);
        fuse_reply_err(req, static_cast<int>(-bytes));
        return;
    }
    if (reply == nullptr) {  // at or past the end
        fuse_reply_buf(req, nullptr, 0);
        return;
    }
    fuse_reply_data(req, reply, FUSE_BUF_SPLICE_MOVE);
    free_reply(reply);
}

void statfs(fuse_req_t req, fuse_ino_t) {
    constexpr unsigned long kBlockBytes = 4096;
    VolumeView &volume = view(req);
    struct statvfs info {};
    info.f_bsize = info.f_frsize = kBlockBytes;
    info.f_blocks = static_cast<fsblkcnt_t>(volume.volume().volume_bytes) / kBlockBytes;
    info.f_files = volume.listing()->files.size();
    info.f_namemax = 255;
    info.f_flag = ST_RDONLY;
    fuse_reply_statfs(req, &info);
}

// Everything that would change the volume.
template <class... Arguments>
void refuse(fuse_req_t req, Arguments...) {
    fuse_reply_err(req, EROFS);
}

fuse_lowlevel_ops make_operations() {
    fuse_lowlevel_ops table{};
    table.init = init;
    table.lookup = lookup;
    table.forget = forget;
    table.forget_multi = forget_multi;
    table.getattr = getattr;
    table.opendir = opendir;
    table.readdir = readdir;
    table.releasedir = release;
    table.open = open;
    table.read = read;
    table.release = release;
    table.statfs = statfs;
    table.setattr = refuse<fuse_ino_t, struct stat *, int, fuse_file_info *>;
    table.mknod = refuse<fuse_ino_t, const char *, mode_t, dev_t>;
    table.mkdir = refuse<fuse_ino_t, const char *, mode_t>;
    table.unlink = refuse<fuse_ino_t, const char *>;
    table.rmdir = refuse<fuse_ino_t, const char *>;
    table.symlink = refuse<const char *, fuse_ino_t, const char *>;
    table.rename = refuse<fuse_ino_t, const char *, fuse_ino_t, const char *, unsigned int>;
    table.link = refuse<fuse_ino_t, fuse_ino_t, const char *>;
    table.write = refuse<fuse_ino_t, const char *, size_t, off_t, fuse_file_info *>;
    table.write_buf = refuse<fuse_ino_t, fuse_bufvec *, off_t, fuse_file_info *>;
    table.create = refuse<fuse_ino_t, const char *, mode_t, fuse_file_info *>;
    table.setxattr = refuse<fuse_ino_t, const char *, const char *, size_t, int>;
    table.removexattr = refuse<fuse_ino_t, const char *>;
    table.fallocate = refuse<fuse_ino_t, int, off_t, off_t, fuse_file_info *>;
    return table;
}

}  // namespace

uint64_t HandleTable::add(std::shared_ptr<Handle> handle) {
    const auto number = reinterpret_cast<uint64_t>(handle.get());
    std::lock_guard<std::mutex> lock(mutex_);
    handles_.emplace(number, std::move(handle));
    return number;
}

std::shared_ptr<Handle> HandleTable::find(uint64_t number) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = handles_.find(number);
    return found == handles_.end() ? nullptr : found->second;
}

void HandleTable::remove(uint64_t number) {
    std::shared_ptr<Handle> released;  // freed outside the lock
    std::lock_guard<std::mutex> lock(mutex_);
    if (const auto found = handles_.find(number); found != handles_.end()) {
        released = std::move(found->second);
        handles_.erase(found);
    }
}

const fuse_lowlevel_ops &operations() {
    static const fuse_lowlevel_ops table = make_operations();
    return table;
}

}  // namespace kelfs
