// Trace and dump output of the circular queue: the exact text of every message, which operation
// prints it and when, level filtering (queue messages are level 64; dumps only need the switch),
// and the dump operations' ranges and callbacks.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "debug.h"
#include "queue_test_support.h"

namespace
{

using queuetest::EnqueueBytes;
using queuetest::QueueBuffer;
using queuetest::ReadOne;
using queuetest::ReleaseOne;

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char *fmt, ...)
{
    char text[1024];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

// Points the trace stream at a memory stream, tracing on with the queue's level 64 selected by
// mask and no header; restores the facility's initial state afterwards.
class QueueTrace : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        stream_ = open_memstream(&text_, &size_);
        ASSERT_NE(stream_, nullptr);
        dbgfp = stream_;
        _dsetheader("", 0);
        _dsetlevel(64, 2);
        _debug(1);
    }
    void TearDown() override
    {
        _debug(0);
        _dsetlevel(0, 1);
        dbgfp = nullptr;
        fclose(stream_);
        free(text_);
    }
    // Everything printed since the last call.
    std::string take()
    {
        fflush(stream_);
        std::string out(text_ + consumed_, size_ - consumed_);
        consumed_ = size_;
        return out;
    }
    unsigned addr(QueueBuffer &q) const
    {
        return static_cast<unsigned>(reinterpret_cast<uintptr_t>(q.get()));
    }

  private:
    FILE *stream_ = nullptr;
    char *text_ = nullptr;
    size_t size_ = 0;
    size_t consumed_ = 0;
};

std::string adding(U32 n, unsigned a)
{
    return format("CircularQueueEnqueue:  Adding data blob of length %u to buffer 0x%x.\n", n, a);
}
std::string highest(U32 entry)
{
    return format("CircularQueueEnqueue:  Highest queue entry offset is %u.\n", entry);
}
std::string lowestFirst(U32 blob)
{
    return format("CircularQueueEnqueue:  Lowest data blob offset is %u.\n", blob);
}
std::string lowest(U32 blob)
{
    return format("CircularQueueEnqueue:  Lowest blob offset is %u.\n", blob);
}
std::string readMsg(U32 blob, U32 n, unsigned a)
{
    return format("CircularQueueDequeueIntermediate:  dequeued data at offset %u, size %u from "
                  "buffer 0x%x.\n",
                  blob, n, a);
}
std::string releaseMsg(U32 blob, U32 n, unsigned a)
{
    return format(
        "CircularQueueDequeueFinal:  dequeued data at offset %u, size %u from buffer 0x%x.\n", blob,
        n, a);
}
std::string finalEmpty(unsigned a)
{
    return format(
        "AdvanceFinalHead:  Released last entry; final queue for buffer 0x%x is now empty.\n", a);
}
std::string queueEmpty(unsigned a)
{
    return format("AdvanceFinalHead:  released last entry; queue for buffer 0x%x is now empty.\n",
                  a);
}
std::string intermediateEmpty(unsigned a)
{
    return format("AdvanceIntermediateHead:  Last blob dequeued; the intermediate queue for buffer "
                  "0x%x is now empty.\n",
                  a);
}
const char *const kQuickTest = "CircularQueueEnqueue:  Insufficient space for new data.\n";
const char *const kDataFailure =
    "CircularQueueEnqueue:  Failure in data allocation; insufficient space for new data blob.\n";
const char *const kEntryFailure =
    "CircularQueueEnqueue:  Failure in queue entry allocation; insufficient space for new entry.\n";

TEST_F(QueueTrace, WorkedExampleTracesEveryStep)
{
    QueueBuffer q(448);
    const unsigned a = addr(q);
    ASSERT_EQ(InitializeCircularQueue(q.get(), 448), PACKET_SUCCESS);
    EXPECT_EQ(take(), format("InitializeCircularQueue:  Initialized circular queue 0x%x of size "
                             "448; descriptor size = 48; queue entry size = 8.\n",
                             a));

    ASSERT_EQ(EnqueueBytes(q, 100), 348u);
    EXPECT_EQ(take(), adding(100, a) + highest(48) + lowestFirst(348));
    ASSERT_EQ(EnqueueBytes(q, 100), 248u);
    EXPECT_EQ(take(), adding(100, a) + highest(56) + lowest(248));
    ASSERT_EQ(EnqueueBytes(q, 100), 148u);
    EXPECT_EQ(take(), adding(100, a) + highest(64) + lowest(148));

    EnqueueBytes(q, 100);
    EXPECT_EQ(take(), adding(100, a) + kQuickTest);

    ASSERT_EQ(ReadOne(q), PACKET_SUCCESS);
    EXPECT_EQ(take(), readMsg(348, 100, a));
    ASSERT_EQ(ReleaseOne(q), PACKET_SUCCESS);
    EXPECT_EQ(take(), releaseMsg(348, 100, a) + finalEmpty(a));

    ASSERT_EQ(EnqueueBytes(q, 100), 348u);
    EXPECT_EQ(take(),
              adding(100, a) +
                  format("GetNextFreeDataPtr:  Data pool for buffer 0x%x has wrapped.\n", a) +
                  highest(72));

    EnqueueBytes(q, 50);
    EXPECT_EQ(
        take(),
        adding(50, a) +
            format("GetNextFreeDataPtr:  Insufficient space in buffer 0x%x for new data.\n", a) +
            kDataFailure);
    U32 largest = 0;
    ASSERT_EQ(CircularQueueLargestFreeBlock(q.get(), &largest), PACKET_SUCCESS);
    EXPECT_EQ(take(), "");

    ASSERT_EQ(ReadOne(q), PACKET_SUCCESS);
    ASSERT_EQ(ReadOne(q), PACKET_SUCCESS);
    EXPECT_EQ(take(), readMsg(248, 100, a) + readMsg(148, 100, a));
    ASSERT_EQ(ReleaseOne(q), PACKET_SUCCESS);
    EXPECT_EQ(take(), releaseMsg(248, 100, a));
    ASSERT_EQ(ReleaseOne(q), PACKET_SUCCESS);
    EXPECT_EQ(take(), releaseMsg(148, 100, a) + finalEmpty(a));

    ASSERT_EQ(EnqueueBytes(q, 50), 298u);
    EXPECT_EQ(take(), adding(50, a) + highest(80) + lowest(298));

    ASSERT_EQ(ReadOne(q), PACKET_SUCCESS);
    ASSERT_EQ(ReadOne(q), PACKET_SUCCESS);
    EXPECT_EQ(take(), readMsg(348, 100, a) + readMsg(298, 50, a) + intermediateEmpty(a));
    ASSERT_EQ(ReadOne(q), PACKETERR_QUEUE_EMPTY);
    EXPECT_EQ(take(), "") << "an empty intermediate queue is not traced";
    ASSERT_EQ(ReleaseOne(q), PACKET_SUCCESS);
    ASSERT_EQ(ReleaseOne(q), PACKET_SUCCESS);
    EXPECT_EQ(take(), releaseMsg(348, 100, a) + releaseMsg(298, 50, a) + queueEmpty(a));
}

// Both rings wrap in one enqueue; the intermediate and the final head then wrap in turn; the
// ring, full up to its head at 48, finally refuses an entry.
TEST_F(QueueTrace, RingWrapsAndEntryFailures)
{
    QueueBuffer q(104);
    const unsigned a = addr(q);
    ASSERT_EQ(InitializeCircularQueue(q.get(), 104), PACKET_SUCCESS);
    ASSERT_EQ(EnqueueBytes(q, 16), 88u);
    ASSERT_EQ(EnqueueBytes(q, 8), 80u);
    ASSERT_EQ(ReadOne(q), PACKET_SUCCESS);
    ASSERT_EQ(ReleaseOne(q), PACKET_SUCCESS);
    take();

    ASSERT_EQ(EnqueueBytes(q, 16), 64u);
    EXPECT_EQ(take(),
              adding(16, a) +
                  format("GetNextFreeQueuePtr:  queue pool for buffer 0x%x has wrapped.\n", a) +
                  lowest(64));
    ASSERT_EQ(ReadOne(q), PACKET_SUCCESS);
    EXPECT_EQ(take(),
              readMsg(80, 8, a) +
                  format("AdvanceIntermediateHead:  The intermediate queue for buffer 0x%x has "
                         "wrapped.\n",
                         a));
    ASSERT_EQ(ReadOne(q), PACKET_SUCCESS);
    EXPECT_EQ(take(), readMsg(64, 16, a) + intermediateEmpty(a));
    ASSERT_EQ(ReleaseOne(q), PACKET_SUCCESS);
    EXPECT_EQ(take(),
              releaseMsg(80, 8, a) +
                  format("AdvanceFinalHead:  The final queue for buffer 0x%x has wrapped.\n", a));

    EnqueueBytes(q, 8);
    EXPECT_EQ(take(),
              adding(8, a) +
                  format("GetNextFreeQueuePtr:  queue pool for buffer 0x%x has wrapped.\n", a) +
                  format("GetNextFreeQueuePtr:  After wraparound of buffer 0x%x, insufficient "
                         "space for new queue entry.\n",
                         a) +
                  kEntryFailure);
}

TEST_F(QueueTrace, WrappedRingWithoutAFreeSlot)
{
    QueueBuffer q(120);
    const unsigned a = addr(q);
    ASSERT_EQ(InitializeCircularQueue(q.get(), 120), PACKET_SUCCESS);
    ASSERT_EQ(EnqueueBytes(q, 24), 96u);
    ASSERT_EQ(EnqueueBytes(q, 8), 88u);
    ASSERT_EQ(ReadOne(q), PACKET_SUCCESS);
    ASSERT_EQ(ReleaseOne(q), PACKET_SUCCESS);
    ASSERT_EQ(EnqueueBytes(q, 24), 64u);
    take();
    EnqueueBytes(q, 8);
    EXPECT_EQ(take(),
              adding(8, a) +
                  format("GetNextFreeDataPtr:  Data pool for buffer 0x%x has wrapped.\n", a) +
                  format("GetNextFreeQueuePtr:  Insufficient space in buffer 0x%x for new data "
                         "queue entry.\n",
                         a) +
                  kEntryFailure);
}

TEST_F(QueueTrace, InvalidArgumentMessages)
{
    EXPECT_EQ(InitializeCircularQueue(nullptr, 448), PACKETERR_D_BAD_PARMS);
    QueueBuffer q(48);
    EXPECT_EQ(InitializeCircularQueue(q.get(), 48), PACKETERR_D_BAD_PARMS);
    EXPECT_EQ(take(), "InitializeCircularQueue:  invalid argument.\n"
                      "InitializeCircularQueue:  invalid argument.\n");
    EXPECT_EQ(CircularQueueLargestFreeBlock(nullptr, nullptr), PACKETERR_D_BAD_PARMS);
    EXPECT_EQ(take(), "CircularQueueLargestFreeBlock:  invalid argument.\n");
    EXPECT_EQ(CircularQueueBufferSize(nullptr), 0u);
    EXPECT_EQ(take(), "CircularQueueBufferSize:  invalid argument.\n");
    // Argument errors of the enqueue and the dequeues are silent.
    EXPECT_EQ(CircularQueueEnqueue(nullptr, nullptr, 1, nullptr), PACKETERR_D_BAD_PARMS);
    EXPECT_EQ(CircularQueueDequeueIntermediate(nullptr, nullptr, nullptr), PACKETERR_D_BAD_PARMS);
    EXPECT_EQ(CircularQueueDequeueFinal(nullptr, nullptr, nullptr), PACKETERR_D_BAD_PARMS);
    EXPECT_EQ(take(), "");
}

// A length near 2^32 must not wrap the quick test's "length + 8" to a small need.
TEST_F(QueueTrace, LengthNear4GiBFailsTheQuickTest)
{
    QueueBuffer q(448);
    ASSERT_EQ(InitializeCircularQueue(q.get(), 448), PACKET_SUCCESS);
    ASSERT_EQ(EnqueueBytes(q, 100), 348u);
    const std::vector<BYTE> before = q.descriptorBytes();
    take();
    for (U32 n : {0xFFFFFFFFu, 0xFFFFFFF9u}) {
        U32 rc = 0;
        EnqueueBytes(q, n, &rc);
        EXPECT_EQ(rc, PACKETERR_NO_MEMORY);
        EXPECT_EQ(take(), adding(n, addr(q)) + kQuickTest);
    }
    EXPECT_EQ(q.descriptorBytes(), before);
}

// Level-filtered queue messages need level 64 to pass; the dumps print whenever tracing is on.
TEST_F(QueueTrace, LevelFilterSilencesMessagesButNotDumps)
{
    QueueBuffer q(448);
    _dsetlevel(4, 2);
    ASSERT_EQ(InitializeCircularQueue(q.get(), 448), PACKET_SUCCESS);
    ASSERT_EQ(EnqueueBytes(q, 100), 348u);
    EXPECT_EQ(take(), "");
    ASSERT_EQ(DumpCircularQueue(q.get(), nullptr), PACKET_SUCCESS);
    EXPECT_EQ(take(), "Queue offset 48:  data offset = 348; length = 100.\n");

    _debug(0);
    _dsetlevel(64, 2);
    ASSERT_EQ(EnqueueBytes(q, 100), 248u);
    ASSERT_EQ(DumpCircularQueue(q.get(), nullptr), PACKET_SUCCESS);
    ASSERT_EQ(DumpCircularQueueState(q.get()), PACKET_SUCCESS);
    EXPECT_EQ(take(), "") << "with the switch off nothing prints";
}

TEST_F(QueueTrace, StateDumpShowsTheLowestBlobNotItsEntry)
{
    QueueBuffer q(448);
    const unsigned a = addr(q);
    ASSERT_EQ(InitializeCircularQueue(q.get(), 448), PACKET_SUCCESS);
    ASSERT_EQ(DumpCircularQueueState(q.get()), PACKET_SUCCESS);
    const char *const kState = "Queue descriptor 0x%x contents:\n"
                               "length                         = %u\n"
                               "queue head offset              = %u\n"
                               "queue tail offset              = %u\n"
                               "highest queue entry offset     = %u\n"
                               "lowest data blob offset        = %u\n"
                               "intermediate queue head offset = %u\n"
                               "final queue head               = %u\n"
                               "entries in queue               = %u\n"
                               "intermediate queue length      = %u\n"
                               "final queue length             = %u\n"
                               "total data bytes in buffer     = %u\n";
    take();
    ASSERT_EQ(DumpCircularQueueState(q.get()), PACKET_SUCCESS);
    EXPECT_EQ(take(), format(kState, a, 448u, 0u, 0u, 0u, 0u, 0u, 0u, 0u, 0u, 0u, 0u));

    ASSERT_EQ(EnqueueBytes(q, 100), 348u);
    ASSERT_EQ(EnqueueBytes(q, 100), 248u);
    ASSERT_EQ(EnqueueBytes(q, 100), 148u);
    ASSERT_EQ(ReadOne(q), PACKET_SUCCESS);
    take();
    ASSERT_EQ(DumpCircularQueueState(q.get()), PACKET_SUCCESS);
    EXPECT_EQ(take(), format(kState, a, 448u, 48u, 64u, 64u, 148u, 56u, 48u, 3u, 2u, 1u, 300u));

    // With a header, the whole state is one message after one header.
    _dsetheader("NVX", 0);
    ASSERT_EQ(DumpCircularQueueState(q.get()), PACKET_SUCCESS);
    EXPECT_EQ(take(),
              "NVX: " + format(kState, a, 448u, 48u, 64u, 64u, 148u, 56u, 48u, 3u, 2u, 1u, 300u));
}

std::vector<const void *> *g_dumped = nullptr;

void *recordBlob(const void *pBlob)
{
    g_dumped->push_back(pBlob);
    return nullptr;
}

// The three dumps walk their own ranges, one line and one callback per entry, in ring order.
class QueueDumps : public QueueTrace
{
  protected:
    void SetUp() override
    {
        QueueTrace::SetUp();
        g_dumped = &dumped;
    }
    void TearDown() override
    {
        g_dumped = nullptr;
        QueueTrace::TearDown();
    }
    std::string line(U32 entry, U32 blob, U32 n)
    {
        return format("Queue offset %u:  data offset = %u; length = %u.\n", entry, blob, n);
    }
    const void *at(QueueBuffer &q, U32 blob) { return q.bytes() + blob; }
    std::vector<const void *> dumped;
};

TEST_F(QueueDumps, EmptyRangesPrintNothing)
{
    QueueBuffer q(448);
    ASSERT_EQ(InitializeCircularQueue(q.get(), 448), PACKET_SUCCESS);
    take();
    EXPECT_EQ(DumpCircularQueue(q.get(), recordBlob), PACKET_SUCCESS);
    EXPECT_EQ(CircularQueueDumpIntermediate(q.get(), recordBlob), PACKET_SUCCESS);
    EXPECT_EQ(CircularQueueDumpFinal(q.get(), recordBlob), PACKET_SUCCESS);
    ASSERT_EQ(EnqueueBytes(q, 100), 348u);
    take();
    EXPECT_EQ(CircularQueueDumpFinal(q.get(), recordBlob), PACKET_SUCCESS);
    ASSERT_EQ(ReadOne(q), PACKET_SUCCESS);
    take();
    EXPECT_EQ(CircularQueueDumpIntermediate(q.get(), recordBlob), PACKET_SUCCESS);
    EXPECT_EQ(take(), "");
    EXPECT_TRUE(dumped.empty());
}

TEST_F(QueueDumps, RangesOfAnUnwrappedRing)
{
    QueueBuffer q(448);
    ASSERT_EQ(InitializeCircularQueue(q.get(), 448), PACKET_SUCCESS);
    ASSERT_EQ(EnqueueBytes(q, 100), 348u);
    ASSERT_EQ(EnqueueBytes(q, 100), 248u);
    ASSERT_EQ(EnqueueBytes(q, 100), 148u);
    ASSERT_EQ(ReadOne(q), PACKET_SUCCESS);
    take();

    ASSERT_EQ(DumpCircularQueue(q.get(), recordBlob), PACKET_SUCCESS);
    EXPECT_EQ(take(), line(48, 348, 100) + line(56, 248, 100) + line(64, 148, 100));
    EXPECT_EQ(dumped, (std::vector<const void *>{at(q, 348), at(q, 248), at(q, 148)}));
    dumped.clear();

    // Final queue up to the entry before the intermediate head.
    ASSERT_EQ(CircularQueueDumpFinal(q.get(), recordBlob), PACKET_SUCCESS);
    EXPECT_EQ(take(), line(48, 348, 100));
    ASSERT_EQ(CircularQueueDumpIntermediate(q.get(), nullptr), PACKET_SUCCESS);
    EXPECT_EQ(take(), line(56, 248, 100) + line(64, 148, 100));
    EXPECT_EQ(dumped, (std::vector<const void *>{at(q, 348)}));

    // With the intermediate queue empty the final queue runs to the tail.
    ASSERT_EQ(ReadOne(q), PACKET_SUCCESS);
    ASSERT_EQ(ReadOne(q), PACKET_SUCCESS);
    take();
    ASSERT_EQ(CircularQueueDumpFinal(q.get(), nullptr), PACKET_SUCCESS);
    EXPECT_EQ(take(), line(48, 348, 100) + line(56, 248, 100) + line(64, 148, 100));
}

TEST_F(QueueDumps, RangesOfAWrappedRing)
{
    // As in RingWrapsAndEntryFailures: B at 56 (blob 80), C wrapped to 48 (blob 64).
    QueueBuffer q(104);
    ASSERT_EQ(InitializeCircularQueue(q.get(), 104), PACKET_SUCCESS);
    ASSERT_EQ(EnqueueBytes(q, 16), 88u);
    ASSERT_EQ(EnqueueBytes(q, 8), 80u);
    ASSERT_EQ(ReadOne(q), PACKET_SUCCESS);
    ASSERT_EQ(ReleaseOne(q), PACKET_SUCCESS);
    ASSERT_EQ(EnqueueBytes(q, 16), 64u);
    take();
    ASSERT_EQ(DumpCircularQueue(q.get(), recordBlob), PACKET_SUCCESS);
    EXPECT_EQ(take(), line(56, 80, 8) + line(48, 64, 16));
    EXPECT_EQ(dumped, (std::vector<const void *>{at(q, 80), at(q, 64)}));

    // The intermediate head wraps to 48: the final queue ends at the highest entry.
    ASSERT_EQ(ReadOne(q), PACKET_SUCCESS);
    take();
    ASSERT_EQ(CircularQueueDumpFinal(q.get(), nullptr), PACKET_SUCCESS);
    EXPECT_EQ(take(), line(56, 80, 8));
    ASSERT_EQ(CircularQueueDumpIntermediate(q.get(), nullptr), PACKET_SUCCESS);
    EXPECT_EQ(take(), line(48, 64, 16));
}

} // namespace
