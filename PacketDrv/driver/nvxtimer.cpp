/*
 * The session timer (nvx_timeout): suspends the capture of a reader that has shown no sign of
 * life for longer than the session timeout, so that an idle sensor does not hold the network's
 * frames; the reader's next read request resumes it.
 *
 * - Context: the callout thread; never sleeps except on the mutexes it takes.
 * - Lifetime: a run enters its session (SI_TIMER_BUSY, under captureMutex) only while holding
 *   nvx_rwlock as reader with the session still attached, and re-arms itself only while the
 *   session is attached; stop_session waits for a run inside and cancels the armed one.
 * - A reader inside a read request (SI_READING) is never timed out, so the timer's flush never
 *   overlaps the reader's release or move of frames.
 * - The idle test is done on 32-bit differences ((U32)(now - lLastTime) > lTimeOut), so it does
 *   not fail when the clock's low 32 bits wrap.
 */
#include "nvxrelease.h"

#include "debug.h"

#include "nvxengine.h"

#include <sys/cmn_err.h>

/* Longest interval of one timer run: well inside the tick type; longer timeouts re-check. */
#define NVX_TIMER_MAX_SECONDS 86400

static int timeoutCalls; /* a: statistics for the trace line */

U32 timestamp(void)
{
    return static_cast<U32>(nvx_now());
}

void nvx_arm_timer(SessionInfo *sip, BindingInfo *bip)
{
    U32 seconds = static_cast<U32>(sip->lTimeOut);
    if (seconds > NVX_TIMER_MAX_SECONDS)
        seconds = NVX_TIMER_MAX_SECONDS;
    const clock_t ticks = drv_usectohz(1000000) * static_cast<clock_t>(seconds);
    sip->timeout_id = timeout(nvx_timeout, bip, ticks);
}

/* 1 when sip is still the session of bip's adapter (nvx_rwlock held). */
static int attached(BindingInfo *bip, GlobalInfo *gip, SessionInfo *sip)
{
    return bip->openInfo == gip && gip->captureSession == sip;
}

void nvx_timeout(void *arg)
{
    BindingInfo *bip = static_cast<BindingInfo *>(arg);
    const int call = __atomic_add_fetch(&timeoutCalls, 1, __ATOMIC_RELAXED);
    _dlprintf(4, "%d: nvx_timeout(%x)\n", call,
              static_cast<unsigned>(reinterpret_cast<uintptr_t>(bip)));

    GlobalInfo *gip;
    SessionInfo *sip;
    nvx_lookup_session(bip, &gip, &sip, 1);
    if (gip == nullptr) {
        rw_exit(&nvx_rwlock);
        printf("nvx_timeout: no open capture, bip %lx\n", lx(bip));
        return;
    }
    if (sip == nullptr) {
        rw_exit(&nvx_rwlock);
        printf("nvx_timeout: no capture session, bip %lx gip %lx, ppaname %s\n", lx(bip), lx(gip),
               gip->ppaname);
        return;
    }
    mutex_enter(&sip->captureMutex);
    sip->ulFlags |= SI_TIMER_BUSY;
    const U32 reading = sip->ulFlags & SI_READING;
    mutex_exit(&sip->captureMutex);
    rw_exit(&nvx_rwlock);

    const U32 last = rb_load(&sip->pRcvBuffer->lLastTime);
    const time_t now = nvx_now();
    const U32 idleFor = static_cast<U32>(now) - last;
    if (last != 0 && idleFor > static_cast<U32>(sip->lTimeOut)) {
        mutex_enter(&sip->blockingMutex);
        const U32 blocked = sip->isBlocked;
        mutex_exit(&sip->blockingMutex);
        if (!reading && !blocked) {
            mutex_enter(&sip->captureMutex);
            const time_t lastSeen = sip->lLastTime;
            sip->ulFlags |= SI_TIMED_OUT;
            mutex_exit(&sip->captureMutex);
            printf("nvx_timeout: capture %lx session %lx %d:%d:%d\n", lx(gip), lx(sip),
                   static_cast<int>(lastSeen), static_cast<int>(sip->lTimeOut),
                   static_cast<int>(now));
            __atomic_fetch_or(&sip->pRcvBuffer->ulFlags, static_cast<U32>(RB_SESSION_TIMEOUT),
                              __ATOMIC_RELAXED);
            rw_enter(&nvx_rwlock, RW_WRITER);
            if (attached(bip, gip, sip))
                gip->ulFlags = (gip->ulFlags & ~static_cast<U32>(GI_CAPTURING)) | GI_SUSPENDED;
            rw_exit(&nvx_rwlock);
            flush_and_renumber(gip, sip);
        }
        mutex_enter(&sip->captureMutex);
        sip->lLastTime = now;
        mutex_exit(&sip->captureMutex);
    }

    rw_enter(&nvx_rwlock, RW_READER);
    mutex_enter(&sip->captureMutex);
    if (attached(bip, gip, sip))
        nvx_arm_timer(sip, bip);
    else
        sip->timeout_id = 0;
    sip->ulFlags &= ~static_cast<U32>(SI_TIMER_BUSY);
    mutex_exit(&sip->captureMutex);
    rw_exit(&nvx_rwlock);
}
