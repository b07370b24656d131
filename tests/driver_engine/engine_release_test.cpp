// Releasing held frames: FIFO order on the queue each was taken on, the block verdict in inline
// mode (two resets, frame freed) and nowhere else, frames of closed streams, and the flush of
// a stopping session.
#include "engine_fixture.h"

#include "console_log.h"

#include <cstring>
#include <vector>

namespace engine_test
{
namespace
{

class EngineReleaseTest : public EngineTest
{
};

TEST_F(EngineReleaseTest, FramesGoOnInOrderOnTheQueueTheyWereTakenOn)
{
    ModuleStream &m1 = add_module();
    ASSERT_EQ(create(65536, CM_PROMISCUOUS), 0);
    std::vector<mblk_t *> up0, down0, up1, down1;
    for (int i = 0; i < 6; ++i) {
        mblk_t *a = inbound_frame(40, kAdapterMac, static_cast<unsigned char>(i));
        mblk_t *b = outbound_frame(40, kOtherMac, static_cast<unsigned char>(i));
        mblk_t *c = inbound_frame(40, kAdapterMac, static_cast<unsigned char>(i));
        mblk_t *d = outbound_frame(40, kOtherMac, static_cast<unsigned char>(i));
        up0.push_back(a);
        down0.push_back(b);
        up1.push_back(c);
        down1.push_back(d);
        ASSERT_EQ(capture(*m0_, a, DIR_INBOUND), RC_QUEUED);
        ASSERT_EQ(capture(*m0_, b, DIR_OUTBOUND), RC_QUEUED);
        ASSERT_EQ(capture(m1, c, DIR_INBOUND), RC_QUEUED);
        ASSERT_EQ(capture(m1, d, DIR_OUTBOUND), RC_QUEUED);
    }
    ASSERT_EQ(read(), static_cast<U32>(NVX_READ_FRAMES));
    ASSERT_EQ(take_all().size(), 24u);
    EXPECT_EQ(m0_->up.count() + m0_->down.count() + m1.up.count() + m1.down.count(), 0u)
        << "held until the next read request";
    const int putBefore = totalPut;
    EXPECT_EQ(read_no_wait(), static_cast<U32>(NVX_READ_STOPPED));
    EXPECT_EQ(m0_->up.got, up0);
    EXPECT_EQ(m0_->down.got, down0);
    EXPECT_EQ(m1.up.got, up1);
    EXPECT_EQ(m1.down.got, down1);
    EXPECT_EQ(totalPut - putBefore, 24);
    EXPECT_EQ(sip()->packetCount, 0u);
    EXPECT_EQ(sip()->hasData, 0u);
    EXPECT_EQ(sip()->ulOutstandingPackets, 0);
    EXPECT_EQ(rb()->packetCount, 0u);
    EXPECT_TRUE(CircularQueueIsEmpty(shared_queue()));
}

struct VerdictCase {
    const char *name;
    U32 openMode;
    U32 captureMode;
    bool reset;
};

TEST_F(EngineReleaseTest, BlockedFrameIsResetOnlyInInlineMode)
{
    const VerdictCase cases[] = {
        {"inline open and capture", MODE_INLINE, CM_INLINE, true},
        {"open mode 0", 0, CM_INLINE, false},
        {"open mode 32", 32, CM_INLINE, false},
        {"promiscuous capture", MODE_INLINE, CM_PROMISCUOUS, false},
        {"inline and promiscuous capture", MODE_INLINE, CM_INLINE | CM_PROMISCUOUS, false},
    };
    for (const VerdictCase &c : cases) {
        for (const bool inbound : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (inbound ? " inbound" : " outbound"));
            gip()->ulOpenMode = c.openMode;
            ASSERT_EQ(create(65536, c.captureMode), 0);
            mblk_t *held = tcp_frame(inbound);
            const int dir = inbound ? DIR_INBOUND : DIR_OUTBOUND;
            ASSERT_EQ(capture(*m0_, held, dir), RC_QUEUED);
            ASSERT_EQ(read(), static_cast<U32>(NVX_READ_FRAMES));
            auto got = take_all();
            ASSERT_EQ(got.size(), 1u);
            got[0]->ulStatus |= PB_FLAG_FRAME_BLOCKED;
            got[0]->lTimeSecs = 0; // what the library writes when the frame is freed
            const int freedBefore = totalFreed;
            EXPECT_EQ(read_no_wait(), static_cast<U32>(NVX_READ_STOPPED));
            auto up = m0_->up.take();
            auto down = m0_->down.take();
            if (c.reset) {
                ASSERT_EQ(up.size(), 1u) << "a reset up the local stack";
                ASSERT_EQ(down.size(), 1u) << "and one down to the wire";
                EXPECT_NE(up[0], held);
                EXPECT_NE(down[0], held);
                EXPECT_EQ(msgdsize(up[0]), 40u) << "inbound resets start at the IP header";
                EXPECT_EQ(msgdsize(down[0]), 54u);
                EXPECT_EQ(up[0]->b_rptr[9], 6) << "TCP";
                EXPECT_NE(up[0]->b_rptr[20 + 13] & 0x04, 0) << "RST";
                EXPECT_EQ(totalFreed - freedBefore, 1) << "the held frame is freed";
            } else {
                std::vector<mblk_t *> &passed = inbound ? up : down;
                ASSERT_EQ(passed.size(), 1u);
                EXPECT_EQ(passed[0], held) << "the bit is ignored: passed on";
                EXPECT_EQ((inbound ? down : up).size(), 0u);
                EXPECT_EQ(totalFreed, freedBefore);
            }
            for (mblk_t *mp : up)
                freemsg(mp);
            for (mblk_t *mp : down)
                freemsg(mp);
            EXPECT_EQ(close_rx(), 0);
        }
    }
}

TEST_F(EngineReleaseTest, FramesOfAClosedStreamAreFreed)
{
    ModuleStream &m1 = add_module();
    ASSERT_EQ(create(65536, CM_PROMISCUOUS), 0);
    ASSERT_EQ(capture(m1, inbound_frame(40), DIR_INBOUND), RC_QUEUED);
    ASSERT_EQ(capture(*m0_, inbound_frame(40), DIR_INBOUND), RC_QUEUED);
    ASSERT_EQ(read(), static_cast<U32>(NVX_READ_FRAMES));
    ASSERT_EQ(take_all().size(), 2u);
    // Staged, not yet moved in, when its stream goes.
    ASSERT_EQ(capture(m1, outbound_frame(40), DIR_OUTBOUND), RC_QUEUED);
    close_stream(m1);
    const int freedBefore = totalFreed;
    EXPECT_EQ(read_no_wait(), static_cast<U32>(NVX_READ_STOPPED));
    EXPECT_EQ(m1.up.count() + m1.down.count(), 0u);
    EXPECT_EQ(m0_->up.count(), 1u);
    EXPECT_EQ(totalFreed - freedBefore, 2);
    EXPECT_EQ(sip()->packetCount, 0u);
}

// More staged frames of a closed stream than one pass gives back at a time: all are freed and
// counted lost, and the other stream's frames around them are moved in, in order.
TEST_F(EngineReleaseTest, ManyStagedFramesOfAClosedStreamAreFreedInPasses)
{
    ModuleStream &m1 = add_module();
    ASSERT_EQ(create(1 << 20, CM_PROMISCUOUS), 0);
    constexpr int kClosed = 100, kEvery = 10;
    ASSERT_GE(sip()->ulCaptureSize, static_cast<U32>(kClosed + kClosed / kEvery));
    std::vector<U32> kept; // sequence numbers of m0's frames
    U32 sequence = 0;
    for (int i = 0; i < kClosed; i++, sequence++) {
        if (i % kEvery == 0) {
            ASSERT_EQ(capture(*m0_, inbound_frame(20), DIR_INBOUND), RC_QUEUED);
            kept.push_back(sequence++);
        }
        ASSERT_EQ(capture(m1, inbound_frame(20), DIR_INBOUND), RC_QUEUED);
    }
    close_stream(m1);
    const int freedBefore = totalFreed;
    EXPECT_EQ(read(), static_cast<U32>(NVX_READ_FRAMES));
    std::vector<U32> got;
    for (const PACKET_BUFFER *pb : take_all())
        got.push_back(pb->ulSequence);
    EXPECT_EQ(got, kept);
    EXPECT_EQ(m1.up.count() + m1.down.count(), 0u);
    EXPECT_EQ(totalFreed - freedBefore, kClosed);
    EXPECT_EQ(sip()->ulPacketsLost, static_cast<U32>(kClosed));
}

// A stream that unbinds (DL_UNBIND_REQ on its way down) stays open until its close: frames it
// had taken are passed on, whether they were read, still unread in the region or staged, and
// whether a read request or the stop of the session gives them back.
TEST_F(EngineReleaseTest, FramesOfAnUnboundStreamThatIsStillOpenGoOn)
{
    for (const bool byStop : {false, true}) {
        SCOPED_TRACE(byStop ? "given back by the stop" : "released by a read request");
        ModuleStream &m1 = add_module();
        ASSERT_EQ(create(65536, CM_PROMISCUOUS), 0);
        mblk_t *readIn = inbound_frame(40, kAdapterMac, 1);
        mblk_t *readOut = outbound_frame(40, kOtherMac, 2);
        ASSERT_EQ(capture(m1, readIn, DIR_INBOUND), RC_QUEUED);
        ASSERT_EQ(capture(m1, readOut, DIR_OUTBOUND), RC_QUEUED);
        ASSERT_EQ(read(), static_cast<U32>(NVX_READ_FRAMES));
        ASSERT_EQ(take_all().size(), 2u);
        mblk_t *staged = inbound_frame(40, kAdapterMac, 3);
        ASSERT_EQ(capture(m1, staged, DIR_INBOUND), RC_QUEUED);
        unbind(m1);
        EXPECT_EQ(capture(m1, inbound_frame(40), DIR_INBOUND), RC_FORWARD) << "not captured";
        EXPECT_EQ(m1.up.count(), 1u);
        m1.up.free_all();
        const int freedBefore = totalFreed;
        if (byStop)
            EXPECT_EQ(close_rx(), 0);
        else // releases the two read ones, moves the staged one in for the reader
            EXPECT_EQ(read_no_wait(), static_cast<U32>(NVX_READ_FRAMES));
        EXPECT_EQ(totalFreed, freedBefore) << "nothing of an open stream is freed";
        std::vector<mblk_t *> up = m1.up.take(), down = m1.down.take();
        ASSERT_EQ(down, std::vector<mblk_t *>{readOut});
        ASSERT_GE(up.size(), 1u);
        EXPECT_EQ(up[0], readIn);
        if (byStop) {
            EXPECT_EQ(up.size(), 2u);
            EXPECT_EQ(up.back(), staged);
        } else {
            // The staged frame is in the region now, not yet read: the stop gives it back.
            EXPECT_EQ(up.size(), 1u);
            EXPECT_EQ(close_rx(), 0);
            EXPECT_EQ(totalFreed, freedBefore);
            std::vector<mblk_t *> rest = m1.up.take();
            EXPECT_EQ(rest, std::vector<mblk_t *>{staged});
            for (mblk_t *mp : rest)
                freemsg(mp);
        }
        for (mblk_t *mp : up)
            freemsg(mp);
        for (mblk_t *mp : down)
            freemsg(mp);
        close_stream(m1);
    }
}

TEST_F(EngineReleaseTest, StopGivesBackStagedUnreadAndReadFrames)
{
    gip()->ulOpenMode = MODE_INLINE;
    ASSERT_EQ(create(65536, CM_INLINE), 0);
    std::vector<mblk_t *> held;
    for (int i = 0; i < 5; ++i) {
        held.push_back(outbound_frame(40, kOtherMac, static_cast<unsigned char>(i)));
        ASSERT_EQ(capture(*m0_, held.back(), DIR_OUTBOUND), RC_QUEUED);
    }
    ASSERT_EQ(read(), static_cast<U32>(NVX_READ_FRAMES));
    // The reader reads two of the five and blocks the second.
    void *data = nullptr;
    U32 len = 0;
    ASSERT_EQ(CircularQueueDequeueIntermediate(shared_queue(), &data, &len), 0u);
    ASSERT_EQ(CircularQueueDequeueIntermediate(shared_queue(), &data, &len), 0u);
    reinterpret_cast<PACKET_BUFFER *>(static_cast<BYTE *>(data) + sizeof(PacketInfo))->ulStatus |=
        PB_FLAG_FRAME_BLOCKED;
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(capture(*m0_, inbound_frame(40), DIR_INBOUND), RC_QUEUED);
    platform::console::take();
    const int freedBefore = totalFreed;
    EXPECT_EQ(close_rx(), 0);
    const std::string log = platform::console::take();
    EXPECT_NE(log.find("flush_queue: staged=4 shm=3 final=2\n"), std::string::npos) << log;
    EXPECT_NE(log.find(", captured: 9, lost: 0\n"), std::string::npos) << log;
    auto down = m0_->down.take();
    ASSERT_EQ(down.size(), 4u) << "the blocked one (not TCP: no reset) is freed";
    EXPECT_EQ(down[0], held[0]);
    EXPECT_EQ(down[1], held[2]);
    EXPECT_EQ(down[3], held[4]);
    EXPECT_EQ(m0_->up.count(), 4u);
    EXPECT_EQ(totalFreed - freedBefore, 1);
    for (mblk_t *mp : down)
        freemsg(mp);
}

} // namespace
} // namespace engine_test
