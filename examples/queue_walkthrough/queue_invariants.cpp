#include "queue_invariants.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace queuecheck
{
namespace
{

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char *fmt, ...)
{
    char text[512];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

QueueDescriptor readDescriptor(const void *pBuffer)
{
    QueueDescriptor desc;
    std::memcpy(&desc, pBuffer, sizeof desc);
    return desc;
}

QueueEntry readEntry(const void *pBuffer, U32 ulOffset)
{
    QueueEntry entry;
    std::memcpy(&entry, static_cast<const BYTE *>(pBuffer) + ulOffset, sizeof entry);
    return entry;
}

/* An entry slot: 48 + 8k, wholly inside the buffer. */
bool isSlot(U32 ulOffset, U32 ulBufferLength)
{
    return ulOffset >= CQ_DESCRIPTOR_SIZE && (ulOffset - CQ_DESCRIPTOR_SIZE) % 8 == 0 &&
           uint64_t{ulOffset} + CQ_QUEUE_ENTRY_SIZE <= ulBufferLength;
}

} // namespace

std::string DescribeDescriptor(const void *pBuffer)
{
    const QueueDescriptor d = readDescriptor(pBuffer);
    return format("len=%u head=%u tail=%u highest=%u lowestEntry=%u ihead=%u fhead=%u count=%u "
                  "icount=%u fcount=%u bytes=%u pad=%u",
                  d.ulLength, d.ulQueueHead, d.ulQueueTail, d.ulHighestQueueEntry,
                  d.ulLowestBlobEntry, d.ulIntermediateHead, d.ulFinalHead, d.ulEntryCount,
                  d.ulIntermediateCount, d.ulFinalCount, d.ulTotalDataBytes, d.ulPadding);
}

std::string CheckQueueInvariants(const void *pBuffer, U32 ulBufferLength, QueueLayout *pLayout)
{
    const QueueDescriptor d = readDescriptor(pBuffer);

    if (d.ulLength != ulBufferLength)
        return format("ulLength %u, buffer is %u bytes", d.ulLength, ulBufferLength);
    if (d.ulPadding != 0)
        return format("ulPadding %u is not 0", d.ulPadding);
    if (d.ulEntryCount != d.ulIntermediateCount + d.ulFinalCount)
        return format("ulEntryCount %u != ulIntermediateCount %u + ulFinalCount %u", d.ulEntryCount,
                      d.ulIntermediateCount, d.ulFinalCount);

    QueueLayout layout;
    if (d.ulQueueHead == 0) {
        /* Empty: every offset field and every count is 0. */
        if (d.ulQueueTail != 0 || d.ulHighestQueueEntry != 0 || d.ulLowestBlobEntry != 0 ||
            d.ulIntermediateHead != 0 || d.ulFinalHead != 0 || d.ulEntryCount != 0 ||
            d.ulTotalDataBytes != 0)
            return "empty queue (ulQueueHead 0) with a field not 0";
        if (pLayout != nullptr)
            *pLayout = layout;
        return {};
    }

    const struct {
        const char *name;
        U32 value;
        bool optional;
    } offsets[] = {{"ulQueueHead", d.ulQueueHead, false},
                   {"ulQueueTail", d.ulQueueTail, false},
                   {"ulHighestQueueEntry", d.ulHighestQueueEntry, false},
                   {"ulLowestBlobEntry", d.ulLowestBlobEntry, false},
                   {"ulIntermediateHead", d.ulIntermediateHead, true},
                   {"ulFinalHead", d.ulFinalHead, true}};
    for (const auto &field : offsets) {
        if (field.optional && field.value == 0)
            continue;
        if (!isSlot(field.value, ulBufferLength))
            return format("%s %u is not an entry slot", field.name, field.value);
    }

    if (d.ulFinalHead != 0 && d.ulFinalHead != d.ulQueueHead)
        return format("ulFinalHead %u != ulQueueHead %u", d.ulFinalHead, d.ulQueueHead);
    if (d.ulFinalHead == 0 && d.ulQueueHead != d.ulIntermediateHead)
        return format("no final queue, yet ulQueueHead %u != ulIntermediateHead %u", d.ulQueueHead,
                      d.ulIntermediateHead);
    if ((d.ulFinalHead != 0) != (d.ulFinalCount != 0))
        return format("ulFinalHead %u disagrees with ulFinalCount %u", d.ulFinalHead,
                      d.ulFinalCount);
    if ((d.ulIntermediateHead != 0) != (d.ulIntermediateCount != 0))
        return format("ulIntermediateHead %u disagrees with ulIntermediateCount %u",
                      d.ulIntermediateHead, d.ulIntermediateCount);

    layout.bQueuePoolWrapped = d.ulQueueTail < d.ulQueueHead;
    if (layout.bQueuePoolWrapped) {
        if (d.ulHighestQueueEntry < d.ulQueueHead)
            return format("wrapped entry ring: ulHighestQueueEntry %u below ulQueueHead %u",
                          d.ulHighestQueueEntry, d.ulQueueHead);
    } else if (d.ulHighestQueueEntry != d.ulQueueTail) {
        return format("unwrapped entry ring: ulHighestQueueEntry %u != ulQueueTail %u",
                      d.ulHighestQueueEntry, d.ulQueueTail);
    }

    /* Walk by the next-entry rule, bounded by the number of slots the buffer has. */
    const U32 maxEntries = (ulBufferLength - CQ_DESCRIPTOR_SIZE) / CQ_QUEUE_ENTRY_SIZE;
    U32 ulOffset = d.ulQueueHead;
    for (;;) {
        if (layout.entries.size() >= maxEntries)
            return "walk from ulQueueHead does not reach ulQueueTail";
        const QueueEntry entry = readEntry(pBuffer, ulOffset);
        layout.entries.push_back({ulOffset, entry.ulOffset, entry.ulLength});
        if (ulOffset == d.ulQueueTail)
            break;
        if (layout.bQueuePoolWrapped && ulOffset == d.ulHighestQueueEntry)
            ulOffset = CQ_DESCRIPTOR_SIZE;
        else
            ulOffset += CQ_QUEUE_ENTRY_SIZE;
    }
    const auto &entries = layout.entries;
    const U32 count = static_cast<U32>(entries.size());
    if (count != d.ulEntryCount)
        return format("walk met %u entries, ulEntryCount %u", count, d.ulEntryCount);

    /* The final queue is a prefix of the walk; the intermediate queue starts right after it. */
    if (d.ulIntermediateHead == 0) {
        if (d.ulFinalCount != count)
            return format("no intermediate queue, yet ulFinalCount %u != %u entries",
                          d.ulFinalCount, count);
    } else {
        U32 k = 0;
        while (k < count && entries[k].ulEntryOffset != d.ulIntermediateHead)
            k++;
        if (k == count)
            return format("ulIntermediateHead %u is not a held entry", d.ulIntermediateHead);
        if (k != d.ulFinalCount)
            return format("ulIntermediateHead is entry %u of the walk, ulFinalCount %u", k,
                          d.ulFinalCount);
    }
    layout.ulFinalCount = d.ulFinalCount;

    /* Blobs: inside the buffer, above the whole entry ring, lengths adding up. */
    uint64_t totalBytes = 0;
    for (U32 i = 0; i < count; i++) {
        const HeldEntry &e = entries[i];
        if (e.ulBlobLength == 0)
            return format("entry %u has a blob of length 0", e.ulEntryOffset);
        if (e.ulBlobOffset < d.ulHighestQueueEntry + CQ_QUEUE_ENTRY_SIZE ||
            uint64_t{e.ulBlobOffset} + e.ulBlobLength > ulBufferLength)
            return format("entry %u: blob %u+%u outside the data pool (ring ends at %u)",
                          e.ulEntryOffset, e.ulBlobOffset, e.ulBlobLength,
                          d.ulHighestQueueEntry + CQ_QUEUE_ENTRY_SIZE);
        totalBytes += e.ulBlobLength;
    }
    if (totalBytes != d.ulTotalDataBytes)
        return format("blobs add up to %llu bytes, ulTotalDataBytes %u",
                      static_cast<unsigned long long>(totalBytes), d.ulTotalDataBytes);

    /*
     * Each blob lies directly below the one enqueued before it, except once at most, where the
     * data pool wrapped and the blob ends at the end of the buffer. The wrapped part must stay
     * above the head blob.
     */
    U32 wraps = 0;
    for (U32 i = 1; i < count; i++) {
        const uint64_t end = uint64_t{entries[i].ulBlobOffset} + entries[i].ulBlobLength;
        if (end == entries[i - 1].ulBlobOffset)
            continue;
        if (end == ulBufferLength && wraps == 0) {
            wraps = 1;
            continue;
        }
        return format("entry %u: blob %u+%u neither below the previous blob (%u) nor at the end",
                      entries[i].ulEntryOffset, entries[i].ulBlobOffset, entries[i].ulBlobLength,
                      entries[i - 1].ulBlobOffset);
    }
    const HeldEntry &head = entries.front();
    const HeldEntry &tail = entries.back();
    layout.bDataPoolWrapped = tail.ulBlobOffset > head.ulBlobOffset;
    if (layout.bDataPoolWrapped != (wraps == 1))
        return format("data pool wrap disagrees: tail blob %u, head blob %u, wraps met %u",
                      tail.ulBlobOffset, head.ulBlobOffset, wraps);
    if (wraps == 1 && tail.ulBlobOffset < uint64_t{head.ulBlobOffset} + head.ulBlobLength)
        return format("wrapped blobs reach down to %u, into the head blob %u+%u", tail.ulBlobOffset,
                      head.ulBlobOffset, head.ulBlobLength);

    /* ulLowestBlobEntry names a held entry whose blob is the lowest one. */
    U32 lowest = entries[0].ulBlobOffset;
    bool lowestHeld = false;
    for (const HeldEntry &e : entries) {
        if (e.ulBlobOffset < lowest)
            lowest = e.ulBlobOffset;
        if (e.ulEntryOffset == d.ulLowestBlobEntry)
            lowestHeld = true;
    }
    if (!lowestHeld)
        return format("ulLowestBlobEntry %u is not a held entry", d.ulLowestBlobEntry);
    if (readEntry(pBuffer, d.ulLowestBlobEntry).ulOffset != lowest)
        return format("ulLowestBlobEntry %u has blob %u, lowest blob is %u", d.ulLowestBlobEntry,
                      readEntry(pBuffer, d.ulLowestBlobEntry).ulOffset, lowest);

    if (pLayout != nullptr)
        *pLayout = std::move(layout);
    return {};
}

} // namespace queuecheck
