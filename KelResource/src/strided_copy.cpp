#include "strided_copy.h"

#include <cstring>

namespace kel::jni {

int64_t strided_element_count(int32_t total, int32_t element_length) {
    if (total <= 0 || element_length < 1) return 0;
    // Counted in 64 bits: a running 32-bit byte count could wrap and never reach total.
    return (static_cast<int64_t>(total) + element_length - 1) / element_length;
}

}  // namespace kel::jni

int32_t p2ps(const void *source, int32_t source_offset, int32_t source_stride,
             void *destination, int32_t destination_offset, int32_t destination_stride,
             int32_t element_length, int32_t total) {
    if (source == nullptr || destination == nullptr) return 0;
    const int64_t count = kel::jni::strided_element_count(total, element_length);
    const auto *from = static_cast<const uint8_t *>(source);
    auto *to = static_cast<uint8_t *>(destination);
    for (int64_t i = 0; i < count; ++i) {
        std::memcpy(to + destination_offset + i * destination_stride,
                    from + source_offset + i * source_stride,
                    static_cast<size_t>(element_length));
    }
    return 0;
}

int32_t dummy(void) { return 1; }
