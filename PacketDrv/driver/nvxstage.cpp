/*
 * Staging: the capture decision of the put procedures and the recording of a captured frame
 * in the session's staging queue.
 *
 * - Context: the module's put procedures, read side (interface receive, interrupt context) and
 *   write side (sender's context); nvx_rwlock is held as reader by the caller for the whole
 *   decision, which keeps the session attached. Nothing here sleeps, allocates or copies.
 * - A frame is staged at most once. A staged frame belongs to the session (RC_QUEUED); a full
 *   staging queue forwards it uncaptured (RC_BUFFER_FULL) and counts it lost.
 * - Locks: captureMutex around the staging queue; blockingMutex, after it, only to wake the
 *   reader, so that a reader about to sleep cannot miss the wake-up (nvx_read re-checks
 *   ulPacketsCaptured under blockingMutex before it waits).
 */
#include "nvxsession.h"

#include "CircularQueue.h"
#include "debug.h"

#include "nvxengine.h"
#include "nvxgeom.h"
#include "nvxstage.h"

#include <sys/cmn_err.h>
#include <sys/stream.h>

int store_packet(GlobalInfo *gip, SessionInfo *sip, mblk_t *mp, queue_t *q, mblk_t *top, int dir,
                 struct timeval *tv)
{
    const U32 mode = sip->ulCaptureMode;
    if ((mode & (CM_INLINE | CM_PROMISCUOUS)) != 0)
        return queue_packet(gip, sip, mp, q, top, dir, tv);

    int rc = RC_FORWARD;
    int staged = 0;
    if ((mode & CM_BROADCAST) != 0 && is_broadcast(mp, dir)) {
        rc = queue_packet(gip, sip, mp, q, top, dir, tv);
        staged = 1;
    }
    /* A frame that is both broadcast and "ours" must not be staged twice. */
    if (!staged && (mode & CM_DIRECTED) != 0 && gip->index < MAX_PPA &&
        is_matching(mp, ppaList[gip->index].info.aucMacAddress, dir))
        rc = queue_packet(gip, sip, mp, q, top, dir, tv);
    return rc;
}

int queue_packet(GlobalInfo *gip, SessionInfo *sip, mblk_t *mp, queue_t *q, mblk_t *top, int dir,
                 struct timeval *tv)
{
    (void)gip;
    _dlprintf(2, "queue_packet: ssn=%lx mp=%lx q=%lx dir=%d\n", lx(sip), lx(mp), lx(q), dir);
    if (msgdsize(mp) == 0) {
        _dprintf("0-length packet, returning\n");
        return RC_FORWARD;
    }

    mutex_enter(&sip->captureMutex);
    void *blob = nullptr;
    const U32 rc =
        CircularQueueEnqueue(sip->pStagingQueue, nullptr, sizeof(StagedPacketInfo), &blob);
    if (rc != PACKET_SUCCESS) {
        const int first = (sip->ulFlags & SI_BUFFER_FULL) == 0;
        sip->ulFlags |= SI_BUFFER_FULL;
        NVX_ATOMIC_STORE(&sip->bFlowControlled, 1u);
        mutex_exit(&sip->captureMutex);
        if (first)
            printf("queue_packet: capture buffer is full for q=0x%lx\n", lx(q));
        printf("Turning on flow control, rq=<%lx,%lx> wq=<%lx,%lx>\n",
               lx(NVX_ATOMIC_LOAD(&sip->rq)), lx(RD(q)), lx(NVX_ATOMIC_LOAD(&sip->wq)), lx(WR(q)));
        NVX_ATOMIC_ADD(&sip->ulPacketsLost, 1u);
        return RC_BUFFER_FULL;
    }
    StagedPacketInfo *spi = static_cast<StagedPacketInfo *>(blob);
    spi->magic = STAGE_MAGIC;
    spi->deleted = 0;
    const S32 sequence = static_cast<S32>(sip->sequence++);
    spi->sequence = sequence;
    spi->nDirection = dir;
    spi->pktMblk = top;
    spi->pktQueue = q;
    spi->timestamp = *tv;
    mutex_exit(&sip->captureMutex);

    _dlprintf(2048, "I:%d:%d:%lx:%lx\n", dir, sequence, lx(q), lx(top));
    NVX_ATOMIC_ADD(&sip->packetCount, 1u);
    NVX_ATOMIC_ADD(&sip->ulOutstandingPackets, 1);
    NVX_ATOMIC_STORE(&sip->hasData, 1u);
    /* The reader compares this count under blockingMutex before it sleeps. */
    NVX_ATOMIC_ADD(&sip->ulPacketsCaptured, 1u);
    mutex_enter(&sip->blockingMutex);
    cv_broadcast(&sip->cv);
    mutex_exit(&sip->blockingMutex);
    return RC_QUEUED;
}

int nvx_flow_controlled(SessionInfo *sip)
{
    if (NVX_ATOMIC_LOAD(&sip->bFlowControlled) == 0)
        return 0;
    NVX_ATOMIC_ADD(&sip->ulPacketsLost, 1u);
    return 1;
}
