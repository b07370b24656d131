/*
 * Frame-location utilities: where the link header, its length and type, and the IPv4 header of
 * a frame lie inside a STREAMS message, plus the dotted-quad formatter used in messages.
 *
 * Where the link header starts: outbound frames at the message's read pointer; inbound frames
 * 14 bytes in front of it (the interface driver delivers them with the read pointer past the
 * Ethernet header, which stays in the buffer). Only the first block is examined, and no routine
 * reads a byte outside its data buffer: a frame too short for what it is asked yields the
 * "not found" answer.
 *
 * Context: any (release path, put procedures); no locks, no allocation.
 */
#ifndef NVX_DRIVER_NVXUTIL_H
#define NVX_DRIVER_NVXUTIL_H

#include "nvx.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ETHERTYPE_IP_NVX 0x0800

/* The first six bytes of an LLC/SNAP header: AA AA 03 00 00 00. */
extern const BYTE SNAPHDR[6];

/*
 * GetMacFromMbuf - address of the frame's link header
 * Return values: NULL for a message that is not M_DATA, or an inbound block with fewer than 14
 *   bytes in front of its read pointer.
 */
BYTE *GetMacFromMbuf(mblk_t *mp, int dir);

/*
 * getMacLength - length of the link header at base: 22 when bytes 12 to 13 are at most 1500 and
 *   bytes 14 to 19 equal SNAPHDR, else 14. Reads up to 20 bytes from base.
 */
int getMacLength(const BYTE *base);

/* GetMacLengthFromMbuf - getMacLength of the link header, reading only bytes of the block;
 * 0 for a message that is not M_DATA or holds no complete link header. */
int GetMacLengthFromMbuf(mblk_t *mp, int dir);

/* GetEthertypeFromMbuf - the 16-bit value at bytes 12 to 13 of the link header (type or
 * 802.3 length); 0 for a message that is not M_DATA or too short for it. */
int GetEthertypeFromMbuf(mblk_t *mp, int dir);

/*
 * GetIPFromMbuf - address of the IPv4 header
 * Description: the header follows the link header, in the first block or, when the first block
 *   ends right there, at the start of the next one.
 * Return values: NULL for a message that is not M_DATA, a link type other than 0x0800, or a
 *   first block shorter than the link header it claims.
 */
BYTE *GetIPFromMbuf(mblk_t *mp, int dir);

/* is_zero - 1 if all six bytes at mac are 0, else 0; NULL prints "mac ptr is NULL" and is 1. */
int is_zero(const U8 *mac);

/*
 * nvx_inet_ntoa - format an IPv4 address as "%d.%d.%d.%d", first octet first
 * Parameters: ulIpAddress - the address as a number whose most significant byte is the first
 *   octet; szBuffer - output; ulLength - its size: the text is cut to ulLength - 1 characters
 *   and terminated (nothing is written when ulLength is 0).
 * Return values: szBuffer.
 */
char *nvx_inet_ntoa(U32 ulIpAddress, char *szBuffer, U32 ulLength);

#ifdef __cplusplus
}
#endif

#endif /* NVX_DRIVER_NVXUTIL_H */
