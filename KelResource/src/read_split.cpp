#include "read_split.h"

#include <algorithm>
#include <cstring>

namespace kel::jni {

// Two tio_read calls consume the same chunks in the same order as one call would: each
// call takes ceil(n / chunk) chunks of the stream.
int32_t read_split(TioHandle *handle, uint8_t *bytes, int64_t length, int64_t capacity,
                   int32_t chunk_size, uint8_t *staging) {
    const int64_t prefix = (length - 1) / chunk_size * chunk_size;
    if (prefix > 0 && tio_read(handle, bytes, prefix) < 0) return -1;
    // 0 when the plan holds no further chunk; the read below is then refused.
    const int64_t planned = tio_next_chunk_bytes(handle);
    const int64_t room = capacity - prefix;
    const size_t copied = static_cast<size_t>(std::clamp<int64_t>(planned, 0, room));
    // The engine fails a chunk that its device did not deliver whole, so after a good read
    // staging holds the planned bytes and nothing stale.
    if (tio_read(handle, staging, length - prefix) < 0 || planned <= 0) return -1;
    std::memcpy(bytes + prefix, staging, copied);
    return planned > room ? -1 : static_cast<int32_t>(length);
}

}  // namespace kel::jni
