/*
 * krwlock_t: a reader-biased reader/writer lock with writer preference.
 *
 * Readers count themselves in one of kSlots counters, each on its own cache line, chosen per
 * thread; while no writer is present or waiting, a reader's enter and exit touch only its own
 * slot and read the writer flag, so readers on different threads do not contend. A writer
 * raises the writer flag (new readers then back off and wait), waits until every slot is zero,
 * and owns the lock; its exit clears the flag and wakes the waiting readers.
 *
 * Why it is correct: a reader increments its slot and then reads the flag; a writer stores the
 * flag and then reads the slots; all four accesses are sequentially consistent, so at least
 * one side sees the other (either the reader backs off or the writer waits for it). A reader's
 * decrement is a release that the writer's acquire read of the slot pairs with; the writer's
 * release of the flag pairs with the reader's acquire read of it.
 *
 * Waits use one std::mutex (state) and two conditions: readers_cv (readers waiting for the
 * writer flag to drop), writer_cv (writers waiting for the flag or for the slots to drain).
 * A reader leaving while the flag is up takes state before notifying, so the draining writer,
 * which checks the slots under state, cannot miss it.
 */
#include <sys/cmn_err.h>
#include <sys/ksynch.h>

#include "sync_internal.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace
{

constexpr unsigned kSlots = 16;

struct alignas(64) Slot {
    std::atomic<std::intptr_t> readers{0};
};

struct RwObject {
    Slot slots[kSlots];
    alignas(64) std::atomic<bool> writer{false}; // a writer holds the lock or waits for it
    std::atomic<const void *> owner{nullptr};    // the writer holding it (relaxed: self checks)
    std::mutex state;
    std::condition_variable readers_cv;
    std::condition_variable writer_cv;

    std::intptr_t readers_total() const
    {
        std::intptr_t n = 0;
        for (const Slot &s : slots)
            n += s.readers.load(std::memory_order_acquire); // pairs with reader_leave's release
        return n;
    }
};

std::atomic<unsigned> next_slot{0};
// The calling thread's slot + 1 (0: not chosen yet). Constant-initialised, so reading it costs
// no thread-local initialisation check.
thread_local unsigned t_slot_plus1 = 0;

unsigned my_slot()
{
    if (t_slot_plus1 == 0) // relaxed: any distribution of threads over slots is correct
        t_slot_plus1 = next_slot.fetch_add(1, std::memory_order_relaxed) % kSlots + 1;
    return t_slot_plus1 - 1;
}

RwObject *rw_object(krwlock_t *rwlp)
{
    if (rwlp == nullptr)
        panic("rwlock: NULL krwlock_t");
    std::atomic_ref<void *> slot(rwlp->_opaque[0]);
    void *p = slot.load(std::memory_order_acquire);
    if (p != nullptr)
        return static_cast<RwObject *>(p);
    auto *made = new RwObject;
    void *expected = nullptr;
    if (slot.compare_exchange_strong(expected, made, std::memory_order_acq_rel,
                                     std::memory_order_acquire))
        return made;
    delete made;
    return static_cast<RwObject *>(expected);
}

// Try to enter as reader without waiting; false if a writer holds or waits.
bool reader_try(RwObject *rw, Slot &s)
{
    s.readers.fetch_add(1, std::memory_order_seq_cst);
    if (!rw->writer.load(std::memory_order_seq_cst))
        return true;
    s.readers.fetch_sub(1, std::memory_order_seq_cst);
    // The writer may be draining and have counted us: let it re-check.
    std::lock_guard<std::mutex> guard(rw->state);
    rw->writer_cv.notify_all();
    return false;
}

void reader_leave(RwObject *rw, Slot &s, krwlock_t *rwlp)
{
    std::intptr_t before = s.readers.fetch_sub(1, std::memory_order_seq_cst);
    if (before <= 0)
        panic("rw_exit: rwlock %p not held", static_cast<void *>(rwlp));
    if (rw->writer.load(std::memory_order_seq_cst)) {
        std::lock_guard<std::mutex> guard(rw->state);
        rw->writer_cv.notify_all();
    }
}

void writer_release(RwObject *rw)
{
    {
        std::lock_guard<std::mutex> guard(rw->state);
        rw->owner.store(nullptr, std::memory_order_relaxed);
        rw->writer.store(false, std::memory_order_seq_cst);
    }
    rw->readers_cv.notify_all();
    rw->writer_cv.notify_all();
}

} // namespace

using platform::sync::self_token;

extern "C" void rw_init(krwlock_t *rwlp, const char *, krw_type_t, void *)
{
    if (rwlp == nullptr)
        panic("rw_init: NULL krwlock_t");
    rwlp->_opaque[0] = new RwObject;
}

extern "C" void rw_destroy(krwlock_t *rwlp)
{
    void *p =
        std::atomic_ref<void *>(rwlp->_opaque[0]).exchange(nullptr, std::memory_order_acq_rel);
    if (p == nullptr)
        return;
    auto *rw = static_cast<RwObject *>(p);
    if (rw->writer.load(std::memory_order_seq_cst) || rw->readers_total() != 0)
        panic("rw_destroy: rwlock %p is held", static_cast<void *>(rwlp));
    delete rw;
}

extern "C" void rw_enter(krwlock_t *rwlp, krw_t enter_type)
{
    RwObject *rw = rw_object(rwlp);
    if (enter_type == RW_READER) {
        // Per-frame path: only the slot and the writer flag. A caller holding the lock as
        // writer finds the flag up and is caught on the slow path.
        Slot &s = rw->slots[my_slot()];
        while (!reader_try(rw, s)) {
            if (rw->owner.load(std::memory_order_relaxed) == self_token())
                panic("rw_enter: rwlock %p already held as writer by the caller",
                      static_cast<void *>(rwlp));
            std::unique_lock<std::mutex> guard(rw->state);
            rw->readers_cv.wait(guard,
                                [rw] { return !rw->writer.load(std::memory_order_seq_cst); });
        }
        return;
    }
    if (enter_type != RW_WRITER)
        panic("rw_enter: bad type %d", static_cast<int>(enter_type));
    if (rw->owner.load(std::memory_order_relaxed) == self_token())
        panic("rw_enter: rwlock %p already held as writer by the caller",
              static_cast<void *>(rwlp));
    std::unique_lock<std::mutex> guard(rw->state);
    rw->writer_cv.wait(guard, [rw] { return !rw->writer.load(std::memory_order_seq_cst); });
    rw->writer.store(true, std::memory_order_seq_cst);
    rw->writer_cv.wait(guard, [rw] { return rw->readers_total() == 0; });
    rw->owner.store(self_token(), std::memory_order_relaxed);
}

extern "C" int rw_tryenter(krwlock_t *rwlp, krw_t enter_type)
{
    RwObject *rw = rw_object(rwlp);
    if (rw->owner.load(std::memory_order_relaxed) == self_token())
        return 0;
    if (enter_type == RW_READER)
        return reader_try(rw, rw->slots[my_slot()]) ? 1 : 0;
    std::unique_lock<std::mutex> guard(rw->state);
    if (rw->writer.load(std::memory_order_seq_cst))
        return 0;
    rw->writer.store(true, std::memory_order_seq_cst);
    if (rw->readers_total() != 0) {
        rw->writer.store(false, std::memory_order_seq_cst);
        guard.unlock();
        rw->readers_cv.notify_all(); // readers that saw the flag meanwhile wait for it to drop
        rw->writer_cv.notify_all();
        return 0;
    }
    rw->owner.store(self_token(), std::memory_order_relaxed);
    return 1;
}

extern "C" void rw_exit(krwlock_t *rwlp)
{
    RwObject *rw = rw_object(rwlp);
    // Only a writer's own exit can find the flag up and itself the owner.
    if (rw->writer.load(std::memory_order_seq_cst) &&
        rw->owner.load(std::memory_order_relaxed) == self_token())
        writer_release(rw);
    else
        reader_leave(rw, rw->slots[my_slot()], rwlp);
}

extern "C" void rw_downgrade(krwlock_t *rwlp)
{
    RwObject *rw = rw_object(rwlp);
    if (rw->owner.load(std::memory_order_relaxed) != self_token())
        panic("rw_downgrade: rwlock %p not held as writer by the caller",
              static_cast<void *>(rwlp));
    // Count ourselves as a reader before the flag drops, so no writer slips in between.
    rw->slots[my_slot()].readers.fetch_add(1, std::memory_order_seq_cst);
    writer_release(rw);
}

extern "C" int rw_tryupgrade(krwlock_t *rwlp)
{
    RwObject *rw = rw_object(rwlp);
    if (rw->owner.load(std::memory_order_relaxed) == self_token())
        panic("rw_tryupgrade: rwlock %p already held as writer", static_cast<void *>(rwlp));
    std::unique_lock<std::mutex> guard(rw->state);
    if (rw->writer.load(std::memory_order_seq_cst))
        return 0;
    rw->writer.store(true, std::memory_order_seq_cst);
    if (rw->readers_total() != 1) { // another reader (or one backing off) is present
        rw->writer.store(false, std::memory_order_seq_cst);
        guard.unlock();
        rw->readers_cv.notify_all();
        rw->writer_cv.notify_all();
        return 0;
    }
    rw->slots[my_slot()].readers.fetch_sub(1, std::memory_order_seq_cst);
    rw->owner.store(self_token(), std::memory_order_relaxed);
    return 1;
}

extern "C" int rw_read_locked(krwlock_t *rwlp)
{
    RwObject *rw = rw_object(rwlp);
    return rw->owner.load(std::memory_order_relaxed) == nullptr && rw->readers_total() > 0;
}

extern "C" int rw_write_held(krwlock_t *rwlp)
{
    return rw_object(rwlp)->owner.load(std::memory_order_relaxed) == self_token();
}
