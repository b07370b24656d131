/*
 * The stream record (stdata): one stream from its head down to its driver, as the stream
 * head, the queue calls and the registry see it.
 *
 * Lock key:
 *   p  plumb (push, pop, open routines, dismantling)
 *   h  the head read queue's lock (queue_lock(rq())): read-side messages, ioctl reply slot,
 *      errors; `wait` is the condition for everything that waits at the head
 *   r  the registry mutex
 *   i  set at creation, never changed
 *   a  atomic
 *
 * Lock order: plumb before the registry mutex before any queue lock.
 */
#ifndef NVX_PLATFORM_STREAMS_STREAM_H
#define NVX_PLATFORM_STREAMS_STREAM_H

#include "queue_pair.h"

#include <sys/stream.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace platform::streams
{
struct Driver;
}

struct stdata {
    std::mutex plumb;
    platform::streams::QueuePair *head = nullptr;       // i
    platform::streams::QueuePair *driver = nullptr;     // p
    std::deque<platform::streams::QueuePair *> modules; // p: topmost first
    std::deque<struct fmodsw *> module_sw;              // p: their switch entries
    platform::streams::Driver *drv = nullptr;           // i
    dev_t dev = 0;                                      // p (final after open)
    bool clone = false;                                 // i
    int opens = 0;                                      // r: files of this stream
    bool closing = false;                               // r
    bool registered = false;                            // r: in the registry's dev map

    std::condition_variable wait; // h
    std::deque<mblk_t *> rmsgs;   // h: read side, priority order (q_count/QFULL of rq())
    uint64_t received = 0;        // h: messages that reached the head's read side
    int read_error = 0;           // h: from M_ERROR
    int write_error = 0;          // h
    bool hangup = false;          // h
    uint_t ioc_id = 0;            // h: the ioctl waiting for its reply (0: none)
    mblk_t *ioc_reply = nullptr;  // h: its M_IOCACK/M_IOCNAK once arrived
    bool ioc_failed = false;      // h: the ioctl was answered with M_COPYIN/M_COPYOUT
    std::mutex ioctl_serial;      // one I_STR at a time

    queue_t *rq() const { return &head->q[0]; }
    queue_t *wq() const { return &head->q[1]; }
    std::mutex &head_lock() const { return head->lock[0]; }
};

namespace platform::streams
{

// The stream head's read and write qinit (strrput: messages arriving from below).
extern struct qinit head_rinit;
extern struct qinit head_winit;

// Flow control on the head's write side drained: wake writers waiting in putmsg.
void head_wake_writers(stdata *sd);

} // namespace platform::streams

#endif
