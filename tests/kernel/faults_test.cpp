/*
 * Fault injection: the nth call of each kind fails, the others do not, and "always" holds
 * until cleared.
 */
#include <sys/kmem.h>
#include <sys/stream.h>
#include <sys/umem.h>

#include <gtest/gtest.h>

#include "faults.h"
#include "nvx_testing.h"

#include <functional>
#include <vector>

using platform::faults::Kind;

namespace
{

// One allocation of a kind: true if it succeeded (and it is freed again).
struct KindCase {
    const char *name;
    Kind kind;
    std::function<bool()> attempt;
};

std::vector<KindCase> kind_cases()
{
    return {
        {"kmem_zalloc", Kind::kmem_nosleep,
         [] {
             void *p = kmem_zalloc(16, KM_NOSLEEP);
             kmem_free(p, 16);
             return p != nullptr;
         }},
        {"kmem_alloc", Kind::kmem_nosleep,
         [] {
             void *p = kmem_alloc(16, KM_NOSLEEP);
             kmem_free(p, 16);
             return p != nullptr;
         }},
        {"allocb", Kind::allocb,
         [] {
             mblk_t *mp = allocb(16, BPRI_MED);
             freemsg(mp);
             return mp != nullptr;
         }},
        {"ddi_umem_alloc", Kind::umem,
         [] {
             ddi_umem_cookie_t c = nullptr;
             void *p = ddi_umem_alloc(16, DDI_UMEM_NOSLEEP, &c);
             ddi_umem_free(c);
             return p != nullptr;
         }},
    };
}

TEST(Faults, NthCallOfEachKindFails)
{
    platform::faults::Scope scope;
    for (const KindCase &c : kind_cases()) {
        SCOPED_TRACE(c.name);
        platform::faults::fail_nth(c.kind, 3);
        EXPECT_TRUE(c.attempt());
        EXPECT_TRUE(c.attempt());
        EXPECT_FALSE(c.attempt()) << "third call";
        EXPECT_TRUE(c.attempt()) << "disarmed after it fired";
        EXPECT_EQ(platform::faults::injected(c.kind), 1u);
        platform::faults::reset();
    }
}

TEST(Faults, AlwaysUntilCleared)
{
    platform::faults::Scope scope;
    for (const KindCase &c : kind_cases()) {
        SCOPED_TRACE(c.name);
        platform::faults::fail_always(c.kind);
        EXPECT_FALSE(c.attempt());
        EXPECT_FALSE(c.attempt());
        platform::faults::clear(c.kind);
        EXPECT_TRUE(c.attempt());
    }
}

TEST(Faults, KindsAreIndependentAndSleepingKmemNeverFails)
{
    platform::faults::Scope scope;
    platform::faults::fail_always(Kind::kmem_nosleep);
    void *p = kmem_alloc(8, KM_SLEEP);
    EXPECT_NE(p, nullptr);
    kmem_free(p, 8);
    mblk_t *mp = allocb(8, BPRI_MED);
    EXPECT_NE(mp, nullptr);
    freemsg(mp);
}

TEST(Faults, AllocbKindCoversTheCallsThatMakeBlocks)
{
    platform::faults::Scope scope;
    mblk_t *mp = platform::testing::make_chain({"ab", "cd"});
    ASSERT_NE(mp, nullptr);
    platform::faults::fail_always(Kind::allocb);
    EXPECT_EQ(dupb(mp), nullptr);
    EXPECT_EQ(copyb(mp), nullptr);
    EXPECT_EQ(dupmsg(mp), nullptr);
    EXPECT_EQ(copymsg(mp), nullptr);
    EXPECT_EQ(pullupmsg(mp, -1), 0);
    EXPECT_EQ(mp->b_datap->db_ref, 1) << "a failed dupb gives its reference back";
    EXPECT_EQ(platform::testing::message_bytes(mp), "abcd");
    platform::faults::clear(Kind::allocb);
    // A failure in the middle of dupmsg frees the part already made (the leak check sees it).
    platform::faults::fail_nth(Kind::allocb, 2);
    EXPECT_EQ(dupmsg(mp), nullptr);
    freemsg(mp);
}

} // namespace
