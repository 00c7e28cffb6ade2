// A member's two staging buffers as a queue of depth two between a filling side and an
// emptying side, each buffer guarded by a gate per side. The engine stages through them
// only what cannot go straight between the caller's buffer and the member: the first chunk
// of a read sequence, read ahead before the caller's buffer is known.
#include "internal.h"

#include <cstring>

namespace tio {

// Advances the side's index under select_lock and takes that buffer's gate; waits for
// the gate only after select_lock is released.
TioBuffer &take_next_buffer(TioDevice &device, StagingSide side) {
    pthread_mutex_lock(&device.select_lock);
    int32_t &index = side == StagingSide::kFill ? device.read_index : device.write_index;
    index = (index + 1) % 2;
    TioBuffer &buffer = device.buffers[index];
    TioGate &gate = side == StagingSide::kFill ? buffer.empty_lock : buffer.full_lock;
    const bool taken = gate_try_take(&gate);
    pthread_mutex_unlock(&device.select_lock);
    if (!taken) gate_take(&gate);
    return buffer;
}

// Nothing is printed here: the side that empties the buffer sees whether the chunk came
// whole, and the call it serves reports it.
void stage_from_member(TioDevice &device, int64_t length) {
    TioBuffer &buffer = take_next_buffer(device, StagingSide::kFill);
    const int64_t wanted = length > 0 ? length : 0;
    const Moved moved = wanted > 0 ? read_chunk(device, buffer.data, wanted, device.position, true) : Moved{0, 0};
    device.position += wanted;
    buffer.read_error = moved.error;
    buffer.requested = wanted;
    buffer.length = moved.bytes;
    gate_release(&buffer.full_lock);
}

// The bytes the device delivered, nothing more. A chunk the device did not deliver whole
// (a read error, or fewer bytes than the read plan asked for) is recorded in `failure`.
void copy_staged_chunk(TioDevice &device, uint8_t *user_buffer, TioFailure &failure) {
    TioBuffer &buffer = take_next_buffer(device, StagingSide::kEmpty);
    if (buffer.length > 0) memcpy(user_buffer + device.user_offset, buffer.data, static_cast<size_t>(buffer.length));
    if (buffer.read_error != 0 || buffer.length < buffer.requested) {
        note_failure(failure, device.path, buffer.requested, buffer.length, buffer.read_error);
    }
    device.user_offset += device.stripe_bytes;  // the layout's row step: the member's next chunk
    buffer.length = 0;
    buffer.requested = 0;
    buffer.read_error = 0;
    gate_release(&buffer.empty_lock);
}

}  // namespace tio
