/*
 * The capture session engine: creating and closing a session, staging captured frames from the
 * put procedures, moving staged frames into the shared capture region, and the read request.
 *
 * Contexts:
 *   - create_rx_ioctl, close_rx_ioctl: the device stream's write put procedure, in the process
 *     context of the library's thread (the region allocation may sleep);
 *   - store_packet, queue_packet: the module's put procedures (interrupt or sender context),
 *     nvx_rwlock held as reader by the caller; never sleep, never copy;
 *   - nvx_read, copy_packet_buffer: the reader's own thread, through the device stream's write
 *     put procedure; nvx_read sleeps in one-second interruptible waits.
 *
 * A frame can be lost (forwarded uncaptured, counted in ulPacketsLost) when the staging queue is
 * full, while the session is flow controlled, or when its record could never fit the region
 * (longer than maxpktsize, or than the whole shared queue, or a protocol block with no data).
 * Every captured frame is passed on, answered with resets and freed, or freed exactly once
 * (nvxrelease.h); frames are released in the order they were staged.
 *
 * Lock order (nvx.h): nvx_rwlock before captureMutex; frameMutex, then nvx_bindlock as reader,
 * then captureMutex (the move into the region only); blockingMutex is taken with no other
 * session lock held.
 */
#ifndef NVX_DRIVER_NVXSESSION_H
#define NVX_DRIVER_NVXSESSION_H

#include "nvx.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * create_rx_ioctl - NVX_CREATE_RX_IOCTL: create the capture session of the stream's adapter
 * Parameters: q - the device stream's write queue; mp - the M_IOCTL, CreateRxData behind it.
 * Description: allocates the session, its region (rounded to whole pages), its staging queue
 *   and its frame record, attaches it to the adapter record, starts capturing and arms the
 *   session timer. The request record stays as the reply (ulBufSize replaced by 0x400000 when
 *   it was below 8192). Any failure frees what this request allocated.
 * Context: process context; may sleep for the region. Locks: takes nvx_rwlock (writer) last.
 * Return values: 0; EINVAL no or short request record, a bit outside 0x17 in ulFlag, no open
 *   adapter; EEXIST a session exists; ENOMEM an allocation failed, or the rounded region size
 *   does not fit 32 bits; a queue result code when a queue could not be initialised.
 */
int create_rx_ioctl(queue_t *q, mblk_t *mp);

/*
 * close_rx_ioctl - NVX_CLOSE_RX_IOCTL: stop the adapter's session (stop_session)
 * Context: process context; may wait for a read request, a timer run or a stream close.
 * Return values: 0; EINVAL no open adapter or no session.
 */
int close_rx_ioctl(queue_t *q, mblk_t *mp);

/*
 * store_packet - the capture decision for one frame of a session
 * Parameters: gip, sip - the adapter record and its session; mp - the block holding the frame
 *   bytes; q - the queue it was taken on; top - the whole message the session would hold;
 *   dir - DIR_INBOUND or DIR_OUTBOUND; tv - capture time.
 * Description: inline and promiscuous modes stage every frame; otherwise a broadcast frame
 *   (CM_BROADCAST) or one addressed to the adapter (CM_DIRECTED) is staged, at most once.
 * Context: put procedures; nvx_rwlock held as reader; never sleeps.
 * Return values: RC_QUEUED (the session owns top now), RC_FORWARD (not captured),
 *   RC_BUFFER_FULL (staging queue full: forwarded uncaptured, counted lost).
 */
int store_packet(GlobalInfo *gip, SessionInfo *sip, mblk_t *mp, queue_t *q, mblk_t *top, int dir,
                 struct timeval *tv);

/* queue_packet - stage one frame (arguments and results as store_packet; RC_FORWARD for a frame
 * without data bytes). Takes captureMutex. */
int queue_packet(GlobalInfo *gip, SessionInfo *sip, mblk_t *mp, queue_t *q, mblk_t *top, int dir,
                 struct timeval *tv);

/*
 * copy_packet_buffer - move staged frames into the region, oldest first
 * Description: a frame is taken from the staging queue only once its record is known to fit;
 *   the pass ends at the first frame that does not fit now (it stays staged). A frame that can
 *   never be moved in is passed on uncaptured and counted lost; such frames are passed on after
 *   the session's locks are released (a putnext may come straight back into the driver).
 * Context: nvx_read only. Locks: takes frameMutex, and captureMutex inside it per record; the
 *   caller holds no session lock.
 * Return values: the number of frames moved.
 */
int copy_packet_buffer(GlobalInfo *gip, SessionInfo *sip);

/*
 * nvx_read - the read request (M_PROTO or M_PCPROTO on a device stream)
 * Description: releases the frames the reader has read, moves staged frames in and, when
 *   there is nothing for the reader, waits up to one second at a time. The outcome goes into
 *   the header's nvx_errno: 11 frames are waiting, 62 a wait ended empty, 4 signalled or the
 *   capture stopped, 22 short request or failed release. The caller frees mp.
 * Context: the reader's process context; sleeps. Return values: 0 (not used).
 */
int nvx_read(queue_t *q, mblk_t *mp);

/* BelowThreshold - 1 when the shared queue's largest free block exceeds uThreshold; 0 else
 * (also when the query fails, with its console line). */
int BelowThreshold(SessionInfo *sip);

#ifdef __cplusplus
}
#endif

#endif /* NVX_DRIVER_NVXSESSION_H */
