// The handle's life cycle: creation, direction, the distribution of devices over workers,
// the handle check, live handles and one call at a time, failed initialisation and
// page-aligned blocks.
#include "files.h"
#include "handles.h"
#include "output_capture.h"
#include "pattern.h"
#include "report.h"
#include "striped_volume.h"
#include "watchdog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <unistd.h>
#include <utility>

using namespace tio_test;

namespace {

const char kMagicMessage[] =
    "Error! Magic number doesn't match. Something has stomped on our memory block\n";
const char kCloseMagicMessage[] =
    "Error! In close() and magic number doesn't match. Something stomped on our memory block\n";

TEST(Handle, OpensEmptyAndClosesWithoutConfiguration) {
    Handle handle(tio_open());
    ASSERT_TRUE(handle);
    EXPECT_EQ(handle->magic, TIO_MAGIC);
    EXPECT_EQ(handle->initialized, 0);
    EXPECT_EQ(handle->direction, -1);
    EXPECT_EQ(handle->workers, nullptr);
    EXPECT_EQ(handle->stripe_phase, 0);
    EXPECT_EQ(handle->chunk_fill, 0);
    EXPECT_EQ(handle.close(), 0);
}

TEST(Handle, SetDirection) {
    struct Case {
        int32_t dir;
        int32_t result;
        int32_t direction_after;  // starting from read mode
    };
    const Case cases[] = {{-5, 0, 1}, {7, 0, 0}, {0, -1, 1}, {INT32_MIN, 0, 1}, {INT32_MAX, 0, 0}};
    for (const Case &c : cases) {
        Handle handle(tio_open());
        ASSERT_TRUE(handle);
        ASSERT_EQ(tio_set_dir(handle.get(), -1), 0);
        StdoutCapture capture;
        EXPECT_EQ(tio_set_dir(handle.get(), c.dir), c.result) << c.dir;
        EXPECT_EQ(capture.finish(), "") << c.dir;
        EXPECT_EQ(handle->direction, c.direction_after) << c.dir;
        EXPECT_EQ(handle.close(), 0);
    }
}

// S devices over T workers: S / T each, one more for the first S mod T workers, global
// indices in worker order. Read mode starts no thread, and closing closes every stream.
TEST(Handle, DistributesDevicesOverWorkers) {
    struct Case {
        int members;
        int threads;
        std::vector<int> per_worker;
    };
    const std::vector<Case> cases = {
        {8, 3, {3, 3, 2}}, {4, 4, {1, 1, 1, 1}}, {5, 2, {3, 2}}, {4, 1, {4}}, {5, 8, {1, 1, 1, 1, 1}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("S=" + std::to_string(c.members) + " THREADS=" + std::to_string(c.threads));
        ScratchDir dir;
        const Geometry geometry{.members = c.members, .workers = c.threads};
        StripedVolume volume(dir, geometry);
        const int descriptors = open_fd_count();
        std::string why;
        Handle handle = open_engine(volume.config_path(), -1, &why);
        ASSERT_TRUE(handle) << why;
        EXPECT_EQ(handle->initialized, 1);
        ASSERT_EQ(handle->props->thread_count, int32_t(c.per_worker.size()));
        ASSERT_EQ(handle->worker_count, int32_t(c.per_worker.size()));
        int next_global = 0;
        for (size_t w = 0; w < c.per_worker.size(); ++w) {
            const TioWorker &worker = handle->workers[w];
            EXPECT_EQ(worker.index, int32_t(w));
            EXPECT_EQ(worker.chunk_size, geometry.chunk_bytes());
            EXPECT_EQ(worker.thread, pthread_t(-1)) << "read mode starts no thread in tio_init";
            EXPECT_EQ(worker.finished, 1);
            ASSERT_EQ(worker.device_count, c.per_worker[w]) << "worker " << w;
            for (int d = 0; d < worker.device_count; ++d) {
                const TioDevice &device = worker.devices[d];
                EXPECT_EQ(device.global_index, next_global++);
                EXPECT_EQ(device.stripe_bytes, geometry.stripe_bytes());
                EXPECT_NE(device.file, nullptr);
                EXPECT_EQ(reinterpret_cast<uintptr_t>(device.buffers[0].data) % getpagesize(), 0u);
                EXPECT_EQ(reinterpret_cast<uintptr_t>(device.buffers[1].data) % getpagesize(), 0u);
            }
        }
        EXPECT_EQ(next_global, c.members);
        EXPECT_EQ(handle.close(), 0);
        EXPECT_EQ(open_fd_count(), descriptors) << "every device stream is closed";
    }
}

TEST(Handle, WriteModeCloseEndsThreadsAndStreams) {
    ScratchDir dir;
    const Geometry geometry{.members = 5, .workers = 3};
    StripedVolume volume(dir, geometry);
    Watchdog watchdog(std::chrono::seconds(30), "write-mode open and close");
    const int descriptors = open_fd_count();
    std::string why;
    Handle handle = open_engine(volume.config_path(), 1, &why);
    ASSERT_TRUE(handle) << why;
    EXPECT_EQ(open_fd_count(), descriptors + 5);
    EXPECT_EQ(tio_wait_threads(handle.get()), 0) << "nothing handed over";
    EXPECT_EQ(handle.close(), 0);
    EXPECT_EQ(open_fd_count(), descriptors);
}

TEST(Handle, InitWithoutDirectionFailsAndClosesClean) {
    ScratchDir dir;
    const Geometry geometry{.members = 8, .workers = 3};
    StripedVolume volume(dir, geometry);
    Watchdog watchdog(std::chrono::seconds(30), "a tio_init without direction");
    const int descriptors = open_fd_count();
    Handle handle(tio_open());
    ASSERT_TRUE(handle);
    ASSERT_EQ(tio_set_config(handle.get(), volume.config_path().c_str()), 0);
    StdoutCapture capture;
    EXPECT_EQ(tio_init(handle.get()), -1);
    EXPECT_EQ(capture.finish(), "Error! Direction not set\n");
    EXPECT_EQ(handle->initialized, 0);
    EXPECT_EQ(handle.close(), 0);
    EXPECT_EQ(open_fd_count(), descriptors);
}

using Operations = std::vector<std::pair<const char *, std::function<int64_t()>>>;

// Every operation that takes a handle but tio_close, each called on `handle`. The paths
// lie in `dir`, the transfers use `buffer` (64 bytes).
Operations every_operation(TioHandle *handle, const ScratchDir &dir, uint8_t *buffer) {
    const std::string path = dir.file("none");
    const std::string det = dir.file("none.det");
    return {
        {"tio_set_dir", [=] { return tio_set_dir(handle, 1); }},
        {"tio_init", [=] { return tio_init(handle); }},
        {"tio_set_config", [=] { return tio_set_config(handle, path.c_str()); }},
        {"launch_write_threads", [=] { return launch_write_threads(handle); }},
        {"tio_wait_threads", [=] { return tio_wait_threads(handle); }},
        {"tio_join_threads", [=] { return tio_join_threads(handle); }},
        {"join_unlock", [=] { return join_unlock(handle); }},
        {"tio_write", [=] { return tio_write(handle, buffer, 64); }},
        {"tio_read", [=] { return tio_read(handle, buffer, 64); }},
        {"tio_launch_read_threads", [=] { return tio_launch_read_threads(handle, 4096); }},
        {"mapReads", [=] { return mapReads(handle, 4096); }},
        {"tio_next_chunk_bytes", [=] { return tio_next_chunk_bytes(handle); }},
        {"tio_seek", [=] { return tio_seek(handle, 4096); }},
        {"tio_set_offset", [=] { return tio_set_offset(handle, 0); }},
        {"tio_write_det", [=] { return tio_write_det(handle, det.c_str(), 4096); }},
        {"tio_update_det", [=] { return tio_update_det(handle, det.c_str(), 4096); }},
        {"tio_finalize_det", [=] { return tio_finalize_det(handle, det.c_str(), 1); }},
    };
}

// Every operation refuses `handle` with the mismatch line and -1, tio_close with its own.
void expect_refused_by_every_operation(TioHandle *handle, const ScratchDir &dir) {
    uint8_t buffer[64] = {};
    for (const auto &[name, call] : every_operation(handle, dir, buffer)) {
        StdoutCapture capture;
        const int64_t rc = call();
        EXPECT_EQ(capture.finish(), kMagicMessage) << name;
        EXPECT_EQ(rc, -1) << name;
    }
    StdoutCapture capture;
    EXPECT_EQ(tio_close(handle), -1);
    EXPECT_EQ(capture.finish(), kCloseMagicMessage);
}

// Every handle operation checks the handle first; a null one is a mismatch too.
TEST(HandleCheck, NullHandleIsRefusedByEveryOperation) {
    ScratchDir dir;
    expect_refused_by_every_operation(nullptr, dir);
    EXPECT_EQ(tio_free(nullptr), 0);
}

// A stomped handle is left alone: nothing is released, so restoring the magic and closing
// again still works (a release would show as a use after free under the address sanitizer).
TEST(HandleCheck, StompedHandleIsNotReleased) {
    ScratchDir dir;
    StripedVolume volume(dir, Geometry{});
    Watchdog watchdog(std::chrono::seconds(30), "closing a stomped handle");
    std::string why;
    Handle handle = open_engine(volume.config_path(), 1, &why);
    ASSERT_TRUE(handle) << why;
    handle->magic = 0xdeadbeef;
    {
        StdoutCapture capture;
        // The engine keeps a stomped handle, so the test keeps owning it.
        EXPECT_EQ(tio_close(handle.get()), -1);
        EXPECT_EQ(capture.finish(), kCloseMagicMessage);
    }
    {
        StdoutCapture capture;
        EXPECT_EQ(tio_write(handle.get(), "x", 1), -1);
        EXPECT_EQ(tio_wait_threads(handle.get()), -1);
        EXPECT_EQ(capture.finish(), std::string(kMagicMessage) + kMagicMessage);
    }
    EXPECT_EQ(handle->stripe_phase, 0);
    handle->magic = TIO_MAGIC;
    EXPECT_EQ(handle.close(), 0);
}

// ---- Page-aligned blocks ----------------------------------------------------------------

TEST(Blocks, ArePageAlignedWithTheirDistanceStoredBefore) {
    const int32_t page = int32_t(getpagesize());
    for (int32_t size : {1, 100, page - 4, page, page + 1, 3 * page + 7, 1 << 20}) {
        uint8_t *block = static_cast<uint8_t *>(tio_malloc(size));
        ASSERT_NE(block, nullptr) << size;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % uintptr_t(page), 0u) << size;
        int32_t distance;
        std::memcpy(&distance, block - 4, sizeof distance);
        EXPECT_GE(distance, 5) << size;
        EXPECT_LE(distance, page + 4) << size;
        std::memset(block, 0x5a, size_t(size));  // the whole block is usable
        EXPECT_EQ(tio_free(block), 0);
    }
}

TEST(Blocks, ImpossibleSizesGiveNull) {
    EXPECT_EQ(tio_malloc(-1), nullptr);
    EXPECT_EQ(tio_malloc(INT32_MIN), nullptr);
    // The size plus a page does not fit 32 bits: no wrap into a small block.
    void *large = tio_malloc(INT32_MAX);
    if (large) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(large) % uintptr_t(getpagesize()), 0u);
        static_cast<uint8_t *>(large)[INT32_MAX - 1] = 1;
    }
    EXPECT_EQ(tio_free(large), 0);
}

// ---- The direction is fixed by tio_init -------------------------------------------------

// A write-mode handle positioned at 0 still does a whole write: the stream handed over in
// the given pieces, waited for, closed, and found on the members.
void expect_full_write(Handle &handle, const StripedVolume &volume, const std::vector<uint8_t> &stream,
                       const std::vector<int64_t> &pieces) {
    std::string why;
    ASSERT_TRUE(write_in_pieces(handle.get(), stream, pieces, &why)) << why;
    EXPECT_EQ(tio_wait_threads(handle.get()), 0);
    EXPECT_EQ(handle.close(), 0);
    expect_stream_on_members(volume, 0, stream);
}

// A direction change after tio_init would leave the handle waiting for ever (members open
// the other way, disk threads that never end): it is refused, and the handle then does a
// whole transfer in its first direction.
TEST(Handle, DirectionCannotChangeAfterInit) {
    ScratchDir dir;
    const Geometry geometry{.members = 4, .workers = 2};
    StripedVolume volume(dir, geometry);
    const int64_t unit = geometry.chunk_bytes();
    const std::vector<uint8_t> stream = kel::pattern_bytes(71, 9 * unit + 123);
    Watchdog watchdog(std::chrono::seconds(60), "a late direction change");
    for (const int dir_at_init : {1, -1}) {
        SCOPED_TRACE(dir_at_init > 0 ? "write mode" : "read mode");
        Handle handle = open_at(volume.config_path(), dir_at_init, 0);
        ASSERT_TRUE(handle);
        for (const int late : {-dir_at_init, dir_at_init, 0}) {
            StdoutCapture capture;
            EXPECT_EQ(tio_set_dir(handle.get(), late), -1) << late;
            EXPECT_EQ(capture.finish(), "Error! Handle is already initialised\n") << late;
        }
        EXPECT_EQ(handle->direction, dir_at_init > 0 ? 0 : 1);
        if (dir_at_init > 0) {
            expect_full_write(handle, volume, stream, {5 * unit + 3, int64_t(stream.size()) - 5 * unit - 3});
        } else {
            ASSERT_EQ(tio_launch_read_threads(handle.get(), int64_t(stream.size())), 0);
            std::vector<uint8_t> back(10 * unit);
            EXPECT_EQ(tio_read(handle.get(), back.data(), int64_t(stream.size())), int32_t(stream.size()));
            EXPECT_TRUE(std::equal(stream.begin(), stream.end(), back.begin()));
            EXPECT_EQ(tio_join_threads(handle.get()), 0);
            EXPECT_EQ(handle.close(), 0);
        }
    }
}

// ---- Live handles: closed, foreign and copied pointers ----------------------------------

// Only a live handle is touched. A closed handle, a pointer that never was one and a byte
// copy of a live handle's block (whose magic matches) are refused by every operation with
// the mismatch line, and by tio_close with its own; the live handle behind the copy keeps
// working.
TEST(LiveHandles, OtherPointersAreRefusedByEveryOperation) {
    ScratchDir dir;
    const Geometry geometry{.members = 4, .workers = 2};
    StripedVolume volume(dir, geometry);
    Watchdog watchdog(std::chrono::seconds(60), "calls on foreign handles");
    Handle live = open_at(volume.config_path(), 1, 0);
    ASSERT_TRUE(live);
    TioHandle *closed = tio_open();
    ASSERT_NE(closed, nullptr);
    ASSERT_EQ(tio_close(closed), 0);
    auto copy = std::make_unique<TioHandle>();
    std::memcpy(copy.get(), live.get(), sizeof(TioHandle));
    ASSERT_EQ(copy->magic, TIO_MAGIC);

    const std::pair<const char *, TioHandle *> pointers[] = {
        {"a closed handle", closed},
        {"0x10", reinterpret_cast<TioHandle *>(uintptr_t(0x10))},
        {"a byte copy of a live handle", copy.get()},
    };
    for (const auto &[what, pointer] : pointers) {
        SCOPED_TRACE(what);
        expect_refused_by_every_operation(pointer, dir);
    }

    const std::vector<uint8_t> stream = kel::pattern_bytes(72, 6 * geometry.chunk_bytes() + 5);
    expect_full_write(live, volume, stream, {int64_t(stream.size())});
}

// The heap would hand a closed handle's block to the next tio_open at once, and a stale
// value would then reach the new handle: closed blocks are kept out of use for a while. So
// a double close, or a close through a stale value after new opens, is refused and leaves
// the new handles alone.
TEST(LiveHandles, ClosedAddressesAreNotHandedOutAgainSoon) {
    std::set<TioHandle *> recently_closed;
    for (int round = 0; round < 40; ++round) {
        TioHandle *handle = tio_open();
        ASSERT_NE(handle, nullptr);
        EXPECT_EQ(recently_closed.count(handle), 0u) << "round " << round;
        recently_closed.insert(handle);
        ASSERT_EQ(tio_close(handle), 0);
    }

    TioHandle *stale = tio_open();
    ASSERT_NE(stale, nullptr);
    ASSERT_EQ(tio_close(stale), 0);
    std::vector<Handle> opened;
    for (int i = 0; i < 16; ++i) {
        opened.emplace_back(tio_open());
        ASSERT_TRUE(opened.back());
        EXPECT_NE(opened.back().get(), stale) << "open " << i;
    }
    StdoutCapture capture;
    EXPECT_EQ(tio_close(stale), -1);
    EXPECT_EQ(capture.finish(), kCloseMagicMessage);
    for (Handle &handle : opened) {
        EXPECT_EQ(tio_set_dir(handle.get(), 1), 0) << "the stale close left every new handle alone";
        EXPECT_EQ(handle.close(), 0);
    }
}

// ---- One call at a time per handle ------------------------------------------------------

std::mutex sunk_mutex;
std::vector<std::string> sunk_messages;
std::function<void()> while_the_call_runs;  // run by the sink for the first message

// Collects the engine's messages; the first one arrives while its call still holds the
// handle, which is when the test's second call is made.
void sink_message(std::string_view message) {
    std::function<void()> action;
    {
        std::lock_guard<std::mutex> lock(sunk_mutex);
        sunk_messages.emplace_back(message);
        action = std::exchange(while_the_call_runs, nullptr);
    }
    if (action) action();
}

// Calls made on another thread while a call holds the handle are refused with one line
// each and do nothing: a transfer, a wait and even tio_close. The handle then works on.
TEST(BusyHandle, CallsDuringACallAreRefused) {
    ScratchDir dir;
    const Geometry geometry{.members = 4, .workers = 2};
    StripedVolume volume(dir, geometry);
    Watchdog watchdog(std::chrono::seconds(60), "calls on a busy handle");
    Handle handle = open_at(volume.config_path(), 1, 0);
    ASSERT_TRUE(handle);
    const std::vector<uint8_t> stream = kel::pattern_bytes(73, 5 * geometry.chunk_bytes() + 9);
    std::vector<int64_t> refused;
    while_the_call_runs = [&] {
        std::thread other([&] {
            refused.push_back(tio_write(handle.get(), stream.data(), int64_t(stream.size())));
            refused.push_back(tio_wait_threads(handle.get()));
            refused.push_back(tio_close(handle.get()));
        });
        other.join();
    };
    sunk_messages.clear();
    tio::set_report_sink(sink_message);
    const int32_t late_direction = tio_set_dir(handle.get(), -1);  // holds the handle as it reports
    tio::set_report_sink(nullptr);
    EXPECT_EQ(late_direction, -1);
    EXPECT_EQ(refused, (std::vector<int64_t>{-1, -1, -1}));
    const std::string busy = "Error! Handle is in use by another call\n";
    EXPECT_EQ(sunk_messages, (std::vector<std::string>{"Error! Handle is already initialised\n", busy, busy, busy}));
    expect_full_write(handle, volume, stream, {int64_t(stream.size())});
}

// Two threads writing through one handle as fast as they can: each call either hands its
// whole piece over or is refused, and the stream holds exactly the accepted pieces, each
// whole and once.
TEST(BusyHandle, TwoThreadsOnOneHandleNeverMixTheirPieces) {
    ScratchDir dir;
    const Geometry geometry{.members = 4, .workers = 2};
    StripedVolume volume(dir, geometry);
    const int64_t piece = geometry.stripe_bytes();
    constexpr int kCallsPerThread = 300;
    // Piece `id` is the pattern of that seed with the id in its first 4 bytes.
    auto piece_of = [&](uint32_t id) {
        std::vector<uint8_t> bytes = kel::pattern_bytes(id, piece);
        std::memcpy(bytes.data(), &id, sizeof id);
        return bytes;
    };
    Watchdog watchdog(std::chrono::seconds(120), "two threads on one handle");
    Handle handle = open_at(volume.config_path(), 1, 0);
    ASSERT_TRUE(handle);

    std::atomic<bool> go{false};
    std::vector<uint32_t> accepted[2];
    int refusals[2] = {0, 0};
    int unexpected[2] = {0, 0};
    StdoutCapture capture;
    auto hammer = [&](int thread) {
        while (!go.load()) std::this_thread::yield();
        for (int call = 0; call < kCallsPerThread; ++call) {
            const uint32_t id = uint32_t(thread * 100000 + call + 1);
            const std::vector<uint8_t> bytes = piece_of(id);
            const int32_t rc = tio_write(handle.get(), bytes.data(), piece);
            if (rc == int32_t(piece)) {
                accepted[thread].push_back(id);
            } else if (rc == -1) {
                ++refusals[thread];
            } else {
                ++unexpected[thread];
            }
        }
    };
    std::thread first(hammer, 0), second(hammer, 1);
    go = true;
    first.join();
    second.join();
    const int32_t waited = tio_wait_threads(handle.get());
    const int32_t closed = handle.close();
    const std::string printed = capture.finish();
    EXPECT_EQ(waited, 0);
    EXPECT_EQ(closed, 0);
    EXPECT_EQ(unexpected[0] + unexpected[1], 0);
    EXPECT_EQ(count_error_lines(printed), refusals[0] + refusals[1]) << "one line per refusal";
    std::printf("two threads, %d calls each: %d refused\n", kCallsPerThread, refusals[0] + refusals[1]);

    std::set<uint32_t> expected(accepted[0].begin(), accepted[0].end());
    expected.insert(accepted[1].begin(), accepted[1].end());
    const int64_t total = int64_t(expected.size()) * piece;
    ASSERT_GT(total, 0);
    std::vector<uint8_t> back;
    std::string why;
    ASSERT_TRUE(read_back(volume.config_path(), 0, total, read_pieces(total, geometry.chunk_bytes(), {16}), &back, &why))
        << why;
    std::set<uint32_t> found;
    for (int64_t at = 0; at < total; at += piece) {
        uint32_t id;
        std::memcpy(&id, back.data() + at, sizeof id);
        EXPECT_EQ(expected.count(id), 1u) << "piece at " << at << " is no accepted piece";
        EXPECT_TRUE(found.insert(id).second) << "piece " << id << " twice";
        const std::vector<uint8_t> bytes = piece_of(id);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), back.begin() + at)) << "piece " << id << " is mixed";
    }
}

}  // namespace
