// Staging: the capture modes, zero-length frames, staging overflow and flow control, and the
// lost count of the closing line.
#include "engine_fixture.h"

#include "console_log.h"

#include <cstring>

namespace engine_test
{
namespace
{

class EngineCaptureTest : public EngineTest
{
};

U32 staged(SessionInfo *s)
{
    mutex_enter(&s->captureMutex);
    const U32 n = CircularQueueIntermediateLength(s->pStagingQueue);
    mutex_exit(&s->captureMutex);
    return n;
}

struct ModeCase {
    const char *name;
    U32 mode;
    Mac dst;
    int dir;
    int rc;
};

TEST_F(EngineCaptureTest, CaptureModesSelectFrames)
{
    const ModeCase cases[] = {
        {"directed|broadcast: multicast passes", CM_DIRECTED | CM_BROADCAST, kMulticast,
         DIR_INBOUND, RC_FORWARD},
        {"directed|broadcast: broadcast staged", CM_DIRECTED | CM_BROADCAST, kBroadcast,
         DIR_INBOUND, RC_QUEUED},
        {"directed|broadcast: ours staged", CM_DIRECTED | CM_BROADCAST, kAdapterMac, DIR_INBOUND,
         RC_QUEUED},
        {"directed|broadcast: another host passes", CM_DIRECTED | CM_BROADCAST, kOtherMac,
         DIR_INBOUND, RC_FORWARD},
        {"directed: broadcast passes", CM_DIRECTED, kBroadcast, DIR_INBOUND, RC_FORWARD},
        {"directed: ours outbound staged", CM_DIRECTED, kAdapterMac, DIR_OUTBOUND, RC_QUEUED},
        {"broadcast: ours passes", CM_BROADCAST, kAdapterMac, DIR_INBOUND, RC_FORWARD},
        {"promiscuous: anything staged", CM_PROMISCUOUS, kOtherMac, DIR_INBOUND, RC_QUEUED},
        {"inline: anything staged", CM_INLINE, kMulticast, DIR_OUTBOUND, RC_QUEUED},
        {"mode 0: nothing staged", 0, kAdapterMac, DIR_INBOUND, RC_FORWARD},
    };
    for (const ModeCase &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(create(65536, c.mode), 0);
        mblk_t *mp = c.dir == DIR_INBOUND ? inbound_frame(46, c.dst) : outbound_frame(46, c.dst);
        EXPECT_EQ(capture(*m0_, mp, c.dir), c.rc);
        EXPECT_EQ(staged(sip()), c.rc == RC_QUEUED ? 1u : 0u);
        EXPECT_EQ(sip()->ulPacketsCaptured, c.rc == RC_QUEUED ? 1u : 0u);
        EXPECT_EQ(close_rx(), 0);
        Sink &passed = c.dir == DIR_INBOUND ? m0_->up : m0_->down;
        EXPECT_EQ(passed.count(), 1u) << "staged or not, the frame went on exactly once";
        passed.free_all();
    }
}

TEST_F(EngineCaptureTest, AFrameMatchingBroadcastAndDirectedIsStagedOnce)
{
    std::memcpy(ppaList[0].info.aucMacAddress, kBroadcast.data(), 6);
    ASSERT_EQ(create(65536, CM_DIRECTED | CM_BROADCAST), 0);
    EXPECT_EQ(capture(*m0_, inbound_frame(46, kBroadcast), DIR_INBOUND), RC_QUEUED);
    EXPECT_EQ(staged(sip()), 1u);
    EXPECT_EQ(sip()->packetCount, 1u);
}

TEST_F(EngineCaptureTest, ZeroLengthFrameIsForwardedAndNotCounted)
{
    ASSERT_EQ(create(65536, CM_PROMISCUOUS), 0);
    EXPECT_EQ(capture(*m0_, inbound_frame(0), DIR_INBOUND), RC_FORWARD);
    EXPECT_EQ(staged(sip()), 0u);
    EXPECT_EQ(sip()->ulPacketsCaptured, 0u);
    EXPECT_EQ(sip()->ulPacketsLost, 0u);
    EXPECT_EQ(m0_->up.count(), 1u);
}

TEST_F(EngineCaptureTest, OverflowTurnsOnFlowControlAndEveryUncapturedFrameIsLost)
{
    // 8192 bytes: four records of the largest frame, so a staging queue of two records.
    ASSERT_EQ(create(8192, CM_PROMISCUOUS), 0);
    ASSERT_EQ(sip()->ulCaptureSize, 4u);
    platform::console::take();
    EXPECT_EQ(capture(*m0_, inbound_frame(46), DIR_INBOUND), RC_QUEUED);
    EXPECT_EQ(capture(*m0_, inbound_frame(46), DIR_INBOUND), RC_QUEUED);
    EXPECT_EQ(capture(*m0_, inbound_frame(46), DIR_INBOUND), RC_BUFFER_FULL);
    std::string log = platform::console::take();
    EXPECT_NE(log.find("queue_packet: capture buffer is full for q=0x"), std::string::npos) << log;
    EXPECT_NE(log.find("Turning on flow control, rq=<"), std::string::npos) << log;
    EXPECT_EQ(sip()->bFlowControlled, 1u);
    EXPECT_NE(sip()->ulFlags & SI_BUFFER_FULL, 0u);

    // Flow controlled: forwarded without reaching the staging queue, and counted.
    EXPECT_EQ(capture(*m0_, outbound_frame(46), DIR_OUTBOUND), RC_BUFFER_FULL);
    EXPECT_EQ(platform::console::take(), "");
    EXPECT_EQ(sip()->ulPacketsLost, 2u);

    // A read request that moves frames keeps flow control on; one that moves none ends it.
    EXPECT_EQ(read(), static_cast<U32>(NVX_READ_FRAMES));
    EXPECT_EQ(take_all().size(), 2u);
    EXPECT_EQ(sip()->bFlowControlled, 1u);
    EXPECT_EQ(read(), static_cast<U32>(NVX_READ_TIMEOUT));
    EXPECT_EQ(sip()->bFlowControlled, 0u);
    log = platform::console::take();
    EXPECT_NE(log.find("nvx_read: resuming capture for queue 0x"), std::string::npos) << log;

    // The next overflow prints only the flow-control line.
    EXPECT_EQ(capture(*m0_, inbound_frame(46), DIR_INBOUND), RC_QUEUED);
    EXPECT_EQ(capture(*m0_, inbound_frame(46), DIR_INBOUND), RC_QUEUED);
    EXPECT_EQ(capture(*m0_, inbound_frame(46), DIR_INBOUND), RC_BUFFER_FULL);
    log = platform::console::take();
    EXPECT_EQ(log.find("capture buffer is full"), std::string::npos) << log;
    EXPECT_NE(log.find("Turning on flow control"), std::string::npos) << log;

    // Forwarded uncaptured: two when full, one while flow controlled; four staged.
    const size_t passedUncaptured = m0_->up.count() + m0_->down.count() - 2;
    EXPECT_EQ(passedUncaptured, 3u);
    EXPECT_EQ(close_rx(), 0);
    log = platform::console::take();
    EXPECT_NE(log.find(", captured: 4, lost: 3\n"), std::string::npos) << log;
}

} // namespace
} // namespace engine_test
