#include "operations.h"

#include "model.h"

#include <cerrno>
#include <cstdint>
#include <memory>
#include <fcntl.h>
#include <map>
#include <string>
#include <vector>

namespace powercut {
namespace {

// Only this mount changes the files, so what the kernel keeps stays true.
constexpr double kCacheSeconds = 1.0;
// Fewer, larger writes: libfuse's buffer holds at most this much.
constexpr unsigned kMaxWriteBytes = 1 << 20;

FileSystem &model(fuse_req_t request) { return *static_cast<FileSystem *>(fuse_req_userdata(request)); }

void reply_status(fuse_req_t request, int result) { fuse_reply_err(request, result < 0 ? -result : 0); }

void reply_entry(fuse_req_t request, int result, const struct stat &attributes) {
    if (result < 0) {
        fuse_reply_err(request, -result);
        return;
    }
    fuse_entry_param entry{};
    entry.ino = attributes.st_ino;
    entry.attr = attributes;
    entry.attr_timeout = entry.entry_timeout = kCacheSeconds;
    fuse_reply_entry(request, &entry);
}

void reply_attributes(fuse_req_t request, int result, const struct stat &attributes) {
    if (result < 0) fuse_reply_err(request, -result);
    else fuse_reply_attr(request, &attributes, kCacheSeconds);
}

void init(void *, fuse_conn_info *connection) {
    // Writes must reach the model when write() returns: nothing cached in the kernel.
    connection->want &= ~FUSE_CAP_WRITEBACK_CACHE;
    connection->max_write = kMaxWriteBytes;
}

void lookup(fuse_req_t request, fuse_ino_t parent, const char *name) {
    struct stat attributes {};
    reply_entry(request, model(request).lookup(parent, name, attributes), attributes);
}

void forget(fuse_req_t request, fuse_ino_t id, uint64_t count) {
    model(request).forget(id, count);
    fuse_reply_none(request);
}

void forget_multi(fuse_req_t request, size_t count, fuse_forget_data *forgets) {
    for (size_t i = 0; i < count; ++i) model(request).forget(forgets[i].ino, forgets[i].nlookup);
    fuse_reply_none(request);
}

void getattr(fuse_req_t request, fuse_ino_t id, fuse_file_info *) {
    struct stat attributes {};
    reply_attributes(request, model(request).get_attributes(id, attributes), attributes);
}

void setattr(fuse_req_t request, fuse_ino_t id, struct stat *wanted, int to_set, fuse_file_info *) {
    FileSystem &files = model(request);
    int result = 0;
    if ((to_set & FUSE_SET_ATTR_MODE) != 0) result = files.set_permissions(id, wanted->st_mode);
    if (result == 0 && (to_set & FUSE_SET_ATTR_SIZE) != 0) result = files.truncate(id, wanted->st_size);
    if (result == 0 && (to_set & FUSE_SET_ATTR_MTIME) != 0) {
        timespec mtime = wanted->st_mtim;
        if ((to_set & FUSE_SET_ATTR_MTIME_NOW) != 0) clock_gettime(CLOCK_REALTIME, &mtime);
        result = files.set_mtime(id, mtime);
    }
    struct stat attributes {};
    if (result == 0) result = files.get_attributes(id, attributes);
    reply_attributes(request, result, attributes);
}

void readlink(fuse_req_t request, fuse_ino_t id) {
    std::string target;
    const int result = model(request).read_link(id, target);
    if (result < 0) fuse_reply_err(request, -result);
    else fuse_reply_readlink(request, target.c_str());
}

void mknod(fuse_req_t request, fuse_ino_t parent, const char *name, mode_t mode, dev_t) {
    if (!S_ISREG(mode)) {
        fuse_reply_err(request, EPERM);
        return;
    }
    struct stat attributes {};
    reply_entry(request, model(request).make(parent, name, Kind::file, mode, "", attributes), attributes);
}

void mkdir(fuse_req_t request, fuse_ino_t parent, const char *name, mode_t mode) {
    struct stat attributes {};
    reply_entry(request, model(request).make(parent, name, Kind::directory, mode, "", attributes), attributes);
}

void symlink(fuse_req_t request, const char *target, fuse_ino_t parent, const char *name) {
    struct stat attributes {};
    reply_entry(request, model(request).make(parent, name, Kind::symlink, 0777, target, attributes), attributes);
}

void link(fuse_req_t request, fuse_ino_t id, fuse_ino_t parent, const char *name) {
    struct stat attributes {};
    reply_entry(request, model(request).link(id, parent, name, attributes), attributes);
}

void unlink(fuse_req_t request, fuse_ino_t parent, const char *name) {
    reply_status(request, model(request).unlink(parent, name));
}

void rmdir(fuse_req_t request, fuse_ino_t parent, const char *name) {
    reply_status(request, model(request).remove_directory(parent, name));
}

void rename(fuse_req_t request, fuse_ino_t parent, const char *name, fuse_ino_t new_parent, const char *new_name,
            unsigned int flags) {
    reply_status(request, model(request).rename(parent, name, new_parent, new_name, flags));
}

void open(fuse_req_t request, fuse_ino_t id, fuse_file_info *info) {
    const int result = model(request).open(id, (info->flags & O_TRUNC) != 0);
    if (result < 0) {
        fuse_reply_err(request, -result);
        return;
    }
    info->keep_cache = 0;
    if (fuse_reply_open(request, info) != 0) model(request).release(id);
}

void create(fuse_req_t request, fuse_ino_t parent, const char *name, mode_t mode, fuse_file_info *info) {
    FileSystem &files = model(request);
    struct stat attributes {};
    int result = files.make(parent, name, Kind::file, mode, "", attributes);
    if (result == 0) result = files.open(attributes.st_ino, false);
    if (result < 0) {
        fuse_reply_err(request, -result);
        return;
    }
    fuse_entry_param entry{};
    entry.ino = attributes.st_ino;
    entry.attr = attributes;
    entry.attr_timeout = entry.entry_timeout = kCacheSeconds;
    info->keep_cache = 0;
    fuse_reply_create(request, &entry, info);
}

void read(fuse_req_t request, fuse_ino_t id, size_t size, off_t offset, fuse_file_info *) {
    std::vector<char> buffer(size);
    const int64_t result = model(request).read(id, offset, static_cast<int64_t>(size), buffer.data());
    if (result < 0) fuse_reply_err(request, static_cast<int>(-result));
    else fuse_reply_buf(request, buffer.data(), static_cast<size_t>(result));
}

void write(fuse_req_t request, fuse_ino_t id, const char *data, size_t size, off_t offset, fuse_file_info *) {
    const int64_t result = model(request).write(id, offset, static_cast<int64_t>(size), data);
    if (result < 0) fuse_reply_err(request, static_cast<int>(-result));
    else fuse_reply_write(request, static_cast<size_t>(result));
}

void flush(fuse_req_t request, fuse_ino_t, fuse_file_info *) { fuse_reply_err(request, 0); }

void release(fuse_req_t request, fuse_ino_t id, fuse_file_info *) {
    model(request).release(id);
    fuse_reply_err(request, 0);
}

void fsync(fuse_req_t request, fuse_ino_t id, int, fuse_file_info *) {
    reply_status(request, model(request).sync_file(id));
}

// A directory's listing as it was at its opendir, so that offsets stay valid. Owned here:
// after a power cut no releasedir comes for the listings still open.
using Listing = std::vector<ListedEntry>;
std::map<uint64_t, std::unique_ptr<Listing>> open_listings;

void opendir(fuse_req_t request, fuse_ino_t id, fuse_file_info *info) {
    auto listing = std::make_unique<Listing>();
    const int result = model(request).list(id, *listing);
    if (result < 0) {
        fuse_reply_err(request, -result);
        return;
    }
    info->fh = reinterpret_cast<uint64_t>(listing.get());
    open_listings[info->fh] = std::move(listing);
    if (fuse_reply_open(request, info) != 0) open_listings.erase(info->fh);
}

void readdir(fuse_req_t request, fuse_ino_t, size_t size, off_t offset, fuse_file_info *info) {
    const Listing &listing = *open_listings.at(info->fh);
    std::vector<char> buffer(size);
    size_t used = 0;
    for (size_t index = static_cast<size_t>(offset); index < listing.size(); ++index) {
        const size_t needed = fuse_add_direntry(request, buffer.data() + used, size - used, listing[index].name.c_str(),
                                                &listing[index].attributes, static_cast<off_t>(index + 1));
        if (needed > size - used) break;
        used += needed;
    }
    fuse_reply_buf(request, buffer.data(), used);
}

void releasedir(fuse_req_t request, fuse_ino_t, fuse_file_info *info) {
    open_listings.erase(info->fh);
    fuse_reply_err(request, 0);
}

void fsyncdir(fuse_req_t request, fuse_ino_t id, int, fuse_file_info *) {
    reply_status(request, model(request).sync_directory(id));
}

void statfs(fuse_req_t request, fuse_ino_t) {
    struct statvfs statistics {};
    const int result = model(request).file_system_statistics(statistics);
    if (result < 0) fuse_reply_err(request, -result);
    else fuse_reply_statfs(request, &statistics);
}

fuse_lowlevel_ops make_operations() {
    fuse_lowlevel_ops ops{};
    ops.init = init;
    ops.lookup = lookup;
    ops.forget = forget;
    ops.forget_multi = forget_multi;
    ops.getattr = getattr;
    ops.setattr = setattr;
    ops.readlink = readlink;
    ops.mknod = mknod;
    ops.mkdir = mkdir;
    ops.symlink = symlink;
    ops.link = link;
    ops.unlink = unlink;
    ops.rmdir = rmdir;
    ops.rename = rename;
    ops.open = open;
    ops.create = create;
    ops.read = read;
    ops.write = write;
    ops.flush = flush;
    ops.release = release;
    ops.fsync = fsync;
    ops.opendir = opendir;
    ops.readdir = readdir;
    ops.releasedir = releasedir;
    ops.fsyncdir = fsyncdir;
    ops.statfs = statfs;
    return ops;
}

}  // namespace

const fuse_lowlevel_ops &operations() {
    static const fuse_lowlevel_ops ops = make_operations();
    return ops;
}

}  // namespace powercut
