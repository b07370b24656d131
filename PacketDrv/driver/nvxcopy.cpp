/*
 * Moving staged frames into the shared capture region (copy_packet_buffer).
 *
 * - Context: the reader's read request only (process context); the reader is blocked in putmsg
 *   and does not touch the shared queue meanwhile.
 * - Locks: frameMutex for the whole pass (the region's queue and the frame record), and
 *   captureMutex inside it around the taking of a batch of staged frames (nvx_bindlock as
 *   reader between the two, for the binding checks). The frame bytes are copied with
 *   captureMutex released, so the put procedures are held up only for the dequeue, and meet
 *   the lock once per batch.
 * - A staged frame is taken only when its record is known to fit now: a frame that does not fit
 *   stays staged, in order, for the next read request, and the reader never sees a record that
 *   is not completely written. A frame whose record can never fit (no data block, longer than
 *   maxpktsize, or longer than the whole queue) or whose stream has gone is given back at once
 *   and counted lost; such frames are passed on after both locks are released, because a
 *   putnext can come straight back into the driver on this thread.
 * - Frame bytes are copied exactly once, from the message into the region; nothing is read
 *   back from the region.
 */
#include "nvxsession.h"

#include "CircularQueue.h"
#include "debug.h"

#include "dumpmbuf.h"
#include "nvxbind.h"
#include "nvxengine.h"
#include "nvxframes.h"
#include "nvxgeom.h"
#include "nvxrelease.h"

#include <sys/cmn_err.h>
#include <sys/stream.h>

#include <string.h>

/* Frames given back from inside a pass, passed on once the locks are released. */
#define COPY_BATCH 32
/* Frames taken off the staging queue per hold of captureMutex. */
#define MOVE_BATCH 16
struct GiveBack {
    queue_t *q;
    mblk_t *mp;
};

/* What the pass does with the frame at the head of the staging queue. */
enum StagedFate { FATE_MOVE, FATE_WAIT, FATE_GIVE_BACK };

struct StagedFrame {
    StagedPacketInfo spi; /* copy of the staging record */
    mblk_t *data;         /* the block holding the frame bytes, or NULL (bad chain) */
    int hlen;             /* link header length in front of an inbound frame */
    size_t bytes;         /* the frame's length */
    U32 frameLength;      /* the same, clamped to maxpktsize + 1 */
    U32 blobLength;
};

static U32 blob_length_for(U32 frameLength)
{
    const U32 align = static_cast<U32>(sizeof(void *));
    const U32 raw = frameLength + static_cast<U32>(sizeof(PacketInfo) + sizeof(PACKET_BUFFER));
    return (raw + align - 1) & ~(align - 1);
}

/* Geometry of a staged frame's message (kernel memory, the driver's own). */
static void measure(SessionInfo *sip, StagedFrame *f)
{
    mblk_t *mp = f->spi.pktMblk;
    f->data = DB_TYPE(mp) == M_DATA ? mp : mp->b_cont;
    f->hlen = (f->data != nullptr && f->spi.nDirection == DIR_INBOUND) ? HeaderLen(f->data) : 0;
    f->bytes = msgdsize(mp) + static_cast<size_t>(f->hlen);
    f->frameLength = f->bytes > sip->maxpktsize ? sip->maxpktsize + 1 : static_cast<U32>(f->bytes);
    f->blobLength = blob_length_for(f->frameLength);
}

static StagedFate fate_of(SessionInfo *sip, const StagedFrame *f)
{
    if (f->data == nullptr || f->frameLength == 0 || f->frameLength > sip->maxpktsize ||
        !frames_empty_fits(sip->pFrames, f->blobLength))
        return FATE_GIVE_BACK;
    return frames_fits(sip->pFrames, f->blobLength) ? FATE_MOVE : FATE_WAIT;
}

/* The staging queue's oldest record, without taking it (captureMutex held). */
static const StagedPacketInfo *staging_head(SessionInfo *sip, U32 *pulLength)
{
    const BYTE *base = static_cast<const BYTE *>(sip->pStagingQueue);
    const QueueDescriptor *d = reinterpret_cast<const QueueDescriptor *>(base);
    if (d->ulIntermediateHead == 0)
        return nullptr;
    const QueueEntry *e = reinterpret_cast<const QueueEntry *>(base + d->ulIntermediateHead);
    *pulLength = e->ulLength;
    return reinterpret_cast<const StagedPacketInfo *>(base + e->ulOffset);
}

/*
 * Takes the head record off the staging queue with the checks that only report (captureMutex
 * held). Returns 0 when the record had already been handled (it is skipped).
 */
static int take_staged(SessionInfo *sip)
{
    void *data = nullptr;
    U32 length = 0;
    U32 rc = CircularQueueDequeueIntermediate(sip->pStagingQueue, &data, &length);
    if (rc != PACKET_SUCCESS) {
        printf("copy_packet_buffer:  error dequeueing staged packet; code = 0x%x.\n", rc);
        return 0;
    }
    StagedPacketInfo *spi = static_cast<StagedPacketInfo *>(data);
    rc = CircularQueueDequeueFinal(sip->pStagingQueue, nullptr, nullptr);
    if (rc != PACKET_SUCCESS)
        printf("copy_packet_buffer:  error dequeueing (final) staged packet; code = 0x%x.\n", rc);
    if (length != sizeof(StagedPacketInfo))
        printf("copy_packet_buffer:  size mismatch dequeueing staged packet; size = %u; expected "
               "%u.\n",
               length, static_cast<U32>(sizeof(StagedPacketInfo)));
    if (spi->magic != STAGE_MAGIC)
        printf("Got bad staged info %x:%d:%lx:%lx\n", spi->magic, spi->sequence, lx(spi->pktQueue),
               lx(spi->pktMblk));
    if (spi->sequence != static_cast<S32>(sip->staged_seq))
        printf("Got bad sequence #%d in staging q record. expected %d\n", spi->sequence,
               static_cast<int>(sip->staged_seq));
    if (spi->deleted == 1) {
        printf("copy_packet_buffer: got an already deleted packet from Staging Queue: %d\n",
               spi->sequence);
        DumpCircularQueueState(sip->pStagingQueue);
        return 0;
    }
    spi->deleted = 1;
    sip->staged_seq++;
    _dlprintf(2048, "C:%d:%d:%lx:%lx\n", spi->nDirection, spi->sequence, lx(spi->pktQueue),
              lx(spi->pktMblk));
    return 1;
}

/* Which block a cut is reported for: the frame's data block, or a later one. */
enum CutReport { CUT_SINGLE, CUT_FIRST, CUT_LATER };

/* Copies at most room bytes of [from, to) but never past limit; reports a cut. */
static U32 copy_block(BYTE *dst, U32 room, const BYTE *from, const BYTE *to, const BYTE *limit,
                      CutReport report)
{
    long n = to > from ? static_cast<long>(to - from) : 0;
    const long avail = limit > from ? static_cast<long>(limit - from) : 0;
    if (n > avail) {
        const int was = static_cast<int>(n), cut = static_cast<int>(avail);
        switch (report) {
        case CUT_SINGLE:
            printf("copy_packet_buffer: PacketInfo length is too large: was %d truncated to %d\n",
                   was, cut);
            break;
        case CUT_FIRST:
            printf("copy_packet_buffer: Calculated length is too large: was %d truncated to %d\n",
                   was, cut);
            break;
        case CUT_LATER:
            printf("copy_packet_buffer: Calculated length is too large: was %d truncated to "
                   "%d.\n",
                   was, cut);
            break;
        }
        n = avail;
    }
    if (n > static_cast<long>(room))
        n = static_cast<long>(room);
    memcpy(dst, from, static_cast<size_t>(n));
    return static_cast<U32>(n);
}

/* Writes the frame record for f into blob (frameMutex held). Returns the frame bytes copied. */
static U32 write_record(const StagedFrame *f, BindingInfo *bip, BYTE *blob)
{
    const StagedPacketInfo *spi = &f->spi;
    const int inbound = spi->nDirection == DIR_INBOUND;
    PacketInfo pi;
    memset(&pi, 0, sizeof(pi));
    pi.ulLength = sizeof(PacketInfo);
    pi.magic = STAGE_MAGIC;
    pi.deleted = 0;
    pi.ulSequence = spi->sequence;
    pi.datalen = static_cast<S32>(f->frameLength);
    pi.hlen = inbound ? f->hlen : 0;
    pi.ulFlags = (inbound ? PI_INBOUND : PI_OUTBOUND) |
                 (DB_TYPE(spi->pktMblk) != M_DATA ? PI_PROTO_BLOCK : 0);
    pi.timestamp = spi->timestamp;
    pi.pktMblk = spi->pktMblk;
    pi.pktQueue = spi->pktQueue;
    pi.bip = bip;
    memcpy(blob, &pi, sizeof(pi));

    PACKET_BUFFER pb;
    pb.ulStatus = inbound ? PB_MARK_INBOUND : (PB_MARK_OUTBOUND | PB_FLAG_TX);
    pb.ulCapturedBytes = f->frameLength;
    pb.ulTrueBytes = f->frameLength;
    pb.lDataOffset = sizeof(PACKET_BUFFER);
    pb.lTimeSecs = static_cast<S32>(spi->timestamp.tv_sec);
    pb.ulTimeUsecs = static_cast<U32>(spi->timestamp.tv_usec);
    pb.ulPacketBytes = f->blobLength - static_cast<U32>(sizeof(PACKET_BUFFER));
    pb.ulSequence = static_cast<U32>(spi->sequence);
    memcpy(blob + sizeof(pi), &pb, sizeof(pb));

    mblk_t *data = f->data;
    const BYTE *start = data->b_rptr - f->hlen;
    BYTE *dst = blob + sizeof(pi) + sizeof(pb);
    _dlprintf(32, "I - %s: %d bytes\n", inbound ? "inbound" : "outbound",
              static_cast<int>(f->frameLength));
    _dldumpmem(32, reinterpret_cast<const char *>(start),
               static_cast<int>(data->b_wptr > start ? data->b_wptr - start : 0), 0);

    U32 room = f->frameLength;
    U32 copied = 0;
    if (data->b_cont == nullptr) {
        long n = f->frameLength;
        const long avail = static_cast<long>(data->b_datap->db_lim - start);
        if (n > avail) {
            printf("copy_packet_buffer: PacketInfo length is too large: was %d truncated to %d\n",
                   static_cast<int>(n), static_cast<int>(avail));
            dumpmbuf(spi->pktQueue, spi->pktMblk, nullptr, spi->nDirection);
            n = avail;
        }
        /* The first block alone never holds more than its write pointer's worth of the frame. */
        copied = copy_block(dst, room, start, start + n, data->b_datap->db_lim, CUT_SINGLE);
    } else {
        copied = copy_block(dst, room, start, data->b_wptr, data->b_datap->db_lim, CUT_FIRST);
        for (mblk_t *b = data->b_cont; b != nullptr && copied < room; b = b->b_cont) {
            if (DB_TYPE(b) != M_DATA)
                continue;
            copied += copy_block(dst + copied, room - copied, b->b_rptr, b->b_wptr,
                                 b->b_datap->db_lim, CUT_LATER);
        }
    }
    /* A cut frame leaves no stale bytes of an older record behind it. */
    memset(dst + copied, 0, room - copied);
    return copied;
}

/* How a batch left the pass. */
enum PassEnd { PASS_GOES_ON, PASS_DONE, PASS_BACK_FULL };

/* A frame taken off the staging queue whose record has its place in the region. */
struct MovedFrame {
    StagedFrame f;
    BindingInfo *bip;
    BYTE *blob;
};

static void report_give_back(const StagedFrame *f, StagedFate fate)
{
    mblk_t *data = f->data;
    if (data == nullptr)
        _dprintf("Bad chain: pktMblk=0x%lx\n", lx(f->spi.pktMblk));
    else if (fate == FATE_GIVE_BACK)
        _dprintf("big packet size %d rptr %lx wptr %lx db_base %lx db_lim %lx pxData %lx "
                 "msgsize %d, ulFlag %x\n",
                 static_cast<int>(f->bytes), lx(data->b_rptr), lx(data->b_wptr),
                 lx(data->b_datap->db_base), lx(data->b_datap->db_lim), lx(data->b_rptr - f->hlen),
                 static_cast<int>(msgdsize(f->spi.pktMblk)),
                 (f->spi.nDirection == DIR_INBOUND ? PI_INBOUND : PI_OUTBOUND) |
                     (DB_TYPE(f->spi.pktMblk) != M_DATA ? PI_PROTO_BLOCK : 0u));
}

/*
 * Takes up to MOVE_BATCH frames off the staging queue in one hold of captureMutex, so that the
 * put procedures meet the lock once per batch rather than once per frame. Each frame to move
 * gets its place in the region at once (the next one's fit is judged after it); its bytes are
 * copied by the caller with captureMutex released. nvx_bindlock is held as reader around it for
 * the binding checks (frameMutex, held by the caller, comes before it; captureMutex after).
 * Returns how many frames to copy; *pEnd tells whether the pass goes on, is over (staging
 * queue empty or its head must wait for room) or must stop because back[] is full.
 */
static int take_batch(SessionInfo *sip, MovedFrame *moved, GiveBack *back, int *pBack,
                      PassEnd *pEnd)
{
    SessionFrames *sf = sip->pFrames;
    int n = 0;
    rw_enter(&nvx_bindlock, RW_READER);
    mutex_enter(&sip->captureMutex);
    while (n < MOVE_BATCH) {
        if (*pBack == COPY_BATCH) { /* the next frame may have to be given back too */
            *pEnd = PASS_BACK_FULL;
            break;
        }
        U32 length = 0;
        const StagedPacketInfo *head = staging_head(sip, &length);
        if (head == nullptr) {
            *pEnd = PASS_DONE;
            break;
        }
        StagedFrame f;
        memcpy(&f.spi, head, sizeof(f.spi));
        measure(sip, &f);
        const StagedFate fate = fate_of(sip, &f);
        if (fate == FATE_WAIT) {
            *pEnd = PASS_DONE;
            break;
        }
        if (!take_staged(sip))
            continue;

        BindingInfo *bip =
            fate == FATE_MOVE ? find_open_binding_locked(f.spi.pktQueue, nullptr) : nullptr;
        if (fate == FATE_GIVE_BACK || bip == nullptr) {
            report_give_back(&f, fate);
            back[(*pBack)++] = GiveBack{f.spi.pktQueue, f.spi.pktMblk};
            NVX_ATOMIC_ADD(&sip->ulPacketsLost, 1u);
            nvx_count_released(sip, 1);
            continue;
        }

        HeldFrame rec;
        memset(&rec, 0, sizeof(rec));
        rec.pktMblk = f.spi.pktMblk;
        rec.pktQueue = f.spi.pktQueue;
        rec.bip = bip;
        rec.ulSequence = f.spi.sequence;
        rec.nDirection = f.spi.nDirection;
        rec.ulBlobLength = f.blobLength;
        moved[n].f = f;
        moved[n].bip = bip;
        moved[n].blob = frames_push(sf, &rec); /* fits: checked above, frameMutex held since */
        n++;
    }
    mutex_exit(&sip->captureMutex);
    rw_exit(&nvx_bindlock);
    return n;
}

/*
 * One pass under frameMutex. Frames to give back are collected in back[]; returns 1 when the
 * pass stopped only because back[] is full (the caller passes them on and calls again).
 */
static int move_pass(SessionInfo *sip, int *pMoved, GiveBack *back, int *pBack)
{
    SessionFrames *sf = sip->pFrames;
    S64 bytes = 0;
    PassEnd end = PASS_GOES_ON;
    mutex_enter(&sip->frameMutex);
    if (sf->bStale && sf->ulCount == 0)
        nvx_reset_region_locked(sip);
    while (end == PASS_GOES_ON) {
        MovedFrame moved[MOVE_BATCH];
        const int n = take_batch(sip, moved, back, pBack, &end);
        for (int i = 0; i < n; i++)
            bytes += write_record(&moved[i].f, moved[i].bip, moved[i].blob);
        U32 *count = &sip->pRcvBuffer->packetCount;
        rb_store(count, rb_load(count) + static_cast<U32>(n));
        *pMoved += n;
    }
    mutex_exit(&sip->frameMutex);
    mutex_enter(&sip->captureMutex);
    sip->ulBytesCaptured += bytes;
    mutex_exit(&sip->captureMutex);
    return end == PASS_BACK_FULL;
}

int copy_packet_buffer(GlobalInfo *gip, SessionInfo *sip)
{
    (void)gip; /* the adapter: kept in the interface for its callers */
    int moved = 0;
    for (;;) {
        GiveBack back[COPY_BATCH];
        int nBack = 0;
        const int again = move_pass(sip, &moved, back, &nBack);
        for (int i = 0; i < nBack; i++)
            (void)nvx_pass_on(back[i].q, back[i].mp, nullptr);
        if (!again)
            return moved;
    }
}
