// Small exported helpers for outside callers: packing, rounded quotients, stripe usage,
// wall-clock time. Division by zero gives 0 and quotients that do not fit saturate, so
// no input is undefined behaviour.
#include "internal.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <sys/time.h>

namespace {

int32_t saturate32(int64_t value) {
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

int64_t saturate64(__int128 value) {
    if (value > INT64_MAX) return INT64_MAX;
    if (value < INT64_MIN) return INT64_MIN;
    return static_cast<int64_t>(value);
}

// Truncates toward zero; NaN gives 0, values beyond the range saturate.
int64_t truncate_double(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 9223372036854775807.0) return INT64_MAX;
    if (value <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64_t>(value);
}

}  // namespace

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
    return saturate32((static_cast<int64_t>(a) + b - 1) / b);
}

TIO_API int32_t floor_int(int32_t a, int32_t b) {
    if (b == 0) return 0;
    return saturate32(static_cast<int64_t>(a) / b);
}

TIO_API int64_t ceil_off(int64_t a, int64_t b) {
    if (b == 0) return 0;
    return saturate64((static_cast<__int128>(a) + b - 1) / b);
}

TIO_API int64_t floor_off(int64_t a, int64_t b) {
    if (b == 0) return 0;
    return saturate64(static_cast<__int128>(a) / b);
}

TIO_API int64_t ceil_double(double a, double b) {
    if (b == 0.0) return 0;
    return truncate_double((a + b - 1.0) / b);
}

TIO_API int64_t floor_double(double a, double b) {
    if (b == 0.0) return 0;
    return truncate_double(a / b);
}

TIO_API int64_t getFsUsed(FsProps *props, int32_t count, void * /*unused*/, const int64_t *lengths) {
    if (props == nullptr || lengths == nullptr || count <= 0 || props->chunk_size <= 0) return 0;
    const __int128 unit = props->chunk_size;
    __int128 sum = 0;
    for (int32_t i = 0; i < count; ++i) sum += unit * ((lengths[i] + unit - 1) / unit);
    return saturate64(sum);
}

TIO_API double get_time(void) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_usec) / 1000000.0;
}

}  // extern "C"
