// The overhang path of reading into a Java array: a read whose whole chunks would run past
// the array. Free of JNI, so that it can be exercised against a real engine handle.
#pragma once

#include "tio.h"

#include <cstdint>

namespace kel::jni {

// tio_read of length bytes (1 <= length <= capacity) into `bytes`, which has room for only
// capacity bytes, fewer than the read's whole chunks. The chunks before the last go
// straight into `bytes`; the last goes into `staging` (chunk_size bytes, whatever they
// hold), and as much of it as fits is copied. Returns length; -1 when the engine refuses a
// read (a chunk its device did not deliver whole among them: then nothing of the last
// chunk is copied), or when the last chunk holds, by the read plan, more bytes than fit
// (what fits is copied even then).
int32_t read_split(TioHandle *handle, uint8_t *bytes, int64_t length, int64_t capacity,
                   int32_t chunk_size, uint8_t *staging);

}  // namespace kel::jni
