/*
 * Queue pairs as the platform keeps them: the two queue_t of a module or driver instance (read
 * first, so RD/WR are pointer arithmetic), plus the state the queue calls need.
 *
 * Lock key:
 *   l  lock[i] of the pair (the queue's message list, q_count, and QFULL/QWANTR/QWANTW changes
 *      that must agree with the list)
 *   p  the stream's plumbing mutex (set while the pair is linked in or out)
 *   a  atomic
 *
 * Type-stable memory: pairs come from a pool and are never given back to the system. putnext
 * may read a neighbour's q_next just as that neighbour is being removed; because the memory
 * stays a QueuePair, that read is harmless and the checks in putnext route the message right.
 */
#ifndef NVX_PLATFORM_STREAMS_QUEUE_PAIR_H
#define NVX_PLATFORM_STREAMS_QUEUE_PAIR_H

#include <sys/stream.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace platform::streams
{

enum class PairKind : uint8_t { head, module, driver };

struct QueuePair {
    queue_t q[2]; // [0] read side (QREADR), [1] write side; first member (see pair_of)
    // a: put and service procedures of this pair now running; qprocsoff waits for 0.
    // Written by every putnext into the pair: on its own cache line.
    alignas(64) std::atomic<int> active{0};
    // a: put procedures enabled (qprocson .. qprocsoff).
    std::atomic<bool> on{false};
    std::mutex lock[2];               // l, per queue
    PairKind kind = PairKind::module; // p
    QueuePair *pool_next = nullptr;   // the pool's free list
};

// QREADR never changes while a pair is in use; the relaxed atomic read only keeps this read
// apart from the flag updates of other threads.
inline bool is_read(queue_t *q)
{
    return std::atomic_ref<uint_t>(q->q_flag).load(std::memory_order_relaxed) & QREADR;
}
inline QueuePair *pair_of(queue_t *q)
{
    return reinterpret_cast<QueuePair *>(is_read(q) ? q : q - 1);
}
inline std::mutex &queue_lock(queue_t *q)
{
    return pair_of(q)->lock[is_read(q) ? 0 : 1];
}

// Atomic views of the fields that other threads read while they change.
inline queue_t *load_next(queue_t *q)
{
    return std::atomic_ref<queue_t *>(q->q_next).load(std::memory_order_acquire);
}
inline void store_next(queue_t *q, queue_t *next)
{
    std::atomic_ref<queue_t *>(q->q_next).store(next, std::memory_order_release);
}
inline uint_t load_flags(queue_t *q)
{
    return std::atomic_ref<uint_t>(q->q_flag).load(std::memory_order_acquire);
}
inline void set_flags(queue_t *q, uint_t bits)
{
    std::atomic_ref<uint_t>(q->q_flag).fetch_or(bits, std::memory_order_acq_rel);
}
inline void clear_flags(queue_t *q, uint_t bits)
{
    std::atomic_ref<uint_t>(q->q_flag).fetch_and(~bits, std::memory_order_acq_rel);
}

// A pair for the given procedures (read side rinit, write side winit), unlinked, procedures
// off, limits from each side's module_info, q_stream = sd.
QueuePair *alloc_pair(PairKind kind, struct qinit *rinit, struct qinit *winit, struct stdata *sd);
// Back to the pool. The pair must be off, unlinked and empty.
void free_pair(QueuePair *pair);

// Enable the pair's put procedures and link it between its neighbours (its own q_next
// pointers name them); disable and unlink. Both are what qprocson/qprocsoff do.
void pair_on(QueuePair *pair);
void pair_off(QueuePair *pair);

// The service procedure scheduler: qenable's queue runs its service procedure in the
// platform's service thread.
void schedule_service(queue_t *q);
void unschedule_service(queue_t *q);

// The queue before q in its direction (whose q_next is q), or nullptr at the stream's end.
queue_t *prev_queue(queue_t *q);
// Wakes the writer waiting on flow control: the nearest queue before q that has a service
// procedure is enabled (or the stream head's writers are woken).
void back_enable(queue_t *q);

} // namespace platform::streams

#endif
