#include "frame/builders.h"
#include "frame/ether.h"
#include "test_frames.h"

#include <gtest/gtest.h>

using namespace platform::net;

TEST(Ether, ParsesAndFormatsAddresses)
{
    auto mac = parse_mac("02:0a:FF:00:10:e1");
    ASSERT_TRUE(mac);
    EXPECT_EQ(format_mac(*mac), "02:0a:ff:00:10:e1");
    for (const char *bad :
         {"", "02:0a:ff:00:10", "02-0a-ff-00-10-e1", "02:0a:ff:00:10:eg", "02:0a:ff:00:10:e1:"})
        EXPECT_FALSE(parse_mac(bad)) << bad;
    EXPECT_EQ(parse_ipv4("198.18.0.1"), ipv4(198, 18, 0, 1));
    for (const char *bad : {"198.18.0", "198.18.0.256", "198.18.0.1.", "a.b.c.d", "1..2.3"})
        EXPECT_FALSE(parse_ipv4(bad)) << bad;
}

TEST(Builders, ChecksumsVerifyIndependentlyAndShortFramesArePadded)
{
    MacAddr a{2, 0, 0, 0, 0, 1}, b{2, 0, 0, 0, 0, 2};
    Ipv4Addrs ip{ipv4(198, 18, 0, 1), ipv4(198, 18, 1, 1), 7, 64};
    std::vector<uint8_t> f, odd(3, 0x5a), big(1000, 0xa5);
    build_tcp_frame(f, {b, a}, ip, {1234, 80, 100, 200, kTcpAck | kTcpPsh, 512}, odd);
    EXPECT_EQ(f.size(), kEtherMinFrame); // 14 + 20 + 20 + 3 = 57, padded
    EXPECT_TRUE(nettest::frame_checksums_ok(f));
    EXPECT_EQ(ipv4_l4_verify(f.data() + 14), 0);
    build_tcp_frame(f, {b, a}, ip, {1234, 80, 100, 200, kTcpAck, 512}, big);
    EXPECT_EQ(f.size(), 14u + 20 + 20 + 1000);
    EXPECT_TRUE(nettest::frame_checksums_ok(f));
    f[60] ^= 1; // a corrupted byte must be seen by the independent check
    EXPECT_FALSE(nettest::frame_checksums_ok(f));
    build_udp_frame(f, {b, a}, ip, 5000, 53, odd);
    EXPECT_TRUE(nettest::frame_checksums_ok(f));
    build_icmp_echo_frame(f, {b, a}, ip, 8, 1, 2, odd);
    EXPECT_TRUE(nettest::frame_checksums_ok(f));
    build_arp_frame(f, {kBroadcastMac, a}, 1, a, ip.src, MacAddr{}, ip.dst);
    EXPECT_EQ(f.size(), kEtherMinFrame);
    EXPECT_EQ(get_be16(f.data() + 12), kEtherTypeArp);
    EXPECT_EQ(get_be32(f.data() + 14 + 24), ip.dst);
    EXPECT_EQ(ipv4_multicast_mac(ipv4(224, 0, 0, 251)), (MacAddr{1, 0, 0x5e, 0, 0, 0xfb}));
    EXPECT_EQ(ipv4_multicast_mac(ipv4(239, 255, 1, 2)), (MacAddr{1, 0, 0x5e, 0x7f, 1, 2}));
}
