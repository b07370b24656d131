// send_reset on a module instance between an upper neighbour and an interface driver: one reset
// up, one down, the held frame left to the caller; flow control, refusals and allocation
// failures.
#include "module_stack.h"
#include "tcp_frame.h"

#include "socketif.h"

#include "console_log.h"
#include "debug.h"
#include "faults.h"

#include <gtest/gtest.h>

#include <cstring>

namespace
{

using nvxtest::held_message;
using nvxtest::ModuleStack;
using nvxtest::TcpFrame;

class SendReset : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        _debug(0);
        _dsetlevel(0, 1);
        platform::console::take();
    }
    void TearDown() override
    {
        _debug(0);
        _dsetlevel(0, 1);
    }

    static void free_all(std::vector<mblk_t *> v)
    {
        for (mblk_t *mp : v)
            freemsg(mp);
    }

    ModuleStack stack{"hme"};
};

uint32_t be32(const unsigned char *p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

TEST_F(SendReset, OneResetUpTheStackAndOneDownToTheInterface)
{
    const TcpFrame f;
    mblk_t *held = held_message(f.bytes(), DIR_INBOUND);
    ASSERT_NE(held, nullptr);
    const std::string before = nvxtest::bytes_of(held);

    _debug(1);
    _dsetlevel(512, 2);
    EXPECT_EQ(send_reset(stack.rq(), held, DIR_INBOUND), 1);
    _debug(0);
    const std::string log = platform::console::take();
    EXPECT_NE(log.find("<<< INBOUND RESET >>>\n"), std::string::npos);
    EXPECT_NE(log.find("<<< OUTBOUND RESET >>>\n"), std::string::npos);
    EXPECT_NE(log.find("dir=1\n"), std::string::npos);
    EXPECT_NE(log.find("MBLK("), std::string::npos) << "level 512 dumps the messages";

    std::vector<mblk_t *> up = stack.take_up();
    std::vector<mblk_t *> down = stack.take_down();
    ASSERT_EQ(up.size(), 1u);
    ASSERT_EQ(down.size(), 1u);
    // Up: 40 bytes from the IP header, the held frame's addressing (towards the local stack).
    EXPECT_EQ(MBLKL(up[0]), 40);
    EXPECT_EQ(be32(up[0]->b_rptr + 12), f.src_ip);
    EXPECT_EQ(be32(up[0]->b_rptr + 20 + 4), f.seq);
    // Down: 54 bytes from the Ethernet header, turned, acknowledgement of the held frame's ACK.
    EXPECT_EQ(MBLKL(down[0]), 54);
    EXPECT_EQ(be32(down[0]->b_rptr + 26), f.dst_ip);
    EXPECT_EQ(be32(down[0]->b_rptr + 38), f.ack);
    EXPECT_EQ(nvxtest::bytes_of(held), before) << "the held frame stays the caller's";
    free_all(up);
    free_all(down);
    freemsg(held);
}

TEST_F(SendReset, HeadersSplitOverBlocksArePulledUp)
{
    const TcpFrame f;
    const std::vector<uint8_t> bytes = f.bytes();
    // Outbound: link header, then IP and TCP headers in separate blocks.
    mblk_t *link =
        held_message(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 14), DIR_OUTBOUND);
    mblk_t *ip =
        held_message(std::vector<uint8_t>(bytes.begin() + 14, bytes.begin() + 30), DIR_OUTBOUND);
    mblk_t *rest =
        held_message(std::vector<uint8_t>(bytes.begin() + 30, bytes.end()), DIR_OUTBOUND);
    ASSERT_TRUE(link && ip && rest);
    link->b_cont = ip;
    ip->b_cont = rest;
    EXPECT_EQ(send_reset(stack.wq(), link, DIR_OUTBOUND), 1);
    EXPECT_EQ(nvxtest::bytes_of(link), std::string(bytes.begin(), bytes.end()));
    std::vector<mblk_t *> up = stack.take_up();
    std::vector<mblk_t *> down = stack.take_down();
    ASSERT_EQ(up.size(), 1u);
    ASSERT_EQ(down.size(), 1u);
    EXPECT_EQ(be32(up[0]->b_rptr + 20 + 4), f.ack)
        << "inbound reset is turned for an outbound frame";
    EXPECT_EQ(be32(down[0]->b_rptr + 38), f.seq);
    free_all(up);
    free_all(down);
    freemsg(link);

    // When the pull-up fails the headers stay split: no reset.
    platform::faults::Scope faults;
    mblk_t *a = held_message(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 14), DIR_OUTBOUND);
    mblk_t *b = held_message(std::vector<uint8_t>(bytes.begin() + 14, bytes.end()), DIR_OUTBOUND);
    ASSERT_TRUE(a && b);
    a->b_cont = b;
    platform::faults::fail_nth(platform::faults::Kind::allocb, 1);
    EXPECT_EQ(send_reset(stack.wq(), a, DIR_OUTBOUND), 0);
    EXPECT_TRUE(stack.take_up().empty());
    EXPECT_TRUE(stack.take_down().empty());
    freemsg(a);
}

TEST_F(SendReset, FlowControlledSideFreesItsResetAndTheOtherIsSent)
{
    mblk_t *held = held_message(TcpFrame{}.bytes(), DIR_INBOUND);
    ASSERT_NE(held, nullptr);
    stack.set_upper_full(true);
    EXPECT_EQ(send_reset(stack.rq(), held, DIR_INBOUND), 1);
    EXPECT_TRUE(stack.take_up().empty());
    std::vector<mblk_t *> down = stack.take_down();
    EXPECT_EQ(down.size(), 1u);
    free_all(down);
    stack.set_upper_full(false);

    stack.set_driver_full(true);
    EXPECT_EQ(send_reset(stack.rq(), held, DIR_INBOUND), 1);
    std::vector<mblk_t *> up = stack.take_up();
    EXPECT_EQ(up.size(), 1u);
    EXPECT_TRUE(stack.take_down().empty());
    free_all(up);
    stack.set_driver_full(false);
    freemsg(held);
}

TEST_F(SendReset, NoResetForProtocolMessagesRefusedFramesOrFailedAllocations)
{
    platform::faults::Scope faults;
    mblk_t *held = held_message(TcpFrame{}.bytes(), DIR_INBOUND);
    ASSERT_NE(held, nullptr);

    held->b_datap->db_type = M_PROTO;
    _debug(1);
    _dsetlevel(512, 2);
    EXPECT_EQ(send_reset(stack.rq(), held, DIR_INBOUND), 0);
    EXPECT_EQ(platform::console::take(), "") << "a protocol message is not even traced";
    _debug(0);
    held->b_datap->db_type = M_DATA;

    TcpFrame rst;
    rst.flags = 0x14;
    mblk_t *reset = held_message(rst.bytes(), DIR_INBOUND);
    ASSERT_NE(reset, nullptr);
    EXPECT_EQ(send_reset(stack.rq(), reset, DIR_INBOUND), 0);
    freemsg(reset);

    for (unsigned nth : {1u, 2u}) {
        SCOPED_TRACE(nth);
        platform::faults::fail_nth(platform::faults::Kind::allocb, nth);
        EXPECT_EQ(send_reset(stack.rq(), held, DIR_INBOUND), 0);
        platform::faults::reset();
    }
    EXPECT_TRUE(stack.take_up().empty());
    EXPECT_TRUE(stack.take_down().empty());
    freemsg(held);
}

} // namespace
