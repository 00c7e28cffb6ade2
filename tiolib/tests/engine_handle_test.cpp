// The handle's life cycle: creation, direction, the distribution of devices over workers,
// the handle check, failed initialisation and page-aligned blocks.
#include "files.h"
#include "handles.h"
#include "output_capture.h"
#include "striped_volume.h"
#include "watchdog.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <unistd.h>

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

// Every handle operation checks the handle first; a null one is a mismatch too.
TEST(HandleCheck, NullHandleIsRefusedByEveryOperation) {
    ScratchDir dir;
    const std::string path = dir.file("none");
    uint8_t buffer[64] = {};
    const std::vector<std::pair<const char *, std::function<int64_t()>>> operations = {
        {"tio_set_dir", [] { return tio_set_dir(nullptr, 1); }},
        {"tio_init", [] { return tio_init(nullptr); }},
        {"tio_set_config", [&] { return tio_set_config(nullptr, path.c_str()); }},
        {"launch_write_threads", [] { return launch_write_threads(nullptr); }},
        {"tio_wait_threads", [] { return tio_wait_threads(nullptr); }},
        {"tio_join_threads", [] { return tio_join_threads(nullptr); }},
        {"join_unlock", [] { return join_unlock(nullptr); }},
        {"tio_write", [&] { return tio_write(nullptr, buffer, sizeof buffer); }},
        {"tio_read", [&] { return tio_read(nullptr, buffer, sizeof buffer); }},
        {"tio_launch_read_threads", [] { return tio_launch_read_threads(nullptr, 4096); }},
        {"mapReads", [] { return mapReads(nullptr, 4096); }},
        {"tio_seek", [] { return tio_seek(nullptr, 4096); }},
        {"tio_set_offset", [] { return tio_set_offset(nullptr, 0); }},
    };
    for (const auto &[name, call] : operations) {
        StdoutCapture capture;
        const int64_t rc = call();
        EXPECT_EQ(capture.finish(), kMagicMessage) << name;
        EXPECT_EQ(rc, -1) << name;
    }
    StdoutCapture capture;
    EXPECT_EQ(tio_close(nullptr), -1);
    EXPECT_EQ(capture.finish(), kCloseMagicMessage);
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

}  // namespace
