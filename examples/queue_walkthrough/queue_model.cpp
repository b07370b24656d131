#include "queue_model.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <random>
#include <vector>

#include "CircularQueue.h"
#include "queue_invariants.h"

namespace queuecheck
{
namespace
{

constexpr U32 kGuardBytes = 64;
constexpr BYTE kGuardByte = 0xA5;

/* A queue buffer with guard bytes on both sides, starting on an 8-byte boundary. */
class GuardedBuffer
{
  public:
    explicit GuardedBuffer(U32 length)
        : length_(length), words_((kGuardBytes * 2 + length + 7) / 8, 0)
    {
        std::memset(words_.data(), kGuardByte, words_.size() * 8);
        std::memset(data(), 0xEE, length_); /* not zero: the queue must not rely on it */
    }
    BYTE *data() { return reinterpret_cast<BYTE *>(words_.data()) + kGuardBytes; }
    U32 length() const { return length_; }
    /* Offset from the buffer start of the first damaged guard byte; 0 when all are intact. */
    long damagedGuard()
    {
        const BYTE *all = reinterpret_cast<const BYTE *>(words_.data());
        const size_t total = words_.size() * 8;
        for (size_t i = 0; i < total; i++) {
            const bool guard = i < kGuardBytes || i >= kGuardBytes + length_;
            if (guard && all[i] != kGuardByte)
                return static_cast<long>(i) - static_cast<long>(kGuardBytes);
        }
        return 0;
    }

  private:
    U32 length_;
    std::vector<uint64_t> words_;
};

/* The bytes of blob number seq: every blob differs from its neighbours at every position. */
inline BYTE patternByte(uint64_t seq, U32 i)
{
    return static_cast<BYTE>((seq * 0x9E3779B97F4A7C15ull >> 56) + i * 13u + (i >> 8));
}

void fillPattern(BYTE *p, uint64_t seq, U32 length)
{
    for (U32 i = 0; i < length; i++)
        p[i] = patternByte(seq, i);
}

/* Index of the first byte that differs from the pattern, or -1. */
long patternMismatch(const BYTE *p, uint64_t seq, U32 length)
{
    for (U32 i = 0; i < length; i++)
        if (p[i] != patternByte(seq, i))
            return static_cast<long>(i);
    return -1;
}

struct ModelBlob {
    uint64_t seq;
    U32 length;
};

class Run
{
  public:
    explicit Run(const RandomRunConfig &config)
        : config_(config), buffer_(config.ulBufferLength), rng_(config.seed),
          source_(config.ulBufferLength + 1)
    {
        const U32 usable = config.ulBufferLength > 56 ? config.ulBufferLength - 56 : 1;
        maxBlob_ = config.ulMaxBlobLength != 0 ? config.ulMaxBlobLength : usable / 3;
        if (maxBlob_ > config.ulBufferLength)
            maxBlob_ = config.ulBufferLength;
        if (maxBlob_ == 0)
            maxBlob_ = 1;
    }

    RandomRunResult run()
    {
        if (InitializeCircularQueue(buf(), L()) != PACKET_SUCCESS)
            fail("InitializeCircularQueue refused the buffer");
        else
            checkAfter(true);
        uint64_t regimeLeft = 0;
        double pEnqueue = 0.5, pIntermediate = 0.5;
        while (ok() && result_.operations < config_.operations) {
            if (regimeLeft == 0) {
                static constexpr double enqueueShares[] = {0.75, 0.6, 0.5, 0.4, 0.25};
                static constexpr double intermediateShares[] = {0.3, 0.5, 0.7};
                pEnqueue = enqueueShares[pick(0, 4)];
                pIntermediate = intermediateShares[pick(0, 2)];
                regimeLeft = pick(256, 2048);
            }
            regimeLeft--;
            result_.operations++;
            snapshot();
            const double r = uniform();
            if (r < 0.01)
                badCall();
            else if (r < 0.01 + pEnqueue * 0.99)
                enqueue();
            else if (uniform() < pIntermediate)
                dequeueIntermediate();
            else
                dequeueFinal();
            if (ok())
                checkAfter(result_.operations % 16 == 0);
            if (ok() && result_.operations % 1024 == 0)
                checkGuards();
        }
        if (ok())
            drainAndProbe();
        if (ok())
            checkGuards();
        return result_;
    }

  private:
    void *buf() { return buffer_.data(); }
    U32 L() const { return config_.ulBufferLength; }
    bool ok() const { return result_.disagreement.empty(); }
    uint64_t pick(uint64_t lo, uint64_t hi)
    {
        return std::uniform_int_distribution<uint64_t>(lo, hi)(rng_);
    }
    double uniform() { return std::uniform_real_distribution<double>(0.0, 1.0)(rng_); }
    U32 intermediateCount() const { return static_cast<U32>(model_.size()) - finalCount_; }

    void fail(const char *fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        if (!ok())
            return;
        char text[512];
        va_list args;
        va_start(args, fmt);
        vsnprintf(text, sizeof text, fmt, args);
        va_end(args);
        result_.disagreement = std::string(text) + " [" + DescribeDescriptor(buf()) + "]";
        result_.disagreementAt = result_.operations;
    }

    void snapshot()
    {
        std::memcpy(descriptorBefore_, buf(), sizeof descriptorBefore_);
        wholeSnapshot_ = result_.operations % 8 == 0;
        if (wholeSnapshot_)
            bufferBefore_.assign(buffer_.data(), buffer_.data() + L());
    }

    /* A failed call must leave the descriptor, and on sampled calls the whole buffer, unchanged. */
    void expectUnchanged(const char *what)
    {
        if (std::memcmp(descriptorBefore_, buf(), sizeof descriptorBefore_) != 0)
            fail("%s failed but changed the descriptor", what);
        else if (wholeSnapshot_ && std::memcmp(bufferBefore_.data(), buf(), L()) != 0)
            fail("%s failed but changed the buffer", what);
    }

    U32 blobLength()
    {
        const uint64_t r = pick(0, 99);
        if (r < 40)
            return static_cast<U32>(8 * pick(1, maxBlob_ / 8 > 0 ? maxBlob_ / 8 : 1));
        if (r < 93)
            return static_cast<U32>(pick(1, maxBlob_));
        if (r < 98)
            return static_cast<U32>(pick(maxBlob_, L()));
        /* The largest blob an empty queue takes, and one byte more. */
        return L() > 57 ? L() - 56 + static_cast<U32>(pick(0, 1)) : 1;
    }

    void enqueue()
    {
        const U32 n = blobLength();
        const uint64_t seq = nextSeq_++;
        const bool inPlace = uniform() < 0.25;
        const bool wantAddress = inPlace || uniform() < 0.5;
        const bool wasEmpty = model_.empty();
        const bool onlyFinal = !model_.empty() && intermediateCount() == 0;
        int64_t modelFree = int64_t{L()} - CQ_DESCRIPTOR_SIZE;
        for (const ModelBlob &b : model_)
            modelFree -= b.length + CQ_QUEUE_ENTRY_SIZE;

        if (!inPlace)
            fillPattern(source_.data(), seq, n);
        void *pQueued = nullptr;
        const U32 rc = CircularQueueEnqueue(buf(), inPlace ? nullptr : source_.data(), n,
                                            wantAddress ? &pQueued : nullptr);
        if (rc == PACKETERR_NO_MEMORY) {
            result_.noMemory++;
            if (wasEmpty && uint64_t{n} + 56 <= L())
                fail("enqueue of %u bytes into an empty queue refused", n);
            expectUnchanged("enqueue");
            return;
        }
        if (rc != PACKET_SUCCESS) {
            fail("enqueue of %u bytes returned %u", n, rc);
            return;
        }
        if (modelFree < int64_t{n} + CQ_QUEUE_ENTRY_SIZE)
            fail("enqueue of %u bytes accepted with only %lld bytes free", n,
                 static_cast<long long>(modelFree));
        const U32 tail = reinterpret_cast<const QueueDescriptor *>(buf())->ulQueueTail;
        QueueEntry entry;
        std::memcpy(&entry, buffer_.data() + tail, sizeof entry);
        if (entry.ulLength != n)
            fail("tail entry holds length %u after enqueueing %u", entry.ulLength, n);
        if (wantAddress && pQueued != buffer_.data() + entry.ulOffset)
            fail("enqueue returned an address other than its tail blob at %u", entry.ulOffset);
        if (inPlace && ok())
            fillPattern(static_cast<BYTE *>(pQueued), seq, n);
        model_.push_back({seq, n});
        result_.enqueued++;
        result_.bytesEnqueued += n;
        if (inPlace)
            result_.enqueuedInPlace++;
        if (onlyFinal)
            result_.enqueuedOnlyFinal++;
    }

    /* The blob handed out must be the model's, byte for byte, and lie inside the buffer. */
    void checkBlob(const char *what, const void *pData, U32 length, const ModelBlob &expected)
    {
        const BYTE *p = static_cast<const BYTE *>(pData);
        if (length != expected.length) {
            fail("%s handed out %u bytes, model expects blob %llu of %u", what, length,
                 static_cast<unsigned long long>(expected.seq), expected.length);
            return;
        }
        if (p < buffer_.data() + CQ_DESCRIPTOR_SIZE + CQ_QUEUE_ENTRY_SIZE ||
            p + length > buffer_.data() + L()) {
            fail("%s handed out a blob outside the data pool", what);
            return;
        }
        const long bad = patternMismatch(p, expected.seq, length);
        if (bad >= 0)
            fail("%s: blob %llu of %u bytes differs at byte %ld", what,
                 static_cast<unsigned long long>(expected.seq), length, bad);
    }

    void dequeueIntermediate()
    {
        void *pData = nullptr;
        U32 length = 0;
        const U32 rc = CircularQueueDequeueIntermediate(buf(), &pData, &length);
        if (intermediateCount() == 0) {
            if (rc != PACKETERR_QUEUE_EMPTY)
                fail("intermediate dequeue of an empty intermediate queue returned %u", rc);
            result_.emptyIntermediate++;
            expectUnchanged("intermediate dequeue");
            return;
        }
        if (rc != PACKET_SUCCESS) {
            fail("intermediate dequeue returned %u with %u entries waiting", rc,
                 intermediateCount());
            return;
        }
        checkBlob("intermediate dequeue", pData, length, model_[finalCount_]);
        finalCount_++;
        result_.dequeuedIntermediate++;
    }

    void dequeueFinal()
    {
        void *pData = nullptr;
        U32 length = 0;
        const bool wantData = uniform() < 0.8, wantLength = uniform() < 0.8;
        const U32 rc = CircularQueueDequeueFinal(buf(), wantData ? &pData : nullptr,
                                                 wantLength ? &length : nullptr);
        if (finalCount_ == 0) {
            if (rc != PACKETERR_QUEUE_EMPTY)
                fail("final dequeue of an empty final queue returned %u", rc);
            result_.emptyFinal++;
            expectUnchanged("final dequeue");
            return;
        }
        if (rc != PACKET_SUCCESS) {
            fail("final dequeue returned %u with %u entries to release", rc, finalCount_);
            return;
        }
        const ModelBlob expected = model_.front();
        if (wantData && wantLength)
            checkBlob("final dequeue", pData, length, expected);
        else if (wantLength && length != expected.length)
            fail("final dequeue reported %u bytes, model expects %u", length, expected.length);
        model_.pop_front();
        finalCount_--;
        result_.released++;
        result_.bytesReleased += expected.length;
    }

    /* Calls with a missing argument: PACKETERR_D_BAD_PARMS and nothing changed. */
    void badCall()
    {
        void *pData = nullptr;
        U32 length = 0;
        U32 rc = PACKET_SUCCESS;
        const char *what = "";
        switch (pick(0, 4)) {
        case 0:
            what = "enqueue of 0 bytes";
            rc = CircularQueueEnqueue(buf(), source_.data(), 0, &pData);
            break;
        case 1:
            what = "intermediate dequeue without ppData";
            rc = CircularQueueDequeueIntermediate(buf(), nullptr, &length);
            break;
        case 2:
            what = "intermediate dequeue without pLength";
            rc = CircularQueueDequeueIntermediate(buf(), &pData, nullptr);
            break;
        case 3:
            what = "largest free block without puLength";
            rc = CircularQueueLargestFreeBlock(buf(), nullptr);
            break;
        default:
            what = "enqueue into a null buffer";
            rc = CircularQueueEnqueue(nullptr, source_.data(), 8, &pData);
            break;
        }
        if (rc != PACKETERR_D_BAD_PARMS)
            fail("%s returned %u", what, rc);
        result_.badParms++;
        expectUnchanged(what);
    }

    void checkAfter(bool checkContents)
    {
        QueueLayout layout;
        const std::string problem = CheckQueueInvariants(buf(), L(), &layout);
        if (!problem.empty()) {
            fail("invariant broken: %s", problem.c_str());
            return;
        }
        if (layout.entries.size() != model_.size() || layout.ulFinalCount != finalCount_) {
            fail("queue holds %zu entries (%u final), model %zu (%u final)", layout.entries.size(),
                 layout.ulFinalCount, model_.size(), finalCount_);
            return;
        }
        for (size_t i = 0; i < model_.size(); i++) {
            const HeldEntry &e = layout.entries[i];
            if (e.ulBlobLength != model_[i].length) {
                fail("entry %u holds %u bytes, model expects %u", e.ulEntryOffset, e.ulBlobLength,
                     model_[i].length);
                return;
            }
            if (checkContents && patternMismatch(buffer_.data() + e.ulBlobOffset, model_[i].seq,
                                                 e.ulBlobLength) >= 0) {
                fail("held blob of entry %u was overwritten", e.ulEntryOffset);
                return;
            }
        }
        const U32 count = static_cast<U32>(model_.size());
        if (CircularQueueLength(buf()) != count || CircularQueueFinalLength(buf()) != finalCount_ ||
            CircularQueueIntermediateLength(buf()) != count - finalCount_ ||
            CircularQueueIsEmpty(buf()) != (count == 0) ||
            CircularQueueIsFinalEmpty(buf()) != (finalCount_ == 0) ||
            CircularQueueIsIntermediateEmpty(buf()) != (count == finalCount_) ||
            CircularQueueBufferSize(buf()) != L()) {
            fail("a query disagrees with the model (%u entries, %u final)", count, finalCount_);
            return;
        }
        /* The largest free block is a real gap, so it never exceeds the free bytes in total. */
        U32 largest = 0;
        if (CircularQueueLargestFreeBlock(buf(), &largest) != PACKET_SUCCESS) {
            fail("largest free block refused a valid buffer");
            return;
        }
        int64_t modelFree = int64_t{L()} - CQ_DESCRIPTOR_SIZE;
        for (const ModelBlob &b : model_)
            modelFree -= b.length + CQ_QUEUE_ENTRY_SIZE;
        if (largest > modelFree) {
            fail("largest free block %u exceeds the %lld free bytes", largest,
                 static_cast<long long>(modelFree));
            return;
        }
        if (layout.bQueuePoolWrapped && !queuePoolWrapped_)
            result_.queuePoolWraps++;
        if (layout.bDataPoolWrapped && !dataPoolWrapped_)
            result_.dataPoolWraps++;
        queuePoolWrapped_ = layout.bQueuePoolWrapped;
        dataPoolWrapped_ = layout.bDataPoolWrapped;
        if (count > result_.maxEntriesHeld)
            result_.maxEntriesHeld = count;
    }

    void checkGuards()
    {
        const long damaged = buffer_.damagedGuard();
        if (damaged != 0)
            fail("guard byte at buffer offset %ld was written", damaged);
    }

    /* Drains the queue the documented way, then probes the capacity of the empty queue. */
    void drainAndProbe()
    {
        while (ok() && intermediateCount() > 0) {
            result_.operations++;
            snapshot();
            dequeueIntermediate();
            if (ok())
                checkAfter(false);
        }
        while (ok() && finalCount_ > 0) {
            result_.operations++;
            snapshot();
            dequeueFinal();
            if (ok())
                checkAfter(false);
        }
        if (!ok())
            return;
        const QueueDescriptor *pDesc = static_cast<const QueueDescriptor *>(buf());
        if (pDesc->ulQueueHead || pDesc->ulQueueTail || pDesc->ulHighestQueueEntry ||
            pDesc->ulLowestBlobEntry || pDesc->ulIntermediateHead || pDesc->ulFinalHead) {
            fail("drained queue kept an offset");
            return;
        }
        if (L() <= 56) {
            /* Too short for the descriptor, one entry and one byte: nothing ever fits. */
            if (CircularQueueEnqueue(buf(), nullptr, 1, nullptr) != PACKETERR_NO_MEMORY)
                fail("a %u-byte buffer took a blob", L());
            return;
        }
        void *pData = nullptr;
        U32 length = 0;
        if (CircularQueueEnqueue(buf(), nullptr, L() - 55, nullptr) != PACKETERR_NO_MEMORY)
            fail("drained queue took a blob of L - 55 bytes");
        else if (CircularQueueEnqueue(buf(), nullptr, L() - 56, &pData) != PACKET_SUCCESS ||
                 pData != buffer_.data() + 56)
            fail("drained queue refused a blob of L - 56 bytes, or placed it elsewhere than 56");
        else if (CircularQueueDequeueIntermediate(buf(), &pData, &length) != PACKET_SUCCESS ||
                 CircularQueueDequeueFinal(buf(), nullptr, nullptr) != PACKET_SUCCESS ||
                 !CircularQueueIsEmpty(buf()))
            fail("the largest blob did not pass through both phases");
    }

    RandomRunConfig config_;
    GuardedBuffer buffer_;
    std::mt19937_64 rng_;
    std::vector<BYTE> source_;
    U32 maxBlob_ = 1;
    std::deque<ModelBlob> model_; /* oldest first; the first finalCount_ are in the final queue */
    U32 finalCount_ = 0;
    uint64_t nextSeq_ = 1;
    BYTE descriptorBefore_[sizeof(QueueDescriptor)] = {};
    bool wholeSnapshot_ = false;
    std::vector<BYTE> bufferBefore_;
    bool queuePoolWrapped_ = false;
    bool dataPoolWrapped_ = false;
    RandomRunResult result_;
};

} // namespace

RandomRunResult RunAgainstModel(const RandomRunConfig &config)
{
    if (config.ulBufferLength <= CQ_DESCRIPTOR_SIZE) {
        RandomRunResult result;
        result.disagreement = "buffer length must be at least 49";
        return result;
    }
    return Run(config).run();
}

} // namespace queuecheck
