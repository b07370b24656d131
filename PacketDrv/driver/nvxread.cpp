/*
 * The read request (nvx_read): the reader hands back the frames it has read and waits for new
 * ones.
 *
 * - Context: the device stream's write put procedure (M_PROTO, M_PCPROTO), in the reader's own
 *   thread: putmsg returns when this returns. Sleeps in one-second interruptible waits.
 * - The request is inside its session from the moment it sets SI_READING (under captureMutex,
 *   while nvx_rwlock still shows the session attached) until it clears it when it finishes;
 *   stop_session waits for that, so the session and its adapter record stay valid in between.
 * - Order of work: wait for a timer run in progress, resume a capture the timer suspended,
 *   release what the reader has read, move staged frames in; only when nothing is waiting for
 *   the reader does it sleep.
 * - No lost wake-ups: before each wait, under blockingMutex, the request compares the count of
 *   staged frames with the one it saw before its last move; queue_packet and stop_session wake
 *   the reader under blockingMutex, so a frame staged or a stop begun just before the wait ends
 *   it at once.
 * - Locks: nvx_rwlock only for lookups and flag changes, captureMutex for the session flags,
 *   blockingMutex only around the wait; never two of them at once.
 */
#include "nvxsession.h"

#include "debug.h"

#include "nvxengine.h"
#include "nvxrelease.h"

#include <sys/cmn_err.h>
#include <sys/stream.h>

#include <errno.h>

/* Writes the outcome and leaves the session; sip must not be touched afterwards. */
static int finish(SessionInfo *sip, U32 status)
{
    mutex_enter(&sip->captureMutex);
    rb_store(&sip->pRcvBuffer->nvx_errno, status);
    sip->ulFlags &= ~static_cast<U32>(SI_READING);
    mutex_exit(&sip->captureMutex);
    return 0;
}

/* 1 while the session captures and is still its adapter's. */
static int capturing(GlobalInfo *gip, SessionInfo *sip)
{
    rw_enter(&nvx_rwlock, RW_READER);
    const int on = (gip->ulFlags & GI_CAPTURING) != 0 && gip->captureSession == sip;
    rw_exit(&nvx_rwlock);
    return on;
}

static void set_blocked(SessionInfo *sip, U32 blocked)
{
    mutex_enter(&sip->blockingMutex);
    sip->isBlocked = blocked;
    mutex_exit(&sip->blockingMutex);
}

static void resume_if_suspended(GlobalInfo *gip, SessionInfo *sip)
{
    rw_enter(&nvx_rwlock, RW_READER);
    const int suspended = (gip->ulFlags & (GI_SUSPENDED | GI_CAPTURING)) == GI_SUSPENDED;
    rw_exit(&nvx_rwlock);
    if (!suspended)
        return;
    int resumed = 0;
    rw_enter(&nvx_rwlock, RW_WRITER);
    if ((gip->ulFlags & (GI_SUSPENDED | GI_CAPTURING)) == GI_SUSPENDED &&
        gip->captureSession == sip) {
        gip->ulFlags = (gip->ulFlags | GI_CAPTURING) & ~static_cast<U32>(GI_SUSPENDED);
        resumed = 1;
    }
    rw_exit(&nvx_rwlock);
    if (resumed)
        printf("nvx_read: resuming capture after timeout\n");
}

static int unread_frames(SessionInfo *sip)
{
    mutex_enter(&sip->frameMutex);
    const int unread = !sip->pFrames->bStale && sip->pFrames->ulCount != 0;
    mutex_exit(&sip->frameMutex);
    return unread;
}

int nvx_read(queue_t *q, mblk_t *mp)
{
    BindingInfo *bip = static_cast<BindingInfo *>(q->q_ptr);
    _dlprintf(4, "nvx_read(%lx,%lx)\n", lx(q), lx(mp));

    GlobalInfo *gip;
    SessionInfo *sip;
    nvx_lookup_session(bip, &gip, &sip, 1);
    if (gip == nullptr) {
        rw_exit(&nvx_rwlock);
        printf("nvx_read: no capture, bip %lx ppaname %s\n", lx(bip), bip->ppaname);
        return 0;
    }
    if (sip == nullptr) {
        rw_exit(&nvx_rwlock);
        printf("nvx_read: no capture session, bip %lx gip %lx ppaname %s\n", lx(bip), lx(gip),
               gip->ppaname);
        return 0;
    }
    /* Entered while the session is seen attached: stop_session now waits for this request. */
    mutex_enter(&sip->captureMutex);
    sip->ulFlags |= SI_READING;
    sip->lLastTime = nvx_now();
    rb_store(&sip->pRcvBuffer->lLastTime, timestamp());
    rb_store(&sip->pRcvBuffer->nvx_errno, 0);
    mutex_exit(&sip->captureMutex);
    rw_exit(&nvx_rwlock);

    if (MBLKL(mp) < static_cast<ptrdiff_t>(sizeof(ReadData))) {
        printf("nvx_read: invalid data passed in\n");
        return finish(sip, EINVAL);
    }

    while (si_test(sip, SI_TIMER_BUSY))
        drv_usecwait(100);

    resume_if_suspended(gip, sip);

    if (check_packet_free(gip, sip) != 0) {
        printf("nvx_read: packet free error, bip %lx gip %lx sip %lx ppaname %s\n", lx(bip),
               lx(gip), lx(sip), gip->ppaname);
        return finish(sip, EINVAL);
    }

    U32 seen = NVX_ATOMIC_LOAD(&sip->ulPacketsCaptured);
    int moved = copy_packet_buffer(gip, sip);
    if (moved > 0) {
        _dlprintf(2, "nvx_read: copy_packet_buffer returned %d\n", moved);
        return finish(sip, EAGAIN);
    }

    mutex_enter(&sip->captureMutex);
    const U32 flowControlled = sip->bFlowControlled;
    if (flowControlled)
        NVX_ATOMIC_STORE(&sip->bFlowControlled, 0u);
    mutex_exit(&sip->captureMutex);
    if (flowControlled)
        printf("nvx_read: resuming capture for queue 0x%lx after buffer full\n", lx(q));

    if (unread_frames(sip))
        return finish(sip, EAGAIN);

    set_blocked(sip, 1);
    while (capturing(gip, sip)) {
        const clock_t deadline = ddi_get_lbolt() + drv_usectohz(1000000);
        _dlprintf(4, "nvx_read: going to sleep\n");
        mutex_enter(&sip->blockingMutex);
        clock_t status = 1; /* as woken: a frame was staged since the last move */
        if (NVX_ATOMIC_LOAD(&sip->ulPacketsCaptured) == seen)
            status = cv_timedwait_sig(&sip->cv, &sip->blockingMutex, deadline);
        mutex_exit(&sip->blockingMutex);
        _dlprintf(4, "nvx_read: waking up, status=%d\n", static_cast<int>(status));
        if (status < 0) {
            set_blocked(sip, 0);
            _dlprintf(4, "nvx_read: timeout, bip %lx gip %lx sip %lx ppaname %s\n", lx(bip),
                      lx(gip), lx(sip), gip->ppaname);
            return finish(sip, ETIME);
        }
        if (status == 0) {
            set_blocked(sip, 0);
            _dlprintf(4, "nvx_read: signalled, bip %lx gip %lx sip %lx ppaname %s\n", lx(bip),
                      lx(gip), lx(sip), gip->ppaname);
            return finish(sip, EINTR);
        }
        seen = NVX_ATOMIC_LOAD(&sip->ulPacketsCaptured);
        moved = copy_packet_buffer(gip, sip);
        if (moved > 0) {
            set_blocked(sip, 0);
            _dlprintf(2, "nvx_read: copy_packet_buffer after block returned %d\n", moved);
            return finish(sip, EAGAIN);
        }
        _dlprintf(2, "nvx_read: copy_packet_buffer returned 0\n");
    }
    set_blocked(sip, 0);
    if (capturing(gip, sip))
        return finish(sip, 0);
    _dprintf("nvx_read: capture closed, bip %lx gip %lx sip %lx ppaname %s\n", lx(bip), lx(gip),
             lx(sip), gip->ppaname);
    return finish(sip, EINTR);
}
