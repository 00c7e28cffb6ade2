// Transfers between the engine and a Java primitive array that never touch memory
// outside the array.
#pragma once

#include "tio.h"

#include <jni.h>

#include <cstdint>

namespace kel::jni {

// tio_write of length bytes of the array. -1 without calling the engine when the
// array is null, not a primitive array, or holds fewer than length bytes.
int32_t write_from_array(JNIEnv *env, TioHandle *handle, jobject array, jint length);

// tio_read of length bytes into the array. Refused like write_from_array; when the
// whole chunks of the read would run past the array, the overhanging chunk goes
// through a staging block and only what fits is copied: -1 if bytes did not fit.
int32_t read_into_array(JNIEnv *env, TioHandle *handle, jobject array, jint length);

}  // namespace kel::jni
