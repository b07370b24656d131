/*
 * Condition variables: cv_wait, cv_wait_sig, cv_timedwait, cv_timedwait_sig, cv_signal,
 * cv_broadcast.
 *
 * A wait ends for one of three reasons, tested in this order each time the waiter runs:
 * woken by cv_signal/cv_broadcast (> 0), a signal pending for its process context (0; only the
 * _sig waits), the tick clock at or past its deadline (-1; only the timed waits). All three are
 * set under sleepq_lock and each waiter sleeps on its own condition under that lock, so none
 * is lost. In real clock mode a timed waiter sleeps until the host time of its deadline tick;
 * in manual mode it sleeps until the clock code wakes it after an advance.
 *
 * Signalling costs one acquire load while nobody waits: a waiter registers (under sleepq_lock,
 * holding its kmutex) before it releases the kmutex, and a signaller that changed the
 * condition under that kmutex is ordered after that release, so it sees the registration.
 */
#include <sys/cmn_err.h>
#include <sys/ksynch.h>

#include "clock.h"
#include "clock_internal.h"
#include "sync_internal.h"

#include <algorithm>
#include <atomic>

namespace platform::sync
{

struct CondObject {
    std::atomic<unsigned> waiters{0}; // written under sleepq_lock; read without it (see above)
    Sleeper *head = nullptr;          // guarded by sleepq_lock
    Sleeper *tail = nullptr;
};

namespace
{

Sleeper *timed_head = nullptr; // guarded by sleepq_lock

std::atomic_ref<void *> slot(kcondvar_t *cvp)
{
    return std::atomic_ref<void *>(cvp->_opaque);
}

CondObject *cond_object(kcondvar_t *cvp)
{
    if (cvp == nullptr)
        panic("cv: NULL kcondvar_t");
    void *p = slot(cvp).load(std::memory_order_acquire);
    if (p != nullptr)
        return static_cast<CondObject *>(p);
    auto *made = new CondObject;
    void *expected = nullptr;
    if (slot(cvp).compare_exchange_strong(expected, made, std::memory_order_acq_rel,
                                          std::memory_order_acquire))
        return made;
    delete made;
    return static_cast<CondObject *>(expected);
}

void enqueue_locked(CondObject *cv, Sleeper *s)
{
    s->cv = cv;
    s->prev = cv->tail;
    s->next = nullptr;
    if (cv->tail)
        cv->tail->next = s;
    else
        cv->head = s;
    cv->tail = s;
    s->on_cv = true;
    cv->waiters.fetch_add(1, std::memory_order_relaxed);
}

void dequeue_locked(Sleeper *s)
{
    CondObject *cv = s->cv;
    if (s->prev)
        s->prev->next = s->next;
    else
        cv->head = s->next;
    if (s->next)
        s->next->prev = s->prev;
    else
        cv->tail = s->prev;
    s->on_cv = false;
    cv->waiters.fetch_sub(1, std::memory_order_relaxed);
}

void add_timed_locked(Sleeper *s)
{
    s->timed_prev = nullptr;
    s->timed_next = timed_head;
    if (timed_head)
        timed_head->timed_prev = s;
    timed_head = s;
    s->on_timed = true;
}

void remove_timed_locked(Sleeper *s)
{
    if (s->timed_prev)
        s->timed_prev->timed_next = s->timed_next;
    else
        timed_head = s->timed_next;
    if (s->timed_next)
        s->timed_next->timed_prev = s->timed_prev;
    s->on_timed = false;
}

enum class Mode { plain, sig, timed, timed_sig };

// The common wait. Returns > 0 when woken, 0 on a signal, -1 at the deadline.
clock_t wait(kcondvar_t *cvp, kmutex_t *mp, Mode mode, clock_t abstime)
{
    CondObject *cv = cond_object(cvp);
    MutexObject *m = mutex_object(mp);
    if (m->owner.load(std::memory_order_relaxed) != self_token())
        panic("cv_wait: mutex %p not held by the caller", static_cast<void *>(mp));
    bool timed = mode == Mode::timed || mode == Mode::timed_sig;
    proc::Context *ctx = (mode == Mode::sig || mode == Mode::timed_sig) ? proc::current() : nullptr;

    Sleeper s;
    std::unique_lock<std::mutex> q(sleepq_lock());
    // A signal already pending or a deadline already past ends the wait before it sleeps;
    // the mutex was never released.
    if (ctx != nullptr && ctx->signal_pending())
        return 0;
    if (timed && clock::lbolt() >= abstime)
        return -1;
    enqueue_locked(cv, &s);
    if (timed)
        add_timed_locked(&s);
    if (ctx != nullptr) {
        Sleeper *&registered = ContextAccess::sleeper(*ctx);
        if (registered != nullptr)
            panic("cv_wait_sig: context of pid %d already waits", static_cast<int>(ctx->pid()));
        registered = &s;
    }
    mutex_release_for_sleep(m);

    clock_t result;
    for (;;) {
        if (s.woken) {
            result = timed ? std::max<clock_t>(1, abstime - clock::lbolt()) : 1;
            break;
        }
        if (ctx != nullptr && ctx->signal_pending()) {
            result = 0;
            break;
        }
        if (timed && clock::lbolt() >= abstime) {
            result = -1;
            break;
        }
        if (timed && !clock::manual())
            s.wake.wait_until(q, clock::real_time_of_tick(abstime));
        else
            s.wake.wait(q);
    }
    if (s.on_cv)
        dequeue_locked(&s);
    if (s.on_timed)
        remove_timed_locked(&s);
    if (ctx != nullptr)
        ContextAccess::sleeper(*ctx) = nullptr;
    q.unlock();
    mutex_reacquire_after_sleep(m);
    return result;
}

} // namespace

std::mutex &sleepq_lock()
{
    static std::mutex *lock = new std::mutex; // never destroyed: used until the last thread ends
    return *lock;
}

void wake_interrupted(proc::Context &ctx)
{
    std::lock_guard<std::mutex> q(sleepq_lock());
    if (Sleeper *s = ContextAccess::sleeper(ctx))
        s->wake.notify_one();
}

void notify_timed_sleepers()
{
    std::lock_guard<std::mutex> q(sleepq_lock());
    for (Sleeper *s = timed_head; s != nullptr; s = s->timed_next)
        s->wake.notify_one();
}

} // namespace platform::sync

using namespace platform::sync;

extern "C" void cv_init(kcondvar_t *cvp, const char *, kcv_type_t, void *)
{
    if (cvp == nullptr)
        panic("cv_init: NULL kcondvar_t");
    cvp->_opaque = new CondObject;
}

extern "C" void cv_destroy(kcondvar_t *cvp)
{
    void *p = std::atomic_ref<void *>(cvp->_opaque).exchange(nullptr, std::memory_order_acq_rel);
    if (p == nullptr)
        return;
    auto *cv = static_cast<CondObject *>(p);
    {
        std::lock_guard<std::mutex> q(sleepq_lock());
        if (cv->head != nullptr)
            panic("cv_destroy: condition variable %p has waiters", static_cast<void *>(cvp));
    }
    delete cv;
}

extern "C" void cv_wait(kcondvar_t *cvp, kmutex_t *mp)
{
    wait(cvp, mp, Mode::plain, 0);
}

extern "C" int cv_wait_sig(kcondvar_t *cvp, kmutex_t *mp)
{
    return static_cast<int>(wait(cvp, mp, Mode::sig, 0));
}

extern "C" clock_t cv_timedwait(kcondvar_t *cvp, kmutex_t *mp, clock_t abstime)
{
    return wait(cvp, mp, Mode::timed, abstime);
}

extern "C" clock_t cv_timedwait_sig(kcondvar_t *cvp, kmutex_t *mp, clock_t abstime)
{
    return wait(cvp, mp, Mode::timed_sig, abstime);
}

extern "C" void cv_signal(kcondvar_t *cvp)
{
    CondObject *cv = cond_object(cvp);
    if (cv->waiters.load(std::memory_order_acquire) == 0)
        return;
    std::lock_guard<std::mutex> q(sleepq_lock());
    if (Sleeper *s = cv->head) {
        dequeue_locked(s);
        s->woken = true;
        s->wake.notify_one();
    }
}

extern "C" void cv_broadcast(kcondvar_t *cvp)
{
    CondObject *cv = cond_object(cvp);
    if (cv->waiters.load(std::memory_order_acquire) == 0)
        return;
    std::lock_guard<std::mutex> q(sleepq_lock());
    while (Sleeper *s = cv->head) {
        dequeue_locked(s);
        s->woken = true;
        s->wake.notify_one();
    }
}
