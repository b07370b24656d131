/*
 * kmem and umem: zeroing, rounding, accounting, and the checks on free.
 */
#include <sys/kmem.h>
#include <sys/mman.h>
#include <sys/umem.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "accounting.h"
#include "nvx_testing.h"
#include "umem_internal.h"

#include <cstdint>
#include <cstring>

namespace
{

TEST(Kmem, ZallocIsZeroedAndAccounted)
{
    auto before = platform::accounting::counts();
    auto *p = static_cast<unsigned char *>(kmem_zalloc(1000, KM_NOSLEEP));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(p[i], 0) << i;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
    auto during = platform::accounting::counts();
    EXPECT_EQ(during.kmem_live - before.kmem_live, 1u);
    EXPECT_EQ(during.kmem_live_bytes - before.kmem_live_bytes, 1000u);
    kmem_free(p, 1000);
    EXPECT_EQ(platform::accounting::leaks_since(before), "");
}

TEST(Kmem, ZeroSizeGivesNullAndNullFreeIsIgnored)
{
    EXPECT_EQ(kmem_alloc(0, KM_SLEEP), nullptr);
    EXPECT_EQ(kmem_zalloc(0, KM_NOSLEEP), nullptr);
    kmem_free(nullptr, 0);
}

TEST(Kmem, LeakIsReported)
{
    auto before = platform::accounting::counts();
    void *p = kmem_alloc(24, KM_SLEEP);
    EXPECT_EQ(platform::accounting::leaks_since(before), "1 kmem allocation(s) not freed");
    kmem_free(p, 24);
}

// Death tests fork ("fast" style: the "threadsafe" style's re-execution does not survive
// AddressSanitizer's detect_stack_use_after_return). These programs start no threads.
class KmemMisuse : public ::testing::Test
{
};

TEST_F(KmemMisuse, WrongSizePanics)
{
    EXPECT_DEATH(
        {
            void *p = kmem_alloc(64, KM_SLEEP);
            kmem_free(p, 32);
        },
        "panic: kmem_free: 0x[0-9a-f]+ freed with size 32, allocated with 64");
}

TEST_F(KmemMisuse, ForeignPointerPanics)
{
    EXPECT_DEATH(
        {
            alignas(16) static unsigned char fake[64] = {};
            kmem_free(fake + 16, 8);
        },
        "panic: kmem_free: 0x[0-9a-f]+ is not a kmem block");
}

TEST(Umem, ZeroedPageRoundedAndPageAligned)
{
    struct Case {
        size_t asked, got;
    } cases[] = {{1, 8192}, {8192, 8192}, {8193, 16384}, {100000, 106496}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.asked);
        ddi_umem_cookie_t cookie = nullptr;
        auto *p = static_cast<unsigned char *>(ddi_umem_alloc(c.asked, DDI_UMEM_SLEEP, &cookie));
        ASSERT_NE(p, nullptr);
        ASSERT_NE(cookie, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % PAGESIZE, 0u);
        platform::umem::Backing b = platform::umem::backing(cookie);
        EXPECT_EQ(b.size, c.got);
        EXPECT_EQ(b.kaddr, p);
        EXPECT_EQ(lseek(b.memfd, 0, SEEK_END), static_cast<off_t>(c.got));
        for (size_t i = 0; i < c.got; ++i)
            ASSERT_EQ(p[i], 0) << i;
        EXPECT_EQ(platform::umem::find(p + c.got - 1), cookie);
        EXPECT_EQ(platform::umem::find(p + c.got), nullptr);
        ddi_umem_free(cookie);
    }
}

TEST(Umem, SecondMappingOfTheFileSeesTheSameBytes)
{
    ddi_umem_cookie_t cookie = nullptr;
    auto *k = static_cast<unsigned char *>(ddi_umem_alloc(3 * PAGESIZE, DDI_UMEM_NOSLEEP, &cookie));
    ASSERT_NE(k, nullptr);
    platform::umem::Backing b = platform::umem::backing(cookie);
    auto *u = static_cast<unsigned char *>(
        mmap(nullptr, b.size, PROT_READ | PROT_WRITE, MAP_SHARED, b.memfd, 0));
    ASSERT_NE(u, MAP_FAILED);
    EXPECT_NE(u, k);
    k[5] = 0x11;
    k[2 * PAGESIZE + 7] = 0x22;
    EXPECT_EQ(u[5], 0x11);
    EXPECT_EQ(u[2 * PAGESIZE + 7], 0x22);
    u[100] = 0x33; // and the other way
    EXPECT_EQ(k[100], 0x33);
    munmap(u, b.size);
    ddi_umem_free(cookie);
}

TEST(Umem, ZeroSizeGivesNullAndCountsAreKept)
{
    ddi_umem_cookie_t cookie = reinterpret_cast<ddi_umem_cookie_t>(1);
    EXPECT_EQ(ddi_umem_alloc(0, DDI_UMEM_SLEEP, &cookie), nullptr);
    EXPECT_EQ(cookie, nullptr);
    ddi_umem_free(nullptr);

    auto before = platform::accounting::counts();
    void *p = ddi_umem_alloc(10, DDI_UMEM_SLEEP, &cookie);
    ASSERT_NE(p, nullptr);
    auto during = platform::accounting::counts();
    EXPECT_EQ(during.umem_live - before.umem_live, 1u);
    EXPECT_EQ(during.umem_live_bytes - before.umem_live_bytes, 8192u);
    ddi_umem_free(cookie);
    EXPECT_EQ(platform::accounting::leaks_since(before), "");
}

TEST(Pages, Conversions)
{
    EXPECT_EQ(PAGESIZE, 8192);
    EXPECT_EQ(PAGESHIFT, 13);
    EXPECT_EQ(ptob(3), 24576u);
    EXPECT_EQ(btop(8191), 0u);
    EXPECT_EQ(btop(8192), 1u);
    EXPECT_EQ(btopr(0), 0u);
    EXPECT_EQ(btopr(1), 1u);
    EXPECT_EQ(btopr(8192), 1u);
    EXPECT_EQ(btopr(8193), 2u);
}

} // namespace
