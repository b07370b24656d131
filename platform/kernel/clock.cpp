/*
 * The tick clock and the time of day.
 *
 * Real mode: lbolt = (host monotonic ns + tick_offset) / ns-per-tick, one atomic offset so a
 * reader never sees half an update. Manual mode: lbolt = manual_ticks, moved only by advance.
 * Switching modes carries the current tick over, so ticks never go back.
 *
 * Time of day: real mode reports the host's time plus wall_offset; manual mode reports
 * wall_base + (lbolt - wall_base_tick) ticks. The manual pair is published under a sequence
 * counter so that drv_getparm(TIME) from any thread reads a consistent pair.
 *
 * Mode switches and set_wall_seconds come from tests at quiet moments; reads come from any
 * context, per frame, and take no lock.
 */
#include "clock.h"

#include <sys/cmn_err.h>
#include <sys/ddi.h>

#include "clock_internal.h"
#include "sync_internal.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

namespace platform::clock
{
namespace
{

using steady = std::chrono::steady_clock;

std::int64_t steady_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(steady::now().time_since_epoch())
        .count();
}

std::int64_t system_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

constexpr std::int64_t kBootTicks = 100; // the clock reads one second at the first look
constexpr std::int64_t kUnset = INT64_MIN;

struct State {
    std::atomic<bool> manual{false};
    std::atomic<std::int64_t> manual_ticks{0};
    std::atomic<std::int64_t> tick_offset_ns{kUnset}; // real mode
    std::atomic<std::int64_t> wall_offset_ns{0};      // real mode
    // Manual-mode time of day, published under seq (odd while being written).
    std::atomic<std::uint32_t> seq{0};
    std::atomic<std::int64_t> wall_base_ns{0};
    std::atomic<std::int64_t> wall_base_tick{0};
    std::mutex writers; // serialises the mode and wall setters
};

State state;

std::int64_t tick_offset()
{
    std::int64_t off = state.tick_offset_ns.load(std::memory_order_acquire);
    if (off != kUnset)
        return off;
    std::int64_t want = kBootTicks * kNsPerTick - steady_ns();
    if (state.tick_offset_ns.compare_exchange_strong(off, want, std::memory_order_acq_rel))
        return want;
    return off; // another thread set it first
}

std::int64_t real_ticks()
{
    return (steady_ns() + tick_offset()) / kNsPerTick;
}

// A sequence lock with every access sequentially consistent (ThreadSanitizer does not model
// fences): a reader that sees the same even count before and after its reads cannot have
// overlapped a writer. Writers are serialised by state.writers.
void publish_manual_wall(std::int64_t base_ns, std::int64_t base_tick)
{
    std::uint32_t s = state.seq.load(std::memory_order_seq_cst);
    state.seq.store(s + 1, std::memory_order_seq_cst);
    state.wall_base_ns.store(base_ns, std::memory_order_seq_cst);
    state.wall_base_tick.store(base_tick, std::memory_order_seq_cst);
    state.seq.store(s + 2, std::memory_order_seq_cst);
}

std::int64_t manual_wall_ns()
{
    for (;;) {
        std::uint32_t s1 = state.seq.load(std::memory_order_seq_cst);
        if (s1 & 1u) {
            std::this_thread::yield();
            continue;
        }
        std::int64_t base = state.wall_base_ns.load(std::memory_order_seq_cst);
        std::int64_t tick = state.wall_base_tick.load(std::memory_order_seq_cst);
        if (state.seq.load(std::memory_order_seq_cst) == s1)
            return base + (state.manual_ticks.load(std::memory_order_acquire) - tick) * kNsPerTick;
    }
}

} // namespace

clock_t lbolt()
{
    // Acquire pairs with the release stores of set_manual / set_manual_ticks.
    if (state.manual.load(std::memory_order_acquire))
        return static_cast<clock_t>(state.manual_ticks.load(std::memory_order_acquire));
    return static_cast<clock_t>(real_ticks());
}

std::int64_t wall_ns()
{
    if (state.manual.load(std::memory_order_acquire))
        return manual_wall_ns();
    return system_ns() + state.wall_offset_ns.load(std::memory_order_relaxed);
}

steady::time_point real_time_of_tick(clock_t tick)
{
    std::int64_t ns = static_cast<std::int64_t>(tick) * kNsPerTick - tick_offset();
    return steady::time_point(
        std::chrono::duration_cast<steady::duration>(std::chrono::nanoseconds(ns)));
}

void set_manual_ticks(clock_t ticks)
{
    std::int64_t t = ticks;
    if (t < state.manual_ticks.load(std::memory_order_relaxed))
        panic("clock: ticks may not go back");
    state.manual_ticks.store(t, std::memory_order_release);
}

void set_manual(bool on)
{
    {
        std::lock_guard<std::mutex> guard(state.writers);
        if (on == state.manual.load(std::memory_order_relaxed))
            return;
        if (on) {
            std::int64_t now_tick = real_ticks();
            std::int64_t now_wall =
                system_ns() + state.wall_offset_ns.load(std::memory_order_relaxed);
            state.manual_ticks.store(now_tick, std::memory_order_relaxed);
            publish_manual_wall(now_wall, now_tick);
            state.manual.store(true, std::memory_order_release);
        } else {
            std::int64_t now_tick = state.manual_ticks.load(std::memory_order_relaxed);
            std::int64_t now_wall = manual_wall_ns();
            state.tick_offset_ns.store(now_tick * kNsPerTick - steady_ns(),
                                       std::memory_order_release);
            state.wall_offset_ns.store(now_wall - system_ns(), std::memory_order_relaxed);
            state.manual.store(false, std::memory_order_release);
        }
    }
    // Deadlines are computed differently in the two modes: let every waiter recompute.
    sync::notify_timed_sleepers();
    callouts_clock_changed();
}

bool manual()
{
    return state.manual.load(std::memory_order_acquire);
}

void advance(clock_t ticks)
{
    if (!manual())
        panic("clock: advance needs the manual clock");
    if (ticks < 0)
        panic("clock: advance by %ld ticks", static_cast<long>(ticks));
    callouts_advance(ticks);
}

void set_wall_seconds(std::time_t seconds)
{
    std::lock_guard<std::mutex> guard(state.writers);
    std::int64_t want = static_cast<std::int64_t>(seconds) * 1'000'000'000;
    if (state.manual.load(std::memory_order_relaxed))
        publish_manual_wall(want, state.manual_ticks.load(std::memory_order_relaxed));
    else
        state.wall_offset_ns.store(want - system_ns(), std::memory_order_relaxed);
}

unsigned pending_callouts()
{
    return callouts_pending();
}

} // namespace platform::clock
