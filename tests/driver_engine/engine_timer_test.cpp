// The session timer on a driven clock: an idle reader's capture is suspended and its frames
// given back; the next read request resumes it with fresh sequence numbers.
#include "engine_fixture.h"

#include "clock.h"
#include "console_log.h"

#include <sys/ddi.h>

#include <thread>

namespace engine_test
{
namespace
{

class EngineTimerTest : public EngineTest
{
  protected:
    U32 adapter_flags()
    {
        rw_enter(&nvx_rwlock, RW_READER);
        const U32 f = gip()->ulFlags;
        rw_exit(&nvx_rwlock);
        return f;
    }
};

TEST_F(EngineTimerTest, IdleReaderIsSuspendedAndTheNextReadResumesWithSequenceZero)
{
    platform::clock::ManualScope manual;
    platform::clock::set_wall_seconds(1700000000);
    ASSERT_EQ(create(65536, CM_PROMISCUOUS), 0);
    EXPECT_EQ(platform::clock::pending_callouts(), 1u);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(capture(*m0_, outbound_frame(40), DIR_OUTBOUND), RC_QUEUED);
    ASSERT_EQ(read(), static_cast<U32>(NVX_READ_FRAMES));
    void *data = nullptr;
    U32 len = 0;
    ASSERT_EQ(CircularQueueDequeueIntermediate(shared_queue(), &data, &len), 0u);
    ASSERT_EQ(capture(*m0_, inbound_frame(40), DIR_INBOUND), RC_QUEUED);
    platform::console::take();

    // Exactly lTimeOut seconds idle is not yet idle.
    platform::clock::advance(10 * hz);
    EXPECT_EQ(adapter_flags() & (GI_CAPTURING | GI_SUSPENDED), static_cast<U32>(GI_CAPTURING));
    EXPECT_EQ(m0_->down.count() + m0_->up.count(), 0u);

    platform::clock::advance(10 * hz);
    std::string log = platform::console::take();
    EXPECT_NE(log.find("nvx_timeout: capture "), std::string::npos) << log;
    EXPECT_NE(log.find("flush_queue: staged=1 shm=3 final=0\n"), std::string::npos) << log;
    EXPECT_EQ(adapter_flags() & (GI_CAPTURING | GI_SUSPENDED), static_cast<U32>(GI_SUSPENDED));
    EXPECT_NE(NVX_ATOMIC_LOAD(&rb()->ulFlags) & RB_SESSION_TIMEOUT, 0u);
    EXPECT_NE(sip()->ulFlags & SI_TIMED_OUT, 0u);
    EXPECT_EQ(m0_->down.count(), 3u);
    EXPECT_EQ(m0_->up.count(), 1u);
    EXPECT_EQ(sip()->packetCount, 0u);
    EXPECT_EQ(platform::clock::pending_callouts(), 1u) << "still armed while attached";

    // Suspended: frames pass uncaptured.
    EXPECT_EQ(capture(*m0_, inbound_frame(40), DIR_INBOUND), RC_FORWARD);

    // The next read request resumes; the first frame staged afterwards is number 0.
    U32 outcome = 0;
    std::thread reader([&] { outcome = read(); });
    while ((adapter_flags() & GI_CAPTURING) == 0)
        drv_usecwait(200);
    ASSERT_EQ(capture(*m0_, inbound_frame(40), DIR_INBOUND), RC_QUEUED);
    reader.join();
    EXPECT_EQ(outcome, static_cast<U32>(NVX_READ_FRAMES));
    log = platform::console::take();
    EXPECT_NE(log.find("nvx_read: resuming capture after timeout\n"), std::string::npos) << log;
    const auto got = take_all();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0]->ulSequence, 0u);
    EXPECT_EQ(adapter_flags() & (GI_CAPTURING | GI_SUSPENDED), static_cast<U32>(GI_CAPTURING));
    EXPECT_EQ(close_rx(), 0);
    EXPECT_EQ(platform::clock::pending_callouts(), 0u) << "stop cancels the timer";
}

TEST_F(EngineTimerTest, LastTimeZeroDisablesTheIdleCheck)
{
    platform::clock::ManualScope manual;
    platform::clock::set_wall_seconds(1700000000);
    ASSERT_EQ(create(65536, CM_PROMISCUOUS), 0);
    ASSERT_EQ(capture(*m0_, outbound_frame(40), DIR_OUTBOUND), RC_QUEUED);
    NVX_ATOMIC_STORE(&rb()->lLastTime, 0u);
    platform::clock::advance(35 * hz);
    EXPECT_EQ(adapter_flags() & (GI_CAPTURING | GI_SUSPENDED), static_cast<U32>(GI_CAPTURING));
    EXPECT_EQ(m0_->down.count(), 0u);
}

TEST_F(EngineTimerTest, ZeroTimeoutRunsEveryTickAndSuspendsAfterASecond)
{
    platform::clock::ManualScope manual;
    platform::clock::set_wall_seconds(1700000000);
    NVX_ATOMIC_STORE(&GlobalTimeout, 0u);
    ASSERT_EQ(create(65536, CM_PROMISCUOUS), 0);
    ASSERT_EQ(capture(*m0_, outbound_frame(40), DIR_OUTBOUND), RC_QUEUED);
    platform::clock::advance(hz / 2);
    EXPECT_NE(adapter_flags() & GI_CAPTURING, 0u);
    platform::clock::advance(hz);
    EXPECT_EQ(adapter_flags() & (GI_CAPTURING | GI_SUSPENDED), static_cast<U32>(GI_SUSPENDED));
    EXPECT_EQ(m0_->down.count(), 1u);
}

} // namespace
} // namespace engine_test
