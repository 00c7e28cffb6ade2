// The native methods of vek.sys.lib.VTerminal, called directly by the C++ tests.
#pragma once

#include <jni.h>

extern "C" {
JNIEXPORT void JNICALL Java_vek_sys_lib_VTerminal_setInterrupt(JNIEnv *, jclass, jint);
JNIEXPORT jint JNICALL Java_vek_sys_lib_VTerminal_getInterrupt(JNIEnv *, jclass);
JNIEXPORT jint JNICALL Java_vek_sys_lib_VTerminal_getColCount(JNIEnv *, jclass);
JNIEXPORT jint JNICALL Java_vek_sys_lib_VTerminal_getRowCount(JNIEnv *, jclass);
JNIEXPORT jstring JNICALL Java_vek_sys_lib_VTerminal_getInput(JNIEnv *, jclass, jstring, jstring,
                                                              jint);
JNIEXPORT void JNICALL Java_vek_sys_lib_VTerminal_print(JNIEnv *, jclass, jstring);
}

namespace vt_test {

// The methods that do not use the JNI environment, callable without a JVM.
inline void set_interrupt(jint count) { Java_vek_sys_lib_VTerminal_setInterrupt(nullptr, nullptr, count); }
inline jint get_interrupt() { return Java_vek_sys_lib_VTerminal_getInterrupt(nullptr, nullptr); }

}  // namespace vt_test
