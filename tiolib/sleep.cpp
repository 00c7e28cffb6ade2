// Sleeps that resume after signals: an interrupted nanosleep continues with the time left.
#include "internal.h"

#include <cerrno>
#include <climits>

extern "C" {

TIO_API int32_t __nsleep(const struct timespec *request, struct timespec *remainder) {
    struct timespec current = *request;
    struct timespec left = {0, 0};
    struct timespec *out = remainder ? remainder : &left;
    // An invalid request leaves the remainder at zero, so the repeat sleeps no time.
    while (nanosleep(&current, out) == -1) {
        current = *out;
        *out = {0, 0};
    }
    return 1;
}

TIO_API int32_t nsleep(int64_t nanoseconds) {
    if (nanoseconds < 0 || nanoseconds >= 1000000000) return 1;
    const struct timespec request = {0, static_cast<long>(nanoseconds)};
    struct timespec remainder = {0, 0};
    return __nsleep(&request, &remainder);
}

TIO_API int32_t msleep(uint64_t milliseconds) {
    const uint64_t whole_seconds = milliseconds / 1000;
    const int32_t seconds = whole_seconds > INT32_MAX ? INT32_MAX : static_cast<int32_t>(whole_seconds);
    const struct timespec request = {seconds, static_cast<long>((milliseconds % 1000) * 1000000)};
    struct timespec remainder = {0, 0};
    return __nsleep(&request, &remainder);
}

}  // extern "C"
