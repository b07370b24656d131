// Small helpers shared by the queue tests: an aligned buffer with its descriptor in view, and
// the invariant check as a gtest assertion.
#ifndef NVX_QUEUE_TEST_SUPPORT_H
#define NVX_QUEUE_TEST_SUPPORT_H

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "CircularQueue.h"
#include "queue_invariants.h"

namespace queuetest
{

// A queue buffer of a given length on an 8-byte boundary, pre-filled with 0xEE so that nothing
// can rely on zeroed memory.
class QueueBuffer
{
  public:
    explicit QueueBuffer(U32 length) : length_(length), words_((length + 7) / 8)
    {
        std::memset(words_.data(), 0xEE, words_.size() * 8);
    }
    void *get() { return words_.data(); }
    BYTE *bytes() { return reinterpret_cast<BYTE *>(words_.data()); }
    U32 length() const { return length_; }
    const QueueDescriptor &desc() const
    {
        return *reinterpret_cast<const QueueDescriptor *>(words_.data());
    }
    QueueEntry entry(U32 offset) const
    {
        QueueEntry e;
        std::memcpy(&e, reinterpret_cast<const BYTE *>(words_.data()) + offset, sizeof e);
        return e;
    }
    U32 offsetOf(const void *p) const
    {
        return static_cast<U32>(static_cast<const BYTE *>(p) -
                                reinterpret_cast<const BYTE *>(words_.data()));
    }
    std::vector<BYTE> descriptorBytes() const
    {
        const BYTE *p = reinterpret_cast<const BYTE *>(words_.data());
        return std::vector<BYTE>(p, p + sizeof(QueueDescriptor));
    }

  private:
    U32 length_;
    std::vector<uint64_t> words_;
};

inline ::testing::AssertionResult InvariantsHold(QueueBuffer &q)
{
    const std::string problem = queuecheck::CheckQueueInvariants(q.get(), q.length());
    if (problem.empty())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << problem << " [" << queuecheck::DescribeDescriptor(q.get()) << "]";
}

// Enqueues n bytes without data and returns the blob offset (0 when refused, with rc set).
inline U32 EnqueueBytes(QueueBuffer &q, U32 n, U32 *rc = nullptr)
{
    void *p = nullptr;
    const U32 result = CircularQueueEnqueue(q.get(), nullptr, n, &p);
    if (rc != nullptr)
        *rc = result;
    return result == PACKET_SUCCESS ? q.offsetOf(p) : 0;
}

inline U32 ReadOne(QueueBuffer &q)
{
    void *p = nullptr;
    U32 n = 0;
    return CircularQueueDequeueIntermediate(q.get(), &p, &n);
}

inline U32 ReleaseOne(QueueBuffer &q)
{
    return CircularQueueDequeueFinal(q.get(), nullptr, nullptr);
}

} // namespace queuetest

#endif // NVX_QUEUE_TEST_SUPPORT_H
