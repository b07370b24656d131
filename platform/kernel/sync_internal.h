/*
 * Internals shared by the mutex, condition variable, process context and clock code.
 *
 * Sleep queue: one platform-wide lock (sleepq_lock) guards every condition variable's waiter
 * list, each process context's current interruptible wait and the list of timed waiters. Each
 * waiter sleeps on its own std::condition_variable under that lock, so a wakeup (cv_signal,
 * a signal for its context, a clock change) can never be lost between a waiter's last check
 * and its sleep. Lock order: a kmutex before sleepq_lock.
 */
#ifndef NVX_PLATFORM_SYNC_INTERNAL_H
#define NVX_PLATFORM_SYNC_INTERNAL_H

#include <sys/ksynch.h>

#include "proc.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace platform::sync
{

// The lock object behind a kmutex_t.
struct MutexObject {
    std::mutex lock;
    // Relaxed: only ever compared with the calling thread's own token, which only that thread
    // stores, so a stale value can never equal it wrongly.
    std::atomic<const void *> owner{nullptr};
};

// A token unique to the calling thread (the address of a thread-local).
const void *self_token();

// The lock object of mp, created on first use of a zero-filled kmutex_t.
MutexObject *mutex_object(kmutex_t *mp);

// Releases / reacquires a mutex the caller holds around a sleep (no ownership checks).
void mutex_release_for_sleep(MutexObject *m);
void mutex_reacquire_after_sleep(MutexObject *m);

struct CondObject;

// One thread waiting in a cv_* call. Lives on that thread's stack; all fields guarded by
// sleepq_lock().
struct Sleeper {
    std::condition_variable wake;
    CondObject *cv = nullptr;
    Sleeper *next = nullptr; // on cv's waiter list
    Sleeper *prev = nullptr;
    Sleeper *timed_next = nullptr; // on the timed waiter list
    Sleeper *timed_prev = nullptr;
    bool woken = false; // by cv_signal / cv_broadcast
    bool on_cv = false;
    bool on_timed = false;
};

std::mutex &sleepq_lock();

// Wake the interruptible wait of ctx, if it is in one (ctx's pending flag is already set).
void wake_interrupted(proc::Context &ctx);

// The tick clock changed (manual advance, mode switch): every timed waiter re-reads it.
void notify_timed_sleepers();

struct ContextAccess {
    static Sleeper *&sleeper(proc::Context &ctx) { return ctx.sleeper_; }
};

} // namespace platform::sync

#endif
