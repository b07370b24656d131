/*
 * STREAMS queue calls: RD/WR/OTHERQ, put/putnext, putq/getq/putbq, flow control, enabling,
 * flushing, qprocson/qprocsoff and the putctl family.
 *
 * Concurrency: every module is multithreaded (no perimeters). putnext is the per-frame path:
 * it touches the next pair's entry count and reads two words, with no lock and no system call.
 * Message lists (putq/getq/flushq) take the queue's own lock; flag bits are changed atomically.
 */
#include "queue_pair.h"

#include "stream.h"

#include <sys/stream.h>

#include <thread>

using platform::streams::clear_flags;
using platform::streams::is_read;
using platform::streams::load_flags;
using platform::streams::load_next;
using platform::streams::pair_of;
using platform::streams::PairKind;
using platform::streams::queue_lock;
using platform::streams::QueuePair;
using platform::streams::set_flags;

namespace
{

// Bytes a message adds to q_count: every block of a normal band-0 message.
size_t message_bytes(mblk_t *mp)
{
    size_t n = 0;
    for (mblk_t *b = mp; b; b = b->b_cont)
        n += static_cast<size_t>(MBLKL(b));
    return n;
}

bool counted(mblk_t *mp)
{
    return queclass(mp) == QNORM && mp->b_band == 0;
}

// Relaxed atomic reads: canput may look at a pair that is being recycled (queue_pair.h).
bool has_service(queue_t *q)
{
    struct qinit *qi = std::atomic_ref<struct qinit *>(q->q_qinfo).load(std::memory_order_acquire);
    return qi && qi->qi_srvp;
}

bool is_head(queue_t *q)
{
    return std::atomic_ref<PairKind>(pair_of(q)->kind).load(std::memory_order_relaxed) ==
           PairKind::head;
}

// Enters q's pair and calls its put procedure. Returns false (nothing called) when the pair's
// procedures are off.
bool call_put(queue_t *q, mblk_t *mp)
{
    QueuePair *p = pair_of(q);
    p->active.fetch_add(1, std::memory_order_seq_cst); // pairs with pair_off's `on` store
    if (!p->on.load(std::memory_order_seq_cst)) {
        p->active.fetch_sub(1, std::memory_order_release);
        return false;
    }
    q->q_qinfo->qi_putp(q, mp);
    // Release: the put procedure's effects are visible to pair_off once it sees 0.
    p->active.fetch_sub(1, std::memory_order_release);
    return true;
}

// Inserts mp into q's list in priority order. Caller holds queue_lock(q).
void insert_locked(queue_t *q, mblk_t *mp, bool front_of_class)
{
    bool hipri = queclass(mp) == QPCTL;
    mblk_t *before = q->q_first; // insert mp before this one (nullptr: at the tail)
    for (; before; before = before->b_next) {
        bool bhi = queclass(before) == QPCTL;
        if (hipri) {
            if (!bhi || front_of_class)
                break;
            continue;
        }
        if (bhi)
            continue;
        if (before->b_band < mp->b_band || (front_of_class && before->b_band == mp->b_band))
            break;
    }
    mp->b_next = before;
    mp->b_prev = before ? before->b_prev : q->q_last;
    if (mp->b_prev)
        mp->b_prev->b_next = mp;
    else
        q->q_first = mp;
    if (before)
        before->b_prev = mp;
    else
        q->q_last = mp;
    if (counted(mp)) {
        q->q_count += message_bytes(mp);
        if (q->q_count >= q->q_hiwat)
            set_flags(q, QFULL);
    }
}

void unlink_locked(queue_t *q, mblk_t *mp)
{
    if (mp->b_prev)
        mp->b_prev->b_next = mp->b_next;
    else
        q->q_first = mp->b_next;
    if (mp->b_next)
        mp->b_next->b_prev = mp->b_prev;
    else
        q->q_last = mp->b_prev;
    mp->b_next = mp->b_prev = nullptr;
    if (counted(mp)) {
        size_t n = message_bytes(mp);
        q->q_count = n > q->q_count ? 0 : q->q_count - n;
    }
}

// After messages left q: clear QFULL below the low-water mark and report whether a writer
// waits to be back-enabled (QWANTW cleared then). Caller holds queue_lock(q).
bool drained_locked(queue_t *q)
{
    if (q->q_count < q->q_hiwat)
        clear_flags(q, QFULL);
    uint_t f = load_flags(q);
    if ((f & QWANTW) && (q->q_count <= q->q_lowat || !q->q_first)) {
        clear_flags(q, QWANTW);
        return true;
    }
    return false;
}

int put_control(queue_t *q, int type, int nbytes, int param, bool next)
{
    if (datamsg(type))
        return 0;
    mblk_t *mp = allocb(static_cast<size_t>(nbytes), BPRI_HI);
    if (!mp)
        return 0;
    mp->b_datap->db_type = static_cast<unsigned char>(type);
    if (nbytes)
        *mp->b_wptr++ = static_cast<unsigned char>(param);
    if (next)
        putnext(q, mp);
    else
        put(q, mp);
    return 1;
}

} // namespace

extern "C" {

/*
 * RD, WR, OTHERQ - the read queue, the write queue, the other queue of q's pair
 * Context: any. The pair is contiguous, read side first.
 */
queue_t *RD(queue_t *q)
{
    return is_read(q) ? q : q - 1;
}
queue_t *WR(queue_t *q)
{
    return is_read(q) ? q + 1 : q;
}
queue_t *OTHERQ(queue_t *q)
{
    return is_read(q) ? q + 1 : q - 1;
}

/*
 * putnext - pass a message to the next queue's put procedure
 *
 * Description: calls the put procedure of q->q_next in the calling thread. A next pair whose
 *   procedures are off (qprocsoff, or just being unlinked) is routed around through its own
 *   q_next, as the stream will be once it is unlinked. At the end of a stream (no next queue:
 *   a driver's write queue) the message is freed.
 * Parameters: q - the caller's queue; mp - the message, which the caller gives up.
 * Context: any; never sleeps. Cost: two atomic updates of the next pair's entry count.
 */
void putnext(queue_t *q, mblk_t *mp)
{
    for (;;) {
        queue_t *nq = load_next(q);
        if (!nq) {
            freemsg(mp);
            return;
        }
        QueuePair *p = pair_of(nq);
        p->active.fetch_add(1, std::memory_order_seq_cst);
        // Re-reading q->q_next after entering proves nq is still linked after q: if it was
        // being removed, pair_off either sees our entry and waits, or we see it off here.
        if (p->on.load(std::memory_order_seq_cst) && load_next(q) == nq) {
            nq->q_qinfo->qi_putp(nq, mp);
            p->active.fetch_sub(1, std::memory_order_release);
            return;
        }
        p->active.fetch_sub(1, std::memory_order_release);
        if (load_next(q) == nq && !p->on.load(std::memory_order_acquire))
            q = nq; // off but not unlinked yet (or never will be, seen from q): go past it
    }
}

/*
 * put - call q's own put procedure
 * Context: any. A pair whose procedures are off gets nothing: the message is passed on past
 *   it instead (as putnext would).
 */
void put(queue_t *q, mblk_t *mp)
{
    if (!call_put(q, mp))
        putnext(q, mp);
}

/*
 * putq - queue a message on q for its service procedure
 * Description: priority order (high-priority first, then by band, FIFO within a class);
 *   q_count counts normal band-0 messages and QFULL is set at the high-water mark. The
 *   service procedure is scheduled for high-priority messages always, otherwise unless
 *   noenable was called, when the message is first on the queue or a reader waits (QWANTR).
 * Context: any. Return values: 1.
 */
int putq(queue_t *q, mblk_t *mp)
{
    bool enable;
    {
        std::lock_guard<std::mutex> g(queue_lock(q));
        insert_locked(q, mp, false);
        uint_t f = load_flags(q);
        enable = queclass(mp) == QPCTL ||
                 (!(f & QNOENB) && (q->q_first == mp || (f & QWANTR) || mp->b_band > 0));
    }
    if (enable)
        qenable(q);
    return 1;
}

/*
 * putbq - return a message to the front of its priority class on q (after canputnext failed)
 * Context: any. Does not enable the queue. Return values: 1.
 */
int putbq(queue_t *q, mblk_t *mp)
{
    std::lock_guard<std::mutex> g(queue_lock(q));
    insert_locked(q, mp, true);
    return 1;
}

/*
 * getq - take the first message of q
 * Description: NULL when empty (QWANTR set then). Below the low-water mark QFULL is cleared
 *   and a writer that found the queue full is back-enabled.
 * Context: any. Return values: the message or NULL.
 */
mblk_t *getq(queue_t *q)
{
    mblk_t *mp;
    bool wake;
    {
        std::lock_guard<std::mutex> g(queue_lock(q));
        mp = q->q_first;
        if (!mp) {
            set_flags(q, QWANTR);
            return nullptr;
        }
        clear_flags(q, QWANTR);
        unlink_locked(q, mp);
        wake = drained_locked(q);
    }
    if (wake)
        platform::streams::back_enable(q);
    return mp;
}

/* qreply - send mp back the other way: putnext(OTHERQ(q), mp). Context: any. */
void qreply(queue_t *q, mblk_t *mp)
{
    putnext(OTHERQ(q), mp);
}

/*
 * canput - may a normal message be sent to q?
 * Description: tests q, or the nearest queue beyond it that queues messages (has a service
 *   procedure, or is the stream head or the stream's end). When it is full, QWANTW is set on
 *   it so that the writer is back-enabled when it drains.
 * Context: any; never sleeps. Return values: 1 may send, 0 flow-controlled.
 */
int canput(queue_t *q)
{
    if (!q)
        return 0;
    for (;;) {
        if (has_service(q) || is_head(q))
            break;
        queue_t *nq = load_next(q);
        if (!nq)
            break;
        q = nq;
    }
    if (!(load_flags(q) & QFULL))
        return 1;
    std::lock_guard<std::mutex> g(queue_lock(q));
    if (!(load_flags(q) & QFULL))
        return 1;
    set_flags(q, QWANTW);
    return 0;
}

/* canputnext - canput(q->q_next). Context: any. High-priority messages need no test. */
int canputnext(queue_t *q)
{
    return canput(load_next(q));
}

/*
 * qenable - schedule q's service procedure (even after noenable)
 * Description: no effect without a service procedure or when already scheduled. The service
 *   procedure runs in the platform's service thread.
 * Context: any.
 */
void qenable(queue_t *q)
{
    if (!has_service(q))
        return;
    uint_t old = std::atomic_ref<uint_t>(q->q_flag).fetch_or(QENAB, std::memory_order_acq_rel);
    if (old & QENAB)
        return;
    platform::streams::schedule_service(q);
}

/* noenable - putq of normal messages no longer schedules the service procedure. */
void noenable(queue_t *q)
{
    set_flags(q, QNOENB);
}

/* enableok - undo noenable. */
void enableok(queue_t *q)
{
    clear_flags(q, QNOENB);
}

/*
 * flushq - free messages queued on q
 * Parameters: flag - FLUSHDATA (data messages: M_DATA, M_PROTO, M_PCPROTO, M_DELAY) or
 *   FLUSHALL (every message).
 * Context: any. A writer waiting on flow control is back-enabled when q drains.
 */
void flushq(queue_t *q, int flag)
{
    mblk_t *dead = nullptr;
    bool wake;
    {
        std::lock_guard<std::mutex> g(queue_lock(q));
        for (mblk_t *mp = q->q_first; mp;) {
            mblk_t *next = mp->b_next;
            if (flag == FLUSHALL || datamsg(mp->b_datap->db_type)) {
                unlink_locked(q, mp);
                mp->b_next = dead;
                dead = mp;
            }
            mp = next;
        }
        wake = drained_locked(q);
    }
    while (dead) {
        mblk_t *next = dead->b_next;
        dead->b_next = nullptr;
        freemsg(dead);
        dead = next;
    }
    if (wake)
        platform::streams::back_enable(q);
}

/* qsize - number of messages on q. Context: any. */
int qsize(queue_t *q)
{
    std::lock_guard<std::mutex> g(queue_lock(q));
    int n = 0;
    for (mblk_t *mp = q->q_first; mp; mp = mp->b_next)
        ++n;
    return n;
}

/*
 * qprocson - enable the put and service procedures of q's pair and link it into the stream
 * Description: until then no message reaches the pair. Called by open routines.
 * Context: the open routine (process context).
 */
void qprocson(queue_t *q)
{
    platform::streams::pair_on(pair_of(q));
}

/*
 * qprocsoff - disable the pair's procedures; messages then flow around it
 * Description: waits until put and service procedures of the pair running on other threads
 *   have returned; removes its queues from the service schedule. Called by close routines
 *   before they free per-instance state.
 * Context: the close routine (process context); not from a put procedure of the same pair.
 */
void qprocsoff(queue_t *q)
{
    platform::streams::pair_off(pair_of(q));
}

/*
 * putctl, putctl1, putnextctl, putnextctl1 - send a zero- or one-byte control message of type
 *   to q (put) or to q->q_next (putnext)
 * Context: any. Return values: 1; 0 when allocation failed or type is a data type.
 */
int putctl(queue_t *q, int type)
{
    return put_control(q, type, 0, 0, false);
}
int putctl1(queue_t *q, int type, int param)
{
    return put_control(q, type, 1, param, false);
}
int putnextctl(queue_t *q, int type)
{
    return put_control(q, type, 0, 0, true);
}
int putnextctl1(queue_t *q, int type, int param)
{
    return put_control(q, type, 1, param, true);
}

} // extern "C"
