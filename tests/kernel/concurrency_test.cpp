/*
 * The kernel services under concurrent use, as the driver uses them: frames allocated on NIC
 * receive threads and freed on the reader thread, duplicates freed on different threads, the
 * adapter-table lock taken as reader per frame on several threads while a writer changes the
 * table, and a staging/reader hand-off over a mutex and condition variable. Run under
 * ThreadSanitizer; every loop is bounded in count.
 */
#include <sys/ddi.h>
#include <sys/ksynch.h>
#include <sys/stream.h>

#include <gtest/gtest.h>

#include "accounting.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace
{

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kFramesPerProducer = 20000;
#else
constexpr int kFramesPerProducer = 200000;
#endif

// A bounded hand-off between producers and the consumer (the test's own plumbing).
class Channel
{
  public:
    void push(mblk_t *mp)
    {
        std::unique_lock<std::mutex> guard(lock_);
        space_.wait(guard, [this] { return items_.size() < 256; });
        items_.push_back(mp);
        ready_.notify_one();
    }
    mblk_t *pop()
    {
        std::unique_lock<std::mutex> guard(lock_);
        ready_.wait(guard, [this] { return !items_.empty(); });
        mblk_t *mp = items_.front();
        items_.pop_front();
        space_.notify_one();
        return mp;
    }

  private:
    std::mutex lock_;
    std::condition_variable ready_, space_;
    std::deque<mblk_t *> items_;
};

// Every frame carries its producer and sequence number, checked by the freeing thread.
struct Stamp {
    int producer;
    int seq;
};

TEST(MessagesAcrossThreads, AllocatedOnReceiveThreadsFreedOnTheReader)
{
    auto before = platform::accounting::counts();
    constexpr int kProducers = 2;
    Channel channel;
    std::atomic<int> bad{0};
    std::thread consumer([&] {
        int next[kProducers] = {};
        for (int n = 0; n < kProducers * kFramesPerProducer; ++n) {
            mblk_t *mp = channel.pop();
            Stamp s;
            std::memcpy(&s, mp->b_rptr, sizeof s);
            if (s.producer < 0 || s.producer >= kProducers || s.seq != next[s.producer]++)
                ++bad;
            if (MBLKL(mp) < static_cast<long>(sizeof s))
                ++bad;
            freemsg(mp);
        }
    });
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            const size_t sizes[] = {60, 400, 1514, 3000};
            for (int i = 0; i < kFramesPerProducer; ++i) {
                size_t size = sizes[i % 4];
                mblk_t *mp = allocb(size, BPRI_MED);
                if (mp == nullptr) {
                    ++bad;
                    continue;
                }
                Stamp s{p, i};
                std::memset(mp->b_wptr, 0x5a, size);
                std::memcpy(mp->b_wptr, &s, sizeof s);
                mp->b_wptr += size;
                channel.push(mp);
            }
        });
    }
    for (std::thread &t : producers)
        t.join();
    consumer.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(platform::accounting::leaks_since(before), "");
}

TEST(MessagesAcrossThreads, DuplicatesFreedConcurrently)
{
    // Threads are started per round, so a few hundred rounds are enough to race the frees.
    for (int i = 0; i < 300; ++i) {
        mblk_t *mp = allocb(128, BPRI_MED);
        ASSERT_NE(mp, nullptr);
        mp->b_wptr += 64;
        mblk_t *dups[3] = {dupb(mp), dupb(mp), dupb(mp)};
        std::atomic<int> sum{0};
        std::thread a([&] {
            sum += static_cast<int>(MBLKL(dups[0]));
            freeb(dups[0]);
        });
        std::thread b([&] {
            sum += static_cast<int>(MBLKL(dups[1]));
            freeb(dups[1]);
        });
        sum += static_cast<int>(MBLKL(dups[2]));
        freeb(dups[2]);
        freeb(mp);
        a.join();
        b.join();
        ASSERT_EQ(sum.load(), 192);
    }
}

TEST(RwLockUnderLoad, ReadersSeeConsistentStateWhileAWriterChangesIt)
{
    krwlock_t lock;
    rw_init(&lock, nullptr, RW_DRIVER, nullptr);
    // Plain fields: ThreadSanitizer reports any access the lock fails to order.
    struct Table {
        long a = 0;
        long b = 0;
    } table;
    std::atomic<bool> stop{false};
    std::atomic<long> inconsistent{0}, reads{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            for (int i = 0; i < kFramesPerProducer && !stop; ++i) {
                rw_enter(&lock, RW_READER);
                if (table.a != table.b)
                    ++inconsistent;
                rw_exit(&lock);
                ++reads;
            }
        });
    }
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) {
            rw_enter(&lock, RW_WRITER);
            ++table.a;
            ++table.b;
            rw_exit(&lock);
            if (i % 100 == 0) {
                rw_enter(&lock, RW_WRITER);
                rw_downgrade(&lock);
                if (table.a != table.b)
                    ++inconsistent;
                rw_exit(&lock);
            }
        }
    });
    writer.join();
    stop = true;
    for (std::thread &t : readers)
        t.join();
    EXPECT_EQ(inconsistent.load(), 0);
    EXPECT_EQ(table.a, 2000);
    EXPECT_GT(reads.load(), 0);
    rw_destroy(&lock);
}

TEST(MutexAndCondVarUnderLoad, StagingHandsFramesToAWaitingReader)
{
    kmutex_t m;
    kcondvar_t cv;
    mutex_init(&m, nullptr, MUTEX_DRIVER, nullptr);
    cv_init(&cv, nullptr, CV_DRIVER, nullptr);
    constexpr int kProducers = 2;
    const int per_producer = kFramesPerProducer / 10;
    long staged = 0; // guarded by m
    long taken = 0;  // reader thread only
    std::thread reader([&] {
        mutex_enter(&m);
        while (taken < kProducers * per_producer) {
            while (staged == 0)
                (void)cv_timedwait(&cv, &m, ddi_get_lbolt() + 100);
            taken += staged;
            staged = 0;
        }
        mutex_exit(&m);
    });
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&] {
            for (int i = 0; i < per_producer; ++i) {
                mutex_enter(&m);
                ++staged;
                mutex_exit(&m);
                cv_broadcast(&cv);
            }
        });
    }
    for (std::thread &t : producers)
        t.join();
    reader.join();
    EXPECT_EQ(taken, kProducers * per_producer);
    cv_destroy(&cv);
    mutex_destroy(&m);
}

} // namespace
