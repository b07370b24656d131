/*
 * Condition variables and process contexts: the three outcomes of cv_timedwait_sig the read
 * request depends on, signals raised from another thread, and the identity calls.
 */
#include <sys/ddi.h>
#include <sys/kproc.h>
#include <sys/ksynch.h>

#include <gtest/gtest.h>

#include "clock.h"
#include "nvx_testing.h"
#include "proc.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

using platform::testing::AsProcess;

namespace
{

class CondVar : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        mutex_init(&m, nullptr, MUTEX_DRIVER, nullptr);
        cv_init(&cv, nullptr, CV_DRIVER, nullptr);
    }
    void TearDown() override
    {
        cv_destroy(&cv);
        mutex_destroy(&m);
    }
    kmutex_t m;
    kcondvar_t cv;
};

TEST_F(CondVar, TimedWaitSigTimesOutWithMinusOne)
{
    AsProcess proc(4242);
    mutex_enter(&m);
    clock_t start = ddi_get_lbolt();
    clock_t r = cv_timedwait_sig(&cv, &m, start + 3);
    EXPECT_EQ(r, -1);
    EXPECT_GE(ddi_get_lbolt(), start + 3);
    EXPECT_TRUE(mutex_owned(&m)) << "the mutex is held again on return";
    mutex_exit(&m);
}

TEST_F(CondVar, DeadlineAlreadyPastReturnsAtOnce)
{
    mutex_enter(&m);
    EXPECT_EQ(cv_timedwait(&cv, &m, ddi_get_lbolt() - 1), -1);
    EXPECT_TRUE(mutex_owned(&m));
    mutex_exit(&m);
}

TEST_F(CondVar, PendingSignalEndsTheWaitWithZero)
{
    AsProcess proc(4243);
    proc.context().raise_signal();
    mutex_enter(&m);
    EXPECT_EQ(cv_timedwait_sig(&cv, &m, ddi_get_lbolt() + 100 * hz), 0);
    EXPECT_EQ(cv_wait_sig(&cv, &m), 0);
    EXPECT_TRUE(mutex_owned(&m));
    // Cleared, the next wait times out normally.
    proc.context().clear_signal();
    EXPECT_EQ(cv_timedwait_sig(&cv, &m, ddi_get_lbolt() + 1), -1);
    mutex_exit(&m);
}

TEST_F(CondVar, SignalRaisedWhileWaitingEndsItPromptly)
{
    AsProcess proc(4244);
    platform::proc::Context &ctx = proc.context();
    std::thread raiser([&ctx] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        ctx.raise_signal();
    });
    mutex_enter(&m);
    auto t0 = std::chrono::steady_clock::now();
    clock_t r = cv_timedwait_sig(&cv, &m, ddi_get_lbolt() + 60 * hz);
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(r, 0);
    EXPECT_TRUE(mutex_owned(&m));
    mutex_exit(&m);
    raiser.join();
    EXPECT_LT(waited, std::chrono::seconds(30)) << "woken by the signal, not the deadline";
}

TEST_F(CondVar, SignalForAnotherContextDoesNotEndTheWait)
{
    AsProcess proc(4245);
    platform::proc::Context other(999, platform::proc::make_cred(0, 0, 999));
    other.raise_signal();
    mutex_enter(&m);
    EXPECT_EQ(cv_timedwait_sig(&cv, &m, ddi_get_lbolt() + 2), -1);
    mutex_exit(&m);
}

TEST_F(CondVar, BroadcastWakesWithAPositiveValue)
{
    bool ready = false; // guarded by m
    std::atomic<clock_t> result{-100};
    std::thread waiter([&] {
        AsProcess proc(4246);
        mutex_enter(&m);
        clock_t r = 1;
        while (!ready && r > 0)
            r = cv_timedwait_sig(&cv, &m, ddi_get_lbolt() + 60 * hz);
        result = r;
        mutex_exit(&m);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    mutex_enter(&m);
    ready = true;
    mutex_exit(&m);
    cv_broadcast(&cv); // after the mutex is released, as the driver's staging path does
    waiter.join();
    EXPECT_GT(result.load(), 0);
}

TEST_F(CondVar, SignalWakesOneWaiterAtATime)
{
    int tokens = 0; // guarded by m
    std::atomic<int> done{0};
    auto consumer = [&] {
        mutex_enter(&m);
        while (tokens == 0)
            cv_wait(&cv, &m);
        --tokens;
        mutex_exit(&m);
        ++done;
    };
    std::thread a(consumer), b(consumer);
    for (int i = 0; i < 2; ++i) {
        mutex_enter(&m);
        ++tokens;
        cv_signal(&cv);
        mutex_exit(&m);
    }
    a.join();
    b.join();
    EXPECT_EQ(done.load(), 2);
    EXPECT_EQ(tokens, 0);
}

TEST_F(CondVar, ManualClockAdvancePastTheDeadlineWakesWithMinusOne)
{
    platform::clock::ManualScope manual;
    std::atomic<clock_t> result{-100};
    std::atomic<bool> returned{false};
    clock_t deadline = ddi_get_lbolt() + 50;
    std::thread waiter([&] {
        mutex_enter(&m);
        result = cv_timedwait(&cv, &m, deadline);
        returned = true;
        mutex_exit(&m);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    platform::clock::advance(49);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(returned.load()) << "one tick before the deadline";
    platform::clock::advance(1);
    waiter.join();
    EXPECT_EQ(result.load(), -1);
}

TEST(Process, PidCredentialsAndPrivilege)
{
    EXPECT_EQ(ddi_get_pid(), 0) << "no process context on a bare thread";
    EXPECT_EQ(ddi_get_cred(), nullptr);
    {
        AsProcess root(321, 0);
        EXPECT_EQ(ddi_get_pid(), 321);
        ASSERT_NE(ddi_get_cred(), nullptr);
        EXPECT_EQ(drv_priv(ddi_get_cred()), 0);
        {
            AsProcess user(654, 1000, 100);
            EXPECT_EQ(ddi_get_pid(), 654);
            EXPECT_EQ(drv_priv(ddi_get_cred()), EPERM);
            EXPECT_EQ(ddi_get_cred()->cr_gid, 100u);
        }
        EXPECT_EQ(ddi_get_pid(), 321) << "the previous context comes back";
        pid_t seen = -1;
        std::thread([&seen] { seen = ddi_get_pid(); }).join();
        EXPECT_EQ(seen, 0) << "contexts are per thread";
    }
    EXPECT_EQ(ddi_get_pid(), 0);
    EXPECT_EQ(drv_priv(nullptr), EPERM);
}

} // namespace
