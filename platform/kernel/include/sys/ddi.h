/*
 * DDI/DKI time services: hz, lbolt, drv_getparm(9F), drv_usectohz(9F), drv_hztousec(9F),
 * drv_usecwait(9F), uniqtime(9F), gethrtime(9F), delay(9F), timeout(9F), untimeout(9F).
 *
 * The tick clock is real time by default; tests can drive it by hand
 * (platform/kernel/clock.h). Callouts run one at a time in the platform's callout thread.
 */
#ifndef _SYS_DDI_H
#define _SYS_DDI_H

#include <sys/kproc.h>
#include <sys/ktypes.h>
#include <sys/time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Clock ticks per second. */
extern const int hz;

/* drv_getparm parameters. */
#define TIME   1  /* seconds since the epoch (time_t) */
#define UPROCP 2  /* not supported here */
#define PPGRP  3  /* not supported here */
#define LBOLT  4  /* ticks since boot (clock_t) */
#define PPID   11 /* not supported here */
#define PSID   12 /* not supported here */
#define UCRED  13 /* not supported here */

typedef long long hrtime_t;

/* ddi_get_lbolt - ticks since boot. Context: any. */
clock_t ddi_get_lbolt(void);

/*
 * drv_getparm - retrieve a kernel state value
 * Parameters: parm - TIME (stores a time_t) or LBOLT (stores a clock_t); valuep - where.
 * Context: any. Return values: 0 on success, -1 for any other parm.
 */
int drv_getparm(unsigned int parm, void *valuep);

/* drv_usectohz - microseconds to ticks, rounded up (negative gives 0). */
clock_t drv_usectohz(clock_t microsecs);
/* drv_hztousec - ticks to microseconds. */
clock_t drv_hztousec(clock_t hertz);
/* drv_usecwait - busy-wait at least microsecs microseconds; never sleeps. Context: any. */
void drv_usecwait(clock_t microsecs);
/* uniqtime - time of day, strictly increasing from call to call (microseconds). Context: any. */
void uniqtime(struct timeval *tv);
/* gethrtime - nanoseconds, monotonic, arbitrary origin (the host's, not the tick clock). */
hrtime_t gethrtime(void);
/* delay - sleep for ticks ticks of the tick clock. Context: process context only. */
void delay(clock_t ticks);

/*
 * timeout - call func(arg) once, about ticks ticks from now
 * Description: the call runs in the callout thread, which must never sleep; ticks <= 0 means
 *   the next tick.
 * Context: any. Return values: a non-zero id for untimeout.
 */
timeout_id_t timeout(void (*func)(void *), void *arg, clock_t ticks);

/*
 * untimeout - cancel a pending callout
 * Description: if the callout is running on another thread, waits until it has finished
 *   (so the caller must not hold a lock the callout takes); called from inside the callout
 *   itself, returns at once.
 * Context: any, holding no lock the callout takes.
 * Return values: the ticks it had left (>= 0) if it was cancelled before running; -1 if it
 *   was not found (already ran, is running, or an invalid id).
 */
clock_t untimeout(timeout_id_t id);

#ifdef __cplusplus
}
#endif

#endif /* _SYS_DDI_H */
