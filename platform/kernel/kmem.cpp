/*
 * kmem_alloc, kmem_zalloc, kmem_free on the host's allocator, with a header in front of every
 * block that records its size and whether it is live, so that a double free, a free of
 * something that never came from here, or a free with the wrong size panics at the call.
 */
#include <sys/cmn_err.h>
#include <sys/kmem.h>

#include "accounting_internal.h"
#include "faults.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>

namespace
{

constexpr std::uint32_t kLive = 0x6b6d656d;  // "kmem"
constexpr std::uint32_t kFreed = 0x66726565; // "free"
constexpr unsigned char kPoison = 0xdb;
#if !defined(NDEBUG) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kPoisonFreed = true;
#else
constexpr bool kPoisonFreed = false;
#endif

struct alignas(16) Header {
    std::atomic<std::uint32_t> state;
    std::uint32_t reserved;
    std::uint64_t size;
};
static_assert(sizeof(Header) == 16, "kmem header keeps 16-byte alignment");

// Relaxed: counters for tests, read at quiet moments.
std::atomic<std::uint64_t> live_count{0};
std::atomic<std::uint64_t> live_bytes{0};

void *allocate(size_t size, int flag, bool zero)
{
    if (size == 0)
        return nullptr;
    if (flag != KM_SLEEP && flag != KM_NOSLEEP)
        panic("kmem_alloc: bad flag %d", flag);
    if (flag == KM_NOSLEEP && platform::faults::should_fail(platform::faults::Kind::kmem_nosleep))
        return nullptr;
    if (size > SIZE_MAX - sizeof(Header)) {
        if (flag == KM_NOSLEEP)
            return nullptr;
        panic("kmem_alloc: impossible size %zu", size);
    }
    void *raw = ::operator new (sizeof(Header) + size, std::align_val_t{16}, std::nothrow);
    if (raw == nullptr) {
        if (flag == KM_NOSLEEP)
            return nullptr;
        panic("kmem_alloc: out of memory for %zu bytes", size);
    }
    Header *h = new (raw) Header;
    h->state.store(kLive, std::memory_order_relaxed);
    h->reserved = 0;
    h->size = size;
    void *buf = h + 1;
    if (zero)
        std::memset(buf, 0, size);
    live_count.fetch_add(1, std::memory_order_relaxed);
    live_bytes.fetch_add(size, std::memory_order_relaxed);
    return buf;
}

} // namespace

extern "C" void *kmem_alloc(size_t size, int flag)
{
    return allocate(size, flag, false);
}

extern "C" void *kmem_zalloc(size_t size, int flag)
{
    return allocate(size, flag, true);
}

extern "C" void kmem_free(void *buf, size_t size)
{
    if (buf == nullptr)
        return;
    if (reinterpret_cast<std::uintptr_t>(buf) % 16 != 0)
        panic("kmem_free: %p is not a kmem block", buf);
    Header *h = static_cast<Header *>(buf) - 1;
    std::uint32_t state = h->state.load(std::memory_order_relaxed);
    if (state == kFreed)
        panic("kmem_free: double free of %p", buf);
    if (state != kLive)
        panic("kmem_free: %p is not a kmem block", buf);
    if (h->size != size)
        panic("kmem_free: %p freed with size %zu, allocated with %zu", buf, size,
              static_cast<size_t>(h->size));
    if (!h->state.compare_exchange_strong(state, kFreed, std::memory_order_relaxed))
        panic("kmem_free: double free of %p", buf);
    live_count.fetch_sub(1, std::memory_order_relaxed);
    live_bytes.fetch_sub(size, std::memory_order_relaxed);
    if (kPoisonFreed)
        std::memset(buf, kPoison, size);
    h->~Header();
    ::operator delete (h, std::align_val_t{16});
}

namespace platform::accounting
{
LiveTotals kmem_totals()
{
    return {live_count.load(std::memory_order_relaxed), live_bytes.load(std::memory_order_relaxed)};
}
} // namespace platform::accounting
