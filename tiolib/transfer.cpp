// Striped transfers: cutting a caller's buffer into chunks laid round-robin over the
// member devices, planning a read sequence, and positioning the devices.
#include "internal.h"

#include <climits>
#include <memory>
#include <new>

namespace {

using tio::load;
using tio::report;
using tio::store;

struct Geometry {
    int32_t chunk_size;    // U
    int32_t stripe_count;  // S
};

Geometry geometry_of(const TioHandle *handle) { return {handle->props->chunk_size, handle->props->stripe_count}; }

// A device's place in the rotation of the current call: 0 for the device at stripe_phase.
int32_t position_of(const TioDevice &device, int32_t stripe_count, int32_t phase) {
    return (stripe_count + device.global_index - phase) % stripe_count;
}

bool ready_for_transfer(const TioHandle *handle) {
    if (handle->workers == nullptr || handle->props == nullptr) {
        report("Error! Handle is not initialised");
        return false;
    }
    return true;
}

// Splits a length into whole stripes, chunks of a last partial stripe and a tail; false
// when the chunk count does not fit 32 bits.
struct Split {
    int32_t stripes;
    int32_t rest;
    int64_t tail;
};

// The chunk count of one call is a 32-bit number.
bool chunk_count_fits(int64_t chunks, int64_t length) {
    if (chunks <= INT32_MAX) return true;
    report("Error! Transfer of %lld bytes is too large for one call", static_cast<long long>(length));
    return false;
}

bool split_whole_chunks(int64_t length, Geometry g, Split &split) {
    const int64_t chunks = length / g.chunk_size;
    if (!chunk_count_fits(chunks, length)) return false;
    split.stripes = static_cast<int32_t>(chunks) / g.stripe_count;
    split.rest = static_cast<int32_t>(chunks) - split.stripes * g.stripe_count;
    split.tail = length - chunks * g.chunk_size;
    // A whole number of stripes sends its last stripe through the final pass.
    if (split.tail == 0 && split.rest == 0) {
        split.stripes -= 1;
        split.rest = g.stripe_count;
        split.tail = g.chunk_size;
    }
    return true;
}

// Below this many bytes per worker a call copies on the caller's thread: starting and
// joining a thread costs more than copying that much.
constexpr int64_t kThreadedCopyBytesPerWorker = int64_t{1} << 20;

// Runs one copy thread per worker and waits for them; a worker whose thread cannot be
// started has its chunks copied on the caller's thread instead. Each worker's copies
// depend only on its own disk thread, so copying them one worker after the other on
// the caller's thread cannot deadlock.
void run_copy_threads(TioHandle *handle, void *(*body)(void *), int64_t length) {
    const int32_t count = handle->worker_count;
    if (length < kThreadedCopyBytesPerWorker * count) {
        for (int32_t w = 0; w < count; ++w) body(&handle->workers[w]);
        return;
    }
    constexpr pthread_t kInline = tio::kNoThread;
    std::unique_ptr<pthread_t[]> threads(new (std::nothrow) pthread_t[count]);
    for (int32_t w = 0; w < count; ++w) {
        pthread_t thread = kInline;
        if (!threads || pthread_create(&thread, nullptr, body, &handle->workers[w]) != 0) {
            thread = kInline;
            body(&handle->workers[w]);
        }
        if (threads) threads[w] = thread;
    }
    for (int32_t w = 0; threads && w < count; ++w) {
        if (threads[w] != kInline) pthread_join(threads[w], nullptr);
    }
}

// The streams are moved only while no disk thread has device work in hand.
void settle_before_positioning(TioHandle *handle) {
    if (handle->direction == 0) tio::wait_for_pending_writes(handle);
}

template <typename Fn> void for_each_device(TioHandle *handle, Fn fn) {
    for (int32_t w = 0; w < handle->worker_count; ++w) {
        TioWorker &worker = handle->workers[w];
        for (int32_t d = 0; d < worker.device_count; ++d) fn(worker, worker.devices[d]);
    }
}

// After a finished read sequence the pipeline of every device is set back to its state
// after init, so that a new sequence starts on buffer 0 of both sides.
void reset_read_pipeline(TioHandle *handle) {
    for_each_device(handle, [](TioWorker &, TioDevice &device) {
        device.read_index = -1;
        device.write_index = -1;
        for (TioBuffer &buffer : device.buffers) {
            buffer.length = 0;
            buffer.failed = 0;
            tio::gate_release(&buffer.empty_lock);
            tio::gate_try_take(&buffer.full_lock);
        }
    });
}

}  // namespace

extern "C" {

TIO_API int32_t tio_write(TioHandle *handle, const void *buffer, int64_t length) {
    if (!tio::handle_ok(handle)) return -1;
    if (length == 0) return 0;
    if (length < 0 || buffer == nullptr) return -1;
    if (!ready_for_transfer(handle)) return -1;
    if (handle->direction != 0) {
        report("Error! tio_write on a handle that is not in write mode");
        return -1;
    }
    const Geometry g = geometry_of(handle);
    // The stream continues a chunk that an earlier call left partly written: lay this
    // call out as if it began that many bytes earlier, and skip those bytes.
    const int32_t fill = handle->chunk_fill;
    if (length > INT64_MAX - fill) return -1;
    Split split;
    if (!split_whole_chunks(length + fill, g, split)) return -1;
    const int32_t phase = handle->stripe_phase;
    auto *bytes = static_cast<uint8_t *>(const_cast<void *>(buffer));
    for (int32_t w = 0; w < handle->worker_count; ++w) {
        handle->workers[w].user_buffer = bytes;
        store(handle->workers[w].read_stripes, split.stripes);
    }
    for_each_device(handle, [&](TioWorker &worker, TioDevice &device) {
        const int32_t pos = position_of(device, g.stripe_count, phase);
        tio::add(worker.chunks_queued, static_cast<int64_t>(split.stripes) + 1);
        device.user_offset = static_cast<int64_t>(pos) * g.chunk_size - fill;
        device.head_skip = pos == 0 ? fill : 0;
        const int64_t tail = pos < split.rest ? g.chunk_size : pos == split.rest ? split.tail : 0;
        store(device.read_tail, static_cast<int32_t>(tail));
    });
    handle->stripe_phase = (split.rest + phase) % g.stripe_count;
    handle->chunk_fill = split.tail < g.chunk_size ? static_cast<int32_t>(split.tail) : 0;
    run_copy_threads(handle, read_buff, length);
    return static_cast<int32_t>(length);
}

TIO_API int32_t tio_read(TioHandle *handle, void *buffer, int64_t length) {
    if (!tio::handle_ok(handle)) return -1;
    if (length == 0) return 0;
    if (length < 0 || buffer == nullptr) return -1;
    if (!ready_for_transfer(handle)) return -1;
    const Geometry g = geometry_of(handle);
    const int64_t chunks = length / g.chunk_size + (length % g.chunk_size != 0 ? 1 : 0);
    if (!chunk_count_fits(chunks, length)) return -1;
    const int32_t stripes = static_cast<int32_t>(chunks) / g.stripe_count;
    const int32_t rest = static_cast<int32_t>(chunks) - stripes * g.stripe_count;
    const int32_t phase = handle->stripe_phase;
    // A device asked for more chunks than the plan gives it would wait for ever.
    bool within_plan = true;
    for_each_device(handle, [&](TioWorker &, TioDevice &device) {
        const int64_t wanted = stripes + (position_of(device, g.stripe_count, phase) < rest ? 1 : 0);
        if (device.chunks_taken + wanted > device.chunks_planned) within_plan = false;
    });
    if (!within_plan) {
        report("Error! Read of %lld bytes asks a device for more chunks than the read sequence holds",
               static_cast<long long>(length));
        return -1;
    }
    for (int32_t w = 0; w < handle->worker_count; ++w) {
        handle->workers[w].user_buffer = static_cast<uint8_t *>(buffer);
        handle->workers[w].write_stripes = stripes;
        handle->workers[w].read_errors = 0;
        store(handle->workers[w].finished, 0);
    }
    for_each_device(handle, [&](TioWorker &, TioDevice &device) {
        const int32_t pos = position_of(device, g.stripe_count, phase);
        device.user_offset = static_cast<int64_t>(pos) * g.chunk_size;
        device.write_extra = pos < rest ? 1 : 0;
        device.chunks_taken += stripes + device.write_extra;
    });
    handle->stripe_phase = (rest + phase) % g.stripe_count;
    run_copy_threads(handle, write_buff, length);
    int32_t errors = 0;
    for (int32_t w = 0; w < handle->worker_count; ++w) errors += handle->workers[w].read_errors;
    return errors > 0 ? -1 : static_cast<int32_t>(length);
}

TIO_API int32_t mapReads(TioHandle *handle, int64_t total) {
    if (!tio::handle_ok(handle)) return -1;
    if (total < 0 || !ready_for_transfer(handle)) return -1;
    const Geometry g = geometry_of(handle);
    Split split = {0, 0, 0};
    // An empty read sequence plans nothing.
    if (total > 0 && !split_whole_chunks(total, g, split)) return -1;
    for (int32_t w = 0; w < handle->worker_count; ++w) store(handle->workers[w].read_stripes, split.stripes);
    for_each_device(handle, [&](TioWorker &worker, TioDevice &device) {
        const int32_t g_index = device.global_index;
        const int64_t tail = g_index < split.rest ? worker.chunk_size : g_index == split.rest ? split.tail : 0;
        store(device.read_tail, static_cast<int32_t>(tail));
        device.chunks_planned = split.stripes + (tail > 0 ? 1 : 0);
        device.chunks_taken = 0;
    });
    return 0;
}

TIO_API int32_t tio_launch_read_threads(TioHandle *handle, int64_t total) {
    if (!tio::handle_ok(handle)) return -1;
    if (handle->direction != 1) return 0;
    if (!ready_for_transfer(handle)) return -1;
    tio::finish_read_sequence(handle);
    reset_read_pipeline(handle);
    if (mapReads(handle, total) < 0) return -1;
    // The plan takes chunk k from device k mod S, so the copies start at device 0 too.
    handle->stripe_phase = 0;
    for (int32_t w = 0; w < handle->worker_count; ++w) {
        TioWorker &worker = handle->workers[w];
        if (pthread_create(&worker.thread, nullptr, read_disk, &worker) != 0) {
            worker.thread = tio::kNoThread;
            report("Error! Could not start a read thread");
            tio::finish_read_sequence(handle);  // no tio_read may wait for this plan
            return -1;
        }
    }
    return 0;
}

TIO_API int32_t tio_seek(TioHandle *handle, int64_t offset) {
    if (!tio::handle_ok(handle)) return -1;
    if (!ready_for_transfer(handle)) return -1;
    settle_before_positioning(handle);
    const Geometry g = geometry_of(handle);
    const int64_t stripe_bytes = static_cast<int64_t>(g.stripe_count) * g.chunk_size;
    const int64_t stripes = offset / stripe_bytes;
    bool moved = true;
    for_each_device(handle, [&](TioWorker &, TioDevice &device) {
        if (moved && fseeko(device.file, stripes * g.chunk_size, SEEK_CUR) != 0) moved = false;
    });
    if (!moved) return -1;
    return static_cast<int32_t>(offset - stripes * stripe_bytes);
}

TIO_API int32_t tio_set_offset(TioHandle *handle, int64_t offset) {
    if (!tio::handle_ok(handle)) return -1;
    if (!ready_for_transfer(handle)) return -1;
    settle_before_positioning(handle);
    const FsProps &props = *handle->props;
    bool positioned = true;
    for_each_device(handle, [&](TioWorker &, TioDevice &device) {
        if (!positioned) return;
        int64_t position;
        if (__builtin_add_overflow(offset, props.devices[device.global_index].offset, &position) ||
            __builtin_add_overflow(position, props.start_offset, &position) ||
            fseeko(device.file, position, SEEK_SET) != 0) {
            report("Error! Couldn't perform seek");
            positioned = false;
        }
    });
    if (!positioned) return -1;
    // A new position starts a new stream: its first chunk goes to device 0, as the read
    // plan of a sequence starting there expects.
    handle->stripe_phase = 0;
    handle->chunk_fill = 0;
    return 0;
}

}  // extern "C"
