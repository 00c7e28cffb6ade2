// Engine internals shared by the source files of tiolib; nothing here is exported.
#pragma once

#include "report.h"
#include "tio.h"

#include <cstdint>

namespace tio {

// The handle check of every handle operation: prints the mismatch line, false on failure.
bool handle_ok(const TioHandle *handle);

// Fields that one thread writes while another polls them are accessed atomically;
// the records stay plain so that C callers can read them through the header.
template <typename T> inline T load(const T &field) {
    return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}
template <typename T> inline void store(T &field, T value) {
    __atomic_store_n(&field, value, __ATOMIC_RELEASE);
}
template <typename T> inline void add(T &field, T value) {
    __atomic_fetch_add(&field, value, __ATOMIC_ACQ_REL);
}

// Two-state gates (see TioGate).
int gate_init(TioGate *gate);
void gate_destroy(TioGate *gate);
void gate_take(TioGate *gate);
bool gate_try_take(TioGate *gate);
void gate_release(TioGate *gate);

constexpr pthread_t kNoThread = static_cast<pthread_t>(-1);

}  // namespace tio

namespace tio {

// Stops, wakes and joins every thread of the handle, closes the device streams and
// destroys the locks of every device that was set up (join_unlock without the check).
void shutdown_workers(TioHandle *handle);

// Releases the staging buffers, device arrays and the worker array after shutdown.
void release_workers(TioHandle *handle);

// Write mode: waits (polling every millisecond) until the disk threads have processed
// every chunk handed over.
void wait_for_pending_writes(const TioHandle *handle);

// Read mode: waits for the disk threads of the current read sequence. A sequence whose
// plan was not read to the end is cut short first, since its threads would wait for
// ever for buffers that nobody empties. Afterwards no device has a chunk left to read.
void finish_read_sequence(TioHandle *handle);

// Sum over the workers of the failed device writes counted so far.
int64_t write_error_count(const TioHandle *handle);

}  // namespace tio
