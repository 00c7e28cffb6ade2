// Striped transfers: cutting a caller's buffer into chunks laid round-robin over the
// member devices, planning a read sequence, and positioning the devices.
#include "internal.h"
#include "layout.h"

#include <climits>

namespace {

using tio::load;
using tio::report;
using tio::store;

tio::StripeLayout layout_of(const TioHandle *handle) { return tio::layout_of(*handle->props); }

// A device's place in the stream of the current call, which starts at the device at
// stripe_phase: the call's chunk j goes to the device whose slot is j mod S.
int32_t slot_of(const tio::StripeLayout &layout, const TioDevice &device, int32_t phase) {
    return tio::stripe_slot(layout, device.global_index, phase);
}

bool ready_for_transfer(const TioHandle *handle) {
    if (handle->workers == nullptr || handle->props == nullptr) {
        report("Error! Handle is not initialised");
        return false;
    }
    return true;
}

// The chunk count of one call is a 32-bit number.
bool chunk_count_fits(int64_t chunks, int64_t length) {
    if (chunks <= INT32_MAX) return true;
    report("Error! Transfer of %lld bytes is too large for one call", static_cast<long long>(length));
    return false;
}

// How a stream of length > 0 bytes that starts at slot 0 is cut among the members (a
// tio_write, a read sequence's plan): every member takes part in `stripe_passes` whole
// stripes, then has one final piece of its own. The final piece is what remains of the
// member's share of the stream (a whole chunk, the stream's tail or nothing), so a whole
// number of stripes sends its last stripe through the final piece.
struct FillPlan {
    int32_t stripe_passes;
    int64_t chunks;  // whole chunks of the stream
};

bool plan_fill(const tio::StripeLayout &layout, int64_t length, FillPlan &plan) {
    plan.chunks = length / layout.chunk_size;
    if (!chunk_count_fits(plan.chunks, length)) return false;
    plan.stripe_passes = static_cast<int32_t>((length - 1) / layout.stripe_size());
    return true;
}

int64_t final_piece(const tio::StripeLayout &layout, int64_t length, const FillPlan &plan, int32_t slot) {
    return tio::member_share(layout, length, slot) - plan.stripe_passes * layout.chunk_size;
}

template <typename Fn> void for_each_device(TioHandle *handle, Fn fn) {
    for (int32_t w = 0; w < handle->worker_count; ++w) {
        TioWorker &worker = handle->workers[w];
        for (int32_t d = 0; d < worker.device_count; ++d) fn(worker, worker.devices[d]);
    }
}

// Calls fn(device) in worker order until it returns false; true when it never did.
template <typename Fn> bool every_device(TioHandle *handle, Fn fn) {
    for (int32_t w = 0; w < handle->worker_count; ++w) {
        TioWorker &worker = handle->workers[w];
        for (int32_t d = 0; d < worker.device_count; ++d) {
            if (!fn(worker.devices[d])) return false;
        }
    }
    return true;
}

// The device with the given global index; null when the handle has none.
const TioDevice *device_at(TioHandle *handle, int32_t global_index) {
    const TioDevice *found = nullptr;
    every_device(handle, [&](TioDevice &device) {
        if (device.global_index == global_index) found = &device;
        return found == nullptr;
    });
    return found;
}

// Positions a member for its next transfer. The stream is moved too, so that a position
// the member cannot have (before its start, beyond the end of a block device) is refused
// as the system refuses it; direct I/O also needs a block boundary.
bool move_to(TioDevice &device, int64_t position) {
    if (device.block_size > 0 && position % device.block_size != 0) return false;
    if (fseeko(device.file, position, SEEK_SET) != 0) return false;
    device.position = position;
    return true;
}

// After a finished read sequence the pipeline of every device is set back to its state
// after init, so that a new sequence starts on buffer 0 of both sides.
void reset_read_pipeline(TioHandle *handle) {
    for_each_device(handle, [](TioWorker &, TioDevice &device) {
        device.read_index = -1;
        device.write_index = -1;
        for (TioBuffer &buffer : device.buffers) {
            buffer.length = 0;
            buffer.requested = 0;
            buffer.read_error = 0;
            tio::gate_release(&buffer.empty_lock);
            tio::gate_try_take(&buffer.full_lock);
        }
    });
    for (int32_t w = 0; w < handle->worker_count; ++w) {
        tio::gate_try_take(&handle->workers[w].call_gate);
        tio::gate_try_take(&handle->workers[w].done_gate);
    }
}

// The plan of a read sequence (mapReads within a call that holds the handle).
int32_t plan_read_sequence(TioHandle *handle, int64_t total) {
    if (total < 0 || !ready_for_transfer(handle)) return -1;
    const tio::StripeLayout layout = layout_of(handle);
    FillPlan plan = {0, 0};
    // An empty read sequence plans nothing.
    if (total > 0 && !plan_fill(layout, total, plan)) return -1;
    for (int32_t w = 0; w < handle->worker_count; ++w) store(tio::plan_stripes(handle->workers[w]), plan.stripe_passes);
    // The sequence's stream starts on member 0, so a device's slot is its global index.
    for_each_device(handle, [&](TioWorker &, TioDevice &device) {
        const int64_t tail = total > 0 ? final_piece(layout, total, plan, device.global_index) : 0;
        store(tio::final_piece_bytes(device), static_cast<int32_t>(tail));
        device.chunks_planned = plan.stripe_passes + (tail > 0 ? 1 : 0);
        device.chunks_taken = 0;
    });
    return 0;
}

}  // namespace

extern "C" {

TIO_API int32_t tio_write(TioHandle *handle, const void *buffer, int64_t length) {
    const tio::HandleCall call(handle);
    if (!call) return -1;
    if (length == 0) return 0;
    if (length < 0 || buffer == nullptr) return -1;
    if (!ready_for_transfer(handle)) return -1;
    if (tio::direction_of(*handle) != tio::Direction::kWrite) {
        report("Error! tio_write on a handle that is not in write mode");
        return -1;
    }
    const tio::StripeLayout layout = layout_of(handle);
    // The stream continues a chunk that an earlier call left partly written: lay this
    // call out as if it began that many bytes earlier, and skip those bytes.
    const int32_t fill = handle->chunk_fill;
    if (length > INT64_MAX - fill) return -1;
    const int64_t laid_out = length + fill;
    FillPlan plan;
    if (!plan_fill(layout, laid_out, plan)) return -1;
    const int32_t phase = handle->stripe_phase;
    auto *bytes = static_cast<uint8_t *>(const_cast<void *>(buffer));
    for (int32_t w = 0; w < handle->worker_count; ++w) {
        handle->workers[w].user_buffer = bytes;
        store(tio::plan_stripes(handle->workers[w]), plan.stripe_passes);
    }
    for_each_device(handle, [&](TioWorker &, TioDevice &device) {
        const int32_t slot = slot_of(layout, device, phase);
        device.user_offset = slot * layout.chunk_size - fill;
        device.head_skip = slot == 0 ? fill : 0;
        store(tio::final_piece_bytes(device), static_cast<int32_t>(final_piece(layout, laid_out, plan, slot)));
    });
    // The next call starts on the device of the chunk after the last whole one, which
    // holds the partial chunk when there is one.
    handle->call_phase = phase;
    handle->stripe_phase = (phase + tio::chunk_member(layout, plan.chunks)) % layout.members;
    handle->chunk_fill = static_cast<int32_t>(laid_out % layout.chunk_size);
    handle->unsynced = 1;
    // The chunks the call touches: the one it continues, its whole ones and its tail.
    tio::run_call(handle, length, plan.chunks + (handle->chunk_fill > 0 ? 1 : 0));
    return static_cast<int32_t>(length);
}

TIO_API int32_t tio_read(TioHandle *handle, void *buffer, int64_t length) {
    const tio::HandleCall call(handle);
    if (!call) return -1;
    if (length == 0) return 0;
    if (length < 0 || buffer == nullptr) return -1;
    if (!ready_for_transfer(handle)) return -1;
    const tio::StripeLayout layout = layout_of(handle);
    const int64_t chunks = length / layout.chunk_size + (length % layout.chunk_size != 0 ? 1 : 0);
    if (!chunk_count_fits(chunks, length)) return -1;
    // Every chunk is copied whole. The call's chunks run from slot 0 up to the place of the
    // chunk after them: every device gives `stripes` chunks, those before `rest` one more.
    const int32_t stripes = static_cast<int32_t>(tio::chunk_row(layout, chunks));
    const int32_t rest = tio::chunk_member(layout, chunks);
    const int32_t phase = handle->stripe_phase;
    // A device asked for more chunks than the plan gives it would wait for ever.
    const bool within_plan = every_device(handle, [&](TioDevice &device) {
        const int64_t wanted = stripes + (slot_of(layout, device, phase) < rest ? 1 : 0);
        return device.chunks_taken + wanted <= device.chunks_planned;
    });
    if (!within_plan) {
        report("Error! Read of %lld bytes asks a device for more chunks than the read sequence holds",
               static_cast<long long>(length));
        return -1;
    }
    for (int32_t w = 0; w < handle->worker_count; ++w) {
        handle->workers[w].user_buffer = static_cast<uint8_t *>(buffer);
        tio::call_stripes(handle->workers[w]) = stripes;
        handle->workers[w].read_failure = TioFailure{};
    }
    for_each_device(handle, [&](TioWorker &, TioDevice &device) {
        const int32_t slot = slot_of(layout, device, phase);
        device.user_offset = slot * layout.chunk_size;
        tio::call_extra_chunk(device) = slot < rest ? 1 : 0;
    });
    handle->call_phase = phase;
    handle->stripe_phase = (rest + phase) % layout.members;
    tio::run_call(handle, length, chunks);
    // A chunk the plan expects whole but its device delivered short (a member shorter than
    // the extent) is an error: what arrived was copied, the rest of the buffer is untouched.
    return tio::report_read_failures(handle) ? static_cast<int32_t>(length) : -1;
}

TIO_API int32_t mapReads(TioHandle *handle, int64_t total) {
    const tio::HandleCall call(handle);
    if (!call) return -1;
    return plan_read_sequence(handle, total);
}

TIO_API int64_t tio_next_chunk_bytes(TioHandle *handle) {
    const tio::HandleCall call(handle);
    if (!call) return -1;
    if (handle->workers == nullptr || handle->props == nullptr) return 0;
    // The next tio_read starts at the device at stripe_phase, with its next planned chunk.
    const TioDevice *device = device_at(handle, handle->stripe_phase);
    if (device == nullptr || device->chunks_taken >= device->chunks_planned) return 0;
    const int32_t tail = load(tio::final_piece_bytes(*device));
    const bool last_planned = device->chunks_taken + 1 == device->chunks_planned;
    return last_planned && tail > 0 ? tail : handle->props->chunk_size;
}

TIO_API int32_t tio_launch_read_threads(TioHandle *handle, int64_t total) {
    const tio::HandleCall call(handle);
    if (!call) return -1;
    if (tio::direction_of(*handle) != tio::Direction::kRead) return 0;
    if (!ready_for_transfer(handle)) return -1;
    tio::finish_read_sequence(handle);
    reset_read_pipeline(handle);
    if (plan_read_sequence(handle, total) < 0) return -1;
    // The plan takes chunk k from device k mod S, so the copies start at device 0 too.
    handle->stripe_phase = 0;
    for_each_device(handle, [](TioWorker &, TioDevice &device) { device.sequence_start = device.position; });
    for (int32_t w = 0; w < handle->worker_count; ++w) {
        TioWorker &worker = handle->workers[w];
        store(worker.finished, 0);
        if (pthread_create(&worker.thread, nullptr, tio::serve_calls, &worker) != 0) {
            worker.thread = tio::kNoThread;
            store(worker.finished, 1);
            report("Error! Could not start a read thread");
            tio::finish_read_sequence(handle);  // no tio_read may wait for this plan
            return -1;
        }
    }
    return 0;
}

TIO_API int32_t tio_seek(TioHandle *handle, int64_t offset) {
    const tio::HandleCall call(handle);
    if (!call || !ready_for_transfer(handle)) return -1;
    const tio::StripeLayout layout = layout_of(handle);
    // Whole stripes of the stream are whole rows on every member.
    const int64_t rows = offset / layout.stripe_size();
    const bool moved = every_device(handle, [&](TioDevice &device) {
        int64_t position;
        return !__builtin_mul_overflow(rows, layout.chunk_size, &position) &&
               !__builtin_add_overflow(position, device.position, &position) && move_to(device, position);
    });
    if (!moved) return -1;
    return static_cast<int32_t>(offset - rows * layout.stripe_size());
}

TIO_API int32_t tio_set_offset(TioHandle *handle, int64_t offset) {
    const tio::HandleCall call(handle);
    if (!call || !ready_for_transfer(handle)) return -1;
    const tio::StripeLayout layout = layout_of(handle);
    const bool positioned = every_device(handle, [&](TioDevice &device) {
        // Where the member's part of the extent at `offset` begins.
        int64_t position;
        return tio::checked_device_position(layout, device.global_index, offset, 0, position) &&
               move_to(device, position);
    });
    if (!positioned) {
        report("Error! Couldn't perform seek");
        return -1;
    }
    // A new position starts a new stream: its first chunk goes to device 0, as the read
    // plan of a sequence starting there expects.
    handle->stripe_phase = 0;
    handle->chunk_fill = 0;
    return 0;
}

}  // extern "C"
