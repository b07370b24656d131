/*
 * Callouts: timeout(9F) and untimeout(9F), run one at a time in the callout thread.
 *
 * The engine keeps pending callouts ordered by (due tick, id) under one mutex. The callout
 * thread sleeps until the earliest is due (real mode: until its host time; manual mode: until
 * an advance), takes it off the list, runs it with the mutex released, and notes which id is
 * running so that untimeout can wait for it from another thread (never from the callout thread
 * itself, which would wait for itself).
 *
 * Manual advance: the clock is moved to each tick at which a callout is due, in turn, up to
 * the target; at each stop the caller waits until the callout thread has run everything due
 * (including callouts armed by those callouts for the same tick) and is idle.
 *
 * The engine and its thread live until the process ends (the thread is detached); a callout
 * still pending then simply never runs.
 */
#include <sys/cmn_err.h>
#include <sys/ddi.h>

#include "clock.h"
#include "clock_internal.h"
#include "sync_internal.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

namespace platform::clock
{
namespace
{

struct Callout {
    void (*func)(void *);
    void *arg;
};

struct Engine {
    std::mutex lock;
    std::condition_variable work;     // the callout thread waits here for due callouts
    std::condition_variable finished; // untimeout and advance wait here
    // All guarded by lock.
    std::map<std::pair<clock_t, std::uintptr_t>, Callout> by_due;
    std::unordered_map<std::uintptr_t, clock_t> due_of;
    std::uintptr_t next_id = 1;
    std::uintptr_t running = 0; // id of the callout running now, 0 if none
    bool started = false;
    const void *thread_token = nullptr; // the callout thread's self_token

    bool idle_at(clock_t now) const
    {
        return running == 0 && (by_due.empty() || by_due.begin()->first.first > now);
    }
};

Engine &engine()
{
    static Engine *e = new Engine; // never destroyed: the detached thread uses it until exit
    return *e;
}

void callout_thread_main()
{
    Engine &e = engine();
    std::unique_lock<std::mutex> guard(e.lock);
    e.thread_token = sync::self_token();
    for (;;) {
        if (e.by_due.empty()) {
            e.work.wait(guard);
            continue;
        }
        auto first = e.by_due.begin();
        clock_t due = first->first.first;
        if (due > lbolt()) {
            if (manual())
                e.work.wait(guard);
            else
                e.work.wait_until(guard, real_time_of_tick(due));
            continue;
        }
        std::uintptr_t id = first->first.second;
        Callout c = first->second;
        e.by_due.erase(first);
        e.due_of.erase(id);
        e.running = id;
        guard.unlock();
        c.func(c.arg);
        guard.lock();
        e.running = 0;
        e.finished.notify_all();
    }
}

bool on_callout_thread(const Engine &e)
{
    return e.thread_token == sync::self_token();
}

} // namespace

void callouts_clock_changed()
{
    Engine &e = engine();
    std::lock_guard<std::mutex> guard(e.lock);
    e.work.notify_all();
}

void callouts_advance(clock_t ticks)
{
    Engine &e = engine();
    std::unique_lock<std::mutex> guard(e.lock);
    if (e.started && on_callout_thread(e))
        panic("clock: advance called from a callout");
    clock_t target = lbolt() + ticks;
    for (;;) {
        clock_t stop = target;
        if (!e.by_due.empty())
            stop = std::min(stop, std::max(lbolt(), e.by_due.begin()->first.first));
        set_manual_ticks(stop);
        guard.unlock();
        sync::notify_timed_sleepers();
        guard.lock();
        e.work.notify_all();
        e.finished.wait(guard, [&e, stop] { return e.idle_at(stop); });
        if (stop >= target)
            return;
    }
}

unsigned callouts_pending()
{
    Engine &e = engine();
    std::lock_guard<std::mutex> guard(e.lock);
    return static_cast<unsigned>(e.by_due.size());
}

} // namespace platform::clock

using namespace platform::clock;

extern "C" timeout_id_t timeout(void (*func)(void *), void *arg, clock_t ticks)
{
    if (func == nullptr)
        panic("timeout: NULL function");
    Engine &e = engine();
    std::lock_guard<std::mutex> guard(e.lock);
    if (!e.started) {
        std::thread(callout_thread_main).detach();
        e.started = true;
    }
    std::uintptr_t id = e.next_id++;
    if (e.next_id == 0)
        e.next_id = 1;
    clock_t due = lbolt() + std::max<clock_t>(ticks, 1);
    e.by_due.emplace(std::make_pair(due, id), Callout{func, arg});
    e.due_of.emplace(id, due);
    e.work.notify_all();
    return reinterpret_cast<timeout_id_t>(id);
}

extern "C" clock_t untimeout(timeout_id_t tid)
{
    auto id = reinterpret_cast<std::uintptr_t>(tid);
    Engine &e = engine();
    std::unique_lock<std::mutex> guard(e.lock);
    auto found = e.due_of.find(id);
    if (found != e.due_of.end()) {
        clock_t due = found->second;
        e.by_due.erase(std::make_pair(due, id));
        e.due_of.erase(found);
        return std::max<clock_t>(0, due - lbolt());
    }
    if (id != 0 && e.running == id && !on_callout_thread(e))
        e.finished.wait(guard, [&e, id] { return e.running != id; });
    return -1;
}
