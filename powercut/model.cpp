#include "model.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <ftw.h>
#include <stdexcept>
#include <unistd.h>

namespace powercut {
namespace {

constexpr int64_t kNoZeroing = INT64_MAX;
constexpr int64_t kCopyBytes = 1 << 20;

[[noreturn]] void fail(const std::string &what, int error) {
    throw std::runtime_error(what + ": " + std::strerror(error));
}

timespec now() {
    timespec time{};
    clock_gettime(CLOCK_REALTIME, &time);
    return time;
}

std::vector<std::string> names_in(const std::string &path) {
    DIR *directory = opendir(path.c_str());
    if (directory == nullptr) fail(path, errno);
    std::vector<std::string> names;
    while (const dirent *entry = readdir(directory)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(directory);
    std::sort(names.begin(), names.end());
    return names;
}

struct stat status_of(const std::string &path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) fail(path, errno);
    return info;
}

// Everything under path must be a file, a directory or a symbolic link.
void check_takeable(const std::string &path) {
    for (const std::string &name : names_in(path)) {
        const std::string child = path + "/" + name;
        const struct stat info = status_of(child);
        if (S_ISDIR(info.st_mode)) check_takeable(child);
        else if (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode))
            throw std::runtime_error(child + ": neither a file, a directory nor a symbolic link");
    }
}

bool read_fully(int fd, char *buffer, int64_t size, int64_t offset) {
    while (size > 0) {
        const ssize_t got = pread(fd, buffer, static_cast<size_t>(size), offset);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            if (got == 0) errno = EIO;
            return false;
        }
        buffer += got;
        size -= got;
        offset += got;
    }
    return true;
}

bool write_fully(int fd, const char *data, int64_t size, int64_t offset) {
    while (size > 0) {
        const ssize_t put = pwrite(fd, data, static_cast<size_t>(size), offset);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            if (put == 0) errno = EIO;
            return false;
        }
        data += put;
        size -= put;
        offset += put;
    }
    return true;
}

bool copy_range(int from, int to, int64_t begin, int64_t end) {
    std::vector<char> buffer(static_cast<size_t>(std::min(kCopyBytes, end - begin)));
    for (int64_t at = begin; at < end;) {
        const int64_t piece = std::min<int64_t>(static_cast<int64_t>(buffer.size()), end - at);
        if (!read_fully(from, buffer.data(), piece, at) || !write_fully(to, buffer.data(), piece, at)) return false;
        at += piece;
    }
    return true;
}

void close_descriptor(int &fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

int remove_entry(const char *path, const struct stat *, int, FTW *) { return remove(path); }

}  // namespace

FileSystem::FileSystem(std::string backing, std::string scratch, std::vector<std::string> failing_patterns)
    : backing_(std::move(backing)), scratch_(std::move(scratch)), failing_patterns_(std::move(failing_patterns)) {
    const struct stat backing_info = status_of(backing_);
    if (!S_ISDIR(backing_info.st_mode)) throw std::runtime_error(backing_ + ": not a directory");
    if (status_of(scratch_).st_dev != backing_info.st_dev)
        throw std::runtime_error(scratch_ + ": not on the file system of " + backing_);
    check_takeable(backing_);
    for (const char *part : {"/store", "/overlay"})
        if (mkdir((scratch_ + part).c_str(), 0700) != 0) fail(scratch_ + part, errno);
    Node &root = add_node(Kind::directory, backing_info.st_mode & 07777);
    root.links = 1;
    root.parent = kRootId;
    std::map<std::pair<dev_t, ino_t>, NodeId> files;
    take_over(root, backing_, files);
}

FileSystem::~FileSystem() {
    for (auto &[id, node] : nodes_) {
        close_descriptor(node->durable_fd);
        close_descriptor(node->overlay_fd);
    }
}

Node *FileSystem::find(NodeId id) {
    const auto found = nodes_.find(id);
    return found == nodes_.end() ? nullptr : found->second.get();
}

Node &FileSystem::add_node(Kind kind, mode_t permissions) {
    auto node = std::make_unique<Node>();
    node->id = next_id_++;
    node->kind = kind;
    node->permissions = permissions & 07777;
    node->mtime = now();
    Node &added = *node;
    nodes_.emplace(added.id, std::move(node));
    return added;
}

std::string FileSystem::store_path(NodeId id) const { return scratch_ + "/store/" + std::to_string(id); }
std::string FileSystem::overlay_path(NodeId id) const { return scratch_ + "/overlay/" + std::to_string(id); }

// Files keep their identity: a second name of a file already taken over links to it.
void FileSystem::take_over(Node &directory, const std::string &path,
                           std::map<std::pair<dev_t, ino_t>, NodeId> &files) {
    for (const std::string &name : names_in(path)) {
        const std::string child_path = path + "/" + name;
        const struct stat info = status_of(child_path);
        Node *child = nullptr;
        if (S_ISDIR(info.st_mode)) {
            child = &add_node(Kind::directory, info.st_mode);
            child->parent = directory.id;
            take_over(*child, child_path, files);
            if (rmdir(child_path.c_str()) != 0) fail(child_path, errno);
        } else if (const auto known = files.find({info.st_dev, info.st_ino}); known != files.end()) {
            child = find(known->second);
            if (::unlink(child_path.c_str()) != 0) fail(child_path, errno);
        } else if (S_ISREG(info.st_mode)) {
            child = &add_node(Kind::file, info.st_mode);
            if (::rename(child_path.c_str(), store_path(child->id).c_str()) != 0) fail(child_path, errno);
            child->durable_fd = ::open(store_path(child->id).c_str(), O_RDWR | O_CLOEXEC);
            if (child->durable_fd < 0) fail(store_path(child->id), errno);
            child->size = child->durable_size = info.st_size;
            files[{info.st_dev, info.st_ino}] = child->id;
        } else {
            child = &add_node(Kind::symlink, 0777);
            std::vector<char> target(static_cast<size_t>(info.st_size) + 1);
            const ssize_t length = readlink(child_path.c_str(), target.data(), target.size());
            if (length < 0) fail(child_path, errno);
            child->target.assign(target.data(), static_cast<size_t>(length));
            if (::unlink(child_path.c_str()) != 0) fail(child_path, errno);
        }
        child->mtime = info.st_mtim;
        child->name = name;
        ++child->links;
        directory.entries[name] = directory.durable_entries[name] = child->id;
    }
}

void FileSystem::describe(const Node &node, struct stat &attributes) const {
    attributes = {};
    attributes.st_ino = node.id;
    const mode_t type = node.kind == Kind::file ? S_IFREG : node.kind == Kind::directory ? S_IFDIR : S_IFLNK;
    attributes.st_mode = type | node.permissions;
    attributes.st_nlink = node.kind == Kind::directory ? 2 : static_cast<nlink_t>(node.links);
    attributes.st_uid = getuid();
    attributes.st_gid = getgid();
    attributes.st_size = node.kind == Kind::file ? node.size : static_cast<off_t>(node.target.size());
    attributes.st_blksize = 4096;
    attributes.st_blocks = (attributes.st_size + 511) / 512;
    attributes.st_atim = attributes.st_mtim = attributes.st_ctim = node.mtime;
}

int FileSystem::lookup(NodeId parent, const std::string &name, struct stat &attributes) {
    Node *directory = find(parent);
    if (directory == nullptr) return -ENOENT;
    if (directory->kind != Kind::directory) return -ENOTDIR;
    const auto entry = directory->entries.find(name);
    if (entry == directory->entries.end()) return -ENOENT;
    Node &node = *find(entry->second);
    ++node.lookups;
    describe(node, attributes);
    return 0;
}

void FileSystem::forget(NodeId id, uint64_t count) {
    if (Node *node = find(id)) {
        node->lookups -= std::min(count, node->lookups);
        release_if_unreachable(*node);
    }
}

int FileSystem::get_attributes(NodeId id, struct stat &attributes) {
    const Node *node = find(id);
    if (node == nullptr) return -ENOENT;
    describe(*node, attributes);
    return 0;
}

int FileSystem::set_permissions(NodeId id, mode_t permissions) {
    Node *node = find(id);
    if (node == nullptr) return -ENOENT;
    node->permissions = permissions & 07777;
    if (node->kind == Kind::file && fchmod(node->durable_fd, node->permissions) != 0) return -errno;
    return 0;
}

int FileSystem::truncate(NodeId id, int64_t size) {
    Node *node = find(id);
    if (node == nullptr) return -ENOENT;
    if (node->kind != Kind::file) return -EISDIR;
    if (size < 0) return -EINVAL;
    if (size < node->size) {
        node->written.cut_at(size);
        node->zeroed_from = std::min(node->zeroed_from, size);
    }
    node->size = size;
    node->mtime = now();
    return 0;
}

int FileSystem::set_mtime(NodeId id, const timespec &mtime) {
    Node *node = find(id);
    if (node == nullptr) return -ENOENT;
    node->mtime = mtime;
    return 0;
}

int FileSystem::read_link(NodeId id, std::string &target) {
    const Node *node = find(id);
    if (node == nullptr) return -ENOENT;
    if (node->kind != Kind::symlink) return -EINVAL;
    target = node->target;
    return 0;
}

int FileSystem::make(NodeId parent, const std::string &name, Kind kind, mode_t permissions,
                     const std::string &target, struct stat &attributes) {
    Node *directory = find(parent);
    if (directory == nullptr) return -ENOENT;
    if (directory->kind != Kind::directory) return -ENOTDIR;
    if (directory->entries.count(name) != 0) return -EEXIST;
    Node &node = add_node(kind, kind == Kind::symlink ? 0777 : permissions);
    if (kind == Kind::file) {
        node.durable_fd = ::open(store_path(node.id).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, node.permissions);
        if (node.durable_fd < 0) {
            const int error = errno;
            nodes_.erase(node.id);
            return -error;
        }
    }
    node.target = target;
    return attach(*directory, name, node, attributes);
}

int FileSystem::attach(Node &directory, const std::string &name, Node &node, struct stat &attributes) {
    directory.entries[name] = node.id;
    directory.mtime = now();
    ++node.links;
    node.name = name;
    if (node.kind == Kind::directory) node.parent = directory.id;
    ++node.lookups;
    describe(node, attributes);
    return 0;
}

int FileSystem::link(NodeId id, NodeId parent, const std::string &name, struct stat &attributes) {
    Node *node = find(id), *directory = find(parent);
    if (node == nullptr || directory == nullptr) return -ENOENT;
    if (node->kind == Kind::directory) return -EPERM;
    if (directory->kind != Kind::directory) return -ENOTDIR;
    if (directory->entries.count(name) != 0) return -EEXIST;
    return attach(*directory, name, *node, attributes);
}

void FileSystem::drop_name(Node &directory, const std::string &name) {
    const auto entry = directory.entries.find(name);
    Node &node = *find(entry->second);
    directory.entries.erase(entry);
    directory.mtime = now();
    --node.links;
    release_if_unreachable(node);
}

int FileSystem::unlink(NodeId parent, const std::string &name) {
    Node *directory = find(parent);
    if (directory == nullptr) return -ENOENT;
    const auto entry = directory->entries.find(name);
    if (entry == directory->entries.end()) return -ENOENT;
    if (find(entry->second)->kind == Kind::directory) return -EISDIR;
    drop_name(*directory, name);
    return 0;
}

int FileSystem::remove_directory(NodeId parent, const std::string &name) {
    Node *directory = find(parent);
    if (directory == nullptr) return -ENOENT;
    const auto entry = directory->entries.find(name);
    if (entry == directory->entries.end()) return -ENOENT;
    const Node &removed = *find(entry->second);
    if (removed.kind != Kind::directory) return -ENOTDIR;
    if (!removed.entries.empty()) return -ENOTEMPTY;
    drop_name(*directory, name);
    return 0;
}

bool FileSystem::inside(NodeId directory, NodeId ancestor) {
    for (NodeId at = directory;; at = find(at)->parent) {
        if (at == ancestor) return true;
        if (at == kRootId) return false;
    }
}

int FileSystem::rename(NodeId parent, const std::string &name, NodeId new_parent, const std::string &new_name,
                       unsigned flags) {
    if ((flags & ~RENAME_NOREPLACE) != 0) return -EINVAL;
    Node *from = find(parent), *to = find(new_parent);
    if (from == nullptr || to == nullptr) return -ENOENT;
    if (to->kind != Kind::directory) return -ENOTDIR;
    const auto entry = from->entries.find(name);
    if (entry == from->entries.end()) return -ENOENT;
    Node &moving = *find(entry->second);
    if (moving.kind == Kind::directory && inside(new_parent, moving.id)) return -EINVAL;
    if (const auto existing = to->entries.find(new_name); existing != to->entries.end()) {
        if ((flags & RENAME_NOREPLACE) != 0) return -EEXIST;
        const Node &replaced = *find(existing->second);
        if (replaced.id == moving.id) return 0;  // two names of one file: nothing changes
        if (replaced.kind == Kind::directory) {
            if (moving.kind != Kind::directory) return -EISDIR;
            if (!replaced.entries.empty()) return -ENOTEMPTY;
        } else if (moving.kind == Kind::directory) {
            return -ENOTDIR;
        }
        drop_name(*to, new_name);
    }
    from->entries.erase(name);
    to->entries[new_name] = moving.id;
    from->mtime = to->mtime = now();
    moving.name = new_name;
    if (moving.kind == Kind::directory) moving.parent = new_parent;
    return 0;
}

int FileSystem::open(NodeId id, bool truncating) {
    Node *node = find(id);
    if (node == nullptr) return -ENOENT;
    if (node->kind != Kind::file) return -EISDIR;
    if (truncating) truncate(id, 0);
    ++node->opens;
    return 0;
}

void FileSystem::release(NodeId id) {
    if (Node *node = find(id)) {
        node->opens -= std::min<int64_t>(1, node->opens);
        release_if_unreachable(*node);
    }
}

// A file that nothing can reach any more keeps only its store file, which a durable name
// may still need.
void FileSystem::release_if_unreachable(Node &node) {
    if (node.kind != Kind::file || node.links > 0 || node.lookups > 0 || node.opens > 0) return;
    close_descriptor(node.durable_fd);
    if (node.overlay_fd >= 0) {
        close_descriptor(node.overlay_fd);
        ::unlink(overlay_path(node.id).c_str());
    }
    node.written.clear();
}

int64_t FileSystem::read(NodeId id, int64_t offset, int64_t size, char *buffer) {
    const Node *node = find(id);
    if (node == nullptr) return -ENOENT;
    if (node->kind != Kind::file) return -EISDIR;
    if (offset < 0 || size < 0) return -EINVAL;
    if (offset >= node->size) return 0;
    const int64_t end = std::min(node->size, offset + size);
    const int64_t durable_end = std::clamp(std::min(node->durable_size, node->zeroed_from), offset, end);
    if (durable_end > offset && !read_fully(node->durable_fd, buffer, durable_end - offset, offset)) return -errno;
    std::memset(buffer + (durable_end - offset), 0, static_cast<size_t>(end - durable_end));
    int error = 0;
    node->written.for_each_within(offset, end, [&](int64_t begin, int64_t stop) {
        if (error == 0 && !read_fully(node->overlay_fd, buffer + (begin - offset), stop - begin, begin)) error = errno;
    });
    return error != 0 ? -error : end - offset;
}

int64_t FileSystem::write(NodeId id, int64_t offset, int64_t size, const char *data) {
    Node *node = find(id);
    if (node == nullptr) return -ENOENT;
    if (node->kind != Kind::file) return -EISDIR;
    if (offset < 0 || size < 0) return -EINVAL;
    if (node->overlay_fd < 0) {
        node->overlay_fd = ::open(overlay_path(node->id).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (node->overlay_fd < 0) return -errno;
    }
    if (!write_fully(node->overlay_fd, data, size, offset)) return -errno;
    node->written.add(offset, offset + size);
    node->size = std::max(node->size, offset + size);
    node->mtime = now();
    return size;
}

bool FileSystem::sync_fails_for(const Node &node) const {
    return std::any_of(failing_patterns_.begin(), failing_patterns_.end(),
                       [&](const std::string &pattern) { return fnmatch(pattern.c_str(), node.name.c_str(), 0) == 0; });
}

// The store file becomes what programs see: cut where the file was shrunk, the written
// ranges copied in, and extended or cut to the size.
int FileSystem::apply_changes(Node &node) {
    if (node.zeroed_from < node.durable_size && ftruncate(node.durable_fd, node.zeroed_from) != 0) return -errno;
    int error = 0;
    node.written.for_each([&](int64_t begin, int64_t end) {
        if (error == 0 && !copy_range(node.overlay_fd, node.durable_fd, begin, end)) error = errno;
    });
    if (error != 0) return -error;
    if (ftruncate(node.durable_fd, node.size) != 0) return -errno;
    node.durable_size = node.size;
    forget_changes(node);
    return 0;
}

// What a failed write-back does to the page cache: the changes are gone, and nothing
// remembers that they ever were.
void FileSystem::forget_changes(Node &node) {
    node.written.clear();
    node.zeroed_from = kNoZeroing;
    node.size = node.durable_size;
    if (node.overlay_fd >= 0 && ftruncate(node.overlay_fd, 0) != 0) {
        // The overlay only wastes room then; no range refers to its bytes any more.
    }
}

int FileSystem::sync_file(NodeId id) {
    Node *node = find(id);
    if (node == nullptr) return -ENOENT;
    if (node->kind != Kind::file) return -EINVAL;
    if (!node->has_changes()) return 0;
    if (sync_fails_for(*node)) {
        forget_changes(*node);
        return -EIO;
    }
    return apply_changes(*node);
}

int FileSystem::sync_directory(NodeId id) {
    Node *node = find(id);
    if (node == nullptr) return -ENOENT;
    if (node->kind != Kind::directory) return -ENOTDIR;
    node->durable_entries = node->entries;
    return 0;
}

int FileSystem::list(NodeId id, std::vector<ListedEntry> &listing) {
    Node *node = find(id);
    if (node == nullptr) return -ENOENT;
    if (node->kind != Kind::directory) return -ENOTDIR;
    listing.clear();
    listing.push_back({".", {}});
    describe(*node, listing.back().attributes);
    listing.push_back({"..", {}});
    describe(*find(node->parent), listing.back().attributes);
    for (const auto &[name, child] : node->entries) {
        listing.push_back({name, {}});
        describe(*find(child), listing.back().attributes);
    }
    return 0;
}

int FileSystem::file_system_statistics(struct statvfs &statistics) {
    return statvfs(backing_.c_str(), &statistics) == 0 ? 0 : -errno;
}

void FileSystem::sync_everything() {
    for (auto &[id, node] : nodes_) {
        if (node->kind == Kind::directory) node->durable_entries = node->entries;
        if (node->kind != Kind::file || node->durable_fd < 0 || !node->has_changes()) continue;
        if (sync_fails_for(*node)) forget_changes(*node);
        else if (apply_changes(*node) != 0)
            std::fprintf(stderr, "powercut: %s: cannot sync at the unmount: %s\n", node->name.c_str(),
                         std::strerror(errno));
    }
}

// A directory reached by a second durable name (a rename made durable only where it
// arrived) is placed once: a tree cannot hold it twice.
bool FileSystem::place_durable(const Node &directory, const std::string &path, std::vector<NodeId> &placed) {
    bool placed_all = true;
    for (const auto &[name, id] : directory.durable_entries) {
        const Node &node = *find(id);
        const std::string target = path + "/" + name;
        bool done = true;
        if (node.kind == Kind::directory) {
            if (std::find(placed.begin(), placed.end(), id) != placed.end()) {
                std::fprintf(stderr, "powercut: %s: a second durable name of a directory, left out\n", target.c_str());
                continue;
            }
            placed.push_back(id);
            done = mkdir(target.c_str(), node.permissions) == 0 && chmod(target.c_str(), node.permissions) == 0;
            if (done) placed_all = place_durable(node, target, placed) && placed_all;
        } else if (node.kind == Kind::file) {
            done = ::link(store_path(id).c_str(), target.c_str()) == 0;
        } else {
            done = symlink(node.target.c_str(), target.c_str()) == 0;
        }
        if (!done) {
            std::fprintf(stderr, "powercut: %s: cannot place it: %s\n", target.c_str(), std::strerror(errno));
            placed_all = false;
        }
    }
    return placed_all;
}

bool FileSystem::leave() {
    std::vector<NodeId> placed{kRootId};
    bool placed_all = place_durable(*find(kRootId), backing_, placed);
    if (chmod(backing_.c_str(), find(kRootId)->permissions) != 0) placed_all = false;
    for (auto &[id, node] : nodes_) {
        close_descriptor(node->durable_fd);
        close_descriptor(node->overlay_fd);
    }
    if (nftw(scratch_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS) != 0) {
        std::fprintf(stderr, "powercut: %s: cannot remove it: %s\n", scratch_.c_str(), std::strerror(errno));
        placed_all = false;
    }
    return placed_all;
}

}  // namespace powercut
