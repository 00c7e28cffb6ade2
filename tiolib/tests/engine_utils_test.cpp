// Arithmetic, packing, time and the sleeps that resume after signals.
#include "tio.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <functional>
#include <cstring>
#include <sys/time.h>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_of(const std::function<void()> &body) {
    const Clock::time_point start = Clock::now();
    body();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(Quotients, RoundUpAndTruncate) {
    struct Case {
        int64_t a, b, ceil, floor;
    };
    const Case cases[] = {
        {10, 4, 3, 2}, {8, 4, 2, 2}, {0, 4, 0, 0}, {-5, 4, 0, -1}, {-10, 4, -1, -2}, {1, 1, 1, 1}, {7, -2, -2, -3},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(ceil_int(int32_t(c.a), int32_t(c.b)), c.ceil) << c.a << "/" << c.b;
        EXPECT_EQ(floor_int(int32_t(c.a), int32_t(c.b)), c.floor) << c.a << "/" << c.b;
        EXPECT_EQ(ceil_off(c.a, c.b), c.ceil) << c.a << "/" << c.b;
        EXPECT_EQ(floor_off(c.a, c.b), c.floor) << c.a << "/" << c.b;
        EXPECT_EQ(ceil_double(double(c.a), double(c.b)), c.ceil) << c.a << "/" << c.b;
        EXPECT_EQ(floor_double(double(c.a), double(c.b)), c.floor) << c.a << "/" << c.b;
    }
    EXPECT_EQ(ceil_off(4294967297, 4294967296), 2);
    EXPECT_EQ(floor_off(4294967297, 4294967296), 1);
    EXPECT_EQ(ceil_double(10.5, 4.0), 3);
    EXPECT_EQ(floor_double(-10.0, 4.0), -2);
}

// Division by zero gives 0; the quotients that do not fit (the most negative dividend
// over -1) and sums that would pass the type's range give a fixed value instead of
// undefined behaviour (the undefined-behaviour sanitizer build turns that into a failure).
TEST(Quotients, DivisorsAndRangesOutsideTheContract) {
    EXPECT_EQ(ceil_int(5, 0), 0);
    EXPECT_EQ(floor_int(5, 0), 0);
    EXPECT_EQ(ceil_off(5, 0), 0);
    EXPECT_EQ(floor_off(5, 0), 0);
    EXPECT_EQ(ceil_double(5.0, 0.0), 0);
    EXPECT_EQ(floor_double(5.0, 0.0), 0);
    EXPECT_EQ(floor_int(0, 0), 0);

    struct Edge {
        const char *call;
        std::function<int64_t()> result;
        int64_t expected;
    };
    const Edge edges[] = {
        {"floor_int(INT32_MIN, -1)", [] { return floor_int(INT32_MIN, -1); }, INT32_MAX},
        {"ceil_int(INT32_MIN, -1)", [] { return ceil_int(INT32_MIN, -1); }, INT32_MAX},
        {"floor_off(INT64_MIN, -1)", [] { return floor_off(INT64_MIN, -1); }, INT64_MAX},
        {"ceil_off(INT64_MIN, -1)", [] { return ceil_off(INT64_MIN, -1); }, INT64_MAX},
        // (2 * MIN - 1) / MIN, truncated: 2.
        {"ceil_int(INT32_MIN, INT32_MIN)", [] { return ceil_int(INT32_MIN, INT32_MIN); }, 2},
        {"ceil_off(INT64_MIN, INT64_MIN)", [] { return ceil_off(INT64_MIN, INT64_MIN); }, 2},
        {"floor_int(INT32_MIN, 1)", [] { return floor_int(INT32_MIN, 1); }, INT32_MIN},
        {"ceil_double(1e300, 1.0)", [] { return ceil_double(1e300, 1.0); }, INT64_MAX},
        {"floor_double(-1e300, 1.0)", [] { return floor_double(-1e300, 1.0); }, INT64_MIN},
        {"floor_double(NaN, 1.0)", [] { return floor_double(std::nan(""), 1.0); }, 0},
    };
    for (const Edge &edge : edges) EXPECT_EQ(edge.result(), edge.expected) << edge.call;
    // Within the contract (a >= 0, b > 0) the ceiling stays the ceiling near the top.
    EXPECT_EQ(ceil_int(INT32_MAX, 2), 1073741824);
    EXPECT_EQ(ceil_off(INT64_MAX, 2), int64_t(4611686018427387904));
    EXPECT_EQ(ceil_int(INT32_MAX, INT32_MAX), 1);
}

TEST(FsUsed, SumsLengthsInWholeChunks) {
    FsProps props{};
    props.chunk_size = 65536;
    props.stripe_count = 1;
    const int64_t lengths[] = {1, 65536, 65537};
    EXPECT_EQ(getFsUsed(&props, 3, nullptr, lengths), 262144);
    EXPECT_EQ(getFsUsed(&props, 0, nullptr, lengths), 0);
    EXPECT_EQ(getFsUsed(&props, -1, nullptr, lengths), 0);
    props.chunk_size = 0;
    EXPECT_EQ(getFsUsed(&props, 3, nullptr, lengths), 0);
}

TEST(Packing, StoresAndLoadsExactly) {
    int64_t slot = 0;
    packX(&slot, int64_t(0x8123456789abcdefull));
    EXPECT_EQ(uint64_t(slot), 0x8123456789abcdefull);
    EXPECT_EQ(unpackX(&slot), int64_t(0x8123456789abcdefull));
    int dummy = 0;
    packX(&slot, reinterpret_cast<int64_t>(&dummy));
    EXPECT_EQ(reinterpret_cast<int *>(unpackX(&slot)), &dummy);

    int32_t word = 0;
    packL(&word, INT32_MIN);
    EXPECT_EQ(word, INT32_MIN);

    // Every bit of the double, a NaN's payload included.
    for (uint64_t bits : {0x7ff8000000000123ull, 0xfff0000000000001ull, 0x8000000000000000ull, 0x3ff0000000000000ull}) {
        double value, stored = 0;
        std::memcpy(&value, &bits, sizeof value);
        packD(&stored, value);
        uint64_t back;
        std::memcpy(&back, &stored, sizeof back);
        EXPECT_EQ(back, bits);
    }
}

TEST(Time, IsWallClockWithMicroseconds) {
    timeval now;
    gettimeofday(&now, nullptr);
    const double expected = double(now.tv_sec) + double(now.tv_usec) / 1e6;
    const double got = get_time();
    EXPECT_GE(got, expected);
    EXPECT_LT(got - expected, 0.5);
}

TEST(Sleep, Durations) {
    double took = seconds_of([] { EXPECT_EQ(msleep(1500), 1); });
    EXPECT_GE(took, 1.5);
    EXPECT_LT(took, 2.5);
    took = seconds_of([] { EXPECT_EQ(msleep(0), 1); });
    EXPECT_LT(took, 0.1);
    took = seconds_of([] { EXPECT_EQ(nsleep(999999999), 1); });
    EXPECT_GE(took, 0.999);
    EXPECT_LT(took, 2.0);
    // Not valid as one nanosecond request: returns at once.
    took = seconds_of([] {
        EXPECT_EQ(nsleep(1000000000), 1);
        EXPECT_EQ(nsleep(-1), 1);
    });
    EXPECT_LT(took, 0.1);
    timespec request{0, 300000000}, remainder{0, 0};
    took = seconds_of([&] { EXPECT_EQ(__nsleep(&request, &remainder), 1); });
    EXPECT_GE(took, 0.3);
}

volatile sig_atomic_t g_alarms = 0;
void count_alarm(int) { g_alarms = g_alarms + 1; }

// A timer signal with a handler (no automatic restart) interrupts the sleep many times;
// the sleep still lasts as long as asked.
TEST(Sleep, SignalsDoNotShortenIt) {
    struct sigaction action {}, previous{};
    action.sa_handler = count_alarm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    g_alarms = 0;
    itimerval timer{{0, 40000}, {0, 40000}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);
    const double took = seconds_of([] { EXPECT_EQ(msleep(700), 1); });
    const int interruptions = g_alarms;
    timespec request{0, 400000000}, remainder{0, 0};
    const double took_ns = seconds_of([&] { EXPECT_EQ(__nsleep(&request, &remainder), 1); });
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_GE(interruptions, 5);
    EXPECT_GE(took, 0.7);
    EXPECT_LT(took, 1.7);
    EXPECT_GE(took_ns, 0.4);
}

}  // namespace
