// The block pool: hand-out order, reuse, exhaustion, the refusals with their console lines, and
// creation under allocation failure.
#include "poolmgt.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "accounting.h"
#include "console_log.h"
#include "debug.h"
#include "faults.h"
#include "packetErrors.h"

namespace
{

std::string hex(const void *p)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%x", AddressAs32(p));
    return text;
}

class PoolTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        before_ = platform::accounting::counts();
        platform::console::take();
    }
    void TearDown() override
    {
        if (pool_ != nullptr) {
            FreePool(pool_);
        }
        _debug(0);
        EXPECT_EQ(platform::accounting::leaks_since(before_), "");
    }
    void make(U32 size, U32 count)
    {
        ASSERT_EQ(AllocatePool(&pool_, size, count), 0);
        platform::console::take();
    }

    PoolHandle pool_ = nullptr;
    platform::accounting::Counts before_;
};

TEST_F(PoolTest, HandsOutBlocksInAddressOrderAndReusesTheLastFreed)
{
    make(8, 4);
    BYTE *blocks[4];
    for (auto &block : blocks) {
        block = static_cast<BYTE *>(AllocateBlock(pool_));
        ASSERT_NE(block, nullptr);
    }
    for (int i = 1; i < 4; i++) {
        EXPECT_EQ(blocks[i], blocks[0] + 8 * i) << "block " << i;
    }
    for (int i = 0; i < 4; i++) {
        for (int b = 0; b < 8; b++) {
            EXPECT_EQ(blocks[i][b], 0) << "a fresh pool is zero-filled";
        }
    }
    EXPECT_EQ(FreeBlock(pool_, blocks[1]), 0);
    EXPECT_EQ(AllocateBlock(pool_), blocks[1]);
    EXPECT_EQ(FreeBlock(pool_, blocks[3]), 0);
    EXPECT_EQ(FreeBlock(pool_, blocks[0]), 0);
    EXPECT_EQ(AllocateBlock(pool_), blocks[0]) << "last in, first out";
    EXPECT_EQ(AllocateBlock(pool_), blocks[3]);
    EXPECT_EQ(platform::console::take(), "");
}

TEST_F(PoolTest, ExhaustedPoolRefusesWithItsAddress)
{
    make(8, 2);
    ASSERT_NE(AllocateBlock(pool_), nullptr);
    ASSERT_NE(AllocateBlock(pool_), nullptr);
    EXPECT_EQ(AllocateBlock(pool_), nullptr);
    EXPECT_EQ(platform::console::take(),
              "ERROR:  block allocation failure; no free space in pool " + hex(pool_) + ".\n");
    EXPECT_EQ(GetBlockCount(pool_), 2u) << "the capacity, not the free count";
}

TEST_F(PoolTest, FreeAllBlocksStartsOverInAddressOrderKeepingContents)
{
    make(16, 3);
    auto *first = static_cast<BYTE *>(AllocateBlock(pool_));
    auto *second = static_cast<BYTE *>(AllocateBlock(pool_));
    ASSERT_NE(second, nullptr);
    first[0] = 0xab;
    ASSERT_EQ(FreeBlock(pool_, first), 0); // the stack now has first on top
    ASSERT_EQ(FreeAllBlocks(pool_), 0);
    EXPECT_EQ(AllocateBlock(pool_), first);
    EXPECT_EQ(AllocateBlock(pool_), second);
    EXPECT_NE(AllocateBlock(pool_), nullptr);
    EXPECT_EQ(AllocateBlock(pool_), nullptr);
    EXPECT_EQ(first[0], 0xab) << "contents are not cleared";
}

TEST_F(PoolTest, FreeBlockRefusesForeignAndMisalignedAddresses)
{
    make(8, 4);
    auto *block = static_cast<BYTE *>(AllocateBlock(pool_));
    ASSERT_NE(block, nullptr);
    platform::console::take();
    BYTE outside = 0;
    struct Case {
        const char *name;
        void *address;
    } cases[] = {
        {"misaligned", block + 3},
        {"one past the area", block + 32},
        {"before the area", block - 8},
        {"unrelated memory", &outside},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(FreeBlock(pool_, c.address), PACKETERR_D_BAD_PARMS) << c.name;
        EXPECT_EQ(platform::console::take(),
                  "ERROR:  unable to free block:  " + hex(c.address) + " is not a valid block.\n")
            << c.name;
    }
    EXPECT_EQ(AllocateBlock(pool_), block + 8) << "refusals change nothing";
}

TEST_F(PoolTest, FreeingMoreThanWasHandedOutIsRefusedButAnswersZero)
{
    make(8, 2);
    auto *block = static_cast<BYTE *>(AllocateBlock(pool_));
    ASSERT_EQ(FreeBlock(pool_, block), 0);
    platform::console::take();
    EXPECT_EQ(FreeBlock(pool_, block), 0);
    EXPECT_EQ(platform::console::take(), "ERROR:  unable to free block " + hex(block) +
                                             " in pool " + hex(pool_) +
                                             "; free-block stack overflow.\n");
    EXPECT_EQ(AllocateBlock(pool_), block);
    EXPECT_EQ(AllocateBlock(pool_), block + 8);
}

TEST_F(PoolTest, NullAndZeroArgumentsAreRefusedWithTheirLines)
{
    PoolHandle untouched = nullptr;
    struct Case {
        const char *name;
        int rc;
        const char *line;
    } cases[] = {
        {"null handle pointer", AllocatePool(nullptr, 8, 4),
         "ERROR:  unable to allocate memory pool; invalid argument.\n"},
        {"zero block size", AllocatePool(&untouched, 0, 4),
         "ERROR:  unable to allocate memory pool; invalid argument.\n"},
        {"zero count", AllocatePool(&untouched, 8, 0),
         "ERROR:  unable to allocate memory pool; invalid argument.\n"},
        {"free null pool", FreePool(nullptr),
         "ERROR:  unable to free memory pool; invalid argument.\n"},
        {"free block of null pool", FreeBlock(nullptr, &untouched),
         "ERROR:  unable to free block; invalid argument.\n"},
        {"free all of null pool", FreeAllBlocks(nullptr),
         "ERROR:  unable to free pool blocks; invalid argument.\n"},
        {"block count of null pool", static_cast<int>(GetBlockCount(nullptr)),
         "ERROR:  unable to get block count; invalid argument.\n"},
    };
    // Each case's line was printed when its call ran, in table order.
    std::string expected;
    for (const Case &c : cases) {
        EXPECT_EQ(c.rc, PACKETERR_D_BAD_PARMS) << c.name;
        expected += c.line;
    }
    EXPECT_EQ(AllocateBlock(nullptr), nullptr);
    expected += "ERROR:  block allocation failure; invalid argument.\n";
    EXPECT_EQ(platform::console::take(), expected);
    EXPECT_EQ(untouched, nullptr);

    make(8, 1);
    EXPECT_EQ(FreeBlock(pool_, nullptr), PACKETERR_D_BAD_PARMS);
    EXPECT_EQ(platform::console::take(), "ERROR:  unable to free block; invalid argument.\n");
}

TEST_F(PoolTest, FreePoolWarnsAboutBlocksStillHandedOut)
{
    make(8, 4);
    ASSERT_NE(AllocateBlock(pool_), nullptr);
    ASSERT_NE(AllocateBlock(pool_), nullptr);
    ASSERT_NE(AllocateBlock(pool_), nullptr);
    const std::string address = hex(pool_);
    EXPECT_EQ(FreePool(pool_), 0);
    pool_ = nullptr;
    EXPECT_EQ(platform::console::take(),
              "WARNING:  freed pool " + address + " contains 3 unfreed blocks.\n");
}

TEST_F(PoolTest, InfoLinesAreTracedAtLevel128Only)
{
    _debug(1);
    _dsetlevel(POOL_TRACE_LEVEL, 2);
    ASSERT_EQ(AllocatePool(&pool_, 8, 2), 0);
    std::string log = platform::console::take();
    EXPECT_NE(log.find("INFO:  allocated pool " + hex(pool_) + ".\n"), std::string::npos) << log;
    EXPECT_NE(log.find("; blocksize = 8, count = 2.\n"), std::string::npos) << log;
    void *block = AllocateBlock(pool_);
    EXPECT_EQ(platform::console::take(),
              "INFO:  allocated block " + hex(block) + " in pool " + hex(pool_) + ".\n");
    FreeBlock(pool_, block);
    EXPECT_EQ(platform::console::take(),
              "INFO:  freed block " + hex(block) + " in pool " + hex(pool_) + ".\n");

    _dsetlevel(2, 2);
    block = AllocateBlock(pool_);
    FreeBlock(pool_, block);
    EXPECT_EQ(platform::console::take(), "") << "other levels do not show pool lines";
}

TEST_F(PoolTest, CreationFailsCleanlyWhenAnyAllocationFails)
{
    platform::faults::Scope faults;
    for (unsigned n = 1; n <= 3; n++) {
        platform::faults::fail_nth(platform::faults::Kind::kmem_nosleep, n);
        PoolHandle pool = nullptr;
        EXPECT_EQ(AllocatePool(&pool, 8, 32), PACKETERR_NO_MEMORY) << "allocation " << n;
        EXPECT_EQ(pool, nullptr) << "allocation " << n;
        EXPECT_EQ(platform::accounting::leaks_since(before_), "") << "allocation " << n;
    }
    platform::faults::reset();
    make(8, 32);
    EXPECT_EQ(GetBlockCount(pool_), 32u);
}

} // namespace
