/*
 * Console dumps of STREAMS messages (dumpmbuf) and the name lookups they use.
 *
 * Context: any context the put procedures run in; no locks, no allocation. The name buffers
 * belong to the caller, so concurrent dumps never overwrite each other's text.
 */
#ifndef NVX_DRIVER_DUMPMBUF_H
#define NVX_DRIVER_DUMPMBUF_H

#include "nvx.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Size of the text buffer a caller passes to GetMblkFlagsStr. */
#define NVX_FLAGSTR_LEN 256

/*
 * dumpmbuf - print a message block and every continuation block on the console
 * Parameters: q - the queue it was seen on (printed only); mp - the message (NULL prints
 *   "NULL MBLK!"); parent - the block mp continues, or NULL; direction - DIR_INBOUND or another
 *   value (outbound).
 * Description: each block increments the message counter and prints its header, flags, data
 *   block, the protocol line of its type, its sizes and up to 128 bytes of its buffer in hex.
 *   The chain is walked iteratively.
 */
void dumpmbuf(queue_t *q, mblk_t *mp, mblk_t *parent, int direction);

/* The constant name of a STREAMS message type ("M_DATA" ...), or "UNKNOWN". */
const char *GetStreamsMsgTypeStr(int mtype);

/* The DLPI version 2 name of a primitive code 0 to 53 ("DL_INFO_REQ" ...), or "UNKNOWN". */
const char *GetStreamsDLPIStr(U32 dltype);

/* Name of an ioctl command: always "UNKNOWN". */
const char *GetIoctlStr(int cmd);

/*
 * GetMblkFlagsStr - names of the b_flag bits set, lowest first, each of bits 0 to 30 followed
 *   by a blank ("MSGMARK MSGDELIM " for 0x05); bits above 0x20 are "UNKNOWN".
 * Parameters: szBuffer, ulLength - the caller's buffer (NVX_FLAGSTR_LEN); the text is cut to
 *   fit and always terminated.
 * Return values: szBuffer.
 */
char *GetMblkFlagsStr(U32 flags, char *szBuffer, U32 ulLength);

#ifdef __cplusplus
}
#endif

#endif /* NVX_DRIVER_DUMPMBUF_H */
