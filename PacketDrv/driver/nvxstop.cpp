/*
 * Stopping a capture session (stop_session): detach it, wait until nothing is inside it, give
 * back every frame it holds and free it.
 *
 * - Context: process context (NVX_CLOSE_RX_IOCTL, the adapter's close, the device stream's
 *   close); the caller holds no driver lock.
 * - Who can be inside a session: a read request (SI_READING, set while nvx_rwlock is held as
 *   reader and the session is attached), a timer run (SI_TIMER_BUSY, likewise) and a module
 *   stream close that is flushing it (refCount, under sessionInfoMutex). Once the session is
 *   detached under nvx_rwlock (writer) none of them can newly enter, so waiting for the three
 *   to drop to zero is enough; the timer re-arms only while its session is attached, and the
 *   last armed one is cancelled here.
 * - Lock order: nvx_rwlock before sessionInfoMutex.
 */
#include "nvxrelease.h"

#include "debug.h"

#include "nvxengine.h"

#include <sys/cmn_err.h>
#include <sys/kmem.h>
#include <sys/umem.h>

/* Wakes a reader waiting in nvx_read; under blockingMutex, so that it cannot be missed by a
 * reader just deciding to wait. */
static void wake_reader(SessionInfo *sip)
{
    mutex_enter(&sip->blockingMutex);
    cv_broadcast(&sip->cv);
    mutex_exit(&sip->blockingMutex);
}

static U32 session_refs(GlobalInfo *gip, SessionInfo *sip)
{
    mutex_enter(&gip->sessionInfoMutex);
    const U32 refs = sip->refCount;
    mutex_exit(&gip->sessionInfoMutex);
    return refs;
}

void stop_session(GlobalInfo *gip, SessionInfo *sip)
{
    rw_enter(&nvx_rwlock, RW_WRITER);
    mutex_enter(&gip->sessionInfoMutex);
    if (gip->captureSession == sip)
        gip->captureSession = nullptr;
    mutex_exit(&gip->sessionInfoMutex);
    gip->ulFlags &= ~static_cast<U32>(GI_CAPTURING);
    rw_exit(&nvx_rwlock);
    /* From here no put procedure stages into the session and nobody new enters it. */

    _dlprintf(1, "stop_session called for session %lx\n", lx(sip));

    /* A reader that went to sleep just before the first wake-up is woken by a later one. */
    wake_reader(sip);
    while (si_test(sip, SI_READING | SI_TIMER_BUSY)) {
        drv_usecwait(100);
        wake_reader(sip);
    }

    mutex_enter(&sip->captureMutex);
    const S64 bytes = sip->ulBytesCaptured;
    const timeout_id_t tid = sip->timeout_id;
    sip->timeout_id = 0;
    mutex_exit(&sip->captureMutex);
    printf("NVX: Closing capture 0x%lx session 0x%lx ppaname %s, captured: %d, lost: %d\n", lx(gip),
           lx(sip), gip->ppaname, static_cast<int>(NVX_ATOMIC_LOAD(&sip->ulPacketsCaptured)),
           static_cast<int>(NVX_ATOMIC_LOAD(&sip->ulPacketsLost)));
    printf("\tbytes: %ld\n", static_cast<long>(bytes));

    /* No lock held: untimeout waits for a run in progress, which takes captureMutex. */
    if (tid != 0)
        (void)untimeout(tid);

    while (session_refs(gip, sip) != 0)
        drv_usecwait(100);

    if (sip->pStagingQueue != nullptr) {
        flush_queue(gip, sip);
        kmem_free(sip->pStagingQueue,
                  static_cast<size_t>(sip->ulCaptureSize) * sizeof(StagedPacketInfo));
        sip->pStagingQueue = nullptr;
    }
    frames_free(sip->pFrames);
    sip->pFrames = nullptr;
    if (sip->ucookie != nullptr)
        ddi_umem_free(sip->ucookie);
    mutex_destroy(&sip->captureMutex);
    mutex_destroy(&sip->blockingMutex);
    mutex_destroy(&sip->frameMutex);
    cv_destroy(&sip->cv);
    kmem_free(sip, sizeof(*sip));
}
