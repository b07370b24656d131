/*
 * Releasing held frames: the frames the reader has read (check_packet_free, dequeue_packet),
 * and every frame of a session (flush_queue).
 *
 * - The message, its queue and its binding come from the driver's own records (frame record,
 *   staging queue), never from the region. The region is read only for the reader's verdict
 *   (the PB_FLAG_FRAME_BLOCKED bit) and for the consistency reports, at offsets the driver
 *   keeps; it is written only inside a read request.
 * - A released frame goes on with putnext on the queue it was taken on (inbound up the read
 *   side, outbound down the write side, control block included); in inline mode a blocked frame
 *   is answered with two resets and freed. A frame whose stream has closed is freed: its queues
 *   may be gone. A stream that only unbound (DL_UNBIND_REQ) is still open and gets its frames.
 * - Contexts: check_packet_free and dequeue_packet in the read request; flush_queue in whoever
 *   stops, times out or closes (process or callout context).
 * - Locks: frameMutex around the frame record and the region's queue, held across putnext (a
 *   putnext that comes back into the driver takes nvx_rwlock and captureMutex, both after
 *   frameMutex in the lock order); nvx_bindlock as reader only for the binding check, never
 *   across putnext; staged frames are passed on with captureMutex released.
 */
#include "nvxrelease.h"

#include "CircularQueue.h"
#include "debug.h"

#include "nvxbind.h"
#include "nvxengine.h"
#include "socketif.h"

#include <sys/cmn_err.h>
#include <sys/stream.h>

#include <string.h>

static queue_t *next_of(queue_t *q)
{
    return __atomic_load_n(&q->q_next, __ATOMIC_ACQUIRE);
}

/* 1 while q's stream is still open (through bip when given): bound or not, its queues exist. */
static int stream_alive(queue_t *q, BindingInfo *bip)
{
    return find_open_binding(q, bip) != nullptr;
}

static void free_held(mblk_t *mp)
{
    freemsg(mp);
    NVX_ATOMIC_ADD(&totalFreed, 1);
}

int nvx_pass_on(queue_t *q, mblk_t *mp, BindingInfo *bip)
{
    if (!stream_alive(q, bip) || next_of(q) == nullptr) {
        free_held(mp);
        return 0;
    }
    putnext(q, mp);
    NVX_ATOMIC_ADD(&totalPut, 1);
    return 1;
}

/* The verdict of a frame the reader has read: 1 when it must be answered with resets. */
static int blocked_by_reader(GlobalInfo *gip, SessionInfo *sip, const HeldFrame *h)
{
    if (gip->ulOpenMode != MODE_INLINE || sip->ulCaptureMode != MODE_INLINE)
        return 0;
    const PACKET_BUFFER *pb = frames_buffer(sip->pFrames, h);
    return (NVX_ATOMIC_LOAD(&pb->ulStatus) & PB_FLAG_FRAME_BLOCKED) != 0;
}

/* Passes on, or resets and frees, a frame the reader has read (frameMutex held). */
static void release_read_frame(GlobalInfo *gip, SessionInfo *sip, const HeldFrame *h)
{
    mblk_t *mp = h->pktMblk;
    queue_t *q = h->pktQueue;
    if (blocked_by_reader(gip, sip, h)) {
        _dlprintf(2, "dequeue_packet: blocked packet: sip=%lx mblk=%lx q=%lx\n", lx(sip), lx(mp),
                  lx(q));
        if (stream_alive(q, h->bip))
            (void)send_reset(q, mp, h->nDirection);
        free_held(mp);
        return;
    }
    if (!stream_alive(q, h->bip)) {
        free_held(mp);
        return;
    }
    if (next_of(q) == nullptr) {
        _dlprintf(2, "dequeue_packet: can't send pkt: ssn=%lx mp=%lx q=%lx\n", lx(sip), lx(mp),
                  lx(q));
        free_held(mp);
        return;
    }
    _dlprintf(2,
              "dequeue_packet: sending pkt: ssn=0x%lx mp=0x%lx q=0x%lx pInfo=0x%lx lHead=0x%lx\n",
              lx(sip), lx(mp), lx(q), lx(frames_buffer(sip->pFrames, h)),
              lx(frames_info(sip->pFrames, h)));
    const int bytes = static_cast<int>(msgdsize(mp));
    _dlprintf(32, "O - %s: %d bytes\n", h->nDirection == DIR_INBOUND ? "inbound" : "outbound",
              bytes);
    _dldumpmem(32, reinterpret_cast<const char *>(mp->b_rptr),
               static_cast<int>(MBLKL(mp)) < bytes ? static_cast<int>(MBLKL(mp)) : bytes, 0);
    putnext(q, mp);
    NVX_ATOMIC_ADD(&totalPut, 1);
}

/* Passes on a frame the reader has not read, without a verdict (frameMutex or none held). */
static void give_back_unread(SessionInfo *sip, queue_t *q, mblk_t *mp, BindingInfo *bip,
                             int fromStaging)
{
    if (stream_alive(q, bip) && next_of(q) != nullptr) {
        putnext(q, mp);
        NVX_ATOMIC_ADD(&totalPut, 1);
        return;
    }
    if (fromStaging)
        _dlprintf(2, "flush_queue: can't send pkt: sip=%lx mblk=%lx q=%lx\n", lx(sip), lx(mp),
                  lx(q));
    else
        printf("nvx: flush_queue: can't send pkt, q_next is null: ssn=%lx mp=%lx q=%lx\n", lx(sip),
               lx(mp), lx(q));
    free_held(mp);
}

int dequeue_packet(GlobalInfo *gip, SessionInfo *sip, int flag)
{
    (void)flag;
    SessionFrames *sf = sip->pFrames;
    HeldFrame h;
    if (!frames_release_taken(sf, &h))
        return 0;

    /* The driver's header in the record, copied once; its values are only reported. */
    PacketInfo *region = frames_info(sf, &h);
    PacketInfo seen;
    memcpy(&seen, region, sizeof(seen));
    nvx_count_released(sip, 1);
    U32 *count = &sip->pRcvBuffer->packetCount;
    rb_store(count, rb_load(count) - 1);
    if (seen.deleted == 1) {
        /* Only a reader that wrote into the driver's header can cause this: give the frame
         * back unjudged and let the caller treat the region as corrupted. */
        printf("dequeue_packet: got an already deleted packet from final queue: %d\n",
               seen.ulSequence);
        DumpCircularQueueState(sf->pQueue);
        give_back_unread(sip, h.pktQueue, h.pktMblk, h.bip, 0);
        sip->shm_seq++;
        return 0;
    }
    NVX_ATOMIC_STORE(&region->deleted, 1);
    if (seen.ulSequence != static_cast<S32>(sip->shm_seq))
        printf("Got bad sequence number %d in shm record, expected %d\n", seen.ulSequence,
               static_cast<int>(sip->shm_seq));
    if (seen.magic != STAGE_MAGIC)
        printf("Got bad staged info %x:%d:%lx:%lx\n", seen.magic, seen.ulSequence, lx(h.pktQueue),
               lx(h.pktMblk));
    sip->shm_seq++;
    _dlprintf(2048, "dequeue_packet: dir: %d, sequence: %d, pktQueue: 0x%lx, pktMblk: 0x%lx\n",
              h.nDirection, h.ulSequence, lx(h.pktQueue), lx(h.pktMblk));
    release_read_frame(gip, sip, &h);
    return 1;
}

/* Gives every held frame of the region back unjudged and re-initialises the queue. */
static void recover_region_locked(SessionInfo *sip)
{
    SessionFrames *sf = sip->pFrames;
    HeldFrame h;
    U32 n = 0;
    while (frames_take_oldest(sf, &h)) {
        give_back_unread(sip, h.pktQueue, h.pktMblk, h.bip, 0);
        n++;
    }
    nvx_count_released(sip, n);
    nvx_reset_region_locked(sip);
}

int check_packet_free(GlobalInfo *gip, SessionInfo *sip)
{
    SessionFrames *sf = sip->pFrames;
    mutex_enter(&sip->frameMutex);
    if (sf->bStale) {
        /* A flush outside a read request gave everything back; start the queue afresh. */
        recover_region_locked(sip);
        mutex_exit(&sip->frameMutex);
        return 0;
    }
    U32 taken = 0;
    if (!frames_sync_reader(sf, &taken)) {
        printf("check_packet_free: shared packet queue of session %lx ppaname %s is corrupted; "
               "passing on %u held frames\n",
               lx(sip), gip->ppaname, sf->ulCount);
        recover_region_locked(sip);
        mutex_exit(&sip->frameMutex);
        return 0;
    }
    _dlprintf(2, "check_packet_free: entering shared queue = 0x%lx; %u entries in final queue.\n",
              lx(sip->pFrameBuffer), taken);
    while (sf->shadow.ulFinalCount != 0) {
        if (!dequeue_packet(gip, sip, 0)) {
            printf("check_packet_free: shared packet queue of session %lx ppaname %s is "
                   "corrupted; passing on %u held frames\n",
                   lx(sip), gip->ppaname, sf->ulCount);
            recover_region_locked(sip);
            break;
        }
    }
    const U32 unread = sf->shadow.ulIntermediateCount;
    mutex_exit(&sip->frameMutex);
    _dlprintf(2, "check_packet_free: returning %u entries in intermediate queue.\n", unread);
    return 0;
}

/* Takes up to max staging records (captureMutex held); returns how many, 0 when empty. */
static int take_staged_batch(SessionInfo *sip, StagedPacketInfo *out, int max)
{
    int n = 0;
    while (n < max) {
        void *data = nullptr;
        U32 length = 0;
        if (CircularQueueDequeueIntermediate(sip->pStagingQueue, &data, &length) != PACKET_SUCCESS)
            break;
        StagedPacketInfo *spi = static_cast<StagedPacketInfo *>(data);
        if (spi->deleted == 1) {
            printf("flush_queue: got an already deleted packet in Staging Queue: %d\n",
                   spi->sequence);
            DumpCircularQueueState(sip->pStagingQueue);
        } else {
            spi->deleted = 1;
            out[n++] = *spi;
        }
        (void)CircularQueueDequeueFinal(sip->pStagingQueue, nullptr, nullptr);
    }
    return n;
}

void flush_queue(GlobalInfo *gip, SessionInfo *sip)
{
    SessionFrames *sf = sip->pFrames;
    int final = 0, shm = 0, staged = 0;

    /*
     * Frames in the region. Once the session is detached (stop_session) the reader has let go
     * of the region, and its descriptor is read to tell the frames the reader has read (judged
     * by their verdicts) from the ones it has not. While the session is attached (a module
     * stream's close, the session timer) the reader may be dequeuing right now, so the region is
     * not read at all and every frame in it goes on unjudged.
     */
    mutex_enter(&gip->sessionInfoMutex);
    const int detached = gip->captureSession != sip;
    mutex_exit(&gip->sessionInfoMutex);
    mutex_enter(&sip->frameMutex);
    U32 taken = 0;
    if (!detached || !frames_peek_taken(sf, &taken))
        taken = 0;
    HeldFrame h;
    while (frames_take_oldest(sf, &h)) {
        if (static_cast<U32>(final) < taken) {
            release_read_frame(gip, sip, &h);
            final++;
        } else {
            give_back_unread(sip, h.pktQueue, h.pktMblk, h.bip, 0);
            shm++;
        }
    }
    mutex_exit(&sip->frameMutex);
    nvx_count_released(sip, static_cast<U32>(final + shm));

    /* Staged frames, a batch at a time: putnext may come back into queue_packet. */
    for (;;) {
        StagedPacketInfo batch[32];
        mutex_enter(&sip->captureMutex);
        const int n = take_staged_batch(sip, batch, 32);
        U32 rc = PACKETERR_QUEUE_EMPTY;
        if (n == 0)
            rc = CircularQueueDequeueFinal(sip->pStagingQueue, nullptr, nullptr);
        mutex_exit(&sip->captureMutex);
        for (int i = 0; i < n; i++)
            give_back_unread(sip, batch[i].pktQueue, batch[i].pktMblk, nullptr, 1);
        staged += n;
        nvx_count_released(sip, static_cast<U32>(n));
        if (n == 0) {
            if (rc != PACKETERR_QUEUE_EMPTY)
                printf("nvx: flush_queue: unexpected return value from dequeue-final on staging "
                       "queue 0x%lx: 0x%x.\n",
                       lx(sip->pStagingQueue), rc);
            break;
        }
    }
    printf("flush_queue: staged=%d shm=%d final=%d\n", staged, shm, final);
}

void flush_and_renumber(GlobalInfo *gip, SessionInfo *sip)
{
    flush_queue(gip, sip);
    mutex_enter(&sip->frameMutex);
    sip->shm_seq = 0;
    mutex_exit(&sip->frameMutex);
    mutex_enter(&sip->captureMutex);
    sip->staged_seq = 0;
    sip->sequence = 0;
    mutex_exit(&sip->captureMutex);
}
