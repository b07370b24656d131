/*
 * Inside libnvxapi: the record of an open adapter and the helpers the library's files share.
 * Nothing outside the library includes it (tests may, to look at the records).
 *
 * Lock key: "L" ListLock; "a" the adapter's one calling thread (calls on one adapter come from
 * one thread at a time); "i" set by PacketOpen and never changed until PacketClose.
 */
#ifndef NVX_PACKET_LIB_H
#define NVX_PACKET_LIB_H

#include "nvxapi.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct PPAData {
    int fd;                 /* i: the adapter's own descriptor on /dev/nvx */
    RcvBuffer *pRcvBuf;     /* a: the mapped capture region; NULL while no capture exists */
    int RcvBufSize;         /* a: length of the mapping; 0 while no capture exists */
    int maxpktbufsize;      /* a: from the region header at capture creation */
    int captureSize;        /* a: from the region header at capture creation */
    unsigned long ulFlags;  /* a: capture flags given to PacketCreateRx */
    unsigned long ulMode;   /* i: open mode used */
    ADAPTER_INFO *pAdapter; /* i: the caller's record */
    PPAData *pNext;         /* L: next open adapter */
    U32 ulLink;             /* i: the value PacketOpen stored in aulReserved[0] */
};

/* Status line helpers: a pointer printed with a 32-bit conversion. */
static inline unsigned PacketX32(const void *p)
{
    return (unsigned)(uintptr_t)p;
}

/*
 * The record of an open adapter: aulReserved[0] non-zero, ADAPTER_PROP_OPEN set, and a record
 * of that link on pList. NULL otherwise, also for a stale or altered aulReserved[0]; the link
 * is never followed as an address. Takes ListLock briefly (no system call unless contended).
 */
__attribute__((visibility("hidden"))) PPAData *PacketFindOpen(const ADAPTER_INFO *pai);

/* Opens the driver device read-write; the descriptor or -1 with errno. */
__attribute__((visibility("hidden"))) int PacketOpenDevice(void);

#ifdef __cplusplus
}
#endif

#endif /* NVX_PACKET_LIB_H */
