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
#include <stdexcept>
#include <sys/ioctl.h>
#include <unistd.h>

#ifndef KEL_VERSION
#error "KEL_VERSION must be given by the build"
#endif

namespace {

using kelvol::Failure;

struct Arguments {
    kelvol::CreateOptions create;
    std::string config;
    bool json = false;
    std::string svg;
    bool svg_given = false;
    int width = 0;
    double stale_after = 600;
    bool dry_run = false;
    kelvol::ExportOptions export_options;
    kelvol::ImportOptions import_options;
    int64_t extent_mib = 1024;
    bool members_given = false;
};

int terminal_columns() {
    struct winsize size {};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

kelvol::CheckLimits limits_of(const Arguments &arguments) {
    kelvol::CheckLimits limits;
    limits.stale_after_seconds = arguments.stale_after;
    return limits;
}

void add_config(CLI::App *command, Arguments &arguments) {
    command->add_option("CONFIG", arguments.config, "the volume's configuration file")->required();
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

void add_stale_after(CLI::App *command, Arguments &arguments) {
    command->add_option("--stale-after", arguments.stale_after, "seconds after which an allocation is left over")
        ->capture_default_str()
        ->check(kSeconds);
}

int run_check(const Arguments &arguments) {
    const kelvol::Volume volume = kelvol::open_volume(arguments.config);
    const kelvol::VolumeScan scan = kelvol::scan_volume(volume);
    const kelvol::Findings findings =
        kelvol::check_volume(volume, scan, kelvol::space_of(volume, scan), limits_of(arguments));
    kelvol::print_check(findings, arguments.json, stdout);
    if (findings.problems.empty()) return 0;
    throw Failure(volume.props.header_dir, std::to_string(findings.problems.size()) + " problem(s) found");
}

int run_map(const Arguments &arguments) {
    if (arguments.svg_given && arguments.svg.empty()) throw kel::UsageError("map: --svg needs a file name");
    const kelvol::Volume volume = kelvol::open_volume(arguments.config);
    const kelvol::VolumeScan scan = kelvol::scan_volume(volume);
    const kelvol::SpaceModel space = kelvol::space_of(volume, scan);
    if (arguments.svg_given) {
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

// The subcommand named on the command line, for usage errors.
std::string command_named(const CLI::App &app, int argc, char **argv) {
    for (int i = 1; i < argc; ++i)
        for (const CLI::App *command : app.get_subcommands({}))
            if (command->get_name() == argv[i]) return command->get_name();
    return "usage";
}

int run(int argc, char **argv) {
    CLI::App app{"The operator's tool for a striped volume: create it, list and picture what it holds, check "
                 "and repair what crashed writers left behind, export and import data files."};
    app.set_version_flag("--version", KEL_VERSION);
    app.footer("Every command and option, the states, the findings and examples: man kelvol (kelvol(1)).");
    app.require_subcommand(1);
    Arguments arguments;

    CLI::App *create = app.add_subcommand("create", "make a volume of member files (or on existing devices)");
    create->add_option("DIR", arguments.create.directory, "the new volume's directory (made, or empty)")->required();
    CLI::Option *members = create->add_option("--members", arguments.create.members, "member files to make")
                               ->check(CLI::Range(1, 4096));
    CLI::Option *member_mib = create->add_option("--member-mib", arguments.create.member_mib, "MiB per member file")
                                  ->check(CLI::PositiveNumber);
    create->add_option("--chunk-kib", arguments.create.chunk_kib, "stripe unit in KiB")
        ->capture_default_str()
        ->check(CLI::Range(int64_t{1}, int64_t{1024 * 1024}));
    create->add_option("--threads", arguments.create.threads, "engine worker threads")
        ->capture_default_str()
        ->check(CLI::Range(1, 1 << 20));
    create->add_option("--devices", arguments.create.devices, "existing block devices or files, comma-separated")
        ->delimiter(',')
        ->excludes(members)
        ->excludes(member_mib);

    CLI::App *ls = app.add_subcommand("ls", "list the data files: size, extents, state, modification time");
    add_config(ls, arguments);
    ls->add_flag("--json", arguments.json, "one JSON document instead of the table");

    CLI::App *df = app.add_subcommand("df", "the volume's space: used, reserved, free, the largest request");
    add_config(df, arguments);
    df->add_flag("--json", arguments.json, "one JSON document instead of the table");

    CLI::App *map = app.add_subcommand("map", "picture each member's address space");
    add_config(map, arguments);
    CLI::Option *svg = map->add_option("--svg", arguments.svg, "write an SVG picture to FILE instead");
    map->add_option("--width", arguments.width, "columns of the line (default: the terminal's, or 80)")
        ->check(CLI::Range(1, 100000));

    CLI::App *check = app.add_subcommand("check", "find what is wrong or left over in the header directory");
    add_config(check, arguments);
    check->add_flag("--json", arguments.json, "one JSON document instead of the lines");
    add_stale_after(check, arguments);

    CLI::App *repair = app.add_subcommand("repair", "clear what check calls stale, and nothing else");
    add_config(repair, arguments);
    repair->add_flag("--dry-run", arguments.dry_run, "print the actions, change nothing");
    add_stale_after(repair, arguments);

    CLI::App *export_command = app.add_subcommand("export", "copy a data file out, byte for byte");
    add_config(export_command, arguments);
    export_command->add_option("NAME", arguments.export_options.name, "the data file (a path: its .det file)")
        ->required();
    export_command->add_option("OUT", arguments.export_options.out, "output file, - for standard output")
        ->capture_default_str();
    export_command->add_flag("--quiet", arguments.export_options.quiet, "no progress line");

    CLI::App *import_command = app.add_subcommand("import", "record a file or stream as a new data file");
    add_config(import_command, arguments);
    import_command->add_option("IN", arguments.import_options.in, "input file, - for standard input")->required();
    import_command->add_option("NAME", arguments.import_options.name, "the new data file")->required();
    import_command->add_option("--extent-mib", arguments.extent_mib, "MiB per extent of a stream")
        ->capture_default_str()
        ->check(CLI::Range(int64_t{1}, int64_t{1} << 30));
    import_command->add_flag("--quiet", arguments.import_options.quiet, "no progress line");

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success &done) {
        return app.exit(done);  // --help, --version: on standard output
    } catch (const CLI::ParseError &error) {
        std::string reason = error.what();
        std::replace(reason.begin(), reason.end(), '\n', ' ');
        throw kel::UsageError(command_named(app, argc, argv) + ": " + reason);
    }

    arguments.svg_given = svg->count() > 0;
    if (create->parsed()) {
        if (arguments.create.devices.empty() && (members->count() == 0 || member_mib->count() == 0))
            throw kel::UsageError("create: --members and --member-mib are needed, or --devices");
        std::printf("%s\n", kelvol::create_volume(arguments.create).c_str());
        return 0;
    }
    if (ls->parsed()) {
        const kelvol::Volume volume = kelvol::open_volume(arguments.config);
        kelvol::print_ls(kelvol::scan_volume(volume), arguments.json, stdout);
        return 0;
    }
    if (df->parsed()) {
        const kelvol::Volume volume = kelvol::open_volume(arguments.config);
        kelvol::print_df(kelvol::usage_of(volume, kelvol::scan_volume(volume)), arguments.json, stdout);
        return 0;
    }
    if (map->parsed()) return run_map(arguments);
    if (check->parsed()) return run_check(arguments);
    if (repair->parsed()) {
        kelvol::RepairOptions options;
        options.limits = limits_of(arguments);
        options.dry_run = arguments.dry_run;
        return kelvol::repair_volume(kelvol::open_volume(arguments.config), options, stdout);
    }
    if (export_command->parsed()) {
        kelvol::export_data_file(kelvol::open_volume(arguments.config), arguments.export_options);
        return 0;
    }
    arguments.import_options.extent_bytes = arguments.extent_mib * kel::kMiB;
    kelvol::import_data_file(kelvol::open_volume(arguments.config), arguments.import_options);
    return 0;
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
