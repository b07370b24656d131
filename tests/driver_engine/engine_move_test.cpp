// Moving staged frames into the region: the frame record layouts, chained and protocol-led
// messages, frames that cannot be moved, and the outcomes of the read request.
#include "engine_fixture.h"

#include "console_log.h"
#include "debug.h"
#include "nvx_testing.h"

#include <sys/ddi.h>

#include <cstring>
#include <string>
#include <thread>

namespace engine_test
{
namespace
{

using platform::testing::block_count;
using platform::testing::message_bytes;

constexpr U32 kPacketInfoSize = sizeof(void *) == 8 ? 72 : 48;

class EngineMoveTest : public EngineTest
{
};

const PacketInfo *info_of(const PACKET_BUFFER *pb)
{
    return reinterpret_cast<const PacketInfo *>(reinterpret_cast<const BYTE *>(pb) -
                                                kPacketInfoSize);
}

std::string frame_bytes(const PACKET_BUFFER *pb)
{
    return std::string(reinterpret_cast<const char *>(pb) + pb->lDataOffset, pb->ulCapturedBytes);
}

// The link header and data of a frame as the reader must see it.
std::string wire_bytes(const mblk_t *mp, bool inbound)
{
    const unsigned char *start = inbound ? mp->b_rptr - 14 : mp->b_rptr;
    std::string out(reinterpret_cast<const char *>(start), static_cast<size_t>(mp->b_wptr - start));
    for (const mblk_t *b = mp->b_cont; b != nullptr; b = b->b_cont)
        if (DB_TYPE(b) == M_DATA)
            out += message_bytes(b).substr(0, static_cast<size_t>(b->b_wptr - b->b_rptr));
    return out;
}

TEST_F(EngineMoveTest, InboundAndOutboundRecordLayouts)
{
    ASSERT_EQ(create(65536, CM_PROMISCUOUS), 0);
    mblk_t *in = inbound_frame(60, kAdapterMac, 1);
    mblk_t *out = outbound_frame(60, kOtherMac, 2);
    const std::string inWire = wire_bytes(in, true), outWire = wire_bytes(out, false);
    ASSERT_EQ(capture(*m0_, in, DIR_INBOUND), RC_QUEUED);
    ASSERT_EQ(capture(*m0_, out, DIR_OUTBOUND), RC_QUEUED);
    ASSERT_EQ(read(), static_cast<U32>(NVX_READ_FRAMES));
    EXPECT_EQ(rb()->packetCount, 2u);
    const auto got = take_all();
    ASSERT_EQ(got.size(), 2u);

    const PACKET_BUFFER *pb = got[0];
    EXPECT_EQ(pb->ulStatus, 0x20000000u);
    EXPECT_EQ(pb->ulCapturedBytes, 74u);
    EXPECT_EQ(pb->ulTrueBytes, 74u);
    EXPECT_EQ(pb->lDataOffset, 32);
    // 72 + 32 + 74 = 178 -> 184 (48 + 32 + 74 = 154 -> 156 in the 32-bit kernel).
    EXPECT_EQ(pb->ulPacketBytes, sizeof(void *) == 8 ? 152u : 124u);
    EXPECT_EQ(pb->ulSequence, 0u);
    EXPECT_EQ(frame_bytes(pb), inWire);
    const PacketInfo *pi = info_of(pb);
    EXPECT_EQ(pi->ulLength, kPacketInfoSize);
    EXPECT_EQ(pi->magic, STAGE_MAGIC);
    EXPECT_EQ(pi->hlen, 14);
    EXPECT_EQ(pi->datalen, 74);
    EXPECT_EQ(pi->ulFlags, static_cast<U32>(PI_INBOUND));

    pb = got[1];
    EXPECT_EQ(pb->ulStatus, 0x04000001u);
    EXPECT_EQ(pb->ulCapturedBytes, 74u);
    EXPECT_EQ(pb->ulSequence, 1u);
    EXPECT_EQ(frame_bytes(pb), outWire);
    EXPECT_EQ(info_of(pb)->hlen, 0);
    EXPECT_EQ(info_of(pb)->ulFlags, static_cast<U32>(PI_OUTBOUND));
    EXPECT_EQ(sip()->ulBytesCaptured, 148);
}

TEST_F(EngineMoveTest, ChainedAndProtocolLedMessagesAreCopiedBlockByBlock)
{
    ASSERT_EQ(create(65536, CM_PROMISCUOUS), 0);
    // Outbound: the link header and data in three blocks.
    mblk_t *chained = outbound_frame(10, kOtherMac, 3);
    linkb(chained, platform::testing::make_message("second block"));
    linkb(chained, platform::testing::make_message("third"));
    const std::string chainedWire = message_bytes(chained);
    // Inbound DL_UNITDATA_IND: a protocol block, then the frame with its header in front.
    mblk_t *ind = platform::testing::make_message(std::string(24, '\x08'), M_PROTO);
    mblk_t *data = inbound_frame(30, kAdapterMac, 4);
    linkb(data, platform::testing::make_message("tail"));
    linkb(ind, data);
    const std::string indWire = wire_bytes(data, true);

    ASSERT_EQ(capture(*m0_, chained, DIR_OUTBOUND), RC_QUEUED);
    ASSERT_EQ(capture(*m0_, ind, DIR_INBOUND), RC_QUEUED);
    ASSERT_EQ(read(), static_cast<U32>(NVX_READ_FRAMES));
    const auto got = take_all();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(frame_bytes(got[0]), chainedWire);
    EXPECT_EQ(got[0]->ulCapturedBytes, chainedWire.size());
    EXPECT_EQ(frame_bytes(got[1]), indWire);
    EXPECT_EQ(got[1]->ulCapturedBytes, 14u + 30 + 4);
    EXPECT_EQ(info_of(got[1])->ulFlags, static_cast<U32>(PI_INBOUND | PI_PROTO_BLOCK));

    // Released as they arrived, control block included.
    EXPECT_EQ(read_no_wait(), static_cast<U32>(NVX_READ_STOPPED));
    auto down = m0_->down.take();
    auto up = m0_->up.take();
    ASSERT_EQ(down.size(), 1u);
    ASSERT_EQ(up.size(), 1u);
    EXPECT_EQ(down[0], chained);
    EXPECT_EQ(up[0], ind);
    EXPECT_EQ(block_count(up[0]), 3);
    EXPECT_EQ(DB_TYPE(up[0]), M_PROTO);
    freemsg(down[0]);
    freemsg(up[0]);
}

TEST_F(EngineMoveTest, FramesThatCanNeverFitArePassedOnAndCountedLost)
{
    ASSERT_EQ(create(65536, CM_PROMISCUOUS), 0);
    mblk_t *big = outbound_frame(1600); // 1614 bytes > maxpktsize 1564
    ASSERT_EQ(capture(*m0_, big, DIR_OUTBOUND), RC_QUEUED);
    // A protocol block whose data block went missing after staging (the engine re-checks).
    mblk_t *ind = platform::testing::make_message(std::string(24, '\x08'), M_PROTO);
    linkb(ind, inbound_frame(20));
    ASSERT_EQ(capture(*m0_, ind, DIR_INBOUND), RC_QUEUED);
    mblk_t *lost = unlinkb(ind);
    ASSERT_EQ(capture(*m0_, outbound_frame(20, kOtherMac, 9), DIR_OUTBOUND), RC_QUEUED);
    EXPECT_EQ(read(), static_cast<U32>(NVX_READ_FRAMES));
    const auto got = take_all();
    ASSERT_EQ(got.size(), 1u) << "only the frame that fits is in the region";
    EXPECT_EQ(got[0]->ulSequence, 2u);
    EXPECT_EQ(m0_->down.count(), 1u) << "the oversized frame went on at once";
    EXPECT_EQ(m0_->up.count(), 1u) << "the chainless one too";
    EXPECT_EQ(sip()->ulPacketsLost, 2u);
    EXPECT_EQ(sip()->packetCount, 1u);
    freemsg(lost);
}

TEST_F(EngineMoveTest, FramesThatDoNotFitNowStayStagedInOrder)
{
    ASSERT_EQ(create(65536, CM_PROMISCUOUS), 0);
    const U32 capacity = sip()->ulCaptureSize;
    int sequence = 0;
    U32 staged = 0;
    // Fill the region over two read requests without taking anything, then stage more.
    for (int round = 0; round < 4; ++round) {
        for (int i = 0; i < 12; ++i, ++staged)
            ASSERT_EQ(capture(*m0_, outbound_frame(1400), DIR_OUTBOUND), RC_QUEUED);
        EXPECT_EQ(read(), static_cast<U32>(NVX_READ_FRAMES));
    }
    const auto first = take_all();
    ASSERT_LT(first.size(), staged) << "the region is full";
    ASSERT_LE(first.size(), capacity);
    for (const PACKET_BUFFER *pb : first)
        EXPECT_EQ(pb->ulSequence, static_cast<U32>(sequence++));
    EXPECT_EQ(read(), static_cast<U32>(NVX_READ_FRAMES));
    const auto second = take_all();
    EXPECT_EQ(first.size() + second.size(), staged);
    for (const PACKET_BUFFER *pb : second)
        EXPECT_EQ(pb->ulSequence, static_cast<U32>(sequence++));
    EXPECT_EQ(m0_->down.count(), first.size()) << "the first batch was released in the read";
    EXPECT_EQ(sip()->ulPacketsLost, 0u);
}

TEST_F(EngineMoveTest, ReadOutcomes)
{
    ASSERT_EQ(create(65536, CM_PROMISCUOUS), 0);
    EXPECT_EQ(read(3), static_cast<U32>(NVX_READ_INVALID)) << "control part shorter than 4";
    EXPECT_EQ(sip()->ulFlags & SI_READING, 0u);

    ASSERT_EQ(capture(*m0_, inbound_frame(46), DIR_INBOUND), RC_QUEUED);
    EXPECT_EQ(read(), static_cast<U32>(NVX_READ_FRAMES)) << "moved in";
    EXPECT_EQ(read(), static_cast<U32>(NVX_READ_FRAMES)) << "still unread: at once";
    take_all();
    EXPECT_EQ(read(), static_cast<U32>(NVX_READ_TIMEOUT)) << "a one-second wait, nothing came";
    EXPECT_EQ(m0_->up.count(), 1u);

    {
        platform::testing::AsProcess reader(4711);
        reader.context().raise_signal();
        EXPECT_EQ(read(), static_cast<U32>(NVX_READ_STOPPED)) << "signalled";
    }

    // A frame staged while the reader waits wakes it with 11.
    std::thread stager([&] {
        drv_usecwait(20000);
        (void)capture(*m0_, inbound_frame(46), DIR_INBOUND);
    });
    EXPECT_EQ(read(), static_cast<U32>(NVX_READ_FRAMES));
    stager.join();
    EXPECT_EQ(take_all().size(), 1u);
}

TEST_F(EngineMoveTest, StoppingTheSessionEndsAWaitingReadAtOnce)
{
    ASSERT_EQ(create(65536, CM_PROMISCUOUS), 0);
    _debug(1);
    _dsetlevel(4, 2);
    platform::console::take();
    std::thread reader([&] {
        mblk_t *mp = allocb(sizeof(ReadData), BPRI_HI);
        mp->b_datap->db_type = M_PCPROTO;
        mp->b_wptr += sizeof(ReadData);
        nvx_read(device_wq(), mp);
        freemsg(mp);
    });
    // Wait until the reader sleeps, then stop.
    auto sleeping = [&] {
        mutex_enter(&sip()->blockingMutex);
        const U32 blocked = sip()->isBlocked;
        mutex_exit(&sip()->blockingMutex);
        return blocked != 0;
    };
    for (int i = 0; i < 2000 && !sleeping(); ++i)
        drv_usecwait(500);
    EXPECT_EQ(close_rx(), 0);
    reader.join();
    _debug(0);
    const std::string log = platform::console::take();
    EXPECT_NE(log.find("nvx_read: capture closed, bip "), std::string::npos) << log;
    EXPECT_EQ(log.find("nvx_read: timeout"), std::string::npos) << "not after the deadline";
}

TEST_F(EngineMoveTest, ReadWithoutSessionWritesNothing)
{
    platform::console::take();
    mblk_t *mp = allocb(sizeof(ReadData), BPRI_HI);
    mp->b_datap->db_type = M_PCPROTO;
    mp->b_wptr += sizeof(ReadData);
    nvx_read(device_wq(), mp);
    freemsg(mp);
    EXPECT_NE(platform::console::take().find("nvx_read: no capture session, bip "),
              std::string::npos);
}

} // namespace
} // namespace engine_test
