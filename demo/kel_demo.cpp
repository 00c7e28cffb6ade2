// Writes a pseudo-random stream through the striped engine in buffers of uneven sizes,
// reads it back through a read-mode handle and checks every byte.
#include "buffer.h"
#include "engine_handle.h"
#include "pattern.h"
#include "system_error.h"
#include "volume.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using kel::Direction;
using kel::EngineHandle;

constexpr int64_t kKiB = 1024;
constexpr int64_t kMiB = 1024 * kKiB;
constexpr uint64_t kSeed = 0x6b656c2d64656d6full;

struct Options {
    int members = 4;
    int64_t chunk_kib = 1024;
    int workers = 2;
    int64_t size_mib = 256;
    std::string config_path;  // empty: make a temporary volume
};

struct Transfer {
    double seconds = 0;
    int calls = 0;
};

void print_usage(FILE *out) {
    std::fprintf(out,
                 "usage: kel_demo [--members N] [--chunk-kib K] [--workers T] [--size-mib M]\n"
                 "                [--config PATH] [--help]\n"
                 "Makes a striped volume of N member files in a temporary directory ($TMPDIR or\n"
                 "/tmp), writes M MiB of pseudo-random data through the engine in buffers of\n"
                 "uneven sizes, reads it back, checks every byte and removes what it made.\n"
                 "  --members N     member files (default 4)\n"
                 "  --chunk-kib K   stripe unit in KiB (default 1024)\n"
                 "  --workers T     engine worker threads (default 2, at most N)\n"
                 "  --size-mib M    MiB to write and read back (default 256)\n"
                 "  --config PATH   use this configuration file and its volume instead of a\n"
                 "                  temporary one (its data is overwritten from offset 0;\n"
                 "                  --members, --chunk-kib and --workers are then ignored)\n");
}

int64_t parse_count(const std::string &option, const char *text, int64_t maximum) {
    char *end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 1 || value > maximum)
        throw std::invalid_argument(option + " needs a whole number from 1 to " +
                                    std::to_string(maximum) + ", not '" + text + "'");
    return value;
}

Options parse_options(int argc, char **argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            print_usage(stdout);
            std::exit(0);
        }
        if (i + 1 >= argc) throw std::invalid_argument("unknown option or missing value: " + option);
        const char *value = argv[++i];
        if (option == "--members") options.members = static_cast<int>(parse_count(option, value, 1024));
        else if (option == "--chunk-kib") options.chunk_kib = parse_count(option, value, 1024 * kKiB);
        else if (option == "--workers") options.workers = static_cast<int>(parse_count(option, value, 1024));
        else if (option == "--size-mib") options.size_mib = parse_count(option, value, 1024 * kKiB);
        else if (option == "--config") options.config_path = value;
        else throw std::invalid_argument("unknown option: " + option);
    }
    return options;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double mib_per_second(int64_t bytes, double seconds) {
    return seconds > 0 ? static_cast<double>(bytes) / kMiB / seconds : 0.0;
}

// Per-device offset at which the stream is written and read back. A fresh volume is
// written from its start; reserving an extent for a data file would happen here.
int64_t choose_write_offset(TioHandle * /*write_handle*/, int64_t /*stream_bytes*/) {
    return 0;
}

// Sizes of the successive write calls: fractions of chunks, whole stripes, odd bytes, so
// that chunks are split across calls in every way.
std::vector<int64_t> uneven_call_sizes(const kel::VolumeProps &volume) {
    const int64_t chunk = volume.chunk_bytes;
    const int64_t stripe = chunk * volume.members;
    return {chunk * 5 / 2, 7 * kMiB + 123, 64 * kKiB - 1, stripe, 1,
            3 * chunk + 4097, chunk, 2 * stripe - 17};
}

Transfer write_stream(const std::string &config_path, const kel::VolumeProps &volume,
                      const uint8_t *source, int64_t stream_bytes, int64_t *device_offset) {
    EngineHandle writer(config_path, Direction::write);
    *device_offset = choose_write_offset(writer.get(), stream_bytes);
    kel::expect_result(tio_set_offset(writer.get(), *device_offset), 0, "tio_set_offset");
    const std::vector<int64_t> sizes = uneven_call_sizes(volume);
    Transfer transfer;
    const auto start = std::chrono::steady_clock::now();
    for (int64_t done = 0; done < stream_bytes; ++transfer.calls) {
        const int64_t length =
            std::min(sizes[static_cast<size_t>(transfer.calls) % sizes.size()], stream_bytes - done);
        kel::expect_result(tio_write(writer.get(), source + done, length), length, "tio_write",
                           "at stream byte " + std::to_string(done));
        done += length;
    }
    kel::expect_result(tio_wait_threads(writer.get()), 0, "tio_wait_threads",
                       "a member write failed");
    writer.close();  // the streams are flushed and closed: the data is in the member files
    transfer.seconds = seconds_since(start);
    return transfer;
}

// Reads in whole-chunk calls of varying length; only the last call may end inside a chunk.
Transfer read_stream(const std::string &config_path, const kel::VolumeProps &volume,
                     int64_t device_offset, uint8_t *destination, int64_t stream_bytes) {
    EngineHandle reader(config_path, Direction::read);
    kel::expect_result(tio_set_offset(reader.get(), device_offset), 0, "tio_set_offset");
    const std::vector<int64_t> chunks_per_call = {1, 3, 2 * static_cast<int64_t>(volume.members), 5,
                                                  volume.members + 1};
    Transfer transfer;
    const auto start = std::chrono::steady_clock::now();
    kel::expect_result(tio_launch_read_threads(reader.get(), stream_bytes), 0,
                       "tio_launch_read_threads");
    for (int64_t done = 0; done < stream_bytes; ++transfer.calls) {
        const int64_t chunks = chunks_per_call[static_cast<size_t>(transfer.calls) % chunks_per_call.size()];
        const int64_t length = std::min(chunks * volume.chunk_bytes, stream_bytes - done);
        kel::expect_result(tio_read(reader.get(), destination + done, length), length, "tio_read",
                           "at stream byte " + std::to_string(done));
        done += length;
    }
    kel::expect_result(tio_join_threads(reader.get()), 0, "tio_join_threads");
    reader.close();
    transfer.seconds = seconds_since(start);
    return transfer;
}

// Names the member and member position of a stream byte, for a useful mismatch report.
std::string describe_stream_byte(const kel::VolumeProps &volume, int64_t device_offset,
                                 int64_t position) {
    const int64_t chunk = position / volume.chunk_bytes;
    const int64_t member = chunk % volume.members;
    const int64_t member_position =
        device_offset + chunk / volume.members * volume.chunk_bytes + position % volume.chunk_bytes;
    return "stream byte " + std::to_string(position) + " (chunk " + std::to_string(chunk) +
           ", member " + std::to_string(member) + " at byte " + std::to_string(member_position) + ")";
}

void check_stream(const kel::VolumeProps &volume, int64_t device_offset, const uint8_t *data,
                  int64_t stream_bytes) {
    const int64_t mismatch = kel::first_pattern_mismatch(kSeed, 0, data, stream_bytes);
    if (mismatch >= 0)
        throw std::runtime_error("read-back differs from what was written at " +
                                 describe_stream_byte(volume, device_offset, mismatch));
}

kel::VolumeGeometry geometry_from(const Options &options) {
    kel::VolumeGeometry geometry;
    geometry.members = options.members;
    geometry.chunk_bytes = options.chunk_kib * kKiB;
    geometry.workers = std::min(options.workers, options.members);
    geometry.capacity_bytes = options.size_mib * kMiB;
    return geometry;
}

void run_demo(const Options &options) {
    std::optional<kel::TempVolume> temporary;
    std::string config_path = options.config_path;
    if (config_path.empty()) {
        temporary.emplace(kel::default_temp_parent(), "kel-demo-", geometry_from(options));
        config_path = temporary->config_path();
    }
    const kel::VolumeProps volume = kel::read_volume_props(config_path);
    const int64_t stream_bytes = options.size_mib * kMiB;
    if (stream_bytes > volume.volume_bytes)
        throw std::runtime_error("the volume holds " + std::to_string(volume.volume_bytes) +
                                 " bytes, fewer than the " + std::to_string(stream_bytes) + " to write");
    std::printf("volume: %d members, %lld KiB chunks, %d workers, configuration %s\n",
                volume.members, static_cast<long long>(volume.chunk_bytes / kKiB), volume.workers,
                config_path.c_str());

    int64_t device_offset = 0;
    Transfer written;
    {
        kel::AlignedBuffer source(stream_bytes);
        kel::fill_pattern(kSeed, 0, source.data(), stream_bytes);
        written = write_stream(config_path, volume, source.data(), stream_bytes, &device_offset);
    }
    std::printf("write: %lld MiB in %d calls of uneven sizes: %.1f MiB/s\n",
                static_cast<long long>(options.size_mib), written.calls,
                mib_per_second(stream_bytes, written.seconds));

    // Room for whole chunks: a read call copies whole chunks.
    const int64_t rounded = (stream_bytes + volume.chunk_bytes - 1) / volume.chunk_bytes * volume.chunk_bytes;
    kel::AlignedBuffer destination(rounded);
    const Transfer read = read_stream(config_path, volume, device_offset, destination.data(), stream_bytes);
    std::printf("read:  %lld MiB in %d whole-chunk calls: %.1f MiB/s\n",
                static_cast<long long>(options.size_mib), read.calls,
                mib_per_second(stream_bytes, read.seconds));

    check_stream(volume, device_offset, destination.data(), stream_bytes);
    std::printf("verified %lld bytes\nOK\n", static_cast<long long>(stream_bytes));
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    try {
        options = parse_options(argc, argv);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "kel_demo: %s\n", error.what());
        print_usage(stderr);
        return 2;
    }
    try {
        run_demo(options);
    } catch (const std::exception &error) {
        std::fflush(stdout);  // the engine's own "Error!" lines go to standard output
        std::fprintf(stderr, "kel_demo: FAILED: %s\n", error.what());
        return 1;
    }
    return 0;
}
