// A caller of one word size against a host of the other: this test program against the
// streamhost and test driver of the other tree (build/64 for build/32 and the reverse, or
// $NVX_PEER_TREE). scripts/test.sh builds the 64-bit tree before the 32-bit one, so the
// 32-bit tree's run always finds the 64-bit host; the 64-bit tree's run finds the 32-bit one
// only when that tree was built before. Without it the test is skipped and says why.
#include "host_process.h"
#include "scenarios.h"

#include "nvx_user.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sys/stat.h>

using namespace hosttest;

namespace
{

// ELF class of a file: 1 (32-bit), 2 (64-bit), 0 unreadable.
int elf_class(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    unsigned char ident[5] = {};
    if (!in.read(reinterpret_cast<char *>(ident), sizeof ident) || std::memcmp(ident,
                                                                               "\x7f"
                                                                               "ELF",
                                                                               4))
        return 0;
    return ident[4];
}

std::string peer_tree()
{
    if (const char *e = std::getenv("NVX_PEER_TREE"); e && *e)
        return e;
    return NVX_PEER_TREE;
}

} // namespace

class CrossModelTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        std::string tree = peer_tree();
        std::string exe = tree + "/platform/host/streamhost";
        std::string kobj = tree + "/tests/host/thost.so";
        int mine = sizeof(void *) == 8 ? 2 : 1;
        int theirs = elf_class(exe);
        if (tree.empty() || theirs == 0 || elf_class(kobj) != theirs)
            GTEST_SKIP() << "no host of the other word size: build the other tree first (or "
                            "set NVX_PEER_TREE); looked for "
                         << exe << " and " << kobj;
        if (theirs == mine)
            GTEST_SKIP() << exe << " has this test's own word size";
        ASSERT_TRUE(host.start(exe, {"--modload", kobj})) << host.error();
        started = true;
    }
    void TearDown() override
    {
        if (started) {
            EXPECT_EQ(host.stop(), 0) << host.output();
        }
    }
    HostProcess host;
    bool started = false;
};

TEST_F(CrossModelTest, CallerOfTheOtherWordSizeIsServedInItsOwnModel)
{
    check_clone_opens(); // the driver sees this caller's data model in ioc_flag
    check_ioctl_ack_and_nak();
    check_putmsg_blocks();
    check_signal_ends_wait();
    check_mapping();
    check_sad(host);
}
