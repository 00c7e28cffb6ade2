#include "array_transfer.h"

#include "java_args.h"

#include <algorithm>
#include <cstring>

namespace kel::jni {

namespace {

bool handle_recognised(const TioHandle *handle) {
    return handle != nullptr && handle->magic == TIO_MAGIC;
}

// Chunk size of a configured handle, 0 when it has no usable configuration.
int32_t configured_chunk_size(const TioHandle *handle) {
    if (handle->props == nullptr || handle->props->chunk_size < 1) return 0;
    return handle->props->chunk_size;
}

int64_t whole_chunk_bytes(int64_t length, int64_t chunk_size) {
    return (length + chunk_size - 1) / chunk_size * chunk_size;
}

const TioDevice *device_with_index(const TioHandle *handle, int32_t global_index) {
    if (handle->workers == nullptr) return nullptr;
    for (int32_t w = 0; w < handle->worker_count; ++w) {
        const TioWorker &worker = handle->workers[w];
        if (worker.devices == nullptr) continue;
        for (int32_t d = 0; d < worker.device_count; ++d) {
            if (worker.devices[d].global_index == global_index) return &worker.devices[d];
        }
    }
    return nullptr;
}

// Bytes that the next chunk tio_read hands over will hold, by the read plan: the
// device's final piece when it is that device's last planned chunk, else a whole
// chunk (also when the plan cannot be looked up, so that a doubt never passes as a fit).
int64_t next_chunk_bytes(const TioHandle *handle, int32_t chunk_size) {
    const TioDevice *device = device_with_index(handle, handle->stripe_phase);
    if (device == nullptr) return chunk_size;
    const bool last_planned = device->chunks_taken + 1 == device->chunks_planned;
    if (last_planned && device->read_tail > 0) return device->read_tail;
    return chunk_size;
}

int32_t read_direct(JNIEnv *env, TioHandle *handle, jobject array, jint length) {
    CriticalArray elements(env, array);
    if (elements.data() == nullptr) return -1;
    return tio_read(handle, elements.data(), length);
}

// Reads the whole chunks that fit straight into the array, then the last chunk into
// staging, and copies what fits. Two tio_read calls consume the same chunks in the
// same order as one call would: each call takes ceil(n / chunk) chunks of the stream.
int32_t read_split(TioHandle *handle, uint8_t *bytes, int64_t length, int64_t capacity,
                   int32_t chunk_size, uint8_t *staging) {
    const int64_t prefix = (length - 1) / chunk_size * chunk_size;
    if (prefix > 0 && tio_read(handle, bytes, prefix) < 0) return -1;
    const int64_t delivered = next_chunk_bytes(handle, chunk_size);
    if (tio_read(handle, staging, length - prefix) < 0) return -1;
    const int64_t room = capacity - prefix;
    std::memcpy(bytes + prefix, staging, static_cast<size_t>(std::min(delivered, room)));
    return delivered > room ? -1 : static_cast<int32_t>(length);
}

int32_t read_staged(JNIEnv *env, TioHandle *handle, jobject array, jint length,
                    int64_t capacity, int32_t chunk_size) {
    // Allocated before the critical region, which is held for the transfer alone.
    auto *staging = static_cast<uint8_t *>(tio_malloc(chunk_size));
    if (staging == nullptr) return -1;
    // A device that delivers less than planned must not leak stale heap into Java.
    std::memset(staging, 0, static_cast<size_t>(chunk_size));
    int32_t result = -1;
    {
        CriticalArray elements(env, array);
        if (elements.data() != nullptr) {
            result = read_split(handle, static_cast<uint8_t *>(elements.data()), length,
                                capacity, chunk_size, staging);
        }
    }
    tio_free(staging);
    return result;
}

}  // namespace

int32_t write_from_array(JNIEnv *env, TioHandle *handle, jobject array, jint length) {
    const int64_t capacity = primitive_array_bytes(env, array);
    if (capacity < 0 || length > capacity) return -1;
    CriticalArray elements(env, array);
    if (elements.data() == nullptr) return -1;
    return tio_write(handle, elements.data(), length);
}

int32_t read_into_array(JNIEnv *env, TioHandle *handle, jobject array, jint length) {
    const int64_t capacity = primitive_array_bytes(env, array);
    if (capacity < 0 || length > capacity) return -1;
    // The engine refuses a null or foreign handle before it touches any buffer.
    if (!handle_recognised(handle)) return tio_read(handle, nullptr, length);
    const int32_t chunk_size = configured_chunk_size(handle);
    if (chunk_size == 0) return -1;  // without a chunk size the copy cannot be bounded
    if (length <= 0 || whole_chunk_bytes(length, chunk_size) <= capacity) {
        return read_direct(env, handle, array, length);
    }
    return read_staged(env, handle, array, length, capacity, chunk_size);
}

}  // namespace kel::jni
