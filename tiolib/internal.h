// Engine internals shared by the source files of tiolib; nothing here is exported.
#pragma once

#include "report.h"
#include "tio.h"

#include <cstdint>

namespace tio {

// ---- Live handles (handle_registry.cpp) ----

// The line a refused handle gets: the general mismatch line, or tio_close's own.
enum class Refusal { kMagic, kClose };

// One call's claim on a handle, held for the length of the call. The claim is granted
// when the handle is live (handed out by tio_open and not closed since), its magic
// matches and no other call holds it; otherwise one line is printed and the claim is
// empty. The registry is consulted before the handle's memory is read, so a closed
// handle, a byte copy of one or any other pointer is never touched.
class HandleCall {
public:
    explicit HandleCall(TioHandle *handle, Refusal refusal = Refusal::kMagic);
    ~HandleCall();
    HandleCall(const HandleCall &) = delete;
    HandleCall &operator=(const HandleCall &) = delete;

    explicit operator bool() const { return handle_ != nullptr; }

    // tio_close: the handle leaves the registry now, so every later call on it is
    // refused; when the claim ends its block is retired instead of released.
    void retire();

private:
    TioHandle *handle_;
    bool retired_ = false;
};

// Enters a new handle block into the registry; false when memory runs out.
bool register_handle(TioHandle *handle);

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

// ---- Fields of the public records by what they hold ----
// The records keep the names of the old pipeline, whose filling side was "read_" and whose
// emptying side "write_" in both modes; the engine reaches those fields by these names.

// The handle's mode, as TioHandle::direction holds it.
enum class Direction : int32_t { kUnset = -1, kWrite = 0, kRead = 1 };
inline Direction direction_of(const TioHandle &handle) { return static_cast<Direction>(handle.direction); }
inline void set_direction(TioHandle &handle, Direction direction) {
    handle.direction = static_cast<int32_t>(direction);
}

// The plan of each member's part of a stream: whole stripes, then a final piece of the
// member's own (a whole chunk, the stream's tail or nothing). Of the current tio_write in
// write mode, of the read sequence in read mode.
inline int32_t &plan_stripes(TioWorker &worker) { return worker.read_stripes; }
inline const int32_t &plan_stripes(const TioWorker &worker) { return worker.read_stripes; }
inline int32_t &final_piece_bytes(TioDevice &device) { return device.read_tail; }
inline const int32_t &final_piece_bytes(const TioDevice &device) { return device.read_tail; }

// Read mode: the chunks the current tio_read takes of each member: whole stripes, and one
// more of the member when its extra is 1.
inline int32_t &call_stripes(TioWorker &worker) { return worker.write_stripes; }
inline int32_t &call_extra_chunk(TioDevice &device) { return device.write_extra; }

// Two-state gates (see TioGate; gate.cpp).
int gate_init(TioGate *gate);
void gate_destroy(TioGate *gate);
void gate_take(TioGate *gate);
bool gate_try_take(TioGate *gate);
void gate_release(TioGate *gate);

constexpr pthread_t kNoThread = static_cast<pthread_t>(-1);

// ---- Member transfers at explicit positions (member_io.cpp) ----

// Bytes a positional transfer moved, and the errno that stopped it (0: it moved all, or
// met the end of the member).
struct Moved {
    int64_t bytes;
    int32_t error;
};

// pwrite / pread until length bytes moved, an error, or (reads) the end of the member.
Moved write_at(int fd, const uint8_t *data, int64_t length, int64_t position);
Moved read_at(int fd, uint8_t *data, int64_t length, int64_t position);

// Writes bytes [from, to) of the chunk that begins at member byte chunk_start; `bytes`
// holds byte `from`. With direct I/O the blocks that the piece fills only in part go
// through the chunk's image in staging buffer 0, padded with zeros inside the chunk, so a
// piece continuing a partial chunk must come from the same member's previous piece. A
// failed or short write is noted in `failure`.
void write_chunk_part(TioDevice &device, const uint8_t *bytes, int64_t from, int64_t to, int64_t chunk_start,
                      TioFailure &failure);

// Reads the `length` bytes of a chunk planned at `position` into destination, which has
// room for length bytes (for whole blocks when room_for_blocks: a staging buffer). With
// direct I/O the read is rounded up to whole blocks, through staging buffer 1 unless
// destination and length allow it straight; only the planned bytes count and arrive.
Moved read_chunk(TioDevice &device, uint8_t *destination, int64_t length, int64_t position,
                 bool room_for_blocks = false);

// Writes a staging buffer's `length` bytes at `position`; with direct I/O padded with zeros
// to whole blocks inside the buffer (a chunk of whole blocks). Only data bytes count.
Moved write_staged(TioDevice &device, uint8_t *data, int64_t length, int64_t position);

// The alignment a member opened with O_DIRECT needs of positions, lengths and memory;
// -1 when it cannot be learnt.
int32_t direct_io_block_size(int fd);

// ---- Staging buffers (staging.cpp) ----

enum class StagingSide { kFill, kEmpty };

// The member's next staging buffer of the side, its gate taken (waiting for it if need be).
TioBuffer &take_next_buffer(TioDevice &device, StagingSide side);

// Fills the member's next staging buffer with up to `length` bytes read at its position,
// noting in the buffer how many it asked for and the read's errno; the position moves on
// by `length`, also when the read fails or is short.
void stage_from_member(TioDevice &device, int64_t length);

// Empties the member's next staging buffer into the caller's buffer at the member's
// user_offset (the bytes it holds, nothing more), steps user_offset on by one stripe, and
// notes in `failure` a chunk that did not arrive whole.
void copy_staged_chunk(TioDevice &device, uint8_t *user_buffer, TioFailure &failure);

// ---- Workers taking part in a call (crew.cpp) ----

// The body of every worker's thread: in read mode it first reads ahead the first chunk of
// each of its members into staging buffer 0, then (both modes) takes part in each call it
// is woken for, until `stop`.
void *serve_calls(void *worker);

// Runs the transfer call that tio_write or tio_read has set up, of `length` bytes in
// `chunks` chunks (whole or in part): the members are shared out one at a time, in the
// order of the call's stream, between the caller's thread and as many worker threads as
// the call's size makes worth waking; returns when all are done.
void run_call(TioHandle *handle, int64_t length, int64_t chunks);

// Write mode: starts a thread for every worker that has none (launch_write_threads within
// a call that holds the handle). 0; -1 when a thread could not be started.
int32_t start_write_threads(TioHandle *handle);

// Read mode: ends the workers' threads of the current read sequence. A sequence whose plan
// was not read to the end is cut short first, so that no read ahead goes on. Afterwards no
// device has a chunk left to read, and the members stand behind the chunks taken.
void finish_read_sequence(TioHandle *handle);

// ---- Failed transfers (failures.cpp) ----

// Adds a failed device transfer to a record; the first one's details are kept.
void note_failure(TioFailure &failure, const char *path, int64_t requested, int64_t moved,
                  int32_t error_number);

// Adds the failures one member's part of a call met to its worker's record.
void merge_failures(TioWorker &worker, TioFailure TioWorker::*record, const TioFailure &failures);

// Print one line for the failures the workers recorded since the last report (the first
// failure in worker order, and how many more there were) and start the records again.
// true when there was none. Writes: once the calls that wrote have returned; reads: after
// the members' parts of a tio_read are done.
bool report_write_failures(TioHandle *handle);
bool report_read_failures(TioHandle *handle);

// ---- Teardown (teardown.cpp) ----

// Pieces of a device's teardown, also used by tio_init to undo a device it could not
// finish: closing its stream, destroying one buffer's gates, releasing both buffers' blocks.
void close_stream(TioDevice &device);
void destroy_buffer_gates(TioBuffer &buffer);
void release_buffer_blocks(TioDevice &device);
// Destroys the gates and the lock a worker's calls use, when they were set up.
void destroy_worker_gates(TioWorker &worker);

// Shrinks a worker's read plan to nothing for its first `devices` devices, so that a read
// ahead in progress stops after the member it is at.
void cut_read_plan(TioWorker &worker, int32_t devices);

// Joins the worker's thread (its `stop` set) after opening its gates, so that a thread
// waiting for the next call or for a buffer that nobody will fill or empty goes on and ends.
void join_opening_gates(TioWorker &worker);

// Stops, wakes and joins every thread of the handle, closes the device streams and
// destroys the locks of every device that was set up (join_unlock without the check).
void shutdown_workers(TioHandle *handle);

// Releases the staging buffers, device arrays and the worker array after shutdown.
void release_workers(TioHandle *handle);

// Undoes a partial tio_init (shutdown, then release) so that it leaks nothing; -1.
int32_t undo_init(TioHandle *handle);

}  // namespace tio
