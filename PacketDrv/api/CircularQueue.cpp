/*
 * Two-phase circular queue (layout and contract in CircularQueue.h).
 *
 * Compiled twice: into the nvx kernel object (with _KERNEL) and into libnvxapi. It is plain
 * kernel code either way: no allocation, no exceptions, nothing from the C library beyond
 * memcpy and memset, and no state outside the caller's buffer.
 *
 * Placement rules that the functions below keep:
 * - Entries form a ring of 8-byte slots from 48 upward. The ring is wrapped when ulQueueTail <
 *   ulQueueHead; entries then lie from ulQueueHead to ulHighestQueueEntry and from 48 to
 *   ulQueueTail. Unwrapped, ulHighestQueueEntry equals ulQueueTail.
 * - Blobs are placed downward from ulLength, each directly below the previous one, until there
 *   is no room above the entry ring; the next one then goes back at the end, above the head
 *   blob (the data pool is wrapped while the tail blob lies above the head blob).
 * - Every blob lies above the end of the highest entry, so the entry ring and the blobs never
 *   overlap. A placement that finds no room changes nothing.
 *
 * Tracing goes through _dlprintf at level 64; the dumps print with _dprintf.
 */
#include "CircularQueue.h"

#include <string.h>

#include "debug.h"

namespace
{

constexpr U32 CQ_TRACE_LEVEL = 64;
constexpr U32 CQ_FIRST_ENTRY = CQ_DESCRIPTOR_SIZE;

inline U32 min(U32 a, U32 b)
{
    return a < b ? a : b;
}
inline U32 max(U32 a, U32 b)
{
    return a > b ? a : b;
}

/* The buffer address as the trace messages print it ("0x%x", a 32-bit conversion). */
inline unsigned traceAddress(const void *pBuffer)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(pBuffer));
}

inline QueueDescriptor *descriptorOf(void *pBuffer)
{
    return static_cast<QueueDescriptor *>(pBuffer);
}

inline const QueueDescriptor *descriptorOf(const void *pBuffer)
{
    return static_cast<const QueueDescriptor *>(pBuffer);
}

/* The entry at a queue offset; the offset must be one the queue placed (48 + 8k). */
inline QueueEntry *entryAt(void *pBuffer, U32 ulOffset)
{
    return reinterpret_cast<QueueEntry *>(static_cast<BYTE *>(pBuffer) + ulOffset);
}

inline void *blobAt(void *pBuffer, U32 ulOffset)
{
    return static_cast<BYTE *>(pBuffer) + ulOffset;
}

/* True when ulOffset names an entry held in the queue (alignment is not checked). */
bool IsValidQueueOffset(const void *pBuffer, U32 ulOffset)
{
    if (pBuffer == nullptr || ulOffset == 0)
        return false;
    const QueueDescriptor *pDesc = descriptorOf(pBuffer);
    if (pDesc->ulQueueTail >= pDesc->ulQueueHead)
        return pDesc->ulQueueHead <= ulOffset && ulOffset <= pDesc->ulQueueTail;
    return (pDesc->ulQueueHead <= ulOffset && ulOffset <= pDesc->ulHighestQueueEntry) ||
           (CQ_FIRST_ENTRY <= ulOffset && ulOffset <= pDesc->ulQueueTail);
}

/* The entry after ulOffset in ring order; 0 after the tail or for an offset not held. */
U32 GetNextQueuePtr(const void *pBuffer, U32 ulOffset)
{
    if (!IsValidQueueOffset(pBuffer, ulOffset))
        return 0;
    const QueueDescriptor *pDesc = descriptorOf(pBuffer);
    if (ulOffset < pDesc->ulQueueTail)
        return ulOffset + CQ_QUEUE_ENTRY_SIZE;
    if (ulOffset == pDesc->ulQueueTail)
        return 0;
    /* Upper part of a wrapped ring. */
    if (ulOffset >= pDesc->ulHighestQueueEntry)
        return CQ_FIRST_ENTRY;
    return ulOffset + CQ_QUEUE_ENTRY_SIZE;
}

/* The newest entry of the final queue; 0 when the final queue is empty. */
U32 CalculateFinalTail(const void *pBuffer)
{
    const QueueDescriptor *pDesc = descriptorOf(pBuffer);
    if (pDesc->ulFinalHead == 0)
        return 0;
    if (pDesc->ulIntermediateHead == 0)
        return pDesc->ulQueueTail;
    if (pDesc->ulIntermediateHead == CQ_FIRST_ENTRY && pDesc->ulQueueTail < pDesc->ulQueueHead)
        return pDesc->ulHighestQueueEntry;
    return pDesc->ulIntermediateHead - CQ_QUEUE_ENTRY_SIZE;
}

/*
 * Finds room for a blob of ulLength bytes. Candidates are computed signed and wide, so a
 * candidate below the buffer start fails every test instead of wrapping around.
 * Returns true with the blob offset in *pulBlobOffset, or false when there is no room.
 */
bool GetNextFreeDataPtr(void *pBuffer, U32 ulLength, U32 *pulBlobOffset)
{
    QueueDescriptor *pDesc = descriptorOf(pBuffer);
    const S64 length = ulLength;

    if (pDesc->ulQueueTail == 0) {
        /* Empty: the blob goes at the end, leaving room for the descriptor and one entry. */
        if (length > S64{pDesc->ulLength} - CQ_FIRST_ENTRY - CQ_QUEUE_ENTRY_SIZE)
            return false;
        *pulBlobOffset = pDesc->ulLength - ulLength;
        return true;
    }

    const QueueEntry *pHead = entryAt(pBuffer, pDesc->ulQueueHead);
    const QueueEntry *pTail = entryAt(pBuffer, pDesc->ulQueueTail);
    const S64 headBlobEnd = S64{pHead->ulOffset} + pHead->ulLength;
    S64 candidate = S64{pTail->ulOffset} - length;

    if (pTail->ulOffset > pHead->ulOffset) {
        /* Data pool wrapped: the free gap lies between the head blob and the tail blob. */
        if (candidate < headBlobEnd) {
            _dlprintf(CQ_TRACE_LEVEL,
                      "GetNextFreeDataPtr:  Insufficient space in buffer 0x%x for new data.\n",
                      traceAddress(pBuffer));
            return false;
        }
    } else if (candidate < S64{pDesc->ulHighestQueueEntry} + CQ_QUEUE_ENTRY_SIZE) {
        /* No room above the entry ring: wrap to the end of the buffer, above the head blob. */
        _dlprintf(CQ_TRACE_LEVEL, "GetNextFreeDataPtr:  Data pool for buffer 0x%x has wrapped.\n",
                  traceAddress(pBuffer));
        candidate = S64{pDesc->ulLength} - length;
        if (candidate < headBlobEnd) {
            _dlprintf(CQ_TRACE_LEVEL,
                      "GetNextFreeDataPtr:  Insufficient space in buffer 0x%x for new data.\n",
                      traceAddress(pBuffer));
            return false;
        }
    }
    *pulBlobOffset = static_cast<U32>(candidate);
    return true;
}

/*
 * Finds a slot for the entry of a blob placed at ulBlobOffset (not yet recorded anywhere).
 * Returns true with the entry offset in *pulEntryOffset, or false when there is no room.
 */
bool GetNextFreeQueuePtr(void *pBuffer, U32 ulBlobOffset, U32 *pulEntryOffset)
{
    QueueDescriptor *pDesc = descriptorOf(pBuffer);

    if (pDesc->ulQueueTail == 0) {
        *pulEntryOffset = CQ_FIRST_ENTRY;
        return true;
    }

    /* Wide arithmetic: the slot end must not wrap around 2^32. */
    const U64 nextSlotEnd = U64{pDesc->ulQueueTail} + 2 * CQ_QUEUE_ENTRY_SIZE;

    if (pDesc->ulQueueTail < pDesc->ulQueueHead) {
        /* Ring wrapped: the free slots lie between the tail and the head. */
        if (nextSlotEnd > pDesc->ulQueueHead) {
            _dlprintf(CQ_TRACE_LEVEL,
                      "GetNextFreeQueuePtr:  Insufficient space in buffer 0x%x for new data queue "
                      "entry.\n",
                      traceAddress(pBuffer));
            return false;
        }
        *pulEntryOffset = pDesc->ulQueueTail + CQ_QUEUE_ENTRY_SIZE;
        return true;
    }

    /* Unwrapped: the slot above the tail must end below every blob, the new one included. */
    const U32 limit = min(entryAt(pBuffer, pDesc->ulLowestBlobEntry)->ulOffset, ulBlobOffset);
    if (nextSlotEnd <= limit) {
        *pulEntryOffset = pDesc->ulQueueTail + CQ_QUEUE_ENTRY_SIZE;
        return true;
    }
    _dlprintf(CQ_TRACE_LEVEL, "GetNextFreeQueuePtr:  queue pool for buffer 0x%x has wrapped.\n",
              traceAddress(pBuffer));
    if (CQ_FIRST_ENTRY + CQ_QUEUE_ENTRY_SIZE <= pDesc->ulQueueHead) {
        *pulEntryOffset = CQ_FIRST_ENTRY;
        return true;
    }
    _dlprintf(CQ_TRACE_LEVEL,
              "GetNextFreeQueuePtr:  After wraparound of buffer 0x%x, insufficient space for new "
              "queue entry.\n",
              traceAddress(pBuffer));
    return false;
}

/* Moves the intermediate head's entry to the final queue. The intermediate queue is not empty. */
void AdvanceIntermediateHead(void *pBuffer)
{
    QueueDescriptor *pDesc = descriptorOf(pBuffer);

    if (pDesc->ulFinalHead == 0)
        pDesc->ulFinalHead = pDesc->ulIntermediateHead;
    pDesc->ulIntermediateHead = GetNextQueuePtr(pBuffer, pDesc->ulIntermediateHead);
    if (pDesc->ulIntermediateHead == CQ_FIRST_ENTRY)
        _dlprintf(CQ_TRACE_LEVEL,
                  "AdvanceIntermediateHead:  The intermediate queue for buffer 0x%x has wrapped.\n",
                  traceAddress(pBuffer));
    else if (pDesc->ulIntermediateHead == 0)
        _dlprintf(CQ_TRACE_LEVEL,
                  "AdvanceIntermediateHead:  Last blob dequeued; the intermediate queue for buffer "
                  "0x%x is now empty.\n",
                  traceAddress(pBuffer));
    pDesc->ulIntermediateCount--;
    pDesc->ulFinalCount++;
}

/* Releases the final head's entry and its blob. The final queue is not empty. */
void AdvanceFinalHead(void *pBuffer)
{
    QueueDescriptor *pDesc = descriptorOf(pBuffer);
    const U32 released = pDesc->ulFinalHead;

    pDesc->ulFinalCount--;
    pDesc->ulEntryCount--;
    pDesc->ulTotalDataBytes -= entryAt(pBuffer, released)->ulLength;

    const U32 next = GetNextQueuePtr(pBuffer, released);
    if (next == 0) {
        /* The released entry was the tail: the queue is empty, every offset back to 0. */
        pDesc->ulFinalHead = 0;
        pDesc->ulLowestBlobEntry = 0;
        pDesc->ulHighestQueueEntry = 0;
        pDesc->ulQueueTail = 0;
        pDesc->ulQueueHead = 0;
        _dlprintf(CQ_TRACE_LEVEL,
                  "AdvanceFinalHead:  released last entry; queue for buffer 0x%x is now empty.\n",
                  traceAddress(pBuffer));
        return;
    }

    /* Releases are FIFO: once the lowest blob is gone, the newest blob is the lowest. */
    if (released == pDesc->ulLowestBlobEntry)
        pDesc->ulLowestBlobEntry = pDesc->ulQueueTail;

    /*
     * A head that moves to 48 leaves the upper part of a wrapped ring empty: the ring is no
     * longer wrapped and its highest entry is the tail again. This holds whether or not the
     * final queue runs empty here (the intermediate head may have wrapped first); keeping a
     * stale highest entry would hide the slots above the tail from every later placement.
     */
    if (next == CQ_FIRST_ENTRY)
        pDesc->ulHighestQueueEntry = pDesc->ulQueueTail;

    if (next == pDesc->ulIntermediateHead) {
        pDesc->ulFinalHead = 0;
        pDesc->ulQueueHead = pDesc->ulIntermediateHead;
        _dlprintf(CQ_TRACE_LEVEL,
                  "AdvanceFinalHead:  Released last entry; final queue for buffer 0x%x is now "
                  "empty.\n",
                  traceAddress(pBuffer));
        return;
    }
    pDesc->ulQueueHead = next;
    pDesc->ulFinalHead = next;
    if (next == CQ_FIRST_ENTRY)
        _dlprintf(CQ_TRACE_LEVEL,
                  "AdvanceFinalHead:  The final queue for buffer 0x%x has wrapped.\n",
                  traceAddress(pBuffer));
}

/* Dumps the entry at ulOffset. PACKETERR_D_BAD_PARMS, printing nothing, if it is not held. */
U32 DumpQueueEntry(void *pBuffer, U32 ulOffset, DumpFunction pFunction)
{
    if (!IsValidQueueOffset(pBuffer, ulOffset))
        return PACKETERR_D_BAD_PARMS;
    const QueueEntry *pEntry = entryAt(pBuffer, ulOffset);
    _dprintf("Queue offset %u:  data offset = %u; length = %u.\n", ulOffset, pEntry->ulOffset,
             pEntry->ulLength);
    if (pFunction != nullptr)
        pFunction(blobAt(pBuffer, pEntry->ulOffset));
    return PACKET_SUCCESS;
}

/* Dumps ulStart through ulEnd in ring order; stops at the first entry that is not held. */
void DumpQueueEntries(void *pBuffer, U32 ulStart, U32 ulEnd, DumpFunction pFunction)
{
    U32 ulOffset = ulStart;
    while (ulOffset != 0) {
        if (DumpQueueEntry(pBuffer, ulOffset, pFunction) != PACKET_SUCCESS)
            return;
        if (ulOffset == ulEnd)
            return;
        ulOffset = GetNextQueuePtr(pBuffer, ulOffset);
    }
}

} // namespace

extern "C" {

U32 InitializeCircularQueue(void *pBuffer, U32 ulLength)
{
    if (pBuffer == nullptr || ulLength <= CQ_DESCRIPTOR_SIZE) {
        _dlprintf(CQ_TRACE_LEVEL, "InitializeCircularQueue:  invalid argument.\n");
        return PACKETERR_D_BAD_PARMS;
    }
    QueueDescriptor *pDesc = descriptorOf(pBuffer);
    memset(pDesc, 0, sizeof(*pDesc));
    pDesc->ulLength = ulLength;
    _dlprintf(CQ_TRACE_LEVEL,
              "InitializeCircularQueue:  Initialized circular queue 0x%x of size %u; descriptor "
              "size = %u; queue entry size = %u.\n",
              traceAddress(pBuffer), ulLength, CQ_DESCRIPTOR_SIZE, CQ_QUEUE_ENTRY_SIZE);
    return PACKET_SUCCESS;
}

U32 CircularQueueEnqueue(void *pBuffer, const void *pDataIn, U32 ulLength, void **ppQueuedData)
{
    if (pBuffer == nullptr || ulLength == 0)
        return PACKETERR_D_BAD_PARMS;
    QueueDescriptor *pDesc = descriptorOf(pBuffer);

    _dlprintf(CQ_TRACE_LEVEL,
              "CircularQueueEnqueue:  Adding data blob of length %u to buffer 0x%x.\n", ulLength,
              traceAddress(pBuffer));

    /*
     * Quick test: the bytes not yet taken by blobs and entries (32-bit arithmetic, as the
     * descriptor keeps them) against the blob and its entry. The right side is computed wide
     * so that a length near 2^32 cannot wrap to a small need and slip through.
     */
    const U32 ulFree = pDesc->ulLength - pDesc->ulTotalDataBytes -
                       CQ_QUEUE_ENTRY_SIZE * pDesc->ulEntryCount - CQ_DESCRIPTOR_SIZE;
    if (U64{ulFree} < U64{ulLength} + CQ_QUEUE_ENTRY_SIZE) {
        _dlprintf(CQ_TRACE_LEVEL, "CircularQueueEnqueue:  Insufficient space for new data.\n");
        return PACKETERR_NO_MEMORY;
    }

    U32 ulBlobOffset = 0;
    if (!GetNextFreeDataPtr(pBuffer, ulLength, &ulBlobOffset)) {
        _dlprintf(CQ_TRACE_LEVEL, "CircularQueueEnqueue:  Failure in data allocation; insufficient "
                                  "space for new data blob.\n");
        return PACKETERR_NO_MEMORY;
    }
    U32 ulEntryOffset = 0;
    if (!GetNextFreeQueuePtr(pBuffer, ulBlobOffset, &ulEntryOffset)) {
        _dlprintf(CQ_TRACE_LEVEL, "CircularQueueEnqueue:  Failure in queue entry allocation; "
                                  "insufficient space for new entry.\n");
        return PACKETERR_NO_MEMORY;
    }

    /* From here on the enqueue cannot fail. */
    QueueEntry *pEntry = entryAt(pBuffer, ulEntryOffset);
    pEntry->ulOffset = ulBlobOffset;
    pEntry->ulLength = ulLength;
    void *pBlob = blobAt(pBuffer, ulBlobOffset);
    if (pDataIn != nullptr)
        memcpy(pBlob, pDataIn, ulLength);
    if (ppQueuedData != nullptr)
        *ppQueuedData = pBlob;

    if (ulEntryOffset > pDesc->ulHighestQueueEntry) {
        _dlprintf(CQ_TRACE_LEVEL, "CircularQueueEnqueue:  Highest queue entry offset is %u.\n",
                  ulEntryOffset);
        pDesc->ulHighestQueueEntry = ulEntryOffset;
    }
    pDesc->ulQueueTail = ulEntryOffset;

    if (pDesc->ulQueueHead == 0) {
        pDesc->ulQueueHead = ulEntryOffset;
        pDesc->ulIntermediateHead = ulEntryOffset;
        pDesc->ulLowestBlobEntry = ulEntryOffset;
        _dlprintf(CQ_TRACE_LEVEL, "CircularQueueEnqueue:  Lowest data blob offset is %u.\n",
                  ulBlobOffset);
    } else {
        /*
         * Entries still waiting for release but none waiting for the reader: the new entry
         * starts the intermediate queue. Without this it would belong to neither queue, the
         * reader would never see it and a release would walk into it.
         */
        if (pDesc->ulIntermediateHead == 0)
            pDesc->ulIntermediateHead = ulEntryOffset;
        if (ulBlobOffset < entryAt(pBuffer, pDesc->ulLowestBlobEntry)->ulOffset) {
            pDesc->ulLowestBlobEntry = ulEntryOffset;
            _dlprintf(CQ_TRACE_LEVEL, "CircularQueueEnqueue:  Lowest blob offset is %u.\n",
                      ulBlobOffset);
        }
    }

    pDesc->ulIntermediateCount++;
    pDesc->ulEntryCount++;
    pDesc->ulTotalDataBytes += ulLength;
    return PACKET_SUCCESS;
}

U32 CircularQueueDequeueIntermediate(void *pBuffer, void **ppData, U32 *pLength)
{
    if (pBuffer == nullptr || ppData == nullptr || pLength == nullptr)
        return PACKETERR_D_BAD_PARMS;
    QueueDescriptor *pDesc = descriptorOf(pBuffer);
    if (pDesc->ulIntermediateHead == 0)
        return PACKETERR_QUEUE_EMPTY;

    const QueueEntry *pEntry = entryAt(pBuffer, pDesc->ulIntermediateHead);
    *ppData = blobAt(pBuffer, pEntry->ulOffset);
    *pLength = pEntry->ulLength;
    _dlprintf(CQ_TRACE_LEVEL,
              "CircularQueueDequeueIntermediate:  dequeued data at offset %u, size %u from buffer "
              "0x%x.\n",
              pEntry->ulOffset, pEntry->ulLength, traceAddress(pBuffer));
    AdvanceIntermediateHead(pBuffer);
    return PACKET_SUCCESS;
}

U32 CircularQueueDequeueFinal(void *pBuffer, void **ppData, U32 *pLength)
{
    if (pBuffer == nullptr)
        return PACKETERR_D_BAD_PARMS;
    QueueDescriptor *pDesc = descriptorOf(pBuffer);
    if (pDesc->ulFinalHead == 0)
        return PACKETERR_QUEUE_EMPTY;

    const QueueEntry *pEntry = entryAt(pBuffer, pDesc->ulFinalHead);
    if (ppData != nullptr)
        *ppData = blobAt(pBuffer, pEntry->ulOffset);
    if (pLength != nullptr)
        *pLength = pEntry->ulLength;
    _dlprintf(CQ_TRACE_LEVEL,
              "CircularQueueDequeueFinal:  dequeued data at offset %u, size %u from buffer 0x%x.\n",
              pEntry->ulOffset, pEntry->ulLength, traceAddress(pBuffer));
    AdvanceFinalHead(pBuffer);
    return PACKET_SUCCESS;
}

bool CircularQueueIsIntermediateEmpty(const void *pBuffer)
{
    return pBuffer != nullptr && descriptorOf(pBuffer)->ulIntermediateHead == 0;
}

bool CircularQueueIsFinalEmpty(const void *pBuffer)
{
    return pBuffer != nullptr && descriptorOf(pBuffer)->ulFinalHead == 0;
}

bool CircularQueueIsEmpty(const void *pBuffer)
{
    return pBuffer != nullptr && descriptorOf(pBuffer)->ulQueueHead == 0;
}

U32 CircularQueueIntermediateLength(const void *pBuffer)
{
    return pBuffer != nullptr ? descriptorOf(pBuffer)->ulIntermediateCount : 0;
}

U32 CircularQueueFinalLength(const void *pBuffer)
{
    return pBuffer != nullptr ? descriptorOf(pBuffer)->ulFinalCount : 0;
}

U32 CircularQueueLength(const void *pBuffer)
{
    return pBuffer != nullptr ? descriptorOf(pBuffer)->ulEntryCount : 0;
}

U32 CircularQueueLargestFreeBlock(void *pBuffer, U32 *puLength)
{
    if (pBuffer == nullptr || puLength == nullptr) {
        _dlprintf(CQ_TRACE_LEVEL, "CircularQueueLargestFreeBlock:  invalid argument.\n");
        return PACKETERR_D_BAD_PARMS;
    }
    const QueueDescriptor *pDesc = descriptorOf(pBuffer);
    if (pDesc->ulQueueHead == 0) {
        *puLength = pDesc->ulLength - CQ_DESCRIPTOR_SIZE;
        return PACKET_SUCCESS;
    }
    const QueueEntry *pHead = entryAt(pBuffer, pDesc->ulQueueHead);
    const QueueEntry *pTail = entryAt(pBuffer, pDesc->ulQueueTail);
    /* Between the end of the entry ring and the lowest blob. */
    const U32 ulBelow = entryAt(pBuffer, pDesc->ulLowestBlobEntry)->ulOffset -
                        pDesc->ulHighestQueueEntry - CQ_QUEUE_ENTRY_SIZE;
    /* Above the head blob: up to the tail blob when the data pool is wrapped, else the end. */
    const U32 ulTop = pTail->ulOffset > pHead->ulOffset ? pTail->ulOffset : pDesc->ulLength;
    const U32 ulAbove = ulTop - pHead->ulOffset - pHead->ulLength;
    *puLength = max(ulBelow, ulAbove);
    return PACKET_SUCCESS;
}

U32 CircularQueueBufferSize(void *pBuffer)
{
    if (pBuffer == nullptr) {
        _dlprintf(CQ_TRACE_LEVEL, "CircularQueueBufferSize:  invalid argument.\n");
        return 0;
    }
    return descriptorOf(pBuffer)->ulLength;
}

U32 CircularQueueDumpIntermediate(void *pBuffer, DumpFunction pFunction)
{
    if (pBuffer == nullptr)
        return PACKETERR_D_BAD_PARMS;
    const QueueDescriptor *pDesc = descriptorOf(pBuffer);
    DumpQueueEntries(pBuffer, pDesc->ulIntermediateHead, pDesc->ulQueueTail, pFunction);
    return PACKET_SUCCESS;
}

U32 CircularQueueDumpFinal(void *pBuffer, DumpFunction pFunction)
{
    if (pBuffer == nullptr)
        return PACKETERR_D_BAD_PARMS;
    DumpQueueEntries(pBuffer, descriptorOf(pBuffer)->ulFinalHead, CalculateFinalTail(pBuffer),
                     pFunction);
    return PACKET_SUCCESS;
}

U32 DumpCircularQueue(void *pBuffer, DumpFunction pFunction)
{
    if (pBuffer == nullptr)
        return PACKETERR_D_BAD_PARMS;
    const QueueDescriptor *pDesc = descriptorOf(pBuffer);
    DumpQueueEntries(pBuffer, pDesc->ulQueueHead, pDesc->ulQueueTail, pFunction);
    return PACKET_SUCCESS;
}

U32 DumpCircularQueueState(void *pBuffer)
{
    if (pBuffer == nullptr)
        return PACKETERR_D_BAD_PARMS;
    const QueueDescriptor *pDesc = descriptorOf(pBuffer);
    /* The lowest-blob line shows the blob's offset, not its entry's. */
    const U32 ulLowestBlob =
        pDesc->ulLowestBlobEntry != 0 ? entryAt(pBuffer, pDesc->ulLowestBlobEntry)->ulOffset : 0;
    _dprintf("Queue descriptor 0x%x contents:\n"
             "length                         = %u\n"
             "queue head offset              = %u\n"
             "queue tail offset              = %u\n"
             "highest queue entry offset     = %u\n"
             "lowest data blob offset        = %u\n"
             "intermediate queue head offset = %u\n"
             "final queue head               = %u\n"
             "entries in queue               = %u\n"
             "intermediate queue length      = %u\n"
             "final queue length             = %u\n"
             "total data bytes in buffer     = %u\n",
             traceAddress(pBuffer), pDesc->ulLength, pDesc->ulQueueHead, pDesc->ulQueueTail,
             pDesc->ulHighestQueueEntry, ulLowestBlob, pDesc->ulIntermediateHead,
             pDesc->ulFinalHead, pDesc->ulEntryCount, pDesc->ulIntermediateCount,
             pDesc->ulFinalCount, pDesc->ulTotalDataBytes);
    return PACKET_SUCCESS;
}

} // extern "C"
