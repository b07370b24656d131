/*
 * Message calls: the fields and sharing rules the driver relies on; the accounting and the
 * per-test leak check built on it.
 */
#include <sys/kmem.h>
#include <sys/stream.h>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "accounting.h"
#include "leak_check.h"
#include "nvx_testing.h"

#include <cstdint>
#include <cstring>

using platform::testing::block_count;
using platform::testing::make_chain;
using platform::testing::make_message;
using platform::testing::message_bytes;

namespace
{

TEST(Allocb, FieldsOfAFreshBlockForEverySizeClass)
{
    // Sizes at and around each cache class edge, and one from the host allocator.
    const size_t sizes[] = {0, 1, 127, 128, 129, 512, 513, 2047, 2048, 2049, 65536};
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        mblk_t *mp = allocb(size, BPRI_HI);
        ASSERT_NE(mp, nullptr);
        dblk_t *db = mp->b_datap;
        ASSERT_NE(db, nullptr);
        EXPECT_GE(static_cast<size_t>(db->db_lim - db->db_base), size);
        EXPECT_EQ(mp->b_rptr, db->db_base);
        EXPECT_EQ(mp->b_wptr, db->db_base);
        EXPECT_EQ(db->db_type, M_DATA);
        EXPECT_EQ(db->db_ref, 1);
        EXPECT_EQ(mp->b_cont, nullptr);
        EXPECT_EQ(mp->b_next, nullptr);
        EXPECT_EQ(mp->b_prev, nullptr);
        EXPECT_EQ(mp->b_band, 0);
        EXPECT_EQ(mp->b_flag, 0);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(db->db_base) % 8, 0u) << "buffer alignment";
        // The whole requested size is writable (AddressSanitizer checks the bounds).
        std::memset(mp->b_wptr, 0xa5, size);
        mp->b_wptr += size;
        EXPECT_EQ(msgdsize(mp), size);
        freeb(mp);
    }
}

TEST(Allocb, ReusedBlockIsResetAfterAFree)
{
    mblk_t *mp = allocb(100, BPRI_MED);
    ASSERT_NE(mp, nullptr);
    mp->b_datap->db_type = M_PROTO;
    mp->b_band = 3;
    mp->b_flag = MSGMARK;
    mp->b_wptr += 10;
    freeb(mp);
    // The per-thread cache hands out the same object again: nothing of its past may show.
    mblk_t *again = allocb(100, BPRI_MED);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->b_datap->db_type, M_DATA);
    EXPECT_EQ(again->b_band, 0);
    EXPECT_EQ(again->b_flag, 0);
    EXPECT_EQ(again->b_wptr, again->b_rptr);
    EXPECT_EQ(again->b_datap->db_ref, 1);
    freeb(again);
}

TEST(Dupb, SharesTheDataBlockUntilTheLastReferenceGoes)
{
    mblk_t *mp = make_message("abcdef");
    ASSERT_NE(mp, nullptr);
    mp->b_band = 2;
    mp->b_flag = MSGDELIM;
    mblk_t *dup = dupb(mp);
    ASSERT_NE(dup, nullptr);
    EXPECT_NE(dup, mp);
    EXPECT_EQ(dup->b_datap, mp->b_datap);
    EXPECT_EQ(mp->b_datap->db_ref, 2);
    EXPECT_EQ(dup->b_rptr, mp->b_rptr);
    EXPECT_EQ(dup->b_wptr, mp->b_wptr);
    EXPECT_EQ(dup->b_band, 2);
    EXPECT_EQ(dup->b_flag, MSGDELIM);
    EXPECT_EQ(dup->b_cont, nullptr);
    mp->b_rptr[0] = 'X'; // writes through one are seen through the other
    EXPECT_EQ(message_bytes(dup), "Xbcdef");

    // Free the original first: the duplicate keeps the data alive.
    freeb(mp);
    EXPECT_EQ(dup->b_datap->db_ref, 1);
    EXPECT_EQ(message_bytes(dup), "Xbcdef");
    freeb(dup);
}

TEST(Dupb, RefusesBeyondTheReferenceMaximum)
{
    mblk_t *mp = make_message("x");
    ASSERT_NE(mp, nullptr);
    std::vector<mblk_t *> dups;
    for (int i = 1; i < 255; ++i) {
        mblk_t *d = dupb(mp);
        ASSERT_NE(d, nullptr) << i;
        dups.push_back(d);
    }
    EXPECT_EQ(mp->b_datap->db_ref, 255);
    EXPECT_EQ(dupb(mp), nullptr);
    for (mblk_t *d : dups)
        freeb(d);
    EXPECT_EQ(mp->b_datap->db_ref, 1);
    freeb(mp);
}

TEST(Dupmsg, DuplicatesEveryBlockSharingData)
{
    mblk_t *mp = make_chain({"ab", "cd", "ef"});
    ASSERT_NE(mp, nullptr);
    mblk_t *dup = dupmsg(mp);
    ASSERT_NE(dup, nullptr);
    EXPECT_EQ(block_count(dup), 3);
    for (mblk_t *a = mp, *b = dup; a != nullptr; a = a->b_cont, b = b->b_cont) {
        EXPECT_EQ(a->b_datap, b->b_datap);
        EXPECT_EQ(a->b_datap->db_ref, 2);
    }
    freemsg(mp);
    EXPECT_EQ(message_bytes(dup), "abcdef");
    freemsg(dup);
}

TEST(Copyb, PrivateCopyKeepsOffsetTypeBandAndFlags)
{
    mblk_t *mp = allocb(64, BPRI_MED);
    ASSERT_NE(mp, nullptr);
    mp->b_rptr += 5;
    mp->b_wptr = mp->b_rptr;
    std::memcpy(mp->b_wptr, "hello", 5);
    mp->b_wptr += 5;
    mp->b_datap->db_type = M_PROTO;
    mp->b_band = 7;
    mp->b_flag = MSGMARK;
    mblk_t *copy = copyb(mp);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy->b_datap, mp->b_datap);
    EXPECT_EQ(copy->b_datap->db_ref, 1);
    EXPECT_EQ(copy->b_datap->db_type, M_PROTO);
    EXPECT_EQ(copy->b_rptr - copy->b_datap->db_base, 5);
    EXPECT_EQ(copy->b_datap->db_lim - copy->b_datap->db_base,
              mp->b_datap->db_lim - mp->b_datap->db_base);
    EXPECT_EQ(copy->b_band, 7);
    EXPECT_EQ(copy->b_flag, MSGMARK);
    mp->b_rptr[0] = 'J';
    EXPECT_EQ(message_bytes(copy), "hello");
    freeb(mp);
    freeb(copy);
}

TEST(Copymsg, CopiesEveryBlock)
{
    mblk_t *mp = make_chain({"12", "345"});
    ASSERT_NE(mp, nullptr);
    mblk_t *copy = copymsg(mp);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(block_count(copy), 2);
    EXPECT_NE(copy->b_cont->b_datap, mp->b_cont->b_datap);
    freemsg(mp);
    EXPECT_EQ(message_bytes(copy), "12345");
    freemsg(copy);
}

TEST(Msgdsize, CountsDataBlocksOnly)
{
    mblk_t *mp = make_message("PROTOHDR", M_PROTO);
    ASSERT_NE(mp, nullptr);
    linkb(mp, make_message("0123456789"));
    linkb(mp, make_message("CTL", M_CTL));
    linkb(mp, make_message("abc"));
    EXPECT_EQ(msgdsize(mp), 13u);
    EXPECT_EQ(msgdsize(nullptr), 0u);
    freemsg(mp);
}

TEST(Linkb, AppendsAtTheEndAndUnlinkbDetachesTheRest)
{
    mblk_t *a = make_message("a");
    mblk_t *b = make_message("b");
    mblk_t *c = make_message("c");
    linkb(a, b);
    linkb(a, c);
    EXPECT_EQ(a->b_cont, b);
    EXPECT_EQ(b->b_cont, c);
    mblk_t *rest = unlinkb(a);
    EXPECT_EQ(rest, b);
    EXPECT_EQ(a->b_cont, nullptr);
    EXPECT_EQ(unlinkb(a), nullptr);
    freeb(a);
    freemsg(rest);
}

TEST(Pullupmsg, WholeMessageIntoTheFirstBlock)
{
    mblk_t *mp = make_chain({"ab", "", "cde", "fghij"});
    ASSERT_NE(mp, nullptr);
    ASSERT_EQ(pullupmsg(mp, -1), 1);
    EXPECT_EQ(block_count(mp), 1) << "absorbed blocks are freed";
    EXPECT_EQ(MBLKL(mp), 10);
    EXPECT_EQ(message_bytes(mp), "abcdefghij");
    EXPECT_EQ(mp->b_datap->db_type, M_DATA);
    freemsg(mp);
}

TEST(Pullupmsg, PrefixLeavesTheRestInPlace)
{
    mblk_t *mp = make_chain({"ab", "cdef", "gh"});
    ASSERT_NE(mp, nullptr);
    mblk_t *first = mp;
    ASSERT_EQ(pullupmsg(mp, 4), 1);
    EXPECT_EQ(mp, first) << "the first mblk is kept";
    EXPECT_GE(MBLKL(mp), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(mp->b_rptr), 4), "abcd");
    EXPECT_EQ(message_bytes(mp), "abcdefgh");
    freemsg(mp);
}

TEST(Pullupmsg, OnlyJoinsBlocksOfTheFirstBlocksType)
{
    mblk_t *mp = make_chain({"P1", "P2"}, M_PROTO);
    ASSERT_NE(mp, nullptr);
    linkb(mp, make_message("data"));
    ASSERT_EQ(pullupmsg(mp, -1), 1);
    EXPECT_EQ(block_count(mp), 2);
    EXPECT_EQ(mp->b_datap->db_type, M_PROTO);
    EXPECT_EQ(MBLKL(mp), 4);
    EXPECT_EQ(mp->b_cont->b_datap->db_type, M_DATA);
    EXPECT_EQ(message_bytes(mp), "P1P2data");
    // Asking for more than the leading M_PROTO blocks hold fails and changes nothing.
    EXPECT_EQ(pullupmsg(mp, 5), 0);
    EXPECT_EQ(message_bytes(mp), "P1P2data");
    freemsg(mp);
}

TEST(Pullupmsg, TooFewBytesFailsAndLeavesTheMessage)
{
    mblk_t *mp = make_chain({"ab", "cd"});
    ASSERT_NE(mp, nullptr);
    EXPECT_EQ(pullupmsg(mp, 5), 0);
    EXPECT_EQ(block_count(mp), 2);
    EXPECT_EQ(message_bytes(mp), "abcd");
    freemsg(mp);
}

TEST(Pullupmsg, MisalignedFirstBlockKeepsAllItsBytes)
{
    mblk_t *mp = allocb(32, BPRI_MED);
    ASSERT_NE(mp, nullptr);
    mp->b_rptr += 1;
    mp->b_wptr = mp->b_rptr;
    std::memcpy(mp->b_wptr, "0123456789", 10);
    mp->b_wptr += 10;
    ASSERT_EQ(pullupmsg(mp, 4), 1);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(mp->b_rptr) % sizeof(long), 0u);
    EXPECT_EQ(message_bytes(mp), "0123456789");
    freemsg(mp);
}

TEST(Pullupmsg, SharedFirstBlockLeavesTheDuplicateUntouched)
{
    mblk_t *mp = make_chain({"ab", "cd"});
    ASSERT_NE(mp, nullptr);
    mblk_t *dup = dupb(mp);
    ASSERT_NE(dup, nullptr);
    ASSERT_EQ(pullupmsg(mp, -1), 1);
    EXPECT_EQ(message_bytes(mp), "abcd");
    EXPECT_EQ(message_bytes(dup), "ab");
    EXPECT_EQ(dup->b_datap->db_ref, 1);
    freemsg(mp);
    freeb(dup);
}

TEST(Freemsg, NullIsIgnored)
{
    freemsg(nullptr);
}

TEST(Accounting, CountsEveryBlockMadeAndFreed)
{
    auto before = platform::accounting::counts();
    mblk_t *mp = make_chain({"a", "b"});
    mblk_t *dup = dupmsg(mp);
    mblk_t *copy = copymsg(mp);
    auto during = platform::accounting::counts();
    EXPECT_EQ(during.msg_allocated - before.msg_allocated, 6u);
    EXPECT_EQ(during.msg_outstanding() - before.msg_outstanding(), 6u);
    EXPECT_NE(platform::accounting::leaks_since(before).find("6 message block(s) not freed"),
              std::string::npos);
    freemsg(mp);
    freemsg(dup);
    freemsg(copy);
    EXPECT_EQ(platform::accounting::leaks_since(before), "");
    EXPECT_EQ(platform::accounting::counts().msg_freed - before.msg_freed, 6u);
}

} // namespace

namespace
{

TEST(LeakCheck, FailsATestThatLeavesABlockOrKmemBehind)
{
    const ::testing::TestInfo &info = *::testing::UnitTest::GetInstance()->current_test_info();
    platform::testing::LeakCheck check;
    check.OnTestStart(info);
    mblk_t *mp = allocb(10, BPRI_MED);
    void *p = kmem_alloc(8, KM_SLEEP);
    EXPECT_NONFATAL_FAILURE(check.OnTestEnd(info),
                            "leaked by this test: 1 message block(s) not freed; 1 kmem");
    freeb(mp);
    kmem_free(p, 8);
    check.OnTestStart(info);
    check.OnTestEnd(info); // nothing outstanding: no failure
}

} // namespace
