/*
 * The capture decision of every data frame seen by a module instance (nvx_data).
 *
 * - Context: both put procedures of a module instance (interface receive context, sender's
 *   context); never sleeps, never copies, allocates nothing.
 * - The first matching step decides: the stream has no open adapter, the adapter does not
 *   capture (or a stream close is flushing it), or it has no session: forward. An inbound bare
 *   frame from an ignored source: free (the only place a frame is dropped here). A flow
 *   controlled session: buffer full (forwarded uncaptured). The bypass address and the filter
 *   set: forward. Otherwise the capture engine stages it or not (store_packet).
 * - Locks: nvx_rwlock as reader for the whole decision, so that stopping a capture, flushing
 *   at a stream close and every binding change (writers) wait until no frame is between its
 *   checks and the capture engine; that is also what keeps the adapter record and its session
 *   alive here. Inside it FloodLock, nvx_pflock (reader) and captureMutex are taken one after
 *   another by the layers called, never nested.
 */
#include "nvxput.h"

#include "debug.h" /* before sys/cmn_err.h, whose printf macro renames printf */

#include "nvxflood.h"
#include "nvxsession.h"
#include "nvxstage.h"
#include "packetfilter.h"

#include <sys/cmn_err.h>
#include <sys/ddi.h>
#include <sys/stream.h>

static inline unsigned long ulp(const void *p)
{
    return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p));
}

/*
 * Records the queue a frame was taken on in the session (its last read or write queue), as
 * the flow-control messages report them. The fields are only statistics for the put side:
 * relaxed atomics.
 */
static void note_queue(BindingInfo *bip, SessionInfo *sip, queue_t *q, int dir)
{
    if (dir == DIR_INBOUND) {
        if (q != bip->rdq)
            _dlprintf(16, "Got a different read q from open, was %lx is %lx\n", ulp(bip->rdq),
                      ulp(q));
        if (__atomic_load_n(&sip->rq, __ATOMIC_RELAXED) == nullptr &&
            __atomic_load_n(&sip->bFlowControlled, __ATOMIC_RELAXED) == 1) {
            printf("Flow control was enabled, but just now get something on read queue %lx, "
                   "disabling\n",
                   ulp(q));
            noenable(q);
        }
        __atomic_store_n(&sip->rq, q, __ATOMIC_RELAXED);
    } else {
        if (q != bip->wrq)
            _dlprintf(16, "Got a different write q from open, was %lx is %lx\n", ulp(bip->wrq),
                      ulp(q));
        if (__atomic_load_n(&sip->wq, __ATOMIC_RELAXED) == nullptr &&
            __atomic_load_n(&sip->bFlowControlled, __ATOMIC_RELAXED) == 1) {
            printf("Flow control was enabled, but just now get something on write queue %lx, "
                   "disabling\n",
                   ulp(q));
            noenable(q);
        }
        __atomic_store_n(&sip->wq, q, __ATOMIC_RELAXED);
    }
}

/* The decision with nvx_rwlock held as reader. */
static int decide_locked(BindingInfo *bip, queue_t *q, mblk_t *mp, int dir, int proto)
{
    GlobalInfo *gip = bip->openInfo;
    if (gip == nullptr)
        return RC_FORWARD;
    if ((gip->ulFlags & GI_CAPTURING) == 0 || (gip->ulFlags & GI_FLUSHING) != 0)
        return RC_FORWARD;
    /* captureSession changes only under nvx_rwlock as writer (besides sessionInfoMutex). */
    SessionInfo *sip = gip->captureSession;
    if (sip == nullptr)
        return RC_FORWARD;

    struct timeval tv;
    uniqtime(&tv);
    note_queue(bip, sip, q, dir);

    if (dir == DIR_INBOUND && proto == 0 && CheckFlood(mp, tv.tv_sec, dir))
        return RC_FREE;
    if (nvx_flow_controlled(sip))
        return RC_BUFFER_FULL;
    if (BypassHandler(q, mp, dir))
        return RC_FORWARD;
    if (CheckFiltered(mp, dir)) {
        _dlprintf(16, "Packet is filtered.\n");
        return RC_FORWARD;
    }
    mblk_t *data = proto ? mp->b_cont : mp;
    return store_packet(gip, sip, data, q, mp, dir, &tv);
}

int nvx_data(queue_t *q, mblk_t *mp, int dir, int proto)
{
    BindingInfo *bip = static_cast<BindingInfo *>(q->q_ptr);
    rw_enter(&nvx_rwlock, RW_READER);
    _dlprintf(16, "nvx_data: q=%lx bip=%lx gip=%lx\n", ulp(q), ulp(bip), ulp(bip->openInfo));
    const int rc = decide_locked(bip, q, mp, dir, proto);
    rw_exit(&nvx_rwlock);
    return rc;
}
