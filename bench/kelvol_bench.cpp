// kelvol's export (to /dev/null) and import (from a file on tmpfs) against the engine's own
// read and write of the same data file in the same run: alternated pairs, and the median
// and range of kelvol's speed relative to the engine's.
//
// Usage: kelvol_bench [--quick] [--size-mib M] [--pairs N]
#include "aligned_buffer.h"
#include "engine_handle.h"
#include "failure.h"
#include "pattern.h"
#include "program.h"
#include "system_error.h"
#include "temp_volume.h"
#include "timing.h"
#include "transfer.h"
#include "units.h"
#include "volume.h"
#include "volume_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <unistd.h>

namespace {

using kel::kMiB;

struct Options {
    int64_t size_mib = 512;
    int pairs = 11;
    int64_t chunk_kib = 1024;
    int members = 4;
    int workers = 2;
};

Options parse_options(int argc, char **argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        auto value = [&] {
            if (i + 1 >= argc) throw kel::UsageError(option + " needs a value");
            const long long number = std::atoll(argv[++i]);
            if (number < 1) throw kel::UsageError(option + " needs a positive number");
            return number;
        };
        if (option == "--quick") {
            options.size_mib = 16;
            options.pairs = 2;
        } else if (option == "--size-mib") {
            options.size_mib = value();
        } else if (option == "--pairs") {
            options.pairs = static_cast<int>(value());
        } else {
            throw kel::UsageError("unknown option " + option + " (usage: kelvol_bench [--quick] [--size-mib M] "
                                  "[--pairs N])");
        }
    }
    return options;
}

// A new data file of size bytes with one extent, the writer positioned at it.
void start_data_file(TioHandle *writer, const std::string &det, int64_t size) {
    const int64_t offset = tio_write_det(writer, det.c_str(), size);
    if (offset < 0) throw kel::EngineError("tio_write_det", offset, det);
    kel::expect_result(tio_set_offset(writer, offset), 0, "tio_set_offset");
}

void finish_data_file(kel::EngineHandle &writer, const std::string &det, int64_t size) {
    kel::expect_result(tio_wait_threads(writer.get()), 0, "tio_wait_threads");
    tio_finalize_det(writer.get(), det.c_str(), size);
    writer.close();
}

// The engine writing the data file from memory as a recording program would: one extent,
// 16 MiB calls.
double engine_write(const std::string &config, const std::string &det, const uint8_t *data, int64_t size) {
    std::remove(det.c_str());
    return kel::time_seconds([&] {
        kel::EngineHandle writer(config, kel::Direction::write);
        start_data_file(writer.get(), det, size);
        for (int64_t done = 0; done < size;) {
            const int64_t piece = std::min<int64_t>(16 * kMiB, size - done);
            kel::expect_result(tio_write(writer.get(), data + done, piece), piece, "tio_write");
            done += piece;
        }
        finish_data_file(writer, det, size);
    });
}

// The same work as an import, written plainly on the engine: the file read in 16 MiB pieces
// into a buffer, each piece handed to tio_write.
double engine_write_from_file(const std::string &config, const std::string &det, const std::string &input,
                              int64_t size) {
    std::remove(det.c_str());
    return kel::time_seconds([&] {
        kel::AlignedBuffer buffer(16 * kMiB);
        FILE *file = std::fopen(input.c_str(), "rb");
        if (file == nullptr) throw kel::SystemError("fopen", input, errno);
        kel::EngineHandle writer(config, kel::Direction::write);
        start_data_file(writer.get(), det, size);
        for (size_t got; (got = std::fread(buffer.data(), 1, static_cast<size_t>(buffer.size()), file)) > 0;)
            kel::expect_result(tio_write(writer.get(), buffer.data(), static_cast<int64_t>(got)),
                               static_cast<int64_t>(got), "tio_write");
        std::fclose(file);
        finish_data_file(writer, det, size);
    });
}

// The same work as an export, written plainly on the engine: 16 MiB reads, each written to
// /dev/null.
double engine_read_to_null(const std::string &config, const std::string &det, int64_t size) {
    int64_t offset = 0, length = 0;
    kel::expect_result(readDet(det.c_str(), 1, &offset, &length), 0, "readDet");
    return kel::time_seconds([&] {
        kel::AlignedBuffer buffer(16 * kMiB);
        FILE *null = std::fopen("/dev/null", "wb");
        kel::EngineHandle reader(config, kel::Direction::read);
        kel::expect_result(tio_set_offset(reader.get(), offset), 0, "tio_set_offset");
        kel::expect_result(tio_launch_read_threads(reader.get(), size), 0, "tio_launch_read_threads");
        for (int64_t done = 0; done < size;) {
            const int64_t piece = std::min<int64_t>(buffer.size(), size - done);
            kel::expect_result(tio_read(reader.get(), buffer.data(), piece), piece, "tio_read");
            std::fwrite(buffer.data(), 1, static_cast<size_t>(piece), null);
            done += piece;
        }
        kel::expect_result(tio_join_threads(reader.get()), 0, "tio_join_threads");
        reader.close();
        std::fclose(null);
    });
}

// The engine reading the data file's one extent back into memory, 16 MiB calls.
double engine_read(const std::string &config, const std::string &det, uint8_t *data, int64_t size) {
    int64_t offset = 0, length = 0;
    kel::expect_result(readDet(det.c_str(), 1, &offset, &length), 0, "readDet");
    return kel::time_seconds([&] {
        kel::EngineHandle reader(config, kel::Direction::read);
        kel::expect_result(tio_set_offset(reader.get(), offset), 0, "tio_set_offset");
        kel::expect_result(tio_launch_read_threads(reader.get(), size), 0, "tio_launch_read_threads");
        for (int64_t done = 0; done < size;) {
            const int64_t piece = std::min<int64_t>(16 * kMiB, size - done);
            kel::expect_result(tio_read(reader.get(), data + done, piece), piece, "tio_read");
            done += piece;
        }
        kel::expect_result(tio_join_threads(reader.get()), 0, "tio_join_threads");
        reader.close();
    });
}

void print_row(const char *what, const char *reference, const std::vector<double> &ratios,
               double candidate_mib_s, double reference_mib_s) {
    const kel::Spread spread = kel::spread_of(ratios);
    std::printf("| %s | %s | %.0f | %.0f | %.2f | %.2f-%.2f | %s |\n", what, reference, candidate_mib_s,
                reference_mib_s, spread.median, spread.low, spread.high, spread.median >= 0.9 ? "met" : "MISSED");
}

void run(const Options &options) {
    const int64_t size = options.size_mib * kMiB;
    const int64_t chunk = options.chunk_kib * 1024;
    kel::VolumeGeometry geometry{options.members, chunk, options.workers,
                                 kel::member_bytes_for(size + chunk * options.members, options.members, chunk)};
    kel::TempVolume volume("/dev/shm", "kelvol-bench-", geometry);
    kelvol::capture_engine_messages();
    const kelvol::Volume opened = kelvol::open_volume(volume.config_path());
    const std::string det = opened.props.header_dir + "/bench.det";
    const std::string input = volume.scratch_path("input");
    kel::AlignedBuffer data(size);
    kel::fill_pattern(7, 0, data.data(), size);
    kel::write_text_file(input, std::string(reinterpret_cast<const char *>(data.data()), static_cast<size_t>(size)));
    kel::AlignedBuffer back(size);

    // Each comparison alternates kelvol with one engine reference; every measurement of a
    // side is kept for its MiB/s.
    std::map<std::string, std::vector<double>> seconds;
    auto timed = [&](const std::string &side, const std::function<double()> &run_once) {
        return [&seconds, side, run_once] {
            const double s = run_once();
            seconds[side].push_back(s);
            return s;
        };
    };
    const auto kelvol_import = timed("kelvol import", [&] {
        std::remove(det.c_str());
        return kel::time_seconds([&] {
            kelvol::import_data_file(opened, kelvol::ImportOptions{input, "bench", int64_t{1024} * kMiB, true});
        });
    });
    const auto kelvol_export = timed("kelvol export", [&] {
        return kel::time_seconds(
            [&] { kelvol::export_data_file(opened, kelvol::ExportOptions{"bench", "/dev/null", true}); });
    });
    struct Row {
        const char *what;
        const char *reference;
        std::string candidate_side, reference_side;
        std::vector<double> ratios;
    };
    std::vector<Row> rows;
    rows.push_back({"import from a tmpfs file", "read + tio_write, same file", "kelvol import", "engine from file", {}});
    rows.back().ratios = kel::alternated_ratios(options.pairs, kelvol_import, timed("engine from file", [&] {
        return engine_write_from_file(volume.config_path(), det, input, size);
    }));
    rows.push_back({"import from a tmpfs file", "tio_write from memory", "kelvol import", "engine from memory", {}});
    rows.back().ratios = kel::alternated_ratios(options.pairs, kelvol_import, timed("engine from memory", [&] {
        return engine_write(volume.config_path(), det, data.data(), size);
    }));
    rows.push_back({"export to /dev/null", "tio_read + write to /dev/null", "kelvol export", "engine to null", {}});
    rows.back().ratios = kel::alternated_ratios(options.pairs, kelvol_export, timed("engine to null", [&] {
        return engine_read_to_null(volume.config_path(), det, size);
    }));
    rows.push_back({"export to /dev/null", "tio_read into memory", "kelvol export", "engine to memory", {}});
    rows.back().ratios = kel::alternated_ratios(options.pairs, kelvol_export, timed("engine to memory", [&] {
        return engine_read(volume.config_path(), det, back.data(), size);
    }));
    if (kel::first_pattern_mismatch(7, 0, back.data(), size) >= 0)
        throw std::runtime_error("the engine read back other bytes than were written");

    auto rate = [&](const std::string &side) { return kel::mib_per_second(size, kel::spread_of(seconds[side]).median); };
    std::printf("kelvol against the engine on tmpfs: %d members, %lld KiB chunks, %d workers, %lld MiB, %d "
                "alternated pairs per row (ratio = engine time / kelvol time)\n\n",
                options.members, static_cast<long long>(options.chunk_kib), options.workers,
                static_cast<long long>(options.size_mib), options.pairs);
    std::printf("| kelvol | engine reference | kelvol MiB/s | engine MiB/s | ratio (median) | ratio (range) | "
                "target 0.90 |\n");
    std::printf("|---|---|--:|--:|--:|--:|---|\n");
    for (const Row &row : rows)
        print_row(row.what, row.reference, row.ratios, rate(row.candidate_side), rate(row.reference_side));
}

}  // namespace

int main(int argc, char **argv) {
    return kel::run_program({"kelvol_bench"}, [&] {
        run(parse_options(argc, argv));
        return 0;
    });
}
