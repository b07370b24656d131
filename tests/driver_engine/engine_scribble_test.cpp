// A reader that scribbles random bytes over its region during a capture: the driver must not
// crash or touch memory outside the region, and every held message must still be passed on or
// freed exactly once (the leak check and the counts below prove it; the sanitizer build proves
// the rest).
#include "engine_fixture.h"

#include "console_log.h"

#include <cstring>
#include <random>

namespace engine_test
{
namespace
{

class EngineScribbleTest : public EngineTest
{
  protected:
    // The reader's dequeues, checking every offset before using it (the library's business;
    // here it only keeps the test itself from reading outside the region).
    size_t careful_take(std::mt19937 &rng, unsigned max)
    {
        const U32 queueLength = sip()->RcvBufferSize - 384;
        size_t n = 0;
        for (unsigned i = 0; i < max; ++i) {
            void *data = nullptr;
            U32 len = 0;
            QueueDescriptor d;
            std::memcpy(&d, shared_queue(), sizeof(d));
            if (d.ulIntermediateHead == 0 || d.ulIntermediateHead > queueLength - 8)
                break;
            if (CircularQueueDequeueIntermediate(shared_queue(), &data, &len) != 0)
                break;
            BYTE *blob = static_cast<BYTE *>(data);
            BYTE *base = static_cast<BYTE *>(shared_queue());
            if (blob < base || blob + len > base + queueLength || len < 4)
                break;
            U32 infoLength;
            std::memcpy(&infoLength, blob, 4);
            if (infoLength > len - sizeof(PACKET_BUFFER))
                break;
            auto *pb = reinterpret_cast<PACKET_BUFFER *>(blob + infoLength);
            if (rng() % 2)
                pb->ulStatus |= PB_FLAG_FRAME_BLOCKED;
            pb->lTimeSecs = 0;
            ++n;
        }
        return n;
    }

    void scribble(std::mt19937 &rng)
    {
        BYTE *region = reinterpret_cast<BYTE *>(rb());
        const U32 size = sip()->RcvBufferSize;
        const unsigned writes = 1 + rng() % 16;
        for (unsigned i = 0; i < writes; ++i) {
            U32 off;
            switch (rng() % 4) {
            case 0:
                off = rng() % 384;
                break; // the header
            case 1:
                off = 384 + rng() % 48;
                break; // the queue descriptor
            case 2:
                off = 384 + 48 + rng() % (8 * 64);
                break; // the entries
            default:
                off = rng() % size;
                break; // anywhere, records included
            }
            const unsigned width = 1 + rng() % 4;
            for (unsigned b = 0; b < width && off + b < size; ++b)
                region[off + b] = static_cast<BYTE>(rng());
        }
    }
};

TEST_F(EngineScribbleTest, AScribblingReaderLosesOnlyItsOwnCapture)
{
    ASSERT_EQ(create(65536, CM_PROMISCUOUS), 0);
    std::mt19937 rng(20261210);
    size_t made = 0;
    const int freedBefore = totalFreed;
    for (int round = 0; round < 400; ++round) {
        const unsigned frames = rng() % 6;
        for (unsigned i = 0; i < frames; ++i, ++made) {
            const size_t payload = rng() % 1600; // some longer than the adapter allows
            if (rng() % 2)
                (void)capture(*m0_, inbound_frame(payload), DIR_INBOUND);
            else
                (void)capture(*m0_, outbound_frame(payload), DIR_OUTBOUND);
        }
        (void)read_no_wait();
        if (rng() % 3 == 0)
            scribble(rng); // then no dequeue until the next read request has checked
        else
            (void)careful_take(rng, rng() % 8);
    }
    platform::console::take();
    EXPECT_EQ(close_rx(), 0);
    const size_t passed = m0_->up.count() + m0_->down.count();
    EXPECT_EQ(passed + static_cast<size_t>(totalFreed - freedBefore), made);
    EXPECT_EQ(totalFreed, freedBefore) << "promiscuous mode: nothing is dropped";
}

TEST_F(EngineScribbleTest, ACorruptedDescriptorIsReportedAndTheFramesGoOn)
{
    ASSERT_EQ(create(65536, CM_PROMISCUOUS), 0);
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(capture(*m0_, outbound_frame(100), DIR_OUTBOUND), RC_QUEUED);
    ASSERT_EQ(read(), static_cast<U32>(NVX_READ_FRAMES));
    auto *d = static_cast<QueueDescriptor *>(shared_queue());
    d->ulQueueTail = 0x7FFFFFF0; // would send an enqueue far outside the region
    platform::console::take();
    ASSERT_EQ(capture(*m0_, outbound_frame(100), DIR_OUTBOUND), RC_QUEUED);
    EXPECT_EQ(read(), static_cast<U32>(NVX_READ_FRAMES));
    const std::string log = platform::console::take();
    EXPECT_NE(log.find("check_packet_free: shared packet queue of session "), std::string::npos)
        << log;
    EXPECT_NE(log.find("is corrupted; passing on 4 held frames"), std::string::npos) << log;
    EXPECT_EQ(m0_->down.count(), 4u);
    const auto got = take_all();
    ASSERT_EQ(got.size(), 1u) << "the queue was re-initialised and the new frame moved in";
    EXPECT_EQ(got[0]->ulSequence, 4u);
    EXPECT_EQ(rb()->packetCount, 1u);
    EXPECT_EQ(sip()->packetCount, 1u);
}

TEST_F(EngineScribbleTest, ADriverHeaderMarkedDeletedIsTreatedAsCorruption)
{
    ASSERT_EQ(create(65536, CM_PROMISCUOUS), 0);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(capture(*m0_, inbound_frame(100), DIR_INBOUND), RC_QUEUED);
    ASSERT_EQ(read(), static_cast<U32>(NVX_READ_FRAMES));
    auto got = take_all();
    ASSERT_EQ(got.size(), 3u);
    auto *pi =
        reinterpret_cast<PacketInfo *>(reinterpret_cast<BYTE *>(got[1]) - sizeof(PacketInfo));
    pi->deleted = 1;
    pi->pktMblk = reinterpret_cast<mblk_t *>(0x10); // never used: the driver keeps its own
    platform::console::take();
    EXPECT_EQ(read_no_wait(), static_cast<U32>(NVX_READ_STOPPED));
    const std::string log = platform::console::take();
    EXPECT_NE(log.find("dequeue_packet: got an already deleted packet from final queue: 1\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(m0_->up.count(), 3u) << "all three passed on, each once";
    EXPECT_TRUE(CircularQueueIsEmpty(shared_queue()));
}

} // namespace
} // namespace engine_test
