/*
 * What crosses between the nvx kernel object and libnvxapi on the device stream "/dev/nvx":
 * the control commands (I_STR ioctls) with their request and reply records, the read request,
 * the capture region's RcvBuffer header, the PACKET_BUFFER frame header the reader sees, and
 * the status, mode and flag bits.
 *
 * Every record is made of 32-bit (or byte) fields at fixed offsets, so a 64-bit driver and a
 * 32-bit library agree; the static_asserts at the end pin each layout in both word sizes.
 * Integers are in the host's byte order.
 */
#ifndef NVX_CONTROL_H
#define NVX_CONTROL_H

#include "nvxtypes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Control command codes (ioc_cmd of the M_IOCTL; ic_cmd of the I_STR). */
#define NVX_INIT_IOCTL          0x7001
#define NVX_OPEN_IOCTL          0x7003
#define NVX_CLOSE_IOCTL         0x7004
#define NVX_CREATE_RX_IOCTL     0x7005
#define NVX_CLOSE_RX_IOCTL      0x7006
#define NVX_READ_IOCTL          0x7007 /* not accepted as an ioctl */
#define NVX_FREE_IOCTL          0x7008 /* not accepted as an ioctl */
#define NVX_INJECT_IOCTL        0x7009 /* not accepted as an ioctl */
#define NVX_IGNORE_IOCTL        0x700A
#define NVX_BYPASS_IOCTL        0x700B
#define NVX_ADAPTER_IOCTL       0x700C
#define NVX_CONFIG_IOCTL        0x700D
#define NVX_ADD_FILTER_IOCTL    0x700E
#define NVX_FLUSH_FILTERS_IOCTL 0x700F

/* Interface revision answered by NVX_INIT_IOCTL. */
#define NVX_MAJOR_REVISION 2
#define NVX_MINOR_REVISION 0

#define NVX_MAX_ADAPTERS   10 /* entries of the adapter table and of AdapterData */
#define NVX_DEVICENAME_LEN 16

/* Open mode (OpenData.ulOpenMode): only this exact value has an effect. */
#define MODE_INLINE 16

/* Capture mode bits (CreateRxData.ulFlag). Any other bit makes the request invalid. */
#define CM_DIRECTED    0x01 /* destination MAC is the adapter's own */
#define CM_BROADCAST   0x02 /* destination MAC is all ones */
#define CM_PROMISCUOUS 0x04 /* every frame */
#define CM_INLINE      0x10 /* every frame; verdicts honoured with MODE_INLINE */
#define CM_VALID_BITS  (CM_DIRECTED | CM_BROADCAST | CM_PROMISCUOUS | CM_INLINE)

/* Region size used when the requested one is below NVX_MIN_BUFSIZE. */
#define NVX_MIN_BUFSIZE     8192
#define NVX_DEFAULT_BUFSIZE 0x400000

/* Medium codes (ppaInfo.uMedium and the library's adapter records). */
enum PacketMedium {
    PB_MEDIUM_ETHERNET = 0,
    PB_MEDIUM_TOKENRING = 1,
    PB_MEDIUM_FDDI = 2,
    PB_MEDIUM_NETFILTER_IPV4 = 3,
    PB_MEDIUM_WAN = 4,
    PB_MEDIUM_LOCALTALK = 5,
    PB_MEDIUM_DIX = 6,
    PB_MEDIUM_ARCNET_RAW = 7,
    PB_MEDIUM_ARCNET_878_2 = 8,
    PB_MEDIUM_ATM = 9,
    PB_MEDIUM_WIRELESS_WAN = 10,
    PB_MEDIUM_IRDA = 11,
    PB_MEDIUM_MAX = 12
};

/* Status bits of PACKET_BUFFER.ulStatus. The driver writes exactly PB_MARK_INBOUND for an
 * inbound frame and PB_MARK_OUTBOUND | PB_FLAG_TX for an outbound one; the reader may add
 * PB_FLAG_FRAME_BLOCKED; the other names are for the application. */
enum PacketStatus {
    PB_FLAG_TX = 0x1,
    PB_FLAG_RX_LOST = 0x2,
    PB_FLAG_TX_LOST = 0x4,
    PB_FLAG_RX_FILTERED = 0x8,
    PB_FLAG_CRCERR = 0x10,
    PB_FLAG_BAD_CHECKSUM_IP_HDR = 0x20,
    PB_FLAG_BAD_CHECKSUM_TRANSPORT = 0x40,
    PB_FLAG_CHECKSUM_IP_PRESENT = 0x80,
    PB_FLAG_CHECKSUM_TRANSPORT_PRESENT = 0x100,
    PB_FLAG_RX_WAN = 0x200,
    PB_FLAG_FRAME_BLOCKED = 0x400,
    PB_FLAG_FRAME_LAST = 0x1000
};
#define PB_MARK_OUTBOUND 0x04000000u
#define PB_MARK_INBOUND  0x20000000u

/* RcvBuffer.ulFlags */
#define RB_SESSION_TIMEOUT 0x2

/* Outcomes of a read request, left in RcvBuffer.nvx_errno (errno values). */
#define NVX_READ_FRAMES  11 /* EAGAIN: frame records are waiting */
#define NVX_READ_TIMEOUT 62 /* ETIME: a one-second wait ended without a frame */
#define NVX_READ_STOPPED 4  /* EINTR: signalled, or the capture is stopped */
#define NVX_READ_INVALID 22 /* EINVAL: short request, or the release failed */

/* Reply of NVX_INIT_IOCTL. */
typedef struct InitData {
    U32 ulMajorRevision;
    U32 ulMinorRevision;
} InitData;

/* Description of one adapter (one adapter-table entry). */
typedef struct ppaInfo {
    U32 dl_max_sdu;                      /* largest payload, from the adapter's DL_INFO_ACK */
    U32 dl_mac_type;                     /* DLPI MAC type */
    U32 dl_provider_style;               /* DLPI provider style */
    U32 dl_addr_length;                  /* DLPI address length; 0 marks an unusable adapter */
    U32 dl_brdcst_addr_length;           /* broadcast address length */
    U32 uMedium;                         /* PB_MEDIUM_* */
    char devicename[NVX_DEVICENAME_LEN]; /* adapter name, NUL-terminated */
    U8 aucMacAddress[6];
    U8 brdcstMacAddress[6];
} ppaInfo;

/* Request and reply of NVX_OPEN_IOCTL. */
typedef struct OpenData {
    U32 ulOpenMode;                   /* stored; only MODE_INLINE has an effect */
    char ppaname[NVX_DEVICENAME_LEN]; /* adapter to open, NUL-terminated */
    ppaInfo devinfo;                  /* reply: dl_max_sdu, dl_addr_length, MAC, uMedium set */
} OpenData;

/* Request and reply of NVX_CREATE_RX_IOCTL. */
typedef struct CreateRxData {
    U32 ulBufSize; /* wanted region size; below 8192 replaced by 0x400000 */
    U32 ulFlag;    /* CM_* capture mode */
} CreateRxData;

/* Control part of the read request (putmsg, M_PCPROTO). The value is not used. */
typedef struct ReadData {
    U32 waitTime;
} ReadData;

/* Request of NVX_IGNORE_IOCTL. */
typedef struct IgnoreData {
    U32 ulIgnoreTime;     /* seconds */
    U32 ulIgnoreIp;       /* IPv4 address, network byte order */
    U32 ulIgnoreProtocol; /* IP protocol number */
} IgnoreData;

/* Request of NVX_BYPASS_IOCTL. */
typedef struct BypassData {
    U32 ulBypass;    /* bypass address, 0 for none */
    U32 bPersistant; /* stored as received */
} BypassData;

/* Request of NVX_CONFIG_IOCTL. */
typedef struct ConfigData {
    U32 ulType;
    U32 ulSubType;
    U32 ulArg;
} ConfigData;

#define NVX_CONFIG_DEBUG       1   /* ulType: trace and dumps, by ulSubType */
#define NVX_CONFIG_TIMEOUT     2   /* ulType: GlobalTimeout = ulArg seconds */
#define NVX_CONFIG_THRESHOLD   3   /* ulType: GlobalThreshold = ulArg percent */
#define NVX_CONFIG_DUMP_ALL    'd' /* 100: print_all */
#define NVX_CONFIG_TRACE       'e' /* 101: _debug(ulArg) */
#define NVX_CONFIG_TRACE_LEVEL 'l' /* 108: trace on, mask ulArg */
#define NVX_CONFIG_DUMP_QUEUES 'q' /* 113: print_all_queues */
#define NVX_CONFIG_DUMP_STATS  's' /* 115: print_stats */

/* Request of NVX_ADD_FILTER_IOCTL: one filter of the driver's filter set. */
typedef struct FilterElement {
    U32 ulIpAddress;
    U8 ucNetMask;
    U8 ucProtocol;
    U8 ucDirection;
    U8 ucPadding;
} FilterElement;

/* Reply of NVX_ADAPTER_IOCTL: always the whole 524 bytes. */
typedef struct AdapterData {
    S32 devnum; /* valid entries */
    ppaInfo devinfo[NVX_MAX_ADAPTERS];
} AdapterData;

/* Header of the shared capture region (offset 0; the packet queue follows at 384). */
typedef struct RcvBuffer {
    U32 lostpacketsRx;
    U32 lostpacketsTx;
    U32 adapterUpDown;
    U32 padding0[5];
    U32 ulCaptureSize;
    U32 maxpktbufsize;
    U32 nvx_errno; /* driver: outcome of the last read request */
    U32 ulFlags;   /* driver sets, library clears RB_SESSION_TIMEOUT */
    U32 padding1[4];
    U32 packetCount; /* driver: frame records not yet released */
    U32 lLastTime;   /* driver and library: reader's last sign of life, seconds */
    U32 padding3[14];
    U32 bufferIndex;
    U32 frameTrailers;
    U32 lostFlags;
    U32 maxsize;
    U32 pause;
    U32 padding4[3];
    U32 bytestotal;
    U32 maxpacket;
    U32 nicDriverType;
    U32 pktBytesTotal;
    U32 cachedRead;
    U32 padding5[3];
    U32 padding6[8];
    U32 padding7[8];
    U32 maxpacket2;
    U32 pktBytesTotal2;
    U32 cachedWrite;
    U32 padding8[5];
    U32 padding9[8];
    U32 paddingA[8];
    U32 paddingB[8];
} RcvBuffer;

#define NVX_RCVBUFFER_SIZE 384 /* the packet queue starts here */

/* Frame header the reader sees (at blob start + PacketInfo.ulLength). */
typedef struct PACKET_BUFFER {
    U32 ulStatus;        /* PB_* bits */
    U32 ulCapturedBytes; /* frame bytes present (link header included) */
    U32 ulTrueBytes;     /* length on the wire; equal to ulCapturedBytes */
    S32 lDataOffset;     /* 32: data follows this header */
    S32 lTimeSecs;       /* capture time, seconds */
    U32 ulTimeUsecs;     /* capture time, microseconds */
    U32 ulPacketBytes;   /* blob length - 32 */
    U32 ulSequence;      /* capture sequence number */
} PACKET_BUFFER;

#ifdef __cplusplus
}

#include <cstddef>
#define NVX_AT(rec, field, off)                                                                    \
    static_assert(offsetof(rec, field) == (off), #rec "." #field " must lie at " #off)
NVX_AT(ppaInfo, dl_max_sdu, 0);
NVX_AT(ppaInfo, uMedium, 20);
NVX_AT(ppaInfo, devicename, 24);
NVX_AT(ppaInfo, aucMacAddress, 40);
NVX_AT(ppaInfo, brdcstMacAddress, 46);
static_assert(sizeof(ppaInfo) == 52, "ppaInfo is 52 bytes");
NVX_AT(OpenData, ppaname, 4);
NVX_AT(OpenData, devinfo, 20);
static_assert(offsetof(OpenData, devinfo) + offsetof(ppaInfo, dl_addr_length) == 32);
static_assert(offsetof(OpenData, devinfo) + offsetof(ppaInfo, uMedium) == 40);
static_assert(offsetof(OpenData, devinfo) + offsetof(ppaInfo, aucMacAddress) == 60);
static_assert(sizeof(OpenData) == 72, "OpenData is 72 bytes");
static_assert(sizeof(InitData) == 8 && sizeof(CreateRxData) == 8 && sizeof(ReadData) == 4);
static_assert(sizeof(IgnoreData) == 12 && sizeof(BypassData) == 8 && sizeof(ConfigData) == 12);
NVX_AT(FilterElement, ucNetMask, 4);
NVX_AT(FilterElement, ucProtocol, 5);
NVX_AT(FilterElement, ucDirection, 6);
static_assert(sizeof(FilterElement) == 8, "FilterElement is 8 bytes");
NVX_AT(AdapterData, devinfo, 4);
static_assert(sizeof(AdapterData) == 524, "AdapterData is 524 bytes");
NVX_AT(RcvBuffer, ulCaptureSize, 32);
NVX_AT(RcvBuffer, nvx_errno, 40);
NVX_AT(RcvBuffer, ulFlags, 44);
NVX_AT(RcvBuffer, packetCount, 64);
NVX_AT(RcvBuffer, lLastTime, 68);
NVX_AT(RcvBuffer, bufferIndex, 128);
NVX_AT(RcvBuffer, bytestotal, 160);
NVX_AT(RcvBuffer, cachedRead, 176);
NVX_AT(RcvBuffer, padding6, 192);
NVX_AT(RcvBuffer, padding7, 224);
NVX_AT(RcvBuffer, maxpacket2, 256);
NVX_AT(RcvBuffer, cachedWrite, 264);
NVX_AT(RcvBuffer, padding9, 288);
NVX_AT(RcvBuffer, paddingA, 320);
NVX_AT(RcvBuffer, paddingB, 352);
static_assert(sizeof(RcvBuffer) == NVX_RCVBUFFER_SIZE, "RcvBuffer is 384 bytes");
NVX_AT(PACKET_BUFFER, lDataOffset, 12);
NVX_AT(PACKET_BUFFER, lTimeSecs, 16);
NVX_AT(PACKET_BUFFER, ulPacketBytes, 24);
NVX_AT(PACKET_BUFFER, ulSequence, 28);
static_assert(sizeof(PACKET_BUFFER) == 32, "PACKET_BUFFER is 32 bytes");
#undef NVX_AT
#endif

#endif /* NVX_CONTROL_H */
