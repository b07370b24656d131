/*
 * Fault injection. One countdown per kind: 0 disarmed, -1 fail every call, n > 0 the nth call
 * from now fails. The disarmed check is a relaxed load, so allocation fast paths pay nothing
 * measurable; when armed, the countdown is decremented with compare-and-swap so that exactly
 * one of several concurrent calls sees the nth position.
 */
#include "faults.h"

#include <atomic>

namespace platform::faults
{
namespace
{

constexpr int kKinds = 3;

struct Slot {
    std::atomic<std::int64_t> countdown{0};
    std::atomic<std::uint64_t> injected{0};
};

Slot slots[kKinds];

Slot &slot(Kind kind)
{
    return slots[static_cast<int>(kind)];
}

} // namespace

void fail_nth(Kind kind, unsigned n)
{
    slot(kind).countdown.store(n, std::memory_order_relaxed);
}

void fail_always(Kind kind)
{
    slot(kind).countdown.store(-1, std::memory_order_relaxed);
}

void clear(Kind kind)
{
    slot(kind).countdown.store(0, std::memory_order_relaxed);
}

void reset()
{
    for (Slot &s : slots) {
        s.countdown.store(0, std::memory_order_relaxed);
        s.injected.store(0, std::memory_order_relaxed);
    }
}

std::uint64_t injected(Kind kind)
{
    return slot(kind).injected.load(std::memory_order_relaxed);
}

bool should_fail(Kind kind)
{
    Slot &s = slot(kind);
    // Relaxed: arming happens in the test thread before the calls it targets are made, and
    // those calls are ordered after it by whatever started them.
    std::int64_t c = s.countdown.load(std::memory_order_relaxed);
    while (c != 0) {
        if (c < 0) {
            s.injected.fetch_add(1, std::memory_order_relaxed);
            return true;
        }
        if (s.countdown.compare_exchange_weak(c, c - 1, std::memory_order_relaxed)) {
            if (c != 1)
                return false;
            s.injected.fetch_add(1, std::memory_order_relaxed);
            return true;
        }
    }
    return false;
}

} // namespace platform::faults
