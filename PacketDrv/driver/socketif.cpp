/*
 * send_reset: the driver's way of closing a connection that the sensor blocked. The held
 * segment is not passed on; instead both of its endpoints get a reset, the local stack through
 * the module's read queue and the remote host through its write queue.
 *
 * Context: the release path of a capture session (its session lock held by the caller); takes
 * no lock of its own; allocates without sleeping. putnext on the read queue goes up to the
 * protocol stack and on the write queue down to the interface driver, neither back into this
 * module instance.
 */
#include "socketif.h"

#include "debug.h"

#include "dumpmbuf.h"
#include "nvxreset.h"

static inline unsigned x32(const void *p)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

int send_reset(queue_t *q, mblk_t *mp, int dir)
{
    if (mp == nullptr || mp->b_datap == nullptr || DB_TYPE(mp) != M_DATA)
        return 0;

    _dlprintf(512, "send_reset: q=%x mp=%x dir=%d\n", x32(q), x32(mp), dir);
    if (_dlevel(512))
        dumpmbuf(q, mp, nullptr, dir);

    /* Headers split over blocks are joined; if that fails the first block is all the builder
     * reads, and a frame whose headers do not fit in it gets no reset. */
    if (mp->b_cont != nullptr)
        (void)pullupmsg(mp, -1);

    mblk_t *inbound = allocate_reset_packet(mp, dir, DIR_INBOUND);
    if (inbound == nullptr)
        return 0;
    mblk_t *outbound = allocate_reset_packet(mp, dir, DIR_OUTBOUND);
    if (outbound == nullptr) {
        freemsg(inbound);
        return 0;
    }

    queue_t *rq = RD(q);
    if (canputnext(rq)) {
        _dlprintf(512, "<<< INBOUND RESET >>>\n");
        if (_dlevel(512))
            dumpmbuf(rq, inbound, nullptr, DIR_INBOUND);
        putnext(rq, inbound);
    } else {
        freemsg(inbound);
    }

    queue_t *wq = WR(q);
    if (canputnext(wq)) {
        _dlprintf(512, "<<< OUTBOUND RESET >>>\n");
        if (_dlevel(512))
            dumpmbuf(wq, outbound, nullptr, DIR_OUTBOUND);
        putnext(wq, outbound);
    } else {
        freemsg(outbound);
    }
    return 1;
}
