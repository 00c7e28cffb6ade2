#include "array_transfer.h"

#include "java_args.h"
#include "read_split.h"

#include <climits>

namespace kel::jni {

namespace {

// Chunk size of a configured handle that the engine has vouched for, 0 when it has no
// usable configuration.
int32_t configured_chunk_size(const TioHandle *handle) {
    const int64_t chunk_size = getStripeSize(handle->props);
    return chunk_size >= 1 && chunk_size <= INT32_MAX ? static_cast<int32_t>(chunk_size) : 0;
}

int64_t whole_chunk_bytes(int64_t length, int64_t chunk_size) {
    return (length + chunk_size - 1) / chunk_size * chunk_size;
}

int32_t read_direct(JNIEnv *env, TioHandle *handle, jobject array, jint length) {
    CriticalArray elements(env, array);
    if (elements.data() == nullptr) return -1;
    return tio_read(handle, elements.data(), length);
}

int32_t read_staged(JNIEnv *env, TioHandle *handle, jobject array, jint length,
                    int64_t capacity, int32_t chunk_size) {
    // Allocated before the critical region, which is held for the transfer alone.
    auto *staging = static_cast<uint8_t *>(tio_malloc(chunk_size));
    if (staging == nullptr) return -1;
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
    // The engine's handle check (with its message) comes before this reads any field of
    // the handle: a null or foreign handle is refused before any buffer is touched.
    if (tio_next_chunk_bytes(handle) < 0) return -1;
    const int32_t chunk_size = configured_chunk_size(handle);
    if (chunk_size == 0) return -1;  // without a chunk size the copy cannot be bounded
    if (length <= 0 || whole_chunk_bytes(length, chunk_size) <= capacity) {
        return read_direct(env, handle, array, length);
    }
    return read_staged(env, handle, array, length, capacity, chunk_size);
}

}  // namespace kel::jni
