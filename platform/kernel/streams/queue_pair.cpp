/*
 * Queue pair pool, linking pairs in and out of their stream (qprocson/qprocsoff), and the
 * service procedure thread.
 *
 * Linking: a pair's own q_next pointers are set by whoever inserts it (the stream head) before
 * its open routine runs: write side -> the write queue below, read side -> the read queue
 * above. pair_on makes the neighbours point at the pair; pair_off makes them point past it and
 * leaves the pair's own pointers as they are, so a put procedure of a pair that is off can
 * still pass messages on. Both run under the stream's plumbing mutex, so the neighbours found
 * through the pair's pointers are the live ones.
 */
#include "queue_pair.h"

#include "stream.h"

#include <sys/cmn_err.h>

#include <condition_variable>
#include <deque>
#include <thread>

namespace platform::streams
{

namespace
{

// The pool: pairs are never returned to the system (see queue_pair.h). Intentionally leaked at
// exit; reachable through this pointer.
struct Pool {
    std::mutex m;
    QueuePair *free = nullptr;
};
Pool &pool()
{
    static Pool *p = new Pool;
    return *p;
}

void init_queue(queue_t *q, struct qinit *qi, uint_t flags, stdata *sd)
{
    // Atomic: canput may walk into a recycled pair through a stale q_next (see queue_pair.h);
    // its answer is then advisory, but its reads must not race.
    std::atomic_ref<struct qinit *>(q->q_qinfo).store(qi, std::memory_order_release);
    q->q_first = nullptr;
    q->q_last = nullptr;
    store_next(q, nullptr);
    q->q_link = nullptr;
    q->q_ptr = nullptr;
    q->q_count = 0;
    std::atomic_ref<uint_t>(q->q_flag).store(flags, std::memory_order_release);
    struct module_info *mi = qi ? qi->qi_minfo : nullptr;
    q->q_minpsz = mi ? mi->mi_minpsz : 0;
    q->q_maxpsz = mi ? mi->mi_maxpsz : INFPSZ;
    q->q_hiwat = mi ? mi->mi_hiwat : 0;
    q->q_lowat = mi ? mi->mi_lowat : 0;
    q->q_bandp = nullptr;
    q->q_stream = sd;
    q->q_syncq = nullptr;
    q->q_nband = 0;
    q->q_platform = nullptr;
}

} // namespace

QueuePair *alloc_pair(PairKind kind, struct qinit *rinit, struct qinit *winit, stdata *sd)
{
    QueuePair *p = nullptr;
    {
        std::lock_guard<std::mutex> g(pool().m);
        p = pool().free;
        if (p)
            pool().free = p->pool_next;
    }
    if (!p)
        p = new QueuePair; // `active` keeps its value across reuse: late putnext calls balance it
    uint_t common = QUSE | QMTSAFE | (kind == PairKind::driver ? QISDRV : 0);
    init_queue(&p->q[0], rinit, common | QREADR, sd);
    init_queue(&p->q[1], winit, common | (kind == PairKind::driver ? QEND : 0), sd);
    std::atomic_ref<PairKind>(p->kind).store(kind, std::memory_order_release);
    p->on.store(false, std::memory_order_release);
    p->pool_next = nullptr;
    return p;
}

void free_pair(QueuePair *p)
{
    clear_flags(&p->q[0], QUSE);
    clear_flags(&p->q[1], QUSE);
    std::lock_guard<std::mutex> g(pool().m);
    p->pool_next = pool().free;
    pool().free = p;
}

void pair_on(QueuePair *p)
{
    if (p->on.load(std::memory_order_acquire))
        return;
    // Enable before linking: the first message may arrive as soon as a neighbour points here.
    p->on.store(true, std::memory_order_seq_cst);
    queue_t *rq = &p->q[0], *wq = &p->q[1];
    queue_t *above_r = load_next(rq); // read queue above (nullptr only for the head itself)
    queue_t *below_w = load_next(wq); // write queue below (nullptr for a driver)
    if (above_r)
        store_next(WR(above_r), wq);
    if (below_w)
        store_next(RD(below_w), rq);
}

void pair_off(QueuePair *p)
{
    if (!p->on.load(std::memory_order_acquire))
        return;
    // Order pairs with putnext: putnext raises `active` and then reads `on`; here `on` is
    // cleared and then `active` read, both seq_cst, so either putnext sees the pair off and
    // routes around it, or this thread sees its entry and waits for it.
    p->on.store(false, std::memory_order_seq_cst);
    queue_t *rq = &p->q[0], *wq = &p->q[1];
    queue_t *above_r = load_next(rq);
    queue_t *below_w = load_next(wq);
    if (above_r)
        store_next(WR(above_r), below_w);
    if (below_w)
        store_next(RD(below_w), above_r);
    unschedule_service(rq);
    unschedule_service(wq);
    for (unsigned spins = 0; p->active.load(std::memory_order_seq_cst) != 0; ++spins) {
        if (spins < 1000)
            std::this_thread::yield();
        else
            std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

queue_t *prev_queue(queue_t *q)
{
    // The queue whose q_next is q: for a write queue the write side of the pair above (found
    // through our read side's q_next), for a read queue the read side of the pair below.
    if (is_read(q)) {
        queue_t *below_w = load_next(WR(q));
        return below_w ? RD(below_w) : nullptr;
    }
    queue_t *above_r = load_next(RD(q));
    return above_r ? WR(above_r) : nullptr;
}

void back_enable(queue_t *q)
{
    for (queue_t *p = prev_queue(q); p; p = prev_queue(p)) {
        QueuePair *pair = pair_of(p);
        if (pair->kind == PairKind::head) {
            if (!is_read(p))
                head_wake_writers(p->q_stream);
            return;
        }
        if (p->q_qinfo && p->q_qinfo->qi_srvp) {
            qenable(p);
            return;
        }
    }
}

// ---- service thread ----

namespace
{

struct ServiceRunner {
    std::mutex m;
    std::condition_variable cv;
    std::deque<queue_t *> runlist; // m
    std::thread thread;

    void run()
    {
        std::unique_lock<std::mutex> lk(m);
        for (;;) {
            cv.wait(lk, [&] { return !runlist.empty(); });
            queue_t *q = runlist.front();
            runlist.pop_front();
            QueuePair *p = pair_of(q);
            // Enter the pair before letting go of the list lock: unschedule_service (from
            // pair_off) then either removed the queue already or pair_off waits for us.
            p->active.fetch_add(1, std::memory_order_seq_cst);
            lk.unlock();
            if (p->on.load(std::memory_order_seq_cst)) {
                clear_flags(q, QENAB);
                set_flags(q, QINSERVICE);
                q->q_qinfo->qi_srvp(q);
                clear_flags(q, QINSERVICE);
            } else {
                clear_flags(q, QENAB);
            }
            p->active.fetch_sub(1, std::memory_order_release);
            lk.lock();
        }
    }
};

ServiceRunner &runner()
{
    // Never destroyed: the thread waits on it until the process exits.
    static ServiceRunner *r = [] {
        auto *s = new ServiceRunner;
        s->thread = std::thread([s] { s->run(); });
        s->thread.detach();
        return s;
    }();
    return *r;
}

} // namespace

void schedule_service(queue_t *q)
{
    ServiceRunner &r = runner();
    {
        std::lock_guard<std::mutex> g(r.m);
        r.runlist.push_back(q);
    }
    r.cv.notify_one();
}

void unschedule_service(queue_t *q)
{
    if (!(load_flags(q) & QENAB))
        return;
    ServiceRunner &r = runner();
    std::lock_guard<std::mutex> g(r.m);
    for (auto it = r.runlist.begin(); it != r.runlist.end();) {
        if (*it == q)
            it = r.runlist.erase(it);
        else
            ++it;
    }
    clear_flags(q, QENAB);
}

} // namespace platform::streams
