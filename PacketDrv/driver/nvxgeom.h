/*
 * Frame geometry used by the capture decision, the filter and the flood checks: where the link
 * header of a frame lies relative to a message block's read pointer, and tests on its
 * destination address. None of these reads a byte outside the block's data buffer.
 *
 * Context: any (put procedures in interrupt context); no locks, no allocation.
 */
#ifndef NVX_DRIVER_NVXGEOM_H
#define NVX_DRIVER_NVXGEOM_H

#include "nvx.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * HeaderLen - length of the link header in front of an inbound block's read pointer
 * Return values: 0 with fewer than 14 bytes between the buffer start and the read pointer; 14
 *   with 14 to 21; with 22 or more, 14 when the 16-bit value 10 bytes before the read pointer
 *   exceeds 1500 (Ethernet II), else 22 (802.3 with LLC/SNAP).
 */
int HeaderLen(mblk_t *mp);

/*
 * get_dest_mac - start of the link header (the destination address)
 * Return values: DIR_INBOUND: the read pointer minus HeaderLen(mp); otherwise the read pointer.
 *   The six bytes there are not guaranteed to lie in the block: is_broadcast and is_matching
 *   check that before reading.
 */
BYTE *get_dest_mac(mblk_t *mp, int dir);

/* is_broadcast - 1 when the six destination bytes are all 0xff; 0 otherwise, also when the
 * block does not hold six bytes there. */
int is_broadcast(mblk_t *mp, int dir);

/* is_matching - 1 when the six destination bytes equal the six bytes at mac; 0 otherwise, also
 * when the block does not hold six bytes there. */
int is_matching(mblk_t *mp, const BYTE *mac, int dir);

#ifdef __cplusplus
}
#endif

#endif /* NVX_DRIVER_NVXGEOM_H */
