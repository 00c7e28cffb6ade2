// Device faults met for real: a member that refuses writes (/dev/full), a member whose
// reads fail (a directory), a member that cannot be opened, and writes cut short by the
// file-size limit. Failures must be reported, must not hang, and must not move data.
#include "child_process.h"
#include "handles.h"
#include "output_capture.h"
#include "pattern.h"
#include "striped_volume.h"
#include "watchdog.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace tio_test;

namespace {

// A four-member volume, two workers, whose member `odd_member` is the given path.
struct OddMemberVolume {
    OddMemberVolume(const ScratchDir &dir, int chunk_sectors, int odd_member, const std::string &odd_path)
        : geometry{.members = 4, .chunk_sectors = chunk_sectors, .workers = 2} {
        std::vector<std::string> paths;
        for (int m = 0; m < 4; ++m) {
            paths.push_back(m == odd_member ? odd_path : dir.file("member" + std::to_string(m)));
            if (m != odd_member) kel::make_sparse_file(paths.back(), 0);
        }
        volume = std::make_unique<StripedVolume>(dir, geometry, paths);
    }
    const Geometry geometry;
    std::unique_ptr<StripedVolume> volume;
};

// ---- A member that refuses every write --------------------------------------------------

class RefusedWrites : public testing::TestWithParam<int> {};

// The failures are reported once by tio_wait_threads, in one line that names the member
// and counts the other failed writes, after which neither the next wait nor tio_close
// reports them again; the other members still hold their chunks in place.
TEST_P(RefusedWrites, AreReportedByWaitThenForgotten) {
    ScratchDir dir;
    OddMemberVolume odd(dir, GetParam(), 1, "/dev/full");
    const int64_t unit = odd.geometry.chunk_bytes();
    const std::vector<uint8_t> stream = kel::pattern_bytes(21, 13 * unit + unit / 2);
    Watchdog watchdog(std::chrono::seconds(60), "writes to /dev/full");
    std::string why;
    Handle handle = open_at(odd.volume->config_path(), 1, 0);
    ASSERT_TRUE(handle);

    StdoutCapture capture;
    const bool written = write_in_pieces(handle.get(), stream, {5 * unit, int64_t(stream.size()) - 5 * unit}, &why);
    const int32_t first_wait = tio_wait_threads(handle.get());
    const std::string printed = capture.finish();
    ASSERT_TRUE(written) << why;
    EXPECT_EQ(first_wait, -1);
    EXPECT_EQ(count_error_lines(printed), 1) << printed;
    // Member 1 takes chunks 1, 5, 9 and 13 (the last one in part).
    EXPECT_NE(printed.find("device file /dev/full: No space left on device (and 3 more failed writes)"),
              std::string::npos)
        << printed;
    EXPECT_EQ(tio_wait_threads(handle.get()), 0) << "the failure was reported already";
    EXPECT_EQ(handle.close(), 0);

    expect_members_hold(*odd.volume, expected_member_images(odd.geometry, 0, stream), {0, 2, 3});
}

// Without a wait, tio_close is the last chance to report the failure.
TEST_P(RefusedWrites, AreReportedByCloseWhenNotWaitedFor) {
    ScratchDir dir;
    OddMemberVolume odd(dir, GetParam(), 2, "/dev/full");
    const int64_t unit = odd.geometry.chunk_bytes();
    const std::vector<uint8_t> stream = kel::pattern_bytes(22, 9 * unit + 5);
    Watchdog watchdog(std::chrono::seconds(60), "closing after writes to /dev/full");
    std::string why;
    Handle handle = open_at(odd.volume->config_path(), 1, 0);
    ASSERT_TRUE(handle);
    StdoutCapture capture;
    const bool written = write_in_pieces(handle.get(), stream, {int64_t(stream.size())}, &why);
    const int32_t closed = handle.close();
    const std::string printed = capture.finish();
    ASSERT_TRUE(written) << why;
    EXPECT_EQ(closed, -1);
    EXPECT_EQ(count_error_lines(printed), 1) << printed;
    EXPECT_NE(printed.find("/dev/full"), std::string::npos) << printed;

    expect_members_hold(*odd.volume, expected_member_images(odd.geometry, 0, stream), {0, 1, 3});
}

// 4 KiB chunks (a stdio-sized buffer could hide the error until the stream is closed) and
// 64 KiB chunks.
INSTANTIATE_TEST_SUITE_P(ChunkSectors, RefusedWrites, testing::Values(8, 128));

// ---- Writes cut short by the file-size limit ------------------------------------------

// Under RLIMIT_FSIZE a write that crosses the limit is short and later ones fail. Once the
// limit is lifted, the rest of the stream must land at its own positions: a short write
// must not pull what follows forward, and what failed stays absent.
TEST(ShortWrites, LaterChunksLandAtTheirOwnPositions) {
    ScratchDir dir;
    const Geometry geometry{.members = 4, .workers = 2};
    StripedVolume volume(dir, geometry);
    const int64_t unit = geometry.chunk_bytes();
    const int64_t first = 13 * unit + unit / 2;  // ends inside a chunk of member 1
    const int64_t second = 10 * unit + 7;
    const std::vector<uint8_t> stream = kel::pattern_bytes(31, first + second);
    // Cuts every member inside one of the rows of the first call (rows 0 to 3).
    const int64_t limit = 24000;
    for (int m = 0; m < 4; ++m) {
        const int64_t base = geometry.start_sector * 512 + geometry.member_offset_bytes(m);
        ASSERT_GT(limit, base);
        ASSERT_LT(limit, base + 3 * unit);
        ASSERT_NE((limit - base) % unit, 0);
    }

    struct Results {
        int32_t first_wait, second_wait, closed;
    };
    const std::string results_path = dir.file("results");
    ChildResult child = run_in_child(
        [&] {
            std::signal(SIGXFSZ, SIG_IGN);
            std::string why;
            Handle handle = open_engine(volume.config_path(), 1, &why);
            if (!handle) return 10;
            if (tio_set_offset(handle.get(), 0) != 0) return 11;
            rlimit limited{rlim_t(limit), RLIM_INFINITY};
            if (setrlimit(RLIMIT_FSIZE, &limited) != 0) return 12;
            std::vector<uint8_t> part(stream.begin(), stream.begin() + first);
            if (!write_in_pieces(handle.get(), part, {3 * unit + 1, first - 3 * unit - 1}, &why)) return 13;
            Results results{};
            results.first_wait = tio_wait_threads(handle.get());
            rlimit lifted{RLIM_INFINITY, RLIM_INFINITY};
            if (setrlimit(RLIMIT_FSIZE, &lifted) != 0) return 14;
            part.assign(stream.begin() + first, stream.end());
            if (!write_in_pieces(handle.get(), part, {unit / 2, second - unit / 2}, &why)) return 15;
            results.second_wait = tio_wait_threads(handle.get());
            results.closed = handle.close();
            FILE *out = std::fopen(results_path.c_str(), "w");
            std::fwrite(&results, sizeof results, 1, out);
            std::fclose(out);
            return 0;
        },
        120);
    ASSERT_TRUE(child.exited) << "child killed by signal " << child.signal;
    ASSERT_EQ(child.exit_code, 0) << child.stdout_text;
    const std::vector<uint8_t> raw = read_all(results_path);
    ASSERT_EQ(raw.size(), sizeof(Results));
    Results results;
    std::memcpy(&results, raw.data(), sizeof results);
    EXPECT_EQ(results.first_wait, -1);
    EXPECT_EQ(count_error_lines(child.stdout_text), 1) << child.stdout_text;
    EXPECT_EQ(results.second_wait, 0);
    EXPECT_EQ(results.closed, 0);

    // The first call's bytes exist below the limit only; the second call's everywhere.
    std::vector<std::vector<uint8_t>> expected(4);
    for (int64_t i = 0; i < int64_t(stream.size()); ++i) {
        const ModelPlace where = model_place(geometry, 0, i);
        if (i < first && where.position >= limit) continue;
        std::vector<uint8_t> &image = expected[where.member];
        if (int64_t(image.size()) <= where.position) image.resize(where.position + 1, 0);
        image[where.position] = stream[i];
    }
    expect_members_hold(volume, expected);
}

// ---- A member whose reads fail ----------------------------------------------------------

// A directory opens for reading but every read of it fails: not the end of a device, an
// error, which tio_read reports in one line naming the member, however many of its chunks
// failed. Nothing waits for ever afterwards.
TEST(FailedReads, AreReportedByTioRead) {
    ScratchDir dir;
    const std::string directory = dir.file("not_a_device");
    ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
    OddMemberVolume odd(dir, 8, 2, directory);
    const int64_t unit = odd.geometry.chunk_bytes();
    // Data on the good members, so that their chunks are real.
    for (int m : {0, 1, 3}) kel::write_text_file(odd.volume->member_path(m), std::string(size_t(64 * unit), char('a' + m)));
    Watchdog watchdog(std::chrono::seconds(60), "reads from a directory");

    for (bool first_read_good : {true, false}) {
        SCOPED_TRACE(first_read_good ? "member 0 first, then the rest" : "all in one call");
        Handle handle = open_at(odd.volume->config_path(), -1, 0);
        ASSERT_TRUE(handle);
        // The disk threads may meet the failure as soon as they start.
        StdoutCapture capture;
        const int32_t launched = tio_launch_read_threads(handle.get(), 8 * unit);
        std::vector<uint8_t> buffer(8 * unit);
        int64_t done = 0;
        int32_t first_rc = 0;
        if (first_read_good) {
            first_rc = tio_read(handle.get(), buffer.data(), unit);
            done = unit;
        }
        const int32_t failed_rc = tio_read(handle.get(), buffer.data() + done, 8 * unit - done);
        tio_join_threads(handle.get());
        const int32_t closed = handle.close();
        const std::string printed = capture.finish();
        EXPECT_EQ(launched, 0);
        if (first_read_good) {
            EXPECT_EQ(first_rc, int32_t(unit));
            EXPECT_EQ(buffer[0], 'a');
        }
        EXPECT_EQ(failed_rc, -1);
        EXPECT_EQ(count_error_lines(printed), 1) << printed;
        EXPECT_NE(printed.find("Could not read device file " + directory + ": Is a directory (and 1 more failed chunk)"),
                  std::string::npos)
            << printed;
        EXPECT_EQ(closed, 0);
    }
}

// ---- A member that cannot be opened -------------------------------------------------------

// A directory cannot be opened for writing: tio_init stops there, and the tio_close after
// it releases everything that was built (streams included; the leak checker of the
// address-sanitizer build covers the memory).
TEST(UnopenableMember, FailedInitLeavesNothingBehind) {
    ScratchDir dir;
    const std::string directory = dir.file("not_a_device");
    ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
    for (int odd_member : {3, 2, 0}) {
        SCOPED_TRACE("member " + std::to_string(odd_member) + " is a directory");
        OddMemberVolume odd(dir, 8, odd_member, directory);
        Watchdog watchdog(std::chrono::seconds(60), "a failed tio_init");
        const int descriptors = open_fd_count();
        Handle handle(tio_open());
        ASSERT_TRUE(handle);
        ASSERT_EQ(tio_set_config(handle.get(), odd.volume->config_path().c_str()), 0);
        ASSERT_EQ(tio_set_dir(handle.get(), 1), 0);
        StdoutCapture capture;
        const int32_t initialised = tio_init(handle.get());
        const std::string printed = capture.finish();
        EXPECT_EQ(initialised, -1);
        EXPECT_EQ(printed.rfind("Error! Could not open device file", 0), 0u) << printed;
        EXPECT_EQ(count_error_lines(printed), 1) << printed;
        EXPECT_EQ(handle->initialized, 0);
        EXPECT_EQ(handle.close(), 0);
        EXPECT_EQ(open_fd_count(), descriptors);
    }
}

// ---- Threads that cannot be started ----------------------------------------------------

// Caps the address space a little above what the process uses now, so that no thread
// stack (megabytes) can be mapped any more while small blocks still can.
bool forbid_new_threads() {
    std::ifstream status("/proc/self/status");
    std::string line;
    int64_t size_kib = -1;
    while (std::getline(status, line))
        if (line.rfind("VmSize:", 0) == 0) size_kib = std::stoll(line.substr(7));
    if (size_kib < 0) return false;
    rlimit limit{rlim_t((size_kib + 4096) * 1024), RLIM_INFINITY};
    return setrlimit(RLIMIT_AS, &limit) == 0;
}

// A thread that cannot be started is reported or its work is done another way; nothing
// waits for a thread that does not exist.
TEST(ThreadsThatCannotStart, AreReportedOrReplacedAndNothingHangs) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "an address-space limit cannot be combined with the sanitizers' shadow memory";
#endif
    ScratchDir dir;
    const Geometry geometry{.members = 4, .workers = 2};
    StripedVolume volume(dir, geometry);
    const int64_t unit = geometry.chunk_bytes();
    const std::vector<uint8_t> stream = kel::pattern_bytes(51, 21 * unit + 99);

    // Disk threads cannot start in tio_init: it fails, and closing does not hang.
    ChildResult init = run_in_child(
        [&] {
            if (!forbid_new_threads()) return 10;
            std::string why;
            Handle handle = open_engine(volume.config_path(), 1, &why);
            if (handle) return 11;  // the threads started after all: nothing learned
            return 0;
        },
        60);
    ASSERT_TRUE(init.exited) << "signal " << init.signal;
    if (init.exit_code == 11) GTEST_SKIP() << "an address-space limit does not stop threads from starting here";
    EXPECT_EQ(init.exit_code, 0) << init.stdout_text;
    EXPECT_GE(count_error_lines(init.stdout_text), 1) << init.stdout_text;

    // No thread can start while tio_write runs: the workers started by tio_init write it all.
    ChildResult write = run_in_child(
        [&] {
            std::string why;
            Handle handle = open_engine(volume.config_path(), 1, &why);
            if (!handle) return 20;
            if (tio_set_offset(handle.get(), 0) != 0) return 21;
            if (!forbid_new_threads()) return 22;
            if (!write_in_pieces(handle.get(), stream, {5 * unit + 3, int64_t(stream.size()) - 5 * unit - 3}, &why))
                return 23;
            if (tio_wait_threads(handle.get()) != 0) return 24;
            return handle.close() == 0 ? 0 : 25;
        },
        60);
    ASSERT_TRUE(write.exited) << "signal " << write.signal;
    EXPECT_EQ(write.exit_code, 0) << write.stdout_text;
    expect_stream_on_members(volume, 0, stream);

    // Read threads cannot start: the launch is refused with one line, the read finds no
    // plan to serve it and is refused too, and neither it nor the close waits for a thread
    // that does not exist.
    ChildResult read = run_in_child(
        [&] {
            std::string why;
            Handle handle = open_engine(volume.config_path(), -1, &why);
            if (!handle) return 30;
            if (tio_set_offset(handle.get(), 0) != 0) return 31;
            if (!forbid_new_threads()) return 32;
            std::vector<uint8_t> back(stream.size() + unit);
            if (tio_launch_read_threads(handle.get(), int64_t(stream.size())) != -1) return 33;
            if (tio_read(handle.get(), back.data(), int64_t(stream.size())) != -1) return 34;
            if (tio_join_threads(handle.get()) != 0) return 35;
            return handle.close() == 0 ? 0 : 36;
        },
        30);
    ASSERT_TRUE(read.exited) << "signal " << read.signal;
    EXPECT_EQ(read.exit_code, 0) << "33: launched, 34: read served, 35: join, 36: close\n" << read.stdout_text;
    EXPECT_NE(read.stdout_text.find("Error! Could not start a read thread"), std::string::npos) << read.stdout_text;
    EXPECT_EQ(count_error_lines(read.stdout_text), 2) << "the launch and the read, one line each\n" << read.stdout_text;
}

}  // namespace
