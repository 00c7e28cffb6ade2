#include "operations.h"

#include "mounting.h"
#include "reply_pipe.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

namespace kelfs {
namespace {

Context &context() { return *static_cast<Context *>(fuse_get_context()->private_data); }
kel::VolumeView &view() { return *context().view; }

// A data file opened for reading, as it was listed at its open.
struct OpenFile {
    std::shared_ptr<const kel::DataFile> opened;
};

OpenFile &open_file(const fuse_file_info *info) { return *reinterpret_cast<OpenFile *>(info->fh); }

// The kernel has applied what init answered by the time any other request comes, so the
// mount's read-ahead set here stays.
void raise_read_ahead() {
    Context &shared = context();
    std::call_once(shared.read_ahead_set, [&] {
        if (!shared.read_ahead_setting.empty()) set_read_ahead(shared.read_ahead_setting, shared.read_ahead_kib);
    });
}

bool is_root(const char *path) { return std::strcmp(path, "/") == 0; }

// The data file a path names ("/NAME"), or null.
std::shared_ptr<const kel::DataFile> data_file_at(const char *path) {
    const std::string_view name = path[0] == '/' ? path + 1 : path;
    if (name.find('/') != std::string_view::npos) return nullptr;
    return view().find(name);
}

void *init(fuse_conn_info *connection, fuse_config *) {
    connection->max_read = kMaxReadBytes;
    if (connection->capable & FUSE_CAP_SPLICE_WRITE) connection->want |= FUSE_CAP_SPLICE_WRITE;
    fuse_apply_conn_info_opts(context().connection_options, connection);
    return fuse_get_context()->private_data;
}

int getattr(const char *path, struct stat *attributes, fuse_file_info *info) {
    if (info != nullptr && info->fh != 0) {
        *attributes = kel::file_attributes(*view().latest(open_file(info).opened));
        return 0;
    }
    if (is_root(path)) {
        *attributes = kel::directory_attributes(*view().listing());
        return 0;
    }
    const std::shared_ptr<const kel::DataFile> file = data_file_at(path);
    if (!file) return -ENOENT;
    *attributes = kel::file_attributes(*file);
    return 0;
}

int readdir(const char *path, void *buffer, fuse_fill_dir_t fill, off_t, fuse_file_info *, fuse_readdir_flags) {
    if (!is_root(path)) return data_file_at(path) ? -ENOTDIR : -ENOENT;
    const std::shared_ptr<const kel::DataFileListing> listing = view().listing();
    const struct stat directory = kel::directory_attributes(*listing);
    fill(buffer, ".", &directory, 0, fuse_fill_dir_flags{});
    fill(buffer, "..", nullptr, 0, fuse_fill_dir_flags{});
    for (const auto &[name, file] : listing->files) {
        const struct stat attributes = kel::file_attributes(*file);
        if (fill(buffer, name.c_str(), &attributes, 0, fuse_fill_dir_flags{}) != 0) return -ENOMEM;
    }
    return 0;
}

int open(const char *path, fuse_file_info *info) {
    raise_read_ahead();
    if ((info->flags & O_ACCMODE) != O_RDONLY || (info->flags & O_TRUNC) != 0) return -EROFS;
    std::shared_ptr<const kel::DataFile> file = data_file_at(path);
    if (!file) return is_root(path) ? -EISDIR : -ENOENT;
    info->fh = reinterpret_cast<uint64_t>(new (std::nothrow) OpenFile{std::move(file)});
    if (info->fh == 0) return -ENOMEM;
    // The page cache is dropped at every open: reserved bytes may have been written since.
    info->keep_cache = 0;
    return 0;
}

// Replies smaller than this, or cut into more pieces, are copied: splicing them costs more
// than it saves (libfuse copies replies below two pages anyway).
constexpr int64_t kSmallestSplicedReply = 2 * 4096;
constexpr size_t kMostSplicedPieces = 64;

thread_local ReplyPipe reply_pipe;

fuse_bufvec *new_reply(size_t count) {
    return static_cast<fuse_bufvec *>(std::calloc(1, sizeof(fuse_bufvec) + (count - 1) * sizeof(fuse_buf)));
}

// The bytes gathered in this thread's pipe, for libfuse to splice on to the kernel; null
// when they could not be gathered there, -EIO in *error when a member failed.
fuse_bufvec *spliced_reply(const std::vector<kel::ReadPiece> &pieces, int64_t bytes, int *error) {
    if (bytes < kSmallestSplicedReply || pieces.size() > kMostSplicedPieces || !reply_pipe.ready()) return nullptr;
    const int64_t moved = kel::splice_pieces(view().members(), pieces, reply_pipe.write_fd());
    if (moved != bytes) {
        reply_pipe.drain();
        if (moved == -EIO) *error = -EIO;
        return nullptr;
    }
    fuse_bufvec *reply = new_reply(1);
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

// The bytes read into memory. On an error *reply stays null: libfuse frees what it holds.
int copied_reply(const std::vector<kel::ReadPiece> &pieces, int64_t bytes, fuse_bufvec **reply) {
    std::unique_ptr<void, decltype(&std::free)> data(std::malloc(static_cast<size_t>(std::max<int64_t>(bytes, 1))),
                                                     &std::free);
    if (data == nullptr) return -ENOMEM;
    const int64_t read = kel::read_pieces(view().members(), pieces, static_cast<uint8_t *>(data.get()));
    if (read != bytes) return read < 0 ? static_cast<int>(read) : -EIO;
    fuse_bufvec *copied = new_reply(1);
    if (copied == nullptr) return -ENOMEM;
    copied->count = 1;
    copied->buf[0].size = static_cast<size_t>(bytes);
    copied->buf[0].mem = data.release();
    *reply = copied;
    return 0;
}

// A read answers with all its bytes or with an error, never with fewer bytes than the
// file holds there: libfuse sends a short reply as it is, and the reader takes it for
// the end of the file.
int read_buf(const char *, fuse_bufvec **reply, size_t size, off_t offset, fuse_file_info *info) {
    const std::shared_ptr<const kel::DataFile> file = view().latest(open_file(info).opened);
    std::vector<kel::ReadPiece> pieces;
    const int64_t bytes = view().plan_read(*file, offset, static_cast<int64_t>(size), pieces);
    if (bytes < 0) return static_cast<int>(bytes);
    int error = 0;
    *reply = spliced_reply(pieces, bytes, &error);
    if (*reply != nullptr) return 0;
    return error != 0 ? error : copied_reply(pieces, bytes, reply);
}

int release(const char *, fuse_file_info *info) {
    delete &open_file(info);
    return 0;
}

int statfs(const char *, struct statvfs *info) {
    constexpr unsigned long kBlockBytes = 4096;
    const std::shared_ptr<const kel::DataFileListing> listing = view().listing();
    *info = {};
    info->f_bsize = info->f_frsize = kBlockBytes;
    info->f_blocks = static_cast<fsblkcnt_t>(view().volume().volume_bytes) / kBlockBytes;
    info->f_files = listing->files.size();
    info->f_namemax = 255;
    info->f_flag = ST_RDONLY;
    return 0;
}

// Everything that would change the volume.
int refuse_path(const char *) { return -EROFS; }
int refuse_mode(const char *, mode_t) { return -EROFS; }
int refuse_two_paths(const char *, const char *) { return -EROFS; }
int refuse_rename(const char *, const char *, unsigned) { return -EROFS; }
int refuse_chmod(const char *, mode_t, fuse_file_info *) { return -EROFS; }
int refuse_chown(const char *, uid_t, gid_t, fuse_file_info *) { return -EROFS; }
int refuse_truncate(const char *, off_t, fuse_file_info *) { return -EROFS; }
int refuse_write(const char *, const char *, size_t, off_t, fuse_file_info *) { return -EROFS; }
int refuse_write_buf(const char *, fuse_bufvec *, off_t, fuse_file_info *) { return -EROFS; }
int refuse_create(const char *, mode_t, fuse_file_info *) { return -EROFS; }
int refuse_mknod(const char *, mode_t, dev_t) { return -EROFS; }
int refuse_setxattr(const char *, const char *, const char *, size_t, int) { return -EROFS; }
int refuse_removexattr(const char *, const char *) { return -EROFS; }
int refuse_utimens(const char *, const struct timespec[2], fuse_file_info *) { return -EROFS; }
int refuse_fallocate(const char *, int, off_t, off_t, fuse_file_info *) { return -EROFS; }

fuse_operations make_operations() {
    fuse_operations table{};
    table.init = init;
    table.getattr = getattr;
    table.readdir = readdir;
    table.open = open;
    table.read_buf = read_buf;
    table.release = release;
    table.statfs = statfs;
    table.mknod = refuse_mknod;
    table.mkdir = refuse_mode;
    table.unlink = refuse_path;
    table.rmdir = refuse_path;
    table.symlink = refuse_two_paths;
    table.rename = refuse_rename;
    table.link = refuse_two_paths;
    table.chmod = refuse_chmod;
    table.chown = refuse_chown;
    table.truncate = refuse_truncate;
    table.write = refuse_write;
    table.write_buf = refuse_write_buf;
    table.create = refuse_create;
    table.setxattr = refuse_setxattr;
    table.removexattr = refuse_removexattr;
    table.utimens = refuse_utimens;
    table.fallocate = refuse_fallocate;
    return table;
}

}  // namespace

const fuse_operations &operations() {
    static const fuse_operations table = make_operations();
    return table;
}

}  // namespace kelfs
