// The double-buffered pipeline: per device two staging buffers form a queue of depth
// two between a filling side and an emptying side. Copy threads move chunks between
// the caller's buffer and the staging buffers; disk threads move them between the
// staging buffers and the member devices.
#include "durable.h"
#include "internal.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

using tio::load;
using tio::store;

enum class Side { kFill, kEmpty };

// Advances the side's index under select_lock and takes that buffer's gate; waits for
// the gate only after select_lock is released.
TioBuffer &take_next_buffer(TioDevice &device, Side side) {
    pthread_mutex_lock(&device.select_lock);
    int32_t &index = side == Side::kFill ? device.read_index : device.write_index;
    index = (index + 1) % 2;
    TioBuffer &buffer = device.buffers[index];
    TioGate &gate = side == Side::kFill ? buffer.empty_lock : buffer.full_lock;
    const bool taken = tio::gate_try_take(&gate);
    pthread_mutex_unlock(&device.select_lock);
    if (!taken) tio::gate_take(&gate);
    return buffer;
}

// Writes one staging buffer to the device at its position. A failed or short write is
// recorded for the call that reports it (the disk thread prints nothing), and the position
// moves on to where the chunk should have ended all the same, so that every later chunk of
// this device still lands at its own place.
void write_buffer_to_device(TioDevice &device, TioFailure &failure) {
    TioBuffer &buffer = take_next_buffer(device, Side::kEmpty);
    const int64_t length = buffer.length;
    if (length > 0) {
        const tio::Moved moved = tio::write_staged(device, buffer.data, length, device.position);
        if (moved.bytes != length) tio::note_failure(failure, device.path, length, moved.bytes, moved.error);
        device.position += length;
    }
    buffer.length = 0;
    tio::gate_release(&buffer.empty_lock);
}

// One write-mode hand-over. The first hand-over of the device that holds a partial
// chunk from the previous call skips the bytes already written.
void hand_over(TioDevice &device, uint8_t *user_buffer, int64_t length) {
    const int32_t skip = device.head_skip;
    if (skip == 0) {
        perform_read_buff(&device, user_buffer, length);
        return;
    }
    device.head_skip = 0;
    device.user_offset += skip;
    perform_read_buff(&device, user_buffer, length - skip);
    device.user_offset -= skip;
}

void write_pass(TioWorker &worker, bool drain) {
    for (int32_t d = 0; d < worker.device_count; ++d) {
        TioDevice &device = worker.devices[d];
        // Recorded before the chunk is counted: a caller that sees the count sees the record.
        write_buffer_to_device(device, worker.write_failure);
        if (drain) tio::gate_release(&device.buffers[device.write_index].full_lock);
        tio::add(worker.chunks_done, int64_t{1});
    }
}

}  // namespace

namespace tio {

// The bytes the device delivered, nothing more. A chunk the device did not deliver whole
// (a read error, or fewer bytes than the read plan asked for) is recorded in `failure`.
void copy_staged_chunk(TioDevice &device, uint8_t *user_buffer, TioFailure &failure) {
    TioBuffer &buffer = take_next_buffer(device, Side::kEmpty);
    if (buffer.length > 0) memcpy(user_buffer + device.user_offset, buffer.data, static_cast<size_t>(buffer.length));
    if (buffer.read_error != 0 || buffer.length < buffer.requested) {
        note_failure(failure, device.path, buffer.requested, buffer.length, buffer.read_error);
    }
    device.user_offset += device.stripe_bytes;  // the layout's row step, see perform_read_buff
    buffer.length = 0;
    buffer.requested = 0;
    buffer.read_error = 0;
    gate_release(&buffer.empty_lock);
}

void note_failure(TioFailure &failure, const char *path, int64_t requested, int64_t moved,
                  int32_t error_number) {
    if (failure.count == 0) failure = TioFailure{path, requested, moved, error_number, 0};
    if (failure.count < INT32_MAX) ++failure.count;
}

namespace {

// The reason of a failure, in the words of the line that reports it.
std::string failure_reason(const TioFailure &failure, const char *moved_words) {
    if (failure.error_number != 0) return strerror(failure.error_number);
    char text[96];
    snprintf(text, sizeof text, "%lld of %lld bytes %s", static_cast<long long>(failure.moved),
             static_cast<long long>(failure.requested), moved_words);
    return text;
}

// The count of all recorded failures, the first in worker order in `first`; the records
// start again.
int64_t take_failures(TioHandle *handle, TioFailure TioWorker::*record, TioFailure &first) {
    int64_t count = 0;
    for (int32_t w = 0; w < handle->worker_count; ++w) {
        TioFailure &failure = handle->workers[w].*record;
        if (failure.count == 0) continue;
        if (count == 0) first = failure;
        count += failure.count;
        failure = TioFailure{};
    }
    return count;
}

// " (and N more failed <things>)" after the first of count failures, nothing for one.
std::string more_failures(int64_t count, const char *thing) {
    if (count <= 1) return "";
    return " (and " + std::to_string(count - 1) + " more failed " + thing + (count > 2 ? "s)" : ")");
}

}  // namespace

bool report_write_failures(TioHandle *handle) {
    TioFailure first{};
    const int64_t count = take_failures(handle, &TioWorker::write_failure, first);
    if (count == 0) return true;
    handle->failed |= tio::kWriteFailed;  // those bytes are lost: no recording of the handle can be committed
    report("Error! Could not write %lld bytes to device file %s: %s%s", static_cast<long long>(first.requested),
           first.path ? first.path : "?", failure_reason(first, "written").c_str(),
           more_failures(count, "write").c_str());
    return false;
}

bool report_read_failures(TioHandle *handle) {
    TioFailure first{};
    const int64_t count = take_failures(handle, &TioWorker::read_failure, first);
    if (count == 0) return true;
    report("Error! Could not read device file %s: %s%s", first.path ? first.path : "?",
           failure_reason(first, "delivered").c_str(), more_failures(count, "chunk").c_str());
    return false;
}

void wait_for_pending_writes(const TioHandle *handle) {
    for (;;) {
        msleep(1);
        int64_t pending = 0;
        for (int32_t w = 0; w < handle->worker_count; ++w) {
            pending += load(handle->workers[w].chunks_queued) - load(handle->workers[w].chunks_done);
        }
        if (pending <= 0) return;
    }
}

int32_t start_write_threads(TioHandle *handle) {
    if (handle->direction != 0) return 0;
    for (int32_t w = 0; w < handle->worker_count; ++w) {
        TioWorker &worker = handle->workers[w];
        if (worker.thread != kNoThread) continue;  // a second call starts no second thread
        store(worker.finished, 0);
        if (pthread_create(&worker.thread, nullptr, serve_calls, &worker) != 0) {
            worker.thread = kNoThread;
            store(worker.finished, 1);
            return -1;
        }
    }
    return 0;
}

namespace {

// Bytes of the first `chunks` chunks of a member's read plan.
int64_t planned_bytes(const TioWorker &worker, const TioDevice &device, int64_t chunks) {
    const int64_t whole = std::min<int64_t>(chunks, load(worker.read_stripes));
    return whole * worker.chunk_size + (chunks > whole ? load(device.read_tail) : 0);
}

}  // namespace

void finish_read_sequence(TioHandle *handle) {
    for (int32_t w = 0; w < handle->worker_count; ++w) {
        TioWorker &worker = handle->workers[w];
        if (worker.thread == kNoThread) continue;  // no sequence runs on this worker
        // The next sequence starts behind what the tio_read calls took of this one.
        for (int32_t d = 0; d < worker.device_count; ++d) {
            TioDevice &device = worker.devices[d];
            device.sequence_start += planned_bytes(worker, device, device.chunks_taken);
        }
        // Its thread may still be reading ahead, or wait for the next call: cut the plan
        // (a read ahead then stops after the member it is at) and let it go.
        cut_read_plan(worker, worker.device_count);
        store(worker.stop, 1);
        join_opening_gates(worker);
        store(worker.stop, 0);
        for (int32_t d = 0; d < worker.device_count; ++d) worker.devices[d].position = worker.devices[d].sequence_start;
    }
    for (int32_t w = 0; w < handle->worker_count; ++w) {
        TioWorker &worker = handle->workers[w];
        for (int32_t d = 0; d < worker.device_count; ++d) worker.devices[d].chunks_planned = worker.devices[d].chunks_taken;
    }
}

}  // namespace tio

extern "C" {

TIO_API void perform_read_buff(TioDevice *device, uint8_t *user_buffer, int64_t length) {
    TioBuffer &buffer = take_next_buffer(*device, Side::kFill);
    if (length > 0) memcpy(buffer.data, user_buffer + device->user_offset, static_cast<size_t>(length));
    // The layout's row step: this device's next chunk of the call's stream lies one row
    // further, a whole stripe on in the caller's buffer.
    device->user_offset += device->stripe_bytes;
    buffer.length = length > 0 ? length : 0;
    tio::gate_release(&buffer.full_lock);
}

// The disk thread prints nothing: the copy thread sees whether the chunk came whole, and
// tio_read reports it.
TIO_API void perform_read_disk(TioDevice *device, int64_t length) {
    TioBuffer &buffer = take_next_buffer(*device, Side::kFill);
    const int64_t wanted = length > 0 ? length : 0;
    const tio::Moved moved = wanted > 0 ? tio::read_chunk(*device, buffer.data, wanted, device->position, true)
                                        : tio::Moved{0, 0};
    device->position += wanted;
    buffer.read_error = moved.error;
    buffer.requested = wanted;
    buffer.length = moved.bytes;
    tio::gate_release(&buffer.full_lock);
}

// The per-chunk steps on their own have nobody to report to: their failures are dropped.
TIO_API void perform_write_disk(TioDevice *device) {
    TioFailure unreported{};
    write_buffer_to_device(*device, unreported);
}

TIO_API void perform_write_buff(TioDevice *device, uint8_t *user_buffer) {
    TioFailure unreported{};
    tio::copy_staged_chunk(*device, user_buffer, unreported);
}

// Writes each device's buffers in turn, in the order they were filled, and counts every
// hand-over, empty ones included (tio_write queues one per device and call). `stop` is
// looked at only between pairs of passes, each pair visiting both buffers of every device.
// Once it is set, tio_close keeps opening every gate until this thread ends, so no take
// waits any more: the pass pair in progress is finished, then the drain makes two more
// passes, which write whatever the two buffers of each device still hold (all a device can
// hold) and leave each full gate open behind them. A buffer that holds nothing writes
// nothing.
TIO_API void *write_disk(void *arg) {
    TioWorker &worker = *static_cast<TioWorker *>(arg);
    while (load(worker.stop) != 1) {
        write_pass(worker, false);
        write_pass(worker, false);
    }
    write_pass(worker, true);
    write_pass(worker, true);
    store(worker.finished, 1);
    return nullptr;
}

// read_stripes and read_tail hold the read sequence's plan here (in write mode the same
// fields describe one tio_write for read_buff). Unlike read_buff, the final pass skips the
// devices without a final piece: nothing counts read-mode hand-overs, and tio_read takes
// only the chunks the plan holds. read_stripes is loaded before every stripe, so that a
// plan cut short by tio_join_threads or tio_close ends after the stripe in progress.
TIO_API void *read_disk(void *arg) {
    TioWorker &worker = *static_cast<TioWorker *>(arg);
    for (int32_t stripe = 0; stripe < load(worker.read_stripes); ++stripe) {
        for (int32_t d = 0; d < worker.device_count; ++d) perform_read_disk(&worker.devices[d], worker.chunk_size);
    }
    for (int32_t d = 0; d < worker.device_count; ++d) {
        const int32_t tail = load(worker.devices[d].read_tail);
        if (tail > 0) perform_read_disk(&worker.devices[d], tail);
    }
    return nullptr;
}

// The copy thread of one tio_write: read_stripes whole stripes, then a final pass in which
// every device gets exactly one more hand-over, an empty one when it has no bytes in this
// call. That extra hand-over keeps chunks_queued (stripes + 1 per device and call) equal to
// what the disk thread counts, and both sides of every device alternating buffers in step
// from one call to the next.
TIO_API void *read_buff(void *arg) {
    TioWorker &worker = *static_cast<TioWorker *>(arg);
    const int32_t stripes = load(worker.read_stripes);
    for (int32_t stripe = 0; stripe < stripes; ++stripe) {
        for (int32_t d = 0; d < worker.device_count; ++d) hand_over(worker.devices[d], worker.user_buffer, worker.chunk_size);
    }
    for (int32_t d = 0; d < worker.device_count; ++d) {
        hand_over(worker.devices[d], worker.user_buffer, load(worker.devices[d].read_tail));
    }
    return nullptr;
}

TIO_API void *write_buff(void *arg) {
    TioWorker &worker = *static_cast<TioWorker *>(arg);
    for (int32_t stripe = 0; stripe < worker.write_stripes; ++stripe) {
        for (int32_t d = 0; d < worker.device_count; ++d) {
            tio::copy_staged_chunk(worker.devices[d], worker.user_buffer, worker.read_failure);
        }
    }
    for (int32_t d = 0; d < worker.device_count; ++d) {
        if (worker.devices[d].write_extra > 0) {
            tio::copy_staged_chunk(worker.devices[d], worker.user_buffer, worker.read_failure);
        }
    }
    store(worker.finished, 1);
    return nullptr;
}

TIO_API int32_t launch_write_threads(TioHandle *handle) {
    const tio::HandleCall call(handle);
    if (!call) return -1;
    return tio::start_write_threads(handle);
}

TIO_API int32_t tio_wait_threads(TioHandle *handle) {
    const tio::HandleCall call(handle);
    if (!call) return -1;
    tio::wait_for_pending_writes(handle);
    return tio::report_write_failures(handle) ? 0 : -1;
}

TIO_API int32_t tio_join_threads(TioHandle *handle) {
    const tio::HandleCall call(handle);
    if (!call) return -1;
    // Write-mode disk threads end only in tio_close; waiting for them here would hang.
    if (handle->direction == 0) return -1;
    tio::finish_read_sequence(handle);
    return 0;
}

}  // extern "C"
