// Small exported helpers for outside callers: packing, rounded quotients, stripe usage,
// wall-clock time. Division by zero gives 0 and quotients that do not fit saturate, so
// no input is undefined behaviour.
#include "internal.h"
#include "saturate.h"

#include <cstring>
#include <sys/time.h>

using tio::saturate;
using tio::saturate_truncated;

extern "C" {

TIO_API void packX(void *destination, int64_t value) { std::memcpy(destination, &value, sizeof value); }
TIO_API void packD(double *destination, double value) { std::memcpy(destination, &value, sizeof value); }
TIO_API void packL(int32_t *destination, int32_t value) { std::memcpy(destination, &value, sizeof value); }

TIO_API int64_t unpackX(const void *source) {
    int64_t value;
    std::memcpy(&value, source, sizeof value);
    return value;
}

TIO_API int32_t ceil_int(int32_t a, int32_t b) {
    if (b == 0) return 0;
    return saturate<int32_t>((static_cast<int64_t>(a) + b - 1) / b);
}

TIO_API int32_t floor_int(int32_t a, int32_t b) {
    if (b == 0) return 0;
    return saturate<int32_t>(static_cast<int64_t>(a) / b);
}

TIO_API int64_t ceil_off(int64_t a, int64_t b) {
    if (b == 0) return 0;
    return saturate<int64_t>((static_cast<__int128>(a) + b - 1) / b);
}

TIO_API int64_t floor_off(int64_t a, int64_t b) {
    if (b == 0) return 0;
    return saturate<int64_t>(static_cast<__int128>(a) / b);
}

TIO_API int64_t ceil_double(double a, double b) {
    if (b == 0.0) return 0;
    return saturate_truncated((a + b - 1.0) / b);
}

TIO_API int64_t floor_double(double a, double b) {
    if (b == 0.0) return 0;
    return saturate_truncated(a / b);
}

TIO_API int64_t getFsUsed(FsProps *props, int32_t count, void * /*unused*/, const int64_t *lengths) {
    if (props == nullptr || lengths == nullptr || count <= 0 || props->chunk_size <= 0) return 0;
    const __int128 unit = props->chunk_size;
    __int128 sum = 0;
    for (int32_t i = 0; i < count; ++i) sum += unit * ((lengths[i] + unit - 1) / unit);
    return saturate<int64_t>(sum);
}

TIO_API double get_time(void) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_usec) / 1000000.0;
}

}  // extern "C"
