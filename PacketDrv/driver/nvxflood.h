/*
 * Flood protection and bypass: two driver-wide ways for the sensor to take traffic out of the
 * capture path without touching the filter set.
 *
 * - Flood protection (the ignore request): FloodList holds one FloodItem per ignored source and
 *   protocol. While an entry lives, inbound bare data frames from its address whose IP protocol
 *   equals its protocol (any protocol when it is FLOOD_ANY_PROTOCOL) are dropped by the capture
 *   decision of a captured adapter. Entries expire after their period and are freed by an
 *   ageing pass, at most one pass every FloodAgeTime seconds, run from the capture decision.
 * - Bypass: one address, BypassIp (0: none). Frames to or from it, in either direction, are
 *   passed on without being captured.
 *
 * Addresses are numbers whose most significant byte is the first octet: what the target's
 * native 32-bit load of the four network-order bytes gives. Frames are read that way here
 * (big-endian), so a request's address must be given in the same form.
 *
 * Frames are read at fixed offsets: the link type at 12 of the link header, the IP header at
 * 14 (protocol at 9, source at 12, destination at 16). A frame whose data block is missing or
 * too short for those offsets is not IP for these checks: it matches nothing, and nothing is
 * read outside the block's data.
 *
 * Lock key:
 *   l  FloodLock (a mutex; taken inside nvx_rwlock, never around another lock)
 *   a  relaxed atomic only: read without a lock by the per-frame checks
 *   i  a setting, changed only while no frame or request can run (load, tests)
 *
 * Context: AddFlood in the control request's process context; CheckFlood, TestFlood, AgeFlood,
 * CheckBypass and BypassHandler in the put procedures (often interrupt context), with
 * nvx_rwlock held as reader by nvx_data. Nothing here sleeps.
 */
#ifndef NVX_DRIVER_NVXFLOOD_H
#define NVX_DRIVER_NVXFLOOD_H

#include <sys/stream.h>
#include <sys/types.h>

#include "nvxtypes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* An ignore entry's protocol that matches every protocol from its address. */
#define FLOOD_ANY_PROTOCOL 255

/* Trace level of the flood list's messages. */
#define FLOOD_TRACE_LEVEL 8

typedef struct FloodItem {
    struct FloodItem *next; /* l: next entry; null ends the list */
    time_t time;            /* l: expiry: dropped once the current second is later */
    U32 ip;                 /* l: source address */
    U32 protocol;           /* l: IP protocol number, or FLOOD_ANY_PROTOCOL */
} FloodItem;

extern FloodItem *FloodList; /* l (tested for null without it: a): newest first */
extern int FloodAge;         /* i: period used when a request gives 0, seconds (60) */
extern int FloodAgeTime;     /* i: least seconds between two ageing passes (10) */
extern U32 lastCheck;        /* a: second of the last ageing pass, low 32 bits */
extern U32 BypassIp;         /* a: the bypass address; 0 means no bypass */
extern U32 BypassPersistant; /* a: persistence flag of the last bypass request; recorded only */

/* InitFlood - initialise FloodLock and start with an empty list, no bypass and no pass yet.
 * Context: module load, before any stream exists. */
void InitFlood(void);

/* FiniFlood - free the entries still on the list and destroy FloodLock. Context: module
 * unload or failed load, when no stream exists. */
void FiniFlood(void);

/*
 * AddFlood - ignore the source ip for protocol during timeout seconds (0: FloodAge) from now
 * Description: renews the entry with the same address and protocol (it keeps its place), or
 *   pushes a new one at the head of the list. Takes FloodLock.
 * Return values: 1 when the entry was renewed or added; 0 when no memory could be had for a
 *   new entry (the list is unchanged).
 */
int AddFlood(U32 ip, U32 timeout, U32 protocol);

/*
 * CheckFlood - age the list, then tell whether the frame's source is ignored
 * Parameters: mp - the frame (a bare M_DATA message, or a control block followed by the data);
 *   time - the frame's capture second; dir - DIR_INBOUND or DIR_OUTBOUND.
 * Return values: true when an entry matches the frame's IP source and protocol; false at once
 *   (no lock, no ageing) while the list is empty, and for frames that are not IPv4.
 */
bool CheckFlood(mblk_t *mp, time_t time, int dir);

/* TestFlood - true when an entry has this source address and this protocol, or this address
 * and FLOOD_ANY_PROTOCOL. Takes FloodLock. */
bool TestFlood(U32 ip, U32 protocol);

/* AgeFlood - free every entry whose expiry is earlier than time, unless the last pass was less
 * than FloodAgeTime seconds before time. Takes FloodLock. */
void AgeFlood(time_t time);

/* CheckBypass - true when a bypass is set and the frame's IP source or destination equals it;
 * false for frames that are not IPv4. */
bool CheckBypass(mblk_t *mp, int direction);

/* BypassHandler - CheckBypass(mp, direction); the queue is not used. */
bool BypassHandler(queue_t *q, mblk_t *mp, int direction);

/* SetBypass - how the bypass request stores BypassIp and BypassPersistant: atomically, as the
 * per-frame check reads them without a lock. A frame already past the check keeps its answer;
 * the next frame sees the new address. */
void SetBypass(U32 ulBypass, U32 bPersistant);

/* The IPv4 fields that the flood, bypass and filter checks read from a frame. */
typedef struct FrameIpFields {
    U32 ulSource;      /* IP source address (offset 12 of the IP header) */
    U32 ulDestination; /* IP destination address (offset 16) */
    U8 ucProtocol;     /* IP protocol (offset 9) */
} FrameIpFields;

/*
 * GetFrameIpFields - read the IPv4 fields of a frame at the fixed offsets
 * Description: the data block is mp's continuation when mp is not M_DATA, else mp. The link
 *   header starts at the read pointer for outbound frames and, for inbound frames, HeaderLen
 *   (nvxgeom.h) bytes before it. The
 *   IP header is taken 14 bytes after the link header's start.
 * Return values: true with *pFields filled when the link type is 0x0800 and the block's data
 *   holds every byte read; false (nothing read outside the block) otherwise.
 */
bool GetFrameIpFields(mblk_t *mp, int dir, FrameIpFields *pFields);

#ifdef __cplusplus
}
#endif

#endif /* NVX_DRIVER_NVXFLOOD_H */
