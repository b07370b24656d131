/*
 * Lock misuse panics, as on the target, instead of deadlocking or corrupting.
 */
#include <sys/ksynch.h>

#include <gtest/gtest.h>

#include "clock.h"

namespace
{

// Death tests fork ("fast" style: the "threadsafe" style's re-execution does not survive
// AddressSanitizer's detect_stack_use_after_return). These programs start no threads.
class LockMisuse : public ::testing::Test
{
};

TEST_F(LockMisuse, RecursiveMutexEnterPanics)
{
    EXPECT_DEATH(
        {
            kmutex_t m{};
            mutex_enter(&m);
            mutex_enter(&m);
        },
        "panic: mutex_enter: recursive entry");
}

TEST_F(LockMisuse, MutexExitWithoutHoldingPanics)
{
    EXPECT_DEATH(
        {
            kmutex_t m{};
            mutex_exit(&m);
        },
        "panic: mutex_exit: mutex 0x[0-9a-f]+ not held by the caller");
}

TEST_F(LockMisuse, RwExitWithoutHoldingPanics)
{
    EXPECT_DEATH(
        {
            krwlock_t l{};
            rw_exit(&l);
        },
        "panic: rw_exit: rwlock 0x[0-9a-f]+ not held");
}

TEST_F(LockMisuse, RecursiveWriterPanics)
{
    EXPECT_DEATH(
        {
            krwlock_t l{};
            rw_enter(&l, RW_WRITER);
            rw_enter(&l, RW_READER);
        },
        "already held as writer");
}

TEST_F(LockMisuse, CvWaitWithoutTheMutexPanics)
{
    EXPECT_DEATH(
        {
            kmutex_t m{};
            kcondvar_t cv{};
            cv_wait(&cv, &m);
        },
        "panic: cv_wait: mutex 0x[0-9a-f]+ not held");
}

TEST_F(LockMisuse, ManualAdvanceOnTheRealClockPanics)
{
    EXPECT_DEATH(platform::clock::advance(1), "advance needs the manual clock");
}

} // namespace
