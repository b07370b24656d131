/*
 * Independent checker of the circular queue's invariants, for tests and the walk-through.
 *
 * It reads only the buffer (descriptor and entries) and re-derives everything from the layout
 * rules, with its own walk of the entry ring; it never calls the queue's code. A problem found
 * is described in one line naming the field or entry concerned.
 */
#ifndef NVX_QUEUE_INVARIANTS_H
#define NVX_QUEUE_INVARIANTS_H

#include <string>
#include <vector>

#include "CircularQueue.h"

namespace queuecheck
{

/* One held entry as the walk met it. */
struct HeldEntry {
    U32 ulEntryOffset; /* where the QueueEntry lies */
    U32 ulBlobOffset;  /* QueueEntry.ulOffset */
    U32 ulBlobLength;  /* QueueEntry.ulLength */
};

/* The layout as the checker understood it; valid only when the check passed. */
struct QueueLayout {
    std::vector<HeldEntry> entries; /* oldest first: the final queue, then the intermediate */
    U32 ulFinalCount = 0;           /* how many of entries are in the final queue */
    bool bQueuePoolWrapped = false; /* ulQueueTail < ulQueueHead */
    bool bDataPoolWrapped = false;  /* the tail blob lies above the head blob */
};

/*
 * Checks every invariant of the buffer of ulBufferLength bytes. Returns an empty string when all
 * hold, otherwise the first violation found. Fills *pLayout (if not null) on success.
 */
std::string CheckQueueInvariants(const void *pBuffer, U32 ulBufferLength,
                                 QueueLayout *pLayout = nullptr);

/* The descriptor as one line "head=.. tail=.. ..." for failure messages. */
std::string DescribeDescriptor(const void *pBuffer);

} // namespace queuecheck

#endif /* NVX_QUEUE_INVARIANTS_H */
