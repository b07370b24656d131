/*
 * Per-thread caches of message objects with a shared depot (magazine allocator).
 *
 * Each thread keeps, per size class, two magazines (loaded and previous) of up to kRounds free
 * objects; allocation and free touch only the calling thread's magazines. When both are empty
 * (allocation) or full (free), the thread swaps a whole magazine with the depot under its
 * lock, so the lock is taken once per kRounds operations at most. Objects carry no owner
 * thread: a block allocated in a NIC receive thread and freed in the reader thread simply
 * moves through the depot from the freeing thread's magazines to the allocating thread's.
 * Handing a magazine over under the depot lock is what orders one thread's writes to those
 * objects before the other thread's use.
 *
 * A thread's magazines go to the depot when it exits. The depot keeps at most kDepotLimit
 * full magazines per class; beyond that, objects go back to the host allocator.
 *
 * Counters: each thread counts its own allocations and frees (single writer, relaxed);
 * message_totals() sums the live threads' counters and those of threads that have exited.
 */
#include "block_cache.h"

#include <sys/cmn_err.h>

#include "../accounting_internal.h"

#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define NVX_POISON(p, n)   ASAN_POISON_MEMORY_REGION(p, n)
#define NVX_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define NVX_POISON(p, n)   ((void)(p), (void)(n))
#define NVX_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace platform::messages
{
namespace
{

#if !defined(NDEBUG) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kPoisonFreed = true;
#else
constexpr bool kPoisonFreed = false;
#endif
constexpr unsigned char kPoisonByte = 0xdb;

constexpr int kRounds = 32;
constexpr std::size_t kDepotLimit = 256;
constexpr std::uint32_t kCapacity[kCachedClasses] = {0, 128, 512, 2048};

std::size_t object_size(int cls, std::size_t capacity)
{
    return cls == kMblkOnly ? kMblkOffset + sizeof(mblk_t) : kBufferOffset + capacity;
}

BlockHeader *fresh(int cls, std::size_t capacity)
{
    void *raw = ::operator new (object_size(cls, capacity), std::align_val_t{16}, std::nothrow);
    if (raw == nullptr)
        return nullptr;
    auto *h = new (raw) BlockHeader;
    h->state.store(kBlockFree, std::memory_order_relaxed);
    h->cls = static_cast<std::uint8_t>(cls);
    h->holds.store(0, std::memory_order_relaxed);
    h->capacity = static_cast<std::uint32_t>(capacity);
    return h;
}

void release_to_host(BlockHeader *h)
{
    NVX_UNPOISON(h, object_size(h->cls, h->capacity));
    h->~BlockHeader();
    ::operator delete (h, std::align_val_t{16});
}

struct Magazine {
    int rounds = 0;
    BlockHeader *objects[kRounds];
};

struct ThreadCache;

struct Depot {
    std::mutex lock;
    // All guarded by lock.
    std::vector<Magazine *> full[kCachedClasses];
    std::vector<Magazine *> empty;
    std::vector<ThreadCache *> threads;
    std::uint64_t retired_allocated = 0;
    std::uint64_t retired_freed = 0;
};

Depot &depot()
{
    static Depot *d = new Depot; // never destroyed: threads may free blocks during exit
    return *d;
}

Magazine *empty_magazine_locked(Depot &d)
{
    if (d.empty.empty())
        return new Magazine;
    Magazine *m = d.empty.back();
    d.empty.pop_back();
    return m;
}

struct ThreadCache {
    Magazine *loaded[kCachedClasses];
    Magazine *previous[kCachedClasses];
    std::atomic<std::uint64_t> allocated{0};
    std::atomic<std::uint64_t> freed{0};
    bool alive = false;

    ThreadCache()
    {
        Depot &d = depot();
        std::lock_guard<std::mutex> guard(d.lock);
        for (int c = 0; c < kCachedClasses; ++c) {
            loaded[c] = empty_magazine_locked(d);
            previous[c] = empty_magazine_locked(d);
        }
        d.threads.push_back(this);
        alive = true;
    }

    ~ThreadCache()
    {
        Depot &d = depot();
        std::lock_guard<std::mutex> guard(d.lock);
        for (int c = 0; c < kCachedClasses; ++c) {
            for (Magazine *m : {loaded[c], previous[c]}) {
                if (m->rounds > 0)
                    d.full[c].push_back(m);
                else
                    d.empty.push_back(m);
            }
        }
        d.retired_allocated += allocated.load(std::memory_order_relaxed);
        d.retired_freed += freed.load(std::memory_order_relaxed);
        std::erase(d.threads, this);
        alive = false;
    }

    BlockHeader *take(int c)
    {
        Magazine *&l = loaded[c];
        if (l->rounds == 0) {
            if (previous[c]->rounds > 0) {
                std::swap(l, previous[c]);
            } else {
                Depot &d = depot();
                std::lock_guard<std::mutex> guard(d.lock);
                if (d.full[c].empty())
                    return nullptr;
                d.empty.push_back(previous[c]);
                previous[c] = l;
                l = d.full[c].back();
                d.full[c].pop_back();
            }
        }
        return l->objects[--l->rounds];
    }

    void put(int c, BlockHeader *h)
    {
        Magazine *&l = loaded[c];
        if (l->rounds == kRounds) {
            if (previous[c]->rounds < kRounds) {
                std::swap(l, previous[c]);
            } else {
                Depot &d = depot();
                std::lock_guard<std::mutex> guard(d.lock);
                if (d.full[c].size() < kDepotLimit) {
                    d.full[c].push_back(previous[c]);
                    previous[c] = l;
                    l = empty_magazine_locked(d);
                } else {
                    // The depot is full: hand the previous magazine's objects back to the host.
                    Magazine *p = previous[c];
                    for (int i = 0; i < p->rounds; ++i)
                        release_to_host(p->objects[i]);
                    p->rounds = 0;
                    std::swap(l, previous[c]);
                }
            }
        }
        l->objects[l->rounds++] = h;
    }
};

thread_local ThreadCache t_cache;

ThreadCache *cache()
{
    ThreadCache *tc = &t_cache;
    return tc->alive ? tc : nullptr;
}

BlockHeader *take(int cls)
{
    BlockHeader *h = nullptr;
    if (ThreadCache *tc = cache())
        h = tc->take(cls);
    if (h == nullptr)
        return fresh(cls, kCapacity[cls]);
    NVX_UNPOISON(reinterpret_cast<char *>(h) + kMblkOffset,
                 object_size(cls, h->capacity) - kMblkOffset);
    return h;
}

} // namespace

BlockHeader *take_data_object(std::size_t size)
{
    int cls;
    if (size <= kCapacity[kSmall])
        cls = kSmall;
    else if (size <= kCapacity[kMedium])
        cls = kMedium;
    else if (size <= kCapacity[kLarge])
        cls = kLarge;
    else {
        if (size > UINT32_MAX - kBufferOffset)
            return nullptr;
        BlockHeader *h = fresh(kHuge, size);
        return h;
    }
    return take(cls);
}

BlockHeader *take_mblk_object()
{
    return take(kMblkOnly);
}

void give_back(BlockHeader *h)
{
    h->state.store(kBlockFree, std::memory_order_relaxed);
    std::size_t rest = object_size(h->cls, h->capacity) - kMblkOffset;
    if (kPoisonFreed)
        std::memset(reinterpret_cast<char *>(h) + kMblkOffset, kPoisonByte, rest);
    if (h->cls == kHuge) {
        release_to_host(h);
        return;
    }
    NVX_POISON(reinterpret_cast<char *>(h) + kMblkOffset, rest);
    if (ThreadCache *tc = cache())
        tc->put(h->cls, h);
    else
        release_to_host(h);
}

void count_allocated()
{
    if (ThreadCache *tc = cache()) {
        // Single writer: a load and a store, no read-modify-write needed.
        tc->allocated.store(tc->allocated.load(std::memory_order_relaxed) + 1,
                            std::memory_order_relaxed);
        return;
    }
    Depot &d = depot();
    std::lock_guard<std::mutex> guard(d.lock);
    ++d.retired_allocated;
}

void count_freed()
{
    if (ThreadCache *tc = cache()) {
        tc->freed.store(tc->freed.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        return;
    }
    Depot &d = depot();
    std::lock_guard<std::mutex> guard(d.lock);
    ++d.retired_freed;
}

} // namespace platform::messages

namespace platform::accounting
{
MsgTotals message_totals()
{
    messages::Depot &d = messages::depot();
    std::lock_guard<std::mutex> guard(d.lock);
    MsgTotals t{d.retired_allocated, d.retired_freed};
    for (messages::ThreadCache *tc : d.threads) {
        t.allocated += tc->allocated.load(std::memory_order_relaxed);
        t.freed += tc->freed.load(std::memory_order_relaxed);
    }
    return t;
}
} // namespace platform::accounting
