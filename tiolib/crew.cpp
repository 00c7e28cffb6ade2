// The workers' threads and the way a transfer call is shared out among them. A call moves
// its whole chunks straight between the caller's buffer and the members; the staging
// buffers are left for what cannot go straight (read-ahead before a caller's buffer is
// known, blocks that direct I/O cannot take from or give to the caller's memory).
//
// The members of a call are handed out one at a time, in the order of the call's stream,
// to whichever thread asks next: the caller's own thread and the worker threads woken for
// the call. A member is thus served by exactly one thread within a call, which keeps its
// position, its staging buffers and its counters single-handed; the call returns when
// every member is done, so the caller's buffer is free (or filled) on return.
#include "internal.h"

#include <algorithm>

namespace tio {

namespace {

// Below this many bytes a call is served by the caller's thread alone: waking a worker
// and waiting for it costs about as much as moving that many bytes.
constexpr int64_t kBytesWorthAWorker = int64_t{256} << 10;

struct Member {
    TioWorker *worker;
    TioDevice *device;
};

// The member with the given global index, by the distribution of tio_init: S / T members
// per worker and one more for each of the first S mod T workers.
Member member_at(TioHandle *handle, int32_t global_index) {
    const int32_t members = handle->props->stripe_count, workers = handle->worker_count;
    const int32_t base = members / workers, larger = members % workers;
    const int32_t in_larger = larger * (base + 1);
    int32_t worker, device;
    if (global_index < in_larger) {
        worker = global_index / (base + 1);
        device = global_index % (base + 1);
    } else {
        worker = larger + (global_index - in_larger) / base;
        device = (global_index - in_larger) % base;
    }
    TioWorker &owner = handle->workers[worker];
    return Member{&owner, &owner.devices[device]};
}

// Write mode: one member's pieces of the call (its plan's whole chunks, then its final
// piece), each written at the member's position straight from the caller's buffer.
// The first one of the member that continues a partial chunk skips the bytes written by
// the call before.
void write_member_part(TioWorker &worker, TioDevice &device) {
    const int32_t stripes = load(plan_stripes(worker));
    TioFailure failures{};
    auto hand_over = [&](int64_t length) {
        const int64_t skip = device.head_skip;
        device.head_skip = 0;
        const int64_t chunk_start = device.position - skip;
        write_chunk_part(device, worker.user_buffer + device.user_offset + skip, skip, length, chunk_start, failures);
        if (length > skip) device.position += length - skip;
        device.user_offset += device.stripe_bytes;  // the member's next chunk is one stripe on
    };
    for (int32_t stripe = 0; stripe < stripes; ++stripe) hand_over(worker.chunk_size);
    hand_over(load(final_piece_bytes(device)));
    merge_failures(worker, &TioWorker::write_failure, failures);
}

// The bytes the read plan gives chunk `chunk` of a member: whole chunks, then its final piece.
int64_t planned_chunk_bytes(const TioWorker &worker, const TioDevice &device, int64_t chunk) {
    return chunk < load(plan_stripes(worker)) ? worker.chunk_size : load(final_piece_bytes(device));
}

// Read mode: one member's chunks of the call, each copied whole as the member delivers it.
// Its first chunk of the sequence was read ahead into staging buffer 0 by its worker's
// thread; the others are read straight into the caller's buffer.
void read_member_part(TioWorker &worker, TioDevice &device) {
    const int64_t count = call_stripes(worker) + call_extra_chunk(device);
    TioFailure failures{};
    for (int64_t i = 0; i < count; ++i) {
        const int64_t chunk = device.chunks_taken + i;
        if (chunk == 0) {
            copy_staged_chunk(device, worker.user_buffer, failures);
            continue;
        }
        const int64_t planned = planned_chunk_bytes(worker, device, chunk);
        const Moved moved = read_chunk(device, worker.user_buffer + device.user_offset, planned,
                                       device.sequence_start + chunk * worker.chunk_size);
        if (moved.error != 0 || moved.bytes < planned) {
            note_failure(failures, device.path, planned, moved.bytes, moved.error);
        }
        device.user_offset += device.stripe_bytes;
    }
    device.chunks_taken += count;
    merge_failures(worker, &TioWorker::read_failure, failures);
}

// Serves members of the call in progress until none is left.
void take_part(TioHandle *handle) {
    const int32_t members = handle->props->stripe_count;
    for (;;) {
        const int32_t slot = __atomic_fetch_add(&handle->call_next_slot, 1, __ATOMIC_ACQ_REL);
        if (slot >= members) return;
        const Member member = member_at(handle, (handle->call_phase + slot) % members);
        if (direction_of(*handle) == Direction::kWrite) {
            write_member_part(*member.worker, *member.device);
        } else {
            read_member_part(*member.worker, *member.device);
        }
    }
}

// The worker's part of a read sequence's start: the first chunk of each of its members,
// so that the first tio_read finds it waiting.
void read_ahead(TioWorker &worker) {
    for (int32_t d = 0; d < worker.device_count; ++d) {
        TioDevice &device = worker.devices[d];
        if (device.chunks_planned == 0) continue;
        stage_from_member(device, planned_chunk_bytes(worker, device, 0));
    }
}

// How many worker threads to wake for a call besides the caller's own: one per member
// that has work, less the one the caller takes, and none for a small call.
int32_t workers_to_wake(const TioHandle *handle, int64_t length, int64_t chunks) {
    if (length < kBytesWorthAWorker) return 0;
    const int64_t members_with_work = std::min<int64_t>(handle->props->stripe_count, chunks);
    return static_cast<int32_t>(std::min<int64_t>(handle->worker_count, members_with_work - 1));
}

}  // namespace

void *serve_calls(void *arg) {
    TioWorker &worker = *static_cast<TioWorker *>(arg);
    if (direction_of(*worker.handle) == Direction::kRead) read_ahead(worker);
    for (;;) {
        gate_take(&worker.call_gate);
        if (load(worker.stop) == 1) break;
        take_part(worker.handle);
        gate_release(&worker.done_gate);
    }
    store(worker.finished, 1);
    return nullptr;
}

void run_call(TioHandle *handle, int64_t length, int64_t chunks) {
    store(handle->call_next_slot, 0);
    const int32_t woken = workers_to_wake(handle, length, chunks);
    for (int32_t w = 0; w < woken; ++w) gate_release(&handle->workers[w].call_gate);
    take_part(handle);
    for (int32_t w = 0; w < woken; ++w) gate_take(&handle->workers[w].done_gate);
}

int32_t start_write_threads(TioHandle *handle) {
    if (direction_of(*handle) != Direction::kWrite) return 0;
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
    const int64_t whole = std::min<int64_t>(chunks, load(plan_stripes(worker)));
    return whole * worker.chunk_size + (chunks > whole ? load(final_piece_bytes(device)) : 0);
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

TIO_API int32_t launch_write_threads(TioHandle *handle) {
    const tio::HandleCall call(handle);
    if (!call) return -1;
    return tio::start_write_threads(handle);
}

// Every tio_write has written what it was given before it returned: nothing to wait for.
TIO_API int32_t tio_wait_threads(TioHandle *handle) {
    const tio::HandleCall call(handle);
    if (!call) return -1;
    return tio::report_write_failures(handle) ? 0 : -1;
}

TIO_API int32_t tio_join_threads(TioHandle *handle) {
    const tio::HandleCall call(handle);
    if (!call) return -1;
    // Write-mode threads end only in tio_close; waiting for them here would hang.
    if (tio::direction_of(*handle) == tio::Direction::kWrite) return -1;
    tio::finish_read_sequence(handle);
    return 0;
}

}  // extern "C"
