// kelvol: the operator's tool for a striped volume. One subcommand per verb; every failure
// is one line "kelvol: PATH: reason" on standard error (exit 1, 2 for a usage error).
#include "create.h"
#include "failure.h"
#include "findings.h"
#include "printers.h"
#include "program.h"
#include "repair.h"
#include "space.h"
#include "space_map.h"
#include "system_error.h"
#include "transfer.h"
#include "units.h"
#include "volume.h"
#include "volume_writer.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <sys/ioctl.h>
#include <unistd.h>

#ifndef KEL_VERSION
#error "KEL_VERSION must be given by the build"
#endif

namespace {

using kelvol::Failure;

// What runs a parsed subcommand: it holds the subcommand's own options.
using Run = std::function<int()>;

// One subcommand: its name, its line in the help, and what adds its options to the
// command line and returns its run.
struct Command {
    const char *name;
    const char *summary;
    Run (*define)(CLI::App &command);
};

int terminal_columns() {
    struct winsize size {};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

void add_config(CLI::App &command, std::string &config) {
    command.add_option("CONFIG", config, "the volume's configuration file")->required();
}

// A finite number of seconds, 0 or more: "nan" and "inf" would make every age stale or none.
const CLI::Validator kSeconds(
    [](std::string &text) -> std::string {
        char *end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !std::isfinite(value) || value < 0)
            return "a finite number of seconds, 0 or more, not " + text;
        return "";
    },
    "SECONDS");

void add_stale_after(CLI::App &command, kelvol::CheckLimits &limits) {
    command.add_option("--stale-after", limits.stale_after_seconds, "seconds after which an allocation is left over")
        ->capture_default_str()
        ->check(kSeconds);
}

Run define_create(CLI::App &command) {
    auto options = std::make_shared<kelvol::CreateOptions>();
    command.add_option("DIR", options->directory, "the new volume's directory (made, or empty)")->required();
    CLI::Option *members =
        command.add_option("--members", options->members, "member files to make")->check(CLI::Range(1, 4096));
    CLI::Option *member_mib =
        command.add_option("--member-mib", options->member_mib, "MiB per member file")->check(CLI::PositiveNumber);
    command.add_option("--chunk-kib", options->chunk_kib, "stripe unit in KiB")
        ->capture_default_str()
        ->check(CLI::Range(int64_t{1}, kelvol::kMaxChunkKib));
    command.add_option("--threads", options->threads, "engine worker threads")
        ->capture_default_str()
        ->check(CLI::Range(1, 1 << 20));
    command.add_option("--devices", options->devices, "existing block devices or files, comma-separated")
        ->delimiter(',')
        ->excludes(members)
        ->excludes(member_mib);
    return [options, members, member_mib] {
        if (options->devices.empty() && (members->count() == 0 || member_mib->count() == 0))
            throw kel::UsageError("create: --members and --member-mib are needed, or --devices");
        std::printf("%s\n", kelvol::create_volume(*options).c_str());
        return 0;
    };
}

// The arguments of a command on a volume: its configuration file and the command's own.
template <typename Options>
struct OnVolume {
    std::string config;
    Options options;
};

template <typename Options>
std::shared_ptr<OnVolume<Options>> add_volume_arguments(CLI::App &command) {
    auto arguments = std::make_shared<OnVolume<Options>>();
    add_config(command, arguments->config);
    return arguments;
}

struct Listing {
    bool json = false;
};

std::shared_ptr<OnVolume<Listing>> add_listing(CLI::App &command) {
    auto arguments = add_volume_arguments<Listing>(command);
    command.add_flag("--json", arguments->options.json, "one JSON document instead of the table");
    return arguments;
}

Run define_ls(CLI::App &command) {
    return [arguments = add_listing(command)] {
        const kelvol::Volume volume = kelvol::open_volume(arguments->config);
        kelvol::print_ls(kelvol::scan_volume(volume), arguments->options.json, stdout);
        return 0;
    };
}

Run define_df(CLI::App &command) {
    return [arguments = add_listing(command)] {
        const kelvol::Volume volume = kelvol::open_volume(arguments->config);
        kelvol::print_df(kelvol::usage_of(volume, kelvol::scan_volume(volume)), arguments->options.json, stdout);
        return 0;
    };
}

struct MapOptions {
    std::string svg;
    int width = 0;
};

int run_map(const OnVolume<MapOptions> &on_volume, bool svg_given) {
    const MapOptions &arguments = on_volume.options;
    if (svg_given && arguments.svg.empty()) throw kel::UsageError("map: --svg needs a file name");
    const kelvol::Volume volume = kelvol::open_volume(on_volume.config);
    const kelvol::VolumeScan scan = kelvol::scan_volume(volume);
    const kelvol::SpaceModel space = kelvol::space_of(volume, scan);
    if (svg_given) {
        try {
            kel::write_text_file(arguments.svg, kelvol::map_svg(space));
        } catch (const kel::SystemError &error) {
            throw Failure(arguments.svg,
                          "cannot write the picture: " + kelvol::system_reason(error.call().c_str(), error.error_number()));
        }
        return 0;
    }
    const int columns = arguments.width > 0 ? arguments.width : terminal_columns();
    std::printf("%s\n%s\n", kelvol::map_line(space, columns).c_str(), kelvol::map_legend(space, columns).c_str());
    return 0;
}

Run define_map(CLI::App &command) {
    auto arguments = add_volume_arguments<MapOptions>(command);
    CLI::Option *svg = command.add_option("--svg", arguments->options.svg, "write an SVG picture to FILE instead");
    command.add_option("--width", arguments->options.width, "columns of the line (default: the terminal's, or 80)")
        ->check(CLI::Range(1, 100000));
    return [arguments, svg] { return run_map(*arguments, svg->count() > 0); };
}

struct CheckOptions {
    bool json = false;
    kelvol::CheckLimits limits;
};

Run define_check(CLI::App &command) {
    auto arguments = add_volume_arguments<CheckOptions>(command);
    command.add_flag("--json", arguments->options.json, "one JSON document instead of the lines");
    add_stale_after(command, arguments->options.limits);
    return [arguments] {
        const kelvol::Volume volume = kelvol::open_volume(arguments->config);
        const kelvol::VolumeScan scan = kelvol::scan_volume(volume);
        const kelvol::Findings findings =
            kelvol::check_volume(volume, scan, kelvol::space_of(volume, scan), arguments->options.limits);
        kelvol::print_check(findings, arguments->options.json, stdout);
        if (findings.problems.empty()) return 0;
        throw Failure(volume.props.header_dir, std::to_string(findings.problems.size()) + " problem(s) found");
    };
}

Run define_repair(CLI::App &command) {
    auto arguments = add_volume_arguments<kelvol::RepairOptions>(command);
    command.add_flag("--dry-run", arguments->options.dry_run, "print the actions, change nothing");
    add_stale_after(command, arguments->options.limits);
    return [arguments] {
        return kelvol::repair_volume(kelvol::open_volume(arguments->config), arguments->options, stdout);
    };
}

Run define_export(CLI::App &command) {
    auto arguments = add_volume_arguments<kelvol::ExportOptions>(command);
    command.add_option("NAME", arguments->options.name, "the data file (a path: its .det file)")->required();
    command.add_option("OUT", arguments->options.out, "output file, - for standard output")->capture_default_str();
    command.add_flag("--quiet", arguments->options.quiet, "no progress line");
    return [arguments] {
        kelvol::export_data_file(kelvol::open_volume(arguments->config), arguments->options);
        return 0;
    };
}

struct ImportArguments {
    kelvol::ImportOptions import;
    int64_t extent_mib = 1024;
};

Run define_import(CLI::App &command) {
    auto arguments = add_volume_arguments<ImportArguments>(command);
    kelvol::ImportOptions &import = arguments->options.import;
    command.add_option("IN", import.in, "input file, - for standard input")->required();
    command.add_option("NAME", import.name, "the new data file")->required();
    command.add_option("--extent-mib", arguments->options.extent_mib, "MiB per extent of a stream")
        ->capture_default_str()
        ->check(CLI::Range(int64_t{1}, int64_t{1} << 30));
    command.add_flag("--quiet", import.quiet, "no progress line");
    return [arguments] {
        ImportArguments &options = arguments->options;
        options.import.extent_bytes = options.extent_mib * kel::kMiB;
        kelvol::import_data_file(kelvol::open_volume(arguments->config), options.import);
        return 0;
    };
}

// Every subcommand, in the order the help lists them.
const Command kCommands[] = {
    {"create", "make a volume of member files (or on existing devices)", define_create},
    {"ls", "list the data files: size, extents, state, modification time", define_ls},
    {"df", "the volume's space: used, reserved, free, the largest request", define_df},
    {"map", "picture each member's address space", define_map},
    {"check", "find what is wrong or left over in the header directory", define_check},
    {"repair", "clear what check calls stale, and nothing else", define_repair},
    {"export", "copy a data file out, byte for byte", define_export},
    {"import", "record a file or stream as a new data file", define_import},
};

// The subcommand named on the command line, for usage errors.
std::string command_named(int argc, char **argv) {
    for (int i = 1; i < argc; ++i)
        for (const Command &command : kCommands)
            if (argv[i] == std::string_view(command.name)) return command.name;
    return "usage";
}

int run(int argc, char **argv) {
    CLI::App app{"The operator's tool for a striped volume: create it, list and picture what it holds, check "
                 "and repair what crashed writers left behind, export and import data files."};
    app.set_version_flag("--version", KEL_VERSION);
    app.footer("Every command and option, the states, the findings and examples: man kelvol (kelvol(1)).");
    app.require_subcommand(1);

    std::vector<std::pair<CLI::App *, Run>> runs;
    for (const Command &command : kCommands) {
        CLI::App *subcommand = app.add_subcommand(command.name, command.summary);
        runs.emplace_back(subcommand, command.define(*subcommand));
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success &done) {
        return app.exit(done);  // --help, --version: on standard output
    } catch (const CLI::ParseError &error) {
        std::string reason = error.what();
        std::replace(reason.begin(), reason.end(), '\n', ' ');
        throw kel::UsageError(command_named(argc, argv) + ": " + reason);
    }
    for (const auto &[subcommand, run_subcommand] : runs)
        if (subcommand->parsed()) return run_subcommand();
    throw kel::UsageError("usage: a command is needed");  // require_subcommand(1) leaves none unparsed
}

// Whatever stops the run is reported on one line that a terminal shows as it is: a name
// in it may hold a newline or escape sequences.
int with_printable_failures(const std::function<int()> &body) {
    try {
        return body();
    } catch (const kel::UsageError &error) {
        throw kel::UsageError(kelvol::printable(error.what()));
    } catch (const std::exception &error) {
        throw std::runtime_error(kelvol::printable(error.what()));
    }
}

}  // namespace

int main(int argc, char **argv) {
    // A reader that goes away ends an export with an error, not with a signal; so does a
    // file size limit (the write fails with EFBIG and its output is removed).
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    kelvol::capture_engine_messages();
    return kel::run_program({"kelvol", nullptr, ""}, [&] { return with_printable_failures([&] { return run(argc, argv); }); });
}
