// The file system of a machine that can lose power at any moment. Programs see the current
// state; a power cut leaves only the durable state:
//   - a file's bytes and size become durable when an fsync (or fdatasync) of it returns;
//   - a directory's entries (creations, removals, renames, links) become durable when an
//     fsync of that directory returns;
//   - an fsync of a file whose name matches a failing pattern fails with EIO when it has
//     changes to write, and those changes are dropped and forgotten (the file shows its
//     durable bytes again), so a retried fsync succeeds without making them durable.
// Modes are applied at once and count as durable.
//
// Durable contents live in a store in the scratch directory, one file per node; the
// changes since the last sync of a file live in an overlay file beside it (sparse: only
// the bytes written) and a list of the ranges written. Taking over a backing directory
// moves its files into the store and leaves it empty; leaving puts the durable tree back
// as plain files and directories and removes the scratch directory.
#pragma once

#include "byte_ranges.h"

#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unordered_map>
#include <utility>
#include <vector>

namespace powercut {

using NodeId = uint64_t;
constexpr NodeId kRootId = 1;

enum class Kind { file, directory, symlink };

struct Node {
    NodeId id = 0;
    Kind kind = Kind::file;
    mode_t permissions = 0;
    timespec mtime{};
    std::string name;        // the name it was last given: what failing patterns match
    int64_t links = 0;       // current names (directories: 1 while they have a parent)
    uint64_t lookups = 0;    // references the kernel holds
    int64_t opens = 0;
    NodeId parent = 0;       // directories: the current parent

    // directory
    std::map<std::string, NodeId> entries;          // what programs see
    std::map<std::string, NodeId> durable_entries;  // what a power cut leaves

    // symlink
    std::string target;

    // file
    int durable_fd = -1;     // the store file: the durable bytes
    int overlay_fd = -1;     // bytes written since the last sync, at their offsets
    int64_t size = 0;
    int64_t durable_size = 0;
    int64_t zeroed_from = INT64_MAX;  // shrunk since the last sync: durable bytes from here on are gone
    ByteRanges written;               // ranges of the overlay that hold bytes

    bool has_changes() const { return !written.empty() || size != durable_size || zeroed_from != INT64_MAX; }
};

// A directory entry as a listing shows it.
struct ListedEntry {
    std::string name;
    struct stat attributes;
};

class FileSystem {
public:
    // Takes over the backing directory: every file, directory and symbolic link under it
    // becomes durable and current state, its files move into the store in scratch (an
    // empty directory on the same file system) and the backing directory is left empty.
    // failing_patterns are fnmatch patterns of file names whose fsyncs fail. Throws
    // std::runtime_error, before anything moved, for anything else in the tree.
    FileSystem(std::string backing, std::string scratch, std::vector<std::string> failing_patterns);
    ~FileSystem();
    FileSystem(const FileSystem &) = delete;
    FileSystem &operator=(const FileSystem &) = delete;

    // The requests. Each returns 0 (or a byte count) or -errno; those that hand a node to
    // the kernel fill its attributes and count one lookup of it.
    int lookup(NodeId parent, const std::string &name, struct stat &attributes);
    void forget(NodeId id, uint64_t count);
    int get_attributes(NodeId id, struct stat &attributes);
    int set_permissions(NodeId id, mode_t permissions);
    int truncate(NodeId id, int64_t size);
    int set_mtime(NodeId id, const timespec &mtime);
    int read_link(NodeId id, std::string &target);
    int make(NodeId parent, const std::string &name, Kind kind, mode_t permissions, const std::string &target,
             struct stat &attributes);
    int link(NodeId id, NodeId parent, const std::string &name, struct stat &attributes);
    int unlink(NodeId parent, const std::string &name);
    int remove_directory(NodeId parent, const std::string &name);
    int rename(NodeId parent, const std::string &name, NodeId new_parent, const std::string &new_name,
               unsigned flags);
    int open(NodeId id, bool truncating);
    void release(NodeId id);
    int64_t read(NodeId id, int64_t offset, int64_t size, char *buffer);
    int64_t write(NodeId id, int64_t offset, int64_t size, const char *data);
    int sync_file(NodeId id);
    int sync_directory(NodeId id);
    int list(NodeId id, std::vector<ListedEntry> &listing);
    int file_system_statistics(struct statvfs &statistics);

    // A clean shutdown: every change not lost to a failed sync becomes durable.
    void sync_everything();
    // Puts the durable tree into the (empty) backing directory as plain files, directories
    // and symbolic links, and removes the scratch directory. Returns false, having said
    // why on standard error, when something could not be placed.
    bool leave();

private:
    Node *find(NodeId id);
    Node &add_node(Kind kind, mode_t permissions);
    std::string store_path(NodeId id) const;
    std::string overlay_path(NodeId id) const;
    void describe(const Node &node, struct stat &attributes) const;
    int attach(Node &directory, const std::string &name, Node &node, struct stat &attributes);
    void drop_name(Node &directory, const std::string &name);
    void release_if_unreachable(Node &node);
    bool sync_fails_for(const Node &node) const;
    int apply_changes(Node &node);
    void forget_changes(Node &node);
    bool inside(NodeId directory, NodeId ancestor);
    void take_over(Node &directory, const std::string &path, std::map<std::pair<dev_t, ino_t>, NodeId> &files);
    bool place_durable(const Node &directory, const std::string &path, std::vector<NodeId> &placed);

    std::string backing_;
    std::string scratch_;
    std::vector<std::string> failing_patterns_;
    std::unordered_map<NodeId, std::unique_ptr<Node>> nodes_;
    NodeId next_id_ = kRootId;
};

}  // namespace powercut
