// The described pipeline steps: per member, two staging buffers form a queue of depth two
// between a filling side and an emptying side; copy steps move chunks between a caller's
// buffer and the staging buffers, disk steps between the staging buffers and the member.
// They are exported, and work, for callers that drive a handle's staging buffers
// themselves. The engine's own transfers do not use them: tio_write and tio_read move whole
// chunks straight between the caller's buffer and the members (crew.cpp, member_io.cpp),
// staging only a read sequence's first chunk (staging.cpp).
#include "internal.h"

#include <cstring>

namespace {

using tio::load;
using tio::StagingSide;
using tio::store;

// Writes one staging buffer to the device at its position. A failed or short write is
// recorded in `failure` (nothing is printed), and the position moves on to where the chunk
// should have ended all the same, so that every later chunk of this device still lands at
// its own place.
void write_buffer_to_device(TioDevice &device, TioFailure &failure) {
    TioBuffer &buffer = tio::take_next_buffer(device, StagingSide::kEmpty);
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

extern "C" {

TIO_API void perform_read_buff(TioDevice *device, uint8_t *user_buffer, int64_t length) {
    TioBuffer &buffer = tio::take_next_buffer(*device, StagingSide::kFill);
    if (length > 0) memcpy(buffer.data, user_buffer + device->user_offset, static_cast<size_t>(length));
    // The layout's row step: this device's next chunk of the call's stream lies one row
    // further, a whole stripe on in the caller's buffer.
    device->user_offset += device->stripe_bytes;
    buffer.length = length > 0 ? length : 0;
    tio::gate_release(&buffer.full_lock);
}

TIO_API void perform_read_disk(TioDevice *device, int64_t length) { tio::stage_from_member(*device, length); }

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
// hand-over in chunks_done, empty ones included. `stop` is looked at only between pairs of
// passes, each pair visiting both buffers of every device. Once it is set, the caller keeps
// opening every gate until this thread ends, so no take waits any more: the pass pair in
// progress is finished, then the drain makes two more passes, which write whatever the two
// buffers of each device still hold (all a device can hold) and leave each full gate open
// behind them. A buffer that holds nothing writes nothing.
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

// read_stripes and read_tail hold a read plan here (the same fields describe one write for
// read_buff). Unlike read_buff, the final pass skips the devices without a final piece.
// read_stripes is loaded before every stripe, so that a plan cut short ends after the
// stripe in progress.
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

// The copy side of one write: read_stripes whole stripes, then a final pass in which every
// device gets exactly one more hand-over, an empty one when it has no bytes in this write.
// That extra hand-over keeps both sides of every device alternating buffers in step from
// one write to the next.
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

}  // extern "C"
