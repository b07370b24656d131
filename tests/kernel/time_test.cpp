/*
 * Time services and callouts: conversions, the manual clock, and the untimeout guarantees the
 * session timer's teardown relies on.
 */
#include <sys/ddi.h>
#include <sys/kproc.h>

#include <gtest/gtest.h>

#include "clock.h"
#include "nvx_testing.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace
{

// Polls cond every millisecond for up to five seconds.
template <typename C> bool eventually(C cond)
{
    for (int i = 0; i < 5000; ++i) {
        if (cond())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return cond();
}

TEST(Time, TickConversions)
{
    EXPECT_EQ(hz, 100);
    struct {
        clock_t usec, ticks;
    } to_hz[] = {{0, 0}, {-5, 0}, {1, 1}, {9999, 1}, {10000, 1}, {10001, 2}, {1000000, 100}};
    for (auto c : to_hz)
        EXPECT_EQ(drv_usectohz(c.usec), c.ticks) << c.usec;
    EXPECT_EQ(drv_hztousec(1), 10000);
    EXPECT_EQ(drv_hztousec(100), 1000000);
    EXPECT_EQ(drv_hztousec(0), 0);
}

TEST(Time, GetparmTimeAndLbolt)
{
    platform::clock::ManualScope manual;
    platform::clock::set_wall_seconds(1000000000);
    time_t secs = 0;
    ASSERT_EQ(drv_getparm(TIME, &secs), 0);
    EXPECT_EQ(secs, 1000000000);
    clock_t ticks = 0;
    ASSERT_EQ(drv_getparm(LBOLT, &ticks), 0);
    EXPECT_EQ(ticks, ddi_get_lbolt());
    long dummy = 0;
    EXPECT_EQ(drv_getparm(UPROCP, &dummy), -1);
    EXPECT_EQ(drv_getparm(PPID, &dummy), -1);
    EXPECT_EQ(drv_getparm(77, &dummy), -1);

    // The manual clock carries the time of day with it: 250 ticks is two whole seconds.
    clock_t before = ddi_get_lbolt();
    platform::clock::advance(250);
    EXPECT_EQ(ddi_get_lbolt(), before + 250);
    ASSERT_EQ(drv_getparm(TIME, &secs), 0);
    EXPECT_EQ(secs, 1000000002);
}

TEST(Time, RealClockMovesAndTimeOfDayIsTheHosts)
{
    clock_t a = ddi_get_lbolt();
    EXPECT_GT(a, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_GE(ddi_get_lbolt(), a + 2);
    time_t secs = 0;
    ASSERT_EQ(drv_getparm(TIME, &secs), 0);
    EXPECT_LE(std::abs(secs - std::time(nullptr)), 2);
}

TEST(Time, ManualClockStandsStillAndSwitchingBackNeverGoesBack)
{
    clock_t last;
    {
        platform::clock::ManualScope manual;
        last = ddi_get_lbolt();
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(ddi_get_lbolt(), last);
        platform::clock::advance(1000);
        last = ddi_get_lbolt();
    }
    EXPECT_GE(ddi_get_lbolt(), last);
}

TEST(Time, UniqtimeIsStrictlyIncreasing)
{
    platform::clock::ManualScope manual; // the time of day stands still: uniqueness must hold
    struct timeval prev {
    };
    uniqtime(&prev);
    for (int i = 0; i < 1000; ++i) {
        struct timeval tv {
        };
        uniqtime(&tv);
        ASSERT_TRUE(tv.tv_sec > prev.tv_sec ||
                    (tv.tv_sec == prev.tv_sec && tv.tv_usec > prev.tv_usec));
        ASSERT_LT(tv.tv_usec, 1000000);
        prev = tv;
    }
}

TEST(Time, UsecwaitWaitsAtLeastThatLong)
{
    hrtime_t t0 = gethrtime();
    drv_usecwait(2000);
    EXPECT_GE(gethrtime() - t0, 2000000);
}

TEST(Time, DelayFollowsTheManualClock)
{
    platform::clock::ManualScope manual;
    std::atomic<bool> done{false};
    std::thread sleeper([&] {
        delay(10);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(done.load());
    platform::clock::advance(10);
    sleeper.join();
    EXPECT_TRUE(done.load());
}

struct Counter {
    std::atomic<int> runs{0};
    std::atomic<pid_t> pid_seen{-1};
    std::atomic<bool> on_test_thread{false};
    std::thread::id test_thread = std::this_thread::get_id();
};

void count_run(void *arg)
{
    auto *c = static_cast<Counter *>(arg);
    c->pid_seen = ddi_get_pid();
    if (std::this_thread::get_id() == c->test_thread)
        c->on_test_thread = true;
    ++c->runs;
}

TEST(Callout, RunsInTheCalloutThreadWhenDue)
{
    platform::clock::ManualScope manual;
    platform::testing::AsProcess proc(77);
    Counter c;
    timeout_id_t id = timeout(count_run, &c, 5);
    EXPECT_NE(id, nullptr);
    platform::clock::advance(4);
    EXPECT_EQ(c.runs.load(), 0);
    platform::clock::advance(1);
    EXPECT_EQ(c.runs.load(), 1) << "advance returns once due callouts have run";
    EXPECT_EQ(c.pid_seen.load(), 0) << "callouts run in no process context";
    EXPECT_FALSE(c.on_test_thread.load());
    EXPECT_EQ(untimeout(id), -1) << "already ran";
    EXPECT_EQ(platform::clock::pending_callouts(), 0u);
}

struct Rearming {
    std::atomic<int> runs{0};
    int limit = 0;
    std::vector<clock_t> ticks; // written by the callout thread only, read after advance
};

void rearm(void *arg)
{
    auto *r = static_cast<Rearming *>(arg);
    r->ticks.push_back(ddi_get_lbolt());
    if (++r->runs < r->limit)
        timeout(rearm, r, 100);
}

TEST(Callout, CalloutsArmedByCalloutsRunWithinOneAdvance)
{
    platform::clock::ManualScope manual;
    Rearming r;
    r.limit = 10;
    clock_t start = ddi_get_lbolt();
    timeout(rearm, &r, 100);
    platform::clock::advance(1000);
    ASSERT_EQ(r.runs.load(), 10);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(r.ticks[static_cast<size_t>(i)], start + 100 * (i + 1)) << i;
}

TEST(Callout, UntimeoutOfAPendingCalloutReturnsTheTicksLeft)
{
    platform::clock::ManualScope manual;
    Counter c;
    timeout_id_t id = timeout(count_run, &c, 50);
    platform::clock::advance(20);
    EXPECT_EQ(untimeout(id), 30);
    EXPECT_EQ(untimeout(id), -1) << "no longer known";
    platform::clock::advance(100);
    EXPECT_EQ(c.runs.load(), 0);
    EXPECT_EQ(untimeout(nullptr), -1);
}

TEST(Callout, ZeroTicksMeansTheNextTick)
{
    platform::clock::ManualScope manual;
    Counter c;
    timeout(count_run, &c, 0);
    platform::clock::advance(1);
    EXPECT_EQ(c.runs.load(), 1);
}

TEST(Callout, RunsOnTheRealClock)
{
    Counter c;
    timeout(count_run, &c, 2);
    EXPECT_TRUE(eventually([&] { return c.runs.load() == 1; }));
}

struct Blocking {
    std::atomic<bool> started{false};
    std::atomic<bool> release{false};
    std::atomic<bool> finished{false};
};

void block_until_released(void *arg)
{
    auto *b = static_cast<Blocking *>(arg);
    b->started = true;
    while (!b->release) // spins: a callout may not sleep
        std::this_thread::yield();
    b->finished = true;
}

TEST(Callout, UntimeoutWaitsForTheCalloutRunningOnAnotherThread)
{
    Blocking b;
    timeout_id_t id = timeout(block_until_released, &b, 1);
    ASSERT_TRUE(eventually([&] { return b.started.load(); }));
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        b.release = true;
    });
    EXPECT_EQ(untimeout(id), -1);
    EXPECT_TRUE(b.finished.load()) << "untimeout returned while its callout still ran";
    releaser.join();
}

struct SelfCancel {
    std::atomic<timeout_id_t> id{nullptr};
    std::atomic<clock_t> result{-100};
    std::atomic<bool> done{false};
};

void cancel_self(void *arg)
{
    auto *s = static_cast<SelfCancel *>(arg);
    while (s->id.load() == nullptr) // the id is stored right after timeout returns
        std::this_thread::yield();
    s->result = untimeout(s->id.load());
    s->done = true;
}

TEST(Callout, UntimeoutFromInsideItsOwnCalloutReturnsWithoutWaiting)
{
    SelfCancel s;
    s.id = timeout(cancel_self, &s, 1);
    ASSERT_TRUE(eventually([&] { return s.done.load(); })) << "deadlocked in its own untimeout";
    EXPECT_EQ(s.result.load(), -1);
}

} // namespace
