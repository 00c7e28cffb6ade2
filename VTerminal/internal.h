// Internals shared by the source files of libVTerminal; nothing here is exported.
#pragma once

#include "vterminal.h"

#include <cstdint>

namespace vt {

// The line buffer of getInput: the most bytes a Java caller's text may hold.
constexpr int32_t kJavaLineCapacity = 1024;

// nsignals is changed by the SIGINT handler, which may interrupt any of these, so every
// access is one atomic operation (lock-free on a 32-bit int, so safe in the handler).
inline int32_t signal_count() { return __atomic_load_n(&nsignals, __ATOMIC_SEQ_CST); }

inline void set_signal_count(int32_t count) {
    __atomic_store_n(&nsignals, count, __ATOMIC_SEQ_CST);
}

// Adds one signal and returns the new count.
inline int32_t count_signal() { return __atomic_add_fetch(&nsignals, 1, __ATOMIC_SEQ_CST); }

// Sets a positive count to 0; -1 (handler not installed) and 0 stay as they are.
inline void reset_positive_signal_count() {
    int32_t count = signal_count();
    while (count > 0 &&
           !__atomic_compare_exchange_n(&nsignals, &count, 0, false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST)) {
    }
}

}  // namespace vt
