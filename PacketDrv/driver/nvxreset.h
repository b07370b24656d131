/*
 * TCP reset frames built from a held TCP segment: the 54-byte frame (Ethernet II, 20-byte IPv4
 * header, 20-byte TCP header, no payload) and the message that carries it up or down.
 *
 * Context: the release path (process context of the read request, or a flush); no locks of
 * its own; allocb without sleeping.
 */
#ifndef NVX_DRIVER_NVXRESET_H
#define NVX_DRIVER_NVXRESET_H

#include "nvx.h"

#ifdef __cplusplus
extern "C" {
#endif

#define NVX_RESET_FRAME_LEN 54 /* 14 + 20 + 20 */

/*
 * build_reset - write a reset frame answering the segment whose link header is at from
 * Parameters: from - the held frame's link header; fromLength - bytes available there (the
 *   builder reads nothing beyond them); to - NVX_RESET_FRAME_LEN bytes for the reset;
 *   turn_around - non-zero: the reset travels against the held frame (addresses and ports
 *   swapped, towards the held frame's sender).
 * Description: sequence numbers make both ends accept the reset: towards the held frame's
 *   receiver the held frame's own sequence number with RST; towards its sender the held frame's
 *   acknowledgement number with RST when it has ACK, else RST|ACK acknowledging the held
 *   segment (sequence 0, acknowledgement = sequence + segment length, + 1 for SYN, + 1 for FIN).
 *   A held IP header with options gets a 20-byte header in the reset.
 * Return values: 1 built; 0 refused: not Ethernet II IPv4 (802.3/SNAP included), not TCP, IP
 *   total length below header + 20, a non-first fragment, a segment that is itself a reset, or
 *   fewer bytes than the headers it claims.
 */
int build_reset(const BYTE *from, long fromLength, BYTE *to, int turn_around);

/*
 * allocate_reset_packet - a reset message for the held frame orig (seen in direction dir),
 *   meant to travel in intended_dir
 * Description: DIR_INBOUND resets start at their IP header (as frames delivered upwards do),
 *   DIR_OUTBOUND ones at their Ethernet header. Only orig's first block is read.
 * Return values: the M_DATA message, or NULL (allocation failure, silently; or refusal).
 */
mblk_t *allocate_reset_packet(mblk_t *orig, int dir, int intended_dir);

#ifdef __cplusplus
}
#endif

#endif /* NVX_DRIVER_NVXRESET_H */
