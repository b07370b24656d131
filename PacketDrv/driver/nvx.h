/*
 * The nvx driver's own records: the direction codes and put dispositions that pass between the
 * put procedures and the capture engine, the binding record of every open stream, the adapter
 * table, the adapter record of an opened adapter, the capture session, and the kernel-only
 * frame and staging headers. Also the driver-wide state (locks, lists, counters, settings),
 * defined in nvxglobals.cpp.
 *
 * Lock key (the letter starts each field's comment):
 *   r  nvx_rwlock (reader/writer)      b  nvx_bindlock (reader/writer)
 *   s  GlobalInfo.sessionInfoMutex     c  SessionInfo.captureMutex
 *   f  SessionInfo.frameMutex          w  SessionInfo.blockingMutex
 *   i  set once when the record is made, never changed while others can see it
 *   a  relaxed atomic only (__atomic builtins through NVX_ATOMIC_*): statistics and counters
 *      that the put procedures, the read request, the timer and stream closes update at once
 *   o  the reader's own context (read request) only
 *
 * Lock order: nvx_rwlock before nvx_bindlock; nvx_rwlock (reader, for a whole per-frame
 * decision) before FloodLock, nvx_pflock and captureMutex, which are never nested; frameMutex
 * before nvx_bindlock before captureMutex (the copy step holds all three: the region, the
 * binding checks of a batch, the staging queue); blockingMutex with no other session lock.
 *
 * Records stay plain C layouts (no constructors, no std::atomic) so that they can be allocated
 * with kmem_zalloc and laid out the same in every build.
 */
#ifndef NVX_DRIVER_NVX_H
#define NVX_DRIVER_NVX_H

#include <sys/ksynch.h>
#include <sys/stream.h>
#include <sys/time.h>
#include <sys/umem.h>

#include "nvxcontrol.h"
#include "nvxtypes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Direction of a frame, passed to every per-packet routine and kept with staged frames. */
#define DIR_INBOUND  1 /* read side: from the interface up to the protocol stack */
#define DIR_OUTBOUND 3 /* write side: from the protocol stack down to the interface */

/* Put dispositions: what a put procedure does with the message after a handler's verdict. */
#define RC_FORWARD     1  /* putnext, count in totalPut */
#define RC_QUEUED      2  /* the capture engine holds the message now */
#define RC_BUFFER_FULL 4  /* trace "capture buffer full", then as RC_FORWARD */
#define RC_FREE        16 /* freemsg */

/* Adapter table size; the value also marks "no slot" wherever an index is stored. */
#define MAX_PPA NVX_MAX_ADAPTERS

/* Name of a free adapter slot and of a binding whose adapter is not known yet. */
#define NVX_UNKNOWN_PPA "nvx_unknown"

/* Marks staging records and frame records. */
#define STAGE_MAGIC 0x5A5A5A5Au

/* BindingInfo.ulFlags */
#define BIND_BOUND        0x1 /* on the binding list and counted in its slot's bndcnt */
#define BIND_INFO_PENDING 0x2 /* our own DL_INFO_REQ is on its way down */

/* GlobalInfo.ulFlags */
#define GI_CAPTURING 0x1 /* a session captures */
#define GI_SUSPENDED 0x2 /* the session timer stopped the capture */
#define GI_FLUSHING  0x4 /* module stream closes are flushing the session (flushCount > 0) */

/* SessionInfo.ulFlags */
#define SI_READING     0x2  /* a read request is inside the driver */
#define SI_TIMER_BUSY  0x4  /* the session timer callback runs */
#define SI_BUFFER_FULL 0x8  /* the staging queue overflowed at least once; never cleared */
#define SI_TIMED_OUT   0x10 /* the session timer stopped the capture */

/* PacketInfo.ulFlags */
#define PI_INBOUND     0x1
#define PI_OUTBOUND    0x2
#define PI_PROTO_BLOCK 0x40 /* the held message starts with a control block */

/* Relaxed atomic access to plain integer fields (lock key "a"): each is a statistic or a count
 * that no other memory access is ordered against, so relaxed ordering is enough. */
#define NVX_ATOMIC_LOAD(p)     __atomic_load_n((p), __ATOMIC_RELAXED)
#define NVX_ATOMIC_STORE(p, v) __atomic_store_n((p), (v), __ATOMIC_RELAXED)
#define NVX_ATOMIC_ADD(p, v)   ((void)__atomic_fetch_add((p), (v), __ATOMIC_RELAXED))
#define NVX_ATOMIC_SUB(p, v)   ((void)__atomic_fetch_sub((p), (v), __ATOMIC_RELAXED))

struct GlobalInfo;
struct SessionInfo;
struct SessionFrames;

/* One per open stream (device stream or module instance); q_ptr of both its queues. */
typedef struct BindingInfo {
    dev_info_t *dip;                  /* i: nvx_dip for device streams, NULL for module instances */
    dev_t dev;                        /* i: device streams: the clone device number; modules: 0 */
    struct GlobalInfo *openInfo;      /* r: the adapter record while its adapter is open, or NULL */
    queue_t *rdq;                     /* i: read queue of this instance */
    queue_t *wrq;                     /* i: write queue of this instance */
    U32 ulFlags;                      /* r: BIND_* */
    U32 index;                        /* r: adapter table slot; MAX_PPA: none */
    U32 dl_ppa;                       /* r: ppa of the last DL_ATTACH_REQ (style 2) */
    char ppaname[NVX_DEVICENAME_LEN]; /* r: adapter name; NVX_UNKNOWN_PPA until known */
    struct BindingInfo *prev;         /* b: binding list links */
    struct BindingInfo *next;         /* b */
    struct BindingInfo *openPrev;     /* b: open module list links (module instances only) */
    struct BindingInfo *openNext;     /* b */
} BindingInfo;

/* One adapter table slot. Slots are never removed while the module stays loaded. */
typedef struct nvx_ppaInfo {
    ppaInfo info;           /* r: the adapter's description, filled by add_ppa */
    U32 bndcnt;             /* r: module instances bound (BIND_BOUND) on this adapter */
    struct GlobalInfo *gip; /* r: the adapter record while a device stream has it open */
} nvx_ppaInfo;

/* The adapter record, one per opened adapter. */
typedef struct GlobalInfo {
    U32 ulOpenMode;                   /* i: open mode of NVX_OPEN_IOCTL (MODE_INLINE matters) */
    U32 index;                        /* i: slot in ppaList */
    char ppaname[NVX_DEVICENAME_LEN]; /* i: adapter name */
    U32 ulFlags;                      /* r: GI_* */
    U32 flushCount;                   /* r: module stream closes flushing; GI_FLUSHING while > 0 */
    struct SessionInfo *captureSession; /* r+s: the capture session, or NULL */
    kmutex_t sessionInfoMutex;          /* guards captureSession against a stop, and refCount */
} GlobalInfo;

/* The capture session, owned by its adapter record through captureSession. */
typedef struct SessionInfo {
    U32 ulCaptureMode;         /* i: CM_* of the create request */
    U32 ulCaptureSize;         /* i: largest records that fit the shared queue; staging size */
    U32 RcvBufferSize;         /* i: region size, whole pages */
    U32 maxpktsize;            /* i: largest frame accepted: dl_max_sdu + 64 */
    U32 maxpktbufsize;         /* i: largest frame record: maxpktsize + PacketInfo + 32 */
    U32 packetCount;           /* a: frames held (staged or in the region), not released */
    U32 hasData;               /* a: 1 while packetCount > 0 */
    U32 isBlocked;             /* w: 1 while a read request sleeps */
    U32 ulPacketsLost;         /* a: frames forwarded uncaptured (staging full, flow control) */
    U32 ulPacketsCaptured;     /* a: frames staged since the session began */
    U32 bFlowControlled;       /* c (read unlocked by the put procedures: a): staging overflowed */
    U32 uThreshold;            /* i: free-space threshold, bytes */
    queue_t *rq;               /* a: read queue frames were last taken on */
    queue_t *wq;               /* a: write queue frames were last taken on */
    S64 ulBytesCaptured;       /* c: frame bytes copied into the region */
    S32 ulOutstandingPackets;  /* a: frames staged and not yet released */
    U32 ulFlags;               /* c: SI_* */
    U32 sequence;              /* c: sequence number of the next staged frame */
    U32 staged_seq;            /* c: expected of the next record taken from staging */
    U32 shm_seq;               /* f: expected of the next frame record released */
    void *pStagingQueue;       /* i: staging queue buffer (kernel memory) */
    RcvBuffer *pRcvBuffer;     /* i: the shared region (its header); written by the reader too */
    void *pFrameBuffer;        /* i: the shared packet queue, pRcvBuffer + 384 */
    ddi_umem_cookie_t ucookie; /* i: the region's allocation handle */
    time_t lLastTime;          /* c: the driver's record of the reader's last read request */
    time_t lTimeOut;           /* i: session timeout and timer period, seconds */
    timeout_id_t timeout_id;   /* c: the armed session timer, 0 when none */
    kmutex_t captureMutex;     /* staging queue, ulFlags, moving frames into the region */
    kmutex_t blockingMutex;    /* the read request's wait */
    kmutex_t frameMutex;       /* releases from the shared packet queue */
    kcondvar_t cv;             /* w: a frame was staged, or the session stops */
    U32 refCount;              /* s: stream closes flushing this session */
    struct SessionFrames *pFrames; /* i (contents f): the driver's own record of the frames in
                                    * the region, in order (nvxframes.h) */
} SessionInfo;

/*
 * Kernel-built header at the start of every frame record in the shared packet queue. Only the
 * driver reads it back; the reader uses ulLength to find the PACKET_BUFFER that follows. Its
 * layout depends on the kernel's word size (72 bytes with 8-byte pointers, 48 with 4-byte).
 */
typedef struct PacketInfo {
    U32 ulLength;             /* sizeof(PacketInfo): offset of the PACKET_BUFFER */
    U32 magic;                /* STAGE_MAGIC */
    mblk_t *pktMblk;          /* the held message, control block included */
    S32 deleted;              /* 1 once a release or a flush has handled the record */
    queue_t *pktQueue;        /* queue the frame was taken on */
    struct BindingInfo *bip;  /* that queue's binding when the frame was moved in */
    S32 ulSequence;           /* capture sequence number */
    S32 datalen;              /* frame length */
    S32 hlen;                 /* link header added in front of an inbound frame, else 0 */
    U32 ulFlags;              /* PI_* */
    struct timeval timestamp; /* capture time */
} PacketInfo;

/* One staging-queue blob: a frame held by the session, not yet moved into the region. */
typedef struct StagedPacketInfo {
    U32 magic;                /* STAGE_MAGIC */
    S32 sequence;             /* capture sequence number */
    S32 deleted;              /* 1 once taken */
    mblk_t *pktMblk;          /* the held message */
    queue_t *pktQueue;        /* queue it was taken on */
    S32 nDirection;           /* DIR_INBOUND or DIR_OUTBOUND */
    struct timeval timestamp; /* capture time */
} StagedPacketInfo;

/* Driver-wide state (nvxglobals.cpp). */
extern dev_info_t *nvx_dip;          /* i: saved at attach */
extern krwlock_t nvx_rwlock;         /* adapter table, binding flags, openInfo, GlobalInfo flags */
extern krwlock_t nvx_bindlock;       /* the binding list */
extern krwlock_t nvx_pflock;         /* the filter set */
extern kmutex_t FloodLock;           /* the flood list */
extern BindingInfo *BindingList;     /* b: head of the binding list */
extern BindingInfo *CurrentBinding;  /* b: tail of the binding list */
extern BindingInfo *OpenModules;     /* b: every open module instance, bound or not */
extern nvx_ppaInfo ppaList[MAX_PPA]; /* r: the adapter table */
extern int totalPut;        /* a: messages passed on by the put procedures and the release */
extern int totalFreed;      /* a: messages freed by the release */
extern int totalRecvd;      /* never incremented; printed by print_stats */
extern int totalDataPkts;   /* never incremented; printed by print_stats */
extern int totalQueued;     /* never incremented; printed by print_stats */
extern U32 GlobalTimeout;   /* a: session timeout of sessions created later, seconds (10) */
extern U32 GlobalThreshold; /* a: free-space threshold of sessions created later, % (50) */

#ifdef __cplusplus
}

#include <cstddef>

/* The frame and staging headers are laid out for the kernel's word size; pin both layouts. */
#define NVX_REC_AT(rec, field, lp64, ilp32)                                                        \
    static_assert(offsetof(rec, field) == (sizeof(void *) == 8 ? (lp64) : (ilp32)),                \
                  #rec "." #field " is not at its fixed offset")
static_assert(sizeof(void *) == sizeof(long), "the kernel is LP64 or ILP32");
static_assert(sizeof(struct timeval) == 2 * sizeof(long), "timeval is two longs");
NVX_REC_AT(PacketInfo, ulLength, 0, 0);
NVX_REC_AT(PacketInfo, magic, 4, 4);
NVX_REC_AT(PacketInfo, pktMblk, 8, 8);
NVX_REC_AT(PacketInfo, deleted, 16, 12);
NVX_REC_AT(PacketInfo, pktQueue, 24, 16);
NVX_REC_AT(PacketInfo, bip, 32, 20);
NVX_REC_AT(PacketInfo, ulSequence, 40, 24);
NVX_REC_AT(PacketInfo, datalen, 44, 28);
NVX_REC_AT(PacketInfo, hlen, 48, 32);
NVX_REC_AT(PacketInfo, ulFlags, 52, 36);
NVX_REC_AT(PacketInfo, timestamp, 56, 40);
static_assert(offsetof(PacketInfo, timestamp) + offsetof(struct timeval, tv_usec) ==
                  (sizeof(void *) == 8 ? 64u : 44u),
              "PacketInfo.timestamp.tv_usec is not at its fixed offset");
static_assert(sizeof(PacketInfo) == (sizeof(void *) == 8 ? 72 : 48), "PacketInfo size");
NVX_REC_AT(StagedPacketInfo, magic, 0, 0);
NVX_REC_AT(StagedPacketInfo, sequence, 4, 4);
NVX_REC_AT(StagedPacketInfo, deleted, 8, 8);
NVX_REC_AT(StagedPacketInfo, pktMblk, 16, 12);
NVX_REC_AT(StagedPacketInfo, pktQueue, 24, 16);
NVX_REC_AT(StagedPacketInfo, nDirection, 32, 20);
NVX_REC_AT(StagedPacketInfo, timestamp, 40, 24);
static_assert(sizeof(StagedPacketInfo) == (sizeof(void *) == 8 ? 56 : 32), "StagedPacketInfo size");
/* Frame records start on pointer-size boundaries; the blob rounding relies on this. */
static_assert(sizeof(PacketInfo) % sizeof(void *) == 0 && sizeof(PACKET_BUFFER) % 8 == 0);
static_assert(MAX_PPA == 10, "the adapter table has 10 slots; 10 also means no slot");
#undef NVX_REC_AT
#endif

#endif /* NVX_DRIVER_NVX_H */
