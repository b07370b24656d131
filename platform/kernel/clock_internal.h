/*
 * The tick clock as the platform's own code reads it.
 */
#ifndef NVX_PLATFORM_CLOCK_INTERNAL_H
#define NVX_PLATFORM_CLOCK_INTERNAL_H

#include <sys/ktypes.h>

#include <chrono>
#include <cstdint>

namespace platform::clock
{

constexpr long kNsPerTick = 10'000'000; // hz 100
constexpr int kHz = 100;

// ddi_get_lbolt().
clock_t lbolt();

// Time of day in nanoseconds since the epoch, as drv_getparm(TIME) and uniqtime see it.
std::int64_t wall_ns();

// Real mode: the host time at which the clock reaches tick. Meaningless in manual mode.
std::chrono::steady_clock::time_point real_time_of_tick(clock_t tick);

// Manual mode: set the ticks (never backwards). Called by the callout engine's advance.
void set_manual_ticks(clock_t ticks);

// Callout engine hooks (callout.cpp).
void callouts_clock_changed();
void callouts_advance(clock_t ticks);
unsigned callouts_pending();

} // namespace platform::clock

#endif
