// Behaviour of the two-phase circular queue: initialisation, placement at the boundaries,
// argument checks, the two phases, the worked 448-byte example, and the two places where the
// queue is sounder than a literal reading of its placement rules (an enqueue into a queue that
// holds only final entries; a release that ends a wrapped ring while the intermediate head has
// wrapped first).
#include <cstring>

#include <gtest/gtest.h>

#include "queue_test_support.h"

namespace
{

using queuetest::EnqueueBytes;
using queuetest::InvariantsHold;
using queuetest::QueueBuffer;
using queuetest::ReadOne;
using queuetest::ReleaseOne;

TEST(QueueInitialize, RefusesNullAndBuffersWithoutRoomBeyondTheDescriptor)
{
    struct Case {
        U32 length;
        U32 rc;
    } const cases[] = {{0, PACKETERR_D_BAD_PARMS},
                       {47, PACKETERR_D_BAD_PARMS},
                       {48, PACKETERR_D_BAD_PARMS},
                       {49, PACKET_SUCCESS},
                       {448, PACKET_SUCCESS}};
    for (const Case &c : cases) {
        QueueBuffer q(c.length > 48 ? c.length : 48);
        EXPECT_EQ(InitializeCircularQueue(q.get(), c.length), c.rc) << "length " << c.length;
    }
    EXPECT_EQ(InitializeCircularQueue(nullptr, 448), PACKETERR_D_BAD_PARMS);
}

TEST(QueueInitialize, WritesOnlyTheDescriptorAndDiscardsEntries)
{
    QueueBuffer q(448);
    ASSERT_EQ(InitializeCircularQueue(q.get(), 448), PACKET_SUCCESS);
    QueueDescriptor expected = {};
    expected.ulLength = 448;
    EXPECT_EQ(std::memcmp(&q.desc(), &expected, sizeof expected), 0);
    for (U32 i = 48; i < 448; i++)
        ASSERT_EQ(q.bytes()[i], 0xEE) << "byte " << i << " written";

    ASSERT_NE(EnqueueBytes(q, 100), 0u);
    ASSERT_EQ(InitializeCircularQueue(q.get(), 448), PACKET_SUCCESS);
    EXPECT_TRUE(CircularQueueIsEmpty(q.get()));
    EXPECT_EQ(CircularQueueLength(q.get()), 0u);
    EXPECT_EQ(EnqueueBytes(q, 100), 348u) << "the next blob goes at the end again";
}

// The descriptor, one entry and one byte need 57 bytes: shorter buffers take nothing.
TEST(QueueCapacity, BuffersOf49To56BytesRefuseEveryBlob)
{
    for (U32 length = 49; length <= 56; length++) {
        QueueBuffer q(length);
        ASSERT_EQ(InitializeCircularQueue(q.get(), length), PACKET_SUCCESS);
        U32 rc = 0;
        EnqueueBytes(q, 1, &rc);
        EXPECT_EQ(rc, PACKETERR_NO_MEMORY) << "length " << length;
        EXPECT_TRUE(CircularQueueIsEmpty(q.get()));
    }
}

// Into an empty queue the largest blob is L - 56; it goes at 56, its entry at 48.
TEST(QueueCapacity, EmptyQueueTakesExactlyLengthMinus56)
{
    for (U32 length : {57u, 100u, 448u, 449u, 4099u}) {
        QueueBuffer q(length);
        ASSERT_EQ(InitializeCircularQueue(q.get(), length), PACKET_SUCCESS);
        U32 rc = 0;
        EnqueueBytes(q, length - 55, &rc);
        EXPECT_EQ(rc, PACKETERR_NO_MEMORY) << "length " << length;
        EXPECT_EQ(EnqueueBytes(q, length - 56), 56u) << "length " << length;
        EXPECT_EQ(q.desc().ulQueueTail, 48u);
        EXPECT_TRUE(InvariantsHold(q));
    }
}

TEST(QueueEnqueue, FirstBlobGoesAtTheEndWithItsEntryAt48)
{
    QueueBuffer q(1000);
    ASSERT_EQ(InitializeCircularQueue(q.get(), 1000), PACKET_SUCCESS);
    const char data[] = "first blob";
    void *pQueued = nullptr;
    ASSERT_EQ(CircularQueueEnqueue(q.get(), data, sizeof data, &pQueued), PACKET_SUCCESS);
    const QueueDescriptor &d = q.desc();
    EXPECT_EQ(q.offsetOf(pQueued), 1000 - sizeof data);
    EXPECT_EQ(std::memcmp(pQueued, data, sizeof data), 0);
    EXPECT_EQ(d.ulQueueHead, 48u);
    EXPECT_EQ(d.ulQueueTail, 48u);
    EXPECT_EQ(d.ulHighestQueueEntry, 48u);
    EXPECT_EQ(d.ulLowestBlobEntry, 48u);
    EXPECT_EQ(d.ulIntermediateHead, 48u);
    EXPECT_EQ(d.ulFinalHead, 0u);
    EXPECT_EQ(d.ulEntryCount, 1u);
    EXPECT_EQ(d.ulIntermediateCount, 1u);
    EXPECT_EQ(d.ulFinalCount, 0u);
    EXPECT_EQ(d.ulTotalDataBytes, sizeof data);
    EXPECT_EQ(q.entry(48).ulOffset, 1000 - sizeof data);
    EXPECT_EQ(q.entry(48).ulLength, sizeof data);
}

// With a null pDataIn the space is only reserved; what the producer writes in place is what the
// reader gets. ppQueuedData is optional.
TEST(QueueEnqueue, NullDataReservesSpaceForFillingInPlace)
{
    QueueBuffer q(448);
    ASSERT_EQ(InitializeCircularQueue(q.get(), 448), PACKET_SUCCESS);
    void *pQueued = nullptr;
    ASSERT_EQ(CircularQueueEnqueue(q.get(), nullptr, 16, &pQueued), PACKET_SUCCESS);
    EXPECT_EQ(q.bytes()[432], 0xEE) << "a null pDataIn copies nothing";
    std::memcpy(pQueued, "filled in place!", 16);
    ASSERT_EQ(CircularQueueEnqueue(q.get(), "second", 6, nullptr), PACKET_SUCCESS);

    void *pData = nullptr;
    U32 length = 0;
    ASSERT_EQ(CircularQueueDequeueIntermediate(q.get(), &pData, &length), PACKET_SUCCESS);
    EXPECT_EQ(pData, pQueued);
    EXPECT_EQ(length, 16u);
    EXPECT_EQ(std::memcmp(pData, "filled in place!", 16), 0);
    ASSERT_EQ(CircularQueueDequeueIntermediate(q.get(), &pData, &length), PACKET_SUCCESS);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(std::memcmp(pData, "second", 6), 0);
    EXPECT_EQ(q.offsetOf(pData), 432u - 6u);
}

TEST(QueueArguments, MissingArgumentsAreRefusedAndChangeNothing)
{
    QueueBuffer q(448);
    ASSERT_EQ(InitializeCircularQueue(q.get(), 448), PACKET_SUCCESS);
    ASSERT_NE(EnqueueBytes(q, 10), 0u);
    const std::vector<BYTE> before = q.descriptorBytes();
    void *p = nullptr;
    U32 n = 0;
    EXPECT_EQ(CircularQueueEnqueue(q.get(), "x", 0, &p), PACKETERR_D_BAD_PARMS);
    EXPECT_EQ(CircularQueueEnqueue(nullptr, "x", 1, &p), PACKETERR_D_BAD_PARMS);
    EXPECT_EQ(CircularQueueDequeueIntermediate(nullptr, &p, &n), PACKETERR_D_BAD_PARMS);
    EXPECT_EQ(CircularQueueDequeueIntermediate(q.get(), nullptr, &n), PACKETERR_D_BAD_PARMS);
    EXPECT_EQ(CircularQueueDequeueIntermediate(q.get(), &p, nullptr), PACKETERR_D_BAD_PARMS);
    EXPECT_EQ(CircularQueueDequeueFinal(nullptr, &p, &n), PACKETERR_D_BAD_PARMS);
    EXPECT_EQ(CircularQueueLargestFreeBlock(nullptr, &n), PACKETERR_D_BAD_PARMS);
    EXPECT_EQ(CircularQueueLargestFreeBlock(q.get(), nullptr), PACKETERR_D_BAD_PARMS);
    EXPECT_EQ(CircularQueueDumpIntermediate(nullptr, nullptr), PACKETERR_D_BAD_PARMS);
    EXPECT_EQ(CircularQueueDumpFinal(nullptr, nullptr), PACKETERR_D_BAD_PARMS);
    EXPECT_EQ(DumpCircularQueue(nullptr, nullptr), PACKETERR_D_BAD_PARMS);
    EXPECT_EQ(DumpCircularQueueState(nullptr), PACKETERR_D_BAD_PARMS);
    EXPECT_EQ(q.descriptorBytes(), before);
}

TEST(QueueArguments, NullBufferQueriesAreFalseAndZero)
{
    EXPECT_FALSE(CircularQueueIsEmpty(nullptr));
    EXPECT_FALSE(CircularQueueIsIntermediateEmpty(nullptr));
    EXPECT_FALSE(CircularQueueIsFinalEmpty(nullptr));
    EXPECT_EQ(CircularQueueLength(nullptr), 0u);
    EXPECT_EQ(CircularQueueIntermediateLength(nullptr), 0u);
    EXPECT_EQ(CircularQueueFinalLength(nullptr), 0u);
    EXPECT_EQ(CircularQueueBufferSize(nullptr), 0u);
}

TEST(QueuePhases, ReleaseNeedsAnIntermediateDequeueFirst)
{
    QueueBuffer q(448);
    ASSERT_EQ(InitializeCircularQueue(q.get(), 448), PACKET_SUCCESS);
    EXPECT_EQ(ReadOne(q), PACKETERR_QUEUE_EMPTY);
    EXPECT_EQ(ReleaseOne(q), PACKETERR_QUEUE_EMPTY);
    ASSERT_NE(EnqueueBytes(q, 10), 0u);
    ASSERT_NE(EnqueueBytes(q, 20), 0u);
    const std::vector<BYTE> before = q.descriptorBytes();
    EXPECT_EQ(ReleaseOne(q), PACKETERR_QUEUE_EMPTY);
    EXPECT_EQ(q.descriptorBytes(), before);
    EXPECT_FALSE(CircularQueueIsEmpty(q.get()));
    EXPECT_FALSE(CircularQueueIsIntermediateEmpty(q.get()));
    EXPECT_TRUE(CircularQueueIsFinalEmpty(q.get()));
}

TEST(QueuePhases, FinalQueuePrecedesIntermediateQueue)
{
    QueueBuffer q(448);
    ASSERT_EQ(InitializeCircularQueue(q.get(), 448), PACKET_SUCCESS);
    ASSERT_EQ(CircularQueueEnqueue(q.get(), "AAAA", 4, nullptr), PACKET_SUCCESS);
    ASSERT_EQ(CircularQueueEnqueue(q.get(), "BBBBBB", 6, nullptr), PACKET_SUCCESS);
    ASSERT_EQ(ReadOne(q), PACKET_SUCCESS);
    EXPECT_EQ(q.desc().ulFinalHead, 48u);
    EXPECT_EQ(q.desc().ulIntermediateHead, 56u);
    EXPECT_EQ(CircularQueueFinalLength(q.get()), 1u);
    EXPECT_EQ(CircularQueueIntermediateLength(q.get()), 1u);
    EXPECT_EQ(CircularQueueLength(q.get()), 2u);
    EXPECT_TRUE(InvariantsHold(q));

    void *pData = nullptr;
    U32 length = 0;
    ASSERT_EQ(CircularQueueDequeueFinal(q.get(), &pData, &length), PACKET_SUCCESS);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(std::memcmp(pData, "AAAA", 4), 0);
    EXPECT_EQ(q.desc().ulFinalHead, 0u);
    EXPECT_EQ(q.desc().ulQueueHead, 56u);
    EXPECT_EQ(ReleaseOne(q), PACKETERR_QUEUE_EMPTY) << "a release stops at the intermediate queue";
    EXPECT_TRUE(InvariantsHold(q));
}

TEST(QueuePhases, ReleasingTheLastEntryZeroesEveryOffset)
{
    QueueBuffer q(448);
    ASSERT_EQ(InitializeCircularQueue(q.get(), 448), PACKET_SUCCESS);
    for (U32 n : {100u, 100u, 100u})
        ASSERT_NE(EnqueueBytes(q, n), 0u);
    while (ReadOne(q) == PACKET_SUCCESS) {
    }
    EXPECT_TRUE(CircularQueueIsIntermediateEmpty(q.get()));
    while (ReleaseOne(q) == PACKET_SUCCESS) {
    }
    QueueDescriptor expected = {};
    expected.ulLength = 448;
    EXPECT_EQ(std::memcmp(&q.desc(), &expected, sizeof expected), 0);
    EXPECT_TRUE(CircularQueueIsEmpty(q.get()));
    EXPECT_EQ(EnqueueBytes(q, 30), 418u);
    EXPECT_EQ(q.desc().ulQueueTail, 48u);
}

// The worked example: a 448-byte buffer and blobs of 100 bytes, step by step.
class WorkedExample : public ::testing::Test
{
  protected:
    void SetUp() override { ASSERT_EQ(InitializeCircularQueue(q.get(), 448), PACKET_SUCCESS); }
    void enqueueAt(U32 n, U32 blob, U32 entry)
    {
        U32 rc = 0;
        EXPECT_EQ(EnqueueBytes(q, n, &rc), blob);
        EXPECT_EQ(rc, PACKET_SUCCESS);
        EXPECT_EQ(q.desc().ulQueueTail, entry);
        EXPECT_TRUE(InvariantsHold(q));
    }
    void refused(U32 n)
    {
        const std::vector<BYTE> before = q.descriptorBytes();
        U32 rc = 0;
        EnqueueBytes(q, n, &rc);
        EXPECT_EQ(rc, PACKETERR_NO_MEMORY);
        EXPECT_EQ(q.descriptorBytes(), before);
    }
    void readAndRelease(U32 count)
    {
        for (U32 i = 0; i < count; i++)
            ASSERT_EQ(ReadOne(q), PACKET_SUCCESS);
        for (U32 i = 0; i < count; i++)
            ASSERT_EQ(ReleaseOne(q), PACKET_SUCCESS);
        EXPECT_TRUE(InvariantsHold(q));
    }
    QueueBuffer q{448};
};

TEST_F(WorkedExample, AllFiveSteps)
{
    // 1. A, B and C go one below the other from the end; entries at 48, 56, 64.
    enqueueAt(100, 348, 48);
    enqueueAt(100, 248, 56);
    enqueueAt(100, 148, 64);
    EXPECT_EQ(q.desc().ulLowestBlobEntry, 64u);
    EXPECT_EQ(q.desc().ulHighestQueueEntry, 64u);

    // 2. The quick test refuses a fourth: 448 - 300 - 24 - 48 = 76 < 108.
    refused(100);

    // 3. After A is released, D's candidate 48 lies below the end of the entry ring (72): the
    //    data pool wraps and D goes at 348, right on top of B's blob, its entry at 72.
    readAndRelease(1);
    enqueueAt(100, 348, 72);
    EXPECT_EQ(q.desc().ulLowestBlobEntry, 64u) << "C's blob is still the lowest";

    // 4. 50 bytes find no contiguous room in ring order, although a gap of 68 is reported
    //    (148 - 72 - 8, between D's entry and C's blob).
    refused(50);
    U32 largest = 0;
    ASSERT_EQ(CircularQueueLargestFreeBlock(q.get(), &largest), PACKET_SUCCESS);
    EXPECT_EQ(largest, 68u);

    // 5. With B and C released, D's entry is the lowest blob's; 50 bytes go at 298, entry 80.
    ASSERT_EQ(ReadOne(q), PACKET_SUCCESS); // B
    ASSERT_EQ(ReadOne(q), PACKET_SUCCESS); // C
    ASSERT_EQ(ReleaseOne(q), PACKET_SUCCESS);
    ASSERT_EQ(ReleaseOne(q), PACKET_SUCCESS);
    EXPECT_EQ(q.desc().ulLowestBlobEntry, 72u);
    EXPECT_EQ(q.desc().ulQueueHead, 72u);
    enqueueAt(50, 298, 80);
    EXPECT_EQ(q.desc().ulLowestBlobEntry, 80u);
}

// The data pool wraps but the end of the buffer has no room above the head blob either.
TEST_F(WorkedExample, WrapOfTheDataPoolCanFailToo)
{
    enqueueAt(100, 348, 48);
    enqueueAt(100, 248, 56);
    enqueueAt(100, 148, 64);
    readAndRelease(1);
    refused(101); // candidate 347 ends inside B's blob at 348
    enqueueAt(100, 348, 72);
}

TEST_F(WorkedExample, LargestFreeBlockOfEmptyAndUnwrappedQueues)
{
    U32 largest = 0;
    ASSERT_EQ(CircularQueueLargestFreeBlock(q.get(), &largest), PACKET_SUCCESS);
    EXPECT_EQ(largest, 400u);
    enqueueAt(100, 348, 48);
    ASSERT_EQ(CircularQueueLargestFreeBlock(q.get(), &largest), PACKET_SUCCESS);
    EXPECT_EQ(largest, 292u) << "348 - 48 - 8 below the blob";
    enqueueAt(100, 248, 56);
    readAndRelease(1);
    ASSERT_EQ(CircularQueueLargestFreeBlock(q.get(), &largest), PACKET_SUCCESS);
    EXPECT_EQ(largest, 184u) << "248 - 56 - 8 below B, against 100 above it";
    EXPECT_EQ(CircularQueueBufferSize(q.get()), 448u);
}

// An enqueue while only final entries are held starts the intermediate queue: the reader sees
// the new blob, and releases stop in front of it until it has been read.
TEST(QueueOnlyFinalHeld, EnqueueStartsTheIntermediateQueue)
{
    QueueBuffer q(448);
    ASSERT_EQ(InitializeCircularQueue(q.get(), 448), PACKET_SUCCESS);
    ASSERT_EQ(CircularQueueEnqueue(q.get(), "AAAA", 4, nullptr), PACKET_SUCCESS);
    ASSERT_EQ(ReadOne(q), PACKET_SUCCESS);
    ASSERT_TRUE(CircularQueueIsIntermediateEmpty(q.get()));

    ASSERT_EQ(CircularQueueEnqueue(q.get(), "BBBBBB", 6, nullptr), PACKET_SUCCESS);
    EXPECT_EQ(q.desc().ulIntermediateHead, 56u);
    EXPECT_EQ(q.desc().ulFinalHead, 48u);
    EXPECT_EQ(q.desc().ulQueueHead, 48u);
    EXPECT_EQ(CircularQueueIntermediateLength(q.get()), 1u);
    EXPECT_FALSE(CircularQueueIsIntermediateEmpty(q.get()));
    EXPECT_TRUE(InvariantsHold(q));

    void *pData = nullptr;
    U32 length = 0;
    ASSERT_EQ(CircularQueueDequeueFinal(q.get(), &pData, &length), PACKET_SUCCESS);
    EXPECT_EQ(std::memcmp(pData, "AAAA", 4), 0);
    EXPECT_EQ(ReleaseOne(q), PACKETERR_QUEUE_EMPTY) << "B has not been read yet";
    EXPECT_EQ(q.desc().ulQueueHead, 56u);
    EXPECT_TRUE(InvariantsHold(q));

    ASSERT_EQ(CircularQueueDequeueIntermediate(q.get(), &pData, &length), PACKET_SUCCESS);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(std::memcmp(pData, "BBBBBB", 6), 0);
    ASSERT_EQ(ReleaseOne(q), PACKET_SUCCESS);
    EXPECT_TRUE(CircularQueueIsEmpty(q.get()));
    EXPECT_TRUE(InvariantsHold(q));
}

// A 128-byte buffer of 8-byte blobs whose entry ring has wrapped: A..E at 48..80 (blobs 120 down
// to 88), A released, F at entry 48 with its blob back at 120.
class WrappedRing : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_EQ(InitializeCircularQueue(q.get(), 128), PACKET_SUCCESS);
        for (U32 blob = 120; blob >= 88; blob -= 8)
            ASSERT_EQ(EnqueueBytes(q, 8), blob);
        ASSERT_EQ(ReadOne(q), PACKET_SUCCESS);
        ASSERT_EQ(ReleaseOne(q), PACKET_SUCCESS);
        ASSERT_EQ(EnqueueBytes(q, 8), 120u); // F
        ASSERT_EQ(q.desc().ulQueueTail, 48u);
        ASSERT_EQ(q.desc().ulQueueHead, 56u);
        ASSERT_EQ(q.desc().ulHighestQueueEntry, 80u);
        ASSERT_TRUE(InvariantsHold(q));
    }
    QueueBuffer q{128};
};

// Reading B..E moves the intermediate head around the ring to F at 48 before the final head
// gets there. Releasing E then leaves F alone at 48: the ring is no longer wrapped and its
// highest entry must be F's again, or the 64 free bytes between 56 and F's blob would stay
// out of reach.
TEST_F(WrappedRing, ReleaseBehindAWrappedIntermediateHeadUnwrapsTheRing)
{
    for (int i = 0; i < 4; i++)
        ASSERT_EQ(ReadOne(q), PACKET_SUCCESS);
    EXPECT_EQ(q.desc().ulIntermediateHead, 48u);
    EXPECT_TRUE(InvariantsHold(q));
    for (int i = 0; i < 4; i++) {
        ASSERT_EQ(ReleaseOne(q), PACKET_SUCCESS);
        EXPECT_TRUE(InvariantsHold(q)) << "after release " << i;
    }
    EXPECT_EQ(q.desc().ulQueueHead, 48u);
    EXPECT_EQ(q.desc().ulQueueTail, 48u);
    EXPECT_EQ(q.desc().ulHighestQueueEntry, 48u);
    EXPECT_EQ(q.desc().ulLowestBlobEntry, 48u);

    // 56 bytes fill the gap exactly: blob 64..119 below F, entry at 56.
    EXPECT_EQ(EnqueueBytes(q, 56), 64u);
    EXPECT_EQ(q.desc().ulQueueTail, 56u);
    EXPECT_EQ(q.desc().ulHighestQueueEntry, 56u);
    EXPECT_TRUE(InvariantsHold(q));
}

// A wrapped ring with no free slot between tail and head refuses the entry, though the blob
// would fit at the end of the buffer and the quick test passes.
TEST(QueueRingFull, EntryRefusedWhenTheWrappedRingHasNoSlot)
{
    QueueBuffer q(120);
    ASSERT_EQ(InitializeCircularQueue(q.get(), 120), PACKET_SUCCESS);
    ASSERT_EQ(EnqueueBytes(q, 24), 96u);      // A, entry 48
    ASSERT_EQ(EnqueueBytes(q, 8), 88u);       // B, entry 56
    ASSERT_EQ(ReadOne(q), PACKET_SUCCESS);    // A
    ASSERT_EQ(ReleaseOne(q), PACKET_SUCCESS); // head now B at 56
    ASSERT_EQ(EnqueueBytes(q, 24), 64u);      // C: entry ring wraps to 48
    ASSERT_EQ(q.desc().ulQueueTail, 48u);
    const std::vector<BYTE> before = q.descriptorBytes();
    U32 rc = 0;
    EnqueueBytes(q, 8, &rc); // its blob would go at 112, but no slot lies between 48 and 56
    EXPECT_EQ(rc, PACKETERR_NO_MEMORY);
    EXPECT_EQ(q.descriptorBytes(), before);
    EXPECT_TRUE(InvariantsHold(q));
}

// The ring must wrap, but its head is still at 48: no slot anywhere.
TEST(QueueRingFull, EntryRefusedWhenTheRingWouldWrapOntoItsHead)
{
    QueueBuffer q(104);
    ASSERT_EQ(InitializeCircularQueue(q.get(), 104), PACKET_SUCCESS);
    ASSERT_EQ(EnqueueBytes(q, 16), 88u); // A, entry 48
    ASSERT_EQ(EnqueueBytes(q, 8), 80u);  // B, entry 56
    ASSERT_EQ(ReadOne(q), PACKET_SUCCESS);
    ASSERT_EQ(ReleaseOne(q), PACKET_SUCCESS);
    ASSERT_EQ(EnqueueBytes(q, 16), 64u);   // C, entry ring wraps to 48
    ASSERT_EQ(ReadOne(q), PACKET_SUCCESS); // B; the intermediate head wraps to C at 48
    EXPECT_EQ(q.desc().ulIntermediateHead, 48u);
    ASSERT_EQ(ReadOne(q), PACKET_SUCCESS);    // C
    ASSERT_EQ(ReleaseOne(q), PACKET_SUCCESS); // B; the final head wraps to 48
    EXPECT_EQ(q.desc().ulQueueHead, 48u);
    EXPECT_EQ(q.desc().ulHighestQueueEntry, 48u);
    EXPECT_TRUE(InvariantsHold(q));

    const std::vector<BYTE> before = q.descriptorBytes();
    U32 rc = 0;
    EnqueueBytes(q, 8, &rc); // blob 56 fits above the ring, but its entry at 56 would overlap it
    EXPECT_EQ(rc, PACKETERR_NO_MEMORY);
    EXPECT_EQ(q.descriptorBytes(), before);
}

} // namespace
