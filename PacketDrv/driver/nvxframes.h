/*
 * The session's own record of the frames it moved into the shared packet queue, and the
 * driver's side of that queue.
 *
 * The capture region is writable by the reader, so the driver never takes a pointer, an offset
 * or a length from it. Instead it keeps here, in kernel memory:
 *   - every frame record it enqueued, oldest first: the held message, its queue and binding,
 *     its sequence number and where its entry and blob lie in the queue;
 *   - a private copy of the queue descriptor as the driver last wrote it (`shadow`).
 * Enqueues and releases are computed on this private state with the placement rules of the
 * two-phase circular queue (CircularQueue.cpp) and only their results are written into the
 * region, at offsets that come from here. The region's queue thus stays a valid two-phase
 * queue that the library reads with the shared code, while nothing the reader writes can steer
 * a driver access outside the region.
 *
 * What the reader legitimately changes between two read requests is the intermediate head, the
 * final head and the two counts (its intermediate dequeues). frames_sync_reader accepts exactly
 * the descriptors that some number of intermediate dequeues would leave, and nothing else.
 *
 * Lock key: i set at creation; f SessionInfo.frameMutex. The caller holds frameMutex around
 * every call except frames_alloc and frames_free.
 */
#ifndef NVX_DRIVER_NVXFRAMES_H
#define NVX_DRIVER_NVXFRAMES_H

#include "CircularQueue.h"
#include "nvx.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One frame record the driver moved into the region. */
typedef struct HeldFrame {
    mblk_t *pktMblk;   /* the held message, control block included */
    queue_t *pktQueue; /* the queue it was taken on */
    BindingInfo *bip;  /* that queue's binding when the frame was moved in */
    S32 ulSequence;    /* capture sequence number */
    S32 nDirection;    /* DIR_INBOUND or DIR_OUTBOUND */
    U32 ulEntryOffset; /* its QueueEntry in the shared packet queue */
    U32 ulBlobOffset;  /* its blob (PacketInfo, PACKET_BUFFER, bytes) */
    U32 ulBlobLength;
} HeldFrame;

typedef struct SessionFrames {
    BYTE *pQueue;           /* i: the shared packet queue (region + 384) */
    U32 ulQueueLength;      /* i: its length, RcvBufferSize - 384 */
    U32 ulCapacity;         /* i: records pRecords holds */
    U32 ulFirst;            /* f: ring index of the oldest record */
    U32 ulCount;            /* f: records held */
    U32 bStale;             /* f: records were disposed of outside a read request; the region's
                             *    queue no longer matches and must be re-initialised */
    U32 ulLowestBlobOffset; /* f: blob offset of the entry shadow.ulLowestBlobEntry names */
    QueueDescriptor shadow; /* f: the descriptor as the driver last wrote it */
    HeldFrame *pRecords;    /* i: ulCapacity records, a ring, right behind this record */
} SessionFrames;

/*
 * frames_alloc - the record for a queue of ulQueueLength bytes at pQueue, room for ulCapacity
 *   frames
 * Context: process context; kmem_zalloc without sleeping.
 * Return values: the record (not yet reset: call frames_reset), or NULL when ulCapacity is 0 or
 *   the allocation failed.
 */
SessionFrames *frames_alloc(void *pQueue, U32 ulQueueLength, U32 ulCapacity);
void frames_free(SessionFrames *sf);

/*
 * frames_reset - (re-)initialise the region's queue and forget every record
 * Description: the caller has disposed of the held messages. Only the 48 descriptor bytes of
 *   the region are written.
 * Return values: the code of InitializeCircularQueue.
 */
U32 frames_reset(SessionFrames *sf);

/*
 * frames_sync_reader - check the region's descriptor against the records, and take over the
 *   reader's intermediate dequeues
 * Description: one copy of the descriptor is taken; it is accepted only when it equals the
 *   driver's last descriptor advanced by k intermediate dequeues, for some k from 0 to the
 *   number of unread records. The region is not written.
 * Return values: 1 accepted (*pulTaken = records the reader holds, all of which are the oldest);
 *   0 anything else (corrupted region, or a stale record: see bStale).
 */
int frames_sync_reader(SessionFrames *sf, U32 *pulTaken);

/*
 * frames_peek_taken - as frames_sync_reader, without taking anything over (for flushes outside
 *   a read request, which must not change the driver's view of the descriptor).
 */
int frames_peek_taken(const SessionFrames *sf, U32 *pulTaken);

/*
 * frames_fits - 1 when a blob of ulBlobLength bytes can be enqueued now (room in the queue by
 *   its placement rules, and a free record), else 0.
 */
int frames_fits(const SessionFrames *sf, U32 ulBlobLength);

/*
 * frames_empty_fits - 1 when a blob of ulBlobLength bytes would fit the empty queue (blob, its
 *   entry and the descriptor), else 0: a longer frame can never be moved in.
 */
int frames_empty_fits(const SessionFrames *sf, U32 ulBlobLength);

/*
 * frames_push - enqueue a blob for the frame described by rec (its offsets are filled in)
 * Description: writes the entry and the descriptor into the region; the blob's bytes are the
 *   caller's to write.
 * Return values: the blob's address in the region, or NULL when frames_fits is 0.
 */
BYTE *frames_push(SessionFrames *sf, HeldFrame *rec);

/*
 * frames_release_taken - final-dequeue the oldest record the reader holds
 * Description: writes the descriptor into the region (a read request only).
 * Return values: 1 with the record in *out; 0 when the reader holds none.
 */
int frames_release_taken(SessionFrames *sf, HeldFrame *out);

/*
 * frames_take_oldest - forget the oldest record without touching the region (flushes); the
 *   region's queue is marked stale.
 * Return values: 1 with the record in *out; 0 when there is none.
 */
int frames_take_oldest(SessionFrames *sf, HeldFrame *out);

/*
 * frames_largest_free - CircularQueueLargestFreeBlock of the driver's view of the queue
 * Return values: PACKET_SUCCESS with the size in *pulLength; PACKETERR_D_BAD_PARMS while the
 *   region's queue is stale.
 */
U32 frames_largest_free(const SessionFrames *sf, U32 *pulLength);

/* Address in the region of a held frame's PacketInfo and PACKET_BUFFER. */
static inline PacketInfo *frames_info(const SessionFrames *sf, const HeldFrame *rec)
{
    return reinterpret_cast<PacketInfo *>(sf->pQueue + rec->ulBlobOffset);
}
static inline PACKET_BUFFER *frames_buffer(const SessionFrames *sf, const HeldFrame *rec)
{
    return reinterpret_cast<PACKET_BUFFER *>(sf->pQueue + rec->ulBlobOffset + sizeof(PacketInfo));
}

#ifdef __cplusplus
}
#endif

#endif /* NVX_DRIVER_NVXFRAMES_H */
