// Teardown of a handle: ending the workers' threads, closing the device streams,
// destroying the locks and releasing the blocks, the configuration and the handle itself.
// tio_close, a failed tio_init and the end of a read sequence all end threads through here.
#include "durable.h"
#include "internal.h"
#include "mark_internal.h"

namespace tio {

namespace {

void wake_all_gates(TioWorker &worker) {
    if (worker.gates_ready) gate_release(&worker.call_gate);
    for (int32_t d = 0; d < worker.devices_ready; ++d) {
        for (TioBuffer &buffer : worker.devices[d].buffers) {
            gate_release(&buffer.empty_lock);
            gate_release(&buffer.full_lock);
        }
    }
}

}  // namespace

void close_stream(TioDevice &device) {
    if (device.file) fclose(device.file);
    device.file = nullptr;
}

void destroy_buffer_gates(TioBuffer &buffer) {
    gate_destroy(&buffer.full_lock);
    gate_destroy(&buffer.empty_lock);
}

void release_buffer_blocks(TioDevice &device) {
    for (TioBuffer &buffer : device.buffers) {
        tio_free(buffer.data);
        buffer.data = nullptr;
    }
}

void destroy_worker_gates(TioWorker &worker) {
    if (!worker.gates_ready) return;
    gate_destroy(&worker.call_gate);
    gate_destroy(&worker.done_gate);
    pthread_mutex_destroy(&worker.failure_lock);
    worker.gates_ready = 0;
}

void cut_read_plan(TioWorker &worker, int32_t devices) {
    store(plan_stripes(worker), 0);
    for (int32_t d = 0; d < devices; ++d) store(final_piece_bytes(worker.devices[d]), 0);
}

// Gates are two-state, so opening each once is enough: the thread takes the call gate once
// more (and sees stop), and while reading ahead each buffer gate at most once.
void join_opening_gates(TioWorker &worker) {
    wake_all_gates(worker);
    pthread_join(worker.thread, nullptr);
    worker.thread = kNoThread;
}

void shutdown_workers(TioHandle *handle) {
    TioWorker *workers = handle->workers;
    if (workers == nullptr) return;
    const int32_t count = handle->worker_count;
    for (int32_t w = 0; w < count; ++w) {
        cut_read_plan(workers[w], workers[w].devices_ready);
        store(workers[w].stop, 1);
    }
    // Each thread, its gates opened, leaves its wait for the next call, or ends its read
    // ahead after the member it is at.
    for (int32_t w = 0; w < count; ++w) {
        TioWorker &worker = workers[w];
        if (worker.thread != kNoThread) join_opening_gates(worker);
        for (int32_t d = 0; d < worker.devices_ready; ++d) {
            TioDevice &device = worker.devices[d];
            close_stream(device);
            pthread_mutex_destroy(&device.select_lock);
            for (TioBuffer &buffer : device.buffers) destroy_buffer_gates(buffer);
        }
        worker.devices_ready = 0;
        destroy_worker_gates(worker);
    }
}

void release_workers(TioHandle *handle) {
    TioWorker *workers = handle->workers;
    if (workers == nullptr) return;
    for (int32_t w = 0; w < handle->worker_count; ++w) {
        TioWorker &worker = workers[w];
        if (worker.devices == nullptr) continue;
        // Devices start zeroed, so the blocks of devices never set up are null.
        for (int32_t d = 0; d < worker.device_count; ++d) release_buffer_blocks(worker.devices[d]);
        tio_free(worker.devices);
    }
    tio_free(workers);
    handle->workers = nullptr;
    handle->worker_count = 0;
}

int32_t undo_init(TioHandle *handle) {
    shutdown_workers(handle);
    release_workers(handle);
    return -1;
}

}  // namespace tio

extern "C" {

TIO_API int32_t join_unlock(TioHandle *handle) {
    const tio::HandleCall call(handle);
    if (!call) return -1;
    tio::shutdown_workers(handle);
    return 0;
}

TIO_API int32_t tio_close(TioHandle *handle) {
    tio::HandleCall call(handle, tio::Refusal::kClose);
    if (!call) return -1;
    call.retire();
    int32_t result = tio::handle_failed_before(handle, tio::kSyncFailed, "what the handle wrote") ? -1 : 0;
    if (handle->workers != nullptr) {
        // A device write that failed after the last tio_wait_threads is reported here; what
        // was written is on the disk when close returns 0.
        if (!tio::report_write_failures(handle) || !tio::sync_written_members(handle)) result = -1;
        tio::shutdown_workers(handle);
        tio::release_workers(handle);
    }
    tio::close_handle_marks(handle);
    close_fs_props(handle->props);
    handle->props = nullptr;
    handle->magic = 0;
    return result;
}

}  // extern "C"
