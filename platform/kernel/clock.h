/*
 * The tick clock as tests drive it.
 *
 * Real mode (the default): ticks follow the host's monotonic clock at hz per second, and
 * drv_getparm(TIME) / uniqtime report the host's time of day plus an offset (set_wall_seconds).
 *
 * Manual mode: ticks stand still until advance(); callouts and cv_timedwait deadlines follow
 * the manual ticks, and the time of day moves with them (one second per hz ticks from the last
 * set_wall_seconds, or from the moment manual mode began).
 *
 * Ticks never go back: switching modes continues from the current tick.
 */
#ifndef NVX_PLATFORM_CLOCK_H
#define NVX_PLATFORM_CLOCK_H

#include <sys/ktypes.h>

#include <ctime>

namespace platform::clock
{

// Switch to manual ticks (true) or back to real time (false). Waiters on cv_timedwait are
// woken to re-read their deadlines.
void set_manual(bool manual);
bool manual();

// Manual mode only (panics otherwise): move the clock forward by ticks, stopping at every
// tick at which callouts are due; runs them in the callout thread (including callouts those
// callouts arm within the interval) and returns once they have finished. Timed waits whose
// deadline is passed are woken with -1.
void advance(clock_t ticks);

// Seconds since the epoch that drv_getparm(TIME) reports from now on (it then moves with the
// clock).
void set_wall_seconds(std::time_t seconds);

// Callouts armed and not yet run or cancelled.
unsigned pending_callouts();

// RAII for tests: manual mode for the object's life, real mode afterwards.
class ManualScope
{
  public:
    ManualScope() { set_manual(true); }
    ManualScope(const ManualScope &) = delete;
    ManualScope &operator=(const ManualScope &) = delete;
    ~ManualScope() { set_manual(false); }
};

} // namespace platform::clock

#endif
