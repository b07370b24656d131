/*
 * Giving held frames back to the network path: the release of the frames the reader has read
 * (passed on, or answered with two TCP resets and freed when blocked in inline mode), the flush
 * of every frame a session holds, the stop of a session, and the session timer.
 *
 * Every held message is taken from the driver's own records (the staging queue and the frame
 * record of nvxframes.h), never from a pointer read back from the region; each is passed on or
 * freed exactly once. A frame whose stream has closed is freed, never passed on; a stream that
 * unbound but is still open gets its frames.
 *
 * Lock order: frameMutex before nvx_bindlock (reader) and before captureMutex; nvx_rwlock is
 * never held across a flush; nvx_bindlock is released before any putnext.
 */
#ifndef NVX_DRIVER_NVXRELEASE_H
#define NVX_DRIVER_NVXRELEASE_H

#include "nvx.h"
#include "nvxframes.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * check_packet_free - release every frame record the reader has read
 * Description: checks the region's queue against the frame record first (frames_sync_reader);
 *   a region that fails the check is reported on the console, every held frame is passed on
 *   from the driver's record and the queue is re-initialised. A queue that a flush outside a
 *   read request left stale is re-initialised.
 * Context: the read request only. Locks: takes frameMutex.
 * Return values: 0.
 */
int check_packet_free(GlobalInfo *gip, SessionInfo *sip);

/*
 * dequeue_packet - release the oldest frame record the reader holds
 * Context: the read request; frameMutex held by the caller. flag is not used.
 * Return values: 1 a frame was handled; 0 none left, or its record was found already handled
 *   (the region is then treated as corrupted by the caller).
 */
int dequeue_packet(GlobalInfo *gip, SessionInfo *sip, int flag);

/*
 * flush_queue - give back every frame the session holds: those the reader has read (with their
 *   verdicts), those it has not read, and the staged ones; print the three counts
 * Description: does not write the region's queue (the reader may be using it); the next read
 *   request re-initialises it. Verdicts are honoured only once the session is detached
 *   (stop_session): before that the region is not even read and its frames go on unjudged.
 *   Counters are reduced by what was disposed of.
 * Context: process or callout context. Locks: takes frameMutex, then captureMutex, one after the
 *   other; the caller holds no driver lock.
 */
void flush_queue(GlobalInfo *gip, SessionInfo *sip);

/*
 * flush_and_renumber - flush_queue on a session that stays attached, then number its frames
 *   from 0 again, as the region is re-initialised at the next read request
 * Context and locks: as flush_queue; then frameMutex and captureMutex one after the other.
 */
void flush_and_renumber(GlobalInfo *gip, SessionInfo *sip);

/*
 * stop_session - end a session and free it
 * Description: detaches it, wakes a waiting reader, waits (100 us polls) until no read request,
 *   timer run or stream close is inside it, cancels the timer, flushes and frees everything.
 * Context: process context. Locks: the caller holds none.
 */
void stop_session(GlobalInfo *gip, SessionInfo *sip);

/* timestamp - the system time in seconds, low 32 bits (the header's lLastTime). */
U32 timestamp(void);

/*
 * nvx_timeout - the session timer (arg: the device stream's binding record)
 * Description: suspends the capture of a reader that has been idle for longer than lTimeOut
 *   seconds (flushing its frames), and re-arms itself while its session is attached.
 * Context: callout thread; never sleeps except for the mutexes it takes.
 */
void nvx_timeout(void *arg);

/* nvx_arm_timer - arm the session timer for sip (caller: create_rx_ioctl and nvx_timeout, with
 * captureMutex held). The interval is lTimeOut seconds, at most one day per run. */
void nvx_arm_timer(SessionInfo *sip, BindingInfo *bip);

/*
 * nvx_pass_on - pass a held message on with putnext on q, or free it when q's stream has
 *   closed (or q has no next queue)
 * Description: bip, when not NULL, is the binding recorded with the frame; it must still be
 *   open and own q. With bip NULL any open binding owning q will do (find_open_binding).
 * Context: any; the caller holds no driver lock except possibly frameMutex.
 * Return values: 1 passed on (totalPut counted), 0 freed (totalFreed counted).
 */
int nvx_pass_on(queue_t *q, mblk_t *mp, BindingInfo *bip);

#ifdef __cplusplus
}
#endif

#endif /* NVX_DRIVER_NVXRELEASE_H */
