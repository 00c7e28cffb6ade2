// Symbols of libKelResourceJni that the JVM or outside callers bind by name.
// Everything else stays hidden (the build uses hidden visibility by default).
#pragma once

#define KEL_EXPORT extern "C" __attribute__((visibility("default")))
