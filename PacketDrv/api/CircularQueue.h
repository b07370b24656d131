/*
 * Two-phase circular queue: a FIFO of variable-length data blobs that lives wholly inside one
 * caller-supplied buffer (descriptor, entry table and blobs).
 *
 * - The buffer holds no pointers, only offsets from its first byte, so it can be mapped at
 *   different addresses in the kernel and in a user process, and a 64-bit kernel and a 32-bit
 *   library read the same layout. Every field is a U32 in the host's byte order.
 * - An entry passes through two phases: an intermediate dequeue hands out the blob's address and
 *   length but keeps its space; a final dequeue (release) gives the space back. Entries waiting
 *   for the intermediate dequeue form the intermediate queue, entries waiting for release the
 *   final queue; both are FIFO and the final queue always precedes the intermediate queue.
 * - Concurrency: none of its own. Every operation is a read-modify-write of the descriptor, so
 *   callers serialise all operations on one buffer (the driver holds the session's locks).
 * - Every operation except the dumps is constant time; the only copy is the optional copy of the
 *   caller's data on enqueue.
 * - A failed operation returns a code and leaves the buffer byte-for-byte unchanged.
 *
 * Buffer layout:
 *   0 .. 47            QueueDescriptor
 *   48, 56, 64, ...    QueueEntry ring, wrapping from ulHighestQueueEntry back to 48
 *   ... ulLength       blobs, placed downward from the end, wrapping back to the end
 */
#ifndef NVX_CIRCULAR_QUEUE_H
#define NVX_CIRCULAR_QUEUE_H

#include <stddef.h>

#include "nvxtypes.h"
#include "packetErrors.h"

#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The descriptor at offset 0 of every queue buffer. */
typedef struct QueueDescriptor {
    U32 ulLength;            /* whole buffer length in bytes, descriptor included */
    U32 ulQueueHead;         /* oldest entry held (final or intermediate); 0: queue empty */
    U32 ulQueueTail;         /* newest entry; 0: queue empty */
    U32 ulHighestQueueEntry; /* highest entry of the entry ring; the ring wraps here to 48 */
    U32 ulLowestBlobEntry;   /* the entry (not the blob) whose blob lies lowest */
    U32 ulIntermediateHead;  /* oldest entry not yet dequeued intermediate; 0: none */
    U32 ulFinalHead;         /* oldest entry dequeued intermediate, not yet released; 0: none */
    U32 ulEntryCount;        /* entries held = ulIntermediateCount + ulFinalCount */
    U32 ulIntermediateCount; /* entries in the intermediate queue */
    U32 ulFinalCount;        /* entries in the final queue */
    U32 ulTotalDataBytes;    /* sum of the lengths of all held blobs */
    U32 ulPadding;           /* reserved: zeroed at initialisation, otherwise unused */
} QueueDescriptor;

/* One slot of the entry ring. */
typedef struct QueueEntry {
    U32 ulOffset; /* blob offset from the start of the buffer */
    U32 ulLength; /* blob length in bytes */
} QueueEntry;

#define CQ_DESCRIPTOR_SIZE  48u /* sizeof(QueueDescriptor); also the offset of the first entry */
#define CQ_QUEUE_ENTRY_SIZE 8u  /* sizeof(QueueEntry) */

#ifdef __cplusplus
static_assert(sizeof(QueueDescriptor) == CQ_DESCRIPTOR_SIZE, "QueueDescriptor is 48 bytes");
static_assert(offsetof(QueueDescriptor, ulLength) == 0, "QueueDescriptor layout");
static_assert(offsetof(QueueDescriptor, ulQueueHead) == 4, "QueueDescriptor layout");
static_assert(offsetof(QueueDescriptor, ulQueueTail) == 8, "QueueDescriptor layout");
static_assert(offsetof(QueueDescriptor, ulHighestQueueEntry) == 12, "QueueDescriptor layout");
static_assert(offsetof(QueueDescriptor, ulLowestBlobEntry) == 16, "QueueDescriptor layout");
static_assert(offsetof(QueueDescriptor, ulIntermediateHead) == 20, "QueueDescriptor layout");
static_assert(offsetof(QueueDescriptor, ulFinalHead) == 24, "QueueDescriptor layout");
static_assert(offsetof(QueueDescriptor, ulEntryCount) == 28, "QueueDescriptor layout");
static_assert(offsetof(QueueDescriptor, ulIntermediateCount) == 32, "QueueDescriptor layout");
static_assert(offsetof(QueueDescriptor, ulFinalCount) == 36, "QueueDescriptor layout");
static_assert(offsetof(QueueDescriptor, ulTotalDataBytes) == 40, "QueueDescriptor layout");
static_assert(offsetof(QueueDescriptor, ulPadding) == 44, "QueueDescriptor layout");
static_assert(sizeof(QueueEntry) == CQ_QUEUE_ENTRY_SIZE, "QueueEntry is 8 bytes");
static_assert(offsetof(QueueEntry, ulOffset) == 0, "QueueEntry layout");
static_assert(offsetof(QueueEntry, ulLength) == 4, "QueueEntry layout");
#else
_Static_assert(sizeof(QueueDescriptor) == CQ_DESCRIPTOR_SIZE, "QueueDescriptor is 48 bytes");
_Static_assert(sizeof(QueueEntry) == CQ_QUEUE_ENTRY_SIZE, "QueueEntry is 8 bytes");
#endif

/* Called by the dump operations with the address of each dumped blob; the result is ignored. */
typedef void *(*DumpFunction)(const void *pBlob);

/*
 * Prepares a fresh buffer of ulLength bytes (at least 49; 4-byte aligned). Only the descriptor
 * is written. Discards every entry of a buffer initialised before.
 * Returns PACKET_SUCCESS, or PACKETERR_D_BAD_PARMS for a null buffer or ulLength <= 48.
 */
U32 InitializeCircularQueue(void *pBuffer, U32 ulLength);

/*
 * Producer side. Reserves ulLength bytes for a new blob at the tail of the intermediate queue,
 * copies them from pDataIn unless it is null (the caller then fills the blob in place), and
 * stores the blob's address in *ppQueuedData unless that is null.
 * Returns PACKET_SUCCESS; PACKETERR_D_BAD_PARMS for a null buffer or ulLength 0;
 * PACKETERR_NO_MEMORY when the blob or its entry finds no contiguous room (nothing changed).
 */
U32 CircularQueueEnqueue(void *pBuffer, const void *pDataIn, U32 ulLength, void **ppQueuedData);

/*
 * Reader side, first phase. Hands out the oldest blob of the intermediate queue, which moves to
 * the final queue and keeps its space.
 * Returns PACKET_SUCCESS; PACKETERR_D_BAD_PARMS for a null argument; PACKETERR_QUEUE_EMPTY when
 * the intermediate queue is empty.
 */
U32 CircularQueueDequeueIntermediate(void *pBuffer, void **ppData, U32 *pLength);

/*
 * Owner side, second phase. Releases the oldest blob of the final queue; its address and length
 * are stored through the optional outputs (valid only until the next enqueue).
 * Returns PACKET_SUCCESS; PACKETERR_D_BAD_PARMS for a null buffer; PACKETERR_QUEUE_EMPTY when
 * the final queue is empty.
 */
U32 CircularQueueDequeueFinal(void *pBuffer, void **ppData, U32 *pLength);

/* Queries; a null buffer is "not empty" and has length 0. */
bool CircularQueueIsIntermediateEmpty(const void *pBuffer);
bool CircularQueueIsFinalEmpty(const void *pBuffer);
bool CircularQueueIsEmpty(const void *pBuffer);
U32 CircularQueueIntermediateLength(const void *pBuffer);
U32 CircularQueueFinalLength(const void *pBuffer);
U32 CircularQueueLength(const void *pBuffer);

/*
 * The larger of the two contiguous gaps (between the entry ring and the lowest blob, and above
 * the head blob). It does not count the 8 bytes a new blob's entry also needs, so a blob of that
 * size may still be refused.
 * Returns PACKET_SUCCESS, or PACKETERR_D_BAD_PARMS for a null argument.
 */
U32 CircularQueueLargestFreeBlock(void *pBuffer, U32 *puLength);

/* The buffer length given at initialisation; 0 for a null buffer. */
U32 CircularQueueBufferSize(void *pBuffer);

/*
 * Dumps through _dprintf (subject to the trace switch only) one line per entry, calling
 * pFunction (may be null) with each blob's address: the intermediate queue, the final queue,
 * or every entry held. Return PACKET_SUCCESS, or PACKETERR_D_BAD_PARMS for a null buffer.
 */
U32 CircularQueueDumpIntermediate(void *pBuffer, DumpFunction pFunction);
U32 CircularQueueDumpFinal(void *pBuffer, DumpFunction pFunction);
U32 DumpCircularQueue(void *pBuffer, DumpFunction pFunction);

/* Prints the descriptor through _dprintf. PACKETERR_D_BAD_PARMS for a null buffer. */
U32 DumpCircularQueueState(void *pBuffer);

#ifdef __cplusplus
}
#endif

#endif /* NVX_CIRCULAR_QUEUE_H */
