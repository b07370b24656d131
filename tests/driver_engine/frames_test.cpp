// The driver's own side of the shared packet queue (nvxframes): computed on kernel memory, it
// must leave exactly the bytes the shared queue code would, and accept from the reader exactly
// the descriptors that intermediate dequeues leave.
#include "nvxframes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace
{

constexpr U32 kLength = 16384;

struct Pair {
    std::vector<BYTE> region = std::vector<BYTE>(kLength);
    std::vector<BYTE> reference = std::vector<BYTE>(kLength);
    SessionFrames *sf = nullptr;

    explicit Pair(U32 capacity)
    {
        sf = frames_alloc(region.data(), kLength, capacity);
        EXPECT_EQ(frames_reset(sf), 0u);
        EXPECT_EQ(InitializeCircularQueue(reference.data(), kLength), 0u);
    }
    ~Pair() { frames_free(sf); }

    void expect_same_queue() const
    {
        ASSERT_EQ(std::memcmp(region.data(), reference.data(), sizeof(QueueDescriptor)), 0)
            << "descriptors differ";
        QueueDescriptor d;
        std::memcpy(&d, reference.data(), sizeof(d));
        for (U32 off = CQ_DESCRIPTOR_SIZE; d.ulQueueHead != 0 && off <= d.ulHighestQueueEntry;
             off += CQ_QUEUE_ENTRY_SIZE) {
            // Entries between the tail and the head of a wrapped ring are free; compare the rest.
            const bool held = d.ulQueueTail >= d.ulQueueHead
                                  ? (off >= d.ulQueueHead && off <= d.ulQueueTail)
                                  : (off >= d.ulQueueHead || off <= d.ulQueueTail);
            if (held) {
                ASSERT_EQ(std::memcmp(region.data() + off, reference.data() + off, 8), 0)
                    << "entry at " << off;
            }
        }
    }
};

TEST(EngineFramesTest, MirrorsTheSharedQueueCodeOverRandomRuns)
{
    for (unsigned seed = 1; seed <= 20; ++seed) {
        SCOPED_TRACE(seed);
        Pair p(2048); // more records than can ever fit: only the queue's room decides
        std::mt19937 rng(seed);
        U32 tag = 0;
        for (int step = 0; step < 3000; ++step) {
            const unsigned op = rng() % 4;
            if (op <= 1) {
                const U32 len = 8 * (1 + rng() % 200);
                void *refBlob = nullptr;
                const bool refOk =
                    CircularQueueEnqueue(p.reference.data(), nullptr, len, &refBlob) == 0;
                ASSERT_EQ(frames_fits(p.sf, len) != 0, refOk);
                if (!refOk)
                    continue;
                HeldFrame rec{};
                rec.pktMblk = reinterpret_cast<mblk_t *>(static_cast<uintptr_t>(++tag));
                rec.ulBlobLength = len;
                BYTE *blob = frames_push(p.sf, &rec);
                ASSERT_NE(blob, nullptr);
                EXPECT_EQ(blob - p.region.data(),
                          static_cast<BYTE *>(refBlob) - p.reference.data());
            } else if (op == 2) {
                const unsigned k = rng() % 4;
                for (unsigned i = 0; i < k; ++i) {
                    void *a = nullptr, *b = nullptr;
                    U32 la = 0, lb = 0;
                    const U32 ra = CircularQueueDequeueIntermediate(p.region.data(), &a, &la);
                    const U32 rb = CircularQueueDequeueIntermediate(p.reference.data(), &b, &lb);
                    ASSERT_EQ(ra, rb);
                }
                U32 taken = 0;
                ASSERT_TRUE(frames_sync_reader(p.sf, &taken)) << "a correct reader is accepted";
                QueueDescriptor d;
                std::memcpy(&d, p.reference.data(), sizeof(d));
                EXPECT_EQ(taken, d.ulFinalCount);
            } else {
                U32 taken = 0;
                ASSERT_TRUE(frames_sync_reader(p.sf, &taken));
                HeldFrame h;
                for (U32 i = 0; i < taken; ++i) {
                    ASSERT_TRUE(frames_release_taken(p.sf, &h));
                    ASSERT_EQ(CircularQueueDequeueFinal(p.reference.data(), nullptr, nullptr), 0u);
                }
                EXPECT_FALSE(frames_release_taken(p.sf, &h));
            }
            p.expect_same_queue();
            if (HasFatalFailure())
                return;
        }
        U32 largest = 0, refLargest = 0;
        ASSERT_EQ(frames_largest_free(p.sf, &largest), 0u);
        ASSERT_EQ(CircularQueueLargestFreeBlock(p.reference.data(), &refLargest), 0u);
        EXPECT_EQ(largest, refLargest);
    }
}

TEST(EngineFramesTest, RecordsComeBackInOrderWithTheirOwnPointers)
{
    Pair p(8);
    for (U32 i = 1; i <= 5; ++i) {
        HeldFrame rec{};
        rec.pktMblk = reinterpret_cast<mblk_t *>(static_cast<uintptr_t>(i * 16));
        rec.ulSequence = static_cast<S32>(i);
        rec.ulBlobLength = 200;
        ASSERT_NE(frames_push(p.sf, &rec), nullptr);
    }
    void *a = nullptr;
    U32 la = 0;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(CircularQueueDequeueIntermediate(p.region.data(), &a, &la), 0u);
    // The reader overwrites what it may: its own PACKET_BUFFER and the record bytes.
    std::memset(p.region.data() + CQ_DESCRIPTOR_SIZE + 5 * 8, 0xEE, 1000);
    U32 taken = 0;
    ASSERT_TRUE(frames_sync_reader(p.sf, &taken));
    EXPECT_EQ(taken, 3u);
    HeldFrame h;
    for (U32 i = 1; i <= 3; ++i) {
        ASSERT_TRUE(frames_release_taken(p.sf, &h));
        EXPECT_EQ(h.ulSequence, static_cast<S32>(i));
        EXPECT_EQ(h.pktMblk, reinterpret_cast<mblk_t *>(static_cast<uintptr_t>(i * 16)));
    }
    EXPECT_FALSE(frames_release_taken(p.sf, &h)) << "the unread ones stay";
    ASSERT_TRUE(frames_take_oldest(p.sf, &h));
    EXPECT_EQ(h.ulSequence, 4);
    EXPECT_TRUE(p.sf->bStale) << "taken without the region: the queue must be re-initialised";
    EXPECT_FALSE(frames_sync_reader(p.sf, &taken));
    EXPECT_FALSE(frames_fits(p.sf, 8));
}

TEST(EngineFramesTest, EveryTamperedDescriptorFieldIsRefused)
{
    Pair p(16);
    for (int i = 0; i < 6; ++i) {
        HeldFrame rec{};
        rec.ulBlobLength = 304;
        ASSERT_NE(frames_push(p.sf, &rec), nullptr);
    }
    void *a = nullptr;
    U32 la = 0;
    ASSERT_EQ(CircularQueueDequeueIntermediate(p.region.data(), &a, &la), 0u);
    ASSERT_EQ(CircularQueueDequeueIntermediate(p.region.data(), &a, &la), 0u);
    QueueDescriptor good;
    std::memcpy(&good, p.region.data(), sizeof(good));
    for (size_t field = 0; field < sizeof(QueueDescriptor) / 4; ++field) {
        for (const U32 value : {0u, 8u, 0xFFFFFFF8u}) {
            QueueDescriptor bad = good;
            U32 *w = reinterpret_cast<U32 *>(&bad) + field;
            const U32 changed = value == 8u ? *w + 8 : value;
            if (changed == *w)
                continue;
            *w = changed;
            SCOPED_TRACE(testing::Message() << "field " << field << " = " << changed);
            std::memcpy(p.region.data(), &bad, sizeof(bad));
            U32 taken = 0;
            EXPECT_FALSE(frames_peek_taken(p.sf, &taken));
        }
    }
    std::memcpy(p.region.data(), &good, sizeof(good));
    U32 taken = 0;
    EXPECT_TRUE(frames_sync_reader(p.sf, &taken));
    EXPECT_EQ(taken, 2u);
}

} // namespace
