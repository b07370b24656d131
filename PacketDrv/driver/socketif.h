/*
 * Answering a blocked TCP connection: two resets built from the held segment, one up the local
 * protocol stack and one down onto the wire.
 */
#ifndef NVX_DRIVER_SOCKETIF_H
#define NVX_DRIVER_SOCKETIF_H

#include "nvx.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * send_reset - reset both ends of the connection of the held frame mp
 * Parameters: q - a queue of the module instance the frame was seen on (its read and write
 *   queues are used); mp - the held frame, which stays the caller's (it is pulled up into one
 *   block when chained, never freed here); dir - DIR_INBOUND or DIR_OUTBOUND.
 * Description: the inbound reset goes up with putnext on the read queue, the outbound one down
 *   on the write queue; a reset whose next queue is flow-controlled is freed, the other is still
 *   sent.
 * Context: the release path; no locks of its own; never sleeps.
 * Return values: 1 when both resets were built (whether or not they could be passed on); 0 for
 *   a message that is not M_DATA or a frame that gets no reset (see build_reset), or when an
 *   allocation failed.
 */
int send_reset(queue_t *q, mblk_t *mp, int dir);

#ifdef __cplusplus
}
#endif

#endif /* NVX_DRIVER_SOCKETIF_H */
