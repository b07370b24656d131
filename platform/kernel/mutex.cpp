/*
 * kmutex_t: a pointer to a heap std::mutex plus its owner, so that ThreadSanitizer sees every
 * acquisition and release, and recursion or a release by a non-owner panics as on the target.
 * A zero-filled kmutex_t is a valid unlocked mutex: its object is made on first use (racing
 * first users agree through compare-and-swap).
 *
 * mutex_enter is adaptive, as on the target: a held mutex is spun on for a short while before
 * the caller blocks. Blocking costs a futex wait and a wake, which two busy CPUs handing a
 * per-frame lock back and forth (receive thread and read request) would otherwise pay often.
 */
#include <sys/cmn_err.h>
#include <sys/ksynch.h>

#include "sync_internal.h"

#include <atomic>

namespace platform::sync
{
namespace
{

thread_local char t_token;

// Spinning on a held mutex before blocking: long enough for a critical section of the capture
// path on another CPU to end, short enough not to matter when the owner is not running.
constexpr int kSpinRounds = 128;

inline void cpu_relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// True when m was taken while spinning (the caller then owns the lock and sets the owner).
bool spin_briefly(MutexObject *m)
{
    for (int i = 0; i < kSpinRounds; ++i) {
        // The owner word is only a hint; reading it does not take the lock's cache line away.
        if (m->owner.load(std::memory_order_relaxed) == nullptr && m->lock.try_lock())
            return true;
        cpu_relax();
    }
    return false;
}

std::atomic_ref<void *> slot(kmutex_t *mp)
{
    return std::atomic_ref<void *>(mp->_opaque[0]);
}

} // namespace

const void *self_token()
{
    return &t_token;
}

MutexObject *mutex_object(kmutex_t *mp)
{
    if (mp == nullptr)
        panic("mutex: NULL kmutex_t");
    // Acquire pairs with the release of the compare-and-swap that published the object.
    void *p = slot(mp).load(std::memory_order_acquire);
    if (p != nullptr)
        return static_cast<MutexObject *>(p);
    auto *made = new MutexObject;
    void *expected = nullptr;
    if (slot(mp).compare_exchange_strong(expected, made, std::memory_order_acq_rel,
                                         std::memory_order_acquire))
        return made;
    delete made;
    return static_cast<MutexObject *>(expected);
}

void mutex_release_for_sleep(MutexObject *m)
{
    m->owner.store(nullptr, std::memory_order_relaxed);
    m->lock.unlock();
}

void mutex_reacquire_after_sleep(MutexObject *m)
{
    m->lock.lock();
    m->owner.store(self_token(), std::memory_order_relaxed);
}

} // namespace platform::sync

using platform::sync::mutex_object;
using platform::sync::MutexObject;
using platform::sync::self_token;

extern "C" void mutex_init(kmutex_t *mp, const char *, kmutex_type_t, void *)
{
    if (mp == nullptr)
        panic("mutex_init: NULL kmutex_t");
    mp->_opaque[0] = new MutexObject;
}

extern "C" void mutex_destroy(kmutex_t *mp)
{
    void *p = std::atomic_ref<void *>(mp->_opaque[0]).exchange(nullptr, std::memory_order_acq_rel);
    if (p == nullptr)
        return;
    auto *m = static_cast<MutexObject *>(p);
    if (m->owner.load(std::memory_order_relaxed) != nullptr)
        panic("mutex_destroy: mutex %p is held", static_cast<void *>(mp));
    delete m;
}

extern "C" void mutex_enter(kmutex_t *mp)
{
    MutexObject *m = mutex_object(mp);
    if (m->owner.load(std::memory_order_relaxed) == self_token())
        panic("mutex_enter: recursive entry of mutex %p", static_cast<void *>(mp));
    if (!m->lock.try_lock() && !platform::sync::spin_briefly(m))
        m->lock.lock();
    m->owner.store(self_token(), std::memory_order_relaxed);
}

extern "C" void mutex_exit(kmutex_t *mp)
{
    MutexObject *m = mutex_object(mp);
    if (m->owner.load(std::memory_order_relaxed) != self_token())
        panic("mutex_exit: mutex %p not held by the caller", static_cast<void *>(mp));
    m->owner.store(nullptr, std::memory_order_relaxed);
    m->lock.unlock();
}

extern "C" int mutex_tryenter(kmutex_t *mp)
{
    MutexObject *m = mutex_object(mp);
    if (m->owner.load(std::memory_order_relaxed) == self_token())
        return 0;
    if (!m->lock.try_lock())
        return 0;
    m->owner.store(self_token(), std::memory_order_relaxed);
    return 1;
}

extern "C" int mutex_owned(kmutex_t *mp)
{
    return mutex_object(mp)->owner.load(std::memory_order_relaxed) == self_token();
}
