// Shared helpers of the engine tests: a scratch directory, a small striped volume built
// from member files (or loop devices), an independent model of where each byte of a
// stream lands, stdout capture, a watchdog against hangs and a forked-child runner.
#pragma once

#include "tio.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tio_test {

// ---- Files ---------------------------------------------------------------------------

// A fresh directory under /tmp, removed with everything in it.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void write_text(const std::string &path, const std::string &text);
std::vector<uint8_t> read_all(const std::string &path);
// Creates (or truncates) a file and sets its size, leaving it sparse.
void make_sparse(const std::string &path, int64_t size);
// Number of open descriptors of this process.
int open_fd_count();

// ---- Volume geometry and the round-robin model ---------------------------------------

struct Geometry {
    int members = 4;
    int chunk_sectors = 8;                    // 4 KiB chunks
    int workers = 2;                          // "THREADS=" of the configuration
    int64_t start_sector = 24;                // the table line's start
    std::vector<int64_t> member_sectors;      // each member's table offset; empty: defaults

    int64_t chunk_bytes() const { return int64_t(chunk_sectors) * 512; }
    int64_t stripe_bytes() const { return chunk_bytes() * members; }
    int64_t member_offset_bytes(int member) const;
};

// Where byte i of a stream written from per-device position write_offset must be found:
// chunk k = i / U sits on member k mod S, (k div S) * U past write_offset, shifted by the
// member's table offset and the table's start.
struct Placement {
    int member;
    int64_t position;
};
Placement place_stream_byte(const Geometry &geometry, int64_t write_offset, int64_t index);

// The contents every member must have after the stream was written on zeroed members.
std::vector<std::vector<uint8_t>> expected_member_images(const Geometry &geometry,
                                                         int64_t write_offset,
                                                         const std::vector<uint8_t> &stream);

// Empty when actual starts with expected and holds only zeros after it; otherwise a
// description of the first difference.
std::string compare_image(const std::vector<uint8_t> &actual,
                          const std::vector<uint8_t> &expected);

// Deterministic bytes that differ from one position to the next.
std::vector<uint8_t> pattern_bytes(size_t count, uint64_t seed);

// ---- A striped volume ------------------------------------------------------------------

// Writes the configuration file and device table of a striped volume. Members are files
// in the scratch directory unless member paths are given.
class StripedVolume {
public:
    StripedVolume(const ScratchDir &dir, const Geometry &geometry,
                  std::vector<std::string> member_paths = {});

    const Geometry &geometry() const { return geometry_; }
    const std::string &config_path() const { return config_path_; }
    const std::string &table_path() const { return table_path_; }
    const std::string &member_path(int member) const { return members_.at(member); }

    // Reads every member (whole files; for block devices limit bytes each).
    std::vector<std::vector<uint8_t>> read_members(int64_t limit = -1) const;

private:
    Geometry geometry_;
    std::vector<std::string> members_;
    std::string config_path_;
    std::string table_path_;
};

// The configuration text of a volume: all seven entries.
std::string config_text(const std::string &header_dir, const std::string &table_path,
                        int threads, const std::string &type = "RAID");

// ---- Handles ---------------------------------------------------------------------------

// Opens, configures, sets the direction and initialises; null (with the step in *why)
// when any of them fails. The handle is then already closed.
TioHandle *open_engine(const std::string &config_path, int dir, std::string *why);

// Hands the stream to a write-mode handle in pieces of the given sizes (which must add up
// to the stream's size); returns false with *why on the first refused call.
bool write_in_pieces(TioHandle *handle, const std::vector<uint8_t> &stream,
                     const std::vector<int64_t> &pieces, std::string *why);

// Piece sizes for reading total bytes back: whole chunks in a cycle of counts, the last
// piece the rest.
std::vector<int64_t> read_pieces(int64_t total, int64_t chunk, const std::vector<int> &chunk_counts);

// Reads total bytes from write_offset through a fresh read-mode handle in the given
// pieces. false with *why on any failure.
bool read_back(const std::string &config_path, int64_t write_offset, int64_t total,
               const std::vector<int64_t> &pieces, std::vector<uint8_t> *out, std::string *why);

// ---- Streams written in pieces -------------------------------------------------------

// A way of cutting a stream into tio_write calls, given the chunk size and member count.
struct PiecePlan {
    std::string name;
    std::function<std::vector<int64_t>(int64_t unit, int members)> pieces;
};
// Halves of chunks, whole stripes, tiny pieces, a mix of them and random sizes.
const std::vector<PiecePlan> &piece_plans();

// Writes a stream in the given pieces from per-device position write_offset (checking
// stripe_phase and chunk_fill after every call), waits, closes, checks every member byte
// for byte against the round-robin model and reads the stream back through read-mode
// handles in two different cuttings. Reports through GoogleTest assertions.
void check_stream_round_trip(const StripedVolume &volume, const std::vector<int64_t> &pieces,
                             int64_t write_offset, uint64_t seed);

// ---- Output, hangs and children --------------------------------------------------------

// Captures what this process writes to standard output (fd 1) while it lives.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;
    // Ends the capture (if still running) and returns what was written.
    std::string finish();

private:
    int saved_fd_ = -1;
    std::string path_;
    std::string text_;
    bool done_ = false;
};

// Lines of text that start with "Error!" (a leading newline of a line is ignored).
int count_error_lines(const std::string &text);

// Ends the whole test program with a message when it is still alive after the limit, so
// a hang fails at once instead of blocking until the harness gives up.
class Watchdog {
public:
    Watchdog(std::chrono::seconds limit, std::string what);
    ~Watchdog();
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

struct ChildResult {
    bool exited = false;     // false: killed by a signal (the alarm included)
    int exit_code = -1;
    int signal = 0;
    std::string stdout_text; // what the child wrote to standard output
};

// Runs body in a forked child under alarm(seconds); body's result is the exit code.
ChildResult run_in_child(const std::function<int()> &body, unsigned seconds);

// ---- Loop devices ----------------------------------------------------------------------

// A loop device over a backing file, detached on destruction.
class LoopDevice {
public:
    // Empty when loop devices can be attached here; otherwise why not.
    static std::string unavailable_reason();

    explicit LoopDevice(const std::string &backing_file);
    ~LoopDevice();
    LoopDevice(const LoopDevice &) = delete;
    LoopDevice &operator=(const LoopDevice &) = delete;

    bool attached() const { return fd_ >= 0; }
    const std::string &path() const { return path_; }
    const std::string &error() const { return error_; }

private:
    int fd_ = -1;
    std::string path_;
    std::string error_;
};

}  // namespace tio_test
