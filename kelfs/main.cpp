// kelfs: the recorded data files of a volume as ordinary read-only files, through a FUSE
// view mounted at the configuration's FUSEPATH or at a directory given.
#include "fuse_version.h"

#include "background.h"
#include "mounting.h"
#include "operations.h"
#include "program.h"
#include "volume_view.h"

#include <CLI/CLI.hpp>
#include <fuse_lowlevel.h>

#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// New recordings and their growth show within a second: the listing is at most this old
// when a request is answered, and the kernel keeps what it was told for kAttributeSeconds.
constexpr auto kListingMaxAge = 250ms;
constexpr double kAttributeSeconds = 0.5;
// A sequential reader then sends requests of kMaxReadBytes, several at once.
constexpr int kReadAheadKiB = 4096;

struct CommandLine {
    std::string config;
    std::string mount_point;  // empty: the configuration's FUSEPATH
    bool foreground = false;
    std::vector<std::string> options;  // each "A,B,..." of a -o
};

constexpr const char *kDescription =
    "Shows every recorded data file of the volume (a \".det\" file in state ok) as a read-only file\n"
    "at MOUNTPOINT, or at the configuration's FUSEPATH. Runs in the background once the mount\n"
    "answers unless -f is given; fusermount3 -u MOUNTPOINT, SIGINT, SIGTERM or SIGHUP unmount it.\n"
    "-o passes mount options to FUSE (auto_unmount, allow_other, max_read=N, attr_timeout=S,\n"
    "entry_timeout=S, negative_timeout=S, no_splice_write, ...).";

void add_arguments(CLI::App &app, CommandLine &line) {
    app.add_option("CONFIG", line.config, "configuration file of the volume")->required();
    app.add_option("MOUNTPOINT", line.mount_point, "an empty directory (default: the configuration's FUSEPATH)");
    app.add_flag("-f,--foreground", line.foreground, "stay in the foreground");
    app.add_option("-o", line.options, "mount options, comma-separated")->type_name("OPTION,...");
    app.set_version_flag("--version", std::string("kelfs ") + KEL_VERSION);
}

// The command line; null when it asked for the help or the version, which are printed.
std::unique_ptr<CommandLine> parse_command_line(int argc, char **argv) {
    auto line = std::make_unique<CommandLine>();
    CLI::App app(kDescription, "kelfs");
    add_arguments(app, *line);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        std::fputs(app.help().c_str(), stdout);
        return nullptr;
    } catch (const CLI::CallForVersion &) {
        std::printf("%s\n", app.version().c_str());
        return nullptr;
    } catch (const CLI::ParseError &error) {
        throw kel::UsageError(std::string(error.what()) + " (usage: kelfs CONFIG [MOUNTPOINT] [-f] [-o OPTION,...])");
    }
    return line;
}

// libfuse's arguments: read-only, kelfs's largest read first so that the user's options
// override it, then the user's options.
class FuseArguments {
public:
    FuseArguments(const std::string &config_path, const std::vector<std::string> &user_options) {
        add("kelfs");
        add_options("ro,subtype=kelfs,max_read=" + std::to_string(kelfs::kMaxReadBytes));
        // The configuration names the mounted volume in the mount table; a comma in its
        // path must not split the option.
        char *fsname = nullptr;
        const bool escaped = fuse_opt_add_opt_escaped(&fsname, ("fsname=" + config_path).c_str()) == 0;
        const std::unique_ptr<char, decltype(&std::free)> owner(fsname, &std::free);
        if (!escaped) throw std::bad_alloc();
        add_options(fsname);
        for (const std::string &options : user_options) add_options(options);
    }
    ~FuseArguments() { fuse_opt_free_args(&args_); }
    FuseArguments(const FuseArguments &) = delete;
    FuseArguments &operator=(const FuseArguments &) = delete;

    fuse_args *get() { return &args_; }

private:
    void add(const std::string &argument) {
        if (fuse_opt_add_arg(&args_, argument.c_str()) != 0) throw std::bad_alloc();
    }
    void add_options(const std::string &options) {
        add("-o");
        add(options);
    }

    fuse_args args_ = FUSE_ARGS_INIT(0, nullptr);
};

// What libfuse said, or what kelfs knows when it said nothing.
std::string or_else(const std::string &said, const std::string &otherwise) { return said.empty() ? otherwise : said; }

// The options kelfs answers itself: the cache times, taken out of the arguments, and the
// largest read, which stays in them for the mount and which init must repeat.
struct OwnOptions {
    kelfs::CacheTimes cache_times{kAttributeSeconds, kAttributeSeconds, 0};
    unsigned max_read = kelfs::kMaxReadBytes;
};

OwnOptions take_own_options(FuseArguments &arguments) {
    enum { kMaxRead };
    static const fuse_opt own_option_table[] = {
        {"attr_timeout=%lf", offsetof(OwnOptions, cache_times.attributes), 0},
        {"entry_timeout=%lf", offsetof(OwnOptions, cache_times.entries), 0},
        {"negative_timeout=%lf", offsetof(OwnOptions, cache_times.missing_entries), 0},
        FUSE_OPT_KEY("max_read=", kMaxRead),
        FUSE_OPT_END,
    };
    const auto keep = [](void *data, const char *argument, int key, fuse_args *) {
        if (key == kMaxRead) std::sscanf(argument, "max_read=%u", &static_cast<OwnOptions *>(data)->max_read);
        return 1;
    };
    OwnOptions options;
    kelfs::StderrCapture said;
    if (fuse_opt_parse(arguments.get(), &options, own_option_table, keep) != 0)
        throw std::runtime_error("fuse: " + or_else(said.finish(), "invalid options"));
    return options;
}

// Connection options given on the command line (max_readahead=, no_splice_write, ...),
// taken out of the arguments and applied in the operations' init.
class ConnectionOptions {
public:
    explicit ConnectionOptions(FuseArguments &arguments) {
        kelfs::StderrCapture said;
        options_ = fuse_parse_conn_info_opts(arguments.get());
        if (options_ == nullptr) throw std::runtime_error("fuse: " + or_else(said.finish(), "invalid connection options"));
    }
    ~ConnectionOptions() { std::free(options_); }
    ConnectionOptions(const ConnectionOptions &) = delete;
    ConnectionOptions &operator=(const ConnectionOptions &) = delete;
    fuse_conn_info_opts *get() const { return options_; }

private:
    fuse_conn_info_opts *options_ = nullptr;
};

// A mounted view; unmounted and destroyed on every way out. What libfuse says while it
// starts goes to `said`, so that a failure is reported as one line.
class Mount {
public:
    Mount(FuseArguments &arguments, kelfs::Context &context, const std::string &mount_point,
          kelfs::StderrCapture &said)
        : mount_point_(mount_point), said_(said) {
        session_ = fuse_session_new(arguments.get(), &kelfs::operations(), sizeof(fuse_lowlevel_ops), &context);
        if (session_ == nullptr) throw failure("the mount failed");
        try {
            // Before the mount: a signal from now on ends kelfs through the loop, unmounted.
            if (fuse_set_signal_handlers(session_) != 0) throw failure("cannot set the signal handlers");
            signals_ = true;
            if (fuse_session_mount(session_, mount_point_.c_str()) != 0) throw failure("the mount failed");
            mounted_ = true;
        } catch (...) {
            close();
            throw;
        }
    }
    ~Mount() { close(); }
    Mount(const Mount &) = delete;
    Mount &operator=(const Mount &) = delete;

    // Serves requests until the view is unmounted or a signal ends it; 0 then. In the
    // background the daemon makes the first requests on the root itself and calls
    // answered once they were answered; should they not be, it throws std::runtime_error
    // with the reason (what libfuse said, or the signal that came first). Throws too when
    // the loop fails.
    int serve(std::optional<kelfs::Background> &background) {
        std::string why_not = "the loop ended first";
        bool answers = false;
        std::thread first_requests;
        // In the foreground the user's own requests come at once: an open directory of
        // kelfs's would make an unmount right then fail as busy.
        if (background) first_requests = std::thread([&] {
            why_not = kelfs::first_answer(mount_point_);
            answers = why_not.empty();
            if (!answers) return;
            said_.finish();
            background->answered();
        });
        fuse_loop_config *config = fuse_loop_cfg_create();
        const int result = config != nullptr ? fuse_session_loop_mt(session_, config) : -ENOMEM;
        if (config != nullptr) fuse_loop_cfg_destroy(config);
        // A request still waiting for an answer gets one once the session is gone.
        close();
        if (first_requests.joinable()) first_requests.join();
        if (result < 0) throw failure(std::string("the request loop failed: ") + std::strerror(-result));
        // A positive result is the signal (SIGINT, SIGTERM, SIGHUP) that asked it to end.
        if (background && !answers)
            throw failure(result > 0 ? "ended by a signal (" + std::string(::strsignal(result)) + ") before the mount answered"
                                     : "the mount did not answer: " + why_not);
        return 0;
    }

private:
    std::runtime_error failure(const std::string &otherwise) {
        return std::runtime_error("fuse: " + or_else(said_.finish(), otherwise));
    }

    void close() {
        if (session_ == nullptr) return;
        if (signals_) fuse_remove_signal_handlers(session_);
        if (mounted_) fuse_session_unmount(session_);
        fuse_session_destroy(session_);
        session_ = nullptr;
    }

    const std::string mount_point_;
    kelfs::StderrCapture &said_;
    fuse_session *session_ = nullptr;
    bool mounted_ = false;
    bool signals_ = false;
};

int run(int argc, char **argv) {
    const std::unique_ptr<CommandLine> line = parse_command_line(argc, argv);
    if (!line) return 0;
    kel::VolumeView view(line->config, kListingMaxAge);
    const std::string mount_point =
        kelfs::usable_mount_point(line->mount_point.empty() ? view.volume().fuse_path : line->mount_point);
    kelfs::require_fuse_device();
    FuseArguments arguments(line->config, line->options);
    const OwnOptions own = take_own_options(arguments);
    ConnectionOptions connection(arguments);
    // The daemon mounts, so that it alone holds the connection: should it fail, the mount
    // goes with it.
    std::optional<kelfs::Background> background;
    if (!line->foreground) background = kelfs::Background::start();
    // What libfuse says is kept until the mount answers, so that a failure is one line: in
    // the background until the daemon's own first requests were answered, in the
    // foreground until the first request on the root is.
    kelfs::StderrCapture said;
    kelfs::Context context{.view = &view,
                           .connection_options = connection.get(),
                           .max_read = own.max_read,
                           .cache_times = own.cache_times,
                           .read_ahead_kib = kReadAheadKiB,
                           .root_answered = [&] {
                               if (!background) said.finish();
                           }};
    Mount mount(arguments, context, mount_point, said);
    context.read_ahead_setting = kelfs::read_ahead_setting(mount_point);
    return mount.serve(background);
}

}  // namespace

int main(int argc, char **argv) {
    std::signal(SIGXFSZ, SIG_IGN);  // a file size limit fails a write (EFBIG) instead of killing the view
    return kel::run_program(kel::Program{"kelfs", nullptr, ""}, [&] { return run(argc, argv); });
}
