// Native methods of the Java class vek.kel.lib.KelResource. Each converts its Java
// arguments and calls one engine function; results go back unchanged, or widened.
// The class argument is never used. Nothing here throws and nothing keeps state.
// The declarations come from the header that javac generates from the Java class.
#include "array_transfer.h"
#include "export.h"
#include "java_args.h"
#include "strided_copy.h"
#include "tio.h"
#include "vek_kel_lib_KelResource.h"

#include <cstdint>

namespace {

using kel::jni::Utf8Chars;

// Handles and native buffers cross the boundary as 64-bit integers.
TioHandle *as_handle(jlong value) {
    return reinterpret_cast<TioHandle *>(static_cast<intptr_t>(value));
}

void *as_address(jlong value) { return reinterpret_cast<void *>(static_cast<intptr_t>(value)); }

jlong as_jlong(const void *pointer) {
    return static_cast<jlong>(reinterpret_cast<intptr_t>(pointer));
}

// Engine calls that take a path: -1 without calling the engine when the JVM cannot
// supply the characters.
template <typename Call>
jlong with_path(JNIEnv *env, jstring path, Call call) {
    Utf8Chars chars(env, path);
    if (chars.get() == nullptr) return -1;
    return call(chars.get());
}

// A null address cannot hold bytes to move: refused before the engine sees it.
bool refuses_buffer(jlong address, jint length) { return address == 0 && length > 0; }

}  // namespace

KEL_EXPORT jlong JNICALL Java_vek_kel_lib_KelResource_alloc(JNIEnv *, jclass) {
    return as_jlong(tio_open());
}

KEL_EXPORT jlong JNICALL Java_vek_kel_lib_KelResource_setConfig(JNIEnv *env, jclass,
                                                                jlong handle, jstring path) {
    // The 32-bit result is widened with its sign: -1 stays -1, not 4294967295.
    return with_path(env, path, [&](const char *chars) -> jlong {
        return static_cast<int32_t>(tio_set_config(as_handle(handle), chars));
    });
}

KEL_EXPORT jint JNICALL Java_vek_kel_lib_KelResource_setDirection(JNIEnv *, jclass,
                                                                  jlong handle,
                                                                  jint direction) {
    return tio_set_dir(as_handle(handle), direction);
}

KEL_EXPORT jint JNICALL Java_vek_kel_lib_KelResource_init(JNIEnv *, jclass, jlong handle) {
    return tio_init(as_handle(handle));
}

KEL_EXPORT jlong JNICALL Java_vek_kel_lib_KelResource_writeDet(JNIEnv *env, jclass,
                                                               jlong handle, jstring path,
                                                               jlong length) {
    return with_path(env, path, [&](const char *chars) -> jlong {
        return tio_write_det(as_handle(handle), chars, length);
    });
}

KEL_EXPORT jlong JNICALL Java_vek_kel_lib_KelResource_updateDet(JNIEnv *env, jclass,
                                                                jlong handle, jstring path,
                                                                jlong length) {
    return with_path(env, path, [&](const char *chars) -> jlong {
        return tio_update_det(as_handle(handle), chars, length);
    });
}

KEL_EXPORT jlong JNICALL Java_vek_kel_lib_KelResource_finalizeDet(JNIEnv *env, jclass,
                                                                  jlong handle, jstring path,
                                                                  jlong final_size) {
    return with_path(env, path, [&](const char *chars) -> jlong {
        return tio_finalize_det(as_handle(handle), chars, final_size);
    });
}

KEL_EXPORT jint JNICALL Java_vek_kel_lib_KelResource_setOffset(JNIEnv *, jclass, jlong handle,
                                                               jlong offset) {
    return tio_set_offset(as_handle(handle), offset);
}

KEL_EXPORT jint JNICALL Java_vek_kel_lib_KelResource_seek(JNIEnv *, jclass, jlong handle,
                                                          jlong offset) {
    return tio_seek(as_handle(handle), offset);
}

KEL_EXPORT jint JNICALL Java_vek_kel_lib_KelResource_nativeWrite(JNIEnv *, jclass,
                                                                 jlong handle, jlong address,
                                                                 jint length) {
    if (refuses_buffer(address, length)) return -1;
    return tio_write(as_handle(handle), as_address(address), length);
}

KEL_EXPORT jint JNICALL Java_vek_kel_lib_KelResource_nativeWriteB(JNIEnv *env, jclass,
                                                                  jlong handle, jobject array,
                                                                  jint length) {
    return kel::jni::write_from_array(env, as_handle(handle), array, length);
}

KEL_EXPORT jint JNICALL Java_vek_kel_lib_KelResource_nativeRead(JNIEnv *, jclass,
                                                                jlong handle, jlong address,
                                                                jint length) {
    if (refuses_buffer(address, length)) return -1;
    return tio_read(as_handle(handle), as_address(address), length);
}

KEL_EXPORT jint JNICALL Java_vek_kel_lib_KelResource_nativeReadB(JNIEnv *env, jclass,
                                                                 jlong handle, jobject array,
                                                                 jint length) {
    return kel::jni::read_into_array(env, as_handle(handle), array, length);
}

KEL_EXPORT jint JNICALL Java_vek_kel_lib_KelResource_launchReads(JNIEnv *, jclass,
                                                                 jlong handle, jlong total) {
    return tio_launch_read_threads(as_handle(handle), total);
}

KEL_EXPORT jint JNICALL Java_vek_kel_lib_KelResource_joinReads(JNIEnv *, jclass,
                                                               jlong handle) {
    return tio_join_threads(as_handle(handle));
}

KEL_EXPORT jint JNICALL Java_vek_kel_lib_KelResource_joinWrites(JNIEnv *, jclass,
                                                                jlong handle) {
    return tio_wait_threads(as_handle(handle));
}

KEL_EXPORT jint JNICALL Java_vek_kel_lib_KelResource_free(JNIEnv *, jclass, jlong handle) {
    return tio_close(as_handle(handle));
}

KEL_EXPORT jlong JNICALL Java_vek_kel_lib_KelResource_malloc_1buf(JNIEnv *, jclass,
                                                                  jint size) {
    return as_jlong(tio_malloc(size));
}

KEL_EXPORT jint JNICALL Java_vek_kel_lib_KelResource_free_1buf(JNIEnv *, jclass,
                                                               jlong address) {
    tio_free(as_address(address));
    return 0;
}

KEL_EXPORT jint JNICALL Java_vek_kel_lib_KelResource_p2ps(
    JNIEnv *, jclass, jlong source, jint source_offset, jint source_stride,
    jlong destination, jint destination_offset, jint destination_stride,
    jint element_length, jint total) {
    return p2ps(as_address(source), source_offset, source_stride, as_address(destination),
                destination_offset, destination_stride, element_length, total);
}
