// powercut: a FUSE file system over a backing directory that behaves like a machine that
// loses power. Programs see every change at once; only what they synced is durable. On
// SIGUSR1 (the power cut) it stops answering, puts exactly the durable state into the
// backing directory as plain files and directories, unmounts and exits 0. An unmount,
// SIGINT or SIGTERM is a clean shutdown: everything is synced first. Test support.
#include "model.h"
#include "operations.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct CommandLine {
    std::string backing;
    std::string mount_point;
    std::string scratch;                        // empty: made beside the backing directory
    std::vector<std::string> failing_patterns;  // --fail-fsync
    std::vector<std::string> options;           // -o
};

constexpr const char *kDescription =
    "Mounts BACKING at MOUNTPOINT as a file system that loses what was not synced when the power\n"
    "is cut. A file's bytes and size become durable when an fsync or fdatasync of it returns; a\n"
    "directory's entries (creations, removals, renames, links) when an fsync of the directory\n"
    "returns. SIGUSR1 cuts the power: the backing directory then holds exactly the durable state,\n"
    "the mount is gone and the program ends with status 0. An unmount, SIGINT or SIGTERM shuts\n"
    "down cleanly, syncing everything first. While mounted, BACKING is empty and its files live\n"
    "in the scratch directory.";

CommandLine parse_command_line(int argc, char **argv) {
    CommandLine line;
    CLI::App app(kDescription, "powercut");
    app.add_option("BACKING", line.backing, "directory holding the durable state")->required();
    app.add_option("MOUNTPOINT", line.mount_point, "an empty directory")->required();
    app.add_option("--scratch", line.scratch,
                   "an empty directory on BACKING's file system for the state while mounted (default: a new "
                   "directory beside BACKING)");
    app.add_option("--fail-fsync", line.failing_patterns,
                   "fsync of a file whose name matches this shell pattern fails with EIO when it has changes, "
                   "which are then dropped and forgotten (may be repeated)");
    app.add_option("-o", line.options, "mount options, comma-separated")->type_name("OPTION,...");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &error) {
        std::exit(app.exit(error));
    }
    return line;
}

std::string absolute(const std::string &path) {
    char *resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) throw std::runtime_error(path + ": " + std::strerror(errno));
    std::string result = resolved;
    std::free(resolved);
    return result;
}

std::string make_scratch_beside(const std::string &backing) {
    const size_t slash = backing.rfind('/');
    std::string pattern = backing.substr(0, slash + 1) + "." + backing.substr(slash + 1) + ".powercut-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error(pattern + ": " + std::strerror(errno));
    return pattern;
}

// Store files stay open for every file of the tree.
void raise_descriptor_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

fuse_session *volatile g_session = nullptr;
volatile sig_atomic_t g_power_cut = 0;
volatile sig_atomic_t g_stop = 0;

void on_power_cut(int) {
    g_power_cut = 1;
    if (g_session != nullptr) fuse_session_exit(g_session);
}

void on_stop(int) {
    g_stop = 1;
    if (g_session != nullptr) fuse_session_exit(g_session);
}

// Without SA_RESTART, so that a signal ends the wait for the next request at once: the
// request being answered when it comes is the last one.
void set_signal_handlers() {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = on_power_cut;
    sigaction(SIGUSR1, &action, nullptr);
    action.sa_handler = on_stop;
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal_number, &action, nullptr);
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);
}

class FuseArguments {
public:
    explicit FuseArguments(const CommandLine &line) {
        add("powercut");
        add("-o");
        add("fsname=powercut,subtype=powercut");
        for (const std::string &options : line.options) {
            add("-o");
            add(options);
        }
    }
    ~FuseArguments() { fuse_opt_free_args(&args_); }
    FuseArguments(const FuseArguments &) = delete;
    FuseArguments &operator=(const FuseArguments &) = delete;
    fuse_args *get() { return &args_; }

private:
    void add(const std::string &argument) {
        if (fuse_opt_add_arg(&args_, argument.c_str()) != 0) throw std::bad_alloc();
    }
    fuse_args args_ = FUSE_ARGS_INIT(0, nullptr);
};

// Serves the mount until the power is cut or it is shut down; true for a power cut.
bool serve(const CommandLine &line, powercut::FileSystem &files) {
    set_signal_handlers();  // before the mount shows, so that no signal finds them missing
    FuseArguments arguments(line);
    fuse_session *session =
        fuse_session_new(arguments.get(), &powercut::operations(), sizeof(fuse_lowlevel_ops), &files);
    if (session == nullptr) throw std::runtime_error("fuse: cannot make a session (bad -o option?)");
    if (fuse_session_mount(session, line.mount_point.c_str()) != 0) {
        fuse_session_destroy(session);
        throw std::runtime_error("fuse: cannot mount at " + line.mount_point);
    }
    // A signal from here on either ends the loop or is seen before it starts.
    g_session = session;
    const int result = g_power_cut || g_stop ? 0 : fuse_session_loop(session);
    g_session = nullptr;
    // Requests that came after the cut are never answered: the unmount fails them.
    fuse_session_unmount(session);
    fuse_session_destroy(session);
    if (result < 0) throw std::runtime_error(std::string("fuse: the request loop failed: ") + std::strerror(-result));
    return g_power_cut != 0;
}

}  // namespace

int main(int argc, char **argv) {
    const CommandLine parsed = parse_command_line(argc, argv);
    std::unique_ptr<powercut::FileSystem> files;
    try {
        CommandLine line = parsed;
        line.backing = absolute(line.backing);
        line.mount_point = absolute(line.mount_point);
        line.scratch = line.scratch.empty() ? make_scratch_beside(line.backing) : absolute(line.scratch);
        umask(0);  // the kernel has applied the caller's umask to every mode it sends
        raise_descriptor_limit();
        files = std::make_unique<powercut::FileSystem>(line.backing, line.scratch, line.failing_patterns);
        if (!serve(line, *files)) files->sync_everything();
    } catch (const std::exception &error) {
        std::fprintf(stderr, "powercut: %s\n", error.what());
        // What was taken over goes back, as far as it was durable.
        if (files) files->leave();
        return 1;
    }
    return files->leave() ? 0 : 1;
}
