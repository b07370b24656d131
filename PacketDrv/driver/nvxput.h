/*
 * The put procedures of nvx and what they call: the DLPI handlers that follow a module
 * instance's conversation with its interface driver, the capture decision of every data
 * frame (nvx_data), and the diagnostics of the put procedures.
 *
 * - Module instances (pushed directly above an interface driver): the read side runs in the
 *   interface's receive context (interrupt context), the write side in the sender's context;
 *   both are multithreaded, never sleep and allocate only without sleeping. Every message is
 *   passed on, unless the capture engine keeps it (RC_QUEUED), the ignore list drops it, it is
 *   a malformed DLPI message, or it is the acknowledgement of the module's own DL_INFO_REQ.
 * - Device streams (/dev/nvx, no queue below): the write side takes control requests (to
 *   nvx_ioctl) and read requests (to nvx_read) in the library thread's process context.
 * - Locks: nvx_data holds nvx_rwlock as reader for the whole decision; the bind and unbind
 *   paths take nvx_rwlock as writer and, inside it, nvx_bindlock as writer to change the
 *   binding list in the same step. Handlers return a put disposition (RC_*, nvx.h), which the
 *   put procedure applies after every lock is released.
 */
#ifndef NVX_DRIVER_NVXPUT_H
#define NVX_DRIVER_NVXPUT_H

#include "nvx.h"

#ifdef __cplusplus
extern "C" {
#endif

/* nvx_rput - read put procedure of a module instance (interface receive context). */
int nvx_rput(queue_t *q, mblk_t *mp);
/* nvx_wput - write put procedure of a module instance and of a device stream. */
int nvx_wput(queue_t *q, mblk_t *mp);
/* nvx_drv_wput - device stream write side: M_IOCTL to nvx_ioctl, M_PROTO and M_PCPROTO to
 * nvx_read (then freed), anything else freed with a trace line. Process context. */
int nvx_drv_wput(queue_t *q, mblk_t *mp);

/* DLPI handlers of a module instance; each returns the message's disposition. */
int nvx_bind_ack(queue_t *q, mblk_t *mp);     /* read queue: register and bind */
int nvx_info_ack(queue_t *q, mblk_t *mp);     /* read queue: the answer to our DL_INFO_REQ */
int nvx_unitdata_ind(queue_t *q, mblk_t *mp); /* read queue: capture its data block */
int nvx_attach_req(queue_t *q, mblk_t *mp);   /* write queue: remember dl_ppa */
int nvx_unbind_req(queue_t *q, mblk_t *mp);   /* write queue: unbind */

/*
 * nvx_data - the capture decision for one data frame
 * Parameters: q - the module queue it was seen on; mp - the whole message; dir - DIR_INBOUND
 *   or DIR_OUTBOUND; proto - non-zero when mp is a protocol block followed by the data.
 * Description: in order: no adapter record, capture off or flushing, no session: forward;
 *   inbound bare frames of an ignored source: free; flow controlled: buffer full; bypass and
 *   filters: forward; otherwise the capture engine decides (store_packet).
 * Context: put procedures. Locks: nvx_rwlock as reader throughout.
 * Return values: RC_FORWARD, RC_QUEUED (the session owns mp now), RC_BUFFER_FULL, RC_FREE.
 */
int nvx_data(queue_t *q, mblk_t *mp, int dir, int proto);

/* dump_dlpi - one trace line naming the primitive (printed while tracing is on). */
void dump_dlpi(U32 opcode, queue_t *q);
/* DumpInboundPacket, DumpOutboundPacket - a banner line and dumpmbuf of the message. */
void DumpInboundPacket(queue_t *q, mblk_t *mp);
void DumpOutboundPacket(queue_t *q, mblk_t *mp);

#ifdef __cplusplus
}
#endif

#endif /* NVX_DRIVER_NVXPUT_H */
