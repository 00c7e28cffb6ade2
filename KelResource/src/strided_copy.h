// Strided copy between two native buffers, and the library's plain exports.
#pragma once

#include "export.h"

#include <cstdint>

namespace kel::jni {

// Elements of element_length bytes needed to cover total bytes (the last one is
// copied whole); 0 when there is nothing to copy or the element length is below 1.
int64_t strided_element_count(int32_t total, int32_t element_length);

}  // namespace kel::jni

// Copies ceil(total / element_length) elements of element_length bytes from
// source + source_offset + i * source_stride to destination + destination_offset +
// i * destination_stride. Offsets may be negative. Copies nothing for total <= 0,
// element_length < 1 or a null address. The areas must not overlap. Always 0.
KEL_EXPORT int32_t p2ps(const void *source, int32_t source_offset, int32_t source_stride,
                        void *destination, int32_t destination_offset,
                        int32_t destination_stride, int32_t element_length, int32_t total);

// Lets a caller check that the library is loaded and bound. Always 1.
KEL_EXPORT int32_t dummy(void);
