/*
 * DDI time services over the tick clock (clock.cpp): hz, ddi_get_lbolt, drv_getparm,
 * drv_usectohz, drv_hztousec, drv_usecwait, uniqtime, gethrtime, delay.
 */
#include <sys/cmn_err.h>
#include <sys/ddi.h>
#include <sys/ksynch.h>

#include "clock_internal.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <ctime>

extern "C" const int hz = platform::clock::kHz;

extern "C" clock_t ddi_get_lbolt(void)
{
    return platform::clock::lbolt();
}

extern "C" int drv_getparm(unsigned int parm, void *valuep)
{
    switch (parm) {
    case TIME:
        *static_cast<time_t *>(valuep) =
            static_cast<time_t>(platform::clock::wall_ns() / 1'000'000'000);
        return 0;
    case LBOLT:
        *static_cast<clock_t *>(valuep) = platform::clock::lbolt();
        return 0;
    default:
        return -1;
    }
}

extern "C" clock_t drv_usectohz(clock_t microsecs)
{
    if (microsecs <= 0)
        return 0;
    constexpr clock_t us_per_tick = 1'000'000 / platform::clock::kHz;
    return microsecs / us_per_tick + (microsecs % us_per_tick != 0 ? 1 : 0);
}

extern "C" clock_t drv_hztousec(clock_t hertz)
{
    if (hertz <= 0)
        return 0;
    constexpr clock_t us_per_tick = 1'000'000 / platform::clock::kHz;
    if (hertz > LONG_MAX / us_per_tick)
        return LONG_MAX;
    return hertz * us_per_tick;
}

extern "C" hrtime_t gethrtime(void)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

extern "C" void drv_usecwait(clock_t microsecs)
{
    if (microsecs <= 0)
        return;
    hrtime_t end = gethrtime() + static_cast<hrtime_t>(microsecs) * 1000;
    while (gethrtime() < end) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
}

extern "C" void uniqtime(struct timeval *tv)
{
    // The last value handed out, in microseconds; each caller takes a strictly larger one.
    static std::atomic<std::int64_t> last{0};
    std::int64_t now = platform::clock::wall_ns() / 1000;
    std::int64_t prev = last.load(std::memory_order_relaxed);
    std::int64_t mine;
    do {
        mine = now > prev ? now : prev + 1;
    } while (!last.compare_exchange_weak(prev, mine, std::memory_order_relaxed));
    tv->tv_sec = static_cast<time_t>(mine / 1'000'000);
    tv->tv_usec = static_cast<suseconds_t>(mine % 1'000'000);
}

extern "C" void delay(clock_t ticks)
{
    if (ticks <= 0)
        return;
    // Sleep on a private condition nobody signals: only the deadline ends the wait, and it
    // follows the manual clock like every timed wait.
    kmutex_t m{};
    kcondvar_t cv{};
    mutex_init(&m, nullptr, MUTEX_DRIVER, nullptr);
    cv_init(&cv, nullptr, CV_DRIVER, nullptr);
    clock_t until = ddi_get_lbolt() + ticks;
    mutex_enter(&m);
    while (cv_timedwait(&cv, &m, until) != -1) {
    }
    mutex_exit(&m);
    cv_destroy(&cv);
    mutex_destroy(&m);
}
