/*
 * The driver's side of the shared packet queue, computed on kernel memory only (nvxframes.h).
 *
 * The placement rules are those of CircularQueueEnqueue and CircularQueueDequeueFinal
 * (CircularQueue.cpp), applied to the private descriptor `shadow` and to the records, which
 * know every entry's offset and its blob: the head entry is the oldest record, the tail entry
 * the newest, and the lowest blob is remembered in ulLowestBlobOffset. The region then receives
 * exactly the entry and descriptor bytes that the shared code would have written, so the
 * library's intermediate dequeues see an ordinary queue.
 *
 * Context: the read request (process context) and flushes; frameMutex held (see the header).
 */
#include "nvxframes.h"

#include <sys/kmem.h>

#include <string.h>

static const U32 FIRST_ENTRY = CQ_DESCRIPTOR_SIZE;

static size_t frames_bytes(U32 ulCapacity)
{
    return sizeof(SessionFrames) + static_cast<size_t>(ulCapacity) * sizeof(HeldFrame);
}

/* Record i (0 = oldest) of the ring. */
static HeldFrame *record(const SessionFrames *sf, U32 i)
{
    return &sf->pRecords[(sf->ulFirst + i) % sf->ulCapacity];
}

static void publish(SessionFrames *sf)
{
    memcpy(sf->pQueue, &sf->shadow, sizeof(sf->shadow));
}

SessionFrames *frames_alloc(void *pQueue, U32 ulQueueLength, U32 ulCapacity)
{
    if (ulCapacity == 0)
        return nullptr;
    void *mem = kmem_zalloc(frames_bytes(ulCapacity), KM_NOSLEEP);
    if (mem == nullptr)
        return nullptr;
    SessionFrames *sf = static_cast<SessionFrames *>(mem);
    static_assert(sizeof(SessionFrames) % alignof(HeldFrame) == 0, "records follow the header");
    sf->pRecords = reinterpret_cast<HeldFrame *>(sf + 1);
    sf->pQueue = static_cast<BYTE *>(pQueue);
    sf->ulQueueLength = ulQueueLength;
    sf->ulCapacity = ulCapacity;
    return sf;
}

void frames_free(SessionFrames *sf)
{
    if (sf != nullptr)
        kmem_free(sf, frames_bytes(sf->ulCapacity));
}

U32 frames_reset(SessionFrames *sf)
{
    sf->ulFirst = 0;
    sf->ulCount = 0;
    sf->bStale = 0;
    sf->ulLowestBlobOffset = 0;
    memset(&sf->shadow, 0, sizeof(sf->shadow));
    sf->shadow.ulLength = sf->ulQueueLength;
    return InitializeCircularQueue(sf->pQueue, sf->ulQueueLength);
}

/*
 * The descriptor the reader leaves after ulMore more intermediate dequeues from the driver's
 * last one (ulMore <= the unread records).
 */
static void advanced_by(const SessionFrames *sf, U32 ulMore, QueueDescriptor *out)
{
    *out = sf->shadow;
    const U32 taken = sf->shadow.ulFinalCount + ulMore;
    out->ulIntermediateCount -= ulMore;
    out->ulFinalCount = taken;
    out->ulIntermediateHead = taken < sf->ulCount ? record(sf, taken)->ulEntryOffset : 0;
    out->ulFinalHead = taken > 0 ? record(sf, 0)->ulEntryOffset : 0;
}

static int check_reader(const SessionFrames *sf, QueueDescriptor *pAccepted, U32 *pulTaken)
{
    if (sf->bStale)
        return 0;
    QueueDescriptor seen;
    memcpy(&seen, sf->pQueue, sizeof(seen)); /* one read of the reader-writable bytes */
    if (seen.ulIntermediateCount > sf->shadow.ulIntermediateCount)
        return 0;
    advanced_by(sf, sf->shadow.ulIntermediateCount - seen.ulIntermediateCount, pAccepted);
    if (memcmp(&seen, pAccepted, sizeof(seen)) != 0)
        return 0;
    *pulTaken = pAccepted->ulFinalCount;
    return 1;
}

int frames_sync_reader(SessionFrames *sf, U32 *pulTaken)
{
    QueueDescriptor accepted;
    if (!check_reader(sf, &accepted, pulTaken))
        return 0;
    sf->shadow = accepted;
    return 1;
}

int frames_peek_taken(const SessionFrames *sf, U32 *pulTaken)
{
    QueueDescriptor accepted;
    return check_reader(sf, &accepted, pulTaken);
}

/* GetNextFreeDataPtr on the private state. */
static int place_blob(const SessionFrames *sf, U32 ulLength, U32 *pulBlob)
{
    const QueueDescriptor *d = &sf->shadow;
    const S64 length = ulLength;
    if (d->ulQueueTail == 0) {
        if (length > S64{d->ulLength} - FIRST_ENTRY - CQ_QUEUE_ENTRY_SIZE)
            return 0;
        *pulBlob = d->ulLength - ulLength;
        return 1;
    }
    const HeldFrame *head = record(sf, 0);
    const HeldFrame *tail = record(sf, sf->ulCount - 1);
    const S64 headBlobEnd = S64{head->ulBlobOffset} + head->ulBlobLength;
    S64 candidate = S64{tail->ulBlobOffset} - length;
    if (tail->ulBlobOffset > head->ulBlobOffset) {
        if (candidate < headBlobEnd)
            return 0;
    } else if (candidate < S64{d->ulHighestQueueEntry} + CQ_QUEUE_ENTRY_SIZE) {
        candidate = S64{d->ulLength} - length;
        if (candidate < headBlobEnd)
            return 0;
    }
    *pulBlob = static_cast<U32>(candidate);
    return 1;
}

/* GetNextFreeQueuePtr on the private state. */
static int place_entry(const SessionFrames *sf, U32 ulBlob, U32 *pulEntry)
{
    const QueueDescriptor *d = &sf->shadow;
    if (d->ulQueueTail == 0) {
        *pulEntry = FIRST_ENTRY;
        return 1;
    }
    const U64 nextSlotEnd = U64{d->ulQueueTail} + 2 * CQ_QUEUE_ENTRY_SIZE;
    if (d->ulQueueTail < d->ulQueueHead) {
        if (nextSlotEnd > d->ulQueueHead)
            return 0;
        *pulEntry = d->ulQueueTail + CQ_QUEUE_ENTRY_SIZE;
        return 1;
    }
    const U32 limit = sf->ulLowestBlobOffset < ulBlob ? sf->ulLowestBlobOffset : ulBlob;
    if (nextSlotEnd <= limit) {
        *pulEntry = d->ulQueueTail + CQ_QUEUE_ENTRY_SIZE;
        return 1;
    }
    if (FIRST_ENTRY + CQ_QUEUE_ENTRY_SIZE <= d->ulQueueHead) {
        *pulEntry = FIRST_ENTRY;
        return 1;
    }
    return 0;
}

/* The enqueue's quick test and both placements; 0 when any of them refuses. */
static int place(const SessionFrames *sf, U32 ulLength, U32 *pulBlob, U32 *pulEntry)
{
    const QueueDescriptor *d = &sf->shadow;
    if (ulLength == 0 || sf->ulCount >= sf->ulCapacity)
        return 0;
    const U32 ulFree = d->ulLength - d->ulTotalDataBytes - CQ_QUEUE_ENTRY_SIZE * d->ulEntryCount -
                       CQ_DESCRIPTOR_SIZE;
    if (U64{ulFree} < U64{ulLength} + CQ_QUEUE_ENTRY_SIZE)
        return 0;
    return place_blob(sf, ulLength, pulBlob) && place_entry(sf, *pulBlob, pulEntry);
}

int frames_fits(const SessionFrames *sf, U32 ulBlobLength)
{
    U32 blob, entry;
    return !sf->bStale && place(sf, ulBlobLength, &blob, &entry);
}

int frames_empty_fits(const SessionFrames *sf, U32 ulBlobLength)
{
    return ulBlobLength != 0 &&
           U64{ulBlobLength} + CQ_QUEUE_ENTRY_SIZE + CQ_DESCRIPTOR_SIZE <= sf->ulQueueLength;
}

BYTE *frames_push(SessionFrames *sf, HeldFrame *rec)
{
    U32 blob, entry;
    if (sf->bStale || !place(sf, rec->ulBlobLength, &blob, &entry))
        return nullptr;
    QueueDescriptor *d = &sf->shadow;
    QueueEntry e = {blob, rec->ulBlobLength};
    memcpy(sf->pQueue + entry, &e, sizeof(e));

    if (entry > d->ulHighestQueueEntry)
        d->ulHighestQueueEntry = entry;
    d->ulQueueTail = entry;
    if (d->ulQueueHead == 0) {
        d->ulQueueHead = entry;
        d->ulIntermediateHead = entry;
        d->ulLowestBlobEntry = entry;
        sf->ulLowestBlobOffset = blob;
    } else {
        if (d->ulIntermediateHead == 0)
            d->ulIntermediateHead = entry;
        if (blob < sf->ulLowestBlobOffset) {
            d->ulLowestBlobEntry = entry;
            sf->ulLowestBlobOffset = blob;
        }
    }
    d->ulIntermediateCount++;
    d->ulEntryCount++;
    d->ulTotalDataBytes += rec->ulBlobLength;

    rec->ulEntryOffset = entry;
    rec->ulBlobOffset = blob;
    *record(sf, sf->ulCount) = *rec;
    sf->ulCount++;
    publish(sf);
    return sf->pQueue + blob;
}

/* GetNextQueuePtr on the private descriptor, for an entry that is held. */
static U32 next_entry(const QueueDescriptor *d, U32 off)
{
    if (off < d->ulQueueTail)
        return off + CQ_QUEUE_ENTRY_SIZE;
    if (off == d->ulQueueTail)
        return 0;
    if (off >= d->ulHighestQueueEntry)
        return FIRST_ENTRY;
    return off + CQ_QUEUE_ENTRY_SIZE;
}

static void forget_oldest(SessionFrames *sf, HeldFrame *out)
{
    *out = *record(sf, 0);
    sf->ulFirst = (sf->ulFirst + 1) % sf->ulCapacity;
    sf->ulCount--;
}

int frames_release_taken(SessionFrames *sf, HeldFrame *out)
{
    QueueDescriptor *d = &sf->shadow;
    if (sf->bStale || d->ulFinalCount == 0 || sf->ulCount == 0)
        return 0;
    const U32 released = d->ulFinalHead;
    const U32 releasedLength = record(sf, 0)->ulBlobLength;
    d->ulFinalCount--;
    d->ulEntryCount--;
    d->ulTotalDataBytes -= releasedLength;
    forget_oldest(sf, out);

    const U32 next = next_entry(d, released);
    if (next == 0) {
        d->ulFinalHead = 0;
        d->ulLowestBlobEntry = 0;
        d->ulHighestQueueEntry = 0;
        d->ulQueueTail = 0;
        d->ulQueueHead = 0;
        sf->ulLowestBlobOffset = 0;
    } else {
        if (released == d->ulLowestBlobEntry) {
            d->ulLowestBlobEntry = d->ulQueueTail;
            sf->ulLowestBlobOffset = record(sf, sf->ulCount - 1)->ulBlobOffset;
        }
        if (next == FIRST_ENTRY)
            d->ulHighestQueueEntry = d->ulQueueTail;
        if (next == d->ulIntermediateHead) {
            d->ulFinalHead = 0;
            d->ulQueueHead = d->ulIntermediateHead;
        } else {
            d->ulQueueHead = next;
            d->ulFinalHead = next;
        }
    }
    publish(sf);
    return 1;
}

int frames_take_oldest(SessionFrames *sf, HeldFrame *out)
{
    if (sf->ulCount == 0)
        return 0;
    forget_oldest(sf, out);
    sf->bStale = 1;
    return 1;
}

U32 frames_largest_free(const SessionFrames *sf, U32 *pulLength)
{
    if (sf->bStale)
        return PACKETERR_D_BAD_PARMS;
    const QueueDescriptor *d = &sf->shadow;
    if (d->ulQueueHead == 0 || sf->ulCount == 0) {
        *pulLength = d->ulLength - CQ_DESCRIPTOR_SIZE;
        return PACKET_SUCCESS;
    }
    const HeldFrame *head = record(sf, 0);
    const HeldFrame *tail = record(sf, sf->ulCount - 1);
    const U32 below = sf->ulLowestBlobOffset - d->ulHighestQueueEntry - CQ_QUEUE_ENTRY_SIZE;
    const U32 top = tail->ulBlobOffset > head->ulBlobOffset ? tail->ulBlobOffset : d->ulLength;
    const U32 above = top - head->ulBlobOffset - head->ulBlobLength;
    *pulLength = below > above ? below : above;
    return PACKET_SUCCESS;
}
