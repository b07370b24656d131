/*
 * Kernel synchronisation: mutex(9F), rwlock(9F), condvar(9F).
 *
 * Sizes: kmutex_t is 8 bytes and krwlock_t one pointer in both word sizes, as on the target;
 * each holds a pointer to the platform's lock object, created by mutex_init/rw_init (or on
 * first use of a zero-filled lock, which the target also accepts) and released by the destroy
 * call. kcondvar_t is one pointer here (one ushort_t on the target): drivers only use its
 * address.
 *
 * The reader side of krwlock_t is built for per-frame use on many threads at once: readers
 * mark themselves in per-thread slots on separate cache lines and touch no shared line while
 * no writer is waiting. Writers are preferred: a waiting writer blocks new readers.
 *
 * Context: enter, exit, tryenter, signal and broadcast from any context (in interrupt or
 * callout context only locks whose holders never sleep); the waits from process context only.
 */
#ifndef _SYS_KSYNCH_H
#define _SYS_KSYNCH_H

#include <sys/ktypes.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    MUTEX_ADAPTIVE = 0,
    MUTEX_SPIN = 1,
    MUTEX_DRIVER = 4,
    MUTEX_DEFAULT = 6
} kmutex_type_t;

typedef struct kmutex {
    void *_opaque[8 / sizeof(void *)]; /* private: [0] the lock object */
} kmutex_t;

typedef enum { RW_DRIVER = 2, RW_DEFAULT = 4 } krw_type_t;

typedef enum { RW_WRITER = 0, RW_READER = 1 } krw_t;

typedef struct krwlock {
    void *_opaque[1]; /* private: the lock object */
} krwlock_t;

typedef enum { CV_DEFAULT = 0, CV_DRIVER = 1 } kcv_type_t;

typedef struct kcondvar {
    void *_opaque; /* private: the condition object */
} kcondvar_t;

/*
 * mutex_init - initialise a mutex
 * Parameters: mp - the mutex; name - ignored (NULL); type - MUTEX_DRIVER (any accepted);
 *   arg - interrupt block cookie or NULL (ignored).
 */
void mutex_init(kmutex_t *mp, const char *name, kmutex_type_t type, void *arg);
/* mutex_destroy - release a mutex's resources; it must not be held (panics otherwise). */
void mutex_destroy(kmutex_t *mp);
/* mutex_enter - acquire; not recursive (entering a mutex the caller holds panics). */
void mutex_enter(kmutex_t *mp);
/* mutex_exit - release; releasing a mutex the caller does not hold panics. */
void mutex_exit(kmutex_t *mp);
/* mutex_tryenter - acquire without waiting. Return values: non-zero if acquired, 0 if not. */
int mutex_tryenter(kmutex_t *mp);
/* mutex_owned - non-zero if the calling thread holds the mutex (for assertions). */
int mutex_owned(kmutex_t *mp);

/* rw_init - initialise a reader/writer lock; name, type (RW_DRIVER) and arg are ignored. */
void rw_init(krwlock_t *rwlp, const char *name, krw_type_t type, void *arg);
/* rw_destroy - release the lock's resources; it must not be held (panics otherwise). */
void rw_destroy(krwlock_t *rwlp);
/*
 * rw_enter - acquire as RW_READER (shared) or RW_WRITER (exclusive)
 * Description: a waiting writer blocks new readers. Not recursive for writers (panics); a
 *   reader that enters again while a writer waits deadlocks, as on the target.
 */
void rw_enter(krwlock_t *rwlp, krw_t enter_type);
/* rw_exit - release a hold taken by rw_enter/rw_tryenter/rw_tryupgrade/rw_downgrade. */
void rw_exit(krwlock_t *rwlp);
/* rw_tryenter - acquire without waiting. Return values: non-zero if acquired, 0 if not. */
int rw_tryenter(krwlock_t *rwlp, krw_t enter_type);
/* rw_downgrade - turn the caller's writer hold into a reader hold, waking waiting readers. */
void rw_downgrade(krwlock_t *rwlp);
/*
 * rw_tryupgrade - turn the caller's reader hold into a writer hold, if no other reader holds
 *   the lock and no writer waits. Return values: non-zero on success (writer hold), 0 on
 *   failure (the reader hold is kept).
 */
int rw_tryupgrade(krwlock_t *rwlp);
/* rw_read_locked - non-zero if the lock is held by readers, 0 if by a writer or not at all. */
int rw_read_locked(krwlock_t *rwlp);
/* Platform addition, for assertions: non-zero if the calling thread holds it as writer. */
int rw_write_held(krwlock_t *rwlp);

/* cv_init - initialise a condition variable; name, type (CV_DRIVER) and arg are ignored. */
void cv_init(kcondvar_t *cvp, const char *name, kcv_type_t type, void *arg);
/* cv_destroy - release its resources; no thread may be waiting (panics otherwise). */
void cv_destroy(kcondvar_t *cvp);
/*
 * cv_wait - release mp, sleep until signalled, reacquire mp
 * Description: wakeups may be spurious; callers re-test their condition.
 * Context: process context, holding mp.
 */
void cv_wait(kcondvar_t *cvp, kmutex_t *mp);
/*
 * cv_wait_sig - as cv_wait, also ended by a signal for the current process context
 * Return values: 0 if a signal is pending, > 0 otherwise. mp is held again in every case.
 */
int cv_wait_sig(kcondvar_t *cvp, kmutex_t *mp);
/*
 * cv_timedwait - as cv_wait, also ended when the clock reaches abstime
 * Parameters: abstime - absolute time in ticks (compare ddi_get_lbolt()).
 * Return values: -1 if the time was reached; > 0 (ticks left, at least 1) if woken.
 */
clock_t cv_timedwait(kcondvar_t *cvp, kmutex_t *mp, clock_t abstime);
/*
 * cv_timedwait_sig - cv_timedwait that is also ended by a signal
 * Description: a signal raised for the current process context before or during the wait ends
 *   it at once. In a thread with no process context it behaves as cv_timedwait.
 * Return values: 0 if a signal is pending; -1 if abstime was reached; > 0 if woken by
 *   cv_signal or cv_broadcast. mp is held again in every case.
 */
clock_t cv_timedwait_sig(kcondvar_t *cvp, kmutex_t *mp, clock_t abstime);
/* cv_signal - wake one waiter. Context: any; the mutex need not be held. */
void cv_signal(kcondvar_t *cvp);
/* cv_broadcast - wake every waiter. Context: any; the mutex need not be held. */
void cv_broadcast(kcondvar_t *cvp);

#ifdef __cplusplus
}
static_assert(sizeof(kmutex_t) == 8, "kmutex_t is 8 bytes in both word sizes");
static_assert(sizeof(krwlock_t) == sizeof(void *), "krwlock_t is one pointer");
#endif

#endif /* _SYS_KSYNCH_H */
