/*
 * Mutexes and reader/writer locks: the holds and exclusions the driver's lock key relies on.
 */
#include <sys/ksynch.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace
{

// Runs f on another thread and returns its result.
template <typename F> auto on_other_thread(F f)
{
    decltype(f()) result{};
    std::thread t([&] { result = f(); });
    t.join();
    return result;
}

// Polls cond every millisecond for up to five seconds.
template <typename C> bool eventually(C cond)
{
    for (int i = 0; i < 5000; ++i) {
        if (cond())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return cond();
}

TEST(Mutex, OwnershipAndTryenter)
{
    kmutex_t m;
    mutex_init(&m, nullptr, MUTEX_DRIVER, nullptr);
    EXPECT_FALSE(mutex_owned(&m));
    mutex_enter(&m);
    EXPECT_TRUE(mutex_owned(&m));
    EXPECT_FALSE(on_other_thread([&] { return mutex_owned(&m); }));
    EXPECT_EQ(on_other_thread([&] { return mutex_tryenter(&m); }), 0);
    EXPECT_EQ(mutex_tryenter(&m), 0) << "not recursive";
    mutex_exit(&m);
    EXPECT_FALSE(mutex_owned(&m));
    ASSERT_NE(mutex_tryenter(&m), 0);
    EXPECT_TRUE(mutex_owned(&m));
    mutex_exit(&m);
    mutex_destroy(&m);
}

TEST(Mutex, ZeroFilledMutexIsUsable)
{
    kmutex_t m{};
    mutex_enter(&m);
    EXPECT_TRUE(mutex_owned(&m));
    mutex_exit(&m);
    mutex_destroy(&m);
}

TEST(Mutex, ExcludesAnotherThread)
{
    kmutex_t m;
    mutex_init(&m, nullptr, MUTEX_DRIVER, nullptr);
    std::atomic<bool> entered{false};
    mutex_enter(&m);
    std::thread t([&] {
        mutex_enter(&m);
        entered = true;
        mutex_exit(&m);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(entered.load());
    mutex_exit(&m);
    t.join();
    EXPECT_TRUE(entered.load());
    mutex_destroy(&m);
}

class RwLock : public ::testing::Test
{
  protected:
    void SetUp() override { rw_init(&lock, nullptr, RW_DRIVER, nullptr); }
    void TearDown() override { rw_destroy(&lock); }
    // Whether another thread gets the lock as a reader right now (it lets go at once).
    int other_reader_gets_in()
    {
        return on_other_thread([&] {
            int got = rw_tryenter(&lock, RW_READER);
            if (got)
                rw_exit(&lock);
            return got;
        });
    }
    krwlock_t lock;
};

TEST_F(RwLock, ReadersShareAndExcludeWriters)
{
    rw_enter(&lock, RW_READER);
    EXPECT_TRUE(rw_read_locked(&lock));
    EXPECT_FALSE(rw_write_held(&lock));
    EXPECT_NE(other_reader_gets_in(), 0);
    EXPECT_EQ(on_other_thread([&] { return rw_tryenter(&lock, RW_WRITER); }), 0);
    rw_exit(&lock);
    EXPECT_FALSE(rw_read_locked(&lock));
}

TEST_F(RwLock, WriterExcludesEveryone)
{
    rw_enter(&lock, RW_WRITER);
    EXPECT_TRUE(rw_write_held(&lock));
    EXPECT_FALSE(rw_read_locked(&lock));
    EXPECT_EQ(on_other_thread([&] { return rw_tryenter(&lock, RW_READER); }), 0);
    EXPECT_EQ(on_other_thread([&] { return rw_tryenter(&lock, RW_WRITER); }), 0);
    EXPECT_FALSE(on_other_thread([&] { return rw_write_held(&lock) != 0; }));
    rw_exit(&lock);
    EXPECT_FALSE(rw_write_held(&lock));
    ASSERT_NE(rw_tryenter(&lock, RW_WRITER), 0);
    rw_exit(&lock);
}

TEST_F(RwLock, DowngradeLetsReadersInAndKeepsWritersOut)
{
    rw_enter(&lock, RW_WRITER);
    rw_downgrade(&lock);
    EXPECT_FALSE(rw_write_held(&lock));
    EXPECT_TRUE(rw_read_locked(&lock));
    EXPECT_NE(other_reader_gets_in(), 0);
    EXPECT_EQ(on_other_thread([&] { return rw_tryenter(&lock, RW_WRITER); }), 0);
    rw_exit(&lock);
}

TEST_F(RwLock, TryupgradeOnlyForTheSoleReader)
{
    rw_enter(&lock, RW_READER);
    ASSERT_NE(rw_tryupgrade(&lock), 0);
    EXPECT_TRUE(rw_write_held(&lock));
    rw_exit(&lock);

    // With a second reader present the upgrade fails and the caller keeps its reader hold.
    rw_enter(&lock, RW_READER);
    std::atomic<bool> release{false}, holding{false};
    std::thread other([&] {
        rw_enter(&lock, RW_READER);
        holding = true;
        while (!release)
            std::this_thread::yield();
        rw_exit(&lock);
    });
    ASSERT_TRUE(eventually([&] { return holding.load(); }));
    EXPECT_EQ(rw_tryupgrade(&lock), 0);
    EXPECT_FALSE(rw_write_held(&lock));
    EXPECT_TRUE(rw_read_locked(&lock));
    release = true;
    other.join();
    rw_exit(&lock);
}

TEST_F(RwLock, WaitingWriterBlocksNewReaders)
{
    rw_enter(&lock, RW_READER);
    std::atomic<bool> writer_in{false};
    std::thread writer([&] {
        rw_enter(&lock, RW_WRITER);
        writer_in = true;
        rw_exit(&lock);
    });
    // Once the writer waits, a new reader may not slip in ahead of it.
    EXPECT_TRUE(eventually([&] {
        return on_other_thread([&] {
                   int got = rw_tryenter(&lock, RW_READER);
                   if (got)
                       rw_exit(&lock);
                   return got;
               }) == 0;
    }));
    EXPECT_FALSE(writer_in.load());
    rw_exit(&lock);
    writer.join();
    EXPECT_TRUE(writer_in.load());
}

TEST(RwLockZero, ZeroFilledLockIsUsable)
{
    krwlock_t lock{};
    rw_enter(&lock, RW_READER);
    rw_exit(&lock);
    rw_enter(&lock, RW_WRITER);
    rw_exit(&lock);
    rw_destroy(&lock);
}

TEST(LockSizes, AsOnTheTarget)
{
    EXPECT_EQ(sizeof(kmutex_t), 8u);
    EXPECT_EQ(sizeof(krwlock_t), sizeof(void *));
    EXPECT_EQ(RW_WRITER, 0);
    EXPECT_EQ(RW_READER, 1);
    EXPECT_EQ(MUTEX_DRIVER, 4);
}

} // namespace
