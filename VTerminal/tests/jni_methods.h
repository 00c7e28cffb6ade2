// The native methods of vek.sys.lib.VTerminal, as javac declares them, for the C++ tests.
#pragma once

#include "vek_sys_lib_VTerminal.h"

namespace vt_test {

// The methods that do not use the JNI environment, callable without a JVM.
inline void set_interrupt(jint count) { Java_vek_sys_lib_VTerminal_setInterrupt(nullptr, nullptr, count); }
inline jint get_interrupt() { return Java_vek_sys_lib_VTerminal_getInterrupt(nullptr, nullptr); }

}  // namespace vt_test
