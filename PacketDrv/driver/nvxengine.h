/*
 * Small helpers shared by the files of the capture engine (nvxsession, nvxstage, nvxcopy,
 * nvxread, nvxrelease, nvxstop, nvxtimer). Not an interface of the driver.
 */
#ifndef NVX_DRIVER_NVXENGINE_H
#define NVX_DRIVER_NVXENGINE_H

#include "nvx.h"
#include "nvxframes.h"

#include <sys/ddi.h>

/* A pointer as the "%lx" conversions of the engine's messages print it. */
static inline unsigned long lx(const void *p)
{
    return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p));
}

/* The system time in seconds, as drv_getparm(TIME) reports it. */
static inline time_t nvx_now(void)
{
    time_t now = 0;
    (void)drv_getparm(TIME, &now);
    return now;
}

/* Session flags are changed only under captureMutex (the put procedures never read them). */
static inline void si_set(SessionInfo *sip, U32 bits)
{
    mutex_enter(&sip->captureMutex);
    sip->ulFlags |= bits;
    mutex_exit(&sip->captureMutex);
}
static inline void si_clear(SessionInfo *sip, U32 bits)
{
    mutex_enter(&sip->captureMutex);
    sip->ulFlags &= ~bits;
    mutex_exit(&sip->captureMutex);
}
static inline U32 si_test(SessionInfo *sip, U32 bits)
{
    mutex_enter(&sip->captureMutex);
    const U32 set = sip->ulFlags & bits;
    mutex_exit(&sip->captureMutex);
    return set;
}

/* Header words of the region are written by the reader too: single 32-bit accesses. */
static inline void rb_store(U32 *word, U32 value)
{
    NVX_ATOMIC_STORE(word, value);
}
static inline U32 rb_load(const U32 *word)
{
    return NVX_ATOMIC_LOAD(word);
}

/*
 * The adapter record and session of a device stream's binding, looked up under nvx_rwlock as
 * reader; either may come back NULL. The caller keeps nvx_rwlock when keepLock is non-zero.
 */
static inline void nvx_lookup_session(BindingInfo *bip, GlobalInfo **pgip, SessionInfo **psip,
                                      int keepLock)
{
    rw_enter(&nvx_rwlock, RW_READER);
    GlobalInfo *gip = bip != nullptr ? bip->openInfo : nullptr;
    *pgip = gip;
    *psip = gip != nullptr ? gip->captureSession : nullptr;
    if (!keepLock)
        rw_exit(&nvx_rwlock);
}

/* Reduce the session's held-frame counters by n frames disposed of. */
static inline void nvx_count_released(SessionInfo *sip, U32 n)
{
    if (n == 0)
        return;
    NVX_ATOMIC_SUB(&sip->ulOutstandingPackets, static_cast<S32>(n));
    const U32 before = __atomic_fetch_sub(&sip->packetCount, n, __ATOMIC_RELAXED);
    if (before <= n)
        NVX_ATOMIC_STORE(&sip->hasData, 0u);
}

/*
 * Re-initialise the region's queue once the frame record holds nothing (frameMutex held, inside
 * a read request: the reader is then blocked in putmsg and not using the queue).
 */
static inline void nvx_reset_region_locked(SessionInfo *sip)
{
    (void)frames_reset(sip->pFrames);
    rb_store(&sip->pRcvBuffer->packetCount, 0);
}

#endif /* NVX_DRIVER_NVXENGINE_H */
