/*
 * Control requests on a device stream (/dev/nvx): the dispatcher of M_IOCTL messages, their
 * positive and negative replies, the handlers that are not about the capture session itself
 * (initialisation, adapter list, opening and closing an adapter, ignore entries, bypass,
 * configuration, packet filters), and the adapter record's attachment to the adapter table and
 * the module streams. The session requests (create_rx_ioctl, close_rx_ioctl) are the capture
 * engine's (nvxsession.h).
 *
 * - Context: the device stream's write put procedure, in the process context of the library's
 *   thread; one request at a time per stream, concurrently across streams and with the put
 *   procedures, read requests and session timers. No handler here sleeps for memory.
 * - Every request is answered exactly once (M_IOCACK or M_IOCNAK through qreply). A handler
 *   that takes a request record frees it once used, so its positive reply carries no data; a
 *   handler that answers with data puts it behind the M_IOCTL block. A negative reply never
 *   carries data.
 * - Lock order: nvx_rwlock (writer) before nvx_bindlock (writer) in set_binding; the handlers
 *   take every other driver lock one at a time.
 */
#ifndef NVX_DRIVER_NVXIOCTL_H
#define NVX_DRIVER_NVXIOCTL_H

#include "nvx.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * nvx_ioctl - answer one M_IOCTL of a device stream
 * Description: transparent ioctls and codes outside the command table (0x7002, 0x7007 to
 *   0x7009 among them) are refused with EINVAL after their console line; every other code goes
 *   to its handler, whose result 0 is acknowledged and any other value refused with that value.
 * Context: process context (nvx_drv_wput). Owns mp: it always goes back up. Return: 0.
 */
int nvx_ioctl(queue_t *q, mblk_t *mp);

/* nvx_iocack - turn the M_IOCTL into an M_IOCACK (ioc_error 0, ioc_count the data bytes behind
 * it) and send it back up. */
void nvx_iocack(queue_t *q, mblk_t *mp);

/* nvx_iocnak - turn the M_IOCTL into an M_IOCNAK (ioc_rval -1, ioc_error error, ioc_count 0),
 * free any data behind it and send it back up. */
void nvx_iocnak(queue_t *q, mblk_t *mp, int error);

/*
 * The handlers: (device stream's write queue, the M_IOCTL) -> 0 or the error of the reply.
 *   init_ioctl          InitData 2.0 as reply; ENOMEM
 *   adapter_ioctl       AdapterData (524 bytes, zero behind the last entry); ENOMEM
 *   open_ioctl          OpenData in and out; EINVAL (no, short or unterminated record),
 *                       EEXIST (this stream or another has the adapter open), ENODEV (no such
 *                       adapter, or no IP/ARP stream bound on it), ENOMEM
 *   close_ioctl         EINVAL (nothing opened on this stream)
 *   ignore_ioctl        IgnoreData; EINVAL; ENOMEM (the entry could not be added)
 *   bypass_ioctl        BypassData; EINVAL
 *   config_ioctl        ConfigData; EINVAL (short record, unknown type)
 *   add_filter_ioctl    FilterElement; EINVAL; PACKETERR_FILTER_ADD_ERROR
 *   flush_filters_ioctl PACKETERR_FILTER_FLUSH_ERROR
 */
int init_ioctl(queue_t *q, mblk_t *mp);
int adapter_ioctl(queue_t *q, mblk_t *mp);
int open_ioctl(queue_t *q, mblk_t *mp);
int close_ioctl(queue_t *q, mblk_t *mp);
int ignore_ioctl(queue_t *q, mblk_t *mp);
int bypass_ioctl(queue_t *q, mblk_t *mp);
int config_ioctl(queue_t *q, mblk_t *mp);
int add_filter_ioctl(queue_t *q, mblk_t *mp);
int flush_filters_ioctl(queue_t *q, mblk_t *mp);

/*
 * set_binding - attach (set != 0) or detach (set == 0) an adapter record
 * Description: attaching makes gip the openInfo of owner (the device stream that opened the
 *   adapter) and of every module binding of the adapter's slot, and the slot's gip. It is
 *   refused, changing nothing, when the slot already has an adapter record or owner already
 *   has one (two opens racing for one adapter, or a second open on one stream). Other device
 *   streams are never attached, even when a refused open left them with the slot's index.
 *   Detaching clears every openInfo that is gip, and the slot's gip. owner is not used then.
 * Context: process context. Locks: takes nvx_rwlock (writer), then nvx_bindlock (writer); the
 *   caller holds neither.
 * Return values: 0; EEXIST (attach refused).
 */
int set_binding(GlobalInfo *gip, int set, BindingInfo *owner);

/*
 * stop_capture - close an opened adapter: detach its record, stop and free its session, free it
 * Context: process context (NVX_CLOSE_IOCTL, the close of the device stream that opened it).
 *   May wait for a read request, a timer run or a module stream close inside the session.
 * Locks: the caller holds none.
 */
void stop_capture(GlobalInfo *gip);

#ifdef __cplusplus
}
#endif

#endif /* NVX_DRIVER_NVXIOCTL_H */
