/*
 * Console dump of a STREAMS queue (dumpqueue) and the names of its flag bits. No routine of the
 * driver calls it: it is there for other kernel code and for debugging sessions.
 *
 * Context: any; no locks held or taken except the queue's own by qsize.
 */
#ifndef NVX_DRIVER_DUMPQUEUE_H
#define NVX_DRIVER_DUMPQUEUE_H

#include "nvx.h"

#ifdef __cplusplus
extern "C" {
#endif

/* dumpqueue - print the queue; with dumpotherq non-zero also the other queue of its pair.
 * A null queue prints nothing. */
void dumpqueue(queue_t *q, int dumpotherq);

/*
 * GetQueueFlagsStr - names of the q_flag bits set, lowest first, joined by "|"; a bit without a
 *   name adds only the separator (0x81 gives "QENAB|").
 * Parameters: szBuffer, ulLength - the caller's buffer (256 bytes); cut to fit, terminated.
 * Return values: szBuffer.
 */
char *GetQueueFlagsStr(U32 flags, char *szBuffer, U32 ulLength);

#ifdef __cplusplus
}
#endif

#endif /* NVX_DRIVER_DUMPQUEUE_H */
