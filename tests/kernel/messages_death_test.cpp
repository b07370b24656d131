/*
 * Misuse of message blocks is caught loudly: a panic on the console, never silence.
 */
#include <sys/kmem.h>
#include <sys/stream.h>

#include <gtest/gtest.h>

#include "nvx_testing.h"

#include <cstring>
#include <new>

namespace
{

// Death tests fork ("fast" style: the "threadsafe" style's re-execution does not survive
// AddressSanitizer's detect_stack_use_after_return). These programs start no threads.
class MessageMisuse : public ::testing::Test
{
};

TEST_F(MessageMisuse, DoubleFreePanics)
{
    EXPECT_DEATH(
        {
            mblk_t *mp = allocb(10, BPRI_MED);
            freeb(mp);
            freeb(mp);
        },
        "panic: freeb: message block 0x[0-9a-f]+ already freed");
}

TEST_F(MessageMisuse, FreeOfTheOriginalTwiceWhileADuplicateLivesPanics)
{
    // The data block is still alive (the duplicate holds it), so only the state word can tell.
    EXPECT_DEATH(
        {
            mblk_t *mp = allocb(10, BPRI_MED);
            mblk_t *dup = dupb(mp);
            freeb(mp);
            freeb(mp);
            freeb(dup);
        },
        "already freed");
}

TEST_F(MessageMisuse, FreeOfSomethingThatIsNoBlockPanics)
{
    EXPECT_DEATH(
        {
            // A zeroed record placed where a block's header would be readable.
            alignas(16) static unsigned char fake[16 + sizeof(mblk_t)] = {};
            freeb(reinterpret_cast<mblk_t *>(fake + 16));
        },
        "panic: freeb: 0x[0-9a-f]+ is not a message block");
}

TEST_F(MessageMisuse, DupOfAFreedBlockPanics)
{
    EXPECT_DEATH(
        {
            mblk_t *mp = allocb(10, BPRI_MED);
            freeb(mp);
            (void)dupb(mp);
        },
        "dupb: message block 0x[0-9a-f]+ already freed");
}

TEST_F(MessageMisuse, FreeOfNullBlockPanics)
{
    EXPECT_DEATH(freeb(nullptr), "freeb: NULL message block");
}

} // namespace
