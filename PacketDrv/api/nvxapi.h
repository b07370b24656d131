/*
 * libnvxapi: the capture library a sensor process links against (C API).
 *
 * The library talks to the nvx driver through the clone device "/dev/nvx": I_STR ioctls for
 * control requests, one putmsg for the read request, and one mapping of the capture region
 * per capture. Frames are read in place, straight out of the mapped region, without a system
 * call while frames are waiting.
 *
 * Calling order: PacketGetVersion (optional), PacketInit, PacketGetAdapterList, PacketOpen per
 * adapter, PacketCreateRx, then the reading loop (PacketRead, work, PacketFree), PacketCloseRx
 * or PacketClose, PacketTerminate. The ignore, parameter and filter calls need neither
 * PacketInit nor an open adapter.
 *
 * Threads: the library starts none. ListLock guards the list of open adapters; calls on one
 * adapter come from one thread at a time; PacketInit, PacketTerminate and PacketGetAdapterList
 * do not overlap other calls; filter set-up comes from one thread.
 *
 * Every call returns a PacketResult code (packetErrors.h). The library also exports the
 * circular queue (CircularQueue.h), trace (debug.h) and field access and checksum
 * (nvxcksum.h) families.
 *
 * Build a program with: cc prog.c $(pkg-config --cflags --libs libnvxapi)
 */
#ifndef NVX_API_H
#define NVX_API_H

#include <pthread.h>

#include "nvxtypes.h"
#include "packetErrors.h"
#include "nvxcontrol.h"
#include "CircularQueue.h"
#include "debug.h"
#include "nvxcksum.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Interface revision the library speaks (and requires from its caller and the driver). */
#define PACKET_MAJOR_REVISION 2
#define PACKET_MINOR_REVISION 0

typedef char STRING80[80];

/* The caller's initialisation record; only ulMajorRevision is read. */
typedef struct PKTINITPARMS {
    U32 ulMajorRevision;
    U32 ulMinorRevision;
    U32 ulLen;
    U8 abInitMethods[8];
} PKTINITPARMS;

/* One network card of an adapter (only the first of ADAPTER_INFO.aCardInfo is filled). */
typedef struct CARD_INFO {
    U32 ulLinkSpeed;     /* always 100000000 */
    U8 aucMacAddress[6]; /* the first ulAddressLength bytes of the hardware address */
} CARD_INFO;

/* A 64-bit value for the caller's use. */
typedef union word_t {
    S64 word;
    struct {
        S32 upper;
        S32 lower;
    } parts;
} word_t;

/* ADAPTER_INFO.ulProperties bits. */
#define ADAPTER_PROP_LISTED 0x1 /* filled by PacketGetAdapterList */
#define ADAPTER_PROP_OPEN   0x2 /* opened by PacketOpen (stays set after PacketClose) */
#define ADAPTER_PROP_FAST   0x8 /* link speed of 100 Mbit/s or more */

#define ADAPTER_INFO_SIZE  224
#define ADAPTER_LINK_SPEED 100000000u

/*
 * The caller-owned description of one adapter, filled by PacketGetAdapterList and PacketOpen.
 * It counts as open exactly while aulReserved[0] is non-zero and ADAPTER_PROP_OPEN is set.
 * aulReserved[0] links it to the library's record of the open adapter: that record's address
 * in a build with 4-byte pointers, a non-zero token otherwise; the library finds the record in
 * its list of open adapters either way, never through an address read from here.
 * Size: 224 bytes on every build. hUserContext lies at offset 168 (8-byte aligned within the
 * record); the explicit tail word stands for the padding a 64-bit build adds anyway, so that a
 * build aligning 64-bit fields to 4 (i386) has the same size while the record needs only
 * 4-byte alignment there: PacketGetAdapterList places records 228 bytes apart behind 4-byte
 * pointers, and every one of them stays aligned.
 */
typedef struct ADAPTER_INFO {
    U32 ulSize;            /* 224 */
    STRING80 szDeviceName; /* the adapter's name as the driver reports it */
    U32 ulProperties;      /* ADAPTER_PROP_* */
    U32 ulMajorVersion;    /* not set */
    U32 ulMinorVersion;    /* not set */
    U32 ulMedium;          /* PB_MEDIUM_DIX */
    U32 ulAddressLength;   /* hardware address bytes (at most 6) */
    U32 ulNumCards;        /* 1 */
    CARD_INFO aCardInfo[4];
    U32 ulMaxPacketSize;         /* dl_max_sdu */
    U32 ulRcvBufferSize;         /* dl_max_sdu */
    U32 ulTotalFrameElementSize; /* dl_max_sdu */
    word_t hUserContext;         /* the caller's, never touched */
    U32 ulReadCount;             /* reads since the last read request to the driver */
    U32 aulReserved[10];
    U32 ulTailPadding; /* not used */
} ADAPTER_INFO;

/* Only in the signatures of stub calls. */
typedef struct ADAPTER_STATISTICS {
    U32 ulStatus;
    U32 ulLostPackets;
} ADAPTER_STATISTICS;
typedef U32 (*PFN_APPNOTIFY)(void);

/* The library's private record of one open adapter. */
typedef struct PPAData PPAData;

/* Exported data. */
extern const char deviceName[];    /* "/dev/nvx" */
extern PPAData *pList;             /* open adapters, newest first; ListLock */
extern pthread_mutex_t ListLock;   /* guards pList */
extern pthread_mutex_t *pListLock; /* &ListLock while initialised, else NULL */
extern int GlobalReadThreshold;    /* every (T+1)-th read goes to the driver; 0: off */

/* Setup and adapters. */
int PacketGetVersion(U32 *pulMajor, U32 *pulMinor);
int PacketInit(PKTINITPARMS *ppi);
int PacketTerminate(void);
int PacketGetAdapterList(void *pvInMem, int ulSize, ADAPTER_INFO ***ppaList, int *pNumItems);
int PacketOpen(ADAPTER_INFO *pai, U32 ulMode);
int PacketClose(ADAPTER_INFO *pai);
int strioctl(int fd, int cmd, int timout, int len, char *dp);
void printIoctlError(int cmd);
int device_ppa(const char *device);
int initMutex(pthread_mutex_t *m_ptr, int type);
int destroyMutex(pthread_mutex_t *m_ptr);
int lockMutex(pthread_mutex_t *m_ptr);
int unlockMutex(pthread_mutex_t *m_ptr);

/* Capture. PacketFree actions: */
#define PACKET_FREE_RELEASE 0x1 /* accepted, no effect */
#define PACKET_FREE_BLOCK   0x2 /* block the frame (inline adapters only) */
int PacketCreateRx(ADAPTER_INFO *pai, U32 ulCaptureBufferSize, U32 ulFlag);
int PacketCloseRx(ADAPTER_INFO *pai);
int PacketRead(ADAPTER_INFO *pai, U32 iWaitMsec, PACKET_BUFFER **ppPacketBuffer);
U8 *PacketGetDataPtr(PACKET_BUFFER *pPacketBuffer);
int PacketFree(ADAPTER_INFO *pai, PACKET_BUFFER *pFrame, U32 ulAction);
void print64(U8 *val);

/* Control. */
#define PACKET_MAX_FILTERS 32
int PacketIgnore(U32 ulIgnoreIp, U32 ulIgnoreTime, U32 ulIgnoreProtocol);
int PacketBypass(ADAPTER_INFO *pai, U32 ulBypass, U32 bPersistant);
int PacketSetParameter(const char *key, const char *value);
int AddPacketFilter(U32 ulIpAddress, U8 ucNetmask, U8 ucProtocol, U8 ucDirection);
int PushAllPacketFilters(void);
int PurgePacketFilters(void);

/* Stubs: accept their arguments and return PACKETERR_NOT_IMPLEMENTED. */
int PacketInject(ADAPTER_INFO *pai, PACKET_BUFFER *pOriginalFrame, U32 ulLen, U8 *pxFrame,
                 U32 ulInterface);
int PacketClientCount(U32 *pulCount);
int PacketSetNotifyRoutine(PFN_APPNOTIFY pfnRoutine);
int PacketSetIdsFeatures(ADAPTER_INFO *pai, U32 *pulFeatures);
int PacketGetStatistics(ADAPTER_INFO *pai, ADAPTER_STATISTICS *pas, int bResetStats);

#ifdef __cplusplus
}
#include <cstddef>
static_assert(offsetof(ADAPTER_INFO, szDeviceName) == 4, "ADAPTER_INFO layout");
static_assert(offsetof(ADAPTER_INFO, ulProperties) == 84, "ADAPTER_INFO layout");
static_assert(offsetof(ADAPTER_INFO, ulMedium) == 96, "ADAPTER_INFO layout");
static_assert(offsetof(ADAPTER_INFO, aCardInfo) == 108, "ADAPTER_INFO layout");
static_assert(sizeof(CARD_INFO) == 12, "CARD_INFO is 12 bytes");
static_assert(offsetof(ADAPTER_INFO, ulMaxPacketSize) == 156, "ADAPTER_INFO layout");
static_assert(offsetof(ADAPTER_INFO, hUserContext) == 168, "ADAPTER_INFO layout");
static_assert(offsetof(ADAPTER_INFO, ulReadCount) == 176, "ADAPTER_INFO layout");
static_assert(offsetof(ADAPTER_INFO, aulReserved) == 180, "ADAPTER_INFO layout");
static_assert(sizeof(ADAPTER_INFO) == ADAPTER_INFO_SIZE, "ADAPTER_INFO is 224 bytes");
static_assert(alignof(ADAPTER_INFO) <= sizeof(void *), "records behind the list's pointers");
static_assert(sizeof(PKTINITPARMS) == 20, "PKTINITPARMS is 20 bytes");
static_assert(sizeof(word_t) == 8, "word_t is 8 bytes");
#else
_Static_assert(sizeof(ADAPTER_INFO) == ADAPTER_INFO_SIZE, "ADAPTER_INFO is 224 bytes");
_Static_assert(sizeof(CARD_INFO) == 12, "CARD_INFO is 12 bytes");
#endif

#endif /* NVX_API_H */
