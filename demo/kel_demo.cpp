// Writes a pseudo-random stream through the striped engine in buffers of uneven sizes,
// reads it back through a read-mode handle and checks every byte.
#include "aligned_buffer.h"
#include "engine_handle.h"
#include "layout.h"
#include "pattern.h"
#include "program.h"
#include "temp_volume.h"
#include "units.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using kel::Direction;
using kel::EngineHandle;
using kel::kKiB;
using kel::kMiB;
using kel::mib_per_second;

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
        throw kel::UsageError(option + " needs a whole number from 1 to " +
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
        if (i + 1 >= argc) throw kel::UsageError("unknown option or missing value: " + option);
        const char *value = argv[++i];
        if (option == "--members") options.members = static_cast<int>(parse_count(option, value, 1024));
        else if (option == "--chunk-kib") options.chunk_kib = parse_count(option, value, 1024 * kKiB);
        else if (option == "--workers") options.workers = static_cast<int>(parse_count(option, value, 1024));
        else if (option == "--size-mib") options.size_mib = parse_count(option, value, 1024 * kKiB);
        else if (option == "--config") options.config_path = value;
        else throw kel::UsageError("unknown option: " + option);
    }
    return options;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One extent of the data file: where it starts on every member and how many stream
// bytes it holds, as its ".det" entry records them.
struct Extent {
    int64_t device_offset;
    int64_t bytes;
};

int64_t whole_stripes(int64_t bytes, const kel::VolumeProps &volume) {
    const int64_t stripe = volume.layout().stripe_size();
    return std::max<int64_t>(1, (bytes + stripe - 1) / stripe) * stripe;
}

// Reserves the next extent of the data file as the framework does: the first with
// tio_write_det (which creates the ".det" file), later ones with tio_update_det.
// Extents are whole stripes, so each starts its stream on member 0.
int64_t reserve_extent(TioHandle *writer, const std::string &det_path, int64_t bytes, bool first) {
    const int64_t offset = first ? tio_write_det(writer, det_path.c_str(), bytes)
                                 : tio_update_det(writer, det_path.c_str(), bytes);
    if (offset < 0)
        throw std::runtime_error(std::string(first ? "tio_write_det" : "tio_update_det") +
                                 " could not reserve " + std::to_string(bytes) + " bytes for " + det_path);
    return offset;
}

// The extents recorded in the ".det" file, in stream order.
std::vector<Extent> recorded_extents(const std::string &det_path) {
    const int32_t count = getDetEntries(det_path.c_str());
    std::vector<int64_t> offsets(static_cast<size_t>(std::max(count, 0)));
    std::vector<int64_t> lengths(offsets.size());
    if (count < 1 || readDet(det_path.c_str(), count, offsets.data(), lengths.data()) != 0)
        throw std::runtime_error("cannot read the extents of " + det_path);
    std::vector<Extent> extents;
    for (int32_t i = 0; i < count; ++i) extents.push_back({offsets[static_cast<size_t>(i)], lengths[static_cast<size_t>(i)]});
    return extents;
}

// Sizes of the successive write calls: fractions of chunks, whole stripes, odd bytes, so
// that chunks are split across calls in every way.
std::vector<int64_t> uneven_call_sizes(const kel::VolumeProps &volume) {
    const int64_t chunk = volume.chunk_bytes;
    const int64_t stripe = chunk * volume.members;
    return {chunk * 5 / 2, 7 * kMiB + 123, 64 * kKiB - 1, stripe, 1,
            3 * chunk + 4097, chunk, 2 * stripe - 17};
}

// Writes the stream into two extents: the first half, then a further extent for the
// rest; finally the ".det" file is finalised to the stream's exact size.
Transfer write_stream(const std::string &config_path, const kel::VolumeProps &volume,
                      const std::string &det_path, const uint8_t *source, int64_t stream_bytes) {
    EngineHandle writer(config_path, Direction::write);
    const std::vector<int64_t> sizes = uneven_call_sizes(volume);
    Transfer transfer;
    const auto start = std::chrono::steady_clock::now();
    int64_t done = 0;
    for (bool first = true; done < stream_bytes; first = false) {
        const int64_t wanted = first ? (stream_bytes + 1) / 2 : stream_bytes - done;
        const int64_t reserved = whole_stripes(wanted, volume);
        const int64_t offset = reserve_extent(writer.get(), det_path, reserved, first);
        kel::expect_result(tio_set_offset(writer.get(), offset), 0, "tio_set_offset");
        const int64_t extent_end = std::min(stream_bytes, done + reserved);
        for (; done < extent_end; ++transfer.calls) {
            const int64_t length =
                std::min(sizes[static_cast<size_t>(transfer.calls) % sizes.size()], extent_end - done);
            kel::expect_result(tio_write(writer.get(), source + done, length), length, "tio_write",
                               "at stream byte " + std::to_string(done));
            done += length;
        }
    }
    kel::expect_result(tio_wait_threads(writer.get()), 0, "tio_wait_threads",
                       "a member write failed");
    // The last extent was reserved in whole stripes; its recorded length becomes exact.
    int64_t recorded = 0;
    tio_finalize_det(writer.get(), det_path.c_str(), stream_bytes);
    if (accumDetSize(det_path.c_str(), &recorded) != 0 || recorded != stream_bytes)
        throw std::runtime_error("tio_finalize_det did not record " + std::to_string(stream_bytes) +
                                 " bytes in " + det_path);
    writer.close();  // the streams are flushed and closed: the data is in the member files
    transfer.seconds = seconds_since(start);
    return transfer;
}

// Reads every extent of the ".det" file as one read sequence, in whole-chunk calls of
// varying length; only the last call of an extent may end inside a chunk.
Transfer read_stream(const std::string &config_path, const kel::VolumeProps &volume,
                     const std::vector<Extent> &extents, uint8_t *destination) {
    EngineHandle reader(config_path, Direction::read);
    const std::vector<int64_t> chunks_per_call = {1, 3, 2 * static_cast<int64_t>(volume.members), 5,
                                                  volume.members + 1};
    Transfer transfer;
    const auto start = std::chrono::steady_clock::now();
    int64_t done = 0;
    for (const Extent &extent : extents) {
        kel::expect_result(tio_set_offset(reader.get(), extent.device_offset), 0, "tio_set_offset");
        kel::expect_result(tio_launch_read_threads(reader.get(), extent.bytes), 0,
                           "tio_launch_read_threads");
        for (const int64_t extent_end = done + extent.bytes; done < extent_end; ++transfer.calls) {
            const int64_t chunks = chunks_per_call[static_cast<size_t>(transfer.calls) % chunks_per_call.size()];
            const int64_t length = std::min(chunks * volume.chunk_bytes, extent_end - done);
            kel::expect_result(tio_read(reader.get(), destination + done, length), length, "tio_read",
                               "at stream byte " + std::to_string(done));
            done += length;
        }
        kel::expect_result(tio_join_threads(reader.get()), 0, "tio_join_threads");
    }
    reader.close();
    transfer.seconds = seconds_since(start);
    return transfer;
}

// Names the extent, member and member position of a stream byte, for a useful mismatch
// report.
std::string describe_stream_byte(const kel::VolumeProps &volume, const std::vector<Extent> &extents,
                                 int64_t position) {
    int64_t extent_start = 0;
    size_t index = 0;
    while (index + 1 < extents.size() && position >= extent_start + extents[index].bytes)
        extent_start += extents[index++].bytes;
    const tio::BytePlace place = tio::place_byte(volume.layout(), extents[index].device_offset,
                                                 position - extent_start);
    return "stream byte " + std::to_string(position) + " (extent " + std::to_string(index) + ", member " +
           std::to_string(place.member) + " at byte " + std::to_string(place.position) + ")";
}

void check_stream(const kel::VolumeProps &volume, const std::vector<Extent> &extents, const uint8_t *data,
                  int64_t stream_bytes) {
    const int64_t mismatch = kel::first_pattern_mismatch(kSeed, 0, data, stream_bytes);
    if (mismatch >= 0)
        throw std::runtime_error("read-back differs from what was written at " +
                                 describe_stream_byte(volume, extents, mismatch));
}

// Removes the data file's ".det" file when the demo ends, however it ends.
struct RemoveOnExit {
    std::string path;
    ~RemoveOnExit() { std::remove(path.c_str()); }
};

kel::VolumeGeometry geometry_from(const Options &options) {
    kel::VolumeGeometry geometry;
    geometry.members = options.members;
    geometry.chunk_bytes = options.chunk_kib * kKiB;
    geometry.workers = std::min(options.workers, options.members);
    // Room for the stream in extents of whole stripes.
    geometry.member_bytes = kel::member_bytes_for(options.size_mib * kMiB + 2 * geometry.chunk_bytes * geometry.members,
                                                  geometry.members, geometry.chunk_bytes);
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

    const RemoveOnExit det_file{volume.header_dir + "/kel-demo-" + std::to_string(getpid()) + ".det"};
    Transfer written;
    {
        kel::AlignedBuffer source(stream_bytes);
        kel::fill_pattern(kSeed, 0, source.data(), stream_bytes);
        written = write_stream(config_path, volume, det_file.path, source.data(), stream_bytes);
    }
    const std::vector<Extent> extents = recorded_extents(det_file.path);
    std::printf("write: %lld MiB in %d calls of uneven sizes into %zu extent(s) of %s: %.1f MiB/s\n",
                static_cast<long long>(options.size_mib), written.calls, extents.size(),
                det_file.path.c_str(), mib_per_second(stream_bytes, written.seconds));

    // Room for whole chunks: a read call copies whole chunks.
    const int64_t rounded = (stream_bytes + volume.chunk_bytes - 1) / volume.chunk_bytes * volume.chunk_bytes;
    kel::AlignedBuffer destination(rounded);
    const Transfer read = read_stream(config_path, volume, extents, destination.data());
    std::printf("read:  %lld MiB in %d whole-chunk calls: %.1f MiB/s\n",
                static_cast<long long>(options.size_mib), read.calls,
                mib_per_second(stream_bytes, read.seconds));

    check_stream(volume, extents, destination.data(), stream_bytes);
    std::printf("verified %lld bytes\nOK\n", static_cast<long long>(stream_bytes));
}

}  // namespace

int main(int argc, char **argv) {
    return kel::run_program({"kel_demo", print_usage}, [&] {
        run_demo(parse_options(argc, argv));
        return 0;
    });
}
